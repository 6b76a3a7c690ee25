#pragma once
// The engine's integer reference operations: the arithmetic the software execution of a model
// uses layer by layer, also reachable from Python (submodule nn) for validation.
//
// Feature maps are (x, y, c) tensors, row-major, c varying fastest. Unless told otherwise an
// operation takes int32 tensors and returns a new int32 tensor; it never changes its arguments.
// Shifts follow one rule everywhere (`shift_value`): a positive shift multiplies by 2^s, a
// negative one divides by 2^-s rounding half up (an arithmetic shift after adding half); the
// result saturates to int32. Sums of products are exact (computed in an arithmetic wide
// enough for the values at hand, up to 128 bits), so no operation wraps, whatever its inputs.
// Shift amounts made of two parts (a per-channel shift plus an extra one) are added in 64 bits.
// Wrong element types panic ("Wrong requested type %s for a tensor of type %s"); wrong ranks or
// sizes throw invalid_argument "<operation>: <reason>".
// "Per-channel" values hold exactly one entry per element of the last dimension.

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "qalto/layer.hpp"
#include "qalto/tensor.hpp"

namespace qalto {

// The geometry of a convolution or pooling window over an (x, y, c) input:
// kernel and stride per axis, the output size and the padding before the first column and row.
struct ImagePatches {
  // Valid: no padding, out = (in - k) / s + 1. Same and SameUpper: out = ceil(in / s), the
  // total padding max((out - 1) * s + k - in, 0) is split with the odd pixel after the input
  // (Same) or before it (SameUpper).
  // Throws invalid_argument for a kernel or stride below 1, an input of fewer than two
  // dimensions, a Valid window larger than the input, or a padding above 127 (it could not be
  // passed on as a signed 8-bit value).
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
int32_t shift_value(int64_t value, int64_t shift);
// The same rule for a 128-bit accumulator.
int32_t shift_wide(__int128 value, int64_t shift);

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
// The transposed convolution of every channel with its own kernel of the (k, k, 1, c)
// filters (the same geometry); returns (out_x, out_y, c).
DensePtr depthwise_conv2d_transpose(const ConstDensePtr& inputs, const ConstDensePtr& filters,
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

// The output stage of a layer: x[..., c] shifted by shifts[c] + extra (int8 shifts), but a
// right shift truncates toward minus infinity (a plain arithmetic shift) instead of rounding,
// as the hardware's output registers do. Saturated to int32.
DensePtr shift_out(const ConstDensePtr& x, const ConstDensePtr& shifts, int32_t extra);
// Rescaling of potentials: shift_value(x[..., c] * scales[c], shifts[c] + extra) + zero_point,
// saturated to int32. `scales` is uint8 or uint16 and per-channel, `shifts` int8 and
// per-channel.
DensePtr scale_out(const ConstDensePtr& x, const ConstDensePtr& scales,
                   const ConstDensePtr& shifts, int32_t extra, int32_t zero_point);

// (kx, ky, c, f) int8 filters as an (f, kx * ky * c) int8 tensor: one row per filter, its
// weights in (kx, ky, c) order, the order input_conv2d walks a patch.
DensePtr linearize_filters(const ConstDensePtr& filters);
// Convolution of an (x, y, c) uint8 image with linearized filters (see linearize_filters) of
// filter_x by filter_y kernels. A position outside the image reads pad_values[c] (uint8,
// per-channel: the value that stands for "no light" in that channel). kernel_x and kernel_y
// must equal filter_x and filter_y, and `linear` must be (f, filter_x * filter_y * c).
// Returns (out_x, out_y, f) int32 potentials.
DensePtr input_conv2d(const ConstDensePtr& inputs, const ConstDensePtr& pad_values,
                      int8_t pad_x, int8_t pad_y, int32_t stride_x, int32_t stride_y,
                      int32_t kernel_x, int32_t kernel_y, uint32_t out_x, uint32_t out_y,
                      int32_t filter_x, int32_t filter_y, const ConstDensePtr& linear);

// A first-in first-out buffer of frames along the first dimension of `fifo` (int8): the
// frames move one place toward index 0 (frame 0 is dropped) and `frame` (int8, as many values
// as one frame of `fifo`) is written as the last frame. Changes `fifo` in place.
void fifo_op(const DensePtr& fifo, const ConstDensePtr& frame);
// Temporal depthwise product of two tensors of the same shape: for every element c of the
// last dimension, shift_value(sum over all other positions of x * kernel, shift_amount).
// x int32, kernel int8; returns a rank-1 int32 tensor of the last dimension.
DensePtr depthwise_like_conv(const ConstDensePtr& x, const ConstDensePtr& kernel,
                             int32_t shift_amount);
// One step of a two-stage recurrent state (m units):
//   p[j]  = sum_i inputs[i] * weights[i][j]           inputs int32 of n values, weights (n, m)
//   s1[j] = shift_value(decay_1[j] * s1[j] + p[j], state_shift)
//   s2[j] = shift_value(decay_2[j] * s2[j] + s1[j], state_shift)
//   y[j]  = shift_value(s2[j], output_shift)
// state_1 and state_2 (int32, m values) are updated in place; decay_1 and decay_2 are int16
// fixed-point factors (m values). Returns y (int32, (m)) and the new states as an int32 (2, m)
// tensor, in that order.
std::pair<DensePtr, DensePtr> update_internal_state(
    const ConstDensePtr& inputs, const ConstDensePtr& weights, const DensePtr& state_1,
    const DensePtr& state_2, const ConstDensePtr& decay_1, const ConstDensePtr& decay_2,
    int32_t state_shift, int32_t output_shift);
// Every factor-th frame along the first dimension (frames 0, factor, 2 * factor, ...), so the
// result has ceil(d0 / factor) frames. int32. Throws invalid_argument for a factor of 0.
DensePtr subsampling(const ConstDensePtr& x, uint8_t factor);
// Post-processing of the recurrent outputs: (x[..., c] - offsets[c]) * scales[c] shifted by
// `shift_amount` and saturated to int16; with `relu` negative results become 0. x and offsets
// int16, scales uint16 (offsets and scales per-channel). Returns an int16 tensor of x's shape.
DensePtr mivo_post_processing(const ConstDensePtr& x, const ConstDensePtr& offsets,
                              const ConstDensePtr& scales, int32_t shift_amount, bool relu);

}  // namespace ops
}  // namespace qalto
