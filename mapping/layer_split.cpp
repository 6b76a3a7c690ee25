#include "mapping/layer_split.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>

#include "v2/pksram_shift.hpp"

namespace qalto {

namespace {

constexpr uint32_t kMaxPooling = static_cast<uint32_t>(PoolType::Max);

// Sizes are computed in 64 bits: a product or sum of 32-bit figures never wraps.
uint64_t ceil_div(uint64_t a, uint64_t b) { return b == 0 ? 0 : (a + b - 1) / b; }
uint64_t round_up(uint64_t value, uint64_t step) {
  return step == 0 ? value : ceil_div(value, step) * step;
}
uint64_t saturating_mul(uint64_t a, uint64_t b) {
  if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a)
    return std::numeric_limits<uint64_t>::max();
  return a * b;
}
uint32_t to_u32(uint64_t value) { return static_cast<uint32_t>(value); }

struct Chunking {
  uint64_t chunks;
  uint64_t chunk_size;
};

// The chunking rule with `count` chunks: equal chunks, rounded up to the alignment when there
// is more than one; when that exceeds the maximum, the largest aligned size below it and as
// many chunks as that takes.
Chunking chunk_rule(uint64_t size, uint64_t count, uint64_t max, uint64_t alignment) {
  Chunking c{count, ceil_div(size, count)};
  if (count > 1 && alignment > 1) {
    c.chunk_size = round_up(c.chunk_size, alignment);
    if (c.chunk_size > max && c.chunk_size > alignment) {
      c.chunk_size -= alignment;
      c.chunks = ceil_div(size, c.chunk_size);
    }
  }
  return c;
}

Split make_split(const Split& axis, uint64_t chunks, uint64_t chunk_size) {
  Split s = axis;
  s.chunks = to_u32(chunks);
  s.chunk_size = to_u32(chunk_size);
  return s;
}

uint32_t dim(const Shape& shape, size_t i) { return i < shape.size() ? shape[i] : 0; }

// Pooling padding of a layer that pools; none for other layers.
PaddingParams pool_padding_of(const Layer& layer) {
  switch (layer.type()) {
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional:
    case LayerType::Conv2D:
    case LayerType::DepthwiseConv2D:
    case LayerType::Conv2DTranspose:
    case LayerType::DepthwiseConv2DTranspose:
    case LayerType::BufferTempConv:
    case LayerType::DepthwiseBufferTempConv: return layer.pool_calculated_params().padding;
    default: return {};
  }
}

// ---- the search ----

struct AxisPlan {
  uint64_t chunks;
  uint64_t chunk_size;
};

// The first chunk is shortened by the pooling padding before it (so that the next chunk starts
// on a pooling window) when the axis is cut and the padding is smaller than the chunk.
uint64_t first_chunk_cut(uint64_t chunk_size, uint64_t size, uint64_t pad) {
  return chunk_size < size && pad > 0 && pad < chunk_size ? pad : 0;
}

// The chunks of one axis for a candidate `count`, or nothing when that count is not usable.
// A shortened first chunk must not leave the end of the axis uncovered: the chunks then grow
// (still aligned, still within the maximum), which the caller's memory question then covers.
std::optional<AxisPlan> plan_axis(const Split& axis, uint64_t count, uint32_t first_pad) {
  if (count == 0 || count < axis.chunks || count > axis.size) return std::nullopt;
  const uint64_t size = axis.size;
  const Chunking c = chunk_rule(size, count, axis.max_chunk_size, axis.alignment);
  uint64_t chunk_size = c.chunk_size;
  const uint64_t chunks = c.chunks;
  if (chunks == 0 || chunk_size == 0) return std::nullopt;
  if (chunks * chunk_size - first_chunk_cut(chunk_size, size, first_pad) < size) {
    const uint64_t step = chunks > 1 && axis.alignment > 1 ? axis.alignment : 1;
    chunk_size = round_up(ceil_div(size + first_pad, chunks), step);
    if (chunk_size > axis.max_chunk_size) return std::nullopt;
  }
  const uint64_t cut = first_chunk_cut(chunk_size, size, first_pad);
  if (chunks * chunk_size - cut < size) return std::nullopt;
  if ((chunks - 1) * chunk_size >= size + cut) return std::nullopt;  // last chunk empty
  return AxisPlan{chunks, chunk_size};
}

// Input extent of one NP along an axis: its chunk plus the margins of its inner cuts.
uint64_t extent(const AxisPlan& plan, uint32_t before, uint32_t after) {
  if (plan.chunks == 1) return plan.chunk_size;
  if (plan.chunks == 2) return plan.chunk_size + std::max(before, after);
  return plan.chunk_size + before + after;
}

// A lower bound of the extent over every usable count.
uint64_t least_extent(const Split& axis, uint32_t before, uint32_t after, bool split_allowed) {
  if (!split_allowed) return axis.size;
  const uint64_t smallest_chunk = axis.alignment > 1 ? axis.alignment : 1;
  return std::min({uint64_t{axis.size}, ceil_div(axis.size, 2) + std::max(before, after),
                   smallest_chunk + before + after});
}

BufferMode ask_fit(const CompatibilityChecker& checker, const SplitSearchInput& in,
                   uint64_t height, uint64_t width, uint64_t channels) {
  constexpr uint64_t limit = std::numeric_limits<uint32_t>::max();
  if (height > limit || width > limit || channels > limit) return BufferMode::None;
  if (checker.is_sram_input_fit_dual_buffer(in.type, to_u32(height), to_u32(width),
                                            to_u32(channels), in.fifo_size, in.input_bits,
                                            in.pksram_shift))
    return BufferMode::Dual;
  if (!in.hwpr_loopitself &&
      checker.is_sram_input_fit_single_buffer(in.type, to_u32(height), to_u32(width),
                                              to_u32(channels), in.fifo_size, in.input_bits,
                                              in.pksram_shift))
    return BufferMode::Single;
  return BufferMode::None;
}

// Whether even the smallest pieces could fit: when they cannot, no candidate can (the memory
// need grows with every extent), and the search ends at once instead of walking every count.
bool smallest_pieces_fit(const CompatibilityChecker& checker, const SplitSearchInput& in) {
  const NpSplitParams& p = in.params;
  const uint64_t width = least_extent(in.width, p.left_margin, p.right_margin, true);
  const uint64_t height =
      least_extent(in.height, p.top_margin, p.bottom_margin, in.height_split_allowed);
  const uint64_t channels =
      in.channels_follow_filters
          ? std::min<uint64_t>(in.filters.size, std::max<uint32_t>(in.filters.alignment, 1))
          : in.channels;
  return ask_fit(checker, in, height, width, channels) != BufferMode::None;
}

// ---- building the components ----

struct Piece {
  uint32_t start;
  uint32_t length;
  uint32_t before;  // margin read before the piece, clipped to the input
  uint32_t after;
};

// The own ranges of one axis with the margins each reads.
std::vector<Piece> cut_axis(const Split& split, uint32_t total, uint32_t first_pad,
                            uint32_t margin_before, uint32_t margin_after) {
  std::vector<Piece> pieces;
  uint64_t at = 0;
  for (uint32_t i = 0; i < split.chunks; ++i) {
    uint64_t length = std::min<uint64_t>(split.chunk_size, total > at ? total - at : 0);
    if (i == 0 && length < total && first_pad > 0 && first_pad < length) length -= first_pad;
    const uint64_t end = at + length;
    const uint32_t before = i == 0 ? 0 : to_u32(std::min<uint64_t>(margin_before, at));
    const uint32_t after =
        i + 1 == split.chunks ? 0 : to_u32(std::min<uint64_t>(margin_after, total - end));
    pieces.push_back({to_u32(at), to_u32(length), before, after});
    at = end;
  }
  return pieces;
}

bool covers(const std::vector<Piece>& pieces, uint32_t total) {
  return !pieces.empty() && uint64_t{pieces.back().start} + pieces.back().length == total;
}

struct BuildInput {
  const Layer& layer;
  const NpSplitParams& params;
  const SplitSearchResult& found;
  hw::Type type;
  uint32_t width;
  uint32_t height;
  uint32_t channels;
  PaddingParams pool_padding;
};

// One component per (width, height, filter) chunk, width outermost. Empty when the chunks do
// not cover the input exactly (the search never lets that happen).
std::vector<hw::Component> build_split_components(const BuildInput& in) {
  const NpSplitParams& p = in.params;
  const auto columns =
      cut_axis(in.found.width, in.width, in.pool_padding.left, p.left_margin, p.right_margin);
  const auto rows =
      cut_axis(in.found.height, in.height, in.pool_padding.top, p.top_margin, p.bottom_margin);
  std::vector<hw::Component> components;
  if (!covers(columns, in.width) || !covers(rows, in.height)) return components;
  const bool depthwise = in.layer.is_depthwise();
  const Split& f = in.found.filters;
  for (const Piece& col : columns) {
    for (const Piece& row : rows) {
      for (uint32_t i = 0; i < f.chunks; ++i) {
        const uint64_t start = uint64_t{i} * f.chunk_size;
        const uint32_t filters = to_u32(
            std::min<uint64_t>(f.chunk_size, p.filters > start ? p.filters - start : 0));
        const uint32_t channels = depthwise ? filters : in.channels;
        hw::NpPart part;
        part.start_neuron = to_u32(start);
        part.filters = filters;
        part.spatial_partition = NpSpace{col.start, row.start, Shape{col.length, row.length,
                                                                     channels}};
        part.input_region = NpSpace{col.start - col.before, row.start - row.before,
                                    Shape{col.before + col.length + col.after,
                                          row.before + row.length + row.after, channels}};
        part.single_buffer = in.found.buffer_mode == BufferMode::Single;
        components.push_back(hw::Component{in.type, hw::Ident{}, part, MemoryInfo{}});
      }
    }
  }
  return components;
}

// ---- the four split functions share one sequence of steps ----

struct LayerSplitPlan {
  NpSplitParams params;
  Split height;
  Split width;
  Split filters;
  uint32_t search_channels;
  uint32_t fifo_size;
  hw::Type type;
  bool channels_follow_filters;
  bool height_split_allowed;
  const char* height_message;
  bool one_height_chunk_only;
};

SplitResult fail(const Layer& layer, const char* message) {
  return {{}, MappingStatus(layer, message)};
}

Split height_split(uint32_t height, uint32_t max_height, const NpSplitParams& p) {
  return Split(height, max_height, p.pool_type == kMaxPooling ? p.pool_height : 1);
}

Split width_split(uint32_t width, uint32_t max_width, const NpSplitParams& p) {
  return Split(width, max_width, p.pool_type == kMaxPooling ? p.pool_width : 1);
}

Split filter_split(uint32_t count, uint32_t max_filters, bool tnp_b_alignment) {
  return Split(count, max_filters, tnp_b_alignment ? kTnpBFilterAlignment : 1);
}

uint32_t fifo_size_of(const Layer& layer) {
  return static_cast<uint32_t>(std::max(0, layer.params().get_or("fifo_size", 0)));
}

SplitResult run_split(const Layer& layer, const CompatibilityChecker& checker,
                      LayerSplitPlan plan, bool hwpr_loopitself) {
  const bool heights_ok = plan.one_height_chunk_only ? plan.height.chunks == 1
                                                     : plan.height.chunks != 0;
  if (!heights_ok) return fail(layer, plan.height_message);
  if (plan.width.chunks == 0) return fail(layer, "Cannot split by width.");
  if (plan.filters.chunks == 0) return fail(layer, "Cannot split by neurons.");
  const Split filters = fit_weights_split(layer, checker, plan.filters);
  if (filters.chunks == 0) return fail(layer, "Cannot split to fit weights in ram.");

  const PaddingParams pool_padding = pool_padding_of(layer);
  SplitSearchInput search;
  search.channels = plan.search_channels;
  search.input_bits = layer.input_bits();
  search.params = plan.params;
  search.height = plan.height;
  search.width = plan.width;
  search.filters = filters;
  search.fifo_size = plan.fifo_size;
  search.type = plan.type;
  search.hwpr_loopitself = hwpr_loopitself;
  search.pksram_shift = v2::get_add_pksram_shift(layer);
  search.channels_follow_filters = plan.channels_follow_filters;
  search.height_split_allowed = plan.height_split_allowed;
  search.targets_tnp_b = layer.is_target_component(ComponentKind::TNP_B);
  search.pool_pad_left = pool_padding.left;
  search.pool_pad_top = pool_padding.top;
  const SplitSearchResult found = search_splits(checker, search);
  if (!found.found) return fail(layer, "Cannot split to fit inputs in ram.");

  const Shape& input = layer.input_dimensions().front();
  auto components = build_split_components(
      {layer, plan.params, found, plan.type, dim(input, 0), dim(input, 1), dim(input, 2),
       pool_padding});
  if (components.empty()) return fail(layer, "Cannot split to fit inputs in ram.");
  return {std::move(components), MappingStatus::success()};
}

}  // namespace

Split::Split(uint32_t size_, uint32_t max_chunk_size_, uint32_t alignment_) {
  // A zero maximum cuts nothing (and would divide by zero); an alignment of 0, like 1, asks
  // for no rounding.
  if (max_chunk_size_ == 0 || max_chunk_size_ < alignment_) return;
  size = size_;
  max_chunk_size = max_chunk_size_;
  alignment = alignment_;
  if (size <= max_chunk_size) {
    chunks = size == 0 ? 0 : 1;
    chunk_size = size;
    return;
  }
  const Chunking c = chunk_rule(size, ceil_div(size, max_chunk_size), max_chunk_size, alignment);
  chunks = to_u32(c.chunks);
  chunk_size = to_u32(c.chunk_size);
}

std::set<std::pair<uint32_t, uint32_t>> factor_pairs(uint32_t n) {
  std::set<std::pair<uint32_t, uint32_t>> pairs;
  for (uint64_t i = 1; i * i <= n; ++i) {
    if (n % i != 0) continue;
    const uint32_t a = to_u32(i);
    const uint32_t b = to_u32(n / i);
    pairs.emplace(std::max(a, b), std::min(a, b));
  }
  return pairs;
}

std::set<SplitsNumChunks> SplitsNumChunks::factor_triplets(uint32_t n) {
  std::set<SplitsNumChunks> triplets;
  auto add = [&triplets](uint32_t x, uint32_t y, uint32_t z) {
    std::array<uint32_t, 3> v{x, y, z};
    std::sort(v.begin(), v.end());
    triplets.insert({v[0], v[1], v[2]});
  };
  for (const auto& [a, b] : factor_pairs(n)) {
    for (const auto& [c, d] : factor_pairs(b)) add(a, c, d);
    for (const auto& [c, d] : factor_pairs(a)) add(c, d, b);
  }
  return triplets;
}

std::vector<SplitsNumChunks> SplitsNumChunks::get_splits_number(uint32_t n) {
  std::set<SplitsNumChunks> all;
  for (const auto& t : factor_triplets(n)) {
    std::array<uint32_t, 3> v{t.width_chunks, t.height_chunks, t.filter_chunks};
    do {
      all.insert({v[0], v[1], v[2]});
    } while (std::next_permutation(v.begin(), v.end()));
  }
  return {all.rbegin(), all.rend()};
}

Split fit_weights_split(const Layer& layer, const CompatibilityChecker& checker,
                        const Split& filters) {
  if (filters.chunks == 0) return Split();
  if (checker.is_weights_size_fit_np(layer, filters.chunk_size)) return filters;
  // The answer depends on the chunk size only, so of each run of chunk counts that give the
  // same size only the first (the likeliest to leave its last chunk non-empty) is tried: the
  // walk costs O(sqrt(filters)) steps, not one per count.
  const uint64_t size = filters.size;
  uint64_t asked = filters.chunk_size;
  uint64_t count = uint64_t{filters.chunks} + 1;
  while (count <= size) {
    const uint64_t raw = ceil_div(size, count);
    const Chunking c = chunk_rule(size, count, filters.max_chunk_size, filters.alignment);
    const bool last_chunk_filled = (c.chunks - 1) * c.chunk_size < size;
    if (last_chunk_filled && c.chunk_size != asked) {
      asked = c.chunk_size;
      if (checker.is_weights_size_fit_np(layer, to_u32(c.chunk_size)))
        return make_split(filters, c.chunks, c.chunk_size);
    }
    if (raw <= 1) break;
    count = std::max(count + 1, ceil_div(size, raw - 1));
  }
  return Split();
}

SplitSearchResult search_splits(const CompatibilityChecker& checker,
                                const SplitSearchInput& in) {
  SplitSearchResult result;
  const uint64_t first = saturating_mul(
      saturating_mul(in.height.chunks, in.filters.chunks), in.width.chunks);
  const uint64_t last =
      saturating_mul(saturating_mul(in.height.size, in.filters.size), in.width.size);
  if (first == 0 || last < first) return result;
  const uint64_t limit = std::min({last, first + kMaxSplitSearchCounts,
                                   uint64_t{std::numeric_limits<uint32_t>::max()}});
  const NpSplitParams& p = in.params;

  for (uint64_t n = first; n <= limit; ++n) {
    if (n == first + 1 && !smallest_pieces_fit(checker, in)) return result;
    for (const SplitsNumChunks& candidate : SplitsNumChunks::get_splits_number(to_u32(n))) {
      if (!in.height_split_allowed && candidate.height_chunks != 1) continue;
      const auto w = plan_axis(in.width, candidate.width_chunks, in.pool_pad_left);
      const auto h = plan_axis(in.height, candidate.height_chunks, in.pool_pad_top);
      const auto f = plan_axis(in.filters, candidate.filter_chunks, 0);
      if (!w || !h || !f) continue;
      if (in.channels_follow_filters && in.targets_tnp_b && f->chunks > 1 &&
          in.filters.alignment > 1 &&
          (in.filters.size - (f->chunks - 1) * f->chunk_size) % in.filters.alignment != 0)
        continue;
      const uint64_t channels = in.channels_follow_filters ? f->chunk_size : in.channels;
      const BufferMode mode =
          ask_fit(checker, in, extent(*h, p.top_margin, p.bottom_margin),
                  extent(*w, p.left_margin, p.right_margin), channels);
      if (mode == BufferMode::None) continue;
      result.found = true;
      result.width = make_split(in.width, w->chunks, w->chunk_size);
      result.height = make_split(in.height, h->chunks, h->chunk_size);
      result.filters = make_split(in.filters, f->chunks, f->chunk_size);
      result.buffer_mode = mode;
      return result;
    }
  }
  return result;
}

SplitResult split_conv_layer(const Layer& layer, const CompatibilityChecker& checker,
                             uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                             hw::Type type, bool hwpr_loopitself) {
  const Shape& input = layer.input_dimensions().front();
  LayerSplitPlan plan;
  plan.params = checker.np_split_params(type, layer.params());
  plan.height = height_split(dim(input, 1), max_height, plan.params);
  plan.width = width_split(dim(input, 0), max_width, plan.params);
  plan.filters = filter_split(plan.params.filters, max_filters, false);
  plan.search_channels = dim(input, 2);
  plan.fifo_size = fifo_size_of(layer);
  plan.type = type;
  plan.channels_follow_filters = false;
  plan.height_split_allowed = true;
  plan.height_message = "Cannot split by height.";
  plan.one_height_chunk_only = false;
  return run_split(layer, checker, plan, hwpr_loopitself);
}

SplitResult split_depthwise_conv_layer(const Layer& layer, const CompatibilityChecker& checker,
                                       uint32_t max_height, uint32_t max_width,
                                       uint32_t max_filters, hw::Type type,
                                       bool hwpr_loopitself) {
  const Shape& input = layer.input_dimensions().front();
  const uint32_t channels = dim(input, 2);
  LayerSplitPlan plan;
  plan.params = checker.np_split_params(type, layer.params());
  // A depthwise layer's filters are its input channels, the axis being cut; it has no
  // "filters" parameter of its own.
  plan.params.filters = channels;
  plan.height = height_split(dim(input, 1), max_height, plan.params);
  plan.width = width_split(dim(input, 0), max_width, plan.params);
  plan.filters =
      filter_split(channels, max_filters, layer.is_target_component(ComponentKind::TNP_B));
  plan.search_channels = std::min(max_filters, channels);
  plan.fifo_size = fifo_size_of(layer);
  plan.type = type;
  plan.channels_follow_filters = true;
  plan.height_split_allowed = true;
  plan.height_message = "Cannot split by height.";
  plan.one_height_chunk_only = false;
  return run_split(layer, checker, plan, hwpr_loopitself);
}

namespace {

// Stride-2 transposed convolutions read one row and column before their own region and
// kernel - 3 after it; they pool nothing.
LayerSplitPlan transposed_plan(const Layer& layer, uint32_t max_height, uint32_t max_width,
                               uint32_t max_filters, uint32_t filters, bool depthwise) {
  const Shape& input = layer.input_dimensions().front();
  const int64_t kernel = layer.params().get_or("kernel_size", 0);
  const uint32_t after = static_cast<uint32_t>(std::max<int64_t>(kernel - 3, 0));
  LayerSplitPlan plan;
  plan.params = NpSplitParams{1, after, 1, after, 0, 0, 0, filters};
  plan.height = height_split(dim(input, 1), max_height, plan.params);
  plan.width = Split(dim(input, 0), max_width, 1);
  plan.filters = filter_split(
      filters, max_filters, depthwise && layer.is_target_component(ComponentKind::TNP_B));
  plan.search_channels = dim(input, 2);
  plan.fifo_size = 0;
  plan.type = hw::Type::CNP1;
  plan.channels_follow_filters = depthwise;
  plan.height_split_allowed = false;
  plan.height_message = "Split by height is not supported.";
  plan.one_height_chunk_only = true;
  return plan;
}

}  // namespace

SplitResult split_transposed_conv2d_layer(const Layer& layer, const CompatibilityChecker& checker,
                                          uint32_t max_height, uint32_t max_width,
                                          uint32_t max_filters, bool hwpr_loopitself) {
  const uint32_t filters =
      static_cast<uint32_t>(std::max(0, layer.params().get_or("filters", 0)));
  return run_split(layer, checker,
                   transposed_plan(layer, max_height, max_width, max_filters, filters, false),
                   hwpr_loopitself);
}

SplitResult split_transposed_dwconv2d_layer(const Layer& layer,
                                            const CompatibilityChecker& checker,
                                            uint32_t max_height, uint32_t max_width,
                                            uint32_t max_filters, bool hwpr_loopitself) {
  const uint32_t channels = dim(layer.input_dimensions().front(), 2);
  return run_split(layer, checker,
                   transposed_plan(layer, max_height, max_width, max_filters, channels, true),
                   hwpr_loopitself);
}

}  // namespace qalto
