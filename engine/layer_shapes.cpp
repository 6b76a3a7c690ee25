// Layer creation (defaults and validation per type) and shape inference.
// The table of keys per type is documented in docs/layers.md.

#include <algorithm>
#include <stdexcept>

#include "qalto/layer.hpp"

namespace qalto {

namespace {

constexpr int32_t kGlobalPoolSize = -1;

bool is_v2_convolution(LayerType type) {
  switch (type) {
    case LayerType::Conv2D:
    case LayerType::InputConv2D:
    case LayerType::DepthwiseConv2D:
    case LayerType::Conv2DTranspose:
    case LayerType::DepthwiseConv2DTranspose:
    case LayerType::BufferTempConv:
    case LayerType::DepthwiseBufferTempConv: return true;
    default: return false;
  }
}

bool is_v1_convolution(LayerType type) {
  return type == LayerType::Convolutional || type == LayerType::SeparableConvolutional ||
         type == LayerType::InputConvolutional;
}

bool is_transposed(LayerType type) {
  return type == LayerType::Conv2DTranspose || type == LayerType::DepthwiseConv2DTranspose;
}

void set_default(LayerParams& params, const std::string& key, int32_t value) {
  if (!params.has(key)) params.set(key, value);
}

void require_positive(const LayerParams& params, const std::string& key) {
  if (params.get(key) <= 0) {
    throw std::invalid_argument("Layer parameter " + key + " must be positive, got " +
                                std::to_string(params.get(key)) + ".");
  }
}

void require_range(const LayerParams& params, const std::string& key, int32_t low, int32_t high) {
  const int32_t v = params.get(key);
  if (v < low || v > high) {
    throw std::invalid_argument("Layer parameter " + key + " must be within [" +
                                std::to_string(low) + ", " + std::to_string(high) + "], got " +
                                std::to_string(v) + ".");
  }
}

void complete_common(LayerParams& p) {
  set_default(p, "output_bits", 8);
  require_range(p, "output_bits", 1, 32);
}

void complete_convolution(LayerParams& p) {
  const bool v1 = is_v1_convolution(p.layer_type());
  const bool depthwise = p.layer_type() == LayerType::DepthwiseConv2D ||
                         p.layer_type() == LayerType::DepthwiseConv2DTranspose ||
                         p.layer_type() == LayerType::DepthwiseBufferTempConv;
  if (v1) {
    for (const char* key : {"kernel_width", "kernel_height"}) set_default(p, key, 3);
    for (const char* key : {"stride_x", "stride_y"}) set_default(p, key, 1);
    for (const char* key : {"pooling_width", "pooling_height"}) set_default(p, key, 1);
    set_default(p, "pooling_stride_x", p.get("pooling_width"));
    set_default(p, "pooling_stride_y", p.get("pooling_height"));
    for (const char* key : {"kernel_width", "kernel_height", "stride_x", "stride_y",
                            "pooling_width", "pooling_height", "pooling_stride_x",
                            "pooling_stride_y"})
      require_positive(p, key);
  } else {
    set_default(p, "kernel_size", 3);
    set_default(p, "kernel_stride", is_transposed(p.layer_type()) ? 2 : 1);
    set_default(p, "pool_size", 1);
    // "pool_size" -1 asks for global average pooling (the whole map in one window).
    const bool global = p.get("pool_size") == kGlobalPoolSize &&
                        p.get_or("pool_type", 0) == static_cast<int32_t>(PoolType::Average);
    set_default(p, "pool_stride", global ? 1 : p.get("pool_size"));
    for (const char* key : {"kernel_size", "kernel_stride", "pool_stride"})
      require_positive(p, key);
    if (!global) require_positive(p, "pool_size");
  }
  if (!depthwise) {
    if (!p.has("filters")) throw std::invalid_argument("Layer parameter filters is required.");
    require_positive(p, "filters");
  }
  set_default(p, "padding", static_cast<int32_t>(Padding::Same));
  set_default(p, "pool_type", static_cast<int32_t>(PoolType::NoPooling));
  set_default(p, "activation", static_cast<int32_t>(ActivationType::ReLU));
  set_default(p, "weights_bits", 8);
  require_range(p, "padding", 0, 2);
  require_range(p, "pool_type", 0, 2);
  require_range(p, "activation", 0, 2);
  require_range(p, "weights_bits", 1, 8);
}

void require_present(const LayerParams& p, const char* key) {
  if (!p.has(key)) throw std::invalid_argument(std::string("Layer parameter ") + key +
                                               " is required.");
}

// Input dimensions carried by a layer that may start a model: all three or none.
void complete_input_dims(LayerParams& p, bool required) {
  const char* keys[] = {"input_width", "input_height", "input_channels"};
  const int present = p.has(keys[0]) + p.has(keys[1]) + p.has(keys[2]);
  if (required || present != 0) {
    for (const char* key : keys) {
      require_present(p, key);
      require_positive(p, key);
    }
  }
  set_default(p, "input_bits", 8);
  require_range(p, "input_bits", 1, 8);
}

// The Mivo TNP-R keys. "units" is the older name of the output width: either key may be given,
// and the state width follows the output width unless set.
void complete_stateful_recurrent(LayerParams& p) {
  if (!p.has("units") && p.has("output_channels")) p.set("units", p.get("output_channels"));
  require_present(p, "units");
  require_positive(p, "units");
  set_default(p, "output_channels", p.get("units"));
  set_default(p, "stateful_channels", p.get("output_channels"));
  set_default(p, "subsample", 1);
  set_default(p, "activation", static_cast<int32_t>(ActivationType::NoActivation));
  for (const char* key : {"output_channels", "stateful_channels", "subsample"})
    require_positive(p, key);
  require_range(p, "activation", 0, 1);
}

void complete_params(LayerParams& p) {
  const LayerType type = p.layer_type();
  if (type == LayerType::Unknown) {
    throw std::invalid_argument("Cannot create a layer of type Unknown.");
  }
  // A value outside the enum would be saved, then refused by the reader.
  if (std::string(layer_type_name(type)) == "Unknown") {
    throw std::invalid_argument("Cannot create a layer of unknown type " +
                                std::to_string(static_cast<uint32_t>(type)) + ".");
  }
  if (type == LayerType::InputData) {
    complete_input_dims(p, true);
    // An InputData passes the model's inputs on unchanged, so the layers it feeds read values
    // of its input width unless a wider output is stated (16-bit series inputs).
    set_default(p, "output_bits", p.get("input_bits"));
  }
  complete_common(p);
  if (is_v1_convolution(type) || is_v2_convolution(type)) {
    complete_convolution(p);
    if (type == LayerType::InputConvolutional || type == LayerType::InputConv2D) {
      complete_input_dims(p, false);
    }
    if (type == LayerType::BufferTempConv || type == LayerType::DepthwiseBufferTempConv) {
      set_default(p, "fifo_size", 1);
      require_positive(p, "fifo_size");
    }
  } else if (type == LayerType::InputData) {
    set_default(p, "input_signed", 0);
    require_range(p, "input_signed", 0, 1);
  } else if (type == LayerType::FullyConnected) {
    require_present(p, "units");
    require_positive(p, "units");
    // The v1 fully connected NP learns binary weights and emits 1-bit spikes by default.
    set_default(p, "activation", static_cast<int32_t>(ActivationType::ReLU));
    set_default(p, "weights_bits", 1);
    set_default(p, "act_bits", 1);
    require_range(p, "activation", 0, 1);
    require_range(p, "weights_bits", 1, 8);
    require_range(p, "act_bits", 1, 8);
  } else if (type == LayerType::Dense1D) {
    require_present(p, "units");
    require_positive(p, "units");
    set_default(p, "activation", static_cast<int32_t>(ActivationType::ReLU));
    set_default(p, "weights_bits", 8);
    require_range(p, "activation", 0, 2);
    require_range(p, "weights_bits", 1, 8);
  } else if (type == LayerType::StatefulRecurrent) {
    complete_stateful_recurrent(p);
  } else if (type == LayerType::Quantizer) {
    complete_input_dims(p, false);
    set_default(p, "output_signed", 0);
    set_default(p, "channels_first", 0);
    require_range(p, "output_signed", 0, 1);
    require_range(p, "channels_first", 0, 1);
    require_range(p, "output_bits", 1, 8);
  }
}

// Output size of one axis of a convolution and the padding before and after it.
struct AxisResult {
  uint32_t out;
  uint32_t pad_before;
  uint32_t pad_after;
};

AxisResult convolve_axis(const std::string& layer, uint32_t in, uint32_t kernel, uint32_t stride,
                         Padding padding) {
  if (padding == Padding::Valid) {
    if (in < kernel) {
      throw std::invalid_argument("Layer " + layer + ": input size " + std::to_string(in) +
                                  " is smaller than the kernel " + std::to_string(kernel) + ".");
    }
    return {(in - kernel) / stride + 1, 0, 0};
  }
  const uint32_t out = (in + stride - 1) / stride;
  const int64_t total = std::max<int64_t>(int64_t{out - 1} * stride + kernel - in, 0);
  const uint32_t small = static_cast<uint32_t>(total / 2);
  const uint32_t large = static_cast<uint32_t>(total - small);
  if (padding == Padding::Same) return {out, small, large};
  return {out, large, small};
}

AxisResult transpose_axis(const std::string& layer, uint32_t in, uint32_t kernel,
                          uint32_t stride, Padding padding) {
  const uint64_t out = padding == Padding::Valid ? uint64_t{in - 1} * stride + kernel
                                                 : uint64_t{in} * stride;
  if (out > UINT32_MAX) {
    throw std::invalid_argument("Layer " + layer + ": output size " + std::to_string(out) +
                                " does not fit 32 bits.");
  }
  if (padding == Padding::Valid) return {static_cast<uint32_t>(out), 0, 0};
  return {static_cast<uint32_t>(out), kernel / 2, kernel / 2};
}

// Pooling strides are stored in a byte of the computed parameters.
uint8_t pool_stride_byte(const std::string& layer, uint32_t stride) {
  if (stride > UINT8_MAX) {
    throw std::invalid_argument("Layer " + layer + ": pooling stride " + std::to_string(stride) +
                                " is above 255.");
  }
  return static_cast<uint8_t>(stride);
}

}  // namespace

std::shared_ptr<Layer> Layer::create(const LayerParams& params, const std::string& name) {
  return create(LayerParams(params), name);
}

std::shared_ptr<Layer> Layer::create(LayerParams&& params, const std::string& name) {
  if (!is_valid_utf8(name)) throw std::invalid_argument("A layer name must be UTF-8 text.");
  for (const auto& [key, value] : params.entries()) {
    if (!is_valid_utf8(key)) {
      throw std::invalid_argument("A layer parameter key must be UTF-8 text.");
    }
  }
  auto owned = std::make_shared<LayerParams>(std::move(params));
  complete_params(*owned);
  return std::make_shared<Layer>(std::move(owned), name);
}

void Layer::build(const std::vector<Shape>& inputs) {
  // A refused build leaves the layer as it was: its shapes, computed parameters and variables.
  const auto saved_inputs = input_dims_;
  const auto saved_output = output_dims_;
  const auto saved_conv = conv_params_;
  const auto saved_pool = pool_params_;
  const bool saved_built = built_;
  auto restore = [&] {
    offered_.clear();
    input_dims_ = saved_inputs;
    output_dims_ = saved_output;
    conv_params_ = saved_conv;
    pool_params_ = saved_pool;
    built_ = saved_built;
  };
  try {
    build_from(inputs);
    offered_.clear();
  } catch (const std::overflow_error& e) {
    // Element counts past 64 bits: inputs this layer cannot take, like any other bad shape.
    restore();
    throw std::invalid_argument("Layer " + name_ + ": " + e.what());
  } catch (...) {
    restore();
    throw;
  }
}

void Layer::build_from(const std::vector<Shape>& inputs) {
  const LayerParams& p = *params_;
  const LayerType t = type();
  Shape output;
  std::optional<ConvCalculatedParams> conv;
  std::optional<PoolingCalculatedParams> pool;

  std::vector<Shape> sources = inputs;
  if (t == LayerType::InputData || (sources.empty() && p.has("input_width"))) {
    // A layer that starts a model takes its input shape from its own parameters.
    sources = {Shape{static_cast<uint32_t>(p.get("input_width")),
                     static_cast<uint32_t>(p.get("input_height")),
                     static_cast<uint32_t>(p.get("input_channels"))}};
  }
  if (sources.empty()) throw std::invalid_argument("Layer " + name_ + " has no input.");
  const Shape& in = sources.front();

  if (is_v1_convolution(t) || is_v2_convolution(t)) {
    if (in.size() != 3) {
      throw std::invalid_argument("Layer " + name_ + " expects (width, height, channels) input.");
    }
    const bool v1 = is_v1_convolution(t);
    const uint32_t kw = p.get(v1 ? "kernel_width" : "kernel_size");
    const uint32_t kh = p.get(v1 ? "kernel_height" : "kernel_size");
    const uint32_t sx = p.get(v1 ? "stride_x" : "kernel_stride");
    const uint32_t sy = p.get(v1 ? "stride_y" : "kernel_stride");
    const auto padding = static_cast<Padding>(p.get("padding"));
    const bool transposed = is_transposed(t);
    AxisResult x = transposed ? transpose_axis(name_, in[0], kw, sx, padding)
                              : convolve_axis(name_, in[0], kw, sx, padding);
    AxisResult y = transposed ? transpose_axis(name_, in[1], kh, sy, padding)
                              : convolve_axis(name_, in[1], kh, sy, padding);
    conv = ConvCalculatedParams{sx, sy, x.out, y.out, {y.pad_before, y.pad_after, x.pad_before,
                                                       x.pad_after}};
    PoolingCalculatedParams pooled{1, 1, x.out, y.out, {}, false};
    if (!v1 && p.get("pool_size") == kGlobalPoolSize) {
      pooled = PoolingCalculatedParams{1, 1, 1, 1, {}, true};
    } else if (static_cast<PoolType>(p.get("pool_type")) != PoolType::NoPooling) {
      const uint32_t pw = p.get(v1 ? "pooling_width" : "pool_size");
      const uint32_t ph = p.get(v1 ? "pooling_height" : "pool_size");
      const uint32_t psx = p.get(v1 ? "pooling_stride_x" : "pool_stride");
      const uint32_t psy = p.get(v1 ? "pooling_stride_y" : "pool_stride");
      const auto pool_padding = static_cast<Padding>(p.get_or("pool_padding", 0));
      AxisResult px = convolve_axis(name_, x.out, pw, psx, pool_padding);
      AxisResult py = convolve_axis(name_, y.out, ph, psy, pool_padding);
      pooled = PoolingCalculatedParams{pool_stride_byte(name_, psx), pool_stride_byte(name_, psy),
                                       px.out, py.out,
                                       {py.pad_before, py.pad_after, px.pad_before, px.pad_after},
                                       true};
    }
    pool = pooled;
    const uint32_t channels = is_depthwise() ? in[2] : static_cast<uint32_t>(p.get("filters"));
    output = Shape{pooled.width, pooled.height, channels};
  } else if (t == LayerType::Add) {
    for (const auto& other : inputs) {
      if (!(other == in)) {
        throw std::invalid_argument("Layer " + name_ + ": Add inputs must have the same shape.");
      }
    }
    output = in;
  } else if (t == LayerType::Concatenate) {
    if (in.size() != 3) {
      throw std::invalid_argument("Layer " + name_ + " expects (width, height, channels) inputs.");
    }
    uint64_t channels = 0;
    for (const auto& other : inputs) {
      if (other.size() != in.size() || other[0] != in[0] || other[1] != in[1]) {
        throw std::invalid_argument("Layer " + name_ +
                                    ": Concatenate inputs must share width and height.");
      }
      channels += other[2];
    }
    if (channels > UINT32_MAX) {
      throw std::invalid_argument("Layer " + name_ + ": too many concatenated channels.");
    }
    std::vector<uint32_t> dims = in.to_vector();
    dims.back() = static_cast<uint32_t>(channels);
    output = Shape(dims);
  } else if (t == LayerType::FullyConnected || t == LayerType::Dense1D) {
    // The weights hold one row per input value: their first dimension must fit 32 bits.
    if (in.elements() > UINT32_MAX) {
      throw std::invalid_argument("Layer " + name_ + ": input too large for its weights.");
    }
    output = Shape{1, 1, static_cast<uint32_t>(p.get("units"))};
  } else if (t == LayerType::StatefulRecurrent) {
    // Input (width, timesteps, channels): the series keeps one row of "output_channels" values
    // for every "subsample"-th timestep.
    if (in.size() != 3) {
      throw std::invalid_argument("Layer " + name_ + " expects (width, timesteps, channels) input.");
    }
    const auto subsample = static_cast<uint32_t>(p.get("subsample"));
    output = Shape{in[0], (in[1] + subsample - 1) / subsample,
                   static_cast<uint32_t>(p.get("output_channels"))};
  } else {
    output = in;
  }
  // Every shape must have a countable size: buffers, macs and runs take it as it is.
  for (const auto& shape : sources) (void)shape.elements();
  (void)output.elements();
  input_dims_ = sources;
  output_dims_ = output;
  conv_params_ = conv;
  pool_params_ = pool;
  built_ = true;
  declare_variables();
}

}  // namespace qalto
