#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "qalto/tensor.hpp"

using namespace qalto;

namespace {

// Runs `f`, expects a runtime_error and returns its text.
template <typename F>
std::string runtime_error_text(F&& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  ADD_FAILURE() << "no runtime_error";
  return {};
}

}  // namespace

TEST(Shape, RefusesAZeroDimensionNamingItsIndex) {
  EXPECT_EQ(runtime_error_text([] { Shape{4, 0, 2}; }),
            "Cannot have a shape with dimension 1 set to 0");
  EXPECT_EQ(runtime_error_text([] { Shape{0, 0}; }),
            "Cannot have a shape with dimension 0 set to 0");
  EXPECT_THROW((Shape{1, 2, 3, 4, 5}), std::invalid_argument);
}

TEST(Shape, ElementCountIsSixtyFourBitAndChecked) {
  EXPECT_EQ(Shape{}.elements(), 0u);
  EXPECT_EQ((Shape{65536, 65536, 2}.elements()), uint64_t{1} << 33);
  // Four 32-bit dimensions exceed 64 bits: the count must not wrap.
  const Shape huge{UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX};
  EXPECT_THROW(huge.elements(), std::overflow_error);
}

TEST(Dense, RowMajorAndColMajorStrides) {
  EXPECT_EQ(Dense::eval_strides(Shape{2, 3, 4}, Dense::Layout::RowMajor),
            (std::vector<uint32_t>{12, 4, 1}));
  EXPECT_EQ(Dense::eval_strides(Shape{2, 3, 4}, Dense::Layout::ColMajor),
            (std::vector<uint32_t>{1, 2, 6}));
  EXPECT_EQ(Dense::eval_strides(Shape{7}, Dense::Layout::ColMajor), (std::vector<uint32_t>{1}));

  auto row = Dense::create(TensorType::int16, Shape{2, 3});
  auto col = Dense::create(TensorType::int16, Shape{2, 3}, Dense::Layout::ColMajor);
  EXPECT_EQ(row->linear_index({1, 2}), 5u);
  EXPECT_EQ(col->linear_index({1, 2}), 5u);
  EXPECT_EQ(row->linear_index({1, 0}), 3u);
  EXPECT_EQ(col->linear_index({1, 0}), 1u);
  col->set<int16_t>({1, 0}, -7);
  EXPECT_EQ(col->data<int16_t>()[1], -7);
  EXPECT_EQ(col->get<int16_t>({1, 0}), -7);
  EXPECT_EQ(row->byte_size(), 12u);
}

TEST(Dense, RefusesBadConstructionArguments) {
  EXPECT_THROW(Dense::create(static_cast<TensorType>(11), Shape{1}), std::invalid_argument);
  EXPECT_THROW(Dense::create(TensorType::int8, Shape{}), std::invalid_argument);
  EXPECT_THROW(Dense::create(TensorType::int8, Shape{2}, static_cast<Dense::Layout>(2)),
               std::invalid_argument);
  // More elements than 32-bit strides can address: refused before any allocation, by every
  // constructor, also where the count passes 64 bits (2^64 exactly would wrap to 0).
  const int8_t one = 0;
  const auto owner = std::make_shared<uint8_t>(0);
  const Shape too_large[] = {Shape{65536, 65536}, Shape{65536, 65536, 65536, 65536},
                             Shape{UINT32_MAX, UINT32_MAX, UINT32_MAX, 2}};
  for (const Shape& shape : too_large) {
    const std::string refusal =
        "A tensor of shape " + shape.to_string() + " exceeds the limit of 4294967295 elements.";
    const std::function<void()> makers[] = {
        [&] { Dense::create(TensorType::int8, shape); },
        [&] { Dense::copy(&one, 1, TensorType::int8, shape); },
        [&] { Dense::adopt(owner, owner.get(), 1, TensorType::int8, shape); }};
    for (const auto& make : makers) {
      try {
        make();
        ADD_FAILURE() << shape.to_string() << " accepted";
      } catch (const std::invalid_argument& e) {
        EXPECT_EQ(e.what(), refusal);
      }
    }
  }
  const int8_t bytes[3] = {1, 2, 3};
  EXPECT_THROW(Dense::copy(bytes, 3, TensorType::int16, Shape{3}), std::invalid_argument);
  EXPECT_THROW(Dense::copy(nullptr, 3, TensorType::int8, Shape{3}), std::invalid_argument);
}

TEST(Dense, CopyOwnsItsBytes) {
  int32_t values[4] = {1, -2, 3, -4};
  auto dense = Dense::copy(values, sizeof values, TensorType::int32, Shape{2, 2});
  values[0] = 99;
  EXPECT_EQ(dense->get<int32_t>({0, 0}), 1);
  EXPECT_EQ(dense->get<int32_t>({1, 1}), -4);
}

TEST(Dense, SplitGivesOneTensorPerFirstIndex) {
  uint8_t values[6] = {0, 1, 2, 3, 4, 5};
  auto dense = Dense::copy(values, 6, TensorType::uint8, Shape{3, 2});
  auto samples = Dense::split(*dense);
  ASSERT_EQ(samples.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(samples[i]->dimensions(), (Shape{2}));
    EXPECT_EQ(samples[i]->type(), TensorType::uint8);
    EXPECT_EQ(samples[i]->at<uint8_t>(0), 2 * i);
    EXPECT_EQ(samples[i]->at<uint8_t>(1), 2 * i + 1);
  }
  auto rank1 = Dense::split(*Dense::copy(values, 3, TensorType::uint8, Shape{3}));
  ASSERT_EQ(rank1.size(), 3u);
  EXPECT_EQ(rank1[2]->dimensions(), (Shape{1}));
  EXPECT_EQ(rank1[2]->at<uint8_t>(0), 2);
}

TEST(Dense, OutOfRangeCoordinatesPanic) {
  auto dense = Dense::create(TensorType::float32, Shape{2, 3});
  EXPECT_EQ(runtime_error_text([&] { dense->linear_index({2, 0}); }),
            "Coordinates are out-of-range (linear index 6, tensor size 6)");
  EXPECT_EQ(runtime_error_text([&] { dense->at<float>(6); }),
            "Coordinates are out-of-range (linear index 6, tensor size 6)");
  // A coordinate past its own axis is refused even when the linear index stays inside.
  EXPECT_EQ(runtime_error_text([&] { dense->linear_index({0, 5}); }),
            "Coordinates are out-of-range (linear index 5, tensor size 6)");
  EXPECT_THROW(dense->linear_index({1}), std::runtime_error);
}

TEST(Dense, TypedAccessPanicsOnTheWrongElement) {
  auto floats = Dense::create(TensorType::float32, Shape{1});
  EXPECT_EQ(runtime_error_text([&] { floats->data<int32_t>(); }),
            "Wrong requested type int32 for a tensor of type float32");
  auto bits = Dense::create(TensorType::bit, Shape{1});
  EXPECT_EQ(runtime_error_text([&] { bits->data<uint8_t>(); }),
            "Wrong requested type uint8 for a tensor of type bit");
  EXPECT_NO_THROW(bits->data<int8_t>());
  std::shared_ptr<const Dense> shorts = Dense::create(TensorType::uint16, Shape{1});
  EXPECT_EQ(runtime_error_text([&] { shorts->data<int16_t>(); }),
            "Wrong requested type int16 for a tensor of type uint16");
  EXPECT_EQ(runtime_error_text([] { wrong_tensor_type(typeid(float), static_cast<TensorType>(42)); }),
            "Wrong requested type float32 for a tensor of type unknown");
  // An element that no tensor type stores keeps its type-information name.
  EXPECT_EQ(runtime_error_text([] { wrong_tensor_type(typeid(double), TensorType::int32); }),
            std::string("Wrong requested type ") + typeid(double).name() +
                " for a tensor of type int32");
}

TEST(Dense, StorageElementOfEveryType) {
  EXPECT_TRUE(is_storage_of<int32_t>(TensorType::int32));
  EXPECT_TRUE(is_storage_of<float>(TensorType::float32));
  EXPECT_TRUE(is_storage_of<int16_t>(TensorType::int16));
  EXPECT_TRUE(is_storage_of<uint16_t>(TensorType::uint16));
  for (auto t : {TensorType::uint8, TensorType::uint4, TensorType::uint2}) {
    EXPECT_TRUE(is_storage_of<uint8_t>(t));
    EXPECT_FALSE(is_storage_of<int8_t>(t));
    EXPECT_EQ(element_size(t), 1u);
  }
  for (auto t : {TensorType::int8, TensorType::int4, TensorType::int2, TensorType::bit}) {
    EXPECT_TRUE(is_storage_of<int8_t>(t));
    EXPECT_FALSE(is_storage_of<uint8_t>(t));
  }
  EXPECT_FALSE(is_storage_of<int8_t>(static_cast<TensorType>(11)));
  EXPECT_EQ(element_size(static_cast<TensorType>(11)), 0u);
}

TEST(Dense, ValueAsIntSaturatesFloats) {
  const float values[4] = {-2.75f, 1e30f, -1e30f, std::numeric_limits<float>::quiet_NaN()};
  auto dense = Dense::copy(values, sizeof values, TensorType::float32, Shape{4});
  EXPECT_EQ(dense->value_as_int(0), -2);
  EXPECT_EQ(dense->value_as_int(1), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(dense->value_as_int(2), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(dense->value_as_int(3), 0);
  const uint16_t wide[1] = {65535};
  EXPECT_EQ(Dense::copy(wide, 2, TensorType::uint16, Shape{1})->value_as_int(0), 65535);
}

TEST(Dense, FirstValueOutOfRangeOfEveryType) {
  // Every byte value in every one-byte type: the first one outside the type's range is found,
  // and types whose element holds exactly their range find none.
  for (int t = 0; t <= 10; ++t) {
    const auto type = static_cast<TensorType>(t);
    if (element_size(type) != 1) continue;
    uint8_t bytes[256];
    for (int b = 0; b < 256; ++b) bytes[b] = static_cast<uint8_t>(b);
    auto dense = Dense::copy(bytes, sizeof bytes, type, Shape{256});
    uint64_t expected = 256;
    for (uint64_t i = 0; i < 256 && expected == 256; ++i) {
      const int64_t v = dense->value_as_int(i);
      if (v < tensor_type_min(type) || v > tensor_type_max(type)) expected = i;
    }
    EXPECT_EQ(dense->first_value_out_of_range(), expected) << Tensor::type_name(type);
  }
  const int32_t wide[2] = {INT32_MIN, INT32_MAX};
  EXPECT_EQ(Dense::copy(wide, sizeof wide, TensorType::int32, Shape{2})->first_value_out_of_range(),
            2u);
}

TEST(Dense, FirstValueOutsideAgreesWithValueAsIntForEveryType) {
  // The same bytes read as every type, against windows that cut each type's values at
  // different places: the first element outside is the one value_as_int finds first.
  uint8_t bytes[64];
  for (int b = 0; b < 64; ++b) bytes[b] = static_cast<uint8_t>(b * 37 + 11);
  const float odd_floats[] = {0.5f, -1.9f, NAN, 3e30f, -3e30f, 200.7f};
  std::memcpy(bytes + 8, odd_floats, sizeof odd_floats);
  const std::pair<int64_t, int64_t> windows[] = {
      {0, 255}, {-128, 127}, {0, 15}, {-8, 7}, {0, 1}, {-1, 0}, {1, 0},
      {INT32_MIN, INT32_MAX}, {0, INT64_MAX}, {INT64_MIN, INT64_MAX}, {-32768, 40000}};
  for (int t = 0; t <= 10; ++t) {
    const auto type = static_cast<TensorType>(t);
    const uint64_t count = sizeof bytes / element_size(type);
    auto dense = Dense::copy(bytes, count * element_size(type), type, Shape{uint32_t(count)});
    for (const auto& [low, high] : windows) {
      uint64_t expected = count;
      for (uint64_t i = 0; i < count && expected == count; ++i) {
        const int64_t v = dense->value_as_int(i);
        if (v < low || v > high) expected = i;
      }
      EXPECT_EQ(dense->first_value_outside(low, high), expected)
          << Tensor::type_name(type) << " [" << low << ", " << high << "]";
    }
  }
}

TEST(Tensor, TypeNames) {
  const char* names[] = {"int32", "float32", "uint8", "int16", "int8", "int4",
                         "int2",  "uint4",   "uint2", "bit",   "uint16"};
  for (int t = 0; t <= 10; ++t) {
    EXPECT_STREQ(Tensor::type_name(static_cast<TensorType>(t)), names[t]) << t;
  }
  EXPECT_STREQ(Tensor::type_name(static_cast<TensorType>(11)), "unknown");
  EXPECT_STREQ(Tensor::type_name(static_cast<TensorType>(255)), "unknown");
}

TEST(Tensor, EnsureDenseRefusesOtherTensors) {
  auto dense = Dense::create(TensorType::int8, Shape{1});
  EXPECT_EQ(Tensor::ensure_dense(dense).get(), dense.get());
  EXPECT_THROW(Tensor::ensure_dense(nullptr), std::runtime_error);
}
