#include "v2/fnp_padding.hpp"

#include <stdexcept>

namespace qalto::v2 {

namespace {

constexpr uint32_t fnp_input_words = 2048;

uint32_t round_up_4(uint32_t value) {
  if (value > UINT32_MAX - 3) {
    throw std::runtime_error("Error when formatting the FNP inputs, the padding is undefined.");
  }
  return (value + 3) & ~uint32_t{3};
}

// Words of n values of `bits` bits once their byte count is padded to a word boundary.
uint32_t padded_words(uint32_t n, uint32_t bits) {
  const uint32_t bytes = (bits * n + 7) / 8;
  return n - bytes + round_up_4(bytes);
}

}  // namespace

InputPadding get_fnp_supported_padding(const Layer& layer, bool ignore_inbound) {
  const Shape& in = layer.input_dimensions().front();
  const uint32_t w = in[0], h = in[1], c = in[2];
  const uint32_t bits = layer.input_bits();
  const uint32_t weight_bits = static_cast<uint32_t>(layer.params().get("weights_bits"));
  bool from_np = false;
  bool from_hrc = false;
  const auto inbound = layer.inbound_layers();
  // A layer without inbound layers reads from the input DMA, like an ignored inbound.
  if (!ignore_inbound && !inbound.empty()) {
    const auto& source = inbound.front();
    from_np = source->is_target_component(ComponentKind::CNP) ||
              source->is_target_component(ComponentKind::TNP_B);
    from_hrc = source->is_target_component(ComponentKind::HRC);
  }
  if (from_np || from_hrc) {
    if (bits == 8 && weight_bits == 8 && from_np &&
        round_up_4(w & 0x1FFFFFFF) * (c * h) <= fnp_input_words) {
      return InputPadding::per_row_np;
    }
    return padded_words(w * c, bits) * h <= fnp_input_words ? InputPadding::per_row
                                                            : InputPadding::none;
  }
  return padded_words(h * w * c, bits) <= fnp_input_words ? InputPadding::flat
                                                          : InputPadding::none;
}

}  // namespace qalto::v2
