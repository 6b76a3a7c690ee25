#include "devices/host_device.hpp"

#include <cstdio>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>

#include "qalto/layer.hpp"
#include "qalto/panic.hpp"

namespace qalto {

namespace {

// The only chip revision whose input-convolution block can time out.
constexpr HwVersion kProbedVersion = HwVersion::Vrox_v2;

constexpr uint64_t kMaxShapeElements = std::numeric_limits<uint32_t>::max();
constexpr uint32_t kProbeWeightDims[] = {3, 3, 1, 1};
constexpr size_t kProbeWeightCount = 9;

const std::map<std::string, int32_t>& probe_parameters() {
  static const std::map<std::string, int32_t> parameters = {
      {"input_width", 8},      {"input_height", 8},     {"input_channels", 1},
      {"kernel_width", 3},     {"kernel_height", 3},    {"padding", 1},
      {"stride_x", 2},         {"stride_y", 2},         {"filters", 1},
      {"weights_bits", 1},     {"padding_value", 0},    {"activation", 1},
      {"act_bits", 1},         {"pooling_width", 2},    {"pooling_height", 2},
      {"pool_type", 1},        {"pooling_stride_x", 2}, {"pooling_stride_y", 2},
  };
  return parameters;
}

std::shared_ptr<Device> make_host_device(HardwareDriver* driver) {
  return std::make_shared<HostDevice>(HardwareDevice::create(driver));
}

// The device of one driver, probed and made again when its HRC timed out.
std::shared_ptr<Device> serve_driver(HardwareDriver* driver, const HrcProbe& probe) {
  auto device = make_host_device(driver);
  if (device->version() == kProbedVersion && probe(device)) {
    // The replacement is made while the first device still exists; only then is it released.
    auto replacement = make_host_device(driver);
    device = std::move(replacement);
  }
  return device;
}

}  // namespace

HostDevice::HostDevice(std::shared_ptr<HardwareDevice> hardware) : hardware_(std::move(hardware)) {
  if (!hardware_) throw std::invalid_argument("A host device needs a hardware device.");
  mesh_ = Mesh::discover(*hardware_);
  check_version_agreement(hardware_->version(), *mesh_);
}

Devices& get_devices() {
  // A throwing initialisation leaves the static uninitialised, so the next call tries again.
  static Devices devices = populate_devices();
  return devices;
}

Devices populate_devices() { return populate_devices(hrc_check_timeout); }

Devices populate_devices(const HrcProbe& probe) {
  Devices devices;
  for (HardwareDriver* driver : get_drivers()) {
    try {
      devices.push_back(serve_driver(driver, probe));
    } catch (const std::runtime_error& error) {
      std::printf("%s\n", error.what());
      std::fflush(stdout);
    }
  }
  return devices;
}

bool hrc_check_timeout(const std::shared_ptr<Device>& device) {
  auto model = create_hrc_probe_model(device);
  auto inputs = get_constant_inputs(*model);
  try {
    model->forward(inputs, 0);
  } catch (const std::exception&) {
    return true;
  }
  return false;
}

std::unique_ptr<Model> build_hrc_probe_model() {
  auto model = Model::create();
  auto params = LayerParams::create(LayerType::InputConvolutional, probe_parameters());
  auto layer = Layer::create(*params, "inputconv");
  model->add(layer, {});
  const std::vector<uint8_t> ones(kProbeWeightCount, 1);
  layer->variables().set("weights", Dense::copy(ones.data(), ones.size(), TensorType::int8,
                                                Shape(kProbeWeightDims, 4),
                                                Dense::Layout::RowMajor));
  return model;
}

std::unique_ptr<Model> create_hrc_probe_model(const std::shared_ptr<Device>& device) {
  auto model = build_hrc_probe_model();
  model->map(device, true, nullptr);
  return model;
}

std::shared_ptr<Dense> get_constant_inputs(const Model& model) {
  const std::vector<uint32_t> input = model.input_shape();
  if (input.size() != 3) {
    throw std::runtime_error("The probe model's input shape does not have three dimensions.");
  }
  const Shape shape{1, input[0], input[1], input[2]};  // panics on a zero dimension
  // Three 32-bit factors can exceed 64 bits: the product is formed in 128.
  const unsigned __int128 product =
      static_cast<unsigned __int128>(uint64_t{input[0]} * input[1]) * input[2];
  if (product > kMaxShapeElements) {
    const uint64_t shown = product > std::numeric_limits<uint64_t>::max()
                               ? std::numeric_limits<uint64_t>::max()
                               : static_cast<uint64_t>(product);
    panic("Tensor shape size %lu exceeds maximum shape size (%zu)",
          static_cast<unsigned long>(shown), static_cast<size_t>(kMaxShapeElements));
  }
  const auto elements = static_cast<uint64_t>(product);
  const std::vector<uint8_t> ones(static_cast<size_t>(elements), 1);
  return Dense::copy(ones.data(), ones.size(), TensorType::uint8, shape, Dense::Layout::RowMajor);
}

}  // namespace qalto
