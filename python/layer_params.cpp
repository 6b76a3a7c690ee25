#include "python/registry.hpp"

namespace qalto::python {

void register_layer_params(py::module_& /*m*/) {}

}  // namespace qalto::python
