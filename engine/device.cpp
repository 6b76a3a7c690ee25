#include "qalto/device.hpp"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

namespace qalto {

void check_version_agreement(const HwVersion& version, const Mesh& mesh) {
  if (version.get_ip_version() == mesh.version) return;
  throw std::invalid_argument("Incompatible hardware and Ip versions: HW Version is " +
                              version.to_string() + " with product id = " +
                              std::to_string(version.product_id) + " while IP version is " +
                              ip_version_name(mesh.version) + ".");
}

VirtualDevice::VirtualDevice(const HwVersion& version, const Mesh& mesh)
    : version_(version), mesh_(mesh), desc_("VirtualDevice/" + version.to_display_string()) {
  // Every concrete device obeys the rule on construction, so a direct construction cannot
  // bypass it either.
  check_version_agreement(version_, mesh_);
}

std::shared_ptr<Device> make_virtual_device(const HwVersion& version, const Mesh& mesh) {
  return std::make_shared<VirtualDevice>(version, mesh);
}

namespace {

struct RegisteredDriver {
  HardwareDriver* driver;
  HardwareDeviceFactory factory;
};

// The process-wide driver registry. The drivers are not owned: whoever registers one keeps it
// alive until it is removed.
struct DriverRegistry {
  std::mutex mutex;
  std::vector<RegisteredDriver> entries;

  static DriverRegistry& instance() {
    static DriverRegistry registry;
    return registry;
  }
};

}  // namespace

std::vector<HardwareDriver*> get_drivers() {
  auto& registry = DriverRegistry::instance();
  std::lock_guard lock(registry.mutex);
  std::vector<HardwareDriver*> drivers;
  drivers.reserve(registry.entries.size());
  for (const auto& entry : registry.entries) drivers.push_back(entry.driver);
  return drivers;
}

void register_driver(HardwareDriver* driver, HardwareDeviceFactory factory) {
  if (!driver) throw std::invalid_argument("Cannot register a null hardware driver.");
  if (!factory) throw std::invalid_argument("Cannot register a hardware driver without factory.");
  auto& registry = DriverRegistry::instance();
  std::lock_guard lock(registry.mutex);
  auto found = std::find_if(registry.entries.begin(), registry.entries.end(),
                            [driver](const RegisteredDriver& e) { return e.driver == driver; });
  if (found != registry.entries.end()) {
    found->factory = std::move(factory);
  } else {
    registry.entries.push_back({driver, std::move(factory)});
  }
}

void clear_drivers() {
  auto& registry = DriverRegistry::instance();
  std::lock_guard lock(registry.mutex);
  registry.entries.clear();
}

std::shared_ptr<HardwareDevice> HardwareDevice::create(HardwareDriver* driver) {
  HardwareDeviceFactory factory;
  {
    auto& registry = DriverRegistry::instance();
    std::lock_guard lock(registry.mutex);
    auto found = std::find_if(registry.entries.begin(), registry.entries.end(),
                              [driver](const RegisteredDriver& e) { return e.driver == driver; });
    if (driver && found != registry.entries.end()) factory = found->factory;
  }
  // The factory runs outside the lock: a simulated board may consult the registry itself.
  if (!factory) throw std::runtime_error("No hardware device is available for this driver.");
  auto device = factory(driver);
  if (!device) throw std::runtime_error("The hardware driver did not create a device.");
  return device;
}

}  // namespace qalto
