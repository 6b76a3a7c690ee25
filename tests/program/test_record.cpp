// Register field writer, DMA headers and program records.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "program/record.hpp"
#include "qalto/dma.hpp"
#include "qalto/reg_detail.hpp"
#include "support/register_print.hpp"

namespace qalto {
namespace {

using testing::field_equals;

QALTO_REG_FIELD(TEST_LOW_BYTE, 0, 8);
QALTO_REG_FIELD(TEST_HIGH_NIBBLE, 28, 4);
QALTO_REG_FIELD(TEST_WHOLE_WORD, 0, 32);
QALTO_REG_FIELD(TEST_EMPTY, 5, 0);
static_assert(TEST_HIGH_NIBBLE.first_bit == 28 && TEST_HIGH_NIBBLE.nb_bits == 4);
static_assert(reg_field_fits(31, 1) && reg_field_fits(0, 32) && reg_field_fits(12, 0));
static_assert(!reg_field_fits(31, 2) && !reg_field_fits(32, 0) && !reg_field_fits(1, 0xFFFFFFFF));

std::string error_of(auto&& call) {
  try {
    call();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no error";
}

TEST(SetField, WritesFieldAndKeepsOtherBits) {
  std::vector<uint32_t> image{0xFFFFFFFF, 0};
  set_field(&image[0], TEST_LOW_BYTE, 0x5A);
  EXPECT_EQ(image[0], 0xFFFFFF5Au);
  set_field(&image[1], TEST_HIGH_NIBBLE, 0xC);
  EXPECT_TRUE(field_equals(image, 1, TEST_HIGH_NIBBLE, 0xC));
  EXPECT_EQ(image[1], 0xC0000000u);
}

TEST(SetField, WidthLimits) {
  uint32_t word = 0;
  set_field(&word, TEST_WHOLE_WORD, 0xFFFFFFFF);
  EXPECT_EQ(word, 0xFFFFFFFFu);
  set_field(&word, TEST_EMPTY, 0);
  EXPECT_EQ(word, 0xFFFFFFFFu);
  EXPECT_EQ(error_of([&] { set_field(&word, TEST_EMPTY, 1); }),
            "Attempted to write value 1 into a 0-bit field, which will cause an overflow.");
  set_field(&word, TEST_LOW_BYTE, 255);
  EXPECT_EQ(error_of([&] { set_field(&word, TEST_LOW_BYTE, 300); }),
            "Attempted to write value 300 into a 8-bit field, which will cause an overflow.");
  EXPECT_EQ(word, 0xFFFFFFFFu) << "a refused value leaves the word alone";
}

TEST(SetField, FieldsBeyondTheWordAtRunTime) {
  // Built at run time (QALTO_REG_FIELD refuses it): compared at full width, high bits dropped.
  const RegDetail straddling{30, 4};
  uint32_t word = 0;
  set_field(&word, straddling, 0xF);
  EXPECT_EQ(word, 0xC0000000u);
  EXPECT_THROW(set_field(&word, straddling, 16), std::runtime_error);
  // The mask takes nb_bits modulo 64: 64 bits is a 0-bit field, 40 bits a full word.
  EXPECT_THROW(set_field(&word, RegDetail{0, 64}, 1), std::runtime_error);
  set_field(&word, RegDetail{0, 40}, 0x12345678);
  EXPECT_EQ(word, 0x12345678u);
}

TEST(SetSignedField, TwoComplementAndRange) {
  const RegDetail six{4, 6};
  uint32_t word = 0;
  set_signed_field(&word, six, -1);
  EXPECT_EQ(word, 0x3Fu << 4);
  set_signed_field(&word, six, -32);
  EXPECT_EQ(word, 0x20u << 4);
  set_signed_field(&word, six, 31);
  EXPECT_EQ(word, 0x1Fu << 4);
  EXPECT_EQ(error_of([&] { set_signed_field(&word, six, 32); }),
            "32 cannot fit in a 6-bit signed integer");
  EXPECT_EQ(error_of([&] { set_signed_field(&word, six, -33); }),
            "-33 cannot fit in a 6-bit signed integer");
  EXPECT_EQ(word, 0x1Fu << 4);
  set_signed_field(&word, TEST_WHOLE_WORD, -2);
  EXPECT_EQ(word, 0xFFFFFFFEu);
  // Widths of 64 and more must not shift past the 64-bit range.
  EXPECT_THROW(set_signed_field(&word, RegDetail{0, 64}, 1), std::runtime_error);
  set_signed_field(&word, RegDetail{0, 100}, -5);
  EXPECT_EQ(word, static_cast<uint32_t>(-5));
}

TEST(DmaHeader, EncodesAndDecodes) {
  uint32_t words[2] = {0xDEAD, 0xBEEF};
  const hw::Ident ident{3, 5, 7, 9};
  dma::format_config_header(words, ident, dma::Target::NpVariables, 123, 0x44, false);
  const dma::ConfigHeader header = dma::decode_config_header(words);
  EXPECT_EQ(header.ident, (hw::Ident{3, 5, 7, 0}));
  EXPECT_EQ(header.target, 5u);
  EXPECT_EQ(header.length, 123u);
  EXPECT_EQ(header.offset, 0x44);
  EXPECT_FALSE(header.xl);
  EXPECT_EQ(words[0], 0x05070503u);
  EXPECT_EQ(words[1], 0x0044007Bu);

  dma::format_config_header(words, ident, dma::Target::TnpRTsram, 4112, 0xFFFF, true);
  const dma::ConfigHeader xl = dma::decode_config_header(words);
  EXPECT_TRUE(xl.xl);
  EXPECT_EQ(xl.length, 4112u);
  EXPECT_EQ(xl.target, 15u);
  EXPECT_EQ(xl.offset, 0xFFFF);
}

TEST(DmaHeader, RefusesWhatItCannotDescribe) {
  uint32_t words[2] = {1, 2};
  const hw::Ident ident{};
  EXPECT_THROW(dma::format_config_header(words, ident, dma::Target::Weights,
                                         dma::kMaxNormalLength + 1, 0, false),
               std::invalid_argument);
  EXPECT_THROW(dma::format_config_header(words, ident, dma::Target::Weights, 17, 0, true),
               std::invalid_argument);
  EXPECT_THROW(dma::format_config_header(words, ident, dma::Target::Weights,
                                         dma::kMaxXlLength + 16, 0, true),
               std::invalid_argument);
  EXPECT_THROW(
      dma::format_config_header(words, ident, static_cast<dma::Target>(16), 1, 0, false),
      std::invalid_argument);
  EXPECT_EQ(words[0], 1u);
  EXPECT_EQ(words[1], 2u);
  const uint32_t reserved[2] = {1u << 28, 0};
  EXPECT_THROW(dma::decode_config_header(reserved), std::invalid_argument);
  EXPECT_FALSE(dma::config_block_size_needs_xl(dma::kMaxNormalLength));
  EXPECT_TRUE(dma::config_block_size_needs_xl(dma::kMaxNormalLength + 1));
}

std::vector<uint32_t> counting(size_t n, uint32_t start = 1) {
  std::vector<uint32_t> words(n);
  for (size_t i = 0; i < n; ++i) words[i] = start + static_cast<uint32_t>(i);
  return words;
}

TEST(NpTrack, AppendsHeaderThenPayload) {
  program::NpTrack track;
  const hw::Ident ident{1, 2, 3, 0};
  ASSERT_TRUE(track.append(ident, dma::Target::NpRegisters, 0, {}, false, true));
  ASSERT_EQ(track.size(), 2u) << "an empty payload still has its header";
  EXPECT_EQ(dma::decode_config_header(track.words().data()).length, 0u);
  ASSERT_TRUE(track.append(ident, dma::Target::Lut, 8, counting(5), false, true));
  ASSERT_EQ(track.size(), 9u);
  const auto header = dma::decode_config_header(track.words().data() + 2);
  EXPECT_EQ(header.target, 12u);
  EXPECT_EQ(header.length, 5u);
  EXPECT_EQ(header.offset, 8);
  EXPECT_EQ(std::vector<uint32_t>(track.words().begin() + 4, track.words().end()), counting(5));
}

TEST(NpTrack, UnsizedHeaderCarriesZeroLength) {
  program::NpTrack track;
  ASSERT_TRUE(track.append({}, dma::Target::TnpRRegisters, 0, counting(40), false, false));
  EXPECT_EQ(dma::decode_config_header(track.words().data()).length, 0u);
  EXPECT_EQ(track.size(), 42u);
}

TEST(NpTrack, XlBlocksArePaddedToWholeUnits) {
  const size_t payload = dma::kMaxNormalLength + 2;  // 4097 words
  program::NpTrack refused;
  EXPECT_FALSE(refused.append({}, dma::Target::Weights, 0, counting(payload), false, true));
  EXPECT_TRUE(refused.empty());

  program::NpTrack track;
  ASSERT_TRUE(track.append({}, dma::Target::Weights, 0, counting(payload), true, true));
  const auto header = dma::decode_config_header(track.words().data());
  EXPECT_TRUE(header.xl);
  EXPECT_EQ(header.length, 4112u);
  ASSERT_EQ(track.size(), 2u + 4112u);
  EXPECT_EQ(track.words()[2 + payload - 1], payload);
  for (size_t i = 2 + payload; i < track.size(); ++i) ASSERT_EQ(track.words()[i], 0u) << i;
}

TEST(NpTrack, NeverExceedsTheTrackLimit) {
  // 15 blocks of 4095 words take 15 x 4097 = 61455 words; 4080 remain.
  program::NpTrack track;
  for (int i = 0; i < 15; ++i) {
    ASSERT_TRUE(track.append({}, dma::Target::Weights, 0, counting(4095), false, true));
  }
  const std::vector<uint32_t> before = track.words();
  EXPECT_FALSE(track.append({}, dma::Target::Weights, 0, counting(4079), false, true))
      << "61455 + 2 + 4079 = 65536 words";
  EXPECT_EQ(track.words(), before);
  ASSERT_TRUE(track.append({}, dma::Target::Weights, 0, counting(4078), false, true));
  EXPECT_EQ(track.size(), program::kMaxTrackWords);
  EXPECT_FALSE(track.append({}, dma::Target::Weights, 0, {}, false, true));

  // The largest XL block: 65520 words plus its header.
  program::NpTrack big;
  EXPECT_FALSE(big.append({}, dma::Target::Weights, 0, counting(65521), true, true))
      << "65521 rounds to 65536";
  ASSERT_TRUE(big.append({}, dma::Target::Weights, 0, counting(65520), true, true));
  EXPECT_EQ(big.size(), 65522u);
}

TEST(Record, AppendsToLastTrackOrOpensNew) {
  program::Record record(HwVersion{0xBC, 0xA2, 0, 0});
  EXPECT_TRUE(record.add_np_track({1, 1, 1, 0}, dma::Target::NpRegisters, 0, counting(64), true,
                                  true));
  EXPECT_TRUE(record.add_np_track({1, 1, 1, 0}, dma::Target::NpVariables, 0, counting(8), true,
                                  true));
  ASSERT_EQ(record.tracks.size(), 1u);
  EXPECT_EQ(record.tracks[0].size(), 66u + 10u);
  EXPECT_TRUE(record.add_np_track({1, 1, 2, 0}, dma::Target::NpRegisters, 0, counting(64), true,
                                  false));
  EXPECT_EQ(record.tracks.size(), 2u);
}

TEST(Record, XlBlockWithoutAppendLeavesEmptyTrack) {
  auto record = program::new_record(HwVersion{});
  ASSERT_TRUE(record->add_np_track({}, dma::Target::Weights, 0, counting(5000), true, false));
  ASSERT_EQ(record->tracks.size(), 2u);
  EXPECT_TRUE(record->tracks[0].empty());
  EXPECT_TRUE(dma::decode_config_header(record->tracks[1].words().data()).xl);
}

TEST(Record, FullTrackOverflowsIntoNewTrack) {
  auto record = program::new_record(HwVersion{});
  for (int i = 0; i < 17; ++i) {
    ASSERT_TRUE(record->add_np_track({}, dma::Target::Weights, 0, counting(4000), true, true));
  }
  // 16 x 4002 = 64032 words; the 17th block does not fit and opens a second track.
  ASSERT_EQ(record->tracks.size(), 2u);
  EXPECT_EQ(record->tracks[0].size(), 16u * 4002u);
  EXPECT_EQ(record->tracks[1].size(), 4002u);
}

TEST(Record, BlockTooLargeForAnyTrack) {
  auto record = program::new_record(HwVersion{});
  ASSERT_TRUE(record->add_np_track({}, dma::Target::Weights, 0, counting(10), true, true));
  EXPECT_EQ(error_of([&] {
              record->add_np_track({}, dma::Target::Weights, 0, counting(65521), true, true);
            }),
            "Error generating NP program.");
  // The track opened for the second attempt stays, empty; the first is untouched.
  ASSERT_EQ(record->tracks.size(), 2u);
  EXPECT_EQ(record->tracks[0].size(), 12u);
  EXPECT_TRUE(record->tracks[1].empty());
}

TEST(Record, LastFnp2FiltersTrackWins) {
  auto record = program::new_record(HwVersion{});
  record->add_fnp2_filters_track({1, 2, 3, 4}, {7, 8});
  record->add_fnp2_filters_track({5, 6, 7, 8}, {});
  ASSERT_TRUE(record->fnp2_filters);
  EXPECT_EQ(record->fnp2_filters->ident, (hw::Ident{5, 6, 7, 8}));
  EXPECT_TRUE(record->fnp2_filters->words.empty());
  EXPECT_TRUE(record->tracks.empty());
}

}  // namespace
}  // namespace qalto
