// Reference operations checked against small cases worked out by hand.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "qalto/ops.hpp"

namespace qalto {
namespace {

template <typename T>
std::shared_ptr<Dense> tensor(TensorType type, const Shape& shape, std::vector<T> values) {
  return Dense::copy(values.data(), values.size() * sizeof(T), type, shape);
}

std::shared_ptr<Dense> i32(const Shape& shape, std::vector<int32_t> v) {
  return tensor(TensorType::int32, shape, std::move(v));
}
std::shared_ptr<Dense> i8(const Shape& shape, std::vector<int8_t> v) {
  return tensor(TensorType::int8, shape, std::move(v));
}

template <typename T>
std::vector<T> values(const Dense& d) {
  const T* p = d.data<T>();
  return {p, p + d.size()};
}

using I32 = std::vector<int32_t>;

TEST(OpsArithmetic, ShiftsNeverWrap) {
  // A per-channel shift plus a huge extra shift is added in 64 bits: saturation, not wrap.
  auto x = i32({2}, {3, -3});
  EXPECT_EQ(values<int32_t>(*ops::shift(x, i8({2}, {1, 1}), INT32_MAX)), (I32{INT32_MAX, INT32_MIN}));
  EXPECT_EQ(values<int32_t>(*ops::shift(x, i8({2}, {-1, -1}), INT32_MIN)), (I32{0, 0}));
  auto u = tensor<uint8_t>(TensorType::uint8, {2}, {255, 255});
  EXPECT_EQ(values<int32_t>(*ops::lshift(x, u, INT32_MAX)), (I32{INT32_MAX, INT32_MIN}));
  EXPECT_EQ(ops::shift_value(7, std::numeric_limits<int64_t>::min()), 0);
  EXPECT_EQ(ops::shift_wide(static_cast<__int128>(1) << 120, -100), 1 << 20);
  EXPECT_EQ(ops::shift_wide(-(static_cast<__int128>(3) << 99), -100), -1);  // -1.5 -> -1
  EXPECT_EQ(ops::shift_wide(static_cast<__int128>(3) << 99, -100), 2);     // 1.5 -> 2
}

TEST(OpsArithmetic, MatmulAccumulatesBeyond64Bits) {
  // Two products of 2^62 add up to 2^63, which int64 cannot hold; shifted right by 40 bits the
  // exact sum is 2^23.
  auto x = i32({2}, {INT32_MIN, INT32_MIN});
  auto w = i32({2, 1}, {INT32_MIN, INT32_MIN});
  EXPECT_EQ(values<int32_t>(*ops::matmul(x, w, -40, false)), (I32{1 << 23}));
  EXPECT_EQ(values<int32_t>(*ops::matmul(x, w, 0, false)), (I32{INT32_MAX}));
}

TEST(OpsArithmetic, ImagePatchesRefusesPaddingBeyondInt8) {
  EXPECT_NO_THROW(ImagePatches(255, 1, 1, 1, Padding::Same, Shape{1, 1, 1}));  // pad 127
  EXPECT_THROW(ImagePatches(257, 1, 1, 1, Padding::Same, Shape{1, 1, 1}), std::invalid_argument);
  const ImagePatches p(3, 3, 1, 1, Padding::SameUpper, Shape{4, 5, 2});
  EXPECT_EQ(p.out_x, 4u);
  EXPECT_EQ(p.out_y, 5u);
  EXPECT_EQ(p.pad_x, 1);
  EXPECT_EQ(p.pad_y, 1);
}

TEST(OpsOutputStage, ShiftOutTruncatesWhereShiftRounds) {
  auto x = i32({4}, {5, -5, 7, 1 << 30});
  auto s = i8({4}, {-1, -1, 0, 2});
  EXPECT_EQ(values<int32_t>(*ops::shift(x, s, 0)), (I32{3, -2, 7, INT32_MAX}));
  EXPECT_EQ(values<int32_t>(*ops::shift_out(x, s, 0)), (I32{2, -3, 7, INT32_MAX}));
  // Shifts of 31 bits or more leave the sign.
  EXPECT_EQ(values<int32_t>(*ops::shift_out(i32({2}, {-9, 9}), i8({2}, {-40, -40}), 0)),
            (I32{-1, 0}));
  EXPECT_THROW(ops::shift_out(x, i8({2}, {0, 0}), 0), std::invalid_argument);
}

TEST(OpsOutputStage, ScaleOutTakesUint8AndUint16Scales) {
  // (2, 2): channel 0 scale 3 shift 0, channel 1 scale 300 shift -2 (extra -1 on both), +10.
  auto x = i32({2, 2}, {4, 4, -4, 1});
  auto wide = tensor<uint16_t>(TensorType::uint16, {2}, {3, 300});
  auto shifts = i8({2}, {1, -1});
  // ch0: 4*3=12 >>0 -> 12 (+10 = 22); ch1: 1200 >> 2 = 300 (+10 = 310);
  // ch0: -12 -> -2; ch1: 300 >> 2 = 75 -> 85.
  EXPECT_EQ(values<int32_t>(*ops::scale_out(x, wide, shifts, -1, 10)), (I32{22, 310, -2, 85}));
  auto narrow = tensor<uint8_t>(TensorType::uint8, {2}, {3, 44});
  EXPECT_EQ(values<int32_t>(*ops::scale_out(x, narrow, shifts, -1, 0)), (I32{12, 44, -12, 11}));
  // Scaling and the zero point saturate instead of wrapping.
  auto big = tensor<uint8_t>(TensorType::uint8, {1}, {255});
  EXPECT_EQ(values<int32_t>(*ops::scale_out(i32({1}, {INT32_MAX}), big, i8({1}, {0}), 0,
                                            INT32_MAX)),
            (I32{INT32_MAX}));
  EXPECT_EQ(values<int32_t>(*ops::scale_out(i32({1}, {-1}), big, i8({1}, {0}), 0, INT32_MIN)),
            (I32{INT32_MIN}));
  EXPECT_THROW(ops::scale_out(x, i8({2}, {1, 1}), shifts, 0, 0), std::runtime_error);
}

TEST(OpsInputConv, LinearizeThenConvolveWithPadValues) {
  // Filters (2, 1, 2, 2): w[i][0][c][f]; filter 0 = {1, 2, 3, 4}, filter 1 = {-1, 0, 0, 1} in
  // (i, c) order.
  auto filters = i8({2, 1, 2, 2}, {1, -1, 2, 0, 3, 0, 4, 1});
  auto linear = ops::linearize_filters(filters);
  EXPECT_EQ(linear->dimensions(), (Shape{2, 4}));
  EXPECT_EQ(values<int8_t>(*linear), (std::vector<int8_t>{1, 2, 3, 4, -1, 0, 0, 1}));

  // A (2, 1, 2) image, window 2x1, stride 1, one row of padding before (pad_x 1): output x 0
  // reads pad values (7, 9) then pixel 0, output x 1 reads pixels 0 and 1.
  auto image = tensor<uint8_t>(TensorType::uint8, {2, 1, 2}, {10, 20, 30, 40});
  auto pad = tensor<uint8_t>(TensorType::uint8, {2}, {7, 9});
  auto out = ops::input_conv2d(image, pad, 1, 0, 1, 1, 2, 1, 2, 1, 2, 1, linear);
  EXPECT_EQ(out->dimensions(), (Shape{2, 1, 2}));
  // f0 at 0: 7 + 18 + 30 + 80 = 135; f1 at 0: -7 + 20 = 13;
  // f0 at 1: 10 + 40 + 90 + 160 = 300; f1 at 1: -10 + 40 = 30.
  EXPECT_EQ(values<int32_t>(*out), (I32{135, 13, 300, 30}));
  // The window must match the filters it was linearized from.
  EXPECT_THROW(ops::input_conv2d(image, pad, 1, 0, 1, 1, 2, 1, 2, 1, 1, 1, linear),
               std::invalid_argument);
  EXPECT_THROW(ops::input_conv2d(image, pad, 1, 0, 1, 1, 1, 1, 2, 1, 1, 1, linear),
               std::invalid_argument);
}

TEST(OpsTemporal, FifoShiftsFramesAndChecksFrameSize) {
  auto fifo = i8({3, 2}, {1, 2, 3, 4, 5, 6});
  ops::fifo_op(fifo, i8({2}, {7, 8}));
  EXPECT_EQ(values<int8_t>(*fifo), (std::vector<int8_t>{3, 4, 5, 6, 7, 8}));
  auto single = i8({1}, {1});
  ops::fifo_op(single, i8({1}, {-4}));
  EXPECT_EQ(values<int8_t>(*single), (std::vector<int8_t>{-4}));
  EXPECT_THROW(ops::fifo_op(fifo, i8({3}, {0, 0, 0})), std::invalid_argument);
  EXPECT_EQ(values<int8_t>(*fifo), (std::vector<int8_t>{3, 4, 5, 6, 7, 8}));
}

TEST(OpsTemporal, DepthwiseLikeConvSumsPerChannel) {
  auto x = i32({3, 2}, {1, 10, 2, 20, 3, 30});
  auto k = i8({3, 2}, {1, -1, 1, 0, 1, 2});
  // channel 0: 1+2+3 = 6; channel 1: -10 + 0 + 60 = 50, halved with rounding: 25.
  EXPECT_EQ(values<int32_t>(*ops::depthwise_like_conv(x, k, 0)), (I32{6, 50}));
  EXPECT_EQ(values<int32_t>(*ops::depthwise_like_conv(x, k, -1)), (I32{3, 25}));
  EXPECT_THROW(ops::depthwise_like_conv(x, i8({2, 3}, {0, 0, 0, 0, 0, 0}), 0),
               std::invalid_argument);
}

TEST(OpsTemporal, UpdateInternalStateStepsBothStates) {
  auto x = i32({2}, {3, 5});
  auto w = i8({2, 2}, {1, 2, -1, 1});  // p = (3 - 5, 6 + 5) = (-2, 11)
  auto s1 = i32({2}, {4, 8});
  auto s2 = i32({2}, {1, 2});
  auto a1 = tensor<int16_t>(TensorType::int16, {2}, {2, 1});
  auto a2 = tensor<int16_t>(TensorType::int16, {2}, {1, 3});
  auto [y, states] = ops::update_internal_state(x, w, s1, s2, a1, a2, 0, -1);
  // s1 = (2*4 - 2, 8 + 11) = (6, 19); s2 = (1 + 6, 6 + 19) = (7, 25); y = s2 / 2 rounded.
  EXPECT_EQ(values<int32_t>(*s1), (I32{6, 19}));
  EXPECT_EQ(values<int32_t>(*s2), (I32{7, 25}));
  EXPECT_EQ(values<int32_t>(*y), (I32{4, 13}));
  EXPECT_EQ(states->dimensions(), (Shape{2, 2}));
  EXPECT_EQ(values<int32_t>(*states), (I32{6, 19, 7, 25}));
  // A state of the wrong size is refused before either state changes.
  EXPECT_THROW(ops::update_internal_state(x, w, s1, i32({3}, {0, 0, 0}), a1, a2, 0, 0),
               std::invalid_argument);
  EXPECT_EQ(values<int32_t>(*s1), (I32{6, 19}));
}

TEST(OpsTemporal, SubsamplingKeepsEveryNthFrame) {
  auto x = i32({5, 2}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
  auto out = ops::subsampling(x, 2);
  EXPECT_EQ(out->dimensions(), (Shape{3, 2}));
  EXPECT_EQ(values<int32_t>(*out), (I32{0, 1, 4, 5, 8, 9}));
  EXPECT_EQ(ops::subsampling(x, 9)->dimensions(), (Shape{1, 2}));
  EXPECT_THROW(ops::subsampling(x, 0), std::invalid_argument);
}

TEST(OpsTemporal, MivoPostProcessingOffsetsScalesAndClamps) {
  auto x = tensor<int16_t>(TensorType::int16, {2, 2}, {10, -10, 32767, 0});
  auto offsets = tensor<int16_t>(TensorType::int16, {2}, {4, 0});
  auto scales = tensor<uint16_t>(TensorType::uint16, {2}, {3, 5});
  // (10-4)*3 = 18 -> 9; -50 -> -25; (32763*3) >> 1 saturates; 0.
  auto plain = ops::mivo_post_processing(x, offsets, scales, -1, false);
  EXPECT_EQ(plain->type(), TensorType::int16);
  EXPECT_EQ(values<int16_t>(*plain), (std::vector<int16_t>{9, -25, 32767, 0}));
  auto relu = ops::mivo_post_processing(x, offsets, scales, -1, true);
  EXPECT_EQ(values<int16_t>(*relu), (std::vector<int16_t>{9, 0, 32767, 0}));
}

}  // namespace
}  // namespace qalto
