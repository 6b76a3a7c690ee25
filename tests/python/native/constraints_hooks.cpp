// Hooks for the tests of MapConstraints and the NP classes: call the mapping hooks the way the
// mapping does (from C++, through the virtual operations), keep constraints on the C++ side
// after Python dropped them, and make components, which only a layer's mapping gives out.

#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "python/py_map_constraints.hpp"
#include "qalto/hw.hpp"
#include "testing.hpp"

namespace qalto::testing {

namespace {

// Constraints kept by C++ alone, as a mapping in progress would keep them.
std::shared_ptr<MapConstraints>& held_constraints() {
  static std::shared_ptr<MapConstraints> held;
  return held;
}

std::shared_ptr<MapConstraints> require_held() {
  auto held = held_constraints();
  if (!held) throw std::runtime_error("No constraints are held.");
  return held;
}

hw::Component make_component(hw::Type type, const hw::Ident& ident,
                             std::optional<uint32_t> start_neuron, uint32_t filters, uint32_t x,
                             uint32_t y, const std::vector<uint32_t>& shape, bool single_buffer,
                             const std::vector<uint32_t>& mem_sizes) {
  hw::Component component;
  component.type = type;
  component.ident = ident;
  if (start_neuron) {
    hw::NpPart part;
    part.start_neuron = *start_neuron;
    part.filters = filters;
    part.spatial_partition = NpSpace{x, y, Shape(shape)};
    part.single_buffer = single_buffer;
    component.np_part = part;
  }
  if (!mem_sizes.empty()) {
    if (mem_sizes.size() != 7) throw std::invalid_argument("mem_sizes takes seven sizes.");
    component.mem_info = MemoryInfo{mem_sizes[0], mem_sizes[1], mem_sizes[2], mem_sizes[3],
                                    mem_sizes[4], mem_sizes[5], mem_sizes[6]};
  }
  return component;
}

}  // namespace

void register_testing_constraints(py::module_& m) {
  m.def(
      "call_select_nps",
      [](py::handle constraints, const std::vector<hw::Ident>& candidates, uint64_t count,
         hw::Type type) {
        return python::hold_map_constraints(constraints)->select_nps(candidates, count, type);
      },
      py::arg("constraints"), py::arg("candidates"), py::arg("count"), py::arg("type"));
  // Takes bytes so that a test can hand over a name that is not valid UTF-8.
  m.def(
      "call_next_layer_handler",
      [](py::handle constraints, const py::bytes& name) {
        python::hold_map_constraints(constraints)->next_layer_handler(std::string(name));
      },
      py::arg("constraints"), py::arg("name"));
  m.def(
      "hold_constraints",
      [](py::handle constraints) {
        held_constraints() = python::hold_map_constraints(constraints);
      },
      py::arg("constraints"));
  m.def("held_select_nps",
        [](const std::vector<hw::Ident>& candidates, uint64_t count, hw::Type type) {
          return require_held()->select_nps(candidates, count, type);
        });
  m.def("held_next_layer_handler",
        [](const std::string& name) { require_held()->next_layer_handler(name); });
  m.def("held_cnp_max_width", [] { return require_held()->cnp_max_width(); });
  m.def("release_constraints", [] { held_constraints().reset(); });
  m.def("make_component", &make_component, py::arg("type"), py::arg("ident"),
        py::arg("start_neuron") = std::nullopt, py::arg("filters") = 0u, py::arg("x") = 0u,
        py::arg("y") = 0u, py::arg("shape") = std::vector<uint32_t>{},
        py::arg("single_buffer") = false, py::arg("mem_sizes") = std::vector<uint32_t>{});
}

}  // namespace qalto::testing
