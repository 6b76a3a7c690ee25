#pragma once
// Pieces of MeshMapper::np_request (np_request.cpp) that stand on their own.

#include <memory>
#include <vector>

#include "qalto/hw.hpp"
#include "qalto/layer.hpp"
#include "qalto/mapping_status.hpp"

namespace qalto {

// The component kinds an NP layer of a split type needs, in request order: CNP1 for a CNP
// layer, else TNP_B for a TNP-B layer (else none), then SKIP_DMA_STORE when the layer needs a
// store DMA and SKIP_DMA_LOAD when it needs a load DMA.
std::vector<hw::Type> needed_component_types(const std::shared_ptr<Layer>& layer);

// A TNP_B layer cut by filters over more than three components (skip-DMA ones included)
// reads whole groups of four channels per NP: failed "The number of channels must be a
// multiple of 4 to be split by filter." naming the layer when a TNP_B component's filter
// count breaks that; success otherwise.
MappingStatus tnp_b_filter_split_status(const Layer& layer,
                                        const std::vector<hw::Component>& components);

}  // namespace qalto
