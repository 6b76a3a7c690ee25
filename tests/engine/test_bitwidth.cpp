#include "qalto/bitwidth.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "qalto/layer.hpp"

namespace qalto {
namespace {

template <typename T>
std::shared_ptr<Dense> dense_of(TensorType type, const std::vector<T>& values) {
  return Dense::copy(values.data(), values.size() * sizeof(T), type,
                     Shape{static_cast<uint32_t>(values.size())});
}

TEST(EvaluateBitwidth, SignedTypesCountTheSignBit) {
  EXPECT_EQ(evaluate_bitwidth(*dense_of<int8_t>(TensorType::int8, {0, 0, 0})), 0u);
  EXPECT_EQ(evaluate_bitwidth(*dense_of<int8_t>(TensorType::int8, {-8, 7})), 4u);
  EXPECT_EQ(evaluate_bitwidth(*dense_of<int8_t>(TensorType::int8, {8})), 5u);
  EXPECT_EQ(evaluate_bitwidth(*dense_of<int8_t>(TensorType::int8, {-9})), 5u);
  EXPECT_EQ(evaluate_bitwidth(*dense_of<int8_t>(TensorType::int8, {-1})), 1u);
  EXPECT_EQ(evaluate_bitwidth(*dense_of<int8_t>(TensorType::int4, {-8, 3})), 4u);
  EXPECT_EQ(evaluate_bitwidth(*dense_of<int8_t>(TensorType::bit, {1, 0})), 2u);
  EXPECT_EQ(evaluate_bitwidth(*dense_of<int16_t>(TensorType::int16, {INT16_MIN})), 16u);
  EXPECT_EQ(evaluate_bitwidth(*dense_of<int32_t>(TensorType::int32, {INT32_MIN, 5})), 32u);
  EXPECT_EQ(evaluate_bitwidth(*dense_of<int32_t>(TensorType::int32, {INT32_MAX})), 32u);
}

TEST(EvaluateBitwidth, UnsignedTypesArePlainBinary) {
  EXPECT_EQ(evaluate_bitwidth(*dense_of<uint8_t>(TensorType::uint8, {15, 3})), 4u);
  EXPECT_EQ(evaluate_bitwidth(*dense_of<uint8_t>(TensorType::uint8, {16})), 5u);
  EXPECT_EQ(evaluate_bitwidth(*dense_of<uint8_t>(TensorType::uint8, {255})), 8u);
  EXPECT_EQ(evaluate_bitwidth(*dense_of<uint8_t>(TensorType::uint2, {3})), 2u);
  EXPECT_EQ(evaluate_bitwidth(*dense_of<uint16_t>(TensorType::uint16, {65535})), 16u);
}

TEST(EvaluateBitwidth, FloatsHaveNoWidth) {
  EXPECT_EQ(evaluate_bitwidth(*dense_of<float>(TensorType::float32, {1e30f, -5.0f})), 0u);
}

// A layer holding one variable named "v" with the given values.
template <typename T>
std::shared_ptr<Layer> layer_with(TensorType type, const std::vector<T>& values) {
  auto params = LayerParams::create(LayerType::Dequantizer, {});
  auto layer = Layer::create(*params, "layer");
  layer->variables().declare("v", dense_of<T>(type, values));
  return layer;
}

TEST(CheckBitwidth, SignedRange) {
  auto layer = layer_with<int8_t>(TensorType::int8, {-32, 31});
  EXPECT_FALSE(check_bitwidth(*layer, 6, "v", true).failed);
  const auto status = check_bitwidth(*layer, 5, "v", true);
  EXPECT_TRUE(status.failed);
  EXPECT_EQ(status.layer, "layer");
  EXPECT_EQ(status.message, "Variable v needs 6 bits, more than the 5 its register holds.");
  EXPECT_TRUE(check_bitwidth(*layer_with<int8_t>(TensorType::int8, {-33}), 6, "v", true).failed);
  EXPECT_TRUE(check_bitwidth(*layer_with<int8_t>(TensorType::int8, {32}), 6, "v", true).failed);
}

TEST(CheckBitwidth, UnsignedRange) {
  EXPECT_FALSE(
      check_bitwidth(*layer_with<uint8_t>(TensorType::uint8, {255}), 8, "v", false).failed);
  const auto wide = check_bitwidth(*layer_with<uint8_t>(TensorType::uint8, {32}), 5, "v", false);
  EXPECT_EQ(wide.message, "Variable v needs 6 bits, more than the 5 its register holds.");
  // A signed tensor of non-negative values checked as unsigned: 31 fits 5 unsigned bits.
  EXPECT_FALSE(check_bitwidth(*layer_with<int8_t>(TensorType::int8, {31}), 5, "v", false).failed);
  const auto negative =
      check_bitwidth(*layer_with<int8_t>(TensorType::int8, {1, -1}), 8, "v", false);
  EXPECT_TRUE(negative.failed);
  EXPECT_EQ(negative.message,
            "Variable v holds negative values, which an unsigned register cannot hold.");
}

TEST(CheckBitwidth, EdgeWidthsAndMissingVariables) {
  EXPECT_FALSE(check_bitwidth(*layer_with<int8_t>(TensorType::int8, {0, 0}), 0, "v", true).failed);
  EXPECT_TRUE(check_bitwidth(*layer_with<int8_t>(TensorType::int8, {-1}), 0, "v", true).failed);
  EXPECT_FALSE(
      check_bitwidth(*layer_with<int32_t>(TensorType::int32, {INT32_MIN}), 64, "v", true).failed);
  EXPECT_FALSE(
      check_bitwidth(*layer_with<int32_t>(TensorType::int32, {INT32_MIN}), 32, "v", true).failed);
  EXPECT_TRUE(
      check_bitwidth(*layer_with<int32_t>(TensorType::int32, {INT32_MIN}), 31, "v", true).failed);
  const auto missing = check_bitwidth(*layer_with<int8_t>(TensorType::int8, {0}), 8, "w", true);
  EXPECT_TRUE(missing.failed);
  EXPECT_EQ(missing.message, "Variable w not found.");
}

TEST(CheckBitwidth, FloatsByIntegerPartAndNonFiniteRefused) {
  EXPECT_FALSE(
      check_bitwidth(*layer_with<float>(TensorType::float32, {7.9f, -8.5f}), 4, "v", true).failed);
  EXPECT_TRUE(check_bitwidth(*layer_with<float>(TensorType::float32, {8.0f}), 4, "v", true).failed);
  for (float bad : {std::nanf(""), std::numeric_limits<float>::infinity(), 1e30f}) {
    const auto status =
        check_bitwidth(*layer_with<float>(TensorType::float32, {bad}), 64, "v", true);
    EXPECT_TRUE(status.failed);
    EXPECT_EQ(status.message, "Variable v holds a value that no integer register can hold.");
  }
}

}  // namespace
}  // namespace qalto
