// The boardQtx7700 submodule (get_flash) and the SpiFlashController class, for testing,
// debugging and validation of QTX7700 boards.

#include "devices/flash.hpp"
#include "python/hardware_device.hpp"
#include "python/registry.hpp"

namespace qalto::python {

void register_flash(py::module_& m) {
  py::options options;
  options.disable_function_signatures();

  py::module_ board = m.def_submodule(
      "boardQtx7700",
      "Spi flash controller for the qtx7700meant for testing, debugging and validation only.");
  board.def("get_flash", [](const PyHardwareDevice& device) { return get_flash(device); });

  py::class_<SpiFlashController, std::shared_ptr<SpiFlashController>>(m, "SpiFlashController")
      .def("get_id", &SpiFlashController::get_id);
}

}  // namespace qalto::python
