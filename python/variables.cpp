#include "python/registry.hpp"

namespace qalto::python {

void register_variables(py::module_& /*m*/) {}

}  // namespace qalto::python
