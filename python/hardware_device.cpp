#include "python/registry.hpp"

namespace qalto::python {

void register_hardware_device(py::module_& /*m*/) {}

}  // namespace qalto::python
