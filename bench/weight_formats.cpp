// Throughput of the v2 CNP weight formatters on a layer-sized weight tensor.
#include <benchmark/benchmark.h>

#include "qalto/tensor.hpp"
#include "v2/weight_formats.hpp"

namespace {

std::shared_ptr<qalto::Dense> weights(uint32_t kernel, uint32_t channels, uint32_t filters) {
  auto tensor = qalto::Dense::create(qalto::TensorType::int8,
                                     qalto::Shape{kernel, kernel, channels, filters});
  int8_t* data = tensor->data<int8_t>();
  for (size_t i = 0; i < tensor->size(); ++i) data[i] = static_cast<int8_t>(i % 251 - 125);
  return tensor;
}

void BM_Conv2dWeights8Bit(benchmark::State& state) {
  const auto kernel = static_cast<uint32_t>(state.range(0));
  auto tensor = weights(kernel, 64, 64);
  for (auto _ : state) {
    benchmark::DoNotOptimize(qalto::v2::format_conv2d_cnp_weights(*tensor, 0, 64, 8));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(tensor->size()));
}
BENCHMARK(BM_Conv2dWeights8Bit)->Arg(1)->Arg(3)->Arg(5)->Arg(7);

void BM_DepthwiseWeights8Bit(benchmark::State& state) {
  const auto kernel = static_cast<uint32_t>(state.range(0));
  auto tensor = weights(kernel, 1, 256);
  for (auto _ : state) {
    benchmark::DoNotOptimize(qalto::v2::format_depthwise_conv_cnp_weights(*tensor, 0, 256, 8));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(tensor->size()));
}
BENCHMARK(BM_DepthwiseWeights8Bit)->Arg(3)->Arg(5)->Arg(7);

}  // namespace
