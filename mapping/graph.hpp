#pragma once
// Questions the mapping asks about the layer graph: depths, the two branches below a split,
// merge and skip layers, the hardware layer that stands for a joining layer, and the walk from
// one hardware layer to the next.
//
// Layers are compared by identity (the object a shared pointer designates), never by name.
// A "joining" layer targets ComponentKind::SKIP_DMA (an Add or Concatenate realised by skip
// DMA, without NPs of its own); a "hardware" layer targets neither ComponentKind::None nor
// ComponentKind::SKIP_DMA. None of these functions changes the graph, holds state between
// calls or throws (only allocation failures escape). An empty layer reference is accepted
// everywhere: it has depth 0, is no merge, skip or split layer, and leads nowhere.

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "qalto/layer.hpp"

namespace qalto {

using LayerList = std::vector<std::shared_ptr<Layer>>;
// Caller-owned cache of layer depths, keyed by layer identity.
using DepthMemo = std::unordered_map<std::shared_ptr<Layer>, uint32_t>;
// (main branch, skip branch)
using BranchPair = std::pair<LayerList, LayerList>;

// 1 for a layer without inbound layers (never stored in the memo); otherwise the deepest
// inbound depth, plus 1 unless the layer is a joining layer. Stores computed depths in `memo`.
uint32_t get_layer_depth(const std::shared_ptr<Layer>& layer, DepthMemo* memo);

// Stable sort by ascending depth; layers without inbound layers sort first (key 0).
void sort_by_depth(LayerList* layers);

// The shallowest layer of `a` that also appears in `b` (earliest in `a` on equal depth);
// empty when none.
std::shared_ptr<Layer> first_common_layer(const LayerList& a, const LayerList& b);

// The main branch (through the first outbound layer, unless the branch through the second one
// is deeper just before the two meet) and the skip branch (empty unless the layer has exactly
// two outbound layers) below `layer`, each sorted by depth and running to the end of the graph.
BranchPair get_skipconnect_branch(const std::shared_ptr<Layer>& layer);

// More than one outbound layer.
bool is_split_layer(const std::shared_ptr<Layer>& layer);
// A CNP layer right after a joining layer, where the skip connection merges back.
bool is_merge(const std::shared_ptr<Layer>& layer);
// A merge layer whose joining layer itself splits.
bool is_dual_output_layer(const std::shared_ptr<Layer>& layer);
// A dual-output layer whose joining layer's two outputs lead to hardware layers at different
// depths, so that one output must go through a skip-DMA store.
bool is_dual_output_to_store_dma(const std::shared_ptr<Layer>& layer);
// Exactly two outbound layers, both leading to hardware layers, at equal depth (depths cached
// in the caller's memo).
bool is_alt_layer(const std::shared_ptr<Layer>& layer, DepthMemo* memo);
// The shallowest hardware input (earlier inbound on equal depth) of a joining layer it feeds.
bool is_skip_layer(const std::shared_ptr<Layer>& layer);
bool layer_need_load_dma(const std::shared_ptr<Layer>& layer);
bool layer_need_store_dma(const std::shared_ptr<Layer>& layer);

// 1 + sum over the list of (outbound - inbound), the first layer counting one inbound layer.
// A list that joins more branches than it opens gives 0.
uint64_t get_out_branches_count(const LayerList& layers);

// The layer itself unless it is a joining layer; otherwise the hardware layer it leads to
// (the deeper branch on a split); empty when its outputs are all joining layers.
std::shared_ptr<Layer> get_mappable_layer(const std::shared_ptr<Layer>& layer);

// The shallowest hardware layer of the list (branch tie-break on equal depth); empty when none.
std::shared_ptr<Layer> first_mappable_layer(const LayerList& layers);
// The deepest hardware layer of the list (branch tie-break on equal depth); empty when none.
std::shared_ptr<Layer> last_mappable_layer(const LayerList& layers);
// The hardware layer that follows `layer`; empty when none.
std::shared_ptr<Layer> next_mappable_layer(const std::shared_ptr<Layer>& layer);
// The layer whose output `layer` reads on hardware; empty when it has no inbound layer.
std::shared_ptr<Layer> previous_mappable_layer(const std::shared_ptr<Layer>& layer);
// The leading run of the list that must be mapped together: the first layer alone when it
// does not split, else everything up to where its branches join again (the whole list when
// they never do).
LayerList get_layers_to_map_together(const LayerList& layers);

}  // namespace qalto
