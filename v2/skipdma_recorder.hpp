#pragma once
// Skip-DMA programs of a v2 layer: one configuration block (dma::Target 11) for each of its
// skip-DMA store, dual-output store and load components.

#include "program/record.hpp"
#include "qalto/layer.hpp"

namespace qalto::v2 {

// A skip-DMA distance and channel are 8-bit fields.
inline constexpr uint32_t SKIPDMA_DISTANCE_BITS = 8;

// Appends to `record`, in this order, a dma::Target 11 block for the layer's plain skip-DMA
// store, for its dual-output store and for its load (LayerMapping::skipdma_store,
// skipdma_store_dual_output, skipdma_load), each addressed to that component, when the layer
// has it. A layer without skip-DMA components adds nothing.
// Checks, before anything is appended:
//  - the layer must carry a LayerMapping (runtime_error "Cannot map layer '<name>'. The layer
//    has no hardware mapping.");
//  - each present component must have its channel record (skipdma_store_channel,
//    skipdma_store_dual_output_channel, skipdma_load_channel; runtime_error "Cannot map layer
//    '<name>'. The skip-DMA <store|dual-output store|load> has no channel.");
//  - a layer with a load merges the loaded data on its own CNPs: without a CNP among its
//    components, runtime_error "Merging layer has no CNPs.";
//  - a TNP_B layer reads "fifo_size" (invalid_argument "Key fifo_size not found" when absent):
//    its stores keep fifo_size + 1 outputs, which must fit SKIPDMA_DISTANCE_BITS (panic with
//    the field-overflow message otherwise).
// The payload layout of the skip-DMA configuration is not part of this generation's
// description yet: the blocks carry no payload (offset 0, header only).
// `record` must not be null (std::invalid_argument).
void record_skipdma(program::Record* record, const Layer& layer);

}  // namespace qalto::v2
