#include "mapping/np_split.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>

namespace qalto {
namespace {

NpSpace space(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint32_t c = 4) {
  return NpSpace{x, y, Shape{w, h, c}};
}

constexpr PaddingParams kNoPadding{};

// A whole-width NP of rows [y, y + h) of a 16-wide input of `height` rows.
NpSplit rows(uint32_t height, uint32_t y, uint32_t h, int kernel, int stride,
             PaddingParams padding, unsigned pool = 1, unsigned char pool_stride = 1,
             PaddingParams pool_padding = {}) {
  const uint32_t top = y == 0 ? 0 : kernel / 2;
  return NpSplit(Shape{16, height, 4}, space(0, y, 16, h), space(0, y - top, 16, h + top),
                 kernel, stride, padding, pool, pool_stride, pool_padding);
}

TEST(NpSplit, RegionFiguresAndOffsets) {
  const NpSplit s(Shape{32, 20, 8}, space(16, 10, 16, 10, 8), space(15, 9, 17, 11, 8), 3, 1,
                  {1, 1, 1, 1}, 1, 1, kNoPadding);
  EXPECT_EQ(s.in_x, 15u);
  EXPECT_EQ(s.in_y, 9u);
  EXPECT_EQ(s.np_width, 16u);
  EXPECT_EQ(s.np_height, 10u);
  EXPECT_EQ(s.np_channels, 8u);
  EXPECT_EQ(s.in_width, 17u);
  EXPECT_EQ(s.in_height, 11u);
  EXPECT_EQ(s.in_offset_x, 0xFFFFFFFFu);  // minus the left margin
  EXPECT_EQ(s.in_offset_y, 0xFFFFFFFFu);
  EXPECT_EQ(s.out_x, 16u);
  EXPECT_EQ(s.out_width, 16u);
  EXPECT_EQ(s.out_y, 10u);
  EXPECT_EQ(s.out_height, 10u);
}

TEST(NpSplit, OutputRowsAreThoseWhoseKernelCentreIsOwn) {
  // Same padding, stride 1: one output row per own row.
  const NpSplit top = rows(10, 0, 5, 3, 1, {1, 1, 1, 1});
  const NpSplit bottom = rows(10, 5, 5, 3, 1, {1, 1, 1, 1});
  EXPECT_EQ(top.out_y, 0u);
  EXPECT_EQ(top.out_height, 5u);
  EXPECT_EQ(bottom.out_y, 5u);
  EXPECT_EQ(bottom.out_height, 5u);
  // Stride 2, Same (top 0, bottom 1): centres on rows 1, 3 | 5, 7, 9.
  const NpSplit s0 = rows(10, 0, 5, 3, 2, {0, 1, 0, 1});
  const NpSplit s1 = rows(10, 5, 5, 3, 2, {0, 1, 0, 1});
  EXPECT_EQ(s0.out_height, 2u);
  EXPECT_EQ(s1.out_y, 2u);
  EXPECT_EQ(s1.out_height, 3u);
  EXPECT_EQ(s1.stride_phase_y, 1u);
  EXPECT_EQ(s0.stride_phase_y, 0u);
  // Valid padding, kernel 5: output row o has its centre on input row o + 2.
  const NpSplit v0 = rows(12, 0, 6, 5, 1, kNoPadding);
  const NpSplit v1 = rows(12, 6, 6, 5, 1, kNoPadding);
  EXPECT_EQ(v0.out_height, 4u);  // centres 2..5
  EXPECT_EQ(v1.out_y, 4u);
  EXPECT_EQ(v1.out_height, 4u);  // centres 6..9
}

TEST(NpSplit, PoolingRowsAndPaddingAtTheEdges) {
  // Max pooling 2/2 over 6 conv rows split 4 + 2: pooled rows 0-1 and 2.
  const NpSplit p0 = rows(6, 0, 4, 3, 1, {1, 1, 1, 1}, 2, 2);
  const NpSplit p1 = rows(6, 4, 2, 3, 1, {1, 1, 1, 1}, 2, 2);
  EXPECT_EQ(p0.out_y, 0u);
  EXPECT_EQ(p0.out_height, 2u);
  EXPECT_EQ(p1.out_y, 2u);
  EXPECT_EQ(p1.out_height, 1u);
  // 7 conv rows with a bottom pooling pad: only the NP that reaches the last row counts it.
  const PaddingParams bottom_pad{0, 1, 0, 0};
  const NpSplit q0 = rows(7, 0, 4, 3, 1, {1, 1, 1, 1}, 2, 2, bottom_pad);
  const NpSplit q1 = rows(7, 4, 3, 3, 1, {1, 1, 1, 1}, 2, 2, bottom_pad);
  EXPECT_EQ(q0.out_height, 2u);
  EXPECT_EQ(q1.out_y, 2u);
  EXPECT_EQ(q1.out_height, 2u);  // rows 4-5 and 6 + pad
  // Without the pad a valid pooling drops the odd last row: 3 pooled rows in all, not 4.
  const NpSplit v1 = rows(7, 4, 3, 3, 1, {1, 1, 1, 1}, 2, 2);
  EXPECT_EQ(v1.out_height, 1u);
  // A top pooling pad never moves an NP that starts at row 0.
  const NpSplit t0 = rows(7, 0, 3, 3, 1, {1, 1, 1, 1}, 2, 2, {1, 0, 0, 0});
  const NpSplit t1 = rows(7, 3, 4, 3, 1, {1, 1, 1, 1}, 2, 2, {1, 0, 0, 0});
  EXPECT_EQ(t0.out_y, 0u);
  EXPECT_EQ(t0.out_height, 2u);  // pad + 0, rows 1-2
  EXPECT_EQ(t1.out_y, 2u);
  EXPECT_EQ(t1.out_height, 2u);  // rows 3-4, 5-6
  // A window wider than the whole input (global pooling) gives one row.
  const NpSplit g = rows(4, 0, 4, 1, 1, kNoPadding, 0xFFFFFFFFu, 1);
  EXPECT_EQ(g.out_height, 1u);
  // A one-row NP does not claim the window it shares with the next NP.
  const NpSplit one = rows(4, 0, 1, 1, 1, kNoPadding, 2, 2);
  const NpSplit next = rows(4, 1, 3, 1, 1, kNoPadding, 2, 2);
  EXPECT_EQ(one.out_height, 0u);
  EXPECT_EQ(next.out_y, 0u);
  EXPECT_EQ(next.out_height, 2u);
}

TEST(NpSplit, PoolingStrideOtherThanSizeTilesTheOutput) {
  // 8 conv rows (kernel 3, Same), max pooling 2 with stride 1: windows o = rows o, o + 1,
  // 7 in all. Each window goes to the NP of its last row: 0-2 | 3-6.
  const NpSplit a0 = rows(8, 0, 4, 3, 1, {1, 1, 1, 1}, 2, 1);
  const NpSplit a1 = rows(8, 4, 4, 3, 1, {1, 1, 1, 1}, 2, 1);
  EXPECT_EQ(std::make_pair(a0.out_y, a0.out_height), std::make_pair(0u, 3u));
  EXPECT_EQ(std::make_pair(a1.out_y, a1.out_height), std::make_pair(3u, 4u));
  // Pooling 1 with stride 2: windows o = row 2o, 4 in all: 0-1 | 2-3, none made twice.
  const NpSplit b0 = rows(8, 0, 3, 3, 1, {1, 1, 1, 1}, 1, 2);
  const NpSplit b1 = rows(8, 3, 5, 3, 1, {1, 1, 1, 1}, 1, 2);
  EXPECT_EQ(std::make_pair(b0.out_y, b0.out_height), std::make_pair(0u, 2u));
  EXPECT_EQ(std::make_pair(b1.out_y, b1.out_height), std::make_pair(2u, 2u));
  // Valid kernel 3 over 12 rows: 10 conv rows, centres on rows 1-10. Pooling 3/3 with one
  // padding row on each side gives 4 windows (conv rows -1-1, 2-4, 5-7, 8-10); the last ends
  // in the padding and belongs to the NP of conv row 9 (input row 10), not to the NP of the
  // last input row, which holds none.
  const PaddingParams pad_one{1, 1, 0, 0};
  const NpSplit c0 = rows(12, 0, 8, 3, 1, kNoPadding, 3, 3, pad_one);
  const NpSplit c1 = rows(12, 8, 3, 3, 1, kNoPadding, 3, 3, pad_one);
  const NpSplit c2 = rows(12, 11, 1, 3, 1, kNoPadding, 3, 3, pad_one);
  EXPECT_EQ(std::make_pair(c0.out_y, c0.out_height), std::make_pair(0u, 2u));  // conv 0-6
  EXPECT_EQ(std::make_pair(c1.out_y, c1.out_height), std::make_pair(2u, 2u));  // conv 7-9 + pad
  EXPECT_EQ(c2.out_height, 0u);
}

TEST(NpSplit, PooledInputsAreWhatTheWindowsRead) {
  // Kernel 3 Same over 8 rows, pooling 2 stride 1: windows 3-6 pool conv rows 3-7, which read
  // input rows 2-7 (row 8 is padding).
  const ConvAxis axis{8, 3, 1, 1, 1, 2, 1, 0, 0};
  EXPECT_EQ(pooled_outputs(axis, 4, 4).first, 3u);
  const AxisSpan reads = pooled_inputs(axis, {3, 4}, 1, 1);
  EXPECT_EQ(std::make_pair(reads.first, reads.count), std::make_pair(2u, 6u));
  // No margins read (an NP without kernel neighbours): the windows' rows only.
  const AxisSpan centres = pooled_inputs(axis, {3, 4}, 0, 0);
  EXPECT_EQ(std::make_pair(centres.first, centres.count), std::make_pair(3u, 5u));
  EXPECT_EQ(pooled_inputs(axis, {3, 0}, 1, 1).count, 0u);
  // A window wholly in the pooling padding reads nothing.
  const ConvAxis padded{4, 1, 1, 0, 0, 2, 2, 0, 4};
  EXPECT_EQ(pooled_inputs(padded, {3, 1}, 0, 0).count, 0u);
  // Global pooling reads everything.
  const ConvAxis global{6, 3, 1, 1, 1, 100, 1, 0, 0};
  const AxisSpan all = pooled_inputs(global, {0, 1}, 1, 1);
  EXPECT_EQ(std::make_pair(all.first, all.count), std::make_pair(0u, 6u));
}

TEST(NpSplit, NpWithoutOutputRowsSaysZero) {
  // Valid padding, kernel 5: two rows at the top hold no kernel centre.
  const NpSplit s = rows(12, 0, 2, 5, 1, kNoPadding);
  EXPECT_EQ(s.out_height, 0u);
  // Two rows at the bottom hold none either.
  const NpSplit b = rows(12, 10, 2, 5, 1, kNoPadding);
  EXPECT_EQ(b.out_height, 0u);
}

TEST(NpSplit, RefusesZeroKernelOrStride) {
  EXPECT_THROW(rows(8, 0, 8, 0, 1, kNoPadding), std::runtime_error);
  EXPECT_THROW(rows(8, 0, 8, 3, 0, kNoPadding), std::runtime_error);
  EXPECT_THROW(rows(8, 0, 8, -3, 1, kNoPadding), std::runtime_error);
  // A zero pooling stride divides nothing: taken as one window over everything.
  const NpSplit first = rows(8, 0, 4, 3, 1, {1, 1, 1, 1}, 2, 0);
  const NpSplit second = rows(8, 4, 4, 3, 1, {1, 1, 1, 1}, 2, 0);
  EXPECT_EQ(first.out_height, 1u);
  EXPECT_EQ(second.out_y, 0u);
  EXPECT_EQ(second.out_height, 0u);
}

TEST(NpSplit, InputContainerSizes) {
  const NpSplit s(Shape{13, 4, 4}, space(0, 0, 13, 4), space(0, 0, 13, 4), 3, 1, {1, 1, 1, 1},
                  1, 1, kNoPadding);
  EXPECT_EQ(s.icont_size(), 16u);
  const TransposedCnpSplit t(space(13, 2, 13, 5), space(12, 2, 14, 5));
  EXPECT_EQ(t.icont_size(), 28u);
  EXPECT_EQ(t.out_x, 26u);
  EXPECT_EQ(t.out_y, 4u);
  EXPECT_EQ(t.out_width, 26u);
  EXPECT_EQ(t.out_height, 10u);
  EXPECT_EQ(t.stride_phase_x, 0u);
  EXPECT_EQ(t.in_offset_x, 0xFFFFFFFFu);
  const NpSplitInterface& base = t;
  EXPECT_EQ(base.icont_size(), 28u);
}

}  // namespace
}  // namespace qalto
