#include <gtest/gtest.h>

#include <stdexcept>

#include "mapping/fake_device.hpp"
#include "program/record.hpp"
#include "v2/compatibility_checker.hpp"
#include "v2/io_recorder.hpp"
#include "v2/layer_recorder.hpp"
#include "v2/memory_sizer.hpp"

namespace qalto {
namespace {

using hw::Type;

class V2Checker : public ::testing::Test {
 protected:
  std::shared_ptr<testing::FakeDevice> device = testing::make_device(0xA2);
  HardwareConstraints constraints = make_hardware_constraints(IpVersion::v2, device->mesh());
  v2::CompatibilityCheckerImpl checker{*device, constraints};

  bool dual(Type t, uint32_t h, uint32_t w, uint32_t c, uint32_t fifo, uint8_t bits,
            uint32_t shift = 0) const {
    return checker.is_sram_input_fit_dual_buffer(t, h, w, c, fifo, bits, shift);
  }
  bool single(Type t, uint32_t h, uint32_t w, uint32_t c, uint32_t fifo, uint8_t bits,
              uint32_t shift = 0) const {
    return checker.is_sram_input_fit_single_buffer(t, h, w, c, fifo, bits, shift);
  }
};

TEST_F(V2Checker, CnpNeedAtTheBufferBoundaries) {
  // 8-bit rows of 32 pixels: 32 bytes per channel row, 16 channels = 128 words per row.
  ASSERT_EQ(constraints.input_sram_dual_buffer_words, 8192u);
  ASSERT_EQ(constraints.input_sram_single_buffer_words, 16384u);
  for (Type t : {Type::CNP1, Type::CNP2}) {
    EXPECT_TRUE(dual(t, 64, 32, 16, 0, 8));
    EXPECT_FALSE(dual(t, 65, 32, 16, 0, 8));
    EXPECT_TRUE(single(t, 128, 32, 16, 0, 8));
    EXPECT_FALSE(single(t, 129, 32, 16, 0, 8));
    // The shift takes room away from the input.
    EXPECT_FALSE(dual(t, 64, 32, 16, 0, 8, 1));
    EXPECT_TRUE(dual(t, 63, 32, 16, 0, 8, 128));
    EXPECT_FALSE(dual(t, 63, 32, 16, 0, 8, 129));
  }
}

TEST_F(V2Checker, CnpRowsArePaddedToFourBytes) {
  // 3 pixels of 4 bits take 2 bytes, padded to one word per channel row.
  EXPECT_TRUE(dual(Type::CNP1, 8192, 3, 1, 0, 4));
  EXPECT_FALSE(dual(Type::CNP1, 8193, 3, 1, 0, 4));
  // 9 bits x 7 pixels = 63 bits -> 8 bytes -> 2 words per channel row.
  EXPECT_TRUE(dual(Type::CNP1, 4096, 7, 1, 0, 9));
  EXPECT_FALSE(dual(Type::CNP1, 4097, 7, 1, 0, 9));
  // The FIFO size does not matter on a CNP.
  EXPECT_TRUE(dual(Type::CNP2, 4096, 7, 1, 1000, 9));
}

TEST_F(V2Checker, TnpBNeedIsBlocksTimesFifo) {
  // One 8-bit pixel of one channel (padded to 4) is one word, rounded to a 64-word block.
  EXPECT_TRUE(dual(Type::TNP_B, 1, 1, 1, 127, 8));
  EXPECT_FALSE(dual(Type::TNP_B, 1, 1, 1, 128, 8));
  // 5 channels pad to 8: 8 x 64 pixels x 8 bits = 128 words, twice a block.
  EXPECT_TRUE(dual(Type::TNP_B, 1, 64, 5, 63, 8));
  EXPECT_FALSE(dual(Type::TNP_B, 1, 64, 5, 64, 8));
  EXPECT_TRUE(dual(Type::TNP_B, 1, 64, 8, 63, 8));
  EXPECT_TRUE(single(Type::TNP_B, 1, 64, 8, 127, 8));
  EXPECT_FALSE(single(Type::TNP_B, 1, 64, 8, 128, 8));
}

TEST_F(V2Checker, OtherTypesAreRefused) {
  for (Type t : {Type::None, Type::HRC, Type::FNP2, Type::FNP3, Type::TNP_R}) {
    try {
      dual(t, 1, 1, 1, 0, 8);
      FAIL() << "no exception for " << hw::to_string(t);
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Type of NP not supported.");
    }
    EXPECT_THROW(single(t, 1, 1, 1, 0, 8), std::runtime_error);
  }
}

TEST_F(V2Checker, ShiftAboveCapacityLeavesNoRoom) {
  // An empty input needs nothing; a shift equal to the capacity still leaves room for it...
  EXPECT_TRUE(dual(Type::CNP1, 0, 32, 16, 0, 8, 8192));
  // ...but a larger one does not wrap into a huge capacity.
  EXPECT_FALSE(dual(Type::CNP1, 0, 32, 16, 0, 8, 8193));
  EXPECT_FALSE(single(Type::TNP_B, 0, 1, 1, 0, 8, 0xFFFFFFFFu));
}

TEST_F(V2Checker, LargeInputsDoNotWrapIntoAFit) {
  // 2^26 words per row x 64 rows = 2^32 words: zero in 32-bit arithmetic.
  EXPECT_FALSE(single(Type::CNP1, 64, 4, 1u << 26, 0, 8));
  // A row of 2^27 words does not fit the 27-bit row register.
  EXPECT_FALSE(single(Type::CNP1, 1, 4, 1u << 27, 0, 8));
  // channels x row bytes = 2^32 bytes.
  EXPECT_FALSE(single(Type::CNP2, 1, 4, 1u << 30, 0, 8));
  // Saturating products on the TNP-B.
  EXPECT_FALSE(single(Type::TNP_B, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 255));
  // 4 channels x 2^24 pixels x 8 bits / 32 = 2^24 words; x 256 FIFO entries is 2^32.
  EXPECT_FALSE(single(Type::TNP_B, 1, 1u << 24, 4, 255, 8));
  EXPECT_EQ(v2::input_sram_need_words(Type::TNP_B, 1, 1u << 24, 4, 255, 8), uint64_t{1} << 32);
  EXPECT_EQ(v2::input_sram_need_words(Type::CNP1, 64, 4, 1u << 26, 0, 8), uint64_t{1} << 32);
}

TEST_F(V2Checker, SplitParamsFromKernelPoolAndFilters) {
  const LayerParams params(LayerType::Conv2D,
                           {{"kernel_size", 5}, {"pool_type", 1}, {"pool_size", 2}, {"filters", 48}});
  const NpSplitParams cnp = checker.np_split_params(Type::CNP2, params);
  EXPECT_EQ(cnp.left_margin, 2u);
  EXPECT_EQ(cnp.right_margin, 2u);
  EXPECT_EQ(cnp.top_margin, 2u);
  EXPECT_EQ(cnp.bottom_margin, 2u);
  EXPECT_EQ(cnp.pool_type, 1u);
  EXPECT_EQ(cnp.pool_width, 2u);
  EXPECT_EQ(cnp.pool_height, 2u);
  EXPECT_EQ(cnp.filters, 48u);

  const NpSplitParams tnp = checker.np_split_params(Type::TNP_B, params);
  EXPECT_EQ(tnp.left_margin + tnp.right_margin + tnp.top_margin + tnp.bottom_margin, 0u);
  EXPECT_EQ(tnp.filters, 48u);

  const NpSplitParams empty =
      checker.np_split_params(Type::CNP1, LayerParams(LayerType::Conv2D, {}));
  EXPECT_EQ(empty.left_margin + empty.pool_type + empty.pool_width + empty.filters, 0u);
}

TEST(V2Io, TypeCodesAreZeroAndSramSizesNone) {
  auto device = testing::make_device(0xA2);
  const v2::IoRecorderImpl io(*device);
  const auto layer = testing::make_input_layer("in");
  EXPECT_EQ(io.get_input_type(*layer), 0);
  EXPECT_EQ(io.get_output_type(*layer, 3), 0);
  const v2::MemorySizerImpl sizer;
  EXPECT_EQ(sizer.get_fsram_64b_memory_size(layer) + sizer.get_tsram_51b_memory_size(layer) +
                sizer.get_evsram_32b_memory_size(layer) + sizer.get_stsram_32b_memory_size(layer),
            0u);
}

}  // namespace
}  // namespace qalto
