// HRC weight banks and variable words.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "program/hrc_format.hpp"

namespace qalto {
namespace {

using Banks = std::vector<std::vector<uint32_t>>;

// A distinct, often negative weight for every (i, j, c, f).
int8_t weight_value(uint32_t i, uint32_t j, uint32_t c, uint32_t f, uint32_t k) {
  const uint32_t n = ((f * 3 + c) * k + i) * k + j;
  return static_cast<int8_t>(-1 - static_cast<int>(n % 127));
}

// Weights shaped (k, k, C, F) row-major, or (F, C, k, k) column-major, with the same logical
// content.
std::shared_ptr<Dense> hrc_weights(uint32_t k, uint32_t channels, uint32_t filters,
                                   bool column_major = false) {
  auto w = column_major ? Dense::create(TensorType::int8, Shape{filters, channels, k, k},
                                        Dense::Layout::ColMajor)
                        : Dense::create(TensorType::int8, Shape{k, k, channels, filters});
  for (uint32_t f = 0; f < filters; ++f)
    for (uint32_t c = 0; c < channels; ++c)
      for (uint32_t i = 0; i < k; ++i)
        for (uint32_t j = 0; j < k; ++j) {
          const int8_t v = weight_value(i, j, c, f, k);
          if (column_major) {
            w->set<int8_t>({f, c, j, i}, v);
          } else {
            w->set<int8_t>({i, j, c, f}, v);
          }
        }
  return w;
}

uint32_t pack(std::initializer_list<int> bytes) {
  uint32_t word = 0;
  int shift = 0;
  for (int b : bytes) {
    word |= uint32_t{static_cast<uint8_t>(b)} << shift;
    shift += 8;
  }
  return word;
}

uint8_t byte_at(const Banks& banks, size_t bank, size_t word, size_t byte) {
  return static_cast<uint8_t>(banks.at(bank).at(word) >> (8 * byte));
}

std::string error_of(auto&& call) {
  try {
    call();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no error";
}

TEST(HrcWeights, Kernel4SplitsEachFilterOverTwoBanks) {
  auto w = Dense::create(TensorType::int8, Shape{4, 4, 1, 1});
  for (uint32_t n = 0; n < 16; ++n) w->set<int8_t>({n / 4, n % 4, 0, 0}, static_cast<int8_t>(-n - 1));
  const Banks banks = format_hrc_weights(*w);
  EXPECT_EQ(banks[0], (std::vector<uint32_t>{pack({-1, -2, -3, -4}), pack({-5, -6, -7, -8}),
                                             pack({-9})}));
  EXPECT_EQ(banks[1], (std::vector<uint32_t>{pack({-10, -11, -12, -13}),
                                             pack({-14, -15, -16}), 0}));
  EXPECT_TRUE(banks[2].empty());
}

TEST(HrcWeights, Kernel5DealsOneLinePerBank) {
  auto w = Dense::create(TensorType::int8, Shape{5, 5, 1, 1});
  for (uint32_t n = 0; n < 25; ++n) w->set<int8_t>({n / 5, n % 5, 0, 0}, static_cast<int8_t>(n + 1));
  const Banks banks = format_hrc_weights(*w);
  EXPECT_EQ(banks[0], (std::vector<uint32_t>{pack({1, 2, 3, 4}), pack({5, 6, 7, 8}), pack({9})}));
  EXPECT_EQ(banks[1],
            (std::vector<uint32_t>{pack({10, 11, 12, 13}), pack({14, 15, 16, 17}), pack({18})}));
  EXPECT_EQ(banks[2], (std::vector<uint32_t>{pack({19, 20, 21, 22}), pack({23, 24, 25}), 0}));
}

// Every weight sits at the position the dealt arrangement gives (line g of the whole layer in
// bank g mod 3 at word 3 (g / 3)), and nothing else is set.
void expect_dealt(uint32_t k, uint32_t filters) {
  SCOPED_TRACE("kernel " + std::to_string(k) + ", filters " + std::to_string(filters));
  const Banks banks = format_hrc_weights(*hrc_weights(k, 1, filters));
  const uint32_t lines_per_filter = (k * k + 8) / 9;
  const uint32_t lines = lines_per_filter * filters;
  EXPECT_EQ(banks[0].size(), 3 * ((lines + 2) / 3));
  EXPECT_EQ(banks[1].size(), 3 * (lines / 3) + (lines % 3 == 2 ? 3 : 0));
  EXPECT_EQ(banks[2].size(), 3 * (lines / 3));
  size_t set_bytes = 0;
  for (const auto& bank : banks)
    for (uint32_t word : bank)
      for (int b = 0; b < 4; ++b) set_bytes += ((word >> (8 * b)) & 0xFF) != 0;
  EXPECT_EQ(set_bytes, size_t{k} * k * filters);
  for (uint32_t f = 0; f < filters; ++f)
    for (uint32_t q = 0; q < k * k; ++q) {
      const uint32_t line = f * lines_per_filter + q / 9;
      const uint32_t slot = q % 9;
      ASSERT_EQ(static_cast<int8_t>(byte_at(banks, line % 3, 3 * (line / 3) + slot / 4, slot % 4)),
                weight_value(q / k, q % k, 0, f, k))
          << "filter " << f << " weight " << q;
    }
}

TEST(HrcWeights, DealtKernelsPlaceEveryWeight) {
  expect_dealt(5, 3);
  expect_dealt(7, 2);
  expect_dealt(16, 1);
  expect_dealt(16, 2);
}

TEST(HrcWeights, Kernel3FillsBanksInTurn) {
  const Banks full = format_hrc_weights(*hrc_weights(3, 1, 192));
  EXPECT_EQ(full[0].size(), 576u);
  EXPECT_TRUE(full[1].empty());
  EXPECT_TRUE(full[2].empty());

  const Banks spill = format_hrc_weights(*hrc_weights(3, 1, 193));
  ASSERT_EQ(spill[1].size(), 3u);
  EXPECT_EQ(static_cast<int8_t>(byte_at(spill, 1, 0, 0)), weight_value(0, 0, 0, 192, 3));
  EXPECT_EQ(static_cast<int8_t>(byte_at(spill, 1, 2, 0)), weight_value(2, 2, 0, 192, 3));
  EXPECT_EQ(spill[1][2] >> 8, 0u);

  const Banks most = format_hrc_weights(*hrc_weights(3, 1, 575));
  EXPECT_EQ(most[2].size(), 573u);
  EXPECT_EQ(static_cast<int8_t>(byte_at(most, 2, 570, 0)), weight_value(0, 0, 0, 574, 3));
  EXPECT_EQ(error_of([] { format_hrc_weights(*hrc_weights(3, 1, 576)); }),
            "Too many lines on HRC weight formatting with the 3-kernel.");
}

TEST(HrcWeights, ThreeChannelsOneBankEach) {
  const Banks banks = format_hrc_weights(*hrc_weights(3, 3, 2));
  for (uint32_t c = 0; c < 3; ++c) {
    ASSERT_EQ(banks[c].size(), 6u);
    for (uint32_t f = 0; f < 2; ++f)
      for (uint32_t q = 0; q < 9; ++q)
        EXPECT_EQ(static_cast<int8_t>(byte_at(banks, c, 3 * f + q / 4, q % 4)),
                  weight_value(q / 3, q % 3, c, f, 3));
  }
  // Kernel 4 with three channels uses two full-bank lines per filter, no 7-weight split.
  const Banks k4 = format_hrc_weights(*hrc_weights(4, 3, 1));
  ASSERT_EQ(k4[2].size(), 6u);
  EXPECT_EQ(static_cast<int8_t>(byte_at(k4, 2, 3, 0)), weight_value(2, 1, 2, 0, 4));
}

TEST(HrcWeights, BothLayoutsGiveTheSameBanks) {
  for (uint32_t k : {3u, 4u, 5u, 7u, 16u}) {
    EXPECT_EQ(format_hrc_weights(*hrc_weights(k, 1, 3, true)),
              format_hrc_weights(*hrc_weights(k, 1, 3, false)))
        << "kernel " << k;
  }
  EXPECT_EQ(format_hrc_weights(*hrc_weights(3, 3, 2, true)),
            format_hrc_weights(*hrc_weights(3, 3, 2, false)));
}

TEST(HrcWeights, RefusesWhatTheHrcCannotHold) {
  EXPECT_EQ(error_of([] { format_hrc_weights(*hrc_weights(2, 1, 1)); }),
            "Wrong kernel_size at HRC recording.");
  EXPECT_EQ(error_of([] { format_hrc_weights(*hrc_weights(3, 2, 1)); }),
            "HRC weights must have 1 or 3 channels, got 2.");
  EXPECT_EQ(error_of([] {
              format_hrc_weights(*Dense::create(TensorType::int8, Shape{3, 3, 1}));
            }),
            "HRC weights must have 4 dimensions, got 3.");
  EXPECT_EQ(error_of([] {
              format_hrc_weights(*Dense::create(TensorType::int8, Shape{5, 3, 1, 1}));
            }),
            "HRC kernels must be square, got 5x3.");
  EXPECT_EQ(error_of([] {
              format_hrc_weights(*Dense::create(TensorType::uint8, Shape{3, 3, 1, 1}));
            }),
            "Wrong requested type int8 for a tensor of type uint8");
}

template <typename T>
std::shared_ptr<Dense> values(TensorType type, std::vector<T> v) {
  auto t = Dense::create(type, Shape{static_cast<uint32_t>(v.size())});
  for (size_t i = 0; i < v.size(); ++i) t->data<T>()[i] = v[i];
  return t;
}

TEST(HrcActivations, GoldenWords) {
  auto os = values<int8_t>(TensorType::int8, {-1, 31});
  auto scales = values<uint8_t>(TensorType::uint8, {2, 255});
  auto mv = values<uint8_t>(TensorType::uint8, {3, 254});
  auto mvs = values<uint8_t>(TensorType::uint8, {0, 31});
  auto bs = values<uint8_t>(TensorType::uint8, {4, 31});
  auto bias = values<int8_t>(TensorType::int8, {-1, 127});
  const auto words = format_hrc_activations(*os, *scales, nullptr, mv.get(), *bs, *bias);
  ASSERT_EQ(words.size(), 4u);
  EXPECT_EQ(words[0], 0x3Fu + (2u << 6) + (1u << 19));
  EXPECT_EQ(words[1], 1u + (4u << 7) + (0xFFu << 12));
  const auto with_shift = format_hrc_activations(*os, *scales, mvs.get(), mv.get(), *bs, *bias);
  EXPECT_EQ(with_shift[2], 31u + (255u << 6) + (31u << 14));
  EXPECT_EQ(with_shift[3], 127u + (31u << 7) + (127u << 12));
}

TEST(HrcActivations, OutOfRangeValuesPanicInOrder) {
  auto scales = values<uint8_t>(TensorType::uint8, {1});
  auto bias = values<int8_t>(TensorType::int8, {0});
  auto ok_shift = values<uint8_t>(TensorType::uint8, {31});
  auto big_shift = values<uint8_t>(TensorType::uint8, {32});
  auto bad_os = values<int8_t>(TensorType::int8, {-33});
  auto ok_os = values<int8_t>(TensorType::int8, {-32});
  EXPECT_EQ(error_of([&] {
              format_hrc_activations(*bad_os, *scales, big_shift.get(), nullptr, *big_shift, *bias);
            }),
            "-33 cannot fit in a 6-bit signed integer");
  EXPECT_EQ(error_of([&] {
              format_hrc_activations(*ok_os, *scales, big_shift.get(), nullptr, *ok_shift, *bias);
            }),
            "32 cannot fit in a 5-bit unsigned integer");
  EXPECT_EQ(error_of([&] {
              format_hrc_activations(*ok_os, *scales, nullptr, nullptr, *big_shift, *bias);
            }),
            "32 cannot fit in a 5-bit unsigned integer");
  // A variable with fewer filters than the bias is refused, not read past its end.
  auto two_bias = values<int8_t>(TensorType::int8, {0, 0});
  EXPECT_THROW(format_hrc_activations(*ok_os, *scales, nullptr, nullptr, *ok_shift, *two_bias),
               std::runtime_error);
}

TEST(HrcLutVariables, GoldenWordsAndChecks) {
  auto scales = values<uint8_t>(TensorType::uint8, {200});
  auto bias = values<int8_t>(TensorType::int8, {-2});
  auto bs = values<uint8_t>(TensorType::uint8, {17});
  auto os = values<int8_t>(TensorType::int8, {-3});
  auto as = values<int8_t>(TensorType::int8, {5});
  auto ascales = values<uint8_t>(TensorType::uint8, {9});
  const auto words = format_hrc_lut_variables(*scales, *bias, *bs, *os, *as, *ascales);
  ASSERT_EQ(words.size(), 2u);
  EXPECT_EQ(words[0], 200u | (0xFEu << 8) | (1u << 16));
  EXPECT_EQ(words[1], 1u | (0x3Du << 1) | (5u << 7) | (9u << 13));

  auto big_bs = values<uint8_t>(TensorType::uint8, {32});
  auto big_as = values<int8_t>(TensorType::int8, {32});
  EXPECT_EQ(error_of([&] { format_hrc_lut_variables(*scales, *bias, *big_bs, *os, *big_as, *ascales); }),
            "32 cannot fit in a 5-bit unsigned integer");
  EXPECT_EQ(error_of([&] { format_hrc_lut_variables(*scales, *bias, *bs, *os, *big_as, *ascales); }),
            "32 cannot fit in a 6-bit signed integer");
  EXPECT_EQ(error_of([&] { format_hrc_lut_variables(*bias, *bias, *bs, *os, *as, *ascales); }),
            "Wrong requested type uint8 for a tensor of type int8");
}

}  // namespace
}  // namespace qalto
