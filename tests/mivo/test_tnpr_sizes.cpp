// SRAM sizing of a TNP-R series: the hand-computed figures, the closing-layer terms, the
// interface getters, and counts too large for 32 bits.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "mivo/memory_sizer.hpp"
#include "mivo/tnpr_checks.hpp"
#include "mivo/tnpr_sizes.hpp"
#include "tests/mivo/tnpr_series.hpp"

namespace qalto {
namespace {

using testing::Series;

// 8-bit input of 100 timesteps and 32 channels, 64 outputs, 16 states, 8-bit output.
LayerPtr reference_layer(Series& s) {
  return s.stateful("sr", s.input(100, 32),
                    {{"output_channels", 64}, {"stateful_channels", 16}});
}

TEST(TnprSizes, OneLayerClosedByPostProcessing) {
  Series s;
  auto sr = reference_layer(s);
  s.post("post", sr);
  EXPECT_EQ(mivo::get_tnpr_tsram_51b_size(*sr), 4u + 64 + 16 + 2);
  EXPECT_EQ(mivo::get_tnpr_evsram_32b_size(*sr), 8u + 8 + 16);
  EXPECT_EQ(mivo::get_tnpr_stsram_32b_size(*sr), 16u + 2 * 5);  // W = 25
}

TEST(TnprSizes, OneLayerAlone) {
  Series s;
  auto sr = reference_layer(s);
  EXPECT_EQ(mivo::get_tnpr_tsram_51b_size(*sr), 84u);
  EXPECT_EQ(mivo::get_tnpr_evsram_32b_size(*sr), 16u);
  EXPECT_EQ(mivo::get_tnpr_stsram_32b_size(*sr), 16u);
  // A Dequantizer closing the series adds nothing: it does not run on the TNP-R.
  s.add(LayerType::Dequantizer, "deq", sr);
  EXPECT_EQ(mivo::get_tnpr_tsram_51b_size(*sr), 84u);
  EXPECT_EQ(mivo::get_tnpr_stsram_32b_size(*sr), 16u);
}

TEST(TnprSizes, FsramCountsEightColumnsPerWord) {
  Series s;
  auto sr = s.stateful("sr", s.input(4, 8));
  sr->variables().declare("in_proj", Dense::create(TensorType::int8, Shape{32, 32}));
  sr->variables().declare("out_proj", Dense::create(TensorType::int8, Shape{64, 16}));
  EXPECT_EQ(mivo::get_tnpr_fsram_64b_size(*sr), 128u + 128);
  // A second layer adds its own: in_proj (8 x 8) and out_proj (8 x 9).
  s.stateful("next", sr, {{"output_channels", 9}});
  EXPECT_EQ(mivo::get_tnpr_fsram_64b_size(*sr), 256u + 8 + 16);
  // Sized from the second layer, the first is not counted.
  EXPECT_EQ(mivo::get_tnpr_fsram_64b_size(*s.graph.layers.back()), 24u);
}

TEST(TnprSizes, SixteenBitInputHalvesTheShiftsPerWord) {
  Series s;
  auto sr = s.stateful("sr", s.input(4, 32, 16), {{"output_channels", 1}, {"stateful_channels", 1}});
  EXPECT_EQ(mivo::get_tnpr_tsram_51b_size(*sr), 8u + 1 + 1);
  // 16-bit row: 32 x 16 bits = 16 words; the layer's input at 2 values per word, 16 words.
  EXPECT_EQ(mivo::get_tnpr_evsram_32b_size(*sr), 16u + 16);
  // W = ceil(4 / 2) = 2 only counts with a post-processing layer.
  s.post("post", sr);
  EXPECT_EQ(mivo::get_tnpr_stsram_32b_size(*sr), 1u + 2);
}

TEST(TnprSizes, SeriesWithTwoLayers) {
  Series s;
  auto layers = s.chain(s.input(12, 8), 2, {{"output_channels", 1}, {"stateful_channels", 4}});
  s.post("post", layers.back());
  const Layer& start = *layers.front();
  EXPECT_EQ(mivo::get_tnpr_stsram_32b_size(start), 2u * 4 + 2 * 2);  // W = 3, log2 -> 2
  EXPECT_EQ(mivo::get_tnpr_tsram_51b_size(start), (1u + 1 + 4) + (1 + 1 + 4) + 2);
  // Row 2 words; inputs ceil(8 / 4) and ceil(1 / 4); closing ceil(1 / 4).
  EXPECT_EQ(mivo::get_tnpr_evsram_32b_size(start), 2u + 2 + 1 + 1);
}

TEST(TnprSizes, SizesOfAPostProcessingStart) {
  Series s;
  auto sr = s.stateful("sr", s.input(16, 8), {{"output_channels", 1}});
  auto post = s.post("post", sr);
  EXPECT_EQ(mivo::get_tnpr_fsram_64b_size(*post), 0u);
  EXPECT_EQ(mivo::get_tnpr_tsram_51b_size(*post), 2u);
  EXPECT_EQ(mivo::get_tnpr_evsram_32b_size(*post), 1u);  // its own row only
}

TEST(TnprSizes, CountsSaturateInsteadOfWrapping) {
  Series s;
  auto layers = s.chain(s.input(4, 8), 3);
  constexpr int32_t huge = std::numeric_limits<int32_t>::max();
  for (auto& layer : layers) layer->params().set("stateful_channels", huge);
  // 3 x (2^31 - 1) does not fit 32 bits: wrapped it would read 2147483645.
  EXPECT_EQ(mivo::get_tnpr_stsram_32b_size(*layers.front()),
            std::numeric_limits<uint32_t>::max());
  const MappingStatus status =
      mivo::check_tnp_r_constraints(testing::mivo_constraints(), *layers.front());
  EXPECT_NE(status.message.find("STSRAM size exceeds max limit of 448 32-bit words for TNP-R "
                                "(got 4294967295)."),
            std::string::npos)
      << status.message;
}

TEST(TnprSizes, MemorySizerReportsTheSeries) {
  Series s;
  auto sr = reference_layer(s);
  s.post("post", sr);
  const mivo::MemorySizerImpl sizer;
  hw::Component tnp_r;
  tnp_r.type = hw::Type::TNP_R;
  const MemoryInfo info = sizer.get_memory_info(sr, tnp_r, sr, false, false);
  EXPECT_EQ(info.input_size, 0u);
  EXPECT_EQ(info.weight_size, 0u);
  EXPECT_EQ(info.external_size, 0u);
  EXPECT_EQ(info.stsram_32b_size, 26u);
  EXPECT_EQ(info.fsram_64b_size, mivo::get_tnpr_fsram_64b_size(*sr));
  EXPECT_EQ(info.fsram_64b_size, 32u * 2 + 16u * 8);  // in_proj 32 x 16, out_proj 16 x 64
  EXPECT_EQ(info.tsram_51b_size, 86u);
  EXPECT_EQ(info.evsram_32b_size, 32u);
}

}  // namespace
}  // namespace qalto
