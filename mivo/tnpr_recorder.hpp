#pragma once
// The program of a TNP-R series: one record with three tracks to the TNP-R, the register image
// (DMA target 13), the FSRAM image (14) and the TSRAM image (15: the state-updating, output and
// input-shift sections back to back).

#include <cstdint>

#include "mivo/tnpr_registers.hpp"
#include "mivo/tnpr_sram.hpp"
#include "program/record.hpp"
#include "qalto/device.hpp"
#include "qalto/layer.hpp"

namespace qalto::mivo {

// Records the series that starts at `first` (a StatefulRecurrent layer) for `device`: walks the
// TNP-R layers from `first` along the first outbound links, formats each layer's SRAM images,
// builds the register image and returns the record of three tracks, all unsized headers to the
// ident of the first component of `first`'s mapping. Throws:
//   std::out_of_range "bitset::set: __position (which is <i>) >= _Nb (which is 8)" for a ninth
//     walked layer;
//   std::out_of_range "vector::_M_range_check: ..." when the mapping has no component;
//   runtime_error "Layer '<name>' has no mapping: the TNP-R program needs its component." when
//     `first` carries no mapping;
//   runtime_error (panic) for a register or SRAM value that does not fit its field, and the
//     engine's errors for a missing parameter or variable.
program::RecordPtr record_program_tnpr_layers(const Device& device, const Layer& first);

// Appends the SRAM images of the StatefulRecurrent layer `layer`, series index `index`, to the
// four lists (all of them or, on an error, none), and fills its entries of `params` (ReLU bit, subsample, output and input channels).
// The TSRAM output stage is the following MivoPostProcessing's "input_scales" and
// "input_shift" when one follows, else the layer's own "output_scales" and "output_shift".
// Throws std::out_of_range (bitset::set) for an index above 7, before anything changes.
void format_tnpr_srams(const Layer& layer, SramImage& fsram, SramImage& tsram_state_updating,
                       SramImage& tsram_output, SramImage& tsram_input_shift,
                       TnprRegisterParams& params, uint32_t index);

}  // namespace qalto::mivo
