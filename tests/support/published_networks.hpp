#pragma once
// Published networks, built layer by layer as their papers describe them, for mapping tests and
// benchmarks, and the virtual v2 device of a mesh of nodes they are mapped on.
//
// Every "weights" variable is filled from one seeded Mersenne Twister per model (its output
// sequence is fixed by the standard), so a given seed always gives the same model; the other
// variables keep the engine's zeros.

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "qalto/device.hpp"
#include "qalto/layer.hpp"
#include "qalto/model.hpp"

namespace qalto::testing {

// Adds layers to one model in order, each with explicit inbound layers, and gives each new
// "weights" variable random int8 values.
class NetworkBuilder {
 public:
  explicit NetworkBuilder(uint32_t seed) : random_(seed) {}

  std::shared_ptr<Layer> add(LayerType type, const std::string& name,
                             std::map<std::string, int32_t> params,
                             const std::vector<std::shared_ptr<Layer>>& inbound) {
    auto layer = Layer::create(LayerParams(type, std::move(params)), name);
    model_->add(layer, inbound);
    if (layer->variables().has("weights")) {
      const auto weights = layer->variables().get("weights");
      int8_t* values = weights->data<int8_t>();
      // The top byte of each 32-bit draw: uniform over the whole int8 range.
      for (uint64_t i = 0; i < weights->size(); ++i)
        values[i] = static_cast<int8_t>(static_cast<uint8_t>(random_() >> 24));
    }
    return layer;
  }

  std::unique_ptr<Model> take() { return std::move(model_); }

 private:
  std::unique_ptr<Model> model_ = Model::create();
  std::mt19937 random_;
};

inline constexpr int32_t kNoActivation = static_cast<int32_t>(ActivationType::NoActivation);
inline constexpr int32_t kAveragePool = static_cast<int32_t>(PoolType::Average);

// MobileNet v2 at width 1.0 on 224x224x3 inputs (Table 2 of its paper): a stride-2 stem, 17
// inverted-residual bottlenecks (1x1 expansion except in the first, 3x3 depthwise, linear 1x1
// projection; an Add where stride and channels allow, 10 of them), a 1x1 head of 1280 filters
// with global average pooling, and optionally the 1000-unit classifier.
inline std::unique_ptr<Model> mobilenet_v2(bool classifier = true, uint32_t seed = 1) {
  NetworkBuilder net(seed);
  auto input = net.add(LayerType::InputData, "input",
                       {{"input_width", 224}, {"input_height", 224}, {"input_channels", 3}}, {});
  auto prev = net.add(LayerType::Conv2D, "stem",
                      {{"filters", 32}, {"kernel_size", 3}, {"kernel_stride", 2}}, {input});
  struct Stage {
    int32_t expansion, channels, repeats, stride;
  };
  constexpr Stage stages[] = {{1, 16, 1, 1}, {6, 24, 2, 2},  {6, 32, 3, 2}, {6, 64, 4, 2},
                              {6, 96, 3, 1}, {6, 160, 3, 2}, {6, 320, 1, 1}};
  int32_t cin = 32;
  int block = 0;
  for (const Stage& stage : stages) {
    for (int32_t i = 0; i < stage.repeats; ++i) {
      const int32_t stride = i == 0 ? stage.stride : 1;
      const std::string b = "b" + std::to_string(++block);
      auto x = prev;
      if (stage.expansion != 1)
        x = net.add(LayerType::Conv2D, b + "_expand",
                    {{"filters", cin * stage.expansion}, {"kernel_size", 1}}, {x});
      auto dw = net.add(LayerType::DepthwiseConv2D, b + "_dw",
                        {{"kernel_size", 3}, {"kernel_stride", stride}}, {x});
      auto project = net.add(LayerType::Conv2D, b + "_project",
                             {{"filters", stage.channels}, {"kernel_size", 1},
                              {"activation", kNoActivation}},
                             {dw});
      if (stride == 1 && cin == stage.channels)
        prev = net.add(LayerType::Add, b + "_add", {}, {prev, project});
      else
        prev = project;
      cin = stage.channels;
    }
  }
  auto head = net.add(LayerType::Conv2D, "head",
                      {{"filters", 1280}, {"kernel_size", 1}, {"pool_type", kAveragePool},
                       {"pool_size", -1}},
                      {prev});
  if (classifier) net.add(LayerType::Dense1D, "classifier", {{"units", 1000}}, {head});
  return net.take();
}

// MobileNet v1 at width 1.0 on 224x224x3 inputs (Table 1 of its paper): a stride-2 stem of 32
// filters, 13 depthwise-separable blocks (3x3 depthwise, then 1x1 pointwise), and optionally
// the classifier as a 1x1 convolution of 1000 filters named "fc" that carries the 7x7 global
// average pooling. The table lists the last depthwise as stride 2, but its sizes keep the map at
// 7x7 for the pooling, so that block has stride 1.
inline std::unique_ptr<Model> mobilenet_v1(bool classifier = true, uint32_t seed = 1) {
  NetworkBuilder net(seed);
  auto input = net.add(LayerType::InputData, "input",
                       {{"input_width", 224}, {"input_height", 224}, {"input_channels", 3}}, {});
  auto prev = net.add(LayerType::Conv2D, "stem",
                      {{"filters", 32}, {"kernel_size", 3}, {"kernel_stride", 2}}, {input});
  struct Block {
    int32_t stride, filters;
  };
  constexpr Block blocks[] = {{1, 64},  {2, 128}, {1, 128}, {2, 256}, {1, 256},
                              {2, 512}, {1, 512}, {1, 512}, {1, 512}, {1, 512},
                              {1, 512}, {2, 1024}, {1, 1024}};
  int index = 0;
  for (const Block& block : blocks) {
    const std::string b = "b" + std::to_string(++index);
    auto dw = net.add(LayerType::DepthwiseConv2D, b + "_dw",
                      {{"kernel_size", 3}, {"kernel_stride", block.stride}}, {prev});
    prev = net.add(LayerType::Conv2D, b + "_pw", {{"filters", block.filters}, {"kernel_size", 1}},
                   {dw});
  }
  if (classifier)
    net.add(LayerType::Conv2D, "fc",
            {{"filters", 1000}, {"kernel_size", 1}, {"pool_type", kAveragePool},
             {"pool_size", -1}, {"activation", kNoActivation}},
            {prev});
  return net.take();
}

// The CIFAR ResNet of 6n+2 layers on 32x32x3 inputs (n = 3: ResNet-20, n = 2: ResNet-14): a
// 16-filter stem, three stages of n two-convolution blocks (16, 32, 64 filters; the first block
// of stages 2 and 3 halves the map and adds a 1x1 projection shortcut), global average pooling
// and optionally the 10-unit classifier.
inline std::unique_ptr<Model> resnet(int n, bool classifier = true, uint32_t seed = 1) {
  NetworkBuilder net(seed);
  auto input = net.add(LayerType::InputData, "input",
                       {{"input_width", 32}, {"input_height", 32}, {"input_channels", 3}}, {});
  auto prev = net.add(LayerType::Conv2D, "stem", {{"filters", 16}}, {input});
  int32_t cin = 16;
  const int32_t widths[] = {16, 32, 64};
  for (int s = 1; s <= 3; ++s) {
    const int32_t c = widths[s - 1];
    for (int bi = 1; bi <= n; ++bi) {
      const int32_t stride = s > 1 && bi == 1 ? 2 : 1;
      const std::string b = "s" + std::to_string(s) + "b" + std::to_string(bi);
      auto c1 = net.add(LayerType::Conv2D, b + "_c1", {{"filters", c}, {"kernel_stride", stride}},
                        {prev});
      auto c2 = net.add(LayerType::Conv2D, b + "_c2",
                        {{"filters", c}, {"activation", kNoActivation}}, {c1});
      // The projection comes after c2 in model order: the mapping sees the main branch first.
      auto shortcut = prev;
      if (stride != 1 || cin != c)
        shortcut = net.add(LayerType::Conv2D, b + "_proj",
                           {{"filters", c}, {"kernel_size", 1}, {"kernel_stride", stride},
                            {"activation", kNoActivation}},
                           {prev});
      prev = net.add(LayerType::Add, b + "_add", {}, {shortcut, c2});
      cin = c;
    }
  }
  // Global average pooling on hardware: a 1x1 convolution that averages the whole map (v2
  // depthwise kernels are 3, 5 or 7).
  auto pool = net.add(LayerType::Conv2D, "pool",
                      {{"filters", 64}, {"kernel_size", 1}, {"pool_type", kAveragePool},
                       {"pool_size", -1}},
                      {prev});
  if (classifier) net.add(LayerType::Dense1D, "classifier", {{"units", 10}}, {pool});
  return net.take();
}

// A virtual FPGA v2 device: a mesh of `cols` x `rows` nodes of 4 NPs each (every NP serves
// CNP1 and CNP2 and has a look-up table), in the column after them the DMA event and
// configuration endpoints and one skip-DMA engine of `channels` channels.
inline std::shared_ptr<Device> mesh_device(uint8_t cols, uint8_t rows, uint8_t channels = 4) {
  // The endpoints' column must still fit the identifier's byte.
  if (cols == 0 || rows == 0 || cols == UINT8_MAX)
    throw std::invalid_argument("mesh_device needs 1 to 254 columns and at least one row");
  std::vector<np::Info> nps;
  for (int col = 1; col <= cols; ++col)
    for (int row = 1; row <= rows; ++row)
      for (int id = 0; id < 4; ++id)
        nps.push_back(np::Info{hw::Ident{static_cast<uint8_t>(col), static_cast<uint8_t>(row),
                                         static_cast<uint8_t>(id), 0},
                               {hw::Type::CNP1, hw::Type::CNP2}, true});
  const auto dma_col = static_cast<uint8_t>(cols + 1);
  std::vector<np::Info> skip_dmas{
      np::Info{hw::Ident{dma_col, 2, 0, channels}, {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD},
               false}};
  Mesh mesh(IpVersion::v2, hw::Ident{dma_col, 1, 0, 0}, hw::Ident{dma_col, 1, 1, 0},
            std::nullopt, nps, skip_dmas);
  return make_virtual_device(HwVersion{0xBC, 0xA2, 1, 0}, mesh);
}

}  // namespace qalto::testing
