#pragma once
// Memory a layer occupies on the Mivo TNP-R. Mivo has no NP input, weight or external memory.

#include "mapping/generation.hpp"

namespace qalto::mivo {

class MemorySizerImpl final : public MemorySizer {
 public:
  MemorySizerImpl() = default;

  // Input, weight and external sizes: always 0 on Mivo.
  uint32_t get_input_memory_size(const LayerPtr& layer, const hw::Component& component,
                                 const LayerPtr& first_layer) const override;
  uint32_t get_weight_memory_size(const LayerPtr& layer,
                                  const hw::Component& component) const override;
  uint32_t get_external_memory_size(const LayerPtr& layer, const hw::Component& component,
                                    bool dual_output_store, bool multi_pass) const override;
  // The words of the TNP-R series that starts at the layer (tnpr_sizes.hpp).
  uint32_t get_fsram_64b_memory_size(const LayerPtr& layer) const override;
  uint32_t get_tsram_51b_memory_size(const LayerPtr& layer) const override;
  uint32_t get_evsram_32b_memory_size(const LayerPtr& layer) const override;
  uint32_t get_stsram_32b_memory_size(const LayerPtr& layer) const override;
};

}  // namespace qalto::mivo
