#include "testing.hpp"

PYBIND11_MODULE(qalto_testing, m) {
  m.doc() = "Test-only hooks into the qalto native layers.";
  // The public module registers the types these hooks exchange.
  pybind11::module_::import("qalto.core");
  qalto::testing::register_testing_convert(m);
  qalto::testing::register_testing_constraints(m);
  qalto::testing::register_testing_sequences(m);
  qalto::testing::register_testing_power(m);
  qalto::testing::register_testing_board(m);
}
