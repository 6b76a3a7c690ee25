#pragma once
// Programs of v1 layers and of their learning.
//
// Only the learning of a fully connected layer is programmed on v1 here. Its learning program
// carries no register field (none is defined in this engine): two header-only register-image
// blocks addressed to the layer's first NP, and its weights, one word per weight in the
// layout of v1/learning_memory.hpp, both as an FNP weight-memory block and as the FNP2 filters
// track. The learned values come back from the device's learning memory in the same layout.

#include "mapping/generation.hpp"
#include "program/record.hpp"

namespace qalto::v1 {

class LayerRecorderImpl final : public LayerRecorder {
 public:
  // Keeps a reference to the device, which must outlive the recorder. The constraints are
  // taken as by every generation's objects; recording does not read them.
  LayerRecorderImpl(const Device& device, const HardwareConstraints& constraints);

  // No v1 layer program is available: runtime_error "Layer type <type> is not supported on
  // v1." for every layer (the checker refuses these layers before they get here).
  program::RecordPtr record_layer(const Layer& layer, const Layer* first_layer,
                                  const LayerPtr& next, bool ib_spikes, bool partial_reconfig,
                                  const std::vector<hw::Ident>& skip, bool registers_only,
                                  bool output_format_flag) const override;
  // The learning program of a FullyConnected layer, for the device's version: registers_1 and
  // registers_2 each one track holding one empty NpRegisters block for the layer's first NP;
  // weights one track holding one FnpWeights block of the weight words, and the FNP2 filters
  // track of the same words for the same NP; fnp_sram_size the number of weight words (N x U).
  // `ib_spikes` changes nothing (no register is written). Throws std::out_of_range when the
  // layer's mapping has no component, what learning_layout throws (runtime_error for another
  // layer type or missing variables), and "Error generating NP program." when the weights do
  // not fit one track.
  program::LearnRecordsPtr record_learning_layer(const Layer& layer, bool ib_spikes) const override;
  // Reads the learned weights and thresholds of `layer` (a FullyConnected layer) from the
  // device's learning memory into its "weights" and "threshold" variables (through
  // Variables::set). Throws, leaving both variables unchanged: std::out_of_range when the
  // layer's mapping has no component; runtime_error "An actual hardware device is required."
  // without hardware behind the device; what learning_layout throws; and what
  // check_learning_memory_size throws for the device's learn_mem_size (checked before the
  // read). Exceptions of the device pass through.
  void sync_learning_vars(const LayerPtr& layer) const override;

 private:
  const Device& device_;
};

}  // namespace qalto::v1
