#include "v2/compatibility_checker.hpp"

#include <limits>
#include <set>
#include <stdexcept>
#include <string>

#include "qalto/saturating.hpp"
#include "v2/layer_checks.hpp"
#include "v2/weight_formats.hpp"

namespace qalto::v2 {

namespace {

// What a size too large to fit anything reads as: the value a saturated product stops at.
constexpr uint64_t no_fit = std::numeric_limits<uint64_t>::max();

MappingStatus check_by_type(const HardwareConstraints& hc, const Layer& layer) {
  if (auto status = check_cnp_layer_constraints(hc, layer)) return *status;
  switch (layer.type()) {
    // Layers without hardware: the input and the conversions around the program.
    case LayerType::InputData:
    case LayerType::Quantizer:
    case LayerType::Dequantizer: return MappingStatus::success();
    default: return MappingStatus(layer, unsupported_layer_message(layer.type()));
  }
}

// The NP's weights in 100-bit words, or no_fit when a size passes 32 bits.
struct WeightNeed {
  uint64_t container;
  uint64_t total;
};

WeightNeed cnp_weight_need(const Layer& layer, uint32_t filters) {
  if (!layer.is_target_component(ComponentKind::CNP) ||
      layer.type() == LayerType::Convolutional ||
      layer.type() == LayerType::SeparableConvolutional) {
    throw std::runtime_error(unsupported_layer_message(layer.type()));
  }
  const LayerParams& params = layer.params();
  const uint32_t kernel = static_cast<uint32_t>(params.get("kernel_size"));
  const uint8_t bits = static_cast<uint8_t>(params.get("weights_bits"));
  try {
    switch (layer.type()) {
      case LayerType::Conv2D:
      case LayerType::Conv2DTranspose: {
        const uint32_t channels = layer.input_dimensions().front()[2];
        return {conv2d_ch_cont_100b_size(kernel, filters, bits),
                conv2d_cnp_formatted_weight_100b_size(kernel, filters, channels, bits)};
      }
      case LayerType::DepthwiseConv2D:
      case LayerType::DepthwiseConv2DTranspose: {
        // One depthwise container holds every channel of the NP.
        const uint64_t words = dwc_ch_cont_100b_size(kernel, filters, bits);
        return {words, words};
      }
      default:
        throw std::runtime_error(unsupported_layer_message(layer.type()));
    }
  } catch (const std::overflow_error&) {
    return {no_fit, no_fit};
  }
}

uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

uint64_t round_up(uint64_t value, uint64_t multiple) {
  return saturating_mul(ceil_div(value, multiple), multiple);
}

uint64_t cnp_need_words(uint64_t height, uint64_t width, uint64_t channels, uint64_t bits) {
  const uint64_t row_bytes = round_up(ceil_div(bits * width, 8), 4);
  const uint64_t row_words = saturating_mul(channels, row_bytes) / 4;
  // The hardware keeps the row size in a 27-bit field: a larger row cannot be programmed.
  if (row_words >= CNP_ROW_WORDS_LIMIT) return no_fit;
  return saturating_mul(height, row_words);
}

uint64_t tnp_b_need_words(uint64_t height, uint64_t width, uint64_t channels, uint64_t fifo_size,
                          uint64_t bits) {
  uint64_t bits_total = round_up(channels, 4);
  bits_total = saturating_mul(bits_total, height);
  bits_total = saturating_mul(bits_total, bits);
  bits_total = saturating_mul(bits_total, width);
  if (bits_total == no_fit) return no_fit;
  const uint64_t blocks = round_up(ceil_div(bits_total, 32), TNP_B_BLOCK_WORDS);
  return saturating_mul(blocks, 1 + fifo_size);
}

bool fits(uint64_t need, uint32_t capacity, uint32_t pksram_shift) {
  if (pksram_shift > capacity) return false;
  return need <= uint64_t{capacity} - pksram_shift;
}

// A parameter as an unsigned count; absent and negative values count as 0.
uint32_t param_or_zero(const LayerParams& params, const char* key) {
  const int32_t value = params.get_or(key, 0);
  return value < 0 ? 0 : static_cast<uint32_t>(value);
}

}  // namespace

std::string unsupported_layer_message(LayerType type) {
  return std::string("Layer type ") + layer_type_name(type) + " is not supported on v2.";
}

uint64_t input_sram_need_words(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                               uint32_t fifo_size, uint8_t input_bits) {
  switch (type) {
    case hw::Type::CNP1:
    case hw::Type::CNP2:
      return cnp_need_words(height, width, channels, input_bits);
    case hw::Type::TNP_B:
      return tnp_b_need_words(height, width, channels, fifo_size, input_bits);
    default:
      throw std::runtime_error("Type of NP not supported.");
  }
}

CompatibilityCheckerImpl::CompatibilityCheckerImpl(const Device& device,
                                                   const HardwareConstraints& constraints)
    : CompatibilityChecker(device, constraints) {}

MappingStatus CompatibilityCheckerImpl::check_layer_compatibility(const Layer& layer,
                                                                  const Layer* /*previous*/,
                                                                  const HwVersion&) const {
  // The checks read shapes, parameters and variables the user gave; a layer whose data cannot
  // be read is reported like a broken rule, so that the layers before it still map.
  try {
    return check_by_type(constraints_, layer);
  } catch (const std::invalid_argument& e) {
    return MappingStatus(layer, e.what());
  } catch (const std::runtime_error& e) {
    return MappingStatus(layer, e.what());
  }
}

MappingStatus CompatibilityCheckerImpl::check_layer_sequence(LayerIterator, LayerIterator,
                                                             const HwVersion&) const {
  return MappingStatus::success();
}

MappingStatus CompatibilityCheckerImpl::check_layer_mappings(
    const Layer& layer, const std::vector<hw::Component>& components, bool) const {
  // An NP serves as CNP1 or CNP2 but is one NP either way; a skip-DMA engine's store and
  // load sides are separate resources, so a layer may store and load on the same channel.
  std::set<std::pair<hw::Type, hw::Ident>> seen;
  for (const auto& component : components) {
    const bool skip_dma = component.type == hw::Type::SKIP_DMA_STORE ||
                          component.type == hw::Type::SKIP_DMA_LOAD;
    const hw::Type resource = skip_dma ? component.type : hw::Type::None;
    if (!seen.insert({resource, component.ident}).second) {
      return MappingStatus(layer, std::string("The ") + hw::to_string(component.type) + " " +
                                      hw::to_string(component.ident) + " channel " +
                                      std::to_string(component.ident.channel) +
                                      " is given twice to one layer.");
    }
  }
  return MappingStatus::success();
}

bool CompatibilityCheckerImpl::is_sram_input_fit_single_buffer(
    hw::Type type, uint32_t height, uint32_t width, uint32_t channels, uint32_t fifo_size,
    uint8_t input_bits, uint32_t pksram_shift) const {
  const uint64_t need = input_sram_need_words(type, height, width, channels, fifo_size, input_bits);
  return fits(need, constraints_.input_sram_single_buffer_words, pksram_shift);
}

bool CompatibilityCheckerImpl::is_sram_input_fit_dual_buffer(
    hw::Type type, uint32_t height, uint32_t width, uint32_t channels, uint32_t fifo_size,
    uint8_t input_bits, uint32_t pksram_shift) const {
  const uint64_t need = input_sram_need_words(type, height, width, channels, fifo_size, input_bits);
  return fits(need, constraints_.input_sram_dual_buffer_words, pksram_shift);
}

bool CompatibilityCheckerImpl::is_weights_size_fit_np(const Layer& layer,
                                                      uint32_t filters) const {
  const WeightNeed need = cnp_weight_need(layer, filters);
  if (need.container >= CNP_CHANNEL_CONTAINER_LIMIT) return false;
  return need.total <= constraints_.np_weight_words;
}

NpSplitParams CompatibilityCheckerImpl::np_split_params(hw::Type type,
                                                        const LayerParams& params) const {
  NpSplitParams split;
  const uint32_t margin = type == hw::Type::TNP_B ? 0 : param_or_zero(params, "kernel_size") / 2;
  split.left_margin = margin;
  split.right_margin = margin;
  split.top_margin = margin;
  split.bottom_margin = margin;
  split.pool_type = param_or_zero(params, "pool_type");
  split.pool_width = param_or_zero(params, "pool_size");
  split.pool_height = split.pool_width;
  split.filters = param_or_zero(params, "filters");
  return split;
}

bool CompatibilityCheckerImpl::check_fnp3_sram_size(const HardwareConstraints&,
                                                    const Layer& layer) const {
  throw std::runtime_error(unsupported_layer_message(layer.type()));
}

}  // namespace qalto::v2
