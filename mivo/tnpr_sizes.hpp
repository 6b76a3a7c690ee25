#pragma once
// SRAM a TNP-R series needs, in words of each of the TNP-R's four memories. The same counts
// serve the checks (against the device's budgets) and the memory figures of a mapped sequence;
// they equal the lengths of the images the formats of tnpr_sram.hpp produce.
//
// Every count is computed in 64 bits and saturates at UINT32_MAX, so that a series too large to
// count still compares above every budget. Each function walks the series from `start` and
// throws what the engine throws for a layer without input size or a missing parameter or
// variable.

#include <cstdint>

#include "qalto/layer.hpp"

namespace qalto::mivo {

// FSRAM (64-bit words): over the StatefulRecurrent chain of `start` (start, then each first
// outbound layer while it is a StatefulRecurrent), R x ceil(K / 8) for "in_proj" and for
// "out_proj" (R rows, K columns). 0 when `start` is not a StatefulRecurrent.
uint32_t get_tnpr_fsram_64b_size(const Layer& start);

// TSRAM (51-bit words): over the TNP-R layers from `start`, per StatefulRecurrent layer its
// input-shift words (ceil(C / 8) at 8-bit input, else ceil(C / 4)) plus "output_channels" plus
// "stateful_channels"; 2 per closing layer.
uint32_t get_tnpr_tsram_51b_size(const Layer& start);

// EVSRAM (32-bit words): the packed input row of `start`, then over the TNP-R layers, per
// StatefulRecurrent layer ceil(C_in / (32 / b_in)); per closing layer ceil(C_out / (32 / b))
// with its output channels and the output bits b of the last StatefulRecurrent layer before
// it (0 when there is none). A bit width of 0 or above 32 gives a term of 0.
uint32_t get_tnpr_evsram_32b_size(const Layer& start);

// STSRAM (32-bit words): the chain length times the "stateful_channels" of `start` (0 when
// `start` is not a StatefulRecurrent), plus, when a MivoPostProcessing follows somewhere on
// the outbound walk, 2 x ceil(log2 W) with W = ceil(T / (32 / b)), T the timesteps and b the
// input bits of `start` (W of 0 or 1 adds 0).
uint32_t get_tnpr_stsram_32b_size(const Layer& start);

}  // namespace qalto::mivo
