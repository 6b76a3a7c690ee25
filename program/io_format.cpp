#include "program/io_format.hpp"

namespace qalto::io {

namespace {

bool is_quantizer(const Layer& layer) { return layer.type() == LayerType::Quantizer; }
bool is_dequantizer(const Layer& layer) { return layer.type() == LayerType::Dequantizer; }

// Entries of a variable's first dimension (0 for a tensor without dimensions).
size_t first_dimension(const Dense& tensor) {
  const Shape& shape = tensor.dimensions();
  return shape.size() == 0 ? 0 : shape[0];
}

// The first-dimension's worth of values of a variable, read as T (panics on another type).
template <typename T>
std::vector<T> leading_values(const Layer& layer, const char* name) {
  const auto tensor = layer.variables().get(name);
  const T* values = tensor->data<T>();
  return std::vector<T>(values, values + first_dimension(*tensor));
}

// Whether the host converts this layer's output: activation off and activation type 1.
bool has_output_conversion(const Layer& layer) {
  return !layer.activation_enabled() && layer.activation_type() == 1;
}

}  // namespace

uint8_t input_bits(const Layer& layer) {
  return is_quantizer(layer) ? layer.output_bits() : layer.input_bits();
}

bool input_sign(const Layer& layer) {
  if (is_quantizer(layer)) return layer.output_signed();
  if (layer.input_bits() <= 4) return false;
  // The HRC reads raw image bytes, which are unsigned.
  return !layer.is_target_component(ComponentKind::HRC);
}

bool input_channels_first(const Layer& layer) {
  return is_quantizer(layer) && layer.params().get("channels_first") != 0;
}

std::vector<float> format_input_scales(const Layer& layer) {
  if (!is_quantizer(layer)) return {};
  return leading_values<float>(layer, "scales");
}

std::vector<uint8_t> format_input_zero_points(const Layer& layer) {
  if (!is_quantizer(layer)) return {};
  return leading_values<uint8_t>(layer, "zero_points");
}

std::vector<int32_t> format_output_shift(const Layer& layer) {
  if (is_dequantizer(layer)) {
    return std::vector<int32_t>(first_dimension(*layer.variables().get("scales")), 0);
  }
  if (!has_output_conversion(layer)) return {};
  return leading_values<int32_t>(layer, "threshold");
}

std::vector<float> format_output_scales(const Layer& layer) {
  if (is_dequantizer(layer)) return leading_values<float>(layer, "scales");
  if (!has_output_conversion(layer)) return {};
  std::vector<float> scales = leading_values<float>(layer, "act_step");
  for (float& value : scales) value = value == 0.0f ? 0.0f : 1.0f / value;
  return scales;
}

}  // namespace qalto::io
