#include "python/registry.hpp"

namespace qalto::python {

void register_optimizer(py::module_& /*m*/) {}

}  // namespace qalto::python
