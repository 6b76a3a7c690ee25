#pragma once
// Register table of the v2 CNP/TNP: the word index of each register in the 64-word NP image
// and the bit fields the convolution recorders write. Word indices count 32-bit words from 0;
// the register numbers in the field names are the hardware's and differ from the indices.
// Fields of the per-filter variable words are at the end.

#include <cstddef>

#include "qalto/reg_detail.hpp"

namespace qalto::v2 {

// ---- word indices in the NP register image ----
inline constexpr size_t REGW_MODE = 1;              // buffering, LUT, output format, dual output
inline constexpr size_t REGW_CONTROL = 2;           // inbound pooling
inline constexpr size_t REGW_DATA_FORMAT = 3;       // bit widths, activation, NP count, ch. cut
inline constexpr size_t REGW_CPKSRAM = 4;           // packed input memory size
inline constexpr size_t REGW_NP_SIZE = 8;           // own region size and input offsets
inline constexpr size_t REGW_ORIGIN = 9;            // input region origin and stride phases
inline constexpr size_t REGW_INPUT_SIZE = 10;       // input region size
inline constexpr size_t REGW_CONTAINERS = 11;       // input and channel container sizes
inline constexpr size_t REGW_KERNEL = 20;           // stride, transposition, kernel size
inline constexpr size_t REGW_TF_TOTAL = 21;         // filters of the NP (Conv2D)
inline constexpr size_t REGW_CHANNEL_CUT = 22;      // channel range of a depthwise NP
inline constexpr size_t REGW_OUTPUT_ORIGIN = 24;    // first output row and column
inline constexpr size_t REGW_OUTPUT_SIZE = 25;      // output rows and columns
inline constexpr size_t REGW_FILTERS = 26;          // first filter and filter count
inline constexpr size_t REGW_POOLING = 27;          // pooling size, stride and edge padding
inline constexpr size_t REGW_CPK_CONTAINER = 28;    // packed input row and channel sizes
inline constexpr size_t REGW_CPK_GROUPS = 29;       // filter groups
inline constexpr size_t REGW_DUAL_OUT_RANGE = 47;   // column range of the dual output
inline constexpr size_t REGW_DUAL_OUT_TARGET = 48;  // dual-output store destination
inline constexpr size_t REGW_SKIP_DMA = 52;         // merge mode and load channel
inline constexpr size_t REGW_SKIP_DMA_LOAD = 53;    // skip-DMA load component

// ---- word 1 ----
QALTO_REG_FIELD(REG1_RESERVED_4, 4, 1);
QALTO_REG_FIELD(REG1_RESERVED_7, 7, 1);
QALTO_REG_FIELD(REG1_LUT_EN, 20, 1);
QALTO_REG_FIELD(REG1_SINGLE_BUFFER, 22, 1);
QALTO_REG_FIELD(REG1_OUTPUT_FORMAT, 29, 1);
QALTO_REG_FIELD(REG1_DUAL_OUTPUT, 31, 1);

// ---- word 2 ----
QALTO_REG_FIELD(REG2_INBOUND_POOLING, 8, 1);

// ---- word 3 ----
QALTO_REG_FIELD(REG4_INPUT_BITS, 0, 2);     // 3: 8-bit input, 2: narrower
QALTO_REG_FIELD(REG4_WEIGHTS_4BIT, 3, 1);
QALTO_REG_FIELD(REG4_WEIGHTS_BITS, 4, 2);   // 3: 8-bit weights, 2: otherwise
QALTO_REG_FIELD(REG4_WEIGHTS_8BIT, 7, 1);
QALTO_REG_FIELD(REG4_DEPTHWISE, 2, 1);
QALTO_REG_FIELD(REG4_IB_CH_GRP_EN, 10, 1);
QALTO_REG_FIELD(REG4_OUTPUT_BITS, 12, 2);   // 2: below 8 bits, 3: otherwise
QALTO_REG_FIELD(REG4_LINEAR_OUTPUT, 14, 1);
QALTO_REG_FIELD(REG4_RELU, 15, 1);
QALTO_REG_FIELD(REG4_NP_NUM, 16, 8);

// ---- word 4 ----
QALTO_REG_FIELD(REG5_CPKSRAM_SIZE, 0, 16);
QALTO_REG_FIELD(REG5_RESERVED_29_30, 29, 2);
QALTO_REG_FIELD(REG5_ENABLE, 31, 1);

// ---- word 8 ----
QALTO_REG_FIELD(REG8_II_SIZE, 0, 11);
QALTO_REG_FIELD(REG8_II_OFFSET, 12, 3);
QALTO_REG_FIELD(REG8_JJ_SIZE, 16, 11);
QALTO_REG_FIELD(REG8_JJ_OFFSET, 28, 3);

// ---- word 9 ----
QALTO_REG_FIELD(REG9_I_ORIG_CUT, 0, 12);
QALTO_REG_FIELD(REG9_I_CONV_STRD_OFFSET, 12, 1);
QALTO_REG_FIELD(REG9_J_ORIG_CUT, 16, 12);
QALTO_REG_FIELD(REG9_J_CONV_STRD_OFFSET, 28, 1);

// ---- word 10 ----
QALTO_REG_FIELD(REG10_I_SIZE, 0, 11);
QALTO_REG_FIELD(REG10_J_SIZE, 16, 11);

// ---- word 11 ----
QALTO_REG_FIELD(REG11_ICONT_SIZE, 0, 8);
QALTO_REG_FIELD(REG11_CHCONT_SIZE, 12, 18);

// ---- word 20 ----
QALTO_REG_FIELD(REG20_STRIDE_2, 8, 1);
QALTO_REG_FIELD(REG20_TRANSPOSED, 9, 1);
QALTO_REG_FIELD(REG20_RESERVED_10, 10, 1);
QALTO_REG_FIELD(REG20_RESERVED_16_26, 16, 11);
QALTO_REG_FIELD(REG20_KERNEL_SIZE, 28, 3);

// ---- words 21, 22 ----
QALTO_REG_FIELD(CNP2_TF_TOTAL, 0, 11);
QALTO_REG_FIELD(CNP3_CH_ORIG_CUT, 0, 12);
QALTO_REG_FIELD(CNP3_CH_SIZE_CUT, 16, 10);

// ---- words 24 to 26 ----
QALTO_REG_FIELD(REG24_OUT_Y, 0, 12);
QALTO_REG_FIELD(REG24_OUT_X, 16, 12);
QALTO_REG_FIELD(REG25_OUT_HEIGHT, 0, 10);
QALTO_REG_FIELD(REG25_OUT_WIDTH, 16, 8);
QALTO_REG_FIELD(REG26_FIRST_FILTER, 0, 11);
QALTO_REG_FIELD(REG26_FILTER_COUNT, 16, 10);

// ---- word 27: pooling ----
QALTO_REG_FIELD(REG27_POOL_SIZE, 0, 3);
QALTO_REG_FIELD(REG27_POOL_STRIDE, 4, 3);
QALTO_REG_FIELD(REG27_POOL_FLAG, 8, 1);
QALTO_REG_FIELD(REG27_RESERVED_9, 9, 1);
QALTO_REG_FIELD(REG27_PAD_RIGHT, 12, 1);
QALTO_REG_FIELD(REG27_PAD_LEFT, 13, 1);
QALTO_REG_FIELD(REG27_PAD_BOTTOM, 14, 1);
QALTO_REG_FIELD(REG27_PAD_TOP, 15, 1);

// ---- words 28, 29 ----
QALTO_REG_FIELD(CNP8_CPK_ROW_WORDS, 0, 14);
QALTO_REG_FIELD(CNP8_CPK_CHCONT_SIZE, 16, 16);
QALTO_REG_FIELD(CNP9_FILTER_GROUPS, 16, 8);

// ---- words 47, 48: dual output ----
QALTO_REG_FIELD(REG47_DUAL_OUT_COL_LO, 16, 8);
QALTO_REG_FIELD(REG47_DUAL_OUT_COL_HI, 24, 8);
QALTO_REG_FIELD(REG48_STORE_ROW_OR_COL_LO, 0, 8);
QALTO_REG_FIELD(REG48_STORE_COL_OR_COL_HI, 8, 8);
QALTO_REG_FIELD(REG48_SINGLE_STORE, 16, 1);
QALTO_REG_FIELD(REG48_STORE_ID_MASK, 20, 4);
QALTO_REG_FIELD(REG48_TARGET, 24, 8);

// ---- words 52, 53: skip DMA and merge ----
QALTO_REG_FIELD(REG52_MERGE_EN, 0, 1);
QALTO_REG_FIELD(REG52_LOAD_EN, 1, 1);
QALTO_REG_FIELD(REG52_IS_ADD, 2, 1);
QALTO_REG_FIELD(REG52_RESERVED_3, 3, 1);
QALTO_REG_FIELD(REG52_SKIP_EN, 4, 1);
QALTO_REG_FIELD(REG52_NOT_FIRST_IN_PASS, 7, 1);
QALTO_REG_FIELD(REG52_LOAD_CHANNEL, 16, 8);
QALTO_REG_FIELD(REG53_LOAD_ENABLE, 0, 1);
QALTO_REG_FIELD(REG53_LOAD_LOW, 0, 16);
QALTO_REG_FIELD(REG53_LOAD_COL, 8, 8);
QALTO_REG_FIELD(REG53_RESERVED_19, 19, 1);
QALTO_REG_FIELD(REG53_LOAD_ID_MASK, 20, 4);
QALTO_REG_FIELD(REG53_ENABLE, 31, 1);

// ---- per-filter variable words (A = first word of a filter's pair, B = second) ----
QALTO_REG_FIELD(VARS_W1_OUT_SCALE, 0, 8);
QALTO_REG_FIELD(VARS_W1_BIAS, 8, 8);
QALTO_REG_FIELD(VARS_W1_BIAS_SHIFT, 16, 5);
QALTO_REG_FIELD(VARS_W1_OUT_SHIFT, 21, 6);
QALTO_REG_FIELD(VARS_W1_MAX_SHIFT, 27, 5);
QALTO_REG_FIELD(VARS_W1_ACT_SHIFT_LOW, 27, 5);   // bits 0-4 of the activation shift
QALTO_REG_FIELD(VARS_W2_ACT_SHIFT_SIGN, 0, 1);   // bit 5 of the activation shift
QALTO_REG_FIELD(VARS_W2_ACT_SCALE, 1, 8);
QALTO_REG_FIELD(VARS_W2_MAX_VALUE, 0, 8);

}  // namespace qalto::v2
