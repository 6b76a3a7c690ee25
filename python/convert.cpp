#include "python/convert.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace qalto::python {

namespace {

// The numpy element type of a tensor type; packed types widen to their storage byte.
py::dtype numpy_dtype_of(TensorType type) {
  switch (type) {
    case TensorType::int32: return py::dtype::of<int32_t>();
    case TensorType::float32: return py::dtype::of<float>();
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2: return py::dtype::of<uint8_t>();
    case TensorType::int16: return py::dtype::of<int16_t>();
    case TensorType::int8:
    case TensorType::int4:
    case TensorType::int2:
    case TensorType::bit: return py::dtype::of<int8_t>();
    case TensorType::uint16: return py::dtype::of<uint16_t>();
  }
  throw std::runtime_error(std::string("Unable to convert a tensor of type ") +
                           Tensor::type_name(type) + "\n");
}

// The Shape of a numpy array, its dimensions examined from the first to the last.
Shape shape_of(const py::array& array) {
  const auto rank = array.ndim();
  if (rank < 1 || rank > static_cast<py::ssize_t>(max_numpy_dims)) {
    throw std::invalid_argument("Cannot instantiate a Dense with " + std::to_string(rank) +
                                " dimensions (min 1, max 4).\n");
  }
  uint32_t dims[max_numpy_dims] = {};
  for (py::ssize_t i = 0; i < rank; ++i) {
    const py::ssize_t dim = array.shape(i);
    if (dim == 0) {
      panic("Cannot have a shape with dimension %zu set to 0", static_cast<size_t>(i));
    }
    // Checked before narrowing: a wrapped dimension would describe another array.
    if (static_cast<uint64_t>(dim) > UINT32_MAX) {
      throw std::invalid_argument("Cannot instantiate a Dense with dimension " +
                                  std::to_string(i) + " of size " + std::to_string(dim) + ".");
    }
    dims[i] = static_cast<uint32_t>(dim);
  }
  return Shape(dims, static_cast<size_t>(rank));
}

}  // namespace

template <typename T>
std::shared_ptr<Dense> numpy_to_dense(py::handle source, TensorType type) {
  if (!is_storage_of<T>(type)) wrong_tensor_type(typeid(T), type);
  // ensure() clears numpy's error and gives an empty handle when it refuses the object.
  auto array = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(source);
  if (!array) throw std::invalid_argument("Invalid source array.");
  const Shape shape = shape_of(array);
  const uint64_t bytes = shape.elements() * sizeof(T);
  return Dense::copy(array.data(), static_cast<size_t>(bytes), type, shape,
                     Dense::Layout::RowMajor);
}

template std::shared_ptr<Dense> numpy_to_dense<int8_t>(py::handle, TensorType);
template std::shared_ptr<Dense> numpy_to_dense<uint8_t>(py::handle, TensorType);
template std::shared_ptr<Dense> numpy_to_dense<int16_t>(py::handle, TensorType);
template std::shared_ptr<Dense> numpy_to_dense<uint16_t>(py::handle, TensorType);
template std::shared_ptr<Dense> numpy_to_dense<int32_t>(py::handle, TensorType);
template std::shared_ptr<Dense> numpy_to_dense<float>(py::handle, TensorType);

py::array tensor_to_numpy(const std::shared_ptr<const Tensor>& tensor) {
  if (!tensor) throw std::invalid_argument("No tensor to convert.");
  // The type is checked first so that a tensor of an unknown type is refused by its type
  // whatever its form.
  const py::dtype dtype = numpy_dtype_of(tensor->type());
  const auto dense = Tensor::ensure_dense(tensor);
  const auto item = static_cast<uint64_t>(dtype.itemsize());
  const Shape& shape = dense->dimensions();
  const auto& strides = dense->strides();
  const size_t rank = shape.size();
  const bool reversed = dense->layout() == Dense::Layout::ColMajor;

  std::vector<py::ssize_t> numpy_shape(rank);
  std::vector<py::ssize_t> numpy_strides(rank);
  uint64_t last_byte = 0;  // offset of the last element, to check the description fits
  for (size_t i = 0; i < rank; ++i) {
    const size_t j = reversed ? rank - 1 - i : i;
    numpy_shape[i] = static_cast<py::ssize_t>(shape[j]);
    numpy_strides[i] = static_cast<py::ssize_t>(strides.at(j) * item);
    last_byte += (uint64_t{shape[j]} - 1) * strides.at(j) * item;
  }
  if (last_byte + item > dense->byte_size()) {
    throw std::runtime_error("The tensor's strides reach past its buffer.");
  }
  // Without a base object pybind11 copies the described memory into an array of its own.
  return py::array(dtype, std::move(numpy_shape), std::move(numpy_strides), dense->raw());
}

std::optional<int32_t> whole_label(double value) {
  // The range test also fails for NaN, and comes before the cast, which is undefined outside it.
  const bool in_range = value >= std::numeric_limits<int32_t>::min() &&
                        value <= std::numeric_limits<int32_t>::max();
  if (!in_range || std::trunc(value) != value) return std::nullopt;
  return static_cast<int32_t>(value);
}

namespace {

// Every element of an integer array, read through a C-ordered copy of type T wide enough for
// the array's own element type; nothing when one lies outside int32.
template <typename T>
std::optional<std::vector<int32_t>> labels_through(const py::array& labels) {
  const auto wide = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(labels);
  if (!wide) throw py::error_already_set();
  const auto view = wide.template unchecked<1>();
  std::vector<int32_t> values;
  values.reserve(static_cast<size_t>(view.shape(0)));
  for (py::ssize_t i = 0; i < view.shape(0); ++i) {
    const T value = view(i);
    if (value > T{std::numeric_limits<int32_t>::max()}) return std::nullopt;
    if constexpr (std::is_signed_v<T>) {
      if (value < T{std::numeric_limits<int32_t>::min()}) return std::nullopt;
    }
    values.push_back(static_cast<int32_t>(value));
  }
  return values;
}

std::string shape_text(const py::array& array) {
  std::string text = "(";
  for (py::ssize_t i = 0; i < array.ndim(); ++i) {
    text += (i ? ", " : "") + std::to_string(array.shape(i));
  }
  return text + ")";
}

}  // namespace

std::optional<std::vector<int32_t>> int32_labels(const py::array& labels) {
  if (labels.ndim() == 0) {
    throw std::invalid_argument("input_labels must hold one label per input, not a 0-d array.");
  }
  // A row per input would otherwise be read as one label (numpy turns a one-element row into
  // its value), or flattened into several.
  if (labels.ndim() != 1) {
    throw std::invalid_argument("input_labels must hold one label per input, not an array of "
                                "shape " + shape_text(labels) + ".");
  }
  // Unsigned arrays go through uint64 so that values past INT64_MAX are not wrapped negative.
  switch (labels.dtype().kind()) {
    case 'i': return labels_through<int64_t>(labels);
    case 'u': return labels_through<uint64_t>(labels);
    default: return std::nullopt;
  }
}

}  // namespace qalto::python
