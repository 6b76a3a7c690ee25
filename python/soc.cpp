// Python class SocDriver: the clock mode and power measurement of a chip inside a
// system-on-chip. Instances refer to the engine's driver, which the engine owns.

#include "python/registry.hpp"
#include "qalto/device.hpp"
#include "devices/power_meter.hpp"

namespace qalto::python {

namespace {

// Takes the value as an object so that a refusal names the Python types, not the C++ enum
// the binding would otherwise print in its "incompatible function arguments" message.
void set_clock_mode(SocDriver& driver, const py::object& value) {
  if (!py::isinstance(value, py::type::of<soc::ClockMode>())) {
    const auto type_name = py::type::handle_of(value).attr("__name__").cast<std::string>();
    throw py::type_error("clock_mode must be a soc.ClockMode, not " + type_name + ".");
  }
  driver.set_clock_mode(value.cast<soc::ClockMode>());
}

}  // namespace

void register_soc_driver(py::module_& m) {
  // soc.ClockMode and PowerMeter are registered later in the module body; the binding resolves
  // them when a call converts its values.
  py::class_<SocDriver, std::unique_ptr<SocDriver, py::nodelete>>(m, "SocDriver")
      .def_property(
          "clock_mode", [](SocDriver& driver) { return driver.clock_mode(); },
          &set_clock_mode,
          "Clock mode of the Vrox.")
      .def_property(
          "power_measurement_enabled",
          [](SocDriver& driver) { return driver.power_meter() != nullptr; },
          [](SocDriver& driver, bool enabled) { driver.set_power_measurement_enabled(enabled); },
          "Power measurement is off by default. Toggle it on to get power information in the "
          "statistics or when calling PowerMeter.events().")
      .def_property_readonly(
          "power_meter", [](SocDriver& driver) { return driver.power_meter(); },
          "Power meter associated to the SoC.");
}

}  // namespace qalto::python
