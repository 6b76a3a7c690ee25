#pragma once
// Mesh routing of a v2 NP's output and the partial-reconfiguration fields that prepare an NP
// for the layer of the next pass.
//
// What these routines check is fixed: the point-to-point modes, the addressability of every
// NP they route to, the identity of the layer's NPs and the next layer's padding. The bit
// layout of the routing words and of the partial-reconfiguration words (32 to 40) is not part
// of this generation's description yet, so the routines validate their arguments and leave the
// image's words as default_np_regs and the shared routines made them. They never write outside
// the words named here.

#include <cstdint>
#include <memory>
#include <vector>

#include "mapping/layer_mapping.hpp"
#include "qalto/hw.hpp"
#include "qalto/layer.hpp"

namespace qalto::v2 {

// A node of the mesh holds four NPs; an NP is addressed by its position (ident id) in a
// one-hot mask of this many bits.
inline constexpr uint32_t NODE_POSITIONS = 4;
// Width of a node position as a field (positions 0 to 3).
inline constexpr uint32_t NODE_POSITION_BITS = 2;
// Words of the NP image that carry the partial-reconfiguration fields.
inline constexpr size_t PARTIAL_RECONFIG_FIRST_WORD = 32;
inline constexpr size_t PARTIAL_RECONFIG_LAST_WORD = 40;

// The one-hot bit of node position `id`. An id of NODE_POSITIONS or more panics with the
// field-overflow message (the id, NODE_POSITION_BITS bits); no shift by the id happens before
// that check, so any id byte is safe.
uint32_t node_position_bit(uint8_t id);

// Throws std::invalid_argument "The NP <(c, r, id)> is given twice to one layer." when two
// components share all four identifier bytes: one NP cannot run two parts of a layer.
void check_unique_nps(const std::vector<hw::Component>& components);

// Whether a component is an NP of the mesh (addressed by node position), as opposed to the
// HRC, the skip-DMA engines and the DMA endpoints.
bool is_mesh_np(const hw::Component& component);

// Validates the mesh routing of one NP of a layer:
//  - `regs` must hold at least 64 words (std::invalid_argument otherwise);
//  - `nps` (the layer's components) must not name one NP twice (check_unique_nps);
//  - with `p2p` (point-to-point mode), the input may come from one component only
//    (runtime_error "Cannot use P2P IN mode for multiple NPs.") and the output may go to one
//    component only (runtime_error "Cannot use P2P OUT mode for multiple NPs.");
//  - every NP among `nps` and `outputs` must be addressable by node position
//    (node_position_bit panics otherwise).
// `inputs`, `nps`, `outputs` are the component lists the recorders gather; `alt_info` may be
// empty; `next_layer_id`, `output_to_dma` and `partial_reconfig` select the destination.
// Nothing is written (see above); on an error the image is unchanged.
void format_mesh_registers_set_output_to_NPs(std::vector<uint32_t>* regs,
                                             const std::vector<hw::Component>& inputs,
                                             const std::vector<hw::Component>& nps,
                                             const std::vector<hw::Component>& outputs,
                                             const std::unique_ptr<AltLayerMapInfo>& alt_info,
                                             uint8_t next_layer_id, bool p2p, bool output_to_dma,
                                             bool partial_reconfig);

// Validates the partial reconfiguration of an NP for `next` (the first layer of the next pass,
// which runs on the same NP as `next_component`):
//  - `regs` must hold at least 64 words (std::invalid_argument otherwise);
//  - `next_component` must carry an NP part (std::invalid_argument otherwise);
//  - `next`'s "padding" must be Same or SameUpper, the paddings the v2 CNP supports
//    (runtime_error "Unsupported padding." otherwise, also when the parameter is missing).
// May touch words 32 to 40 only; writes nothing yet (see above).
void update_partial_reconfig_regs(std::vector<uint32_t>* regs, const Layer& next,
                                  const hw::Component& next_component, bool partial_reconfig);

}  // namespace qalto::v2
