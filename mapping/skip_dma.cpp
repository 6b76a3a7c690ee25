#include "mapping/skip_dma.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <map>
#include <utility>

namespace qalto {

namespace {

constexpr uint64_t kMaxDistance = 255;
constexpr const char* second_branch_error =
    "Hardware partial reconfiguration with layers on the second branch is not supported.";
constexpr const char* tnp_b_skip_source_error =
    "A TNP-B layer's skip-DMA store holds its FIFO: the layer cannot also be the source of a "
    "skip connection.";

[[noreturn]] void fail(const Layer& layer, const std::string& message) {
  MappingStatus(layer, message).throw_exception();
}

bool is_joining(const std::shared_ptr<Layer>& layer) {
  return layer->is_target_component(ComponentKind::SKIP_DMA);
}

bool contains(const LayerList& layers, const std::shared_ptr<Layer>& layer) {
  return std::find(layers.begin(), layers.end(), layer) != layers.end();
}

// Channel numbers are 8-bit and wrap, as the registers hold them; check_skipdma_channels
// refuses a sequence where a wrapped number meets a channel still in use.
uint8_t channel_byte(uint64_t channel) { return static_cast<uint8_t>(channel & 0xFF); }

// Distances are 8-bit register fields too: a wrapped distance would read the wrong entry.
uint8_t checked_distance(const Layer& layer, uint64_t distance) {
  if (distance > kMaxDistance) {
    fail(layer, "The skip connection spans " + std::to_string(distance) +
                    " layers, more than the " + std::to_string(kMaxDistance) +
                    " the skip DMA can hold.");
  }
  return static_cast<uint8_t>(distance);
}

// Inbound layer `index` of `source`, which the record of `wired` is computed from.
std::shared_ptr<Layer> inbound_at(const Layer& wired, const std::shared_ptr<Layer>& source,
                                  size_t index) {
  auto inbound = source->inbound_layers();
  if (index >= inbound.size()) {
    fail(wired, "The layer " + source->get_name() + " has no inbound layer " +
                    std::to_string(index + 1) + ".");
  }
  return inbound[index];
}

uint32_t channel_count(const Layer& layer) {
  const Shape& shape = layer.output_dimensions();
  return shape.size() == 0 ? 0 : shape[shape.size() - 1];
}

// Largest depth difference from `source` to one of its outbound layers.
uint8_t outbound_distance(const std::shared_ptr<Layer>& source, const Layer& named,
                          DepthMemo* depths) {
  const uint64_t from = get_layer_depth(source, depths);
  uint64_t distance = 0;
  for (const auto& out : source->outbound_layers()) {
    const uint64_t to = get_layer_depth(out, depths);
    if (to > from) distance = std::max(distance, to - from);
  }
  return checked_distance(named, distance);
}

// A TNP_B layer's FIFO holds "fifo_size" frames; the store and load run one further.
uint8_t fifo_distance(const Layer& layer) {
  const int64_t fifo_size = layer.params().get("fifo_size");
  if (fifo_size < 0) fail(layer, "The FIFO size must not be negative.");
  return checked_distance(layer, static_cast<uint64_t>(fifo_size) + 1);
}

// Channel `offset` (0 to 3) of the layer's group of four.
uint8_t group_channel(const std::shared_ptr<Layer>& layer, const LayerList& pass_layers,
                      const LayerList& sequence_layers, uint32_t offset) {
  return channel_byte(channel_group(layer, pass_layers, sequence_layers) + offset);
}

SkipDmaStoreChannelInfo& fresh(std::unique_ptr<SkipDmaStoreChannelInfo>& slot) {
  slot = std::make_unique<SkipDmaStoreChannelInfo>();
  return *slot;
}

}  // namespace

LayerMapping& require_mapping(const std::shared_ptr<Layer>& layer) {
  auto mapping = layer_mapping_of(*layer);
  if (!mapping) fail(*layer, "The layer has no hardware mapping.");
  return *mapping;
}

ComponentList request_skipdma_store(const std::shared_ptr<Layer>& layer) {
  size_t n = (layer->is_target_component(ComponentKind::TNP_B) ? 1 : 0) +
             (is_skip_layer(layer) ? 1 : 0) + (is_dual_output_to_store_dma(layer) ? 1 : 0);
  ComponentList stores(n);
  for (auto& store : stores) store.type = hw::Type::SKIP_DMA_STORE;
  return stores;
}

MappingStatus skipdma_store_status(const std::shared_ptr<Layer>& layer) {
  // The channel plan gives a layer one plain store. A TNP-B layer's is its FIFO's, so a skip
  // connection from it would be loaded from a channel that no store writes.
  if (layer->is_target_component(ComponentKind::TNP_B) && is_skip_layer(layer)) {
    return MappingStatus(*layer, tnp_b_skip_source_error);
  }
  return MappingStatus::success();
}

ComponentList request_skipdma_load() {
  hw::Component load;
  load.type = hw::Type::SKIP_DMA_LOAD;
  return {load};
}

void request_skipdma(ComponentList* components, const std::vector<hw::Type>& types,
                     const std::shared_ptr<Layer>& layer) {
  for (size_t i = 1; i < types.size(); ++i) {
    ComponentList added =
        types[i] == hw::Type::SKIP_DMA_STORE ? request_skipdma_store(layer) : request_skipdma_load();
    components->insert(components->end(), added.begin(), added.end());
  }
}

uint64_t store_channel_of(const std::shared_ptr<Layer>& layer, const LayerList& sequence_layers) {
  if (!sequence_layers.empty() && sequence_layers.front() == layer) return 1;
  uint64_t stores = 0;
  for (size_t i = 1; i < sequence_layers.size(); ++i) {
    const auto& candidate = sequence_layers[i];
    if (layer_need_store_dma(candidate) || is_dual_output_layer(candidate)) ++stores;
    if (candidate == layer) break;
  }
  return 1 + 2 * stores;
}

uint64_t channel_group(const std::shared_ptr<Layer>& layer, const LayerList& pass_layers,
                       const LayerList& sequence_layers) {
  uint64_t users = 0;
  if (pass_layers.empty() || pass_layers.front() != layer) {
    for (size_t i = 1; i < pass_layers.size(); ++i) {
      const auto& candidate = pass_layers[i];
      if (layer_need_load_dma(candidate) || layer_need_store_dma(candidate)) ++users;
      if (candidate == layer) break;
    }
  }
  return uint64_t{sequence_layers.size()} + 1 + 4 * users;
}

void set_skipdma_store_channel_info(const std::shared_ptr<Layer>& layer,
                                    const LayerList& pass_layers,
                                    const LayerList& sequence_layers, DepthMemo* depths) {
  LayerMapping& mapping = require_mapping(layer);
  SkipDmaStoreChannelInfo info;
  if (layer->is_target_component(ComponentKind::TNP_B)) {
    if (is_skip_layer(layer)) fail(*layer, tnp_b_skip_source_error);
    info.distance = fifo_distance(*layer);
    info.to_merge = 1;
    auto at = std::find(sequence_layers.begin(), sequence_layers.end(), layer);
    if (at == sequence_layers.end()) fail(*layer, "Layer not found in the sequence.");
    info.channel = channel_byte(static_cast<uint64_t>(at - sequence_layers.begin()));
  } else {
    info.distance = outbound_distance(layer, *layer, depths);
    info.channel = channel_byte(store_channel_of(layer, sequence_layers));
    auto outbound = layer->outbound_layers();
    if (outbound.size() == 1 && is_joining(outbound.front())) {
      info.to_merge = 1;
      // The joining layer has no NPs: the output is routed to the group's third channel.
      mapping.next_layer_id = group_channel(layer, pass_layers, sequence_layers, 2);
    }
  }
  fresh(mapping.skipdma_store_channel) = info;
}

void set_skipdma_store_channel_dual_output_info(const std::shared_ptr<Layer>& layer,
                                                const LayerList& sequence_layers,
                                                DepthMemo* depths) {
  LayerMapping& mapping = require_mapping(layer);
  SkipDmaStoreChannelInfo info;
  info.distance = outbound_distance(inbound_at(*layer, layer, 0), *layer, depths);
  // A store-capable layer owns two consecutive channels; the dual output takes the second.
  info.channel = channel_byte(store_channel_of(layer, sequence_layers) + 1);
  fresh(mapping.skipdma_store_dual_output_channel) = info;
}

StoreSource store_source_of(const std::shared_ptr<Layer>& layer) {
  auto merge = inbound_at(*layer, layer, 0);
  LayerList inputs = merge->inbound_layers();
  if (inputs.empty()) fail(*layer, "The layer " + merge->get_name() + " has no inbound layer 1.");
  sort_by_depth(&inputs);
  const auto& shallow = inputs.front();
  if (!is_joining(shallow)) return {shallow, false};
  // A joining layer has no NPs: its output was stored by the merge layer after it, as that
  // layer's second (dual) output.
  LayerList outs = shallow->outbound_layers();
  if (outs.empty()) fail(*layer, "The joining layer " + shallow->get_name() + " has no output.");
  sort_by_depth(&outs);
  return {outs.front(), true};
}

void set_skipdma_load_channel_info(const std::shared_ptr<Layer>& layer,
                                   const LayerList& pass_layers, const LayerList& sequence_layers,
                                   DepthMemo* depths) {
  LayerMapping& mapping = require_mapping(layer);
  for (const auto& pass_layer : pass_layers) get_layer_depth(pass_layer, depths);
  auto info = std::make_unique<SkipDmaLoadChannelInfo>();
  if (layer->is_target_component(ComponentKind::TNP_B)) {
    // A TNP_B layer reads back its own FIFO: the load pairs with its own store.
    if (!mapping.skipdma_store_channel) fail(*layer, "The layer has no skip-DMA store channel.");
    if (mapping.layer_id == 0) fail(*layer, "The layer has no layer number for its load.");
    info->channel = static_cast<uint8_t>(mapping.layer_id - 1);
    info->distance = fifo_distance(*layer);
    info->store_channel = mapping.skipdma_store_channel->channel;
  } else {
    auto merge = inbound_at(*layer, layer, 0);
    auto first = inbound_at(*layer, merge, 0);
    auto second = inbound_at(*layer, merge, 1);
    info->channel = group_channel(layer, pass_layers, sequence_layers, 0);
    const uint64_t d1 = get_layer_depth(first, depths);
    const uint64_t d2 = get_layer_depth(second, depths);
    info->distance = checked_distance(*layer, d1 > d2 ? d1 - d2 : d2 - d1);
    const StoreSource source = store_source_of(layer);
    info->store_channel =
        channel_byte(store_channel_of(source.layer, sequence_layers) + (source.dual ? 1 : 0));
    if (merge->type() == LayerType::Concatenate && d2 < d1) {
      info->concat_offset = channel_count(*first);
    }
  }
  mapping.skipdma_load_channel = std::move(info);
}

namespace {

std::shared_ptr<Dense> variable_or_null(const Layer& layer, const std::string& name) {
  return layer.variables().has(name) ? layer.variables().get(name) : nullptr;
}

// The hardware layer on the merge's other branch, reached from the joining layer `merge`.
std::shared_ptr<Layer> other_branch_layer(const std::shared_ptr<Layer>& layer,
                                          const std::shared_ptr<Layer>& merge) {
  auto outs = merge->outbound_layers();
  if (outs.empty()) fail(*layer, "The joining layer " + merge->get_name() + " has no output.");
  auto candidate = get_mappable_layer(outs[0]);
  if (candidate == layer) {
    if (outs.size() < 2) fail(*layer, second_branch_error);
    candidate = get_mappable_layer(outs[1]);
  }
  return candidate;
}

}  // namespace

void set_merge_layer_info(const std::shared_ptr<Layer>& layer, const LayerList& pass_layers,
                          const LayerList& sequence_layers, DepthMemo* depths) {
  LayerMapping& mapping = require_mapping(layer);
  auto merge = inbound_at(*layer, layer, 0);
  auto info = std::make_unique<MergeLayerMapInfo>();
  info->is_add = merge->type() == LayerType::Add;
  info->load_channel = group_channel(layer, pass_layers, sequence_layers, 1);
  info->not_first_in_pass = first_mappable_layer(pass_layers) != layer;
  if (info->is_add) {
    info->first_shift = variable_or_null(*merge, "a_shift");
    info->second_shift = variable_or_null(*merge, "b_shift");
    info->output_shift = variable_or_null(*merge, "output_shift");
    // The shifts follow the hardware's operand order: the deep input first, the loaded one second.
    const uint32_t first_depth = get_layer_depth(inbound_at(*layer, merge, 0), depths);
    const uint32_t second_depth = get_layer_depth(inbound_at(*layer, merge, 1), depths);
    if (first_depth < second_depth) {
      std::swap(info->first_shift, info->second_shift);
    }
  }
  info->dual_output = is_dual_output_layer(layer);
  if (info->dual_output) {
    if (is_dual_output_to_store_dma(layer)) {
      info->dual_output_target = group_channel(layer, pass_layers, sequence_layers, 3);
    } else {
      auto target = other_branch_layer(layer, merge);
      if (!target || !contains(pass_layers, target)) fail(*layer, second_branch_error);
      info->dual_output_target = require_mapping(target).layer_id;
    }
  }
  mapping.merge_info = std::move(info);
}

void set_alt_layers(const std::shared_ptr<Layer>& layer, const LayerList& pass_layers,
                    std::vector<SharedComponents>* outputs) {
  LayerMapping& mapping = require_mapping(layer);
  for (const auto& out : layer->outbound_layers()) {
    if (!contains(pass_layers, out)) fail(*layer, second_branch_error);
  }
  auto [first_branch, second_branch] = get_skipconnect_branch(layer);
  if (first_branch.empty() || second_branch.empty()) {
    fail(*layer, "The alternate layer lacks a second branch.");
  }
  auto a = get_mappable_layer(first_branch.front());
  auto b = get_mappable_layer(second_branch.front());
  if (!a || !b) fail(*layer, "The alternate layer leads to no hardware layer.");
  // Both destinations are wired here: records outside the pass belong to another mapping.
  if (!contains(pass_layers, a) || !contains(pass_layers, b)) fail(*layer, second_branch_error);
  LayerMapping& ma = require_mapping(a);
  LayerMapping& mb = require_mapping(b);
  const uint32_t n = static_cast<uint32_t>(ma.nps().size() + mb.nps().size());
  ma.alt_info = std::make_unique<AltLayerMapInfo>(AltLayerMapInfo{0, n, 0});
  mb.alt_info = std::make_unique<AltLayerMapInfo>(AltLayerMapInfo{1, n, ma.layer_id});
  mapping.next_layer_id = ma.layer_id;
  outputs->push_back(ma.components);
  outputs->push_back(mb.components);
}

void shift_output_into_sram(const std::shared_ptr<Layer>& layer, DepthMemo* depths) {
  if (is_joining(layer)) return;
  auto outs = layer->outbound_layers();
  if (outs.empty() || outs.front()->type() != LayerType::Concatenate) return;
  auto concat = outs.front();
  auto inputs = concat->inbound_layers();
  if (inputs.size() < 2 || inputs[1] != layer) return;
  if (get_layer_depth(inputs[0], depths) >= get_layer_depth(layer, depths)) return;
  require_mapping(layer).sram_shift = std::make_unique<uint32_t>(channel_count(*inputs[0]));
}

namespace {

// A store's channel, held from the layer that writes it to the last layer that loads it.
struct HeldChannel {
  uint8_t channel;
  size_t from;
  size_t until;
};

// The stores a layer's record writes: each channel, and whether it is the dual output's.
std::vector<std::pair<uint8_t, bool>> written_channels(const LayerMapping& mapping) {
  std::vector<std::pair<uint8_t, bool>> written;
  if (mapping.skipdma_store_channel) {
    written.emplace_back(mapping.skipdma_store_channel->channel, false);
  }
  if (mapping.skipdma_store_dual_output_channel) {
    written.emplace_back(mapping.skipdma_store_dual_output_channel->channel, true);
  }
  return written;
}

std::vector<HeldChannel> held_channels(const LayerList& order) {
  // The last loader of each store, keyed by the storing layer and whether it is its dual
  // output; a store no layer of the sequence loads holds its channel to the end.
  std::map<std::pair<const Layer*, bool>, size_t> last_loader;
  for (size_t i = 0; i < order.size(); ++i) {
    const auto mapping = layer_mapping_of(*order[i]);
    if (!mapping || !mapping->skipdma_load_channel) continue;
    if (order[i]->is_target_component(ComponentKind::TNP_B)) continue;  // its own FIFO
    const StoreSource source = store_source_of(order[i]);
    last_loader[{source.layer.get(), source.dual}] = i;
  }
  std::vector<HeldChannel> held;
  for (size_t i = 0; i < order.size(); ++i) {
    const auto mapping = layer_mapping_of(*order[i]);
    if (!mapping) continue;
    const bool own_fifo = order[i]->is_target_component(ComponentKind::TNP_B);
    auto until = [&](bool dual) {
      if (own_fifo) return i;
      const auto found = last_loader.find({order[i].get(), dual});
      return found == last_loader.end() ? order.size() : found->second;
    };
    for (const auto& [channel, dual] : written_channels(*mapping)) {
      held.push_back({channel, i, until(dual)});
    }
  }
  return held;
}

}  // namespace

void check_skipdma_channels(const LayerList& order) {
  // Held in the order of the layers that write them: of two stores on one channel, the later
  // is refused when it is written while the earlier still waits.
  const std::vector<HeldChannel> held = held_channels(order);
  for (const HeldChannel& later : held) {
    for (const HeldChannel& earlier : held) {
      if (earlier.from >= later.from) break;
      if (earlier.channel != later.channel || later.from > earlier.until) continue;
      fail(*order[later.from], "Skip-DMA channel " + std::to_string(later.channel) +
                                   " still holds the output of layer " +
                                   order[earlier.from]->get_name() +
                                   " for a later layer: the 8-bit channel numbers of the "
                                   "sequence have come round to it again.");
    }
  }
}

namespace {

// The last store written on a channel so far: the layer and whether it is its dual output.
struct Written {
  const Layer* layer = nullptr;
  bool dual = false;
};
using ChannelWriters = std::array<Written, 256>;


// Position in `inputs` of the input whose data the store `written` holds: the storing layer
// itself, or, for a dual-output store, the joining layer the storing layer merges.
size_t stored_input(const LayerList& inputs, const Written& written) {
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (!written.dual && inputs[i].get() == written.layer) return i;
    if (written.dual && is_joining(inputs[i])) {
      const auto merged = inputs[i]->outbound_layers();
      const bool merges_it = std::any_of(merged.begin(), merged.end(), [&](const auto& out) {
        return out.get() == written.layer;
      });
      if (merges_it) return i;
    }
  }
  return inputs.size();
}

// Whether `input` streams into `merge`: the wiring lists the components of the hardware layer
// that carries it among the merge layer's inputs.
bool streams_into(const std::shared_ptr<Layer>& input, const LayerMapping& merge) {
  const auto carrier = get_mappable_layer(input);
  const auto carrier_mapping = carrier ? layer_mapping_of(*carrier) : nullptr;
  if (!carrier_mapping) return false;
  return std::find(merge.inputs.begin(), merge.inputs.end(), carrier_mapping->components) !=
         merge.inputs.end();
}

// A merge layer gets one input of its join through its skip-DMA load and the other as its own
// input; any other input of the join would not reach it.
void check_merge_inputs(const std::shared_ptr<Layer>& layer, const LayerMapping& mapping,
                        const ChannelWriters& written) {
  const auto join = inbound_at(*layer, layer, 0);
  const uint8_t channel = mapping.skipdma_load_channel->store_channel;
  const Written& writer = written[channel];
  const std::string loads = "The skip-DMA load reads channel " + std::to_string(channel);
  if (!writer.layer) fail(*layer, loads + ", which no earlier layer of the sequence stores.");
  LayerList inputs = join->inbound_layers();
  const size_t loaded = stored_input(inputs, writer);
  if (loaded == inputs.size()) {
    fail(*layer, loads + ", which holds the output of layer " + writer.layer->get_name() +
                     ", not an input of " + join->get_name() + ".");
  }
  inputs.erase(inputs.begin() + static_cast<std::ptrdiff_t>(loaded));
  bool streamed = false;  // the merge layer has one input of its own
  for (const auto& input : inputs) {
    if (!streamed && streams_into(input, mapping)) {
      streamed = true;
      continue;
    }
    fail(*layer, "Layer " + input->get_name() + ", an input of " + join->get_name() +
                     ", reaches this layer neither through its skip-DMA load nor as its input.");
  }
}

}  // namespace

void check_skipdma_loads(const LayerList& order) {
  ChannelWriters written;
  for (const auto& layer : order) {
    const auto mapping = layer_mapping_of(*layer);
    if (!mapping) continue;
    // A TNP_B layer's load reads back its own FIFO.
    if (mapping->skipdma_load_channel && !layer->is_target_component(ComponentKind::TNP_B)) {
      check_merge_inputs(layer, *mapping, written);
    }
    for (const auto& [channel, dual] : written_channels(*mapping)) {
      written[channel] = {layer.get(), dual};
    }
  }
}

}  // namespace qalto
