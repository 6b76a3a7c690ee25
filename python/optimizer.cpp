// Python face of learning parameters: the class Optimizer and the builder of the unsupervised
// rule's parameters, QaltoUnsupervised.

#include <pybind11/stl.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "python/registry.hpp"
#include "qalto/layer.hpp"

namespace qalto::python {

namespace {

// The unsupervised rule is learning type 0 of the engine.
constexpr int32_t unsupervised_learning_type = 0;
// The single-precision value nearest 0.1, widened: the hardware registers hold floats.
constexpr double default_min_plasticity = static_cast<double>(0.1f);

constexpr const char* get_doc = R"(
        Retrieve a value from the LearningParams object.

        Args:
            key (str): key of the value.
        Returns:
            int: value associated to the key.
        Raises:
            ValueError: if the value is not present in the LearningParams object.
    )";

constexpr const char* unsupervised_doc = R"(
   Prepare the Qalto Unsupervised optimizer for learning of the last layer.

   Args:
       num_weights (int): number of connections for each neuron.
       num_classes (int, optional): number of classes when running in a
           'labeled mode'.
       initial_plasticity (float, optional): defines how easily the weights
           will change when learning occurs.
       learning_competition (float, optional): controls competition between
           neurons.
       min_plasticity (float, optional): defines the minimum level to which
           plasticity will decay.
       plasticity_decay (float, optional): defines the decay of plasticity
           with each learning step.
       optimizer(:obj:`qalto.LearningParams`): the optimizer used for
           learning
   )";

std::shared_ptr<LearningParams> unsupervised(uint32_t num_weights, uint32_t num_classes,
                                             double initial_plasticity,
                                             double learning_competition, double min_plasticity,
                                             double plasticity_decay) {
  const std::map<std::string, double> entries = {
      {"num_weights", static_cast<double>(num_weights)},
      {"num_classes", static_cast<double>(num_classes)},
      {"initial_plasticity", initial_plasticity},
      {"learning_competition", learning_competition},
      {"min_plasticity", min_plasticity},
      {"plasticity_decay", plasticity_decay},
  };
  return LearningParams::create(unsupervised_learning_type, entries);
}

}  // namespace

void register_optimizer(py::module_& m) {
  // Docstrings are shown exactly as written, without generated signatures.
  py::options options;
  options.disable_function_signatures();
  py::class_<LearningParams, std::shared_ptr<LearningParams>>(m, "Optimizer",
                                                               "Optimizer generic parameters")
      .def("get", &LearningParams::get, py::arg("key"), get_doc)
      .def("__copy__", [](const LearningParams& self) { return LearningParams::clone(self); })
      .def("__getattr__", &LearningParams::get, py::arg("key"))
      .def("__dir__", &LearningParams::keys)
      // The engine's learning type has no Python class; the plain number is what Python can hold.
      .def_property_readonly("learning_type", [](const LearningParams& self) {
        return static_cast<int32_t>(self.learning_type());
      });

  m.def("QaltoUnsupervised", &unsupervised, py::arg("num_weights"), py::arg("num_classes") = 1,
        py::arg("initial_plasticity") = 1.0, py::arg("learning_competition") = 0.0,
        py::arg("min_plasticity") = default_min_plasticity, py::arg("plasticity_decay") = 0.25,
        unsupervised_doc);
}

}  // namespace qalto::python
