// The checks of a TNP-R series: every limit at its value and one past it, the merge of several
// broken rules, and the four SRAM budgets.
#include <gtest/gtest.h>

#include <string>

#include "mapping/fake_device.hpp"
#include "mivo/compatibility_checker.hpp"
#include "mivo/tnpr_checks.hpp"
#include "mivo/tnpr_sizes.hpp"
#include "tests/mivo/tnpr_series.hpp"

namespace qalto {
namespace {

using mivo::check_packed_input_row;
using mivo::check_post_processing_layer;
using mivo::check_relu_max_value;
using mivo::check_tnp_r_constraints;
using testing::Series;

const HardwareConstraints kBudgets = testing::mivo_constraints();

MappingStatus check(const LayerPtr& start) { return check_tnp_r_constraints(kBudgets, *start); }

void expect_failure(const MappingStatus& status, const std::string& layer,
                    const std::string& message) {
  EXPECT_TRUE(status.failed);
  EXPECT_EQ(status.layer, layer);
  EXPECT_EQ(status.message, message);
}

TEST(MivoCompatibility, LayerTypesOutsideASeries) {
  auto device = testing::make_device(0xB1, 1, 0);
  const HardwareConstraints constraints = make_hardware_constraints(IpVersion::mivo, device->mesh());
  const mivo::CompatibilityCheckerImpl checker(*device, constraints);
  Series s;
  auto in = s.input(8, 8);
  auto fc = s.add(LayerType::FullyConnected, "fc", in, {{"units", 4}});
  expect_failure(checker.check_layer_compatibility(*fc, in.get(), device->version()), "fc",
                 "Unsupported layer type on Mivo.");
  for (const auto& layer : {in, s.add(LayerType::Dequantizer, "deq", in),
                            s.add(LayerType::Quantizer, "quant", in)}) {
    EXPECT_EQ(checker.check_layer_compatibility(*layer, nullptr, device->version()),
              MappingStatus::success())
        << layer->get_name();
  }
  // A post-processing layer with no series before it has nothing to close.
  auto lone = s.post("lone", in);
  expect_failure(checker.check_layer_compatibility(*lone, in.get(), device->version()), "lone",
                 "Unsupported layer type on Mivo.");
  // A recurrent layer gets the series checks.
  auto sr = s.stateful("sr", in, {{"subsample", 5}});
  expect_failure(checker.check_layer_compatibility(*sr, in.get(), device->version()), "sr",
                 "Subsample ratio exceeds max limit of 4 for TNP-R. (got 5).");
}

TEST(MivoCompatibility, ValidSeriesPasses) {
  Series s;
  auto layers = s.chain(s.input(16, 8), 3);
  EXPECT_EQ(check(layers.front()), MappingStatus::success());
}

TEST(MivoCompatibility, AtMostEightTnprLayers) {
  {
    Series s;
    EXPECT_EQ(check(s.chain(s.input(16, 8), 8).front()), MappingStatus::success());
  }
  {
    Series s;
    expect_failure(check(s.chain(s.input(16, 8), 9).front()), "",
                   "A model cannot have more that 8 StatefulRecurrent layers.");
  }
  {
    // The closing layer takes one of the eight places.
    Series s;
    auto layers = s.chain(s.input(16, 8), 7, {{"output_channels", 1}});
    for (auto& layer : layers) testing::identity_output_stage(*layer);
    s.post("post", layers.back());
    EXPECT_EQ(check(layers.front()), MappingStatus::success());
  }
  {
    Series s;
    auto layers = s.chain(s.input(16, 8), 8, {{"output_channels", 1}});
    for (auto& layer : layers) testing::identity_output_stage(*layer);
    s.post("post", layers.back());
    expect_failure(check(layers.front()), "",
                   "A model cannot have more that 8 StatefulRecurrent layers.");
  }
}

TEST(MivoCompatibility, StatefulChannels) {
  for (int32_t ok : {1, 128, 256}) {
    Series s;
    EXPECT_EQ(check(s.stateful("sr", s.input(8, 8), {{"stateful_channels", ok}})),
              MappingStatus::success())
        << ok;
  }
  {
    Series s;
    expect_failure(check(s.stateful("sr", s.input(8, 8), {{"stateful_channels", 96}})), "sr",
                   "State channels must be a power of 2. (got 96).");
  }
  {
    Series s;
    auto sr = s.stateful("sr", s.input(8, 8));
    sr->params().set("stateful_channels", 0);
    expect_failure(check(sr), "sr", "State channels must be a power of 2. (got 0).");
  }
  {
    Series s;
    auto sr = s.stateful("sr", s.input(8, 8), {{"stateful_channels", 257}});
    const MappingStatus status = check(sr);
    EXPECT_EQ(status.message.rfind("State channels exceeds max limit of 256 for TNP-R. State "
                                   "channels must be a power of 2. (got 257).", 0),
              0u)
        << status.message;
  }
  {
    // A later layer differing from the first: its limit and the equality rule, in that order.
    Series s;
    auto first = s.stateful("first", s.input(8, 8), {{"stateful_channels", 256}});
    s.stateful("second", first, {{"stateful_channels", 512}});
    const MappingStatus status = check(first);
    EXPECT_EQ(status.layer, "second");
    EXPECT_EQ(status.message.rfind("State channels exceeds max limit of 256 for TNP-R. State "
                                   "channels must be the same for all stateful layers. Expected "
                                   "256(got 512).",
                                   0),
              0u)
        << status.message;
  }
}

TEST(MivoCompatibility, OutputChannelsAndSubsample) {
  {
    Series s;
    EXPECT_EQ(check(s.stateful("sr", s.input(8, 8), {{"output_channels", 256}})),
              MappingStatus::success());
  }
  {
    Series s;
    expect_failure(check(s.stateful("sr", s.input(8, 8), {{"output_channels", 257}})), "sr",
                   "Output channels exceeds max limit of 256 for TNP-R.");
  }
  {
    Series s;
    EXPECT_EQ(check(s.stateful("sr", s.input(8, 8), {{"subsample", 4}})), MappingStatus::success());
  }
  {
    Series s;
    expect_failure(check(s.stateful("sr", s.input(8, 8), {{"subsample", 5}})), "sr",
                   "Subsample ratio exceeds max limit of 4 for TNP-R. (got 5).");
  }
}

TEST(MivoCompatibility, PackedInputRow) {
  {
    Series s;
    expect_failure(check_packed_input_row(*s.stateful("sr", s.input(4, 24))), "sr",
                   "The packed input row (channels x input bits) must occupy a power-of-2 number "
                   "of 32-bit words (got 6 words for 24 channels at 8-bit).");
  }
  {
    Series s;  // 64 words, 256 bytes; the 8-bit channel limit itself
    EXPECT_EQ(check_packed_input_row(*s.stateful("sr", s.input(4, 256))), MappingStatus::success());
  }
  {
    Series s;  // 128 words, 512 bytes: the row limit itself, but above the 16-bit channel limit
    expect_failure(check_packed_input_row(*s.stateful("sr", s.input(4, 256, 16))), "sr",
                   "The maximum input channels for 16-bit input is 128 (got 256).");
  }
  {
    Series s;
    EXPECT_EQ(check_packed_input_row(*s.stateful("sr", s.input(4, 128, 16))),
              MappingStatus::success());
  }
  {
    // 8-bit channels one past the limit; the row (65 words) is no power of two, but padded to
    // 128 words it still fits.
    Series s;
    expect_failure(check_packed_input_row(*s.stateful("sr", s.input(4, 257))), "sr",
                   "The packed input row (channels x input bits) must occupy a power-of-2 number "
                   "of 32-bit words (got 65 words for 257 channels at 8-bit). The maximum input "
                   "channels for 8-bit input is 256 (got 257).");
  }
  {
    Series s;  // 256 words: the next power of two past the row limit
    expect_failure(check_packed_input_row(*s.stateful("sr", s.input(4, 512, 16))), "sr",
                   "The maximum input row size (input_channels * input_bits, padded to a "
                   "power-of-2 number of 32-bit words) is 512 bytes (got 1024). The maximum input "
                   "channels for 16-bit input is 128 (got 512).");
  }
  {
    // Only the first layer of a series packs its input row.
    Series s;
    auto first = s.stateful("first", s.input(4, 8), {{"output_channels", 24}});
    auto second = s.stateful("second", first);
    EXPECT_EQ(check_packed_input_row(*second), MappingStatus::success());
  }
}

TEST(MivoCompatibility, InputAndOutputWidths) {
  {
    Series s;
    expect_failure(check(s.stateful("sr", s.input(8, 32, 4))), "sr",
                   "For the first StatefulRecurrent layer, input must be 8-bit or 16-bit. got( 4).");
  }
  {
    Series s;
    EXPECT_EQ(check(s.stateful("sr", s.input(8, 8, 16))), MappingStatus::success());
  }
  {
    Series s;
    auto first = s.stateful("first", s.input(8, 8), {{"output_bits", 16}});
    s.stateful("second", first);
    expect_failure(check(first), "second",
                   "For intermediate StatefulRecurrent layer, input must be 8-bit. got( 16).");
  }
  for (int32_t ok : {8, 28, 32}) {
    Series s;
    EXPECT_EQ(check(s.stateful("sr", s.input(8, 8), {{"output_bits", ok}})),
              MappingStatus::success())
        << ok;
  }
  {
    Series s;
    expect_failure(check(s.stateful("sr", s.input(8, 8), {{"output_bits", 16}})), "sr",
                   "For the last StatefulRecurrent layer, outputs must be 8-bit, 28-bit or 32-bit. "
                   "(got 16).");
  }
}

TEST(MivoCompatibility, StateFieldWidths) {
  Series s;
  auto sr = s.stateful("sr", s.input(8, 8));
  // The scale field is unsigned 8-bit: 255 fits; the shifts are signed 6 and 5 bits.
  testing::fill_values(*sr, "new_state_scale", 255);
  testing::fill_values(*sr, "new_state_shift", -32);
  testing::fill_values(*sr, "internal_state_outputs_shift", 15);
  EXPECT_EQ(check(sr), MappingStatus::success());
  testing::fill_values(*sr, "new_state_shift", 32);
  testing::fill_values(*sr, "internal_state_outputs_shift", -17);
  expect_failure(check(sr), "sr",
                 "Variable new_state_shift needs 7 bits, more than the 6 its register holds. "
                 "Variable internal_state_outputs_shift needs 6 bits, more than the 5 its "
                 "register holds.");
}

TEST(MivoCompatibility, ReluMaxValues) {
  Series s;
  auto sr = s.stateful("sr", s.input(8, 8), {{"activation", 1}, {"output_channels", 4}});
  expect_failure(check_relu_max_value(*sr), "sr",
                 "When activation is ReLU, all max_value elements must be 127 (got 0 at index 0). "
                 "When activation is ReLU, all max_value_shift elements must be 31 (got 0 at "
                 "index 0).");
  testing::set_values(*sr, "max_value", {127, 127, 100, 99});
  testing::fill_values(*sr, "max_value_shift", 31);
  expect_failure(check_relu_max_value(*sr), "sr",
                 "When activation is ReLU, all max_value elements must be 127 (got 100 at index "
                 "2).");
  testing::fill_values(*sr, "max_value", 127);
  EXPECT_EQ(check_relu_max_value(*sr), MappingStatus::success());
  EXPECT_EQ(check(sr), MappingStatus::success());
  // Without ReLU the values are not read.
  Series t;
  EXPECT_EQ(check_relu_max_value(*t.stateful("plain", t.input(8, 8))), MappingStatus::success());
}

// A recurrent layer closed by a post-processing layer over `timesteps` timesteps.
struct Closed {
  Series s;
  LayerPtr sr, post;
  explicit Closed(uint32_t timesteps, int32_t outputs = 1) {
    sr = s.stateful("sr", s.input(timesteps, 8), {{"output_channels", outputs}});
    testing::identity_output_stage(*sr);
    post = s.post("post", sr);
  }
};

TEST(MivoCompatibility, PostProcessingTimesteps) {
  for (uint32_t ok : {3u, 128u}) {
    Closed c(ok);
    EXPECT_EQ(check_post_processing_layer(*c.post), MappingStatus::success()) << ok;
    EXPECT_EQ(check(c.sr), MappingStatus::success()) << ok;
  }
  expect_failure(check_post_processing_layer(*Closed(2).post), "post",
                 "Timesteps dimension must be at least 3 (got 2).");
  expect_failure(check_post_processing_layer(*Closed(129).post), "post",
                 "Timesteps dimension must be at most 128 (got 129).");
  // Subsampled by 4, 255 or 256 input timesteps reach the closing layer as 64; the series input
  // goes to an 8-bit register field, which 256 passes.
  for (uint32_t timesteps : {255u, 256u}) {
    Series s;
    auto sr = s.stateful("sr", s.input(timesteps, 8), {{"output_channels", 1}, {"subsample", 4}});
    testing::identity_output_stage(*sr);
    auto post = s.post("post", sr);
    EXPECT_EQ(check_post_processing_layer(*post), MappingStatus::success());
    if (timesteps == 255) {
      EXPECT_EQ(check(sr), MappingStatus::success());
    } else {
      expect_failure(check(sr), "sr",
                     "A series closed by a MivoPostProcessing layer can take at most 255 input "
                     "timesteps (got 256).");
    }
  }
}

TEST(MivoCompatibility, PostProcessingInputStage) {
  {
    Closed c(16, 2);
    expect_failure(check_post_processing_layer(*c.post), "post",
                   "MivoPostProcessing layer input must have a single channel (got 2).");
  }
  {
    Closed c(16);
    testing::fill_values(*c.sr, "output_scales", 3);
    testing::fill_values(*c.sr, "output_shift", -2);
    expect_failure(check_post_processing_layer(*c.post), "sr",
                   "Output scales must be 1 for the last StatefulRecurrent layer before a "
                   "MivoPostProcessing layer (got 3). Output shift must be 0 for the last "
                   "StatefulRecurrent layer before a MivoPostProcessing layer (got -2).");
  }
  {
    Series s;
    auto in = s.input(16, 1);
    EXPECT_EQ(check_post_processing_layer(*s.add(LayerType::Dequantizer, "deq", in)),
              MappingStatus::success());
    auto conv = s.add(LayerType::Conv2D, "conv", in, {{"filters", 1}, {"kernel_size", 1}});
    expect_failure(check_post_processing_layer(*conv), "conv",
                   "Only a Dequantizer or a MivoPostProcessing is allowed a the end of a serie of "
                   "StatefulRecurrent layers.");
  }
}

TEST(MivoCompatibility, ClosingLayerMustBeLast) {
  Series s;
  auto sr = s.stateful("sr", s.input(16, 8));
  auto deq = s.add(LayerType::Dequantizer, "deq", sr);
  auto later = s.stateful("later", deq, {{"stateful_channels", 96}});
  // The walk stops at the failing layer: the later layer's own problem is not reached.
  expect_failure(check(sr), "deq", "Dequantizer/MivoPostProcessing must be the last layer.");
  // A Dequantizer that closes the series passes.
  Series t;
  auto closed = t.stateful("sr", t.input(16, 8));
  t.add(LayerType::Dequantizer, "deq", closed);
  EXPECT_EQ(check(closed), MappingStatus::success());
}

TEST(MivoCompatibility, SramBudgetsAtTheirSize) {
  Closed c(100, 1);
  const Layer& start = *c.sr;
  const uint32_t evsram = mivo::get_tnpr_evsram_32b_size(start);
  const uint32_t stsram = mivo::get_tnpr_stsram_32b_size(start);
  const uint32_t fsram = mivo::get_tnpr_fsram_64b_size(start);
  const uint32_t tsram = mivo::get_tnpr_tsram_51b_size(start);
  HardwareConstraints exact;
  exact.evsram_32b_size = evsram;
  exact.stsram_32b_size = stsram;
  exact.fsram_64b_size = fsram;
  exact.tsram_51b_size = tsram;
  EXPECT_EQ(check_tnp_r_constraints(exact, start), MappingStatus::success());

  HardwareConstraints short_by_one = exact;
  short_by_one.evsram_32b_size -= 1;
  short_by_one.stsram_32b_size -= 1;
  short_by_one.fsram_64b_size -= 1;
  short_by_one.tsram_51b_size -= 1;
  auto n = [](uint32_t v) { return std::to_string(v); };
  expect_failure(check_tnp_r_constraints(short_by_one, start), "sr",
                 "EVSRAM size exceeds max limit of " + n(evsram - 1) +
                     " 32-bit words for TNP-R (got " + n(evsram) +
                     "). STSRAM size exceeds max limit of " + n(stsram - 1) +
                     " 32-bit words for TNP-R (got " + n(stsram) +
                     "). FSRAM size exceeds max limit of " + n(fsram - 1) +
                     " 64-bit words for TNP-R (got " + n(fsram) +
                     "). TSRAM size exceeds max limit of " + n(tsram - 1) +
                     " 51-bit words for TNP-R (got " + n(tsram) + ").");
}

TEST(MivoCompatibility, BudgetsAreComparedEvenAfterAFailure) {
  Series s;
  auto sr = s.stateful("sr", s.input(8, 8), {{"subsample", 5}});
  HardwareConstraints none;  // every budget 0
  const MappingStatus status = check_tnp_r_constraints(none, *sr);
  EXPECT_EQ(status.layer, "sr");
  EXPECT_NE(status.message.find("Subsample ratio exceeds"), std::string::npos);
  EXPECT_NE(status.message.find("TSRAM size exceeds max limit of 0 51-bit words"),
            std::string::npos);
}

}  // namespace
}  // namespace qalto
