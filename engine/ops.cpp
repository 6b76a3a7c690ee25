#include "qalto/ops.hpp"

#include "engine/integer_kernels.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace qalto {

namespace {

// Any magnitude above this one saturates int32 whatever the left shift (at most 39 bits).
constexpr __int128 kSaturatingValue = static_cast<__int128>(1) << 40;

int32_t saturate(__int128 v) {
  return static_cast<int32_t>(std::clamp<__int128>(v, std::numeric_limits<int32_t>::min(),
                                                   std::numeric_limits<int32_t>::max()));
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

kernels::MapShape map_shape(const Shape& s) { return {s[0], s[1], s[2]}; }

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
    // A silently clipped padding would shift every window: refuse what int8 cannot hold.
    if (before > std::numeric_limits<int8_t>::max()) {
      throw std::invalid_argument("ImagePatches: the padding does not fit 8 bits.");
    }
    pad = static_cast<int8_t>(before);
  };
  axis(input[0], kx, sx, out_x, pad_x);
  axis(input[1], ky, sy, out_y, pad_y);
}

namespace ops {

int32_t shift_wide(__int128 value, int64_t shift) {
  if (value == 0) return 0;
  if (shift >= 0) {
    // Beyond these bounds every left shift saturates; within them the product fits easily.
    if (shift >= 40 || value > kSaturatingValue || value < -kSaturatingValue) {
      return value > 0 ? INT32_MAX : INT32_MIN;
    }
    return saturate(value * (static_cast<__int128>(1) << shift));
  }
  // Round half up as floor(value / 2^right) plus the highest bit shifted out: the same as
  // adding half first, without the addition that could overflow.
  constexpr int64_t kRightBound = 126;
  const int64_t right = shift < -kRightBound ? kRightBound : -shift;
  const __int128 floor = value >> right;
  const __int128 half_bit = (value >> (right - 1)) & 1;
  return saturate(floor + half_bit);
}

int32_t shift_value(int64_t value, int64_t shift) {
  // The common amounts without 128-bit arithmetic: the same rule, within int64 throughout.
  if (shift == 0) return saturate(value);
  if (shift < 0 && shift > -63) {
    const int64_t right = -shift;
    return saturate((value >> right) + ((value >> (right - 1)) & 1));
  }
  return shift_wide(value, shift);
}

DensePtr lshift(const ConstDensePtr& x, const ConstDensePtr& shifts, int32_t extra) {
  require(x && shifts, "lshift", "missing tensor.");
  const uint32_t channels = last_dim(*x);
  require_per_channel(*shifts, channels, "lshift");
  auto out = Dense::create(TensorType::int32, x->dimensions());
  const int32_t* in = x->data<int32_t>();
  const uint8_t* s = shifts->data<uint8_t>();
  int32_t* o = out->data<int32_t>();
  // Position by position, so that no element pays a division for its channel.
  const uint64_t count = x->size();
  for (uint64_t base = 0; base < count; base += channels) {
    for (uint32_t c = 0; c < channels; ++c) o[base + c] = shift_value(in[base + c], int64_t{s[c]} + extra);
  }
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
  for (uint64_t i = 0; i < x->size(); ++i) o[i] = shift_value(in[i], int64_t{s[i % channels]} + extra);
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
  kernels::conv2d(inputs->data<int32_t>(), map_shape(in), filters->data<int8_t>(),
                  {kernel, stride, pad_x, pad_y}, pad_value, {out_x, out_y, f_count},
                  out->data<int32_t>());
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
  kernels::depthwise_conv2d(inputs->data<int32_t>(), map_shape(in), filters->data<int8_t>(),
                            {kernel, stride, pad_x, pad_y}, {out_x, out_y, channels},
                            out->data<int32_t>());
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
  auto out = Dense::create(TensorType::int32, Shape{out_x, out_y, f_count});
  kernels::conv2d_transpose(inputs->data<int32_t>(), map_shape(in), filters->data<int8_t>(), fs[0],
                            fs[1], stride, pad_x, pad_y, {out_x, out_y, f_count},
                            out->data<int32_t>());
  return out;
}

DensePtr depthwise_conv2d_transpose(const ConstDensePtr& inputs, const ConstDensePtr& filters,
                                    uint8_t stride, int32_t pad_x, int32_t pad_y, uint32_t out_x,
                                    uint32_t out_y) {
  constexpr const char* op = "depthwise_conv2d_transpose";
  const Shape& in = require_map(inputs, op);
  require(filters && filters->dimensions().size() == 4, op, "expects (k, k, 1, c) filters.");
  const Shape& fs = filters->dimensions();
  require(fs[2] == 1 && fs[3] == in[2], op,
          "filters " + fs.to_string() + " do not suit the input " + in.to_string() + ".");
  require(stride >= 1, op, "the stride must be positive.");
  auto out = Dense::create(TensorType::int32, Shape{out_x, out_y, in[2]});
  kernels::depthwise_conv2d_transpose(inputs->data<int32_t>(), map_shape(in),
                                      filters->data<int8_t>(), fs[0], fs[1], stride, pad_x, pad_y,
                                      {out_x, out_y, in[2]}, out->data<int32_t>());
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
  std::vector<__int128> sums(out->size());
  kernels::weighted_sums(inputs->data<int32_t>(), rows, n, weights->data<int32_t>(), units,
                         transpose, sums.data());
  int32_t* o = out->data<int32_t>();
  for (size_t k = 0; k < sums.size(); ++k) o[k] = shift_wide(sums[k], shift_amount);
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
    __int128 sum = 0;
    for (uint64_t p = 0; p < count; ++p) sum += v[p * channels + c];
    // Round half up, also for negative sums (floor of sum / count + 1/2).
    const __int128 twice = 2 * sum + count;
    const __int128 denom = 2 * static_cast<__int128>(count);
    __int128 mean = twice / denom;
    if ((twice % denom != 0) && (twice < 0)) --mean;
    o[c] = shift_wide(mean, shift_amount);
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

DensePtr shift_out(const ConstDensePtr& x, const ConstDensePtr& shifts, int32_t extra) {
  require(x && shifts, "shift_out", "missing tensor.");
  const uint32_t channels = last_dim(*x);
  require_per_channel(*shifts, channels, "shift_out");
  auto out = Dense::create(TensorType::int32, x->dimensions());
  const int32_t* in = x->data<int32_t>();
  const int8_t* s = shifts->data<int8_t>();
  int32_t* o = out->data<int32_t>();
  for (uint64_t i = 0; i < x->size(); ++i) {
    const int64_t amount = int64_t{s[i % channels]} + extra;
    if (amount >= 0) {
      o[i] = shift_value(in[i], amount);
    } else {
      // A right shift of 31 bits or more leaves only the sign.
      o[i] = amount <= -31 ? (in[i] < 0 ? -1 : 0) : in[i] >> -amount;
    }
  }
  return out;
}

namespace {

// Per-channel scale factors of scale_out, which come as uint8 or uint16.
std::vector<uint32_t> scale_factors(const Dense& scales, uint32_t channels) {
  require_per_channel(scales, channels, "scale_out");
  std::vector<uint32_t> factors(channels);
  if (scales.type() == TensorType::uint16) {
    const uint16_t* s = scales.data<uint16_t>();
    for (uint32_t c = 0; c < channels; ++c) factors[c] = s[c];
  } else {
    const uint8_t* s = scales.data<uint8_t>();
    for (uint32_t c = 0; c < channels; ++c) factors[c] = s[c];
  }
  return factors;
}

}  // namespace

DensePtr scale_out(const ConstDensePtr& x, const ConstDensePtr& scales,
                   const ConstDensePtr& shifts, int32_t extra, int32_t zero_point) {
  require(x && scales && shifts, "scale_out", "missing tensor.");
  const uint32_t channels = last_dim(*x);
  const std::vector<uint32_t> factors = scale_factors(*scales, channels);
  require_per_channel(*shifts, channels, "scale_out");
  auto out = Dense::create(TensorType::int32, x->dimensions());
  const int32_t* in = x->data<int32_t>();
  const int8_t* s = shifts->data<int8_t>();
  int32_t* o = out->data<int32_t>();
  for (uint64_t i = 0; i < x->size(); ++i) {
    const uint32_t c = static_cast<uint32_t>(i % channels);
    const int32_t scaled = shift_value(int64_t{in[i]} * factors[c], int64_t{s[c]} + extra);
    o[i] = saturate(__int128{scaled} + zero_point);
  }
  return out;
}

DensePtr linearize_filters(const ConstDensePtr& filters) {
  require(filters && filters->dimensions().size() == 4, "linearize_filters",
          "expects (kx, ky, c, f) filters.");
  const Shape& fs = filters->dimensions();
  const uint32_t f_count = fs[3];
  const uint64_t row = uint64_t{fs[0]} * fs[1] * fs[2];
  require(row <= UINT32_MAX, "linearize_filters", "the filters are too large.");
  auto out = Dense::create(TensorType::int8, Shape{f_count, static_cast<uint32_t>(row)});
  const int8_t* w = filters->data<int8_t>();
  int8_t* o = out->data<int8_t>();
  for (uint64_t k = 0; k < row; ++k) {
    for (uint32_t f = 0; f < f_count; ++f) o[uint64_t{f} * row + k] = w[k * f_count + f];
  }
  return out;
}

DensePtr input_conv2d(const ConstDensePtr& inputs, const ConstDensePtr& pad_values,
                      int8_t pad_x, int8_t pad_y, int32_t stride_x, int32_t stride_y,
                      int32_t kernel_x, int32_t kernel_y, uint32_t out_x, uint32_t out_y,
                      int32_t filter_x, int32_t filter_y, const ConstDensePtr& linear) {
  const Shape& in = require_map(inputs, "input_conv2d");
  require(pad_values && linear, "input_conv2d", "missing tensor.");
  require(kernel_x >= 1 && kernel_y >= 1 && stride_x >= 1 && stride_y >= 1, "input_conv2d",
          "kernel and stride must be positive.");
  require(kernel_x == filter_x && kernel_y == filter_y, "input_conv2d",
          "the window differs from the filters' kernel.");
  const uint32_t c_count = in[2];
  require_per_channel(*pad_values, c_count, "input_conv2d");
  const uint64_t row = uint64_t(kernel_x) * uint64_t(kernel_y) * c_count;
  const Shape& ls = linear->dimensions();
  require(ls.size() == 2 && ls[1] == row, "input_conv2d",
          "linearized filters " + ls.to_string() + " do not suit the input " + in.to_string() +
              ".");
  const uint32_t f_count = ls[0];
  auto out = Dense::create(TensorType::int32, Shape{out_x, out_y, f_count});
  const uint8_t* x = inputs->data<uint8_t>();
  const uint8_t* pad = pad_values->data<uint8_t>();
  const int8_t* w = linear->data<int8_t>();
  int32_t* o = out->data<int32_t>();
  std::vector<int32_t> patch(row);
  for (uint32_t ox = 0; ox < out_x; ++ox) {
    for (uint32_t oy = 0; oy < out_y; ++oy) {
      // Gather the patch once, in the linearized order, then take one dot product per filter.
      uint64_t k = 0;
      for (int32_t i = 0; i < kernel_x; ++i) {
        for (int32_t j = 0; j < kernel_y; ++j) {
          const int64_t px = int64_t{ox} * stride_x + i - pad_x;
          const int64_t py = int64_t{oy} * stride_y + j - pad_y;
          const bool inside = px >= 0 && py >= 0 && px < in[0] && py < in[1];
          for (uint32_t c = 0; c < c_count; ++c, ++k) {
            patch[k] = inside ? x[(uint64_t(px) * in[1] + uint64_t(py)) * c_count + c] : pad[c];
          }
        }
      }
      for (uint32_t f = 0; f < f_count; ++f) {
        __int128 acc = 0;
        const int8_t* filter = w + uint64_t{f} * row;
        for (uint64_t r = 0; r < row; ++r) acc += int64_t{patch[r]} * filter[r];
        o[(uint64_t{ox} * out_y + oy) * f_count + f] = saturate(acc);
      }
    }
  }
  return out;
}

void fifo_op(const DensePtr& fifo, const ConstDensePtr& frame) {
  require(fifo && frame, "fifo_op", "missing tensor.");
  const uint64_t frames = fifo->dimensions()[0];
  const uint64_t frame_size = fifo->size() / frames;
  require(frame->size() == frame_size, "fifo_op",
          "expects frames of " + std::to_string(frame_size) + " values, got " +
              std::to_string(frame->size()) + ".");
  int8_t* buffer = fifo->data<int8_t>();
  const int8_t* incoming = frame->data<int8_t>();
  std::memmove(buffer, buffer + frame_size, (frames - 1) * frame_size);
  std::memcpy(buffer + (frames - 1) * frame_size, incoming, frame_size);
}

DensePtr depthwise_like_conv(const ConstDensePtr& x, const ConstDensePtr& kernel,
                             int32_t shift_amount) {
  require(x && kernel, "depthwise_like_conv", "missing tensor.");
  require(x->dimensions() == kernel->dimensions(), "depthwise_like_conv",
          "the input " + x->dimensions().to_string() + " and the kernel " +
              kernel->dimensions().to_string() + " differ in shape.");
  const uint32_t channels = last_dim(*x);
  auto out = Dense::create(TensorType::int32, Shape{channels});
  const int32_t* in = x->data<int32_t>();
  const int8_t* w = kernel->data<int8_t>();
  std::vector<__int128> acc(channels, 0);
  for (uint64_t i = 0; i < x->size(); ++i) acc[i % channels] += int64_t{in[i]} * w[i];
  int32_t* o = out->data<int32_t>();
  for (uint32_t c = 0; c < channels; ++c) o[c] = shift_wide(acc[c], shift_amount);
  return out;
}

std::pair<DensePtr, DensePtr> update_internal_state(
    const ConstDensePtr& inputs, const ConstDensePtr& weights, const DensePtr& state_1,
    const DensePtr& state_2, const ConstDensePtr& decay_1, const ConstDensePtr& decay_2,
    int32_t state_shift, int32_t output_shift) {
  constexpr const char* op = "update_internal_state";
  require(inputs && weights && state_1 && state_2 && decay_1 && decay_2, op, "missing tensor.");
  const Shape& ws = weights->dimensions();
  require(ws.size() == 2, op, "expects (n, m) weights.");
  const uint32_t n = ws[0];
  const uint32_t m = ws[1];
  require(inputs->size() == n, op,
          "expects " + std::to_string(n) + " inputs, got " + std::to_string(inputs->size()) + ".");
  for (const Dense* per_unit : {static_cast<const Dense*>(state_1.get()),
                                static_cast<const Dense*>(state_2.get()), decay_1.get(),
                                decay_2.get()}) {
    require(per_unit->size() == m, op,
            "expects " + std::to_string(m) + " values per state or factor, got " +
                std::to_string(per_unit->size()) + ".");
  }
  const int32_t* x = inputs->data<int32_t>();
  const int8_t* w = weights->data<int8_t>();
  const int16_t* a1 = decay_1->data<int16_t>();
  const int16_t* a2 = decay_2->data<int16_t>();
  // Type checks of the writable states come before any of them changes.
  int32_t* s1 = state_1->data<int32_t>();
  int32_t* s2 = state_2->data<int32_t>();
  auto outputs = Dense::create(TensorType::int32, Shape{m});
  auto states = Dense::create(TensorType::int32, Shape{2, m});
  int32_t* y = outputs->data<int32_t>();
  int32_t* st = states->data<int32_t>();
  for (uint32_t j = 0; j < m; ++j) {
    __int128 projection = 0;
    for (uint32_t i = 0; i < n; ++i) projection += int64_t{x[i]} * w[uint64_t{i} * m + j];
    s1[j] = shift_wide(__int128{a1[j]} * s1[j] + projection, state_shift);
    s2[j] = shift_wide(__int128{a2[j]} * s2[j] + s1[j], state_shift);
    y[j] = shift_value(s2[j], output_shift);
    st[j] = s1[j];
    st[uint64_t{m} + j] = s2[j];
  }
  return {outputs, states};
}

DensePtr subsampling(const ConstDensePtr& x, uint8_t factor) {
  require(x != nullptr, "subsampling", "missing tensor.");
  require(factor >= 1, "subsampling", "the factor must be positive.");
  const Shape& in = x->dimensions();
  const uint64_t frames = in[0];
  const uint64_t frame_size = x->size() / frames;
  std::vector<uint32_t> dims = in.to_vector();
  dims[0] = static_cast<uint32_t>((frames + factor - 1) / factor);
  auto out = Dense::create(TensorType::int32, Shape(dims));
  const int32_t* v = x->data<int32_t>();
  int32_t* o = out->data<int32_t>();
  for (uint64_t f = 0; f < dims[0]; ++f) {
    std::memcpy(o + f * frame_size, v + f * factor * frame_size, sizeof(int32_t) * frame_size);
  }
  return out;
}

DensePtr mivo_post_processing(const ConstDensePtr& x, const ConstDensePtr& offsets,
                              const ConstDensePtr& scales, int32_t shift_amount, bool relu) {
  require(x && offsets && scales, "mivo_post_processing", "missing tensor.");
  const uint32_t channels = last_dim(*x);
  require_per_channel(*offsets, channels, "mivo_post_processing");
  require_per_channel(*scales, channels, "mivo_post_processing");
  auto out = Dense::create(TensorType::int16, x->dimensions());
  const int16_t* in = x->data<int16_t>();
  const int16_t* off = offsets->data<int16_t>();
  const uint16_t* sc = scales->data<uint16_t>();
  int16_t* o = out->data<int16_t>();
  for (uint64_t i = 0; i < x->size(); ++i) {
    const uint64_t c = i % channels;
    int32_t v = shift_value((int64_t{in[i]} - off[c]) * sc[c], shift_amount);
    v = std::clamp<int32_t>(v, relu ? 0 : INT16_MIN, INT16_MAX);
    o[i] = static_cast<int16_t>(v);
  }
  return out;
}

}  // namespace ops
}  // namespace qalto
