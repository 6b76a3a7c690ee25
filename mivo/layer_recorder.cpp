#include "mivo/layer_recorder.hpp"

#include <stdexcept>
#include <string>

#include "mivo/tnpr_recorder.hpp"

namespace qalto::mivo {

namespace {

[[noreturn]] void no_learning() { throw std::runtime_error("Learning not implemented on mivo."); }

}  // namespace

LayerRecorderImpl::LayerRecorderImpl(const Device& device, const HardwareConstraints&)
    : device_(device) {}

program::RecordPtr LayerRecorderImpl::record_layer(const Layer& layer, const Layer*,
                                                   const LayerPtr&, bool, bool,
                                                   const std::vector<hw::Ident>&, bool,
                                                   bool) const {
  switch (layer.type()) {
    case LayerType::StatefulRecurrent: return record_program_tnpr_layers(device_, layer);
    case LayerType::InputData:
    case LayerType::Dequantizer:
    case LayerType::Quantizer: return program::new_record(device_.version());
    default:
      throw std::runtime_error("Unsupported layer type on mivo: " +
                               std::to_string(static_cast<uint32_t>(layer.type())) + ".");
  }
}

program::LearnRecordsPtr LayerRecorderImpl::record_learning_layer(const Layer&, bool) const {
  no_learning();
}

void LayerRecorderImpl::sync_learning_vars(const LayerPtr&) const { no_learning(); }

}  // namespace qalto::mivo
