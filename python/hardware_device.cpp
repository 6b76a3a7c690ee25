// Python class HardwareDevice: programming, learning memory, memory figures, SoC driver, metrics
// and the runs of a discovered chip.

#include "python/hardware_device.hpp"

#include <pybind11/stl.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "devices/host_device.hpp"
#include "devices/soc.hpp"
#include "python/convert.hpp"
#include "python/registry.hpp"

namespace qalto::python {

namespace {

constexpr size_t kWordBytes = sizeof(uint32_t);
constexpr const char* kLabelsError = "fit method expects integers as labels";

// numpy element type of an output tensor type; refused types throw "Unexpected output type.".
py::dtype output_dtype(TensorType type) {
  switch (type) {
    case TensorType::int32: return py::dtype::of<int32_t>();
    case TensorType::float32: return py::dtype::of<float>();
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2:
    case TensorType::bit: return py::dtype::of<uint8_t>();
    case TensorType::int8: return py::dtype::of<int8_t>();
    default: throw std::runtime_error("Unexpected output type.");
  }
}

// One label from a float: it must be a whole number that fits an int32.
int32_t label_from_float(double value) {
  const auto label = whole_label(value);
  if (!label) throw std::invalid_argument(kLabelsError);
  return *label;
}

bool is_integer_dtype(const py::dtype& dtype) {
  const py::dtype integers[] = {py::dtype::of<int8_t>(),  py::dtype::of<uint8_t>(),
                                py::dtype::of<int16_t>(), py::dtype::of<uint16_t>(),
                                py::dtype::of<int32_t>(), py::dtype::of<uint32_t>(),
                                py::dtype::of<int64_t>(), py::dtype::of<uint64_t>()};
  for (const auto& integer : integers)
    if (dtype.equal(integer)) return true;
  return false;
}

std::vector<int32_t> labels_from_array(const py::array& labels) {
  if (!is_integer_dtype(labels.dtype())) throw std::invalid_argument(kLabelsError);
  auto values = int32_labels(labels);
  if (!values) throw std::invalid_argument(kLabelsError);
  return std::move(*values);
}

std::vector<int32_t> labels_from_list(const py::list& labels) {
  std::vector<int32_t> values;
  try {
    for (auto item : labels) values.push_back(item.cast<int32_t>());
  } catch (const py::cast_error&) {
    throw std::invalid_argument(kLabelsError);
  } catch (const py::error_already_set&) {
    throw std::invalid_argument(kLabelsError);
  }
  return values;
}

using InputArray = py::array_t<uint8_t, py::array::forcecast>;

}  // namespace

// ---- PyHardwareDevice ----

PyHardwareDevice::PyHardwareDevice(std::shared_ptr<Device> device) : device_(std::move(device)) {
  if (!device_ || !device_->hardware()) {
    throw std::invalid_argument("A hardware device needs a device with hardware.");
  }
}

const std::vector<std::shared_ptr<PyHardwareDevice>>& PyHardwareDevice::devices() {
  // A throwing initialisation leaves the static unbuilt: the next call tries again.
  static const std::vector<std::shared_ptr<PyHardwareDevice>> wrappers = [] {
    std::vector<std::shared_ptr<PyHardwareDevice>> made;
    for (const auto& device : get_devices()) made.push_back(std::make_shared<PyHardwareDevice>(device));
    return made;
  }();
  return wrappers;
}

bool PyHardwareDevice::learn_enabled() const { return hw().learn_enabled(); }

void PyHardwareDevice::set_learn_enabled(bool enabled) {
  if (hw().learn_enabled() != enabled) hw().set_learn_enabled(enabled);
}

py::object PyHardwareDevice::program() const {
  const ProgramView current = hw().current_program();
  if (current.data == nullptr) return py::none();
  return py::bytes(reinterpret_cast<const char*>(current.data), current.size);
}

void PyHardwareDevice::record_program_clock() {
  metrics_->set("program_clk", static_cast<int64_t>(hw().program_clock()));
}

void PyHardwareDevice::set_program(const py::bytes& bytes) {
  const std::string_view view(bytes);
  // The old copy may be freed only once the device no longer holds it.
  hw().unprogram();
  program_.assign(view.begin(), view.end());
  if (!hw().program(program_.data(), program_.size())) {
    // A refused program must not look programmed: no clock is recorded for it.
    throw std::runtime_error("The device refused the program.");
  }
  record_program_clock();
}

void PyHardwareDevice::program_external(const py::bytes& info, uint32_t address) {
  const std::string_view view(info);
  hw().unprogram();
  program_.assign(view.begin(), view.end());
  hw().program_external(program_.data(), program_.size(), address);
  record_program_clock();
}

void PyHardwareDevice::unprogram() {
  hw().unprogram();
  program_.clear();
}

py::object PyHardwareDevice::learn_mem() const {
  const size_t words = hw().learn_mem_size();
  std::vector<uint32_t> buffer(words, 0);
  hw().read_learn_mem(buffer.data());
  if (words == 0) return py::none();
  return py::bytes(reinterpret_cast<const char*>(buffer.data()), words * kWordBytes);
}

void PyHardwareDevice::set_learn_mem(const py::bytes& bytes) {
  const std::string_view view(bytes);
  const size_t words = hw().learn_mem_size();
  if (view.size() / kWordBytes != words) throw std::runtime_error("Unexpected input buffer size.");
  // Copied into words: the bytes object need not be aligned for 32-bit reads.
  std::vector<uint32_t> buffer(words, 0);
  if (words != 0) std::memcpy(buffer.data(), view.data(), words * kWordBytes);
  hw().write_learn_mem(buffer.data());
}

std::pair<uint32_t, uint32_t> PyHardwareDevice::memory() const {
  const uint64_t value = hw().memory();
  return {static_cast<uint32_t>(value), static_cast<uint32_t>(value >> 32)};
}

void PyHardwareDevice::reset_top_memory() { hw().reset_top_memory(); }

SocDriver* PyHardwareDevice::soc() const { return dynamic_cast<SocDriver*>(hw().driver()); }

py::array PyHardwareDevice::run_inference(py::handle inputs, const std::vector<int32_t>& labels,
                                          RunMode mode) {
  auto dense = numpy_to_dense<uint8_t>(inputs, TensorType::uint8);
  const size_t rank = dense->dimensions().size();
  if (rank != 2 && rank != 4) {
    throw std::runtime_error("Input dimensions are not correct (Should be 4 or 2).");
  }
  const auto split = Dense::split(*dense);
  const HardwareDevice::Frames frames(split.begin(), split.end());
  HardwareDevice& device = hw();
  device.prepare_run(frames.size(), true);

  device.enable_clock_counter(true);
  const uint32_t clock_start = device.clock_counter();
  const int64_t time_start = time_ms();
  HardwareDevice::Outputs outputs;
  switch (mode) {
    case RunMode::forward: outputs = device.forward(frames); break;
    case RunMode::predict: outputs = device.predict(frames); break;
    case RunMode::fit: {
      const size_t inputs_count = dense->dimensions()[0];
      if (!labels.empty() && labels.size() != 1 && labels.size() != inputs_count) {
        throw std::runtime_error("Number of labels should be the same as number of inputs.");
      }
      outputs = device.fit(frames, labels);
      break;
    }
  }
  const int64_t time_end = time_ms();
  const uint32_t clock_end = device.clock_counter();
  device.enable_clock_counter(false);

  metrics_->set("inference_frames", static_cast<int64_t>(frames.size()));
  // Unsigned 32-bit subtraction: a counter that wrapped in between still gives the run's count.
  metrics_->set("inference_clk", static_cast<int64_t>(static_cast<uint32_t>(clock_end - clock_start)));
  metrics_->set("inference_start", time_start);
  metrics_->set("inference_end", time_end);
  if (auto* soc_driver = soc()) {
    if (auto meter = soc_driver->power_meter()) power_events_ = meter->events();
  }
  return stack_outputs(outputs);
}

py::array PyHardwareDevice::stack_outputs(const HardwareDevice::Outputs& outputs) const {
  if (outputs.empty()) return py::array_t<double>(std::vector<py::ssize_t>{0});
  for (const auto& output : outputs) {
    if (!output) throw std::runtime_error("The device returned no output.");
  }
  const Dense& first = *outputs.front();
  const Shape& dims = first.dimensions();
  if (dims.size() != 3) throw std::runtime_error("Unexpected output size.");
  // Panics "Cannot have a shape with dimension %zu set to 0" at the stacked position.
  const Shape stacked{static_cast<uint32_t>(outputs.size()), dims[0], dims[1], dims[2]};
  const py::dtype dtype = output_dtype(first.type());
  const size_t element = static_cast<size_t>(dtype.itemsize());
  const size_t frame_bytes = first.byte_size();
  // Every output must fill exactly its slot: no read past an output, no gap in the array.
  const uint64_t expected = uint64_t{dims[0]} * dims[1] * dims[2] * element;
  for (const auto& output : outputs) {
    if (output->type() != first.type() || output->byte_size() != frame_bytes ||
        frame_bytes != expected) {
      throw std::runtime_error("Unexpected output size.");
    }
  }
  std::vector<py::ssize_t> shape, strides;
  const auto element_strides = Dense::eval_strides(stacked, Dense::Layout::RowMajor);
  for (size_t i = 0; i < stacked.size(); ++i) {
    shape.push_back(static_cast<py::ssize_t>(stacked[i]));
    strides.push_back(static_cast<py::ssize_t>(uint64_t{element_strides[i]} * element));
  }
  py::array result(dtype, shape, strides);
  auto* target = static_cast<uint8_t*>(result.mutable_data());
  for (size_t i = 0; i < outputs.size(); ++i) {
    std::memcpy(target + i * frame_bytes, outputs[i]->raw(), frame_bytes);
  }
  return result;
}

// ---- registration ----

void register_hardware_device(py::module_& m) {
  // Docstrings are shown as written, without generated signatures.
  py::options options;
  options.disable_function_signatures();

  using Self = PyHardwareDevice;
  py::class_<Self, Device, std::shared_ptr<Self>>(m, "HardwareDevice")
      .def_property("learn_enabled", &Self::learn_enabled, &Self::set_learn_enabled,
                    "Enables or disables learning on the current program, if possible.")
      .def_property("program", &Self::program, &Self::set_program,
                    "The current program of the device (None when it has none); setting it "
                    "programs the device with serialised program bytes.")
      .def("program_external", &Self::program_external,
           "Programs the device with serialised program information bytes and the address, as "
           "the device sees it, of the program data written there beforehand.")
      .def("unprogram", &Self::unprogram,
           "Clears the current program from the device, restoring its initial state.")
      .def(
          "fit",
          [](Self& self, const InputArray& inputs, double input_labels) {
            const std::vector<int32_t> labels{label_from_float(input_labels)};
            return self.run_inference(inputs, labels, Self::RunMode::fit);
          },
          py::arg("inputs"), py::arg("input_labels"), "Learn from inputs on a programmed device.")
      .def(
          "fit",
          [](Self& self, const InputArray& inputs, const py::array& input_labels) {
            return self.run_inference(inputs, labels_from_array(input_labels), Self::RunMode::fit);
          },
          py::arg("inputs"), py::arg("input_labels"))
      .def(
          "fit",
          [](Self& self, const InputArray& inputs, const py::list& input_labels) {
            return self.run_inference(inputs, labels_from_list(input_labels), Self::RunMode::fit);
          },
          py::arg("inputs"), py::arg("input_labels") = py::list())
      .def(
          "forward",
          [](Self& self, const InputArray& inputs) {
            return self.run_inference(inputs, {}, Self::RunMode::forward);
          },
          "Processes inputs on a programmed device. The inputs must have the shape the current "
          "program expects; returns the outputs of the device.")
      .def(
          "predict",
          [](Self& self, const InputArray& inputs) {
            return self.run_inference(inputs, {}, Self::RunMode::predict);
          },
          "Processes inputs on a programmed device as forward does, returning float outputs.")
      .def_property_readonly("memory", &Self::memory,
                             "The device memory usage and top usage (in bytes)")
      .def("reset_top_memory", &Self::reset_top_memory, "Reset the device memory informations")
      .def_property_readonly("soc", &Self::soc, py::return_value_policy::reference_internal,
                             "The SocDriver interface used by the device, or None if the device "
                             "is not a SoC.")
      .def_property_readonly("metrics", &Self::metrics, "The metrics from this device")
      // By value: a list converted from the stored vector by reference would hold events that
      // point into it, and the next run replaces that storage.
      .def_property_readonly(
          "inference_power_events",
          [](const Self& self) { return std::vector<PowerMeter::PowerEvent>(self.power_events()); },
          "Copy of power events logged after inference")
      .def_property("learn_mem", &Self::learn_mem, &Self::set_learn_mem,
                    "The learning layer's memory as bytes (None when it has none); setting it "
                    "updates the device from a serialised learning-layer memory buffer.")
      .def("__eq__", [](const Self& self, const Device& other) {
        return static_cast<const Device*>(&self) == &other;
      })
      .def_static("devices", &Self::devices,
                  "Returns the full list of available hardware devices.");
}

}  // namespace qalto::python
