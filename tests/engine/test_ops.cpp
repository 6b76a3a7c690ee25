#include <gtest/gtest.h>

#include "qalto/model.hpp"
#include "qalto/ops.hpp"

namespace qalto {
namespace {

std::shared_ptr<Dense> int32_map(uint32_t x, uint32_t y, uint32_t c, std::vector<int32_t> v) {
  return Dense::copy(v.data(), v.size() * 4, TensorType::int32, Shape{x, y, c});
}

TEST(Ops, ShiftRoundsHalfUpAndSaturates) {
  EXPECT_EQ(ops::shift_value(5, -1), 3);   // 2.5 -> 3
  EXPECT_EQ(ops::shift_value(-5, -1), -2); // -2.5 -> -2
  EXPECT_EQ(ops::shift_value(3, 2), 12);
  EXPECT_EQ(ops::shift_value(int64_t{1} << 40, 0), INT32_MAX);
  EXPECT_EQ(ops::shift_value(-1, 40), INT32_MIN);
}

TEST(Ops, ImagePatchesSamePaddingPutsOddPixelAfter) {
  ImagePatches same(3, 3, 2, 2, Padding::Same, Shape{4, 4, 1});
  EXPECT_EQ(same.out_x, 2u);
  EXPECT_EQ(same.pad_x, 0);  // total padding 1: Same puts it after
  ImagePatches upper(3, 3, 2, 2, Padding::SameUpper, Shape{4, 4, 1});
  EXPECT_EQ(upper.pad_x, 1);
  EXPECT_THROW(ImagePatches(5, 5, 1, 1, Padding::Valid, Shape{4, 4, 1}), std::invalid_argument);
}

TEST(Ops, Conv2dMatchesHandComputedSums) {
  // 3x3 single-channel input 1..9, one 3x3 filter of ones, Same padding: each output is the sum
  // of the 3x3 neighbourhood.
  auto x = int32_map(3, 3, 1, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  auto w = Dense::create(TensorType::int8, Shape{3, 3, 1, 1});
  for (int i = 0; i < 9; ++i) w->data<int8_t>()[i] = 1;
  auto out = ops::conv2d_v2(x, 1, 1, 3, 1, 3, 3, w, 0);
  const int32_t* o = out->data<int32_t>();
  EXPECT_EQ(o[0], 1 + 2 + 4 + 5);
  EXPECT_EQ(o[4], 45);
  EXPECT_EQ(o[8], 5 + 6 + 8 + 9);
  EXPECT_THROW(ops::conv2d_v2(x, 1, 1, 3, 1, 3, 3, Dense::create(TensorType::int8, Shape{3, 3, 2, 1}), 0),
               std::invalid_argument);
}

TEST(Ops, PoolingAndConcatenate) {
  auto x = int32_map(2, 2, 1, {1, -7, 4, 2});
  auto pooled = ops::max_pooling(x, 2, 2, false, 1, 1, 0, 0, 2, 2, 2, 2, 0);
  EXPECT_EQ(pooled->data<int32_t>()[0], 4);
  auto avg = ops::global_average_pooling(x, 0);  // 0 / 4
  EXPECT_EQ(avg->data<int32_t>()[0], 0);
  auto joined = ops::concatenate_last_dim({x, x});
  EXPECT_EQ(joined->dimensions(), (Shape{2, 2, 2}));
  EXPECT_EQ(joined->data<int32_t>()[1], 1);
  EXPECT_EQ(joined->data<int32_t>()[2], -7);
}

// A small conv model run in software, checked by hand.
TEST(SoftwareForward, SmallConvModel) {
  auto model = Model::create();
  model->add(Layer::create(*LayerParams::create(LayerType::InputData,
                                                {{"input_width", 3}, {"input_height", 3},
                                                 {"input_channels", 1}}),
                           "input"));
  auto conv = Layer::create(*LayerParams::create(LayerType::Conv2D,
                                                 {{"filters", 2}, {"kernel_size", 3}}),
                            "conv");
  model->add(conv);
  auto w = std::make_shared<Dense>(*conv->variables().get("weights"));
  for (int i = 0; i < 9; ++i) w->data<int8_t>()[i * 2] = 1;  // filter 0: ones
  w->data<int8_t>()[4 * 2 + 1] = -1;                          // filter 1: minus centre
  conv->variables().set("weights", w);
  auto shift = std::make_shared<Dense>(*conv->variables().get("output_shift"));
  shift->data<int8_t>()[0] = -1;  // halve filter 0
  conv->variables().set("output_shift", shift);

  std::vector<uint8_t> pixels{1, 2, 3, 4, 5, 6, 7, 8, 9};
  auto in = Dense::copy(pixels.data(), 9, TensorType::uint8, Shape{1, 3, 3, 1});
  auto out = std::dynamic_pointer_cast<Dense>(model->forward(in));
  ASSERT_EQ(out->type(), TensorType::uint8);
  ASSERT_EQ(out->dimensions(), (Shape{1, 3, 3, 2}));
  const uint8_t* o = out->data<uint8_t>();
  EXPECT_EQ(o[0], 6);    // (1+2+4+5)=12 >> 1
  EXPECT_EQ(o[8], 23);   // 45 >> 1 = 22.5 -> 23
  EXPECT_EQ(o[9], 0);    // -5 through ReLU
  EXPECT_EQ(o[16], 14);  // (5+6+8+9)=28 >> 1
}

TEST(SoftwareForward, RefusesTypesWithoutReferenceAndBadInputs) {
  auto model = Model::create();
  model->add(Layer::create(*LayerParams::create(LayerType::InputData,
                                                {{"input_width", 2}, {"input_height", 2},
                                                 {"input_channels", 4}, {"input_bits", 4}}),
                           "input"));
  std::vector<uint8_t> big(16, 16);  // above 15 for 4-bit inputs
  EXPECT_THROW(model->forward(Dense::copy(big.data(), 16, TensorType::uint8, Shape{1, 2, 2, 4})),
               std::invalid_argument);
  EXPECT_THROW(model->forward(Dense::copy(big.data(), 16, TensorType::uint8, Shape{1, 4, 1, 4})),
               std::invalid_argument);
  model->add(Layer::create(
      *LayerParams::create(LayerType::BufferTempConv, {{"filters", 4}, {"kernel_size", 1}}),
      "buffered"));
  std::vector<uint8_t> ok(16, 1);
  try {
    model->forward(Dense::copy(ok.data(), 16, TensorType::uint8, Shape{1, 2, 2, 4}));
    FAIL() << "expected a runtime_error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("BufferTempConv"), std::string::npos);
  }
}

}  // namespace
}  // namespace qalto
