#include "mapping/layer_split.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <optional>
#include <tuple>

#include "qalto/saturating.hpp"
#include "v2/pksram_shift.hpp"

namespace qalto {

namespace {

constexpr uint32_t kMaxPooling = static_cast<uint32_t>(PoolType::Max);

// Sizes are computed in 64 bits: a product or sum of 32-bit figures never wraps.
uint64_t ceil_div(uint64_t a, uint64_t b) { return b == 0 ? 0 : (a + b - 1) / b; }
uint64_t round_up(uint64_t value, uint64_t step) {
  return step == 0 ? value : ceil_div(value, step) * step;
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

bool has_pooling_params(const Layer& layer) {
  switch (layer.type()) {
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional:
    case LayerType::Conv2D:
    case LayerType::DepthwiseConv2D:
    case LayerType::Conv2DTranspose:
    case LayerType::DepthwiseConv2DTranspose:
    case LayerType::BufferTempConv:
    case LayerType::DepthwiseBufferTempConv: return true;
    default: return false;
  }
}

// Pooling padding of a layer that pools; none for other layers.
PaddingParams pool_padding_of(const Layer& layer) {
  return has_pooling_params(layer) ? layer.pool_calculated_params().padding : PaddingParams{};
}

// The convolution and pooling of each axis (width, height) as the NPs run them: pooling size 1
// without pooling and for global pooling (which the NPs leave to the end of the layer).
// Nothing for a kernel or stride below 1, which no convolution has.
std::optional<std::pair<ConvAxis, ConvAxis>> conv_axes(const Layer& layer,
                                                       const NpSplitParams& p) {
  const LayerParams& params = layer.params();
  const bool one_size = params.has("kernel_size");
  const int64_t kernel_w = params.get_or(one_size ? "kernel_size" : "kernel_width", 0);
  const int64_t kernel_h = params.get_or(one_size ? "kernel_size" : "kernel_height", 0);
  const ConvCalculatedParams& conv = layer.conv_calculated_params();
  if (kernel_w < 1 || kernel_h < 1 || conv.stride_x < 1 || conv.stride_y < 1) return {};
  const PoolingCalculatedParams& pool = layer.pool_calculated_params();
  const Shape& input = layer.input_dimensions().front();
  const int64_t pool_w = pool.pooling ? std::max<uint32_t>(p.pool_width, 1) : 1;
  const int64_t pool_h = pool.pooling ? std::max<uint32_t>(p.pool_height, 1) : 1;
  const ConvAxis width{dim(input, 0),      kernel_w, conv.stride_x, conv.padding.left,
                       conv.padding.right, pool_w,   pool.stride_x, pool.padding.left,
                       pool.padding.right};
  const ConvAxis height{dim(input, 1),       kernel_h, conv.stride_y, conv.padding.top,
                        conv.padding.bottom, pool_h,   pool.stride_y, pool.padding.top,
                        pool.padding.bottom};
  return std::make_pair(width, height);
}

// ---- the pieces of an axis and the input they read ----

struct AxisPlan {
  uint64_t chunks;
  uint64_t chunk_size;
};

struct Piece {
  uint32_t start;
  uint32_t length;
  uint32_t before;  // pixels read before the piece, within the input
  uint32_t after;
};

// The first chunk is shortened by the pooling padding before it (so that the next chunk starts
// on a pooling window) when the axis is cut and the padding is smaller than the chunk.
uint64_t first_chunk_cut(uint64_t chunk_size, uint64_t size, uint64_t pad) {
  return chunk_size < size && pad > 0 && pad < chunk_size ? pad : 0;
}

// The own ranges of one axis with the margins each reads at its inner cuts.
std::vector<Piece> cut_axis(const AxisPlan& plan, uint32_t total, uint32_t first_pad,
                            uint32_t margin_before, uint32_t margin_after) {
  std::vector<Piece> pieces;
  uint64_t at = 0;
  for (uint64_t i = 0; i < plan.chunks; ++i) {
    uint64_t length = std::min<uint64_t>(plan.chunk_size, total > at ? total - at : 0);
    if (i == 0 && length < total && first_pad > 0 && first_pad < length) length -= first_pad;
    const uint64_t end = at + length;
    const uint32_t before = i == 0 ? 0 : to_u32(std::min<uint64_t>(margin_before, at));
    const uint32_t after =
        i + 1 == plan.chunks ? 0 : to_u32(std::min<uint64_t>(margin_after, total - end));
    pieces.push_back({to_u32(at), to_u32(length), before, after});
    at = end;
  }
  return pieces;
}

// Widens a piece's margins to every pixel its pooled outputs read: a pooling window that
// straddles a cut belongs to the NP after it, which then needs the rows before the cut too.
// Returns how much the piece grew.
uint64_t widen_to_reads(Piece& piece, const ConvAxis& geometry, uint32_t margin_before,
                        uint32_t margin_after) {
  const AxisSpan reads =
      pooled_inputs(geometry, pooled_outputs(geometry, piece.start, piece.length),
                    margin_before, margin_after);
  if (reads.count == 0) return 0;
  const uint64_t end = uint64_t{piece.start} + piece.length;
  const uint64_t old_first = piece.start - piece.before;
  const uint64_t old_end = end + piece.after;
  const uint64_t first = std::min<uint64_t>(old_first, reads.first);
  const uint64_t last_end = std::max<uint64_t>(old_end, uint64_t{reads.first} + reads.count);
  piece.before = to_u32(piece.start - first);
  piece.after = to_u32(last_end - end);
  return (old_first - first) + (last_end - old_end);
}

// One axis as the search and the build see it.
struct AxisCut {
  const Split& split;
  uint32_t first_pad;
  uint32_t margin_before;
  uint32_t margin_after;
  const std::optional<ConvAxis>& geometry;

  // Windows straddle cuts only when a pooling window spans several convolution outputs.
  bool may_widen() const { return geometry && geometry->pool_size > 1; }

  std::vector<Piece> pieces(const AxisPlan& plan) const {
    auto cut = cut_axis(plan, split.size, first_pad, margin_before, margin_after);
    if (plan.chunks > 1 && may_widen()) {
      for (Piece& piece : cut) widen_to_reads(piece, *geometry, margin_before, margin_after);
    }
    return cut;
  }

  // Input extent asked about: the chunk plus the margins of its inner cuts, plus the largest
  // growth of a piece to the pixels its outputs read.
  uint64_t extent(const AxisPlan& plan) const {
    uint64_t base = plan.chunk_size + margin_before + margin_after;
    if (plan.chunks == 1) base = plan.chunk_size;
    if (plan.chunks == 2) base = plan.chunk_size + std::max(margin_before, margin_after);
    if (plan.chunks == 1 || !may_widen()) return base;
    uint64_t growth = 0;
    for (Piece& piece : cut_axis(plan, split.size, first_pad, margin_before, margin_after))
      growth = std::max(growth, widen_to_reads(piece, *geometry, margin_before, margin_after));
    return base + growth;
  }
};

// ---- the search ----

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

// Filter chunks of a depthwise TNP-B layer: the last chunk must keep the alignment too.
std::optional<AxisPlan> plan_filters(const SplitSearchInput& in, uint64_t count) {
  const auto f = plan_axis(in.filters, count, 0);
  if (f && in.channels_follow_filters && in.targets_tnp_b && f->chunks > 1 &&
      in.filters.alignment > 1 &&
      (in.filters.size - (f->chunks - 1) * f->chunk_size) % in.filters.alignment != 0)
    return std::nullopt;
  return f;
}

AxisCut width_cut(const SplitSearchInput& in) {
  return {in.width, in.pool_pad_left, in.params.left_margin, in.params.right_margin,
          in.width_geometry};
}

AxisCut height_cut(const SplitSearchInput& in) {
  return {in.height, in.pool_pad_top, in.params.top_margin, in.params.bottom_margin,
          in.height_geometry};
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

SplitSearchResult found_split(const SplitSearchInput& in, const AxisPlan& w, const AxisPlan& h,
                              const AxisPlan& f, BufferMode mode) {
  SplitSearchResult result;
  result.found = true;
  result.width = make_split(in.width, w.chunks, w.chunk_size);
  result.height = make_split(in.height, h.chunks, h.chunk_size);
  result.filters = make_split(in.filters, f.chunks, f.chunk_size);
  result.buffer_mode = mode;
  return result;
}

// A usable count of one axis, with its extent worked out on first use.
struct AxisOption {
  uint32_t count;
  AxisPlan plan;
  std::optional<uint64_t> extent;
};

// The usable counts of an axis, ascending, up to `max_count`.
template <typename Plan>
std::vector<AxisOption> usable_counts(const Split& axis, uint64_t max_count, Plan plan) {
  std::vector<AxisOption> options;
  const uint64_t top = std::min<uint64_t>(max_count, axis.size);
  for (uint64_t count = std::max<uint64_t>(axis.chunks, 1); count <= top; ++count) {
    if (const auto p = plan(count)) options.push_back({to_u32(count), *p, std::nullopt});
  }
  return options;
}

struct Candidate {
  uint64_t nps;
  uint32_t w, h, f;  // chunk counts
  uint32_t wi, hi, fi;  // indices into the options of each axis

  // The walk's order: fewest NPs, then the most width, height and filter chunks.
  bool operator<(const Candidate& o) const {
    return std::tie(nps, o.w, o.h, o.f) < std::tie(o.nps, w, h, f);
  }
};

// The search over usable counts only. Candidates are taken in rounds of NP counts (first,
// then doubling ranges), each round in the order of the walk by NP count. A memory question is
// asked once per set of extents.
class SplitSearch {
 public:
  SplitSearch(const CompatibilityChecker& checker, const SplitSearchInput& in, uint64_t limit)
      : checker_(checker), in_(in), width_(width_cut(in)), height_(height_cut(in)) {
    const uint64_t w = in.width.chunks, h = in.height.chunks, f = in.filters.chunks;
    widths_ = usable_counts(in.width, limit / (h * f),
                            [&](uint64_t n) { return plan_axis(in.width, n, in.pool_pad_left); });
    heights_ = usable_counts(in.height, in.height_split_allowed ? limit / (w * f) : 1,
                             [&](uint64_t n) { return plan_axis(in.height, n, in.pool_pad_top); });
    filters_ = usable_counts(in.filters, limit / (w * h),
                             [&](uint64_t n) { return plan_filters(in, n); });
  }

  bool hopeless() const { return widths_.empty() || heights_.empty() || filters_.empty(); }

  // The first candidate with an NP count in (low, high] that fits, in walk order.
  std::optional<SplitSearchResult> round(uint64_t low, uint64_t high) {
    std::vector<Candidate> candidates = candidates_in(low, high);
    std::sort(candidates.begin(), candidates.end());
    for (const Candidate& c : candidates) {
      AxisOption& w = widths_[c.wi];
      AxisOption& h = heights_[c.hi];
      const AxisOption& f = filters_[c.fi];
      if (!w.extent) w.extent = width_.extent(w.plan);
      if (!h.extent) h.extent = height_.extent(h.plan);
      const uint64_t channels = in_.channels_follow_filters ? f.plan.chunk_size : in_.channels;
      const BufferMode mode = fit(*h.extent, *w.extent, channels);
      if (mode != BufferMode::None) return found_split(in_, w.plan, h.plan, f.plan, mode);
    }
    return std::nullopt;
  }

 private:
  // When the channels asked about do not follow the filter chunks, the memory answer is the
  // same for every filter count, and of each (width, height) pair only the fewest filter
  // chunks can come first.
  std::vector<Candidate> candidates_in(uint64_t low, uint64_t high) const {
    std::vector<Candidate> out;
    const bool fewest_filters_only = !in_.channels_follow_filters;
    const uint64_t least_f = filters_.front().count;
    for (uint32_t i = 0; i < widths_.size(); ++i) {
      const uint64_t w = widths_[i].count;
      if (w * heights_.front().count * least_f > high) break;
      // Heights whose pairs can reach past `low` at all.
      const uint64_t most_f = fewest_filters_only ? least_f : filters_.back().count;
      auto j = std::partition_point(heights_.begin(), heights_.end(), [&](const AxisOption& h) {
        return w * h.count * most_f <= low;
      });
      for (; j != heights_.end() && w * j->count * least_f <= high; ++j) {
        const uint64_t wh = w * j->count;
        const auto hi = static_cast<uint32_t>(j - heights_.begin());
        auto k = std::partition_point(filters_.begin(), filters_.end(),
                                      [&](const AxisOption& f) { return wh * f.count <= low; });
        if (fewest_filters_only && k != filters_.begin()) continue;
        for (; k != filters_.end() && wh * k->count <= high; ++k) {
          const auto fi = static_cast<uint32_t>(k - filters_.begin());
          out.push_back({wh * k->count, widths_[i].count, j->count, k->count, i, hi, fi});
          if (fewest_filters_only) break;
        }
      }
    }
    return out;
  }

  BufferMode fit(uint64_t height, uint64_t width, uint64_t channels) {
    const auto key = std::make_tuple(height, width, channels);
    const auto known = answers_.find(key);
    if (known != answers_.end()) return known->second;
    const BufferMode mode = ask_fit(checker_, in_, height, width, channels);
    answers_.emplace(key, mode);
    return mode;
  }

  const CompatibilityChecker& checker_;
  const SplitSearchInput& in_;
  AxisCut width_;
  AxisCut height_;
  std::vector<AxisOption> widths_, heights_, filters_;
  std::map<std::tuple<uint64_t, uint64_t, uint64_t>, BufferMode> answers_;
};

// ---- building the components ----

bool covers(const std::vector<Piece>& pieces, uint32_t total) {
  return !pieces.empty() && uint64_t{pieces.back().start} + pieces.back().length == total;
}

struct BuildInput {
  const Layer& layer;
  const SplitSearchInput& search;
  const SplitSearchResult& found;
  hw::Type type;
  uint32_t channels;
};

// One component per (width, height, filter) chunk, width outermost. Empty when the chunks do
// not cover the input exactly (the search never lets that happen).
std::vector<hw::Component> build_split_components(const BuildInput& in) {
  const SplitSearchInput& s = in.search;
  const auto columns =
      width_cut(s).pieces({in.found.width.chunks, in.found.width.chunk_size});
  const auto rows = height_cut(s).pieces({in.found.height.chunks, in.found.height.chunk_size});
  std::vector<hw::Component> components;
  if (!covers(columns, s.width.size) || !covers(rows, s.height.size)) return components;
  const bool depthwise = in.layer.is_depthwise();
  const Split& f = in.found.filters;
  for (const Piece& col : columns) {
    for (const Piece& row : rows) {
      for (uint32_t i = 0; i < f.chunks; ++i) {
        const uint64_t start = uint64_t{i} * f.chunk_size;
        const uint32_t filters = to_u32(std::min<uint64_t>(
            f.chunk_size, s.params.filters > start ? s.params.filters - start : 0));
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
  // Whether the input regions follow the convolution and pooling (not for transposed layers,
  // whose regions are their chunks and margins).
  bool reads_follow_pooling;
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
  if (plan.reads_follow_pooling && has_pooling_params(layer)) {
    if (const auto axes = conv_axes(layer, plan.params)) {
      search.width_geometry = axes->first;
      search.height_geometry = axes->second;
    }
  }
  const SplitSearchResult found = search_splits(checker, search);
  if (!found.found) return fail(layer, "Cannot split to fit inputs in ram.");

  const Shape& input = layer.input_dimensions().front();
  auto components = build_split_components({layer, search, found, plan.type, dim(input, 2)});
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
  const uint64_t first = saturating_mul(
      saturating_mul(in.height.chunks, in.filters.chunks), in.width.chunks);
  const uint64_t last =
      saturating_mul(saturating_mul(in.height.size, in.filters.size), in.width.size);
  if (first == 0 || last < first) return {};
  const uint64_t limit = std::min({last, first + kMaxSplitSearchCounts,
                                   uint64_t{std::numeric_limits<uint32_t>::max()}});
  SplitSearch search(checker, in, limit);
  if (search.hopeless()) return {};  // an axis that no count can cut
  uint64_t low = first - 1;
  uint64_t high = first;
  while (true) {
    if (auto found = search.round(low, high)) return *found;
    if (high >= limit) return {};
    if (high == first && !smallest_pieces_fit(checker, in)) return {};
    low = high;
    high = std::min(limit, 2 * high);
  }
}

SplitSearchResult try_split_candidate(const CompatibilityChecker& checker,
                                      const SplitSearchInput& in,
                                      const SplitsNumChunks& counts) {
  if (!in.height_split_allowed && counts.height_chunks != 1) return {};
  const auto w = plan_axis(in.width, counts.width_chunks, in.pool_pad_left);
  const auto h = plan_axis(in.height, counts.height_chunks, in.pool_pad_top);
  const auto f = plan_filters(in, counts.filter_chunks);
  if (!w || !h || !f) return {};
  const uint64_t channels = in.channels_follow_filters ? f->chunk_size : in.channels;
  const BufferMode mode =
      ask_fit(checker, in, height_cut(in).extent(*h), width_cut(in).extent(*w), channels);
  if (mode == BufferMode::None) return {};
  return found_split(in, *w, *h, *f, mode);
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
  plan.reads_follow_pooling = true;
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
  plan.reads_follow_pooling = true;
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
  plan.reads_follow_pooling = false;
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
