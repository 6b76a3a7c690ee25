#include "mapping/np_split.hpp"

#include <algorithm>
#include <stdexcept>

namespace qalto {

namespace {

uint32_t dim_or_zero(const Shape& shape, size_t i) { return i < shape.size() ? shape[i] : 0; }

uint32_t round_up_4(uint64_t value) {
  return static_cast<uint32_t>(std::min<uint64_t>((value + 3) & ~uint64_t{3}, UINT32_MAX));
}

uint32_t clamp_u32(int64_t value) {
  return static_cast<uint32_t>(std::clamp<int64_t>(value, 0, UINT32_MAX));
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }
int64_t ceil_div(int64_t a, int64_t b) { return -floor_div(-a, b); }

int64_t conv_outputs(const ConvAxis& a) {
  return floor_div(a.pad_before + a.total + a.pad_after - a.kernel, a.stride) + 1;
}

bool global_pooling(const ConvAxis& a, int64_t conv_rows) {
  return a.pool_stride == 0 || a.pool_size > conv_rows + a.pool_pad_before + a.pool_pad_after;
}

}  // namespace

// Signed 64-bit arithmetic: an NP whose pixels hold no kernel centre ends with last < first
// instead of wrapping.
AxisSpan pooled_outputs(const ConvAxis& a, int64_t start, int64_t length) {
  const int64_t half = a.kernel / 2;
  const int64_t s = a.stride;
  const int64_t r0 = a.pad_before + start;
  int64_t first = a.kernel >= r0 + s ? 0 : (s - a.kernel + r0) / s;
  while (r0 > first * s + half) ++first;
  const int64_t r1 = a.pad_before + start + length - 1;
  int64_t last = r1 / s;
  while (r1 < last * s + half) --last;
  // Without padding after the input, the last centres of the input hold no full window.
  const int64_t conv_rows = conv_outputs(a);
  last = std::min(last, conv_rows - 1);
  const int64_t ps = a.pool_size;
  const int64_t pst = a.pool_stride;
  if (global_pooling(a, conv_rows))
    return {0, first == 0 && last >= first ? 1u : 0u};
  // The first window ending at or after the NP's first convolution output; the first NP also
  // takes the windows that end in the padding before the axis.
  const int64_t out_first =
      first == 0 ? 0 : std::max<int64_t>(0, ceil_div(first + a.pool_pad_before + 1 - ps, pst));
  if (last < first || length <= 0) return {clamp_u32(out_first), 0};
  // Windows ending in the padding after the axis go to the NP of the last convolution output
  // (not always the NP that reaches the input's end: without padding, the last input pixels
  // hold no kernel centre).
  const bool holds_last = last == conv_rows - 1;
  const int64_t pooled_last = last + a.pool_pad_before + (holds_last ? a.pool_pad_after : 0);
  // The last window ending within the NP; a truncated tail (valid pooling of a size that is
  // not a multiple of the stride) produces no output.
  const int64_t last_window = floor_div(pooled_last + 1 - ps, pst);
  return {clamp_u32(out_first), clamp_u32(last_window - out_first + 1)};
}


AxisSpan pooled_inputs(const ConvAxis& a, AxisSpan outputs, uint32_t before, uint32_t after) {
  if (outputs.count == 0) return {};
  const int64_t conv_rows = conv_outputs(a);
  int64_t conv_first = 0;
  int64_t conv_last = conv_rows - 1;
  if (!global_pooling(a, conv_rows)) {
    const int64_t window = int64_t{outputs.first} * a.pool_stride - a.pool_pad_before;
    const int64_t last_window = window + (int64_t{outputs.count} - 1) * a.pool_stride;
    conv_first = std::max<int64_t>(conv_first, window);
    conv_last = std::min(conv_last, last_window + a.pool_size - 1);
  }
  if (conv_last < conv_first) return {};
  const int64_t centre_offset = a.kernel / 2 - a.pad_before;
  const int64_t lo = std::max<int64_t>(0, conv_first * a.stride + centre_offset - before);
  const int64_t hi = std::min(a.total - 1, conv_last * a.stride + centre_offset + after);
  if (hi < lo) return {};
  return {clamp_u32(lo), clamp_u32(hi - lo + 1)};
}

void NpSplitInterface::set_regions(const NpSpace& own, const NpSpace& input) {
  in_y = input.y;
  in_x = input.x;
  np_height = dim_or_zero(own.shape, 1);
  np_width = dim_or_zero(own.shape, 0);
  np_channels = dim_or_zero(own.shape, 2);
  in_offset_y = input.y - own.y;  // two's complement of minus the top margin
  in_offset_x = input.x - own.x;
  in_height = dim_or_zero(input.shape, 1);
  in_width = dim_or_zero(input.shape, 0);
}

NpSplit::NpSplit(const Shape& input_shape, NpSpace own, const NpSpace& input, int kernel_size,
                 int stride, const PaddingParams& padding, unsigned pool_size,
                 unsigned char pool_stride, const PaddingParams& pool_padding) {
  if (kernel_size < 1 || stride < 1) {
    throw std::runtime_error("NpSplit needs a kernel size and a stride of at least 1.");
  }
  set_regions(own, input);
  stride_phase_y = static_cast<uint32_t>((uint64_t{padding.top} + own.y) % stride);
  stride_phase_x = static_cast<uint32_t>((uint64_t{padding.left} + own.x) % stride);

  const AxisSpan rows = pooled_outputs({dim_or_zero(input_shape, 1), kernel_size, stride,
                                        padding.top, padding.bottom, pool_size, pool_stride,
                                        pool_padding.top, pool_padding.bottom},
                                       own.y, np_height);
  const AxisSpan cols = pooled_outputs({dim_or_zero(input_shape, 0), kernel_size, stride,
                                        padding.left, padding.right, pool_size, pool_stride,
                                        pool_padding.left, pool_padding.right},
                                       own.x, np_width);
  out_y = rows.first;
  out_height = rows.count;
  out_x = cols.first;
  out_width = cols.count;
}

uint32_t NpSplit::icont_size() const { return round_up_4(np_width); }

TransposedCnpSplit::TransposedCnpSplit(NpSpace own, const NpSpace& input) {
  set_regions(own, input);
  out_y = clamp_u32(2 * int64_t{own.y});
  out_x = clamp_u32(2 * int64_t{own.x});
  out_height = clamp_u32(2 * int64_t{np_height});
  out_width = clamp_u32(2 * int64_t{np_width});
}

uint32_t TransposedCnpSplit::icont_size() const { return round_up_4(uint64_t{out_width}); }

}  // namespace qalto
