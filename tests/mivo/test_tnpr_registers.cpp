// The TNP-R register image: a full image worked out by hand, the flag words of the usual
// series shapes, and the fields refused one past their width.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "mivo/tnpr_registers.hpp"
#include "support/register_print.hpp"

namespace qalto {
namespace {

using mivo::format_tnpr_registers;
using mivo::TnprRegisterParams;
using testing::field_equals;

std::string overflow_text(const TnprRegisterParams& p) {
  try {
    format_tnpr_registers(p);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no runtime_error>";
}

std::string overflow(uint32_t value, uint32_t bits) {
  return "Attempted to write value " + std::to_string(value) + " into a " + std::to_string(bits) +
         "-bit field, which will cause an overflow.";
}

// One recurrent layer, 8-bit input of 8 channels, no closing layer.
TnprRegisterParams single_layer() {
  TnprRegisterParams p;
  p.layer_count = 1;
  p.input_bits = 8;
  p.output_bits = 32;
  p.input_row_words = 2;
  p.subsample = {1, 1, 1, 1, 1, 1, 1, 1};
  p.output_channels[0] = 8;
  p.input_channels[0] = 8;
  p.stateful_channels = 8;
  return p;
}

TEST(TnprRegisters, FullImageByHand) {
  TnprRegisterParams p;
  p.layer_count = 5;
  p.has_closing_layer = true;
  p.output_bits = 16;
  p.input_bits = 16;
  p.input_row_words = 64;
  p.timesteps = 200;
  p.input_shift_offset = 0x1234;
  p.output_offset = 0xABCD;
  p.state_base = 0x0FED;
  p.subsample = {1, 2, 3, 4, 2, 4, 4, 4};  // entries past layer_count are not written
  p.stateful_channels = 256;
  p.output_channels = {3, 5, 7, 11, 13, 17, 19, 511};
  p.input_channels = {100, 200, 300, 400, 500, 1, 2, 3};
  p.relu_layers = 0b00010110;
  const std::vector<uint32_t> expected = {
      0x001E0004,  // count-1 = 4; closing (17, 20), 16-bit output (18), 16-bit input (19)
      0x0000C840,  // 64 row words, 200 timesteps
      0,
      0xABCD1234,  // output offset high, input-shift offset low
      0x00000FED,
      0x000001E4,  // subsample-1 = 0, 1, 2, 3, 1
      0x00000100,
      0x00000A03, 0x00001607, 0x0000220D, 0x0003FE13,  // output channels in pairs
      0x00019064, 0x0003212C, 0x000003F4, 0x00000602,  // input channels in pairs
      0x00161810,  // closing bit 4, pair bits 3-4, ReLU layers 1, 2, 4
  };
  const auto image = format_tnpr_registers(p);
  ASSERT_EQ(image.size(), mivo::kTnprRegisterWords);
  for (size_t w = 0; w < expected.size(); ++w) {
    EXPECT_EQ(image[w], expected[w]) << "word " << w;
  }
  EXPECT_TRUE(field_equals(image, 4, mivo::CBUF_BASE_ADDR, 0x0FED));
  EXPECT_TRUE(field_equals(image, 5, mivo::SUBSAMPLE_LAYERS[3], 3));
  EXPECT_TRUE(field_equals(image, 6, mivo::INTERNAL_STATE_SIZE, 256));
  EXPECT_TRUE(field_equals(image, 7, mivo::LAYER_1_COUT_SIZE, 5));
  EXPECT_TRUE(field_equals(image, 9, mivo::LAYER_4_COUT_SIZE, 13));
}

TEST(TnprRegisters, TwoLayersAndAPostProcessing) {
  TnprRegisterParams p = single_layer();
  p.layer_count = 3;
  p.has_closing_layer = true;
  p.output_bits = 16;
  p.timesteps = 100;
  const auto image = format_tnpr_registers(p);
  EXPECT_TRUE(field_equals(image, 0, mivo::LAYER_COUNT_MINUS_ONE, 2));
  EXPECT_EQ(image[0], 2u | 1u << 17 | 1u << 18 | 1u << 20);
  EXPECT_TRUE(field_equals(image, 15, mivo::CLOSING_LAYER_MASK, 4));
  EXPECT_TRUE(field_equals(image, 15, mivo::CLOSING_PAIR_MASK, 6));
  EXPECT_TRUE(field_equals(image, 1, mivo::TIMESTEPS, 100));
}

TEST(TnprRegisters, OneLayerWithoutClosing) {
  const auto image = format_tnpr_registers(single_layer());
  EXPECT_EQ(image[0], 1u << 22);  // only the wide-output flag
  EXPECT_EQ(image[15] & 0xFFFF, 0u);
  EXPECT_EQ(image[2], 0u);
  EXPECT_EQ(image[5], 0u);  // subsample 1 is written as 0
  EXPECT_EQ(image[7], 8u);
  EXPECT_EQ(image[11], 8u);
}

TEST(TnprRegisters, InputWidthFlag) {
  TnprRegisterParams p = single_layer();
  p.output_bits = 8;
  EXPECT_EQ(format_tnpr_registers(p)[0], 0u);
  p.input_bits = 16;
  EXPECT_EQ(format_tnpr_registers(p)[0], 1u << 19);
}

TEST(TnprRegisters, FieldsRefuseValuesPastTheirWidth) {
  TnprRegisterParams p = single_layer();
  p.layer_count = 0;
  EXPECT_EQ(overflow_text(p), overflow(4294967295u, 3));
  p.layer_count = 9;
  EXPECT_EQ(overflow_text(p), overflow(8, 3));

  p = single_layer();
  p.subsample[0] = 4;
  EXPECT_NO_THROW(format_tnpr_registers(p));
  p.subsample[0] = 5;
  EXPECT_EQ(overflow_text(p), overflow(4, 2));
  p.subsample[0] = 0;
  EXPECT_EQ(overflow_text(p), overflow(4294967295u, 2));

  p = single_layer();
  p.timesteps = 255;
  p.input_row_words = 255;
  EXPECT_NO_THROW(format_tnpr_registers(p));
  p.timesteps = 256;
  EXPECT_EQ(overflow_text(p), overflow(256, 8));
  p.timesteps = 1;
  p.input_row_words = 256;
  EXPECT_EQ(overflow_text(p), overflow(256, 8));

  p = single_layer();
  p.output_channels[7] = 511;
  p.input_channels[6] = 511;
  p.stateful_channels = 511;
  EXPECT_NO_THROW(format_tnpr_registers(p));
  p.input_channels[6] = 512;
  EXPECT_EQ(overflow_text(p), overflow(512, 9));

  p = single_layer();
  p.output_offset = 65535;
  p.input_shift_offset = 65535;
  EXPECT_NO_THROW(format_tnpr_registers(p));
  p.input_shift_offset = 65536;
  EXPECT_EQ(overflow_text(p), overflow(65536, 16));
}

TEST(TnprRegisters, ClosingMasksNeedRoomForTheirLayers) {
  TnprRegisterParams p = single_layer();
  p.has_closing_layer = true;
  p.layer_count = 8;
  p.subsample.fill(1);
  const auto image = format_tnpr_registers(p);
  EXPECT_TRUE(field_equals(image, 15, mivo::CLOSING_LAYER_MASK, 0x80));
  EXPECT_TRUE(field_equals(image, 15, mivo::CLOSING_PAIR_MASK, 0xC0));
  // A closing layer with no recurrent layer before it has no pair to mark.
  p.layer_count = 1;
  EXPECT_EQ(overflow_text(p), overflow(4294967295u, 8));
}

}  // namespace
}  // namespace qalto
