// The clock-mode register protocol on a simulated SoC board, and the host services.

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "devices/soc.hpp"
#include "tests/support/simulated_board.hpp"

namespace qalto {
namespace {

using testing::SimulatedBoard;

std::shared_ptr<SimulatedBoard> soc_board() {
  auto config = testing::v1_board();
  config.soc = true;
  return SimulatedBoard::create(config);
}

std::string message_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

TEST(ClockModeTest, DividerSelectsTheMode) {
  auto board = soc_board();
  HardwareDriver& driver = *board->driver();
  const std::pair<uint32_t, soc::ClockMode> cases[] = {
      {1, soc::ClockMode::Performance},
      {5, soc::ClockMode::Economy},
      {119, soc::ClockMode::LowPower},
      {0x105, soc::ClockMode::Economy},  // only the low byte is the divider
  };
  for (const auto& [divider, mode] : cases) {
    board->set_register(soc::CLOCK_DIVIDER_ADDRESS, divider);
    EXPECT_EQ(soc::get_clock_mode(driver), mode) << divider;
  }
}

TEST(ClockModeTest, DividerOfNoModeIsRefused) {
  auto board = soc_board();
  board->set_register(soc::CLOCK_DIVIDER_ADDRESS, 0);
  EXPECT_EQ(message_of([&] { soc::get_clock_mode(*board->driver()); }),
            "Unexpected frequency value detected: 600000000.");
  board->set_register(soc::CLOCK_DIVIDER_ADDRESS, 2);
  EXPECT_EQ(message_of([&] { soc::get_clock_mode(*board->driver()); }),
            "Unexpected frequency value detected: 200000000.");
  board->set_register(soc::CLOCK_DIVIDER_ADDRESS, 255);
  EXPECT_EQ(message_of([&] { soc::get_clock_mode(*board->driver()); }),
            "Unexpected frequency value detected: 2343750.");
}

TEST(ClockModeTest, SettingWritesTheDividersThenStartsAndPolls) {
  auto board = soc_board();
  board->config().clock_apply_reads = 2;
  board->clear_log();
  soc::set_clock_mode(*board->driver(), soc::ClockMode::Economy);
  EXPECT_EQ(board->log(), (std::vector<std::string>{
                              "read 0xf0001030", "write 0xf00011a0 11", "write 0xf0001190 5",
                              "write 0xf00011b0 5", "write 0xf0001030 1", "read 0xf0001030",
                              "read 0xf0001030", "read 0xf0001030"}));
  EXPECT_EQ(soc::get_clock_mode(*board->driver()), soc::ClockMode::Economy);
  soc::set_clock_mode(*board->driver(), soc::ClockMode::LowPower);
  EXPECT_EQ(board->register_value(soc::CLOCK_DOUBLE_DIVIDER_ADDRESS), 239u);
  EXPECT_EQ(board->register_value(soc::CLOCK_DIVIDER_COPY_ADDRESS), 119u);
}

TEST(ClockModeTest, InvalidModeTouchesNoRegister) {
  auto board = soc_board();
  board->clear_log();
  const auto invalid = static_cast<soc::ClockMode>(200000000);
  EXPECT_THROW(soc::set_clock_mode(*board->driver(), invalid), std::invalid_argument);
  EXPECT_EQ(message_of([&] { soc::set_clock_mode(*board->driver(), invalid); }),
            "Invalid clock mode");
  EXPECT_TRUE(board->log().empty());
}

TEST(ClockModeTest, ChangeInProgressIsRefusedAfterOneRead) {
  auto board = soc_board();
  board->config().clock_stuck = true;
  board->clear_log();
  EXPECT_EQ(message_of([&] { soc::set_clock_mode(*board->driver(), soc::ClockMode::Economy); }),
            "Clock mode is already changing.");
  EXPECT_EQ(board->log(), std::vector<std::string>{"read 0xf0001030"});
}

TEST(ClockModeTest, ChangeThatNeverAppliesTimesOutAfterTenMilliseconds) {
  auto board = soc_board();
  // Idle at the first read, then busy for ever once the change starts.
  bool started = false;
  board->on_write(soc::CLOCK_CHANGE_ADDRESS, [&](uint32_t) { started = true; });
  board->on_read(soc::CLOCK_CHANGE_ADDRESS, [&](uint32_t) -> uint32_t { return started ? 1 : 0; });
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(message_of([&] { soc::set_clock_mode(*board->driver(), soc::ClockMode::Economy); }),
            "Failed to apply clock mode.");
  const auto elapsed = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(elapsed, std::chrono::milliseconds(10));
  EXPECT_LT(elapsed, std::chrono::seconds(2));
  EXPECT_EQ(board->register_value(soc::CLOCK_DIVIDER_ADDRESS), 5u);  // the writes stay
}

TEST(ClockModeTest, RegisterFaultsReachTheCaller) {
  auto board = soc_board();
  board->fail("write", "bus stalled", 1);
  EXPECT_EQ(message_of([&] { soc::set_clock_mode(*board->driver(), soc::ClockMode::Economy); }),
            "bus stalled");
}

TEST(ClockModeTest, SocBoardDriverUsesTheProtocol) {
  auto board = soc_board();
  auto* driver = dynamic_cast<SocDriver*>(board->driver());
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(driver->clock_mode(), soc::ClockMode::Performance);
  driver->set_clock_mode(soc::ClockMode::LowPower);
  EXPECT_EQ(driver->clock_mode(), soc::ClockMode::LowPower);
  EXPECT_EQ(driver->power_meter(), nullptr);
  driver->set_power_measurement_enabled(true);
  EXPECT_EQ(driver->power_meter(), board->meter());
}

TEST(HostServicesTest, SleepZeroReturnsAtOnce) {
  const auto begin = std::chrono::steady_clock::now();
  msleep(0);
  // Nothing to wait for: far below any sleep the scheduler could add.
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
  kick_watchdog();
}

void ignore_signal(int) {}

TEST(HostServicesTest, SleepResumesAfterASignal) {
  struct sigaction action {};
  action.sa_handler = ignore_signal;  // no SA_RESTART: nanosleep returns EINTR
  sigemptyset(&action.sa_mask);
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  const pthread_t sleeper = pthread_self();
  std::thread interrupter([sleeper] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    pthread_kill(sleeper, SIGUSR1);
  });
  const int64_t begin = time_ms();
  msleep(1500);
  const int64_t slept = time_ms() - begin;
  interrupter.join();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_GE(slept, 1500);
  EXPECT_LT(slept, 3000);
}

TEST(HostServicesTest, TimeFollowsTheMonotonicClock) {
  const int64_t steady = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
  const int64_t first = time_ms();
  EXPECT_LE(std::llabs(first - steady), 5);
  msleep(20);
  EXPECT_GE(time_ms() - first, 20);
}

}  // namespace
}  // namespace qalto
