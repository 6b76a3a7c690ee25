#pragma once
// Words of the HRC, the NP that runs a model's first convolution on raw image data: its
// weights, spread over three SRAM banks, and its two variable words per filter. Shared by the
// v1 and v2 HRC recorders, which wrap the words into DMA blocks.

#include <cstdint>
#include <vector>

#include "qalto/tensor.hpp"

namespace qalto {

// Largest kernel-3 line count the three 576-word banks hold (the 576th line would spill).
inline constexpr uint64_t kHrcMaxKernel3Lines = 575;
// Words of one HRC weight bank in the kernel-3 arrangement.
inline constexpr uint32_t kHrcKernel3BankWords = 576;

// The three weight banks (loaded into the R, G and B weight SRAMs) of int8 weights shaped
// (kernel, kernel, channels, filters) in row-major layout or (filters, channels, kernel,
// kernel) in column-major layout. A line of three words holds nine weights, weight n in bits
// 8(n mod 4) to 8(n mod 4)+7 of word n/4. With three channels bank c holds channel c; with
// one channel the kernel size decides how the lines are spread (3, 4, 5, 7 or 16).
// Throws std::runtime_error "Wrong kernel_size at HRC recording." for another one-channel
// kernel size, "Too many lines on HRC weight formatting with the 3-kernel." above 575 lines,
// and its own message for a tensor that is not of rank 4, has a channel count other than 1
// or 3, or a kernel that is not square. Panics on a non-int8 tensor.
std::vector<std::vector<uint32_t>> format_hrc_weights(const Dense& weights);

// Two words per filter (as many filters as `bias` has elements) for a layer with ReLU or no
// activation. `max_value_shift` and `max_value` may be null (read as 0).
// Panics "%d cannot fit in a %d-bit signed integer" for an output shift outside [-32, 31] and
// "%u cannot fit in a %u-bit unsigned integer" for a max-value shift or bias shift above 31;
// the typed-access panics for a tensor of the wrong element type or with too few elements.
std::vector<uint32_t> format_hrc_activations(const Dense& output_shift, const Dense& output_scales,
                                             const Dense* max_value_shift, const Dense* max_value,
                                             const Dense& bias_shift, const Dense& bias);

// Two words per filter for a layer with a look-up-table activation. Panics for a bias shift
// above 31, or an output or activation shift outside [-32, 31], and as above for the tensors.
std::vector<uint32_t> format_hrc_lut_variables(const Dense& output_scales, const Dense& bias,
                                               const Dense& bias_shift, const Dense& output_shift,
                                               const Dense& activation_shift,
                                               const Dense& activation_scales);

}  // namespace qalto
