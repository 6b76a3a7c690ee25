#pragma once
// Input-memory words a v2 NP keeps aside when its layer reads the output of an Add.

#include <cstdint>

#include "qalto/layer.hpp"

namespace qalto::v2 {

// Words reserved at the start of an NP's input memory for the Add's second operand.
inline constexpr uint32_t ADD_PKSRAM_SHIFT = 512;

// ADD_PKSRAM_SHIFT when the layer's first inbound layer is an Add, else 0.
uint32_t get_add_pksram_shift(const Layer& layer);

}  // namespace qalto::v2
