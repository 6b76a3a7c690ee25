#pragma once
// Device discovery: the drivers the engine reports become the process-wide list of devices,
// one HostDevice per usable driver, each with the mesh read from its chip.

#include <functional>
#include <memory>
#include <vector>

#include "qalto/device.hpp"
#include "qalto/model.hpp"
#include "qalto/tensor.hpp"

namespace qalto {

// A discovered chip: the engine's hardware device of one driver and the mesh read from it.
class HostDevice : public Device {
 public:
  // Discovers the mesh of `hardware` (Mesh::discover) and applies the version agreement rule.
  // Throws invalid_argument for a null device and for a version disagreement, and the
  // runtime errors of the discovery.
  explicit HostDevice(std::shared_ptr<HardwareDevice> hardware);

  HwVersion version() const override { return hardware_->version(); }
  const char* desc() const override { return hardware_->desc(); }
  const Mesh& mesh() const override { return *mesh_; }
  HardwareDevice* hardware() const override { return hardware_.get(); }

 private:
  std::shared_ptr<HardwareDevice> hardware_;
  std::unique_ptr<Mesh> mesh_;
};

using Devices = std::vector<std::shared_ptr<Device>>;

// Answers whether a device's input-convolution block timed out; see hrc_check_timeout.
using HrcProbe = std::function<bool(const std::shared_ptr<Device>&)>;

// The process-wide device list, built by populate_devices on the first call. When the build
// throws, nothing is kept, the error reaches the caller and the next call builds again.
Devices& get_devices();

// One HostDevice per driver of get_drivers() that could be served, in driver order. A runtime
// error while one driver is handled is written to standard output (one line) and that driver is
// skipped; any other error (the version disagreement's invalid_argument among them) ends the
// discovery. A device of version BC.00.000.002 is probed with `probe`; when it answers true, the
// device is made once more from its driver (and not probed again).
Devices populate_devices(const HrcProbe& probe);
Devices populate_devices();

// Whether running the one-layer input-convolution probe on `device` failed. Only the run is
// guarded: errors while the probe model is built, mapped or given inputs propagate.
bool hrc_check_timeout(const std::shared_ptr<Device>& device);

// The probe model (one InputConvolutional layer "inputconv" with all-one weights), unmapped.
std::unique_ptr<Model> build_hrc_probe_model();
// The probe model mapped on `device` (hardware only, default constraints).
std::unique_ptr<Model> create_hrc_probe_model(const std::shared_ptr<Device>& device);

// A (1, width, height, channels) uint8 tensor of ones for the model's input shape. Panics with
// "Cannot have a shape with dimension %zu set to 0" and
// "Tensor shape size %lu exceeds maximum shape size (%zu)"; runtime_error when the model's input
// shape does not have three dimensions.
std::shared_ptr<Dense> get_constant_inputs(const Model& model);

}  // namespace qalto
