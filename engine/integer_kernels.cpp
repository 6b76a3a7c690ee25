#include "engine/integer_kernels.hpp"

#include <algorithm>
#include <limits>
#include <type_traits>
#include <vector>

// Every innermost loop runs over consecutive memory (channels, filters, or the taps of one
// filter) with no branch, so the compiler turns it into SIMD code: the 16-bit arithmetic into
// multiply-adds of 16-bit pairs, the 32-bit one into 32-bit multiplies and adds. Conv2D, the
// heaviest, keeps to 16-bit operands for nearly every int32 map (conv2d_16bit).

namespace qalto::kernels {

namespace {

uint64_t magnitude(int64_t v) { return v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v); }

template <typename T>
uint64_t max_magnitude(const T* v, uint64_t count) {
  T low = 0;
  T high = 0;
  for (uint64_t i = 0; i < count; ++i) {
    low = std::min(low, v[i]);
    high = std::max(high, v[i]);
  }
  return std::max(magnitude(low), magnitude(high));
}

// The largest magnitude of an int8 weight, without a pass over the weights: a weight tensor
// can be far larger than the map it meets (dense layers), and the pass would cost as much as
// the products.
constexpr uint64_t kMaxInt8 = 128;

// a * b in the accumulator's arithmetic. A 128-bit sum takes 64-bit products: int32 operands
// cannot overflow them, and a 64-bit multiply is far cheaper than a 128-bit one.
template <typename Acc, typename Op>
inline Acc product(Op a, Op b) {
  if constexpr (std::is_same_v<Acc, __int128>) {
    return static_cast<int64_t>(a) * static_cast<int64_t>(b);
  } else {
    return static_cast<Acc>(a) * static_cast<Acc>(b);
  }
}

template <typename Acc>
int32_t saturated(Acc v) {
  if constexpr (sizeof(Acc) <= sizeof(int32_t)) {
    return v;  // the arithmetic was chosen so that the sum fits
  } else {
    return static_cast<int32_t>(std::clamp<Acc>(v, std::numeric_limits<int32_t>::min(),
                                                std::numeric_limits<int32_t>::max()));
  }
}

// Calls fn(Op{}, Acc{}) with the operand and accumulator types of the arithmetic.
template <typename Fn>
void with_types(Arithmetic arithmetic, Fn&& fn) {
  switch (arithmetic) {
    case Arithmetic::Int16: return fn(int16_t{}, int32_t{});
    case Arithmetic::Int32: return fn(int32_t{}, int32_t{});
    case Arithmetic::Int64: return fn(int32_t{}, int64_t{});
    case Arithmetic::Int128: return fn(int32_t{}, __int128{});
  }
}

// Kernels that read the map in place take its int32 values as they are: 16-bit operands would
// need a converted copy of the map first.
Arithmetic in_place(Arithmetic arithmetic) {
  return arithmetic == Arithmetic::Int16 ? Arithmetic::Int32 : arithmetic;
}

template <typename To, typename From>
std::vector<To> converted(const From* values, uint64_t count) {
  return std::vector<To>(values, values + count);
}

// ---- convolution ----

// The input values under the window of output (ox, oy) in (i, j, c) order, the order of the
// taps of a filter; positions outside the input read `pad_value`.
template <typename Op>
void gather_patch(const int32_t* in, MapShape is, const Window& win, uint32_t ox, uint32_t oy,
                  int32_t pad_value, Op* patch) {
  for (int32_t i = 0; i < win.kernel; ++i) {
    const int64_t px = int64_t{ox} * win.stride + i - win.pad_x;
    for (int32_t j = 0; j < win.kernel; ++j, patch += is.c) {
      const int64_t py = int64_t{oy} * win.stride + j - win.pad_y;
      if (px < 0 || py < 0 || px >= is.x || py >= is.y) {
        std::fill(patch, patch + is.c, static_cast<Op>(pad_value));
        continue;
      }
      const int32_t* source = in + (static_cast<uint64_t>(px) * is.y + static_cast<uint64_t>(py)) * is.c;
      for (uint32_t c = 0; c < is.c; ++c) patch[c] = static_cast<Op>(source[c]);
    }
  }
}

// sums[f] = patch . filters[f] over `taps` values, for `count` filters whose rows start
// `stride` values apart. Four filters share each pass over the patch, so every patch value
// loaded serves four products.
template <typename Op, typename Acc>
void dot_products(const Op* patch, const Op* filters, uint64_t stride, uint64_t taps,
                  uint32_t count, Acc* sums) {
  uint32_t f = 0;
  for (; f + 4 <= count; f += 4) {
    const Op* r0 = filters + f * stride;
    const Op* r1 = r0 + stride;
    const Op* r2 = r1 + stride;
    const Op* r3 = r2 + stride;
    Acc s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    for (uint64_t t = 0; t < taps; ++t) {
      s0 += product<Acc>(patch[t], r0[t]);
      s1 += product<Acc>(patch[t], r1[t]);
      s2 += product<Acc>(patch[t], r2[t]);
      s3 += product<Acc>(patch[t], r3[t]);
    }
    sums[f] = s0;
    sums[f + 1] = s1;
    sums[f + 2] = s2;
    sums[f + 3] = s3;
  }
  for (; f < count; ++f) {
    const Op* row = filters + f * stride;
    Acc s = 0;
    for (uint64_t t = 0; t < taps; ++t) s += product<Acc>(patch[t], row[t]);
    sums[f] = s;
  }
}

// One row of taps per filter, so that a dot product reads both operands in order.
template <typename Op>
std::vector<Op> filter_rows(const int8_t* w, uint64_t taps, uint32_t filters) {
  std::vector<Op> rows(taps * filters);
  for (uint64_t t = 0; t < taps; ++t) {
    for (uint32_t f = 0; f < filters; ++f) rows[f * taps + t] = w[t * filters + f];
  }
  return rows;
}

// Values below this magnitude split into 16-bit halves x = high * 2^16 + low with low the
// signed low 16 bits (|low| <= 2^15) and |high| <= 2^15 - 1.
constexpr uint64_t kSplitLimit = 0x7FFF8000;
// The products of 16-bit parts with int8 weights stay within 2^15 * 128 = 2^22; int32 sums of
// up to this many of them cannot overflow.
constexpr uint64_t kHalfChunk = std::numeric_limits<int32_t>::max() / (uint64_t{1} << 22);

// How a map meets the 16-bit convolution: split into halves or not, and the number of taps
// whose products an int32 sum can take.
struct SixteenBit {
  bool halves;
  uint64_t chunk;
};

template <typename Op, typename Acc>
void conv2d_with(const int32_t* in, MapShape is, const int8_t* w, const Window& win,
                 int32_t pad_value, MapShape os, int32_t* out) {
  const uint32_t filters = os.c;
  const uint64_t taps = uint64_t(win.kernel) * uint64_t(win.kernel) * is.c;
  const std::vector<Op> rows = filter_rows<Op>(w, taps, filters);
  std::vector<Op> patch(taps);
  std::vector<Acc> sums(filters);
  for (uint32_t ox = 0; ox < os.x; ++ox) {
    for (uint32_t oy = 0; oy < os.y; ++oy) {
      gather_patch(in, is, win, ox, oy, pad_value, patch.data());
      dot_products(patch.data(), rows.data(), taps, taps, filters, sums.data());
      int32_t* target = out + (uint64_t{ox} * os.y + oy) * filters;
      for (uint32_t f = 0; f < filters; ++f) target[f] = saturated(sums[f]);
    }
  }
}

// Adds patch . filters[f] to totals[f], `chunk` taps per int32 sum.
void add_dot_products(const int16_t* patch, const int16_t* rows, uint64_t taps, uint64_t chunk,
                      uint32_t filters, int32_t* sums, int64_t* totals) {
  for (uint64_t first = 0; first < taps; first += chunk) {
    const uint64_t length = std::min(chunk, taps - first);
    dot_products(patch + first, rows + first, taps, length, filters, sums);
    for (uint32_t f = 0; f < filters; ++f) totals[f] += sums[f];
  }
}

// The convolution in 16-bit multiply-adds for any map whose values pass neither kSplitLimit
// nor, in int64, the taps' sum: wider values run as two 16-bit halves, long filters as
// chunks of int32 sums added up in int64.
void conv2d_16bit(const int32_t* in, MapShape is, const int8_t* w, const Window& win,
                  int32_t pad_value, MapShape os, SixteenBit mode, int32_t* out) {
  const uint32_t filters = os.c;
  const uint64_t taps = uint64_t(win.kernel) * uint64_t(win.kernel) * is.c;
  const std::vector<int16_t> rows = filter_rows<int16_t>(w, taps, filters);
  std::vector<int32_t> values(mode.halves ? taps : 0);
  std::vector<int16_t> low(taps);
  std::vector<int16_t> high(mode.halves ? taps : 0);
  std::vector<int32_t> sums(filters);
  std::vector<int64_t> low_totals(filters);
  std::vector<int64_t> high_totals(filters);
  for (uint32_t ox = 0; ox < os.x; ++ox) {
    for (uint32_t oy = 0; oy < os.y; ++oy) {
      std::fill(low_totals.begin(), low_totals.end(), 0);
      if (mode.halves) {
        gather_patch(in, is, win, ox, oy, pad_value, values.data());
        for (uint64_t t = 0; t < taps; ++t) {
          low[t] = static_cast<int16_t>(values[t]);
          high[t] = static_cast<int16_t>((int64_t{values[t]} - low[t]) >> 16);
        }
        std::fill(high_totals.begin(), high_totals.end(), 0);
        add_dot_products(high.data(), rows.data(), taps, mode.chunk, filters, sums.data(),
                         high_totals.data());
      } else {
        gather_patch(in, is, win, ox, oy, pad_value, low.data());
      }
      add_dot_products(low.data(), rows.data(), taps, mode.chunk, filters, sums.data(),
                       low_totals.data());
      int32_t* target = out + (uint64_t{ox} * os.y + oy) * filters;
      for (uint32_t f = 0; f < filters; ++f) {
        const int64_t total = (mode.halves ? high_totals[f] * 65536 : 0) + low_totals[f];
        target[f] = saturated(total);
      }
    }
  }
}

template <typename Op, typename Acc>
void depthwise_with(const int32_t* in, MapShape is, const int8_t* w, const Window& win,
                    MapShape os, int32_t* out) {
  const uint32_t channels = is.c;
  const std::vector<Op> kernel = converted<Op>(w, uint64_t(win.kernel) * win.kernel * channels);
  std::vector<Acc> sums(channels);
  for (uint32_t ox = 0; ox < os.x; ++ox) {
    for (uint32_t oy = 0; oy < os.y; ++oy) {
      std::fill(sums.begin(), sums.end(), Acc{0});
      for (int32_t i = 0; i < win.kernel; ++i) {
        const int64_t px = int64_t{ox} * win.stride + i - win.pad_x;
        if (px < 0 || px >= is.x) continue;
        for (int32_t j = 0; j < win.kernel; ++j) {
          const int64_t py = int64_t{oy} * win.stride + j - win.pad_y;
          if (py < 0 || py >= is.y) continue;
          const int32_t* source = in + (static_cast<uint64_t>(px) * is.y + static_cast<uint64_t>(py)) * channels;
          const Op* taps = kernel.data() + (uint64_t(i) * win.kernel + j) * channels;
          for (uint32_t c = 0; c < channels; ++c) sums[c] += product<Acc, Op>(source[c], taps[c]);
        }
      }
      int32_t* target = out + (uint64_t{ox} * os.y + oy) * channels;
      for (uint32_t c = 0; c < channels; ++c) target[c] = saturated(sums[c]);
    }
  }
}

// ---- transposed convolution ----

struct Spread {
  uint32_t kernel_x, kernel_y, stride;
  int32_t pad_x, pad_y;
};

// Every input pixel adds its products into the output positions its kernel covers.
// `depthwise`: channel c meets only weight column c; otherwise every channel meets all
// out.c filters.
template <typename Op, typename Acc>
void transpose_with(const int32_t* in, MapShape is, const int8_t* w, const Spread& s,
                    MapShape os, bool depthwise, int32_t* out) {
  const uint64_t per_tap = depthwise ? is.c : uint64_t{is.c} * os.c;
  const std::vector<Op> weights = converted<Op>(w, uint64_t{s.kernel_x} * s.kernel_y * per_tap);
  std::vector<Acc> sums(uint64_t{os.x} * os.y * os.c, Acc{0});
  for (uint32_t ix = 0; ix < is.x; ++ix) {
    for (uint32_t iy = 0; iy < is.y; ++iy) {
      const int32_t* source = in + (uint64_t{ix} * is.y + iy) * is.c;
      for (uint32_t i = 0; i < s.kernel_x; ++i) {
        const int64_t px = int64_t{ix} * s.stride + i - s.pad_x;
        if (px < 0 || px >= os.x) continue;
        for (uint32_t j = 0; j < s.kernel_y; ++j) {
          const int64_t py = int64_t{iy} * s.stride + j - s.pad_y;
          if (py < 0 || py >= os.y) continue;
          Acc* target = sums.data() + (static_cast<uint64_t>(px) * os.y + static_cast<uint64_t>(py)) * os.c;
          const Op* tap = weights.data() + (uint64_t{i} * s.kernel_y + j) * per_tap;
          if (depthwise) {
            for (uint32_t c = 0; c < is.c; ++c) target[c] += product<Acc, Op>(source[c], tap[c]);
            continue;
          }
          for (uint32_t c = 0; c < is.c; ++c) {
            const Op v = static_cast<Op>(source[c]);
            if (v == 0) continue;
            const Op* row = tap + uint64_t{c} * os.c;
            for (uint32_t f = 0; f < os.c; ++f) target[f] += product<Acc>(v, row[f]);
          }
        }
      }
    }
  }
  for (uint64_t k = 0; k < sums.size(); ++k) out[k] = saturated(sums[k]);
}

// ---- weighted sums ----

// acc[u] += x[k] * w[k * units + u] for every k: four weight rows per pass over `acc`, so
// that each load and store of an accumulator serves four products.
template <typename Op, typename Acc, typename W>
void add_weight_rows(const int32_t* x, uint64_t n, const W* w, uint32_t units, Acc* acc) {
  uint64_t k = 0;
  for (; k + 4 <= n; k += 4) {
    const Op v0 = static_cast<Op>(x[k]), v1 = static_cast<Op>(x[k + 1]);
    const Op v2 = static_cast<Op>(x[k + 2]), v3 = static_cast<Op>(x[k + 3]);
    if ((v0 | v1 | v2 | v3) == 0) continue;  // sparse inputs (spikes) skip whole weight rows
    const W* w0 = w + k * units;
    const W* w1 = w0 + units;
    const W* w2 = w1 + units;
    const W* w3 = w2 + units;
    for (uint32_t u = 0; u < units; ++u) {
      acc[u] += product<Acc>(v0, static_cast<Op>(w0[u])) + product<Acc>(v1, static_cast<Op>(w1[u])) +
                product<Acc>(v2, static_cast<Op>(w2[u])) + product<Acc>(v3, static_cast<Op>(w3[u]));
    }
  }
  for (; k < n; ++k) {
    const Op v = static_cast<Op>(x[k]);
    if (v == 0) continue;
    const W* row = w + k * units;
    for (uint32_t u = 0; u < units; ++u) acc[u] += product<Acc>(v, static_cast<Op>(row[u]));
  }
}

template <typename Op, typename Acc, typename W>
void weighted_sums_with(const int32_t* x, uint32_t rows, uint64_t n, const W* w, uint32_t units,
                        bool transposed, __int128* sums) {
  std::vector<Acc> acc(units);
  for (uint32_t r = 0; r < rows; ++r) {
    const int32_t* xr = x + r * n;
    if (transposed) {
      for (uint32_t u = 0; u < units; ++u) {
        const W* wr = w + u * n;
        Acc s = 0;
        for (uint64_t k = 0; k < n; ++k) {
          s += product<Acc>(static_cast<Op>(xr[k]), static_cast<Op>(wr[k]));
        }
        acc[u] = s;
      }
    } else {
      std::fill(acc.begin(), acc.end(), Acc{0});
      add_weight_rows<Op>(xr, n, w, units, acc.data());
    }
    for (uint32_t u = 0; u < units; ++u) sums[uint64_t{r} * units + u] = acc[u];
  }
}

template <typename W>
void weighted_sums_of(const int32_t* x, uint32_t rows, uint64_t n, const W* w, uint32_t units,
                      bool transposed, __int128* sums) {
  const uint64_t max_w = std::is_same_v<W, int8_t> ? kMaxInt8 : max_magnitude(w, n * units);
  const Arithmetic arithmetic = arithmetic_for(max_magnitude(x, uint64_t{rows} * n), max_w, n * max_w);
  with_types(arithmetic, [&](auto op, auto acc) {
    weighted_sums_with<decltype(op), decltype(acc)>(x, rows, n, w, units, transposed, sums);
  });
}

}  // namespace

Arithmetic arithmetic_for(uint64_t max_x, uint64_t max_w, uint64_t weight_sum) {
  const unsigned __int128 bound = static_cast<unsigned __int128>(max_x) * weight_sum;
  if (bound <= std::numeric_limits<int32_t>::max()) {
    const uint64_t int16_max = std::numeric_limits<int16_t>::max();
    return max_x <= int16_max && max_w <= int16_max ? Arithmetic::Int16 : Arithmetic::Int32;
  }
  if (bound <= std::numeric_limits<int64_t>::max()) return Arithmetic::Int64;
  return Arithmetic::Int128;
}

void conv2d(const int32_t* in, MapShape in_shape, const int8_t* w, Window window,
            int32_t pad_value, MapShape out_shape, int32_t* out) {
  const uint64_t taps = uint64_t(window.kernel) * uint64_t(window.kernel) * in_shape.c;
  const uint64_t in_size = uint64_t{in_shape.x} * in_shape.y * in_shape.c;
  // The pad value counts as an input value whether or not a window reaches past the input.
  const uint64_t max_x = std::max(max_magnitude(in, in_size), magnitude(pad_value));
  // 16-bit operands whenever the values allow. The int64 totals hold at most taps * 2^38
  // (halves) or taps * 2^22 (values within int16).
  if (max_x < kSplitLimit && taps < (uint64_t{1} << 24)) {
    const bool halves = max_x > static_cast<uint64_t>(std::numeric_limits<int16_t>::max());
    const uint64_t chunk =
        halves ? kHalfChunk
               : std::numeric_limits<int32_t>::max() / (std::max<uint64_t>(max_x, 1) * kMaxInt8);
    conv2d_16bit(in, in_shape, w, window, pad_value, out_shape, {halves, chunk}, out);
    return;
  }
  const Arithmetic arithmetic = arithmetic_for(max_x, kMaxInt8, taps * kMaxInt8);
  with_types(in_place(arithmetic), [&](auto op, auto acc) {
    conv2d_with<decltype(op), decltype(acc)>(in, in_shape, w, window, pad_value, out_shape, out);
  });
}

void depthwise_conv2d(const int32_t* in, MapShape in_shape, const int8_t* w, Window window,
                      MapShape out_shape, int32_t* out) {
  const uint64_t taps = uint64_t(window.kernel) * uint64_t(window.kernel);
  const uint64_t in_size = uint64_t{in_shape.x} * in_shape.y * in_shape.c;
  const Arithmetic arithmetic = arithmetic_for(max_magnitude(in, in_size), kMaxInt8, taps * kMaxInt8);
  with_types(in_place(arithmetic), [&](auto op, auto acc) {
    depthwise_with<decltype(op), decltype(acc)>(in, in_shape, w, window, out_shape, out);
  });
}

// Output position p receives tap i only from the input pixel with p = ix * stride + i - pad:
// one pixel per tap at most, so an output sums at most one product per tap, as in a
// convolution.
void conv2d_transpose(const int32_t* in, MapShape in_shape, const int8_t* w, uint32_t kernel_x,
                      uint32_t kernel_y, uint32_t stride, int32_t pad_x, int32_t pad_y,
                      MapShape out_shape, int32_t* out) {
  const uint64_t taps = uint64_t{kernel_x} * kernel_y * in_shape.c;
  const uint64_t in_size = uint64_t{in_shape.x} * in_shape.y * in_shape.c;
  const Arithmetic arithmetic = arithmetic_for(max_magnitude(in, in_size), kMaxInt8, taps * kMaxInt8);
  const Spread spread{kernel_x, kernel_y, stride, pad_x, pad_y};
  with_types(in_place(arithmetic), [&](auto op, auto acc) {
    transpose_with<decltype(op), decltype(acc)>(in, in_shape, w, spread, out_shape, false, out);
  });
}

void depthwise_conv2d_transpose(const int32_t* in, MapShape in_shape, const int8_t* w,
                                uint32_t kernel_x, uint32_t kernel_y, uint32_t stride,
                                int32_t pad_x, int32_t pad_y, MapShape out_shape, int32_t* out) {
  const uint64_t taps = uint64_t{kernel_x} * kernel_y;
  const uint64_t in_size = uint64_t{in_shape.x} * in_shape.y * in_shape.c;
  const Arithmetic arithmetic = arithmetic_for(max_magnitude(in, in_size), kMaxInt8, taps * kMaxInt8);
  const Spread spread{kernel_x, kernel_y, stride, pad_x, pad_y};
  with_types(in_place(arithmetic), [&](auto op, auto acc) {
    transpose_with<decltype(op), decltype(acc)>(in, in_shape, w, spread, out_shape, true, out);
  });
}

void weighted_sums(const int32_t* x, uint32_t rows, uint64_t n, const int32_t* w, uint32_t units,
                   bool transposed, __int128* sums) {
  weighted_sums_of(x, rows, n, w, units, transposed, sums);
}

void weighted_sums(const int32_t* x, uint32_t rows, uint64_t n, const int8_t* w, uint32_t units,
                   bool transposed, __int128* sums) {
  weighted_sums_of(x, rows, n, w, units, transposed, sums);
}

}  // namespace qalto::kernels
