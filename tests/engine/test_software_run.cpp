// Software runs of the convolution, recurrent and post-processing layer types, checked against
// small cases worked out by hand; and what the software layers of a mapped model read.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "qalto/backend_registry.hpp"
#include "qalto/map_constraints.hpp"
#include "qalto/model.hpp"
#include "qalto/software.hpp"

namespace qalto {
namespace {

template <typename T>
std::shared_ptr<Dense> tensor(TensorType type, const Shape& shape, std::vector<T> v) {
  return Dense::copy(v.data(), v.size() * sizeof(T), type, shape);
}

std::shared_ptr<Dense> u8(const Shape& s, std::vector<uint8_t> v) { return tensor(TensorType::uint8, s, std::move(v)); }
std::shared_ptr<Dense> i8(const Shape& s, std::vector<int8_t> v) { return tensor(TensorType::int8, s, std::move(v)); }
std::shared_ptr<Dense> i16(const Shape& s, std::vector<int16_t> v) { return tensor(TensorType::int16, s, std::move(v)); }
std::shared_ptr<Dense> u16(const Shape& s, std::vector<uint16_t> v) { return tensor(TensorType::uint16, s, std::move(v)); }
std::shared_ptr<Dense> f32(const Shape& s, std::vector<float> v) { return tensor(TensorType::float32, s, std::move(v)); }

std::vector<int64_t> values(const Dense& d) {
  std::vector<int64_t> out;
  for (size_t i = 0; i < d.size(); ++i) out.push_back(d.value_as_int(i));
  return out;
}

using Ints = std::vector<int64_t>;

std::shared_ptr<Layer> make(LayerType type, const std::map<std::string, int32_t>& params,
                            const std::string& name) {
  return Layer::create(*LayerParams::create(type, params), name);
}

std::unique_ptr<Model> model_with_input(uint32_t w, uint32_t h, uint32_t c) {
  auto model = Model::create();
  model->add(make(LayerType::InputData, {{"input_width", static_cast<int32_t>(w)},
                                         {"input_height", static_cast<int32_t>(h)},
                                         {"input_channels", static_cast<int32_t>(c)}},
                  "input"));
  return model;
}

void set(Model& model, const std::string& layer, const std::string& name,
         std::shared_ptr<Dense> value) {
  model.get_layer(layer)->variables().set(name, std::move(value));
}

TEST(SoftwareConvolution, DepthwiseTransposeKeepsChannelsApartAndAddsBias) {
  auto model = model_with_input(2, 1, 2);
  model->add(make(LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 2}, {"activation", 0}}, "dwt"));
  // Channel 0 spreads [[1, 2], [3, 4]], channel 1 spreads -1 everywhere; stride 2 and kernel 2
  // give non-overlapping 2x2 blocks, so every output is one input times one weight.
  set(*model, "dwt", "weights", i8({2, 2, 1, 2}, {1, -1, 2, -1, 3, -1, 4, -1}));
  set(*model, "dwt", "bias", i8({2}, {0, 1}));
  set(*model, "dwt", "bias_shift", u8({2}, {0, 1}));
  auto out = software::run_sample(model->layers(), u8({2, 1, 2}, {1, 3, 2, 4}));
  ASSERT_EQ(out->dimensions(), (Shape{4, 2, 2}));
  EXPECT_EQ(out->type(), TensorType::int32);
  // (x, y) order, channels fastest: channel 1 is -x + 2.
  EXPECT_EQ(values(*out), (Ints{1, -1, 2, -1, 3, -1, 4, -1, 2, -2, 4, -2, 6, -2, 8, -2}));
}

TEST(SoftwareConvolution, SeparableConvolutionalIsDepthwiseThenPointwise) {
  auto model = model_with_input(2, 2, 1);
  model->add(make(LayerType::SeparableConvolutional, {{"filters", 2}}, "sep"));
  // Depthwise 3x3: centre 1 and the tap one column to the right 2 (i = 2, j = 1).
  std::vector<int8_t> dw(9, 0);
  dw[4] = 1;
  dw[7] = 2;
  set(*model, "sep", "weights", i8({3, 3, 1, 1}, dw));
  set(*model, "sep", "weights_pw", i8({1, 1, 1, 2}, {2, -1}));
  set(*model, "sep", "threshold", tensor<int32_t>(TensorType::int32, {2}, {5, -100}));
  set(*model, "sep", "act_step", f32({2}, {2.0F, 1.0F}));
  // x[0][0] = 1, x[0][1] = 2, x[1][0] = 3, x[1][1] = 4: depthwise gives 7, 10, 3, 4.
  auto out = software::run_sample(model->layers(), u8({2, 2, 1}, {1, 2, 3, 4}));
  ASSERT_EQ(out->dimensions(), (Shape{2, 2, 2}));
  EXPECT_EQ(out->type(), TensorType::uint8);
  // Filter 0: 14, 20, 6, 8 over threshold 5 by steps of 2; filter 1: -7, -10, -3, -4 over -100.
  EXPECT_EQ(values(*out), (Ints{5, 94, 8, 91, 1, 98, 2, 97}));
}

TEST(SoftwareConvolution, FirstGenerationNeedsEqualStrides) {
  auto model = model_with_input(4, 4, 1);
  model->add(make(LayerType::Convolutional, {{"filters", 1}, {"stride_x", 1}, {"stride_y", 2}}, "conv"));
  try {
    software::run_sample(model->layers(), u8({4, 4, 1}, std::vector<uint8_t>(16, 1)));
    FAIL() << "unequal strides ran";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("equal strides"), std::string::npos) << e.what();
  }
}

TEST(SoftwareConvolution, TransposedStrideAboveAByteIsRefusedNotWrapped) {
  auto model = model_with_input(1, 1, 1);
  model->add(make(LayerType::Conv2DTranspose,
                  {{"filters", 1}, {"kernel_size", 1}, {"kernel_stride", 257}, {"activation", 0}}, "t"));
  try {
    software::run_sample(model->layers(), u8({1, 1, 1}, {1}));
    FAIL() << "stride 257 ran";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("kernel_stride 257"), std::string::npos) << e.what();
  }
}

// A look-up-table activation gives the table's entry at the clamped potential; an entry the
// output cannot carry (past int32 included) or a fraction is refused, never clamped or wrapped.
TEST(SoftwareConvolution, LookUpTableEntriesAreOutputCodes) {
  struct Case {
    const char* what;
    std::shared_ptr<Dense> table;
    int32_t output_bits;
    bool output_signed;
    Ints outputs;         // for the potentials 0, 1 and 9 (9 is past the table's end)
    std::string refusal;  // empty when the table is accepted
  };
  const std::vector<Case> cases{
      {"int8 codes", i8({3}, {4, 0, 9}), 8, false, {4, 0, 9}, ""},
      {"signed codes", i8({2}, {-1, 2}), 8, true, {-1, 2, 2}, ""},
      {"negative code, unsigned output", i8({2}, {-1, 2}), 8, false, {},
       "Layer conv: lut_values[0] = -1 is outside the output range [0, 255]."},
      {"code past 8 bits", i16({3}, {5, 300, 7}), 8, false, {},
       "Layer conv: lut_values[1] = 300 is outside the output range [0, 255]."},
      {"whole floats", f32({2}, {7.0f, 255.0f}), 8, false, {7, 255, 255}, ""},
      {"largest int32 float", f32({2}, {0.0f, 2147483520.0f}), 32, false, {0, 2147483520, 2147483520}, ""},
      {"float past int32, unsigned 32-bit output", f32({2}, {0.0f, 3e9f}), 32, false, {},
       "Layer conv: lut_values[1] = 3000000000 is outside the output range [0, 2147483647]."},
      {"float at 2^31", f32({1}, {2147483648.0f}), 32, true, {},
       "Layer conv: lut_values[0] = 2147483648 is outside the output range [-2147483648, "
       "2147483647]."},
      {"fraction", f32({2}, {1.0f, 2.5f}), 8, false, {}, "Layer conv: lut_values[1] = 2.5 is not a whole number."},
      {"NaN", f32({1}, {NAN}), 8, false, {}, "Layer conv: lut_values[0] = nan is not a whole number."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto model = model_with_input(1, 1, 1);
    model->add(make(LayerType::Conv2D,
                    {{"filters", 1}, {"kernel_size", 1}, {"activation", 2},
                     {"output_bits", c.output_bits}, {"output_signed", c.output_signed}},
                    "conv"));
    set(*model, "conv", "weights", i8({1, 1, 1, 1}, {1}));
    model->get_layer("conv")->variables().declare("lut_values", c.table);
    Ints outputs;
    try {
      for (uint8_t potential : {0, 1, 9}) {
        outputs.push_back(values(*software::run_sample(model->layers(), u8({1, 1, 1}, {potential})))[0]);
      }
      EXPECT_TRUE(c.refusal.empty()) << "ran";
      EXPECT_EQ(outputs, c.outputs);
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), c.refusal);
    }
  }
}

TEST(SoftwarePooling, AverageCountsOnlyPositionsInsideTheMap) {
  auto model = model_with_input(3, 3, 1);
  model->add(make(LayerType::Conv2D, {{"filters", 1}, {"kernel_size", 1}, {"activation", 0},
                                      {"pool_type", 2}, {"pool_size", 2}, {"pool_padding", 1}},
                  "conv"));
  set(*model, "conv", "weights", i8({1, 1, 1, 1}, {1}));
  // x[i][j] = 1 + 3i + j. Same pooling padding puts the extra row and column after the map.
  auto out = software::run_sample(model->layers(), u8({3, 3, 1}, {1, 2, 3, 4, 5, 6, 7, 8, 9}));
  ASSERT_EQ(out->dimensions(), (Shape{2, 2, 1}));
  // (1+2+4+5)/4 = 3; (3+6)/2 = 4.5 -> 5; (7+8)/2 = 7.5 -> 8; 9.
  EXPECT_EQ(values(*out), (Ints{3, 5, 8, 9}));
}

TEST(SoftwarePooling, FirstGenerationAverageAndMaxPooling) {
  for (int32_t pool_type : {1, 2}) {
    auto model = model_with_input(2, 2, 1);
    model->add(make(LayerType::Convolutional, {{"filters", 1}, {"kernel_width", 1}, {"kernel_height", 1},
                                               {"pool_type", pool_type}, {"pooling_width", 2},
                                               {"pooling_height", 2}, {"activation", 0}},
                    "conv"));
    set(*model, "conv", "weights", i8({1, 1, 1, 1}, {1}));
    auto out = software::run_sample(model->layers(), u8({2, 2, 1}, {1, 2, 3, 5}));
    EXPECT_EQ(values(*out), (Ints{pool_type == 1 ? 5 : 3})) << pool_type;  // 11 / 4 -> 3
  }
}

// One StatefulRecurrent layer with a single state channel: s1 += 2x, s2 += s1, output s2.
std::unique_ptr<Model> accumulator(uint32_t timesteps) {
  auto model = model_with_input(1, timesteps, 1);
  model->add(make(LayerType::StatefulRecurrent, {{"units", 1}}, "rec"));
  Model& m = *model;
  set(m, "rec", "in_proj", i8({1, 1}, {2}));
  set(m, "rec", "out_proj", i8({1, 1}, {1}));
  set(m, "rec", "A_real", i16({1}, {1}));
  set(m, "rec", "A_imag", i16({1}, {1}));
  set(m, "rec", "new_state_scale", u8({1}, {1}));
  set(m, "rec", "output_scales", u8({1}, {1}));
  return model;
}

TEST(SoftwareRecurrent, StateCarriesAcrossSamplesOfOneRunOnly) {
  auto model = accumulator(3);
  software::Run run(model->layers());
  auto first = run.sample(u8({1, 3, 1}, {1, 2, 3}));
  EXPECT_EQ(first->type(), TensorType::int8);
  ASSERT_EQ(first->dimensions(), (Shape{1, 3, 1}));
  EXPECT_EQ(values(*first), (Ints{2, 8, 20}));  // s1 = 2, 6, 12
  // The second sample continues from s1 = 12, s2 = 20.
  EXPECT_EQ(values(*run.sample(u8({1, 3, 1}, {1, 0, 0}))), (Ints{34, 48, 62}));
  // A new run, like run_sample, starts from zero.
  EXPECT_EQ(values(*software::run_sample(model->layers(), u8({1, 3, 1}, {1, 0, 0}))), (Ints{2, 4, 6}));
  software::Run fresh(model->layers());
  EXPECT_EQ(values(*fresh.sample(u8({1, 3, 1}, {1, 0, 0}))), (Ints{2, 4, 6}));
}

TEST(SoftwareRecurrent, StateChannelsShiftsScalesBiasAndSubsampling) {
  auto model = model_with_input(1, 3, 2);
  model->add(make(LayerType::StatefulRecurrent, {{"units", 2}, {"subsample", 2}}, "rec"));
  Model& m = *model;
  set(m, "rec", "input_shift", u8({2}, {1, 0}));
  set(m, "rec", "in_proj", i8({2, 2}, {1, 0, 1, 2}));
  set(m, "rec", "A_real", i16({2}, {2, 0}));
  set(m, "rec", "A_imag", i16({2}, {0, 1}));
  set(m, "rec", "new_state_shift", i8({2}, {-1, 0}));  // two groups of state channels
  set(m, "rec", "new_state_scale", u8({2}, {3, 1}));
  set(m, "rec", "internal_state_outputs_shift", i8({2}, {-1, 0}));
  set(m, "rec", "out_proj", i8({2, 2}, {1, -1, 1, 0}));
  set(m, "rec", "bias", i8({2}, {1, 0}));
  set(m, "rec", "bias_shift", u8({2}, {2, 0}));
  set(m, "rec", "output_scales", u8({2}, {1, 2}));
  set(m, "rec", "output_shift", i8({2}, {0, -1}));
  // Worked by hand (halves round up): outputs (8, -2), (9, -3), (17, -5); frames 0 and 2 kept.
  auto out = software::run_sample(m.layers(), u8({1, 3, 2}, {1, 1, 2, 0, 0, 3}));
  ASSERT_EQ(out->dimensions(), (Shape{1, 2, 2}));
  EXPECT_EQ(values(*out), (Ints{8, -2, 17, -5}));
}

TEST(SoftwareRecurrent, WidthColumnsAreSeparateStreamsAndReluLimits) {
  auto model = model_with_input(2, 2, 1);
  model->add(make(LayerType::StatefulRecurrent, {{"units", 1}, {"activation", 1}}, "rec"));
  Model& m = *model;
  set(m, "rec", "in_proj", i8({1, 1}, {1}));
  set(m, "rec", "out_proj", i8({1, 1}, {1}));
  set(m, "rec", "A_real", i16({1}, {1}));
  set(m, "rec", "new_state_scale", u8({1}, {1}));
  set(m, "rec", "output_scales", u8({1}, {1}));
  // Column 0 sums to 100, 200 and column 1 to 1, 3; with no max_value the limit is 127.
  EXPECT_EQ(values(*software::run_sample(m.layers(), u8({2, 2, 1}, {100, 100, 1, 2}))),
            (Ints{100, 127, 1, 3}));
  set(m, "rec", "max_value", u8({1}, {5}));
  set(m, "rec", "max_value_shift", u8({1}, {1}));
  EXPECT_EQ(values(*software::run_sample(m.layers(), u8({2, 2, 1}, {100, 100, 1, 2}))),
            (Ints{10, 10, 1, 3}));
  set(m, "rec", "out_proj", i8({1, 1}, {-1}));
  EXPECT_EQ(values(*software::run_sample(m.layers(), u8({2, 2, 1}, {100, 100, 1, 2}))),
            (Ints{0, 0, 0, 0}));
}

// Recurrent layer passing 100 x on to a MivoPostProcessing over 4 timesteps.
std::unique_ptr<Model> closed_series() {
  auto model = accumulator(4);
  Model& m = *model;
  set(m, "rec", "in_proj", i8({1, 1}, {1}));
  set(m, "rec", "A_real", i16({1}, {0}));
  set(m, "rec", "A_imag", i16({1}, {0}));
  set(m, "rec", "out_proj", i8({1, 1}, {100}));
  set(m, "rec", "output_scales", u8({1}, {0}));  // replaced by the closing layer's input stage
  m.add(make(LayerType::MivoPostProcessing, {}, "post"));
  set(m, "post", "input_scales", u16({1}, {3}));
  set(m, "post", "threshold", u16({1}, {450}));
  return model;
}

TEST(SoftwarePostProcessing, ThresholdAndShiftByLog2OfTimesteps) {
  auto model = closed_series();
  EXPECT_EQ(software::output_type(*model->get_layer("rec")), TensorType::int16);
  // The recurrent layer gives 300 x = 300, 600, 900, 1200; minus 450, divided by 4 rounding
  // half up: -37.5 -> -37, 37.5 -> 38, 112.5 -> 113, 187.5 -> 188.
  auto out = software::run_sample(model->layers(), u8({1, 4, 1}, {1, 2, 3, 4}));
  EXPECT_EQ(out->type(), TensorType::int16);
  ASSERT_EQ(out->dimensions(), (Shape{1, 4, 1}));
  EXPECT_EQ(values(*out), (Ints{-37, 38, 113, 188}));
  // The recurrent outputs saturate at int16 before the post-processing: 200 x 300 = 60000.
  set(*model, "post", "threshold", u16({1}, {0}));
  EXPECT_EQ(values(*software::run_sample(model->layers(), u8({1, 4, 1}, {200, 0, 0, 0}))),
            (Ints{8192, 0, 0, 0}));  // 32767 / 4 = 8191.75 -> 8192
}

TEST(SoftwarePostProcessing, ThresholdBeyondInt16IsRefused) {
  auto model = closed_series();
  set(*model, "post", "threshold", u16({1}, {40000}));
  try {
    software::run_sample(model->layers(), u8({1, 4, 1}, {1, 2, 3, 4}));
    FAIL() << "threshold 40000 ran";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("threshold 40000"), std::string::npos) << e.what();
  }
}

TEST(SoftwareRecurrent, FailedSampleLeavesTheStatesAsTheyWere) {
  auto model = closed_series();
  set(*model, "rec", "A_real", i16({1}, {1}));  // s1 accumulates
  set(*model, "post", "threshold", u16({1}, {0}));
  const auto x = u8({1, 4, 1}, {1, 0, 0, 0});
  software::Run run(model->layers());
  EXPECT_EQ(values(*run.sample(x)), (Ints{75, 75, 75, 75}));  // 300 / 4
  set(*model, "post", "threshold", u16({1}, {40000}));
  EXPECT_THROW(run.sample(x), std::runtime_error);
  set(*model, "post", "threshold", u16({1}, {0}));
  // s1 was 1 after the first sample, not 2: the failed sample did not advance it.
  EXPECT_EQ(values(*run.sample(x)), (Ints{150, 150, 150, 150}));
}

TEST(SoftwareRecurrent, VariableShapesAreCheckedAgainstTheInput) {
  auto model = accumulator(2);
  // A parameter changed after the model was built no longer matches the variables.
  model->get_layer("rec")->params().set("output_channels", 3);
  EXPECT_THROW(software::run_sample(model->layers(), u8({1, 2, 1}, {1, 1})), std::runtime_error);
}

TEST(SoftwareUndescribed, BufferedTemporalTypesRaiseNamingTheType) {
  for (LayerType type : {LayerType::BufferTempConv, LayerType::DepthwiseBufferTempConv}) {
    auto model = model_with_input(2, 2, 4);
    std::map<std::string, int32_t> params{{"fifo_size", 2}};
    if (type == LayerType::BufferTempConv) params["filters"] = 4;
    model->add(make(type, params, "buffered"));
    try {
      software::run_sample(model->layers(), u8({2, 2, 4}, std::vector<uint8_t>(16, 1)));
      FAIL() << layer_type_name(type) << " ran";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()),
                std::string("Layer type ") + layer_type_name(type) + " has no software reference operation.");
    }
  }
}

// A stand-in for a device: runs its layers on the reference operations from the one tensor it
// is given and returns the last layer's output, as a chip would.
class ReferenceSequence : public ForwardableSequence {
 public:
  ReferenceSequence(std::vector<std::shared_ptr<Layer>> layers, int* runs) : runs_(runs) {
    auto pass = std::make_shared<Pass>();
    pass->layers = std::move(layers);
    passes_.push_back(std::move(pass));
  }
  const std::vector<std::shared_ptr<Pass>>& passes() const override { return passes_; }
  BackendType backend() const override { return BackendType::Hardware; }
  ByteView program() const override { return {}; }
  ProgramParts program_parts() const override { return {}; }
  std::string name() const override { return "HW/" + passes_.front()->layers.front()->get_name(); }
  std::vector<std::shared_ptr<Dense>> forward_samples(const Tensors& inputs,
                                                      const std::vector<int32_t>*) override {
    ++*runs_;
    std::vector<std::shared_ptr<Dense>> outputs;
    for (const auto& input : inputs) {
      outputs.push_back(software::run_sample(passes_.front()->layers, input));
    }
    return outputs;
  }

 private:
  std::vector<std::shared_ptr<Pass>> passes_;
  int* runs_;
};

// Maps the first cuts[0] layers into a hardware sequence, the next cuts[1] into another, and so
// on, as far as the layers it is given go; the rest is left to software.
class CutBackend : public Backend {
 public:
  CutBackend(std::vector<size_t> cuts, int* runs) : cuts_(std::move(cuts)), runs_(runs) {}
  MappingStatusGroup map(std::vector<std::shared_ptr<Layer>>& layers, Sequences& sequences,
                         const std::shared_ptr<MapConstraints>&) override {
    for (size_t cut : cuts_) {
      cut = std::min(cut, layers.size());
      if (cut == 0) break;
      const auto end = layers.begin() + static_cast<std::ptrdiff_t>(cut);
      std::vector<std::shared_ptr<Layer>> taken(layers.begin(), end);
      layers.erase(layers.begin(), end);
      sequences.push_back(std::make_shared<ReferenceSequence>(std::move(taken), runs_));
    }
    return {};
  }
  BackendType type() const override { return BackendType::Hardware; }

 private:
  std::vector<size_t> cuts_;
  int* runs_;
};

// input (4, 4, 2) -> a -> b, then an Add of two of {input, a, b, in2}, in2 a second InputData
// added after b. Weights, biases and the input differ enough that no two layers give equal
// outputs.
std::unique_ptr<Model> skip_model(const std::string& left, const std::string& right) {
  auto model = model_with_input(4, 4, 2);
  for (const char* name : {"a", "b"}) {
    model->add(make(LayerType::Conv2D, {{"filters", 2}, {"activation", 0}}, name));
    auto weights = model->get_layer(name)->variables().get("weights");
    for (size_t i = 0; i < weights->size(); ++i) {
      weights->data<int8_t>()[i] = static_cast<int8_t>(static_cast<int>((i * 7 + name[0]) % 5) - 2);
    }
    set(*model, name, "bias", i8({2}, {static_cast<int8_t>(name[0] % 7), -3}));
  }
  model->add(make(LayerType::InputData,
                  {{"input_width", 4}, {"input_height", 4}, {"input_channels", 2}}, "in2"));
  model->add(make(LayerType::Add, {}, "add"), {model->get_layer(left), model->get_layer(right)});
  return model;
}

std::shared_ptr<Device> one_np_device() {
  return make_virtual_device(
      HwVersion{0xBC, 0xA2, 0, 0},
      Mesh(IpVersion::v2, hw::Ident{9, 9, 0, 0}, hw::Ident{}, std::nullopt,
           {np::Info{hw::Ident{1, 1, 1, 0}, {hw::Type::CNP1}, false}}, {}));
}

// Every layer of a mapped run reads its real inbound layers: where the back end leaves a split
// that cannot give them (an output that stays on the device, a sequence that would need two
// tensors), map cuts the hardware part back until it can.
TEST(MappedRun, LayersReadTheirRealInboundLayers) {
  auto device = one_np_device();
  auto constraints = std::make_shared<MapConstraints>(device);
  std::vector<uint8_t> pixels(64);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 37 % 251);
  const auto inputs = u8({2, 4, 4, 2}, pixels);  // two samples of 4 x 4 pixels, 2 channels
  struct Case {
    std::string left, right;
    std::vector<size_t> cuts;  // layers per hardware sequence, in model order: input a b in2 add
    std::vector<size_t> kept;  // the hardware sequences map leaves
  };
  const std::vector<Case> cases{
      {"input", "b", {3}, {3}},          // skip from the input across a hardware sequence
      {"a", "in2", {2}, {2}},            // a second InputData left to software
      {"input", "in2", {4}, {4}},        // both InputData, the second one on the device
      {"a", "b", {2, 1}, {2, 1}},        // the last layer of an earlier hardware sequence
      {"input", "b", {2, 1}, {2, 1}},    // the input across two hardware sequences
      {"a", "b", {5}, {5}},              // everything on the device
      {"a", "b", {3}, {2}},              // a stays on the device: cut back to end at a
      {"a", "b", {1, 2}, {1, 1}},        // a inside the second sequence: the same
      // b (reading a) and in2 (the input) in one sequence, which takes one tensor: cut back
      // before in2.
      {"input", "b", {2, 3}, {2, 1}},
  };
  for (const auto& c : cases) {
    std::string label = c.left + "+" + c.right + " cuts";
    for (size_t cut : c.cuts) label += " " + std::to_string(cut);
    auto model = skip_model(c.left, c.right);
    const auto expected = model->forward(inputs);
    int runs = 0;
    set_hardware_backend_factory([&] { return std::make_unique<CutBackend>(c.cuts, &runs); });
    model->map(device, false, constraints);
    set_hardware_backend_factory(nullptr);
    std::vector<size_t> kept;
    for (const auto& sequence : model->sequences()) {
      if (dynamic_cast<const ReferenceSequence*>(sequence.get())) {
        kept.push_back(sequence->passes().front()->layers.size());
      }
    }
    EXPECT_EQ(kept, c.kept) << label;
    const auto output = std::dynamic_pointer_cast<Dense>(model->forward(inputs));
    EXPECT_EQ(values(*output), values(*std::dynamic_pointer_cast<Dense>(expected))) << label;
    EXPECT_EQ(runs, static_cast<int>(c.kept.size())) << label;
  }
}

}  // namespace
}  // namespace qalto
