#include "devices/power_meter.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

namespace qalto {
namespace {

using Event = PowerMeter::PowerEvent;

std::vector<int64_t> timestamps(const std::vector<Event>& events) {
  std::vector<int64_t> stamps;
  for (const auto& e : events) stamps.push_back(e.ts);
  return stamps;
}

TEST(CircularQueue, KeepsTheNewestElementsOldestFirst) {
  CircularQueue<int> queue(3);
  EXPECT_TRUE(queue.empty());
  EXPECT_EQ(queue.size(), 0u);
  queue.push(1);
  queue.push(2);
  EXPECT_EQ(queue.size(), 2u);
  EXPECT_EQ(queue.get(false), (std::vector<int>{1, 2}));
  queue.push(3);
  EXPECT_TRUE(queue.full());
  queue.push(4);  // overwrites 1
  queue.push(5);  // overwrites 2
  EXPECT_EQ(queue.size(), 3u);
  EXPECT_EQ(queue.get(false), (std::vector<int>{3, 4, 5}));
  EXPECT_EQ(queue.get(true), (std::vector<int>{3, 4, 5}));
  EXPECT_TRUE(queue.empty());
  EXPECT_TRUE(queue.get(false).empty());
  queue.push(6);
  EXPECT_EQ(queue.get(false), (std::vector<int>{6}));
}

TEST(CircularQueue, SizeAfterTheWritePositionWrapsBeforeTheReadPosition) {
  CircularQueue<int> queue(4);
  for (int i = 0; i < 4; ++i) queue.push(i);
  queue.get(true);
  for (int i = 0; i < 3; ++i) queue.push(10 + i);
  EXPECT_EQ(queue.size(), 3u);
  EXPECT_EQ(queue.get(false), (std::vector<int>{10, 11, 12}));
}

TEST(CircularQueue, ZeroCapacityKeepsNothing) {
  CircularQueue<int> queue(0);
  queue.push(1);
  EXPECT_TRUE(queue.empty());
  EXPECT_TRUE(queue.get(false).empty());
}

TEST(PowerMeter, NewMeterIsEmpty) {
  PowerMeter meter;
  EXPECT_FALSE(meter.has_events());
  EXPECT_EQ(meter.floor(), 0.0f);
  EXPECT_TRUE(meter.events().empty());
}

TEST(PowerMeter, KeepsTheLastHundredEvents) {
  PowerMeter meter;
  for (int64_t ts = 1; ts <= 101; ++ts) meter.log_event({ts, 1000000, 100});
  std::vector<int64_t> expected;
  for (int64_t ts = 2; ts <= 101; ++ts) expected.push_back(ts);
  EXPECT_EQ(timestamps(meter.events()), expected);
  EXPECT_EQ(timestamps(meter.events()), expected);  // reading does not consume
}

TEST(PowerMeter, DropsEventsWithoutPowerOrNotAfterTheReset) {
  PowerMeter meter;
  meter.log_event({0, 1000000, 100});  // not after the initial reset time 0
  meter.log_event({-5, 1000000, 100});
  meter.log_event({1, 0, 100});
  meter.log_event({2, 1000000, 0});
  EXPECT_FALSE(meter.has_events());
  meter.log_event({3, 1000000, 100});
  ASSERT_EQ(meter.events().size(), 1u);
  EXPECT_EQ(meter.events().front(), (Event{3, 1000000, 100}));
}

TEST(PowerMeter, FloorIsTheLowestPowerSinceTheReset) {
  PowerMeter meter;
  meter.log_event({1, 1000000, 400});
  meter.log_event({2, 1000000, 270});
  meter.log_event({3, 1000000, 300});
  EXPECT_FLOAT_EQ(meter.floor(), 270.0f);

  meter.reset(10);
  EXPECT_TRUE(meter.has_events());  // events stay after a reset
  EXPECT_EQ(meter.events().size(), 3u);
  EXPECT_EQ(meter.floor(), 0.0f);  // unset
  meter.log_event({10, 1000000, 500});  // at the reset time: dropped
  EXPECT_EQ(meter.floor(), 0.0f);
  meter.log_event({11, 2000000, 450});  // 900 mW
  EXPECT_FLOAT_EQ(meter.floor(), 900.0f);
  EXPECT_EQ(timestamps(meter.events()), (std::vector<int64_t>{1, 2, 3, 11}));
}

TEST(PowerMeter, ExtremeSamplesKeepAFiniteFloor) {
  PowerMeter meter;
  const uint32_t max = std::numeric_limits<uint32_t>::max();
  meter.log_event({1, max, max});
  EXPECT_GT(meter.floor(), 0.0f);
  EXPECT_LT(meter.floor(), std::numeric_limits<float>::max());
  meter.log_event({std::numeric_limits<int64_t>::max(), 1, 1});  // 1e-6 mW, still positive
  EXPECT_GT(meter.floor(), 0.0f);
  EXPECT_LT(meter.floor(), 1e-5f);
}

TEST(PowerMeter, ProcessWideMeterIsOneObject) {
  EXPECT_EQ(PowerMeter::get().get(), PowerMeter::get().get());
  EXPECT_NE(PowerMeter::get(), nullptr);
}

// A logger and a reader at once: the reader must always see whole events, oldest first, never
// more than the ring holds.
TEST(PowerMeter, ConcurrentLoggingAndReadingSeeWholeEvents) {
  PowerMeter meter;
  constexpr int64_t count = 20000;
  std::atomic<bool> done{false};
  std::thread logger([&] {
    for (int64_t ts = 1; ts <= count; ++ts) {
      meter.log_event({ts, static_cast<uint32_t>(ts) * 3, static_cast<uint32_t>(ts) * 7});
      if (ts % 5000 == 0) meter.reset(0);
    }
    done = true;
  });
  bool consistent = true;
  size_t reads = 0;
  while (!done || reads == 0) {
    const auto events = meter.events();
    ++reads;
    if (events.size() > PowerMeter::capacity) consistent = false;
    for (size_t i = 0; i < events.size(); ++i) {
      const auto& e = events[i];
      if (e.voltage != e.ts * 3 || e.current != e.ts * 7) consistent = false;
      if (i > 0 && events[i - 1].ts + 1 != e.ts) consistent = false;
    }
    (void)meter.floor();
    (void)meter.has_events();
  }
  logger.join();
  EXPECT_TRUE(consistent);
  const auto events = meter.events();
  ASSERT_EQ(events.size(), PowerMeter::capacity);
  EXPECT_EQ(events.front().ts, count - 99);
  EXPECT_EQ(events.back().ts, count);
}

}  // namespace
}  // namespace qalto
