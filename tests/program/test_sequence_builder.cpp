// The sequence builder over fake recorders: the program of a two-pass sequence read back
// through the flatbuffers verifier, the flags each record is asked with, the descriptor limit
// at its boundaries and joining layers held back for the next pass.

#include <gtest/gtest.h>

#include <flatbuffers/flatbuffers.h>

#include <memory>
#include <string>
#include <vector>

#include "program/hardware_sequence.hpp"
#include "program/hardware_sequence_builder.hpp"
#include "program_generated.h"
#include "support/fake_recorders.hpp"
#include "support/graph_builder.hpp"

namespace qalto {
namespace {

using testing::FakeIoRecorder;
using testing::FakeLayerRecorder;
using testing::GraphBuilder;
using Components = std::vector<std::vector<hw::Component>>;

hw::Component np(uint8_t col, uint8_t id) {
  hw::Component c;
  c.type = hw::Type::CNP2;
  c.ident = {col, 1, id, 0};
  c.np_part = hw::NpPart{};
  return c;
}

struct ReadProgram {
  const fb::ProgramInfo* info = nullptr;
  const fb::ProgramData* data = nullptr;
};

// Both size-prefixed parts, verified before anything is read from them.
ReadProgram read_program(const Sequence& sequence) {
  const auto parts = sequence.program_parts();
  flatbuffers::Verifier info_check(parts.program_info.data, parts.program_info.size);
  EXPECT_TRUE(info_check.VerifySizePrefixedBuffer<fb::ProgramInfo>(nullptr));
  flatbuffers::Verifier data_check(parts.program_data.data, parts.program_data.size);
  EXPECT_TRUE(data_check.VerifySizePrefixedBuffer<fb::ProgramData>(nullptr));
  if (::testing::Test::HasFailure()) return {};
  return {flatbuffers::GetSizePrefixedRoot<fb::ProgramInfo>(parts.program_info.data),
          flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(parts.program_data.data)};
}

const std::string kTooBig =
    "Model is too big. The maximum number of descriptors is more than allowed. ";

class BuilderTest : public ::testing::Test {
 protected:
  BuilderTest() {
    in = graph.input("in");
    a = graph.conv("a", {in});
    b = graph.conv("b", {a});
    c = graph.conv("c", {b});
    d = graph.conv("d", {c});
    all = {in, a, b, c, d};
  }

  const std::vector<testing::LayerCall>& calls() const { return layers_recorder.calls; }
  const testing::LayerCall* call_for(const std::string& name, bool registers_only = false) {
    for (const auto& call : layers_recorder.calls) {
      if (call.layer == name && call.registers_only == registers_only) return &call;
    }
    return nullptr;
  }

  GraphBuilder graph;
  std::shared_ptr<Layer> in, a, b, c, d;
  std::vector<std::shared_ptr<Layer>> all;
  std::shared_ptr<Device> device = make_virtual_device(
      HwVersion{0xBC, 0xA2, 1, 2},
      Mesh(IpVersion::v2, hw::Ident{9, 9, 0, 0}, hw::Ident{}, std::nullopt, {}, {}));
  HardwareConstraints constraints{};
  FakeIoRecorder io;
  FakeLayerRecorder layers_recorder;
  HardwareSequenceBuilder builder{device, constraints, io, layers_recorder};
};

TEST_F(BuilderTest, TwoPassSequenceProgramVerifies) {
  builder.add_layers({in, a, b}, all, {{}, {np(1, 1)}, {np(2, 2)}});
  builder.add_layers({c}, all, {{np(2, 2)}});  // c runs on the NP b wrote to
  auto [sequence, status] = builder.build_sequence();
  ASSERT_FALSE(status.failed) << status.to_string();
  ASSERT_NE(sequence, nullptr);
  EXPECT_EQ(sequence->name(), "HW/in-c");
  ASSERT_EQ(sequence->passes().size(), 2u);
  EXPECT_EQ(builder.last_pass(), nullptr) << "the builder is cleared after a build";

  const ReadProgram program = read_program(*sequence);
  ASSERT_NE(program.data, nullptr);
  ASSERT_EQ(program.data->passes()->size(), 2u);
  // Pass 1: input stage, in (no tracks), a, b and the unused NPs' record of c; pass 2: c.
  EXPECT_EQ(program.data->passes()->Get(0)->records()->size(), 5u);
  EXPECT_EQ(layers_recorder.empty_records, (std::vector<std::string>{"in"}));
  EXPECT_EQ(program.data->passes()->Get(1)->records()->size(), 1u);
  EXPECT_EQ(program.info->max_descriptors(), 5) << "largest pass count (4) + 1";
  EXPECT_EQ(program.info->device_version()->product_id(), 0xA2);
  EXPECT_NE(program.data->dummy_desc_hdr()->word0() | program.data->dummy_desc_hdr()->word1(), 0u)
      << "several passes need the dummy descriptor header";
  ASSERT_NE(program.info->epg_registers(), nullptr);
  ASSERT_EQ(io.epg_calls.size(), 1u);
  EXPECT_EQ(io.epg_calls[0].lo, 1);
  EXPECT_EQ(io.epg_calls[0].hi, 2);

  // Flags of each record.
  EXPECT_EQ(call_for("in"), nullptr) << "a layer without hardware has no program of its own";
  const auto* ca = call_for("a");
  const auto* cb = call_for("b");
  const auto* cc = call_for("c");
  const auto* unused = call_for("c", true);
  ASSERT_TRUE(ca && cb && cc && unused);
  EXPECT_EQ(ca->first, "a");
  EXPECT_EQ(ca->next, "c");
  EXPECT_FALSE(ca->ib_spikes);
  EXPECT_FALSE(ca->partial_reconfig);
  EXPECT_TRUE(cb->partial_reconfig) << "last hardware layer of a pass that another follows";
  EXPECT_TRUE(cc->ib_spikes) << "first hardware layer of a later pass";
  EXPECT_FALSE(cc->partial_reconfig);
  EXPECT_EQ(cc->next, "");
  EXPECT_EQ(unused->next, "c");
  EXPECT_EQ(unused->skip, (std::vector<hw::Ident>{{1, 1, 1, 0}, {2, 1, 2, 0}}));

  // Input buffers: single everywhere except on the NP that carries b's output into pass 2.
  EXPECT_TRUE(layer_mapping_of(*a)->nps()[0].np_part->single_buffer);
  EXPECT_FALSE(layer_mapping_of(*b)->nps()[0].np_part->single_buffer);
  EXPECT_FALSE(layer_mapping_of(*c)->nps()[0].np_part->single_buffer);
}

TEST_F(BuilderTest, SinglePassHoldsAtMost253Descriptors) {
  // Input stage 1 + a 1 + b 251 = 253; the final check asks for 254.
  layers_recorder.tracks["b"] = 251;
  builder.add_layers({in, a, b}, all, {{}, {np(1, 1)}, {np(1, 2)}});
  auto [fits, ok] = builder.build_sequence();
  ASSERT_NE(fits, nullptr) << ok.to_string();
  const ReadProgram program = read_program(*fits);
  ASSERT_NE(program.info, nullptr);
  EXPECT_EQ(program.info->max_descriptors(), 254);
  EXPECT_EQ(program.data->dummy_desc_hdr()->word0(), 0u) << "a single pass has no dummy header";
  fits.reset();

  layers_recorder.tracks["b"] = 252;
  builder.add_layers({in, a, b}, all, {{}, {np(1, 1)}, {np(1, 2)}});
  auto [none, failed] = builder.build_sequence();
  EXPECT_EQ(none, nullptr);
  EXPECT_TRUE(failed.failed);
  EXPECT_EQ(failed.layer, "b");
  EXPECT_EQ(failed.message, kTooBig + "255 are needed but 254 are available.");
  EXPECT_EQ(builder.last_pass(), nullptr) << "a failed build clears the builder";
  EXPECT_EQ(a->mapping(), nullptr) << "and with its passes the records they attached";
}

TEST_F(BuilderTest, SecondPassCountsTwiceEachDescriptor) {
  auto build = [&](size_t c_tracks) {
    layers_recorder.calls.clear();
    layers_recorder.tracks["c"] = c_tracks;
    layers_recorder.tracks["d"] = 0;
    builder.add_layers({in, a, b}, all, {{}, {np(1, 1)}, {np(1, 2)}});
    builder.add_layers({c, d}, all, {{np(1, 3)}, {np(1, 4)}});
    return builder.build_sequence();
  };
  // 2 x 126 passes the running check and 2 x 127 the final one.
  auto [fits, ok] = build(126);
  EXPECT_NE(fits, nullptr) << ok.to_string();
  fits.reset();
  // 2 x 127 = 254 passes while recording; the final check needs 2 x 128.
  auto [late, late_status] = build(127);
  EXPECT_EQ(late, nullptr);
  EXPECT_EQ(late_status.layer, "d");
  EXPECT_EQ(late_status.message, kTooBig + "256 are needed but 254 are available.");
  EXPECT_NE(call_for("d"), nullptr);
  // 2 x 128 fails at c itself: d is never recorded.
  auto [early, early_status] = build(128);
  EXPECT_EQ(early, nullptr);
  EXPECT_EQ(early_status.layer, "c");
  EXPECT_EQ(early_status.message, kTooBig + "256 are needed but 254 are available.");
  EXPECT_EQ(call_for("d"), nullptr);
}

TEST_F(BuilderTest, TrailingJoiningLayerOpensTheNextPass) {
  GraphBuilder g;
  auto i = g.input("i");
  auto x = g.conv("x", {i});
  auto y = g.conv("y", {x});
  auto join = g.join("join", {x, y});
  auto m = g.conv("m", {join});
  const std::vector<std::shared_ptr<Layer>> layers{i, x, y, join, m};
  builder.add_layers({i, x, y, join}, layers, {{}, {np(1, 1)}, {np(1, 2)}, {}});
  EXPECT_EQ(builder.held_back_layer(), join);
  ASSERT_NE(builder.last_pass(), nullptr);
  EXPECT_EQ(builder.last_pass()->layers, (std::vector<std::shared_ptr<Layer>>{i, x, y}));
  builder.add_layers({m}, layers, {{np(2, 1)}});
  EXPECT_EQ(builder.held_back_layer(), nullptr);
  EXPECT_EQ(builder.last_pass()->layers, (std::vector<std::shared_ptr<Layer>>{join, m}));
  auto [sequence, status] = builder.build_sequence();
  ASSERT_NE(sequence, nullptr) << status.to_string();
  EXPECT_NE(read_program(*sequence).data, nullptr);
  EXPECT_EQ(call_for("join"), nullptr) << "a joining layer has no program of its own";
}

TEST_F(BuilderTest, GroupOfOnlyAJoiningLayerMakesNoPass) {
  GraphBuilder g;
  auto i = g.input("i");
  auto x = g.conv("x", {i});
  auto y = g.conv("y", {x});
  auto join = g.join("join", {x, y});
  auto m = g.conv("m", {join});
  const std::vector<std::shared_ptr<Layer>> layers{i, x, y, join, m};
  builder.add_layers({i, x, y}, layers, {{}, {np(1, 1)}, {np(1, 2)}});
  builder.add_layers({join}, layers, {{}});
  EXPECT_EQ(builder.held_back_layer(), join);
  EXPECT_EQ(builder.last_pass()->layers.size(), 3u) << "no empty pass was made";
  builder.add_layers({m}, layers, {{np(2, 1)}});
  auto [sequence, status] = builder.build_sequence();
  ASSERT_NE(sequence, nullptr) << status.to_string();
  EXPECT_EQ(sequence->passes().size(), 2u);
}

TEST_F(BuilderTest, OnlyLayersCompiledForLearningGetALearningProgram) {
  GraphBuilder g;
  auto i = g.input("i");
  auto x = g.conv("x", {i});
  auto dense = g.add(LayerType::Dense1D, "dense", {{"units", 4}}, {x});
  const std::vector<std::shared_ptr<Layer>> layers{i, x, dense};
  builder.add_layers(layers, layers, {{}, {np(1, 1)}, {np(3, 1)}});
  auto [plain, plain_status] = builder.build_sequence();
  ASSERT_NE(plain, nullptr) << plain_status.to_string();
  EXPECT_TRUE(layers_recorder.learning_calls.empty());
  EXPECT_NE(call_for("dense"), nullptr);
  plain.reset();

  layers_recorder.calls.clear();
  dense->set_learning(LearningParams::create(1, {}));
  builder.add_layers(layers, layers, {{}, {np(1, 1)}, {np(3, 1)}});
  auto [learning, learning_status] = builder.build_sequence();
  ASSERT_NE(learning, nullptr) << learning_status.to_string();
  EXPECT_EQ(layers_recorder.learning_calls, std::vector<std::string>{"dense"});
  EXPECT_EQ(call_for("dense"), nullptr);
  const ReadProgram program = read_program(*learning);
  ASSERT_NE(program.data, nullptr);
  EXPECT_NE(program.data->learning_layer(), nullptr);
}

TEST_F(BuilderTest, OutputTypeThreeHasNoEpgValues) {
  io.output_type = 3;
  builder.add_layers({in, a}, all, {{}, {np(1, 1)}});
  auto [sequence, status] = builder.build_sequence();
  ASSERT_NE(sequence, nullptr) << status.to_string();
  EXPECT_TRUE(io.epg_calls.empty());
  const ReadProgram program = read_program(*sequence);
  ASSERT_NE(program.info, nullptr);
  EXPECT_EQ(program.info->epg_registers(), nullptr);
}

hw::Component fnp(uint8_t col, uint8_t id) {
  hw::Component c = np(col, id);
  c.type = hw::Type::FNP3;
  return c;
}

TEST_F(BuilderTest, InputStageAndEpgAreAskedWithTheEndsOfTheSequence) {
  GraphBuilder g;
  auto i = g.input("i", 8, 8, 4);
  auto dense = g.add(LayerType::Dense1D, "dense", {{"units", 10}, {"activation", 0}}, {i});
  auto deq = g.add(LayerType::Dequantizer, "deq", {}, {dense});
  const std::vector<std::shared_ptr<Layer>> layers{i, dense, deq};
  io.input_type = 1;
  io.output_type = 0;
  builder.add_layers(layers, layers, {{}, {fnp(3, 1)}, {}});
  auto [sequence, status] = builder.build_sequence();
  ASSERT_NE(sequence, nullptr) << status.to_string();

  ASSERT_EQ(io.scc_calls.size(), 1u);
  const testing::SccCall& scc = io.scc_calls[0];
  EXPECT_FALSE(scc.first_on_hrc);
  EXPECT_FALSE(scc.input_type_0);
  EXPECT_FALSE(scc.last_on_hrc);
  EXPECT_TRUE(scc.output_type_0);
  EXPECT_TRUE(scc.narrow_output) << "a Dequantizer last: its 8-bit input decides";
  // A Dense1D first layer reads its (8, 8, 4) input flattened.
  EXPECT_EQ(scc.input, (Shape{1, 1, 256}));
  EXPECT_EQ(scc.output, deq->output_dimensions());

  ASSERT_EQ(io.epg_calls.size(), 1u);
  const testing::EpgCall& epg = io.epg_calls[0];
  EXPECT_EQ(epg.layer, "dense") << "the first hardware layer";
  EXPECT_EQ(epg.lo, 3);
  EXPECT_EQ(epg.hi, 3);
  EXPECT_EQ(epg.n, 1);
  EXPECT_FALSE(epg.last_on_hrc);
  EXPECT_FALSE(epg.multi_pass);
  EXPECT_FALSE(epg.input_type_0);

  const ReadProgram program = read_program(*sequence);
  ASSERT_NE(program.info, nullptr);
  EXPECT_EQ(program.info->input_dims()->size(), 3u);
  EXPECT_EQ(program.info->input_dims()->Get(2), 256u);
  EXPECT_EQ(program.info->input_type(), fb::IoType::Type1);
  EXPECT_EQ(program.info->output_bits(), 8) << "a Dequantizer's input bits";
  EXPECT_EQ(program.info->hrc_param_1(), 0u);
  EXPECT_EQ(program.info->hrc_param_0(), 0u);
  EXPECT_FALSE(program.info->mivo_post_processing());
}

TEST_F(BuilderTest, HrcFirstLayerGivesItsStridesAndTakesItsEpgRangeFromItsSuccessor) {
  GraphBuilder g;
  auto i = g.input("i", 16, 16, 3);
  auto hrc = g.add(LayerType::InputConvolutional, "hrc",
                   {{"filters", 4}, {"stride_x", 2}, {"stride_y", 3}}, {i});
  auto conv = g.conv("conv", {hrc});
  const std::vector<std::shared_ptr<Layer>> layers{i, hrc, conv};
  hw::Component hrc_component;
  hrc_component.type = hw::Type::HRC;
  hrc_component.ident = {0, 0, 0, 0};
  builder.add_layers(layers, layers, {{}, {hrc_component}, {np(4, 1), np(6, 2)}});
  auto [sequence, status] = builder.build_sequence();
  ASSERT_NE(sequence, nullptr) << status.to_string();
  ASSERT_EQ(io.scc_calls.size(), 1u);
  EXPECT_TRUE(io.scc_calls[0].first_on_hrc);
  EXPECT_FALSE(io.scc_calls[0].last_on_hrc);
  ASSERT_EQ(io.epg_calls.size(), 1u);
  EXPECT_EQ(io.epg_calls[0].lo, 4) << "the columns of the layer after the HRC";
  EXPECT_EQ(io.epg_calls[0].hi, 6);
  const ReadProgram program = read_program(*sequence);
  ASSERT_NE(program.info, nullptr);
  // Field 8 is the second word of the convolution parameters (stride y), field 9 the first.
  EXPECT_EQ(program.info->hrc_param_1(), 3u);
  EXPECT_EQ(program.info->hrc_param_0(), 2u);
  sequence.reset();

  // The HRC alone: it is also the last hardware layer, so its EPG range is skipped.
  io.scc_calls.clear();
  io.epg_calls.clear();
  builder.add_layers({i, hrc}, layers, {{}, {hrc_component}});
  auto [alone, alone_status] = builder.build_sequence();
  ASSERT_NE(alone, nullptr) << alone_status.to_string();
  EXPECT_TRUE(io.scc_calls.at(0).last_on_hrc);
  EXPECT_EQ(io.epg_calls.at(0).lo, 0);
  EXPECT_EQ(io.epg_calls.at(0).hi, 0);
  EXPECT_TRUE(io.epg_calls.at(0).last_on_hrc);
}

TEST_F(BuilderTest, SinglePassLeavesInputBuffersAlone) {
  hw::Component dual = np(1, 1);
  hw::Component single = np(1, 2);
  single.np_part->single_buffer = true;
  builder.add_layers({in, a, b}, all, {{}, {dual}, {single}});
  auto [sequence, status] = builder.build_sequence();
  ASSERT_NE(sequence, nullptr) << status.to_string();
  EXPECT_FALSE(layer_mapping_of(*a)->nps()[0].np_part->single_buffer);
  EXPECT_TRUE(layer_mapping_of(*b)->nps()[0].np_part->single_buffer);
}

TEST_F(BuilderTest, TrackCountsDoNotWrapAt256) {
  // 1 + 1 + 256 descriptors: counted in 8 bits this would read 2 and pass.
  layers_recorder.tracks["b"] = 256;
  builder.add_layers({in, a, b}, all, {{}, {np(1, 1)}, {np(1, 2)}});
  auto [none, status] = builder.build_sequence();
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(status.layer, "b");
  EXPECT_EQ(status.message, kTooBig + "258 are needed but 254 are available.");
}

TEST_F(BuilderTest, SkipDmaChannelsAddDescriptorsOnlyBetweenPasses) {
  auto add_channels = [&] {
    auto mapping = layer_mapping_of(*a);
    mapping->skipdma_store_channel = std::make_unique<SkipDmaStoreChannelInfo>();
    mapping->skipdma_store_dual_output_channel = std::make_unique<SkipDmaStoreChannelInfo>();
    mapping->skipdma_load_channel = std::make_unique<SkipDmaLoadChannelInfo>();
  };
  builder.add_layers({in, a, b}, all, {{}, {np(1, 1)}, {np(1, 2)}});
  add_channels();
  auto [single, single_status] = builder.build_sequence();
  ASSERT_NE(single, nullptr) << single_status.to_string();
  const ReadProgram single_program = read_program(*single);
  ASSERT_NE(single_program.info, nullptr);
  EXPECT_EQ(single_program.info->max_descriptors(), 4) << "input stage, a, b, + 1";
  single.reset();

  builder.add_layers({in, a, b}, all, {{}, {np(1, 1)}, {np(1, 2)}});
  builder.add_layers({c}, all, {{np(1, 3)}});
  add_channels();
  auto [multi, multi_status] = builder.build_sequence();
  ASSERT_NE(multi, nullptr) << multi_status.to_string();
  // Pass 1: input stage 1, a 1 + 4 + 4 + 1, b 1, unused NPs 1 = 13.
  const ReadProgram multi_program = read_program(*multi);
  ASSERT_NE(multi_program.info, nullptr);
  EXPECT_EQ(multi_program.info->max_descriptors(), 14);
}

TEST_F(BuilderTest, RecurrentLayerEndsTheRecordsOfItsPass) {
  GraphBuilder g;
  auto i = g.input("i", 8, 8, 4);
  auto rec = g.add(LayerType::StatefulRecurrent, "rec", {{"units", 4}}, {i});
  auto after = g.add(LayerType::StatefulRecurrent, "after", {{"units", 4}}, {rec});
  const std::vector<std::shared_ptr<Layer>> layers{i, rec, after};
  // Neither counted nor checked: 300 tracks do not fail the build.
  layers_recorder.tracks["rec"] = 300;
  hw::Component tnp_r = np(1, 1);
  tnp_r.type = hw::Type::TNP_R;
  hw::Component tnp_r2 = np(1, 2);
  tnp_r2.type = hw::Type::TNP_R;
  builder.add_layers(layers, layers, {{}, {tnp_r}, {tnp_r2}});
  auto [sequence, status] = builder.build_sequence();
  ASSERT_NE(sequence, nullptr) << status.to_string();
  EXPECT_NE(call_for("rec"), nullptr);
  EXPECT_EQ(call_for("after"), nullptr) << "the series is one program";
  const ReadProgram program = read_program(*sequence);
  ASSERT_NE(program.info, nullptr);
  // The input stage, the input layer's empty record, then the series.
  EXPECT_EQ(program.data->passes()->Get(0)->records()->size(), 3u);
  EXPECT_EQ(program.info->max_descriptors(), 2) << "only the input stage is counted";
}

TEST_F(BuilderTest, OutputFormatFlagFollowsTheNextLayerOfTheSamePass) {
  GraphBuilder g;
  auto i = g.input("i", 8, 8, 4);
  auto lut = g.add(LayerType::Conv2D, "lut", {{"filters", 4}, {"activation", 2}}, {i});
  auto lut_to_conv = g.add(LayerType::Conv2D, "lut_to_conv",
                           {{"filters", 4}, {"activation", 2}}, {lut});
  auto relu = g.add(LayerType::Conv2D, "relu", {{"filters", 4}, {"activation", 1}},
                    {lut_to_conv});
  auto dense = g.add(LayerType::Dense1D, "dense", {{"units", 4}}, {relu});
  const std::vector<std::shared_ptr<Layer>> layers{i, lut, lut_to_conv, relu, dense};
  builder.add_layers(layers, layers, {{}, {np(1, 1)}, {np(1, 2)}, {np(1, 3)}, {fnp(2, 1)}});
  auto [sequence, status] = builder.build_sequence();
  ASSERT_NE(sequence, nullptr) << status.to_string();
  ASSERT_TRUE(call_for("lut") && call_for("lut_to_conv") && call_for("relu"));
  EXPECT_FALSE(call_for("lut")->output_format_flag) << "a CNP follows";
  EXPECT_FALSE(call_for("relu")->output_format_flag) << "not a look-up-table activation";
  sequence.reset();

  // A 4-bit look-up-table layer before an FNP of the same pass sets the flag; the same FNP
  // in the next pass does not.
  GraphBuilder g2;
  auto i2 = g2.input("i2", 8, 8, 4);
  auto four = g2.add(LayerType::Conv2D, "four",
                     {{"filters", 4}, {"activation", 2}, {"output_bits", 4}}, {i2});
  auto fc = g2.add(LayerType::Dense1D, "fc", {{"units", 4}}, {four});
  auto four_b = g2.add(LayerType::Conv2D, "four_b",
                       {{"filters", 4}, {"activation", 2}, {"output_bits", 4}}, {fc});
  const std::vector<std::shared_ptr<Layer>> layers2{i2, four, fc, four_b};
  layers_recorder.calls.clear();
  builder.add_layers(layers2, layers2, {{}, {np(1, 1)}, {fnp(2, 1)}, {np(1, 2)}});
  auto [flagged, flagged_status] = builder.build_sequence();
  ASSERT_NE(flagged, nullptr) << flagged_status.to_string();
  ASSERT_NE(call_for("four"), nullptr);
  EXPECT_TRUE(call_for("four")->output_format_flag);
  flagged.reset();

  layers_recorder.calls.clear();
  builder.add_layers({i2, four}, layers2, {{}, {np(1, 1)}});
  builder.add_layers({fc}, layers2, {{fnp(2, 1)}});
  auto [split, split_status] = builder.build_sequence();
  ASSERT_NE(split, nullptr) << split_status.to_string();
  ASSERT_NE(call_for("four"), nullptr);
  EXPECT_FALSE(call_for("four")->output_format_flag) << "the FNP runs in the next pass";
}

}  // namespace
}  // namespace qalto
