#pragma once
// Memory a layer occupies on a v2 component. v2 has none of the Mivo TNP-R SRAMs.
//
// The figures follow the layer's shapes and the CNP formats: the input SRAM an NP fills with
// its input region (rows padded as the CNP packs them, plus the words an Add input keeps
// aside), the weight SRAM its formatted weights take, and the external memory a skip-DMA store
// keeps one output frame of the layer in. Sizes are computed in 64 bits; a figure that does not
// fit 32 bits throws std::overflow_error "Memory size does not fit in 32 bits.".

#include "mapping/generation.hpp"

namespace qalto::v2 {

class MemorySizerImpl final : public MemorySizer {
 public:
  MemorySizerImpl() = default;

  // Bytes of input SRAM of an NP component (one with an NP part) of a CNP layer: 4 x the words
  // input_sram_need_words gives for its input region (width, height, channels) at the layer's
  // input bits, plus 4 x get_add_pksram_shift. Components without an NP part (skip DMA, HRC,
  // endpoints) and layers without hardware hold none: 0. `first_layer` does not change the
  // figure. runtime_error unsupported_layer_message for an NP component of a layer type v2
  // does not program; invalid_argument for an input region of fewer than three dimensions.
  uint32_t get_input_memory_size(const LayerPtr& layer, const hw::Component& component,
                                 const LayerPtr& first_layer) const override;
  // Bytes of weight SRAM of an NP component of a CNP layer: its formatted weights (filters
  // start_neuron .. + filters, or channels for depthwise layers) in 100-bit words, as bytes
  // ((words x 100 + 7) >> 3). 0 for components without an NP part. Same errors as above.
  uint32_t get_weight_memory_size(const LayerPtr& layer,
                                  const hw::Component& component) const override;
  // Bytes of external memory of a SKIP_DMA_STORE component: one output frame of the layer
  // (width x height x channels x output bits, rounded up to bytes), for a plain and a
  // dual-output store alike. Every other component, and `multi_pass`, adds nothing: 0.
  uint32_t get_external_memory_size(const LayerPtr& layer, const hw::Component& component,
                                    bool dual_output_store, bool multi_pass) const override;
  // The four TNP-R SRAM sizes: always 0 on v2.
  uint32_t get_fsram_64b_memory_size(const LayerPtr& layer) const override;
  uint32_t get_tsram_51b_memory_size(const LayerPtr& layer) const override;
  uint32_t get_evsram_32b_memory_size(const LayerPtr& layer) const override;
  uint32_t get_stsram_32b_memory_size(const LayerPtr& layer) const override;
};

}  // namespace qalto::v2
