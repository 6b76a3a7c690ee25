#include "python/registry.hpp"

namespace qalto::python {

void register_hw_version(py::module_& /*m*/) {}

}  // namespace qalto::python
