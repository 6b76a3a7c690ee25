#pragma once
// Weight memory of the v2 convolutional NP (CNP): sizes, DMA targets and the formatters that
// turn a layer's weight tensor into the 32-bit words one CNP receives.
//
// The CNP weight memory is made of 100-bit words. In a formatted vector a 100-bit word is
// either three 32-bit words (12 little-endian bytes, two 48-bit halves) or four 32-bit words
// (two 64-bit lanes, each carrying 50 bits, or 48 bits in the 4-bit layouts of kernels 1 and
// 3, in its low bits). 8-bit Conv2D kernels 1, 3, 4, 5 and all 8-bit depthwise kernels use the
// 3-word form; 8-bit Conv2D kernel 7 and every 4-bit layout use the 4-word form.
//
// Weight tensors are int8-stored Dense tensors of rank 4: (x, y, c, f) of shape (k, k, C, F)
// for Conv2D and Conv2DTranspose, (x, y, 0, channel) of shape (k, k, 1, N) for depthwise.
//
// Size and target functions switch on `bits`: the sizes and formatters treat 8 as 8-bit and
// every other value as 4-bit; the DMA targets treat 4 as 4-bit and every other value as 8-bit.
// Unless stated otherwise, a size that does not fit 32 bits throws std::overflow_error
// "Weight size does not fit in 32 bits.".

#include <cstdint>
#include <vector>

#include "qalto/dma.hpp"
#include "qalto/tensor.hpp"

namespace qalto::v2 {

inline constexpr uint32_t weight_word_bits = 100;
// 32-bit words of a 100-bit word in the 3-word and in the 4-word form.
inline constexpr uint32_t words32_per_word_3 = 3;
inline constexpr uint32_t words32_per_word_4 = 4;
// Blocks that need the extended DMA header are padded to a multiple of this many words.
inline constexpr uint32_t xl_block_alignment_words = 16;

// Bytes of weight memory taken by `words` 100-bit words: (words * 100 + 7) >> 3.
// Throws std::overflow_error when the result does not fit 32 bits.
uint32_t weight_100b_words_to_bytes(uint32_t words);

// ---- Conv2D sizes (F = filters of one CNP, C = input channels) ----

// 100-bit words of one channel container (the k x k kernels of F filters for one input
// channel). bits 8: kernels 1, 3, 4, 5, 7, else runtime_error
// "ch_cont_size: Unexpected kernel size."; other bits: the 4-bit size below.
uint32_t conv2d_ch_cont_100b_size(uint32_t kernel, uint32_t filters, uint8_t bits);
// 4-bit weights: kernels 1, 3, 5, 7, else runtime_error "Unsupported kernel size.".
uint32_t conv2d_4bit_ch_cont_100b_size(uint32_t kernel, uint32_t filters);
// C containers, in 100-bit words.
uint32_t conv2d_cnp_formatted_weight_100b_size(uint32_t kernel, uint32_t filters,
                                               uint32_t input_channels, uint8_t bits);
uint32_t conv2d_cnp_formatted_4bit_weight_100b_size(uint32_t kernel, uint32_t filters,
                                                    uint32_t input_channels);
// 32-bit words of the formatted Conv2D vector: for 8 bits padded to a multiple of 16 when the
// block needs the extended DMA header; for 4 bits 4 x the 100-bit size, never padded.
uint32_t conv2d_cnp_formatted_weight_32b_size(uint32_t kernel, uint32_t filters,
                                              uint32_t input_channels, uint8_t bits);
uint32_t conv2d_cnp_formatted_4bit_weight_32b_size(uint32_t kernel, uint32_t filters,
                                                   uint32_t input_channels);

// ---- depthwise sizes (N = channels of one CNP) ----

// 100-bit words of N formatted depthwise channels. bits 8: kernels 3, 4, 5, 7, else
// runtime_error "ch_cont_size: Unexpected kernel size."; other bits: the 4-bit size.
uint32_t dwc_ch_cont_100b_size(uint32_t kernel, uint32_t channels, uint8_t bits);
// 4-bit weights: kernels 3, 5, 7, else runtime_error "Invalid kernel size.".
uint32_t dwc_4bit_ch_cont_100b_size(uint32_t kernel, uint32_t channels);
// 32-bit words of the formatted depthwise vector: 8 bits 3 x the 100-bit size, padded to 16
// when the block needs the extended header; other bits the 4-bit size (always a multiple of
// 16, although the 4-bit formatter itself returns 2, 6 or 14 words per channel).
uint32_t dwc_cnp_formatted_weight_32b_size(uint32_t kernel, uint32_t channels, uint8_t bits);
uint32_t dwc_cnp_formatted_4bit_weight_32b_size(int32_t kernel, uint32_t channels);

// ---- DMA targets ----

// bits 4: target 0; otherwise kernels 1, 3, 4, 5 give 1 and kernel 7 gives 0; any other kernel
// throws runtime_error "cnp_weight_format: Unexpected kernel size.".
dma::Target conv2d_dma_target(uint32_t kernel, uint8_t bits);
// bits 4: target 0; otherwise kernels 3, 4, 5, 7 give 1; any other kernel throws the same.
dma::Target dwc_dma_target(uint32_t kernel, uint8_t bits);

// ---- 8-bit layout tables ----

// 8-bit Conv2D layout of one kernel size. Inside a filter group the filters' kernel rows are
// laid out row by row; after run_bytes weight bytes (0: never) gap_bytes stay zero.
struct CnpWeightFormat {
  uint32_t run_bytes;
  uint32_t gap_bytes;
  uint32_t group_filters;
  uint32_t group_words32;
  uint32_t row_bytes;
  uint32_t words32_per_word;
  uint32_t dma_target;
};

// 8-bit depthwise layout of one kernel size: per kernel row, row_run weights, run_gap_bytes
// zeros, the rest of the row, row_gap_bytes zeros; channels channel_bytes apart.
struct DwcWeightFormat {
  uint32_t row_run;
  uint32_t run_gap_bytes;
  uint32_t row_gap_bytes;
  uint32_t channel_bytes;
  uint32_t words32_per_word;
  uint32_t dma_target;
};

// Rows of kernels 1, 3, 4, 5, 7 (Conv2D) and 3, 4, 5, 7 (depthwise); any other kernel throws
// runtime_error "cnp_weight_format: Unexpected kernel size.".
const CnpWeightFormat& cnp_weight_format(uint32_t kernel);
const DwcWeightFormat& dwc_cnp_weight_format(uint32_t kernel);

// ---- formatters ----
//
// Every formatter first checks its arguments, then returns a zero-initialised vector filled with
// the weights. Its length is the 32-bit size function's, except for the 4-bit depthwise
// formatter, which returns 2, 6 or 14 words per channel (kernels 3, 5, 7). Errors:
//  - std::invalid_argument when the tensor is not of rank 4, when its two kernel dimensions
//    differ, or when first + count exceeds its filters (Conv2D, dimension 3) or channels
//    (depthwise, dimension 3);
//  - the kernel-size runtime errors of the size functions;
//  - panic "Wrong requested type int8 ... for a tensor of type %s" when the tensor is not stored
//    as signed bytes (int8, int4, int2, bit);
//  - 4-bit formatters: panic "%d cannot fit in a %d-bit signed integer" (value, 4) for a
//    weight outside -8..7.

// Filters first .. first+count-1 and all input channels, 8-bit layout for bits 8, else the 4-bit
// formatter.
std::vector<uint32_t> format_conv2d_cnp_weights(const Dense& weights, uint32_t first,
                                                uint32_t count, uint8_t bits);
std::vector<uint32_t> format_conv2d_4bit_weights(const Dense& weights, uint32_t first,
                                                 uint32_t count);
// Channels first .. first+count-1, 8-bit layout for bits 8, else the 4-bit formatter.
std::vector<uint32_t> format_depthwise_conv_cnp_weights(const Dense& weights, uint32_t first,
                                                        uint32_t count, uint8_t bits);
std::vector<uint32_t> format_depthwise_conv_cnp_4bit_weights(const Dense& weights, uint32_t first,
                                                             uint32_t count);

}  // namespace qalto::v2
