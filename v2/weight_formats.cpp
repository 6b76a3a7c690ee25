#include "v2/weight_formats.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "qalto/panic.hpp"

namespace qalto::v2 {

namespace {

constexpr const char* kCnpFormatKernelError = "cnp_weight_format: Unexpected kernel size.";
constexpr const char* kChContKernelError = "ch_cont_size: Unexpected kernel size.";
constexpr const char* k4bitConvKernelError = "Unsupported kernel size.";
constexpr const char* k4bitDwcKernelError = "Invalid kernel size.";

// Filters of a 4-bit Conv2D group (kernels 3, 5, 7) and the bits each lane of the 4-word
// form carries in the 4-bit layouts.
constexpr uint32_t kGroup4bitFilters = 8;
constexpr uint32_t kLaneBitsNarrow = 48;  // 4-bit Conv2D kernels 1 and 3
constexpr uint32_t kLaneBitsWide = 50;    // every other 4-bit layout
constexpr uint32_t kLanesPerWord = 2;
constexpr uint32_t kWords32PerLane = 2;
// Kernel 7, 4 bits: a 100-bit word holds the rows of this many filters (84 of its bits).
constexpr uint32_t kFilterRowsPerWord4bitK7 = 3;
constexpr int32_t kNibbleMin = -8;
constexpr int32_t kNibbleMax = 7;

uint32_t narrow(uint64_t value) {
  if (value > UINT32_MAX) throw std::overflow_error("Weight size does not fit in 32 bits.");
  return static_cast<uint32_t>(value);
}

uint64_t round_up(uint64_t value, uint64_t multiple) {
  return (value + multiple - 1) / multiple * multiple;
}

// Blocks too long for the plain DMA header are sent with the extended one, which needs the
// payload padded to 16 words.
uint64_t pad_for_xl(uint64_t words) {
  if (dma::config_block_size_needs_xl(words)) return round_up(words, xl_block_alignment_words);
  return words;
}

// 100-bit words of one 8-bit Conv2D channel container.
uint64_t ch_cont_size(uint32_t kernel, uint32_t filters) {
  const uint64_t f8 = round_up(filters, 8);
  switch (kernel) {
    case 1: return ((f8 + 23) / 24 * 24 + 11) / 12;
    case 3: return f8 * 6 / 8;
    case 4: return f8 * 12 / 8;
    case 5: return f8 * 20 / 8;
    case 7: return f8 * 56 / 8;
    default: throw std::runtime_error(kChContKernelError);
  }
}

uint64_t conv2d_4bit_container(uint32_t kernel, uint32_t filters) {
  const uint64_t f = filters;
  switch (kernel) {
    case 1: return (f + 23) / 24;
    case 3: return ((f + 7) >> 3) * 3;
    case 5: return (f + 7) & ~uint64_t{7};
    case 7: return ((f + 7) >> 3) * 21;
    default: throw std::runtime_error(k4bitConvKernelError);
  }
}

uint64_t dwc_8bit_words(uint32_t kernel, uint32_t channels) {
  const uint64_t n = channels;
  switch (kernel) {
    case 3: return n;
    case 4: return 2 * n;
    case 5: return 3 * n;
    case 7: return 7 * n;
    default: throw std::runtime_error(kChContKernelError);
  }
}

uint64_t dwc_4bit_words(uint32_t kernel, uint32_t channels) {
  const uint64_t n = channels;
  switch (kernel) {
    case 3: return (n + 1) >> 1;
    case 5: return (3 * n + 1) >> 1;
    case 7: return (7 * n + 1) >> 1;
    default: throw std::runtime_error(k4bitDwcKernelError);
  }
}

// 32-bit words of one 4-bit depthwise channel as the formatter lays it out: one lane per
// channel (kernel 3), three (kernel 5) or seven (kernel 7).
uint64_t dwc_4bit_words32_per_channel(uint32_t kernel) {
  switch (kernel) {
    case 3: return 2;
    case 5: return 6;
    case 7: return 14;
    default: throw std::runtime_error(k4bitDwcKernelError);
  }
}

// ---- argument checks shared by the formatters ----

uint32_t checked_kernel(const Dense& weights) {
  const Shape& dims = weights.dimensions();
  if (dims.size() != 4) {
    throw std::invalid_argument("Weights must have 4 dimensions (got " +
                                std::to_string(dims.size()) + ").");
  }
  if (dims[0] != dims[1]) {
    throw std::invalid_argument("Weights must have a square kernel (got " +
                                std::to_string(dims[0]) + " x " + std::to_string(dims[1]) + ").");
  }
  return dims[0];
}

void check_range(const Dense& weights, uint32_t first, uint32_t count, const char* what) {
  const uint64_t available = weights.dimensions()[3];
  if (uint64_t{first} + count > available) {
    throw std::invalid_argument(std::string("Weights hold ") + std::to_string(available) + " " +
                                what + ", cannot format " + std::to_string(count) +
                                " from index " + std::to_string(first) + ".");
  }
}

// Reads weights by coordinates through the tensor's strides. The constructor checks the
// storage type (panics for anything not stored as signed bytes); callers have checked the
// coordinates against the shape before.
class WeightReader {
 public:
  explicit WeightReader(const Dense& weights)
      : data_(weights.data<int8_t>()), strides_(weights.strides()) {}

  int8_t at(uint32_t x, uint32_t y, uint32_t c, uint32_t f) const {
    const uint64_t offset = uint64_t{x} * strides_[0] + uint64_t{y} * strides_[1] +
                            uint64_t{c} * strides_[2] + uint64_t{f} * strides_[3];
    return data_[offset];
  }

 private:
  const int8_t* data_;
  const std::vector<uint32_t>& strides_;
};

int32_t checked_nibble(int8_t weight) {
  if (weight < kNibbleMin || weight > kNibbleMax) {
    panic("%d cannot fit in a %d-bit signed integer", static_cast<int>(weight), 4);
  }
  return weight;
}

// ---- byte and bit writers over a word vector ----

void put_byte(std::vector<uint32_t>& words, uint64_t byte_pos, uint8_t value, bool or_in = false) {
  const uint64_t word = byte_pos / 4;
  if (word >= words.size()) throw std::logic_error("Weight byte written past the vector.");
  const uint32_t shift = static_cast<uint32_t>(byte_pos % 4) * 8;
  if (!or_in) words[word] &= ~(uint32_t{0xFF} << shift);
  words[word] |= uint32_t{value} << shift;
}

// Writes one weight byte of the 8-bit Conv2D layout at byte position `p` of the vector region
// starting at `base_byte`. In the 4-word form a 100-bit word is two 50-bit lanes: bytes 0-5 and
// two bits of byte 6 fill lane 0, so a weight at q = 6 is split across the lanes.
void write_conv_byte(std::vector<uint32_t>& words, uint64_t base_byte, uint64_t p,
                     uint32_t words32_per_word, int8_t weight) {
  const auto value = static_cast<uint8_t>(weight);
  if (words32_per_word == words32_per_word_3) {
    put_byte(words, base_byte + p, value);
    return;
  }
  const uint64_t q = p % 16;
  const uint64_t at = base_byte + p;
  if (q <= 5) {
    put_byte(words, at, value);
  } else if (q == 6) {
    put_byte(words, at, value & 0x3, true);
    put_byte(words, at + 2, value >> 2, true);
  } else if (q >= 8) {
    put_byte(words, at, static_cast<uint8_t>((value & 0x3) << 6), true);
    put_byte(words, at + 1, value >> 2, true);
  }
  // q == 7 is the padding byte of lane 0: nothing is written there.
}

// A stream of bits over the lanes of 4-word-form 100-bit words: each lane is two 32-bit words
// carrying `lane_bits` bits in its low bits; a value that does not fit the rest of a lane goes
// on at bit 0 of the next lane.
class LaneStream {
 public:
  LaneStream(std::vector<uint32_t>& words, uint64_t start_word, uint32_t lane_bits)
      : words_(words), start_word_(start_word), lane_bits_(lane_bits) {}

  void put_nibble(int32_t nibble) {
    for (uint32_t i = 0; i < 4; ++i) put_bit((static_cast<uint32_t>(nibble) >> i) & 1);
  }
  uint32_t bit() const { return bit_; }
  void next_lane() {
    ++lane_;
    bit_ = 0;
  }
  // Start of the next 100-bit word (two lanes on from the current word's first lane).
  void next_word() {
    lane_ = (lane_ / kLanesPerWord + 1) * kLanesPerWord;
    bit_ = 0;
  }
  bool at_word_start() const { return bit_ == 0 && lane_ % kLanesPerWord == 0; }

 private:
  void put_bit(uint32_t value) {
    if (bit_ == lane_bits_) next_lane();
    const uint64_t word = start_word_ + lane_ * kWords32PerLane + bit_ / 32;
    if (word >= words_.size()) throw std::logic_error("Weight bit written past the vector.");
    words_[word] |= value << (bit_ % 32);
    ++bit_;
  }

  std::vector<uint32_t>& words_;
  uint64_t start_word_;
  uint32_t lane_bits_;
  uint64_t lane_ = 0;
  uint32_t bit_ = 0;
};

// ---- the four layouts ----

void fill_conv2d_8bit(std::vector<uint32_t>& out, const WeightReader& w, uint32_t kernel,
                      uint32_t channels, uint32_t first, uint32_t count,
                      const CnpWeightFormat& fmt, uint64_t container_words32) {
  for (uint32_t c = 0; c < channels; ++c) {
    const uint64_t container = c * container_words32;
    for (uint32_t g = 0; uint64_t{g} * fmt.group_filters < count; ++g) {
      const uint64_t base_byte = (container + uint64_t{g} * fmt.group_words32) * 4;
      const uint32_t group_first = g * fmt.group_filters;
      const uint32_t group_count = std::min(fmt.group_filters, count - group_first);
      uint32_t run = 0;
      for (uint32_t y = 0; y < kernel; ++y) {
        uint64_t p = uint64_t{y} * fmt.row_bytes;
        for (uint32_t j = 0; j < group_count; ++j) {
          const uint32_t f = first + group_first + j;
          for (uint32_t x = 0; x < kernel; ++x) {
            write_conv_byte(out, base_byte, p + x, fmt.words32_per_word, w.at(x, y, c, f));
          }
          p += kernel;
          run += kernel;
          if (run == fmt.run_bytes) {
            run = 0;
            p += fmt.gap_bytes;
          }
        }
      }
    }
  }
}

void fill_conv2d_4bit(std::vector<uint32_t>& out, const WeightReader& w, uint32_t kernel,
                      uint32_t channels, uint32_t first, uint32_t count,
                      uint64_t container_words) {
  const uint32_t lane_bits = kernel <= 3 ? kLaneBitsNarrow : kLaneBitsWide;
  for (uint32_t c = 0; c < channels; ++c) {
    const uint64_t container = c * words32_per_word_4 * container_words;
    if (kernel == 1) {
      LaneStream stream(out, container, lane_bits);
      for (uint32_t i = 0; i < count; ++i) stream.put_nibble(checked_nibble(w.at(0, 0, c, first + i)));
      continue;
    }
    const uint64_t group_words32 =
        words32_per_word_4 * conv2d_4bit_container(kernel, kGroup4bitFilters);
    for (uint32_t g = 0; uint64_t{g} * kGroup4bitFilters < count; ++g) {
      LaneStream stream(out, container + g * group_words32, lane_bits);
      const uint32_t group_first = g * kGroup4bitFilters;
      for (uint32_t y = 0; y < kernel; ++y) {
        for (uint32_t place = 0; place < kGroup4bitFilters; ++place) {
          const bool present = group_first + place < count;
          for (uint32_t x = 0; x < kernel; ++x) {
            const int32_t nibble =
                present ? checked_nibble(w.at(x, y, c, first + group_first + place)) : 0;
            stream.put_nibble(nibble);
          }
          if (kernel == 7 && (place + 1) % kFilterRowsPerWord4bitK7 == 0) stream.next_word();
        }
        if (kernel == 7 && !stream.at_word_start()) stream.next_word();
      }
    }
  }
}

void fill_dwc_8bit(std::vector<uint32_t>& out, const WeightReader& w, uint32_t kernel,
                   uint32_t first, uint32_t count, const DwcWeightFormat& fmt) {
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t p = uint64_t{i} * fmt.channel_bytes;
    for (uint32_t y = 0; y < kernel; ++y) {
      for (uint32_t x = 0; x < kernel; ++x) {
        if (x == fmt.row_run) p += fmt.run_gap_bytes;
        put_byte(out, p++, static_cast<uint8_t>(w.at(x, y, 0, first + i)));
      }
      p += fmt.row_gap_bytes;
    }
  }
}

void fill_dwc_4bit(std::vector<uint32_t>& out, const WeightReader& w, uint32_t kernel,
                   uint32_t first, uint32_t count) {
  LaneStream stream(out, 0, kLaneBitsWide);
  for (uint32_t i = 0; i < count; ++i) {
    for (uint32_t y = 0; y < kernel; ++y) {
      if (stream.bit() + 4 * kernel > kLaneBitsWide) stream.next_lane();
      for (uint32_t x = 0; x < kernel; ++x) {
        stream.put_nibble(checked_nibble(w.at(x, y, 0, first + i)));
      }
    }
    if (stream.bit() + 4 * kernel * kernel > kLaneBitsWide) stream.next_lane();
  }
}

}  // namespace

uint32_t weight_100b_words_to_bytes(uint32_t words) {
  return narrow((uint64_t{words} * weight_word_bits + 7) >> 3);
}

uint32_t conv2d_ch_cont_100b_size(uint32_t kernel, uint32_t filters, uint8_t bits) {
  if (bits != 8) return conv2d_4bit_ch_cont_100b_size(kernel, filters);
  return narrow(ch_cont_size(kernel, filters));
}

uint32_t conv2d_4bit_ch_cont_100b_size(uint32_t kernel, uint32_t filters) {
  return narrow(conv2d_4bit_container(kernel, filters));
}

uint32_t conv2d_cnp_formatted_weight_100b_size(uint32_t kernel, uint32_t filters,
                                               uint32_t input_channels, uint8_t bits) {
  if (bits != 8) return conv2d_cnp_formatted_4bit_weight_100b_size(kernel, filters, input_channels);
  return narrow(ch_cont_size(kernel, filters) * input_channels);
}

uint32_t conv2d_cnp_formatted_4bit_weight_100b_size(uint32_t kernel, uint32_t filters,
                                                    uint32_t input_channels) {
  return narrow(conv2d_4bit_container(kernel, filters) * input_channels);
}

uint32_t conv2d_cnp_formatted_weight_32b_size(uint32_t kernel, uint32_t filters,
                                              uint32_t input_channels, uint8_t bits) {
  if (bits != 8) return conv2d_cnp_formatted_4bit_weight_32b_size(kernel, filters, input_channels);
  const uint64_t container = ch_cont_size(kernel, filters);
  const uint64_t per_word = kernel == 7 ? words32_per_word_4 : words32_per_word_3;
  return narrow(pad_for_xl(container * per_word * input_channels));
}

uint32_t conv2d_cnp_formatted_4bit_weight_32b_size(uint32_t kernel, uint32_t filters,
                                                   uint32_t input_channels) {
  return narrow(words32_per_word_4 * conv2d_4bit_container(kernel, filters) * input_channels);
}

uint32_t dwc_ch_cont_100b_size(uint32_t kernel, uint32_t channels, uint8_t bits) {
  if (bits != 8) return dwc_4bit_ch_cont_100b_size(kernel, channels);
  return narrow(dwc_8bit_words(kernel, channels));
}

uint32_t dwc_4bit_ch_cont_100b_size(uint32_t kernel, uint32_t channels) {
  return narrow(dwc_4bit_words(kernel, channels));
}

uint32_t dwc_cnp_formatted_weight_32b_size(uint32_t kernel, uint32_t channels, uint8_t bits) {
  if (bits != 8) return dwc_cnp_formatted_4bit_weight_32b_size(static_cast<int32_t>(kernel), channels);
  return narrow(pad_for_xl(words32_per_word_3 * dwc_8bit_words(kernel, channels)));
}

uint32_t dwc_cnp_formatted_4bit_weight_32b_size(int32_t kernel, uint32_t channels) {
  if (kernel != 3 && kernel != 5 && kernel != 7) throw std::runtime_error(k4bitDwcKernelError);
  const uint64_t per_channel = dwc_4bit_words32_per_channel(static_cast<uint32_t>(kernel));
  return narrow(round_up(per_channel * channels, xl_block_alignment_words));
}

dma::Target conv2d_dma_target(uint32_t kernel, uint8_t bits) {
  if (bits == 4) return dma::Target{0};
  return static_cast<dma::Target>(cnp_weight_format(kernel).dma_target);
}

dma::Target dwc_dma_target(uint32_t kernel, uint8_t bits) {
  if (bits == 4) return dma::Target{0};
  return static_cast<dma::Target>(dwc_cnp_weight_format(kernel).dma_target);
}

const CnpWeightFormat& cnp_weight_format(uint32_t kernel) {
  static constexpr CnpWeightFormat k1{0, 0, 24, 6, 0, 3, 1};
  static constexpr CnpWeightFormat k3{0, 0, 8, 18, 24, 3, 1};
  static constexpr CnpWeightFormat k4{0, 0, 8, 36, 36, 3, 1};
  static constexpr CnpWeightFormat k5{5, 1, 8, 60, 48, 3, 1};
  static constexpr CnpWeightFormat k7{7, 9, 8, 224, 128, 4, 0};
  switch (kernel) {
    case 1: return k1;
    case 3: return k3;
    case 4: return k4;
    case 5: return k5;
    case 7: return k7;
    default: throw std::runtime_error(kCnpFormatKernelError);
  }
}

const DwcWeightFormat& dwc_cnp_weight_format(uint32_t kernel) {
  static constexpr DwcWeightFormat k3{3, 0, 0, 12, 3, 1};
  static constexpr DwcWeightFormat k4{4, 0, 2, 24, 3, 1};
  static constexpr DwcWeightFormat k5{5, 0, 1, 30, 3, 1};
  static constexpr DwcWeightFormat k7{4, 2, 3, 84, 3, 1};
  switch (kernel) {
    case 3: return k3;
    case 4: return k4;
    case 5: return k5;
    case 7: return k7;
    default: throw std::runtime_error(kCnpFormatKernelError);
  }
}

std::vector<uint32_t> format_conv2d_cnp_weights(const Dense& weights, uint32_t first,
                                                uint32_t count, uint8_t bits) {
  if (bits != 8) return format_conv2d_4bit_weights(weights, first, count);
  const uint32_t kernel = checked_kernel(weights);
  const uint32_t channels = weights.dimensions()[2];
  const CnpWeightFormat& fmt = cnp_weight_format(kernel);
  check_range(weights, first, count, "filters");
  const uint64_t container_words32 = ch_cont_size(kernel, count) * fmt.words32_per_word;
  std::vector<uint32_t> out(narrow(pad_for_xl(container_words32 * channels)), 0);
  const WeightReader reader(weights);
  fill_conv2d_8bit(out, reader, kernel, channels, first, count, fmt, container_words32);
  return out;
}

std::vector<uint32_t> format_conv2d_4bit_weights(const Dense& weights, uint32_t first,
                                                 uint32_t count) {
  const uint32_t kernel = checked_kernel(weights);
  const uint32_t channels = weights.dimensions()[2];
  const uint64_t container_words = conv2d_4bit_container(kernel, count);
  check_range(weights, first, count, "filters");
  std::vector<uint32_t> out(narrow(words32_per_word_4 * container_words * channels), 0);
  const WeightReader reader(weights);
  fill_conv2d_4bit(out, reader, kernel, channels, first, count, container_words);
  return out;
}

std::vector<uint32_t> format_depthwise_conv_cnp_weights(const Dense& weights, uint32_t first,
                                                        uint32_t count, uint8_t bits) {
  if (bits != 8) return format_depthwise_conv_cnp_4bit_weights(weights, first, count);
  const uint32_t kernel = checked_kernel(weights);
  const uint64_t words = words32_per_word_3 * dwc_8bit_words(kernel, count);
  const DwcWeightFormat& fmt = dwc_cnp_weight_format(kernel);
  check_range(weights, first, count, "channels");
  std::vector<uint32_t> out(narrow(pad_for_xl(words)), 0);
  const WeightReader reader(weights);
  fill_dwc_8bit(out, reader, kernel, first, count, fmt);
  return out;
}

std::vector<uint32_t> format_depthwise_conv_cnp_4bit_weights(const Dense& weights, uint32_t first,
                                                             uint32_t count) {
  const uint32_t kernel = checked_kernel(weights);
  const uint64_t per_channel = dwc_4bit_words32_per_channel(kernel);
  check_range(weights, first, count, "channels");
  std::vector<uint32_t> out(narrow(per_channel * count), 0);
  const WeightReader reader(weights);
  fill_dwc_4bit(out, reader, kernel, first, count);
  return out;
}

}  // namespace qalto::v2
