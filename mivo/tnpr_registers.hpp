#pragma once
// The TNP-R register image: sixteen 32-bit words that tell the TNP-R how many layers a series
// has, its input and output widths, the packed input row, the timesteps, where the three TSRAM
// sections begin, the per-layer subsample ratios and channel counts, the layers with ReLU and
// the place of the closing layer. Sent as the first track of a series' program.

#include <array>
#include <bitset>
#include <cstdint>
#include <vector>

#include "mivo/tnpr_limits.hpp"
#include "qalto/reg_detail.hpp"

namespace qalto::mivo {

inline constexpr size_t kTnprRegisterWords = 16;

// Word 0: the series.
QALTO_REG_FIELD(LAYER_COUNT_MINUS_ONE, 0, 3);
QALTO_REG_FIELD(CLOSING_LAYER_EN, 17, 1);
QALTO_REG_FIELD(OUTPUT_16BIT, 18, 1);
QALTO_REG_FIELD(INPUT_16BIT, 19, 1);
QALTO_REG_FIELD(CLOSING_LAYER_EN_COPY, 20, 1);
QALTO_REG_FIELD(OUTPUT_ABOVE_16BIT, 22, 1);
// Word 1: the input.
QALTO_REG_FIELD(INPUT_ROW_WORDS, 0, 8);
QALTO_REG_FIELD(TIMESTEPS, 8, 8);
static_assert(kMaxClosedSeriesInputTimesteps == (1u << TIMESTEPS.nb_bits) - 1,
              "the series check must match the TIMESTEPS field");
// Word 3: TSRAM word offsets of the input-shift and output sections (state updating is at 0).
QALTO_REG_FIELD(INPUT_SHIFT_OFFSET, 0, 16);
QALTO_REG_FIELD(OUTPUT_OFFSET, 16, 16);
// Word 4.
QALTO_REG_FIELD(CBUF_BASE_ADDR, 0, 16);
// Word 5: subsample ratio minus one, two bits per series layer.
inline constexpr std::array<RegDetail, kMaxSeriesLayers> SUBSAMPLE_LAYERS = {
    RegDetail{0, 2},  RegDetail{2, 2},  RegDetail{4, 2},  RegDetail{6, 2},
    RegDetail{8, 2},  RegDetail{10, 2}, RegDetail{12, 2}, RegDetail{14, 2}};
static_assert(reg_field_fits(SUBSAMPLE_LAYERS.back().first_bit, SUBSAMPLE_LAYERS.back().nb_bits),
              "SUBSAMPLE_LAYERS does not fit in a 32-bit register");
// Word 6.
QALTO_REG_FIELD(INTERNAL_STATE_SIZE, 0, 9);
// Words 7 to 10: output channels, two layers per word; words 11 to 14: input channels, likewise.
QALTO_REG_FIELD(LAYER_0_COUT_SIZE, 0, 9);
QALTO_REG_FIELD(LAYER_1_COUT_SIZE, 9, 9);
QALTO_REG_FIELD(LAYER_2_COUT_SIZE, 0, 9);
QALTO_REG_FIELD(LAYER_3_COUT_SIZE, 9, 9);
QALTO_REG_FIELD(LAYER_4_COUT_SIZE, 0, 9);
QALTO_REG_FIELD(EVEN_LAYER_CHANNELS, 0, 9);
QALTO_REG_FIELD(ODD_LAYER_CHANNELS, 9, 9);
// Word 15: per-layer flags, one bit per series index.
QALTO_REG_FIELD(CLOSING_LAYER_MASK, 0, 8);
QALTO_REG_FIELD(CLOSING_PAIR_MASK, 8, 8);
QALTO_REG_FIELD(RELU_LAYERS, 16, 8);

inline constexpr size_t kFlagsWord = 0;
inline constexpr size_t kInputWord = 1;
inline constexpr size_t kReservedWord = 2;
inline constexpr size_t kTsramOffsetsWord = 3;
inline constexpr size_t kStateBaseWord = 4;
inline constexpr size_t kSubsampleWord = 5;
inline constexpr size_t kStateSizeWord = 6;
inline constexpr size_t kFirstOutputChannelsWord = 7;
inline constexpr size_t kFirstInputChannelsWord = 11;
inline constexpr size_t kLayerMasksWord = 15;

// What the image is built from; filled while a series is recorded (tnpr_recorder.hpp).
struct TnprRegisterParams {
  uint32_t layer_count = 0;        // layers of the series, the closing layer included
  std::bitset<kMaxSeriesLayers> relu_layers;  // bit i: series layer i has ReLU activation
  uint8_t input_bits = 0;          // input width of the first layer
  uint8_t output_bits = 0;         // output width of the series
  bool has_closing_layer = false;
  uint32_t input_row_words = 0;    // the packed input row in 32-bit words
  uint32_t timesteps = 0;
  uint32_t input_shift_offset = 0;  // TSRAM words
  uint32_t output_offset = 0;       // TSRAM words
  uint32_t state_base = 0;
  std::array<uint32_t, kMaxSeriesLayers> subsample{};
  std::array<uint32_t, kMaxSeriesLayers> output_channels{};
  std::array<uint32_t, kMaxSeriesLayers> input_channels{};
  uint32_t stateful_channels = 0;
};

// The 16 register words of `p`, all bits outside the fields zero. Fields are written in word
// order, and the first value that does not fit its field stops the build: runtime_error
// (through panic) "Attempted to write value <v> into a <n>-bit field, which will cause an
// overflow." (so a layer_count of 0 or above 8, a subsample of 0 or above 4, channel counts
// above 511, timesteps or row words above 255, and TSRAM offsets above 65535 are refused).
std::vector<uint32_t> format_tnpr_registers(const TnprRegisterParams& p);

}  // namespace qalto::mivo
