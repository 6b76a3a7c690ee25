#pragma once
// Per-NP geometry of a convolution cut over several NPs: where an NP's input region starts,
// how the stride grid is shifted at its first row and column, and which rows and columns of
// the layer output (after pooling) it produces. Small value objects, built on the stack by the
// register, memory-size and recording code of the generations.

#include <cstdint>

#include "qalto/hw.hpp"
#include "qalto/layer.hpp"

namespace qalto {

// One axis of a convolution and its pooling, as a split sees it. No pooling is a pooling of
// size and stride 1 without padding.
struct ConvAxis {
  int64_t total = 0;  // input pixels
  int64_t kernel = 1;
  int64_t stride = 1;
  int64_t pad_before = 0;
  int64_t pad_after = 0;
  int64_t pool_size = 1;
  int64_t pool_stride = 1;
  int64_t pool_pad_before = 0;
  int64_t pool_pad_after = 0;
};

// A run of outputs or pixels along one axis.
struct AxisSpan {
  uint32_t first = 0;
  uint32_t count = 0;
};

// The pooled outputs made by the NP whose own pixels are [start, start + length). Each
// convolution output belongs to the NP that holds its kernel centre, each pooled output to the
// NP that holds the last convolution output of its window (windows ending in the padding after
// the axis to the NP that holds the last convolution output), so the NPs of an axis tile the
// pooled outputs whatever the pooling stride. A window wider than the whole padded axis (global
// pooling) or a zero pooling stride gives one output, made by the NP that holds the first
// convolution output. The kernel and the stride must be at least 1.
AxisSpan pooled_outputs(const ConvAxis& axis, int64_t start, int64_t length);

// The input pixels that the pooled outputs `outputs` read, when the NP reads `before` pixels
// before each kernel centre and `after` after it: every window's convolution outputs (all of
// them under global pooling), clipped to the input. Count 0 for no outputs or a window wholly
// in the pooling padding.
AxisSpan pooled_inputs(const ConvAxis& axis, AxisSpan outputs, uint32_t before, uint32_t after);

// Read by name by the register formatters. Never deleted through this base (its destructor is
// protected and not virtual); the splits below are final, so that nothing derived from them
// can be destroyed as one of them either.
class NpSplitInterface {
 public:
  // Input container size: the row width an NP's input memory holds, a multiple of 4.
  virtual uint32_t icont_size() const = 0;

  uint32_t in_y = 0;            // row of the input region's origin
  uint32_t in_x = 0;            // column of the input region's origin
  uint32_t np_height = 0;       // own region
  uint32_t np_width = 0;
  uint32_t np_channels = 0;
  uint32_t stride_phase_y = 0;  // (top padding + own row) mod stride
  uint32_t stride_phase_x = 0;
  uint32_t in_offset_y = 0;     // input-region row minus own row (two's complement)
  uint32_t in_offset_x = 0;
  uint32_t in_height = 0;       // input region
  uint32_t in_width = 0;
  uint32_t out_y = 0;           // first output row (after pooling) this NP produces
  uint32_t out_x = 0;
  uint32_t out_height = 0;      // output rows (after pooling) this NP produces
  uint32_t out_width = 0;

 protected:
  NpSplitInterface() = default;
  NpSplitInterface(const NpSplitInterface&) = default;
  NpSplitInterface& operator=(const NpSplitInterface&) = default;
  ~NpSplitInterface() = default;
  // Copies the region figures of `own` (spatial partition) and `input` (input region).
  void set_regions(const NpSpace& own, const NpSpace& input);
};

// An ordinary or depthwise convolution NP.
class NpSplit final : public NpSplitInterface {
 public:
  // `input_shape`: the layer's whole input (width, height, ...); `own`: the NP's spatial
  // partition; `input`: its input region; then the convolution's kernel size, stride and
  // padding, and the pooling's size, stride and padding (size and stride 1 without pooling).
  // runtime_error "NpSplit needs a kernel size and a stride of at least 1." otherwise.
  // An NP whose own rows (columns) hold no output centre produces 0 rows (columns).
  NpSplit(const Shape& input_shape, NpSpace own, const NpSpace& input, int kernel_size,
          int stride, const PaddingParams& padding, unsigned pool_size, unsigned char pool_stride,
          const PaddingParams& pool_padding);

  // The own width rounded up to a multiple of 4.
  uint32_t icont_size() const override;
};

// A stride-2 transposed convolution NP: it produces twice its own rows and columns.
class TransposedCnpSplit final : public NpSplitInterface {
 public:
  TransposedCnpSplit(NpSpace own, const NpSpace& input);

  // The output width (twice the own width) rounded up to a multiple of 4.
  uint32_t icont_size() const override;
};

}  // namespace qalto
