#include "qalto/tensor.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <typeinfo>

#include "qalto/saturating.hpp"

namespace qalto {

size_t element_size(TensorType type) {
  switch (type) {
    case TensorType::int32:
    case TensorType::float32: return 4;
    case TensorType::int16:
    case TensorType::uint16: return 2;
    case TensorType::uint8:
    case TensorType::int8:
    case TensorType::int4:
    case TensorType::int2:
    case TensorType::uint4:
    case TensorType::uint2:
    case TensorType::bit: return 1;
  }
  return 0;
}

bool is_valid_tensor_type(TensorType type) { return element_size(type) != 0; }

int64_t tensor_type_min(TensorType type) {
  switch (type) {
    case TensorType::int32: return INT32_MIN;
    case TensorType::float32: return INT64_MIN;
    case TensorType::int16: return INT16_MIN;
    case TensorType::int8: return INT8_MIN;
    case TensorType::int4: return -8;
    case TensorType::int2: return -2;
    default: return 0;
  }
}

int64_t tensor_type_max(TensorType type) {
  switch (type) {
    case TensorType::int32: return INT32_MAX;
    case TensorType::float32: return INT64_MAX;
    case TensorType::uint8: return UINT8_MAX;
    case TensorType::int16: return INT16_MAX;
    case TensorType::int8: return INT8_MAX;
    case TensorType::int4: return 7;
    case TensorType::int2: return 1;
    case TensorType::uint4: return 15;
    case TensorType::uint2: return 3;
    case TensorType::bit: return 1;
    case TensorType::uint16: return UINT16_MAX;
  }
  return 0;
}

Shape::Shape(std::initializer_list<uint32_t> dims) : Shape(dims.begin(), dims.size()) {}

Shape::Shape(const uint32_t* dims, size_t count) {
  if (count > max_dims) {
    throw std::invalid_argument("A shape has at most 4 dimensions, got " + std::to_string(count) +
                                ".");
  }
  for (size_t i = 0; i < count; ++i) {
    if (dims[i] == 0) panic("Cannot have a shape with dimension %zu set to 0", i);
    dims_[i] = dims[i];
  }
  count_ = count;
}

uint64_t Shape::elements() const {
  if (count_ == 0) return 0;
  uint64_t n = 1;
  for (size_t i = 0; i < count_; ++i) {
    // Four 32-bit dimensions can exceed 64 bits: a wrapped count would size a buffer too small.
    if (__builtin_mul_overflow(n, uint64_t{dims_[i]}, &n)) {
      throw std::overflow_error("The shape " + to_string() + " has too many elements.");
    }
  }
  return n;
}

std::string Shape::to_string() const {
  std::string text = "(";
  for (size_t i = 0; i < count_; ++i) {
    if (i) text += ", ";
    text += std::to_string(dims_[i]);
  }
  return text + ")";
}

bool Shape::operator==(const Shape& other) const {
  if (count_ != other.count_) return false;
  for (size_t i = 0; i < count_; ++i)
    if (dims_[i] != other.dims_[i]) return false;
  return true;
}

const char* Tensor::type_name(TensorType type) {
  switch (type) {
    case TensorType::int32: return "int32";
    case TensorType::float32: return "float32";
    case TensorType::uint8: return "uint8";
    case TensorType::int16: return "int16";
    case TensorType::int8: return "int8";
    case TensorType::int4: return "int4";
    case TensorType::int2: return "int2";
    case TensorType::uint4: return "uint4";
    case TensorType::uint2: return "uint2";
    case TensorType::bit: return "bit";
    case TensorType::uint16: return "uint16";
  }
  return "unknown";
}

std::shared_ptr<const Dense> Tensor::ensure_dense(const std::shared_ptr<const Tensor>& tensor) {
  auto dense = std::dynamic_pointer_cast<const Dense>(tensor);
  if (!dense) throw std::runtime_error("Tensor is not dense.");
  return dense;
}

namespace {

// The tensor type name of a storage element, so that the error speaks the user's terms
// ("uint8") rather than the compiler's type code ("h").
const char* element_type_name(const std::type_info& element) {
  struct Entry {
    const std::type_info& element;
    TensorType type;
  };
  static const Entry entries[] = {
      {typeid(int32_t), TensorType::int32}, {typeid(float), TensorType::float32},
      {typeid(uint8_t), TensorType::uint8}, {typeid(int16_t), TensorType::int16},
      {typeid(int8_t), TensorType::int8},   {typeid(uint16_t), TensorType::uint16}};
  for (const Entry& entry : entries) {
    if (entry.element == element) return Tensor::type_name(entry.type);
  }
  // No tensor type stores this element: its own name is the best there is.
  const char* name = element.name();
  return *name == '*' ? name + 1 : name;
}

}  // namespace

void wrong_tensor_type(const std::type_info& requested, TensorType actual) {
  panic("Wrong requested type %s for a tensor of type %s", element_type_name(requested),
        Tensor::type_name(actual));
}

namespace {

// The element count of a tensor, once its type, layout and shape are known to be valid.
uint64_t checked_elements(TensorType type, const Shape& shape, Dense::Layout layout) {
  if (!is_valid_tensor_type(type)) {
    throw std::invalid_argument(std::string("Unsupported tensor type ") + Tensor::type_name(type) +
                                ".");
  }
  if (layout != Dense::Layout::RowMajor && layout != Dense::Layout::ColMajor) {
    throw std::invalid_argument("Unsupported tensor layout " +
                                std::to_string(static_cast<unsigned>(layout)) + ".");
  }
  if (shape.size() == 0) throw std::invalid_argument("A tensor needs at least one dimension.");
  // Checked before anything is allocated; also keeps every 32-bit stride exact. The count
  // saturates, so that a shape past 64 bits is refused here like any other too large one.
  uint64_t elements = 1;
  for (uint32_t dim : shape) elements = saturating_mul(elements, dim);
  if (elements > Dense::max_elements) {
    throw std::invalid_argument("A tensor of shape " + shape.to_string() +
                                " exceeds the limit of " + std::to_string(Dense::max_elements) +
                                " elements.");
  }
  return elements;
}

}  // namespace

Dense::Dense(TensorType type, const Shape& shape, Layout layout)
    : type_(type), shape_(shape), layout_(layout) {
  const uint64_t elements = checked_elements(type, shape, layout);
  strides_ = eval_strides(shape, layout);
  owned_.assign(elements * element_size(type), 0);
  bytes_ = owned_.data();
  byte_size_ = owned_.size();
}

Dense::Dense(TensorType type, const Shape& shape, Layout layout, const void* data, size_t bytes)
    : type_(type), shape_(shape), layout_(layout) {
  const uint64_t expected = checked_elements(type, shape, layout) * element_size(type);
  if (data == nullptr) throw std::invalid_argument("Cannot copy a tensor from a null buffer.");
  if (bytes != expected) {
    throw std::invalid_argument("Buffer of " + std::to_string(bytes) + " bytes for a tensor of " +
                                std::to_string(expected) + " bytes.");
  }
  strides_ = eval_strides(shape, layout);
  // One copy of the whole buffer, without zero-filling it first.
  const auto* first = static_cast<const uint8_t*>(data);
  owned_.assign(first, first + bytes);
  bytes_ = owned_.data();
  byte_size_ = owned_.size();
}

Dense::Dense(TensorType type, const Shape& shape, Layout layout, std::shared_ptr<void> owner,
             uint8_t* data, size_t bytes)
    : type_(type), shape_(shape), layout_(layout) {
  const uint64_t expected = checked_elements(type, shape, layout) * element_size(type);
  if (data == nullptr || !owner) {
    throw std::invalid_argument("Cannot adopt the bytes of a tensor without an owner.");
  }
  if (bytes != expected) {
    throw std::invalid_argument("Buffer of " + std::to_string(bytes) + " bytes for a tensor of " +
                                std::to_string(expected) + " bytes.");
  }
  if (reinterpret_cast<uintptr_t>(data) % element_size(type) != 0) {
    throw std::invalid_argument("Cannot adopt bytes that are not aligned for the tensor type.");
  }
  strides_ = eval_strides(shape, layout);
  owner_ = std::move(owner);
  bytes_ = data;
  byte_size_ = bytes;
}

Dense::Dense(const Dense& other)
    : Tensor(other),
      type_(other.type_),
      shape_(other.shape_),
      layout_(other.layout_),
      strides_(other.strides_),
      owned_(other.bytes_, other.bytes_ + other.byte_size_),
      bytes_(owned_.data()),
      byte_size_(owned_.size()) {}

Dense& Dense::operator=(const Dense& other) {
  if (this == &other) return *this;
  std::vector<uint8_t> owned(other.bytes_, other.bytes_ + other.byte_size_);
  type_ = other.type_;
  shape_ = other.shape_;
  layout_ = other.layout_;
  strides_ = other.strides_;
  owned_ = std::move(owned);
  owner_.reset();
  bytes_ = owned_.data();
  byte_size_ = owned_.size();
  return *this;
}

std::shared_ptr<Dense> Dense::create(TensorType type, const Shape& shape, Layout layout) {
  return std::make_shared<Dense>(type, shape, layout);
}

std::shared_ptr<Dense> Dense::copy(const void* data, size_t bytes, TensorType type,
                                   const Shape& shape, Layout layout) {
  return std::make_shared<Dense>(type, shape, layout, data, bytes);
}

std::shared_ptr<Dense> Dense::adopt(std::shared_ptr<void> owner, uint8_t* data, size_t bytes,
                                    TensorType type, const Shape& shape, Layout layout) {
  return std::make_shared<Dense>(type, shape, layout, std::move(owner), data, bytes);
}

std::vector<std::shared_ptr<Dense>> Dense::split(const Dense& dense) {
  if (dense.layout_ != Layout::RowMajor) {
    throw std::invalid_argument("Only row-major tensors can be split.");
  }
  const Shape& shape = dense.shape_;
  Shape sample_shape = shape.size() == 1 ? Shape{1} : Shape(shape.begin() + 1, shape.size() - 1);
  const size_t sample_bytes = sample_shape.elements() * element_size(dense.type_);
  std::vector<std::shared_ptr<Dense>> samples;
  samples.reserve(shape[0]);
  for (uint32_t i = 0; i < shape[0]; ++i) {
    samples.push_back(copy(dense.bytes_ + i * sample_bytes, sample_bytes, dense.type_,
                           sample_shape, Layout::RowMajor));
  }
  return samples;
}

std::vector<uint32_t> Dense::eval_strides(const Shape& shape, Layout layout) {
  const size_t n = shape.size();
  std::vector<uint32_t> strides(n, 1);
  if (layout == Layout::RowMajor) {
    for (size_t i = n; i-- > 1;) strides[i - 1] = strides[i] * shape[i];
  } else {
    for (size_t i = 1; i < n; ++i) strides[i] = strides[i - 1] * shape[i - 1];
  }
  return strides;
}

namespace {

// A float converted to int64 without the undefined behaviour of an out-of-range cast.
int64_t saturated_int(float value) {
  if (std::isnan(value)) return 0;
  // 2^63 is exactly representable as a float; anything at or above it saturates.
  constexpr float limit = 9223372036854775808.0f;
  if (value >= limit) return std::numeric_limits<int64_t>::max();
  if (value < -limit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

}  // namespace

void Dense::check_index(size_t index) const {
  const size_t count = shape_.elements();
  if (index >= count) {
    panic("Coordinates are out-of-range (linear index %zu, tensor size %zu)", index, count);
  }
}

size_t Dense::linear_index(std::initializer_list<uint32_t> coords) const {
  return linear_index(coords.begin(), coords.size());
}

size_t Dense::linear_index(const uint32_t* coords, size_t count) const {
  size_t index = 0;
  bool inside = count == shape_.size();
  for (size_t i = 0; i < count && i < shape_.size(); ++i) {
    index += static_cast<size_t>(coords[i]) * strides_[i];
    inside = inside && coords[i] < shape_[i];
  }
  if (!inside) {
    panic("Coordinates are out-of-range (linear index %zu, tensor size %zu)", index,
          static_cast<size_t>(shape_.elements()));
  }
  return index;
}

int64_t Dense::value_as_int(size_t index) const {
  check_index(index);
  switch (type_) {
    case TensorType::int32: return data<int32_t>()[index];
    case TensorType::float32: return saturated_int(data<float>()[index]);
    case TensorType::int16: return data<int16_t>()[index];
    case TensorType::uint16: return data<uint16_t>()[index];
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2: return data<uint8_t>()[index];
    default: return data<int8_t>()[index];
  }
}

namespace {

// One pass over the raw elements, stopping at the first value outside [low, high].
template <typename T>
uint64_t first_outside(const uint8_t* bytes, uint64_t count, int64_t low, int64_t high) {
  const T* values = reinterpret_cast<const T*>(bytes);
  return std::find_if(values, values + count, [=](T v) { return v < low || v > high; }) - values;
}

}  // namespace

uint64_t Dense::first_value_out_of_range() const {
  switch (type_) {
    case TensorType::int4:
    case TensorType::int2:
    case TensorType::bit:
    case TensorType::uint4:
    case TensorType::uint2: return first_value_outside(tensor_type_min(type_), tensor_type_max(type_));
    default: return byte_size_ / element_size(type_);
  }
}

uint64_t Dense::first_value_outside(int64_t low, int64_t high) const {
  const uint64_t count = byte_size_ / element_size(type_);
  switch (type_) {
    case TensorType::int32: return first_outside<int32_t>(bytes_, count, low, high);
    case TensorType::float32: {
      const float* values = reinterpret_cast<const float*>(bytes_);
      return std::find_if(values, values + count,
                          [=](float v) {
                            const int64_t whole = saturated_int(v);
                            return whole < low || whole > high;
                          }) -
             values;
    }
    case TensorType::int16: return first_outside<int16_t>(bytes_, count, low, high);
    case TensorType::uint16: return first_outside<uint16_t>(bytes_, count, low, high);
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2: return first_outside<uint8_t>(bytes_, count, low, high);
    default: return first_outside<int8_t>(bytes_, count, low, high);
  }
}

}  // namespace qalto
