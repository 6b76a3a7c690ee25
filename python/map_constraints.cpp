#include "python/registry.hpp"

namespace qalto::python {

void register_map_constraints(py::module_& /*m*/) {}

}  // namespace qalto::python
