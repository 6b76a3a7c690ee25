#pragma once
// How the FNP input words of a Dense1D layer are laid out on a v2 chip.

#include <cstdint>

#include "qalto/layer.hpp"

namespace qalto::v2 {

enum class InputPadding : uint32_t { none = 0, flat = 1, per_row = 2, per_row_np = 3 };

// The padding mode that keeps the layer's input within the FNP input memory (2048 words).
// Unless `ignore_inbound`, an input coming from a CNP, TNP-B or HRC is laid out row by row.
// runtime_error "Error when formatting the FNP inputs, the padding is undefined." when the
// rounding would pass the largest 32-bit value.
InputPadding get_fnp_supported_padding(const Layer& layer, bool ignore_inbound);

}  // namespace qalto::v2
