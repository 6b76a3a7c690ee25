#include "devices/soc.hpp"

#include <time.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>

#include "mapping/mesh_discovery.hpp"

namespace qalto::soc {

namespace {

uint32_t read_word(HardwareDriver& driver, uint32_t address) {
  uint32_t word = 0;
  driver.read(address, &word, sizeof(word));
  return word;
}

void write_word(HardwareDriver& driver, uint32_t address, uint32_t value) {
  driver.write(address, &value, sizeof(value));
}

bool change_in_progress(HardwareDriver& driver) {
  return mesh::get_field(read_word(driver, CLOCK_CHANGE_ADDRESS), CLOCK_CHANGE_BUSY) != 0;
}

// A divider register word; set_field refuses (panics) a value wider than the 8-bit field.
uint32_t divider_word(uint32_t value) {
  uint32_t word = 0;
  set_field(&word, CLOCK_DIVIDER, value);
  return word;
}

int64_t monotonic_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool is_clock_mode(uint32_t frequency) {
  return frequency == static_cast<uint32_t>(ClockMode::Performance) ||
         frequency == static_cast<uint32_t>(ClockMode::Economy) ||
         frequency == static_cast<uint32_t>(ClockMode::LowPower);
}

ClockMode get_clock_mode(HardwareDriver& driver) {
  const uint32_t divider =
      mesh::get_field(read_word(driver, CLOCK_DIVIDER_ADDRESS), CLOCK_DIVIDER);
  const uint32_t frequency = BASE_FREQUENCY_HZ / (divider + 1);
  if (!is_clock_mode(frequency)) {
    throw std::runtime_error("Unexpected frequency value detected: " + std::to_string(frequency) +
                             ".");
  }
  return static_cast<ClockMode>(frequency);
}

void set_clock_mode(HardwareDriver& driver, const ClockMode& mode) {
  const auto frequency = static_cast<uint32_t>(mode);
  if (!is_clock_mode(frequency)) throw std::invalid_argument("Invalid clock mode");
  if (change_in_progress(driver)) throw std::runtime_error("Clock mode is already changing.");

  const uint32_t divider = BASE_FREQUENCY_HZ / frequency - 1;
  write_word(driver, CLOCK_DOUBLE_DIVIDER_ADDRESS, divider_word(2 * divider + 1));
  const uint32_t divider_value = divider_word(divider);
  write_word(driver, CLOCK_DIVIDER_ADDRESS, divider_value);
  write_word(driver, CLOCK_DIVIDER_COPY_ADDRESS, divider_value);
  write_word(driver, CLOCK_CHANGE_ADDRESS, 1);

  // The chip clears the busy bit within microseconds; busy polling keeps the change short.
  const int64_t deadline = monotonic_ns() + CLOCK_CHANGE_TIMEOUT_NS;
  while (change_in_progress(driver)) {
    if (monotonic_ns() >= deadline) throw std::runtime_error("Failed to apply clock mode.");
  }
}

}  // namespace qalto::soc

extern "C" {

void msleep(uint32_t milliseconds) {
  if (milliseconds == 0) return;
  timespec request{static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000L};
  timespec remaining{};
  // A signal cuts the sleep short: sleep again for what is left.
  while (nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
}

int64_t time_ms() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
             .count() /
         1000000;
}

void kick_watchdog() {}

}  // extern "C"
