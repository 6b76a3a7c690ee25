#include "v1/compatibility_checker.hpp"

#include <limits>
#include <stdexcept>
#include <string>

#include "v1/learning_memory.hpp"

namespace qalto::v1 {

namespace {

constexpr uint64_t kNoFit = std::numeric_limits<uint64_t>::max();
// A CNP's input row size (in words) is programmed in a 27-bit register.
constexpr uint64_t kCnpRowWordsLimit = uint64_t{1} << 27;
// Each channel's row of input is stored padded to whole 32-bit words.
constexpr uint64_t kRowAlignBytes = 4;

// A parameter as an unsigned count; absent and negative values count as 0.
uint32_t param_or_zero(const LayerParams& params, const char* key) {
  const int32_t value = params.get_or(key, 0);
  return value < 0 ? 0 : static_cast<uint32_t>(value);
}

uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

// Words of input SRAM a CNP needs; kNoFit when the row cannot be programmed. The row's bytes
// take at most 40 bits; its product with the channels is checked, and a row below the 27-bit
// limit times a 32-bit height cannot overflow.
uint64_t cnp_input_need_words(hw::Type type, uint64_t height, uint64_t width, uint64_t channels,
                              uint64_t bits) {
  if (type != hw::Type::CNP1 && type != hw::Type::CNP2) {
    throw std::runtime_error("Type of NP not supported.");
  }
  const uint64_t row_bytes = ceil_div(ceil_div(bits * width, 8), kRowAlignBytes) * kRowAlignBytes;
  uint64_t all_rows_bytes = 0;
  if (__builtin_mul_overflow(channels, row_bytes, &all_rows_bytes)) return kNoFit;
  const uint64_t row_words = all_rows_bytes / 4;
  if (row_words >= kCnpRowWordsLimit) return kNoFit;
  return height * row_words;
}

bool fits(uint64_t need, uint32_t capacity, uint32_t pksram_shift) {
  if (pksram_shift > capacity) return false;
  return need <= uint64_t{capacity} - pksram_shift;
}

}  // namespace

std::string unsupported_layer_message(LayerType type) {
  return std::string("Layer type ") + layer_type_name(type) + " is not supported on v1.";
}

CompatibilityCheckerImpl::CompatibilityCheckerImpl(const Device& device,
                                                   const HardwareConstraints& constraints)
    : CompatibilityChecker(device, constraints) {}

MappingStatus CompatibilityCheckerImpl::check_layer_compatibility(const Layer& layer, const Layer*,
                                                                  const HwVersion&) const {
  switch (layer.type()) {
    // Layers without hardware: the input and the conversions around the program.
    case LayerType::InputData:
    case LayerType::Quantizer:
    case LayerType::Dequantizer:
    // Joining layers have no NP: skip DMA and the merge layer's wiring realise them.
    case LayerType::Add:
    case LayerType::Concatenate: return MappingStatus::success();
    default: return MappingStatus(layer, unsupported_layer_message(layer.type()));
  }
}

MappingStatus CompatibilityCheckerImpl::check_layer_sequence(LayerIterator, LayerIterator,
                                                             const HwVersion&) const {
  return MappingStatus::success();
}

MappingStatus CompatibilityCheckerImpl::check_layer_mappings(const Layer&,
                                                             const std::vector<hw::Component>&,
                                                             bool) const {
  return MappingStatus::success();
}

bool CompatibilityCheckerImpl::is_sram_input_fit_single_buffer(hw::Type type, uint32_t height,
                                                               uint32_t width, uint32_t channels,
                                                               uint32_t, uint8_t input_bits,
                                                               uint32_t pksram_shift) const {
  const uint64_t need = cnp_input_need_words(type, height, width, channels, input_bits);
  return fits(need, constraints_.input_sram_single_buffer_words, pksram_shift);
}

bool CompatibilityCheckerImpl::is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height,
                                                             uint32_t width, uint32_t channels,
                                                             uint32_t, uint8_t input_bits,
                                                             uint32_t pksram_shift) const {
  const uint64_t need = cnp_input_need_words(type, height, width, channels, input_bits);
  return fits(need, constraints_.input_sram_dual_buffer_words, pksram_shift);
}

bool CompatibilityCheckerImpl::is_weights_size_fit_np(const Layer&, uint32_t) const {
  throw std::runtime_error(
      "v1::CompatibilityCheckerImpl::is_weights_size_fit_np is not supported on v1.");
}

NpSplitParams CompatibilityCheckerImpl::np_split_params(hw::Type,
                                                        const LayerParams& params) const {
  NpSplitParams split;
  const uint32_t horizontal = param_or_zero(params, "kernel_width") / 2;
  const uint32_t vertical = param_or_zero(params, "kernel_height") / 2;
  split.left_margin = horizontal;
  split.right_margin = horizontal;
  split.top_margin = vertical;
  split.bottom_margin = vertical;
  split.pool_type = param_or_zero(params, "pool_type");
  split.pool_width = param_or_zero(params, "pooling_width");
  split.pool_height = param_or_zero(params, "pooling_height");
  split.filters = param_or_zero(params, "filters");
  return split;
}

bool CompatibilityCheckerImpl::check_fnp3_sram_size(const HardwareConstraints& constraints,
                                                    const Layer& layer) const {
  return learning_layout(layer).weight_words() <= constraints.fnp3_sram_size;
}

}  // namespace qalto::v1
