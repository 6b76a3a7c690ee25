#pragma once
// The registration steps of the module body, one per class family, called by module.cpp in a
// fixed order. Each is defined in the python/ file named beside it.

#include <pybind11/pybind11.h>

namespace qalto::python {

namespace py = pybind11;

void register_model(py::module_& m);              // model.cpp
void register_layer(py::module_& m);              // layer.cpp
void register_layer_params(py::module_& m);       // layer_params.cpp
void register_optimizer(py::module_& m);          // optimizer.cpp
void register_variables(py::module_& m);          // variables.cpp
void register_metrics(py::module_& m);            // metrics.cpp
void register_device(py::module_& m);             // device.cpp
void register_soc_driver(py::module_& m);         // soc.cpp
void register_hardware_device(py::module_& m);    // hardware_device.cpp
void register_hw_version(py::module_& m);         // hw_version.cpp
void register_np_mesh(py::module_& np);           // np_mesh.cpp
void register_np_components(py::module_& np);     // np_components.cpp
void register_map_constraints(py::module_& m);    // map_constraints.cpp
void register_sequences(py::module_& m);          // sequences.cpp
void register_power(py::module_& m);              // power.cpp
void register_program_memory(py::module_& m);     // program_memory.cpp
void register_nn(py::module_& m);                 // nn.cpp
void register_flash(py::module_& m);              // flash.cpp
void register_graph_utils(py::module_& m);        // graph_utils.cpp

}  // namespace qalto::python
