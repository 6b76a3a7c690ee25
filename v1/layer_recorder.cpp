#include "v1/layer_recorder.hpp"

#include "v1/errors.hpp"

#include <stdexcept>
#include <string>

#include "v1/compatibility_checker.hpp"
#include "v1/learning_memory.hpp"

namespace qalto::v1 {

namespace {

// The identifier of the layer's first NP; the vector's own out_of_range when it has none.
hw::Ident first_np(const Layer& layer) {
  static const std::vector<hw::Component> no_components;
  const auto mapping = layer.mapping();
  const std::vector<hw::Component>& components =
      mapping && mapping->components ? *mapping->components : no_components;
  return components.at(0).ident;
}

// A record of one track holding a register-image block without payload for `np`.
program::RecordPtr register_record(const HwVersion& version, const hw::Ident& np) {
  auto record = program::new_record(version);
  record->add_np_track(np, dma::Target::NpRegisters, 0, {}, true, false);
  return record;
}

}  // namespace

LayerRecorderImpl::LayerRecorderImpl(const Device& device, const HardwareConstraints&)
    : device_(device) {}

program::RecordPtr LayerRecorderImpl::record_layer(const Layer& layer, const Layer*,
                                                   const LayerPtr&, bool, bool,
                                                   const std::vector<hw::Ident>&, bool,
                                                   bool) const {
  // Layers without hardware of their own (inputs, quantizers, joining layers) have an empty
  // program.
  if (layer.is_target_component(ComponentKind::None) ||
      layer.is_target_component(ComponentKind::SKIP_DMA)) {
    return program::new_record(device_.version());
  }
  const std::string message = unsupported_layer_message(layer.type());
  if (layer.is_target_component(ComponentKind::CNP)) throw CnpError(message);
  if (layer.is_target_component(ComponentKind::FNP)) throw FnpError(message);
  throw std::runtime_error(message);
}

program::LearnRecordsPtr LayerRecorderImpl::record_learning_layer(const Layer& layer,
                                                                  bool) const {
  const std::vector<uint32_t> weights = format_learning_weights(layer);
  const hw::Ident np = first_np(layer);
  const HwVersion version = device_.version();

  program::LearnRecordsPtr records;
  records.registers_1 = register_record(version, np);
  records.registers_2 = register_record(version, np);
  records.weights = program::new_record(version);
  records.weights->add_np_track(np, dma::Target::FnpWeights, 0, weights, true, false);
  records.weights->add_fnp2_filters_track(np, weights);
  // The block fitted one track, so its length is far below 32 bits.
  records.fnp_sram_size = static_cast<uint32_t>(weights.size());
  return records;
}

void LayerRecorderImpl::sync_learning_vars(const LayerPtr& layer) const {
  if (!layer) throw std::invalid_argument("sync_learning_vars needs a layer.");
  const LearningLayout layout = learning_layout(*layer);
  first_np(*layer);
  HardwareDevice* hardware = device_.hardware();
  if (!hardware) throw std::runtime_error("An actual hardware device is required.");

  const size_t count = hardware->learn_mem_size();
  check_learning_memory_size(*layer, layout, count);
  std::vector<uint32_t> memory(count, 0);
  hardware->read_learn_mem(memory.data());
  const LearnedValues learned = parse_learning_memory(*layer, memory.data(), memory.size());

  // Both variables change or neither: the tensors carry the variables' own types and shapes,
  // and a failure of the second puts the first back.
  Variables& variables = layer->variables();
  const std::shared_ptr<Dense> previous_weights = variables.get("weights");
  variables.set("weights", learned.weights);
  try {
    variables.set("threshold", learned.thresholds);
  } catch (...) {
    variables.declare("weights", previous_weights);
    throw;
  }
}

}  // namespace qalto::v1
