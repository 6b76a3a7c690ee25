#include "mapping/skip_dma.hpp"

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

std::string thrown_message(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "<nothing thrown>";
}

const std::string kSecondBranch =
    "Hardware partial reconfiguration with layers on the second branch is not supported.";

// Builds and wires the pass; the sequence is the pass unless given.
void wire(const LayerList& pass, const std::map<std::shared_ptr<Layer>, ComponentList>& given,
          const LayerList* sequence = nullptr) {
  LayerMappingBuilder::build_layer_mapping(pass, sequence ? *sequence : pass,
                                           testing::components_for(pass, given), kDmaEvent);
}

// A record of its own for one layer, outside any pass.
void attach(const std::shared_ptr<Layer>& layer, ComponentList components, uint8_t layer_id = 1) {
  LayerMappingBuilder::map_standalone(layer, components, layer_id, std::nullopt, std::nullopt);
}

TEST(SkipDmaRequest, StoresPerPurposeAndLoadsAppendedInTypeOrder) {
  Net net;
  auto in = net.input("in");
  auto bt = net.buffer_conv("bt", in, 2);
  auto c1 = net.conv("c1", bt);
  auto add = net.join("add", {c1, bt});
  auto c2 = net.conv("c2", add);
  auto c3 = net.conv("c3", c2);
  EXPECT_EQ(request_skipdma_store(bt).size(), 2u);  // TNP_B and skip source
  EXPECT_EQ(request_skipdma_store(c1).size(), 0u);
  EXPECT_EQ(request_skipdma_store(c3).size(), 0u);
  for (const auto& store : request_skipdma_store(bt)) {
    EXPECT_EQ(store.type, Type::SKIP_DMA_STORE);
    EXPECT_EQ(store.ident, hw::Ident{});
    EXPECT_FALSE(store.np_part.has_value());
  }

  ComponentList components{np_component(1)};
  request_skipdma(&components, {Type::CNP1}, c2);
  EXPECT_EQ(components.size(), 1u);
  request_skipdma(&components, {Type::TNP_B, Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}, bt);
  ASSERT_EQ(components.size(), 4u);
  EXPECT_EQ(components[1].type, Type::SKIP_DMA_STORE);
  EXPECT_EQ(components[2].type, Type::SKIP_DMA_STORE);
  EXPECT_EQ(components[3].type, Type::SKIP_DMA_LOAD);
}

TEST(SkipDmaChannels, StoreChannelsAndChannelGroups) {
  Net net;
  auto x = net.input("x");
  auto y = net.conv("y", x);
  auto z = net.conv("z", y);
  auto add = net.join("add", {z, y});
  auto m = net.conv("m", add);
  const LayerList sequence{x, y, z};
  EXPECT_EQ(store_channel_of(x, sequence), 1u);
  EXPECT_EQ(store_channel_of(y, sequence), 3u);
  EXPECT_EQ(store_channel_of(z, sequence), 3u);

  // A merge layer that starts its pass: the group follows the sequence's channels.
  attach(m, {np_component(1), testing::load(0)});
  DepthMemo depths;
  set_skipdma_load_channel_info(m, {m}, sequence, &depths);
  set_merge_layer_info(m, {m}, sequence, &depths);
  EXPECT_EQ(record(m).skipdma_load_channel->channel, 4);
  EXPECT_EQ(record(m).merge_info->load_channel, 5u);
  EXPECT_FALSE(record(m).merge_info->not_first_in_pass);
}

// in -> c0 -> c1 -> c2 -> add -> c3, the Add joining c2 and c0 in either order.
class SkipConnection : public ::testing::TestWithParam<bool> {};

TEST_P(SkipConnection, StoreLoadAndMergeRecords) {
  const bool shallow_first = GetParam();
  Net net;
  auto in = net.input("in");
  auto c0 = net.conv("c0", in);
  auto c1 = net.conv("c1", c0);
  auto c2 = net.conv("c2", c1);
  auto add = net.join("add", shallow_first ? LayerList{c0, c2} : LayerList{c2, c0});
  auto c3 = net.conv("c3", add);
  wire({in, c0, c1, c2, add, c3}, {{c0, {np_component(1), testing::store(0)}},
                                   {c1, {np_component(2)}},
                                   {c2, {np_component(3)}},
                                   {c3, {np_component(4), testing::load(0)}}});

  const auto& store = *record(c0).skipdma_store_channel;
  EXPECT_EQ(store.channel, 3);   // the first store-capable layer after the first
  EXPECT_EQ(store.distance, 2);  // c0 at depth 2, the Add at depth 4
  EXPECT_EQ(store.to_merge, 0);
  const auto& load = *record(c3).skipdma_load_channel;
  EXPECT_EQ(load.channel, 6 + 1 + 4 * 2);  // c0 and c3 use skip DMA before it
  EXPECT_EQ(load.distance, 2);
  EXPECT_EQ(load.store_channel, 3);
  EXPECT_EQ(load.concat_offset, 0u);

  const auto& merge = *record(c3).merge_info;
  EXPECT_TRUE(merge.is_add);
  EXPECT_EQ(merge.load_channel, 16u);
  EXPECT_TRUE(merge.not_first_in_pass);
  EXPECT_FALSE(merge.dual_output);
  // The shift of the deep input comes first whatever the Add's input order.
  const auto a_shift = add->variables().get("a_shift");
  const auto b_shift = add->variables().get("b_shift");
  EXPECT_EQ(merge.first_shift, shallow_first ? b_shift : a_shift);
  EXPECT_EQ(merge.second_shift, shallow_first ? a_shift : b_shift);
  EXPECT_EQ(merge.output_shift, add->variables().get("output_shift"));

  // The merge layer reads the deep branch; the skip source feeds its next layer.
  EXPECT_EQ(record(c3).inputs, (std::vector<SharedComponents>{record(c2).components}));
  EXPECT_EQ(record(c2).next_layer_id, record(c3).layer_id);
  EXPECT_EQ(record(c0).next_layer_id, record(c1).layer_id);
  EXPECT_EQ(record(c3).sram_shift, nullptr);
}

INSTANTIATE_TEST_SUITE_P(BothInputOrders, SkipConnection, ::testing::Bool());

// in -> (ca, cb -> cc) -> add(cc, ca) -> cd: ca's only output is the Add.
TEST(SkipDmaWiring, StoreStraightIntoJoiningLayerRoutesToItsGroup) {
  Net net;
  auto in = net.input("in");
  auto ca = net.conv("ca", in);
  auto cb = net.conv("cb", in);
  auto cc = net.conv("cc", cb);
  auto add = net.join("add", {cc, ca});
  auto cd = net.conv("cd", add);
  wire({in, ca, cb, cc, add, cd}, {{ca, {np_component(1), testing::store(0)}},
                                   {cb, {np_component(2)}},
                                   {cc, {np_component(3)}},
                                   {cd, {np_component(4), testing::load(0)}}});
  EXPECT_EQ(record(ca).skipdma_store_channel->to_merge, 1);
  EXPECT_EQ(record(ca).skipdma_store_channel->distance, 1);
  EXPECT_EQ(record(ca).next_layer_id, 6 + 1 + 4 * 1 + 2);  // third channel of ca's group
}

// in -> c0(16) -> c1(8) -> c2(8) -> concat -> c3
class ConcatOrder : public ::testing::TestWithParam<bool> {};

TEST_P(ConcatOrder, SramShiftOrConcatOffset) {
  const bool shallow_first = GetParam();
  Net net;
  auto in = net.input("in");
  auto c0 = net.conv("c0", in, 16);
  auto c1 = net.conv("c1", c0, 8);
  auto c2 = net.conv("c2", c1, 8);
  auto cat = net.concat("cat", shallow_first ? LayerList{c0, c2} : LayerList{c2, c0});
  auto c3 = net.conv("c3", cat);
  wire({in, c0, c1, c2, cat, c3}, {{c0, {np_component(1), testing::store(0)}},
                                   {c1, {np_component(2)}},
                                   {c2, {np_component(3)}},
                                   {c3, {np_component(4), testing::load(0)}}});
  EXPECT_FALSE(record(c3).merge_info->is_add);
  EXPECT_EQ(record(c3).merge_info->first_shift, nullptr);
  EXPECT_EQ(record(c0).sram_shift, nullptr);
  if (shallow_first) {
    // The deep input lands after the shallow one's channels.
    ASSERT_NE(record(c2).sram_shift, nullptr);
    EXPECT_EQ(*record(c2).sram_shift, 16u);
    EXPECT_EQ(record(c3).skipdma_load_channel->concat_offset, 0u);
  } else {
    EXPECT_EQ(record(c2).sram_shift, nullptr);
    EXPECT_EQ(record(c3).skipdma_load_channel->concat_offset, 8u);
  }
  EXPECT_EQ(record(c3).skipdma_load_channel->store_channel, 3);
}

INSTANTIATE_TEST_SUITE_P(BothInputOrders, ConcatOrder, ::testing::Bool());

// in -> c0 -> (c1, c2) -> add(c1, c2) -> c3: c0 feeds two branches of equal depth.
struct AltNet {
  Net net;
  std::shared_ptr<Layer> in = net.input("in");
  std::shared_ptr<Layer> c0 = net.conv("c0", in);
  std::shared_ptr<Layer> c1 = net.conv("c1", c0);
  std::shared_ptr<Layer> c2 = net.conv("c2", c0);
  std::shared_ptr<Layer> add = net.join("add", {c1, c2});
  std::shared_ptr<Layer> c3 = net.conv("c3", add);
  std::map<std::shared_ptr<Layer>, ComponentList> components{
      {c0, {np_component(1)}},
      {c1, {np_component(2), np_component(3), testing::store(0)}},
      {c2, {np_component(4)}},
      {c3, {np_component(5), testing::load(0)}}};
};

TEST(SkipDmaWiring, AlternateLayerFeedsBothDestinations) {
  AltNet n;
  wire({n.in, n.c0, n.c1, n.c2, n.add, n.c3}, n.components);
  EXPECT_EQ(record(n.c0).next_layer_id, record(n.c1).layer_id);
  EXPECT_EQ(record(n.c0).outputs,
            (std::vector<SharedComponents>{record(n.c1).components, record(n.c2).components}));
  ASSERT_NE(record(n.c1).alt_info, nullptr);
  ASSERT_NE(record(n.c2).alt_info, nullptr);
  EXPECT_EQ(record(n.c1).alt_info->branch, 0u);
  EXPECT_EQ(record(n.c1).alt_info->components, 3u);
  EXPECT_EQ(record(n.c1).alt_info->first_layer_id, 0u);
  EXPECT_EQ(record(n.c2).alt_info->branch, 1u);
  EXPECT_EQ(record(n.c2).alt_info->components, 3u);
  EXPECT_EQ(record(n.c2).alt_info->first_layer_id, record(n.c1).layer_id);
  EXPECT_TRUE(testing::holds(record(n.c2).inputs, record(n.c0).components));
  EXPECT_EQ(record(n.c0).alt_info, nullptr);
}

TEST(SkipDmaWiring, AlternateBranchOutsideThePassIsRefused) {
  AltNet n;
  EXPECT_EQ(thrown_message([&] { wire({n.in, n.c0, n.c1}, n.components); }),
            "Cannot map layer 'c0'. " + kSecondBranch);
}

// in -> x; x -> add1(x, in) -> add2(add1, in); x -> c: the first branch has no hardware layer.
TEST(SkipDmaWiring, AlternateLayerWithoutHardwareDestinationIsAStatus) {
  Net net;
  auto in = net.input("in");
  auto x = net.conv("x", in);
  auto add1 = net.join("add1", {x, in});
  net.join("add2", {add1, in});
  auto c = net.conv("c", x);
  attach(x, {np_component(1)});
  attach(c, {np_component(2)}, 2);
  std::vector<SharedComponents> outputs;
  const LayerList pass = net.model->layers();
  EXPECT_EQ(thrown_message([&] { set_alt_layers(x, pass, &outputs); }),
            "Cannot map layer 'x'. The alternate layer leads to no hardware layer.");
  EXPECT_TRUE(outputs.empty());
}

// in -> c0 -> c1 -> a = add(c1, c0) -> (m, g): m merges and its Add also feeds g.
struct DualNet {
  Net net;
  std::shared_ptr<Layer> in = net.input("in");
  std::shared_ptr<Layer> c0 = net.conv("c0", in);
  std::shared_ptr<Layer> c1 = net.conv("c1", c0);
  std::shared_ptr<Layer> a = net.join("a", {c1, c0});
  std::shared_ptr<Layer> m = net.conv("m", a);
  std::shared_ptr<Layer> g = net.conv("g", a);
};

TEST(SkipDmaMerge, DualOutputTargetInsideAndOutsideThePass) {
  DualNet n;
  const std::map<std::shared_ptr<Layer>, ComponentList> components{
      {n.c0, {np_component(1), testing::store(0)}},
      {n.c1, {np_component(2)}},
      {n.m, {np_component(3), testing::load(0)}},
      {n.g, {np_component(4)}}};
  wire({n.in, n.c0, n.c1, n.a, n.m, n.g}, components);
  ASSERT_NE(record(n.m).merge_info, nullptr);
  EXPECT_TRUE(record(n.m).merge_info->dual_output);
  EXPECT_EQ(record(n.m).merge_info->dual_output_target, record(n.g).layer_id);
  EXPECT_EQ(record(n.g).layer_id, 4);

  for (const auto& layer : n.net.model->layers()) layer->set_mapping(nullptr);
  EXPECT_EQ(thrown_message([&] { wire({n.in, n.c0, n.c1, n.a, n.m}, components); }),
            "Cannot map layer 'm'. " + kSecondBranch);
}

// DualNet plus m -> m2 -> a2 = add(m2, m) -> m3: m's one store is its plain skip store.
TEST(SkipDmaMerge, PlainSkipStoreOfADualOutputLayerKeepsItsChannel) {
  DualNet n;
  auto m2 = n.net.conv("m2", n.m);
  auto a2 = n.net.join("a2", {m2, n.m});
  auto m3 = n.net.conv("m3", a2);
  wire({n.in, n.c0, n.c1, n.a, n.m, n.g, m2, a2, m3},
       {{n.c0, {np_component(1), testing::store(0)}},
        {n.c1, {np_component(2)}},
        {n.m, {np_component(3), testing::store(1), testing::load(0)}},
        {n.g, {np_component(4)}},
        {m2, {np_component(5)}},
        {m3, {np_component(6), testing::load(1)}}});
  const LayerMapping& mm = record(n.m);
  EXPECT_TRUE(mm.merge_info->dual_output);
  EXPECT_EQ(mm.merge_info->dual_output_target, record(n.g).layer_id);
  ASSERT_NE(mm.skipdma_store(), nullptr);
  EXPECT_EQ(mm.skipdma_store_dual_output(), nullptr);
  EXPECT_EQ(mm.skipdma_store_dual_output_channel, nullptr);
  ASSERT_NE(mm.skipdma_store_channel, nullptr);
  EXPECT_EQ(mm.skipdma_store_channel->channel, 5);  // c0 and m are store-capable
  // m3 loads what m stored.
  EXPECT_EQ(record(m3).skipdma_load_channel->store_channel, 5);
}

// in -> c0 -> c1 -> a = add(c1, c0) -> m -> m2; a2 = add(m2, a) -> m3: a's second output
// reaches a deeper layer, so m's dual output goes through the skip DMA.
TEST(SkipDmaMerge, DualOutputThroughAStore) {
  Net net;
  auto in = net.input("in");
  auto c0 = net.conv("c0", in);
  auto c1 = net.conv("c1", c0);
  auto a = net.join("a", {c1, c0});
  auto m = net.conv("m", a);
  auto m2 = net.conv("m2", m);
  auto a2 = net.join("a2", {m2, a});
  auto m3 = net.conv("m3", a2);
  EXPECT_EQ(request_skipdma_store(m).size(), 1u);
  wire({in, c0, c1, a, m, m2, a2, m3}, {{c0, {np_component(1), testing::store(0)}},
                                        {c1, {np_component(2)}},
                                        {m, {np_component(3), testing::store(1), testing::load(0)}},
                                        {m2, {np_component(4)}},
                                        {m3, {np_component(5), testing::load(1)}}});
  const LayerMapping& mm = record(m);
  EXPECT_EQ(mm.skipdma_store(), nullptr);
  ASSERT_NE(mm.skipdma_store_dual_output(), nullptr);
  EXPECT_EQ(mm.skipdma_store_channel, nullptr);
  ASSERT_NE(mm.skipdma_store_dual_output_channel, nullptr);
  EXPECT_EQ(mm.skipdma_store_dual_output_channel->channel, 6);  // plain channel 5, + 1
  EXPECT_EQ(mm.skipdma_store_dual_output_channel->distance, 2);  // a at 3, a2 at 5
  EXPECT_EQ(mm.skipdma_store_dual_output_channel->to_merge, 0);
  const uint32_t group = 8 + 1 + 4 * 2;  // c0 and m use skip DMA
  EXPECT_EQ(mm.merge_info->load_channel, group + 1);
  EXPECT_EQ(mm.merge_info->dual_output_target, group + 3);
  // The load after a2 reads the joining layer's stored copy: the dual-output channel.
  EXPECT_EQ(record(m3).skipdma_load_channel->store_channel, 6);
  EXPECT_EQ(record(m3).skipdma_load_channel->distance, 2);
}

// in -> bt (fifo 3) -> c
TEST(SkipDmaTnpB, FifoChannelsAndTheLayerMissingFromTheSequence) {
  Net net;
  auto in = net.input("in");
  auto bt = net.buffer_conv("bt", in, 3);
  auto c = net.conv("c", bt);
  const std::map<std::shared_ptr<Layer>, ComponentList> components{
      {bt, {np_component(1, Type::TNP_B), testing::store(2), testing::load(2)}},
      {c, {np_component(2)}}};
  wire({in, bt, c}, components);
  EXPECT_EQ(record(bt).layer_id, 2);
  const auto& store = *record(bt).skipdma_store_channel;
  EXPECT_EQ(store.channel, 1);  // position in the sequence
  EXPECT_EQ(store.distance, 4);
  EXPECT_EQ(store.to_merge, 1);
  const auto& load = *record(bt).skipdma_load_channel;
  EXPECT_EQ(load.channel, 1);  // layer_id - 1
  EXPECT_EQ(load.distance, 4);
  EXPECT_EQ(load.store_channel, 1);
  // The layer before receives the TNP_B's NPs and a copy of its loads.
  ASSERT_EQ(record(in).outputs.size(), 2u);
  EXPECT_EQ(record(in).outputs[0], record(bt).components);
  EXPECT_EQ(*record(in).outputs[1], record(bt).skipdma_loads);

  const LayerList sequence{in, c};
  EXPECT_EQ(thrown_message([&] { wire({in, bt, c}, components, &sequence); }),
            "Cannot map layer 'bt'. Layer not found in the sequence.");
}

// in -> bt -> c1 -> add(c1, bt) -> c2: the TNP_B's one plain store is its FIFO's, so the
// skip connection from it would be loaded from a channel no store writes.
TEST(SkipDmaTnpB, SkipSourceIsRefusedNotWiredToAnUnwrittenChannel) {
  Net net;
  auto in = net.input("in");
  auto bt = net.buffer_conv("bt", in, 2);
  auto c1 = net.conv("c1", bt);
  auto add = net.join("add", {c1, bt});
  auto c2 = net.conv("c2", add);
  const std::string refused =
      "Cannot map layer 'bt'. A TNP-B layer's skip-DMA store holds its FIFO: the layer cannot "
      "also be the source of a skip connection.";
  EXPECT_EQ(skipdma_store_status(bt).to_string(), refused);
  EXPECT_FALSE(skipdma_store_status(c1).failed);
  EXPECT_FALSE(skipdma_store_status(c2).failed);
  EXPECT_EQ(thrown_message([&] {
              wire({in, bt, c1, add, c2},
                   {{bt, {np_component(1, Type::TNP_B), testing::store(0), testing::store(1),
                          testing::load(0)}},
                    {c1, {np_component(2)}},
                    {c2, {np_component(3), testing::load(1)}}});
            }),
            refused);
}

TEST(SkipDmaFailures, MissingInboundLayersAreStatuses) {
  Net net;
  auto in = net.input("in");
  auto c0 = net.conv("c0", in);
  auto c1 = net.conv("c1", c0);
  attach(in, {});
  attach(c1, {np_component(1), testing::load(0)});
  DepthMemo depths;
  EXPECT_EQ(thrown_message([&] { set_skipdma_load_channel_info(c1, {c1}, {c1}, &depths); }),
            "Cannot map layer 'c1'. The layer c0 has no inbound layer 2.");
  EXPECT_EQ(record(c1).skipdma_load_channel, nullptr);
  EXPECT_EQ(thrown_message([&] { set_skipdma_store_channel_dual_output_info(in, {in}, &depths); }),
            "Cannot map layer 'in'. The layer in has no inbound layer 1.");
  EXPECT_EQ(thrown_message([&] { set_merge_layer_info(c0, {c0}, {c0}, &depths); }),
            "Cannot map layer 'c0'. The layer has no hardware mapping.");
}

// The components a mesh mapper would give the convolutions of `layers`: an NP each, a store
// for a store-capable layer and a load for a merge layer.
std::map<std::shared_ptr<Layer>, ComponentList> skip_components(const LayerList& layers) {
  std::map<std::shared_ptr<Layer>, ComponentList> given;
  for (const auto& layer : layers) {
    if (layer->type() != LayerType::Conv2D) continue;
    ComponentList& list = given[layer];
    list.push_back(np_component(1));
    if (layer_need_store_dma(layer) || is_dual_output_layer(layer)) {
      list.push_back(testing::store(0));
    }
    if (layer_need_load_dma(layer)) list.push_back(testing::load(0));
  }
  return given;
}

// in -> x -> s0 -> t0 -> a0 = add(t0, s0) -> s1 -> ... -> a127 -> u: every s_k is a skip
// source, loaded by s_{k+1}; s_k's store channel is 3 + 2k in 8 bits. Wired in two passes (a
// pass holds at most 254 hardware layers).
TEST(SkipDmaChannels, NumbersWrapPastTheLastChannel) {
  Net net;
  auto in = net.input("in");
  LayerList order{in, net.conv("x", in)};
  std::vector<std::shared_ptr<Layer>> sources{net.conv("s0", order.back())};
  order.push_back(sources.back());
  for (int k = 0; k < 128; ++k) {
    auto t = net.conv("t" + std::to_string(k), sources.back());
    auto a = net.join("a" + std::to_string(k), {t, sources.back()});
    order.insert(order.end(), {t, a});
    if (k == 127) break;
    sources.push_back(net.conv("s" + std::to_string(k + 1), a));
    order.push_back(sources.back());
  }
  order.push_back(net.conv("u", order.back()));
  const auto given = skip_components(order);
  const auto half = static_cast<std::ptrdiff_t>(order.size() / 2);
  const LayerList first(order.begin(), order.begin() + half);
  const LayerList second(order.begin() + half, order.end());
  wire(first, given, &order);
  wire(second, given, &order);

  for (size_t k = 0; k < sources.size(); ++k) {
    const auto& store = record(sources[k]).skipdma_store_channel;
    ASSERT_NE(store, nullptr) << k;
    EXPECT_EQ(store->channel, (3 + 2 * k) & 0xFF) << k;
    if (k == 0) continue;
    EXPECT_EQ(record(sources[k]).skipdma_load_channel->store_channel,
              record(sources[k - 1]).skipdma_store_channel->channel)
        << k;
  }
  EXPECT_EQ(record(sources[127]).skipdma_store_channel->channel, 1);
  // A load group starts after every sequence layer, in 8 bits too.
  const auto& s1 = sources[1];
  EXPECT_EQ(record(s1).skipdma_load_channel->channel, channel_group(s1, first, order) & 0xFF);
  EXPECT_EQ(record(s1).merge_info->load_channel, (channel_group(s1, first, order) + 1) & 0xFF);
  // Each store is loaded by the next merge layer long before the numbers come round.
  EXPECT_NO_THROW(check_skipdma_channels(order));
}

// in -> x -> z -> w -> b = add(w, z) -> n -> a = add(n, x) -> m: z's store is written while
// x's still waits for m, and each load must read the last store on its channel.
TEST(SkipDmaChannels, AStoreOnAChannelStillHeldIsRefusedAndLoadsReadAnInputOfTheirJoin) {
  Net net;
  auto in = net.input("in");
  auto x = net.conv("x", in);
  auto z = net.conv("z", x);
  auto w = net.conv("w", z);
  auto b = net.join("b", {w, z});
  auto n = net.conv("n", b);
  auto a = net.join("a", {n, x});
  auto m = net.conv("m", a);
  const LayerList order{in, x, z, w, b, n, a, m};
  wire(order, skip_components(order));
  EXPECT_EQ(record(m).skipdma_load_channel->store_channel, record(x).skipdma_store_channel->channel);
  EXPECT_EQ(record(n).skipdma_load_channel->store_channel, record(z).skipdma_store_channel->channel);
  EXPECT_NO_THROW(check_skipdma_channels(order));
  EXPECT_NO_THROW(check_skipdma_loads(order));

  // As if the numbers had come round: z's store on x's channel.
  const uint8_t z_channel = record(z).skipdma_store_channel->channel;
  record(z).skipdma_store_channel->channel = record(x).skipdma_store_channel->channel;
  EXPECT_EQ(thrown_message([&] { check_skipdma_channels(order); }),
            "Cannot map layer 'z'. Skip-DMA channel 3 still holds the output of layer x for a "
            "later layer: the 8-bit channel numbers of the sequence have come round to it again.");
  EXPECT_EQ(thrown_message([&] { check_skipdma_loads(order); }),
            "Cannot map layer 'n'. The skip-DMA load reads channel " + std::to_string(z_channel) +
                ", which no earlier layer of the sequence stores.");
  record(n).skipdma_load_channel->store_channel = 3;
  EXPECT_EQ(thrown_message([&] { check_skipdma_loads(order); }),
            "Cannot map layer 'm'. The skip-DMA load reads channel 3, which holds the output of "
            "layer z, not an input of a.");
  try {
    check_skipdma_channels(order);
  } catch (const MappingError& error) {
    EXPECT_EQ(error.layer(), "z");  // named, so that the model can map the layers before it
  }
  // On a channel of its own (and its load following it), z's store passes.
  record(z).skipdma_store_channel->channel = 7;
  record(n).skipdma_load_channel->store_channel = 7;
  EXPECT_NO_THROW(check_skipdma_channels(order));
  EXPECT_NO_THROW(check_skipdma_loads(order));
}

// in -> x -> y -> z -> c = concatenate(x, y, z) -> m: m loads x and reads z; y is lost.
TEST(SkipDmaChannels, AJoinInputThatNeitherLoadNorStreamBringsIsRefused) {
  Net net;
  auto x = net.conv("x", net.input("in"));
  auto y = net.conv("y", x);
  auto z = net.conv("z", y);
  auto c = net.concat("c", {x, y, z});
  auto m = net.conv("m", c);
  const LayerList order{x->inbound_layers().front(), x, y, z, c, m};
  wire(order, skip_components(order));
  EXPECT_EQ(thrown_message([&] { check_skipdma_loads(order); }),
            "Cannot map layer 'm'. Layer y, an input of c, reaches this layer neither through its "
            "skip-DMA load nor as its input.");
}

}  // namespace
}  // namespace qalto
