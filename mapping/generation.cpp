#include "mapping/generation.hpp"

#include <stdexcept>

#include "mivo/compatibility_checker.hpp"
#include "mivo/io_recorder.hpp"
#include "mivo/layer_recorder.hpp"
#include "mivo/memory_sizer.hpp"
#include "v1/compatibility_checker.hpp"
#include "v1/io_recorder.hpp"
#include "v1/layer_recorder.hpp"
#include "v1/memory_sizer.hpp"
#include "v2/compatibility_checker.hpp"
#include "v2/io_recorder.hpp"
#include "v2/layer_recorder.hpp"
#include "v2/memory_sizer.hpp"

namespace qalto {

MemoryInfo MemorySizer::get_memory_info(const LayerPtr& layer, const hw::Component& component,
                                        const LayerPtr& first_layer, bool dual_output_store,
                                        bool multi_pass) const {
  MemoryInfo info;
  info.input_size = get_input_memory_size(layer, component, first_layer);
  info.weight_size = get_weight_memory_size(layer, component);
  info.external_size = get_external_memory_size(layer, component, dual_output_store, multi_pass);
  info.stsram_32b_size = get_stsram_32b_memory_size(layer);
  info.fsram_64b_size = get_fsram_64b_memory_size(layer);
  info.tsram_51b_size = get_tsram_51b_memory_size(layer);
  info.evsram_32b_size = get_evsram_32b_memory_size(layer);
  return info;
}

namespace {

// Creates the four objects of one generation, in the order the mapping relies on. They keep
// references to `device` and to the backend's own constraints record.
template <typename Checker, typename Sizer, typename Io, typename Recorder>
void create_generation(IpVersionSpecificHardwareBackend& backend, const Device& device) {
  backend.checker = std::make_unique<Checker>(device, backend.constraints);
  backend.memory_sizer = std::make_unique<Sizer>();
  backend.io_recorder = std::make_unique<Io>(device);
  backend.layer_recorder = std::make_unique<Recorder>(device, backend.constraints);
}

}  // namespace

IpVersionSpecificHardwareBackend::IpVersionSpecificHardwareBackend(const Device& device) {
  // The one place where the generation is chosen, by the product id of the hardware version.
  const IpVersion version = device.version().get_ip_version();
  if (version == IpVersion::none) {
    throw std::runtime_error("Unsupported IP version in IpVersionSpecificHardwareBackend.");
  }
  constraints = make_hardware_constraints(version, device.mesh());
  switch (version) {
    case IpVersion::v1:
      create_generation<v1::CompatibilityCheckerImpl, v1::MemorySizerImpl, v1::IoRecorderImpl,
                        v1::LayerRecorderImpl>(*this, device);
      break;
    case IpVersion::v2:
      create_generation<v2::CompatibilityCheckerImpl, v2::MemorySizerImpl, v2::IoRecorderImpl,
                        v2::LayerRecorderImpl>(*this, device);
      break;
    case IpVersion::mivo:
      create_generation<mivo::CompatibilityCheckerImpl, mivo::MemorySizerImpl,
                        mivo::IoRecorderImpl, mivo::LayerRecorderImpl>(*this, device);
      break;
    case IpVersion::none:
      break;
  }
}

// The members go in reverse order of declaration: layer recorder, I/O recorder, memory sizer,
// checker, so that nothing outlives the constraints it refers to.
IpVersionSpecificHardwareBackend::~IpVersionSpecificHardwareBackend() = default;

}  // namespace qalto
