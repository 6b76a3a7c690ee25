#pragma once
// Look-up-table activation of a v2 CNP.

#include <cstdint>
#include <vector>

#include "qalto/tensor.hpp"

namespace qalto::v2 {

// One table entry per value of the activation's 8-bit input.
inline constexpr uint64_t CNP_LUT_ENTRIES = 256;
// The table gives the 8-bit activation output (a look-up table is refused with 4-bit outputs).
inline constexpr uint32_t CNP_LUT_VALUE_BITS = 8;

// The look-up-table words of a CNP. A null table (the layer carries no "lut_values") gives no
// words. A table must hold exactly CNP_LUT_ENTRIES elements (any shape, any integer element
// type; float32 throws std::invalid_argument), else runtime_error "Wrong size for LUT."; each entry must fit CNP_LUT_VALUE_BITS as a
// signed integer, else panic "%d cannot fit in a %d-bit signed integer".
// The bit layout of the table words is not part of this generation's description yet, so a
// valid table gives no words either: the block stays well formed and carries no invented
// fields.
std::vector<uint32_t> format_lut_values_for_cnp(const Dense* lut);

}  // namespace qalto::v2
