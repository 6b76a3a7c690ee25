#include "mapping/graph.hpp"

#include <gtest/gtest.h>


#include "qalto/model.hpp"
#include "support/graph_builder.hpp"

namespace qalto {
namespace {

using testing::GraphBuilder;
using testing::LayerPtr;

std::vector<std::string> names(const LayerList& layers) {
  std::vector<std::string> out;
  for (const auto& l : layers) out.push_back(l ? l->get_name() : "<none>");
  return out;
}

using Names = std::vector<std::string>;

// Each question is asked twice: nothing may be left behind by a first call.
template <typename F>
auto twice(F f) {
  auto first = f();
  auto second = f();
  EXPECT_EQ(first, second);
  return first;
}

// input -> c1 -> c2 -> c3
struct Chain : GraphBuilder {
  LayerPtr in = input("in");
  LayerPtr c1 = conv("c1", {in});
  LayerPtr c2 = conv("c2", {c1});
  LayerPtr c3 = conv("c3", {c2});
};

TEST(GraphDepth, ChainAndJoiningLayerDepths) {
  GraphBuilder g;
  auto in = g.input("in");
  auto a = g.conv("a", {in});
  auto add = g.join("add", {a});
  auto b = g.conv("b", {add});
  DepthMemo memo;
  EXPECT_EQ(get_layer_depth(in, &memo), 1u);
  EXPECT_EQ(memo.count(in), 0u);  // inputs are never stored
  EXPECT_EQ(get_layer_depth(a, &memo), 2u);
  EXPECT_EQ(get_layer_depth(add, &memo), 2u);  // a joining layer sits at its input's depth
  EXPECT_EQ(get_layer_depth(b, &memo), 3u);
  EXPECT_EQ(memo.at(b), 3u);
  // The memo is trusted: a stored value is returned as it is.
  memo[b] = 42;
  EXPECT_EQ(get_layer_depth(b, &memo), 42u);
  EXPECT_EQ(get_layer_depth(nullptr, &memo), 0u);
}

TEST(GraphDepth, SortKeepsOrderAndPutsInputsFirst) {
  GraphBuilder g;
  auto in1 = g.input("in1");
  auto in2 = g.input("in2");
  auto add = g.join("add", {in1, in2});  // depth 1, like the inputs
  auto a = g.conv("a", {add});
  auto b = g.conv("b", {add});
  LayerList list{a, add, b, in2, in1};
  sort_by_depth(&list);
  EXPECT_EQ(names(list), (Names{"in2", "in1", "add", "a", "b"}));
}

TEST(GraphChain, EveryQuestion) {
  Chain g;
  auto [main, skip] = twice([&] { return get_skipconnect_branch(g.c1); });
  EXPECT_EQ(names(main), (Names{"c2", "c3"}));
  EXPECT_TRUE(skip.empty());
  auto last = twice([&] { return get_skipconnect_branch(g.c3); });
  EXPECT_TRUE(last.first.empty() && last.second.empty());

  for (const auto& l : {g.in, g.c1, g.c2, g.c3}) {
    EXPECT_FALSE(is_merge(l));
    EXPECT_FALSE(is_split_layer(l));
    EXPECT_FALSE(is_skip_layer(l));
    EXPECT_FALSE(layer_need_load_dma(l));
    EXPECT_FALSE(layer_need_store_dma(l));
    EXPECT_FALSE(is_dual_output_to_store_dma(l));
    EXPECT_EQ(get_mappable_layer(l), l);
  }
  const LayerList all{g.in, g.c1, g.c2, g.c3};
  EXPECT_EQ(twice([&] { return first_mappable_layer(all); }), g.c1);
  EXPECT_EQ(twice([&] { return last_mappable_layer(all); }), g.c3);
  EXPECT_EQ(twice([&] { return next_mappable_layer(g.c1); }), g.c2);
  EXPECT_EQ(next_mappable_layer(g.c3), nullptr);
  EXPECT_EQ(twice([&] { return previous_mappable_layer(g.c2); }), g.c1);
  EXPECT_EQ(previous_mappable_layer(g.c1), g.in);  // only joining layers are looked through
  EXPECT_EQ(previous_mappable_layer(g.in), nullptr);
  EXPECT_EQ(names(get_layers_to_map_together({g.c1, g.c2, g.c3})), (Names{"c1"}));
  EXPECT_EQ(get_out_branches_count({g.c1}), 1u);
  EXPECT_EQ(get_out_branches_count({}), 0u);
  EXPECT_EQ(first_mappable_layer({}), nullptr);
  EXPECT_EQ(first_mappable_layer({g.in}), nullptr);
  EXPECT_EQ(last_mappable_layer({g.in}), nullptr);
}

// in -> a -> (b, c) -> add -> d
struct Diamond : GraphBuilder {
  LayerPtr in = input("in");
  LayerPtr a = conv("a", {in});
  LayerPtr b = conv("b", {a});
  LayerPtr c = conv("c", {a});
  LayerPtr add = join("add", {b, c});
  LayerPtr d = conv("d", {add});
};

TEST(GraphDiamond, BranchesMergeAndSkip) {
  Diamond g;
  auto [main, skip] = twice([&] { return get_skipconnect_branch(g.a); });
  EXPECT_EQ(names(main), (Names{"b", "add", "d"}));
  EXPECT_EQ(names(skip), (Names{"c", "add", "d"}));
  EXPECT_EQ(twice([&] { return first_common_layer(main, skip); }), g.add);

  EXPECT_TRUE(is_split_layer(g.a));
  EXPECT_TRUE(twice([&] { return is_merge(g.d); }));
  EXPECT_FALSE(is_merge(g.b));          // its inbound is an ordinary CNP layer
  EXPECT_FALSE(is_merge(g.add));        // not a CNP layer
  EXPECT_FALSE(is_dual_output_layer(g.d));
  EXPECT_TRUE(twice([&] { return is_skip_layer(g.b); }));  // earlier inbound on equal depth
  EXPECT_FALSE(is_skip_layer(g.c));
  EXPECT_TRUE(layer_need_store_dma(g.b));
  EXPECT_FALSE(layer_need_store_dma(g.c));
  EXPECT_TRUE(layer_need_load_dma(g.d));
  EXPECT_EQ(twice([&] { return get_mappable_layer(g.add); }), g.d);
  DepthMemo memo;
  EXPECT_TRUE(is_alt_layer(g.a, &memo));  // b and c at equal depth
  EXPECT_FALSE(is_alt_layer(g.b, &memo));
}

TEST(GraphDiamond, Navigation) {
  Diamond g;
  const LayerList all{g.in, g.a, g.b, g.c, g.add, g.d};
  EXPECT_EQ(twice([&] { return first_mappable_layer(all); }), g.a);
  EXPECT_EQ(twice([&] { return last_mappable_layer(all); }), g.d);
  EXPECT_EQ(twice([&] { return next_mappable_layer(g.b); }), g.d);
  EXPECT_EQ(twice([&] { return next_mappable_layer(g.a); }), g.b);
  // The merge reads the deepest input of the Add, the later inbound on equal depth.
  EXPECT_EQ(twice([&] { return previous_mappable_layer(g.d); }), g.c);
  EXPECT_EQ(names(twice([&] { return get_layers_to_map_together({g.a, g.b, g.c, g.add, g.d}); })),
            (Names{"a", "b", "c", "add"}));
  EXPECT_EQ(get_out_branches_count({g.a}), 2u);
  EXPECT_EQ(get_out_branches_count({g.a, g.b, g.c, g.add}), 1u);
  // More joins than splits leaves no branch open.
  EXPECT_EQ(get_out_branches_count({g.b, g.add, g.d}), 0u);
}

// in -> c0 -> c1 -> c2 -> add(c2, c0) -> c3: the skip connection is the second output of c0.
struct Residual : GraphBuilder {
  LayerPtr in = input("in");
  LayerPtr c0 = conv("c0", {in});
  LayerPtr c1 = conv("c1", {c0});
  LayerPtr c2 = conv("c2", {c1});
  LayerPtr add = join("add", {c2, c0});
  LayerPtr c3 = conv("c3", {add});
};

TEST(GraphResidual, EveryQuestion) {
  Residual g;
  auto [main, skip] = twice([&] { return get_skipconnect_branch(g.c0); });
  EXPECT_EQ(names(main), (Names{"c1", "c2", "add", "c3"}));
  EXPECT_EQ(names(skip), (Names{"add", "c3"}));
  EXPECT_TRUE(is_merge(g.c3));
  EXPECT_TRUE(is_skip_layer(g.c0));
  EXPECT_FALSE(is_skip_layer(g.c2));
  EXPECT_TRUE(layer_need_store_dma(g.c0));
  EXPECT_FALSE(layer_need_store_dma(g.c2));
  EXPECT_TRUE(layer_need_load_dma(g.c3));
  EXPECT_EQ(get_mappable_layer(g.add), g.c3);
  EXPECT_EQ(twice([&] { return previous_mappable_layer(g.c3); }), g.c2);
  EXPECT_EQ(twice([&] { return next_mappable_layer(g.c2); }), g.c3);
  EXPECT_EQ(twice([&] { return next_mappable_layer(g.c0); }), g.c1);
  DepthMemo memo;
  EXPECT_FALSE(is_alt_layer(g.c0, &memo));  // c1 (3) and c3 (5) differ
  EXPECT_EQ(names(get_layers_to_map_together({g.c0, g.c1, g.c2, g.add, g.c3})),
            (Names{"c0", "c1", "c2", "add"}));
}

TEST(GraphResidual, LongerSecondBranchSwapsTheLists) {
  // x -> v (short) and x -> y -> z (long), joined in w: the first outbound is the short one.
  GraphBuilder g;
  auto in = g.input("in");
  auto x = g.conv("x", {in});
  auto v = g.conv("v", {x});
  auto y = g.conv("y", {x});
  auto z = g.conv("z", {y});
  auto w = g.join("w", {z, v});
  auto out = g.conv("out", {w});
  auto [main, skip] = twice([&] { return get_skipconnect_branch(x); });
  EXPECT_EQ(names(main), (Names{"y", "z", "w", "out"}));
  EXPECT_EQ(names(skip), (Names{"v", "w", "out"}));
  // The Add's inputs: v is the shallower one, so v is the skip layer; the merge reads z.
  EXPECT_TRUE(is_skip_layer(v));
  EXPECT_EQ(previous_mappable_layer(out), z);
  // v and y lie at equal depth; y wins in either order because its branch is strictly deeper
  // just before the two branches meet.
  EXPECT_EQ(first_mappable_layer({v, y}), y);
  EXPECT_EQ(first_mappable_layer({y, v}), y);
}

TEST(GraphResidual, BranchesThatNeverMeet) {
  GraphBuilder g;
  auto in = g.input("in");
  auto x = g.conv("x", {in});
  auto a = g.conv("a", {x});
  auto b = g.conv("b", {x});
  auto b2 = g.conv("b2", {b});
  auto [main, skip] = get_skipconnect_branch(x);
  EXPECT_EQ(names(main), (Names{"a"}));
  EXPECT_EQ(names(skip), (Names{"b", "b2"}));
  EXPECT_EQ(first_common_layer(main, skip), nullptr);
  EXPECT_EQ(first_common_layer({}, skip), nullptr);
  // Three outputs: no skip branch.
  auto c = g.conv("c", {x});
  auto three = get_skipconnect_branch(x);
  EXPECT_TRUE(three.second.empty());
  EXPECT_EQ(three.first.front(), a);
  (void)b2;
  (void)c;
}

// Two adds in a row: a1 = add(c1, c0) splits into c2 and a2 = add(c2, a1).
struct NestedAdds : GraphBuilder {
  LayerPtr in = input("in");
  LayerPtr c0 = conv("c0", {in});
  LayerPtr c1 = conv("c1", {c0});
  LayerPtr a1 = join("a1", {c1, c0});
  LayerPtr c2 = conv("c2", {a1});
  LayerPtr a2 = join("a2", {c2, a1});
  LayerPtr c3 = conv("c3", {a2});
};

TEST(GraphNestedAdds, DualOutputAndMerges) {
  NestedAdds g;
  EXPECT_TRUE(twice([&] { return is_merge(g.c2); }));
  EXPECT_TRUE(is_dual_output_layer(g.c2));
  // a1's outputs lead to c2 (depth 4) and, through a2, to c3 (depth 5).
  EXPECT_TRUE(twice([&] { return is_dual_output_to_store_dma(g.c2); }));
  EXPECT_TRUE(layer_need_store_dma(g.c2));
  EXPECT_TRUE(layer_need_load_dma(g.c2));
  EXPECT_TRUE(is_merge(g.c3));
  EXPECT_FALSE(is_dual_output_layer(g.c3));
  EXPECT_EQ(get_mappable_layer(g.a1), g.c2);
  EXPECT_EQ(get_mappable_layer(g.a2), g.c3);
  EXPECT_EQ(twice([&] { return previous_mappable_layer(g.c3); }), g.c2);
  EXPECT_EQ(twice([&] { return previous_mappable_layer(g.c2); }), g.c1);
  EXPECT_TRUE(is_skip_layer(g.c0));
  EXPECT_TRUE(is_skip_layer(g.c2));
  EXPECT_EQ(next_mappable_layer(g.c1), g.c2);
  const LayerList all{g.in, g.c0, g.c1, g.a1, g.c2, g.a2, g.c3};
  EXPECT_EQ(first_mappable_layer(all), g.c0);
  EXPECT_EQ(last_mappable_layer(all), g.c3);
}

TEST(GraphTwoInputs, EqualDepthTieBreak) {
  GraphBuilder g;
  auto in1 = g.input("in1");
  auto in2 = g.input("in2");
  auto a = g.conv("a", {in1});
  auto b = g.conv("b", {in2});
  auto add = g.join("add", {a, b});
  auto c = g.conv("c", {add});
  const LayerList all{in1, in2, a, b, add, c};
  EXPECT_EQ(twice([&] { return first_mappable_layer(all); }), a);
  EXPECT_EQ(first_mappable_layer({in1, in2, b, a}), b);  // the first in list order
  EXPECT_EQ(last_mappable_layer(all), c);
  EXPECT_EQ(last_mappable_layer({a, b}), b);
  EXPECT_TRUE(is_merge(c));
  EXPECT_TRUE(is_skip_layer(a));
  EXPECT_EQ(previous_mappable_layer(c), b);
  EXPECT_EQ(previous_mappable_layer(a), in1);
  EXPECT_EQ(get_layers_to_map_together({in1, in2, a, b, add, c}).size(), 1u);
}

TEST(GraphAddIntoAdd, NoHardwareBehindIsEmptyNotACrash) {
  GraphBuilder g;
  auto in = g.input("in");
  auto c0 = g.conv("c0", {in});
  auto c1 = g.conv("c1", {c0});
  auto a1 = g.join("a1", {c1, c0});
  auto a2 = g.join("a2", {a1, c1});
  EXPECT_EQ(twice([&] { return get_mappable_layer(a1); }), nullptr);
  EXPECT_EQ(get_mappable_layer(a2), nullptr);
  EXPECT_EQ(twice([&] { return next_mappable_layer(c1); }), nullptr);
  EXPECT_EQ(first_mappable_layer({a1, a2}), nullptr);
  EXPECT_EQ(last_mappable_layer({in, a1, a2}), nullptr);
  EXPECT_TRUE(is_skip_layer(c0));
  EXPECT_FALSE(is_skip_layer(c1));  // a2's other input leads nowhere and sorts first
  EXPECT_FALSE(layer_need_store_dma(a1));
  DepthMemo memo;
  EXPECT_FALSE(is_alt_layer(c1, &memo));  // neither output leads to hardware
  EXPECT_FALSE(is_merge(nullptr));
  EXPECT_EQ(previous_mappable_layer(nullptr), nullptr);
}

TEST(GraphResidualChain, ThirtyBlocksStayFastAndStable) {
  GraphBuilder g;
  auto in = g.input("in");
  LayerPtr x = g.conv("stem", {in});
  const LayerPtr first_split = x;
  std::vector<LayerPtr> merges;
  for (int i = 0; i < 30; ++i) {
    const std::string n = std::to_string(i);
    auto a = g.conv("a" + n, {x});
    auto b = g.conv("b" + n, {a});
    auto add = g.join("add" + n, {b, x});
    x = g.conv("m" + n, {add});
    merges.push_back(x);
  }
  // Without the per-call memo this walk doubles at every block and never ends.
  auto branches = twice([&] { return get_skipconnect_branch(first_split); });
  // Everything below the stem: 4 layers per block, in depth order.
  EXPECT_EQ(branches.first.size(), 120u);
  EXPECT_EQ(branches.first.back(), merges.back());
  EXPECT_EQ(branches.second.front()->get_name(), "add0");
  for (const auto& m : merges) {
    EXPECT_TRUE(is_merge(m));
    EXPECT_EQ(previous_mappable_layer(m)->get_name(), "b" + m->get_name().substr(1));
  }
  EXPECT_TRUE(layer_need_store_dma(first_split));
  EXPECT_EQ(last_mappable_layer(g.layers), merges.back());
}

}  // namespace
}  // namespace qalto
