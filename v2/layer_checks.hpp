#pragma once
// Constraint checks of v2 layers on CNPs (Conv2D, DepthwiseConv2D and their transposed forms)
// and of the Add and Concatenate joins merged by skip DMA.
//
// Each check starts from "Success." and runs every rule of the layer's kind, adding each
// broken rule to the result with MappingStatus::operator+= (the message of every failure, the
// layer's name), so a user sees the whole list at once. No check throws for a broken rule and
// none keeps state. They do throw when the layer cannot be inspected at all: runtime_error
// "Cannot get input size before it is set." or "The layer <name> is not built." for a layer
// without input dimensions, invalid_argument for a missing parameter, and the typed-access
// panics for shift tensors of the wrong type.
//
// Entry points for the v2 compatibility checker, one per layer type:
//   LayerType::Add (6)                        check_add_constraints(layer)
//   LayerType::Concatenate (12)               check_concatenate_constraints(layer)
//   LayerType::Conv2D (14)                    check_conv2d_constraints(hc, layer)
//   LayerType::DepthwiseConv2D (16)           check_dwconv2d_constraints(hc, layer)
//   LayerType::Conv2DTranspose (17)           check_conv2dtranspose_constraints(hc, layer)
//   LayerType::DepthwiseConv2DTranspose (20)  check_dwconv2dtranspose_constraints(hc, layer)
// or check_cnp_layer_constraints(hc, layer), which dispatches on the type.

#include <cstdint>
#include <optional>

#include "mapping/hardware_constraints.hpp"
#include "qalto/layer.hpp"
#include "qalto/mapping_status.hpp"

namespace qalto::v2 {

// Global average pooling runs over the whole input inside one NP.
inline constexpr uint32_t gap_max_input_width = 64;
inline constexpr uint64_t gap_max_input_area = 144;
inline constexpr uint32_t gap_min_conv_rows = 1;
// The Add merge aligns its inputs by a shift difference of at most 15 and rescales the
// result by a 3-bit signed output shift.
inline constexpr int32_t add_max_input_shift_diff = 15;
inline constexpr int32_t add_output_shift_min = -4;
inline constexpr int32_t add_output_shift_max = 3;
// Bytes of one 24-bit input-shift entry.
inline constexpr uint64_t input_shift_entry_bytes = 3;
// Row-word counts of the input memory are held in a 27-bit field.
inline constexpr uint32_t input_row_words_mask = 0x7FFFFFF;

// ---- entry points by layer type ----

MappingStatus check_add_constraints(const Layer& layer);
// A join's shape on the chip: followed by a merge layer, fed by NP layers or joins, and of
// exactly two inputs, the two the merge layer reads.
MappingStatus check_concatenate_constraints(const Layer& layer);
MappingStatus check_conv2d_constraints(const HardwareConstraints& hc, const Layer& layer);
MappingStatus check_dwconv2d_constraints(const HardwareConstraints& hc, const Layer& layer);
MappingStatus check_conv2dtranspose_constraints(const HardwareConstraints& hc, const Layer& layer);
MappingStatus check_dwconv2dtranspose_constraints(const HardwareConstraints& hc,
                                                  const Layer& layer);

// The check of the layer's type among the six above; std::nullopt for any other type.
std::optional<MappingStatus> check_cnp_layer_constraints(const HardwareConstraints& hc,
                                                         const Layer& layer);

// ---- shared sub-checks (each answers its own status; the kind checks merge them) ----

// Output width with activation, input against weight width, input dimensions, filters, the
// input-shift memory, and the shared variable forms (a layer may carry the ReLU variables
// max_value/max_value_shift or the LUT variables activation_scales/activation_shift, not both:
// they share register bits).
MappingStatus check_cnp_tnp_common_constraints(const HardwareConstraints& hc, const Layer& layer);
// "padding" Same or SameUpper; SameUpper only with stride 2, 8-bit activations and weights.
MappingStatus check_padding_constraints(const Layer& layer);
// Max and global average pooling limits. Reads the layer's computed convolution and pooling
// parameters (throws "The layer <name> is not built." without them).
MappingStatus check_pooling_constraints(const HardwareConstraints& hc, const Layer& layer);
// Output widths: with activation 8 (or 4 when `allow_4bit`, ReLU only), else 8 or 28.
MappingStatus check_output_bits_constraints(const Layer& layer, bool allow_4bit);

}  // namespace qalto::v2
