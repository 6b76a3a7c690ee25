#pragma once
// The clock modes of a chip inside a system-on-chip, set and read through its clock registers,
// and the small host services the engine's driver stack calls back into the module for.

#include <cstdint>

#include "qalto/device.hpp"
#include "qalto/reg_detail.hpp"
#include "qalto/soc.hpp"

namespace qalto::soc {

// Bus addresses of the clock registers (each moved as one 4-byte transfer).
inline constexpr uint32_t CLOCK_CHANGE_ADDRESS = 0xF0001030;  // bit 0: a change is being applied
inline constexpr uint32_t CLOCK_DIVIDER_ADDRESS = 0xF0001190;  // divider d
inline constexpr uint32_t CLOCK_DOUBLE_DIVIDER_ADDRESS = 0xF00011A0;  // 2d + 1
inline constexpr uint32_t CLOCK_DIVIDER_COPY_ADDRESS = 0xF00011B0;  // divider d

QALTO_REG_FIELD(CLOCK_CHANGE_BUSY, 0, 1);
QALTO_REG_FIELD(CLOCK_DIVIDER, 0, 8);

// The clock the dividers divide: frequency = base / (d + 1).
inline constexpr uint32_t BASE_FREQUENCY_HZ = 600000000;
// How long a clock change may take before it counts as failed.
inline constexpr int64_t CLOCK_CHANGE_TIMEOUT_NS = 10000000;

// Whether `frequency` is one of the three clock modes.
bool is_clock_mode(uint32_t frequency);

// The current clock mode of the chip behind `driver`, from its divider register. Throws
// runtime_error "Unexpected frequency value detected: <hz>." for a divider of no mode, and the
// errors of the register read.
ClockMode get_clock_mode(HardwareDriver& driver);

// Writes the dividers of `mode`, starts the change and polls until it is applied. Throws
// invalid_argument "Invalid clock mode" (no register touched) for a value that is not a mode,
// runtime_error "Clock mode is already changing." when a change is in progress (nothing
// written), runtime_error "Failed to apply clock mode." when the change is not applied within
// 10 ms (the registers keep the values written), and the errors of the register transfers.
void set_clock_mode(HardwareDriver& driver, const ClockMode& mode);

}  // namespace qalto::soc

extern "C" {
// Sleeps `milliseconds`, resuming after signals; 0 returns at once.
void msleep(uint32_t milliseconds);
// Milliseconds of the monotonic clock.
int64_t time_ms();
// The module has no watchdog of its own to serve: returns at once.
void kick_watchdog();
}
