#include "mivo/memory_sizer.hpp"

#include "mivo/tnpr_sizes.hpp"

namespace qalto::mivo {

uint32_t MemorySizerImpl::get_input_memory_size(const LayerPtr&, const hw::Component&,
                                                const LayerPtr&) const {
  return 0;
}

uint32_t MemorySizerImpl::get_weight_memory_size(const LayerPtr&, const hw::Component&) const {
  return 0;
}

uint32_t MemorySizerImpl::get_external_memory_size(const LayerPtr&, const hw::Component&, bool,
                                                   bool) const {
  return 0;
}

uint32_t MemorySizerImpl::get_fsram_64b_memory_size(const LayerPtr& layer) const {
  return get_tnpr_fsram_64b_size(*layer);
}

uint32_t MemorySizerImpl::get_tsram_51b_memory_size(const LayerPtr& layer) const {
  return get_tnpr_tsram_51b_size(*layer);
}

uint32_t MemorySizerImpl::get_evsram_32b_memory_size(const LayerPtr& layer) const {
  return get_tnpr_evsram_32b_size(*layer);
}

uint32_t MemorySizerImpl::get_stsram_32b_memory_size(const LayerPtr& layer) const {
  return get_tnpr_stsram_32b_size(*layer);
}

}  // namespace qalto::mivo
