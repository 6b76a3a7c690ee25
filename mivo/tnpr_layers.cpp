#include "mivo/tnpr_layers.hpp"

#include <bit>
#include <limits>

namespace qalto::mivo {

namespace {

constexpr size_t kTimestepsAxis = 1;
constexpr size_t kChannelsAxis = 2;
constexpr uint64_t kWordBits = 32;
// Below this many bits plus rounding, the packed row takes one word.
constexpr uint64_t kTwoWordsRounded = 64;

uint32_t axis_or_one(const Shape& shape, size_t axis) {
  return axis < shape.size() ? shape[axis] : 1;
}

}  // namespace

bool is_tnpr_layer(const Layer& layer) {
  return layer.is_target_component(ComponentKind::TNP_R) ||
         layer.type() == LayerType::MivoPostProcessing;
}

std::shared_ptr<Layer> first_outbound_layer(const Layer& layer) {
  const auto outbound = layer.outbound_layers();
  return outbound.empty() ? nullptr : outbound.front();
}

bool is_first_of_series(const Layer& layer) {
  const auto inbound = layer.inbound_layers();
  return inbound.empty() || inbound.front()->is_target_component(ComponentKind::None);
}

uint32_t input_timesteps(const Layer& layer) {
  return axis_or_one(layer.input_dimensions().front(), kTimestepsAxis);
}

uint32_t input_channels(const Layer& layer) {
  return axis_or_one(layer.input_dimensions().front(), kChannelsAxis);
}

uint32_t output_channels(const Layer& layer) {
  return axis_or_one(layer.output_dimensions(), kChannelsAxis);
}

uint32_t unsigned_param(const Layer& layer, const char* key) {
  return static_cast<uint32_t>(layer.params().get(key));
}

uint64_t ceil_div(uint64_t a, uint64_t b) { return b == 0 ? 0 : a / b + (a % b != 0); }

uint64_t round_up_pow2(uint64_t v) {
  constexpr uint64_t top = uint64_t{1} << 63;
  if (v > top) return std::numeric_limits<uint64_t>::max();  // no power of two left
  return v <= 1 ? 1 : std::bit_ceil(v);
}

uint32_t saturate_u32(uint64_t v) {
  return v > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                   : static_cast<uint32_t>(v);
}

uint32_t packed_input_row_words(uint32_t input_bits, uint32_t channels) {
  const uint64_t rounded = uint64_t{input_bits} * channels + (kWordBits - 1);
  if (rounded < kTwoWordsRounded) return 1;
  return saturate_u32(round_up_pow2(rounded / kWordBits));
}

}  // namespace qalto::mivo
