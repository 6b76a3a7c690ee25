// Python face of power measurements: PowerEvent and PowerMeter. Python only reads the meter; the
// engine's SoC driver logs into it.

#include <pybind11/stl.h>

#include <cstdint>
#include <memory>

#include "devices/power_meter.hpp"
#include "python/registry.hpp"

namespace qalto::python {

namespace {

using PowerEvent = PowerMeter::PowerEvent;

constexpr const char* power_event_doc = R"(
    A timestamped power measurement.

    Each PowerEvent contains:
    - a voltage value in µV (microvolt),
    - a current value in mA (milliampere),
    - the corresponding power value in mW (milliwatt).
          )";

constexpr const char* power_meter_doc = R"(
    Gives access to power measurements.

    When power measurements are enabled for a specific device, this object
    stores them as a list of ``PowerEvent`` objects.
    The events list cannot exceed a predefined size: when it is full, older
    events are replaced by newer events.
          )";

// Microvolts times milliamperes, in nanowatts.
constexpr uint64_t nanowatts_per_milliwatt = 1000000;

// Formed in 64 bits: two 32-bit factors cannot overflow it (5 V at 1 A is 5e9 before division).
uint64_t power_mw(const PowerEvent& event) {
  return uint64_t{event.voltage} * uint64_t{event.current} / nanowatts_per_milliwatt;
}

py::object floor_or_none(const PowerMeter& meter) {
  if (!meter.has_events()) return py::none();
  return py::float_(meter.floor());
}

}  // namespace

void register_power(py::module_& m) {
  // Docstrings are shown exactly as written, without generated signatures.
  py::options options;
  options.disable_function_signatures();

  py::class_<PowerEvent>(m, "PowerEvent", power_event_doc)
      .def_readonly("ts", &PowerEvent::ts, "Timestamp of the event")
      .def_readonly("voltage", &PowerEvent::voltage, "Voltage value in µV")
      .def_readonly("current", &PowerEvent::current, "Current value in mA")
      .def_property_readonly("power", &power_mw, "Power value in mW");

  py::class_<PowerMeter, std::shared_ptr<PowerMeter>>(m, "PowerMeter", power_meter_doc)
      .def("events", &PowerMeter::events, "Retrieve all pending events")
      .def_property_readonly("floor", &floor_or_none, "Get the floor power");
}

}  // namespace qalto::python
