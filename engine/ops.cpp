#include "qalto/ops.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace qalto {

namespace {

int32_t saturate(int64_t v) {
  return static_cast<int32_t>(
      std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

void require(bool condition, const char* op, const std::string& what) {
  if (!condition) throw std::invalid_argument(std::string(op) + ": " + what);
}

const Shape& require_map(const ops::ConstDensePtr& x, const char* op) {
  require(x != nullptr, op, "missing tensor.");
  require(x->dimensions().size() == 3, op, "expects an (x, y, c) tensor, got " +
                                               x->dimensions().to_string() + ".");
  return x->dimensions();
}

uint32_t last_dim(const Dense& x) { return x.dimensions()[x.dimensions().size() - 1]; }

void require_per_channel(const Dense& values, uint32_t channels, const char* op) {
  require(values.size() == channels, op,
          "expects " + std::to_string(channels) + " per-channel values, got " +
              std::to_string(values.size()) + ".");
}

}  // namespace

ImagePatches::ImagePatches(int32_t kx, int32_t ky, int32_t sx, int32_t sy, Padding padding,
                           const Shape& input)
    : kernel_x(kx), kernel_y(ky), stride_x(sx), stride_y(sy), out_x(0), out_y(0), pad_x(0),
      pad_y(0) {
  if (kx < 1 || ky < 1 || sx < 1 || sy < 1) {
    throw std::invalid_argument("ImagePatches: kernel and stride must be positive.");
  }
  if (input.size() < 2) {
    throw std::invalid_argument("ImagePatches: the input needs at least two dimensions.");
  }
  auto axis = [padding](uint32_t in, int32_t k, int32_t s, uint32_t& out, int8_t& pad) {
    if (padding == Padding::Valid) {
      if (in < static_cast<uint32_t>(k)) {
        throw std::invalid_argument("ImagePatches: the kernel is larger than the input.");
      }
      out = (in - k) / s + 1;
      pad = 0;
      return;
    }
    out = static_cast<uint32_t>((uint64_t{in} + s - 1) / s);
    const int64_t total = std::max<int64_t>((int64_t{out} - 1) * s + k - in, 0);
    const int64_t before = padding == Padding::Same ? total / 2 : total - total / 2;
    pad = static_cast<int8_t>(std::min<int64_t>(before, std::numeric_limits<int8_t>::max()));
  };
  axis(input[0], kx, sx, out_x, pad_x);
  axis(input[1], ky, sy, out_y, pad_y);
}

namespace ops {

int32_t shift_value(int64_t value, int32_t shift) {
  if (shift >= 0) {
    if (shift >= 32) return value == 0 ? 0 : saturate(value > 0 ? INT64_MAX : INT64_MIN);
    const int64_t limit = int64_t{1} << (62 - shift);
    if (value >= limit || value <= -limit) return saturate(value > 0 ? INT64_MAX : INT64_MIN);
    return saturate(value * (int64_t{1} << shift));
  }
  const int32_t right = std::min(-shift, 62);
  return saturate((value + (int64_t{1} << (right - 1))) >> right);
}

DensePtr lshift(const ConstDensePtr& x, const ConstDensePtr& shifts, int32_t extra) {
  require(x && shifts, "lshift", "missing tensor.");
  const uint32_t channels = last_dim(*x);
  require_per_channel(*shifts, channels, "lshift");
  auto out = Dense::create(TensorType::int32, x->dimensions());
  const int32_t* in = x->data<int32_t>();
  const uint8_t* s = shifts->data<uint8_t>();
  int32_t* o = out->data<int32_t>();
  for (uint64_t i = 0; i < x->size(); ++i) o[i] = shift_value(in[i], s[i % channels] + extra);
  return out;
}

DensePtr shift(const ConstDensePtr& x, const ConstDensePtr& shifts, int32_t extra) {
  require(x && shifts, "shift", "missing tensor.");
  const uint32_t channels = last_dim(*x);
  require_per_channel(*shifts, channels, "shift");
  auto out = Dense::create(TensorType::int32, x->dimensions());
  const int32_t* in = x->data<int32_t>();
  const int8_t* s = shifts->data<int8_t>();
  int32_t* o = out->data<int32_t>();
  for (uint64_t i = 0; i < x->size(); ++i) o[i] = shift_value(in[i], s[i % channels] + extra);
  return out;
}

DensePtr add(const ConstDensePtr& a, const ConstDensePtr& b, int32_t shift_amount) {
  require(a && b, "add", "missing tensor.");
  require(a->dimensions() == b->dimensions(), "add", "the operands differ in shape.");
  auto out = Dense::create(TensorType::int32, a->dimensions());
  const int32_t* pa = a->data<int32_t>();
  const int32_t* pb = b->data<int32_t>();
  int32_t* o = out->data<int32_t>();
  for (uint64_t i = 0; i < a->size(); ++i) o[i] = shift_value(int64_t{pa[i]} + pb[i], shift_amount);
  return out;
}

DensePtr concatenate_last_dim(const std::vector<ConstDensePtr>& tensors) {
  require(!tensors.empty() && tensors.front(), "concatenate", "nothing to join.");
  const Shape& first = tensors.front()->dimensions();
  const size_t rank = first.size();
  uint64_t channels = 0;
  for (const auto& t : tensors) {
    require(t != nullptr, "concatenate", "missing tensor.");
    const Shape& s = t->dimensions();
    require(s.size() == rank, "concatenate", "the tensors differ in rank.");
    for (size_t d = 0; d + 1 < rank; ++d) {
      require(s[d] == first[d], "concatenate", "the tensors differ in their leading dimensions.");
    }
    channels += s[rank - 1];
  }
  require(channels <= UINT32_MAX, "concatenate", "too many channels.");
  std::vector<uint32_t> dims = first.to_vector();
  dims.back() = static_cast<uint32_t>(channels);
  auto out = Dense::create(TensorType::int32, Shape(dims));
  const uint64_t rows = first.elements() / first[rank - 1];
  int32_t* o = out->data<int32_t>();
  for (uint64_t r = 0; r < rows; ++r) {
    for (const auto& t : tensors) {
      const uint32_t c = last_dim(*t);
      std::memcpy(o, t->data<int32_t>() + r * c, sizeof(int32_t) * c);
      o += c;
    }
  }
  return out;
}

DensePtr conv2d_v2(const ConstDensePtr& inputs, int8_t pad_x, int8_t pad_y, int32_t kernel,
                   int32_t stride, uint32_t out_x, uint32_t out_y, const ConstDensePtr& filters,
                   int32_t pad_value) {
  const Shape& in = require_map(inputs, "conv2d");
  require(filters && filters->dimensions().size() == 4, "conv2d", "expects (k, k, c, f) filters.");
  const Shape& fs = filters->dimensions();
  require(kernel >= 1 && stride >= 1, "conv2d", "kernel and stride must be positive.");
  require(fs[0] == static_cast<uint32_t>(kernel) && fs[1] == static_cast<uint32_t>(kernel) &&
              fs[2] == in[2],
          "conv2d", "filters " + fs.to_string() + " do not suit the input " + in.to_string() + ".");
  const uint32_t f_count = fs[3];
  auto out = Dense::create(TensorType::int32, Shape{out_x, out_y, f_count});
  const int32_t* x = inputs->data<int32_t>();
  const int8_t* w = filters->data<int8_t>();
  int32_t* o = out->data<int32_t>();
  const uint32_t c_count = in[2];
  for (uint32_t ox = 0; ox < out_x; ++ox) {
    for (uint32_t oy = 0; oy < out_y; ++oy) {
      for (uint32_t f = 0; f < f_count; ++f) {
        int64_t acc = 0;
        for (int32_t i = 0; i < kernel; ++i) {
          for (int32_t j = 0; j < kernel; ++j) {
            const int64_t px = int64_t{ox} * stride + i - pad_x;
            const int64_t py = int64_t{oy} * stride + j - pad_y;
            const bool inside = px >= 0 && py >= 0 && px < in[0] && py < in[1];
            for (uint32_t c = 0; c < c_count; ++c) {
              const int64_t v = inside ? x[(uint64_t(px) * in[1] + uint64_t(py)) * c_count + c]
                                       : pad_value;
              acc += v * w[((uint64_t(i) * kernel + j) * c_count + c) * f_count + f];
            }
          }
        }
        o[(uint64_t{ox} * out_y + oy) * f_count + f] = saturate(acc);
      }
    }
  }
  return out;
}

DensePtr depthwise_conv2d(const ConstDensePtr& inputs, int8_t pad_x, int8_t pad_y,
                          int32_t kernel, int32_t stride, uint32_t out_x, uint32_t out_y,
                          const ConstDensePtr& filters) {
  const Shape& in = require_map(inputs, "depthwise_conv2d");
  require(filters && filters->dimensions().size() == 4, "depthwise_conv2d",
          "expects (k, k, 1, c) filters.");
  const Shape& fs = filters->dimensions();
  require(kernel >= 1 && stride >= 1, "depthwise_conv2d", "kernel and stride must be positive.");
  require(fs[0] == static_cast<uint32_t>(kernel) && fs[1] == static_cast<uint32_t>(kernel) &&
              fs[2] == 1 && fs[3] == in[2],
          "depthwise_conv2d",
          "filters " + fs.to_string() + " do not suit the input " + in.to_string() + ".");
  const uint32_t channels = in[2];
  auto out = Dense::create(TensorType::int32, Shape{out_x, out_y, channels});
  const int32_t* x = inputs->data<int32_t>();
  const int8_t* w = filters->data<int8_t>();
  int32_t* o = out->data<int32_t>();
  for (uint32_t ox = 0; ox < out_x; ++ox) {
    for (uint32_t oy = 0; oy < out_y; ++oy) {
      for (uint32_t c = 0; c < channels; ++c) {
        int64_t acc = 0;
        for (int32_t i = 0; i < kernel; ++i) {
          for (int32_t j = 0; j < kernel; ++j) {
            const int64_t px = int64_t{ox} * stride + i - pad_x;
            const int64_t py = int64_t{oy} * stride + j - pad_y;
            if (px < 0 || py < 0 || px >= in[0] || py >= in[1]) continue;
            acc += int64_t{x[(uint64_t(px) * in[1] + uint64_t(py)) * channels + c]} *
                   w[(uint64_t(i) * kernel + j) * channels + c];
          }
        }
        o[(uint64_t{ox} * out_y + oy) * channels + c] = saturate(acc);
      }
    }
  }
  return out;
}

DensePtr conv2d_transpose(const ConstDensePtr& inputs, const ConstDensePtr& filters,
                          uint8_t stride, int32_t pad_x, int32_t pad_y, uint32_t out_x,
                          uint32_t out_y) {
  const Shape& in = require_map(inputs, "conv2d_transpose");
  require(filters && filters->dimensions().size() == 4, "conv2d_transpose",
          "expects (k, k, c, f) filters.");
  const Shape& fs = filters->dimensions();
  require(fs[2] == in[2], "conv2d_transpose", "filters do not suit the input.");
  require(stride >= 1, "conv2d_transpose", "the stride must be positive.");
  const uint32_t f_count = fs[3];
  const uint32_t c_count = in[2];
  auto out = Dense::create(TensorType::int32, Shape{out_x, out_y, f_count});
  std::vector<int64_t> acc(out->size(), 0);
  const int32_t* x = inputs->data<int32_t>();
  const int8_t* w = filters->data<int8_t>();
  for (uint32_t ix = 0; ix < in[0]; ++ix) {
    for (uint32_t iy = 0; iy < in[1]; ++iy) {
      for (uint32_t i = 0; i < fs[0]; ++i) {
        for (uint32_t j = 0; j < fs[1]; ++j) {
          const int64_t px = int64_t{ix} * stride + i - pad_x;
          const int64_t py = int64_t{iy} * stride + j - pad_y;
          if (px < 0 || py < 0 || px >= out_x || py >= out_y) continue;
          for (uint32_t c = 0; c < c_count; ++c) {
            const int64_t v = x[(uint64_t{ix} * in[1] + iy) * c_count + c];
            for (uint32_t f = 0; f < f_count; ++f) {
              acc[(uint64_t(px) * out_y + uint64_t(py)) * f_count + f] +=
                  v * w[((uint64_t{i} * fs[1] + j) * c_count + c) * f_count + f];
            }
          }
        }
      }
    }
  }
  int32_t* o = out->data<int32_t>();
  for (size_t k = 0; k < acc.size(); ++k) o[k] = saturate(acc[k]);
  return out;
}

DensePtr matmul(const ConstDensePtr& inputs, const ConstDensePtr& weights, int32_t shift_amount,
                bool transpose) {
  require(inputs && weights, "matmul", "missing tensor.");
  require(weights->dimensions().size() == 2, "matmul", "expects 2-D weights.");
  const Shape& ws = weights->dimensions();
  const uint32_t n = transpose ? ws[1] : ws[0];
  const uint32_t units = transpose ? ws[0] : ws[1];
  const Shape& is = inputs->dimensions();
  require(is.size() <= 2 && is[is.size() - 1] == n, "matmul",
          "inputs " + is.to_string() + " do not suit weights " + ws.to_string() + ".");
  const uint32_t rows = is.size() == 2 ? is[0] : 1;
  auto out = Dense::create(TensorType::int32,
                           is.size() == 2 ? Shape{rows, units} : Shape{units});
  const int32_t* x = inputs->data<int32_t>();
  const int32_t* w = weights->data<int32_t>();
  int32_t* o = out->data<int32_t>();
  for (uint32_t r = 0; r < rows; ++r) {
    for (uint32_t u = 0; u < units; ++u) {
      int64_t acc = 0;
      for (uint32_t k = 0; k < n; ++k) {
        const int64_t wv = transpose ? w[uint64_t{u} * n + k] : w[uint64_t{k} * units + u];
        acc += int64_t{x[uint64_t{r} * n + k]} * wv;
      }
      o[uint64_t{r} * units + u] = shift_value(acc, shift_amount);
    }
  }
  return out;
}

DensePtr relu_activation(const ConstDensePtr& x, const ConstDensePtr& max_values) {
  require(x && max_values, "relu_activation", "missing tensor.");
  const uint32_t channels = last_dim(*x);
  require_per_channel(*max_values, channels, "relu_activation");
  auto out = Dense::create(TensorType::int32, x->dimensions());
  const int32_t* in = x->data<int32_t>();
  const int32_t* m = max_values->data<int32_t>();
  int32_t* o = out->data<int32_t>();
  for (uint64_t i = 0; i < x->size(); ++i) {
    o[i] = std::clamp(in[i], 0, std::max(m[i % channels], 0));
  }
  return out;
}

DensePtr look_up(const ConstDensePtr& x, const ConstDensePtr& lut) {
  require(x && lut && lut->size() > 0, "look_up", "missing or empty table.");
  auto out = Dense::create(TensorType::int32, x->dimensions());
  const int32_t* in = x->data<int32_t>();
  const int32_t* table = lut->data<int32_t>();
  const int64_t last = static_cast<int64_t>(lut->size()) - 1;
  int32_t* o = out->data<int32_t>();
  for (uint64_t i = 0; i < x->size(); ++i) o[i] = table[std::clamp<int64_t>(in[i], 0, last)];
  return out;
}

DensePtr max_pooling(const ConstDensePtr& x, int8_t pool_x, int8_t pool_y, bool global,
                     uint32_t out_x, uint32_t out_y, int8_t pad_x, int8_t pad_y,
                     int32_t stride_x, int32_t stride_y, int32_t kernel_x, int32_t kernel_y,
                     int32_t shift_amount) {
  const Shape& in = require_map(x, "max_pooling");
  if (global) {
    kernel_x = static_cast<int32_t>(in[0]);
    kernel_y = static_cast<int32_t>(in[1]);
    out_x = out_y = 1;
    pad_x = pad_y = 0;
    stride_x = stride_y = 1;
  } else {
    if (pool_x > 0) kernel_x = pool_x;
    if (pool_y > 0) kernel_y = pool_y;
  }
  require(kernel_x >= 1 && kernel_y >= 1 && stride_x >= 1 && stride_y >= 1, "max_pooling",
          "window and stride must be positive.");
  const uint32_t channels = in[2];
  auto out = Dense::create(TensorType::int32, Shape{out_x, out_y, channels});
  const int32_t* v = x->data<int32_t>();
  int32_t* o = out->data<int32_t>();
  for (uint32_t ox = 0; ox < out_x; ++ox) {
    for (uint32_t oy = 0; oy < out_y; ++oy) {
      for (uint32_t c = 0; c < channels; ++c) {
        int64_t best = std::numeric_limits<int32_t>::min();
        for (int32_t i = 0; i < kernel_x; ++i) {
          for (int32_t j = 0; j < kernel_y; ++j) {
            const int64_t px = int64_t{ox} * stride_x + i - pad_x;
            const int64_t py = int64_t{oy} * stride_y + j - pad_y;
            if (px < 0 || py < 0 || px >= in[0] || py >= in[1]) continue;
            best = std::max<int64_t>(best, v[(uint64_t(px) * in[1] + uint64_t(py)) * channels + c]);
          }
        }
        o[(uint64_t{ox} * out_y + oy) * channels + c] = shift_value(best, shift_amount);
      }
    }
  }
  return out;
}

DensePtr global_average_pooling(const ConstDensePtr& x, int32_t shift_amount) {
  const Shape& in = require_map(x, "global_average_pooling");
  const uint32_t channels = in[2];
  const uint64_t count = uint64_t{in[0]} * in[1];
  auto out = Dense::create(TensorType::int32, Shape{1, 1, channels});
  const int32_t* v = x->data<int32_t>();
  int32_t* o = out->data<int32_t>();
  for (uint32_t c = 0; c < channels; ++c) {
    int64_t sum = 0;
    for (uint64_t p = 0; p < count; ++p) sum += v[p * channels + c];
    // Round half up, also for negative sums (floor of sum / count + 1/2).
    const int64_t twice = 2 * sum + static_cast<int64_t>(count);
    const int64_t denom = 2 * static_cast<int64_t>(count);
    int64_t mean = twice / denom;
    if ((twice % denom != 0) && (twice < 0)) --mean;
    o[c] = shift_value(mean, shift_amount);
  }
  return out;
}

DensePtr dequantize(const ConstDensePtr& x, const ConstDensePtr& scales) {
  require(x && scales, "dequantize", "missing tensor.");
  const uint32_t channels = last_dim(*x);
  require_per_channel(*scales, channels, "dequantize");
  auto out = Dense::create(TensorType::float32, x->dimensions());
  const int32_t* in = x->data<int32_t>();
  const float* s = scales->data<float>();
  float* o = out->data<float>();
  for (uint64_t i = 0; i < x->size(); ++i) o[i] = static_cast<float>(in[i]) * s[i % channels];
  return out;
}

}  // namespace ops
}  // namespace qalto
