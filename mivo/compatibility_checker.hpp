#pragma once
// The Mivo answers to the mapping's questions (product id 0xB1). Mivo has no NP: its one
// programmable block is the TNP-R, so the NP questions (buffers, weights, splits, FNP3) are
// refused with a runtime_error.

#include "mapping/generation.hpp"

namespace qalto::mivo {

class CompatibilityCheckerImpl final : public CompatibilityChecker {
 public:
  // Keeps references to both; they must outlive the checker.
  CompatibilityCheckerImpl(const Device& device, const HardwareConstraints& constraints);

  // A StatefulRecurrent layer: the checks of the series it starts (tnpr_checks.hpp). InputData,
  // Dequantizer and Quantizer succeed; any other type fails "Unsupported layer type on Mivo.".
  MappingStatus check_layer_compatibility(const Layer& layer, const Layer* previous,
                                          const HwVersion& version) const override;
  // Always success: the TNP-R series is checked from its first layer.
  MappingStatus check_layer_sequence(LayerIterator first, LayerIterator last,
                                     const HwVersion& version) const override;
  // Always success: the single TNP-R leaves no choice of components.
  MappingStatus check_layer_mappings(const Layer& layer,
                                     const std::vector<hw::Component>& components,
                                     bool new_pass) const override;
  // runtime_error "No single buffer mode on Mivo."
  bool is_sram_input_fit_single_buffer(hw::Type type, uint32_t height, uint32_t width,
                                       uint32_t channels, uint32_t fifo_size, uint8_t input_bits,
                                       uint32_t pksram_shift) const override;
  // runtime_error "No dual buffer mode on Mivo."
  bool is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height, uint32_t width,
                                     uint32_t channels, uint32_t fifo_size, uint8_t input_bits,
                                     uint32_t pksram_shift) const override;
  // runtime_error "No NP on Mivo."
  bool is_weights_size_fit_np(const Layer& layer, uint32_t filters) const override;
  // runtime_error "Cannot split TNP-R."
  NpSplitParams np_split_params(hw::Type type, const LayerParams& params) const override;
  // runtime_error "No FNP3 on Mivo."
  bool check_fnp3_sram_size(const HardwareConstraints& constraints,
                            const Layer& layer) const override;
};

}  // namespace qalto::mivo
