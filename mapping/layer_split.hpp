#pragma once
// Cutting a convolution layer over several NPs along input width, input height and filters.
// The split functions find the smallest number of NPs whose per-NP input fits the generation's
// input memory (every memory question goes to the generation's CompatibilityChecker) and
// return one component per NP, not yet placed on the mesh.

#include <compare>
#include <cstdint>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "mapping/generation.hpp"
#include "mapping/np_split.hpp"
#include "qalto/hw.hpp"
#include "qalto/layer.hpp"
#include "qalto/mapping_status.hpp"

namespace qalto {

// The search tries at most this many NP counts above the smallest one the axis limits allow:
// far more NPs than any mesh holds, it bounds the time spent on a layer that would only fit in
// absurdly many pieces.
inline constexpr uint64_t kMaxSplitSearchCounts = 1u << 16;

// Input-memory alignment of filter chunks of a layer on a TNP-B.
inline constexpr uint32_t kTnpBFilterAlignment = 4;

// One axis cut into chunks. `chunks` 0 means the axis cannot be cut under these limits.
struct Split {
  uint32_t chunks = 0;
  uint32_t chunk_size = 0;
  uint32_t size = 0;            // the axis' total
  uint32_t max_chunk_size = 0;
  uint32_t alignment = 0;

  Split() = default;
  // The fewest chunks of at most `max_chunk_size` covering `size`; with more than one chunk,
  // chunk sizes are multiples of `alignment` when that still fits the maximum (else the
  // largest multiple below and one more chunk); an alignment of 0 or 1 rounds nothing. All
  // zero when the maximum is 0 or below the alignment; chunks 0 for a size of 0.
  Split(uint32_t size, uint32_t max_chunk_size, uint32_t alignment);

  bool operator==(const Split&) const = default;
};

struct SplitsNumChunks {
  uint32_t width_chunks = 0;
  uint32_t height_chunks = 0;
  uint32_t filter_chunks = 0;

  auto operator<=>(const SplitsNumChunks&) const = default;

  // Every sorted triple (a <= b <= c) with a * b * c == n.
  static std::set<SplitsNumChunks> factor_triplets(uint32_t n);
  // Every ordered triple with product n, in descending lexicographic order.
  static std::vector<SplitsNumChunks> get_splits_number(uint32_t n);
};

// (larger, smaller) factor pairs of n, ordered; empty for 0.
std::set<std::pair<uint32_t, uint32_t>> factor_pairs(uint32_t n);

enum class BufferMode : uint8_t { None = 0, Dual = 1, Single = 2 };

struct SplitSearchResult {
  bool found = false;
  Split width;
  Split height;
  Split filters;
  BufferMode buffer_mode = BufferMode::None;
};

// What the search needs to know about a layer.
struct SplitSearchInput {
  uint32_t channels = 0;
  uint8_t input_bits = 0;
  NpSplitParams params;
  Split height;
  Split width;
  Split filters;
  uint32_t fifo_size = 0;
  hw::Type type = hw::Type::CNP1;
  bool hwpr_loopitself = false;
  uint32_t pksram_shift = 0;
  bool channels_follow_filters = false;
  bool height_split_allowed = true;
  bool targets_tnp_b = false;
  // Pooling padding before the first column and row: the first chunk of an axis is shortened
  // by it so that later chunks start on a pooling window.
  uint32_t pool_pad_left = 0;
  uint32_t pool_pad_top = 0;
  // Convolution and pooling of each axis: an NP's input region then grows to every pixel its
  // pooled outputs read (a pooling window that straddles a cut needs rows of the NP before),
  // and the memory question covers that growth. Absent for layers whose regions are the
  // chunks and margins alone (transposed convolutions).
  std::optional<ConvAxis> width_geometry;
  std::optional<ConvAxis> height_geometry;
};

// The fewest NPs (then the most width chunks, then the most height chunks) whose input fits
// the NP input memory, dual buffer first and single buffer unless `hwpr_loopitself`, among the
// NP counts from the product of the axes' chunks up to kMaxSplitSearchCounts more. Asks the
// checker's is_sram_input_fit_dual_buffer / _single_buffer (whose answers must depend on their
// arguments only and never turn from no to yes as an extent grows); their exceptions pass
// through. Counts an axis cannot be cut into are never tried, and a memory question is asked
// once per distinct set of extents.
SplitSearchResult search_splits(const CompatibilityChecker& checker,
                                const SplitSearchInput& input);

// One candidate of the search: each axis cut into its count of `counts` and the memory asked
// about the resulting extents. found is false when a count cannot be used on its axis (too few
// or too many chunks, an empty last chunk, TNP-B filter chunks off the alignment) or the input
// does not fit.
SplitSearchResult try_split_candidate(const CompatibilityChecker& checker,
                                      const SplitSearchInput& input,
                                      const SplitsNumChunks& counts);

// The filter split with the fewest chunks whose chunk size passes
// checker.is_weights_size_fit_np; all zero when none does.
Split fit_weights_split(const Layer& layer, const CompatibilityChecker& checker,
                        const Split& filters);

using SplitResult = std::pair<std::vector<hw::Component>, MappingStatus>;

// Each returns one component per NP (type, zero identifier, NP part, zero memory figures) and
// success, or an empty list and a failed status naming the layer: "Cannot split by height.",
// "Split by height is not supported." (transposed), "Cannot split by width.",
// "Cannot split by neurons.", "Cannot split to fit weights in ram.",
// "Cannot split to fit inputs in ram.". Exceptions of the checker and the engine pass through.
SplitResult split_conv_layer(const Layer& layer, const CompatibilityChecker& checker,
                             uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                             hw::Type type, bool hwpr_loopitself);
SplitResult split_depthwise_conv_layer(const Layer& layer, const CompatibilityChecker& checker,
                                       uint32_t max_height, uint32_t max_width,
                                       uint32_t max_filters, hw::Type type,
                                       bool hwpr_loopitself);
SplitResult split_transposed_conv2d_layer(const Layer& layer, const CompatibilityChecker& checker,
                                          uint32_t max_height, uint32_t max_width,
                                          uint32_t max_filters, bool hwpr_loopitself);
SplitResult split_transposed_dwconv2d_layer(const Layer& layer,
                                            const CompatibilityChecker& checker,
                                            uint32_t max_height, uint32_t max_width,
                                            uint32_t max_filters, bool hwpr_loopitself);

}  // namespace qalto
