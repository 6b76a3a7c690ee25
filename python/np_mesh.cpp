#include "python/registry.hpp"

namespace qalto::python {

void register_np_mesh(py::module_& /*np*/) {}

}  // namespace qalto::python
