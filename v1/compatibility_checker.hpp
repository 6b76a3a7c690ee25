#pragma once
// The v1 answers to the mapping's questions (product ids 0x00 and 0xA1).
//
// The v1 programming of the NP layer kinds (convolutions, fully connected inference, input
// convolutions) is not available in this engine: those layers are refused here with
// unsupported_layer_message, so that mapping stops cleanly at the first of them and the
// layers before it still map. What v1 answers is what the rest of the system asks of it: the
// layers without NPs pass, the input-memory fits follow the CNP input rule over the v1 input
// SRAM words, the FNP3 fit compares the FNP3 SRAM with the layer's learning-memory weights.

#include <string>

#include "mapping/generation.hpp"

namespace qalto::v1 {

// "Layer type <type> is not supported on v1.": the text with which v1 refuses the layer kinds
// it cannot program, in the checker (as a failed status) and in the recorders (thrown).
std::string unsupported_layer_message(LayerType type);

class CompatibilityCheckerImpl final : public CompatibilityChecker {
 public:
  // Keeps references to both; they must outlive the checker.
  CompatibilityCheckerImpl(const Device& device, const HardwareConstraints& constraints);

  // InputData, Quantizer and Dequantizer (no hardware) and the joining layers Add and
  // Concatenate (no NP of their own) pass; every other type fails with
  // unsupported_layer_message. Never throws.
  MappingStatus check_layer_compatibility(const Layer& layer, const Layer* previous,
                                          const HwVersion& version) const override;
  // No rule spans several layers on v1: success for every run.
  MappingStatus check_layer_sequence(LayerIterator first, LayerIterator last,
                                     const HwVersion& version) const override;
  // Success for every choice of components.
  MappingStatus check_layer_mappings(const Layer& layer,
                                     const std::vector<hw::Component>& components,
                                     bool new_pass) const override;
  // Whether height x width x channels inputs of `input_bits` bits fit the whole input SRAM
  // (input_sram_single_buffer_words) or one buffer of it (input_sram_dual_buffer_words), less
  // `pksram_shift` words. The need of a CNP1 or CNP2 is height rows of, per channel, the row's
  // bytes rounded up to 4, in words; a row beyond the 27-bit row register fits nothing. Sizes
  // are computed in 64 bits. runtime_error "Type of NP not supported." for any other type (v1
  // has no TNP-B). `fifo_size` is not used.
  bool is_sram_input_fit_single_buffer(hw::Type type, uint32_t height, uint32_t width,
                                       uint32_t channels, uint32_t fifo_size, uint8_t input_bits,
                                       uint32_t pksram_shift) const override;
  bool is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height, uint32_t width,
                                     uint32_t channels, uint32_t fifo_size, uint8_t input_bits,
                                     uint32_t pksram_shift) const override;
  // The v1 NP weight format is not available, so its size cannot be told: runtime_error
  // "v1::CompatibilityCheckerImpl::is_weights_size_fit_np is not supported on v1.".
  bool is_weights_size_fit_np(const Layer& layer, uint32_t filters) const override;
  // Left and right margins of half "kernel_width", top and bottom of half "kernel_height";
  // "pool_type", "pooling_width", "pooling_height", "filters". A missing parameter gives 0.
  NpSplitParams np_split_params(hw::Type type, const LayerParams& params) const override;
  // Whether `constraints.fnp3_sram_size` holds the layer's FNP SRAM size: the weight words of
  // its learning memory (v1/learning_memory.hpp, N x U). Throws what learning_layout throws
  // (runtime_error for a layer other than FullyConnected or without its variables).
  bool check_fnp3_sram_size(const HardwareConstraints& constraints,
                            const Layer& layer) const override;
};

}  // namespace qalto::v1
