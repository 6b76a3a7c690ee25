#pragma once
// Bit widths of a tensor's values: how many bits they need, and whether a layer's variable fits
// the width a hardware register gives it.

#include <cstdint>
#include <string>

#include "qalto/layer.hpp"
#include "qalto/mapping_status.hpp"
#include "qalto/tensor.hpp"

namespace qalto {

// The widest integer any value of `dense` needs: values of a signed element type (int32, int16,
// int8, int4, int2, bit) in two's complement, the sign bit included (-8 and 7 need 4 bits, 8
// needs 5); values of an unsigned element type (uint16, uint8, uint4, uint2) in plain binary
// (15 needs 4 bits). A tensor of zeros needs 0 bits. A float32 tensor gives 0: floats have no
// integer width. Never throws for a valid tensor.
uint32_t evaluate_bitwidth(const Dense& dense);

// Whether every value of the variable `variable` of `layer` fits a `bits`-bit integer: signed
// (-2^(bits-1) to 2^(bits-1)-1) when `is_signed`, else unsigned (0 to 2^bits-1). Returns
// success, or a failed status about the layer:
//   "Variable <variable> not found." when the layer holds no such variable;
//   "Variable <variable> needs <n> bits, more than the <bits> its register holds." when a value
//     is too wide (n counted as `is_signed` says);
//   "Variable <variable> holds negative values, which an unsigned register cannot hold." when
//     unsigned and a value is negative.
//   "Variable <variable> holds a value that no integer register can hold." for a float that is
//     not finite or beyond 64 bits.
// `bits` of 0 accepts only zeros; `bits` of 64 or more accepts every integer. Float values are
// taken by their integer part.
MappingStatus check_bitwidth(const Layer& layer, uint32_t bits, const std::string& variable,
                             bool is_signed);

}  // namespace qalto
