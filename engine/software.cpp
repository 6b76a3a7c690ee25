#include "qalto/software.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>

#include "qalto/ops.hpp"

namespace qalto {

namespace {

using ops::ConstDensePtr;
using ops::DensePtr;

[[noreturn]] void no_reference(const Layer& layer) {
  throw std::runtime_error(std::string("Layer type ") + layer_type_name(layer.type()) +
                           " has no software reference operation.");
}

// Output range of a layer whose values leave it as integers of "output_bits" bits.
struct Range {
  int64_t low;
  int64_t high;
};

Range output_range(const Layer& layer, int bits) {
  bits = std::clamp(bits, 1, 32);
  if (layer.output_signed()) {
    return {-(int64_t{1} << (bits - 1)), (int64_t{1} << (bits - 1)) - 1};
  }
  return {0, (int64_t{1} << bits) - 1};
}

// The value of a variable at linear index i, as an integer.
int64_t var(const Layer& layer, const char* name, size_t i) {
  return layer.variables().get(name)->value_as_int(i);
}

DensePtr to_int32(const ConstDensePtr& x) {
  if (x->type() == TensorType::int32) return std::make_shared<Dense>(*x);
  auto out = Dense::create(TensorType::int32, x->dimensions());
  int32_t* o = out->data<int32_t>();
  for (uint64_t i = 0; i < x->size(); ++i) o[i] = static_cast<int32_t>(x->value_as_int(i));
  return out;
}

// The per-filter output stage of the second-generation layers (header of software.hpp).
DensePtr v2_output_stage(const Layer& layer, const DensePtr& potentials) {
  const uint32_t channels = potentials->dimensions()[potentials->dimensions().size() - 1];
  const auto activation = static_cast<ActivationType>(layer.activation_type());
  const Range range = output_range(layer, layer.output_bits());
  int32_t* v = potentials->data<int32_t>();
  std::shared_ptr<Dense> lut;
  if (activation == ActivationType::LUT) {
    if (!layer.variables().has("lut_values")) {
      throw std::runtime_error("Layer " + layer.get_name() +
                               ": a look-up-table activation needs the variable lut_values.");
    }
    lut = layer.variables().get("lut_values");
    if (lut->size() == 0) throw std::runtime_error("Layer " + layer.get_name() + ": empty lut_values.");
  }
  for (uint64_t i = 0; i < potentials->size(); ++i) {
    const size_t f = i % channels;
    int64_t value = ops::shift_value(v[i], static_cast<int32_t>(var(layer, "output_shift", f)));
    if (activation == ActivationType::ReLU) {
      int64_t high = range.high;
      const int64_t max_value = var(layer, "max_value", f);
      if (max_value != 0) {
        high = std::min<int64_t>(high, ops::shift_value(
                                           max_value, static_cast<int32_t>(var(layer, "max_value_shift", f))));
      }
      value = std::clamp<int64_t>(value, 0, high);
    } else if (activation == ActivationType::LUT) {
      const int64_t index = std::clamp<int64_t>(value, 0, static_cast<int64_t>(lut->size()) - 1);
      value = std::clamp<int64_t>(lut->value_as_int(static_cast<size_t>(index)), range.low, range.high);
    }
    v[i] = static_cast<int32_t>(value);
  }
  return potentials;
}

// Adds bias[f] << bias_shift[f] to every potential of filter f.
void add_bias(const Layer& layer, const DensePtr& potentials) {
  const uint32_t channels = potentials->dimensions()[potentials->dimensions().size() - 1];
  int32_t* v = potentials->data<int32_t>();
  for (uint64_t i = 0; i < potentials->size(); ++i) {
    const size_t f = i % channels;
    const int64_t bias = ops::shift_value(var(layer, "bias", f),
                                          static_cast<int32_t>(var(layer, "bias_shift", f)));
    v[i] = ops::shift_value(int64_t{v[i]} + bias, 0);
  }
}

// First-generation activation: threshold and activation step per channel.
DensePtr v1_output_stage(const Layer& layer, const DensePtr& potentials, int bits) {
  if (!layer.activation_enabled()) return potentials;
  const uint32_t channels = potentials->dimensions()[potentials->dimensions().size() - 1];
  const int64_t high = (int64_t{1} << std::clamp(bits, 1, 31)) - 1;
  const auto steps = layer.variables().get("act_step");
  int32_t* v = potentials->data<int32_t>();
  for (uint64_t i = 0; i < potentials->size(); ++i) {
    const size_t f = i % channels;
    const int64_t threshold = var(layer, "threshold", f);
    double step = steps->at<float>(f);
    if (!(step > 0)) step = 1;  // zero, negative or NaN steps would divide by nothing
    if (v[i] <= threshold) {
      v[i] = 0;
    } else {
      const double level = std::floor(static_cast<double>(v[i] - threshold) / step) + 1;
      v[i] = static_cast<int32_t>(std::min<double>(level, static_cast<double>(high)));
    }
  }
  return potentials;
}

DensePtr apply_pooling(const Layer& layer, const DensePtr& x, bool v1) {
  if (layer.pooling_is(PoolType::NoPooling)) return x;
  const LayerParams& p = layer.params();
  const auto& pool = layer.pool_calculated_params();
  if (!v1 && p.get("pool_size") == -1) return ops::global_average_pooling(x, 0);
  if (layer.pooling_is(PoolType::Average)) {
    throw std::runtime_error("Layer " + layer.get_name() +
                             ": only global average pooling has a software reference.");
  }
  const int32_t pw = p.get(v1 ? "pooling_width" : "pool_size");
  const int32_t ph = p.get(v1 ? "pooling_height" : "pool_size");
  if (pw > INT8_MAX || ph > INT8_MAX) throw std::runtime_error("Pooling window too large.");
  return ops::max_pooling(x, static_cast<int8_t>(pw), static_cast<int8_t>(ph), false, pool.width,
                          pool.height, static_cast<int8_t>(pool.padding.left),
                          static_cast<int8_t>(pool.padding.top), pool.stride_x, pool.stride_y,
                          pw, ph, 0);
}

DensePtr run_convolution(const Layer& layer, const ConstDensePtr& input) {
  const LayerParams& p = layer.params();
  const LayerType type = layer.type();
  const bool v1 = type == LayerType::Convolutional || type == LayerType::InputConvolutional;
  const auto& conv = layer.conv_calculated_params();
  auto weights = layer.variables().get("weights");
  DensePtr x = to_int32(input);
  if (!v1) x = ops::lshift(x, layer.variables().get("input_shift"), 0);
  DensePtr potentials;
  const int32_t kernel = p.get(v1 ? "kernel_width" : "kernel_size");
  if (v1 && p.get("kernel_height") != kernel) {
    throw std::runtime_error("Layer " + layer.get_name() +
                             ": only square kernels have a software reference.");
  }
  if (conv.padding.left > INT8_MAX || conv.padding.top > INT8_MAX) {
    throw std::runtime_error("Layer " + layer.get_name() + ": padding too large.");
  }
  const auto pad_x = static_cast<int8_t>(conv.padding.left);
  const auto pad_y = static_cast<int8_t>(conv.padding.top);
  switch (type) {
    case LayerType::DepthwiseConv2D:
      potentials = ops::depthwise_conv2d(x, pad_x, pad_y, kernel, conv.stride_x,
                                         conv.output_width, conv.output_height, weights);
      break;
    case LayerType::Conv2DTranspose: {
      const int32_t stride = p.get("kernel_stride");
      const bool valid = p.get("padding") == static_cast<int32_t>(Padding::Valid);
      const int32_t pad = valid ? 0 : std::max(kernel - stride, 0) / 2;
      potentials = ops::conv2d_transpose(x, weights, static_cast<uint8_t>(stride), pad, pad,
                                         conv.output_width, conv.output_height);
      break;
    }
    default:
      potentials = ops::conv2d_v2(x, pad_x, pad_y, kernel, conv.stride_x, conv.output_width,
                                  conv.output_height, weights, 0);
  }
  if (!v1) add_bias(layer, potentials);
  potentials = apply_pooling(layer, potentials, v1);
  if (v1) return v1_output_stage(layer, potentials, layer.output_bits());
  return v2_output_stage(layer, potentials);
}

DensePtr run_dense(const Layer& layer, const ConstDensePtr& input) {
  const auto potentials = software::dense_potentials(layer, *input);
  const auto units = static_cast<uint32_t>(potentials.size());
  auto out = Dense::create(TensorType::int32, Shape{1, 1, units});
  int32_t* o = out->data<int32_t>();
  for (uint32_t u = 0; u < units; ++u) o[u] = ops::shift_value(potentials[u], 0);
  if (layer.type() == LayerType::FullyConnected) {
    return v1_output_stage(layer, out, layer.params().get_or("act_bits", 1));
  }
  add_bias(layer, out);
  return v2_output_stage(layer, out);
}

DensePtr run_add(const Layer& layer, const ConstDensePtr& a, const ConstDensePtr& b) {
  if (!(a->dimensions() == b->dimensions())) {
    throw std::runtime_error("Layer " + layer.get_name() + ": Add inputs differ in shape.");
  }
  auto out = Dense::create(TensorType::int32, a->dimensions());
  const uint32_t channels = a->dimensions()[a->dimensions().size() - 1];
  const bool clamp = layer.output_bits() <= 8;
  const Range range = output_range(layer, layer.output_bits());
  int32_t* o = out->data<int32_t>();
  for (uint64_t i = 0; i < out->size(); ++i) {
    const size_t c = i % channels;
    const int64_t sum =
        int64_t{ops::shift_value(a->value_as_int(i), static_cast<int32_t>(var(layer, "a_shift", c)))} +
        ops::shift_value(b->value_as_int(i), static_cast<int32_t>(var(layer, "b_shift", c)));
    int64_t value = ops::shift_value(sum, static_cast<int32_t>(var(layer, "output_shift", c)));
    if (clamp) value = std::clamp(value, range.low, range.high);
    o[i] = static_cast<int32_t>(value);
  }
  return out;
}

DensePtr run_quantizer(const Layer& layer, const ConstDensePtr& input) {
  auto out = Dense::create(TensorType::int32, input->dimensions());
  const uint32_t channels = input->dimensions()[input->dimensions().size() - 1];
  const Range range = output_range(layer, layer.output_bits());
  const auto scales = layer.variables().get("scales");
  int32_t* o = out->data<int32_t>();
  for (uint64_t i = 0; i < out->size(); ++i) {
    const size_t c = i % channels;
    double value = input->type() == TensorType::float32 ? input->at<float>(i)
                                                        : static_cast<double>(input->value_as_int(i));
    double scale = scales->at<float>(c);
    if (scale == 0 || !std::isfinite(scale)) scale = 1;
    value = std::round(value / scale) + static_cast<double>(var(layer, "zero_points", c));
    if (std::isnan(value)) value = 0;
    o[i] = static_cast<int32_t>(std::clamp(value, static_cast<double>(range.low),
                                           static_cast<double>(range.high)));
  }
  return out;
}

// Converts a layer's int32 (or float32) values to the layer's output type.
DensePtr convert_output(const Layer& layer, const ConstDensePtr& values) {
  const TensorType type = software::output_type(layer);
  if (type == values->type()) return std::const_pointer_cast<Dense>(values);
  auto out = Dense::create(type, values->dimensions());
  const int64_t low = tensor_type_min(type);
  const int64_t high = tensor_type_max(type);
  for (uint64_t i = 0; i < values->size(); ++i) {
    const int64_t v = std::clamp(values->value_as_int(i), low, high);
    switch (type) {
      case TensorType::uint8: out->data<uint8_t>()[i] = static_cast<uint8_t>(v); break;
      case TensorType::int8: out->data<int8_t>()[i] = static_cast<int8_t>(v); break;
      case TensorType::int16: out->data<int16_t>()[i] = static_cast<int16_t>(v); break;
      case TensorType::float32: out->data<float>()[i] = static_cast<float>(v); break;
      default: out->data<int32_t>()[i] = static_cast<int32_t>(v); break;
    }
  }
  return out;
}

ConstDensePtr run_layer(const Layer& layer, const std::vector<ConstDensePtr>& inputs) {
  const ConstDensePtr& x = inputs.front();
  switch (layer.type()) {
    case LayerType::InputData: return x->type() == TensorType::float32 ? x : to_int32(x);
    case LayerType::Quantizer: return run_quantizer(layer, x);
    case LayerType::Dequantizer: return ops::dequantize(to_int32(x), layer.variables().get("scales"));
    case LayerType::Conv2D:
    case LayerType::InputConv2D:
    case LayerType::DepthwiseConv2D:
    case LayerType::Conv2DTranspose:
    case LayerType::Convolutional:
    case LayerType::InputConvolutional: return run_convolution(layer, x);
    case LayerType::FullyConnected:
    case LayerType::Dense1D: return run_dense(layer, x);
    case LayerType::Add:
      if (inputs.size() != 2) throw std::runtime_error("Layer " + layer.get_name() + ": Add needs two inputs.");
      return run_add(layer, inputs[0], inputs[1]);
    case LayerType::Concatenate: {
      std::vector<ConstDensePtr> parts;
      for (const auto& in : inputs) parts.push_back(to_int32(in));
      return ops::concatenate_last_dim(parts);
    }
    default: no_reference(layer);
  }
}

}  // namespace

namespace software {

TensorType output_type(const Layer& layer) {
  switch (layer.type()) {
    case LayerType::Dequantizer: return TensorType::float32;
    case LayerType::InputData:
      if (layer.params().get_or("input_bits", 8) > 8) return TensorType::int32;
      return layer.params().get_or("input_signed", 0) ? TensorType::int8 : TensorType::uint8;
    case LayerType::Quantizer:
      return layer.output_signed() ? TensorType::int8 : TensorType::uint8;
    default: break;
  }
  if (layer.has_activation() && layer.output_bits() <= 8) {
    return layer.output_signed() ? TensorType::int8 : TensorType::uint8;
  }
  return TensorType::int32;
}

std::vector<int64_t> dense_potentials(const Layer& layer, const Dense& input) {
  const auto weights = layer.variables().get("weights");
  const Shape& ws = weights->dimensions();
  if (ws.size() != 2 || input.size() != ws[0]) {
    throw std::runtime_error("Layer " + layer.get_name() + ": input of " +
                             std::to_string(input.size()) + " values does not suit weights " +
                             ws.to_string() + ".");
  }
  const bool v2 = layer.type() == LayerType::Dense1D;
  const uint32_t channels = input.dimensions()[input.dimensions().size() - 1];
  const int8_t* w = weights->data<int8_t>();
  std::vector<int64_t> potentials(ws[1], 0);
  for (uint64_t k = 0; k < ws[0]; ++k) {
    int64_t x = input.value_as_int(k);
    if (v2) x = ops::shift_value(x, static_cast<int32_t>(var(layer, "input_shift", k % channels)));
    if (x == 0) continue;
    for (uint32_t u = 0; u < ws[1]; ++u) potentials[u] += x * w[k * ws[1] + u];
  }
  return potentials;
}

std::shared_ptr<Dense> run_sample(const std::vector<std::shared_ptr<Layer>>& layers,
                                  const std::shared_ptr<const Dense>& sample) {
  if (layers.empty()) return std::make_shared<Dense>(*sample);
  std::map<const Layer*, ConstDensePtr> outputs;
  for (const auto& layer : layers) {
    std::vector<ConstDensePtr> inputs;
    for (const auto& source : layer->inbound_layers()) {
      auto it = outputs.find(source.get());
      inputs.push_back(it != outputs.end() ? it->second : sample);
    }
    if (inputs.empty()) inputs.push_back(sample);
    outputs[layer.get()] = run_layer(*layer, inputs);
  }
  return convert_output(*layers.back(), outputs[layers.back().get()]);
}

}  // namespace software

SoftwareSequence::SoftwareSequence(std::vector<std::shared_ptr<Layer>> layers) {
  auto pass = std::make_shared<Pass>();
  pass->layers = std::move(layers);
  passes_.push_back(std::move(pass));
}

}  // namespace qalto
