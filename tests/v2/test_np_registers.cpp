#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>

#include "v2/np_registers.hpp"

namespace qalto {
namespace {

hw::Component np_with_id(uint8_t id) {
  hw::Component c;
  c.type = hw::Type::CNP2;
  c.ident = hw::Ident{1, 2, id, 0};
  return c;
}

// Every word of `image` equals `expected[index]` when listed, else 0; names the word on failure.
void expect_words(const std::vector<uint32_t>& image, const std::map<size_t, uint32_t>& expected) {
  ASSERT_EQ(image.size(), 64u);
  for (size_t i = 0; i < image.size(); ++i) {
    const auto it = expected.find(i);
    const uint32_t want = it == expected.end() ? 0 : it->second;
    EXPECT_EQ(image[i], want) << "word[" << i << "] = 0x" << std::hex << image[i]
                              << ", expected 0x" << want;
  }
}

const std::map<size_t, uint32_t> fixed_words{{1, 0x20},        {2, 0x8},    {5, 0x00130100},
                                             {6, 0x08040000},  {12, 0x52000000},
                                             {13, 0x10},       {37, 0xFF000000}, {57, 0x40}};

std::map<size_t, uint32_t> with(std::map<size_t, uint32_t> words, size_t i, uint32_t v) {
  words[i] = v;
  return words;
}

TEST(DefaultNpRegs, LowerNpOfNode) {
  auto expected = with(with(fixed_words, 3, 5u << 24), 56, 0x00800000);
  expect_words(v2::default_np_regs(np_with_id(0), 5, false, false), expected);
  expect_words(v2::default_np_regs(np_with_id(1), 5, false, false), expected);
}

TEST(DefaultNpRegs, UpperNpOfNodeAndMerge) {
  expect_words(v2::default_np_regs(np_with_id(2), 0, false, false),
               with(fixed_words, 56, 0x01800100));
  expect_words(v2::default_np_regs(np_with_id(3), 255, false, true),
               with(with(fixed_words, 3, 0xFF000000), 56, 0x01800108));
  expect_words(v2::default_np_regs(np_with_id(0), 1, false, true),
               with(with(fixed_words, 3, 0x01000000), 56, 0x00800008));
}

TEST(DefaultNpRegs, RegistersOnlyMarksIndexFE) {
  expect_words(v2::default_np_regs(np_with_id(1), 7, true, false),
               with(with(fixed_words, 3, 0xFE000000), 56, 0x00800000));
  // The index is not written, so it cannot overflow either.
  EXPECT_EQ(v2::default_np_regs(np_with_id(1), 1000, true, false)[3], 0xFE000000u);
}

TEST(DefaultNpRegs, IndexAbove255Panics) {
  try {
    v2::default_np_regs(np_with_id(0), 256, false, false);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "Attempted to write value 256 into a 8-bit field, which will cause an overflow.");
  }
}

TEST(SetIbSpikes, SetsBit7OfWord2Only) {
  auto image = v2::default_np_regs(np_with_id(0), 0, false, false);
  auto before = image;
  v2::set_ib_spikes(image);
  before[2] |= 0x80;
  EXPECT_EQ(image, before);
  v2::set_ib_spikes(image);  // idempotent
  EXPECT_EQ(image, before);
  std::vector<uint32_t> too_short(2, 0);
  EXPECT_THROW(v2::set_ib_spikes(too_short), std::out_of_range);
}

std::shared_ptr<Dense> shifts_0_to(uint32_t n) {
  auto t = Dense::create(TensorType::uint8, Shape{n});
  for (uint32_t i = 0; i < n; ++i) t->data<uint8_t>()[i] = static_cast<uint8_t>(i + 1);
  return t;
}

TEST(FormatInputShift, WholeTensorPacksFourPerWordInBlocksOfTwoWords) {
  const auto t = shifts_0_to(5);
  EXPECT_EQ(v2::format_input_shift(*t, 0, 0), (std::vector<uint32_t>{0x04030201, 0x00000005}));
  const auto nine = shifts_0_to(9);
  EXPECT_EQ(v2::format_input_shift(*nine, 0, 0),
            (std::vector<uint32_t>{0x04030201, 0x08070605, 0x00000009, 0}));
  const auto eight = shifts_0_to(8);
  EXPECT_EQ(v2::format_input_shift(*eight, 0, 0).size(), 2u);
}

TEST(FormatInputShift, SubRange) {
  const auto t = shifts_0_to(12);
  EXPECT_EQ(v2::format_input_shift(*t, 3, 3), (std::vector<uint32_t>{0x00060504, 0}));
  EXPECT_EQ(v2::format_input_shift(*t, 11, 1), (std::vector<uint32_t>{0x0000000C, 0}));
  // An empty range from a later channel (count 0) holds no words, even past the end.
  EXPECT_EQ(v2::format_input_shift(*t, 3, 0), std::vector<uint32_t>{});
  EXPECT_EQ(v2::format_input_shift(*t, 12, 0), std::vector<uint32_t>{});
  auto high = Dense::create(TensorType::uint8, Shape{1});
  high->data<uint8_t>()[0] = 0xFF;
  EXPECT_EQ(v2::format_input_shift(*high, 0, 1), (std::vector<uint32_t>{0xFF, 0}));
}

TEST(FormatInputShift, RefusesOtherTypesAndReadsPastTheEnd) {
  const auto int8 = Dense::create(TensorType::int8, Shape{4});
  try {
    v2::format_input_shift(*int8, 0, 0);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("Wrong requested type"), std::string::npos) << e.what();
  }
  const auto t = shifts_0_to(4);
  try {
    // A huge count must fail on the first missing element, not allocate for it.
    v2::format_input_shift(*t, 2, 0xFFFFFFFFu);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("Coordinates are out-of-range"), std::string::npos)
        << e.what();
  }
  EXPECT_THROW(v2::format_input_shift(*t, 1, 4), std::runtime_error);
  EXPECT_EQ(v2::format_input_shift(*t, 0, 4).size(), 2u);
}

}  // namespace
}  // namespace qalto
