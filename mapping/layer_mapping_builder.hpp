#pragma once
// Builds the LayerMapping records of a hardware pass, wires each to its neighbours (inputs,
// outputs, skip-DMA channels, merge and alternate layers) and links a pass to the one before.

#include <optional>
#include <vector>

#include "mapping/graph.hpp"
#include "mapping/layer_mapping.hpp"
#include "qalto/mapping_status.hpp"

namespace qalto {

struct LayerMappingBuilder {
  // map_standalone over the pass, then link_layers_mapping with a fresh depth memo.
  static void build_layer_mapping(const LayerList& pass_layers, const LayerList& sequence_layers,
                                  const std::vector<ComponentList>& components,
                                  const hw::Ident& dma_event);
  // One record per layer: layer_id numbering (HRC 0, joining 255, others counted, TNP_B one
  // more), the DMA endpoint on the first and last hardware layers.
  static void map_standalone(const LayerList& pass_layers,
                             const std::vector<ComponentList>& components,
                             const hw::Ident& dma_event);
  // Builds and attaches the record of one layer.
  static void map_standalone(const std::shared_ptr<Layer>& layer, const ComponentList& components,
                             uint8_t layer_id, std::optional<hw::Ident> input,
                             std::optional<hw::Ident> output);
  // update_layer_mapping for every hardware layer of the pass.
  static void link_layers_mapping(const LayerList& pass_layers, const LayerList& sequence_layers,
                                  DepthMemo* depths);
  // The wiring of one layer. A layer without inbound layers is only given its store channels.
  static void update_layer_mapping(const std::shared_ptr<Layer>& layer,
                                   const LayerList& pass_layers, const LayerList& sequence_layers,
                                   DepthMemo* depths);
  // Routes the last hardware layer of the previous pass into the first of the new pass.
  static void link_to_previous_pass(std::shared_ptr<Layer> first, std::shared_ptr<Layer> last);
};

}  // namespace qalto
