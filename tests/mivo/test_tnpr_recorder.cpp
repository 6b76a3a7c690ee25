// Recording a TNP-R series: the three tracks of its record, the register fields that come from
// the layers, the wiring of each variable into its SRAM section, and the layer recorder's
// answers for other layers.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "mapping/fake_device.hpp"
#include "mapping/layer_mapping.hpp"
#include "mivo/layer_recorder.hpp"
#include "mivo/tnpr_recorder.hpp"
#include "mivo/tnpr_sizes.hpp"
#include "qalto/dma.hpp"
#include "support/register_print.hpp"
#include "tests/mivo/tnpr_series.hpp"

namespace qalto {
namespace {

using testing::field_equals;
using testing::Series;

const hw::Ident kTnpr{1, 2, 3, 0};

void map_on_tnpr(Layer& layer, bool with_component = true) {
  auto mapping = std::make_shared<LayerMapping>();
  if (with_component) {
    hw::Component component;
    component.type = hw::Type::TNP_R;
    component.ident = kTnpr;
    mapping->nps().push_back(component);
  }
  layer.set_mapping(mapping);
}

struct Track {
  dma::ConfigHeader header;
  std::vector<uint32_t> payload;
};

Track track(const program::Record& record, size_t index) {
  const auto& words = record.tracks.at(index).words();
  EXPECT_GE(words.size(), 2u);
  return {dma::decode_config_header(words.data()), {words.begin() + 2, words.end()}};
}

class TnprRecorder : public ::testing::Test {
 protected:
  std::shared_ptr<testing::FakeDevice> device = testing::make_device(0xB1, 1, 0);

  program::RecordPtr record(Layer& first) {
    map_on_tnpr(first);
    return mivo::record_program_tnpr_layers(*device, first);
  }
};

template <typename E, typename F>
std::string error_text(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<no error>";
}

TEST_F(TnprRecorder, TwoLayersAndAPostProcessing) {
  Series s;
  auto layers = s.chain(s.input(12, 8), 2, {{"output_channels", 1}, {"stateful_channels", 4}});
  s.post("post", layers.back());
  const auto rec = record(*layers.front());
  ASSERT_EQ(rec->track_count(), 3u);
  EXPECT_EQ(rec->version, device->version());
  const uint32_t targets[] = {13, 14, 15};
  for (size_t t = 0; t < 3; ++t) {
    const Track tr = track(*rec, t);
    EXPECT_EQ(tr.header.target, targets[t]);
    EXPECT_EQ(tr.header.length, 0u);  // the TNP-R takes each image whole
    EXPECT_EQ(tr.header.offset, 0u);
    EXPECT_EQ(tr.header.ident.col, 1);
    EXPECT_EQ(tr.header.ident.row, 2);
    EXPECT_EQ(tr.header.ident.id, 3);
  }
  const auto regs = track(*rec, 0).payload;
  ASSERT_EQ(regs.size(), 16u);
  EXPECT_EQ(regs[0], 2u | 1u << 17 | 1u << 18 | 1u << 20);
  EXPECT_TRUE(field_equals(regs, 1, mivo::INPUT_ROW_WORDS, 2));
  EXPECT_TRUE(field_equals(regs, 1, mivo::TIMESTEPS, 12));
  EXPECT_TRUE(field_equals(regs, 4, mivo::CBUF_BASE_ADDR, 2 * 4));
  EXPECT_TRUE(field_equals(regs, 6, mivo::INTERNAL_STATE_SIZE, 4));
  EXPECT_EQ(regs[7], 1u | 1u << 9);    // output channels 1, 1
  EXPECT_EQ(regs[8], 1u);              // the closing layer's 1
  EXPECT_EQ(regs[11], 8u | 1u << 9);   // input channels 8, 1
  EXPECT_EQ(regs[12], 1u);
  EXPECT_EQ(regs[15], 4u | 6u << 8);
  // TSRAM: 8 state words, then 3 output words, then 3 input-shift words.
  EXPECT_TRUE(field_equals(regs, 3, mivo::OUTPUT_OFFSET, 8));
  EXPECT_TRUE(field_equals(regs, 3, mivo::INPUT_SHIFT_OFFSET, 11));
  EXPECT_EQ(track(*rec, 2).payload.size(), 2u * 14);
  EXPECT_EQ(track(*rec, 2).payload.size(), 2u * mivo::get_tnpr_tsram_51b_size(*layers.front()));
  EXPECT_EQ(track(*rec, 1).payload.size(), 2u * mivo::get_tnpr_fsram_64b_size(*layers.front()));
}

TEST_F(TnprRecorder, SeriesWithoutClosingLayer) {
  Series s;
  auto layers = s.chain(s.input(12, 8), 1);
  s.stateful("last", layers.back(), {{"output_bits", 32}});
  const auto regs = track(*record(*layers.front()), 0).payload;
  EXPECT_EQ(regs[0], 1u | 1u << 22);
  EXPECT_TRUE(field_equals(regs, 1, mivo::TIMESTEPS, 0));
  EXPECT_EQ(regs[4], 0u);
  EXPECT_EQ(regs[15], 0u);
}

TEST_F(TnprRecorder, DequantizerIsNotPartOfTheProgram) {
  Series s;
  auto sr = s.stateful("sr", s.input(12, 8), {{"output_bits", 28}});
  s.add(LayerType::Dequantizer, "deq", sr);
  const auto rec = record(*sr);
  const auto regs = track(*rec, 0).payload;
  EXPECT_EQ(regs[0], 1u << 22);
  EXPECT_EQ(track(*rec, 2).payload.size(), 2u * mivo::get_tnpr_tsram_51b_size(*sr));
}

TEST_F(TnprRecorder, VariablesReachTheirSections) {
  Series s;
  auto sr = s.stateful("sr", s.input(12, 8, 16),
                       {{"output_channels", 1}, {"stateful_channels", 2}, {"activation", 1},
                        {"subsample", 3}});
  testing::set_values(*sr, "A_real", {0x0102, 0x0506});
  testing::set_values(*sr, "A_imag", {0x0304, 0x0708});
  testing::set_values(*sr, "new_state_scale", {0x11, 0x22});
  testing::set_values(*sr, "input_shift", {1, 2, 3, 4, 5, 6, 7, 1});
  testing::set_values(*sr, "bias", {-2});
  testing::set_values(*sr, "bias_shift", {9});
  testing::set_values(*sr, "output_scales", {9});  // replaced by the post-processing's scale
  testing::set_values(*sr, "in_proj", std::vector<int64_t>(16, 0));
  sr->variables().get("in_proj")->set<int8_t>({7, 1}, 0x5A);
  auto post = s.post("post", sr);
  testing::set_values(*post, "input_scales", {0x1234});
  testing::set_values(*post, "input_shift", {-3});
  testing::set_values(*post, "threshold", {0x2AB});
  const auto rec = record(*sr);

  const auto regs = track(*rec, 0).payload;
  EXPECT_TRUE(field_equals(regs, 0, mivo::INPUT_16BIT, 1));
  EXPECT_TRUE(field_equals(regs, 1, mivo::INPUT_ROW_WORDS, 4));  // 8 channels x 16 bits
  EXPECT_TRUE(field_equals(regs, 5, mivo::SUBSAMPLE_LAYERS[0], 2));
  EXPECT_TRUE(field_equals(regs, 5, mivo::SUBSAMPLE_LAYERS[1], 0));
  EXPECT_TRUE(field_equals(regs, 15, mivo::RELU_LAYERS, 1));
  EXPECT_TRUE(field_equals(regs, 4, mivo::CBUF_BASE_ADDR, 2));

  // FSRAM: in_proj (8 x 2) one word per row; element (7, 1) is byte 1 of word 7.
  const auto fsram = track(*rec, 1).payload;
  ASSERT_EQ(fsram.size(), 2u * (8 + 2));
  EXPECT_EQ(fsram[14], 0x5A00u);
  const auto tsram = track(*rec, 2).payload;
  // State section: two words; A_real low, A_imag high, the scale at bit 37.
  EXPECT_EQ(tsram[0], 0x03040102u);
  EXPECT_EQ(tsram[2], 0x07080506u);
  EXPECT_EQ(tsram[3], 0x22u << 5);
  // Output section: the post-processing's scale and shift, the layer's bias and bias shift.
  EXPECT_EQ(tsram[4], 0x1234u | 0x3Du << 16 | 0xFEu << 22 | (9u & 3) << 30);
  EXPECT_EQ(tsram[5], 9u >> 2);
  // Then the closing word: shift -floor(log2 4) = -2 (T = 4 after subsample 3), threshold.
  EXPECT_EQ(tsram[6], 1u | 0x3Eu << 16 | (0x2ABu & 0x3FF) << 22);
  EXPECT_EQ(tsram[7], 0x2ABu >> 10);
  // Input-shift section at 16-bit input: 4 values a word, each twice; then the closing word.
  ASSERT_EQ(tsram.size(), 2u * (2 + 2 + 2 + 1));
  EXPECT_EQ(tsram[8], 1u | 1u << 3 | 2u << 6 | 2u << 9 | 3u << 12 | 3u << 15 | 4u << 18 | 4u << 21);
  EXPECT_EQ(tsram[10], 5u | 5u << 3 | 6u << 6 | 6u << 9 | 7u << 12 | 7u << 15 | 1u << 18 | 1u << 21);
  EXPECT_EQ(tsram[12], 0u);
}

TEST_F(TnprRecorder, NinthLayerIsOutOfRange) {
  Series s;
  auto layers = s.chain(s.input(12, 8), 9);
  EXPECT_EQ(error_text<std::out_of_range>([&] { record(*layers.front()); }),
            "bitset::set: __position (which is 8) >= _Nb (which is 8)");
  Series t;
  auto eight = t.chain(t.input(12, 8), 8);
  EXPECT_EQ(record(*eight.front())->track_count(), 3u);
}

TEST_F(TnprRecorder, FirstLayerNeedsItsComponent) {
  Series s;
  auto sr = s.stateful("sr", s.input(12, 8));
  EXPECT_EQ(error_text<std::runtime_error>([&] { mivo::record_program_tnpr_layers(*device, *sr); }),
            "Layer 'sr' has no mapping: the TNP-R program needs its component.");
  map_on_tnpr(*sr, false);
  EXPECT_EQ(error_text<std::out_of_range>([&] { mivo::record_program_tnpr_layers(*device, *sr); }),
            "vector::_M_range_check: __n (which is 0) >= this->size() (which is 0)");
}

TEST_F(TnprRecorder, FormatSramsLeavesListsUnchangedOnError) {
  Series s;
  auto sr = s.stateful("sr", s.input(12, 8));
  testing::fill_values(*sr, "input_shift", 9);  // no 3-bit field holds it
  mivo::SramImage fsram{1}, state{2}, output{3}, shift{4};
  mivo::TnprRegisterParams params;
  EXPECT_THROW(mivo::format_tnpr_srams(*sr, fsram, state, output, shift, params, 0),
               std::runtime_error);
  EXPECT_EQ(fsram, mivo::SramImage{1});
  EXPECT_EQ(state, mivo::SramImage{2});
  EXPECT_EQ(output, mivo::SramImage{3});
  EXPECT_EQ(shift, mivo::SramImage{4});
  EXPECT_EQ(params.subsample[0], 0u);
  EXPECT_THROW(mivo::format_tnpr_srams(*sr, fsram, state, output, shift, params, 8),
               std::out_of_range);
}

TEST_F(TnprRecorder, LayerRecorderDispatch) {
  const HardwareConstraints constraints = testing::mivo_constraints();
  const mivo::LayerRecorderImpl recorder(*device, constraints);
  Series s;
  auto in = s.input(12, 8);
  auto empty = recorder.record_layer(*in, nullptr, nullptr, false, false, {}, false, false);
  EXPECT_EQ(empty->track_count(), 0u);
  EXPECT_EQ(empty->version, device->version());
  for (const auto& layer : {s.add(LayerType::Dequantizer, "deq", in),
                            s.add(LayerType::Quantizer, "quant", in)}) {
    EXPECT_EQ(recorder.record_layer(*layer, nullptr, nullptr, true, true, {}, true, true)
                  ->track_count(),
              0u);
  }
  auto conv = s.add(LayerType::Conv2D, "conv", in, {{"filters", 2}});
  EXPECT_EQ(error_text<std::runtime_error>([&] {
              recorder.record_layer(*conv, nullptr, nullptr, false, false, {}, false, false);
            }),
            "Unsupported layer type on mivo: 14.");
  auto sr = s.stateful("sr", in);
  map_on_tnpr(*sr);
  EXPECT_EQ(recorder.record_layer(*sr, nullptr, nullptr, false, false, {}, false, false)
                ->track_count(),
            3u);
  EXPECT_EQ(error_text<std::runtime_error>([&] { recorder.record_learning_layer(*sr, true); }),
            "Learning not implemented on mivo.");
  EXPECT_EQ(error_text<std::runtime_error>([&] { recorder.sync_learning_vars(sr); }),
            "Learning not implemented on mivo.");
}

}  // namespace
}  // namespace qalto
