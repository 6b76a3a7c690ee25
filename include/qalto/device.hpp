#pragma once
// Devices as the engine, the mapping and Python see them, and the hardware-device interface of
// the engine's drivers. No chip exists on the build machines: the driver registry is empty in a
// normal run, and tests may install simulated boards in it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qalto/hw.hpp"
#include "qalto/soc.hpp"
#include "qalto/tensor.hpp"

namespace qalto {

class HardwareDevice;

// A chip: version, description, mesh and, when there is one, the hardware behind it.
class Device {
 public:
  virtual ~Device() = default;
  virtual HwVersion version() const = 0;
  virtual const char* desc() const = 0;
  virtual const Mesh& mesh() const = 0;
  // The hardware behind the device, not owned; null for a virtual device.
  virtual HardwareDevice* hardware() const = 0;

  IpVersion get_ip_version() const { return version().get_ip_version(); }
};

// Throws invalid_argument "Incompatible hardware and Ip versions: HW Version is ..." when the
// IP version of `version` differs from the mesh's.
void check_version_agreement(const HwVersion& version, const Mesh& mesh);

// A chip described without hardware: serves mapping and program generation only.
class VirtualDevice : public Device {
 public:
  VirtualDevice(const HwVersion& version, const Mesh& mesh);
  HwVersion version() const override { return version_; }
  const char* desc() const override { return desc_.c_str(); }
  const Mesh& mesh() const override { return mesh_; }
  HardwareDevice* hardware() const override { return nullptr; }

 private:
  HwVersion version_;
  Mesh mesh_;
  std::string desc_;
};

// A shared VirtualDevice with a copy of `mesh`; the version agreement rule applies.
std::shared_ptr<Device> make_virtual_device(const HwVersion& version, const Mesh& mesh);

// Register access of a chip's driver.
class HardwareDriver {
 public:
  virtual ~HardwareDriver() = default;
  // Moves `bytes` bytes of register words at a bus address (callers move 4 bytes).
  virtual void read(uint32_t address, void* destination, size_t bytes) = 0;
  virtual void write(uint32_t address, const void* source, size_t bytes) = 0;
  // Bus address of the top-level registers.
  virtual uint32_t register_base() const = 0;
};

class PowerMeter;

// The driver of a chip inside a system-on-chip: clock modes and power measurement. Callers reach
// it from a HardwareDriver by dynamic_cast.
class SocDriver : public HardwareDriver {
 public:
  virtual soc::ClockMode clock_mode() = 0;
  // Returns when the new mode is applied.
  virtual void set_clock_mode(soc::ClockMode mode) = 0;
  virtual void set_power_measurement_enabled(bool enabled) = 0;
  // The meter the samples go to; null while power measurement is off.
  virtual std::shared_ptr<PowerMeter> power_meter() const = 0;
};

// Bytes of a loaded program; null data when none.
struct ProgramView {
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// One chip behind a driver.
class HardwareDevice {
 public:
  virtual ~HardwareDevice() = default;
  virtual HwVersion version() const = 0;
  virtual const char* desc() const = 0;
  virtual void enable_clock_counter(bool enable) = 0;
  virtual uint32_t clock_counter() const = 0;
  virtual uint32_t program_clock() const = 0;
  // Low 32 bits: bytes in use; high 32 bits: the top use.
  virtual uint64_t memory() const = 0;
  virtual void reset_top_memory() = 0;
  // Loads serialised program bytes; they stay valid until the next (un)programming. Returns
  // false when the device refuses them.
  virtual bool program(const uint8_t* data, size_t size) = 0;
  virtual void program_external(const uint8_t* data, size_t size, uint32_t address) = 0;
  virtual ProgramView current_program() const = 0;
  // One 32-bit description word per component identifier.
  virtual void read_np_info(uint32_t* words, const hw::Ident* idents, size_t count) = 0;
  virtual void prepare_run(size_t frame_count, bool flag) = 0;
  virtual void set_learn_enabled(bool enabled) = 0;
  virtual bool learn_enabled() const = 0;
  virtual size_t learn_mem_size() const = 0;
  virtual void read_learn_mem(uint32_t* words) = 0;
  virtual void write_learn_mem(const uint32_t* words) = 0;
  virtual void unprogram() = 0;
  using Frames = std::vector<std::shared_ptr<const Dense>>;
  using Outputs = std::vector<std::unique_ptr<Dense>>;
  // Labels: none, one, or one per frame.
  virtual Outputs fit(const Frames& frames, const std::vector<int32_t>& labels) = 0;
  virtual Outputs forward(const Frames& frames) = 0;
  virtual Outputs predict(const Frames& frames) = 0;
  // The device's driver, not owned; null when none.
  virtual HardwareDriver* driver() const = 0;

  // A device for a driver; runtime_error for a driver it cannot serve.
  static std::shared_ptr<HardwareDevice> create(HardwareDriver* driver);
};

// The host's drivers (empty here unless a test installs simulated boards), in registration
// order.
std::vector<HardwareDriver*> get_drivers();

// Makes the hardware device behind a registered driver.
using HardwareDeviceFactory = std::function<std::shared_ptr<HardwareDevice>(HardwareDriver*)>;

// Adds `driver` (not owned; it must outlive its registration) to the process-wide registry, with
// the factory that HardwareDevice::create uses for it. Registering a driver again replaces its
// factory and keeps its place. Throws invalid_argument for a null driver or an empty factory.
void register_driver(HardwareDriver* driver, HardwareDeviceFactory factory);
// Empties the registry (tests install and remove simulated boards with these two).
void clear_drivers();

}  // namespace qalto
