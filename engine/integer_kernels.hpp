#pragma once
// The inner loops of the sum-of-products reference operations (convolutions and weighted
// sums), written so the compiler vectorises them. Internal to the engine: ops.cpp checks every
// shape and argument before it calls these on raw buffers, one sample at a time.
//
// Exactness: each sum is computed in the narrowest arithmetic that cannot overflow for the
// values at hand (see Arithmetic; conv2d also splits wide values into 16-bit halves and long
// filters into chunks), so the results equal those of a 128-bit accumulator, saturated to
// int32 where the operation saturates.

#include <cstdint>

namespace qalto::kernels {

// The arithmetic a sum of products runs in. A sum sum_k x_k * w_k with |x_k| <= max_x and
// sum_k |w_k| <= weight_sum stays within max_x * weight_sum in magnitude, and so does every
// partial sum, in whatever order a vectorised loop adds the terms: when that bound fits a type,
// sums in that type are exact.
enum class Arithmetic {
  Int16,   // operands fit int16, sums in int32 (16-bit multiply-adds, the fastest)
  Int32,   // int32 operands and sums
  Int64,   // int64 sums
  Int128,  // 128-bit sums: int32 x int32 products cannot overflow them below 2^64 terms
};

// The narrowest arithmetic for operands of magnitude at most `max_x` and `max_w` whose weights
// add up (in magnitude, per sum) to at most `weight_sum`.
Arithmetic arithmetic_for(uint64_t max_x, uint64_t max_w, uint64_t weight_sum);

// An (x, y, c) feature map: the layout of every map here, c varying fastest.
struct MapShape {
  uint32_t x;
  uint32_t y;
  uint32_t c;
};

// A window that slides over a map: square kernel, one stride for both axes, and the number of
// padding positions before the first column (x) and row (y).
struct Window {
  int32_t kernel;
  int32_t stride;
  int32_t pad_x;
  int32_t pad_y;
};

// out (out.x, out.y, filters) = convolution of `in` with (k, k, in.c, filters) filters `w`;
// positions outside the input read `pad_value`. Sums saturate to int32.
void conv2d(const int32_t* in, MapShape in_shape, const int8_t* w, Window window,
            int32_t pad_value, MapShape out_shape, int32_t* out);

// out (out.x, out.y, c) = every channel of `in` convolved with its own kernel of the
// (k, k, 1, c) filters; positions outside the input add nothing. Sums saturate to int32.
void depthwise_conv2d(const int32_t* in, MapShape in_shape, const int8_t* w, Window window,
                      MapShape out_shape, int32_t* out);

// Transposed convolution: input pixel (ix, iy) adds x * w[i][j][c][f] to output
// (ix * stride + i - pad_x, iy * stride + j - pad_y, f) when that lies in the output.
// `w` is (kernel_x, kernel_y, in.c, out.c). Sums saturate to int32.
void conv2d_transpose(const int32_t* in, MapShape in_shape, const int8_t* w, uint32_t kernel_x,
                      uint32_t kernel_y, uint32_t stride, int32_t pad_x, int32_t pad_y,
                      MapShape out_shape, int32_t* out);

// The same with (kernel_x, kernel_y, 1, c) filters: channel c spreads only into channel c.
void depthwise_conv2d_transpose(const int32_t* in, MapShape in_shape, const int8_t* w,
                                uint32_t kernel_x, uint32_t kernel_y, uint32_t stride,
                                int32_t pad_x, int32_t pad_y, MapShape out_shape, int32_t* out);

// Exact weighted sums of `rows` input rows of n values:
//   sums[r * units + u] = sum_k x[r * n + k] * w(k, u)
// with w(k, u) = w[k * units + u], or w[u * n + k] when `transposed`.
void weighted_sums(const int32_t* x, uint32_t rows, uint64_t n, const int32_t* w, uint32_t units,
                   bool transposed, __int128* sums);
void weighted_sums(const int32_t* x, uint32_t rows, uint64_t n, const int8_t* w, uint32_t units,
                   bool transposed, __int128* sums);

}  // namespace qalto::kernels
