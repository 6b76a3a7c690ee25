#include "python/registry.hpp"

namespace qalto::python {

void register_soc_driver(py::module_& /*m*/) {}

}  // namespace qalto::python
