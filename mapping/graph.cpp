#include "mapping/graph.hpp"

#include <algorithm>
#include <unordered_set>

namespace qalto {

namespace {

using LayerPtr = std::shared_ptr<Layer>;

bool is_joining(const LayerPtr& layer) {
  return layer && layer->is_target_component(ComponentKind::SKIP_DMA);
}

bool is_hardware(const LayerPtr& layer) {
  return layer && !layer->is_target_component(ComponentKind::None) &&
         !layer->is_target_component(ComponentKind::SKIP_DMA);
}

// Position of the first occurrence of `layer` in `list`, or list.size().
size_t index_of(const LayerList& list, const LayerPtr& layer) {
  return static_cast<size_t>(std::find(list.begin(), list.end(), layer) - list.begin());
}

// The state of one public call: depths and branches are pure functions of the graph, so
// caching them for the length of a call changes no result, while it keeps a chain of residual
// blocks (where every split leads twice to the next split) from being walked exponentially.
class GraphWalk {
 public:
  uint32_t depth(const LayerPtr& layer) { return get_layer_depth(layer, &depths_); }

  // Inputs sort before everything, even before a joining layer of depth 1.
  uint32_t sort_key(const LayerPtr& layer) {
    if (!layer || layer->inbound_layers().empty()) return 0;
    return depth(layer);
  }

  void sort(LayerList* layers) {
    std::vector<std::pair<uint32_t, LayerPtr>> keyed;
    keyed.reserve(layers->size());
    for (const auto& layer : *layers) keyed.emplace_back(sort_key(layer), layer);
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 0; i < keyed.size(); ++i) (*layers)[i] = std::move(keyed[i].second);
  }

  LayerPtr first_common(const LayerList& a, const LayerList& b) {
    if (a.empty() || b.empty()) return nullptr;
    const std::unordered_set<LayerPtr> in_b(b.begin(), b.end());
    LayerList common;
    for (const auto& layer : a)
      if (in_b.count(layer)) common.push_back(layer);
    sort(&common);
    return common.empty() ? nullptr : common.front();
  }

  const BranchPair& branches(const LayerPtr& layer) {
    auto found = branches_.find(layer);
    if (found != branches_.end()) return found->second;
    BranchPair result = compute_branches(layer);
    return branches_.emplace(layer, std::move(result)).first->second;
  }

  // Between a preferred candidate `x` and a second one `y`: `y` only when its branch is
  // strictly deeper just before the two branches meet.
  LayerPtr tie_break(const LayerPtr& x, const LayerPtr& y) {
    const LayerList p = branches(x).first;
    const LayerList q = branches(y).first;
    const LayerPtr meet = first_common(p, q);
    const uint32_t dp = depth_before(p, meet);
    if (q.empty() || q.front() == meet) return x;
    const uint32_t dq = depth_before(q, meet);
    return dp < dq ? y : x;
  }

  LayerPtr mappable(const LayerPtr& layer) {
    if (!layer) return nullptr;
    if (!is_joining(layer)) return layer;
    LayerList candidates;
    for (const auto& out : layer->outbound_layers())
      if (!is_joining(out)) candidates.push_back(out);
    if (candidates.empty()) return nullptr;
    if (candidates.size() == 1) return candidates.front();
    return tie_break(candidates[0], candidates[1]);
  }

  LayerList mappable_inputs(const LayerPtr& joining) {
    LayerList inputs;
    for (const auto& in : joining->inbound_layers()) inputs.push_back(mappable(in));
    sort(&inputs);
    return inputs;
  }

  bool is_merge(const LayerPtr& layer) {
    if (!layer || !layer->is_target_component(ComponentKind::CNP)) return false;
    const LayerList inbound = layer->inbound_layers();
    if (inbound.empty() || !is_joining(inbound.front())) return false;
    const LayerPtr& joining = inbound.front();
    size_t cnp_outputs = 0;
    for (const auto& out : joining->outbound_layers())
      if (out->is_target_component(ComponentKind::CNP)) ++cnp_outputs;
    if (cnp_outputs == 1) return true;
    const LayerList& main = branches(joining).first;
    return index_of(main, layer) < main.size();
  }

  LayerPtr first_mappable(const LayerList& layers) {
    LayerList hardware = hardware_layers(layers);
    if (hardware.empty()) return nullptr;
    if (hardware.size() == 1) return hardware.front();
    if (depth(hardware[0]) < depth(hardware[1])) return hardware[0];
    return tie_break(hardware[0], hardware[1]);
  }

  LayerPtr last_mappable(const LayerList& layers) {
    LayerList hardware = hardware_layers(layers);
    if (hardware.empty()) return nullptr;
    const LayerPtr& last = hardware.back();
    if (hardware.size() == 1) return last;
    const LayerPtr& before = hardware[hardware.size() - 2];
    if (depth(last) > depth(before)) return last;
    return tie_break(last, before);
  }

 private:
  BranchPair compute_branches(const LayerPtr& layer) {
    BranchPair result;
    if (!layer) return result;
    const LayerList outbound = layer->outbound_layers();
    if (outbound.empty()) return result;
    LayerList& main = result.first;
    LayerList& skip = result.second;
    main.push_back(outbound[0]);
    const LayerList& below_main = branches(outbound[0]).first;
    main.insert(main.end(), below_main.begin(), below_main.end());
    if (outbound.size() == 2) {
      skip.push_back(outbound[1]);
      const LayerList& below_skip = branches(outbound[1]).first;
      skip.insert(skip.end(), below_skip.begin(), below_skip.end());
    }
    sort(&main);
    sort(&skip);
    const LayerPtr meet = first_common(main, skip);
    if (!meet) return result;
    const size_t at_main = index_of(main, meet);
    const uint32_t dm = at_main == 0 ? 0 : depth(main[at_main - 1]);
    const size_t at_skip = index_of(skip, meet);
    if (at_skip == 0) return result;
    const uint32_t ds = depth(skip[at_skip - 1]);
    if (dm < ds) std::swap(main, skip);
    return result;
  }

  // Depth of the layer just before `meet` in `branch` (of its last layer when `meet` is not in
  // it); 0 when the branch is empty or starts with `meet`.
  uint32_t depth_before(const LayerList& branch, const LayerPtr& meet) {
    if (branch.empty() || branch.front() == meet) return 0;
    const size_t at = index_of(branch, meet);
    return depth(at < branch.size() ? branch[at - 1] : branch.back());
  }

  LayerList hardware_layers(const LayerList& layers) {
    LayerList hardware;
    for (const auto& layer : layers)
      if (is_hardware(layer)) hardware.push_back(layer);
    sort(&hardware);
    return hardware;
  }

  DepthMemo depths_;
  std::unordered_map<LayerPtr, BranchPair> branches_;
};

}  // namespace

uint32_t get_layer_depth(const std::shared_ptr<Layer>& layer, DepthMemo* memo) {
  if (!layer) return 0;
  auto found = memo->find(layer);
  if (found != memo->end()) return found->second;
  const LayerList inbound = layer->inbound_layers();
  if (inbound.empty()) return 1;
  uint32_t depth = 0;
  for (const auto& in : inbound) depth = std::max(depth, get_layer_depth(in, memo));
  if (!is_joining(layer)) ++depth;
  memo->emplace(layer, depth);
  return depth;
}

void sort_by_depth(LayerList* layers) { GraphWalk().sort(layers); }

std::shared_ptr<Layer> first_common_layer(const LayerList& a, const LayerList& b) {
  return GraphWalk().first_common(a, b);
}

BranchPair get_skipconnect_branch(const std::shared_ptr<Layer>& layer) {
  return GraphWalk().branches(layer);
}

bool is_split_layer(const std::shared_ptr<Layer>& layer) {
  return layer && layer->outbound_layers().size() > 1;
}

bool is_merge(const std::shared_ptr<Layer>& layer) { return GraphWalk().is_merge(layer); }

bool is_dual_output_layer(const std::shared_ptr<Layer>& layer) {
  return is_merge(layer) && is_split_layer(layer->inbound_layers().front());
}

bool is_dual_output_to_store_dma(const std::shared_ptr<Layer>& layer) {
  if (!is_dual_output_layer(layer)) return false;
  const LayerList outbound = layer->inbound_layers().front()->outbound_layers();
  GraphWalk walk;
  return walk.depth(walk.mappable(outbound[0])) != walk.depth(walk.mappable(outbound[1]));
}

bool is_alt_layer(const std::shared_ptr<Layer>& layer, DepthMemo* memo) {
  if (!layer) return false;
  const LayerList outbound = layer->outbound_layers();
  if (outbound.size() != 2) return false;
  GraphWalk walk;
  const LayerPtr first = walk.mappable(outbound[0]);
  const LayerPtr second = walk.mappable(outbound[1]);
  // Outputs that lead to no hardware layer are no alternative to each other.
  if (!first || !second) return false;
  return get_layer_depth(first, memo) == get_layer_depth(second, memo);
}

bool is_skip_layer(const std::shared_ptr<Layer>& layer) {
  if (!layer) return false;
  for (const auto& out : layer->outbound_layers()) {
    if (!is_joining(out)) continue;
    const LayerList inputs = GraphWalk().mappable_inputs(out);
    if (!inputs.empty() && inputs.front() == layer) return true;
  }
  return false;
}

bool layer_need_load_dma(const std::shared_ptr<Layer>& layer) {
  return layer && (layer->is_target_component(ComponentKind::TNP_B) || is_merge(layer));
}

bool layer_need_store_dma(const std::shared_ptr<Layer>& layer) {
  return layer && (layer->is_target_component(ComponentKind::TNP_B) || is_skip_layer(layer) ||
                   is_dual_output_to_store_dma(layer));
}

uint64_t get_out_branches_count(const LayerList& layers) {
  if (layers.empty()) return 0;
  int64_t open = 1;
  for (size_t i = 0; i < layers.size(); ++i) {
    if (!layers[i]) continue;
    const int64_t inbound =
        i == 0 ? 1 : static_cast<int64_t>(layers[i]->inbound_layers().size());
    open += static_cast<int64_t>(layers[i]->outbound_layers().size()) - inbound;
  }
  // More joins than splits means no branch is left open, not 2^64 - 1 of them.
  return open < 0 ? 0 : static_cast<uint64_t>(open);
}

std::shared_ptr<Layer> get_mappable_layer(const std::shared_ptr<Layer>& layer) {
  return GraphWalk().mappable(layer);
}

std::shared_ptr<Layer> first_mappable_layer(const LayerList& layers) {
  return GraphWalk().first_mappable(layers);
}

std::shared_ptr<Layer> last_mappable_layer(const LayerList& layers) {
  return GraphWalk().last_mappable(layers);
}

std::shared_ptr<Layer> next_mappable_layer(const std::shared_ptr<Layer>& layer) {
  if (!layer) return nullptr;
  GraphWalk walk;
  LayerList candidates;
  for (const auto& out : layer->outbound_layers()) candidates.push_back(walk.mappable(out));
  return walk.first_mappable(candidates);
}

std::shared_ptr<Layer> previous_mappable_layer(const std::shared_ptr<Layer>& layer) {
  if (!layer) return nullptr;
  const LayerList inbound = layer->inbound_layers();
  if (inbound.empty()) return nullptr;
  const LayerPtr& joining = inbound.front();
  if (!is_joining(joining)) return joining;
  GraphWalk walk;
  if (walk.is_merge(layer)) {
    // The deepest input of the joining layer; the later inbound on equal depth.
    const LayerList inputs = walk.mappable_inputs(joining);
    return inputs.empty() ? nullptr : inputs.back();
  }
  const LayerList& main = walk.branches(joining).first;
  return main.empty() ? nullptr : walk.mappable(main.front());
}

LayerList get_layers_to_map_together(const LayerList& layers) {
  LayerList together;
  int64_t open = 1;
  for (size_t i = 0; i < layers.size(); ++i) {
    const LayerPtr& layer = layers[i];
    const int64_t inbound =
        i == 0 || !layer ? 1 : static_cast<int64_t>(layer->inbound_layers().size());
    const int64_t outbound = layer ? static_cast<int64_t>(layer->outbound_layers().size()) : 1;
    open += outbound - inbound;
    together.push_back(layer);
    if (open == 1) break;
  }
  return together;
}

}  // namespace qalto
