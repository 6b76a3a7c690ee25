// Cost of the split search on layers that need many NPs, with a checker whose memory limits
// follow the v2 input SRAM.
#include <benchmark/benchmark.h>

#include "mapping/layer_split.hpp"
#include "qalto/model.hpp"
#include "support/fake_checker.hpp"

namespace {

std::shared_ptr<qalto::Layer> conv_layer(uint32_t size, uint32_t channels, uint32_t filters) {
  using namespace qalto;
  static auto model = Model::create();
  auto input = Layer::create(
      LayerParams(LayerType::InputData,
                  {{"input_width", static_cast<int32_t>(size)},
                   {"input_height", static_cast<int32_t>(size)},
                   {"input_channels", static_cast<int32_t>(channels)}}),
      "in" + std::to_string(model->layer_count()));
  auto conv = Layer::create(
      LayerParams(LayerType::Conv2D, {{"filters", static_cast<int32_t>(filters)}}),
      "conv" + std::to_string(model->layer_count()));
  model->add(input);
  model->add(conv, {input});
  return conv;
}

void BM_SplitConv(benchmark::State& state) {
  const auto size = static_cast<uint32_t>(state.range(0));
  auto layer = conv_layer(size, 64, 256);
  qalto::testing::FakeChecker checker;
  checker.dual_words = 8192;  // one v2 input buffer
  checker.words_per_filter = 64;
  checker.weight_words = 4096;
  for (auto _ : state) {
    checker.questions.clear();
    checker.weight_questions.clear();
    benchmark::DoNotOptimize(qalto::split_conv_layer(*layer, checker, 256, 64, 512,
                                                     qalto::hw::Type::CNP1, false));
  }
}
BENCHMARK(BM_SplitConv)->Arg(64)->Arg(256)->Arg(1024);

}  // namespace
