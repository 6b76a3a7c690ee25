#include "python/registry.hpp"

namespace qalto::python {

void register_flash(py::module_& /*m*/) {}

}  // namespace qalto::python
