#include <gtest/gtest.h>

#include <stdexcept>

#include "mapping/fake_device.hpp"
#include "program/record.hpp"
#include "v1/compatibility_checker.hpp"
#include "v1/io_recorder.hpp"
#include "v1/memory_sizer.hpp"

namespace qalto {
namespace {

class V1Checker : public ::testing::Test {
 protected:
  std::shared_ptr<testing::FakeDevice> device = testing::make_device(0x00);
  HardwareConstraints constraints = make_hardware_constraints(IpVersion::v1, device->mesh());
  v1::CompatibilityCheckerImpl checker{*device, constraints};
};

TEST_F(V1Checker, SplitParamsFromWidthHeightPairs) {
  const LayerParams params(LayerType::Convolutional,
                           {{"kernel_width", 5},
                            {"kernel_height", 3},
                            {"pool_type", 2},
                            {"pooling_width", 4},
                            {"pooling_height", 2},
                            {"filters", 100},
                            {"kernel_size", 7},
                            {"pool_size", 9}});
  const NpSplitParams split = checker.np_split_params(hw::Type::CNP1, params);
  EXPECT_EQ(split.left_margin, 2u);
  EXPECT_EQ(split.right_margin, 2u);
  EXPECT_EQ(split.top_margin, 1u);
  EXPECT_EQ(split.bottom_margin, 1u);
  EXPECT_EQ(split.pool_type, 2u);
  EXPECT_EQ(split.pool_width, 4u);
  EXPECT_EQ(split.pool_height, 2u);
  EXPECT_EQ(split.filters, 100u);
}

TEST_F(V1Checker, SplitParamsOfMissingOrNegativeValuesAreZero) {
  const NpSplitParams split = checker.np_split_params(
      hw::Type::CNP1, LayerParams(LayerType::Convolutional, {{"kernel_width", -3}}));
  EXPECT_EQ(split.left_margin + split.right_margin + split.top_margin + split.bottom_margin +
                split.pool_type + split.pool_width + split.pool_height + split.filters,
            0u);
}

TEST_F(V1Checker, UnbuiltOperationsSayWhichTheyAre) {
  try {
    checker.is_sram_input_fit_dual_buffer(hw::Type::CNP1, 1, 1, 1, 0, 8, 0);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "v1::CompatibilityCheckerImpl::is_sram_input_fit_dual_buffer is not implemented "
                 "yet.");
  }
}

TEST(V1Sizer, HasNoTnpRSram) {
  const v1::MemorySizerImpl sizer;
  const auto layer = testing::make_input_layer("in");
  EXPECT_EQ(sizer.get_fsram_64b_memory_size(layer), 0u);
  EXPECT_EQ(sizer.get_tsram_51b_memory_size(layer), 0u);
  EXPECT_EQ(sizer.get_evsram_32b_memory_size(layer), 0u);
  EXPECT_EQ(sizer.get_stsram_32b_memory_size(layer), 0u);
}

}  // namespace
}  // namespace qalto
