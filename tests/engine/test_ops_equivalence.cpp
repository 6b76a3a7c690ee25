// The vectorised sum-of-products operations and the threaded software run against slow, obvious
// versions (128-bit sums, one sample at a time), on seeded random shapes and values of every
// width: the results must be the same to the bit.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "qalto/model.hpp"
#include "qalto/ops.hpp"
#include "qalto/software.hpp"

namespace qalto {
namespace {

using ops::ConstDensePtr;
using ops::DensePtr;

// ---- the slow versions ----

int32_t saturate(__int128 v) {
  return static_cast<int32_t>(std::clamp<__int128>(v, INT32_MIN, INT32_MAX));
}

DensePtr slow_conv2d(const Dense& x, int32_t pad_x, int32_t pad_y, int32_t kernel, int32_t stride,
                     uint32_t out_x, uint32_t out_y, const Dense& filters, int32_t pad_value) {
  const Shape& in = x.dimensions();
  const uint32_t channels = in[2];
  const uint32_t count = filters.dimensions()[3];
  auto out = Dense::create(TensorType::int32, Shape{out_x, out_y, count});
  for (uint32_t ox = 0; ox < out_x; ++ox) {
    for (uint32_t oy = 0; oy < out_y; ++oy) {
      for (uint32_t f = 0; f < count; ++f) {
        __int128 acc = 0;
        for (int32_t i = 0; i < kernel; ++i) {
          for (int32_t j = 0; j < kernel; ++j) {
            const int64_t px = int64_t{ox} * stride + i - pad_x;
            const int64_t py = int64_t{oy} * stride + j - pad_y;
            const bool inside = px >= 0 && py >= 0 && px < in[0] && py < in[1];
            for (uint32_t c = 0; c < channels; ++c) {
              const int64_t v = inside ? x.data<int32_t>()[(px * in[1] + py) * channels + c] : pad_value;
              acc += v * filters.data<int8_t>()[((int64_t{i} * kernel + j) * channels + c) * count + f];
            }
          }
        }
        out->data<int32_t>()[(uint64_t{ox} * out_y + oy) * count + f] = saturate(acc);
      }
    }
  }
  return out;
}

DensePtr slow_depthwise(const Dense& x, int32_t pad_x, int32_t pad_y, int32_t kernel,
                        int32_t stride, uint32_t out_x, uint32_t out_y, const Dense& filters) {
  const Shape& in = x.dimensions();
  const uint32_t channels = in[2];
  auto out = Dense::create(TensorType::int32, Shape{out_x, out_y, channels});
  for (uint32_t ox = 0; ox < out_x; ++ox) {
    for (uint32_t oy = 0; oy < out_y; ++oy) {
      for (uint32_t c = 0; c < channels; ++c) {
        __int128 acc = 0;
        for (int32_t i = 0; i < kernel; ++i) {
          for (int32_t j = 0; j < kernel; ++j) {
            const int64_t px = int64_t{ox} * stride + i - pad_x;
            const int64_t py = int64_t{oy} * stride + j - pad_y;
            if (px < 0 || py < 0 || px >= in[0] || py >= in[1]) continue;
            acc += int64_t{x.data<int32_t>()[(px * in[1] + py) * channels + c]} *
                   filters.data<int8_t>()[(int64_t{i} * kernel + j) * channels + c];
          }
        }
        out->data<int32_t>()[(uint64_t{ox} * out_y + oy) * channels + c] = saturate(acc);
      }
    }
  }
  return out;
}

// `depthwise`: (kx, ky, 1, c) filters, channel c spreads only into channel c.
DensePtr slow_transpose(const Dense& x, const Dense& filters, uint32_t stride, int32_t pad_x,
                        int32_t pad_y, uint32_t out_x, uint32_t out_y, bool depthwise) {
  const Shape& in = x.dimensions();
  const Shape& fs = filters.dimensions();
  const uint32_t channels = in[2];
  const uint32_t count = depthwise ? channels : fs[3];
  std::vector<__int128> acc(uint64_t{out_x} * out_y * count, 0);
  for (uint32_t ix = 0; ix < in[0]; ++ix) {
    for (uint32_t iy = 0; iy < in[1]; ++iy) {
      for (uint32_t i = 0; i < fs[0]; ++i) {
        for (uint32_t j = 0; j < fs[1]; ++j) {
          const int64_t px = int64_t{ix} * stride + i - pad_x;
          const int64_t py = int64_t{iy} * stride + j - pad_y;
          if (px < 0 || py < 0 || px >= out_x || py >= out_y) continue;
          for (uint32_t c = 0; c < channels; ++c) {
            const int64_t v = x.data<int32_t>()[(uint64_t{ix} * in[1] + iy) * channels + c];
            for (uint32_t f = 0; f < count; ++f) {
              if (depthwise && f != c) continue;
              const uint64_t tap = (uint64_t{i} * fs[1] + j) * fs[2] + (depthwise ? 0 : c);
              acc[(px * out_y + py) * count + f] += v * filters.data<int8_t>()[tap * count + f];
            }
          }
        }
      }
    }
  }
  auto out = Dense::create(TensorType::int32, Shape{out_x, out_y, count});
  for (size_t k = 0; k < acc.size(); ++k) out->data<int32_t>()[k] = saturate(acc[k]);
  return out;
}

DensePtr slow_matmul(const Dense& x, const Dense& w, int32_t shift_amount, bool transpose) {
  const Shape& ws = w.dimensions();
  const uint32_t n = transpose ? ws[1] : ws[0];
  const uint32_t units = transpose ? ws[0] : ws[1];
  const uint32_t rows = x.dimensions().size() == 2 ? x.dimensions()[0] : 1;
  auto out = Dense::create(TensorType::int32, Shape{rows, units});
  for (uint32_t r = 0; r < rows; ++r) {
    for (uint32_t u = 0; u < units; ++u) {
      __int128 acc = 0;
      for (uint32_t k = 0; k < n; ++k) {
        const int64_t wv = transpose ? w.data<int32_t>()[u * n + k] : w.data<int32_t>()[k * units + u];
        acc += int64_t{x.data<int32_t>()[r * n + k]} * wv;
      }
      out->data<int32_t>()[r * units + u] = ops::shift_wide(acc, shift_amount);
    }
  }
  return out;
}

// ---- random values of every width ----

struct Random {
  std::mt19937_64 engine;
  int64_t between(int64_t low, int64_t high) {
    return std::uniform_int_distribution<int64_t>(low, high)(engine);
  }
  bool chance(int percent) { return between(1, 100) <= percent; }
  // A value of `bits` bits, signed or not; now and then the extreme of the range.
  int64_t value(int bits, bool is_signed) {
    const int64_t low = is_signed ? -(int64_t{1} << (bits - 1)) : 0;
    const int64_t high = is_signed ? (int64_t{1} << (bits - 1)) - 1 : (int64_t{1} << bits) - 1;
    if (chance(5)) return chance(50) ? low : high;
    return between(low, high);
  }
  // The operand widths the operations meet: layer inputs of 1 to 8 bits, shifted inputs and
  // potentials of 16 to 32 bits.
  int operand_bits() {
    static constexpr int kBits[] = {1, 2, 4, 8, 8, 8, 12, 15, 16, 17, 24, 31, 32};
    return kBits[between(0, std::size(kBits) - 1)];
  }
  DensePtr int32_map(const Shape& shape) {
    const int bits = operand_bits();
    const bool is_signed = bits == 32 || chance(50);
    auto out = Dense::create(TensorType::int32, shape);
    for (uint64_t i = 0; i < out->size(); ++i) {
      out->data<int32_t>()[i] = static_cast<int32_t>(std::min<int64_t>(value(bits, is_signed), INT32_MAX));
    }
    return out;
  }
  DensePtr int8_weights(const Shape& shape) {
    const int bits = static_cast<int>(between(1, 8));
    auto out = Dense::create(TensorType::int8, shape);
    for (uint64_t i = 0; i < out->size(); ++i) out->data<int8_t>()[i] = static_cast<int8_t>(value(bits, true));
    return out;
  }
};

std::vector<int32_t> int32_values(const Dense& d) {
  return {d.data<int32_t>(), d.data<int32_t>() + d.size()};
}

constexpr int kCases = 400;

TEST(OpsEquivalence, ConvolutionsEqualTheSlowVersion) {
  Random r{std::mt19937_64(20240601)};
  for (int n = 0; n < kCases; ++n) {
    const auto in_x = static_cast<uint32_t>(r.between(1, 9));
    const auto in_y = static_cast<uint32_t>(r.between(1, 9));
    // Now and then more than 511 taps: the int32 sums of 16-bit halves then come in chunks.
    const auto channels = static_cast<uint32_t>(r.chance(15) ? r.between(33, 70) : r.between(1, 11));
    const auto kernel = static_cast<int32_t>(r.between(1, 4));
    const auto stride = static_cast<int32_t>(r.between(1, 3));
    const auto filters = static_cast<uint32_t>(r.between(1, 11));
    // Padding on either side and output sizes that end inside or beyond the input.
    const auto pad_x = static_cast<int8_t>(r.between(0, 3));
    const auto pad_y = static_cast<int8_t>(r.between(0, 3));
    const auto out_x = static_cast<uint32_t>(r.between(1, in_x + 2));
    const auto out_y = static_cast<uint32_t>(r.between(1, in_y + 2));
    const auto x = r.int32_map({in_x, in_y, channels});
    const auto w = r.int8_weights(Shape{uint32_t(kernel), uint32_t(kernel), channels, filters});
    const auto dw = r.int8_weights(Shape{uint32_t(kernel), uint32_t(kernel), 1, channels});
    auto pad_value = static_cast<int32_t>(r.chance(50) ? 0 : r.value(r.operand_bits(), true));
    if (r.chance(20)) {
      // The worst case of every partial sum: one value at the edge of an arithmetic's range
      // everywhere, weights of one sign at their largest magnitude.
      static constexpr int32_t kEdges[] = {32767, -32767, 32768, -32768, 0x7FFF7FFF, INT32_MIN};
      pad_value = kEdges[r.between(0, std::size(kEdges) - 1)];
      const auto weight = static_cast<int8_t>(r.chance(50) ? -128 : 127);
      std::fill(x->data<int32_t>(), x->data<int32_t>() + x->size(), pad_value);
      std::fill(w->data<int8_t>(), w->data<int8_t>() + w->size(), weight);
    }
    SCOPED_TRACE("case " + std::to_string(n));
    EXPECT_EQ(int32_values(*ops::conv2d_v2(x, pad_x, pad_y, kernel, stride, out_x, out_y, w, pad_value)),
              int32_values(*slow_conv2d(*x, pad_x, pad_y, kernel, stride, out_x, out_y, *w, pad_value)));
    EXPECT_EQ(int32_values(*ops::depthwise_conv2d(x, pad_x, pad_y, kernel, stride, out_x, out_y, dw)),
              int32_values(*slow_depthwise(*x, pad_x, pad_y, kernel, stride, out_x, out_y, *dw)));
  }
}

TEST(OpsEquivalence, TransposedConvolutionsEqualTheSlowVersion) {
  Random r{std::mt19937_64(20240602)};
  for (int n = 0; n < kCases; ++n) {
    const auto in_x = static_cast<uint32_t>(r.between(1, 6));
    const auto in_y = static_cast<uint32_t>(r.between(1, 6));
    const auto channels = static_cast<uint32_t>(r.between(1, 9));
    const auto kx = static_cast<uint32_t>(r.between(1, 5));
    const auto ky = r.chance(70) ? kx : static_cast<uint32_t>(r.between(1, 5));
    const auto stride = static_cast<uint8_t>(r.between(1, 3));
    const auto filters = static_cast<uint32_t>(r.between(1, 9));
    const auto pad_x = static_cast<int32_t>(r.between(0, 3));
    const auto pad_y = static_cast<int32_t>(r.between(0, 3));
    const auto out_x = static_cast<uint32_t>(r.between(1, in_x * stride + kx));
    const auto out_y = static_cast<uint32_t>(r.between(1, in_y * stride + ky));
    const auto x = r.int32_map({in_x, in_y, channels});
    const auto w = r.int8_weights(Shape{kx, ky, channels, filters});
    const auto dw = r.int8_weights(Shape{kx, ky, 1, channels});
    SCOPED_TRACE("case " + std::to_string(n));
    EXPECT_EQ(int32_values(*ops::conv2d_transpose(x, w, stride, pad_x, pad_y, out_x, out_y)),
              int32_values(*slow_transpose(*x, *w, stride, pad_x, pad_y, out_x, out_y, false)));
    EXPECT_EQ(int32_values(*ops::depthwise_conv2d_transpose(x, dw, stride, pad_x, pad_y, out_x, out_y)),
              int32_values(*slow_transpose(*x, *dw, stride, pad_x, pad_y, out_x, out_y, true)));
  }
}

TEST(OpsEquivalence, MatmulAndShiftsEqualTheSlowVersion) {
  Random r{std::mt19937_64(20240603)};
  for (int n = 0; n < kCases; ++n) {
    const auto rows = static_cast<uint32_t>(r.between(1, 5));
    const auto inputs = static_cast<uint32_t>(r.between(1, 40));
    const auto units = static_cast<uint32_t>(r.between(1, 20));
    const bool transpose = r.chance(50);
    const auto x = r.int32_map({rows, inputs});
    const auto w = r.int32_map(transpose ? Shape{units, inputs} : Shape{inputs, units});
    const auto shift = static_cast<int32_t>(r.between(-70, 45));
    SCOPED_TRACE("case " + std::to_string(n));
    EXPECT_EQ(int32_values(*ops::matmul(x, w, shift, transpose)),
              int32_values(*slow_matmul(*x, *w, shift, transpose)));
    // The 64-bit shortcut of shift_value against the 128-bit rule.
    const int64_t value = r.chance(50) ? r.value(r.operand_bits(), true) : r.value(63, true);
    EXPECT_EQ(ops::shift_value(value, shift), ops::shift_wide(value, shift)) << value << " " << shift;
  }
}

// ---- whole layers, through the threaded software run ----

std::shared_ptr<Layer> make(LayerType type, const std::map<std::string, int32_t>& params,
                            const std::string& name) {
  return Layer::create(*LayerParams::create(type, params), name);
}

TEST(OpsEquivalence, DensePotentialsEqualTheSlowVersionForIntAndFloatInputs) {
  Random r{std::mt19937_64(20240605)};
  for (int n = 0; n < 60; ++n) {
    const auto inputs = static_cast<uint32_t>(r.between(1, 70));
    const auto units = static_cast<uint32_t>(r.between(1, 20));
    auto model = Model::create();
    model->add(make(LayerType::InputData, {{"input_width", 1}, {"input_height", 1},
                                           {"input_channels", int32_t(inputs)}}, "input"));
    model->add(make(LayerType::FullyConnected, {{"units", int32_t(units)}}, "fc"));
    Layer& layer = *model->get_layer("fc");
    const auto weights = r.int8_weights(Shape{inputs, units});
    layer.variables().set("weights", weights);
    // Float inputs (after a Dequantizer) reach far beyond int32; int32 ones take every width.
    const bool floats = r.chance(50);
    auto x = floats ? Dense::create(TensorType::float32, Shape{1, 1, inputs}) : r.int32_map({1, 1, inputs});
    if (floats) {
      for (uint32_t k = 0; k < inputs; ++k) {
        x->data<float>()[k] = static_cast<float>(r.value(r.chance(50) ? 62 : 20, true)) * (r.chance(10) ? 4.0F : 1.0F);
      }
    }
    std::vector<int64_t> expected(units);
    for (uint32_t u = 0; u < units; ++u) {
      __int128 sum = 0;
      for (uint32_t k = 0; k < inputs; ++k) sum += __int128{x->value_as_int(k)} * weights->data<int8_t>()[k * units + u];
      expected[u] = static_cast<int64_t>(std::clamp<__int128>(sum, INT64_MIN, INT64_MAX));
    }
    SCOPED_TRACE("case " + std::to_string(n));
    EXPECT_EQ(software::dense_potentials(layer, *x), expected);
  }
}

// A variable filled with random values of its own element type (bit widths within it).
void randomise(Random& r, Dense& v, bool small) {
  for (uint64_t i = 0; i < v.size(); ++i) {
    switch (v.type()) {
      case TensorType::int8: v.data<int8_t>()[i] = static_cast<int8_t>(r.value(small ? 3 : 8, true)); break;
      case TensorType::uint8: v.data<uint8_t>()[i] = static_cast<uint8_t>(r.value(small ? 2 : 8, false)); break;
      case TensorType::int32: v.data<int32_t>()[i] = static_cast<int32_t>(r.value(16, true)); break;
      default: break;
    }
  }
}

// One layer of the given output as the documented arithmetic computes it, on slow versions.
int64_t shifted(int64_t v, int64_t s) { return ops::shift_wide(v, s); }

int64_t var(const Layer& layer, const char* name, uint64_t i) {
  return layer.variables().get(name)->value_as_int(i);
}

DensePtr slow_layer(const Layer& layer, const Dense& input) {
  const LayerParams& p = layer.params();
  const uint32_t channels = input.dimensions()[input.dimensions().size() - 1];
  auto x = Dense::create(TensorType::int32, input.dimensions());
  for (uint64_t i = 0; i < x->size(); ++i) {
    x->data<int32_t>()[i] = static_cast<int32_t>(shifted(input.value_as_int(i), var(layer, "input_shift", i % channels)));
  }
  const auto weights = layer.variables().get("weights");
  const int32_t kernel = p.get_or("kernel_size", 1);
  const int32_t pad = p.get_or("padding", 1) == 0 ? 0 : std::max(kernel - p.get_or("kernel_stride", 1), 0) / 2;
  DensePtr v;
  const auto conv = [&layer] { return layer.conv_calculated_params(); };
  switch (layer.type()) {
    case LayerType::Conv2D:
      v = slow_conv2d(*x, conv().padding.left, conv().padding.top, kernel, conv().stride_x,
                      conv().output_width, conv().output_height, *weights, 0);
      break;
    case LayerType::DepthwiseConv2D:
      v = slow_depthwise(*x, conv().padding.left, conv().padding.top, kernel, conv().stride_x,
                         conv().output_width, conv().output_height, *weights);
      break;
    case LayerType::Conv2DTranspose:
    case LayerType::DepthwiseConv2DTranspose:
      v = slow_transpose(*x, *weights, p.get("kernel_stride"), pad, pad, conv().output_width,
                         conv().output_height, layer.type() == LayerType::DepthwiseConv2DTranspose);
      break;
    default: {  // Dense1D
      const uint32_t units = weights->dimensions()[1];
      v = Dense::create(TensorType::int32, Shape{1, 1, units});
      for (uint32_t u = 0; u < units; ++u) {
        __int128 sum = 0;
        for (uint64_t k = 0; k < x->size(); ++k) sum += int64_t{x->data<int32_t>()[k]} * weights->data<int8_t>()[k * units + u];
        v->data<int32_t>()[u] = saturate(sum);
      }
    }
  }
  const uint32_t filters = v->dimensions()[2];
  for (uint64_t i = 0; i < v->size(); ++i) {
    const uint64_t f = i % filters;
    const int64_t bias = shifted(var(layer, "bias", f), var(layer, "bias_shift", f));
    v->data<int32_t>()[i] = saturate(__int128{v->data<int32_t>()[i]} + bias);
  }
  if (layer.pooling_is(PoolType::Max)) {
    const auto& pool = layer.pool_calculated_params();
    const int32_t size = p.get("pool_size");
    v = ops::max_pooling(v, static_cast<int8_t>(size), static_cast<int8_t>(size), false, pool.width,
                         pool.height, static_cast<int8_t>(pool.padding.left),
                         static_cast<int8_t>(pool.padding.top), pool.stride_x, pool.stride_y, size, size, 0);
  }
  const TensorType type = software::output_type(layer);
  const bool relu = layer.activation_is(ActivationType::ReLU);
  const int bits = layer.output_bits();
  const int64_t high = layer.output_signed() ? (int64_t{1} << (bits - 1)) - 1 : (int64_t{1} << bits) - 1;
  for (uint64_t i = 0; i < v->size(); ++i) {
    const uint64_t f = i % filters;
    int64_t value = shifted(v->data<int32_t>()[i], var(layer, "output_shift", f));
    if (relu) {
      const int64_t max_value = var(layer, "max_value", f);
      const int64_t limit = max_value == 0 ? high : std::min(high, shifted(max_value, var(layer, "max_value_shift", f)));
      value = std::clamp<int64_t>(value, 0, limit);
    }
    v->data<int32_t>()[i] = static_cast<int32_t>(std::clamp(value, tensor_type_min(type), tensor_type_max(type)));
  }
  return v;
}

TEST(OpsEquivalence, ThreadedLayersEqualTheSlowVersionSampleBySample) {
  Random r{std::mt19937_64(20240604)};
  const LayerType types[] = {LayerType::Conv2D, LayerType::DepthwiseConv2D, LayerType::Conv2DTranspose,
                             LayerType::DepthwiseConv2DTranspose, LayerType::Dense1D};
  int checked = 0;
  for (int n = 0; n < 150; ++n) {
    const LayerType type = types[n % std::size(types)];
    const auto width = static_cast<uint32_t>(r.between(1, 9));
    const auto height = static_cast<uint32_t>(r.between(1, 9));
    const auto channels = static_cast<uint32_t>(r.between(1, 6));
    const auto input_bits = static_cast<int32_t>(r.between(1, 8));
    const bool input_signed = r.chance(50);
    auto model = Model::create();
    model->add(make(LayerType::InputData, {{"input_width", int32_t(width)}, {"input_height", int32_t(height)},
                                           {"input_channels", int32_t(channels)}, {"input_bits", input_bits},
                                           {"input_signed", input_signed}}, "input"));
    std::map<std::string, int32_t> params{{"activation", int32_t(r.between(0, 1))},
                                          {"output_bits", int32_t(r.between(1, 8))}};
    if (type == LayerType::Dense1D) {
      params["units"] = int32_t(r.between(1, 12));
    } else {
      const bool transposed = type == LayerType::Conv2DTranspose || type == LayerType::DepthwiseConv2DTranspose;
      params["kernel_size"] = int32_t(r.between(1, 4));
      params["kernel_stride"] = int32_t(r.between(1, transposed ? 3 : 2));
      params["padding"] = int32_t(r.between(0, 2));  // Valid, Same or SameUpper
      if (type == LayerType::Conv2D || type == LayerType::Conv2DTranspose) params["filters"] = int32_t(r.between(1, 9));
      if (!transposed && r.chance(40)) {
        params["pool_type"] = 1;
        params["pool_size"] = int32_t(r.between(1, 2));
        params["pool_stride"] = int32_t(r.between(1, 2));
      }
    }
    SCOPED_TRACE("case " + std::to_string(n) + ", " + layer_type_name(type));
    try {
      model->add(make(type, params, "layer"));
    } catch (const std::exception&) {
      continue;  // a geometry the layer refuses (window larger than the map)
    }
    Layer& layer = *model->get_layer("layer");
    for (const auto& name : layer.variables().names()) {
      randomise(r, *layer.variables().get(name), name.find("shift") != std::string::npos && r.chance(90));
    }
    const auto batch = static_cast<uint32_t>(r.between(1, 5));
    auto inputs = Dense::create(input_signed ? TensorType::int8 : TensorType::uint8, Shape{batch, width, height, channels});
    for (uint64_t i = 0; i < inputs->size(); ++i) {
      const int64_t v = r.value(input_bits, input_signed);
      if (input_signed) inputs->data<int8_t>()[i] = static_cast<int8_t>(v);
      else inputs->data<uint8_t>()[i] = static_cast<uint8_t>(v);
    }
    software::set_thread_count(static_cast<unsigned>(r.between(1, 4)));
    const auto out = std::dynamic_pointer_cast<Dense>(model->forward(inputs, 0));
    software::set_thread_count(0);
    ASSERT_TRUE(out);
    const uint64_t sample_size = uint64_t{width} * height * channels;
    const uint64_t out_size = out->size() / batch;
    for (uint32_t s = 0; s < batch; ++s) {
      auto sample = Dense::create(TensorType::int32, Shape{width, height, channels});
      for (uint64_t i = 0; i < sample_size; ++i) sample->data<int32_t>()[i] = static_cast<int32_t>(inputs->value_as_int(s * sample_size + i));
      const auto expected = slow_layer(layer, *sample);
      ASSERT_EQ(expected->size(), out_size);
      for (uint64_t i = 0; i < out_size; ++i) {
        ASSERT_EQ(out->value_as_int(s * out_size + i), expected->value_as_int(i)) << "sample " << s << " index " << i;
      }
    }
    ++checked;
  }
  EXPECT_GT(checked, 100);  // refused geometries stay the exception
}

TEST(OpsEquivalence, ThreadedRunsRaiseTheErrorOfTheLayer) {
  // A look-up-table activation without its table fails in every sample, here on worker threads.
  auto model = Model::create();
  model->add(make(LayerType::InputData, {{"input_width", 4}, {"input_height", 4}, {"input_channels", 2}}, "input"));
  model->add(make(LayerType::Conv2D, {{"filters", 3}, {"activation", 2}}, "conv"));
  const auto inputs = Dense::create(TensorType::uint8, Shape{5, 4, 4, 2});
  software::set_thread_count(4);
  try {
    model->forward(inputs, 0);
    ADD_FAILURE() << "forward without lut_values succeeded";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Layer conv: a look-up-table activation needs the variable lut_values.");
  }
  software::set_thread_count(0);
}

}  // namespace
}  // namespace qalto
