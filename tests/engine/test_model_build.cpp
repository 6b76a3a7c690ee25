#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "qalto/backend_registry.hpp"
#include "qalto/model.hpp"

namespace qalto {
namespace {

std::unique_ptr<Model> small_model() {
  auto model = Model::create();
  model->add(Layer::create(*LayerParams::create(LayerType::InputData,
                                                {{"input_width", 8}, {"input_height", 8},
                                                 {"input_channels", 3}}),
                           "input"));
  model->add(Layer::create(*LayerParams::create(LayerType::Conv2D, {{"filters", 4}}), "conv"));
  model->add(Layer::create(*LayerParams::create(LayerType::DepthwiseConv2D, {}), "dw"));
  model->add(Layer::create(*LayerParams::create(LayerType::FullyConnected, {{"units", 10}}), "fc"));
  return model;
}

TEST(ModelBuild, VariablesAreZeroFilledWithDocumentedShapes) {
  auto model = small_model();
  auto conv = model->get_layer("conv");
  auto weights = conv->variables().get("weights");
  EXPECT_EQ(weights->type(), TensorType::int8);
  EXPECT_EQ(weights->dimensions(), (Shape{3, 3, 3, 4}));
  for (size_t i = 0; i < weights->size(); ++i) EXPECT_EQ(weights->value_as_int(i), 0);
  EXPECT_EQ(conv->variables().get("bias")->dimensions(), (Shape{4}));
  EXPECT_TRUE(conv->variables().has("max_value"));  // ReLU by default
  EXPECT_EQ(model->get_layer("dw")->variables().get("weights")->dimensions(), (Shape{3, 3, 1, 4}));
  EXPECT_EQ(model->get_layer("fc")->variables().get("weights")->dimensions(), (Shape{256, 10}));
  // A declared variable refuses another shape and keeps its value.
  EXPECT_THROW(conv->variables().set("bias", Dense::create(TensorType::int8, Shape{5})),
               std::invalid_argument);
  EXPECT_EQ(model->macs(), 8u * 8 * 27 * 4 + 8u * 8 * 9 * 4 + 256u * 10);
}

TEST(ModelBuild, ParamsValidatedAtCreation) {
  EXPECT_THROW(Layer::create(*LayerParams::create(LayerType::Conv2D, {}), "c"), std::invalid_argument);
  EXPECT_THROW(Layer::create(*LayerParams::create(LayerType::Conv2D, {{"filters", 1}, {"kernel_size", 0}}), "c"),
               std::invalid_argument);
  // Global average pooling is the one negative pool size.
  auto gap = Layer::create(*LayerParams::create(LayerType::Conv2D, {{"filters", 2}, {"pool_type", 2}, {"pool_size", -1}}), "g");
  EXPECT_EQ(gap->params().get("pool_stride"), 1);
  EXPECT_THROW(Layer::create(*LayerParams::create(LayerType::Conv2D, {{"filters", 2}, {"pool_type", 1}, {"pool_size", -1}}), "g"),
               std::invalid_argument);
  // A type outside the enum, a name or key Python could not read: refused at creation.
  try {
    Layer::create(LayerParams(static_cast<LayerType>(8), {}), "odd");
    ADD_FAILURE() << "type 8 created";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Cannot create a layer of unknown type 8.");
  }
  EXPECT_THROW(Layer::create(LayerParams(LayerType::Dense1D, {{"units", 1}}), "d\xff"),
               std::invalid_argument);
  EXPECT_THROW(
      Layer::create(LayerParams(LayerType::Dense1D, {{"units", 1}, {"\xc0\xaf", 1}}), "d"),
      std::invalid_argument);
  // A layer that does not know its input cannot start a model; the model stays empty.
  auto model = Model::create();
  EXPECT_THROW(model->add(gap), std::invalid_argument);
  EXPECT_EQ(model->layer_count(), 0u);
}

TEST(ModelBuild, CopyIsIndependent) {
  auto model = small_model();
  auto fc = model->get_layer("fc");
  model->compile(LearningParams::create(0, {{"num_classes", 5}, {"num_weights", 4}}));
  auto copy = model->copy();
  ASSERT_EQ(copy->layer_count(), 4u);
  auto copied_fc = copy->get_layer("fc");
  EXPECT_NE(copied_fc, fc);
  EXPECT_EQ(copied_fc->inbound_layers().front(), copy->get_layer("dw"));
  ASSERT_TRUE(copy->learning());
  EXPECT_EQ(copy->learning()->get("num_classes"), 5);
  auto w = std::make_shared<Dense>(*copied_fc->variables().get("weights"));
  w->data<int8_t>()[0] = 1;
  copied_fc->variables().set("weights", w);
  EXPECT_EQ(fc->variables().get("weights")->value_as_int(0), 0);
}

TEST(ModelBuild, CompileChecks) {
  auto model = small_model();  // 10 units
  const std::vector<std::map<std::string, double>> refused{
      {{"num_classes", 0}},     {{"num_classes", 3}},      {{"num_classes", 11}},
      {{"num_classes", 1e30}},  {{"num_classes", NAN}},    {{"num_classes", 2.5}},
      {{"num_weights", 1e30}},  {{"num_weights", -1}},     {{"num_weights", NAN}},
      {{"num_weights", 4294967296.0}}, {{"num_weights", 0.5}}, {{"\xff", 1}}};
  for (const auto& values : refused) {
    EXPECT_THROW(model->compile(LearningParams::create(0, values)), std::invalid_argument)
        << values.begin()->first << " " << values.begin()->second;
  }
  EXPECT_FALSE(model->learning());
  model->compile(LearningParams::create(0, {{"num_classes", 5}, {"num_weights", 4294967295.0}}));
  // fit checks the set again: a set changed since compile never indexes past the weights.
  std::vector<uint8_t> zeros(8 * 8 * 3);
  auto in = Dense::copy(zeros.data(), zeros.size(), TensorType::uint8, Shape{1, 8, 8, 3});
  const auto compiled = model->learning();
  for (const auto& [key, value, label] : std::vector<std::tuple<std::string, double, int32_t>>{
           {"num_classes", 20, 19}, {"num_weights", 1e30, 1}}) {
    auto changed = LearningParams::clone(*compiled);
    changed->set(key, value);
    model->get_layer("fc")->set_learning(changed);
    EXPECT_THROW(model->fit(in, {label}), std::invalid_argument) << key;
  }
  model->add(Layer::create(*LayerParams::create(LayerType::Dequantizer, {}), "deq"));
  EXPECT_THROW(model->compile(LearningParams::create(0, {})), std::runtime_error);
}

TEST(ModelBuild, FitLearnsIntoTheWinnerOfTheLabelledClass) {
  auto model = Model::create();
  model->add(Layer::create(*LayerParams::create(LayerType::InputData,
                                                {{"input_width", 1}, {"input_height", 1},
                                                 {"input_channels", 4}, {"input_bits", 1}}),
                           "input"));
  model->add(Layer::create(*LayerParams::create(LayerType::FullyConnected, {{"units", 4}}), "fc"));
  model->compile(LearningParams::create(0, {{"num_classes", 2}, {"num_weights", 2}}));
  std::vector<uint8_t> sample{1, 0, 1, 1};
  auto in = Dense::copy(sample.data(), 4, TensorType::uint8, Shape{1, 1, 1, 4});
  model->fit(in, {1});
  auto w = model->get_layer("fc")->variables().get("weights");
  // Class 1 holds neurons 2 and 3; the first (2) wins a tie and takes two active inputs.
  EXPECT_EQ(w->value_as_int(0 * 4 + 2), 1);
  EXPECT_EQ(w->value_as_int(2 * 4 + 2), 1);
  EXPECT_EQ(w->value_as_int(3 * 4 + 2), 0);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(w->value_as_int(k * 4 + 0), 0);
  // A label out of range learns nothing.
  auto before = std::make_shared<Dense>(*w);
  model->fit(in, {7});
  EXPECT_EQ(std::memcmp(before->raw(), model->get_layer("fc")->variables().get("weights")->raw(), 16), 0);
  EXPECT_THROW(model->fit(in, {0, 1}), std::invalid_argument);
}

TEST(ModelBuild, MapWithoutBackendLeavesModelUnmapped) {
  auto model = small_model();
  set_hardware_backend_factory(nullptr);
  EXPECT_THROW(model->map(nullptr), std::invalid_argument);
  try {
    // The back end is looked up before the device is used.
    model->map(std::shared_ptr<Device>(reinterpret_cast<Device*>(0x1), [](Device*) {}));
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "No hardware back end is available.");
  }
  EXPECT_FALSE(model->device());
  EXPECT_TRUE(model->sequences().empty());
}

}  // namespace
}  // namespace qalto

namespace qalto {
namespace {

TEST(ModelBuild, SecondInputLayerOpensASecondInput) {
  auto model = Model::create();
  auto input_params = LayerParams(LayerType::InputData,
                                  {{"input_width", 4}, {"input_height", 4}, {"input_channels", 2}});
  auto a = Layer::create(input_params, "a");
  auto b = Layer::create(input_params, "b");
  auto add = Layer::create(LayerParams(LayerType::Add, {}), "add");
  model->add(a);
  model->add(b);
  model->add(add, {a, b});
  EXPECT_TRUE(b->inbound_layers().empty());
  ASSERT_EQ(add->inbound_layers().size(), 2u);
  EXPECT_EQ(add->inbound_layers()[1], b);
  EXPECT_EQ(a->outbound_layers().size(), 1u);
  // Every InputData reads the one input tensor: another shape, width or sign, or an inbound
  // layer, could not be fed.
  for (const auto& [key, value] : std::map<std::string, int32_t>{
           {"input_width", 5}, {"input_bits", 4}, {"input_signed", 1}}) {
    auto params = input_params;
    params.set(key, value);
    EXPECT_THROW(model->add(Layer::create(params, "c")), std::invalid_argument) << key;
  }
  EXPECT_THROW(model->add(Layer::create(input_params, "c"), {add}), std::invalid_argument);
  EXPECT_EQ(model->layer_count(), 3u);
}

}  // namespace
}  // namespace qalto
