#pragma once
// Skip connections on hardware: how many skip-DMA components a layer asks for, and, when a
// pass is built, the channel numbers and distances of every store and load, the merge
// parameters of a merge layer, the two destinations of an alternate layer and the SRAM offset
// of a layer feeding the second input of a Concatenate.
//
// Channel numbers are 8-bit and wrap, as the registers hold them. check_skipdma_channels
// refuses a sequence where a wrapped number meets a channel whose data still waits to be
// loaded.
// Every layer given to the wiring operations must carry its LayerMapping.

#include <cstdint>
#include <vector>

#include "mapping/graph.hpp"
#include "mapping/layer_mapping.hpp"
#include "qalto/mapping_status.hpp"

namespace qalto {

// n SKIP_DMA_STORE components: one for a TNP_B layer, one for a skip source, one for a
// dual-output source that goes through a store.
ComponentList request_skipdma_store(const std::shared_ptr<Layer>& layer);
// Whether the layer's stores can all get a channel: failed "A TNP-B layer's skip-DMA store
// holds its FIFO: the layer cannot also be the source of a skip connection." for a TNP_B layer
// that is a skip source; success otherwise.
MappingStatus skipdma_store_status(const std::shared_ptr<Layer>& layer);
// One SKIP_DMA_LOAD component.
ComponentList request_skipdma_load();
// For each needed type after the first: stores for SKIP_DMA_STORE, a load otherwise.
void request_skipdma(ComponentList* components, const std::vector<hw::Type>& types,
                     const std::shared_ptr<Layer>& layer);

// Store channel of `layer`: 1 for the first sequence layer, else 1 + 2 x (store-capable
// sequence layers from the second up to it). Its dual-output store uses the next channel.
// Unwrapped count: the records keep its low 8 bits.
uint64_t store_channel_of(const std::shared_ptr<Layer>& layer, const LayerList& sequence_layers);
// First of the four channels of a layer's group in its pass: (sequence layers) + 1 + 4 x
// (skip-DMA users of the pass from its second layer up to the layer). Unwrapped count.
uint64_t channel_group(const std::shared_ptr<Layer>& layer, const LayerList& pass_layers,
                       const LayerList& sequence_layers);

// The operations below replace one record of the layer's LayerMapping. Each throws
// MappingError (a runtime_error) "Cannot map layer '<name>'. ..." for a distance above 255, a
// layer without LayerMapping or a missing inbound layer the record is computed from.

// Store distance and channel; a TNP_B layer's channel is its position in `sequence_layers`
// ("Layer not found in the sequence." when absent; the failure of skipdma_store_status when
// it is also a skip source). A store straight into a joining layer
// also routes the layer's output (next_layer_id) to the third channel of its group.
void set_skipdma_store_channel_info(const std::shared_ptr<Layer>& layer,
                                    const LayerList& pass_layers,
                                    const LayerList& sequence_layers, DepthMemo* depths);
// The dual-output store: the next channel after the layer's plain store channel.
void set_skipdma_store_channel_dual_output_info(const std::shared_ptr<Layer>& layer,
                                                const LayerList& sequence_layers,
                                                DepthMemo* depths);
// The load of a merge layer (first channel of its group) or of a TNP_B layer (its own FIFO).
void set_skipdma_load_channel_info(const std::shared_ptr<Layer>& layer,
                                   const LayerList& pass_layers, const LayerList& sequence_layers,
                                   DepthMemo* depths);
// Throws "Hardware partial reconfiguration with layers on the second branch is not
// supported." when the other branch's layer is outside the pass.
void set_merge_layer_info(const std::shared_ptr<Layer>& layer, const LayerList& pass_layers,
                          const LayerList& sequence_layers, DepthMemo* depths);
// Same failure when an outbound layer or a destination is outside the pass.
void set_alt_layers(const std::shared_ptr<Layer>& layer, const LayerList& pass_layers,
                    std::vector<SharedComponents>* outputs);
// sram_shift of the deeper second input of a Concatenate: its first input's channel count.
void shift_output_into_sram(const std::shared_ptr<Layer>& layer, DepthMemo* depths);

// The store a merge layer's load reads: the shallower input of its joining layer, or, when
// that input is itself a joining layer, the dual-output store of the merge layer after it.
// MappingError when the joining layer lacks an inbound layer or an output.
struct StoreSource {
  std::shared_ptr<Layer> layer;
  bool dual = false;
};
StoreSource store_source_of(const std::shared_ptr<Layer>& layer);
// Throws MappingError "Cannot map layer '<name>'. Skip-DMA channel <n> still holds the output
// of layer <source> ..." naming the first layer of `order` (the layers of a sequence, pass
// after pass, wired) whose store writes the channel of a store that a later layer still has to
// load; a store nothing in the sequence loads holds its channel to the end.
void check_skipdma_channels(const LayerList& order);
// Throws MappingError naming the first merge layer of `order` (as above) that an input of its
// joining layer cannot reach: its load must read the channel last written before it by the
// store of one input (or by the dual-output store of the merge layer after a joining input),
// and the join's other input, its only other one, must stream into it.
void check_skipdma_loads(const LayerList& order);
// The LayerMapping of a layer; throws "Cannot map layer '<name>'. The layer has no hardware
// mapping." when it has none.
LayerMapping& require_mapping(const std::shared_ptr<Layer>& layer);

}  // namespace qalto
