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
  // Pass 1: input stage, a, b and the unused NPs' record of c; pass 2: c.
  EXPECT_EQ(program.data->passes()->Get(0)->records()->size(), 4u);
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

}  // namespace
}  // namespace qalto
