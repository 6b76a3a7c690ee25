#pragma once
// Turns the mapped groups of one mapping call into hardware passes, drives the serialiser
// through every pass and layer, enforces the descriptor limit and makes the HardwareSequence
// that owns the program bytes. Lives for one mapping call.

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "mapping/generation.hpp"
#include "program/hardware_pass.hpp"
#include "qalto/device.hpp"
#include "qalto/mapping_status.hpp"
#include "qalto/sequence.hpp"

namespace qalto {

// DMA descriptors a program may use.
inline constexpr size_t kMaxDescriptors = 254;

class HardwareSequenceBuilder {
 public:
  HardwareSequenceBuilder(std::shared_ptr<Device> device, const HardwareConstraints& constraints,
                          const IoRecorder& io_recorder, const LayerRecorder& layer_recorder);

  // Makes one pass of `layers` (one component list per layer). A trailing joining layer is held
  // back for the next pass; a layer held back before opens this one. A group left empty by the
  // hold-back makes no pass. Throws invalid_argument when the two lists differ in length, and
  // what the pass constructor throws (the builder then unchanged).
  void add_layers(std::vector<std::shared_ptr<Layer>> layers,
                  const std::vector<std::shared_ptr<Layer>>& sequence_layers,
                  std::vector<std::vector<hw::Component>> components);

  std::shared_ptr<HardwarePass> hardware_pass(size_t i) const;
  std::shared_ptr<HardwarePass> first_pass() const { return hardware_pass(0); }
  std::shared_ptr<HardwarePass> last_pass() const;
  // Empties layers, passes and program; a held-back layer stays.
  void clear();

  // Failed "Model is too big. ..." (and the builder cleared) when a x b > 254.
  MappingStatus check_num_descriptors(const std::shared_ptr<Layer>& layer, size_t a, size_t b);

  // Records and serialises every pass (at least one must have been made: logic_error
  // otherwise). Returns the sequence and success, or no sequence and the failed descriptor
  // status (the builder then cleared). Recorder failures are thrown by the serialiser; layers
  // compiled for learning get the learning program.
  std::pair<std::shared_ptr<Sequence>, MappingStatus> build_sequence();

  // The layer held back for the next pass, if any.
  std::shared_ptr<Layer> held_back_layer() const { return held_back_ ? held_back_->layer : nullptr; }

 private:
  struct HeldBack {
    std::shared_ptr<Layer> layer;
    std::vector<hw::Component> components;
  };

  void set_input_buffer_flags();

  std::shared_ptr<Device> device_;
  const HardwareConstraints& constraints_;
  const IoRecorder& io_recorder_;
  const LayerRecorder& layer_recorder_;
  std::vector<std::shared_ptr<Layer>> layers_;
  std::vector<std::shared_ptr<Sequence::Pass>> passes_;
  std::vector<uint8_t> program_;
  std::optional<HeldBack> held_back_;
};

}  // namespace qalto
