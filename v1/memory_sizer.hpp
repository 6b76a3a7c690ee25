#pragma once
// Memory a layer occupies on a v1 component. v1 has none of the Mivo TNP-R SRAMs.

#include "mapping/generation.hpp"

namespace qalto::v1 {

class MemorySizerImpl final : public MemorySizer {
 public:
  MemorySizerImpl() = default;

  // The input, weight and external sizes of v1 components are not known here:
  // runtime_error "v1::MemorySizerImpl::<operation> is not supported on v1.".
  uint32_t get_input_memory_size(const LayerPtr& layer, const hw::Component& component,
                                 const LayerPtr& first_layer) const override;
  uint32_t get_weight_memory_size(const LayerPtr& layer,
                                  const hw::Component& component) const override;
  uint32_t get_external_memory_size(const LayerPtr& layer, const hw::Component& component,
                                    bool dual_output_store, bool multi_pass) const override;
  // The four TNP-R SRAM sizes: always 0 on v1.
  uint32_t get_fsram_64b_memory_size(const LayerPtr& layer) const override;
  uint32_t get_tsram_51b_memory_size(const LayerPtr& layer) const override;
  uint32_t get_evsram_32b_memory_size(const LayerPtr& layer) const override;
  uint32_t get_stsram_32b_memory_size(const LayerPtr& layer) const override;
};

}  // namespace qalto::v1
