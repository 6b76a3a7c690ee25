#include "mivo/tnpr_sram.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

#include "mivo/tnpr_limits.hpp"
#include "qalto/panic.hpp"

namespace qalto::mivo {

namespace {

constexpr uint32_t kFsramWordColumns = 8;
constexpr uint32_t kBitsPerByte = 8;
constexpr uint32_t kHalfBits = 32;

// TSRAM field positions (bits of the 51-bit word) and widths.
constexpr uint32_t kAImagBit = 16;
constexpr uint32_t kStateOutputsShiftBit = 32;
constexpr int32_t kStateOutputsShiftFieldBits = 5;
constexpr uint32_t kNewStateScaleBit = 37;
constexpr uint32_t kNewStateShiftBit = 45;
constexpr int32_t kNewStateShiftFieldBits = 6;
constexpr uint32_t kOutputShiftBit = 16;
constexpr int32_t kOutputShiftBits = 6;
constexpr uint32_t kBiasBit = 22;
constexpr int32_t kBiasBits = 8;
constexpr uint32_t kBiasShiftBit = 30;
constexpr uint32_t kBiasShiftBits = 5;
constexpr uint32_t kThresholdBit = 22;
constexpr uint32_t kInputShiftFieldBits = 3;
constexpr uint32_t kInputShiftsPerWord8Bit = 8;
constexpr uint32_t kInputShiftsPerWord16Bit = 4;
constexpr uint32_t kCopiesAt16Bit = 2;

uint64_t field_mask(uint32_t bits) { return (uint64_t{1} << bits) - 1; }

// A signed value as the two's complement of an n-bit field; panics when it does not fit.
uint64_t signed_field(int32_t value, int32_t bits) {
  const int32_t low = -(1 << (bits - 1));
  const int32_t high = (1 << (bits - 1)) - 1;
  if (value < low || value > high) panic("%d cannot fit in a %d-bit signed integer", value, bits);
  return static_cast<uint64_t>(static_cast<int64_t>(value)) & field_mask(bits);
}

uint64_t unsigned_field(uint32_t value, uint32_t bits) {
  if (value > field_mask(bits)) panic("%u cannot fit in a %u-bit unsigned integer", value, bits);
  return value;
}

void put_word(SramImage& image, size_t index, uint64_t word) {
  image[2 * index] = static_cast<uint32_t>(word);
  image[2 * index + 1] = static_cast<uint32_t>(word >> kHalfBits);
}

uint32_t first_dimension(const Dense& dense) { return dense.dimensions()[0]; }

void append(SramImage& to, const SramImage& words) { to.insert(to.end(), words.begin(), words.end()); }

}  // namespace

SramImage pack_fsram_matrix(const Dense& matrix) {
  const Shape& shape = matrix.dimensions();
  if (shape.size() != 2) {
    throw std::runtime_error("FSRAM matrices must have 2 dimensions (got " +
                             std::to_string(shape.size()) + ").");
  }
  const uint32_t rows = shape[0];
  const uint32_t columns = shape[1];
  const uint64_t groups = (uint64_t{columns} + kFsramWordColumns - 1) / kFsramWordColumns;
  SramImage image(2 * groups * rows, 0);
  for (uint64_t g = 0; g < groups; ++g) {
    for (uint32_t r = 0; r < rows; ++r) {
      uint64_t word = 0;
      for (uint32_t j = 0; j < kFsramWordColumns; ++j) {
        const uint64_t column = g * kFsramWordColumns + j;
        if (column >= columns) break;
        const auto weight = static_cast<uint8_t>(
            matrix.get<int8_t>({r, static_cast<uint32_t>(column)}));
        word |= uint64_t{weight} << (kBitsPerByte * j);
      }
      put_word(image, g * rows + r, word);
    }
  }
  return image;
}

void format_fsram_weights(SramImage& fsram, const Dense& in_proj, const Dense& out_proj) {
  // Both are packed before either is appended, so a failure leaves the list as it was.
  SramImage words = pack_fsram_matrix(in_proj);
  append(words, pack_fsram_matrix(out_proj));
  append(fsram, words);
}

void format_tsram_state_updating_var(SramImage& tsram, const Dense& a_imag, const Dense& a_real,
                                     const Dense& internal_state_outputs_shift,
                                     const Dense& new_state_scale, const Dense& new_state_shift) {
  const uint32_t n = first_dimension(a_real);
  SramImage words(2 * uint64_t{n}, 0);
  for (uint32_t k = 0; k < n; ++k) {
    const uint64_t imag = static_cast<uint16_t>(a_imag.at<int16_t>(k));
    const uint64_t real = static_cast<uint16_t>(a_real.at<int16_t>(k));
    uint64_t word = imag << kAImagBit | real;
    word |= signed_field(internal_state_outputs_shift.at<int8_t>(k), kStateOutputsShiftFieldBits)
            << kStateOutputsShiftBit;
    const uint64_t scale = new_state_scale.at<uint8_t>(k);
    word |= signed_field(new_state_shift.at<int8_t>(k), kNewStateShiftFieldBits) << kNewStateShiftBit;
    word |= scale << kNewStateScaleBit;
    put_word(words, k, word);
  }
  append(tsram, words);
}

void format_tsram_output_var(SramImage& tsram, const Dense& scales, const Dense& shift,
                             const Dense& bias, const Dense& bias_shift) {
  const uint32_t n = first_dimension(scales);
  if (scales.type() != TensorType::uint8 && scales.type() != TensorType::uint16) {
    throw std::runtime_error("Error when formattting output scale : Unsupported output scales "
                             "type in TSRAM formatting.");
  }
  SramImage words(2 * uint64_t{n}, 0);
  for (uint32_t k = 0; k < n; ++k) {
    const uint64_t scale = scales.type() == TensorType::uint8 ? scales.at<uint8_t>(k)
                                                              : scales.at<uint16_t>(k);
    uint64_t word = scale;
    word |= signed_field(shift.at<int8_t>(k), kOutputShiftBits) << kOutputShiftBit;
    word |= unsigned_field(bias_shift.at<uint8_t>(k), kBiasShiftBits) << kBiasShiftBit;
    word |= signed_field(bias.at<int8_t>(k), kBiasBits) << kBiasBit;
    put_word(words, k, word);
  }
  append(tsram, words);
}

void format_tsram_post_processing_output_var(SramImage& tsram, uint16_t timesteps,
                                             uint16_t threshold) {
  // log2 of 0 has no integer part: no timesteps means no averaging shift.
  const int32_t shift =
      timesteps == 0 ? 0 : -static_cast<int32_t>(std::trunc(std::log2(static_cast<double>(timesteps))));
  const uint64_t word = 1 | signed_field(shift, kOutputShiftBits) << kOutputShiftBit |
                        uint64_t{threshold} << kThresholdBit;
  SramImage words(2, 0);
  put_word(words, 0, word);
  append(tsram, words);
}

void format_tsram_input_shift(SramImage& tsram, const Dense& input_shift, uint8_t input_bits) {
  uint32_t per_word = kInputShiftsPerWord8Bit;
  uint32_t copies = 1;
  if (input_bits == kInputBits16) {
    per_word = kInputShiftsPerWord16Bit;
    copies = kCopiesAt16Bit;
  } else if (input_bits != kInputBits8) {
    // Other widths would put a word's fields past its 32 bits, or write none at all.
    throw std::runtime_error("TNP-R input shifts are formatted for 8-bit or 16-bit input (got " +
                             std::to_string(input_bits) + "-bit).");
  }
  const uint32_t n = first_dimension(input_shift);
  const uint64_t word_count = (uint64_t{n} + per_word - 1) / per_word;
  SramImage words(2 * word_count, 0);
  for (uint32_t k = 0; k < n; ++k) {
    const uint32_t value = static_cast<uint32_t>(
        unsigned_field(input_shift.at<uint8_t>(k), kInputShiftFieldBits));
    const uint32_t v = k % per_word;
    for (uint32_t j = 0; j < copies; ++j) {
      words[2 * (k / per_word)] |= value << (kInputShiftFieldBits * (copies * v + j));
    }
  }
  append(tsram, words);
}

void format_tsram_post_processing_input_shift(SramImage& tsram) { tsram.insert(tsram.end(), 2, 0); }

}  // namespace qalto::mivo
