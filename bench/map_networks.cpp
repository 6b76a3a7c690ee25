// Time to map a whole published network through Model::map, the model built once and every
// call mapping it again, which drops the previous mapping first. MobileNet v2 with its
// classifier on an 8x4 v2 mesh leaves the classifier to software; MobileNet v1 on a 4x4 mesh
// fails to build whole (too many descriptors once fc joins) and is cut back to the layers
// before fc, so its time includes the failed attempt.
#include <benchmark/benchmark.h>

#include <exception>
#include <memory>
#include <string>

#include "mapping/hardware_backend.hpp"
#include "support/published_networks.hpp"

namespace {

void map_each_iteration(benchmark::State& state, qalto::Model& model,
                        const std::shared_ptr<qalto::Device>& device, const std::string& name) {
  qalto::register_hardware_backend();
  size_t passes = 0;
  for (auto _ : state) {
    try {
      model.map(device, /*hw_only=*/false, nullptr);
    } catch (const std::exception& e) {
      state.SkipWithError((name + " does not map: " + e.what()).c_str());
      break;
    }
    const auto& first = *model.sequences().front();
    if (first.backend() != qalto::BackendType::Hardware) {
      state.SkipWithError((name + " put nothing on hardware").c_str());
      break;
    }
    // A mapping that depended on the one before it would change from one call to the next.
    const size_t mapped = first.passes().size();
    if (passes != 0 && mapped != passes) {
      state.SkipWithError("mapping the model again gave another pass count");
      break;
    }
    passes = mapped;
  }
  state.counters["passes"] = static_cast<double>(passes);
}

void BM_MapMobileNetV2(benchmark::State& state) {
  const auto model = qalto::testing::mobilenet_v2();
  map_each_iteration(state, *model, qalto::testing::mesh_device(8, 4), "MobileNet v2");
}
BENCHMARK(BM_MapMobileNetV2)->Unit(benchmark::kMillisecond);

void BM_MapMobileNetV1(benchmark::State& state) {
  const auto model = qalto::testing::mobilenet_v1();
  map_each_iteration(state, *model, qalto::testing::mesh_device(4, 4), "MobileNet v1");
}
BENCHMARK(BM_MapMobileNetV1)->Unit(benchmark::kMillisecond);

}  // namespace
