#include "mivo/layer_recorder.hpp"

#include <stdexcept>
#include <string>

namespace qalto::mivo {

namespace {

[[noreturn]] void not_implemented(const char* operation) {
  throw std::runtime_error(std::string("mivo::LayerRecorderImpl::") + operation +
                           " is not implemented yet.");
}

}  // namespace

LayerRecorderImpl::LayerRecorderImpl(const Device& device, const HardwareConstraints& constraints)
    : device_(device), constraints_(constraints) {}

program::RecordPtr LayerRecorderImpl::record_layer(const Layer&, const Layer*, const LayerPtr&,
                                                   bool, bool, const std::vector<hw::Ident>&, bool,
                                                   bool) const {
  not_implemented("record_layer");
}

program::LearnRecordsPtr LayerRecorderImpl::record_learning_layer(const Layer&, bool) const {
  not_implemented("record_learning_layer");
}

void LayerRecorderImpl::sync_learning_vars(const LayerPtr&) const {
  not_implemented("sync_learning_vars");
}

}  // namespace qalto::mivo
