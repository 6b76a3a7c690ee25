// The TNP-R SRAM images: hand-computed words, every value found at its position with all other
// bits zero, lengths equal to the counts, and refusals that leave the list unchanged.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "mivo/tnpr_sram.hpp"

namespace qalto {
namespace {

using mivo::SramImage;

template <typename T>
std::shared_ptr<Dense> tensor(TensorType type, const Shape& shape, const std::vector<T>& values,
                              Dense::Layout layout = Dense::Layout::RowMajor) {
  return Dense::copy(values.data(), values.size() * sizeof(T), type, shape, layout);
}

std::shared_ptr<Dense> i8(const std::vector<int8_t>& v) {
  return tensor(TensorType::int8, Shape{static_cast<uint32_t>(v.size())}, v);
}
std::shared_ptr<Dense> u8(const std::vector<uint8_t>& v) {
  return tensor(TensorType::uint8, Shape{static_cast<uint32_t>(v.size())}, v);
}
std::shared_ptr<Dense> i16(const std::vector<int16_t>& v) {
  return tensor(TensorType::int16, Shape{static_cast<uint32_t>(v.size())}, v);
}

uint64_t word(const SramImage& image, size_t index) {
  return uint64_t{image[2 * index]} | uint64_t{image[2 * index + 1]} << 32;
}

uint64_t bits(uint64_t w, unsigned first, unsigned count) {
  return (w >> first) & ((uint64_t{1} << count) - 1);
}

template <typename F>
std::string error_text(F&& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no runtime_error>";
}

// A matrix whose element (r, c) is distinct and non-zero: r * 17 + c + 1, kept in int8.
std::shared_ptr<Dense> distinct_matrix(uint32_t rows, uint32_t columns,
                                       Dense::Layout layout = Dense::Layout::RowMajor) {
  auto m = Dense::create(TensorType::int8, Shape{rows, columns}, layout);
  for (uint32_t r = 0; r < rows; ++r)
    for (uint32_t c = 0; c < columns; ++c)
      m->set<int8_t>({r, c}, static_cast<int8_t>((r * 17 + c + 1) % 251 - 125));
  return m;
}

TEST(TnprSram, FsramPacksEightColumnsPerWordRowByRow) {
  // 3 rows x 10 columns: words 0-2 hold columns 0-7, words 3-5 columns 8-9.
  const auto m = distinct_matrix(3, 10);
  const SramImage image = mivo::pack_fsram_matrix(*m);
  ASSERT_EQ(image.size(), 12u);
  for (uint32_t r = 0; r < 3; ++r) {
    for (uint32_t j = 0; j < 8; ++j) {
      EXPECT_EQ(bits(word(image, r), 8 * j, 8), static_cast<uint8_t>(m->get<int8_t>({r, j})));
    }
    EXPECT_EQ(bits(word(image, 3 + r), 0, 8), static_cast<uint8_t>(m->get<int8_t>({r, 8})));
    EXPECT_EQ(bits(word(image, 3 + r), 8, 8), static_cast<uint8_t>(m->get<int8_t>({r, 9})));
    EXPECT_EQ(bits(word(image, 3 + r), 16, 48), 0u);
  }
  // -1 is the byte 0xFF.
  auto negative = tensor<int8_t>(TensorType::int8, Shape{1, 2}, {-1, 1});
  EXPECT_EQ(mivo::pack_fsram_matrix(*negative), (SramImage{0x01FF, 0}));
}

TEST(TnprSram, FsramPropertyEveryWeightAtItsPlace) {
  const std::pair<uint32_t, uint32_t> shapes[] = {{1, 1}, {2, 8}, {5, 17}, {4, 9}, {7, 24}};
  for (const auto layout : {Dense::Layout::RowMajor, Dense::Layout::ColMajor}) {
    for (const auto& [rows, columns] : shapes) {
      const auto m = distinct_matrix(rows, columns, layout);
      const SramImage image = mivo::pack_fsram_matrix(*m);
      const uint32_t groups = (columns + 7) / 8;
      ASSERT_EQ(image.size(), 2u * groups * rows) << rows << "x" << columns;
      for (uint32_t g = 0; g < groups; ++g) {
        for (uint32_t r = 0; r < rows; ++r) {
          const uint64_t w = word(image, g * rows + r);
          for (uint32_t j = 0; j < 8; ++j) {
            const uint32_t c = 8 * g + j;
            const uint64_t expected = c < columns ? static_cast<uint8_t>(m->get<int8_t>({r, c})) : 0;
            EXPECT_EQ(bits(w, 8 * j, 8), expected) << "row " << r << " column " << c;
          }
        }
      }
    }
  }
}

TEST(TnprSram, FsramWeightsAppendInProjThenOutProj) {
  SramImage fsram{0xAAAA, 0xBBBB};
  const auto in_proj = distinct_matrix(2, 3);
  const auto out_proj = distinct_matrix(3, 9);
  mivo::format_fsram_weights(fsram, *in_proj, *out_proj);
  SramImage expected{0xAAAA, 0xBBBB};
  for (const auto& part : {mivo::pack_fsram_matrix(*in_proj), mivo::pack_fsram_matrix(*out_proj)})
    expected.insert(expected.end(), part.begin(), part.end());
  EXPECT_EQ(fsram, expected);
  EXPECT_EQ(fsram.size(), 2u + 2 * (2 * 1 + 3 * 2));
  // A matrix of another rank is refused and nothing is appended.
  const auto flat = i8({1, 2, 3});
  EXPECT_EQ(error_text([&] { mivo::format_fsram_weights(fsram, *in_proj, *flat); }),
            "FSRAM matrices must have 2 dimensions (got 1).");
  EXPECT_EQ(fsram, expected);
}

TEST(TnprSram, StateUpdatingWordFields) {
  SramImage tsram;
  mivo::format_tsram_state_updating_var(tsram, *i16({1, 0x1234}), *i16({-1, 0x5678}),
                                        *i8({-16, 7}), *u8({0, 0xA5}), *i8({0, -3}));
  ASSERT_EQ(tsram.size(), 4u);
  // A_real -1, A_imag 1; only bit 36 among 32-36 for -16.
  EXPECT_EQ(tsram[0], 0x0001FFFFu);
  EXPECT_EQ(tsram[1], 0x10u);
  const uint64_t w = word(tsram, 1);
  EXPECT_EQ(bits(w, 0, 16), 0x5678u);
  EXPECT_EQ(bits(w, 16, 16), 0x1234u);
  EXPECT_EQ(bits(w, 32, 5), 7u);
  EXPECT_EQ(bits(w, 37, 8), 0xA5u);
  EXPECT_EQ(bits(w, 45, 6), 0x3Du);  // -3 in 6 bits
  EXPECT_EQ(bits(w, 51, 13), 0u);
}

TEST(TnprSram, StateUpdatingShiftsOutsideTheirFields) {
  SramImage tsram{7, 7};
  EXPECT_EQ(error_text([&] {
              mivo::format_tsram_state_updating_var(tsram, *i16({0, 0}), *i16({0, 0}),
                                                    *i8({15, 16}), *u8({0, 0}), *i8({0, 0}));
            }),
            "16 cannot fit in a 5-bit signed integer");
  EXPECT_EQ(error_text([&] {
              mivo::format_tsram_state_updating_var(tsram, *i16({0}), *i16({0}), *i8({-16}),
                                                    *u8({0}), *i8({-33}));
            }),
            "-33 cannot fit in a 6-bit signed integer");
  EXPECT_EQ(tsram, (SramImage{7, 7}));
  mivo::format_tsram_state_updating_var(tsram, *i16({0}), *i16({0}), *i8({0}), *u8({0}),
                                        *i8({31}));
  EXPECT_EQ(tsram, (SramImage{7, 7, 0, 31u << 13}));
  // The other variables must hold one value per state channel.
  EXPECT_NE(error_text([&] {
              mivo::format_tsram_state_updating_var(tsram, *i16({0}), *i16({0, 0}),
                                                    *i8({0, 0}), *u8({0, 0}), *i8({0, 0}));
            }).find("Coordinates are out-of-range"),
            std::string::npos);
}

TEST(TnprSram, OutputWordFields) {
  SramImage tsram;
  mivo::format_tsram_output_var(tsram, *u8({200}), *i8({-1}), *i8({-128}), *u8({31}));
  // 200 in bits 0-7, ones in 16-21, only bit 29 among 22-29, ones in 30-34.
  EXPECT_EQ(tsram, (SramImage{0xE03F00C8u, 0x7u}));

  tsram.clear();
  const auto wide = tensor<uint16_t>(TensorType::uint16, Shape{2}, {0xABCD, 1});
  mivo::format_tsram_output_var(tsram, *wide, *i8({31, -32}), *i8({5, 0}), *u8({0, 17}));
  const uint64_t w0 = word(tsram, 0), w1 = word(tsram, 1);
  EXPECT_EQ(bits(w0, 0, 16), 0xABCDu);
  EXPECT_EQ(bits(w0, 16, 6), 31u);
  EXPECT_EQ(bits(w0, 22, 8), 5u);
  EXPECT_EQ(bits(w0, 30, 34), 0u);
  EXPECT_EQ(bits(w1, 0, 16), 1u);
  EXPECT_EQ(bits(w1, 16, 6), 0x20u);
  EXPECT_EQ(bits(w1, 30, 5), 17u);
  EXPECT_EQ(bits(w1, 35, 29), 0u);
}

TEST(TnprSram, OutputWordRefusals) {
  SramImage tsram{1, 2};
  EXPECT_EQ(error_text([&] {
              mivo::format_tsram_output_var(tsram, *i8({1}), *i8({0}), *i8({0}), *u8({0}));
            }),
            "Error when formattting output scale : Unsupported output scales type in TSRAM "
            "formatting.");
  EXPECT_EQ(error_text([&] {
              mivo::format_tsram_output_var(tsram, *u8({1, 1}), *i8({0, 32}), *i8({0, 0}),
                                            *u8({0, 0}));
            }),
            "32 cannot fit in a 6-bit signed integer");
  EXPECT_EQ(error_text([&] {
              mivo::format_tsram_output_var(tsram, *u8({1}), *i8({0}), *i8({0}), *u8({32}));
            }),
            "32 cannot fit in a 5-bit unsigned integer");
  EXPECT_EQ(tsram, (SramImage{1, 2}));
}

TEST(TnprSram, PostProcessingWords) {
  SramImage tsram;
  mivo::format_tsram_post_processing_output_var(tsram, 16, 5);
  // Scale 1, shift -4 in 6 bits, threshold 5 at bit 22.
  EXPECT_EQ(tsram, (SramImage{1u | 0x3Cu << 16 | 5u << 22, 0}));
  const std::pair<uint16_t, uint64_t> shifts[] = {{1, 0}, {100, 0x3A}, {128, 0x39}, {0, 0}};
  for (const auto& [timesteps, field] : shifts) {
    SramImage one;
    mivo::format_tsram_post_processing_output_var(one, timesteps, 0xFFFF);
    const uint64_t w = word(one, 0);
    EXPECT_EQ(bits(w, 16, 6), field) << timesteps;
    EXPECT_EQ(bits(w, 22, 16), 0xFFFFu);
    EXPECT_EQ(bits(w, 0, 16), 1u);
    EXPECT_EQ(bits(w, 38, 26), 0u);
  }
  mivo::format_tsram_post_processing_input_shift(tsram);
  EXPECT_EQ(tsram.size(), 4u);
  EXPECT_EQ(tsram[2], 0u);
  EXPECT_EQ(tsram[3], 0u);
}

TEST(TnprSram, InputShiftAt16BitWritesEachValueTwice) {
  SramImage tsram;
  mivo::format_tsram_input_shift(tsram, *u8({1, 2, 3, 4, 5}), 16);
  ASSERT_EQ(tsram.size(), 4u);
  const uint32_t fields[] = {1, 1, 2, 2, 3, 3, 4, 4};
  uint32_t expected = 0;
  for (uint32_t f = 0; f < 8; ++f) expected |= fields[f] << (3 * f);
  EXPECT_EQ(tsram[0], expected);
  EXPECT_EQ(tsram[1], 0u);
  EXPECT_EQ(tsram[2], 5u | 5u << 3);
  EXPECT_EQ(tsram[3], 0u);
}

TEST(TnprSram, InputShiftAt8BitPacksEightValues) {
  SramImage tsram{9, 9};
  const std::vector<uint8_t> values = {7, 1, 6, 2, 5, 3, 4, 0, 7};
  mivo::format_tsram_input_shift(tsram, *u8(values), 8);
  ASSERT_EQ(tsram.size(), 2u + 4u);  // ceil(9 / 8) words after the two values already there
  for (size_t k = 0; k < values.size(); ++k) {
    const uint32_t half = tsram[2 + 2 * (k / 8)];
    EXPECT_EQ((half >> (3 * (k % 8))) & 7u, values[k]) << k;
  }
  EXPECT_EQ(tsram[2] >> 24, 0u);
  EXPECT_EQ(tsram[4] >> 3, 0u);
  EXPECT_EQ(tsram[3], 0u);
  EXPECT_EQ(tsram[5], 0u);
}

TEST(TnprSram, InputShiftRefusals) {
  SramImage tsram;
  // A shift of 8 would spill into the next 3-bit field.
  EXPECT_EQ(error_text([&] { mivo::format_tsram_input_shift(tsram, *u8({7, 8}), 8); }),
            "8 cannot fit in a 3-bit unsigned integer");
  EXPECT_EQ(error_text([&] { mivo::format_tsram_input_shift(tsram, *u8({1}), 4); }),
            "TNP-R input shifts are formatted for 8-bit or 16-bit input (got 4-bit).");
  EXPECT_EQ(error_text([&] { mivo::format_tsram_input_shift(tsram, *i8({1}), 8); })
                .rfind("Wrong requested type", 0),
            0u);
  EXPECT_TRUE(tsram.empty());
}

}  // namespace
}  // namespace qalto
