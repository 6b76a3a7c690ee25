// Cost of the split search on layers that need many NPs, with a checker whose memory limits
// follow the v2 input SRAM, and on a layer that can never be split.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mapping/layer_split.hpp"
#include "qalto/model.hpp"
#include "support/fake_checker.hpp"

namespace {

using qalto::Layer;
using qalto::LayerParams;
using qalto::LayerType;
using qalto::Model;

// The layer of a model of its own (input, layer), kept alive for the whole run: a model has
// one input.
std::shared_ptr<Layer> one_layer(uint32_t size, uint32_t channels, LayerType type,
                                 std::map<std::string, int32_t> params) {
  static std::vector<std::unique_ptr<Model>> models;
  auto& model = models.emplace_back(Model::create());
  auto input = Layer::create(
      LayerParams(LayerType::InputData,
                  {{"input_width", static_cast<int32_t>(size)},
                   {"input_height", static_cast<int32_t>(size)},
                   {"input_channels", static_cast<int32_t>(channels)}}),
      "in");
  auto layer = Layer::create(LayerParams(type, std::move(params)), "layer");
  model->add(input);
  model->add(layer, {input});
  return layer;
}

// Time per call and per NP the split produces: the second must stay flat as layers grow.
void BM_SplitConv(benchmark::State& state) {
  const auto size = static_cast<uint32_t>(state.range(0));
  auto layer = one_layer(size, 64, LayerType::Conv2D, {{"filters", 256}});
  qalto::testing::FakeChecker checker;
  checker.dual_words = 8192;  // one v2 input buffer
  checker.words_per_filter = 64;
  checker.weight_words = 4096;
  size_t parts = 0;
  for (auto _ : state) {
    checker.questions.clear();
    checker.weight_questions.clear();
    auto result =
        qalto::split_conv_layer(*layer, checker, 256, 64, 512, qalto::hw::Type::CNP1, false);
    parts = result.first.size();
    benchmark::DoNotOptimize(result);
  }
  state.counters["parts"] = static_cast<double>(parts);
  // Seconds per part, shown per iteration like the time itself.
  state.counters["per_part"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * static_cast<double>(parts),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SplitConv)->Arg(64)->Arg(256)->Arg(1024);

// 1022 channels on a TNP-B, whose filter chunks must be multiples of four: no count of NPs
// works, and the search must say so at once.
void BM_NeverSplittable(benchmark::State& state) {
  auto layer = one_layer(16, 1022, LayerType::DepthwiseBufferTempConv, {});
  qalto::testing::FakeChecker checker;
  for (auto _ : state) {
    checker.questions.clear();
    auto result = qalto::split_depthwise_conv_layer(*layer, checker, 256, 64, 8,
                                                    qalto::hw::Type::TNP_B, false);
    if (!result.second.failed) state.SkipWithError("the layer was split");
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_NeverSplittable)->Unit(benchmark::kMillisecond);

}  // namespace
