#include "testing.hpp"

namespace qalto::testing {

void register_testing_convert(py::module_& /*m*/) {}

}  // namespace qalto::testing
