#pragma once
// Checks of a TNP-R series against the Mivo limits (tnpr_limits.hpp) and the device's four
// SRAM budgets. Each rule that a series breaks becomes a failed MappingStatus; the statuses
// are merged (the first failure's layer, later messages appended after one blank), so that a
// user sees every broken rule at once. None of these throws for a broken rule; the engine's
// errors for a layer without input size, and the typed-read panics, pass through.

#include "mapping/hardware_constraints.hpp"
#include "qalto/layer.hpp"
#include "qalto/mapping_status.hpp"

namespace qalto::mivo {

// The checks of the series that starts at `start`: for each layer on its outbound walk the
// layer's own rules (a StatefulRecurrent layer's bit widths, packed row, ReLU values, input and
// output widths, channel and subsample limits; any other layer the post-processing rules and
// that it ends the series); the walk stops after the first layer that leaves the result
// failed; a series closed by a MivoPostProcessing layer takes at most 255 input timesteps
// (its register field). Then the count of TNP-R layers (at most 8), and always the four SRAM
// sizes of `start` against words 18, 15, 16 and 17 of `constraints` (EVSRAM, STSRAM, FSRAM,
// TSRAM).
// Reads "stateful_channels" of `start` (invalid_argument when absent).
MappingStatus check_tnp_r_constraints(const HardwareConstraints& constraints, const Layer& start);

// The rules of the layer that closes a series: a Dequantizer passes; otherwise only a
// MivoPostProcessing is allowed, with one input channel and 3 to 128 timesteps, and the
// TNP-R layer feeding it must have output scale 1 and output shift 0 (failures about that
// layer).
MappingStatus check_post_processing_layer(const Layer& layer);

// For the first layer of a series: its packed input row is a power of two of 32-bit words, at
// most 512 bytes, and its input channels are within the limit of its input width. Any other
// layer passes.
MappingStatus check_packed_input_row(const Layer& layer);

// With ReLU activation every "max_value" must be 127 and every "max_value_shift" 31 (the first
// element that differs is reported). Without ReLU the layer passes.
MappingStatus check_relu_max_value(const Layer& layer);

}  // namespace qalto::mivo
