#include "mapping/mesh_mapper.hpp"

#include <gtest/gtest.h>

#include "support/fake_checker.hpp"
#include "support/graph_builder.hpp"

namespace qalto {
namespace {

using hw::Ident;
using hw::Type;
using testing::FakeChecker;

np::Info np_info(Ident ident, std::set<Type> types) { return np::Info{ident, std::move(types), false}; }

// A mapper over `mesh`, with the device, constraints and checker it refers to.
struct Fixture {
  explicit Fixture(const Mesh& mesh)
      : device(testing::v2_device(mesh)), constraints(device), mapper(checker, constraints) {
    mapper.reset();
  }
  std::shared_ptr<Device> device;
  MapConstraints constraints;
  FakeChecker checker;
  MeshMapper mapper;
};

std::vector<Ident> idents(const std::vector<NpSlot>& slots) {
  std::vector<Ident> out;
  for (const auto& s : slots) out.push_back(s.ident);
  return out;
}

TEST(MeshMapperReset, NpsWithoutFnpCapabilityComeFirst) {
  Fixture f(testing::v2_mesh({
      np_info({1, 1, 0}, {Type::CNP1, Type::FNP3}),
      np_info({1, 1, 1}, {Type::CNP1}),
      np_info({2, 1, 0}, {Type::CNP1}),
      np_info({0, 5, 0}, {Type::CNP1, Type::FNP2}),
      np_info({3, 1, 0}, {Type::CNP1, Type::FNP2, Type::FNP3}),
  }));
  const auto& slots = f.mapper.slots();
  // flags: (2,1,0) 0, (1,1,1) 1 (FNP3 node), (1,1,0) 3, (0,5,0) 4, (3,1,0) 7
  EXPECT_EQ(idents(slots.at(Type::CNP1)),
            (std::vector<Ident>{{2, 1, 0}, {1, 1, 1}, {1, 1, 0}, {0, 5, 0}, {3, 1, 0}}));
  EXPECT_EQ(idents(slots.at(Type::FNP3)), (std::vector<Ident>{{1, 1, 0}, {3, 1, 0}}));
  EXPECT_EQ(idents(slots.at(Type::FNP2)), (std::vector<Ident>{{0, 5, 0}, {3, 1, 0}}));
  EXPECT_EQ(slots.count(Type::TNP_B), 0u);
  EXPECT_EQ(f.mapper.max_nps(Type::TNP_B), 0u);
  EXPECT_TRUE(f.mapper.available_nps(Type::TNP_B).empty());
}

TEST(MeshMapperReset, SkipDmaChannelsFromTheFirstEngineInMeshOrder) {
  Fixture f(testing::v2_mesh({np_info({1, 1, 0}, {Type::CNP1})},
                             {np_info({4, 0, 1, 2}, {Type::SKIP_DMA_STORE}),
                              np_info({0, 0, 1, 7}, {Type::SKIP_DMA_STORE})}));
  const std::vector<Ident> expected{{4, 0, 1, 0}, {4, 0, 1, 1}, {0, 0, 1, 0}, {0, 0, 1, 1}};
  EXPECT_EQ(idents(f.mapper.slots().at(Type::SKIP_DMA_STORE)), expected);
  EXPECT_EQ(idents(f.mapper.slots().at(Type::SKIP_DMA_LOAD)), expected);

  Fixture none(testing::v2_mesh({}, {np_info({4, 0, 1, 0}, {Type::SKIP_DMA_STORE})}));
  EXPECT_EQ(none.mapper.max_nps(Type::SKIP_DMA_STORE), 0u);
}

TEST(MeshMapperMarks, ReserveAllocateDeallocate) {
  Fixture f(testing::v2_mesh({np_info({1, 0, 0}, {Type::CNP1, Type::FNP3}),
                              np_info({2, 0, 0}, {Type::CNP1}),
                              np_info({3, 0, 0}, {Type::CNP1})},
                             {np_info({9, 0, 0, 1}, {Type::SKIP_DMA_STORE})}));
  MeshMapper& m = f.mapper;
  m.reserve_nps({{2, 0, 0}});
  EXPECT_EQ(m.max_nps(Type::CNP1), 2u);
  EXPECT_EQ(m.available_nps(Type::CNP1), (std::vector<Ident>{{3, 0, 0}, {1, 0, 0}}));
  m.reserve_nps({{3, 0, 0}});  // replaces the earlier reservation
  EXPECT_EQ(m.available_nps(Type::CNP1), (std::vector<Ident>{{2, 0, 0}, {1, 0, 0}}));
  m.reserve_nps({{3, 0, 0, 5}});  // all four bytes must match
  EXPECT_EQ(m.max_nps(Type::CNP1), 3u);

  // None marks the NP in every list.
  m.allocate_np({1, 0, 0}, Type::None);
  EXPECT_TRUE(m.available_nps(Type::FNP3).empty());
  EXPECT_EQ(m.max_nps(Type::FNP3), 1u);  // allocated slots still count
  EXPECT_EQ(m.available_nps(Type::CNP1), (std::vector<Ident>{{2, 0, 0}, {3, 0, 0}}));
  // A skip-DMA kind marks only its own list.
  m.allocate_np({9, 0, 0, 0}, Type::SKIP_DMA_STORE);
  EXPECT_TRUE(m.available_nps(Type::SKIP_DMA_STORE).empty());
  EXPECT_EQ(m.available_nps(Type::SKIP_DMA_LOAD), (std::vector<Ident>{{9, 0, 0, 0}}));
  m.allocate_np({7, 7, 7}, Type::None);  // unknown: nothing changes
  EXPECT_EQ(m.available_nps(Type::CNP1).size(), 2u);

  m.reserve_nps({{2, 0, 0}});
  m.deallocate_nps();
  EXPECT_EQ(m.available_nps(Type::FNP3), (std::vector<Ident>{{1, 0, 0}}));
  EXPECT_EQ(m.available_nps(Type::CNP1), (std::vector<Ident>{{3, 0, 0}, {1, 0, 0}}));
  m.reserve_nps({});
  EXPECT_EQ(m.max_nps(Type::CNP1), 3u);

  m.allocate_np({2, 0, 0}, Type::CNP1);
  m.reserve_nps({{3, 0, 0}});
  m.reset();  // drops every mark
  EXPECT_EQ(m.available_nps(Type::CNP1).size(), 3u);
}

TEST(MeshMapperFnp, CompatibleTypeFollowsFreeNpsAndFit) {
  Fixture f(testing::v2_mesh({np_info({1, 0, 0}, {Type::FNP3}), np_info({2, 0, 0}, {Type::FNP2})}));
  testing::GraphBuilder g;
  auto in = g.input("in");
  auto dense = g.add(LayerType::Dense1D, "dense", {{"units", 4}}, {in});
  MeshMapper& m = f.mapper;
  EXPECT_EQ(m.get_compatible_fnp_type(*dense), Type::FNP3);
  f.checker.fnp3_fits = false;
  EXPECT_EQ(m.get_compatible_fnp_type(*dense), Type::FNP2);
  f.checker.fnp3_fits = true;
  m.allocate_np({1, 0, 0}, Type::FNP3);
  EXPECT_EQ(m.get_compatible_fnp_type(*dense), Type::FNP2);
  m.allocate_np({2, 0, 0}, Type::FNP2);
  EXPECT_EQ(m.get_compatible_fnp_type(*dense), Type::FNP3);  // a new pass could take it
  f.checker.fnp3_fits = false;
  EXPECT_EQ(m.get_compatible_fnp_type(*dense), Type::FNP2);
  m.reserve_nps({{1, 0, 0}});
  f.checker.fnp3_fits = true;
  EXPECT_EQ(m.get_compatible_fnp_type(*dense), Type::FNP2);  // the only FNP3 is reserved
}

}  // namespace
}  // namespace qalto
