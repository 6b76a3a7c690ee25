#include "python/registry.hpp"

namespace qalto::python {

void register_model(py::module_& /*m*/) {}

}  // namespace qalto::python
