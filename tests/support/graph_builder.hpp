#pragma once
// Small engine layer graphs for graph, split and allocation tests. Layers are built and wired
// the way Model::add does it, but explicitly: a model feeds an inbound-less layer from its
// last layer, which would not let a graph have two inputs.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qalto/layer.hpp"

namespace qalto::testing {

using LayerPtr = std::shared_ptr<Layer>;
using Params = std::map<std::string, int32_t>;

class GraphBuilder {
 public:
  std::vector<LayerPtr> layers;  // keeps the graph alive (outbound links are weak)

  LayerPtr input(const std::string& name, uint32_t width = 8, uint32_t height = 8,
                 uint32_t channels = 4, uint32_t bits = 8) {
    return add(LayerType::InputData, name,
               {{"input_width", static_cast<int32_t>(width)},
                {"input_height", static_cast<int32_t>(height)},
                {"input_channels", static_cast<int32_t>(channels)},
                {"input_bits", static_cast<int32_t>(bits)}},
               {});
  }
  // A Conv2D keeping the width and height (Same padding, kernel 3); `filters` defaults to the
  // channel count of the first inbound so that residual Adds line up.
  LayerPtr conv(const std::string& name, const std::vector<LayerPtr>& inbound,
                int32_t filters = 0) {
    if (filters == 0) filters = static_cast<int32_t>(inbound.front()->output_dimensions()[2]);
    return add(LayerType::Conv2D, name, {{"filters", filters}}, inbound);
  }
  LayerPtr join(const std::string& name, const std::vector<LayerPtr>& inbound) {
    return add(LayerType::Add, name, {}, inbound);
  }
  LayerPtr add(LayerType type, const std::string& name, const Params& params,
               const std::vector<LayerPtr>& inbound) {
    auto layer = Layer::create(*LayerParams::create(type, params), name);
    std::vector<Shape> shapes;
    for (const auto& source : inbound) shapes.push_back(source->output_dimensions());
    layer->build(shapes);
    layer->connect_inbound(inbound);
    layers.push_back(layer);
    return layer;
  }
};

}  // namespace qalto::testing
