#pragma once
// Programs of v2 layers, and the v2 answers to the learning operations.

#include "mapping/generation.hpp"
#include "program/record.hpp"

namespace qalto::v2 {

class LayerRecorderImpl final : public LayerRecorder {
 public:
  // Keeps a reference to the device, which must outlive the recorder. The constraints are
  // taken as by every generation's objects; recording does not read them.
  LayerRecorderImpl(const Device& device, const HardwareConstraints& constraints);

  // The layer's program: Conv2D, Conv2DTranspose, DepthwiseConv2D and
  // DepthwiseConv2DTranspose go to their CNP recorders (v2/cnp_recorder.hpp) with the device,
  // the layer, `next`, the four flags and `skip` passed through (`first_layer` is not needed); Add, Concatenate, InputData, Quantizer and Dequantizer own no
  // component and give an empty record for the device's version; any other type throws
  // runtime_error "Layer type <type> is not supported on v2.". Recorder errors pass through.
  program::RecordPtr record_layer(const Layer& layer, const Layer* first_layer,
                                  const LayerPtr& next, bool ib_spikes, bool partial_reconfig,
                                  const std::vector<hw::Ident>& skip, bool registers_only,
                                  bool output_format_flag) const override;
  // v2 programs no on-chip learning: both throw runtime_error "Learning not implemented on v2.".
  program::LearnRecordsPtr record_learning_layer(const Layer& layer, bool flag) const override;
  void sync_learning_vars(const LayerPtr& layer) const override;

 private:
  const Device& device_;
};

}  // namespace qalto::v2
