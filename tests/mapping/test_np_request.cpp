#include <gtest/gtest.h>

#include <functional>

#include "mapping/mesh_mapper.hpp"
#include "mapping/np_request.hpp"
#include "mapping_net.hpp"
#include "support/fake_checker.hpp"

namespace qalto {
namespace {

using hw::Ident;
using hw::Type;
using testing::Net;

using Selector = std::function<std::vector<Ident>(const std::vector<Ident>&, uint64_t, Type)>;

// Constraints that log the layer names they are told and may answer select_nps as a Python
// override would.
class ScriptedConstraints : public MapConstraints {
 public:
  using MapConstraints::MapConstraints;
  mutable std::vector<std::string> names;
  Selector select;

  void next_layer_handler(const std::string& name) const override { names.push_back(name); }
  std::vector<Ident> select_nps(const std::vector<Ident>& candidates, uint64_t count,
                                Type type) const override {
    return select ? select(candidates, count, type) : MapConstraints::select_nps(candidates, count, type);
  }
};

np::Info np_at(uint8_t col, std::set<Type> types) {
  return np::Info{Ident{col, 1, 0}, std::move(types), false};
}

// A mesh of CNP1 NPs in columns 1..cnps, extra NPs, and one skip-DMA engine with
// `skip_channels` channels (none when 0).
Mesh mesh_of(uint8_t cnps, std::vector<np::Info> extra = {}, uint8_t skip_channels = 0) {
  std::vector<np::Info> nps;
  for (uint8_t col = 1; col <= cnps; ++col) nps.push_back(np_at(col, {Type::CNP1}));
  nps.insert(nps.end(), extra.begin(), extra.end());
  std::vector<np::Info> skip;
  if (skip_channels) skip.push_back(np::Info{Ident{0, 9, 0, skip_channels}, {Type::SKIP_DMA_STORE}, false});
  return testing::v2_mesh(std::move(nps), std::move(skip));
}

template <typename Checker = testing::FakeChecker>
struct Fixture {
  explicit Fixture(const Mesh& mesh)
      : device(testing::v2_device(mesh)), constraints(device), mapper(checker, constraints) {
    mapper.reset();
  }
  std::shared_ptr<Device> device;
  ScriptedConstraints constraints;
  Checker checker;
  MeshMapper mapper;
  bool new_pass = true;

  std::tuple<std::vector<hw::Component>, MappingStatus> request(
      const std::shared_ptr<Layer>& layer, bool allow_new_pass,
      const std::vector<Ident>& reserved = {}) {
    return mapper.np_request(layer, reserved, false, &new_pass, allow_new_pass);
  }
};

std::vector<Ident> idents_of(const std::vector<hw::Component>& components, Type type) {
  std::vector<Ident> out;
  for (const auto& c : components)
    if (c.type == type) out.push_back(c.ident);
  return out;
}

std::vector<Ident> cols(std::initializer_list<uint8_t> columns) {
  std::vector<Ident> out;
  for (uint8_t col : columns) out.push_back(Ident{col, 1, 0});
  return out;
}

// A Conv2D of 12 filters that takes three CNPs of 4 filters each.
std::shared_ptr<Layer> three_np_conv(Net& net) {
  return net.conv("conv", net.input("in"), 12);
}

TEST(NpRequestFullyConnected, Dense1DTakesTheFirstFreeFnpWithAllItsUnits) {
  Fixture f(mesh_of(1, {np_at(2, {Type::FNP3, Type::FNP2}), np_at(5, {Type::FNP3})}));
  Net net;
  auto in = net.add(LayerType::InputData, "in",
                    {{"input_width", 1}, {"input_height", 1}, {"input_channels", 16}});
  auto dense = net.add(LayerType::Dense1D, "dense", {{"units", 10}}, {in});
  auto [components, status] = f.request(dense, true);
  ASSERT_FALSE(status.failed) << status.to_string();
  EXPECT_FALSE(f.new_pass);
  EXPECT_EQ(f.constraints.names, std::vector<std::string>{"dense"});
  ASSERT_EQ(components.size(), 1u);
  const auto& fnp = components[0];
  EXPECT_EQ(fnp.type, Type::FNP3);
  EXPECT_EQ(fnp.ident, (Ident{5, 1, 0}));  // the FNP2-capable NP goes last
  ASSERT_TRUE(fnp.np_part.has_value());
  EXPECT_EQ(fnp.np_part->start_neuron, 0u);
  EXPECT_EQ(fnp.np_part->filters, 10u);
  EXPECT_EQ(fnp.np_part->spatial_partition, (NpSpace{0, 0, Shape{1, 1, 16}}));
  EXPECT_EQ(fnp.np_part->input_region, fnp.np_part->spatial_partition);
  EXPECT_TRUE(fnp.np_part->single_buffer);
  EXPECT_EQ(f.mapper.available_nps(Type::FNP3), cols({2}));

  // A layer too large for FNP3 goes to the free FNP2.
  f.checker.fnp3_fits = false;
  auto [fnp2, status2] = f.request(dense, true);
  ASSERT_FALSE(status2.failed) << status2.to_string();
  ASSERT_EQ(fnp2.size(), 1u);
  EXPECT_EQ(fnp2[0].type, Type::FNP2);
  EXPECT_EQ(fnp2[0].ident, (Ident{2, 1, 0}));
}

TEST(NpRequestCapacity, FullMeshStartsANewPassOrFailsWithTheCounts) {
  for (const bool allow : {true, false}) {
    SCOPED_TRACE(allow ? "new pass allowed" : "new pass refused");
    Fixture f(mesh_of(5));
    f.constraints.set_cnp_max_filters(4);
    Net net;
    auto conv = three_np_conv(net);
    for (uint8_t col : {1, 2, 3}) f.mapper.allocate_np(Ident{col, 1, 0}, Type::None);

    auto [components, status] = f.request(conv, allow);
    ASSERT_EQ(components.size(), 3u);
    if (allow) {
      ASSERT_FALSE(status.failed) << status.to_string();
      EXPECT_TRUE(f.new_pass);
      EXPECT_EQ(idents_of(components, Type::CNP1), cols({1, 2, 3}));
      EXPECT_EQ(f.mapper.available_nps(Type::CNP1), cols({4, 5}));
    } else {
      EXPECT_FALSE(f.new_pass);
      EXPECT_EQ(status.to_string(),
                "Cannot map layer 'conv'. Not enough hardware components of type CNP1 "
                "available. 3 are needed but 2 are available.");
      EXPECT_EQ(f.mapper.available_nps(Type::CNP1), cols({4, 5}));
    }
  }
}

TEST(NpRequestCapacity, LayersWithoutNpKindsAndFailedSplits) {
  Fixture f(mesh_of(2));
  Net net;
  auto in = net.input("in");
  auto conv = net.conv("conv", in);
  auto add = net.join("add", {conv, in});
  bool new_pass = false;
  try {
    f.mapper.np_request(add, {}, false, &new_pass, true);
    ADD_FAILURE() << "an Add has no NP kind";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Mapping a layer with HW backend should use HW components.");
  }

  f.checker.dual_words = 0;
  auto [components, status] = f.request(conv, true);
  EXPECT_EQ(status.to_string(), "Cannot map layer 'conv'. Cannot split to fit inputs in ram.");
  EXPECT_EQ(f.mapper.available_nps(Type::CNP1).size(), 2u);
}

TEST(NpRequestCapacity, TransposedConvolutionGetsHalfTheMaximumWidth) {
  Fixture f(mesh_of(4));
  Net net;
  auto in = net.add(LayerType::InputData, "in",
                    {{"input_width", 48}, {"input_height", 8}, {"input_channels", 4}});
  auto up = net.add(LayerType::Conv2DTranspose, "up", {{"filters", 4}}, {in});
  ASSERT_EQ(f.constraints.cnp_max_width(), 64u);
  auto [components, status] = f.request(up, true);
  ASSERT_FALSE(status.failed) << status.to_string();
  ASSERT_EQ(components.size(), 2u);  // 48 columns in pieces of at most 32
  for (const auto& c : components) EXPECT_EQ(c.np_part->spatial_partition.shape[0], 24u);
}

// in -> c0 -> c1 -> add(c1, c0): c0 needs a CNP1 and a skip-DMA store.
TEST(NpRequestSelection, ShortAnswerLeavesEarlierKindsAllocated) {
  Fixture f(mesh_of(2, {}, 2));
  Net net;
  auto c0 = net.conv("c0", net.input("in"));
  net.join("add", {net.conv("c1", c0), c0});
  f.constraints.select = [](const std::vector<Ident>& free, uint64_t count, Type type) {
    if (type == Type::SKIP_DMA_STORE) return std::vector<Ident>{};
    return std::vector<Ident>(free.begin(), free.begin() + static_cast<ptrdiff_t>(count));
  };
  auto [components, status] = f.request(c0, true);
  EXPECT_EQ(status.to_string(),
            "Cannot map layer 'c0'. Not enough hardware components of type SKIP_DMA_STORE "
            "available. 1 is needed but 0 are available.");
  ASSERT_EQ(components.size(), 2u);
  EXPECT_EQ(f.mapper.available_nps(Type::CNP1), cols({2}));
  EXPECT_EQ(f.mapper.available_nps(Type::SKIP_DMA_STORE).size(), 2u);
}

TEST(NpRequestSelection, AnswersOutsideTheCandidatesOrRepeatedAreRefused) {
  const std::vector<std::pair<std::string, Selector>> answers{
      {"reserved NP", [](const std::vector<Ident>& free, uint64_t, Type) {
         return std::vector<Ident>{free[0], free[1], Ident{5, 1, 0}};
       }},
      {"NP of the mesh allocated before", [](const std::vector<Ident>& free, uint64_t, Type) {
         return std::vector<Ident>{free[0], free[1], Ident{1, 1, 0}};
       }},
      {"unknown identifier", [](const std::vector<Ident>& free, uint64_t, Type) {
         return std::vector<Ident>{free[0], free[1], Ident{0, 1, 0, 1}};
       }},
      {"duplicate", [](const std::vector<Ident>& free, uint64_t, Type) {
         return std::vector<Ident>{free[0], free[1], free[0]};
       }},
  };
  for (const auto& [what, selector] : answers) {
    SCOPED_TRACE(what);
    Fixture f(mesh_of(6));
    f.constraints.set_cnp_max_filters(4);
    f.mapper.allocate_np(Ident{1, 1, 0}, Type::None);
    Net net;
    auto conv = three_np_conv(net);
    f.constraints.select = selector;
    auto [components, status] = f.request(conv, false, {Ident{5, 1, 0}});
    EXPECT_EQ(status.to_string(),
              "Cannot map layer 'conv'. The selected CNP1 components must be distinct free "
              "components.");
    EXPECT_EQ(f.mapper.available_nps(Type::CNP1), cols({2, 3, 4, 6}));
  }
}

// in -> c -> bt (BufferTempConv): c must leave room for bt's TNP_B and skip DMA.
struct FollowUp {
  explicit FollowUp(uint8_t skip_channels)
      : f(mesh_of(4, {np_at(6, {Type::TNP_B})}, skip_channels)) {}
  Fixture<> f;
  Net net;
  std::shared_ptr<Layer> c = net.conv("c", net.input("in"));
  std::shared_ptr<Layer> bt = net.buffer_conv("bt", c, 2);
  const Ident tnp{6, 1, 0};
  const std::string refused =
      "Cannot map layer 'c'. The next BufferTempConv bt can't be mapped in the current pass.";
};

TEST(NpRequestTnpB, FailedFollowUpWithoutNewPassEndsAtOnce) {
  FollowUp t(2);
  t.f.mapper.allocate_np(t.tnp, Type::None);  // taken by an earlier layer of the pass
  auto [components, status] = t.f.request(t.c, false);
  EXPECT_EQ(status.to_string(), t.refused);
  EXPECT_FALSE(t.f.new_pass);
  EXPECT_EQ(idents_of(components, Type::CNP1), cols({1}));
  EXPECT_EQ(t.f.mapper.available_nps(Type::CNP1), cols({2, 3, 4}));  // no NP used up
}

TEST(NpRequestTnpB, FollowUpCountsTheTnpReservedForTheCurrentLayer) {
  FollowUp t(2);
  auto [components, status] = t.f.request(t.c, false, {t.tnp});
  EXPECT_FALSE(status.failed) << status.to_string();
}

TEST(NpRequestTnpB, FailedFollowUpStartsOneNewPass) {
  FollowUp t(2);
  t.f.mapper.allocate_np(Ident{1, 1, 0}, Type::None);
  t.f.mapper.allocate_np(t.tnp, Type::None);
  auto [components, status] = t.f.request(t.c, true);
  ASSERT_FALSE(status.failed) << status.to_string();
  EXPECT_TRUE(t.f.new_pass);
  EXPECT_EQ(idents_of(components, Type::CNP1), cols({1}));  // placed again in the fresh pass
  EXPECT_EQ(t.f.mapper.available_nps(Type::TNP_B), std::vector<Ident>{t.tnp});

  // Without any skip-DMA load engine the fresh pass does not help either.
  FollowUp none(0);
  auto [again, refused] = none.f.request(none.c, true);
  EXPECT_EQ(refused.to_string(), none.refused);
  EXPECT_TRUE(none.f.new_pass);
}

TEST(NpRequestTnpB, ATnpBSkipSourceIsAStatusBeforeAnyAllocation) {
  Fixture f(mesh_of(0, {np_at(6, {Type::TNP_B})}, 4));
  Net net;
  auto bt = net.buffer_conv("bt", net.input("in"), 2);
  net.join("add", {net.conv("c1", bt), bt});
  auto [components, status] = f.request(bt, true);
  EXPECT_EQ(status.to_string(),
            "Cannot map layer 'bt'. A TNP-B layer's skip-DMA store holds its FIFO: the layer "
            "cannot also be the source of a skip connection.");
  EXPECT_EQ(f.mapper.available_nps(Type::TNP_B), cols({6}));
}

TEST(NpRequestTnpB, DepthwiseTnpSplitByFilterInGroupsOfFour) {
  Fixture f(mesh_of(0, {np_at(6, {Type::TNP_B}), np_at(7, {Type::TNP_B})}, 2));
  f.constraints.set_cnp_max_filters(4);
  Net net;
  auto dbt = net.add(LayerType::DepthwiseBufferTempConv, "dbt", {{"fifo_size", 2}},
                     {net.input("in", 8)});
  EXPECT_EQ(needed_component_types(dbt),
            (std::vector<Type>{Type::TNP_B, Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}));
  auto [components, status] = f.request(dbt, true);
  ASSERT_FALSE(status.failed) << status.to_string();
  ASSERT_EQ(components.size(), 4u);  // two TNP_B, a store and a load
  EXPECT_EQ(idents_of(components, Type::TNP_B), cols({6, 7}));
  EXPECT_EQ(idents_of(components, Type::SKIP_DMA_STORE).size(), 1u);
  EXPECT_EQ(idents_of(components, Type::SKIP_DMA_LOAD).size(), 1u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(components[i].np_part->filters, 4u);
    EXPECT_EQ(components[i].np_part->spatial_partition.shape[2], 4u);
  }
}

TEST(NpRequestTnpB, FilterChunksOfATnpSplitMustBeWholeGroupsOfFour) {
  Net net;
  auto in = net.input("in", 12);
  auto dbt = net.add(LayerType::DepthwiseBufferTempConv, "dbt", {}, {in});
  auto tnp = [](uint32_t start, uint32_t filters, uint32_t channels) {
    hw::Component c = testing::np_component(6, Type::TNP_B);
    c.np_part->start_neuron = start;
    c.np_part->filters = filters;
    c.np_part->spatial_partition = NpSpace{0, 0, Shape{8, 8, channels}};
    return c;
  };
  const std::string refused =
      "Cannot map layer 'dbt'. The number of channels must be a multiple of 4 to be split by "
      "filter.";
  const auto store = testing::store(0);
  const auto load = testing::load(0);
  EXPECT_EQ(tnp_b_filter_split_status(*dbt, {tnp(0, 6, 6), tnp(6, 6, 6), store, load}).to_string(),
            refused);
  EXPECT_EQ(tnp_b_filter_split_status(*dbt, {tnp(0, 8, 8), tnp(8, 4, 4), store, load}).failed,
            false);
  // Three components at most, or a split that keeps all channels on each NP: no rule.
  EXPECT_FALSE(tnp_b_filter_split_status(*dbt, {tnp(0, 6, 6), tnp(6, 6, 6), store}).failed);
  EXPECT_FALSE(
      tnp_b_filter_split_status(*dbt, {tnp(0, 6, 12), tnp(0, 6, 12), store, load}).failed);
  // Only TNP-B layers are concerned.
  auto conv = net.conv("conv", in);
  EXPECT_FALSE(tnp_b_filter_split_status(*conv, {tnp(0, 6, 6), tnp(6, 6, 6), store, load}).failed);
}

}  // namespace
}  // namespace qalto
