// The v1 checker, I/O recorder and memory sizer: the layer kinds v1 refuses and their texts,
// the input-memory fits at their boundaries, the FNP3 fit, and the empty input stage.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "mapping/fake_device.hpp"
#include "program/record.hpp"
#include "qalto/model.hpp"
#include "v1/compatibility_checker.hpp"
#include "v1/io_recorder.hpp"
#include "v1/memory_sizer.hpp"

namespace qalto {
namespace {

// v1 mesh words: the dual-buffer input memory is 5376 words, the single-buffer one 10752.
class V1Checker : public ::testing::Test {
 protected:
  std::shared_ptr<testing::FakeDevice> device = testing::make_device(0x00);
  HardwareConstraints constraints = make_hardware_constraints(IpVersion::v1, device->mesh());
  v1::CompatibilityCheckerImpl checker{*device, constraints};
};

template <typename F>
std::string runtime_error_text(F&& call) {
  try {
    call();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no runtime_error";
}

std::shared_ptr<Layer> layer_of(LayerType type, std::map<std::string, int32_t> params,
                                const std::string& name) {
  return Layer::create(LayerParams(type, std::move(params)), name);
}

TEST_F(V1Checker, ConstraintWordsAreTheV1Ones) {
  EXPECT_EQ(constraints.input_sram_dual_buffer_words, 5376u);
  EXPECT_EQ(constraints.input_sram_single_buffer_words, 10752u);
  EXPECT_EQ(constraints.fnp3_sram_size, 10752u);
}

TEST_F(V1Checker, LayersWithoutNpsPass) {
  const auto input = testing::make_input_layer("in");
  const auto quantizer = layer_of(LayerType::Quantizer, {}, "q");
  const auto dequantizer = layer_of(LayerType::Dequantizer, {}, "dq");
  const auto add = layer_of(LayerType::Add, {}, "add");
  const auto concat = layer_of(LayerType::Concatenate, {}, "cat");
  for (const auto& layer : {input, quantizer, dequantizer, add, concat}) {
    const MappingStatus status = checker.check_layer_compatibility(*layer, nullptr,
                                                                   device->version());
    EXPECT_FALSE(status.failed) << layer->get_name() << ": " << status.to_string();
  }
}

TEST_F(V1Checker, LayerKindsWithoutV1ProgramAreRefusedByName) {
  const std::pair<LayerType, std::map<std::string, int32_t>> refused[] = {
      {LayerType::Convolutional, {{"filters", 4}}},
      {LayerType::SeparableConvolutional, {{"filters", 4}}},
      {LayerType::FullyConnected, {{"units", 4}}},
      {LayerType::InputConvolutional,
       {{"filters", 4}, {"input_width", 8}, {"input_height", 8}, {"input_channels", 1}}},
      {LayerType::Conv2D, {{"filters", 4}}},
      {LayerType::Dense1D, {{"units", 4}}},
      {LayerType::StatefulRecurrent, {{"units", 4}}},
      {LayerType::MivoPostProcessing, {}},
  };
  for (const auto& [type, params] : refused) {
    const auto layer = layer_of(type, params, "L");
    const MappingStatus status = checker.check_layer_compatibility(*layer, nullptr,
                                                                   device->version());
    EXPECT_TRUE(status.failed) << layer_type_name(type);
    EXPECT_EQ(status.layer, "L");
    EXPECT_EQ(status.message,
              std::string("Layer type ") + layer_type_name(type) + " is not supported on v1.");
  }
  EXPECT_EQ(v1::unsupported_layer_message(LayerType::Convolutional),
            "Layer type Convolutional is not supported on v1.");
}

TEST_F(V1Checker, RunsAndComponentChoicesAlwaysPass) {
  const std::vector<LayerPtr> layers{testing::make_input_layer("a"),
                                     layer_of(LayerType::Conv2D, {{"filters", 4}}, "b")};
  EXPECT_FALSE(checker.check_layer_sequence(layers.begin(), layers.end(), device->version()).failed);
  hw::Component np;
  np.type = hw::Type::CNP1;
  EXPECT_FALSE(checker.check_layer_mappings(*layers[1], {np, np}, true).failed);
}

// Width 4 at 8 bits is one word per channel row: 4 channels make 4 words per line.
TEST_F(V1Checker, InputFitsAtTheMemoryBoundaries) {
  // 1344 lines: exactly the dual buffer.
  EXPECT_TRUE(checker.is_sram_input_fit_dual_buffer(hw::Type::CNP1, 1344, 4, 4, 0, 8, 0));
  EXPECT_FALSE(checker.is_sram_input_fit_dual_buffer(hw::Type::CNP1, 1344, 4, 4, 0, 8, 1));
  EXPECT_FALSE(checker.is_sram_input_fit_dual_buffer(hw::Type::CNP2, 1345, 4, 4, 0, 8, 0));
  EXPECT_TRUE(checker.is_sram_input_fit_single_buffer(hw::Type::CNP2, 1345, 4, 4, 0, 8, 0));
  EXPECT_TRUE(checker.is_sram_input_fit_single_buffer(hw::Type::CNP1, 2688, 4, 4, 0, 8, 0));
  EXPECT_FALSE(checker.is_sram_input_fit_single_buffer(hw::Type::CNP1, 2689, 4, 4, 0, 8, 0));
  // Rows are padded to 4 bytes: 5 pixels of 8 bits take 2 words, 5 of 4 bits one.
  EXPECT_TRUE(checker.is_sram_input_fit_dual_buffer(hw::Type::CNP1, 2688, 5, 1, 0, 8, 0));
  EXPECT_FALSE(checker.is_sram_input_fit_dual_buffer(hw::Type::CNP1, 2689, 5, 1, 0, 8, 0));
  EXPECT_TRUE(checker.is_sram_input_fit_dual_buffer(hw::Type::CNP1, 5376, 5, 1, 0, 4, 0));
  // A shift beyond the memory leaves nothing, not a wrapped-around capacity.
  EXPECT_FALSE(checker.is_sram_input_fit_single_buffer(hw::Type::CNP1, 1, 1, 1, 0, 8, 10753));
}

TEST_F(V1Checker, HugeInputsFitNothingInsteadOfWrapping) {
  // channels x row bytes passes 64 bits; a 32- or 64-bit product would wrap to something small.
  EXPECT_FALSE(checker.is_sram_input_fit_single_buffer(hw::Type::CNP1, 1, 0xFFFFFFFFu,
                                                       0xFFFFFFFFu, 0, 255, 0));
  // Exactly 2^27 row words is past the row register: 2^27 channels of a one-word row.
  EXPECT_FALSE(checker.is_sram_input_fit_single_buffer(hw::Type::CNP1, 0, 4, 1u << 27, 0, 8, 0));
  EXPECT_TRUE(checker.is_sram_input_fit_single_buffer(hw::Type::CNP1, 0, 4, (1u << 27) - 1, 0,
                                                      8, 0));
}

TEST_F(V1Checker, InputFitsOfOtherNpTypesAreRefused) {
  for (hw::Type type : {hw::Type::TNP_B, hw::Type::FNP2, hw::Type::FNP3, hw::Type::HRC}) {
    EXPECT_EQ(runtime_error_text([&] {
                checker.is_sram_input_fit_dual_buffer(type, 1, 1, 1, 0, 8, 0);
              }),
              "Type of NP not supported.");
    EXPECT_EQ(runtime_error_text([&] {
                checker.is_sram_input_fit_single_buffer(type, 1, 1, 1, 0, 8, 0);
              }),
              "Type of NP not supported.");
  }
}

TEST_F(V1Checker, WeightFitIsRefusedByName) {
  const auto layer = layer_of(LayerType::Convolutional, {{"filters", 4}}, "conv");
  EXPECT_EQ(runtime_error_text([&] { checker.is_weights_size_fit_np(*layer, 4); }),
            "v1::CompatibilityCheckerImpl::is_weights_size_fit_np is not supported on v1.");
}

// A fully connected layer over 2 x 2 x 1 inputs with 3 units: 12 weight words.
TEST_F(V1Checker, Fnp3FitsWhenItsSramHoldsTheWeightWords) {
  auto model = Model::create();
  auto input = layer_of(LayerType::InputData,
                        {{"input_width", 2}, {"input_height", 2}, {"input_channels", 1}}, "in");
  auto dense = layer_of(LayerType::FullyConnected, {{"units", 3}}, "fc");
  model->add(input);
  model->add(dense);
  HardwareConstraints small{};
  small.fnp3_sram_size = 12;
  EXPECT_TRUE(checker.check_fnp3_sram_size(small, *dense));
  small.fnp3_sram_size = 11;
  EXPECT_FALSE(checker.check_fnp3_sram_size(small, *dense));
  EXPECT_TRUE(checker.is_fnp3_compatible(*dense));  // 12 <= 10752

  EXPECT_EQ(runtime_error_text([&] { checker.check_fnp3_sram_size(small, *input); }),
            "Layer type InputData is not supported on v1.");
}

TEST_F(V1Checker, SplitParamsFromWidthHeightPairs) {
  const LayerParams params(LayerType::Convolutional,
                           {{"kernel_width", 5},
                            {"kernel_height", 3},
                            {"pool_type", 2},
                            {"pooling_width", 4},
                            {"pooling_height", 2},
                            {"filters", 100},
                            {"kernel_size", 7},
                            {"pool_size", 9}});
  const NpSplitParams split = checker.np_split_params(hw::Type::CNP1, params);
  EXPECT_EQ(split.left_margin, 2u);
  EXPECT_EQ(split.right_margin, 2u);
  EXPECT_EQ(split.top_margin, 1u);
  EXPECT_EQ(split.bottom_margin, 1u);
  EXPECT_EQ(split.pool_type, 2u);
  EXPECT_EQ(split.pool_width, 4u);
  EXPECT_EQ(split.pool_height, 2u);
  EXPECT_EQ(split.filters, 100u);
}

TEST_F(V1Checker, SplitParamsOfMissingOrNegativeValuesAreZero) {
  const NpSplitParams split = checker.np_split_params(
      hw::Type::CNP1, LayerParams(LayerType::Convolutional, {{"kernel_width", -3}}));
  EXPECT_EQ(split.left_margin + split.right_margin + split.top_margin + split.bottom_margin +
                split.pool_type + split.pool_width + split.pool_height + split.filters,
            0u);
}

TEST(V1IoRecorder, InputStageIsEmptyAndTypeCodesAreZero) {
  const auto device = testing::make_device(0xA1, 3, 9);
  const v1::IoRecorderImpl recorder(*device);
  const auto record = recorder.record_scc(true, true, false, true, false, Shape{8, 8, 1},
                                          Shape{1, 1, 4});
  ASSERT_TRUE(record);
  EXPECT_EQ(record->track_count(), 0u);
  EXPECT_FALSE(record->fnp2_filters);
  EXPECT_EQ(record->version, (HwVersion{0xBC, 0xA1, 3, 9}));
  const auto layer = testing::make_input_layer("in");
  EXPECT_TRUE(recorder.record_epg(*layer, 0, 1, 2, true, true, true).empty());
  EXPECT_EQ(recorder.get_input_type(*layer), 0);
  EXPECT_EQ(recorder.get_output_type(*layer, 5), 0);
}

TEST(V1Sizer, HasNoTnpRSramAndSizesNoComponent) {
  const v1::MemorySizerImpl sizer;
  const auto layer = testing::make_input_layer("in");
  EXPECT_EQ(sizer.get_fsram_64b_memory_size(layer), 0u);
  EXPECT_EQ(sizer.get_tsram_51b_memory_size(layer), 0u);
  EXPECT_EQ(sizer.get_evsram_32b_memory_size(layer), 0u);
  EXPECT_EQ(sizer.get_stsram_32b_memory_size(layer), 0u);
  const hw::Component np;
  EXPECT_EQ(runtime_error_text([&] { sizer.get_weight_memory_size(layer, np); }),
            "v1::MemorySizerImpl::get_weight_memory_size is not supported on v1.");
}

}  // namespace
}  // namespace qalto
