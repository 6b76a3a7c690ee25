#include "v1/memory_sizer.hpp"

#include <stdexcept>
#include <string>

namespace qalto::v1 {

namespace {

// v1 components are not sized in this engine: no v1 layer with NPs passes the checker.
[[noreturn]] void not_supported(const char* operation) {
  throw std::runtime_error(std::string("v1::MemorySizerImpl::") + operation +
                           " is not supported on v1.");
}

}  // namespace

uint32_t MemorySizerImpl::get_input_memory_size(const LayerPtr&, const hw::Component&,
                                                const LayerPtr&) const {
  not_supported("get_input_memory_size");
}

uint32_t MemorySizerImpl::get_weight_memory_size(const LayerPtr&, const hw::Component&) const {
  not_supported("get_weight_memory_size");
}

uint32_t MemorySizerImpl::get_external_memory_size(const LayerPtr&, const hw::Component&, bool,
                                                   bool) const {
  not_supported("get_external_memory_size");
}

uint32_t MemorySizerImpl::get_fsram_64b_memory_size(const LayerPtr&) const { return 0; }
uint32_t MemorySizerImpl::get_tsram_51b_memory_size(const LayerPtr&) const { return 0; }
uint32_t MemorySizerImpl::get_evsram_32b_memory_size(const LayerPtr&) const { return 0; }
uint32_t MemorySizerImpl::get_stsram_32b_memory_size(const LayerPtr&) const { return 0; }

}  // namespace qalto::v1
