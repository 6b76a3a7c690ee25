#include "testing.hpp"

namespace qalto::testing {

void register_testing_constraints(py::module_& /*m*/) {}

}  // namespace qalto::testing
