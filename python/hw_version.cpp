// Python class HwVersion: the four identification bytes of a chip and its named versions.

#include <pybind11/operators.h>

#include "python/registry.hpp"
#include "qalto/hw.hpp"

namespace qalto::python {

namespace {

// The named versions are process-wide constants: Python gets references to them, never owners.
void add_named_version(py::class_<HwVersion>& cls, const char* name, const HwVersion& version) {
  cls.attr(name) = py::cast(&version, py::return_value_policy::reference);
}

}  // namespace

void register_hw_version(py::module_& m) {
  py::class_<HwVersion> cls(m, "HwVersion");
  // uint8_t arguments make the binding refuse floats, negatives and values above 255.
  cls.def(py::init([](uint8_t vendor_id, uint8_t product_id, uint8_t major_rev,
                      uint8_t minor_rev) {
            return HwVersion{vendor_id, product_id, major_rev, minor_rev};
          }))
      .def_property_readonly(
          "vendor_id", [](const HwVersion& v) { return v.vendor_id; },
          "The hardware vendor identifier")
      .def_property_readonly(
          "product_id", [](const HwVersion& v) { return v.product_id; },
          "The hardware product identifier")
      .def_property_readonly(
          "major_rev", [](const HwVersion& v) { return v.major_rev; },
          "The hardware major revision")
      .def_property_readonly(
          "minor_rev", [](const HwVersion& v) { return v.minor_rev; },
          "The hardware minor revision")
      .def_property_readonly(
          "ip_version", [](const HwVersion& v) { return v.get_ip_version(); }, "The IP version.")
      .def("__str__", &HwVersion::to_display_string)
      .def("__repr__", &HwVersion::to_display_string)
      .def(py::self == py::self);
  add_named_version(cls, "Vrox_v1", HwVersion::Vrox_v1);
  add_named_version(cls, "Vrox_v2", HwVersion::Vrox_v2);
  add_named_version(cls, "Tavik_v1", HwVersion::Tavik_v1);
  add_named_version(cls, "QTX7700_v1", HwVersion::QTX7700_v1);
  add_named_version(cls, "FPGA_v2", HwVersion::FPGA_v2);
  add_named_version(cls, "Mivo_FPGA", HwVersion::Mivo_FPGA);
}

}  // namespace qalto::python
