// The flash controller of boards whose driver has a flash.

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "devices/flash.hpp"
#include "devices/host_device.hpp"
#include "tests/support/simulated_board.hpp"

namespace qalto {
namespace {

using testing::SimulatedBoard;

std::shared_ptr<Device> host_device(const std::shared_ptr<SimulatedBoard>& board) {
  return std::make_shared<HostDevice>(std::make_shared<testing::SimulatedDevice>(board));
}

std::string flash_error(const Device& device) {
  try {
    get_flash(device);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "no error";
}

TEST(FlashTest, FlashDriverHandsOutItsController) {
  auto config = testing::v1_board();
  config.flash = true;
  auto board = SimulatedBoard::create(config);
  auto device = host_device(board);
  const auto controller = get_flash(*device);
  ASSERT_NE(controller, nullptr);
  EXPECT_EQ(controller, get_flash(*device));  // one controller, shared
  try {
    controller->get_id();
    FAIL() << "get_id answered";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "get_id function is not yet implemented");
  }
}

TEST(FlashTest, FlashOnASocDriverToo) {
  auto config = testing::v1_board();
  config.flash = true;
  config.soc = true;
  auto board = SimulatedBoard::create(config);
  EXPECT_NE(dynamic_cast<SocDriver*>(board->driver()), nullptr);
  EXPECT_NE(get_flash(*host_device(board)), nullptr);
}

TEST(FlashTest, DevicesWithoutAFlashAreRefused) {
  const std::string refused = "The device does not contain an QTX7700 flash";
  EXPECT_EQ(flash_error(*host_device(SimulatedBoard::create(testing::v1_board()))), refused);
  auto virtual_device = make_virtual_device(HwVersion::QTX7700_v1, Mesh(IpVersion::v1, {}, {},
                                                                         std::nullopt, {}, {}));
  EXPECT_EQ(flash_error(*virtual_device), refused);
  auto config = testing::v1_board();
  config.flash = true;
  auto board = SimulatedBoard::create(config);
  auto device = host_device(board);
  board->config().has_driver = false;
  EXPECT_EQ(flash_error(*device), refused);
}

TEST(FlashTest, ControllerErrorsReachTheCaller) {
  auto config = testing::v1_board();
  config.flash = true;
  auto board = SimulatedBoard::create(config);
  board->fail("flash_controller", "flash busy", 1);
  EXPECT_THROW(get_flash(*host_device(board)), std::runtime_error);
}

}  // namespace
}  // namespace qalto
