#pragma once
// The test-only extension module `qalto_testing`: hooks into the native layers that no public
// API reaches, for pytest. Each area adds one registration function here and one file beside.

#include <pybind11/pybind11.h>

namespace qalto::testing {

namespace py = pybind11;

void register_testing_convert(py::module_& m);      // convert_hooks.cpp
void register_testing_constraints(py::module_& m);  // constraints_hooks.cpp
void register_testing_sequences(py::module_& m);    // sequence_hooks.cpp
void register_testing_power(py::module_& m);        // power_hooks.cpp
void register_testing_board(py::module_& m);        // board_hooks.cpp

}  // namespace qalto::testing
