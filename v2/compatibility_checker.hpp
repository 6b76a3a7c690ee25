#pragma once
// The v2 answers to the mapping's questions: layer and sequence checks, input and weight
// memory fits, and how a layer is cut over NPs.

#include <string>

#include "mapping/generation.hpp"

namespace qalto::v2 {

// Input words a CNP row may take: the register that holds it has 27 bits.
inline constexpr uint64_t CNP_ROW_WORDS_LIMIT = uint64_t{1} << 27;
// A TNP-B buffers its input in blocks of 64 words, one set per FIFO entry plus one.
inline constexpr uint64_t TNP_B_BLOCK_WORDS = 64;
// A channel container of 0x40000 100-bit words or more does not fit the 18-bit container-size
// register of a CNP.
inline constexpr uint64_t CNP_CHANNEL_CONTAINER_LIMIT = 0x40000;

// "Layer type <type> is not supported on v2.": the text with which v2 refuses the layer kinds
// it cannot program (fully connected, HRC input convolutions, TNP-B and TNP-R layers, and the
// types of the other generations).
std::string unsupported_layer_message(LayerType type);

// The 32-bit words of input SRAM that an input of height x width x channels at `input_bits`
// needs on an NP of `type` (CNP1, CNP2: row by row, each channel's row padded to 4 bytes;
// TNP_B: channels padded to 4, rounded to 64-word blocks, times 1 + fifo_size). Computed in
// 64 bits and saturated: a need that cannot be represented (or a CNP row beyond the 27-bit
// register) is UINT64_MAX, which fits no memory. runtime_error "Type of NP not supported." for
// any other type.
uint64_t input_sram_need_words(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                               uint32_t fifo_size, uint8_t input_bits);

class CompatibilityCheckerImpl final : public CompatibilityChecker {
 public:
  // Keeps references to both; they must outlive the checker.
  CompatibilityCheckerImpl(const Device& device, const HardwareConstraints& constraints);

  // The constraint check of the layer's type: Add, Conv2D, DepthwiseConv2D, Conv2DTranspose
  // and DepthwiseConv2DTranspose (v2/layer_checks.hpp). InputData, Quantizer, Dequantizer
  // (no hardware) and Concatenate (skip DMA only) pass. Every other type fails with
  // unsupported_layer_message, so mapping stops there and the layers before it still map.
  // A layer that cannot be inspected (not built, a parameter or variable missing, a shift
  // tensor of the wrong type) fails with the error's text instead of throwing.
  MappingStatus check_layer_compatibility(const Layer& layer, const Layer* previous,
                                          const HwVersion& version) const override;
  // No rule spans several layers on v2: success for every run.
  MappingStatus check_layer_sequence(LayerIterator first, LayerIterator last,
                                     const HwVersion& version) const override;
  // Fails with "The <type> <(c, r, id)> channel <n> is given twice to one layer." when two
  // NP components share their identifier (whatever their NP types), or two skip-DMA
  // components of one type (store or load) share it; success otherwise.
  MappingStatus check_layer_mappings(const Layer& layer,
                                     const std::vector<hw::Component>& components,
                                     bool new_pass) const override;
  // Whether the input fits the whole input SRAM (input_sram_single_buffer_words) less
  // `pksram_shift` words; a shift above the capacity leaves no room at all.
  bool is_sram_input_fit_single_buffer(hw::Type type, uint32_t height, uint32_t width,
                                       uint32_t channels, uint32_t fifo_size, uint8_t input_bits,
                                       uint32_t pksram_shift) const override;
  // The same against one buffer of a dual-buffered NP (input_sram_dual_buffer_words).
  bool is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height, uint32_t width,
                                     uint32_t channels, uint32_t fifo_size, uint8_t input_bits,
                                     uint32_t pksram_shift) const override;
  // For Conv2D and Conv2DTranspose ("kernel_size", "weights_bits", input channels dims[2]) and
  // DepthwiseConv2D and DepthwiseConv2DTranspose (filters = channels of one NP): false when
  // one channel container for `filters` reaches CNP_CHANNEL_CONTAINER_LIMIT, otherwise whether
  // np_weight_words holds the NP's formatted weights in 100-bit words. A size that does not fit
  // 32 bits does not fit. runtime_error unsupported_layer_message for other types; the size
  // functions' kernel errors pass through.
  bool is_weights_size_fit_np(const Layer& layer, uint32_t filters) const override;
  // Margins of half "kernel_size" (none on a TNP_B, whose kernel runs over time), "pool_type",
  // "pool_size" for both pool sizes, "filters"; a missing parameter gives 0.
  NpSplitParams np_split_params(hw::Type type, const LayerParams& params) const override;
  // v2 cannot program fully connected layers here, so no layer has an FNP SRAM size to
  // compare: always runtime_error unsupported_layer_message for the layer's type.
  bool check_fnp3_sram_size(const HardwareConstraints& constraints,
                            const Layer& layer) const override;
};

}  // namespace qalto::v2
