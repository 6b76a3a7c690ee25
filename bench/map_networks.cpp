// Time to map a whole published network: MobileNet v2 with its classifier on an 8x4 v2 mesh,
// the classifier left to software. The model is built once; every call maps it again, which
// drops the previous mapping first.
#include <benchmark/benchmark.h>

#include <exception>
#include <string>

#include "mapping/hardware_backend.hpp"
#include "support/published_networks.hpp"

namespace {

void BM_MapMobileNetV2(benchmark::State& state) {
  qalto::register_hardware_backend();
  const auto model = qalto::testing::mobilenet_v2();
  const auto device = qalto::testing::mesh_device(8, 4);
  size_t passes = 0;
  for (auto _ : state) {
    try {
      model->map(device, /*hw_only=*/false, nullptr);
    } catch (const std::exception& e) {
      state.SkipWithError((std::string("MobileNet v2 does not map: ") + e.what()).c_str());
      break;
    }
    // A mapping that depended on the one before it would change from one call to the next.
    const size_t mapped = model->sequences().front()->passes().size();
    if (passes != 0 && mapped != passes) {
      state.SkipWithError("mapping the model again gave another pass count");
      break;
    }
    passes = mapped;
  }
  state.counters["passes"] = static_cast<double>(passes);
}
BENCHMARK(BM_MapMobileNetV2)->Unit(benchmark::kMillisecond);

}  // namespace
