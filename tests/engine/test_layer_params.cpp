#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "qalto/layer.hpp"

using namespace qalto;

namespace {

template <typename F>
std::string invalid_argument_text(F&& f) {
  try {
    f();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  ADD_FAILURE() << "no invalid_argument";
  return {};
}

}  // namespace

TEST(LayerParams, GetHasAndSortedKeys) {
  auto params = LayerParams::create(LayerType::Dense1D, {{"units", 10}, {"activation", 0}});
  EXPECT_EQ(params->layer_type(), LayerType::Dense1D);
  EXPECT_EQ(params->get("units"), 10);
  EXPECT_EQ(params->get("activation"), 0);
  EXPECT_TRUE(params->has("units"));
  EXPECT_FALSE(params->has("Units"));
  EXPECT_EQ(params->keys(), (std::vector<std::string>{"activation", "units"}));
  EXPECT_EQ(params->get_or("filters", -3), -3);
  EXPECT_EQ(invalid_argument_text([&] { params->get("filters"); }), "Key filters not found");
}

TEST(LayerParams, CloneIsIndependent) {
  auto params = LayerParams::create(LayerType::Conv2D, {{"filters", 4}});
  auto copy = LayerParams::clone(*params);
  copy->set("filters", 8);
  copy->set("kernel_size", 5);
  EXPECT_EQ(params->get("filters"), 4);
  EXPECT_FALSE(params->has("kernel_size"));
  EXPECT_EQ(copy->layer_type(), LayerType::Conv2D);
}

TEST(LearningParams, GetKeysAndMissingKey) {
  auto learning = LearningParams::create(3, {{"learning_competition", 0.5}, {"max_weight", 2.0}});
  EXPECT_EQ(learning->learning_type(), 3);
  EXPECT_DOUBLE_EQ(learning->get("learning_competition"), 0.5);
  EXPECT_TRUE(learning->has("max_weight"));
  EXPECT_EQ(learning->keys(), (std::vector<std::string>{"learning_competition", "max_weight"}));
  EXPECT_EQ(invalid_argument_text([&] { learning->get("min_plasticity"); }),
            "Key min_plasticity not found");
  auto copy = LearningParams::clone(*learning);
  copy->set("max_weight", 9.0);
  EXPECT_DOUBLE_EQ(learning->get("max_weight"), 2.0);
}

TEST(Layer, CreateCompletesDefaultsOnItsOwnCopy) {
  auto params = LayerParams::create(LayerType::Conv2D, {{"filters", 4}});
  auto layer = Layer::create(*params, "conv");
  EXPECT_EQ(layer->get_name(), "conv");
  EXPECT_EQ(layer->params().get("kernel_size"), 3);
  EXPECT_EQ(layer->params().get("padding"), static_cast<int32_t>(Padding::Same));
  EXPECT_EQ(layer->params().get("filters"), 4);
  EXPECT_FALSE(params->has("kernel_size"));  // the caller's parameters stay as given
}

TEST(Layer, CreateRefusesBadParameters) {
  EXPECT_THROW(Layer::create(*LayerParams::create(LayerType::Conv2D, {}), "no_filters"),
               std::invalid_argument);
  EXPECT_THROW(Layer::create(*LayerParams::create(LayerType::Conv2D,
                                                  {{"filters", 4}, {"kernel_size", 0}}),
                             "zero_kernel"),
               std::invalid_argument);
  EXPECT_THROW(Layer::create(*LayerParams::create(LayerType::Conv2D,
                                                  {{"filters", 4}, {"padding", 3}}),
                             "bad_padding"),
               std::invalid_argument);
  EXPECT_THROW(Layer::create(*LayerParams::create(LayerType::InputData, {{"input_width", 4}}),
                             "partial_input"),
               std::invalid_argument);
}
