#pragma once
// Programs of the v2 convolution layers that run on CNPs: Conv2D, Conv2DTranspose,
// DepthwiseConv2D and DepthwiseConv2DTranspose.
//
// One record per layer: for every CNP of the layer (in the order of its mapping's `nps`, NPs of
// `skip` left out) a 64-word register image (target 7) and, unless `registers_only`, its data:
// weights, input shift (target 2), per-filter variables (5), look-up table (12, look-up-table
// activation only), merge shift (10, merge layers only); then the layer's skip-DMA programs
// (target 11) unless `registers_only`. Every block is appended to the record's last track.
//
// The four kinds share one routine; they differ in how an NP's input is cut (a transposed
// convolution reads its own region and produces twice as much), in the weight layout
// (per-filter containers or per-channel kernels), and in the slice of input shifts and merge
// shifts an NP gets (a depthwise NP computes one filter per input channel, so it gets only its
// own channels).
//
// Arguments of the entry points, as the v2 layer recorder passes them:
//   device              the device version goes into the record;
//   layer               the layer to record; it must carry a LayerMapping;
//   next                the first mappable layer of the next pass, may be null; when it runs on
//                       one of this layer's NPs that NP gets its partial-reconfiguration fields;
//   ib_spikes           every image gets the input-buffer spikes bit;
//   partial_reconfig    passed to the mesh routing and partial-reconfiguration routines;
//   skip                NPs that get nothing (the unused-NP program of a pass);
//   registers_only      register images only: no data or skip-DMA track; the weights are not
//                       formatted, but a Conv2D or Conv2DTranspose still takes its weights' DMA
//                       target (so a kernel no CNP layout takes is refused alike);
//   output_format_flag  bit 29 of word 1.
//
// Throws:
//   runtime_error "Invalid layer type for CNP recording." for a layer of another type;
//   runtime_error "The layer <name> is not built." / "Cannot get input size before it is set."
//     for a layer without computed parameters or input shape;
//   runtime_error "Cannot map layer '<name>'. The layer has no mapping." when the layer (or a
//     given next layer) has no LayerMapping, and "Cannot map layer '<name>'. The layer has no
//     variable <variable>." without the weights, or without the input shift when data is
//     recorded;
//   invalid_argument when an NP of the layer has no NP part, or when "weights_bits" is not a
//     byte (0 to 255) where it is read;
//   the field-overflow panics of the register routines ("Attempted to write value <v> into a
//     <n>-bit field, which will cause an overflow."; sizes are computed in 64 bits, so a value
//     past 32 bits is reported, never wrapped), the errors of the weight formats and of the
//     shared v2 services, and "Error generating NP program." from the record.
// An error leaves the caller no record.

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "qalto/device.hpp"
#include "qalto/hw.hpp"
#include "qalto/layer.hpp"
#include "program/record.hpp"

namespace qalto::v2 {

// The register image of each CNP of a layer, by NP identifier.
using RegisterMap = std::map<hw::Ident, std::vector<uint32_t>>;

program::RecordPtr record_program_conv2d_layer(const Device& device, const Layer& layer,
                                               const std::shared_ptr<Layer>& next, bool ib_spikes,
                                               bool partial_reconfig,
                                               const std::vector<hw::Ident>& skip,
                                               bool registers_only, bool output_format_flag);

program::RecordPtr record_program_transposed_conv2d_layer(
    const Device& device, const Layer& layer,
    const std::shared_ptr<Layer>& next, bool ib_spikes, bool partial_reconfig,
    const std::vector<hw::Ident>& skip, bool registers_only, bool output_format_flag);

program::RecordPtr record_program_dwconv2d_layer(const Device& device, const Layer& layer,
                                                 const std::shared_ptr<Layer>& next,
                                                 bool ib_spikes, bool partial_reconfig,
                                                 const std::vector<hw::Ident>& skip,
                                                 bool registers_only, bool output_format_flag);

program::RecordPtr record_program_transposed_dwconv2d_layer(
    const Device& device, const Layer& layer,
    const std::shared_ptr<Layer>& next, bool ib_spikes, bool partial_reconfig,
    const std::vector<hw::Ident>& skip, bool registers_only, bool output_format_flag);

// The register images alone, as the recorders above build them (same arguments, no device).
// Exposed for tests and tools that inspect the images without a program.
RegisterMap format_cnp_layer_registers(const Layer& layer, const std::shared_ptr<Layer>& next,
                                       bool ib_spikes, bool partial_reconfig,
                                       const std::vector<hw::Ident>& skip, bool registers_only,
                                       bool output_format_flag);

}  // namespace qalto::v2
