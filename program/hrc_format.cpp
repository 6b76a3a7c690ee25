#include "program/hrc_format.hpp"

#include <array>
#include <stdexcept>
#include <string>

#include "qalto/panic.hpp"
#include "qalto/reg_detail.hpp"

namespace qalto {

namespace {

constexpr uint32_t kLineWords = 3;
constexpr uint32_t kWeightsPerLine = 9;
constexpr uint32_t kBanks = 3;
// With one channel and kernel 4 the second bank takes the last seven of the 16 weights.
constexpr uint32_t kKernel4SecondLine = 7;

// Variable words of a ReLU / no-activation layer.
QALTO_REG_FIELD(HRC_ACT_OUTPUT_SHIFT, 0, 6);
QALTO_REG_FIELD(HRC_ACT_OUTPUT_SCALE, 6, 8);
QALTO_REG_FIELD(HRC_ACT_MAX_VALUE_SHIFT, 14, 5);
QALTO_REG_FIELD(HRC_ACT_MAX_VALUE_LOW, 19, 1);
QALTO_REG_FIELD(HRC_ACT_MAX_VALUE_HIGH, 0, 7);
QALTO_REG_FIELD(HRC_ACT_BIAS_SHIFT, 7, 5);
QALTO_REG_FIELD(HRC_ACT_BIAS, 12, 8);

// Variable words of a look-up-table layer.
QALTO_REG_FIELD(HRC_LUT_OUTPUT_SCALE, 0, 8);
QALTO_REG_FIELD(HRC_LUT_BIAS, 8, 8);
QALTO_REG_FIELD(HRC_LUT_BIAS_SHIFT_LOW, 16, 4);
QALTO_REG_FIELD(HRC_LUT_BIAS_SHIFT_HIGH, 0, 1);
QALTO_REG_FIELD(HRC_LUT_OUTPUT_SHIFT, 1, 6);
QALTO_REG_FIELD(HRC_LUT_ACTIVATION_SHIFT, 7, 6);
QALTO_REG_FIELD(HRC_LUT_ACTIVATION_SCALE, 13, 8);

constexpr uint32_t kShiftBits = 5;
constexpr uint32_t kMaxShift = (1u << kShiftBits) - 1;

// How the lines of the banks follow each other.
enum class Arrangement {
  PerChannel,  // three channels: bank c holds channel c, lines in filter order
  Kernel3,     // one line per filter, banks filled one after the other
  Kernel4,     // each filter's two lines split over banks 0 and 1
  Dealt,       // lines dealt over the three banks in turn
};

struct WeightGeometry {
  uint32_t kernel = 0;
  uint32_t channels = 0;
  uint32_t filters = 0;
  bool column_major = false;
};

WeightGeometry read_geometry(const Dense& weights) {
  const Shape& shape = weights.dimensions();
  if (shape.size() != 4) {
    throw std::runtime_error("HRC weights must have 4 dimensions, got " +
                             std::to_string(shape.size()) + ".");
  }
  WeightGeometry g;
  g.column_major = weights.layout() == Dense::Layout::ColMajor;
  // Row-major: (kernel, kernel, channels, filters); column-major: (filters, channels, kernel,
  // kernel).
  g.kernel = g.column_major ? shape[2] : shape[1];
  const uint32_t other_kernel = g.column_major ? shape[3] : shape[0];
  g.channels = g.column_major ? shape[1] : shape[2];
  g.filters = g.column_major ? shape[0] : shape[3];
  if (g.channels != 1 && g.channels != 3) {
    throw std::runtime_error("HRC weights must have 1 or 3 channels, got " +
                             std::to_string(g.channels) + ".");
  }
  if (other_kernel != g.kernel) {
    throw std::runtime_error("HRC kernels must be square, got " + std::to_string(other_kernel) +
                             "x" + std::to_string(g.kernel) + ".");
  }
  return g;
}

Arrangement choose_arrangement(const WeightGeometry& g, uint64_t lines) {
  if (g.channels == 3) return Arrangement::PerChannel;
  switch (g.kernel) {
    case 3:
      if (lines > kHrcMaxKernel3Lines) {
        throw std::runtime_error("Too many lines on HRC weight formatting with the 3-kernel.");
      }
      return Arrangement::Kernel3;
    case 4: return Arrangement::Kernel4;
    case 5:
    case 7:
    case 16: return Arrangement::Dealt;
    default: throw std::runtime_error("Wrong kernel_size at HRC recording.");
  }
}

std::array<uint64_t, kBanks> bank_sizes(Arrangement arrangement, uint64_t lines) {
  const uint64_t w = kLineWords;
  switch (arrangement) {
    case Arrangement::PerChannel: return {w * lines, w * lines, w * lines};
    case Arrangement::Kernel4: return {w * (lines / 2) + w * (lines % 2), w * (lines / 2), 0};
    case Arrangement::Dealt:
      return {w * ((lines + 2) / 3), w * (lines / 3) + (lines % 3 == 2 ? w : 0), w * (lines / 3)};
    case Arrangement::Kernel3: {
      const uint64_t lines_per_bank = kHrcKernel3BankWords / w;
      std::array<uint64_t, kBanks> sizes{};
      const uint64_t full = lines / lines_per_bank;
      for (uint64_t b = 0; b < full; ++b) sizes[b] = kHrcKernel3BankWords;
      sizes[full] = w * (lines % lines_per_bank);
      return sizes;
    }
  }
  return {};
}

// Writes weights line by line into the banks, moving to the next line by the arrangement's
// rule.
class BankWriter {
 public:
  BankWriter(Arrangement arrangement, std::vector<std::vector<uint32_t>>& banks)
      : arrangement_(arrangement), banks_(banks) {}

  void start_channel(uint32_t channel) {
    bank_ = channel;
    pos_ = 0;
    count_ = 0;
  }

  void place(int8_t weight) {
    if (line_full()) advance();
    std::vector<uint32_t>& bank = banks_[bank_];
    const size_t word = pos_ + count_ / 4;
    // The bank sizes are derived from the same rule; a word outside means the two disagree.
    if (word >= bank.size()) throw std::logic_error("HRC weight line outside its bank.");
    bank[word] |= uint32_t{static_cast<uint8_t>(weight)} << (8 * (count_ % 4));
    ++count_;
  }

  // A filter always ends its line.
  void end_filter() {
    if (count_ != 0) advance();
  }

 private:
  bool line_full() const {
    if (count_ == kWeightsPerLine) return true;
    return arrangement_ == Arrangement::Kernel4 && bank_ == 1 && count_ == kKernel4SecondLine;
  }

  void advance() {
    count_ = 0;
    switch (arrangement_) {
      case Arrangement::PerChannel: pos_ += kLineWords; break;
      case Arrangement::Kernel4:
        bank_ ^= 1;
        if (bank_ == 0) pos_ += kLineWords;
        break;
      case Arrangement::Kernel3:
        pos_ = (pos_ + kLineWords) % kHrcKernel3BankWords;
        if (pos_ == 0) ++bank_;
        break;
      case Arrangement::Dealt:
        bank_ = (bank_ + 1) % kBanks;
        if (bank_ == 0) pos_ += kLineWords;
        break;
    }
  }

  Arrangement arrangement_;
  std::vector<std::vector<uint32_t>>& banks_;
  uint32_t bank_ = 0;
  size_t pos_ = 0;
  uint32_t count_ = 0;
};

void check_unsigned_shift(uint32_t value) {
  if (value > kMaxShift) panic("%u cannot fit in a %u-bit unsigned integer", value, kShiftBits);
}

}  // namespace

std::vector<std::vector<uint32_t>> format_hrc_weights(const Dense& weights) {
  const WeightGeometry g = read_geometry(weights);
  const uint64_t k = g.kernel;
  const uint64_t lines = (k * k + kWeightsPerLine - 1) / kWeightsPerLine * g.filters;
  const Arrangement arrangement = choose_arrangement(g, lines);
  std::vector<std::vector<uint32_t>> banks(kBanks);
  const auto sizes = bank_sizes(arrangement, lines);
  for (uint32_t b = 0; b < kBanks; ++b) banks[b].assign(sizes[b], 0);

  BankWriter writer(arrangement, banks);
  for (uint32_t c = 0; c < g.channels; ++c) {
    writer.start_channel(c);
    for (uint32_t f = 0; f < g.filters; ++f) {
      for (uint32_t i = 0; i < g.kernel; ++i) {
        for (uint32_t j = 0; j < g.kernel; ++j) {
          writer.place(g.column_major ? weights.get<int8_t>({f, c, j, i})
                                      : weights.get<int8_t>({i, j, c, f}));
        }
      }
      writer.end_filter();
    }
  }
  return banks;
}

std::vector<uint32_t> format_hrc_activations(const Dense& output_shift, const Dense& output_scales,
                                             const Dense* max_value_shift, const Dense* max_value,
                                             const Dense& bias_shift, const Dense& bias) {
  std::vector<uint32_t> words;
  const uint64_t filters = bias.size();
  for (uint64_t f = 0; f < filters; ++f) {
    uint32_t a = 0;
    uint32_t b = 0;
    set_signed_field(&a, HRC_ACT_OUTPUT_SHIFT, output_shift.at<int8_t>(f));
    const uint32_t mvs = max_value_shift ? max_value_shift->at<uint8_t>(f) : 0;
    check_unsigned_shift(mvs);
    const uint32_t bs = bias_shift.at<uint8_t>(f);
    check_unsigned_shift(bs);
    const uint32_t mv = max_value ? max_value->at<uint8_t>(f) : 0;
    set_field(&a, HRC_ACT_OUTPUT_SCALE, output_scales.at<uint8_t>(f));
    set_field(&a, HRC_ACT_MAX_VALUE_SHIFT, mvs);
    set_field(&a, HRC_ACT_MAX_VALUE_LOW, mv & 1);
    set_field(&b, HRC_ACT_MAX_VALUE_HIGH, mv >> 1);
    set_field(&b, HRC_ACT_BIAS_SHIFT, bs);
    set_signed_field(&b, HRC_ACT_BIAS, bias.at<int8_t>(f));
    words.push_back(a);
    words.push_back(b);
  }
  return words;
}

std::vector<uint32_t> format_hrc_lut_variables(const Dense& output_scales, const Dense& bias,
                                               const Dense& bias_shift, const Dense& output_shift,
                                               const Dense& activation_shift,
                                               const Dense& activation_scales) {
  std::vector<uint32_t> words;
  const uint64_t filters = bias.size();
  for (uint64_t f = 0; f < filters; ++f) {
    uint32_t a = 0;
    uint32_t b = 0;
    const uint32_t bs = bias_shift.at<uint8_t>(f);
    check_unsigned_shift(bs);
    set_signed_field(&b, HRC_LUT_OUTPUT_SHIFT, output_shift.at<int8_t>(f));
    set_signed_field(&b, HRC_LUT_ACTIVATION_SHIFT, activation_shift.at<int8_t>(f));
    set_field(&a, HRC_LUT_OUTPUT_SCALE, output_scales.at<uint8_t>(f));
    set_signed_field(&a, HRC_LUT_BIAS, bias.at<int8_t>(f));
    set_field(&a, HRC_LUT_BIAS_SHIFT_LOW, bs & 0xF);
    set_field(&b, HRC_LUT_BIAS_SHIFT_HIGH, bs >> 4);
    set_field(&b, HRC_LUT_ACTIVATION_SCALE, activation_scales.at<uint8_t>(f));
    words.push_back(a);
    words.push_back(b);
  }
  return words;
}

}  // namespace qalto
