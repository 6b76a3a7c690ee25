#pragma once
// The mapping driver's working list: the layers placed so far, grouped into future hardware
// passes, each with the components it was given.

#include <memory>
#include <vector>

#include "qalto/hw.hpp"
#include "qalto/layer.hpp"

namespace qalto {

struct MappableLayers {
  struct MappableLayer {
    std::shared_ptr<Layer> layer;
    std::vector<hw::Component> components;
  };
  using Group = std::vector<MappableLayer>;

  std::vector<Group> groups;

  // The layers of each group, in order.
  std::vector<std::vector<std::shared_ptr<Layer>>> build_mappable_layers() const {
    std::vector<std::vector<std::shared_ptr<Layer>>> result;
    for (const auto& group : groups) {
      auto& layers = result.emplace_back();
      for (const auto& entry : group) layers.push_back(entry.layer);
    }
    return result;
  }

  // The component lists of each group's layers, in order (copies).
  std::vector<std::vector<std::vector<hw::Component>>> build_mappable_components() const {
    std::vector<std::vector<std::vector<hw::Component>>> result;
    for (const auto& group : groups) {
      auto& lists = result.emplace_back();
      for (const auto& entry : group) lists.push_back(entry.components);
    }
    return result;
  }
};

}  // namespace qalto
