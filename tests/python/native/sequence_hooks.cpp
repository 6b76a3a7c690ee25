#include "testing.hpp"

namespace qalto::testing {

void register_testing_sequences(py::module_& /*m*/) {}

}  // namespace qalto::testing
