#include "program/hardware_sequence.hpp"

#include <cstring>
#include <stdexcept>

#include "mapping/graph.hpp"
#include "mapping/layer_mapping.hpp"
#include "v1/layer_recorder.hpp"
#include "v2/layer_recorder.hpp"

namespace qalto {

namespace {

enum class LearningGeneration { v1, v2, unsupported };

LearningGeneration learning_generation(const Device& device) {
  switch (device.version().product_id) {
    case 0x00:
    case 0xA1: return LearningGeneration::v1;
    case 0xA2:
    case 0xB1: return LearningGeneration::v2;
    default: return LearningGeneration::unsupported;
  }
}

}  // namespace

HardwareSequence::HardwareSequence(std::shared_ptr<Device> device,
                                   const HardwareConstraints& constraints,
                                   const std::vector<std::shared_ptr<Layer>>& layers,
                                   const std::vector<std::shared_ptr<Sequence::Pass>>& passes,
                                   std::vector<uint8_t> program)
    : device_(std::move(device)),
      constraints_(constraints),
      layers_(layers),
      passes_(passes),
      program_(std::move(program)) {}

ByteView HardwareSequence::program() const {
  return {program_.empty() ? nullptr : program_.data(), program_.size()};
}

Sequence::ProgramParts HardwareSequence::program_parts() const {
  return split_program(program());
}

std::string HardwareSequence::name() const {
  std::string text = "HW/" + layers_.front()->get_name();
  if (layers_.size() > 1) text += "-" + layers_.back()->get_name();
  return text;
}

void HardwareSequence::program_device_if_needed(HardwareDevice& hw) const {
  const ProgramView current = hw.current_program();
  const bool same = current.data != nullptr && current.size == program_.size() &&
                    std::memcmp(current.data, program_.data(), program_.size()) == 0;
  if (same) return;
  if (!hw.program(program_.data(), program_.size())) {
    throw std::runtime_error("The device refused the program of sequence " + name() + ".");
  }
}

std::vector<std::shared_ptr<Dense>> HardwareSequence::forward_samples(
    const Tensors& inputs, const std::vector<int32_t>* labels) {
  HardwareDevice* hw = device_->hardware();
  if (!hw) throw std::runtime_error("An actual hardware device is required.");
  const bool learning = labels != nullptr;
  // Refused before the device runs: a fit whose results cannot be read back is lost work.
  if (learning) check_learning_can_sync();
  program_device_if_needed(*hw);
  hw->prepare_run(inputs.size(), true);
  if (hw->learn_enabled() != learning) hw->set_learn_enabled(learning);

  HardwareDevice::Outputs outputs;
  if (learning) {
    outputs = hw->fit(inputs, *labels);
    sync_learning_vars();
  } else if (layers_.back()->type() == LayerType::Dequantizer) {
    outputs = hw->predict(inputs);
  } else {
    outputs = hw->forward(inputs);
  }
  std::vector<std::shared_ptr<Dense>> results;
  results.reserve(outputs.size());
  for (auto& output : outputs) results.push_back(std::move(output));
  return results;
}

std::shared_ptr<Layer> HardwareSequence::learning_layer() const {
  const auto& last_pass = passes_.back();
  auto layer = last_mappable_layer(last_pass->layers);
  if (!layer) throw std::runtime_error("The last pass has no hardware layer to learn.");
  return layer;
}

void HardwareSequence::check_learning_can_sync() const {
  auto layer = learning_layer();
  auto mapping = layer_mapping_of(*layer);
  if (!mapping || mapping->nps().size() != 1) {
    throw std::runtime_error("Learning is not supported for layers mapped on more than 1 NP.");
  }
  switch (learning_generation(*device_)) {
    case LearningGeneration::v1: return;
    case LearningGeneration::v2: throw std::runtime_error("Learning not implemented on v2.");
    case LearningGeneration::unsupported:
      throw std::runtime_error("Unsupported IP version in sync_learning_vars.");
  }
}

void HardwareSequence::sync_learning_vars() const {
  auto layer = learning_layer();
  auto mapping = layer_mapping_of(*layer);
  if (!mapping || mapping->nps().size() != 1) {
    throw std::runtime_error("Learning is not supported for layers mapped on more than 1 NP.");
  }
  switch (learning_generation(*device_)) {
    case LearningGeneration::v1:
      v1::LayerRecorderImpl(*device_, constraints_).sync_learning_vars(layer);
      return;
    case LearningGeneration::v2:
      v2::LayerRecorderImpl(*device_, constraints_).sync_learning_vars(layer);
      return;
    case LearningGeneration::unsupported:
      throw std::runtime_error("Unsupported IP version in sync_learning_vars.");
  }
}

}  // namespace qalto
