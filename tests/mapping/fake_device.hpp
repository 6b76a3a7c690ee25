#pragma once
// A device without hardware for mapping tests: a hardware version and a mesh, nothing else.

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "qalto/device.hpp"
#include "qalto/layer.hpp"

namespace qalto::testing {

class FakeDevice : public Device {
 public:
  FakeDevice(HwVersion version, Mesh mesh) : version_(version), mesh_(std::move(mesh)) {}
  HwVersion version() const override { return version_; }
  const char* desc() const override { return "fake"; }
  const Mesh& mesh() const override { return mesh_; }
  HardwareDevice* hardware() const override { return nullptr; }
  Mesh& mutable_mesh() { return mesh_; }

 private:
  HwVersion version_;
  Mesh mesh_;
};

inline Mesh empty_mesh(IpVersion version) {
  return Mesh(version, hw::Ident{}, hw::Ident{}, std::nullopt, {}, {});
}

// A device of `product_id` (vendor 0xBC) whose mesh is of the generation that product id
// stands for, or v2 when it stands for none.
inline std::shared_ptr<FakeDevice> make_device(uint8_t product_id, uint8_t major = 0,
                                               uint8_t minor = 0, uint8_t vendor = 0xBC) {
  const HwVersion version{vendor, product_id, major, minor};
  IpVersion ip = version.get_ip_version();
  if (ip == IpVersion::none) ip = IpVersion::v2;
  return std::make_shared<FakeDevice>(version, empty_mesh(ip));
}

// A small InputData layer, for operations that only need some layer.
inline std::shared_ptr<Layer> make_input_layer(const std::string& name) {
  return Layer::create(
      LayerParams(LayerType::InputData,
                  {{"input_width", 4}, {"input_height", 4}, {"input_channels", 1}}),
      name);
}

}  // namespace qalto::testing
