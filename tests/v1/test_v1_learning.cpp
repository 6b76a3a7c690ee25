// v1 learning: the learning-memory layout, the learning program of a fully connected layer,
// the read-back of learned values from a device's learning memory (and its refusals), a
// learning run of a hand-mapped sequence, and the refusal of every other v1 layer program.
#include <gtest/gtest.h>

#include <flatbuffers/flatbuffers.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "learn_mem_device.hpp"
#include "mapping/hardware_backend.hpp"
#include "program/hardware_sequence.hpp"
#include "program/hardware_sequence_builder.hpp"
#include "program_generated.h"
#include "qalto/map_constraints.hpp"
#include "qalto/model.hpp"
#include "v1/io_recorder.hpp"
#include "v1/errors.hpp"
#include "v1/layer_recorder.hpp"
#include "v1/learning_memory.hpp"

namespace qalto {
namespace {

using testing::HardwareBackedDevice;
using testing::LearnMemDevice;

const HwVersion kV1{0xBC, 0xA1, 0, 0};
const hw::Ident kFnp{1, 2, 3, 0};

Mesh v1_mesh() {
  return Mesh(IpVersion::v1, hw::Ident{3, 1, 0, 0}, hw::Ident{3, 1, 1, 0}, std::nullopt,
              {np::Info{kFnp, {hw::Type::FNP3}, false},
               np::Info{hw::Ident{1, 1, 0, 0}, {hw::Type::CNP1, hw::Type::CNP2}, false}},
              {});
}

hw::Component fnp_component() {
  hw::Component c;
  c.type = hw::Type::FNP3;
  c.ident = kFnp;
  c.np_part = hw::NpPart{};
  return c;
}

std::shared_ptr<Layer> layer_of(LayerType type, std::map<std::string, int32_t> params,
                                const std::string& name) {
  return Layer::create(LayerParams(type, std::move(params)), name);
}

// InputData 2 x 2 x 1 -> FullyConnected of 3 units: N = 4, U = 3, 12 weights, 15 memory words.
struct DenseNet {
  std::unique_ptr<Model> model = Model::create();
  std::shared_ptr<Layer> input = layer_of(
      LayerType::InputData, {{"input_width", 2}, {"input_height", 2}, {"input_channels", 1}}, "in");
  std::shared_ptr<Layer> dense = layer_of(LayerType::FullyConnected, {{"units", 3}}, "fc");

  DenseNet() {
    model->add(input);
    model->add(dense);
  }
  // Gives the dense layer a mapping record on the FNP (or on nothing).
  void map_by_hand(bool with_np = true) {
    auto mapping = std::make_shared<Layer::Mapping>();
    if (with_np) mapping->components->push_back(fnp_component());
    dense->set_mapping(mapping);
  }
  // weights[n][u] = values[n * 3 + u]
  void set_weights(const std::vector<int8_t>& values) {
    auto weights = Dense::create(TensorType::int8, Shape{4, 3});
    for (size_t i = 0; i < values.size(); ++i) weights->data<int8_t>()[i] = values[i];
    dense->variables().set("weights", weights);
  }
  std::vector<int64_t> weights() const { return values_of(*dense->variables().get("weights")); }
  std::vector<int64_t> thresholds() const {
    return values_of(*dense->variables().get("threshold"));
  }
  static std::vector<int64_t> values_of(const Dense& tensor) {
    std::vector<int64_t> values;
    for (size_t i = 0; i < tensor.size(); ++i) values.push_back(tensor.value_as_int(i));
    return values;
  }
};

// A learning memory whose weights carry the chip's bits above the weight byte.
const std::vector<uint32_t> kMemory = {
    0x00000001, 0xABCD12FF, 0x00000080, 0x0000007F,  // weights (0, 0..2), (1, 0)
    0xFFFFFF00, 0x00000002, 0x12345603, 0x000000FE,  // (1, 1..2), (2, 0..1)
    0x00000000, 0x00000040, 0x000000C0, 0x00000005,  // (2, 2), (3, 0..2)
    0x7FFFFFFF, 0xFFFFFFF6, 0x80000000,              // thresholds
};
const std::vector<int64_t> kLearnedWeights = {1, -1, -128, 127, 0, 2, 3, -2, 0, 64, -64, 5};
const std::vector<int64_t> kLearnedThresholds = {2147483647, -10, -2147483648LL};

template <typename F>
std::string runtime_error_text(F&& call) {
  try {
    call();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no runtime_error";
}

class V1Learning : public ::testing::Test {
 protected:
  DenseNet net;
  LearnMemDevice chip;
  std::shared_ptr<Device> device = std::make_shared<HardwareBackedDevice>(kV1, v1_mesh(), &chip);
  HardwareConstraints constraints = make_hardware_constraints(IpVersion::v1, device->mesh());
  v1::LayerRecorderImpl recorder{*device, constraints};
};

TEST(V1LearningMemory, WeightsAreOneSignedByteAtTheLowEndOfEachWord) {
  DenseNet net;
  net.set_weights({1, -1, -128, 127, 0, 2, 3, -2, 0, 64, -64, 5});
  const std::vector<uint32_t> words = v1::format_learning_weights(*net.dense);
  EXPECT_EQ(words, (std::vector<uint32_t>{0x01, 0xFF, 0x80, 0x7F, 0x00, 0x02, 0x03, 0xFE, 0x00,
                                          0x40, 0xC0, 0x05}));
  const v1::LearningLayout layout = v1::learning_layout(*net.dense);
  EXPECT_EQ(layout.inputs, 4u);
  EXPECT_EQ(layout.units, 3u);
  EXPECT_EQ(layout.total_words(), 15u);
}

TEST(V1LearningMemory, EveryWeightIsFoundAtItsWordAndNothingElseIsSet) {
  DenseNet net;
  std::vector<int8_t> values;
  for (int i = 0; i < 12; ++i) values.push_back(static_cast<int8_t>(i * 23 - 128));
  net.set_weights(values);
  const std::vector<uint32_t> words = v1::format_learning_weights(*net.dense);
  ASSERT_EQ(words.size(), v1::learning_layout(*net.dense).weight_words());
  for (size_t i = 0; i < words.size(); ++i) {
    EXPECT_EQ(words[i] >> 8, 0u) << "word " << i;
    EXPECT_EQ(static_cast<int8_t>(words[i] & 0xFF), values[i]) << "word " << i;
  }
}

TEST(V1LearningMemory, OnlyFullyConnectedLayersHaveOne) {
  DenseNet net;
  EXPECT_EQ(runtime_error_text([&] { v1::learning_layout(*net.input); }),
            "Layer type InputData is not supported on v1.");
  // A layer not yet in a model has no variables to lay out.
  const auto loose = layer_of(LayerType::FullyConnected, {{"units", 3}}, "loose");
  EXPECT_EQ(runtime_error_text([&] { v1::learning_layout(*loose); }),
            "Layer 'loose' has no int8 (N, U) weights with int32 (U) thresholds.");
}

TEST_F(V1Learning, SyncWritesExactlyTheMemoryIntoTheVariables) {
  net.map_by_hand();
  chip.learn_mem = kMemory;
  const auto act_step_before = net.dense->variables().get("act_step");
  recorder.sync_learning_vars(net.dense);
  EXPECT_EQ(net.weights(), kLearnedWeights);
  EXPECT_EQ(net.thresholds(), kLearnedThresholds);
  EXPECT_EQ(net.dense->variables().get("weights")->type(), TensorType::int8);
  EXPECT_EQ(net.dense->variables().get("weights")->dimensions(), (Shape{4, 3}));
  EXPECT_EQ(net.dense->variables().get("act_step"), act_step_before);
  EXPECT_EQ(chip.log, (std::vector<std::string>{"read_learn_mem 15"}));
}

TEST_F(V1Learning, SyncReadsTheWholeOfALongerMemory) {
  net.map_by_hand();
  chip.learn_mem = kMemory;
  chip.learn_mem.push_back(0xDEADBEEF);
  recorder.sync_learning_vars(net.dense);
  EXPECT_EQ(chip.log, (std::vector<std::string>{"read_learn_mem 16"}));
  EXPECT_EQ(net.weights(), kLearnedWeights);
  EXPECT_EQ(net.thresholds(), kLearnedThresholds);
}

TEST_F(V1Learning, SyncRefusesAShortMemoryBeforeReadingIt) {
  net.map_by_hand();
  net.set_weights({9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9});
  chip.learn_mem.assign(kMemory.begin(), kMemory.end() - 1);
  EXPECT_EQ(runtime_error_text([&] { recorder.sync_learning_vars(net.dense); }),
            "The learning memory holds 14 words; layer 'fc' needs 15.");
  chip.learn_mem.clear();
  EXPECT_EQ(runtime_error_text([&] { recorder.sync_learning_vars(net.dense); }),
            "The learning memory holds 0 words; layer 'fc' needs 15.");
  EXPECT_FALSE(chip.memory_read());
  EXPECT_EQ(net.weights(), (std::vector<int64_t>(12, 9)));
}

TEST_F(V1Learning, SyncRefusesAMemoryTooLargeToBeALearningLayer) {
  net.map_by_hand();
  // The size is refused before any buffer is made for it.
  class HugeMemory : public LearnMemDevice {
   public:
    size_t learn_mem_size() const override { return size_t{1} << 40; }
  } huge;
  const auto huge_device = std::make_shared<HardwareBackedDevice>(kV1, v1_mesh(), &huge);
  const v1::LayerRecorderImpl huge_recorder(*huge_device, constraints);
  EXPECT_EQ(runtime_error_text([&] { huge_recorder.sync_learning_vars(net.dense); }),
            "The learning memory holds 1099511627776 words, more than the 67108864 words a v1 "
            "learning layer may have.");
  EXPECT_FALSE(huge.memory_read());
}

TEST_F(V1Learning, SyncWithoutNpIsOutOfRange) {
  chip.learn_mem = kMemory;
  EXPECT_THROW(recorder.sync_learning_vars(net.dense), std::out_of_range);  // no mapping at all
  net.map_by_hand(false);
  EXPECT_THROW(recorder.sync_learning_vars(net.dense), std::out_of_range);
  EXPECT_FALSE(chip.memory_read());
  EXPECT_EQ(net.weights(), std::vector<int64_t>(12, 0));
}

TEST_F(V1Learning, SyncNeedsHardware) {
  net.map_by_hand();
  const auto virtual_device = make_virtual_device(kV1, v1_mesh());
  const v1::LayerRecorderImpl virtual_recorder(*virtual_device, constraints);
  EXPECT_EQ(runtime_error_text([&] { virtual_recorder.sync_learning_vars(net.dense); }),
            "An actual hardware device is required.");
}

TEST_F(V1Learning, SyncOfAnotherLayerKindIsRefused) {
  auto model = Model::create();
  auto input = layer_of(LayerType::InputData,
                        {{"input_width", 2}, {"input_height", 2}, {"input_channels", 1}}, "in");
  auto dense1d = layer_of(LayerType::Dense1D, {{"units", 3}}, "d1");
  model->add(input);
  model->add(dense1d);
  auto mapping = std::make_shared<Layer::Mapping>();
  mapping->components->push_back(fnp_component());
  dense1d->set_mapping(mapping);
  chip.learn_mem = kMemory;
  EXPECT_EQ(runtime_error_text([&] { recorder.sync_learning_vars(dense1d); }),
            "Layer type Dense1D is not supported on v1.");
  EXPECT_FALSE(chip.memory_read());
}

void expect_header(const std::vector<uint32_t>& track, uint32_t target, uint32_t length) {
  ASSERT_GE(track.size(), 2u);
  const dma::ConfigHeader header = dma::decode_config_header(track.data());
  EXPECT_EQ(header.ident, (hw::Ident{kFnp.col, kFnp.row, kFnp.id, 0}));
  EXPECT_EQ(header.target, target);
  EXPECT_EQ(header.length, length);
  EXPECT_EQ(header.offset, 0u);
  EXPECT_FALSE(header.xl);
}

TEST_F(V1Learning, LearningProgramHoldsRegisterHeadersAndTheWeights) {
  net.map_by_hand();
  net.set_weights({1, -1, -128, 127, 0, 2, 3, -2, 0, 64, -64, 5});
  const program::LearnRecordsPtr records = recorder.record_learning_layer(*net.dense, true);
  for (const auto* registers : {records.registers_1.get(), records.registers_2.get()}) {
    ASSERT_NE(registers, nullptr);
    EXPECT_EQ(registers->version, kV1);
    ASSERT_EQ(registers->track_count(), 1u);
    EXPECT_EQ(registers->tracks[0].size(), 2u);
    expect_header(registers->tracks[0].words(), 7, 0);
    EXPECT_FALSE(registers->fnp2_filters);
  }
  ASSERT_NE(records.weights, nullptr);
  ASSERT_EQ(records.weights->track_count(), 1u);
  const std::vector<uint32_t>& track = records.weights->tracks[0].words();
  expect_header(track, 6, 12);
  const std::vector<uint32_t> expected = v1::format_learning_weights(*net.dense);
  EXPECT_EQ(std::vector<uint32_t>(track.begin() + 2, track.end()), expected);
  ASSERT_TRUE(records.weights->fnp2_filters);
  EXPECT_EQ(records.weights->fnp2_filters->ident, kFnp);
  EXPECT_EQ(records.weights->fnp2_filters->words, expected);
  EXPECT_EQ(records.fnp_sram_size, 12u);
}

TEST_F(V1Learning, LearningProgramRefusals) {
  EXPECT_THROW(recorder.record_learning_layer(*net.dense, false), std::out_of_range);
  EXPECT_EQ(runtime_error_text([&] { recorder.record_learning_layer(*net.input, false); }),
            "Layer type InputData is not supported on v1.");
}

TEST_F(V1Learning, LayerProgramsAreEmptyOrRefusedByType) {
  net.map_by_hand();
  // A layer without hardware of its own has an empty program.
  auto input_record =
      recorder.record_layer(*net.input, net.input.get(), nullptr, false, false, {}, false, false);
  ASSERT_NE(input_record, nullptr);
  EXPECT_TRUE(input_record->tracks.empty());
  // The fully connected block names itself, as its own error type.
  EXPECT_THROW(recorder.record_layer(*net.dense, net.input.get(), net.dense, false, false, {},
                                     true, false),
               v1::FnpError);
  EXPECT_EQ(runtime_error_text([&] {
              recorder.record_layer(*net.dense, net.input.get(), net.dense, false, false, {},
                                    true, false);
            }),
            "Backend hardware(FullyConnected): Layer type FullyConnected is not supported on v1.");
}

// The hand-mapped sequence: the builder serialises the learning program, and a run with
// labels fits on the chip and brings the learned values back into the layer.
TEST_F(V1Learning, LearningRunOfAHandMappedSequence) {
  net.dense->set_learning(LearningParams::create(0, {}));
  net.set_weights({1, -1, -128, 127, 0, 2, 3, -2, 0, 64, -64, 5});
  const v1::IoRecorderImpl io(*device);
  HardwareSequenceBuilder builder(device, constraints, io, recorder);
  const std::vector<std::shared_ptr<Layer>> layers{net.input, net.dense};
  builder.add_layers(layers, layers, {{}, {fnp_component()}});
  auto [sequence, status] = builder.build_sequence();
  ASSERT_FALSE(status.failed) << status.to_string();
  ASSERT_TRUE(sequence);

  const auto parts = sequence->program_parts();
  flatbuffers::Verifier data_check(parts.program_data.data, parts.program_data.size);
  ASSERT_TRUE(data_check.VerifySizePrefixedBuffer<fb::ProgramData>(nullptr));
  flatbuffers::Verifier info_check(parts.program_info.data, parts.program_info.size);
  ASSERT_TRUE(info_check.VerifySizePrefixedBuffer<fb::ProgramInfo>(nullptr));
  const auto* data = flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(parts.program_data.data);
  const auto* learning = data->learning_layer();
  ASSERT_NE(learning, nullptr);
  EXPECT_EQ(learning->ident()->col(), kFnp.col);
  EXPECT_EQ(learning->ident()->row(), kFnp.row);
  EXPECT_EQ(learning->ident()->id(), kFnp.id);
  EXPECT_EQ(learning->fnp_sram_size(), 12u);
  ASSERT_NE(learning->weights()->fnp2_filters(), nullptr);
  EXPECT_EQ(learning->weights()->fnp2_filters()->words()->size(), 12u);
  EXPECT_EQ(learning->weights()->fnp2_filters()->words()->Get(1), 0xFFu);
  const auto* info = flatbuffers::GetSizePrefixedRoot<fb::ProgramInfo>(parts.program_info.data);
  EXPECT_NE(info->learning_layer(), nullptr);

  auto& run = dynamic_cast<HardwareSequence&>(*sequence);
  chip.learn_mem = kMemory;
  const ForwardableSequence::Tensors inputs{Dense::create(TensorType::uint8, Shape{2, 2, 1})};
  const std::vector<int32_t> labels{1};
  const auto outputs = run.forward_samples(inputs, &labels);
  EXPECT_EQ(outputs.size(), 1u);
  EXPECT_EQ(chip.log, (std::vector<std::string>{"program", "prepare_run 1 true", "learn on",
                                                "fit 1 1", "read_learn_mem 15"}));
  EXPECT_EQ(net.weights(), kLearnedWeights);
  EXPECT_EQ(net.thresholds(), kLearnedThresholds);

  // Inference reads nothing back.
  chip.log.clear();
  run.forward_samples(inputs, nullptr);
  EXPECT_EQ(chip.log,
            (std::vector<std::string>{"prepare_run 1 true", "learn off", "forward"}));
}

// Mapping through the back end on a virtual v1 chip stops at the first layer v1 cannot
// program, with its status, and leaves it (and the model's layers) to the caller.
TEST(V1Mapping, MappingStopsAtAConvolution) {
  auto model = Model::create();
  auto input = layer_of(LayerType::InputData,
                        {{"input_width", 8}, {"input_height", 8}, {"input_channels", 1}}, "in");
  auto conv = layer_of(LayerType::Convolutional, {{"filters", 4}}, "conv");
  model->add(input);
  model->add(conv);
  auto device = make_virtual_device(kV1, v1_mesh());
  auto constraints = std::make_shared<MapConstraints>(device);
  std::vector<std::shared_ptr<Layer>> layers{input, conv};
  Sequences sequences;
  HardwareBackend backend;
  const MappingStatusGroup result = backend.map(layers, sequences, constraints);
  EXPECT_TRUE(result.failed);
  ASSERT_EQ(result.statuses.size(), 1u) << result.to_string();
  EXPECT_EQ(result.statuses[0].layer, "conv");
  EXPECT_EQ(result.statuses[0].message, "Layer type Convolutional is not supported on v1.");
  EXPECT_EQ(result.to_string(),
            "Cannot map layer 'conv'. Layer type Convolutional is not supported on v1.");
  EXPECT_TRUE(sequences.empty());
  EXPECT_EQ(layers, (std::vector<std::shared_ptr<Layer>>{input, conv}));
  EXPECT_EQ(conv->mapping(), nullptr);
}

}  // namespace
}  // namespace qalto
