#include "qalto/bitwidth.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

namespace qalto {

namespace {

// Widths at or above this hold every 64-bit value.
constexpr uint32_t full_width = 64;

bool is_signed_type(TensorType type) {
  switch (type) {
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2:
    case TensorType::uint16: return false;
    default: return true;
  }
}

// Bits a value needs: two's complement with its sign bit, or plain binary. Zero needs none.
uint32_t bits_needed(int64_t value, bool is_signed) {
  if (value == 0) return 0;
  if (!is_signed) return static_cast<uint32_t>(std::bit_width(static_cast<uint64_t>(value)));
  // ~value maps -1 to 0 and -8 to 7: a negative value needs as many bits as its complement.
  const uint64_t magnitude = static_cast<uint64_t>(value < 0 ? ~value : value);
  return static_cast<uint32_t>(std::bit_width(magnitude)) + 1;
}

// The integer part of element `index`, or nothing for a float that is not finite or does not fit
// 64 bits (a cast of those would be undefined).
std::optional<int64_t> integer_value(const Dense& dense, size_t index) {
  if (dense.type() != TensorType::float32) return dense.value_as_int(index);
  const double value = std::trunc(static_cast<double>(dense.at<float>(index)));
  constexpr double limit = 9223372036854775808.0;  // 2^63
  if (!std::isfinite(value) || value >= limit || value < -limit) return std::nullopt;
  return static_cast<int64_t>(value);
}

}  // namespace

uint32_t evaluate_bitwidth(const Dense& dense) {
  if (dense.type() == TensorType::float32) return 0;
  const bool is_signed = is_signed_type(dense.type());
  uint32_t widest = 0;
  for (uint64_t i = 0; i < dense.size(); ++i) {
    widest = std::max(widest, bits_needed(dense.value_as_int(i), is_signed));
  }
  return widest;
}

MappingStatus check_bitwidth(const Layer& layer, uint32_t bits, const std::string& variable,
                             bool is_signed) {
  const Variables& variables = layer.variables();
  if (!variables.has(variable)) return MappingStatus(layer, "Variable " + variable + " not found.");
  const auto tensor = variables.get(variable);
  uint32_t widest = 0;
  for (uint64_t i = 0; i < tensor->size(); ++i) {
    const auto value = integer_value(*tensor, i);
    if (!value) {
      return MappingStatus(layer, "Variable " + variable +
                                      " holds a value that no integer register can hold.");
    }
    if (!is_signed && *value < 0) {
      return MappingStatus(layer, "Variable " + variable +
                                      " holds negative values, which an unsigned register "
                                      "cannot hold.");
    }
    widest = std::max(widest, bits_needed(*value, is_signed));
  }
  if (widest <= bits || bits >= full_width) return MappingStatus::success();
  return MappingStatus(layer, "Variable " + variable + " needs " + std::to_string(widest) +
                                  " bits, more than the " + std::to_string(bits) +
                                  " its register holds.");
}

}  // namespace qalto
