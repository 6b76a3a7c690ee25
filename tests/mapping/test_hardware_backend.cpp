// The mapping driver over a described mesh with scripted checks and fake recorders: what
// leaves the caller's list, what becomes a sequence and what the returned group says.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "mapping/hardware_backend.hpp"
#include "program/hardware_sequence.hpp"
#include "support/fake_checker.hpp"
#include "support/fake_recorders.hpp"
#include "support/graph_builder.hpp"

namespace qalto {
namespace {

using testing::GraphBuilder;
using LayerList = std::vector<std::shared_ptr<Layer>>;

// Compatibility failures by layer name; run checks answered by a function of the run's
// length and last layer.
class ScriptedChecker : public testing::FakeChecker {
 public:
  std::map<std::string, MappingStatus> incompatible;
  std::function<MappingStatus(size_t, const Layer&)> run_check;

  MappingStatus check_layer_compatibility(const Layer& layer, const Layer*,
                                          const HwVersion&) const override {
    auto found = incompatible.find(layer.get_name());
    return found == incompatible.end() ? MappingStatus::success() : found->second;
  }
  MappingStatus check_layer_sequence(LayerIterator first, LayerIterator last,
                                     const HwVersion&) const override {
    if (!run_check) return MappingStatus::success();
    return run_check(static_cast<size_t>(last - first), **(last - 1));
  }
};

np::Info mesh_np(uint8_t id, std::set<hw::Type> types) {
  return np::Info{hw::Ident{1, 1, id, 0}, std::move(types), false};
}

Mesh two_cnp_mesh(IpVersion version) {
  return Mesh(version, hw::Ident{9, 9, 0, 0}, hw::Ident{}, std::nullopt,
              {mesh_np(1, {hw::Type::CNP1, hw::Type::CNP2}),
               mesh_np(2, {hw::Type::CNP1, hw::Type::CNP2})},
              {np::Info{hw::Ident{5, 0, 1, 2}, {}, false}});
}

class DriverTest : public ::testing::Test {
 protected:
  void use_device(uint8_t product_id, const Mesh& mesh) {
    device = make_virtual_device(HwVersion{0xBC, product_id, 0, 0}, mesh);
    generation = std::make_unique<IpVersionSpecificHardwareBackend>(*device);
    auto scripted = std::make_unique<ScriptedChecker>();
    checker = scripted.get();
    auto sizer_owned = std::make_unique<testing::FakeMemorySizer>();
    sizer = sizer_owned.get();
    auto recorder_owned = std::make_unique<testing::FakeLayerRecorder>();
    recorder = recorder_owned.get();
    // Fakes replace the generation's objects, destroyed in the order the back end keeps.
    generation->layer_recorder = std::move(recorder_owned);
    generation->io_recorder = std::make_unique<testing::FakeIoRecorder>();
    generation->memory_sizer = std::move(sizer_owned);
    generation->checker = std::move(scripted);
    constraints = std::make_shared<MapConstraints>(device);
  }

  MappingStatusGroup map(LayerList& layers) {
    return map_layers(*generation, *constraints, layers, sequences,
                      device->version().product_id > 0xA0);
  }

  const HardwareSequence& only_sequence() const {
    EXPECT_EQ(sequences.size(), 1u);
    return dynamic_cast<const HardwareSequence&>(*sequences.at(0));
  }

  void SetUp() override {
    use_device(0xA2, two_cnp_mesh(IpVersion::v2));
    in = graph.input("in");
    a = graph.conv("a", {in});
    b = graph.conv("b", {a});
    c = graph.conv("c", {b});
  }

  GraphBuilder graph;
  std::shared_ptr<Layer> in, a, b, c;
  std::shared_ptr<Device> device;
  std::unique_ptr<IpVersionSpecificHardwareBackend> generation;
  ScriptedChecker* checker = nullptr;
  testing::FakeMemorySizer* sizer = nullptr;
  testing::FakeLayerRecorder* recorder = nullptr;
  std::shared_ptr<MapConstraints> constraints;
  Sequences sequences;
};

TEST_F(DriverTest, EmptyListIsASuccessWithNothingToAdd) {
  LayerList layers;
  const auto result = map(layers);
  EXPECT_FALSE(result.failed);
  EXPECT_EQ(result.to_string(), "Success.");
  EXPECT_TRUE(sequences.empty());
}

TEST_F(DriverTest, BackEndRefusesMissingConstraints) {
  HardwareBackend backend;
  EXPECT_EQ(backend.type(), BackendType::Hardware);
  LayerList layers{in, a};
  try {
    backend.map(layers, sequences, nullptr);
    FAIL() << "mapped without constraints";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Map constraints must be specified.");
  }
  EXPECT_EQ(layers.size(), 2u);
}

TEST_F(DriverTest, MapsEveryLayerAcrossTwoPassesAndSizesEachComponent) {
  LayerList layers{in, a, b, c};
  const auto result = map(layers);
  ASSERT_FALSE(result.failed) << result.to_string();
  EXPECT_TRUE(layers.empty());
  const auto& sequence = only_sequence();
  EXPECT_EQ(sequence.layers(), (LayerList{in, a, b, c}));
  // Two NPs: b may not reuse a's NP, and c, refused b's, opens a second pass.
  ASSERT_EQ(sequence.passes().size(), 2u);
  EXPECT_EQ(sequence.passes()[1]->layers, (LayerList{c}));
  EXPECT_NE(layer_mapping_of(*a)->nps()[0].ident, layer_mapping_of(*b)->nps()[0].ident);

  for (const auto& layer : {a, b, c}) {
    const auto mapping = layer_mapping_of(*layer);
    ASSERT_NE(mapping, nullptr) << layer->get_name();
    ASSERT_FALSE(mapping->nps().empty());
    for (const auto& component : mapping->nps()) {
      const MemoryInfo& m = component.mem_info;
      EXPECT_EQ(m.input_size, component.ident.id + 1000u) << "sized with the first layer given";
      EXPECT_EQ(m.weight_size, static_cast<uint32_t>(component.type));
      EXPECT_EQ(m.external_size, 10u) << "sized as part of a multi-pass sequence";
      EXPECT_EQ(m.stsram_32b_size, 4u);
      EXPECT_EQ(m.fsram_64b_size, 5u);
      EXPECT_EQ(m.tsram_51b_size, 6u);
      EXPECT_EQ(m.evsram_32b_size, 7u);
    }
  }
}

TEST_F(DriverTest, ProductZeroNeitherReservesNorStartsANewPass) {
  use_device(0x00, two_cnp_mesh(IpVersion::v1));
  LayerList layers{in, a, b, c};
  const auto result = map(layers);
  ASSERT_TRUE(result.failed);
  ASSERT_EQ(result.statuses.size(), 1u);
  EXPECT_EQ(result.statuses[0].layer, "c");
  EXPECT_NE(result.statuses[0].message.find("Not enough hardware components"), std::string::npos)
      << result.statuses[0].message;
  EXPECT_EQ(layers, (LayerList{c}));
  EXPECT_EQ(only_sequence().passes().size(), 1u);
  EXPECT_EQ(only_sequence().layers(), (LayerList{in, a, b}));
}

TEST_F(DriverTest, CompatibilityFailureMidListMapsThePrefixAndKeepsTheRest) {
  checker->incompatible.emplace("b", MappingStatus(*b, "Too wide."));
  LayerList layers{in, a, b, c};
  const auto result = map(layers);
  EXPECT_TRUE(result.failed);
  EXPECT_EQ(result.message, "Success.") << "statuses do not touch the group's own message";
  EXPECT_EQ(result.to_string(), "Cannot map layer 'b'. Too wide.");
  EXPECT_EQ(layers, (LayerList{b, c}));
  EXPECT_EQ(only_sequence().layers(), (LayerList{in, a}));
  EXPECT_NE(layer_mapping_of(*a), nullptr);
  EXPECT_EQ(b->mapping(), nullptr);
}

TEST_F(DriverTest, RunChecksReportOnlyAfterTheLastPassingPrefixAndListEachStatusOnce) {
  const MappingStatus bad_run(*b, "Bad run.");
  // Runs of up to three layers that end at b fail; longer runs pass: nothing is reported.
  checker->run_check = [&](size_t n, const Layer&) {
    return n == 3 ? bad_run : MappingStatus::success();
  };
  LayerList layers{in, a, b, c};
  EXPECT_FALSE(map(layers).failed);
  EXPECT_TRUE(layers.empty());
  sequences.clear();

  // Now every run from b on fails and c itself fails with the same status.
  checker->run_check = [&](size_t n, const Layer&) {
    return n >= 3 ? bad_run : MappingStatus::success();
  };
  checker->incompatible.emplace("c", bad_run);
  layers = {in, a, b, c};
  const auto result = map(layers);
  ASSERT_TRUE(result.failed);
  EXPECT_EQ(result.statuses.size(), 1u);
  EXPECT_EQ(result.to_string(), "Cannot map layer 'b'. Bad run.");
  EXPECT_EQ(layers, (LayerList{b, c}));
  EXPECT_EQ(only_sequence().layers(), (LayerList{in, a}));
}

TEST_F(DriverTest, MissingHrcEndsTheCallWithOnlyThatStatus) {
  auto hrc = graph.add(LayerType::InputConv2D, "hrc",
                       {{"filters", 4}, {"input_width", 8}, {"input_height", 8},
                        {"input_channels", 3}},
                       {});
  auto after = graph.conv("after", {hrc});
  checker->run_check = [](size_t, const Layer& last) { return MappingStatus(last, "Run."); };
  LayerList layers{hrc, after};
  const auto result = map(layers);
  ASSERT_TRUE(result.failed);
  EXPECT_EQ(result.to_string(),
            "Cannot map layer 'hrc'. Layer should be mapped on HRC but the device does not have "
            "this hardware component.");
  EXPECT_EQ(layers, (LayerList{hrc, after}));
  EXPECT_TRUE(sequences.empty());
}

TEST_F(DriverTest, TrailingJoiningLayerHeldBackStaysToBeMapped) {
  auto x = graph.conv("x", {in});
  auto y = graph.conv("y", {x});
  auto join = graph.join("join", {x, y});
  auto m = graph.conv("m", {join});
  checker->incompatible.emplace("m", MappingStatus(*m, "No."));
  LayerList layers{in, x, y, join, m};
  const auto result = map(layers);
  EXPECT_TRUE(result.failed);
  EXPECT_EQ(layers, (LayerList{join, m})) << "the joining layer is in no pass: it must stay";
  EXPECT_EQ(only_sequence().layers(), (LayerList{in, x, y}));
  EXPECT_EQ(join->mapping(), nullptr);
}

TEST_F(DriverTest, SizerFailureLeavesBothListsAndNoMappingBehind) {
  struct FailingSizer : testing::FakeMemorySizer {
    uint32_t get_input_memory_size(const LayerPtr&, const hw::Component&,
                                   const LayerPtr&) const override {
      throw std::runtime_error("sizer broke");
    }
  };
  generation->memory_sizer = std::make_unique<FailingSizer>();
  LayerList layers{in, a, b, c};
  EXPECT_THROW(map(layers), std::runtime_error);
  EXPECT_EQ(layers, (LayerList{in, a, b, c})) << "no layer may leave without its sequence";
  EXPECT_TRUE(sequences.empty());
  EXPECT_EQ(a->mapping(), nullptr);
}

class RecurrentDriverTest : public DriverTest {
 protected:
  void SetUp() override {
    use_device(0xB1, Mesh(IpVersion::mivo, hw::Ident{9, 9, 0, 0}, hw::Ident{}, std::nullopt,
                          {np::Info{hw::Ident{}, {hw::Type::TNP_R}, false}}, {}));
    in = graph.input("in", 1, 1, 8);
    r = graph.add(LayerType::StatefulRecurrent, "r", {{"units", 4}}, {in});
    r2 = graph.add(LayerType::StatefulRecurrent, "r2", {{"units", 4}}, {r});
    deq = graph.add(LayerType::Dequantizer, "deq", {}, {r2});
  }
  std::shared_ptr<Layer> r, r2, deq;
};

TEST_F(RecurrentDriverTest, SeriesTakesEveryLaterLayer) {
  LayerList layers{in, r, r2, deq};
  const auto result = map(layers);
  ASSERT_FALSE(result.failed) << result.to_string();
  EXPECT_TRUE(layers.empty());
  EXPECT_EQ(only_sequence().layers(), (LayerList{in, r, r2, deq}));
  ASSERT_EQ(recorder->calls.size(), 1u) << "one record for the whole series";
  EXPECT_EQ(recorder->calls[0].layer, "r");
  EXPECT_EQ(recorder->empty_records, (std::vector<std::string>{"in"}));
}

TEST_F(RecurrentDriverTest, OnlyTheMappedLayersLeaveTheList) {
  checker->run_check = [&](size_t n, const Layer& last) {
    return n == 4 ? MappingStatus(last, "Not after a series.") : MappingStatus::success();
  };
  LayerList layers{in, r, r2, deq};
  const auto result = map(layers);
  EXPECT_TRUE(result.failed);
  EXPECT_EQ(layers, (LayerList{deq})) << "a layer that failed its run check is not lost";
  EXPECT_EQ(only_sequence().layers(), (LayerList{in, r, r2}));
}

}  // namespace
}  // namespace qalto
