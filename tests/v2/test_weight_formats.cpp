// CNP weight formats: every weight must land at the position the CNP reads it from, with no
// stray bit, in a vector of exactly the advertised size. Expected positions are computed here
// from the per-kernel closed forms, independently of the formatter's run/gap walk.

#include <gtest/gtest.h>

#include <bitset>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "qalto/dma.hpp"
#include "qalto/tensor.hpp"
#include "v2/weight_formats.hpp"

namespace qalto::v2 {
namespace {

// (bit position in the vector, bit of the weight value stored there)
using BitPlaces = std::vector<std::pair<uint64_t, uint32_t>>;

std::shared_ptr<Dense> make_weights(uint32_t k, uint32_t c, uint32_t f, TensorType type =
                                                                            TensorType::int8) {
  return Dense::create(type, Shape{k, k, c, f});
}

// A non-zero value per weight, distinct for up to 254 weights (8-bit) or 15 (4-bit).
int8_t pattern_value(size_t index, bool four_bit) {
  if (four_bit) {
    const int v = static_cast<int>(index % 15) - 8;  // -8..6
    return static_cast<int8_t>(v >= 0 ? v + 1 : v);   // skip 0
  }
  const int v = static_cast<int>(index % 254) - 127;  // -127..126
  return static_cast<int8_t>(v >= 0 ? v + 1 : v);
}

void fill_pattern(Dense& w, bool four_bit) {
  int8_t* data = w.data<int8_t>();
  for (size_t i = 0; i < w.size(); ++i) data[i] = pattern_value(i, four_bit);
}

bool bit_at(const std::vector<uint32_t>& v, uint64_t pos) {
  return ((v.at(pos / 32) >> (pos % 32)) & 1) != 0;
}

size_t popcount(const std::vector<uint32_t>& v) {
  size_t n = 0;
  for (uint32_t word : v) n += std::bitset<32>(word).count();
  return n;
}

// Places of the 8 bits of a byte at byte position `byte`.
BitPlaces byte_places(uint64_t byte) {
  BitPlaces places;
  for (uint32_t b = 0; b < 8; ++b) places.push_back({byte * 8 + b, b});
  return places;
}

// Places of a nibble starting at bit `bit` of lane `lane` (4-word form, lanes of `lane_bits`
// bits, a nibble overflowing a lane continuing in the next one).
BitPlaces nibble_places(uint64_t base_word, uint64_t lane, uint32_t bit, uint32_t lane_bits) {
  BitPlaces places;
  for (uint32_t t = 0; t < 4; ++t) {
    uint64_t l = lane;
    uint32_t b = bit + t;
    if (b >= lane_bits) {
      ++l;
      b -= lane_bits;
    }
    places.push_back({(base_word + l * 2) * 32 + b, t});
  }
  return places;
}

// Checks that every weight of the tensor in [first, first+count) along dimension 3 is found at
// its places and that the vector has no other set bit.
void expect_layout(const Dense& w, const std::vector<uint32_t>& out, uint32_t first, uint32_t count,
                   bool four_bit,
                   const std::function<BitPlaces(uint32_t x, uint32_t y, uint32_t c, uint32_t i)>&
                       places_of) {
  const Shape& d = w.dimensions();
  size_t expected_bits = 0;
  for (uint32_t i = 0; i < count; ++i) {
    for (uint32_t c = 0; c < d[2]; ++c) {
      for (uint32_t y = 0; y < d[1]; ++y) {
        for (uint32_t x = 0; x < d[0]; ++x) {
          const auto value = static_cast<uint8_t>(w.get<int8_t>({x, y, c, first + i}));
          const uint8_t stored = four_bit ? (value & 0xF) : value;
          expected_bits += std::bitset<8>(stored).count();
          for (const auto& [pos, vbit] : places_of(x, y, c, i)) {
            ASSERT_EQ(bit_at(out, pos), ((stored >> vbit) & 1) != 0)
                << "weight (" << x << ", " << y << ", " << c << ", " << first + i << ") bit "
                << vbit << " expected at vector bit " << pos;
          }
        }
      }
    }
  }
  EXPECT_EQ(popcount(out), expected_bits) << "stray bits in the formatted vector";
}

// ---- 8-bit Conv2D ----

BitPlaces conv8_places(uint32_t k, uint32_t count, uint32_t x, uint32_t y, uint32_t c,
                       uint32_t i) {
  const uint32_t group_filters = k == 1 ? 24 : 8;
  const uint64_t group_words32[] = {0, 6, 0, 18, 36, 60, 0, 224};
  const uint64_t container_words32 = conv2d_ch_cont_100b_size(k, count, 8) * (k == 7 ? 4 : 3);
  const uint64_t g = i / group_filters;
  const uint64_t j = i % group_filters;
  const uint64_t base = (c * container_words32 + g * group_words32[k]) * 4;
  switch (k) {
    case 1: return byte_places(base + j);
    case 3: return byte_places(base + 24 * y + 3 * j + x);
    case 4: return byte_places(base + 36 * y + 4 * j + x);
    case 5: return byte_places(base + 48 * y + 6 * j + x);
    default: {
      const uint64_t word = base + 128 * y + 16 * j;  // one 16-byte 100-bit word per filter row
      if (x < 6) return byte_places(word + x);
      // x6: two low bits end lane 0 (byte 6), six high bits start lane 1 (byte 8)
      BitPlaces places{{(word + 6) * 8, 0}, {(word + 6) * 8 + 1, 1}};
      for (uint32_t b = 2; b < 8; ++b) places.push_back({(word + 8) * 8 + b - 2, b});
      return places;
    }
  }
}

TEST(Conv2dWeights8bit, EveryWeightAtItsPlaceForEachKernel) {
  for (uint32_t k : {1u, 3u, 4u, 5u, 7u}) {
    for (auto [first, count] : {std::pair{0u, 1u}, std::pair{2u, 9u}, std::pair{0u, 26u}}) {
      SCOPED_TRACE("kernel " + std::to_string(k) + " first " + std::to_string(first) + " count " +
                   std::to_string(count));
      auto w = make_weights(k, 3, 28);
      fill_pattern(*w, false);
      const auto out = format_conv2d_cnp_weights(*w, first, count, 8);
      EXPECT_EQ(out.size(), conv2d_cnp_formatted_weight_32b_size(k, count, 3, 8));
      expect_layout(*w, out, first, count, false,
                    [&](uint32_t x, uint32_t y, uint32_t c, uint32_t i) {
                      return conv8_places(k, count, x, y, c, i);
                    });
    }
  }
}

TEST(Conv2dWeights8bit, GoldenKernel3) {
  auto w = make_weights(3, 1, 1);
  for (uint32_t y = 0; y < 3; ++y)
    for (uint32_t x = 0; x < 3; ++x) w->set<int8_t>({x, y, 0, 0}, static_cast<int8_t>(1 + x + 3 * y));
  std::vector<uint32_t> expected(18, 0);
  expected[0] = 0x00030201;   // row 0 at byte 0
  expected[6] = 0x00060504;   // row 1 at byte 24
  expected[12] = 0x00090807;  // row 2 at byte 48
  EXPECT_EQ(format_conv2d_cnp_weights(*w, 0, 1, 8), expected);
}

TEST(Conv2dWeights8bit, GoldenKernel7SplitsTheSeventhWeightAcrossLanes) {
  auto w = make_weights(7, 1, 1);
  const int8_t row[7] = {1, 2, 3, 4, 5, 6, -1};
  for (uint32_t x = 0; x < 7; ++x) w->set<int8_t>({x, 0, 0, 0}, row[x]);
  std::vector<uint32_t> expected(224, 0);
  expected[0] = 0x04030201;
  expected[1] = 0x00030605;  // bytes 4, 5, then the low two bits of 0xFF in byte 6
  expected[2] = 0x0000003F;  // the high six bits open lane 1
  EXPECT_EQ(format_conv2d_cnp_weights(*w, 0, 1, 8), expected);
}

TEST(Conv2dWeights8bit, ContainerSizesAndShortGroups) {
  EXPECT_EQ(conv2d_ch_cont_100b_size(1, 0, 8), 0u);
  EXPECT_EQ(conv2d_ch_cont_100b_size(1, 1, 8), 2u);
  EXPECT_EQ(conv2d_ch_cont_100b_size(1, 24, 8), 2u);
  EXPECT_EQ(conv2d_ch_cont_100b_size(1, 25, 8), 4u);
  EXPECT_EQ(conv2d_ch_cont_100b_size(1, 48, 8), 4u);
  EXPECT_EQ(conv2d_ch_cont_100b_size(3, 5, 8), 6u);   // a short group takes a full group
  EXPECT_EQ(conv2d_ch_cont_100b_size(4, 9, 8), 24u);
  EXPECT_EQ(conv2d_ch_cont_100b_size(5, 8, 8), 20u);
  EXPECT_EQ(conv2d_ch_cont_100b_size(7, 8, 8), 56u);
  EXPECT_EQ(conv2d_cnp_formatted_weight_100b_size(3, 16, 5, 8), 60u);
  EXPECT_EQ(conv2d_cnp_formatted_weight_32b_size(7, 8, 2, 8), 448u);
  EXPECT_THROW(conv2d_ch_cont_100b_size(2, 8, 8), std::runtime_error);

  auto w = make_weights(3, 1, 8);
  EXPECT_TRUE(format_conv2d_cnp_weights(*w, 3, 0, 8).empty());
}

TEST(Conv2dWeights8bit, LongVectorsArePaddedForTheExtendedHeader) {
  // 18 words per channel: 227 channels need 4086 words (plain header), 228 need 4104 (XL).
  EXPECT_EQ(conv2d_cnp_formatted_weight_32b_size(3, 8, 227, 8), 4086u);
  EXPECT_EQ(conv2d_cnp_formatted_weight_32b_size(3, 8, 228, 8), 4112u);
  auto w = make_weights(3, 228, 8);
  fill_pattern(*w, false);
  const auto out = format_conv2d_cnp_weights(*w, 0, 8, 8);
  ASSERT_EQ(out.size(), 4112u);
  for (size_t i = 4104; i < out.size(); ++i) EXPECT_EQ(out[i], 0u);
}

// ---- 4-bit Conv2D ----

BitPlaces conv4_places(uint32_t k, uint32_t count, uint32_t x, uint32_t y, uint32_t c,
                       uint32_t i) {
  const uint64_t container = uint64_t{c} * 4 * conv2d_4bit_ch_cont_100b_size(k, count);
  if (k == 1) return nibble_places(container, i / 12, (i % 12) * 4, 48);
  const uint64_t group = container + (i / 8) * 4 * conv2d_4bit_ch_cont_100b_size(k, 8);
  const uint32_t p = i % 8;
  if (k == 3) {  // one row of 8 filters per 100-bit word, 12 nibbles per 48-bit lane
    const uint32_t n = p * 3 + x;
    return nibble_places(group + 4 * y, n / 12, (n % 12) * 4, 48);
  }
  if (k == 5) {  // one unbroken stream over 50-bit lanes
    const uint64_t bit = (uint64_t{y} * 40 + p * 5 + x) * 4;
    return nibble_places(group, bit / 50, bit % 50, 50);
  }
  // k == 7: three filter rows per 100-bit word, three words per kernel row
  const uint64_t word = group + 4 * (uint64_t{y} * 3 + p / 3);
  const uint32_t bit = ((p % 3) * 7 + x) * 4;
  return nibble_places(word, bit / 50, bit % 50, 50);
}

TEST(Conv2dWeights4bit, EveryWeightAtItsPlaceForEachKernel) {
  for (uint32_t k : {1u, 3u, 5u, 7u}) {
    for (auto [first, count] : {std::pair{0u, 1u}, std::pair{1u, 11u}, std::pair{0u, 26u}}) {
      SCOPED_TRACE("kernel " + std::to_string(k) + " first " + std::to_string(first) + " count " +
                   std::to_string(count));
      auto w = make_weights(k, 2, 27);
      fill_pattern(*w, true);
      const auto out = format_conv2d_4bit_weights(*w, first, count);
      EXPECT_EQ(out.size(), conv2d_cnp_formatted_weight_32b_size(k, count, 2, 4));
      expect_layout(*w, out, first, count, true,
                    [&](uint32_t x, uint32_t y, uint32_t c, uint32_t i) {
                      return conv4_places(k, count, x, y, c, i);
                    });
    }
  }
}

TEST(Conv2dWeights4bit, GoldenKernel3) {
  auto w = make_weights(3, 1, 1);
  const int8_t rows[3][3] = {{1, 2, 3}, {4, 5, 6}, {7, -1, -8}};
  for (uint32_t y = 0; y < 3; ++y)
    for (uint32_t x = 0; x < 3; ++x) w->set<int8_t>({x, y, 0, 0}, rows[y][x]);
  std::vector<uint32_t> expected(12, 0);
  expected[0] = 0x321;  // each kernel row opens its own 100-bit word
  expected[4] = 0x654;
  expected[8] = 0x8F7;
  EXPECT_EQ(format_conv2d_cnp_weights(*w, 0, 1, 4), expected);
}

TEST(Conv2dWeights4bit, GoldenKernel5NibbleCrossesTheLane) {
  auto w = make_weights(5, 1, 3);
  w->set<int8_t>({2, 0, 0, 2}, -1);  // nibble 12 of the stream: bits 48-51
  std::vector<uint32_t> expected(32, 0);
  expected[1] = 0x00030000;  // lane 0 bits 48-49
  expected[2] = 0x00000003;  // lane 1 bits 0-1
  EXPECT_EQ(format_conv2d_4bit_weights(*w, 0, 3), expected);
}

TEST(Conv2dWeights4bit, SizesNeverPaddedAndKernel4Refused) {
  EXPECT_EQ(conv2d_4bit_ch_cont_100b_size(1, 24), 1u);
  EXPECT_EQ(conv2d_4bit_ch_cont_100b_size(1, 25), 2u);
  EXPECT_EQ(conv2d_4bit_ch_cont_100b_size(3, 9), 6u);
  EXPECT_EQ(conv2d_4bit_ch_cont_100b_size(5, 9), 16u);
  EXPECT_EQ(conv2d_4bit_ch_cont_100b_size(7, 1), 21u);
  EXPECT_EQ(conv2d_cnp_formatted_4bit_weight_100b_size(3, 8, 401), 1203u);
  EXPECT_EQ(conv2d_cnp_formatted_4bit_weight_32b_size(3, 8, 401), 4812u);  // above 4095, kept
  EXPECT_EQ(conv2d_cnp_formatted_weight_32b_size(3, 8, 401, 2), 4812u);    // bits 2 -> 4-bit
  for (auto call : {std::function<void()>([] { conv2d_4bit_ch_cont_100b_size(4, 8); }),
                    std::function<void()>([] { conv2d_ch_cont_100b_size(4, 8, 4); }),
                    std::function<void()>([] {
                      format_conv2d_4bit_weights(*make_weights(4, 1, 8), 0, 8);
                    })}) {
    try {
      call();
      ADD_FAILURE() << "kernel 4 with 4-bit weights accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Unsupported kernel size.");
    }
  }
}

TEST(Conv2dWeights4bit, OutOfRangeWeightPanics) {
  auto w = make_weights(3, 1, 2);
  w->set<int8_t>({1, 1, 0, 1}, 8);
  try {
    format_conv2d_4bit_weights(*w, 0, 2);
    FAIL() << "8 accepted as a 4-bit weight";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "8 cannot fit in a 4-bit signed integer");
  }
  // The same weight outside the formatted filters is not read.
  EXPECT_NO_THROW(format_conv2d_4bit_weights(*w, 0, 1));
}

// ---- 8-bit depthwise ----

BitPlaces dwc8_places(uint32_t k, uint32_t x, uint32_t y, uint32_t i) {
  const uint64_t channel_bytes[] = {0, 0, 0, 12, 24, 30, 0, 84};
  const uint64_t base = i * channel_bytes[k];
  switch (k) {
    case 3: return byte_places(base + 3 * y + x);
    case 4:
    case 5: return byte_places(base + 6 * y + x);
    default: return byte_places(base + 12 * y + x + (x >= 4 ? 2 : 0));
  }
}

TEST(DepthwiseWeights8bit, EveryWeightAtItsPlaceForEachKernel) {
  for (uint32_t k : {3u, 4u, 5u, 7u}) {
    for (auto [first, count] : {std::pair{0u, 1u}, std::pair{3u, 5u}}) {
      SCOPED_TRACE("kernel " + std::to_string(k) + " first " + std::to_string(first));
      auto w = make_weights(k, 1, 9);
      fill_pattern(*w, false);
      const auto out = format_depthwise_conv_cnp_weights(*w, first, count, 8);
      EXPECT_EQ(out.size(), dwc_cnp_formatted_weight_32b_size(k, count, 8));
      expect_layout(*w, out, first, count, false,
                    [&](uint32_t x, uint32_t y, uint32_t, uint32_t i) {
                      return dwc8_places(k, x, y, i);
                    });
    }
  }
}

TEST(DepthwiseWeights8bit, GoldenKernel7) {
  auto w = make_weights(7, 1, 2);
  for (uint32_t x = 0; x < 7; ++x) w->set<int8_t>({x, 0, 0, 1}, static_cast<int8_t>(x + 1));
  std::vector<uint32_t> expected(21, 0);
  expected[0] = 0x04030201;  // x0..x3 in the first half-word
  expected[1] = 0x06050000;  // x4, x5 from byte 6
  expected[2] = 0x00000007;
  EXPECT_EQ(format_depthwise_conv_cnp_weights(*w, 1, 1, 8), expected);
}

TEST(DepthwiseWeights8bit, GoldenKernel5ChannelsShareWords) {
  auto w = make_weights(5, 1, 2);
  w->set<int8_t>({0, 0, 0, 0}, 0x21);
  w->set<int8_t>({4, 4, 0, 0}, 0x22);
  w->set<int8_t>({0, 0, 0, 1}, 0x11);
  std::vector<uint32_t> expected(18, 0);
  expected[0] = 0x21;
  expected[7] = 0x00110022;  // byte 28 of channel 0; byte 30 opens channel 1
  EXPECT_EQ(format_depthwise_conv_cnp_weights(*w, 0, 2, 8), expected);
}

TEST(DepthwiseWeights8bit, SizesAndRefusedKernels) {
  EXPECT_EQ(dwc_ch_cont_100b_size(3, 10, 8), 10u);
  EXPECT_EQ(dwc_ch_cont_100b_size(4, 10, 8), 20u);
  EXPECT_EQ(dwc_ch_cont_100b_size(5, 10, 8), 30u);
  EXPECT_EQ(dwc_ch_cont_100b_size(7, 10, 8), 70u);
  EXPECT_EQ(dwc_cnp_formatted_weight_32b_size(3, 1365, 8), 4095u);
  EXPECT_EQ(dwc_cnp_formatted_weight_32b_size(3, 1366, 8), 4112u);  // 4098 -> XL, padded
  try {
    format_depthwise_conv_cnp_weights(*make_weights(1, 1, 4), 0, 4, 8);
    FAIL() << "depthwise kernel 1 accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "ch_cont_size: Unexpected kernel size.");
  }
}

// ---- 4-bit depthwise ----

BitPlaces dwc4_places(uint32_t k, uint32_t x, uint32_t y, uint32_t i) {
  switch (k) {
    case 3: return nibble_places(0, i, 12 * y + 4 * x, 50);
    case 5: return nibble_places(0, 3 * uint64_t{i} + y / 2, (y % 2) * 20 + 4 * x, 50);
    default: return nibble_places(0, 7 * uint64_t{i} + y, 4 * x, 50);
  }
}

TEST(DepthwiseWeights4bit, EveryWeightAtItsPlaceForEachKernel) {
  for (uint32_t k : {3u, 5u, 7u}) {
    SCOPED_TRACE("kernel " + std::to_string(k));
    auto w = make_weights(k, 1, 6);
    fill_pattern(*w, true);
    const auto out = format_depthwise_conv_cnp_weights(*w, 2, 3, 4);
    const uint32_t per_channel = k == 3 ? 2 : k == 5 ? 6 : 14;
    EXPECT_EQ(out.size(), 3u * per_channel);
    expect_layout(*w, out, 2, 3, true, [&](uint32_t x, uint32_t y, uint32_t, uint32_t i) {
      return dwc4_places(k, x, y, i);
    });
  }
}

TEST(DepthwiseWeights4bit, GoldenKernel3) {
  auto w = make_weights(3, 1, 1);
  const int8_t rows[3][3] = {{1, 2, 3}, {4, 5, 6}, {7, -1, -2}};
  for (uint32_t y = 0; y < 3; ++y)
    for (uint32_t x = 0; x < 3; ++x) w->set<int8_t>({x, y, 0, 0}, rows[y][x]);
  EXPECT_EQ(format_depthwise_conv_cnp_4bit_weights(*w, 0, 1),
            (std::vector<uint32_t>{0xF7654321, 0x0000000E}));
}

TEST(DepthwiseWeights4bit, SizesAlwaysPaddedAndRangeChecked) {
  EXPECT_EQ(dwc_4bit_ch_cont_100b_size(3, 3), 2u);
  EXPECT_EQ(dwc_4bit_ch_cont_100b_size(5, 3), 5u);
  EXPECT_EQ(dwc_4bit_ch_cont_100b_size(7, 3), 11u);
  EXPECT_EQ(dwc_cnp_formatted_4bit_weight_32b_size(3, 1), 16u);
  EXPECT_EQ(dwc_cnp_formatted_4bit_weight_32b_size(5, 3), 32u);
  EXPECT_EQ(dwc_cnp_formatted_4bit_weight_32b_size(7, 8), 112u);
  EXPECT_EQ(dwc_cnp_formatted_weight_32b_size(7, 8, 4), 112u);
  for (int k : {1, 4}) {
    try {
      dwc_cnp_formatted_4bit_weight_32b_size(k, 1);
      ADD_FAILURE() << "kernel " << k << " accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Invalid kernel size.");
    }
    EXPECT_THROW(format_depthwise_conv_cnp_4bit_weights(*make_weights(k, 1, 1), 0, 1),
                 std::runtime_error);
  }
  auto w = make_weights(5, 1, 1);
  w->set<int8_t>({4, 4, 0, 0}, -9);
  try {
    format_depthwise_conv_cnp_4bit_weights(*w, 0, 1);
    FAIL() << "-9 accepted as a 4-bit weight";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "-9 cannot fit in a 4-bit signed integer");
  }
}

// ---- targets, byte sizes and argument checks ----

TEST(WeightFormats, DmaTargetsAndLayoutTables) {
  EXPECT_EQ(conv2d_dma_target(3, 8), dma::Target{1});
  EXPECT_EQ(conv2d_dma_target(1, 8), dma::Target{1});
  EXPECT_EQ(conv2d_dma_target(4, 8), dma::Target{1});
  EXPECT_EQ(conv2d_dma_target(5, 2), dma::Target{1});  // anything but 4 is 8-bit here
  EXPECT_EQ(conv2d_dma_target(7, 8), dma::Target{0});
  EXPECT_EQ(conv2d_dma_target(3, 4), dma::Target{0});
  EXPECT_EQ(conv2d_dma_target(2, 4), dma::Target{0});  // 4 bits never looks at the kernel
  EXPECT_EQ(dwc_dma_target(7, 8), dma::Target{1});
  EXPECT_EQ(dwc_dma_target(4, 8), dma::Target{1});
  EXPECT_EQ(dwc_dma_target(5, 4), dma::Target{0});
  for (auto call : {std::function<void()>([] { conv2d_dma_target(2, 8); }),
                    std::function<void()>([] { dwc_dma_target(1, 8); }),
                    std::function<void()>([] { cnp_weight_format(6); }),
                    std::function<void()>([] { dwc_cnp_weight_format(1); })}) {
    try {
      call();
      ADD_FAILURE() << "unexpected kernel accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "cnp_weight_format: Unexpected kernel size.");
    }
  }
  const CnpWeightFormat& k5 = cnp_weight_format(5);
  EXPECT_EQ(k5.run_bytes, 5u);
  EXPECT_EQ(k5.gap_bytes, 1u);
  EXPECT_EQ(k5.group_words32, 60u);
  EXPECT_EQ(cnp_weight_format(7).words32_per_word, 4u);
  EXPECT_EQ(dwc_cnp_weight_format(7).channel_bytes, 84u);
}

TEST(WeightFormats, ByteSizeOfWeightWords) {
  EXPECT_EQ(weight_100b_words_to_bytes(1), 13u);
  EXPECT_EQ(weight_100b_words_to_bytes(2), 25u);
  EXPECT_EQ(weight_100b_words_to_bytes(8), 100u);
  // Large counts are computed without wrapping: 50,000,000 words are 625,000,000 bytes.
  EXPECT_EQ(weight_100b_words_to_bytes(50000000), 625000000u);
  EXPECT_THROW(weight_100b_words_to_bytes(UINT32_MAX), std::overflow_error);
}

TEST(WeightFormats, SizesThatOverflow32BitsAreRefused) {
  EXPECT_THROW(conv2d_cnp_formatted_weight_100b_size(7, 2048, 40000000, 8), std::overflow_error);
  EXPECT_THROW(conv2d_ch_cont_100b_size(7, UINT32_MAX, 8), std::overflow_error);
}

TEST(WeightFormats, BadTensorsAreRefusedBeforeReading) {
  auto rank3 = Dense::create(TensorType::int8, Shape{3, 3, 4});
  auto not_square = Dense::create(TensorType::int8, Shape{3, 5, 1, 4});
  auto ok = make_weights(3, 1, 4);
  using Formatter = std::function<void(const Dense&, uint32_t, uint32_t)>;
  const std::vector<Formatter> formatters{
      [](const Dense& w, uint32_t f, uint32_t n) { format_conv2d_cnp_weights(w, f, n, 8); },
      [](const Dense& w, uint32_t f, uint32_t n) { format_conv2d_cnp_weights(w, f, n, 4); },
      [](const Dense& w, uint32_t f, uint32_t n) { format_depthwise_conv_cnp_weights(w, f, n, 8); },
      [](const Dense& w, uint32_t f, uint32_t n) { format_depthwise_conv_cnp_weights(w, f, n, 4); },
  };
  for (const auto& format : formatters) {
    EXPECT_THROW(format(*rank3, 0, 1), std::invalid_argument);
    EXPECT_THROW(format(*not_square, 0, 1), std::invalid_argument);
    EXPECT_THROW(format(*ok, 3, 2), std::invalid_argument);
    EXPECT_THROW(format(*ok, UINT32_MAX, 2), std::invalid_argument);  // no 32-bit wrap
    EXPECT_NO_THROW(format(*ok, 3, 1));
  }
  auto unsigned_weights = make_weights(3, 1, 4, TensorType::uint8);
  try {
    format_conv2d_cnp_weights(*unsigned_weights, 0, 1, 8);
    FAIL() << "uint8 weights accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("for a tensor of type uint8"), std::string::npos)
        << e.what();
  }
  // Packed signed types are stored as signed bytes and accepted.
  EXPECT_NO_THROW(format_conv2d_cnp_weights(*make_weights(3, 1, 4, TensorType::int4), 0, 4, 4));
}

}  // namespace
}  // namespace qalto::v2
