#include "v2/fnp_padding.hpp"

#include <stdexcept>

namespace qalto::v2 {

namespace {

constexpr uint32_t kFnpInputWords = 2048;

// Exact arithmetic: three 32-bit dimensions and a bit width stay far below 128 bits, so a large
// input can never wrap round into a small word count and be given a padding it does not fit.
using Wide = unsigned __int128;

[[noreturn]] void padding_undefined() {
  throw std::runtime_error("Error when formatting the FNP inputs, the padding is undefined.");
}

Wide round_up_4(Wide value) { return (value + 3) / 4 * 4; }

// Words of n values of `bits` bits once their byte count is padded to a word boundary:
// n - bytes + round4(bytes). The byte count must stay a 32-bit value once rounded.
Wide padded_words(Wide n, uint32_t bits) {
  const Wide bytes = (Wide{bits} * n + 7) / 8;
  if (bytes > UINT32_MAX - 3) padding_undefined();
  return n + (round_up_4(bytes) - bytes);
}

}  // namespace

InputPadding get_fnp_supported_padding(const Layer& layer, bool ignore_inbound) {
  const Shape& in = layer.input_dimensions().front();
  const Wide w = in[0], h = in[1], c = in[2];
  const uint32_t bits = layer.input_bits();
  const auto weight_bits = layer.params().get("weights_bits");
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
    // 8-bit rows from an NP can each start on a word boundary of their own.
    if (bits == 8 && weight_bits == 8 && from_np && round_up_4(w) * (c * h) <= kFnpInputWords) {
      return InputPadding::per_row_np;
    }
    return padded_words(w * c, bits) * h <= kFnpInputWords ? InputPadding::per_row
                                                           : InputPadding::none;
  }
  return padded_words(h * w * c, bits) <= kFnpInputWords ? InputPadding::flat
                                                         : InputPadding::none;
}

}  // namespace qalto::v2
