#include "v1/compatibility_checker.hpp"

#include <stdexcept>
#include <string>

namespace qalto::v1 {

namespace {

[[noreturn]] void not_implemented(const char* operation) {
  throw std::runtime_error(std::string("v1::CompatibilityCheckerImpl::") + operation +
                           " is not implemented yet.");
}

// A parameter as an unsigned count; absent and negative values count as 0.
uint32_t param_or_zero(const LayerParams& params, const char* key) {
  const int32_t value = params.get_or(key, 0);
  return value < 0 ? 0 : static_cast<uint32_t>(value);
}

}  // namespace

CompatibilityCheckerImpl::CompatibilityCheckerImpl(const Device& device,
                                                   const HardwareConstraints& constraints)
    : CompatibilityChecker(device, constraints) {}

MappingStatus CompatibilityCheckerImpl::check_layer_compatibility(const Layer&, const Layer*,
                                                                  const HwVersion&) const {
  not_implemented("check_layer_compatibility");
}

MappingStatus CompatibilityCheckerImpl::check_layer_sequence(LayerIterator, LayerIterator,
                                                             const HwVersion&) const {
  not_implemented("check_layer_sequence");
}

MappingStatus CompatibilityCheckerImpl::check_layer_mappings(const Layer&,
                                                             const std::vector<hw::Component>&,
                                                             bool) const {
  not_implemented("check_layer_mappings");
}

bool CompatibilityCheckerImpl::is_sram_input_fit_single_buffer(hw::Type, uint32_t, uint32_t,
                                                               uint32_t, uint32_t, uint8_t,
                                                               uint32_t) const {
  not_implemented("is_sram_input_fit_single_buffer");
}

bool CompatibilityCheckerImpl::is_sram_input_fit_dual_buffer(hw::Type, uint32_t, uint32_t,
                                                             uint32_t, uint32_t, uint8_t,
                                                             uint32_t) const {
  not_implemented("is_sram_input_fit_dual_buffer");
}

bool CompatibilityCheckerImpl::is_weights_size_fit_np(const Layer&, uint32_t) const {
  not_implemented("is_weights_size_fit_np");
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

bool CompatibilityCheckerImpl::check_fnp3_sram_size(const HardwareConstraints&,
                                                    const Layer&) const {
  not_implemented("check_fnp3_sram_size");
}

}  // namespace qalto::v1
