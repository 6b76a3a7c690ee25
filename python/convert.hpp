#pragma once
// Conversions between numpy arrays and engine tensors. Each direction copies the numbers once:
// no buffer is ever shared between numpy and the engine.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "qalto/tensor.hpp"

namespace qalto::python {

namespace py = pybind11;

// The highest rank a Dense made from numpy may have.
constexpr size_t max_numpy_dims = Shape::max_dims;

// Makes a row-major Dense of element type T from any object numpy accepts as an array. numpy
// casts other element types to T (unsafe casts included) and makes a C-order copy only when the
// array is not already a C-contiguous array of T. `type` is stored as given; its storage
// element must be T. Instances exist for int8_t, uint8_t, int16_t, uint16_t, int32_t and float.
// Throws:
//   invalid_argument "Invalid source array." when numpy cannot make such an array (numpy's own
//     error is discarded);
//   invalid_argument "Cannot instantiate a Dense with N dimensions (min 1, max 4).\n" for a rank
//     outside 1 to 4;
//   runtime_error "Cannot have a shape with dimension I set to 0" for the first zero dimension;
//   invalid_argument for a dimension above 2^32 - 1 or more than Dense::max_elements elements;
//   runtime_error "Wrong requested type ..." when the storage element of `type` is not T.
template <typename T>
std::shared_ptr<Dense> numpy_to_dense(py::handle source, TensorType type);

extern template std::shared_ptr<Dense> numpy_to_dense<int8_t>(py::handle, TensorType);
extern template std::shared_ptr<Dense> numpy_to_dense<uint8_t>(py::handle, TensorType);
extern template std::shared_ptr<Dense> numpy_to_dense<int16_t>(py::handle, TensorType);
extern template std::shared_ptr<Dense> numpy_to_dense<uint16_t>(py::handle, TensorType);
extern template std::shared_ptr<Dense> numpy_to_dense<int32_t>(py::handle, TensorType);
extern template std::shared_ptr<Dense> numpy_to_dense<float>(py::handle, TensorType);

// A new numpy array owning a copy of the tensor's numbers. The element type follows the tensor
// type: int4, int2 and bit come back as int8, uint4 and uint2 as uint8 (one value per byte).
// A Layout 1 (ColMajor) tensor comes back with its axes reversed, so that its numpy form is in
// C order. Throws runtime_error "Unable to convert a tensor of type unknown\n" for a type
// outside the enum, invalid_argument for a null tensor, and the errors of Tensor::ensure_dense.
py::array tensor_to_numpy(const std::shared_ptr<const Tensor>& tensor);

// Labels for fit: the int32 value of a label given as a number, checked as the double it is
// (nothing for a fraction such as 2.0000001, NaN, an infinity or a value outside int32). A
// float32 round trip would take 2.0000001 as 2 and 16777217 as 16777216, and refuse 2147483647.
std::optional<int32_t> whole_label(double value);

// Labels for fit from an integer array, one per element of a one-dimensional array. Throws
// invalid_argument "input_labels must hold one label per input, not a 0-d array." for a 0-d
// array and "input_labels must hold one label per input, not an array of shape (4, 1)." (its
// shape as numpy prints it) for more than one dimension. Gives nothing when an element lies
// outside int32 or the array does not hold integers, so that each fit raises its own label
// error, as for a list.
std::optional<std::vector<int32_t>> int32_labels(const py::array& labels);

}  // namespace qalto::python
