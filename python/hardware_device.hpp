#pragma once
// PyHardwareDevice, behind the Python class HardwareDevice: one discovered chip, programmed and
// run straight from Python without a model.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "devices/power_meter.hpp"
#include "python/metrics.hpp"
#include "qalto/device.hpp"

namespace qalto::python {

namespace py = pybind11;

class PyHardwareDevice : public Device {
 public:
  enum class RunMode { fit = 0, forward = 1, predict = 2 };

  // `device` must have hardware (a discovered device); invalid_argument otherwise.
  explicit PyHardwareDevice(std::shared_ptr<Device> device);

  HwVersion version() const override { return device_->version(); }
  const char* desc() const override { return device_->desc(); }
  const Mesh& mesh() const override { return device_->mesh(); }
  HardwareDevice* hardware() const override { return device_->hardware(); }

  // One wrapper per discovered device, made on the first call. When discovery throws, nothing
  // is kept, the error propagates and the next call tries again.
  static const std::vector<std::shared_ptr<PyHardwareDevice>>& devices();

  bool learn_enabled() const;
  // Calls the engine only when the value changes.
  void set_learn_enabled(bool enabled);
  // The engine's current program as bytes, None when it has none.
  py::object program() const;
  // Unprograms, keeps a copy of `bytes` (valid while the device holds it), programs it and
  // records "program_clk".
  void set_program(const py::bytes& bytes);
  void program_external(const py::bytes& info, uint32_t address);
  void unprogram();
  // The learning memory as bytes in host order, None when it has no words.
  py::object learn_mem() const;
  // runtime_error "Unexpected input buffer size." when the length / 4 differs from the word
  // count; nothing is written then.
  void set_learn_mem(const py::bytes& bytes);
  // (bytes in use, top use).
  std::pair<uint32_t, uint32_t> memory() const;
  void reset_top_memory();
  // The device's driver as a SocDriver, null when it is not one.
  SocDriver* soc() const;
  const std::shared_ptr<PyMetrics>& metrics() const { return metrics_; }
  const std::vector<PowerMeter::PowerEvent>& power_events() const { return power_events_; }

  // Runs the program on the device over uint8 inputs of 2 or 4 dimensions, one frame per index
  // of the first, and stacks the outputs into one array (an empty float64 array without
  // outputs). Records the inference metrics and, when a power meter exists, its events.
  // Throws runtime_error "Input dimensions are not correct (Should be 4 or 2).",
  // "Number of labels should be the same as number of inputs.", "Unexpected output type.",
  // "Unexpected output size." (outputs of differing sizes), the conversion errors and the
  // engine's errors.
  py::array run_inference(py::handle inputs, const std::vector<int32_t>& labels, RunMode mode);

 private:
  HardwareDevice& hw() const { return *device_->hardware(); }
  void record_program_clock();
  py::array stack_outputs(const HardwareDevice::Outputs& outputs) const;

  std::shared_ptr<Device> device_;
  std::vector<uint8_t> program_;
  std::shared_ptr<PyMetrics> metrics_ = std::make_shared<PyMetrics>();
  std::vector<PowerMeter::PowerEvent> power_events_;
};

}  // namespace qalto::python
