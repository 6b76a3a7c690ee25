// Loading a model file of 200 layers (about 190 kB) against the snappy library decompressing the
// same file: the load, decompression included, should take at most 1.5 times the decompression.
#include <benchmark/benchmark.h>
#include <snappy.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "qalto/model.hpp"
#include "qalto/model_file.hpp"

namespace {

using namespace qalto;

constexpr int kLayers = 200;
constexpr int32_t kChannels = 52;

// Every variable of a layer filled, each with one value, as a synthetic model would be. The
// file is then mostly copies for the decoder: 2.8 MB of layers in a file of about 190 kB.
void fill(Layer& layer, int index) {
  int k = 0;
  for (const auto& name : layer.variables().names()) {
    Dense& tensor = *layer.variables().get(name);
    const int64_t value = (index + k++) % 100;
    const size_t size = element_size(tensor.type());
    for (size_t i = 0; i < tensor.byte_size(); ++i) {
      tensor.raw()[i] = static_cast<uint8_t>(value >> (8 * (i % size)));
    }
  }
}

// A file removed when the program ends.
struct TemporaryFile {
  std::string path;
  ~TemporaryFile() {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
};

// An input of 1x1x52, then 3x3 Conv2D layers of 52 filters and Dense1D layers of 52 units in
// turn: 200 layers, saved once per run.
const std::string& model_path() {
  static const TemporaryFile file = [] {
    auto model = Model::create();
    model->add(Layer::create(*LayerParams::create(LayerType::InputData,
                                                  {{"input_width", 1}, {"input_height", 1},
                                                   {"input_channels", kChannels}}),
                             "input"));
    for (int i = 1; i < kLayers; ++i) {
      const bool conv = i % 2 == 1;
      auto layer = conv ? Layer::create(*LayerParams::create(LayerType::Conv2D,
                                                             {{"filters", kChannels}}),
                                        "conv_" + std::to_string(i))
                        : Layer::create(*LayerParams::create(LayerType::Dense1D,
                                                             {{"units", kChannels}}),
                                        "dense_" + std::to_string(i));
      model->add(layer);
      fill(*layer, i);
    }
    const auto location = std::filesystem::temp_directory_path() /
                          ("qalto_bench_model_" + std::to_string(::getpid()) + ".fbz");
    model_file::write(location.string(), model->serialize());
    return TemporaryFile{location.string()};
  }();
  return file.path;
}

std::string file_bytes() {
  std::ifstream in(model_path(), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void BM_LoadModelFile(benchmark::State& state) {
  const std::string& path = model_path();
  for (auto _ : state) {
    benchmark::DoNotOptimize(Model::load(path));  // what Python's Model(path) does
  }
  const auto file_size = static_cast<int64_t>(file_bytes().size());
  state.SetBytesProcessed(state.iterations() * file_size);
  state.counters["file_bytes"] = static_cast<double>(file_size);
}
BENCHMARK(BM_LoadModelFile);

// The library's own decompression of the file's bytes, already in memory.
void BM_SnappyRawUncompress(benchmark::State& state) {
  const std::string block = file_bytes();
  for (auto _ : state) {
    size_t length = 0;
    snappy::GetUncompressedLength(block.data(), block.size(), &length);
    auto out = std::make_unique_for_overwrite<char[]>(length);
    if (!snappy::RawUncompress(block.data(), block.size(), out.get())) {
      state.SkipWithError("the model file is not a raw block");
      break;
    }
    benchmark::DoNotOptimize(out.get());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(block.size()));
}
BENCHMARK(BM_SnappyRawUncompress);

}  // namespace
