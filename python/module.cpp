// Entry of the extension module `core`: the init function, the execution slot and the module
// body, which registers every class, enum and submodule in a fixed order.

#include <pybind11/pybind11.h>

#include <exception>
#include <mutex>
#include <string>

#include "python/registry.hpp"
#include "python/startup.hpp"
#include "qalto/backend.hpp"
#include "qalto/hw.hpp"
#include "qalto/soc.hpp"
#include "qalto/version.hpp"

namespace py = pybind11;
using namespace qalto;
using namespace qalto::python;

namespace {

#define QALTO_STR2(x) #x
#define QALTO_STR(x) QALTO_STR2(x)
constexpr const char* compiled_python_version = QALTO_STR(PY_MAJOR_VERSION) "." QALTO_STR(PY_MINOR_VERSION);

void register_inline_enums_backend(py::module_& m) {
  py::enum_<BackendType>(m, "BackendType")
      .value("Software", BackendType::Software)
      .value("Hardware", BackendType::Hardware)
      .value("Hybrid", BackendType::Hybrid)
      .export_values();
}

void register_soc_submodule(py::module_& m) {
  py::module_ soc = m.def_submodule("soc", "Qalto Vrox specific functions");
  py::enum_<soc::ClockMode>(soc, "ClockMode", "Clock mode configuration")
      .value("Performance", soc::ClockMode::Performance)
      .value("Economy", soc::ClockMode::Economy)
      .value("LowPower", soc::ClockMode::LowPower)
      .export_values();
}

void register_ip_version(py::module_& m) {
  py::enum_<IpVersion>(m, "IpVersion", "The reference Qalto IP version")
      .value("none", IpVersion::none)
      .value("v1", IpVersion::v1)
      .value("v2", IpVersion::v2)
      .value("mivo", IpVersion::mivo)
      .export_values();
}

void pybind11_init_core(py::module_& m) {
  py::options options;
  options.disable_enum_members_docstring();

  m.doc() = "Qalto core library";
  m.attr("__version__") = py::str(qalto::version());
  register_inline_enums_backend(m);
  register_model(m);
  register_layer(m);
  register_layer_params(m);
  register_optimizer(m);
  register_variables(m);
  register_metrics(m);
  register_device(m);
  register_soc_driver(m);
  register_hardware_device(m);
  register_hw_version(m);
  py::module_ np = m.def_submodule("NP", "Neural Processor");
  register_np_mesh(np);
  register_np_components(np);
  register_map_constraints(m);
  register_sequences(m);
  register_power(m);
  register_soc_submodule(m);
  register_program_memory(m);
  register_nn(m);
  register_ip_version(m);
  register_flash(m);
  register_graph_utils(m);
}

int pybind11_exec_core(PyObject* module) {
  try {
    auto m = py::reinterpret_borrow<py::module_>(module);
    pybind11_init_core(m);
    return 0;
  } catch (py::error_already_set& e) {
    e.restore();
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    PyErr_SetString(PyExc_ImportError, "initialization failed");
    PyObject *import_type, *import_value, *import_traceback;
    PyErr_Fetch(&import_type, &import_value, &import_traceback);
    PyErr_NormalizeException(&import_type, &import_value, &import_traceback);
    PyException_SetCause(import_value, value);  // steals `value`
    PyException_SetContext(import_value, nullptr);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyErr_Restore(import_type, import_value, import_traceback);
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_ImportError, "unknown exception");
  }
  return -1;
}

PyModuleDef* module_definition() {
  static PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(&pybind11_exec_core)},
                                     {0, nullptr}};
  static PyModuleDef definition = {PyModuleDef_HEAD_INIT, "core", nullptr, 0, nullptr,
                                   slots, nullptr, nullptr, nullptr};
  return &definition;
}

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_core() {
  const std::string interpreter = Py_GetVersion();
  if (!interpreter_version_matches(compiled_python_version, interpreter)) {
    PyErr_SetString(PyExc_ImportError,
                    version_mismatch_message(compiled_python_version, interpreter).c_str());
    return nullptr;
  }
  static PyObject* definition = PyModuleDef_Init(module_definition());
  return definition;
}
