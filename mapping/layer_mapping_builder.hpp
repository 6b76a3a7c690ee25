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
  // more), the DMA endpoint on the first and last hardware layers. Throws invalid_argument
  // when `components` does not hold one list per layer, and runtime_error "Cannot map layer
  // '<name>'. ..." when a pass needs a layer number above 254; no record changes then.
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
  // The wiring of one layer: SRAM shift, merge, skip-DMA channels and alternate destinations,
  // then (when its first inbound layer is in the pass) the link with the hardware layer before
  // it. A layer without inbound layers gets everything but that link. Throws runtime_error
  // "Cannot map layer '<name>'. ..." when a record it needs is missing or a wiring fails.
  static void update_layer_mapping(const std::shared_ptr<Layer>& layer,
                                   const LayerList& pass_layers, const LayerList& sequence_layers,
                                   DepthMemo* depths);
  // Routes the last hardware layer of the previous pass into the first of the new pass.
  // Throws runtime_error for an empty layer or one without LayerMapping.
  static void link_to_previous_pass(std::shared_ptr<Layer> first, std::shared_ptr<Layer> last);
};

}  // namespace qalto
