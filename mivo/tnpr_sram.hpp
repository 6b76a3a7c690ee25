#pragma once
// The TNP-R SRAM images: weights in the FSRAM (64-bit words) and the per-channel constants in
// the TSRAM (51-bit words). Every image is a list of 32-bit values, each SRAM word taking two
// of them, low half first. The functions append to the list they are given; a value that does
// not fit its field stops the whole call with a runtime_error (through panic) and nothing is
// appended. Tensors are read through the engine's typed access, which panics with
// "Wrong requested type %s for a tensor of type %s" or "Coordinates are out-of-range (linear
// index %zu, tensor size %zu)" for a tensor of the wrong type or too few elements.

#include <cstdint>
#include <vector>

#include "qalto/tensor.hpp"

namespace qalto::mivo {

using SramImage = std::vector<uint32_t>;

// FSRAM words of an 8-bit matrix M (rows x columns, signed 8-bit elements): for each group g of
// 8 columns and each row r, word g x rows + r holds M(r, 8g + j) in byte j (bytes past the last
// column are 0). ceil(columns / 8) x rows words, two values each. Throws runtime_error
// "FSRAM matrices must have 2 dimensions (got <n>)." for a tensor of another rank.
SramImage pack_fsram_matrix(const Dense& matrix);

// Appends the packed in_proj, then the packed out_proj.
void format_fsram_weights(SramImage& fsram, const Dense& in_proj, const Dense& out_proj);

// Appends one state-updating word per state channel (A_real's first dimension): bits 0-15
// A_real, 16-31 A_imag (raw 16 bits each), 32-36 internal_state_outputs_shift (signed), 37-44
// new_state_scale, 45-50 new_state_shift (signed). Panics "%d cannot fit in a %d-bit signed
// integer" for a shift outside its field.
void format_tsram_state_updating_var(SramImage& tsram, const Dense& a_imag, const Dense& a_real,
                                     const Dense& internal_state_outputs_shift,
                                     const Dense& new_state_scale, const Dense& new_state_shift);

// Appends one output word per channel (the scales' first dimension): bits 0-15 the scale
// (uint8 or uint16 scales), 16-21 the shift (signed), 22-29 the bias (signed), 30-34 the bias
// shift. runtime_error "Error when formattting output scale : Unsupported output scales type in
// TSRAM formatting." for scales of another type; panics "%d cannot fit in a %d-bit signed
// integer" for a shift outside -32..31 and "%u cannot fit in a %u-bit unsigned integer" for a
// bias shift above 31.
void format_tsram_output_var(SramImage& tsram, const Dense& scales, const Dense& shift,
                             const Dense& bias, const Dense& bias_shift);

// Appends the closing layer's output word: scale 1, shift -floor(log2 T) (0 for T of 0 or 1) at
// bit 16, the threshold H at bit 22.
void format_tsram_post_processing_output_var(SramImage& tsram, uint16_t timesteps,
                                             uint16_t threshold);

// Appends the input-shift words of `input_shift` (unsigned 8-bit, one per input channel): 3-bit
// fields from bit 0 of the low half, 8 values per word at 8-bit input, 4 values written twice
// each at 16-bit input; the high half is 0. Panics "%u cannot fit in a %u-bit unsigned integer"
// for a shift above 7, and throws runtime_error "TNP-R input shifts are formatted for 8-bit or
// 16-bit input (got <b>-bit)." for any other input width.
void format_tsram_input_shift(SramImage& tsram, const Dense& input_shift, uint8_t input_bits);

// Appends the closing layer's input-shift word: zero.
void format_tsram_post_processing_input_shift(SramImage& tsram);

}  // namespace qalto::mivo
