#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "qalto/layer.hpp"
#include "qalto/model.hpp"

using namespace qalto;

namespace {

using Params = std::map<std::string, int32_t>;

std::shared_ptr<Layer> make(LayerType type, Params params, const std::string& name) {
  return Layer::create(*LayerParams::create(type, params), name);
}

std::shared_ptr<Layer> input(uint32_t w, uint32_t h, uint32_t c, const std::string& name = "in") {
  return make(LayerType::InputData,
              {{"input_width", static_cast<int32_t>(w)},
               {"input_height", static_cast<int32_t>(h)},
               {"input_channels", static_cast<int32_t>(c)}},
              name);
}

std::vector<std::string> names(const std::vector<std::shared_ptr<Layer>>& layers) {
  std::vector<std::string> out;
  for (const auto& l : layers) out.push_back(l->get_name());
  return out;
}

// A Conv2D of 4 filters on a (w, h, 3) input; returns the built layer.
std::shared_ptr<Layer> conv_on(uint32_t w, uint32_t h, Params params,
                               LayerType type = LayerType::Conv2D) {
  auto model = Model::create();
  model->add(input(w, h, 3));
  params.emplace("filters", 4);
  auto layer = make(type, params, "conv");
  model->add(layer);
  return layer;
}

void expect_padding(const PaddingParams& p, uint32_t top, uint32_t bottom, uint32_t left,
                    uint32_t right) {
  EXPECT_EQ(p.top, top);
  EXPECT_EQ(p.bottom, bottom);
  EXPECT_EQ(p.left, left);
  EXPECT_EQ(p.right, right);
}

constexpr int32_t valid = static_cast<int32_t>(Padding::Valid);
constexpr int32_t same = static_cast<int32_t>(Padding::Same);
constexpr int32_t same_upper = static_cast<int32_t>(Padding::SameUpper);

}  // namespace

TEST(Model, AddWiresInboundAndOutboundInOrder) {
  auto model = Model::create();
  auto in = input(8, 8, 3);
  auto a = make(LayerType::Conv2D, {{"filters", 4}}, "a");
  auto b = make(LayerType::Conv2D, {{"filters", 4}}, "b");
  auto sum = make(LayerType::Add, {}, "sum");
  model->add(in);
  model->add(a);       // fed by the last layer
  model->add(b, {in});
  model->add(sum, {b, a});
  EXPECT_EQ(names(model->layers()), (std::vector<std::string>{"in", "a", "b", "sum"}));
  EXPECT_EQ(names(a->inbound_layers()), (std::vector<std::string>{"in"}));
  EXPECT_EQ(names(in->outbound_layers()), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(names(sum->inbound_layers()), (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(names(a->outbound_layers()), (std::vector<std::string>{"sum"}));
  EXPECT_TRUE(in->inbound_layers().empty());
  EXPECT_EQ(sum->input_dimensions().size(), 2u);
  EXPECT_EQ(model->get_layer("b"), b);
  EXPECT_EQ(model->get_layer(3), sum);
  EXPECT_EQ(model->get_layer(4), nullptr);
  EXPECT_EQ(model->get_layer("nope"), nullptr);
  EXPECT_EQ(model->input_shape(), (std::vector<uint32_t>{8, 8, 3}));
  EXPECT_EQ(model->output_shape(), (std::vector<uint32_t>{8, 8, 4}));
}

TEST(Model, PopRemovesTheLastLayerAndItsLinks) {
  auto model = Model::create();
  auto in = input(4, 4, 1);
  auto dense = make(LayerType::Dense1D, {{"units", 5}}, "dense");
  model->add(in);
  model->add(dense);
  model->pop_layer();
  EXPECT_EQ(model->layer_count(), 1u);
  EXPECT_TRUE(in->outbound_layers().empty());
  EXPECT_TRUE(dense->inbound_layers().empty());
  // The name is free again and the model grows as before.
  model->add(make(LayerType::Dense1D, {{"units", 2}}, "dense"));
  EXPECT_EQ(model->output_shape(), (std::vector<uint32_t>{1, 1, 2}));
  model->pop_layer();
  model->pop_layer();
  model->pop_layer();  // nothing left: no effect
  EXPECT_EQ(model->layer_count(), 0u);
  EXPECT_TRUE(model->input_shape().empty());
}

TEST(Model, RefusedAddLeavesTheModelUnchanged) {
  auto model = Model::create();
  auto in = input(4, 4, 2);
  model->add(in);
  auto stranger = input(4, 4, 2, "stranger");
  EXPECT_THROW(model->add(make(LayerType::Add, {}, "sum"), {in, stranger}),
               std::invalid_argument);
  EXPECT_THROW(model->add(input(4, 4, 2)), std::invalid_argument);  // name taken
  EXPECT_THROW(model->add(in), std::invalid_argument);              // already there
  model->add(make(LayerType::Conv2D, {{"filters", 3}}, "c"));
  auto mismatched = make(LayerType::Add, {}, "bad_sum");
  EXPECT_THROW(model->add(mismatched, {in, model->get_layer("c")}), std::invalid_argument);
  // Each type reads its own count of inbound layers; a single-input layer would silently
  // ignore all but the first.
  const auto c = model->get_layer("c");
  const std::vector<std::pair<std::shared_ptr<Layer>, std::vector<std::shared_ptr<Layer>>>>
      miscounted{
          {make(LayerType::Conv2D, {{"filters", 3}}, "two"), {in, c}},
          {make(LayerType::Dense1D, {{"units", 3}}, "two"), {c, in}},
          {make(LayerType::DepthwiseConv2D, {}, "two"), {in, in}},
          {make(LayerType::Dequantizer, {}, "two"), {c, c}},
          {make(LayerType::Add, {}, "one"), {in}},
          {make(LayerType::Add, {}, "three"), {in, in, in}},
          {input(4, 4, 2, "fed"), {in}},
      };
  for (const auto& [layer, inbound] : miscounted) {
    EXPECT_THROW(model->add(layer, inbound), std::invalid_argument) << layer->get_name();
    EXPECT_FALSE(layer->has_input_dimensions()) << layer->get_name();
  }
  EXPECT_EQ(names(model->layers()), (std::vector<std::string>{"in", "c"}));
  EXPECT_EQ(names(in->outbound_layers()), (std::vector<std::string>{"c"}));
  EXPECT_FALSE(mismatched->has_input_dimensions());
}

TEST(Layer, UnbuiltLayerRefusesShapeQueries) {
  auto conv = make(LayerType::Conv2D, {{"filters", 4}}, "lonely");
  try {
    conv->input_dimensions();
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Cannot get input size before it is set.");
  }
  try {
    conv->conv_calculated_params();
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "The layer lonely is not built.");
  }
  EXPECT_THROW(conv->pool_calculated_params(), std::runtime_error);
}

TEST(ConvArithmetic, ValidKeepsWholeWindowsOnly) {
  auto layer = conv_on(8, 6, {{"kernel_size", 3}, {"kernel_stride", 2}, {"padding", valid}});
  const auto& c = layer->conv_calculated_params();
  EXPECT_EQ(c.output_width, 3u);   // (8 - 3) / 2 + 1
  EXPECT_EQ(c.output_height, 2u);  // (6 - 3) / 2 + 1
  EXPECT_EQ(c.stride_x, 2u);
  expect_padding(c.padding, 0, 0, 0, 0);
  EXPECT_EQ(layer->output_dimensions(), (Shape{3, 2, 4}));
}

TEST(ConvArithmetic, SamePutsTheOddPixelAfterSameUpperBefore) {
  // ceil(8 / 2) = 4 columns need (4 - 1) * 2 + 3 - 8 = 1 pixel of padding; rows likewise.
  auto lower = conv_on(8, 6, {{"kernel_size", 3}, {"kernel_stride", 2}, {"padding", same}});
  EXPECT_EQ(lower->conv_calculated_params().output_width, 4u);
  EXPECT_EQ(lower->conv_calculated_params().output_height, 3u);
  expect_padding(lower->conv_calculated_params().padding, 0, 1, 0, 1);
  auto upper = conv_on(8, 6, {{"kernel_size", 3}, {"kernel_stride", 2}, {"padding", same_upper}});
  EXPECT_EQ(upper->output_dimensions(), (Shape{4, 3, 4}));
  expect_padding(upper->conv_calculated_params().padding, 1, 0, 1, 0);
  // Even padding splits evenly; an odd total of 3 gives 1 and 2.
  auto even = conv_on(5, 5, {{"kernel_size", 3}, {"kernel_stride", 1}, {"padding", same}});
  expect_padding(even->conv_calculated_params().padding, 1, 1, 1, 1);
  auto four = conv_on(5, 5, {{"kernel_size", 4}, {"kernel_stride", 1}, {"padding", same_upper}});
  EXPECT_EQ(four->output_dimensions(), (Shape{5, 5, 4}));
  expect_padding(four->conv_calculated_params().padding, 2, 1, 2, 1);
}

TEST(ConvArithmetic, SeparateWidthAndHeightOfTheFirstGeneration) {
  auto layer = conv_on(10, 9,
                       {{"kernel_width", 3}, {"kernel_height", 5}, {"stride_x", 1},
                        {"stride_y", 2}, {"padding", valid}},
                       LayerType::Convolutional);
  EXPECT_EQ(layer->conv_calculated_params().output_width, 8u);   // 10 - 3 + 1
  EXPECT_EQ(layer->conv_calculated_params().output_height, 3u);  // (9 - 5) / 2 + 1
  EXPECT_EQ(layer->conv_calculated_params().stride_y, 2u);
}

TEST(ConvArithmetic, ValidRefusesAnInputSmallerThanTheKernel) {
  EXPECT_THROW(conv_on(2, 8, {{"kernel_size", 3}, {"padding", valid}}), std::invalid_argument);
}

TEST(ConvArithmetic, TransposedGrowsTheMap) {
  auto valid_t = conv_on(4, 5, {{"kernel_size", 3}, {"kernel_stride", 2}, {"padding", valid}},
                         LayerType::Conv2DTranspose);
  EXPECT_EQ(valid_t->output_dimensions(), (Shape{9, 11, 4}));  // (in - 1) * 2 + 3
  auto same_t = conv_on(4, 5, {{"kernel_size", 3}, {"kernel_stride", 2}, {"padding", same}},
                        LayerType::Conv2DTranspose);
  EXPECT_EQ(same_t->output_dimensions(), (Shape{8, 10, 4}));  // in * 2
}

TEST(PoolArithmetic, PoolingFollowsTheConvolution) {
  auto layer = conv_on(8, 6,
                       {{"kernel_size", 3}, {"padding", same},
                        {"pool_type", static_cast<int32_t>(PoolType::Max)}, {"pool_size", 3},
                        {"pool_stride", 2}});
  const auto& pool = layer->pool_calculated_params();
  EXPECT_TRUE(pool.pooling);
  EXPECT_EQ(pool.stride_x, 2);
  EXPECT_EQ(pool.stride_y, 2);
  EXPECT_EQ(pool.width, 3u);   // (8 - 3) / 2 + 1
  EXPECT_EQ(pool.height, 2u);  // (6 - 3) / 2 + 1
  EXPECT_EQ(layer->conv_calculated_params().output_width, 8u);
  EXPECT_EQ(layer->output_dimensions(), (Shape{3, 2, 4}));
  EXPECT_TRUE(layer->pooling_is(PoolType::Max));

  auto plain = conv_on(8, 6, {{"kernel_size", 3}});
  EXPECT_FALSE(plain->pool_calculated_params().pooling);
  EXPECT_EQ(plain->pool_calculated_params().width, 8u);
}

TEST(LayerShapes, DepthwiseDenseAndConcatenate) {
  auto model = Model::create();
  auto in = input(6, 6, 5);
  model->add(in);
  auto dw = make(LayerType::DepthwiseConv2D, {}, "dw");
  model->add(dw);
  EXPECT_EQ(dw->output_dimensions(), (Shape{6, 6, 5}));
  auto conv = make(LayerType::Conv2D, {{"filters", 2}}, "conv");
  model->add(conv, {in});
  auto cat = make(LayerType::Concatenate, {}, "cat");
  model->add(cat, {dw, conv});
  EXPECT_EQ(cat->output_dimensions(), (Shape{6, 6, 7}));
  auto dense = make(LayerType::Dense1D, {{"units", 10}}, "dense");
  model->add(dense);
  EXPECT_EQ(dense->output_dimensions(), (Shape{1, 1, 10}));
  EXPECT_EQ(dense->input_dimensions().front(), (Shape{6, 6, 7}));
}

namespace qalto {
namespace {

TEST(LayerShapes, SizesThatDoNotFitTheirFieldsAreRefused) {
  // A transposed output past 32 bits would wrap to a tiny map.
  auto huge = Layer::create(LayerParams(LayerType::Conv2DTranspose,
                                        {{"filters", 1}, {"kernel_stride", 65536}}),
                            "huge");
  EXPECT_THROW(huge->build({Shape{65536, 4, 1}}), std::invalid_argument);
  // A pooling stride lives in a byte: 256 would read back as 0.
  auto pooled = Layer::create(
      LayerParams(LayerType::Conv2D, {{"filters", 1}, {"pool_type", 1}, {"pool_size", 1},
                                      {"pool_stride", 256}}),
      "pooled");
  EXPECT_THROW(pooled->build({Shape{300, 300, 1}}), std::invalid_argument);
  // Concatenated channels are added in 64 bits and refused past 32.
  auto cat = Layer::create(LayerParams(LayerType::Concatenate, {}), "cat");
  EXPECT_THROW(cat->build({Shape{1, 1, 0xFFFFFFFFu}, Shape{1, 1, 2}}), std::invalid_argument);
  EXPECT_THROW(cat->build({Shape{4, 4}, Shape{4, 4}}), std::invalid_argument);
  // Element counts past 64 bits are inputs the layer cannot take; the layer stays unbuilt.
  const uint32_t wide = INT32_MAX;
  auto dense = Layer::create(LayerParams(LayerType::Dense1D, {{"units", 1}}), "dense");
  EXPECT_THROW(dense->build({Shape{wide, wide, wide}}), std::invalid_argument);
  auto conv = Layer::create(LayerParams(LayerType::Conv2D, {{"filters", INT32_MAX},
                                                            {"kernel_size", INT32_MAX}}),
                            "conv");
  EXPECT_THROW(conv->build({Shape{1, 1, wide}}), std::invalid_argument);
  for (const auto& layer : {dense, conv}) {
    EXPECT_FALSE(layer->is_built());
    EXPECT_FALSE(layer->has_input_dimensions());
    EXPECT_TRUE(layer->variables().names().empty());
  }
}

TEST(LayerShapes, MacsSaturateInsteadOfWrapping) {
  const int32_t wide = INT32_MAX;
  auto model = Model::create();
  model->add(make(LayerType::InputData,
                  {{"input_width", wide}, {"input_height", wide}, {"input_channels", 1}}, "in"));
  // (2^31 - 1)^2 positions times 9 products: past 64 bits.
  auto conv = make(LayerType::Conv2D, {{"filters", 1}}, "conv");
  model->add(conv);
  EXPECT_EQ(conv->macs(), UINT64_MAX);
  EXPECT_EQ(model->macs(), UINT64_MAX);
  // Two layers whose counts fit 64 bits each but not their sum.
  auto small = Model::create();
  small->add(make(LayerType::InputData,
                  {{"input_width", wide}, {"input_height", wide}, {"input_channels", 1}}, "in"));
  small->add(make(LayerType::Conv2D, {{"filters", 1}, {"kernel_size", 1}}, "a"));
  small->add(make(LayerType::Conv2D, {{"filters", 1}, {"kernel_size", 2}}, "b"));
  const uint64_t positions = uint64_t{INT32_MAX} * INT32_MAX;
  EXPECT_EQ(small->get_layer("a")->macs(), positions);
  EXPECT_EQ(small->get_layer("b")->macs(), positions * 4);
  EXPECT_EQ(small->macs(), UINT64_MAX);
}

}  // namespace
}  // namespace qalto
