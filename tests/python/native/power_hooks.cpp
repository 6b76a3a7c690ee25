// Hooks for the power-meter tests: Python cannot log events itself (the engine's SoC driver does),
// so these log and reset from C++, on the calling thread or on a thread of their own.

#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <thread>

#include "devices/power_meter.hpp"
#include "testing.hpp"

namespace qalto::testing {

namespace {

// A logging thread that Python can wait for. Joined without the interpreter lock, so that a
// Python reader can run meanwhile.
class EventLogger {
 public:
  EventLogger(std::shared_ptr<PowerMeter> meter, int64_t first_ts, uint32_t count)
      : thread_([meter = std::move(meter), first_ts, count] {
          for (uint32_t i = 0; i < count; ++i) {
            const int64_t ts = first_ts + i;
            // The current encodes the timestamp, so a reader can tell a torn event.
            meter->log_event({ts, 1000000, static_cast<uint32_t>(ts % 1000) + 1});
          }
        }) {}
  ~EventLogger() {
    if (thread_.joinable()) thread_.join();
  }

  void join() {
    py::gil_scoped_release release;
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
};

}  // namespace

void register_testing_power(py::module_& m) {
  m.def("new_power_meter", [] { return std::make_shared<PowerMeter>(); },
        "A meter of its own for one test (the process-wide one is shared).");
  m.def(
      "log_power_event",
      [](PowerMeter& meter, int64_t ts, uint32_t voltage, uint32_t current) {
        meter.log_event({ts, voltage, current});
      },
      py::arg("meter"), py::arg("ts"), py::arg("voltage"), py::arg("current"));
  m.def("reset_power_meter", &PowerMeter::reset, py::arg("meter"), py::arg("timestamp"));
  m.def("power_meter_floor", &PowerMeter::floor, py::arg("meter"));

  py::class_<EventLogger>(m, "EventLogger").def("join", &EventLogger::join);
  m.def(
      "start_logging_thread",
      [](std::shared_ptr<PowerMeter> meter, int64_t first_ts, uint32_t count) {
        return std::make_unique<EventLogger>(std::move(meter), first_ts, count);
      },
      py::arg("meter"), py::arg("first_ts"), py::arg("count"));
}

}  // namespace qalto::testing
