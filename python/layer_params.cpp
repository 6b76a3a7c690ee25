// Python face of the layer vocabulary: the enums LayerType, Padding, PoolType, ActivationType and
// the class LayerParams, plus the table of compound parameter names its lookup answers.

#include <pybind11/stl.h>

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "python/registry.hpp"
#include "qalto/layer.hpp"

namespace qalto::python {

// Built when the shared object is loaded, before PyInit_core: the module's only static
// initialiser. Older layer types store width/height pairs; users ask for the pair by one name.
const std::map<std::string, std::vector<std::string>> compound_param_aliases = {
    {"kernel_size", {"kernel_width", "kernel_height"}},
    {"kernel_stride", {"stride_x", "stride_y"}},
    {"pool_size", {"pooling_width", "pooling_height"}},
    {"pool_stride", {"pooling_stride_x", "pooling_stride_y"}},
};

namespace {

constexpr const char* init_doc = R"(
        Create a generic LayerParams object.

        Args:
            layer_type (:obj:`LayerType`): Type of layer.
            entries (dict): dictionary of key (string) and value (int) pairs.
    )";

constexpr const char* get_doc = R"(
        Retrieve a value from the LayerParams object.

        Args:
            key (str): key of the value.
        Returns:
            int: value associated to the key.
        Raises:
            ValueError: if the value is not present in the LayerParams object.
    )";

constexpr const char* has_doc = R"(
        Check if a key is present in the LayerParams object.

        Args:
            key (str): key to be searched.
        Returns:
            bool: True if the key is present, otherwise false.
    )";

constexpr const char* padding_doc =
    "Sets the effective padding of the input for convolution, thereby determining the output "
    "dimensions. Naming conventions are the same as Keras/Tensorflow.";

// A stored entry wins over a compound name; a compound name gives its members' values as a list.
py::object lookup(const LayerParams& params, const std::string& key) {
  for (const auto& name : params.keys()) {
    if (name == key) return py::int_(params.get(key));
  }
  auto alias = compound_param_aliases.find(key);
  if (alias != compound_param_aliases.end()) {
    py::list values;
    for (const auto& member : alias->second) values.append(py::int_(params.get(member)));
    return values;
  }
  throw std::invalid_argument("Key " + key + " not found");
}

// Converts any mapping of str to int into the engine's ordered entries; the whole mapping is
// converted before the engine is called, so a bad entry creates nothing.
std::map<std::string, int32_t> to_entries(const py::object& entries) {
  const auto mapping_type = py::module_::import("collections.abc").attr("Mapping");
  if (!py::isinstance(entries, mapping_type)) {
    throw py::type_error("LayerParams entries must be a mapping of str to int.");
  }
  std::map<std::string, int32_t> converted;
  for (const auto item : entries.attr("items")()) {
    if (!py::isinstance<py::tuple>(item) || py::len(item) != 2) {
      throw py::type_error("LayerParams entries must be a mapping of str to int.");
    }
    const auto pair = py::reinterpret_borrow<py::tuple>(item);
    py::detail::make_caster<std::string> key;
    py::detail::make_caster<int32_t> value;
    if (!py::isinstance<py::str>(pair[0]) || !key.load(pair[0], false) ||
        !value.load(pair[1], true)) {
      throw py::type_error("LayerParams entries must map str to 32-bit signed int; got " +
                           py::repr(pair[0]).cast<std::string>() + ": " +
                           py::repr(pair[1]).cast<std::string>() + ".");
    }
    converted[py::detail::cast_op<std::string>(key)] = py::detail::cast_op<int32_t>(value);
  }
  return converted;
}

void register_layer_type(py::module_& m) {
  py::enum_<LayerType>(m, "LayerType", "The layer type")
      .value("Unknown", LayerType::Unknown)
      .value("InputData", LayerType::InputData)
      .value("InputConvolutional", LayerType::InputConvolutional)
      .value("FullyConnected", LayerType::FullyConnected)
      .value("Convolutional", LayerType::Convolutional)
      .value("SeparableConvolutional", LayerType::SeparableConvolutional)
      .value("Add", LayerType::Add)
      .value("Concatenate", LayerType::Concatenate)
      .value("Conv2D", LayerType::Conv2D)
      .value("InputConv2D", LayerType::InputConv2D)
      .value("DepthwiseConv2D", LayerType::DepthwiseConv2D)
      .value("Conv2DTranspose", LayerType::Conv2DTranspose)
      .value("Dequantizer", LayerType::Dequantizer)
      .value("DepthwiseConv2DTranspose", LayerType::DepthwiseConv2DTranspose)
      .value("BufferTempConv", LayerType::BufferTempConv)
      .value("DepthwiseBufferTempConv", LayerType::DepthwiseBufferTempConv)
      .value("StatefulRecurrent", LayerType::StatefulRecurrent)
      .value("Dense1D", LayerType::Dense1D)
      .value("Quantizer", LayerType::Quantizer)
      .value("MivoPostProcessing", LayerType::MivoPostProcessing)
      .export_values();
}

void register_small_enums(py::module_& m) {
  py::enum_<Padding>(m, "Padding", padding_doc)
      .value("Valid", Padding::Valid, "No padding")
      .value("Same", Padding::Same,
             "Padded so that output size is input size divided by the stride. It always "
             "produces a bottom right padding.")
      .value("SameUpper", Padding::SameUpper,
             "Padded so that output size is input size divided by the stride. It always "
             "produces a top left padding.")
      .export_values();
  py::enum_<PoolType>(m, "PoolType", "The pooling type")
      .value("NoPooling", PoolType::NoPooling, "No pooling applied")
      .value("Max", PoolType::Max, "Maximum pixel value is selected")
      .value("Average", PoolType::Average, "Average pixel value is selected")
      .export_values();
  py::enum_<ActivationType>(m, "ActivationType", "The activation type")
      .value("NoActivation", ActivationType::NoActivation, "No activation is applied")
      .value("ReLU", ActivationType::ReLU, "ReLU activation is selected")
      .value("LUT", ActivationType::LUT, "LUT activation is selected")
      .export_values();
}

void register_layer_params_class(py::module_& m) {
  py::class_<LayerParams, std::shared_ptr<LayerParams>>(m, "LayerParams",
                                                         "Parameters dictionary for layers")
      .def(py::init([](LayerType layer_type, const py::object& entries) {
             return LayerParams::create(layer_type, to_entries(entries));
           }),
           py::arg("layer_type"), py::arg("entries"), init_doc)
      .def("get", &lookup, py::arg("key"), get_doc)
      .def("__copy__", [](const LayerParams& self) { return LayerParams::clone(self); })
      .def("__getattr__", &lookup, py::arg("key"))
      .def("__dir__", &LayerParams::keys)
      .def("has", &LayerParams::has, py::arg("key"), has_doc)
      .def_property_readonly("layer_type", &LayerParams::layer_type);
}

}  // namespace

void register_layer_params(py::module_& m) {
  // Docstrings are shown exactly as written, without generated signatures.
  py::options options;
  options.disable_function_signatures();
  register_layer_type(m);
  register_small_enums(m);
  register_layer_params_class(m);
}

}  // namespace qalto::python
