#pragma once
// Programs of mivo layers and of their learning.

#include "mapping/generation.hpp"
#include "program/record.hpp"

namespace qalto::mivo {

class LayerRecorderImpl final : public LayerRecorder {
 public:
  // Keeps a reference to the device, which must outlive the recorder. The constraints are
  // taken as by every generation's objects; recording does not read them.
  LayerRecorderImpl(const Device& device, const HardwareConstraints& constraints);

  // A StatefulRecurrent layer: the program of the series it starts (tnpr_recorder.hpp), one
  // record of three tracks. InputData, Dequantizer, Quantizer: an empty record. Any other type:
  // runtime_error "Unsupported layer type on mivo: <type number>.". Only the layer is read.
  program::RecordPtr record_layer(const Layer& layer, const Layer* first_layer,
                                  const LayerPtr& next, bool ib_spikes, bool partial_reconfig,
                                  const std::vector<hw::Ident>& skip, bool registers_only,
                                  bool output_format_flag) const override;
  // Both: runtime_error "Learning not implemented on mivo.".
  program::LearnRecordsPtr record_learning_layer(const Layer& layer, bool flag) const override;
  void sync_learning_vars(const LayerPtr& layer) const override;

 private:
  const Device& device_;
};

}  // namespace qalto::mivo
