#include "python/registry.hpp"

namespace qalto::python {

void register_graph_utils(py::module_& /*m*/) {}

}  // namespace qalto::python
