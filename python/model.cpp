// Python face of the engine model: the class Model, its files and buffers, and its runs.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "devices/power_meter.hpp"
#include "mapping/layer_mapping.hpp"
#include "python/convert.hpp"
#include "python/metrics.hpp"
#include "python/registry.hpp"
#include "mapping/hardware_backend.hpp"
#include "python/py_map_constraints.hpp"
#include "qalto/backend_registry.hpp"
#include "qalto/device.hpp"
#include "qalto/map_constraints.hpp"
#include "qalto/model.hpp"
#include "qalto/model_file.hpp"

namespace qalto::python {

namespace {

constexpr const char* kNoLayers = "Cannot perform an inference on a model with no layers";
constexpr const char* kLabelError = "fit method expects integers as labels";

// The record behind a Python Model.
struct PyModel {
  std::unique_ptr<Model> model = Model::create();
  std::vector<PowerMeter::PowerEvent> power_events;
  std::shared_ptr<PyMetrics> metrics = std::make_shared<PyMetrics>();
};

int64_t time_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// ---- construction ----

std::unique_ptr<PyModel> load_model(const std::string& filename) {
  auto record = std::make_unique<PyModel>();
  record->model = Model::load(filename);
  return record;
}

// An input layer for a list whose first layer cannot start a model. It takes the inputs the
// first layer reads in its own model: the bits and sign of the InputData feeding it (its input
// bits and sign code follow that layer), else the default signed inputs above 7 bits.
std::shared_ptr<Layer> make_input_layer(const Layer& first) {
  const Shape& in = first.input_dimensions().front();
  if (in.size() != 3) throw std::invalid_argument("The first layer needs a 3-D input.");
  const int32_t bits = first.input_bits();
  const int32_t code = first.input_sign_code();
  const int32_t is_signed = code == 2 || (code == 0 && bits > 7) ? 1 : 0;
  auto params = LayerParams::create(LayerType::InputData,
                                    {{"input_width", static_cast<int32_t>(in[0])},
                                     {"input_height", static_cast<int32_t>(in[1])},
                                     {"input_channels", static_cast<int32_t>(in[2])},
                                     {"input_bits", bits},
                                     {"input_signed", is_signed}});
  return Layer::create(*params, "InputData");
}

std::unique_ptr<PyModel> model_from_layers(const std::vector<std::shared_ptr<Layer>>& layers) {
  auto record = std::make_unique<PyModel>();
  for (const auto& layer : layers) {
    if (!layer) throw std::runtime_error("Invalid layer received");
  }
  if (layers.empty()) return record;
  Model& model = *record->model;
  if (!layers.front()->is_input_layer()) model.add(make_input_layer(*layers.front()));
  for (size_t i = 0; i < layers.size(); ++i) {
    const Layer& source = *layers[i];
    auto layer = Layer::create(source.params(), source.get_name());
    std::vector<std::shared_ptr<Layer>> inbound;
    if (i > 0) {
      for (const auto& in : source.inbound_layers()) inbound.push_back(model.get_layer(in->get_name()));
    }
    model.add(layer, inbound);
    if (source.can_learn() && source.learning()) {
      model.compile(LearningParams::clone(*source.learning()));
    }
    // Copies, not the source tensors: learning updates weights in place, and the source model
    // must not learn along.
    for (const auto& name : source.variables().names()) {
      layer->variables().set(name, std::make_shared<Dense>(*source.variables().get(name)));
    }
  }
  return record;
}

// ---- add_classes ----

// The new layer's variable `name`, carrying over the old values (the learned neurons).
std::shared_ptr<Dense> carry_over(const std::string& name, const Dense& old_tensor,
                                  const Dense& new_tensor) {
  auto copy = std::make_shared<Dense>(new_tensor);
  if (name == "weights") {
    const int8_t* from = old_tensor.data<int8_t>();
    int8_t* to = copy->data<int8_t>();
    const auto& old_strides = old_tensor.strides();
    const auto& new_strides = copy->strides();
    const Shape& old_dims = old_tensor.dimensions();
    const Shape& new_dims = copy->dimensions();
    if (old_dims.size() < 2 || new_dims.size() < 2) return copy;
    const uint32_t rows = std::min(old_dims[0], new_dims[0]);
    const uint32_t columns = std::min(old_dims[1], new_dims[1]);
    for (uint32_t i = 0; i < columns; ++i) {
      for (uint32_t j = 0; j < rows; ++j) {
        to[uint64_t{j} * new_strides[0] + uint64_t{i} * new_strides[1]] =
            from[uint64_t{j} * old_strides[0] + uint64_t{i} * old_strides[1]];
      }
    }
    return copy;
  }
  std::memcpy(copy->raw(), old_tensor.raw(), std::min(old_tensor.byte_size(), copy->byte_size()));
  return copy;
}

void add_classes(PyModel& self, int64_t num_add_classes) {
  Model& model = *self.model;
  if (num_add_classes < 1) {
    throw std::invalid_argument("The number of classes to add must be positive.");
  }
  const auto last = model.layer_count() ? model.get_layer(model.layer_count() - 1) : nullptr;
  if (!last) throw std::runtime_error("The model must have at least one layer.");
  if (last->type() != LayerType::FullyConnected) {
    throw std::runtime_error("The last layer must be a FullyConnected layer.");
  }
  const auto learning = model.learning();
  if (!learning) throw std::runtime_error("The last layer must be compiled.");
  // Without a class count the neurons per class are unknown (a division by zero): refuse
  // before anything changes.
  const double old_classes = learning->has("num_classes") ? learning->get("num_classes") : 0;
  if (!(old_classes >= 1)) {
    throw std::runtime_error("The learning parameters must hold a positive num_classes.");
  }
  std::map<std::string, double> values;
  for (const auto& key : learning->keys()) values[key] = learning->get(key);
  values["num_classes"] = old_classes + static_cast<double>(num_add_classes);
  auto new_learning = LearningParams::create(learning->learning_type(), values);

  const int64_t units = last->params().get("units");
  const double per_class = std::trunc(static_cast<double>(units) / old_classes);
  const double new_units = static_cast<double>(units) + per_class * static_cast<double>(num_add_classes);
  if (new_units > std::numeric_limits<int32_t>::max()) {
    throw std::invalid_argument("Too many classes: the layer would exceed 2147483647 units.");
  }
  auto params = LayerParams::create(
      LayerType::FullyConnected, {{"units", static_cast<int32_t>(new_units)},
                                  {"weights_bits", last->params().get("weights_bits")},
                                  {"activation", last->params().get("activation")},
                                  {"act_bits", last->params().get("act_bits")}});
  auto layer = Layer::create(*params, last->get_name());

  const auto old_inbound = last->inbound_layers();
  model.pop_layer();
  try {
    model.add(layer);
    model.compile(new_learning);
  } catch (...) {
    // Put the old last layer back as it was, so that a refused change leaves the model intact.
    if (model.layer_count() && model.get_layer(model.layer_count() - 1) == layer) model.pop_layer();
    model.add(last, old_inbound);
    throw;
  }
  for (const auto& name : last->variables().names()) {
    if (!layer->variables().has(name)) continue;
    layer->variables().set(name, carry_over(name, *last->variables().get(name),
                                            *layer->variables().get(name)));
  }
}

// ---- mapped-model figures ----

std::vector<const hw::Component*> counted_components(const LayerMapping& mapping) {
  std::vector<const hw::Component*> components;
  if (const auto* load = mapping.skipdma_load()) components.push_back(load);
  if (const auto* store = mapping.skipdma_store()) components.push_back(store);
  for (const auto& component : mapping.nps()) components.push_back(&component);
  return components;
}

py::dict component_count(const PyModel& self) {
  std::map<hw::Type, int64_t> counts;
  for (const auto& layer : self.model->layers()) {
    const auto mapping = layer_mapping_of(*layer);
    if (!mapping) continue;
    for (const auto* component : counted_components(*mapping)) ++counts[component->type];
  }
  py::dict result;
  for (const auto& [type, count] : counts) result[py::cast(type)] = count;
  return result;
}

uint32_t external_memory_size(const PyModel& self) {
  uint32_t total = 0;  // wraps modulo 2^32 like the hardware's 32-bit figure
  for (const auto& sequence : self.model->sequences()) {
    for (const auto& pass : sequence->passes()) {
      for (const auto& layer : pass->layers) {
        const auto mapping = layer_mapping_of(*layer);
        if (!mapping) continue;
        for (const auto* component : counted_components(*mapping)) {
          total += component->mem_info.external_size;
        }
      }
    }
  }
  return total;
}

// ---- runs ----

using EngineCall = std::function<std::shared_ptr<Tensor>(const std::shared_ptr<const Dense>&)>;

std::shared_ptr<Dense> convert_input(const py::array& inputs) {
  const py::object dtype = inputs.attr("dtype");
  if (dtype.equal(py::dtype::of<int8_t>())) return numpy_to_dense<int8_t>(inputs, TensorType::int8);
  if (dtype.equal(py::dtype::of<uint8_t>())) return numpy_to_dense<uint8_t>(inputs, TensorType::uint8);
  if (dtype.equal(py::dtype::of<int16_t>())) return numpy_to_dense<int16_t>(inputs, TensorType::int16);
  if (dtype.equal(py::dtype::of<float>())) return numpy_to_dense<float>(inputs, TensorType::float32);
  throw std::invalid_argument("Input dtype should be int8, uint8, int16 or float32.");
}

std::shared_ptr<Tensor> run_inference(PyModel& self, const py::array& inputs,
                                      const EngineCall& call) {
  if (self.model->layer_count() == 0) throw std::invalid_argument(kNoLayers);
  auto dense = convert_input(inputs);
  self.power_events.clear();
  const int64_t frames = dense->dimensions()[0];
  const auto device = self.model->device();
  HardwareDevice* hardware = device ? device->hardware() : nullptr;
  uint32_t start_count = 0;
  if (hardware) {
    hardware->enable_clock_counter(true);
    start_count = hardware->clock_counter();
  }
  const int64_t start = time_ms();
  auto result = call(dense);
  const int64_t end = time_ms();
  if (hardware) {
    const uint32_t end_count = hardware->clock_counter();
    hardware->enable_clock_counter(false);
    self.metrics->set("inference_clk", static_cast<uint32_t>(end_count - start_count));
    self.metrics->set("program_clk", hardware->program_clock());
  }
  self.metrics->set("inference_frames", frames);
  self.metrics->set("inference_start", start);
  self.metrics->set("inference_end", end);
  if (hardware) {
    if (auto* soc = dynamic_cast<SocDriver*>(hardware->driver())) {
      if (auto meter = soc->power_meter()) self.power_events = meter->events();
    }
  }
  return result;
}

py::array forward(PyModel& self, const py::array& inputs, uint32_t batch_size) {
  auto result = run_inference(self, inputs, [&](const std::shared_ptr<const Dense>& dense) {
    return self.model->forward(dense, batch_size);
  });
  return tensor_to_numpy(result);
}

py::array predict(PyModel& self, const py::array& inputs, uint32_t batch_size) {
  auto result = run_inference(self, inputs, [&](const std::shared_ptr<const Dense>& dense) {
    return self.model->predict(dense, batch_size);
  });
  return tensor_to_numpy(result);
}

py::array fit(PyModel& self, const py::array& inputs, const std::vector<int32_t>& labels,
              uint32_t batch_size) {
  auto result = run_inference(self, inputs, [&](const std::shared_ptr<const Dense>& dense) {
    return self.model->fit(dense, labels, batch_size);
  });
  return tensor_to_numpy(result);
}

// A float label is accepted only when it is a whole number within int32: anything else would
// be cut to a different class (or be undefined behaviour when out of range).
std::vector<int32_t> float_label(double label) {
  const auto value = whole_label(label);
  if (!value) throw py::type_error(kLabelError);
  return {*value};
}

std::vector<int32_t> array_labels(const py::array& labels) {
  const auto numpy = py::module_::import("numpy");
  if (!numpy.attr("issubdtype")(labels.attr("dtype"), numpy.attr("integer")).cast<bool>()) {
    throw py::type_error(kLabelError);
  }
  auto values = int32_labels(labels);
  if (!values) throw py::type_error(kLabelError);
  return std::move(*values);
}

std::vector<int32_t> list_labels(const py::list& labels) {
  std::vector<int32_t> result;
  try {
    for (const auto& element : labels) result.push_back(py::cast<int32_t>(element));
  } catch (const py::cast_error&) {
    throw py::type_error(kLabelError);
  }
  return result;
}

// ---- evaluation ----

template <typename T>
void vote(const Dense& output, uint32_t classes, uint64_t per_class, T best_start,
          std::vector<int32_t>& predictions) {
  const T* values = output.data<T>();
  for (size_t i = 0; i < predictions.size(); ++i) {
    T best = best_start;
    for (uint32_t k = 0; k < classes; ++k) {
      for (uint64_t j = 0; j < per_class; ++j) {
        const T v = values[i * classes * per_class + k * per_class + j];
        if (v > best) {
          best = v;
          predictions[i] = static_cast<int32_t>(k);
        }
      }
    }
  }
}

std::vector<int32_t> predict_labels(PyModel& self, const py::array& inputs, uint32_t num_classes,
                                    uint32_t batch_size) {
  Model& model = *self.model;
  if (model.layer_count() == 0) throw std::invalid_argument(kNoLayers);
  if (num_classes == 0) {
    const auto shape = model.output_shape();
    if (shape.size() < 3) throw std::invalid_argument("The model output needs three dimensions.");
    num_classes = shape[2];
  }
  const bool activation = model.layers().back()->has_activation();
  auto result = run_inference(self, inputs, [&](const std::shared_ptr<const Dense>& dense) {
    return activation ? model.forward(dense, batch_size) : model.predict(dense, batch_size);
  });
  const TensorType type = result->type();
  switch (type) {
    case TensorType::uint8: case TensorType::uint4: case TensorType::uint2: case TensorType::bit:
    case TensorType::int8: case TensorType::int32: case TensorType::float32: break;
    default:
      throw std::runtime_error(std::string("cannot evaluate on a Tensor of type ") +
                               Tensor::type_name(type));
  }
  if (num_classes < 2) {
    throw std::invalid_argument("Cannot classify with " + std::to_string(num_classes) + "class(es).");
  }
  const Shape& dims = result->dimensions();
  if (dims.size() != 4) throw std::runtime_error("The model output needs four dimensions.");
  const uint32_t neurons = dims[3];
  if (neurons % num_classes != 0) {
    throw std::invalid_argument("The number of neurons [" + std::to_string(neurons) +
                                "] is not a multiple of " + " the number of classes [" +
                                std::to_string(num_classes) + "].");
  }
  std::vector<int32_t> predictions(dims[0], -1);
  const auto dense = Tensor::ensure_dense(result);
  const uint64_t product = uint64_t{num_classes} * dims[0];
  const uint64_t per_class = product == 0 ? 0 : dense->size() / product;
  switch (type) {
    case TensorType::int8: vote<int8_t>(*dense, num_classes, per_class, -128, predictions); break;
    case TensorType::int32:
      vote<int32_t>(*dense, num_classes, per_class, std::numeric_limits<int32_t>::min(), predictions);
      break;
    case TensorType::float32:
      vote<float>(*dense, num_classes, per_class, std::numeric_limits<float>::lowest(), predictions);
      break;
    case TensorType::bit:
      // bit tensors are stored as signed bytes holding 0 or 1
      vote<int8_t>(*dense, num_classes, per_class, 0, predictions);
      break;
    default: vote<uint8_t>(*dense, num_classes, per_class, 0, predictions); break;
  }
  return predictions;
}

float evaluate(PyModel& self, const py::array& inputs, const py::array& labels,
               uint32_t num_classes, uint32_t batch_size) {
  if (labels.ndim() != 1) throw std::invalid_argument("Labels must be 1-D.");
  if (inputs.ndim() < 1 || labels.shape(0) != inputs.shape(0)) {
    throw std::invalid_argument("Inputs and labels must have the same size.");
  }
  if (!py::object(labels.attr("dtype")).equal(py::dtype::of<int32_t>())) {
    throw std::invalid_argument("Labels must be int32.");
  }
  const auto predictions = predict_labels(self, inputs, num_classes, batch_size);
  const auto view = labels.unchecked<int32_t, 1>();
  float correct = 0;
  for (size_t i = 0; i < predictions.size(); ++i) {
    if (static_cast<py::ssize_t>(i) >= view.shape(0)) {
      throw py::index_error("index " + std::to_string(i) + " is out of bounds for axis 0 with size " +
                            std::to_string(view.shape(0)));
    }
    if (predictions[i] == view(static_cast<py::ssize_t>(i))) correct += 1;
  }
  return correct / static_cast<float>(view.shape(0));
}

// ---- docstrings ----

constexpr const char* kModelDoc = R"(
    A hierarchy of layers: the main interface to Qalto.

    A Model can be created empty and filled through the sequential API (``add``), reloaded
    from a serialized file, or built from a list of layers taken from an existing Model.

    Input and output shapes have 4 dimensions, the first one being the number of samples.
    Inputs are uint8 tensors of 1, 2, 4 or 8-bit precision (maximum values 1, 3, 15 and 255);
    8-bit inputs require a first convolutional layer with 1 or 3 input channels.
    The output is an int8 or uint8 array when the last layer has activations, an int32 array
    otherwise.

    Args:
        filename (str, optional): path of a serialized model file to reload.
        layers (list, optional): layers of an existing Model to build this one from.
    )";

constexpr const char* kForwardDoc = R"(Forwards a set of inputs through the model.

        Args:
            inputs (:obj:`numpy.ndarray`): a (n, x, y, c) uint8, int8, int16 or float32 tensor.
            batch_size (int, optional): maximum number of inputs that should be processed at a time.

        Returns:
            :obj:`numpy.ndarray`: a (n, out_x, out_y, out_c) uint8, int8 or int32 tensor.

        Raises:
            TypeError: if the input is not a numpy.ndarray.
        )";

constexpr const char* kPredictDoc = R"(Predicts a set of inputs through the model.

        It applies ONLY to models without an activation on the last layer. The float outputs
        are obtained from the discrete potentials by a shift and a scale.

        Args:
            inputs (:obj:`numpy.ndarray`): a (n, x, y, c) uint8, int8, int16 or float32 tensor.
            batch_size (int, optional): maximum number of inputs that should be processed at a time.

        Returns:
            :obj:`numpy.ndarray`: a (n, out_x, out_y, out_c) float32 tensor.

        Raises:
            TypeError: if the input is not a numpy.ndarray.
            RuntimeError: if the model last layer has an activation.
        )";

constexpr const char* kFitOneDoc = R"(Trains a set of images or events through the model.

        Args:
            inputs (:obj:`numpy.ndarray`): a (n, x, y, c) uint8, int8, int16 or float32 tensor.
            input_labels (float): the label of all inputs (a whole number).
            batch_size (int, optional): maximum number of inputs that should be processed at a time.

        Returns:
            :obj:`numpy.ndarray`: the outputs of the model.

        Raises:
            TypeError: if the input is not a numpy.ndarray.
        )";

constexpr const char* kFitManyDoc = R"(Trains a set of images or events through the model.

        Args:
            inputs (:obj:`numpy.ndarray`): a (n, x, y, c) uint8, int8, int16 or float32 tensor.
            input_labels (list or :obj:`numpy.ndarray`, optional): integer labels. Must have one label per input, or a single label for all inputs.
                An input whose label exceeds the number of classes is discarded.
            batch_size (int, optional): maximum number of inputs that should be processed at a time.

        Returns:
            :obj:`numpy.ndarray`: the outputs of the model.

        Raises:
            TypeError: if the input is not a numpy.ndarray.
        )";

constexpr const char* kEvaluateDoc = R"(Returns the model class accuracy.

        If the output has more neurons than the number of classes, the neurons are automatically assigned to a class by dividing their id by the number of classes.
        The evaluation is based on the activation values of the last layer.

        Args:
            inputs (:obj:`numpy.ndarray`): a (n, x, y, c) uint8, int8 or int16 tensor.
            labels (:obj:`numpy.ndarray`): a (n) tensor of labels for the inputs.
            num_classes (int, optional): the number of classes; defaults to the number of
                neurons in the last layer.
            batch_size (int, optional): maximum number of inputs that should be processed at a time.

        Returns:
            float: the accuracy.
        )";

}  // namespace

void register_model(py::module_& m) {
  // The engine reaches the hardware back end (and default constraints for a device when Python
  // gives none) through this registration.
  register_hardware_backend();
  // Docstrings are shown as written, without generated signatures (`_map` has none at all).
  py::options options;
  options.disable_function_signatures();

  py::class_<PyModel>(m, "Model", kModelDoc)
      .def(py::init(&load_model), py::arg("filename"),
           "Reload a full model from a serialized file.")
      .def(py::init(&model_from_layers), py::arg("layers") = std::vector<std::shared_ptr<Layer>>{},
           "Create an empty model, or one from layers of an existing model. An input layer is "
           "added when the list does not start with one.")
      .def(
          "add",
          [](PyModel& self, const std::shared_ptr<Layer>& layer,
             const std::vector<std::shared_ptr<Layer>>& inbound_layers) {
            self.model->add(layer, inbound_layers);
          },
          py::arg("layer"), py::arg("inbound_layers") = std::vector<std::shared_ptr<Layer>>{},
          "Add a layer to the current model. The inbound layers must already be included in the "
          "model; without them the last included layer is the inbound layer.")
      .def("add_classes", &add_classes, py::arg("num_add_classes"),
           "Add classes (new neurons) to the last layer, keeping the learned neurons. Raises "
           "RuntimeError if the last layer is not compiled.")
      .def(
          "_map",
          [](PyModel& self, std::shared_ptr<Device> device, bool hw_only, py::object constraints) {
            // A Python subclass must stay alive (with its overrides) while C++ holds it.
            std::shared_ptr<MapConstraints> held;
            if (!constraints.is_none()) held = hold_map_constraints(constraints);
            self.model->map(device, hw_only, held);
          },
          py::arg("device"), py::arg("hw_only") = false, py::arg("constraints") = py::none())
      .def(
          "pop_layer", [](PyModel& self) { self.model->pop_layer(); },
          "Remove the last layer of the current model.")
      .def(
          "compile",
          [](PyModel& self, const std::shared_ptr<LearningParams>& optimizer) {
            self.model->compile(optimizer);
          },
          py::arg("optimizer"),
          "Select and prepare the optimizer for learning of the last layer.\n\n"
          "Args:\n    optimizer (:obj:`qalto.LearningParams`): the optimizer used for learning.")
      .def(
          "fit",
          [](PyModel& self, const py::array& inputs, double input_labels, uint32_t batch_size) {
            return fit(self, inputs, float_label(input_labels), batch_size);
          },
          py::arg("inputs"), py::arg("input_labels"), py::arg("batch_size") = 0, kFitOneDoc)
      .def(
          "fit",
          [](PyModel& self, const py::array& inputs, const py::array& input_labels,
             uint32_t batch_size) {
            return fit(self, inputs, array_labels(input_labels), batch_size);
          },
          py::arg("inputs"), py::arg("input_labels"), py::arg("batch_size") = 0, kFitManyDoc)
      .def(
          "fit",
          [](PyModel& self, const py::array& inputs, const py::list& input_labels,
             uint32_t batch_size) {
            return fit(self, inputs, list_labels(input_labels), batch_size);
          },
          py::arg("inputs"), py::arg("input_labels") = py::list(), py::arg("batch_size") = 0,
          kFitManyDoc)
      .def("forward", &forward, py::arg("inputs"), py::arg("batch_size") = 0, kForwardDoc)
      .def("predict", &predict, py::arg("inputs"), py::arg("batch_size") = 0, kPredictDoc)
      .def(
          "get_layer",
          [](const PyModel& self, const std::string& layer_name) {
            return self.model->get_layer(layer_name);
          },
          py::arg("layer_name"), "Get a reference to a specific layer.")
      .def(
          "get_layer",
          [](const PyModel& self, size_t layer_index) { return self.model->get_layer(layer_index); },
          py::arg("layer_index"), "Get a reference to a specific layer.")
      .def_property_readonly(
          "sequences", [](const PyModel& self) { return self.model->sequences(); },
          "The list of layer sequences in the Model")
      .def_property_readonly(
          "layers", [](const PyModel& self) { return self.model->layers(); },
          "Get a list of layers in current model.")
      .def_property_readonly(
          "learning", [](const PyModel& self) { return self.model->learning(); },
          py::return_value_policy::reference_internal, "The learning parameters set.")
      .def_property_readonly(
          "input_shape", [](const PyModel& self) { return self.model->input_shape(); },
          "The model input dimensions.")
      .def_property_readonly(
          "output_shape", [](const PyModel& self) { return self.model->output_shape(); },
          "The model output dimensions.")
      .def_property_readonly(
          "metrics", [](const PyModel& self) { return self.metrics; }, "The model metrics.")
      .def_property_readonly(
          "ip_version", [](const PyModel& self) { return self.model->ip_version(); },
          "The IP version this model is compatible with.")
      .def_property_readonly(
          "device", [](const PyModel& self) { return self.model->device(); },
          "The Device the Model is mapped to.")
      .def_property_readonly(
          "layer_count", [](const PyModel& self) { return self.model->layer_count(); },
          "The number of layers.")
      .def_property_readonly("component_count", &component_count,
                             "A dictionary with the number of components per type used in the model.")
      .def_property_readonly("external_memory_size", &external_memory_size,
                             "Returns model external memory usage in Bytes.")
      .def_property_readonly(
          "macs", [](const PyModel& self) { return self.model->macs(); },
          "Returns model number of multiply-accumulate operations.")
      .def("evaluate", &evaluate, py::arg("inputs"), py::arg("labels"), py::arg("num_classes") = 0,
           py::arg("batch_size") = 0, kEvaluateDoc)
      .def(
          "save",
          [](const PyModel& self, const std::string& model_file) {
            model_file::write(model_file, self.model->serialize());
          },
          py::arg("model_file"),
          "Save all layers and weights to a file on disk (a .fbz file).")
      .def(
          "to_buffer",
          [](const PyModel& self) {
            const auto bytes = self.model->serialize();
            return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
          },
          "Serialize all layers and weights to a bytes buffer.")
      .def_property_readonly(
          "power_events", [](const PyModel& self) { return self.power_events; },
          "Copy of power events logged after inference");
}

}  // namespace qalto::python
