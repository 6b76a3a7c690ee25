#pragma once
// Per-NP geometry of a convolution cut over several NPs: where an NP's input region starts,
// how the stride grid is shifted at its first row and column, and which rows and columns of
// the layer output (after pooling) it produces. Small value objects, built on the stack by the
// register, memory-size and recording code of the generations.

#include <cstdint>

#include "qalto/hw.hpp"
#include "qalto/layer.hpp"

namespace qalto {

// Read by name by the register formatters. Never deleted through this base (no virtual
// destructor).
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
class NpSplit : public NpSplitInterface {
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
class TransposedCnpSplit : public NpSplitInterface {
 public:
  TransposedCnpSplit(NpSpace own, const NpSpace& input);

  // The output width (twice the own width) rounded up to a multiple of 4.
  uint32_t icont_size() const override;
};

}  // namespace qalto
