#pragma once
// The v1 answers to the mapping's questions (product ids 0x00 and 0xA1).

#include "mapping/generation.hpp"

namespace qalto::v1 {

class CompatibilityCheckerImpl final : public CompatibilityChecker {
 public:
  // Keeps references to both; they must outlive the checker.
  CompatibilityCheckerImpl(const Device& device, const HardwareConstraints& constraints);

  MappingStatus check_layer_compatibility(const Layer& layer, const Layer* previous,
                                          const HwVersion& version) const override;
  MappingStatus check_layer_sequence(LayerIterator first, LayerIterator last,
                                     const HwVersion& version) const override;
  MappingStatus check_layer_mappings(const Layer& layer,
                                     const std::vector<hw::Component>& components,
                                     bool new_pass) const override;
  bool is_sram_input_fit_single_buffer(hw::Type type, uint32_t height, uint32_t width,
                                       uint32_t channels, uint32_t fifo_size, uint8_t input_bits,
                                       uint32_t pksram_shift) const override;
  bool is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height, uint32_t width,
                                     uint32_t channels, uint32_t fifo_size, uint8_t input_bits,
                                     uint32_t pksram_shift) const override;
  bool is_weights_size_fit_np(const Layer& layer, uint32_t filters) const override;
  // Left and right margins of half "kernel_width", top and bottom of half "kernel_height";
  // "pool_type", "pooling_width", "pooling_height", "filters". A missing parameter gives 0.
  NpSplitParams np_split_params(hw::Type type, const LayerParams& params) const override;
  bool check_fnp3_sram_size(const HardwareConstraints& constraints,
                            const Layer& layer) const override;
};

}  // namespace qalto::v1
