// Hardware passes: the records they attach, the link to the pass before, and that a layer
// carries a record exactly as long as the pass that attached it.

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <vector>

#include "program/hardware_pass.hpp"
#include "support/graph_builder.hpp"

namespace qalto {
namespace {

using testing::GraphBuilder;
using Components = std::vector<std::vector<hw::Component>>;

hw::Component np(uint8_t col, uint8_t id) {
  hw::Component c;
  c.type = hw::Type::CNP2;
  c.ident = {col, 1, id, 0};
  c.np_part = hw::NpPart{};
  return c;
}

class PassTest : public ::testing::Test {
 protected:
  PassTest() {
    in = graph.input("in");
    a = graph.conv("a", {in});
    b = graph.conv("b", {a});
    c = graph.conv("c", {b});
    all = {in, a, b, c};
  }

  GraphBuilder graph;
  std::shared_ptr<Layer> in, a, b, c;
  std::vector<std::shared_ptr<Layer>> all;
  const hw::Ident dma_event{9, 9, 0, 0};
};

TEST_F(PassTest, AttachesRecordsAndLinksFromTheFirstHardwareLayer) {
  auto first = std::make_shared<HardwarePass>(std::vector{in, a}, all,
                                              Components{{}, {np(1, 1)}}, dma_event, nullptr);
  EXPECT_EQ(first->size(), 2u) << "layers without hardware count too";
  ASSERT_NE(layer_mapping_of(*a), nullptr);
  ASSERT_NE(layer_mapping_of(*in), nullptr);
  EXPECT_EQ(layer_mapping_of(*a)->nps(), (std::vector<hw::Component>{np(1, 1)}));
  EXPECT_EQ(layer_mapping_of(*a)->next_layer_id, 255) << "a first pass is linked to nothing yet";

  auto second = std::make_shared<HardwarePass>(std::vector{b, c}, all,
                                               Components{{np(1, 2)}, {np(2, 1)}}, dma_event,
                                               first);
  const auto ma = layer_mapping_of(*a);
  const auto mb = layer_mapping_of(*b);
  ASSERT_NE(mb, nullptr);
  EXPECT_EQ(ma->next_layer_id, ma->layer_id + 1);
  EXPECT_EQ(mb->prev_pass_layer_id, ma->layer_id + 1);
  EXPECT_FALSE(ma->output_to_dma);
  ASSERT_FALSE(mb->inputs.empty());
  EXPECT_EQ(*mb->inputs.back(), ma->nps()) << "b reads what a wrote at the end of pass 1";
}

TEST_F(PassTest, DestructionEmptiesOnlyTheRecordsItAttached) {
  auto old_pass = std::make_shared<HardwarePass>(std::vector{in, a, b}, all,
                                                 Components{{}, {np(1, 1)}, {np(1, 2)}},
                                                 dma_event, nullptr);
  // The model is mapped again while the old sequence still lives: b gets a new record.
  auto new_pass = std::make_shared<HardwarePass>(std::vector{b, c}, all,
                                                 Components{{np(3, 1)}, {np(3, 2)}}, dma_event,
                                                 nullptr);
  const auto new_b = b->mapping();
  old_pass.reset();
  EXPECT_EQ(in->mapping(), nullptr);
  EXPECT_EQ(a->mapping(), nullptr);
  EXPECT_EQ(b->mapping(), new_b) << "the newer mapping of b must survive the old pass";
  EXPECT_NE(c->mapping(), nullptr);
  new_pass.reset();
  EXPECT_EQ(b->mapping(), nullptr);
  EXPECT_EQ(c->mapping(), nullptr);
}

TEST_F(PassTest, FailedConstructionLeavesTheLayersAsTheyWere) {
  // A previous pass without a hardware layer cannot be linked to: the new pass fails after
  // its records were built.
  auto empty_previous = std::make_shared<HardwarePass>(std::vector{in}, all, Components{{}},
                                                       dma_event, nullptr);
  auto kept = std::make_shared<LayerMapping>();
  b->set_mapping(kept);
  EXPECT_THROW(HardwarePass(std::vector{a, b}, all, Components{{np(1, 1)}, {np(1, 2)}},
                            dma_event, empty_previous),
               std::runtime_error);
  EXPECT_EQ(a->mapping(), nullptr);
  EXPECT_EQ(b->mapping(), kept);

  // One component list short: refused before anything is attached.
  EXPECT_THROW(HardwarePass(std::vector{a, c}, all, Components{{np(1, 1)}}, dma_event, nullptr),
               std::invalid_argument);
  EXPECT_EQ(a->mapping(), nullptr);
  EXPECT_EQ(c->mapping(), nullptr);
}

}  // namespace
}  // namespace qalto
