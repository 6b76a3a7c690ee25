// Python face of an engine layer (Layer) and of the record telling where a mapped layer runs
// (Layer.Mapping).

#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "mapping/layer_mapping.hpp"
#include "python/registry.hpp"
#include "qalto/hw.hpp"
#include "qalto/layer.hpp"

namespace qalto::python {

namespace {

constexpr const char* components_doc = "a list of ``NP.Component`` objects.";

// One input gives its dimensions; none or several give one list per input.
py::list input_dims(const Layer& layer) {
  const auto& shapes = layer.input_dimensions();
  if (shapes.size() == 1) return py::cast(shapes.front().to_vector());
  py::list all;
  for (const auto& shape : shapes) all.append(py::cast(shape.to_vector()));
  return all;
}

std::vector<hw::Component> mapped_nps(const Layer::Mapping& mapping) {
  if (!mapping.components) return {};
  return *mapping.components;
}

// Only a hardware mapping record keeps skip-DMA components; any other record has none, so it
// answers empty lists rather than being read as something it is not.
std::vector<hw::Component> skipdma_loads(const std::shared_ptr<Layer::Mapping>& mapping) {
  std::vector<hw::Component> loads;
  const auto record = std::dynamic_pointer_cast<const LayerMapping>(mapping);
  if (!record) return loads;
  if (const auto* load = record->skipdma_load()) loads.push_back(*load);
  return loads;
}

std::vector<hw::Component> skipdma_stores(const std::shared_ptr<Layer::Mapping>& mapping) {
  std::vector<hw::Component> stores;
  const auto record = std::dynamic_pointer_cast<const LayerMapping>(mapping);
  if (!record) return stores;
  if (const auto* store = record->skipdma_store()) stores.push_back(*store);
  if (const auto* dual = record->skipdma_store_dual_output()) stores.push_back(*dual);
  return stores;
}

std::shared_ptr<Layer> create_layer(const LayerParams* params, const std::string& name) {
  if (params == nullptr) throw std::invalid_argument("A layer needs its parameters.");
  return Layer::create(*params, name);
}

void register_layer_class(py::class_<Layer, std::shared_ptr<Layer>>& layer) {
  layer.def(py::init(&create_layer), py::arg("params"), py::arg("name"))
      .def(
          "is_target_component",
          [](const Layer& self, hw::Type hw_type) {
            return self.is_target_component(component_kind_of(hw_type));
          },
          py::arg("hw_type"),
          "Checks whether the layer can be mapped on the specified hardware component type. ")
      .def_property_readonly("name", &Layer::get_name, "The layer name.")
      .def_property_readonly("macs", &Layer::macs,
                             "The number of multiply-accumulate operations.")
      .def_property_readonly("input_dims", &input_dims, "The layer input dimensions.")
      .def_property_readonly(
          "output_dims",
          [](const Layer& self) { return self.output_dimensions().to_vector(); },
          "The layer output dimensions.")
      // The variables live inside the layer: the Python object keeps the layer alive.
      .def_property_readonly(
          "variables", [](Layer& self) -> Variables& { return self.variables(); },
          py::return_value_policy::reference_internal, "The layer trainable variables.")
      // Shares the layer's own parameters and keeps the layer alive too, so the object can never
      // outlive what it describes.
      .def_property_readonly(
          "parameters",
          py::cpp_function([](const Layer& self) { return self.params_ptr(); },
                           py::keep_alive<0, 1>()),
          "The layer parameters set.")
      .def_property_readonly("input_bits", &Layer::input_bits, "The layer input bits.")
      .def_property_readonly("output_signed", &Layer::output_signed,
                             "Whether output is signed or not.")
      .def_property_readonly("inbounds", &Layer::inbound_layers, "The layer inbound layers.")
      .def_property_readonly("mapping", &Layer::mapping, "The layer hardware mapping.")
      .def_property_readonly("splittable", &Layer::splittable, "The layer is splittable.");
}

void register_mapping_class(py::class_<Layer, std::shared_ptr<Layer>>& layer) {
  py::class_<Layer::Mapping, std::shared_ptr<Layer::Mapping>>(
      layer, "Mapping", "The mapping of a Layer on one or more Neural Processors.")
      .def_property_readonly("nps", &mapped_nps, components_doc)
      .def_property_readonly("skipdma_loads", &skipdma_loads, components_doc)
      .def_property_readonly("skipdma_stores", &skipdma_stores, components_doc);
}

}  // namespace

void register_layer(py::module_& m) {
  // Docstrings are shown exactly as written, without generated signatures.
  py::options options;
  options.disable_function_signatures();
  py::class_<Layer, std::shared_ptr<Layer>> layer(m, "Layer");
  register_layer_class(layer);
  register_mapping_class(layer);
}

}  // namespace qalto::python
