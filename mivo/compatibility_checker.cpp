#include "mivo/compatibility_checker.hpp"

#include "mivo/tnpr_checks.hpp"

#include <stdexcept>
#include <string>

namespace qalto::mivo {

CompatibilityCheckerImpl::CompatibilityCheckerImpl(const Device& device,
                                                   const HardwareConstraints& constraints)
    : CompatibilityChecker(device, constraints) {}

MappingStatus CompatibilityCheckerImpl::check_layer_compatibility(const Layer& layer, const Layer*,
                                                                  const HwVersion&) const {
  // A series is checked whole from its StatefulRecurrent start; a post-processing layer reached
  // on its own has no series to close.
  if (layer.is_target_component(ComponentKind::TNP_R)) {
    return check_tnp_r_constraints(constraints_, layer);
  }
  switch (layer.type()) {
    case LayerType::InputData:
    case LayerType::Dequantizer:
    case LayerType::Quantizer: return MappingStatus::success();
    default: return MappingStatus(layer, "Unsupported layer type on Mivo.");
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

bool CompatibilityCheckerImpl::is_sram_input_fit_single_buffer(hw::Type, uint32_t, uint32_t,
                                                               uint32_t, uint32_t, uint8_t,
                                                               uint32_t) const {
  throw std::runtime_error("No single buffer mode on Mivo.");
}

bool CompatibilityCheckerImpl::is_sram_input_fit_dual_buffer(hw::Type, uint32_t, uint32_t,
                                                             uint32_t, uint32_t, uint8_t,
                                                             uint32_t) const {
  throw std::runtime_error("No dual buffer mode on Mivo.");
}

bool CompatibilityCheckerImpl::is_weights_size_fit_np(const Layer&, uint32_t) const {
  throw std::runtime_error("No NP on Mivo.");
}

NpSplitParams CompatibilityCheckerImpl::np_split_params(hw::Type, const LayerParams&) const {
  throw std::runtime_error("Cannot split TNP-R.");
}

bool CompatibilityCheckerImpl::check_fnp3_sram_size(const HardwareConstraints&,
                                                    const Layer&) const {
  throw std::runtime_error("No FNP3 on Mivo.");
}

}  // namespace qalto::mivo
