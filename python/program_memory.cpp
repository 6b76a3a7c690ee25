#include "python/registry.hpp"

namespace qalto::python {

void register_program_memory(py::module_& /*m*/) {}

}  // namespace qalto::python
