#include "qalto/model.hpp"

#include <algorithm>
#include <stdexcept>

namespace qalto {

bool Model::contains(const Layer* layer) const {
  return std::any_of(layers_.begin(), layers_.end(),
                     [layer](const auto& held) { return held.get() == layer; });
}

void Model::add(const std::shared_ptr<Layer>& layer,
                const std::vector<std::shared_ptr<Layer>>& inbound) {
  if (!layer) throw std::invalid_argument("Cannot add an empty layer.");
  if (contains(layer.get())) {
    throw std::invalid_argument("Layer " + layer->get_name() + " is already in the model.");
  }
  if (get_layer(layer->get_name())) {
    throw std::invalid_argument("A layer named " + layer->get_name() + " is already in the model.");
  }
  std::vector<std::shared_ptr<Layer>> sources = inbound;
  if (sources.empty() && !layers_.empty()) sources.push_back(layers_.back());
  for (const auto& source : sources) {
    if (!source || !contains(source.get())) {
      throw std::invalid_argument("Inbound layer of " + layer->get_name() +
                                  " is not in the model.");
    }
  }
  std::vector<Shape> inputs;
  for (const auto& source : sources) inputs.push_back(source->output_dimensions());
  layer->build(inputs);  // throws before anything is wired
  layer->connect_inbound(sources);
  layers_.push_back(layer);
}

void Model::pop_layer() {
  if (layers_.empty()) return;
  layers_.back()->disconnect();
  layers_.pop_back();
}

std::shared_ptr<Layer> Model::get_layer(size_t index) const {
  return index < layers_.size() ? layers_[index] : nullptr;
}

std::shared_ptr<Layer> Model::get_layer(const std::string& name) const {
  for (const auto& layer : layers_)
    if (layer->get_name() == name) return layer;
  return nullptr;
}

std::vector<uint32_t> Model::input_shape() const {
  if (layers_.empty()) return {};
  return layers_.front()->input_dimensions().front().to_vector();
}

std::vector<uint32_t> Model::output_shape() const {
  if (layers_.empty()) return {};
  return layers_.back()->output_dimensions().to_vector();
}

}  // namespace qalto
