// Software Model::forward of one 3x3 Conv2D (4 x 112 x 112 x 32 -> 64 filters) and of one
// Dense1D layer, in multiply-accumulates per second (counter GMAC/s). The argument is the
// number of threads the samples are spread over (0: one per hardware thread).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "qalto/model.hpp"
#include "qalto/software.hpp"

namespace {

using qalto::Dense;
using qalto::LayerType;
using qalto::Shape;
using qalto::TensorType;

std::shared_ptr<qalto::Layer> make(LayerType type, const std::map<std::string, int32_t>& params,
                                   const std::string& name) {
  return qalto::Layer::create(*qalto::LayerParams::create(type, params), name);
}

// Deterministic values spread over the whole range of the type.
template <typename T>
std::shared_ptr<Dense> filled(TensorType type, const Shape& shape) {
  auto tensor = Dense::create(type, shape);
  T* data = tensor->data<T>();
  uint32_t state = 12345;
  for (uint64_t i = 0; i < tensor->size(); ++i) {
    state = state * 1664525u + 1013904223u;
    data[i] = static_cast<T>(state >> 24);
  }
  return tensor;
}

void run(benchmark::State& state, qalto::Model& model, const std::shared_ptr<Dense>& inputs,
         double macs) {
  qalto::software::set_thread_count(static_cast<unsigned>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(model.forward(inputs, 0));
  qalto::software::set_thread_count(0);
  state.counters["GMAC/s"] = benchmark::Counter(macs * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Conv2dForward(benchmark::State& state) {
  constexpr uint32_t kBatch = 4, kSize = 112, kChannels = 32, kFilters = 64, kKernel = 3;
  auto model = qalto::Model::create();
  model->add(make(LayerType::InputData, {{"input_width", kSize}, {"input_height", kSize},
                                         {"input_channels", kChannels}}, "input"));
  model->add(make(LayerType::Conv2D, {{"filters", kFilters}, {"kernel_size", kKernel},
                                      {"activation", 0}}, "conv"));
  model->get_layer("conv")->variables().set(
      "weights", filled<int8_t>(TensorType::int8, Shape{kKernel, kKernel, kChannels, kFilters}));
  const auto inputs = filled<uint8_t>(TensorType::uint8, Shape{kBatch, kSize, kSize, kChannels});
  run(state, *model, inputs, double{kBatch} * kSize * kSize * kFilters * kKernel * kKernel * kChannels);
}
BENCHMARK(BM_Conv2dForward)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DenseForward(benchmark::State& state) {
  constexpr uint32_t kBatch = 4, kInputs = 4096, kUnits = 1024;
  auto model = qalto::Model::create();
  model->add(make(LayerType::InputData, {{"input_width", 1}, {"input_height", 1},
                                         {"input_channels", kInputs}}, "input"));
  model->add(make(LayerType::Dense1D, {{"units", kUnits}, {"activation", 0}}, "dense"));
  model->get_layer("dense")->variables().set(
      "weights", filled<int8_t>(TensorType::int8, Shape{kInputs, kUnits}));
  const auto inputs = filled<uint8_t>(TensorType::uint8, Shape{kBatch, 1, 1, kInputs});
  run(state, *model, inputs, double{kBatch} * kInputs * kUnits);
}
BENCHMARK(BM_DenseForward)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
