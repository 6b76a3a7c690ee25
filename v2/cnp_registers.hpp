#pragma once
// Register routines shared by the v2 recorders of convolution-like layers (Conv2D,
// DepthwiseConv2D and their transposed forms on CNPs; the TNP-B convolutions): pooling fields,
// common configuration, skip-DMA and merge fields, the input-shift memory size and the packing
// of the per-filter variables. The routines write into an image the caller owns (64 words, see
// default_np_regs); none allocates it.
//
// Every routine writes into a copy of the image and replaces the caller's image only when all
// fields were written: a value that does not fit its field panics ("Attempted to write value
// <v> into a <n>-bit field, which will cause an overflow." or "%d cannot fit in a %d-bit
// signed integer") and leaves the image as it was. An image shorter than 64 words throws
// std::invalid_argument.

#include <cstdint>
#include <memory>
#include <vector>

#include "mapping/layer_mapping.hpp"
#include "mapping/np_split.hpp"
#include "qalto/hw.hpp"
#include "qalto/layer.hpp"
#include "qalto/tensor.hpp"

namespace qalto::v2 {

// Eight 3-bit input shifts fill one 24-bit word of the input-shift memory.
inline constexpr uint32_t input_shifts_per_24b_word = 8;

// Writes the pooling fields (word 27) and, when `inbound_pooling_flag`, sets word 2 bit 8.
// `shape` is the layer's input (width, height), `np` the NP's own region, `pool_flag` the final
// flag of the layer's pooling parameters. pool_size and pool_stride are 3-bit fields.
void format_cnp_pooling_registers(std::vector<uint32_t>* regs, const Shape& shape,
                                  const NpSpace& np, uint8_t pool_size, uint8_t pool_stride,
                                  bool pool_flag, const PaddingParams& pool_padding,
                                  bool inbound_pooling_flag);

// Fills `params` for a layer without pooling: strides 1, the given width and height, zero
// padding, flag false. Always returns true. Throws std::invalid_argument for a null `params`.
bool get_no_pooling_params(PoolingCalculatedParams* params, uint32_t width, uint32_t height);

// Writes the common configuration (words 1, 3, 4, 8, 9, 10, 11, 20, 24, 25, 26) of one NP, then,
// when `with_skip_dma`, the skip-DMA and merge fields (format_skip_dma_registers).
// `components` are the layer's NPs (their count goes into REG4_NP_NUM); a list holding one
// identifier twice throws std::invalid_argument. `single_buffer` is the NP's input-buffer mode,
// `first_filter`/`filter_count` its filters.
void format_cnp_tnp_common_config_registers(
    std::vector<uint32_t>* regs, const NpSplitInterface& split, int kernel_size, int kernel_stride,
    ActivationType activation, uint32_t first_filter, uint32_t filter_count, uint8_t weights_bits,
    const std::vector<hw::Component>& components, bool single_buffer, bool transposed,
    uint8_t input_bits, uint8_t output_bits, const std::unique_ptr<MergeLayerMapInfo>& merge_info,
    const hw::Component* skipdma_load, const std::vector<hw::Component>& skipdma_stores,
    bool output_format_flag, bool with_skip_dma);

// Writes the skip-DMA and merge fields (words 1, 47, 48, 52, 53). Without merge info only word
// 52 bit 7 is set. With merge info a null `skipdma_load` throws runtime_error
// "Skip DMA load should not be null.". A dual-output merge without stores writes its column
// range (1 and 1 for a lone HRC) and leaves the store fields of word 48 but the target at 0.
// Component ids select a bit of a 4-bit mask: an id above 3 panics with
// the overflow message.
void format_skip_dma_registers(std::vector<uint32_t>* regs,
                               const std::vector<hw::Component>& components,
                               const std::unique_ptr<MergeLayerMapInfo>& merge_info,
                               const hw::Component* skipdma_load,
                               const std::vector<hw::Component>& skipdma_stores);

// 24-bit words of the input-shift memory for `input_shift`: ceil(elements / 8).
// Throws std::overflow_error when the count does not fit 32 bits.
uint32_t cnp_tnp_input_shift_24b_size(const Dense& input_shift);

// Two words per filter first .. first+count-1 (word A, then word B):
//   A bits 0-7 output_scales, 8-15 bias (two's complement), 16-20 bias_shift, 21-26
//   output_shift (6-bit signed), 27-31 max_value_shift or the low five bits of
//   activation_shift; B bit 0 the sign of activation_shift, bits 1-8 activation_scales, or
//   bits 0-7 max_value.
// Every tensor may be null (its fields stay 0). The ReLU form (max_value, max_value_shift) and
// the LUT form (activation_shift, activation_scales) share bits: giving a tensor of each form
// throws std::invalid_argument. Tensors are read with the typed element access (bias,
// output_shift, activation_shift int8, the others uint8), so a wrong type or a tensor shorter
// than first + count panics. A shift outside its field panics (output_shift and
// activation_shift: [-32, 31]; bias_shift and max_value_shift: [0, 31]).
std::vector<uint32_t> format_cnp_tnp_variables(const Dense* max_value, const Dense* max_value_shift,
                                               const Dense* activation_shift,
                                               const Dense* activation_scales,
                                               const Dense* output_shift, const Dense* bias_shift,
                                               const Dense* bias, const Dense* output_scales,
                                               uint32_t first, uint32_t count);

}  // namespace qalto::v2
