// Hooks for the array conversions and the metrics store, which the public module only reaches
// through models, variables and devices.

#include <pybind11/stl.h>

#include <map>
#include <optional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "python/convert.hpp"
#include "python/metrics.hpp"
#include "qalto/version.hpp"
#include "testing.hpp"

namespace qalto::testing {

namespace {

using python::numpy_to_dense;
using python::tensor_to_numpy;

// Holds an engine tensor between Python calls so that tests can check that no buffer is shared.
struct DenseHandle {
  std::shared_ptr<Dense> dense;
};

// A tensor that is not dense, so that its type can be any value.
class OddTensor : public Tensor {
 public:
  OddTensor(TensorType type, Shape shape) : type_(type), shape_(shape) {}
  TensorType type() const override { return type_; }
  const Shape& dimensions() const override { return shape_; }

 private:
  TensorType type_;
  Shape shape_;
};

// The numpy_to_dense instance named by a numpy dtype name; `type` defaults to the one the
// model and nn callers pass for that dtype.
DenseHandle to_dense(const std::string& dtype, py::handle source, std::optional<int> type) {
  auto type_or = [&](TensorType fallback) {
    return type ? static_cast<TensorType>(*type) : fallback;
  };
  if (dtype == "int8") return {numpy_to_dense<int8_t>(source, type_or(TensorType::int8))};
  if (dtype == "uint8") return {numpy_to_dense<uint8_t>(source, type_or(TensorType::uint8))};
  if (dtype == "int16") return {numpy_to_dense<int16_t>(source, type_or(TensorType::int16))};
  if (dtype == "uint16") return {numpy_to_dense<uint16_t>(source, type_or(TensorType::uint16))};
  if (dtype == "int32") return {numpy_to_dense<int32_t>(source, type_or(TensorType::int32))};
  if (dtype == "float32") return {numpy_to_dense<float>(source, type_or(TensorType::float32))};
  throw std::invalid_argument("no numpy_to_dense instance for " + dtype);
}

DenseHandle make_dense(int type, const std::vector<uint32_t>& dims, int layout,
                       const py::bytes& raw) {
  const std::string bytes = raw;
  return {Dense::copy(bytes.data(), bytes.size(), static_cast<TensorType>(type), Shape(dims),
                      static_cast<Dense::Layout>(layout))};
}

py::array odd_tensor_to_numpy(int type) {
  return tensor_to_numpy(std::make_shared<OddTensor>(static_cast<TensorType>(type), Shape{1}));
}

// Stands for a model or a device: owns a metrics store and writes into it.
struct MetricsOwner {
  std::shared_ptr<python::PyMetrics> metrics = std::make_shared<python::PyMetrics>();
};

std::shared_ptr<python::PyMetrics> make_metrics(const std::map<std::string, int64_t>& entries) {
  auto metrics = std::make_shared<python::PyMetrics>();
  for (const auto& [name, value] : entries) metrics->set(name, value);
  return metrics;
}

}  // namespace

void register_testing_convert(py::module_& m) {
  py::class_<DenseHandle>(m, "DenseHandle")
      .def_property_readonly("type_name",
                             [](const DenseHandle& h) { return Tensor::type_name(h.dense->type()); })
      .def_property_readonly("dims",
                             [](const DenseHandle& h) { return h.dense->dimensions().to_vector(); })
      .def_property_readonly("layout",
                             [](const DenseHandle& h) { return static_cast<int>(h.dense->layout()); })
      .def_property_readonly("strides", [](const DenseHandle& h) { return h.dense->strides(); })
      .def_property_readonly("raw",
                             [](const DenseHandle& h) {
                               return py::bytes(reinterpret_cast<const char*>(h.dense->raw()),
                                                h.dense->byte_size());
                             })
      .def("numpy", [](const DenseHandle& h) { return tensor_to_numpy(h.dense); });

  m.def("to_dense", &to_dense, py::arg("dtype"), py::arg("source"), py::arg("type") = py::none(),
        "numpy_to_dense of the instance named by a numpy dtype name.");
  m.def("make_dense", &make_dense, py::arg("type"), py::arg("dims"), py::arg("layout"),
        py::arg("raw"), "A Dense copied from raw bytes, of any type and layout.");
  m.def("odd_tensor_to_numpy", &odd_tensor_to_numpy, py::arg("type"),
        "tensor_to_numpy of a one-element tensor of any type value.");

  py::class_<MetricsOwner>(m, "MetricsOwner")
      .def(py::init<>())
      .def_property_readonly("metrics", [](const MetricsOwner& o) { return o.metrics; })
      .def("set", [](MetricsOwner& o, const std::string& name, int64_t value) {
        o.metrics->set(name, value);
      });
  m.def("make_metrics", &make_metrics, py::arg("entries"));
  m.def("engine_version", [] { return std::string(qalto::version()); });
}

}  // namespace qalto::testing
