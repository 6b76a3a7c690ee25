#include "v2/memory_sizer.hpp"

#include <limits>
#include <stdexcept>
#include <string>

#include "v2/compatibility_checker.hpp"
#include "v2/pksram_shift.hpp"
#include "v2/weight_formats.hpp"

namespace qalto::v2 {

namespace {

constexpr uint64_t bytes_per_word = 4;
constexpr uint64_t weight_word_bytes_num = 100;

uint32_t narrow(uint64_t bytes) {
  if (bytes > std::numeric_limits<uint32_t>::max()) {
    throw std::overflow_error("Memory size does not fit in 32 bits.");
  }
  return static_cast<uint32_t>(bytes);
}

uint64_t checked_mul(uint64_t a, uint64_t b) {
  uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) {
    throw std::overflow_error("Memory size does not fit in 32 bits.");
  }
  return product;
}

bool is_cnp_layer(const Layer& layer) {
  switch (layer.type()) {
    case LayerType::Conv2D:
    case LayerType::DepthwiseConv2D:
    case LayerType::Conv2DTranspose:
    case LayerType::DepthwiseConv2DTranspose: return true;
    default: return false;
  }
}

// The NP part of a component that holds part of a CNP layer; null for components without one.
const hw::NpPart* cnp_part(const Layer& layer, const hw::Component& component) {
  if (!component.np_part) return nullptr;
  if (!is_cnp_layer(layer)) throw std::runtime_error(unsupported_layer_message(layer.type()));
  return &*component.np_part;
}

}  // namespace

uint32_t MemorySizerImpl::get_input_memory_size(const LayerPtr& layer,
                                                const hw::Component& component,
                                                const LayerPtr&) const {
  const hw::NpPart* part = cnp_part(*layer, component);
  if (part == nullptr) return 0;
  const Shape& region = part->input_region.shape;
  if (region.size() < 3) {
    throw std::invalid_argument("An NP input region needs width, height and channels.");
  }
  const uint64_t words = input_sram_need_words(component.type, region[1], region[0], region[2],
                                               0, layer->input_bits());
  const uint64_t shift_words = get_add_pksram_shift(*layer);
  if (words > std::numeric_limits<uint64_t>::max() - shift_words) {
    throw std::overflow_error("Memory size does not fit in 32 bits.");
  }
  return narrow(checked_mul(words + shift_words, bytes_per_word));
}

uint32_t MemorySizerImpl::get_weight_memory_size(const LayerPtr& layer,
                                                 const hw::Component& component) const {
  const hw::NpPart* part = cnp_part(*layer, component);
  if (part == nullptr) return 0;
  const LayerParams& params = layer->params();
  const uint32_t kernel = static_cast<uint32_t>(params.get("kernel_size"));
  const uint8_t bits = static_cast<uint8_t>(params.get("weights_bits"));
  uint64_t words = 0;
  if (layer->is_depthwise()) {
    words = dwc_ch_cont_100b_size(kernel, part->filters, bits);
  } else {
    const uint32_t channels = layer->input_dimensions().front()[2];
    words = conv2d_cnp_formatted_weight_100b_size(kernel, part->filters, channels, bits);
  }
  return narrow((checked_mul(words, weight_word_bytes_num) + 7) >> 3);
}

uint32_t MemorySizerImpl::get_external_memory_size(const LayerPtr& layer,
                                                   const hw::Component& component, bool,
                                                   bool) const {
  if (component.type != hw::Type::SKIP_DMA_STORE) return 0;
  const Shape& out = layer->output_dimensions();
  if (out.size() == 0) return 0;
  uint64_t bits = layer->output_bits();
  for (uint32_t dim : out) bits = checked_mul(bits, dim);
  return narrow((bits + 7) / 8);
}

uint32_t MemorySizerImpl::get_fsram_64b_memory_size(const LayerPtr&) const { return 0; }
uint32_t MemorySizerImpl::get_tsram_51b_memory_size(const LayerPtr&) const { return 0; }
uint32_t MemorySizerImpl::get_evsram_32b_memory_size(const LayerPtr&) const { return 0; }
uint32_t MemorySizerImpl::get_stsram_32b_memory_size(const LayerPtr&) const { return 0; }

}  // namespace qalto::v2
