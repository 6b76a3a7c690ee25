#pragma once
// Merge shifts of a v2 merge layer: the per-channel alignment of the two inputs of an Add that
// skip DMA merges into a CNP layer.

#include <cstdint>
#include <vector>

#include "qalto/tensor.hpp"

namespace qalto::v2 {

// The merge aligns its inputs by a signed shift difference and rescales the sum by a signed
// output shift; these are the widths of the two values (the Add check's limits, 15 and
// [-4, 3], lie within them).
inline constexpr uint32_t MERGE_INPUT_SHIFT_DIFF_BITS = 5;
inline constexpr uint32_t MERGE_OUTPUT_SHIFT_BITS = 3;

// Validates the merge shifts of channels first .. first + count - 1: for each channel, with
// a = first_shift[c] and b = second_shift[c] (uint8) and o = output_shift[c] (int8), a - b
// must fit MERGE_INPUT_SHIFT_DIFF_BITS and max(a, b) + o MERGE_OUTPUT_SHIFT_BITS as signed
// integers, else panic "%d cannot fit in a %d-bit signed integer" (the value, the width).
// A null tensor throws std::invalid_argument "Merge shifts need three shift tensors."; a tensor
// of another element type or shorter than first + count panics through the typed access.
// Returns the merge-shift words. Their bit layout is not part of this generation's
// description yet, so the result is empty: the block stays well formed and carries no
// invented fields.
std::vector<uint32_t> format_merge_layer_shift(const Dense* first_shift, const Dense* second_shift,
                                               const Dense* output_shift, uint32_t first,
                                               uint32_t count);

}  // namespace qalto::v2
