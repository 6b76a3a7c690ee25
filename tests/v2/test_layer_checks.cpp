// v2 constraint checks: each rule at its limit and one past it, the exact texts a user sees,
// and the gathering of several broken rules into one status.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>

#include "mapping/hardware_constraints.hpp"
#include "qalto/layer.hpp"
#include "qalto/model.hpp"
#include "v2/layer_checks.hpp"

namespace qalto::v2 {
namespace {

HardwareConstraints limits() {
  HardwareConstraints hc;
  hc.np_weight_words = 4096;
  hc.max_input_width = 20;
  hc.max_input_height = 21;
  hc.max_input_channels = 64;
  hc.max_filters = 32;
  hc.input_sram_single_buffer_words = 16384;
  hc.input_shift_entries = 256;
  return hc;
}

std::shared_ptr<Layer> make_layer(LayerType type, std::map<std::string, int32_t> params,
                                  const Shape& input, const std::string& name = "conv") {
  auto layer = Layer::create(LayerParams(type, std::move(params)), name);
  layer->build({input});
  return layer;
}

// Conv2D that passes every rule: 8-bit input, Same padding, kernel 3, ReLU, 8-bit everything.
std::map<std::string, int32_t> good_conv_params() {
  return {{"filters", 16}, {"kernel_size", 3}, {"input_bits", 8}, {"output_bits", 8}};
}

std::shared_ptr<Layer> good_conv(const Shape& input = Shape{16, 16, 8}) {
  return make_layer(LayerType::Conv2D, good_conv_params(), input);
}

void expect_failure(const MappingStatus& status, const std::string& message,
                    const std::string& layer = "conv") {
  EXPECT_TRUE(status.failed);
  EXPECT_EQ(status.message, message);
  EXPECT_EQ(status.layer, layer);
}

bool mentions(const MappingStatus& status, const std::string& text) {
  return status.message.find(text) != std::string::npos;
}

TEST(Conv2dChecks, PlainLayerPasses) {
  const auto status = check_conv2d_constraints(limits(), *good_conv());
  EXPECT_FALSE(status.failed);
  EXPECT_EQ(status.message, "Success.");
}

TEST(Conv2dChecks, GathersEveryBrokenRuleAndSkipsFilterSizeAfterAFailure) {
  auto params = good_conv_params();
  params["kernel_size"] = 2;
  params["weights_bits"] = 2;
  auto layer = make_layer(LayerType::Conv2D, params, Shape{16, 16, 8});
  HardwareConstraints hc = limits();
  hc.np_weight_words = 0;  // would fail the filter-size rule if it ran
  expect_failure(check_conv2d_constraints(hc, *layer),
                 "Kernel size must be 1, 3, 5 or 7. Weights bitwidth should be 4-bit or 8-bit.");
}

TEST(Conv2dChecks, InputDimensionsAtAndPastTheLimits) {
  const HardwareConstraints hc = limits();
  EXPECT_FALSE(check_conv2d_constraints(hc, *good_conv(Shape{20, 21, 64})).failed);
  expect_failure(check_cnp_tnp_common_constraints(hc, *good_conv(Shape{21, 22, 65})),
                 "The maximum input width is 20 (got 21). The maximum input height is 21 (got "
                 "22). The maximum input channel value is 64 (got 65).");
}

TEST(Conv2dChecks, FiltersAtAndPastTheLimit) {
  auto params = good_conv_params();
  params["filters"] = 32;
  EXPECT_FALSE(
      check_conv2d_constraints(limits(), *make_layer(LayerType::Conv2D, params, Shape{8, 8, 4}))
          .failed);
  params["filters"] = 33;
  expect_failure(
      check_conv2d_constraints(limits(), *make_layer(LayerType::Conv2D, params, Shape{8, 8, 4})),
      "The maximum number of filters is 32 (got 33).");
  // Depthwise layers have no "filters": their channels count.
  auto dw = make_layer(LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, Shape{8, 8, 33});
  HardwareConstraints hc = limits();
  EXPECT_TRUE(mentions(check_dwconv2d_constraints(hc, *dw), "(got 33)"));
  hc.max_filters = 33;
  EXPECT_FALSE(check_dwconv2d_constraints(hc, *dw).failed);
}

TEST(Conv2dChecks, InputShiftMemory) {
  auto layer = good_conv();
  const HardwareConstraints hc = limits();
  layer->variables().declare("input_shift", Dense::create(TensorType::uint8, Shape{2048}));
  EXPECT_FALSE(check_cnp_tnp_common_constraints(hc, *layer).failed);  // 256 words
  layer->variables().declare("input_shift", Dense::create(TensorType::uint8, Shape{2049}));
  expect_failure(check_cnp_tnp_common_constraints(hc, *layer),
                 "Input shift exceeds memory. Maximum size is 768 bytes. (got 771 bytes).");
}

TEST(Conv2dChecks, WidthRules) {
  auto params = good_conv_params();
  params["output_bits"] = 16;
  expect_failure(check_cnp_tnp_common_constraints(
                     limits(), *make_layer(LayerType::Conv2D, params, Shape{8, 8, 4})),
                 "With activation output bitwidth should be <= 8.");
  params = good_conv_params();
  params["input_bits"] = 4;
  auto narrow_input = make_layer(LayerType::Conv2D, params, Shape{8, 8, 4});
  expect_failure(check_cnp_tnp_common_constraints(limits(), *narrow_input),
                 "Input bits should be >= weights bits.");
  params["input_bits"] = 2;
  params["weights_bits"] = 2;
  EXPECT_TRUE(mentions(check_conv2d_constraints(
                           limits(), *make_layer(LayerType::Conv2D, params, Shape{8, 8, 4})),
                       "Input should be 4-bit or 8-bit."));
}

TEST(Conv2dChecks, FilterSizeRuleAtTheWeightMemoryLimit) {
  auto layer = good_conv(Shape{8, 8, 10});  // kernel 3, 8-bit: 6 words per input channel
  HardwareConstraints hc = limits();
  hc.np_weight_words = 60;
  EXPECT_FALSE(check_conv2d_constraints(hc, *layer).failed);
  hc.np_weight_words = 59;
  expect_failure(check_conv2d_constraints(hc, *layer),
                 "Filter size is too big to fit in a CNP: try decreasing the input channels or "
                 "the bitwidth.");
}

TEST(Conv2dChecks, FourBitWeightsWithEightBitOutput) {
  auto params = good_conv_params();
  params["weights_bits"] = 4;
  params["activation"] = 0;
  expect_failure(
      check_conv2d_constraints(limits(), *make_layer(LayerType::Conv2D, params, Shape{8, 8, 4})),
      "4-bit weights and 8-bit potential is not allowed.");
  params["activation"] = 1;  // with activation the Conv2D allows it
  EXPECT_FALSE(
      check_conv2d_constraints(limits(), *make_layer(LayerType::Conv2D, params, Shape{8, 8, 4}))
          .failed);
  auto dw = make_layer(LayerType::DepthwiseConv2D, {{"kernel_size", 3}, {"weights_bits", 4}},
                       Shape{8, 8, 4});
  expect_failure(check_dwconv2d_constraints(limits(), *dw),
                 "4-bit weights and 8-bit activation is not allowed.");
}

TEST(Conv2dChecks, BothOutputStageFormsAreRefused) {
  auto layer = good_conv();
  EXPECT_FALSE(check_cnp_tnp_common_constraints(limits(), *layer).failed);
  layer->variables().declare("activation_scales", Dense::create(TensorType::uint8, Shape{16}));
  EXPECT_TRUE(check_cnp_tnp_common_constraints(limits(), *layer).failed);
  EXPECT_TRUE(mentions(check_conv2d_constraints(limits(), *layer), "max_value"));
}

TEST(PaddingChecks, SameUpperRules) {
  auto params = good_conv_params();
  params["padding"] = static_cast<int32_t>(Padding::Valid);
  expect_failure(check_padding_constraints(*make_layer(LayerType::Conv2D, params, Shape{8, 8, 4})),
                 "Only padding 'Same' and 'SameUpper' are supported.");
  params["padding"] = static_cast<int32_t>(Padding::SameUpper);
  params["kernel_stride"] = 2;
  EXPECT_FALSE(
      check_padding_constraints(*make_layer(LayerType::Conv2D, params, Shape{8, 8, 4})).failed);
  params["kernel_stride"] = 1;
  params["output_bits"] = 4;
  params["weights_bits"] = 4;
  expect_failure(check_padding_constraints(*make_layer(LayerType::Conv2D, params, Shape{8, 8, 4})),
                 "With SameUpper padding only stride 2 is supported. With SameUpper padding only "
                 "8-bit activations are supported. With SameUpper padding only 8-bit weights are "
                 "supported.");
}

TEST(PoolingChecks, MaxPooling) {
  auto params = good_conv_params();
  params["pool_type"] = static_cast<int32_t>(PoolType::Max);
  params["pool_size"] = 2;
  EXPECT_FALSE(
      check_pooling_constraints(limits(), *make_layer(LayerType::Conv2D, params, Shape{8, 8, 4}))
          .failed);
  params["pool_size"] = 3;
  expect_failure(
      check_pooling_constraints(limits(), *make_layer(LayerType::Conv2D, params, Shape{8, 8, 4})),
      "Pooling size must be 1 or 2.");
  params["pool_size"] = 2;
  params["kernel_stride"] = 2;
  params["activation"] = static_cast<int32_t>(ActivationType::LUT);
  expect_failure(
      check_pooling_constraints(limits(), *make_layer(LayerType::Conv2D, params, Shape{8, 8, 4})),
      "The CNP cannot support both pooling and stride. Max pooling is not supported with "
      "activation LUT.");
  // An input of one column is narrower than the pool: the layer's own pooling rule.
  params = good_conv_params();
  params["pool_type"] = static_cast<int32_t>(PoolType::Max);
  params["pool_size"] = 1;
  auto thin = make_layer(LayerType::Conv2D, params, Shape{1, 8, 4});
  thin->params().set("pool_size", 2);
  EXPECT_TRUE(mentions(check_pooling_constraints(limits(), *thin),
                       "Pooling size cannot be greater than input dimensions."));
}

std::shared_ptr<Layer> global_average(const Shape& input, int32_t output_bits = 8) {
  auto params = good_conv_params();
  params["pool_type"] = static_cast<int32_t>(PoolType::Average);
  params["output_bits"] = output_bits;
  auto layer = make_layer(LayerType::Conv2D, params, input);
  layer->params().set("pool_size", -1);  // global
  return layer;
}

TEST(PoolingChecks, GlobalAveragePoolingLimits) {
  HardwareConstraints hc = limits();
  EXPECT_FALSE(check_pooling_constraints(hc, *global_average(Shape{64, 2, 8})).failed);
  expect_failure(check_pooling_constraints(hc, *global_average(Shape{65, 2, 8})),
                 "When using Global Average Pooling, input height cannot exceed 64.");
  EXPECT_FALSE(check_pooling_constraints(hc, *global_average(Shape{12, 12, 8})).failed);
  expect_failure(check_pooling_constraints(hc, *global_average(Shape{12, 13, 8})),
                 "When using Global Average Pooling, input dimensions width * height cannot "
                 "exceed 144.");
  // 64 x 2 x 8 at 8 bits: 64-byte rows, 128 words per row over the channels, 256 words.
  hc.input_sram_single_buffer_words = 256;
  EXPECT_FALSE(check_pooling_constraints(hc, *global_average(Shape{64, 2, 8})).failed);
  hc.input_sram_single_buffer_words = 255;
  expect_failure(check_pooling_constraints(hc, *global_average(Shape{64, 2, 8})),
                 "When using Global Average Pooling, spatial split is impossible.");
  auto sized = global_average(Shape{8, 8, 4});
  sized->params().set("pool_size", 2);
  expect_failure(check_pooling_constraints(limits(), *sized),
                 "Global Average pooling must be global.");
  EXPECT_TRUE(mentions(check_pooling_constraints(limits(), *global_average(Shape{8, 8, 4}, 16)),
                       "With average pooling output bitwidth should be <= 8."));
}

TEST(OutputBitsChecks, ActivationWidths) {
  auto lut4 = make_layer(LayerType::DepthwiseConv2D,
                         {{"kernel_size", 3}, {"activation", 2}, {"output_bits", 4},
                          {"weights_bits", 4}, {"input_bits", 8}},
                         Shape{8, 8, 4});
  expect_failure(check_dwconv2d_constraints(limits(), *lut4),
                 "4-bit activation is not supported with LUT.");
  auto transposed = make_layer(LayerType::Conv2DTranspose,
                               {{"filters", 4}, {"kernel_size", 3}, {"activation", 2},
                                {"output_bits", 4}},
                               Shape{8, 8, 4});
  expect_failure(check_conv2dtranspose_constraints(limits(), *transposed),
                 "With activation output bitwidth should be 8. 4-bit activation is not supported "
                 "with LUT.");

  auto relu = good_conv();
  relu->params().set("output_bits", 2);
  expect_failure(check_output_bits_constraints(*relu, true),
                 "With activation output bitwidth should be 4 or 8.");
  expect_failure(check_output_bits_constraints(*relu, false),
                 "With activation output bitwidth should be 8.");
  relu->params().set("output_bits", 4);
  EXPECT_FALSE(check_output_bits_constraints(*relu, true).failed);
  relu->params().set("activation", 0);
  expect_failure(check_output_bits_constraints(*relu, true),
                 "Without activation output bitwidth should be 8 or 28.");
  relu->params().set("output_bits", 28);
  EXPECT_FALSE(check_output_bits_constraints(*relu, true).failed);
}

TEST(TransposedChecks, WidthsKernelsAndFilterSize) {
  auto layer = make_layer(LayerType::Conv2DTranspose,
                          {{"filters", 4}, {"kernel_size", 5}, {"weights_bits", 4},
                           {"input_bits", 4}},
                          Shape{8, 8, 4});
  expect_failure(check_conv2dtranspose_constraints(limits(), *layer),
                 "Input should be 8-bit. Weights should be 8-bit. Kernel size must be 3 or 4.");
  auto dw = make_layer(LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 5}}, Shape{8, 8, 4});
  expect_failure(check_dwconv2dtranspose_constraints(limits(), *dw),
                 "Kernel size must be 3 or 4.");
  // Kernel 4, 8-bit: 12 words per input channel; 10 channels need 120.
  auto fits = make_layer(LayerType::Conv2DTranspose, {{"filters", 4}, {"kernel_size", 4}},
                         Shape{8, 8, 10});
  HardwareConstraints hc = limits();
  hc.np_weight_words = 120;
  EXPECT_FALSE(check_conv2dtranspose_constraints(hc, *fits).failed);
  hc.np_weight_words = 119;
  expect_failure(check_conv2dtranspose_constraints(hc, *fits),
                 "Filter size is too big to fit in a CNP: try decreasing the input.");
  // The depthwise transposed check has no filter-size rule.
  auto dw_fits = make_layer(LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 4}},
                            Shape{8, 8, 10});
  EXPECT_FALSE(check_dwconv2dtranspose_constraints(hc, *dw_fits).failed);
}

// The CNP programs stride 1 or 2 (one register flag), and transposed layers in its one
// transposed mode (stride 2, output twice the input): other strides, and a padding whose output
// is not what the CNP makes, are refused, never programmed as another layer.
TEST(StrideAndPaddingChecks, OnlyWhatTheCnpProgrammes) {
  using Check = MappingStatus (*)(const HardwareConstraints&, const Layer&);
  struct Case {
    LayerType type;
    Check check;
    std::vector<int32_t> accepted;
    std::string refusal;
  };
  const std::vector<Case> cases{
      {LayerType::Conv2D, check_conv2d_constraints, {1, 2}, "Only stride 1 or 2 is supported."},
      {LayerType::DepthwiseConv2D, check_dwconv2d_constraints, {1, 2},
       "Only stride 1 or 2 is supported."},
      {LayerType::Conv2DTranspose, check_conv2dtranspose_constraints, {2},
       "Transposed convolutions support only stride 2."},
      {LayerType::DepthwiseConv2DTranspose, check_dwconv2dtranspose_constraints, {2},
       "Transposed convolutions support only stride 2."}};
  for (const Case& c : cases) {
    for (int32_t stride : {1, 2, 3, 4, 99804744}) {
      SCOPED_TRACE(std::string(layer_type_name(c.type)) + " stride " + std::to_string(stride));
      auto layer = make_layer(c.type, {{"filters", 4}, {"kernel_size", 3}, {"kernel_stride", stride}},
                              Shape{8, 8, 4});
      const MappingStatus status = c.check(limits(), *layer);
      if (std::find(c.accepted.begin(), c.accepted.end(), stride) != c.accepted.end()) {
        EXPECT_FALSE(status.failed) << status.message;
      } else {
        expect_failure(status, c.refusal);
      }
    }
    const bool transposed = c.accepted == std::vector<int32_t>{2};
    // Kernel 4 is the transposed kernel whose surplus over twice the input is even.
    for (int32_t kernel : transposed ? std::vector<int32_t>{3, 4} : std::vector<int32_t>{3}) {
      for (Padding padding : {Padding::Valid, Padding::Same, Padding::SameUpper}) {
        SCOPED_TRACE(std::string(layer_type_name(c.type)) + " kernel " + std::to_string(kernel) +
                     " padding " + std::to_string(static_cast<int>(padding)));
        auto layer = make_layer(c.type,
                                {{"filters", 4}, {"kernel_size", kernel}, {"kernel_stride", 2},
                                 {"padding", static_cast<int32_t>(padding)}},
                                Shape{8, 8, 4});
        const MappingStatus status = c.check(limits(), *layer);
        if (padding == Padding::Valid) {
          expect_failure(status, "Only padding 'Same' and 'SameUpper' are supported.");
          continue;
        }
        EXPECT_FALSE(status.failed) << status.message;
        // What a transposed check accepts is what the CNP's transposed mode makes.
        if (transposed) {
          EXPECT_TRUE(layer->output_dimensions() == (Shape{16, 16, 4}))
              << layer->output_dimensions().to_string();
        }
      }
    }
  }
}

// input -> a, b (Conv2D) -> add -> merge (Conv2D)
struct AddGraph {
  Model model;
  std::shared_ptr<Layer> input, a, b, add, merge;

  explicit AddGraph(bool with_merge = true, bool same_inbound = false) {
    input = Layer::create(LayerParams(LayerType::InputData, {{"input_width", 4},
                                                              {"input_height", 4},
                                                              {"input_channels", 3}}),
                          "input");
    a = Layer::create(LayerParams(LayerType::Conv2D, {{"filters", 4}}), "a");
    b = Layer::create(LayerParams(LayerType::Conv2D, {{"filters", 4}}), "b");
    add = Layer::create(LayerParams(LayerType::Add, {}), "add");
    merge = Layer::create(LayerParams(LayerType::Conv2D, {{"filters", 4}}), "merge");
    model.add(input);
    model.add(a, {input});
    model.add(b, {input});
    model.add(add, same_inbound ? std::vector{a, a} : std::vector{a, b});
    if (with_merge) model.add(merge, {add});
  }

  void set_shifts(std::vector<uint8_t> a_values, std::vector<uint8_t> b_values,
                  std::vector<int8_t> out_values) {
    auto& vars = add->variables();
    for (uint32_t i = 0; i < 4; ++i) {
      vars.get("a_shift")->set<uint8_t>({i}, a_values[i]);
      vars.get("b_shift")->set<uint8_t>({i}, b_values[i]);
      vars.get("output_shift")->set<int8_t>({i}, out_values[i]);
    }
  }
};

TEST(AddChecks, WiredAddPasses) {
  AddGraph graph;
  EXPECT_FALSE(check_add_constraints(*graph.add).failed);
  EXPECT_FALSE(check_cnp_layer_constraints(limits(), *graph.add)->failed);
}

TEST(AddChecks, ShiftRanges) {
  AddGraph graph;
  const std::string input_shift =
      "This model cannot be mapped in hardware, Add input shift is out of range. The maximum is "
      "15.";
  const std::string output_shift =
      "This model cannot be mapped in hardware, Add output shift is out of range. Should be in "
      "[-4, 3].";
  // Differences of 16 at two channels (with output shifts that would also be out of range),
  // 15 at another.
  graph.set_shifts({16, 0, 15, 0}, {0, 16, 0, 0}, {-100, -100, -12, 0});
  expect_failure(check_add_constraints(*graph.add), input_shift + " " + input_shift, "add");
  graph.set_shifts({3, 0, 0, 0}, {0, 0, 0, 0}, {1, 0, 0, 0});
  expect_failure(check_add_constraints(*graph.add), output_shift, "add");
  graph.set_shifts({3, 0, 0, 0}, {0, 0, 0, 0}, {0, -4, 0, 0});
  EXPECT_FALSE(check_add_constraints(*graph.add).failed);
  graph.set_shifts({0, 0, 0, 0}, {0, 0, 0, 0}, {0, -5, 0, 0});
  expect_failure(check_add_constraints(*graph.add), output_shift, "add");
}

TEST(AddChecks, GraphRules) {
  AddGraph unmerged(false);
  expect_failure(check_add_constraints(*unmerged.add), "Must be followed by a merge layer.",
                 "add");
  AddGraph twice(true, true);
  expect_failure(check_add_constraints(*twice.add),
                 "Add inbounds must come from different layers.", "add");

  Model model;
  auto input = Layer::create(LayerParams(LayerType::InputData, {{"input_width", 4},
                                                                 {"input_height", 4},
                                                                 {"input_channels", 3}}),
                             "input");
  auto conv = Layer::create(LayerParams(LayerType::Conv2D, {{"filters", 3}}), "conv");
  auto add = Layer::create(LayerParams(LayerType::Add, {{"output_bits", 4}}), "add");
  auto merge = Layer::create(LayerParams(LayerType::Conv2D, {{"filters", 3}}), "merge");
  model.add(input);
  model.add(conv, {input});
  model.add(add, {input, conv});
  model.add(merge, {add});
  expect_failure(check_add_constraints(*add),
                 "Output must be 8-bit. Inbounds must be of types Conv, Add or Concat.", "add");
}

TEST(AddChecks, ShortShiftTensorPanicsInsteadOfReadingPastIt) {
  AddGraph graph;
  graph.add->variables().declare("b_shift", Dense::create(TensorType::uint8, Shape{2}));
  EXPECT_THROW(check_add_constraints(*graph.add), std::runtime_error);
}

TEST(Dispatch, ByLayerType) {
  const HardwareConstraints hc = limits();
  auto conv = good_conv();
  conv->params().set("kernel_size", 2);
  EXPECT_EQ(check_cnp_layer_constraints(hc, *conv)->message,
            check_conv2d_constraints(hc, *conv).message);
  auto dw = make_layer(LayerType::DepthwiseConv2D, {{"kernel_size", 1}}, Shape{8, 8, 4});
  EXPECT_EQ(check_cnp_layer_constraints(hc, *dw)->message, "Kernel size must be 3, 5 or 7.");
  auto dense = make_layer(LayerType::Dense1D, {{"units", 4}}, Shape{1, 1, 8});
  EXPECT_FALSE(check_cnp_layer_constraints(hc, *dense).has_value());
}

}  // namespace
}  // namespace qalto::v2
