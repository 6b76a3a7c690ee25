#include "mapping/layer_mapping.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "mapping/layer_mapping_builder.hpp"
#include "mapping_net.hpp"

namespace qalto {
namespace {

using hw::Type;
using testing::kDmaEvent;
using testing::Net;
using testing::np_component;
using testing::record;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string thrown_message(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "<nothing thrown>";
}

TEST(LayerMappingStores, DualOutputFlagDecidesWhichStoreIsWhich) {
  LayerMapping m;
  EXPECT_EQ(m.get_skipdma_store_index(), -1);
  EXPECT_EQ(m.get_skipdma_store_dual_output_index(), -1);
  EXPECT_EQ(m.skipdma_store(), nullptr);
  EXPECT_EQ(m.skipdma_load(), nullptr);

  // A single plain skip store stays the plain store even on a dual-output merge layer.
  m.skipdma_stores = {testing::store(3)};
  m.merge_info = std::make_unique<MergeLayerMapInfo>();
  m.merge_info->dual_output = true;
  EXPECT_EQ(m.skipdma_store(), &m.skipdma_stores[0]);
  EXPECT_EQ(m.skipdma_store_dual_output(), nullptr);

  // The single store of a dual output through the skip DMA is no plain store.
  m.dual_output_store = true;
  EXPECT_EQ(m.skipdma_store(), nullptr);
  EXPECT_EQ(m.skipdma_store_dual_output(), &m.skipdma_stores[0]);

  m.skipdma_stores = {testing::store(3), testing::store(4)};
  EXPECT_EQ(m.get_skipdma_store_index(), 0);
  EXPECT_EQ(m.get_skipdma_store_dual_output_index(), 1);
  m.dual_output_store = false;
  EXPECT_EQ(m.get_skipdma_store_dual_output_index(), -1);

  m.skipdma_stores.push_back(testing::store(5));
  EXPECT_EQ(m.get_skipdma_store_index(), -1);

  m.skipdma_loads = {testing::load(8), testing::load(9)};
  EXPECT_EQ(m.skipdma_load(), &m.skipdma_loads[0]);
}

// in(None) -> c1 -> c2 -> bt(TNP_B) -> c3 -> deq(None)
TEST(LayerMappingBuilderStandalone, LayerIdsAndDmaEndpoints) {
  Net net;
  auto in = net.input("in");
  auto c1 = net.conv("c1", in);
  auto c2 = net.conv("c2", c1);
  auto bt = net.buffer_conv("bt", c2, 2);
  auto c3 = net.conv("c3", bt);
  auto deq = net.add(LayerType::Dequantizer, "deq", {}, {c3});
  const LayerList pass{in, c1, c2, bt, c3, deq};
  LayerMappingBuilder::map_standalone(
      pass,
      testing::components_for(pass, {{c1, {np_component(1), np_component(2)}},
                                     {c2, {np_component(3)}},
                                     {bt, {np_component(4, Type::TNP_B), testing::store(0),
                                           testing::load(0)}},
                                     {c3, {np_component(5)}}}),
      kDmaEvent);

  EXPECT_EQ(record(in).layer_id, 0);
  EXPECT_EQ(record(c1).layer_id, 1);
  EXPECT_EQ(record(c2).layer_id, 2);
  EXPECT_EQ(record(bt).layer_id, 4);  // a TNP_B layer takes two numbers
  EXPECT_EQ(record(c3).layer_id, 5);
  EXPECT_EQ(record(deq).layer_id, 5);  // kind None does not count
  for (const auto& layer : pass) EXPECT_EQ(record(layer).next_layer_id, 255);

  // First hardware layer reads from the DMA event endpoint, the last one writes to it.
  ASSERT_EQ(record(c1).inputs.size(), 1u);
  ASSERT_EQ(record(c1).inputs[0]->size(), 1u);
  EXPECT_EQ(record(c1).inputs[0]->front().type, Type::DMA);
  EXPECT_EQ(record(c1).inputs[0]->front().ident, kDmaEvent);
  EXPECT_FALSE(record(c1).output_to_dma);
  EXPECT_TRUE(record(c1).outputs.empty());
  ASSERT_EQ(record(c3).outputs.size(), 1u);
  EXPECT_EQ(record(c3).outputs[0]->front().type, Type::DMA);
  EXPECT_EQ(record(c3).outputs[0]->front().ident, kDmaEvent);
  EXPECT_TRUE(record(c3).output_to_dma);
  EXPECT_TRUE(record(c3).inputs.empty());
  EXPECT_TRUE(record(in).inputs.empty());
  EXPECT_FALSE(record(deq).output_to_dma);

  // Components are sorted by what they are, order kept.
  EXPECT_EQ(record(c1).nps(), (ComponentList{np_component(1), np_component(2)}));
  EXPECT_EQ(record(bt).nps(), (ComponentList{np_component(4, Type::TNP_B)}));
  EXPECT_EQ(record(bt).skipdma_stores, (ComponentList{testing::store(0)}));
  EXPECT_EQ(record(bt).skipdma_loads, (ComponentList{testing::load(0)}));
  EXPECT_TRUE(record(bt).tnp_b_skip_dma);
  EXPECT_FALSE(record(c2).tnp_b_skip_dma);
}

// hrc -> c1 -> add(c1, hrc) -> c2: the HRC layer starts the pass without inbound layers.
TEST(LayerMappingBuilderStandalone, HrcPassNumbersAndSkipSourceWithoutInbound) {
  Net net;
  auto hrc = net.hrc("hrc");
  auto c1 = net.conv("c1", hrc);
  auto add = net.join("add", {c1, hrc});
  auto c2 = net.conv("c2", add);
  const LayerList pass{hrc, c1, add, c2};
  LayerMappingBuilder::build_layer_mapping(
      pass, pass,
      testing::components_for(pass, {{hrc, {testing::store(0)}},
                                     {c1, {np_component(1)}},
                                     {c2, {np_component(2), testing::load(0)}}}),
      kDmaEvent);

  EXPECT_EQ(record(hrc).layer_id, 0);
  EXPECT_EQ(record(c1).layer_id, 1);
  EXPECT_EQ(record(add).layer_id, 255);
  EXPECT_EQ(record(c2).layer_id, 2);
  // The HRC layer reads from the HRC, not from the DMA.
  ASSERT_EQ(record(hrc).inputs.size(), 1u);
  EXPECT_EQ(record(hrc).inputs[0]->front().type, Type::HRC);
  EXPECT_EQ(record(hrc).inputs[0]->front().ident, hw::Ident{});

  // Being first in the model does not cost the skip source its store channel.
  ASSERT_NE(record(hrc).skipdma_store_channel, nullptr);
  EXPECT_EQ(record(hrc).skipdma_store_channel->channel, 1);
  EXPECT_EQ(record(hrc).skipdma_store_channel->distance, 1);  // c1 and add at depth 2
  EXPECT_EQ(record(hrc).skipdma_store_channel->to_merge, 0);
  // ... and the merge layer reads that channel back.
  ASSERT_NE(record(c2).skipdma_load_channel, nullptr);
  EXPECT_EQ(record(c2).skipdma_load_channel->store_channel, 1);
  EXPECT_EQ(record(c2).skipdma_load_channel->channel, 4 + 1 + 4 * 1);  // c2 is the only user
  EXPECT_EQ(record(c2).skipdma_load_channel->distance, 1);

  // Linking: c1 reads the HRC layer's output; c2 reads the deeper input of the Add.
  EXPECT_TRUE(testing::holds(record(c1).inputs, record(hrc).components));
  EXPECT_TRUE(testing::holds(record(hrc).outputs, record(c1).components));
  EXPECT_EQ(record(hrc).next_layer_id, 1);
  EXPECT_TRUE(testing::holds(record(c2).inputs, record(c1).components));
  EXPECT_TRUE(testing::holds(record(c1).outputs, record(c2).components));
  EXPECT_EQ(record(c1).next_layer_id, 2);
  EXPECT_TRUE(record(c2).output_to_dma);
}

// hrc -> (c1, c2) -> add(c1, c2) -> c3: a first layer that opens two equal branches.
TEST(LayerMappingBuilderLink, AlternateLayerWithoutInboundIsWired) {
  Net net;
  auto hrc = net.hrc("hrc");
  auto c1 = net.conv("c1", hrc);
  auto c2 = net.conv("c2", hrc);
  auto add = net.join("add", {c1, c2});
  auto c3 = net.conv("c3", add);
  const LayerList pass{hrc, c1, c2, add, c3};
  LayerMappingBuilder::build_layer_mapping(
      pass, pass,
      testing::components_for(pass, {{c1, {np_component(1), testing::store(0)}},
                                     {c2, {np_component(2)}},
                                     {c3, {np_component(3), testing::load(0)}}}),
      kDmaEvent);
  EXPECT_EQ(record(hrc).next_layer_id, record(c1).layer_id);
  ASSERT_EQ(record(hrc).outputs.size(), 2u);
  EXPECT_EQ(record(hrc).outputs[0], record(c1).components);
  EXPECT_EQ(record(hrc).outputs[1], record(c2).components);
  ASSERT_NE(record(c2).alt_info, nullptr);
  EXPECT_EQ(record(c2).alt_info->branch, 1u);
  EXPECT_EQ(record(c2).alt_info->first_layer_id, record(c1).layer_id);
}

TEST(LayerMappingBuilderLink, ChainInputsOutputsAndNextPass) {
  Net net;
  auto in = net.input("in");
  auto c0 = net.conv("c0", in);
  auto c1 = net.conv("c1", c0);
  auto c2 = net.conv("c2", c1);
  auto c3 = net.conv("c3", c2);
  const LayerList first{in, c0, c1};
  const LayerList second{c2, c3};
  LayerList sequence{in, c0, c1, c2, c3};
  LayerMappingBuilder::build_layer_mapping(
      first, sequence,
      testing::components_for(first, {{c0, {np_component(1)}}, {c1, {np_component(2)}}}),
      kDmaEvent);
  EXPECT_TRUE(record(c1).output_to_dma);
  EXPECT_EQ(record(c0).next_layer_id, 2);
  EXPECT_EQ(record(c1).inputs, (std::vector<SharedComponents>{record(c0).components}));
  EXPECT_EQ(record(c0).outputs, (std::vector<SharedComponents>{record(c1).components}));
  // The DMA input of the first hardware layer comes before the (empty) input layer's list.
  ASSERT_EQ(record(c0).inputs.size(), 2u);
  EXPECT_EQ(record(c0).inputs[0]->front().type, Type::DMA);
  EXPECT_EQ(record(c0).inputs[1], record(in).components);

  LayerMappingBuilder::build_layer_mapping(
      second, sequence,
      testing::components_for(second, {{c2, {np_component(3)}}, {c3, {np_component(4)}}}),
      kDmaEvent);
  // c2's inbound layer belongs to the previous pass: only the DMA input so far.
  ASSERT_EQ(record(c2).inputs.size(), 1u);
  EXPECT_EQ(record(c2).layer_id, 1);

  LayerMappingBuilder::link_to_previous_pass(c2, c1);
  EXPECT_FALSE(record(c1).output_to_dma);
  EXPECT_EQ(record(c1).outputs, (std::vector<SharedComponents>{record(c2).components}));
  EXPECT_EQ(record(c1).next_layer_id, 3);  // its own layer_id + 1
  EXPECT_EQ(record(c2).prev_pass_layer_id, 3);
  EXPECT_EQ(record(c2).inputs.back(), record(c1).components);
  EXPECT_TRUE(record(c3).output_to_dma);
}

TEST(LayerMappingBuilderFailures, MissingRecordsAreStatusesNamingTheLayer) {
  Net net;
  auto in = net.input("in");
  auto c0 = net.conv("c0", in);
  auto c1 = net.conv("c1", c0);
  const LayerList pass{in, c0, c1};

  EXPECT_EQ(thrown_message([&] { LayerMappingBuilder::update_layer_mapping(c1, pass, pass, nullptr); }),
            "Cannot map layer 'c1'. The layer has no hardware mapping.");
  LayerMappingBuilder::map_standalone(c1, {np_component(2)}, 2, std::nullopt, std::nullopt);
  DepthMemo depths;
  // c1's previous layer c0 carries no record.
  EXPECT_EQ(thrown_message([&] { LayerMappingBuilder::update_layer_mapping(c1, pass, pass, &depths); }),
            "Cannot map layer 'c0'. The layer has no hardware mapping.");
  EXPECT_EQ(thrown_message([&] { LayerMappingBuilder::link_to_previous_pass(c1, c0); }),
            "Cannot map layer 'c0'. The layer has no hardware mapping.");
  EXPECT_THROW(LayerMappingBuilder::link_to_previous_pass(nullptr, c1), std::runtime_error);
  EXPECT_THROW(LayerMappingBuilder::link_to_previous_pass(c1, nullptr), std::runtime_error);
}

TEST(LayerMappingBuilderFailures, ComponentListsMustMatchThePass) {
  Net net;
  auto in = net.input("in");
  auto c0 = net.conv("c0", in);
  EXPECT_THROW(LayerMappingBuilder::map_standalone({in, c0}, {{}}, kDmaEvent),
               std::invalid_argument);
  EXPECT_EQ(c0->mapping(), nullptr);
}

TEST(LayerMappingBuilderFailures, LayerNumbersStopBelow255) {
  Net net;
  LayerList pass{net.input("in")};
  for (int i = 0; i < 255; ++i) pass.push_back(net.conv("c" + std::to_string(i), pass.back()));
  std::vector<ComponentList> components(pass.size(), ComponentList{np_component(1)});

  // 254 hardware layers still have numbers of their own.
  const LayerList fits(pass.begin(), pass.end() - 1);
  LayerMappingBuilder::map_standalone(fits, {components.begin(), components.end() - 1}, kDmaEvent);
  EXPECT_EQ(record(fits.back()).layer_id, 254);

  for (const auto& layer : pass) layer->set_mapping(nullptr);
  EXPECT_EQ(thrown_message([&] { LayerMappingBuilder::map_standalone(pass, components, kDmaEvent); }),
            "Cannot map layer 'c254'. The pass holds more hardware layers than the 254 layer "
            "numbers available.");
  for (const auto& layer : pass) EXPECT_EQ(layer->mapping(), nullptr) << layer->get_name();
}

}  // namespace
}  // namespace qalto
