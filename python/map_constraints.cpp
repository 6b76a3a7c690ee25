// Python class MapConstraints, with Python overrides of the two mapping hooks.

#include <pybind11/stl.h>

#include "python/py_map_constraints.hpp"
#include "python/registry.hpp"

namespace qalto::python {

namespace {

[[noreturn]] void refuse_result(py::handle result) {
  throw py::cast_error("Unable to cast Python instance of type " +
                       py::str(py::type::of(result)).cast<std::string>() +
                       " to C++ type 'std::vector<qalto::hw::Ident>'");
}

// A list or tuple (any sequence but text) of NP.Ident, each copied. Checked element by element:
// the binding's own list conversion would let None through as a null identifier.
std::vector<hw::Ident> idents_from_result(py::handle result) {
  if (!py::isinstance<py::sequence>(result) || py::isinstance<py::str>(result) ||
      py::isinstance<py::bytes>(result)) {
    refuse_result(result);
  }
  std::vector<hw::Ident> idents;
  for (py::handle item : py::reinterpret_borrow<py::sequence>(result)) {
    if (!py::isinstance<hw::Ident>(item)) refuse_result(item);
    idents.push_back(item.cast<hw::Ident>());
  }
  return idents;
}

}  // namespace

void PyMapConstraints::next_layer_handler(const std::string& layer_name) const {
  // The mapping already runs under the interpreter lock; taking it again is re-entrant.
  py::gil_scoped_acquire gil;
  py::function override =
      py::get_override(static_cast<const MapConstraints*>(this), "next_layer_handler");
  if (!override) {
    MapConstraints::next_layer_handler(layer_name);
    return;
  }
  override(py::str(layer_name));
}

std::vector<hw::Ident> PyMapConstraints::select_nps(const std::vector<hw::Ident>& candidates,
                                                    uint64_t count, hw::Type type) const {
  py::gil_scoped_acquire gil;
  py::function override =
      py::get_override(static_cast<const MapConstraints*>(this), "select_nps");
  if (!override) return MapConstraints::select_nps(candidates, count, type);
  // Fresh copies: whatever the override does to its arguments cannot reach the mapping.
  py::list source_nps;
  for (const auto& ident : candidates) source_nps.append(py::cast(ident));
  py::object selected = override(source_nps, py::int_(count), py::cast(type));
  return idents_from_result(selected);
}

void register_map_constraints(py::module_& m) {
  py::class_<MapConstraints, PyMapConstraints, std::shared_ptr<MapConstraints>>(m,
                                                                               "MapConstraints")
      .def(py::init<std::shared_ptr<Device>>(),
           "Obtain hardware constraints from a device.\n\n           Args:\n              "
           "device(qalto.device): the device.",
           py::arg("device"))
      .def_property_readonly("cnp_max_width_default", &MapConstraints::cnp_max_width_default,
                             "The maximal width to map a CNP.\n\n           Returns:\n"
                             "              int: the maximal width.")
      .def_property_readonly("cnp_max_height_default", &MapConstraints::cnp_max_height_default,
                             "The maximal height to map a CNP.\n\n           Returns:\n"
                             "              int: the maximal height.")
      .def_property_readonly("cnp_max_filters_default",
                             &MapConstraints::cnp_max_filters_default,
                             "The maximal filters number to map a CNP.\n\n           Returns:\n"
                             "              int: the maximal filters number.")
      .def_property_readonly("device", &MapConstraints::device,
                             "Return the device used.\n\n           Returns:\n"
                             "              qalto.Device: the device.")
      .def_property("cnp_max_width", &MapConstraints::cnp_max_width,
                    &MapConstraints::set_cnp_max_width, "The width to use to map a CNP.")
      .def_property("cnp_max_height", &MapConstraints::cnp_max_height,
                    &MapConstraints::set_cnp_max_height, "The height to use to map a CNP.")
      .def_property("cnp_max_filters", &MapConstraints::cnp_max_filters,
                    &MapConstraints::set_cnp_max_filters,
                    "The filters number to use to map a CNP.")
      .def_property("hwpr_loopitself", &MapConstraints::hwpr_loopitself,
                    &MapConstraints::set_hwpr_loopitself, "The HWPR NP loopitself feature.")
      .def(
          "next_layer",
          [](const MapConstraints& constraints, const std::string& layer_name) {
            constraints.next_layer_handler(layer_name);
          },
          py::arg("layer_name"),
          "\n           Callback on the layer mapping.\n\n           Args:\n             "
          "layer_name (str): the layer name")
      .def("select_nps", &MapConstraints::select_nps, py::arg("source_nps"), py::arg("num_nps"),
           py::arg("type"),
           "Selection from a predefined list of NPs.\n\n           Args:\n"
           "              source_nps (list): the predefined list of NPs\n"
           "              num_nps (int): the number of NPs needed\n"
           "              type (qalto.NP.Type): the type of NPs\n\n           Returns:\n"
           "              list: the selected list of NPs");
}

}  // namespace qalto::python
