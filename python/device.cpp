// Python class Device: the common face of virtual and hardware devices.

#include "python/registry.hpp"
#include "qalto/device.hpp"

namespace qalto::python {

void register_device(py::module_& m) {
  // HwVersion and NP.Mesh are registered later in the module body; the binding resolves them
  // when a call converts its arguments.
  py::class_<Device, std::shared_ptr<Device>>(m, "Device")
      .def(py::init([](const HwVersion& version, const Mesh& mesh) {
        return make_virtual_device(version, mesh);
      }))
      .def_property_readonly(
          "desc",
          [](const Device& device) -> py::object {
            const char* text = device.desc();
            if (!text) return py::none();
            return py::str(text);
          },
          "\n             Returns the Device description\n\n             :return: a string "
          "describing the Device\n           ")
      .def_property_readonly(
          "version", [](const Device& device) { return device.version(); },
          "The device hardware version.")
      .def_property_readonly(
          "ip_version", [](const Device& device) { return device.get_ip_version(); },
          "The device IP version.")
      .def_property_readonly(
          "mesh", [](const Device& device) -> const Mesh& { return device.mesh(); },
          py::return_value_policy::reference_internal, "The device Mesh layout");
}

}  // namespace qalto::python
