// The variables each layer type carries: names, element types and shapes (docs/layers.md).
// They are created zero-filled when a layer is built, so that a user or a loader can fill them by
// name; Variables::set then holds every later write to the declared type and shape.

#include <stdexcept>
#include <string>
#include <vector>

#include "qalto/layer.hpp"

namespace qalto {

namespace {

struct VariableLayout {
  const char* name;
  TensorType type;
  Shape shape;
};

uint32_t narrow_count(uint64_t count, const std::string& layer) {
  if (count > UINT32_MAX) {
    throw std::invalid_argument("Layer " + layer + ": input too large for its weights.");
  }
  return static_cast<uint32_t>(count);
}

// Per-filter variables read by the v2 CNP/TNP variable formats, chosen by the activation.
void add_v2_output_stage(std::vector<VariableLayout>& layouts, uint32_t filters,
                         ActivationType activation) {
  layouts.push_back({"bias", TensorType::int8, Shape{filters}});
  layouts.push_back({"bias_shift", TensorType::uint8, Shape{filters}});
  layouts.push_back({"output_shift", TensorType::int8, Shape{filters}});
  switch (activation) {
    case ActivationType::ReLU:
      layouts.push_back({"max_value", TensorType::uint8, Shape{filters}});
      layouts.push_back({"max_value_shift", TensorType::uint8, Shape{filters}});
      break;
    case ActivationType::LUT:
      layouts.push_back({"activation_shift", TensorType::int8, Shape{filters}});
      layouts.push_back({"activation_scales", TensorType::uint8, Shape{filters}});
      break;
    case ActivationType::NoActivation:
      layouts.push_back({"output_scales", TensorType::uint8, Shape{filters}});
      break;
  }
}

// The TNP-R variables of a recurrent layer: projections, the per-state-channel update
// constants, the input shift and the per-output-channel output stage.
void add_stateful_recurrent(std::vector<VariableLayout>& layouts, const Layer& layer,
                            uint32_t channels, uint32_t out_channels, ActivationType activation) {
  const auto states = static_cast<uint32_t>(layer.params().get("stateful_channels"));
  layouts.push_back({"in_proj", TensorType::int8, Shape{channels, states}});
  layouts.push_back({"out_proj", TensorType::int8, Shape{states, out_channels}});
  layouts.push_back({"A_real", TensorType::int16, Shape{states}});
  layouts.push_back({"A_imag", TensorType::int16, Shape{states}});
  layouts.push_back({"internal_state_outputs_shift", TensorType::int8, Shape{states}});
  layouts.push_back({"new_state_scale", TensorType::uint8, Shape{states}});
  layouts.push_back({"new_state_shift", TensorType::int8, Shape{states}});
  layouts.push_back({"input_shift", TensorType::uint8, Shape{channels}});
  layouts.push_back({"output_scales", TensorType::uint8, Shape{out_channels}});
  layouts.push_back({"output_shift", TensorType::int8, Shape{out_channels}});
  layouts.push_back({"bias", TensorType::int8, Shape{out_channels}});
  layouts.push_back({"bias_shift", TensorType::uint8, Shape{out_channels}});
  if (activation == ActivationType::ReLU) {
    layouts.push_back({"max_value", TensorType::uint8, Shape{out_channels}});
    layouts.push_back({"max_value_shift", TensorType::uint8, Shape{out_channels}});
  }
}

std::vector<VariableLayout> variable_layouts(const Layer& layer) {
  const LayerParams& p = layer.params();
  const Shape& in = layer.input_dimensions().front();
  const Shape& out = layer.output_dimensions();
  const uint32_t channels = in[in.size() - 1];
  const uint32_t out_channels = out[out.size() - 1];
  const auto activation = static_cast<ActivationType>(p.get_or("activation", 0));
  std::vector<VariableLayout> layouts;
  layouts.reserve(16);  // more than any type declares
  switch (layer.type()) {
    case LayerType::Conv2D:
    case LayerType::InputConv2D:
    case LayerType::Conv2DTranspose:
    case LayerType::BufferTempConv: {
      const auto k = static_cast<uint32_t>(p.get("kernel_size"));
      layouts.push_back({"weights", TensorType::int8, Shape{k, k, channels, out_channels}});
      layouts.push_back({"input_shift", TensorType::uint8, Shape{channels}});
      add_v2_output_stage(layouts, out_channels, activation);
      break;
    }
    case LayerType::DepthwiseConv2D:
    case LayerType::DepthwiseConv2DTranspose:
    case LayerType::DepthwiseBufferTempConv: {
      const auto k = static_cast<uint32_t>(p.get("kernel_size"));
      layouts.push_back({"weights", TensorType::int8, Shape{k, k, 1, channels}});
      layouts.push_back({"input_shift", TensorType::uint8, Shape{channels}});
      add_v2_output_stage(layouts, channels, activation);
      break;
    }
    case LayerType::Convolutional:
    case LayerType::InputConvolutional: {
      const auto kw = static_cast<uint32_t>(p.get("kernel_width"));
      const auto kh = static_cast<uint32_t>(p.get("kernel_height"));
      layouts.push_back({"weights", TensorType::int8, Shape{kw, kh, channels, out_channels}});
      layouts.push_back({"threshold", TensorType::int32, Shape{out_channels}});
      layouts.push_back({"act_step", TensorType::float32, Shape{out_channels}});
      break;
    }
    case LayerType::SeparableConvolutional: {
      const auto kw = static_cast<uint32_t>(p.get("kernel_width"));
      const auto kh = static_cast<uint32_t>(p.get("kernel_height"));
      layouts.push_back({"weights", TensorType::int8, Shape{kw, kh, 1, channels}});
      layouts.push_back({"weights_pw", TensorType::int8, Shape{1, 1, channels, out_channels}});
      layouts.push_back({"threshold", TensorType::int32, Shape{out_channels}});
      layouts.push_back({"act_step", TensorType::float32, Shape{out_channels}});
      break;
    }
    case LayerType::FullyConnected: {
      const uint32_t inputs = narrow_count(in.elements(), layer.get_name());
      layouts.push_back({"weights", TensorType::int8, Shape{inputs, out_channels}});
      layouts.push_back({"threshold", TensorType::int32, Shape{out_channels}});
      layouts.push_back({"act_step", TensorType::float32, Shape{out_channels}});
      break;
    }
    case LayerType::Dense1D: {
      const uint32_t inputs = narrow_count(in.elements(), layer.get_name());
      layouts.push_back({"weights", TensorType::int8, Shape{inputs, out_channels}});
      layouts.push_back({"input_shift", TensorType::uint8, Shape{channels}});
      add_v2_output_stage(layouts, out_channels, activation);
      break;
    }
    case LayerType::Add:
      layouts.push_back({"a_shift", TensorType::uint8, Shape{channels}});
      layouts.push_back({"b_shift", TensorType::uint8, Shape{channels}});
      layouts.push_back({"output_shift", TensorType::int8, Shape{channels}});
      break;
    case LayerType::Quantizer:
      layouts.push_back({"scales", TensorType::float32, Shape{channels}});
      layouts.push_back({"zero_points", TensorType::uint8, Shape{channels}});
      break;
    case LayerType::Dequantizer:
      layouts.push_back({"scales", TensorType::float32, Shape{channels}});
      break;
    case LayerType::StatefulRecurrent:
      add_stateful_recurrent(layouts, layer, channels, out_channels, activation);
      break;
    case LayerType::MivoPostProcessing:
      layouts.push_back({"threshold", TensorType::uint16, Shape{channels}});
      // The scale and shift the TNP-R applies to the last recurrent layer's outputs before the
      // post-processing (they replace that layer's own output stage).
      layouts.push_back({"input_scales", TensorType::uint16, Shape{channels}});
      layouts.push_back({"input_shift", TensorType::int8, Shape{channels}});
      break;
    default: break;
  }
  return layouts;
}

}  // namespace

uint64_t Layer::variable_bytes() const { return variables_.byte_size(); }

void Layer::declare_variables() {
  // A variable already declared with this type and shape keeps its values: rebuilding a layer
  // (a model copy, a reload) must not wipe weights that were just restored.
  std::vector<VariableLayout> missing;
  uint64_t needed = 0;
  for (auto& layout : variable_layouts(*this)) {
    if (variables_.has(layout.name)) {
      auto current = variables_.get(layout.name);
      if (current->type() == layout.type && current->dimensions() == layout.shape) continue;
    }
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(layout.shape.elements(), uint64_t{element_size(layout.type)}, &bytes) ||
        __builtin_add_overflow(needed, bytes, &needed)) {
      needed = UINT64_MAX;
    }
    missing.push_back(std::move(layout));
  }
  // Checked before anything is allocated or replaced.
  if (needed > new_variable_limit_) {
    throw std::invalid_argument("Layer " + name_ + ": its variables would take " +
                                std::to_string(needed) + " bytes, more than the " +
                                std::to_string(new_variable_limit_) + " allowed.");
  }
  std::vector<std::shared_ptr<Dense>> created;
  for (const auto& layout : missing) {
    created.push_back(new_variable(layout.name, layout.type, layout.shape));
  }
  for (size_t i = 0; i < missing.size(); ++i) variables_.declare(missing[i].name, created[i]);
}

std::shared_ptr<Dense> Layer::new_variable(const std::string& name, TensorType type,
                                           const Shape& shape) {
  for (auto& [offered_name, tensor] : offered_) {
    if (offered_name != name || !tensor) continue;
    // The checks of Variables::set for a declared variable.
    if (tensor->type() == type && tensor->dimensions() == shape &&
        tensor->first_value_out_of_range() == tensor->size()) {
      return tensor;
    }
    break;
  }
  return Dense::create(type, shape);
}

}  // namespace qalto
