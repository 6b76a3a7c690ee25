#include "program/hardware_pass.hpp"

#include "mapping/layer_mapping_builder.hpp"

namespace qalto {

namespace {

void detach_if_ours(const std::vector<std::shared_ptr<Layer>>& layers,
                    const std::vector<std::shared_ptr<Layer::Mapping>>& attached) {
  for (size_t i = 0; i < layers.size() && i < attached.size(); ++i) {
    if (attached[i] && layers[i]->mapping() == attached[i]) layers[i]->set_mapping(nullptr);
  }
}

}  // namespace

HardwarePass::HardwarePass(const std::vector<std::shared_ptr<Layer>>& pass_layers,
                           const std::vector<std::shared_ptr<Layer>>& sequence_layers,
                           const std::vector<std::vector<hw::Component>>& components,
                           const hw::Ident& dma_event,
                           const std::shared_ptr<HardwarePass>& previous) {
  std::vector<std::shared_ptr<Layer::Mapping>> before;
  for (const auto& layer : pass_layers) before.push_back(layer->mapping());
  try {
    LayerMappingBuilder::build_layer_mapping(pass_layers, sequence_layers, components, dma_event);
    for (const auto& layer : pass_layers) attached_.push_back(layer->mapping());
    layers = pass_layers;
    if (previous) {
      LayerMappingBuilder::link_to_previous_pass(first_mappable_layer(layers),
                                                 last_mappable_layer(previous->layers));
    }
  } catch (...) {
    // Leave the layers as they were: a half-wired record must not outlive the failure.
    for (size_t i = 0; i < pass_layers.size(); ++i) pass_layers[i]->set_mapping(before[i]);
    throw;
  }
}

HardwarePass::~HardwarePass() { detach_if_ours(layers, attached_); }

}  // namespace qalto
