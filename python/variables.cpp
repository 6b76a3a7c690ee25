// Python face of a layer's variables (Variables) and of the bit-width evaluation of an array.

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "python/convert.hpp"
#include "python/registry.hpp"
#include "qalto/bitwidth.hpp"
#include "qalto/layer.hpp"

namespace qalto::python {

namespace {

constexpr const char* evaluate_bitwidth_doc = R"(
   Evalutate the maximum bitwidth that the values of the variable take.

   Args:
       variable (:obj:`numpy.ndarray`): The variable on which the bitwidth is evaluated.
   )";

// The numpy element type a variable of `type` accepts (packed types travel one value per byte),
// or null for a type outside the engine's list.
const char* accepted_dtype(TensorType type) {
  switch (type) {
    case TensorType::int32: return "int32";
    case TensorType::float32: return "float32";
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2: return "uint8";
    case TensorType::int16: return "int16";
    case TensorType::int8:
    case TensorType::int4:
    case TensorType::int2:
    case TensorType::bit: return "int8";
    case TensorType::uint16: return "uint16";
  }
  return nullptr;
}

// A Dense of `type` from an array already known to hold the storage element of that type.
std::shared_ptr<Dense> to_dense(const py::array& array, TensorType type) {
  switch (type) {
    case TensorType::int32: return numpy_to_dense<int32_t>(array, type);
    case TensorType::float32: return numpy_to_dense<float>(array, type);
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2: return numpy_to_dense<uint8_t>(array, type);
    case TensorType::int16: return numpy_to_dense<int16_t>(array, type);
    case TensorType::int8:
    case TensorType::int4:
    case TensorType::int2:
    case TensorType::bit: return numpy_to_dense<int8_t>(array, type);
    case TensorType::uint16: return numpy_to_dense<uint16_t>(array, type);
  }
  throw std::invalid_argument("Unsupported variable type.");
}

// The dtype is compared, never converted: numpy's casts would silently change the numbers. The
// new tensor takes the stored variable's own type, and the engine refuses a wrong shape or a
// value outside a packed type's range, leaving the variable as it was.
void set_variable(Variables& variables, const std::string& name, const py::array& array) {
  const py::dtype dtype = array.dtype();
  const TensorType type = variables.get(name)->type();
  const char* accepted = accepted_dtype(type);
  const std::string received = py::str(static_cast<py::handle>(dtype));
  if (accepted == nullptr) {
    throw std::invalid_argument("Unsupported variable type for " + name + " " + received);
  }
  if (!dtype.equal(py::dtype(accepted))) {
    throw std::invalid_argument("Unsupported variable type for " + name + " expected " +
                                accepted + " received " + received);
  }
  variables.set(name, to_dense(array, type));
}

int32_t evaluate_array_bitwidth(const py::array& variable) {
  const py::dtype dtype = variable.dtype();
  if (dtype.equal(py::dtype("float32"))) return 0;
  std::shared_ptr<Dense> dense;
  if (dtype.equal(py::dtype("int32"))) {
    dense = numpy_to_dense<int32_t>(variable, TensorType::int32);
  } else if (dtype.equal(py::dtype("int16"))) {
    dense = numpy_to_dense<int16_t>(variable, TensorType::int16);
  } else if (dtype.equal(py::dtype("int8"))) {
    dense = numpy_to_dense<int8_t>(variable, TensorType::int8);
  } else if (dtype.equal(py::dtype("uint16"))) {
    dense = numpy_to_dense<uint16_t>(variable, TensorType::uint16);
  } else if (dtype.equal(py::dtype("uint8"))) {
    dense = numpy_to_dense<uint8_t>(variable, TensorType::uint8);
  } else {
    throw std::runtime_error("Wrong py::array type: cannot evaluate the bitwidth.");
  }
  return static_cast<int32_t>(evaluate_bitwidth(*dense));
}

}  // namespace

void register_variables(py::module_& m) {
  py::options options;
  options.disable_function_signatures();

  py::class_<Variables>(m, "Variables")
      .def_property_readonly("names", &Variables::names)
      .def("__getitem__",
           [](const Variables& self, const std::string& name) {
             return tensor_to_numpy(self.get(name));
           })
      .def("__setitem__", &set_variable);

  m.def("evaluate_bitwidth", &evaluate_array_bitwidth, py::arg("variable"),
        evaluate_bitwidth_doc);
}

}  // namespace qalto::python
