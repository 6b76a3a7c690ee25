#pragma once
// Small engine models for the layer-mapping and skip-DMA wiring tests, and the component
// lists a mesh mapper would have given their layers.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mapping/graph.hpp"
#include "mapping/layer_mapping.hpp"
#include "qalto/model.hpp"

namespace qalto::testing {

using Params = std::map<std::string, int32_t>;

// Layers are added to one engine model, in order, with explicit inbound lists.
class Net {
 public:
  std::unique_ptr<Model> model = Model::create();

  std::shared_ptr<Layer> add(LayerType type, const std::string& name, const Params& params,
                             const LayerList& inbound = {}) {
    auto layer = Layer::create(LayerParams(type, params), name);
    model->add(layer, inbound);
    return layer;
  }
  std::shared_ptr<Layer> input(const std::string& name, int32_t channels = 4) {
    return add(LayerType::InputData, name,
               {{"input_width", 8}, {"input_height", 8}, {"input_channels", channels}});
  }
  // An HRC layer that starts the model.
  std::shared_ptr<Layer> hrc(const std::string& name, int32_t filters = 4) {
    return add(LayerType::InputConv2D, name,
               {{"input_width", 8}, {"input_height", 8}, {"input_channels", 3},
                {"filters", filters}});
  }
  // A Conv2D keeping width and height; `filters` 0 keeps the channel count of its input.
  std::shared_ptr<Layer> conv(const std::string& name, const std::shared_ptr<Layer>& from,
                              int32_t filters = 0) {
    if (filters == 0) filters = static_cast<int32_t>(from->output_dimensions()[2]);
    return add(LayerType::Conv2D, name, {{"filters", filters}}, {from});
  }
  std::shared_ptr<Layer> join(const std::string& name, const LayerList& inbound) {
    return add(LayerType::Add, name, {}, inbound);
  }
  std::shared_ptr<Layer> concat(const std::string& name, const LayerList& inbound) {
    return add(LayerType::Concatenate, name, {}, inbound);
  }
  std::shared_ptr<Layer> buffer_conv(const std::string& name, const std::shared_ptr<Layer>& from,
                                     int32_t fifo_size, int32_t filters = 4) {
    return add(LayerType::BufferTempConv, name, {{"filters", filters}, {"fifo_size", fifo_size}},
               {from});
  }
};

// Components with distinct identifiers: NP n sits in column n.
inline hw::Component np_component(uint8_t col, hw::Type type = hw::Type::CNP1) {
  hw::Component component;
  component.type = type;
  component.ident = hw::Ident{col, 1, 0, 0};
  component.np_part = hw::NpPart{};
  return component;
}

inline hw::Component skip_component(hw::Type type, uint8_t channel) {
  hw::Component component;
  component.type = type;
  component.ident = hw::Ident{0, 9, 0, channel};
  return component;
}

inline hw::Component store(uint8_t channel) {
  return skip_component(hw::Type::SKIP_DMA_STORE, channel);
}
inline hw::Component load(uint8_t channel) {
  return skip_component(hw::Type::SKIP_DMA_LOAD, channel);
}

inline LayerMapping& record(const std::shared_ptr<Layer>& layer) {
  auto mapping = layer_mapping_of(*layer);
  if (!mapping) throw std::logic_error("test layer " + layer->get_name() + " has no mapping");
  return *mapping;
}

inline bool holds(const std::vector<SharedComponents>& lists, const SharedComponents& list) {
  for (const auto& held : lists)
    if (held == list) return true;
  return false;
}

constexpr hw::Ident kDmaEvent{7, 0, 2, 0};

}  // namespace qalto::testing

namespace qalto::testing {

// One component list per pass layer: the given lists, empty for the others.
inline std::vector<ComponentList> components_for(
    const LayerList& pass, const std::map<std::shared_ptr<Layer>, ComponentList>& given) {
  std::vector<ComponentList> lists;
  for (const auto& layer : pass) {
    auto found = given.find(layer);
    lists.push_back(found == given.end() ? ComponentList{} : found->second);
  }
  return lists;
}

}  // namespace qalto::testing
