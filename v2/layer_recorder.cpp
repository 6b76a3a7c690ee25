#include "v2/layer_recorder.hpp"

#include <stdexcept>
#include <string>

#include "v2/cnp_recorder.hpp"
#include "v2/compatibility_checker.hpp"

namespace qalto::v2 {

LayerRecorderImpl::LayerRecorderImpl(const Device& device, const HardwareConstraints&)
    : device_(device) {}

program::RecordPtr LayerRecorderImpl::record_layer(const Layer& layer, const Layer*,
                                                   const LayerPtr& next, bool ib_spikes,
                                                   bool partial_reconfig,
                                                   const std::vector<hw::Ident>& skip,
                                                   bool registers_only,
                                                   bool output_format_flag) const {
  switch (layer.type()) {
    case LayerType::Conv2D:
      return record_program_conv2d_layer(device_, layer, next, ib_spikes,
                                         partial_reconfig, skip, registers_only,
                                         output_format_flag);
    case LayerType::Conv2DTranspose:
      return record_program_transposed_conv2d_layer(device_, layer, next, ib_spikes,
                                                    partial_reconfig, skip, registers_only,
                                                    output_format_flag);
    case LayerType::DepthwiseConv2D:
      return record_program_dwconv2d_layer(device_, layer, next, ib_spikes,
                                           partial_reconfig, skip, registers_only,
                                           output_format_flag);
    case LayerType::DepthwiseConv2DTranspose:
      return record_program_transposed_dwconv2d_layer(device_, layer, next,
                                                      ib_spikes, partial_reconfig, skip,
                                                      registers_only, output_format_flag);
    // Layers that own no component of their own: joining layers (skip DMA on the merge
    // layer carries them) and the layers around the program. Nothing to program.
    case LayerType::Add:
    case LayerType::Concatenate:
    case LayerType::InputData:
    case LayerType::Quantizer:
    case LayerType::Dequantizer:
      return program::new_record(device_.version());
    default:
      throw std::runtime_error(unsupported_layer_message(layer.type()));
  }
}

program::LearnRecordsPtr LayerRecorderImpl::record_learning_layer(const Layer&, bool) const {
  throw std::runtime_error("Learning not implemented on v2.");
}

void LayerRecorderImpl::sync_learning_vars(const LayerPtr&) const {
  throw std::runtime_error("Learning not implemented on v2.");
}

}  // namespace qalto::v2
