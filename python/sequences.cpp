#include "python/registry.hpp"

namespace qalto::python {

void register_sequences(py::module_& /*m*/) {}

}  // namespace qalto::python
