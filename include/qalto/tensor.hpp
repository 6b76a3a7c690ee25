#pragma once
// Engine tensors: shapes, element types, and dense tensors in two layouts.
//
// Packed types (int4, int2, uint4, uint2, bit) are stored one value per byte.
// Layout RowMajor (0) is C order: the last axis varies fastest. Layout ColMajor (1) is the
// reverse: the first axis varies fastest. Strides are counted in elements.

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "qalto/panic.hpp"

namespace qalto {

enum class TensorType : uint8_t {
  int32 = 0,
  float32 = 1,
  uint8 = 2,
  int16 = 3,
  int8 = 4,
  int4 = 5,
  int2 = 6,
  uint4 = 7,
  uint2 = 8,
  bit = 9,
  uint16 = 10,
};

// Bytes of the element that stores one value of `type`; 0 for a value outside the enum.
size_t element_size(TensorType type);
// Whether `type` is a known value (0 to 10).
bool is_valid_tensor_type(TensorType type);
// Smallest and largest value a type can hold (packed types included).
int64_t tensor_type_min(TensorType type);
int64_t tensor_type_max(TensorType type);

// Up to four dimensions. A zero dimension panics with
// "Cannot have a shape with dimension %zu set to 0"; more than four throws invalid_argument.
class Shape {
 public:
  static constexpr size_t max_dims = 4;

  Shape() = default;
  Shape(std::initializer_list<uint32_t> dims);
  Shape(const uint32_t* dims, size_t count);
  explicit Shape(const std::vector<uint32_t>& dims) : Shape(dims.data(), dims.size()) {}

  size_t size() const { return count_; }
  uint32_t operator[](size_t i) const { return dims_[i]; }
  const uint32_t* begin() const { return dims_.data(); }
  const uint32_t* end() const { return dims_.data() + count_; }
  // Product of the dimensions; 0 for a shape without dimensions. Throws overflow_error when the
  // product does not fit 64 bits.
  uint64_t elements() const;
  std::vector<uint32_t> to_vector() const { return {begin(), end()}; }
  std::string to_string() const;

  bool operator==(const Shape& other) const;

 private:
  std::array<uint32_t, max_dims> dims_{};
  size_t count_ = 0;
};

class Dense;

class Tensor {
 public:
  virtual ~Tensor() = default;

  virtual TensorType type() const = 0;
  virtual const Shape& dimensions() const = 0;
  // Number of elements.
  uint64_t size() const { return dimensions().elements(); }

  // "int32", "float32", ..., "unknown" for a value outside the enum.
  static const char* type_name(TensorType type);

  // The dense form of a tensor (every engine tensor is dense here).
  static std::shared_ptr<const Dense> ensure_dense(const std::shared_ptr<const Tensor>& tensor);
};

// Throws through panic "Wrong requested type %s for a tensor of type %s": the requested
// element by the name of the tensor type it stores (uint8_t -> "uint8"; an element no tensor
// type stores keeps its type-information name), the tensor by Tensor::type_name.
[[noreturn]] void wrong_tensor_type(const std::type_info& requested, TensorType actual);

template <typename T>
bool is_storage_of(TensorType type);

class Dense : public Tensor {
 public:
  enum class Layout : uint8_t { RowMajor = 0, ColMajor = 1 };

  // Strides are 32-bit element counts, so a tensor can hold at most this many elements: a
  // larger one could not be addressed through its strides.
  static constexpr uint64_t max_elements = UINT32_MAX;

  // A zero-filled tensor. Throws invalid_argument for a type outside the enum, a layout other
  // than 0 and 1, a shape without dimensions or one of more than `max_elements` elements
  // (a count past 64 bits included): "A tensor of shape (a, b) exceeds the limit of 4294967295
  // elements.".
  static std::shared_ptr<Dense> create(TensorType type, const Shape& shape,
                                       Layout layout = Layout::RowMajor);
  // A tensor holding a copy of `bytes` bytes at `data`; `bytes` must equal the element count
  // times the element size and `data` must not be null (invalid_argument otherwise), besides
  // the conditions of `create`.
  static std::shared_ptr<Dense> copy(const void* data, size_t bytes, TensorType type,
                                     const Shape& shape, Layout layout = Layout::RowMajor);
  // A tensor over `bytes` bytes at `data`, which stay where they are (no copy): `owner` keeps
  // them alive as long as the tensor, and nothing else may use them meanwhile. `data` must be
  // aligned for the type's element. Throws as `copy`. Copies of the tensor own their bytes.
  static std::shared_ptr<Dense> adopt(std::shared_ptr<void> owner, uint8_t* data, size_t bytes,
                                      TensorType type, const Shape& shape,
                                      Layout layout = Layout::RowMajor);
  // One tensor per index of the first dimension, each of the remaining dimensions (a rank-1
  // tensor splits into tensors of shape (1)). Row-major tensors only.
  static std::vector<std::shared_ptr<Dense>> split(const Dense& dense);
  // Element strides of `shape` in `layout`: row-major (last axis 1) for RowMajor, the first
  // axis 1 for ColMajor. Exact for shapes of at most `max_elements` elements.
  static std::vector<uint32_t> eval_strides(const Shape& shape, Layout layout);

  TensorType type() const override { return type_; }
  const Shape& dimensions() const override { return shape_; }
  Layout layout() const { return layout_; }
  const std::vector<uint32_t>& strides() const { return strides_; }
  size_t byte_size() const { return byte_size_; }
  const uint8_t* raw() const { return bytes_; }
  uint8_t* raw() { return bytes_; }

  // The first element as T; panics when T is not the storage element of the tensor's type.
  template <typename T>
  T* data() {
    check_type<T>();
    return reinterpret_cast<T*>(bytes_);
  }
  template <typename T>
  const T* data() const {
    check_type<T>();
    return reinterpret_cast<const T*>(bytes_);
  }

  // Linear element index of coordinates (one per dimension, in dimension order); panics with
  // "Coordinates are out-of-range (linear index %zu, tensor size %zu)".
  size_t linear_index(std::initializer_list<uint32_t> coords) const;
  size_t linear_index(const uint32_t* coords, size_t count) const;

  template <typename T>
  T get(std::initializer_list<uint32_t> coords) const {
    return data<T>()[linear_index(coords)];
  }
  template <typename T>
  void set(std::initializer_list<uint32_t> coords, T value) {
    data<T>()[linear_index(coords)] = value;
  }
  // Element at a linear index, range-checked with the same panic.
  template <typename T>
  T at(size_t index) const {
    check_index(index);
    return data<T>()[index];
  }

  // Any element as a 64-bit integer by linear index: floats are truncated toward zero and
  // saturate at the int64 limits, NaN gives 0.
  int64_t value_as_int(size_t index) const;
  // Linear index of the first element whose value lies outside the range of the tensor's type,
  // or the element count when every value fits. Only the packed types (int4, int2, uint4, uint2,
  // bit) can hold such values: the others' elements hold exactly their type's range.
  uint64_t first_value_out_of_range() const;
  // Linear index of the first element whose value (as `value_as_int` reads it) lies outside
  // [low, high], or the element count when every value does: one pass over the raw buffer.
  uint64_t first_value_outside(int64_t low, int64_t high) const;

  // As `create`, `copy` and `adopt`, for make_shared.
  Dense(TensorType type, const Shape& shape, Layout layout);
  Dense(TensorType type, const Shape& shape, Layout layout, const void* data, size_t bytes);
  Dense(TensorType type, const Shape& shape, Layout layout, std::shared_ptr<void> owner,
        uint8_t* data, size_t bytes);
  // A copy owns its bytes, whoever holds the original's.
  Dense(const Dense& other);
  Dense& operator=(const Dense& other);

 private:
  template <typename T>
  void check_type() const {
    if (!is_storage_of<T>(type_)) wrong_tensor_type(typeid(T), type_);
  }
  void check_index(size_t index) const;

  TensorType type_;
  Shape shape_;
  Layout layout_;
  std::vector<uint32_t> strides_;
  // The bytes are owned_, or adopted ones that owner_ keeps alive.
  std::vector<uint8_t> owned_;
  std::shared_ptr<void> owner_;
  uint8_t* bytes_ = nullptr;
  size_t byte_size_ = 0;
};

template <typename T>
bool is_storage_of(TensorType type) {
  switch (type) {
    case TensorType::int32: return std::is_same_v<T, int32_t>;
    case TensorType::float32: return std::is_same_v<T, float>;
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2: return std::is_same_v<T, uint8_t>;
    case TensorType::int16: return std::is_same_v<T, int16_t>;
    case TensorType::int8:
    case TensorType::int4:
    case TensorType::int2:
    case TensorType::bit: return std::is_same_v<T, int8_t>;
    case TensorType::uint16: return std::is_same_v<T, uint16_t>;
  }
  return false;
}

}  // namespace qalto
