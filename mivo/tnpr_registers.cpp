#include "mivo/tnpr_registers.hpp"

#include <limits>

namespace qalto::mivo {

namespace {

constexpr uint32_t kClosingLayerBit = 1;
constexpr uint32_t kClosingPairBits = 3;
constexpr uint32_t kOutputBits16 = 16;
constexpr uint32_t kInputBits16Flag = 16;

// `bits` shifted left by (count - back), as the value for an 8-bit mask field. A count that
// leaves no valid position gives a value that no such field holds, so set_field refuses it
// instead of the shift being undefined.
uint32_t layer_mask(uint32_t bits, uint32_t count, uint32_t back) {
  if (count < back || count - back >= 32) return std::numeric_limits<uint32_t>::max();
  const uint64_t mask = uint64_t{bits} << (count - back);
  return mask > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                      : static_cast<uint32_t>(mask);
}

void write_channel_pairs(std::vector<uint32_t>& image, size_t first_word,
                         const std::array<uint32_t, kMaxSeriesLayers>& channels) {
  for (size_t i = 0; i < kMaxSeriesLayers; i += 2) {
    uint32_t* word = &image[first_word + i / 2];
    set_field(word, EVEN_LAYER_CHANNELS, channels[i]);
    set_field(word, ODD_LAYER_CHANNELS, channels[i + 1]);
  }
}

}  // namespace

std::vector<uint32_t> format_tnpr_registers(const TnprRegisterParams& p) {
  std::vector<uint32_t> image(kTnprRegisterWords, 0);

  uint32_t* flags = &image[kFlagsWord];
  set_field(flags, LAYER_COUNT_MINUS_ONE, p.layer_count - 1);
  set_field(flags, CLOSING_LAYER_EN, p.has_closing_layer ? 1 : 0);
  set_field(flags, OUTPUT_16BIT, p.output_bits == kOutputBits16 ? 1 : 0);
  set_field(flags, INPUT_16BIT, p.input_bits == kInputBits16Flag ? 1 : 0);
  set_field(flags, CLOSING_LAYER_EN_COPY, p.has_closing_layer ? 1 : 0);
  set_field(flags, OUTPUT_ABOVE_16BIT, p.output_bits > kOutputBits16 ? 1 : 0);

  set_field(&image[kInputWord], INPUT_ROW_WORDS, p.input_row_words);
  set_field(&image[kInputWord], TIMESTEPS, p.timesteps);

  set_field(&image[kTsramOffsetsWord], INPUT_SHIFT_OFFSET, p.input_shift_offset);
  set_field(&image[kTsramOffsetsWord], OUTPUT_OFFSET, p.output_offset);

  set_field(&image[kStateBaseWord], CBUF_BASE_ADDR, p.state_base);

  for (uint32_t i = 0; i < p.layer_count && i < kMaxSeriesLayers; ++i) {
    set_field(&image[kSubsampleWord], SUBSAMPLE_LAYERS[i], p.subsample[i] - 1);
  }

  set_field(&image[kStateSizeWord], INTERNAL_STATE_SIZE, p.stateful_channels);

  // LAYER_0..4_COUT_SIZE name the first five of the output-channel fields.
  set_field(&image[kFirstOutputChannelsWord], LAYER_0_COUT_SIZE, p.output_channels[0]);
  set_field(&image[kFirstOutputChannelsWord], LAYER_1_COUT_SIZE, p.output_channels[1]);
  set_field(&image[kFirstOutputChannelsWord + 1], LAYER_2_COUT_SIZE, p.output_channels[2]);
  set_field(&image[kFirstOutputChannelsWord + 1], LAYER_3_COUT_SIZE, p.output_channels[3]);
  set_field(&image[kFirstOutputChannelsWord + 2], LAYER_4_COUT_SIZE, p.output_channels[4]);
  set_field(&image[kFirstOutputChannelsWord + 2], ODD_LAYER_CHANNELS, p.output_channels[5]);
  set_field(&image[kFirstOutputChannelsWord + 3], EVEN_LAYER_CHANNELS, p.output_channels[6]);
  set_field(&image[kFirstOutputChannelsWord + 3], ODD_LAYER_CHANNELS, p.output_channels[7]);
  write_channel_pairs(image, kFirstInputChannelsWord, p.input_channels);

  uint32_t* masks = &image[kLayerMasksWord];
  set_field(masks, CLOSING_LAYER_MASK,
            p.has_closing_layer ? layer_mask(kClosingLayerBit, p.layer_count, 1) : 0);
  set_field(masks, CLOSING_PAIR_MASK,
            p.has_closing_layer ? layer_mask(kClosingPairBits, p.layer_count, 2) : 0);
  set_field(masks, RELU_LAYERS, static_cast<uint32_t>(p.relu_layers.to_ulong()));
  return image;
}

}  // namespace qalto::mivo
