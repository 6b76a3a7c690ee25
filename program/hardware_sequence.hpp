#pragma once
// What mapping a group of layers on a device produces: the layers, their hardware passes and
// the serialised program, with the device they were mapped for. Runs on the device through
// forward_samples.

#include <memory>
#include <string>
#include <vector>

#include "mapping/hardware_constraints.hpp"
#include "qalto/device.hpp"
#include "qalto/sequence.hpp"

namespace qalto {

class HardwareSequence : public ForwardableSequence {
 public:
  // Copies all five; `layers` and `passes` are never empty.
  HardwareSequence(std::shared_ptr<Device> device, const HardwareConstraints& constraints,
                   const std::vector<std::shared_ptr<Layer>>& layers,
                   const std::vector<std::shared_ptr<Sequence::Pass>>& passes,
                   std::vector<uint8_t> program);

  const std::vector<std::shared_ptr<Pass>>& passes() const override { return passes_; }
  BackendType backend() const override { return BackendType::Hardware; }
  ByteView program() const override;
  // Program information: the first N + 4 bytes, N the little-endian word at the start; program
  // data: the rest. runtime_error "Program is shorter than its size prefix." when the program
  // is shorter than its prefix says.
  ProgramParts program_parts() const override;
  // "HW/<first layer>" and, with more than one layer, "-<last layer>".
  std::string name() const override;

  // Programs the device when it does not hold this program already, switches learning to
  // whether labels are given, then runs fit (and reads the learned variables back), predict
  // (last layer a Dequantizer) or forward. Throws runtime_error
  // "An actual hardware device is required." without hardware, and refuses learning that
  // cannot be read back before the device runs.
  std::vector<std::shared_ptr<Dense>> forward_samples(const Tensors& inputs,
                                                      const std::vector<int32_t>* labels) override;

  // Reads the learned values of the learning layer back from the device.
  void sync_learning_vars() const;

  const std::shared_ptr<Device>& device() const { return device_; }
  const std::vector<std::shared_ptr<Layer>>& layers() const { return layers_; }

 private:
  std::shared_ptr<Layer> learning_layer() const;
  void check_learning_can_sync() const;
  void program_device_if_needed(HardwareDevice& hw) const;

  std::shared_ptr<Device> device_;
  HardwareConstraints constraints_;
  std::vector<std::shared_ptr<Layer>> layers_;
  std::vector<std::shared_ptr<Pass>> passes_;
  std::vector<uint8_t> program_;
};

}  // namespace qalto
