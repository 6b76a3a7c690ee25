// The submodule graph_utils: the layer-graph questions of the mapping, exposed unchanged so
// that tests can check graph decisions on models built from Python.

#include <pybind11/stl.h>

#include <memory>
#include <vector>

#include "mapping/graph.hpp"
#include "python/registry.hpp"

namespace qalto::python {

namespace {

using LayerPtr = std::shared_ptr<Layer>;

// The binding library turns None into an empty layer handle; the graph functions need layers.
const LayerPtr& require_layer(const LayerPtr& layer) {
  if (!layer) throw py::type_error("Expected a Layer, got None.");
  return layer;
}

const LayerList& require_layers(const LayerList& layers) {
  for (const auto& layer : layers) require_layer(layer);
  return layers;
}

}  // namespace

void register_graph_utils(py::module_& m) {
  py::module_ graph = m.def_submodule(
      "graph_utils",
      "Qalto graph utilities software internal functions. These are meant for testing, "
      "debugging and validation only.");
  graph.def("extract_main_branch", [](const LayerPtr& layer) {
    return get_skipconnect_branch(require_layer(layer)).first;
  });
  graph.def("extract_skip_branch", [](const LayerPtr& layer) {
    return get_skipconnect_branch(require_layer(layer)).second;
  });
  graph.def("get_mappable_layer",
            [](const LayerPtr& layer) { return get_mappable_layer(require_layer(layer)); });
  graph.def("dual_output_to_store_dma", [](const LayerPtr& layer) {
    return is_dual_output_to_store_dma(require_layer(layer));
  });
  graph.def("first_mappable_layer",
            [](const LayerList& layers) { return first_mappable_layer(require_layers(layers)); });
  graph.def("last_mappable_layer",
            [](const LayerList& layers) { return last_mappable_layer(require_layers(layers)); });
  graph.def("next_mappable_layer",
            [](const LayerPtr& layer) { return next_mappable_layer(require_layer(layer)); });
  graph.def("previous_mappable_layer",
            [](const LayerPtr& layer) { return previous_mappable_layer(require_layer(layer)); });
  graph.def("is_merge_layer", [](const LayerPtr& layer) { return is_merge(require_layer(layer)); });
}

}  // namespace qalto::python
