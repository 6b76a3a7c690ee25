// Input and output formats of a program.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "program/io_format.hpp"

namespace qalto {
namespace {

std::shared_ptr<Layer> make_layer(LayerType type, std::map<std::string, int32_t> params,
                                  const std::string& name = "layer") {
  return Layer::create(LayerParams(type, std::move(params)), name);
}

template <typename T>
std::shared_ptr<Dense> tensor(TensorType type, const Shape& shape, std::vector<T> values) {
  auto t = Dense::create(type, shape);
  T* data = t->data<T>();
  for (size_t i = 0; i < values.size(); ++i) data[i] = values[i];
  return t;
}

TEST(IoFormat, QuantizerDescribesTheInput) {
  auto q = make_layer(LayerType::Quantizer,
                      {{"output_bits", 4}, {"output_signed", 1}, {"channels_first", 1},
                       {"input_bits", 8}});
  // First dimension 3 of a (3, 2) tensor: only the first three stored values are read.
  q->variables().declare("scales", tensor<float>(TensorType::float32, Shape{3, 2},
                                                 {0.5f, 1.5f, 2.5f, 9, 9, 9}));
  q->variables().declare("zero_points",
                         tensor<uint8_t>(TensorType::uint8, Shape{2}, {7, 200}));
  EXPECT_EQ(io::input_bits(*q), 4);
  EXPECT_TRUE(io::input_sign(*q));
  EXPECT_TRUE(io::input_channels_first(*q));
  EXPECT_EQ(io::format_input_scales(*q), (std::vector<float>{0.5f, 1.5f, 2.5f}));
  EXPECT_EQ(io::format_input_zero_points(*q), (std::vector<uint8_t>{7, 200}));

  auto unsigned_q = make_layer(LayerType::Quantizer, {{"output_bits", 8}});
  EXPECT_FALSE(io::input_sign(*unsigned_q));
  EXPECT_FALSE(io::input_channels_first(*unsigned_q));
}

TEST(IoFormat, OtherFirstLayers) {
  auto conv4 = make_layer(LayerType::Conv2D, {{"filters", 4}, {"input_bits", 4}});
  EXPECT_EQ(io::input_bits(*conv4), 4);
  EXPECT_FALSE(io::input_sign(*conv4)) << "4-bit input is unsigned";
  EXPECT_FALSE(io::input_channels_first(*conv4));
  EXPECT_TRUE(io::format_input_scales(*conv4).empty());
  EXPECT_TRUE(io::format_input_zero_points(*conv4).empty());

  auto conv8 = make_layer(LayerType::Conv2D, {{"filters", 4}, {"input_bits", 8}});
  EXPECT_TRUE(io::input_sign(*conv8));
  auto hrc8 = make_layer(LayerType::InputConv2D, {{"filters", 4}, {"input_bits", 8}});
  EXPECT_FALSE(io::input_sign(*hrc8)) << "the HRC reads unsigned image bytes";
}

TEST(IoFormat, DequantizerOutput) {
  auto dq = make_layer(LayerType::Dequantizer, {});
  std::vector<float> scales(10);
  for (size_t i = 0; i < scales.size(); ++i) scales[i] = 0.25f * static_cast<float>(i + 1);
  dq->variables().declare("scales", tensor<float>(TensorType::float32, Shape{10}, scales));
  EXPECT_EQ(io::format_output_shift(*dq), std::vector<int32_t>(10, 0));
  EXPECT_EQ(io::format_output_scales(*dq), scales);
}

TEST(IoFormat, ActivatedLayerHasNoOutputConversion) {
  auto conv = make_layer(LayerType::Conv2D, {{"filters", 2}, {"activation", 1}});
  conv->variables().declare("threshold", tensor<int32_t>(TensorType::int32, Shape{2}, {1, 2}));
  conv->variables().declare("act_step", tensor<float>(TensorType::float32, Shape{2}, {1, 2}));
  EXPECT_TRUE(io::format_output_shift(*conv).empty());
  EXPECT_TRUE(io::format_output_scales(*conv).empty());
  auto lut = make_layer(LayerType::Conv2D, {{"filters", 2}, {"activation", 2}});
  EXPECT_TRUE(io::format_output_shift(*lut).empty());
  EXPECT_TRUE(io::format_output_scales(*lut).empty());
}

std::string error_of(auto&& call) {
  try {
    call();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no error";
}

TEST(IoFormat, WrongVariableTypesPanic) {
  auto q = make_layer(LayerType::Quantizer, {});
  q->variables().declare("scales", tensor<int32_t>(TensorType::int32, Shape{2}, {1, 2}));
  q->variables().declare("zero_points", tensor<int8_t>(TensorType::int8, Shape{2}, {1, 2}));
  EXPECT_EQ(error_of([&] { io::format_input_scales(*q); }),
            "Wrong requested type float32 for a tensor of type int32");
  EXPECT_EQ(error_of([&] { io::format_input_zero_points(*q); }),
            "Wrong requested type uint8 for a tensor of type int8");

  auto dq = make_layer(LayerType::Dequantizer, {});
  dq->variables().declare("scales", tensor<uint8_t>(TensorType::uint8, Shape{3}, {1, 2, 3}));
  EXPECT_EQ(io::format_output_shift(*dq).size(), 3u) << "zero shifts read only the shape";
  EXPECT_EQ(error_of([&] { io::format_output_scales(*dq); }),
            "Wrong requested type float32 for a tensor of type uint8");
}

TEST(IoFormat, MissingVariableFailsInTheEngine) {
  auto q = make_layer(LayerType::Quantizer, {});
  EXPECT_THROW(io::format_input_scales(*q), std::invalid_argument);
}

}  // namespace
}  // namespace qalto
