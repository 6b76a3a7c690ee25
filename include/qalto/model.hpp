#pragma once
// The engine model: an ordered list of layers wired into a graph.

#include <memory>
#include <string>
#include <vector>

#include "qalto/layer.hpp"

namespace qalto {

class Model {
 public:
  static std::unique_ptr<Model> create() { return std::make_unique<Model>(); }

  // Appends a layer fed by `inbound` (an empty list feeds it from the last layer, none for the
  // first layer) and builds its shapes. Throws invalid_argument, leaving the model unchanged,
  // when the layer is already in the model, its name is taken, an inbound layer is not in the
  // model, or the inputs do not suit it.
  void add(const std::shared_ptr<Layer>& layer,
           const std::vector<std::shared_ptr<Layer>>& inbound = {});
  // Removes the last layer (nothing when empty).
  void pop_layer();

  const std::vector<std::shared_ptr<Layer>>& layers() const { return layers_; }
  std::shared_ptr<Layer> get_layer(size_t index) const;
  std::shared_ptr<Layer> get_layer(const std::string& name) const;
  size_t layer_count() const { return layers_.size(); }
  // Input shape of the first layer and output shape of the last; empty when no layer.
  std::vector<uint32_t> input_shape() const;
  std::vector<uint32_t> output_shape() const;

 private:
  bool contains(const Layer* layer) const;

  std::vector<std::shared_ptr<Layer>> layers_;
};

}  // namespace qalto
