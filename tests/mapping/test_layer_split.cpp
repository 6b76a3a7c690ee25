#include "mapping/layer_split.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "mapping/np_split.hpp"
#include "support/fake_checker.hpp"
#include "support/graph_builder.hpp"
#include "v2/pksram_shift.hpp"

namespace qalto {
namespace {

using testing::FakeChecker;
using testing::GraphBuilder;
using testing::LayerPtr;
using testing::Params;

constexpr uint32_t kMaxH = 256;
constexpr uint32_t kMaxW = 64;
constexpr uint32_t kMaxF = 512;

std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, uint32_t> fields(const Split& s) {
  return {s.chunks, s.chunk_size, s.size, s.max_chunk_size, s.alignment};
}

TEST(SplitArithmetic, ChunkingRule) {
  EXPECT_EQ(fields(Split(10, 4, 1)), std::make_tuple(3u, 4u, 10u, 4u, 1u));
  // 4 rounds up to 6, above the maximum: the aligned size below, and one chunk more.
  EXPECT_EQ(fields(Split(10, 4, 3)), std::make_tuple(4u, 3u, 10u, 4u, 3u));
  EXPECT_EQ(fields(Split(5, 2, 4)), std::make_tuple(0u, 0u, 0u, 0u, 0u));
  EXPECT_EQ(fields(Split(4, 4, 2)), std::make_tuple(1u, 4u, 4u, 4u, 2u));
  EXPECT_EQ(fields(Split(33, 16, 2)), std::make_tuple(3u, 12u, 33u, 16u, 2u));
  EXPECT_EQ(Split(0, 4, 1).chunks, 0u);
  // Zero maximum: nothing to divide by, the axis cannot be cut.
  EXPECT_EQ(fields(Split(7, 0, 1)), std::make_tuple(0u, 0u, 0u, 0u, 0u));
  EXPECT_EQ(fields(Split(7, 0, 0)), std::make_tuple(0u, 0u, 0u, 0u, 0u));
  // Alignment 0 (a max pooling without a size) rounds nothing, as alignment 1.
  EXPECT_EQ(fields(Split(7, 4, 0)), std::make_tuple(2u, 4u, 7u, 4u, 0u));
  EXPECT_EQ(fields(Split(3, 4, 0)), std::make_tuple(1u, 3u, 3u, 4u, 0u));
  EXPECT_EQ(fields(Split(10, 3, 0)), std::make_tuple(4u, 3u, 10u, 3u, 0u));
  EXPECT_EQ(fields(Split(UINT32_MAX, 1, 1)), std::make_tuple(UINT32_MAX, 1u, UINT32_MAX, 1u, 1u));
  EXPECT_EQ(fields(Split(UINT32_MAX, UINT32_MAX - 1, 2)),
            std::make_tuple(2u, 0x80000000u, UINT32_MAX, UINT32_MAX - 1, 2u));
}

TEST(SplitArithmetic, FactorSets) {
  using Pairs = std::set<std::pair<uint32_t, uint32_t>>;
  EXPECT_EQ(factor_pairs(12), (Pairs{{4, 3}, {6, 2}, {12, 1}}));
  EXPECT_EQ(factor_pairs(1), (Pairs{{1, 1}}));
  EXPECT_TRUE(factor_pairs(0).empty());
  EXPECT_EQ(factor_pairs(UINT32_MAX).size(), 16u);  // 3 * 5 * 17 * 257 * 65537

  using T = SplitsNumChunks;
  EXPECT_EQ(T::factor_triplets(12), (std::set<T>{{1, 1, 12}, {1, 2, 6}, {1, 3, 4}, {2, 2, 3}}));
  EXPECT_EQ(T::get_splits_number(4),
            (std::vector<T>{{4, 1, 1}, {2, 2, 1}, {2, 1, 2}, {1, 4, 1}, {1, 2, 2}, {1, 1, 4}}));
  const auto twelve = T::get_splits_number(12);
  EXPECT_EQ(twelve.size(), 18u);
  for (size_t i = 0; i < twelve.size(); ++i) {
    EXPECT_EQ(twelve[i].width_chunks * twelve[i].height_chunks * twelve[i].filter_chunks, 12u);
    if (i > 0) {
      EXPECT_LT(twelve[i], twelve[i - 1]);
    }
  }
  EXPECT_EQ(T::get_splits_number(1), (std::vector<T>{{1, 1, 1}}));
  EXPECT_TRUE(T::get_splits_number(0).empty());
}

// input (w, h, c) -> layer of `type` with `params`.
struct OneLayer : GraphBuilder {
  OneLayer(uint32_t w, uint32_t h, uint32_t c, LayerType type, Params params) {
    in = input("in", w, h, c);
    layer = add(type, "layer", params, {in});
  }
  LayerPtr in;
  LayerPtr layer;
};

SplitResult split_conv(const OneLayer& g, const FakeChecker& checker, bool hwpr = false,
                       uint32_t max_w = kMaxW, uint32_t max_h = kMaxH, uint32_t max_f = kMaxF) {
  return split_conv_layer(*g.layer, checker, max_h, max_w, max_f, hw::Type::CNP1, hwpr);
}

NpSpace space(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint32_t c) {
  return NpSpace{x, y, Shape{w, h, c}};
}

TEST(SplitSearch, FitsInOneNp) {
  OneLayer g(16, 16, 8, LayerType::Conv2D, {{"filters", 16}});
  FakeChecker checker;
  auto [components, status] = split_conv(g, checker);
  ASSERT_FALSE(status.failed) << status.message;
  ASSERT_EQ(components.size(), 1u);
  const hw::Component& c = components[0];
  EXPECT_EQ(c.type, hw::Type::CNP1);
  EXPECT_EQ(c.ident, hw::Ident{});
  EXPECT_EQ(c.mem_info, MemoryInfo{});
  ASSERT_TRUE(c.np_part.has_value());
  EXPECT_EQ(c.np_part->start_neuron, 0u);
  EXPECT_EQ(c.np_part->filters, 16u);
  EXPECT_EQ(c.np_part->spatial_partition, space(0, 0, 16, 16, 8));
  EXPECT_EQ(c.np_part->input_region, c.np_part->spatial_partition);
  EXPECT_FALSE(c.np_part->single_buffer);
  ASSERT_EQ(checker.questions.size(), 1u);  // one triple, one question
  const auto& q = checker.questions[0];
  EXPECT_TRUE(q.dual);
  EXPECT_EQ(std::make_tuple(q.height, q.width, q.channels, q.input_bits, q.pksram_shift),
            std::make_tuple(16u, 16u, 8u, uint8_t{8}, 0u));
}

// 32 x 16 x 4 input, kernel 3: the whole needs 512 words, two width chunks (16 + 1 margin
// columns, rows of 20 bytes) 320, two height chunks (8 + 1 rows) 288.
TEST(SplitSearch, BarelyFitsInTwoAndOneWordLessMovesOn) {
  OneLayer g(32, 16, 4, LayerType::Conv2D, {{"filters", 8}});
  FakeChecker checker;
  checker.dual_words = 320;
  auto [by_width, s1] = split_conv(g, checker);
  ASSERT_EQ(by_width.size(), 2u);
  EXPECT_EQ(by_width[0].np_part->spatial_partition, space(0, 0, 16, 16, 4));
  EXPECT_EQ(by_width[0].np_part->input_region, space(0, 0, 17, 16, 4));
  EXPECT_EQ(by_width[1].np_part->spatial_partition, space(16, 0, 16, 16, 4));
  EXPECT_EQ(by_width[1].np_part->input_region, space(15, 0, 17, 16, 4));

  checker.dual_words = 319;
  auto [by_height, s2] = split_conv(g, checker);
  ASSERT_EQ(by_height.size(), 2u);
  EXPECT_EQ(by_height[0].np_part->input_region, space(0, 0, 32, 9, 4));
  EXPECT_EQ(by_height[1].np_part->spatial_partition, space(0, 8, 32, 8, 4));
  EXPECT_EQ(by_height[1].np_part->input_region, space(0, 7, 32, 9, 4));

  checker.dual_words = 287;  // no pair fits: three width chunks of 11, 11, 10
  auto [by_three, s3] = split_conv(g, checker);
  ASSERT_EQ(by_three.size(), 3u);
  EXPECT_EQ(by_three[2].np_part->spatial_partition, space(22, 0, 10, 16, 4));
  EXPECT_EQ(by_three[1].np_part->input_region, space(10, 0, 13, 16, 4));
}

TEST(SplitSearch, SingleBufferOnlyWithoutLoopItself) {
  OneLayer g(32, 16, 4, LayerType::Conv2D, {{"filters", 8}});
  FakeChecker checker;
  checker.dual_words = 320;
  checker.single_words = 1000;
  auto [single, s1] = split_conv(g, checker, false);
  ASSERT_EQ(single.size(), 1u);
  EXPECT_TRUE(single[0].np_part->single_buffer);
  auto [dual, s2] = split_conv(g, checker, true);
  ASSERT_EQ(dual.size(), 2u);
  EXPECT_FALSE(dual[0].np_part->single_buffer);
  for (const auto& q : checker.questions) EXPECT_TRUE(q.dual || q.height == 16);
}

// Depthwise 4 x 16 x 8: cutting the width gains nothing (rows stay 4 bytes), two height chunks
// need 72 words, two channel chunks 64; the whole 128.
TEST(SplitSearch, WidthThenHeightThenFiltersAtEqualCount) {
  OneLayer g(4, 16, 8, LayerType::DepthwiseConv2D, {});
  FakeChecker checker;
  auto split = [&] {
    return split_depthwise_conv_layer(*g.layer, checker, kMaxH, kMaxW, kMaxF, hw::Type::CNP1,
                                      false);
  };
  checker.dual_words = 100;
  auto [rows, s1] = split();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].np_part->spatial_partition, space(0, 8, 4, 8, 8));
  EXPECT_EQ(rows[1].np_part->filters, 8u);

  checker.dual_words = 70;
  auto [filters, s2] = split();
  ASSERT_EQ(filters.size(), 2u);
  // A depthwise layer has no "filters": the channels are the axis being cut.
  EXPECT_EQ(filters[0].np_part->start_neuron, 0u);
  EXPECT_EQ(filters[0].np_part->filters, 4u);
  EXPECT_EQ(filters[1].np_part->start_neuron, 4u);
  EXPECT_EQ(filters[1].np_part->filters, 4u);
  EXPECT_EQ(filters[1].np_part->spatial_partition, space(0, 0, 4, 16, 4));
}

TEST(SplitSearch, TransposedLayers) {
  OneLayer tall(8, 300, 4, LayerType::Conv2DTranspose, {{"filters", 4}});
  FakeChecker checker;
  auto [none, status] =
      split_transposed_conv2d_layer(*tall.layer, checker, kMaxH, kMaxW, kMaxF, false);
  EXPECT_TRUE(status.failed);
  EXPECT_EQ(status.message, "Split by height is not supported.");
  EXPECT_EQ(status.layer, "layer");
  EXPECT_TRUE(none.empty());

  // One row and column before each inner cut, kernel - 3 after it.
  OneLayer wide(64, 8, 4, LayerType::Conv2DTranspose, {{"filters", 4}, {"kernel_size", 4}});
  auto [parts, s2] = split_transposed_conv2d_layer(*wide.layer, checker, kMaxH, 16, kMaxF, false);
  ASSERT_EQ(parts.size(), 4u);
  EXPECT_EQ(parts[0].type, hw::Type::CNP1);
  EXPECT_EQ(parts[0].np_part->input_region, space(0, 0, 17, 8, 4));
  EXPECT_EQ(parts[1].np_part->input_region, space(15, 0, 18, 8, 4));
  EXPECT_EQ(parts[3].np_part->input_region, space(47, 0, 17, 8, 4));

  OneLayer dw(8, 8, 12, LayerType::DepthwiseConv2DTranspose, {});
  auto [dw_parts, s3] = split_transposed_dwconv2d_layer(*dw.layer, checker, kMaxH, kMaxW, 8,
                                                         false);
  ASSERT_EQ(dw_parts.size(), 2u) << s3.message;
  EXPECT_EQ(dw_parts[0].np_part->filters + dw_parts[1].np_part->filters, 12u);
  EXPECT_EQ(dw_parts[1].np_part->spatial_partition.shape[2], dw_parts[1].np_part->filters);
}

TEST(SplitSearch, TnpBFilterChunksAreMultiplesOfFour) {
  OneLayer g(8, 8, 12, LayerType::DepthwiseBufferTempConv, {{"fifo_size", 2}});
  FakeChecker checker;
  auto split = [&](uint32_t max_filters) {
    return split_depthwise_conv_layer(*g.layer, checker, kMaxH, kMaxW, max_filters,
                                      hw::Type::TNP_B, false);
  };
  auto [parts, status] = split(8);
  ASSERT_EQ(parts.size(), 2u) << status.message;
  EXPECT_EQ(parts[0].type, hw::Type::TNP_B);
  EXPECT_EQ(parts[0].np_part->filters, 8u);
  EXPECT_EQ(parts[1].np_part->filters, 4u);
  EXPECT_EQ(parts[0].np_part->input_region, parts[0].np_part->spatial_partition);  // no margins
  ASSERT_FALSE(checker.questions.empty());
  EXPECT_EQ(checker.questions[0].type, hw::Type::TNP_B);
  EXPECT_EQ(checker.questions[0].fifo_size, 2u);
  EXPECT_EQ(checker.questions[0].channels, 8u);

  // Input words for 8 x 8 rows of 8 bytes: 16 per channel; only 4 channels fit.
  checker.dual_words = 64;
  auto [small, s2] = split(8);
  ASSERT_EQ(small.size(), 3u) << s2.message;
  for (const auto& c : small) EXPECT_EQ(c.np_part->filters % 4, 0u);

  // 10 channels can never be cut into multiples of four.
  OneLayer odd(8, 8, 10, LayerType::DepthwiseBufferTempConv, {});
  auto [no, s3] = split_depthwise_conv_layer(*odd.layer, checker, kMaxH, kMaxW, 8,
                                              hw::Type::TNP_B, false);
  EXPECT_TRUE(no.empty());
  EXPECT_EQ(s3.message, "Cannot split to fit inputs in ram.");
}

TEST(SplitSearch, PksramShiftOnlyAfterAnAdd) {
  GraphBuilder g;
  auto in = g.input("in", 16, 16, 8);
  auto c0 = g.conv("c0", {in});
  auto add = g.join("add", {c0});
  auto after_add = g.conv("after_add", {add});
  auto add_second = g.conv("add_second", {c0, add});
  EXPECT_EQ(v2::get_add_pksram_shift(*after_add), 512u);
  EXPECT_EQ(v2::get_add_pksram_shift(*c0), 0u);
  EXPECT_EQ(v2::get_add_pksram_shift(*add_second), 0u);
  EXPECT_EQ(v2::get_add_pksram_shift(*in), 0u);

  FakeChecker checker;
  checker.dual_words = 16 * 16 * 8 / 4 + 511;  // the whole input, but not with the shift
  auto [after, s1] = split_conv_layer(*after_add, checker, kMaxH, kMaxW, kMaxF, hw::Type::CNP1,
                                      false);
  EXPECT_EQ(checker.questions.front().pksram_shift, 512u);
  EXPECT_GT(after.size(), 1u);
  checker.questions.clear();
  auto [plain, s2] = split_conv_layer(*c0, checker, kMaxH, kMaxW, kMaxF, hw::Type::CNP1, false);
  EXPECT_EQ(checker.questions.front().pksram_shift, 0u);
  EXPECT_EQ(plain.size(), 1u);
}

TEST(SplitSearch, WeightsDecideTheFilterChunks) {
  OneLayer g(8, 8, 4, LayerType::Conv2D, {{"filters", 64}});
  FakeChecker checker;
  checker.words_per_filter = 10;
  checker.weight_words = 200;  // 20 filters per NP
  auto [parts, status] = split_conv(g, checker);
  ASSERT_EQ(parts.size(), 4u);
  for (size_t i = 0; i < parts.size(); ++i) {
    EXPECT_EQ(parts[i].np_part->start_neuron, 16 * i);
    EXPECT_EQ(parts[i].np_part->filters, 16u);
  }
  EXPECT_EQ(checker.weight_questions, (std::vector<uint32_t>{64, 32, 22, 16}));

  checker.weight_words = 9;  // not even one filter
  auto [none, s2] = split_conv(g, checker);
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(s2.message, "Cannot split to fit weights in ram.");
}

TEST(SplitSearch, HopelessLayersEndQuickly) {
  OneLayer g(1000, 1000, 64, LayerType::Conv2D, {{"filters", 512}});
  FakeChecker checker;
  checker.dual_words = 0;
  auto [none, status] = split_conv(g, checker);
  EXPECT_TRUE(none.empty());
  EXPECT_TRUE(status.failed);
  EXPECT_EQ(status.message, "Cannot split to fit inputs in ram.");
  EXPECT_EQ(status.layer, "layer");
  EXPECT_LE(checker.questions.size(), 8u);

  // Weights that fit only one filter per NP among a hundred thousand.
  OneLayer many(4, 4, 4, LayerType::Conv2D, {{"filters", 100000}});
  FakeChecker weights;
  weights.words_per_filter = 10;
  weights.weight_words = 10;
  auto [one_each, s2] = split_conv_layer(*many.layer, weights, kMaxH, kMaxW, 100000,
                                         hw::Type::CNP1, false);
  EXPECT_LT(weights.weight_questions.size(), 1000u);
  EXPECT_EQ(weights.weight_questions.back(), 1u);
  EXPECT_EQ(one_each.size(), 100000u);

  // 1022 channels on a TNP-B in chunks of at most 8 that must be multiples of four: no count
  // of filter chunks works, whatever the memory.
  OneLayer odd(16, 16, 1022, LayerType::DepthwiseBufferTempConv, {});
  FakeChecker roomy;
  auto [never, s3] = split_depthwise_conv_layer(*odd.layer, roomy, kMaxH, kMaxW, 8,
                                                 hw::Type::TNP_B, false);
  EXPECT_TRUE(never.empty());
  EXPECT_EQ(s3.message, "Cannot split to fit inputs in ram.");
  EXPECT_LE(roomy.questions.size(), 1u);
}

// The search as first written: every NP count from the product of the axes' chunks upwards,
// every ordered triple of that count in turn, the first that fits.
SplitSearchResult walk_every_count(const CompatibilityChecker& checker,
                                   const SplitSearchInput& in) {
  const uint64_t first = uint64_t{in.width.chunks} * in.height.chunks * in.filters.chunks;
  const uint64_t last = uint64_t{in.width.size} * in.height.size * in.filters.size;
  const uint64_t limit = std::min(last, first + kMaxSplitSearchCounts);
  for (uint64_t n = first; first != 0 && n <= limit; ++n) {
    for (const auto& counts : SplitsNumChunks::get_splits_number(static_cast<uint32_t>(n))) {
      const SplitSearchResult result = try_split_candidate(checker, in, counts);
      if (result.found) return result;
    }
  }
  return {};
}

TEST(SplitSearch, SameChoiceAsWalkingEveryCount) {
  std::mt19937 rng(7);
  auto upto = [&rng](uint32_t low, uint32_t high) {
    return std::uniform_int_distribution<uint32_t>(low, high)(rng);
  };
  int found = 0;
  for (int i = 0; i < 700; ++i) {
    SplitSearchInput in;
    const uint32_t margin = upto(0, 3);
    in.params = NpSplitParams{margin, margin, margin, upto(0, 3), 0, 0, 0, 0};
    in.width = Split(upto(1, 16), upto(1, 16), upto(0, 3));
    in.height = Split(upto(1, 16), upto(1, 16), upto(0, 3));
    in.filters = Split(upto(1, 9), upto(1, 9), upto(0, 1) ? 4 : 1);
    if (in.width.chunks == 0 || in.height.chunks == 0 || in.filters.chunks == 0) continue;
    in.channels = upto(1, 16);
    in.input_bits = static_cast<uint8_t>(upto(0, 1) ? 8 : 4);
    in.channels_follow_filters = upto(0, 1) == 1;
    in.targets_tnp_b = upto(0, 1) == 1;
    in.height_split_allowed = upto(0, 3) != 0;
    in.hwpr_loopitself = upto(0, 1) == 1;
    in.pksram_shift = upto(0, 3) == 0 ? 16 : 0;
    in.pool_pad_left = upto(0, 1);
    in.pool_pad_top = upto(0, 1);
    if (upto(0, 1)) {  // pooling windows that may straddle the cuts
      const int64_t pool = upto(1, 3), stride = upto(1, 3);
      in.width_geometry = ConvAxis{in.width.size, 2 * margin + 1, 1, margin, margin, pool,
                                   stride, in.pool_pad_left, 0};
      in.height_geometry = ConvAxis{in.height.size, 2 * margin + 1, 1, margin, margin, pool,
                                    stride, in.pool_pad_top, 0};
    }
    FakeChecker checker;
    const uint64_t whole = FakeChecker::words_needed(in.height.size, in.width.size,
                                                     in.channels_follow_filters ? in.filters.size
                                                                                : in.channels,
                                                     in.input_bits);
    checker.dual_words = whole / upto(1, 20) + upto(0, 8);
    checker.single_words = upto(0, 1) ? checker.dual_words * 2 : 0;
    const SplitSearchResult expected = walk_every_count(checker, in);
    const SplitSearchResult actual = search_splits(checker, in);
    const uint64_t first = uint64_t{in.width.chunks} * in.height.chunks * in.filters.chunks;
    found += expected.found && uint64_t{expected.width.chunks} * expected.height.chunks *
                                       expected.filters.chunks >
                                   first;
    ASSERT_EQ(actual.found, expected.found) << "case " << i;
    EXPECT_EQ(actual.width, expected.width) << "case " << i;
    EXPECT_EQ(actual.height, expected.height) << "case " << i;
    EXPECT_EQ(actual.filters, expected.filters) << "case " << i;
    EXPECT_EQ(actual.buffer_mode, expected.buffer_mode) << "case " << i;
  }
  EXPECT_GT(found, 80);  // many cases reach past the first count
}

TEST(SplitSearch, AxisRefusals) {
  OneLayer g(16, 16, 4, LayerType::Conv2D, {{"filters", 8}});
  FakeChecker checker;
  EXPECT_EQ(split_conv(g, checker, false, kMaxW, 0).second.message, "Cannot split by height.");
  EXPECT_EQ(split_conv(g, checker, false, 0).second.message, "Cannot split by width.");
  EXPECT_EQ(split_conv(g, checker, false, kMaxW, kMaxH, 0).second.message,
            "Cannot split by neurons.");
  // Max pooling 2 cannot be cut into chunks of one column.
  OneLayer pooled(16, 16, 4, LayerType::Conv2D,
                  {{"filters", 8}, {"pool_type", 1}, {"pool_size", 2}});
  auto refused = split_conv(pooled, checker, false, 1);
  EXPECT_EQ(refused.second.message, "Cannot split by width.");
  EXPECT_TRUE(refused.first.empty());
  EXPECT_TRUE(refused.second.failed);
}

TEST(SplitSearch, MaxPoolingKeepsChunksOnPoolingWindows) {
  OneLayer g(33, 30, 4, LayerType::Conv2D, {{"filters", 8}, {"pool_type", 1}, {"pool_size", 2}});
  FakeChecker checker;
  auto [parts, status] = split_conv(g, checker, false, 16, 8);
  ASSERT_FALSE(parts.empty()) << status.message;
  for (const auto& c : parts) {
    const NpSpace& own = c.np_part->spatial_partition;
    if (own.x + own.shape[0] != 33) {
      EXPECT_EQ(own.shape[0] % 2, 0u);
    }
    if (own.y + own.shape[1] != 30) {
      EXPECT_EQ(own.shape[1] % 2, 0u);
    }
  }
}

// Average pooling 2/2 with the odd column padded on the left: the first chunk is one column
// short so that the next one starts on a window. Three chunks of 11 (10 + 11 + 11) would leave
// the last column of the 33 uncovered.
TEST(SplitSearch, ShortenedFirstChunkStillCoversTheInput) {
  OneLayer g(33, 4, 4, LayerType::Conv2D,
             {{"filters", 8}, {"pool_type", 2}, {"pool_size", 2}, {"pool_padding", 2}});
  ASSERT_EQ(g.layer->pool_calculated_params().padding.left, 1u);
  FakeChecker checker;
  auto [parts, status] = split_conv(g, checker, false, 11);
  ASSERT_FALSE(status.failed) << status.message;
  std::vector<uint32_t> widths;
  uint32_t next = 0;
  for (const auto& c : parts) {
    EXPECT_EQ(c.np_part->spatial_partition.x, next);
    next += c.np_part->spatial_partition.shape[0];
    widths.push_back(c.np_part->spatial_partition.shape[0]);
  }
  EXPECT_EQ(next, 33u);
  EXPECT_EQ(widths, (std::vector<uint32_t>{8, 9, 9, 7}));
}

// ---- property: the pieces tile the input, the outputs tile the output, and each piece reads
// all that its outputs need ----

struct Case {
  uint32_t w, h, c, kernel, stride, padding, pool_type, pool_size, pool_stride, pool_padding;
  uint32_t filters, max_w, max_h, max_f;
  bool depthwise;
  uint64_t budget_divisor;
};

std::string describe(const Case& k) {
  return "w=" + std::to_string(k.w) + " h=" + std::to_string(k.h) + " c=" + std::to_string(k.c) +
         " k=" + std::to_string(k.kernel) + " s=" + std::to_string(k.stride) +
         " pad=" + std::to_string(k.padding) + " pool=" + std::to_string(k.pool_type) + "/" +
         std::to_string(k.pool_size) + "/" + std::to_string(k.pool_stride) +
         " ppad=" + std::to_string(k.pool_padding) + " f=" + std::to_string(k.filters) +
         " max=" + std::to_string(k.max_w) + "/" + std::to_string(k.max_h) + "/" +
         std::to_string(k.max_f) + (k.depthwise ? " dw" : "") +
         " div=" + std::to_string(k.budget_divisor);
}

// Checks one column (or row) of NPs: contiguous pooled output ranges adding up to `total`.
void expect_contiguous(std::vector<std::pair<uint32_t, uint32_t>> ranges, uint32_t total,
                       const std::string& what) {
  std::sort(ranges.begin(), ranges.end());
  uint32_t next = 0;
  for (const auto& [first, count] : ranges) {
    if (count == 0) continue;
    EXPECT_EQ(first, next) << what;
    next = first + count;
  }
  EXPECT_EQ(next, total) << what;
}

// Pixels [first, end) of one axis.
struct Range {
  int64_t first, end;
};

// The input pixels that pooled outputs [out, out + count) read, worked out from the windows:
// pooled output o pools convolution outputs o * pool_stride - pool_pad ... + pool_size - 1,
// convolution output c reads input c * stride - pad ... + kernel - 1.
Range needed_input(uint32_t out, uint32_t count, int64_t pool_size, int64_t pool_stride,
                   int64_t pool_pad, int64_t conv_outputs, int64_t kernel, int64_t stride,
                   int64_t pad, int64_t input) {
  if (count == 0) return {0, 0};
  const int64_t c0 = std::max<int64_t>(0, out * pool_stride - pool_pad);
  const int64_t c1 = std::min<int64_t>(conv_outputs - 1,
                                       (out + count - 1) * pool_stride - pool_pad + pool_size - 1);
  if (c1 < c0) return {0, 0};
  return {std::max<int64_t>(0, c0 * stride - pad),
          std::min<int64_t>(input, c1 * stride - pad + kernel)};
}

void expect_within(Range needed, int64_t first, int64_t end, const std::string& what) {
  if (needed.end <= needed.first) return;
  EXPECT_LE(first, needed.first) << what;
  EXPECT_GE(end, needed.end) << what;
}

void check_case(const Case& k) {
  const std::string what = describe(k);
  Params params{{"kernel_size", static_cast<int32_t>(k.kernel)},
                {"kernel_stride", static_cast<int32_t>(k.stride)},
                {"padding", static_cast<int32_t>(k.padding)},
                {"pool_type", static_cast<int32_t>(k.pool_type)},
                {"pool_size", static_cast<int32_t>(k.pool_size)},
                {"pool_stride", static_cast<int32_t>(k.pool_stride)},
                {"pool_padding", static_cast<int32_t>(k.pool_padding)}};
  if (!k.depthwise) params["filters"] = static_cast<int32_t>(k.filters);
  std::unique_ptr<OneLayer> g;
  try {
    g = std::make_unique<OneLayer>(k.w, k.h, k.c,
                                   k.depthwise ? LayerType::DepthwiseConv2D : LayerType::Conv2D,
                                   params);
  } catch (const std::invalid_argument&) {
    return;  // the engine refuses the shape (input smaller than the kernel or the pooling)
  }
  FakeChecker checker;
  checker.dual_words = FakeChecker::words_needed(k.h, k.w, k.c, 8) / k.budget_divisor + 64;
  const auto [parts, status] =
      k.depthwise ? split_depthwise_conv_layer(*g->layer, checker, k.max_h, k.max_w, k.max_f,
                                               hw::Type::CNP1, false)
                  : split_conv_layer(*g->layer, checker, k.max_h, k.max_w, k.max_f,
                                     hw::Type::CNP1, false);
  if (status.failed) {
    EXPECT_TRUE(parts.empty()) << what;
    return;
  }
  ASSERT_FALSE(parts.empty()) << what;
  const uint32_t margin = k.kernel / 2;
  const uint32_t total_filters = k.depthwise ? k.c : k.filters;
  const ConvCalculatedParams& conv = g->layer->conv_calculated_params();
  const PoolingCalculatedParams& pool = g->layer->pool_calculated_params();
  const unsigned pool_size = pool.pooling ? k.pool_size : 1;
  const unsigned char pool_stride = pool.pooling ? pool.stride_y : 1;
  // Windows that never straddle a cut: the regions are the chunks and kernel margins alone.
  const bool windows_on_cuts = !pool.pooling || (k.pool_type == 1 && pool_size == pool_stride &&
                                                 k.stride == 1 && k.padding == 1);

  std::map<uint32_t, uint32_t> columns, rows;  // start -> length
  std::map<std::pair<uint32_t, uint32_t>, uint64_t> filters_per_piece;
  std::map<uint32_t, std::vector<std::pair<uint32_t, uint32_t>>> by_column, by_row;
  for (const auto& c : parts) {
    const NpSpace& own = c.np_part->spatial_partition;
    const NpSpace& in = c.np_part->input_region;
    columns[own.x] = own.shape[0];
    rows[own.y] = own.shape[1];
    filters_per_piece[{own.x, own.y}] += c.np_part->filters;
    EXPECT_LE(own.shape[0], k.max_w) << what;
    EXPECT_LE(own.shape[1], k.max_h) << what;
    EXPECT_LE(c.np_part->filters, k.max_f) << what;
    EXPECT_EQ(own.shape[2], k.depthwise ? c.np_part->filters : k.c) << what;
    EXPECT_EQ(in.shape[2], own.shape[2]) << what;
    // The memory question covered the region as built, grown or not.
    EXPECT_LE(FakeChecker::words_needed(in.shape[1], in.shape[0], in.shape[2], 8),
              checker.dual_words)
        << what;
    // The region holds the own region and the kernel margins at inner cuts, within the input.
    const uint32_t left = own.x == 0 ? 0 : std::min(margin, own.x);
    const uint32_t right_end = own.x + own.shape[0];
    const uint32_t right = right_end == k.w ? 0 : std::min(margin, k.w - right_end);
    const uint32_t top = own.y == 0 ? 0 : std::min(margin, own.y);
    const uint32_t bottom_end = own.y + own.shape[1];
    const uint32_t bottom = bottom_end == k.h ? 0 : std::min(margin, k.h - bottom_end);
    EXPECT_LE(in.x, own.x - left) << what;
    EXPECT_GE(in.x + in.shape[0], right_end + right) << what;
    EXPECT_LE(in.x + in.shape[0], k.w) << what;
    EXPECT_LE(in.y, own.y - top) << what;
    EXPECT_GE(in.y + in.shape[1], bottom_end + bottom) << what;
    EXPECT_LE(in.y + in.shape[1], k.h) << what;
    if (windows_on_cuts) {  // exactly that, as the register images have always had it
      EXPECT_EQ(in.x, own.x - left) << what;
      EXPECT_EQ(in.shape[0], left + own.shape[0] + right) << what;
      EXPECT_EQ(in.y, own.y - top) << what;
      EXPECT_EQ(in.shape[1], top + own.shape[1] + bottom) << what;
    }
    // The outputs the NP is programmed to make, and every input pixel they read.
    const NpSplit s(g->layer->input_dimensions().front(), own, in, static_cast<int>(k.kernel),
                    static_cast<int>(k.stride), conv.padding, pool_size, pool_stride,
                    pool.padding);
    expect_within(needed_input(s.out_x, s.out_width, pool_size, pool_stride, pool.padding.left,
                               conv.output_width, k.kernel, k.stride, conv.padding.left, k.w),
                  in.x, in.x + in.shape[0], what + " columns read");
    expect_within(needed_input(s.out_y, s.out_height, pool_size, pool_stride, pool.padding.top,
                               conv.output_height, k.kernel, k.stride, conv.padding.top, k.h),
                  in.y, in.y + in.shape[1], what + " rows read");
    if (c.np_part->start_neuron == 0) {
      by_column[own.x].emplace_back(s.out_y, s.out_height);
      by_row[own.y].emplace_back(s.out_x, s.out_width);
    }
  }
  // Columns and rows tile the input; every piece carries all filters once.
  uint32_t next = 0;
  for (const auto& [x, w] : columns) {
    EXPECT_EQ(x, next) << what;
    next = x + w;
  }
  EXPECT_EQ(next, k.w) << what;
  next = 0;
  for (const auto& [y, h] : rows) {
    EXPECT_EQ(y, next) << what;
    next = y + h;
  }
  EXPECT_EQ(next, k.h) << what;
  EXPECT_EQ(filters_per_piece.size(), columns.size() * rows.size()) << what;
  for (const auto& [piece, sum] : filters_per_piece) EXPECT_EQ(sum, total_filters) << what;
  // Output ranges tile the pooled output: per column of NPs the rows, per row the columns.
  for (const auto& [col, ranges] : by_column)
    expect_contiguous(ranges, pool.height, what + " rows");
  for (const auto& [row, ranges] : by_row) expect_contiguous(ranges, pool.width, what + " cols");
}

TEST(SplitProperty, PiecesTileTheInputAndOutputsLineUp) {
  // Max pooling 2 with stride 1, then 1 with stride 2, over a 40 x 12 Conv2D cut by width onto
  // five NPs: pooled columns were left out, then made twice.
  check_case({40, 12, 4, 3, 1, 1, 1, 2, 1, 0, 8, 8, 256, 512, false, 1});
  check_case({40, 12, 4, 3, 1, 1, 1, 1, 2, 0, 8, 8, 256, 512, false, 1});
  check_case({40, 12, 4, 3, 1, 1, 1, 2, 1, 0, 8, 256, 4, 512, false, 1});

  std::mt19937 rng(20240611);
  auto pick = [&rng](std::initializer_list<uint32_t> values) {
    std::vector<uint32_t> v(values);
    return v[std::uniform_int_distribution<size_t>(0, v.size() - 1)(rng)];
  };
  int checked = 0;
  for (int i = 0; i < 4000; ++i) {
    Case k;
    k.w = pick({3, 5, 8, 17, 33, 40, 64, 70});
    k.h = pick({2, 4, 9, 12, 19, 40, 64});
    k.c = pick({4, 8, 12});
    k.kernel = pick({1, 3, 5, 7});
    k.stride = pick({1, 2});
    k.padding = k.stride == 2 ? pick({0, 1, 2}) : pick({0, 1});
    // Mostly pooling as the v2 CNPs run it (after a stride-1 Same convolution), sometimes
    // after any convolution; pooling strides equal to the size or not.
    const bool cnp_pooling = k.stride == 1 && k.padding == 1;
    k.pool_type = cnp_pooling || pick({0, 0, 0, 1}) ? pick({0, 1, 1, 2}) : 0;
    k.pool_size = k.pool_type ? pick({1, 2, 2, 3}) : 1;
    k.pool_stride = k.pool_type ? pick({k.pool_size, k.pool_size, 1, 2, 3}) : 1;
    k.pool_padding = k.pool_type ? pick({0, 1, 2}) : 0;
    k.filters = pick({3, 16, 40});
    k.max_w = pick({4, 6, 8, 11, 16, 64});
    k.max_h = pick({3, 4, 8, 256});
    k.max_f = pick({4, 16, 512});
    k.depthwise = pick({0, 1}) == 1;
    k.budget_divisor = pick({1, 2, 3, 7});
    check_case(k);
    ++checked;
    if (::testing::Test::HasFailure()) {
      ADD_FAILURE() << "first failing case: " << describe(k);
      break;
    }
  }
  EXPECT_EQ(checked, 4000);
}

}  // namespace
}  // namespace qalto
