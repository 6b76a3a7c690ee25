#include "mapping/layer_mapping_builder.hpp"

#include <algorithm>
#include <stdexcept>

#include "mapping/skip_dma.hpp"

namespace qalto {

namespace {

constexpr uint8_t kJoiningLayerId = 255;
// 255 marks joining layers and "no destination" in next_layer_id: hardware layers stop below.
constexpr uint32_t kLastLayerId = 254;

bool is_joining(const std::shared_ptr<Layer>& layer) {
  return layer->is_target_component(ComponentKind::SKIP_DMA);
}

bool is_hardware(const std::shared_ptr<Layer>& layer) {
  return !layer->is_target_component(ComponentKind::None) && !is_joining(layer);
}

SharedComponents single_component(hw::Type type, const hw::Ident& ident) {
  hw::Component component;
  component.type = type;
  component.ident = ident;
  return std::make_shared<ComponentList>(ComponentList{component});
}

bool in_list(const LayerList& layers, const std::shared_ptr<Layer>& layer) {
  return std::find(layers.begin(), layers.end(), layer) != layers.end();
}

}  // namespace

void LayerMappingBuilder::build_layer_mapping(const LayerList& pass_layers,
                                              const LayerList& sequence_layers,
                                              const std::vector<ComponentList>& components,
                                              const hw::Ident& dma_event) {
  map_standalone(pass_layers, components, dma_event);
  DepthMemo depths;
  link_layers_mapping(pass_layers, sequence_layers, &depths);
}

void LayerMappingBuilder::map_standalone(const LayerList& pass_layers,
                                         const std::vector<ComponentList>& components,
                                         const hw::Ident& dma_event) {
  if (components.size() != pass_layers.size()) {
    throw std::invalid_argument("A pass needs one component list per layer.");
  }
  const auto first = first_mappable_layer(pass_layers);
  const auto last = last_mappable_layer(pass_layers);
  // Numbers are checked up front so that a pass too long for 8-bit numbers changes nothing.
  std::vector<uint8_t> layer_ids;
  uint32_t counter = 0;
  for (const auto& layer : pass_layers) {
    if (is_joining(layer)) {
      layer_ids.push_back(kJoiningLayerId);
    } else if (layer->is_target_component(ComponentKind::HRC)) {
      layer_ids.push_back(0);
    } else {
      if (!layer->is_target_component(ComponentKind::None)) ++counter;
      // A TNP_B layer also takes the number before its own, which its FIFO load uses.
      if (layer->is_target_component(ComponentKind::TNP_B)) ++counter;
      if (counter > kLastLayerId) {
        MappingStatus(*layer, "The pass holds more hardware layers than the " +
                                  std::to_string(kLastLayerId) + " layer numbers available.")
            .throw_exception();
      }
      layer_ids.push_back(static_cast<uint8_t>(counter));
    }
  }
  for (size_t i = 0; i < pass_layers.size(); ++i) {
    const auto& layer = pass_layers[i];
    const bool on_hrc = layer->is_target_component(ComponentKind::HRC);
    const uint8_t layer_id = layer_ids[i];
    std::optional<hw::Ident> input;
    std::optional<hw::Ident> output;
    if (layer == first && !on_hrc) input = dma_event;
    if (layer == last) output = dma_event;
    map_standalone(layer, components[i], layer_id, input, output);
  }
}

void LayerMappingBuilder::map_standalone(const std::shared_ptr<Layer>& layer,
                                         const ComponentList& components, uint8_t layer_id,
                                         std::optional<hw::Ident> input,
                                         std::optional<hw::Ident> output) {
  auto record = std::make_shared<LayerMapping>();
  record->layer_id = layer_id;
  record->next_layer_id = 255;
  if (layer->is_target_component(ComponentKind::HRC)) {
    record->inputs.push_back(single_component(hw::Type::HRC, hw::Ident{}));
  } else if (input) {
    record->inputs.push_back(single_component(hw::Type::DMA, *input));
  }
  for (const auto& component : components) {
    switch (component.type) {
      case hw::Type::SKIP_DMA_STORE: record->skipdma_stores.push_back(component); break;
      case hw::Type::SKIP_DMA_LOAD: record->skipdma_loads.push_back(component); break;
      default: record->nps().push_back(component); break;
    }
  }
  const bool targets_tnp_b = layer->is_target_component(ComponentKind::TNP_B);
  record->tnp_b_skip_dma =
      targets_tnp_b && !(record->skipdma_stores.empty() && record->skipdma_loads.empty());
  record->dual_output_store = !record->skipdma_stores.empty() && is_dual_output_to_store_dma(layer);
  if (output) {
    record->outputs.push_back(single_component(hw::Type::DMA, *output));
    record->output_to_dma = true;
  }
  layer->set_mapping(record);
}

void LayerMappingBuilder::link_layers_mapping(const LayerList& pass_layers,
                                              const LayerList& sequence_layers,
                                              DepthMemo* depths) {
  for (const auto& layer : pass_layers) {
    if (is_hardware(layer)) update_layer_mapping(layer, pass_layers, sequence_layers, depths);
  }
}

void LayerMappingBuilder::update_layer_mapping(const std::shared_ptr<Layer>& layer,
                                               const LayerList& pass_layers,
                                               const LayerList& sequence_layers,
                                               DepthMemo* depths) {
  LayerMapping& record = require_mapping(layer);
  // Records that describe the layer itself are set even without inbound layers (a model's
  // first layer may be a skip source or open two branches); only the link to the layer
  // before needs one.
  shift_output_into_sram(layer, depths);
  if (is_merge(layer)) set_merge_layer_info(layer, pass_layers, sequence_layers, depths);
  if (record.skipdma_store()) {
    set_skipdma_store_channel_info(layer, pass_layers, sequence_layers, depths);
  }
  if (record.skipdma_store_dual_output()) {
    set_skipdma_store_channel_dual_output_info(layer, sequence_layers, depths);
  }
  if (record.skipdma_load()) {
    set_skipdma_load_channel_info(layer, pass_layers, sequence_layers, depths);
  }
  if (is_alt_layer(layer, depths)) set_alt_layers(layer, pass_layers, &record.outputs);

  const auto inbound = layer->inbound_layers();
  if (inbound.empty() || !in_list(pass_layers, inbound.front())) return;
  auto previous = previous_mappable_layer(layer);
  if (!previous) {
    MappingStatus(*layer, "The layer has no hardware layer before it.").throw_exception();
  }
  LayerMapping& before = require_mapping(previous);
  record.inputs.push_back(before.components);
  if (!is_alt_layer(previous, depths)) {
    before.outputs.push_back(record.components);
    before.next_layer_id = record.layer_id;
  }
  if (layer->is_target_component(ComponentKind::TNP_B)) {
    before.outputs.push_back(std::make_shared<ComponentList>(record.skipdma_loads));
  }
}

void LayerMappingBuilder::link_to_previous_pass(std::shared_ptr<Layer> first,
                                                std::shared_ptr<Layer> last) {
  if (!first || !last) {
    throw std::runtime_error("Cannot link passes: a pass has no hardware layer.");
  }
  LayerMapping& f = require_mapping(first);
  LayerMapping& l = require_mapping(last);
  l.outputs.clear();
  l.outputs.push_back(f.components);
  l.output_to_dma = false;
  const uint8_t id = static_cast<uint8_t>(l.layer_id + 1);
  l.next_layer_id = id;
  f.prev_pass_layer_id = id;
  f.inputs.push_back(l.components);
}

}  // namespace qalto
