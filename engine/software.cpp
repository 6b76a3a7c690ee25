#include "qalto/software.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <limits>
#include <map>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "engine/integer_kernels.hpp"
#include "qalto/ops.hpp"

namespace qalto {

namespace software {

// Per width column w and state channel j, the two state stages at index w * S + j.
struct RecurrentState {
  std::vector<int32_t> first;
  std::vector<int32_t> second;
};

}  // namespace software

namespace {

using ops::ConstDensePtr;
using ops::DensePtr;
using software::RecurrentState;
using StateMap = std::map<const Layer*, std::unique_ptr<RecurrentState>>;

[[noreturn]] void no_reference(const Layer& layer) {
  throw std::runtime_error(std::string("Layer type ") + layer_type_name(layer.type()) +
                           " has no software reference operation.");
}

[[noreturn]] void layer_error(const Layer& layer, const std::string& what) {
  throw std::runtime_error("Layer " + layer.get_name() + ": " + what);
}

// Output range of a layer whose values leave it as integers of "output_bits" bits.
struct Range {
  int64_t low;
  int64_t high;
};

Range signed_range(int bits) {
  bits = std::clamp(bits, 1, 32);
  return {-(int64_t{1} << (bits - 1)), (int64_t{1} << (bits - 1)) - 1};
}

Range output_range(const Layer& layer, int bits) {
  if (layer.output_signed()) return signed_range(bits);
  return {0, (int64_t{1} << std::clamp(bits, 1, 32)) - 1};
}

// The value of a variable at linear index i, as an integer.
int64_t var(const Layer& layer, const char* name, size_t i) {
  return layer.variables().get(name)->value_as_int(i);
}

// The engine declares every variable with its documented shape, but parameters can still be
// changed after a model is built: check before any operation indexes a variable.
std::shared_ptr<Dense> checked_var(const Layer& layer, const char* name, const Shape& expected) {
  if (!layer.variables().has(name)) layer_error(layer, std::string("missing variable ") + name + ".");
  auto tensor = layer.variables().get(name);
  if (!(tensor->dimensions() == expected)) {
    layer_error(layer, std::string("variable ") + name + " has shape " +
                           tensor->dimensions().to_string() + ", expected " +
                           expected.to_string() + ".");
  }
  return tensor;
}

uint8_t byte_param(const Layer& layer, const char* what, int64_t value) {
  if (value < 1 || value > software::kMaxByteParam) {
    layer_error(layer, std::string(what) + " " + std::to_string(value) + " is not within [1, " +
                           std::to_string(software::kMaxByteParam) + "].");
  }
  return static_cast<uint8_t>(value);
}

template <typename T>
void widen(const Dense& x, int32_t* out) {
  const T* in = x.data<T>();
  const uint64_t count = x.size();
  for (uint64_t i = 0; i < count; ++i) out[i] = in[i];
}

DensePtr to_int32(const ConstDensePtr& x) {
  if (x->type() == TensorType::int32) return std::make_shared<Dense>(*x);
  auto out = Dense::create(TensorType::int32, x->dimensions());
  int32_t* o = out->data<int32_t>();
  switch (x->type()) {
    case TensorType::uint8: widen<uint8_t>(*x, o); break;
    case TensorType::int8: widen<int8_t>(*x, o); break;
    case TensorType::int16: widen<int16_t>(*x, o); break;
    case TensorType::uint16: widen<uint16_t>(*x, o); break;
    default:
      for (uint64_t i = 0; i < x->size(); ++i) o[i] = static_cast<int32_t>(x->value_as_int(i));
  }
  return out;
}

uint32_t last_dim(const Dense& x) { return x.dimensions()[x.dimensions().size() - 1]; }

// ---- second-generation output stage ----

std::string lut_value_text(double value) {
  std::ostringstream text;
  text << std::setprecision(10) << value;
  return text.str();
}

// The table's entries are output codes: each must be a whole number that the output holds,
// within the int32 that carries values between layers. Clamping, truncating or wrapping one
// would run another layer than the model describes (the CNP's formatter refuses such tables).
void check_lut_values(const Layer& layer, const Dense& lut, const Range& range) {
  const int64_t low = std::max<int64_t>(range.low, std::numeric_limits<int32_t>::min());
  const int64_t high = std::min<int64_t>(range.high, std::numeric_limits<int32_t>::max());
  const auto refuse = [&](uint64_t i, const std::string& value, const std::string& why) {
    layer_error(layer, "lut_values[" + std::to_string(i) + "] = " + value + " " + why);
  };
  const std::string outside =
      "is outside the output range [" + std::to_string(low) + ", " + std::to_string(high) + "].";
  if (lut.type() == TensorType::float32) {
    const float* values = lut.data<float>();
    for (uint64_t i = 0; i < lut.size(); ++i) {
      const double value = values[i];
      if (!std::isfinite(value) || std::trunc(value) != value) {
        refuse(i, lut_value_text(value), "is not a whole number.");
      }
      if (value < static_cast<double>(low) || value > static_cast<double>(high)) {
        refuse(i, lut_value_text(value), outside);
      }
    }
    return;
  }
  const uint64_t i = lut.first_value_outside(low, high);
  if (i < lut.size()) refuse(i, std::to_string(lut.value_as_int(i)), outside);
}

// The per-filter output stage of the second-generation layers (header of software.hpp).
DensePtr v2_output_stage(const Layer& layer, const DensePtr& potentials) {
  const uint32_t channels = last_dim(*potentials);
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
    check_lut_values(layer, *lut, range);
  }
  if (potentials->size() == 0) return potentials;
  // The per-filter values once per filter, read in the order of the first output position.
  std::vector<int32_t> shifts(channels);
  std::vector<int64_t> highs(channels, range.high);
  for (uint32_t f = 0; f < channels; ++f) {
    shifts[f] = static_cast<int32_t>(var(layer, "output_shift", f));
    if (activation != ActivationType::ReLU) continue;
    const int64_t max_value = var(layer, "max_value", f);
    if (max_value != 0) {
      highs[f] = std::min<int64_t>(range.high, ops::shift_value(
                                                   max_value, static_cast<int32_t>(var(layer, "max_value_shift", f))));
    }
  }
  const int64_t lut_last = lut ? static_cast<int64_t>(lut->size()) - 1 : 0;
  const uint64_t count = potentials->size();
  for (uint64_t base = 0; base < count; base += channels) {
    for (uint32_t f = 0; f < channels; ++f) {
      int64_t value = ops::shift_value(v[base + f], shifts[f]);
      if (activation == ActivationType::ReLU) {
        value = std::clamp<int64_t>(value, 0, highs[f]);
      } else if (activation == ActivationType::LUT) {
        const int64_t index = std::clamp<int64_t>(value, 0, lut_last);
        value = lut->value_as_int(static_cast<size_t>(index));  // checked above
      }
      v[base + f] = static_cast<int32_t>(value);
    }
  }
  return potentials;
}

// Adds bias[f] << bias_shift[f] to every potential of filter f.
void add_bias(const Layer& layer, const DensePtr& potentials) {
  const uint32_t channels = last_dim(*potentials);
  int32_t* v = potentials->data<int32_t>();
  if (potentials->size() == 0) return;
  std::vector<int64_t> biases(channels);
  for (uint32_t f = 0; f < channels; ++f) {
    biases[f] = ops::shift_value(var(layer, "bias", f), static_cast<int32_t>(var(layer, "bias_shift", f)));
  }
  const uint64_t count = potentials->size();
  for (uint64_t base = 0; base < count; base += channels) {
    for (uint32_t f = 0; f < channels; ++f) v[base + f] = ops::shift_value(int64_t{v[base + f]} + biases[f], 0);
  }
}

// First-generation activation: threshold and activation step per channel.
DensePtr v1_output_stage(const Layer& layer, const DensePtr& potentials, int bits) {
  if (!layer.activation_enabled()) return potentials;
  const uint32_t channels = last_dim(*potentials);
  const int64_t high = (int64_t{1} << std::clamp(bits, 1, 31)) - 1;
  const auto steps = layer.variables().get("act_step");
  int32_t* v = potentials->data<int32_t>();
  if (potentials->size() == 0) return potentials;
  std::vector<int64_t> thresholds(channels);
  std::vector<double> step_of(channels);
  for (uint32_t f = 0; f < channels; ++f) {
    thresholds[f] = var(layer, "threshold", f);
    step_of[f] = steps->at<float>(f);
    if (!(step_of[f] > 0)) step_of[f] = 1;  // zero, negative or NaN steps would divide by nothing
  }
  const uint64_t count = potentials->size();
  for (uint64_t base = 0; base < count; base += channels) {
    for (uint32_t f = 0; f < channels; ++f) {
      int32_t& value = v[base + f];
      if (value <= thresholds[f]) {
        value = 0;
      } else {
        const double level = std::floor(static_cast<double>(value - thresholds[f]) / step_of[f]) + 1;
        value = static_cast<int32_t>(std::min<double>(level, static_cast<double>(high)));
      }
    }
  }
  return potentials;
}

// ---- pooling ----

// Average over every window of the (x, y, c) map, counting only the positions inside the map:
// a padded border must not pull the mean of the edge windows toward zero.
DensePtr average_pooling(const DensePtr& x, int32_t pool_x, int32_t pool_y,
                         const PoolingCalculatedParams& pool) {
  const Shape& in = x->dimensions();
  const uint32_t channels = in[2];
  auto out = Dense::create(TensorType::int32, Shape{pool.width, pool.height, channels});
  const int32_t* v = x->data<int32_t>();
  int32_t* o = out->data<int32_t>();
  for (uint32_t ox = 0; ox < pool.width; ++ox) {
    const int64_t start_x = int64_t{ox} * pool.stride_x - pool.padding.left;
    const int64_t x0 = std::max<int64_t>(start_x, 0);
    const int64_t x1 = std::min<int64_t>(start_x + pool_x, in[0]);
    for (uint32_t oy = 0; oy < pool.height; ++oy) {
      const int64_t start_y = int64_t{oy} * pool.stride_y - pool.padding.top;
      const int64_t y0 = std::max<int64_t>(start_y, 0);
      const int64_t y1 = std::min<int64_t>(start_y + pool_y, in[1]);
      int32_t* target = o + (uint64_t{ox} * pool.height + oy) * channels;
      if (x1 <= x0 || y1 <= y0) continue;  // a window of padding only averages to 0
      const auto nx = static_cast<uint32_t>(x1 - x0);
      const auto ny = static_cast<uint32_t>(y1 - y0);
      auto window = Dense::create(TensorType::int32, Shape{nx, ny, channels});
      int32_t* w = window->data<int32_t>();
      for (uint32_t i = 0; i < nx; ++i) {
        const int32_t* column = v + (uint64_t(x0 + i) * in[1] + uint64_t(y0)) * channels;
        std::memcpy(w + uint64_t{i} * ny * channels, column, sizeof(int32_t) * ny * channels);
      }
      const auto mean = ops::global_average_pooling(window, 0);
      std::memcpy(target, mean->data<int32_t>(), sizeof(int32_t) * channels);
    }
  }
  return out;
}

DensePtr apply_pooling(const Layer& layer, const DensePtr& x, bool v1) {
  if (layer.pooling_is(PoolType::NoPooling)) return x;
  const LayerParams& p = layer.params();
  const auto& pool = layer.pool_calculated_params();
  if (!v1 && p.get("pool_size") == -1) return ops::global_average_pooling(x, 0);
  const int32_t pw = p.get(v1 ? "pooling_width" : "pool_size");
  const int32_t ph = p.get(v1 ? "pooling_height" : "pool_size");
  if (layer.pooling_is(PoolType::Average)) return average_pooling(x, pw, ph, pool);
  if (pw > INT8_MAX || ph > INT8_MAX) layer_error(layer, "pooling window too large.");
  return ops::max_pooling(x, static_cast<int8_t>(pw), static_cast<int8_t>(ph), false, pool.width,
                          pool.height, static_cast<int8_t>(pool.padding.left),
                          static_cast<int8_t>(pool.padding.top), pool.stride_x, pool.stride_y,
                          pw, ph, 0);
}

// ---- convolutions ----

// A transposed convolution of every channel with its own (k, k) kernel.
DensePtr depthwise_transpose(const Layer& layer, const DensePtr& x, const ConstDensePtr& weights,
                             uint8_t stride, int32_t pad, uint32_t out_x, uint32_t out_y) {
  const uint32_t channels = x->dimensions()[2];
  const Shape& ws = weights->dimensions();
  if (ws.size() != 4 || ws[2] != 1 || ws[3] != channels) {
    layer_error(layer, "weights " + ws.to_string() + " do not suit " + std::to_string(channels) +
                           " channels.");
  }
  return ops::depthwise_conv2d_transpose(x, weights, stride, pad, pad, out_x, out_y);
}

DensePtr transposed_potentials(const Layer& layer, const DensePtr& x, int32_t kernel) {
  const LayerParams& p = layer.params();
  const auto& conv = layer.conv_calculated_params();
  const uint8_t stride = byte_param(layer, "kernel_stride", p.get("kernel_stride"));
  const bool valid = p.get("padding") == static_cast<int32_t>(Padding::Valid);
  // Same padding keeps in * stride outputs out of (in - 1) * stride + kernel: the surplus is
  // cut evenly, the odd position at the end.
  const int32_t pad = valid ? 0 : std::max(kernel - int32_t{stride}, 0) / 2;
  auto weights = layer.variables().get("weights");
  if (layer.type() == LayerType::DepthwiseConv2DTranspose) {
    return depthwise_transpose(layer, x, weights, stride, pad, conv.output_width,
                               conv.output_height);
  }
  return ops::conv2d_transpose(x, weights, stride, pad, pad, conv.output_width, conv.output_height);
}

bool is_v1_type(LayerType type) {
  return type == LayerType::Convolutional || type == LayerType::InputConvolutional ||
         type == LayerType::SeparableConvolutional;
}

DensePtr run_convolution(const Layer& layer, const ConstDensePtr& input) {
  const LayerParams& p = layer.params();
  const LayerType type = layer.type();
  const bool v1 = is_v1_type(type);
  const auto& conv = layer.conv_calculated_params();
  auto weights = layer.variables().get("weights");
  DensePtr x = to_int32(input);
  if (!v1) x = ops::lshift(x, layer.variables().get("input_shift"), 0);
  const int32_t kernel = p.get(v1 ? "kernel_width" : "kernel_size");
  // The reference convolutions take one kernel size and one stride for both axes.
  if (v1 && p.get("kernel_height") != kernel) layer_error(layer, "only square kernels have a software reference.");
  if (v1 && conv.stride_y != conv.stride_x) layer_error(layer, "only equal strides have a software reference.");
  if (conv.padding.left > INT8_MAX || conv.padding.top > INT8_MAX) layer_error(layer, "padding too large.");
  const auto pad_x = static_cast<int8_t>(conv.padding.left);
  const auto pad_y = static_cast<int8_t>(conv.padding.top);
  const auto stride = static_cast<int32_t>(conv.stride_x);
  DensePtr potentials;
  switch (type) {
    case LayerType::DepthwiseConv2D:
      potentials = ops::depthwise_conv2d(x, pad_x, pad_y, kernel, stride, conv.output_width,
                                         conv.output_height, weights);
      break;
    case LayerType::SeparableConvolutional: {
      const auto depthwise = ops::depthwise_conv2d(x, pad_x, pad_y, kernel, stride,
                                                   conv.output_width, conv.output_height, weights);
      potentials = ops::conv2d_v2(depthwise, 0, 0, 1, 1, conv.output_width, conv.output_height,
                                  layer.variables().get("weights_pw"), 0);
      break;
    }
    case LayerType::Conv2DTranspose:
    case LayerType::DepthwiseConv2DTranspose:
      potentials = transposed_potentials(layer, x, kernel);
      break;
    default:
      potentials = ops::conv2d_v2(x, pad_x, pad_y, kernel, stride, conv.output_width,
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

// ---- recurrent layers ----

bool feeds_post_processing(const Layer& layer) {
  const auto next = layer.outbound_layers();
  return !next.empty() && next.front()->type() == LayerType::MivoPostProcessing;
}

// State channels that share one new_state_shift run through one update_internal_state call
// (the operation takes a single state shift).
struct StateGroup {
  int32_t shift = 0;
  std::vector<uint32_t> channels;
  DensePtr weights;  // the in_proj columns of the channels, (C, m)
  DensePtr decay_1;  // A_real of the channels
  DensePtr decay_2;  // A_imag of the channels
};

std::vector<StateGroup> state_groups(const Dense& in_proj, const Dense& a_real,
                                     const Dense& a_imag, const Dense& shifts) {
  const uint32_t inputs = in_proj.dimensions()[0];
  const uint32_t states = in_proj.dimensions()[1];
  std::map<int32_t, std::vector<uint32_t>> by_shift;
  const int8_t* shift_of = shifts.data<int8_t>();
  for (uint32_t j = 0; j < states; ++j) by_shift[shift_of[j]].push_back(j);
  std::vector<StateGroup> groups;
  for (auto& [shift, channels] : by_shift) {
    StateGroup g;
    g.shift = shift;
    const auto m = static_cast<uint32_t>(channels.size());
    g.weights = Dense::create(TensorType::int8, Shape{inputs, m});
    g.decay_1 = Dense::create(TensorType::int16, Shape{m});
    g.decay_2 = Dense::create(TensorType::int16, Shape{m});
    const int8_t* w = in_proj.data<int8_t>();
    int8_t* gw = g.weights->data<int8_t>();
    const int16_t* real = a_real.data<int16_t>();
    const int16_t* imag = a_imag.data<int16_t>();
    int16_t* decay_1 = g.decay_1->data<int16_t>();
    int16_t* decay_2 = g.decay_2->data<int16_t>();
    for (uint32_t k = 0; k < m; ++k) {
      const uint32_t j = channels[k];
      for (uint32_t i = 0; i < inputs; ++i) gw[uint64_t{i} * m + k] = w[uint64_t{i} * states + j];
      decay_1[k] = real[j];
      decay_2[k] = imag[j];
    }
    g.channels = std::move(channels);
    groups.push_back(std::move(g));
  }
  return groups;
}

// The variables of a StatefulRecurrent layer, checked against its input and parameters.
struct RecurrentVars {
  uint32_t width, timesteps, channels, states, outputs;
  std::shared_ptr<Dense> in_proj, out_proj, a_real, a_imag, state_shift, state_scale,
      state_output_shift, input_shift, scales, shifts;
};

RecurrentVars recurrent_vars(const Layer& layer, const Dense& input) {
  const Shape& in = input.dimensions();
  if (in.size() != 3) layer_error(layer, "expects (width, timesteps, channels) input.");
  RecurrentVars v{};
  v.width = in[0];
  v.timesteps = in[1];
  v.channels = in[2];
  v.outputs = static_cast<uint32_t>(layer.params().get("output_channels"));
  if (!layer.variables().has("in_proj")) layer_error(layer, "missing variable in_proj.");
  const Shape& projection = layer.variables().get("in_proj")->dimensions();
  if (projection.size() != 2) layer_error(layer, "in_proj must have two dimensions.");
  v.states = projection[1];
  const Shape per_state{v.states};
  const Shape per_output{v.outputs};
  v.in_proj = checked_var(layer, "in_proj", Shape{v.channels, v.states});
  v.out_proj = checked_var(layer, "out_proj", Shape{v.states, v.outputs});
  v.a_real = checked_var(layer, "A_real", per_state);
  v.a_imag = checked_var(layer, "A_imag", per_state);
  v.state_output_shift = checked_var(layer, "internal_state_outputs_shift", per_state);
  v.state_scale = checked_var(layer, "new_state_scale", per_state);
  v.state_shift = checked_var(layer, "new_state_shift", per_state);
  v.input_shift = checked_var(layer, "input_shift", Shape{v.channels});
  checked_var(layer, "bias", per_output);
  checked_var(layer, "bias_shift", per_output);
  if (layer.activation_is(ActivationType::ReLU)) {
    checked_var(layer, "max_value", per_output);
    checked_var(layer, "max_value_shift", per_output);
  }
  if (feeds_post_processing(layer)) {
    // The chip replaces this layer's output stage by the closing layer's input stage.
    const Layer& closing = *layer.outbound_layers().front();
    v.scales = checked_var(closing, "input_scales", per_output);
    v.shifts = checked_var(closing, "input_shift", per_output);
  } else {
    v.scales = checked_var(layer, "output_scales", per_output);
    v.shifts = checked_var(layer, "output_shift", per_output);
  }
  return v;
}

// Clamps recurrent outputs to their signed range (ReLU: to [0, limit]).
void clamp_recurrent(const Layer& layer, const DensePtr& values) {
  // The closing layer takes 16-bit values whatever the recurrent layer's own output width.
  const Range range = feeds_post_processing(layer) ? signed_range(16) : signed_range(layer.output_bits());
  const bool relu = layer.activation_is(ActivationType::ReLU);
  const uint32_t channels = last_dim(*values);
  if (values->size() == 0) return;
  // Per channel bounds, looked up once: the variables are found by name.
  const int64_t low = relu ? 0 : range.low;
  std::vector<int64_t> highs(channels, std::max(low, range.high));
  for (uint32_t k = 0; relu && k < channels; ++k) {
    const int64_t max_value = var(layer, "max_value", k);
    if (max_value != 0) {
      const int64_t limit = ops::shift_value(max_value, var(layer, "max_value_shift", k));
      highs[k] = std::max(low, std::min<int64_t>(range.high, limit));
    }
  }
  int32_t* v = values->data<int32_t>();
  const uint64_t count = values->size();
  for (uint64_t base = 0; base < count; base += channels) {
    for (uint32_t k = 0; k < channels; ++k) {
      v[base + k] = static_cast<int32_t>(std::clamp<int64_t>(v[base + k], low, highs[k]));
    }
  }
}

// Advances the state of one width column through its T timesteps; returns the (T, S) state
// outputs before their rescaling.
DensePtr recurrent_column(const RecurrentVars& v, const std::vector<StateGroup>& groups,
                          const int32_t* x, RecurrentState& state, uint32_t column) {
  auto raw = Dense::create(TensorType::int32, Shape{v.timesteps, v.states});
  int32_t* r = raw->data<int32_t>();
  int32_t* s1 = state.first.data() + uint64_t{column} * v.states;
  int32_t* s2 = state.second.data() + uint64_t{column} * v.states;
  for (uint32_t t = 0; t < v.timesteps; ++t) {
    const int32_t* row = x + (uint64_t{column} * v.timesteps + t) * v.channels;
    auto frame = Dense::copy(row, sizeof(int32_t) * v.channels, TensorType::int32, Shape{v.channels});
    for (const StateGroup& g : groups) {
      const auto m = static_cast<uint32_t>(g.channels.size());
      auto first = Dense::create(TensorType::int32, Shape{m});
      auto second = Dense::create(TensorType::int32, Shape{m});
      int32_t* f1 = first->data<int32_t>();
      int32_t* f2 = second->data<int32_t>();
      for (uint32_t k = 0; k < m; ++k) {
        f1[k] = s1[g.channels[k]];
        f2[k] = s2[g.channels[k]];
      }
      const auto outputs = ops::update_internal_state(frame, g.weights, first, second, g.decay_1,
                                                      g.decay_2, g.shift, 0).first;
      const int32_t* y = outputs->data<int32_t>();
      for (uint32_t k = 0; k < m; ++k) {
        const uint32_t j = g.channels[k];
        s1[j] = f1[k];
        s2[j] = f2[k];
        r[uint64_t{t} * v.states + j] = y[k];
      }
    }
  }
  return raw;
}

DensePtr run_recurrent(const Layer& layer, const ConstDensePtr& input, RecurrentState& state) {
  const RecurrentVars v = recurrent_vars(layer, *input);
  const uint8_t factor = byte_param(layer, "subsample", layer.params().get("subsample"));
  const uint64_t state_size = uint64_t{v.width} * v.states;
  if (state.first.empty()) {
    state.first.assign(state_size, 0);
    state.second.assign(state_size, 0);
  } else if (state.first.size() != state_size) {
    layer_error(layer, "the state size changed within a run.");
  }
  const auto x = ops::lshift(to_int32(input), v.input_shift, 0);
  const auto groups = state_groups(*v.in_proj, *v.a_real, *v.a_imag, *v.state_shift);
  const auto out_proj = to_int32(v.out_proj);
  const uint32_t kept = (v.timesteps + factor - 1) / factor;
  auto out = Dense::create(TensorType::int32, Shape{v.width, kept, v.outputs});
  const uint64_t column_size = uint64_t{kept} * v.outputs;
  for (uint32_t w = 0; w < v.width; ++w) {
    const auto raw = recurrent_column(v, groups, x->data<int32_t>(), state, w);
    const auto hidden = ops::scale_out(raw, v.state_scale, v.state_output_shift, 0, 0);
    const auto projected = ops::matmul(hidden, out_proj, 0, false);
    add_bias(layer, projected);
    const auto scaled = ops::scale_out(projected, v.scales, v.shifts, 0, 0);
    clamp_recurrent(layer, scaled);
    const auto sampled = ops::subsampling(scaled, factor);
    std::memcpy(out->data<int32_t>() + w * column_size, sampled->data<int32_t>(),
                sizeof(int32_t) * column_size);
  }
  return out;
}

// floor(log2(n)) for n >= 1.
int32_t floor_log2(uint32_t n) {
  int32_t bits = 0;
  while (n > 1) {
    n >>= 1;
    ++bits;
  }
  return bits;
}

DensePtr run_post_processing(const Layer& layer, const ConstDensePtr& input) {
  const Shape& in = input->dimensions();
  if (in.size() != 3) layer_error(layer, "expects (width, timesteps, channels) input.");
  const uint32_t channels = in[2];
  const auto threshold = checked_var(layer, "threshold", Shape{channels});
  // The operation takes signed 16-bit offsets; a larger threshold would turn negative.
  auto offsets = Dense::create(TensorType::int16, Shape{channels});
  auto scales = Dense::create(TensorType::uint16, Shape{channels});
  for (uint32_t c = 0; c < channels; ++c) {
    const uint16_t h = threshold->data<uint16_t>()[c];
    if (h > INT16_MAX) {
      layer_error(layer, "threshold " + std::to_string(h) + " at index " + std::to_string(c) +
                             " is above " + std::to_string(INT16_MAX) + ".");
    }
    offsets->data<int16_t>()[c] = static_cast<int16_t>(h);
    scales->data<uint16_t>()[c] = 1;  // the chip's closing layer scales by 1
  }
  auto x = Dense::create(TensorType::int16, in);
  int16_t* xs = x->data<int16_t>();
  for (uint64_t i = 0; i < x->size(); ++i) {
    xs[i] = static_cast<int16_t>(std::clamp<int64_t>(input->value_as_int(i), INT16_MIN, INT16_MAX));
  }
  return ops::mivo_post_processing(x, offsets, scales, -floor_log2(in[1]), false);
}

// ---- other layers ----

DensePtr run_add(const Layer& layer, const ConstDensePtr& a, const ConstDensePtr& b) {
  if (!(a->dimensions() == b->dimensions())) {
    throw std::runtime_error("Layer " + layer.get_name() + ": Add inputs differ in shape.");
  }
  auto out = Dense::create(TensorType::int32, a->dimensions());
  const uint32_t channels = last_dim(*a);
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
  const uint32_t channels = last_dim(*input);
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

template <typename T>
void narrow(const int32_t* in, uint64_t count, int64_t low, int64_t high, T* out) {
  for (uint64_t i = 0; i < count; ++i) out[i] = static_cast<T>(std::clamp<int64_t>(in[i], low, high));
}

// Converts a layer's int32 (or float32) values to the layer's output type.
DensePtr convert_output(const Layer& layer, const ConstDensePtr& values) {
  const TensorType type = software::output_type(layer);
  if (type == values->type()) return std::const_pointer_cast<Dense>(values);
  auto out = Dense::create(type, values->dimensions());
  const int64_t low = tensor_type_min(type);
  const int64_t high = tensor_type_max(type);
  if (values->type() == TensorType::int32) {
    const int32_t* in = values->data<int32_t>();
    switch (type) {
      case TensorType::uint8: narrow(in, values->size(), low, high, out->data<uint8_t>()); return out;
      case TensorType::int8: narrow(in, values->size(), low, high, out->data<int8_t>()); return out;
      case TensorType::int16: narrow(in, values->size(), low, high, out->data<int16_t>()); return out;
      default: break;
    }
  }
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

RecurrentState& state_of(StateMap& states, const Layer& layer) {
  auto& slot = states[&layer];
  if (!slot) slot = std::make_unique<RecurrentState>();
  return *slot;
}

ConstDensePtr run_layer(const Layer& layer, const std::vector<ConstDensePtr>& inputs,
                        StateMap& states) {
  const ConstDensePtr& x = inputs.front();
  switch (layer.type()) {
    case LayerType::InputData: return x->type() == TensorType::float32 ? x : to_int32(x);
    case LayerType::Quantizer: return run_quantizer(layer, x);
    case LayerType::Dequantizer: return ops::dequantize(to_int32(x), layer.variables().get("scales"));
    case LayerType::Conv2D:
    case LayerType::InputConv2D:
    case LayerType::DepthwiseConv2D:
    case LayerType::Conv2DTranspose:
    case LayerType::DepthwiseConv2DTranspose:
    case LayerType::Convolutional:
    case LayerType::InputConvolutional:
    case LayerType::SeparableConvolutional: return run_convolution(layer, x);
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
    case LayerType::StatefulRecurrent: return run_recurrent(layer, x, state_of(states, layer));
    case LayerType::MivoPostProcessing: return run_post_processing(layer, x);
    default: no_reference(layer);
  }
}

const software::KnownOutputs kNothingKnown;

std::shared_ptr<Dense> run_layers(const std::vector<std::shared_ptr<Layer>>& layers,
                                  const ConstDensePtr& sample, const software::KnownOutputs& known,
                                  StateMap& states) {
  if (layers.empty()) return std::make_shared<Dense>(*sample);
  // Starts from the known outputs: they stand for the layers of the run they list and for
  // the inbound layers outside it.
  std::map<const Layer*, ConstDensePtr> outputs(known.begin(), known.end());
  for (const auto& layer : layers) {
    if (known.count(layer.get())) continue;
    std::vector<ConstDensePtr> inputs;
    for (const auto& source : layer->inbound_layers()) {
      auto it = outputs.find(source.get());
      inputs.push_back(it != outputs.end() ? it->second : sample);
    }
    if (inputs.empty()) inputs.push_back(sample);
    outputs[layer.get()] = run_layer(*layer, inputs, states);
  }
  return convert_output(*layers.back(), outputs[layers.back().get()]);
}

// Beyond int64 only with inputs of some 2^24 values near 2^31 or float inputs near 2^63.
int64_t saturated_int64(__int128 value) {
  return static_cast<int64_t>(std::clamp<__int128>(value, std::numeric_limits<int64_t>::min(),
                                                   std::numeric_limits<int64_t>::max()));
}

// Dense potentials of inputs that do not fit int32 (float inputs of the first generation).
std::vector<int64_t> wide_potentials(const Dense& input, const Dense& weights) {
  const Shape& ws = weights.dimensions();
  const int8_t* w = weights.data<int8_t>();
  std::vector<__int128> sums(ws[1], 0);
  for (uint64_t k = 0; k < ws[0]; ++k) {
    const int64_t x = input.value_as_int(k);
    for (uint32_t u = 0; u < ws[1]; ++u) sums[u] += static_cast<__int128>(x) * w[k * ws[1] + u];
  }
  std::vector<int64_t> potentials(ws[1]);
  for (uint32_t u = 0; u < ws[1]; ++u) potentials[u] = saturated_int64(sums[u]);
  return potentials;
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
    case LayerType::MivoPostProcessing: return TensorType::int16;
    case LayerType::StatefulRecurrent:
      if (feeds_post_processing(layer)) return TensorType::int16;
      if (layer.output_bits() <= 8) return TensorType::int8;
      return layer.output_bits() <= 16 ? TensorType::int16 : TensorType::int32;
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
  const uint32_t channels = last_dim(input);
  const int8_t* w = weights->data<int8_t>();
  std::vector<int32_t> x(ws[0]);
  for (uint64_t k = 0; k < ws[0]; ++k) {
    int64_t value = input.value_as_int(k);
    if (v2) value = ops::shift_value(value, static_cast<int32_t>(var(layer, "input_shift", k % channels)));
    // Only float inputs of the first generation can leave int32 (the others are int32 at most).
    if (value < INT32_MIN || value > INT32_MAX) return wide_potentials(input, *weights);
    x[k] = static_cast<int32_t>(value);
  }
  std::vector<__int128> sums(ws[1]);
  kernels::weighted_sums(x.data(), 1, ws[0], w, ws[1], false, sums.data());
  std::vector<int64_t> potentials(ws[1]);
  for (uint32_t u = 0; u < ws[1]; ++u) potentials[u] = saturated_int64(sums[u]);
  return potentials;
}

Run::Run(std::vector<std::shared_ptr<Layer>> layers) : layers_(std::move(layers)) {}
Run::~Run() = default;
Run::Run(Run&&) noexcept = default;
Run& Run::operator=(Run&&) noexcept = default;

std::shared_ptr<Dense> Run::sample(const std::shared_ptr<const Dense>& sample) {
  return run_one(sample, kNothingKnown);
}

std::shared_ptr<Dense> Run::run_one(const std::shared_ptr<const Dense>& sample,
                                    const KnownOutputs& known) {
  if (!sample) throw std::invalid_argument("Missing sample.");
  // The sample works on copies of the states, kept only when every layer succeeded.
  StateMap working;
  for (const auto& [layer, state] : states_) working[layer] = std::make_unique<RecurrentState>(*state);
  auto output = run_layers(layers_, sample, known, working);
  states_ = std::move(working);
  return output;
}

namespace {

std::atomic<unsigned> configured_threads{0};

bool has_temporal_state(const std::vector<std::shared_ptr<Layer>>& layers) {
  return std::any_of(layers.begin(), layers.end(), [](const std::shared_ptr<Layer>& layer) {
    return layer->type() == LayerType::StatefulRecurrent;
  });
}

// Starting a thread costs some tens of microseconds: by default samples are spread over
// threads only when each takes at least this many multiply-accumulates.
constexpr uint64_t kMacsPerSample = uint64_t{1} << 20;

bool worth_threads(const std::vector<std::shared_ptr<Layer>>& layers) {
  uint64_t total = 0;  // each term capped, so the sum cannot wrap
  for (const auto& layer : layers) total += std::min(layer->macs(), kMacsPerSample);
  return total >= kMacsPerSample;
}

}  // namespace

void set_thread_count(unsigned count) { configured_threads = count; }

unsigned thread_count() {
  const unsigned configured = configured_threads;
  if (configured != 0) return configured;
  return std::max(1u, std::thread::hardware_concurrency());
}

std::vector<std::shared_ptr<const Dense>> Run::samples(
    const std::vector<std::shared_ptr<const Dense>>& samples,
    const std::vector<KnownOutputs>* known) {
  if (known && known->size() != samples.size()) {
    throw std::invalid_argument("Known outputs must come one set per sample.");
  }
  auto known_of = [&](size_t s) -> const KnownOutputs& {
    return known ? (*known)[s] : kNothingKnown;
  };
  std::vector<std::shared_ptr<const Dense>> outputs(samples.size());
  // An explicit thread count holds whatever the work; the default one only for samples that
  // pay for a thread.
  const bool spread = configured_threads != 0 || worth_threads(layers_);
  const size_t workers = spread ? std::min<size_t>(thread_count(), samples.size()) : 1;
  if (workers <= 1 || has_temporal_state(layers_)) {
    for (size_t s = 0; s < samples.size(); ++s) outputs[s] = run_one(samples[s], known_of(s));
    return outputs;
  }
  for (const auto& input : samples) {
    if (!input) throw std::invalid_argument("Missing sample.");
  }
  // Without temporal layers the samples are independent: each worker takes the next sample and
  // writes only that sample's slots of `outputs` and `errors`, so no two threads share a slot.
  std::vector<std::exception_ptr> errors(samples.size());
  std::atomic<size_t> next{0};
  std::atomic<size_t> first_error{samples.size()};
  auto work = [&] {
    for (size_t s = next++; s < samples.size(); s = next++) {
      if (s > first_error) continue;  // an earlier sample already failed
      try {
        StateMap none;
        outputs[s] = run_layers(layers_, samples[s], known_of(s), none);
      } catch (...) {
        errors[s] = std::current_exception();
        size_t seen = first_error;
        while (s < seen && !first_error.compare_exchange_weak(seen, s)) {
        }
      }
    }
  };
  std::vector<std::thread> threads;
  try {
    for (size_t t = 1; t < workers; ++t) threads.emplace_back(work);
  } catch (const std::system_error&) {
    // No more threads to be had: the ones started and this one share the samples.
  }
  work();
  for (auto& thread : threads) thread.join();
  // The error of the first failing sample, as a run one sample after the other would give.
  for (const auto& error : errors) {
    if (error) std::rethrow_exception(error);
  }
  return outputs;
}

std::shared_ptr<Dense> run_sample(const std::vector<std::shared_ptr<Layer>>& layers,
                                  const std::shared_ptr<const Dense>& sample) {
  return Run(layers).sample(sample);
}

}  // namespace software

SoftwareSequence::SoftwareSequence(std::vector<std::shared_ptr<Layer>> layers) {
  auto pass = std::make_shared<Pass>();
  pass->layers = std::move(layers);
  passes_.push_back(std::move(pass));
}

}  // namespace qalto
