#include "python/metrics.hpp"

#include <pybind11/stl.h>

#include <memory>
#include <stdexcept>

#include "python/registry.hpp"

namespace qalto::python {

std::vector<std::string> PyMetrics::names() const {
  std::vector<std::string> names;
  names.reserve(values_.size());
  for (const auto& entry : values_) names.push_back(entry.first);
  return names;
}

int64_t PyMetrics::get(const std::string& name) const {
  const auto it = values_.find(name);
  if (it == values_.end()) throw std::invalid_argument(name + " : no such metrics");
  return it->second;
}

void PyMetrics::set(const std::string& name, int64_t value) { values_[name] = value; }

void register_metrics(py::module_& m) {
  // No constructor: a Metrics object is always the store of a model or a device.
  py::class_<PyMetrics, std::shared_ptr<PyMetrics>>(
      m, "Metrics", "\n    A set of 64-bit integer metrics indexed by name.\n    ")
      .def_property_readonly("names", &PyMetrics::names, "The list of metrics names")
      .def("__getitem__", &PyMetrics::get, py::arg("name"));
}

}  // namespace qalto::python
