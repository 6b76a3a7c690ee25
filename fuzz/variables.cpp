// Harness: arbitrary numpy arrays (any dtype, rank 0 to 6, transposed, reversed, Fortran-order,
// strided and broadcast views) written into a layer's Variables through the module's own
// conversion code, then read back. An accepted write reads back equal (NaN-aware); a refused
// write raises ValueError or RuntimeError and leaves the variable as it was. The interpreter is
// embedded; the module's variable bindings are registered into an embedded module.
#include <pybind11/embed.h>
#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/support.hpp"
#include "python/registry.hpp"
#include "qalto/layer.hpp"
#include "qalto/tensor.hpp"

namespace py = pybind11;

PYBIND11_EMBEDDED_MODULE(qalto_fuzz_variables, m) { qalto::python::register_variables(m); }

namespace {

using namespace qalto;
using fuzz::ByteReader;

// Builds the arrays from plain numbers, so that the harness describes views in a few bytes.
constexpr const char* kArrays = R"(
import numpy as np

DTYPES = [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.float32, np.uint32, np.int64,
          np.float64, np.float16, np.bool_, np.complex64]
ACCEPTED = {0: np.int32, 1: np.float32, 2: np.uint8, 3: np.int16, 4: np.int8, 5: np.int8,
            6: np.int8, 7: np.uint8, 8: np.uint8, 9: np.int8, 10: np.uint16}

def filled(dtype, shape, raw):
    need = int(np.prod(shape, dtype=np.int64)) * np.dtype(dtype).itemsize
    if need == 0:
        return np.zeros(shape, dtype)
    raw = raw if raw else b"\0"
    data = (raw * (need // len(raw) + 1))[:need]
    return np.frombuffer(data, dtype=dtype).reshape(shape).copy()

def make_array(dtype, shape, view, raw):
    shape = tuple(shape)
    if view == 1:    # transposed
        return filled(dtype, shape[::-1], raw).T
    if view == 2:    # every axis reversed
        return filled(dtype, shape, raw)[tuple(slice(None, None, -1) for _ in shape)]
    if view == 3:    # Fortran order
        return np.asfortranarray(filled(dtype, shape, raw))
    if view == 4:    # broadcast: axes of one spread with zero strides
        base = filled(dtype, tuple(1 if i % 2 else d for i, d in enumerate(shape)), raw)
        return np.broadcast_to(base, shape)
    if view == 5:    # every other element
        return filled(dtype, tuple(2 * d for d in shape), raw)[tuple(slice(None, None, 2) for _ in shape)]
    return filled(dtype, shape, raw)

def same(a, b):
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    return bool(np.array_equal(a, b, equal_nan=a.dtype.kind in "fc"))
)";

struct Python {
  Python() {
    // Python objects come from the intercepted malloc, so overruns into them are seen.
    setenv("PYTHONMALLOC", "malloc", 0);
    interpreter = std::make_unique<py::scoped_interpreter>();
    scope = py::dict();
    py::exec(kArrays, scope);
    module = py::module_::import("qalto_fuzz_variables");
  }
  std::unique_ptr<py::scoped_interpreter> interpreter;
  py::object scope;  // set once the interpreter runs
  py::object module;
};

Python& embedded() {
  static Python* instance = new Python();  // lives until the process ends
  return *instance;
}

// A declared variable: the type, shape and layout a layer gives it, filled with values in the
// type's range.
std::shared_ptr<Dense> declared_variable(ByteReader& in) {
  const auto type = static_cast<TensorType>(in.below(11));
  std::vector<uint32_t> dims(1 + in.below(4));
  for (auto& d : dims) d = 1 + in.below(4);
  const auto layout = in.byte() < 32 ? Dense::Layout::ColMajor : Dense::Layout::RowMajor;
  auto dense = Dense::create(type, Shape(dims), layout);
  const size_t item = element_size(type);
  // Integer types only (the float limits are the int64 ones): at most 2^32 values.
  const int64_t low = type == TensorType::float32 ? 0 : tensor_type_min(type);
  const int64_t span = type == TensorType::float32 ? 1 : tensor_type_max(type) - low + 1;
  for (size_t i = 0; i < dense->size(); ++i) {
    if (type == TensorType::float32) {
      const float value = static_cast<float>(static_cast<int32_t>(in.u32())) / 16.0f;
      std::memcpy(dense->raw() + i * item, &value, item);
      continue;
    }
    const int64_t value = low + static_cast<int64_t>(in.u32() % static_cast<uint64_t>(span));
    std::memcpy(dense->raw() + i * item, &value, item);  // little-endian: the low bytes
  }
  return dense;
}

// The numpy shape a write is tried with: mostly the variable's own (so that writes get
// accepted), otherwise any rank from 0 to 6.
py::tuple array_shape(ByteReader& in, const Dense& variable) {
  std::vector<py::ssize_t> shape;
  if (in.byte() < 170) {
    for (uint32_t d : variable.dimensions()) shape.push_back(d);
  } else {
    for (uint32_t n = in.below(7); n > 0; --n) shape.push_back(in.below(4));
  }
  py::tuple tuple(shape.size());
  for (size_t i = 0; i < shape.size(); ++i) tuple[i] = py::int_(shape[i]);
  return tuple;
}

bool is_documented_python_error(const py::error_already_set& error) {
  return error.matches(PyExc_ValueError) || error.matches(PyExc_RuntimeError);
}

py::bytes raw_of(const Dense& dense) {
  return {reinterpret_cast<const char*>(dense.raw()), dense.byte_size()};
}

// Reading a variable gives its numbers in C order, axes reversed for a ColMajor tensor.
void check_read(Variables& variables, py::object& proxy) {
  const auto dense = variables.get("v");
  py::array out = proxy.attr("__getitem__")("v");
  std::vector<py::ssize_t> expected;
  for (uint32_t d : dense->dimensions()) expected.push_back(d);
  if (dense->layout() == Dense::Layout::ColMajor) std::reverse(expected.begin(), expected.end());
  fuzz::check(std::vector<py::ssize_t>(out.shape(), out.shape() + out.ndim()) == expected,
              "a variable reads back with another shape");
  fuzz::check(out.attr("tobytes")().cast<std::string>() == std::string(raw_of(*dense)),
              "a variable reads back with other numbers");
}

void try_write(Variables& variables, py::object& proxy, const py::array& array) {
  const auto before = variables.get("v");
  const std::string before_bytes = raw_of(*before);
  try {
    proxy.attr("__setitem__")("v", array);
  } catch (const py::error_already_set& error) {
    if (!is_documented_python_error(error)) fuzz::fault(std::string("write: ") + error.what());
    const auto after = variables.get("v");
    fuzz::check(after == before && std::string(raw_of(*after)) == before_bytes,
                "a refused write changed the variable");
    return;
  }
  fuzz::check(variables.get("v")->type() == before->type(),
              "an accepted write changed the variable's type");
  py::object out = proxy.attr("__getitem__")("v");
  fuzz::check(embedded().scope["same"](out, array).cast<bool>(),
              "an accepted write reads back different");
}

void try_bitwidth(const py::array& array) {
  try {
    (void)embedded().module.attr("evaluate_bitwidth")(array);
  } catch (const py::error_already_set& error) {
    if (!is_documented_python_error(error)) fuzz::fault(std::string("bitwidth: ") + error.what());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Python& py_state = embedded();
  ByteReader in(data, size);
  Variables variables;
  variables.declare("v", declared_variable(in));
  py::object proxy = py::cast(&variables, py::return_value_policy::reference);
  check_read(variables, proxy);

  const auto type = static_cast<uint32_t>(variables.get("v")->type());
  const bool own_dtype = in.byte() < 160;
  py::object dtype = own_dtype ? py_state.scope["ACCEPTED"][py::int_(type)]
                               : py_state.scope["DTYPES"][py::int_(in.below(12))];
  const py::tuple shape = array_shape(in, *variables.get("v"));
  const int view = static_cast<int>(in.below(6));
  const auto raw = in.bytes(64);
  py::array array;
  try {
    array = py_state.scope["make_array"](dtype, shape, view,
                                         py::bytes(reinterpret_cast<const char*>(raw.data()),
                                                   raw.size()));
  } catch (const py::error_already_set&) {
    return 0;  // numpy refused the description itself (e.g. a broadcast of a rank-0 array)
  }
  try_write(variables, proxy, array);
  check_read(variables, proxy);
  try_bitwidth(array);
  return 0;
}
