#pragma once
// The engine's integer reference operations: the arithmetic the software execution of a model
// uses layer by layer, also reachable from Python (submodule nn) for validation.
//
// Feature maps are (x, y, c) tensors, row-major, c varying fastest. Unless told otherwise an
// operation takes int32 tensors and returns a new int32 tensor; it never changes its arguments.
// Shifts follow one rule everywhere (`shift_value`): a positive shift multiplies by 2^s, a
// negative one divides by 2^-s rounding half up (an arithmetic shift after adding half).
// Wrong element types panic ("Wrong requested type %s for a tensor of type %s"); wrong ranks or
// sizes throw invalid_argument naming the operation.

#include <cstdint>
#include <memory>
#include <vector>

#include "qalto/layer.hpp"
#include "qalto/tensor.hpp"

namespace qalto {

// The geometry of a convolution or pooling window over an (x, y, c) input:
// kernel and stride per axis, the output size and the padding before the first column and row.
struct ImagePatches {
  // Throws invalid_argument for a kernel or stride below 1, an input of fewer than two
  // dimensions, or a Valid window larger than the input.
  ImagePatches(int32_t kernel_x, int32_t kernel_y, int32_t stride_x, int32_t stride_y,
               Padding padding, const Shape& input);

  int32_t kernel_x;  // value 1
  int32_t kernel_y;  // value 2
  int32_t stride_x;  // value 3
  int32_t stride_y;  // value 4
  uint32_t out_x;    // value 5
  uint32_t out_y;    // value 6
  int8_t pad_x;      // value 7: columns of padding before the first input column
  int8_t pad_y;      // value 8: rows of padding before the first input row
};

namespace ops {

using DensePtr = std::shared_ptr<Dense>;
using ConstDensePtr = std::shared_ptr<const Dense>;

// `value` shifted by `shift` (see the header comment), saturated to int32.
int32_t shift_value(int64_t value, int32_t shift);

// x[..., c] << (shifts[c] + extra); shifts uint8 with one entry per channel.
DensePtr lshift(const ConstDensePtr& x, const ConstDensePtr& shifts, int32_t extra);
// x[..., c] shifted by shifts[c] + extra (int8 shifts, either direction).
DensePtr shift(const ConstDensePtr& x, const ConstDensePtr& shifts, int32_t extra);
// a + b (same shape) shifted by `shift_amount`.
DensePtr add(const ConstDensePtr& a, const ConstDensePtr& b, int32_t shift_amount);
// The tensors joined along their last dimension (all other dimensions equal).
DensePtr concatenate_last_dim(const std::vector<ConstDensePtr>& tensors);

// Convolution of an (x, y, c) input with (k, k, c, f) int8 filters; positions outside the input
// read `pad_value`. Returns (out_x, out_y, f) potentials.
DensePtr conv2d_v2(const ConstDensePtr& inputs, int8_t pad_x, int8_t pad_y, int32_t kernel,
                   int32_t stride, uint32_t out_x, uint32_t out_y, const ConstDensePtr& filters,
                   int32_t pad_value);
// Depthwise convolution with (k, k, 1, c) int8 filters; returns (out_x, out_y, c).
DensePtr depthwise_conv2d(const ConstDensePtr& inputs, int8_t pad_x, int8_t pad_y,
                          int32_t kernel, int32_t stride, uint32_t out_x, uint32_t out_y,
                          const ConstDensePtr& filters);
// Transposed convolution (each input pixel spreads its kernel over a stride-spaced output
// grid); `pad_x`, `pad_y` output positions are cut at the start, the output is out_x by out_y.
DensePtr conv2d_transpose(const ConstDensePtr& inputs, const ConstDensePtr& filters,
                          uint8_t stride, int32_t pad_x, int32_t pad_y, uint32_t out_x,
                          uint32_t out_y);
// (n) or (rows, n) inputs times (n, units) int32 weights; `transpose` reads weights as
// (units, n). The products are shifted by `shift_amount`.
DensePtr matmul(const ConstDensePtr& inputs, const ConstDensePtr& weights, int32_t shift_amount,
                bool transpose);
// clamp(x[..., c], 0, max_values[c]); max_values int32, one per channel.
DensePtr relu_activation(const ConstDensePtr& x, const ConstDensePtr& max_values);
// lut[clamp(x, 0, size(lut) - 1)] for every element.
DensePtr look_up(const ConstDensePtr& x, const ConstDensePtr& lut);
// Max pooling over windows of the (x, y, c) input; positions outside read INT32_MIN (never win).
DensePtr max_pooling(const ConstDensePtr& x, int8_t pool_x, int8_t pool_y, bool global,
                     uint32_t out_x, uint32_t out_y, int8_t pad_x, int8_t pad_y,
                     int32_t stride_x, int32_t stride_y, int32_t kernel_x, int32_t kernel_y,
                     int32_t shift_amount);
// Average of every channel over x and y (a (1, 1, c) result), shifted by `shift_amount`;
// the division rounds half up.
DensePtr global_average_pooling(const ConstDensePtr& x, int32_t shift_amount);
// x[..., c] * scales[c] as float32.
DensePtr dequantize(const ConstDensePtr& x, const ConstDensePtr& scales);

}  // namespace ops
}  // namespace qalto
