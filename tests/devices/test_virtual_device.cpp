// Virtual devices, the version agreement rule, the hardware-version text forms and the driver
// registry.

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "qalto/device.hpp"
#include "qalto/hw.hpp"

namespace qalto {
namespace {

Mesh mesh_of(IpVersion version) {
  std::vector<np::Info> nps{{hw::Ident{1, 1, 0, 0}, {hw::Type::CNP1, hw::Type::CNP2}, true},
                            {hw::Ident{2, 1, 0, 0}, {hw::Type::FNP3}, false}};
  std::vector<np::Info> skips{{hw::Ident{3, 1, 0, 2}, {hw::Type::SKIP_DMA_STORE}, false}};
  return Mesh(version, hw::Ident{1, 0, 0, 0}, hw::Ident{1, 0, 1, 0},
              np::Info{hw::Ident{}, {hw::Type::HRC}, false}, nps, skips);
}

std::string message_of(const HwVersion& version, const Mesh& mesh) {
  try {
    check_version_agreement(version, mesh);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

TEST(HwVersionText, DisplayFormPadsAndUsesUpperCaseHex) {
  EXPECT_EQ(HwVersion::QTX7700_v1.to_display_string(), "BC.A1.003.009");
  EXPECT_EQ((HwVersion{0, 0, 0, 0}.to_display_string()), "00.00.000.000");
  EXPECT_EQ((HwVersion{255, 255, 255, 255}.to_display_string()), "FF.FF.255.255");
  EXPECT_EQ((HwVersion{0x0a, 0x1b, 10, 100}.to_display_string()), "0A.1B.010.100");
  EXPECT_EQ(HwVersion::Vrox_v2.to_string(), "188.0.0.2");
  EXPECT_EQ(HwVersion::FPGA_v2.to_string(), "188.162.1.0");
}

TEST(HwVersionText, NamedVersionsAndTheirGenerations) {
  EXPECT_EQ(HwVersion::Vrox_v1, (HwVersion{0xBC, 0x00, 0, 1}));
  EXPECT_EQ(HwVersion::Tavik_v1, (HwVersion{0xBC, 0xA1, 3, 6}));
  EXPECT_EQ(HwVersion::Mivo_FPGA.get_ip_version(), IpVersion::mivo);
  EXPECT_EQ(HwVersion::Vrox_v2.get_ip_version(), IpVersion::v1);
  EXPECT_EQ(HwVersion::FPGA_v2.get_ip_version(), IpVersion::v2);
  static_assert(HwVersion::QTX7700_v1.minor_rev == 9, "usable in constant expressions");
}

TEST(VersionAgreement, MatchingVersionsPass) {
  EXPECT_NO_THROW(check_version_agreement(HwVersion::QTX7700_v1, mesh_of(IpVersion::v1)));
  EXPECT_NO_THROW(check_version_agreement(HwVersion::Vrox_v1, mesh_of(IpVersion::v1)));
  EXPECT_NO_THROW(check_version_agreement(HwVersion::FPGA_v2, mesh_of(IpVersion::v2)));
  EXPECT_NO_THROW(check_version_agreement(HwVersion::Mivo_FPGA, mesh_of(IpVersion::mivo)));
}

TEST(VersionAgreement, MismatchNamesVersionProductIdAndMeshVersion) {
  EXPECT_EQ(message_of(HwVersion::FPGA_v2, mesh_of(IpVersion::v1)),
            "Incompatible hardware and Ip versions: HW Version is 188.162.1.0 with product id = "
            "162 while IP version is v1.");
  EXPECT_EQ(message_of(HwVersion{1, 0x05, 2, 3}, mesh_of(IpVersion::mivo)),
            "Incompatible hardware and Ip versions: HW Version is 1.5.2.3 with product id = 5 "
            "while IP version is mivo.");
}

TEST(VersionAgreement, UnknownProductIdAgreesWithNoMesh) {
  for (IpVersion ip : {IpVersion::v1, IpVersion::v2, IpVersion::mivo}) {
    EXPECT_THROW(check_version_agreement(HwVersion{0xBC, 0xA3, 0, 0}, mesh_of(ip)),
                 std::invalid_argument);
  }
  // A mesh cannot be of version none, so even a version of none never agrees.
  Mesh odd = mesh_of(IpVersion::v2);
  odd.version = IpVersion::none;
  EXPECT_NO_THROW(check_version_agreement(HwVersion{0, 0x05, 0, 0}, odd));
  EXPECT_EQ(message_of(HwVersion::Vrox_v1, odd),
            "Incompatible hardware and Ip versions: HW Version is 188.0.0.1 with product id = 0 "
            "while IP version is none.");
}

TEST(VirtualDevice, ReportsVersionDescriptionAndCopiedMesh) {
  Mesh mesh = mesh_of(IpVersion::v1);
  auto device = make_virtual_device(HwVersion{0xBC, 0xA1, 3, 9}, mesh);
  ASSERT_TRUE(device);
  EXPECT_STREQ(device->desc(), "VirtualDevice/BC.A1.003.009");
  EXPECT_EQ(device->version(), HwVersion::QTX7700_v1);
  EXPECT_EQ(device->get_ip_version(), IpVersion::v1);
  EXPECT_EQ(device->hardware(), nullptr);
  EXPECT_EQ(device->mesh(), mesh);
  EXPECT_NE(&device->mesh(), &mesh);

  // Later changes to the caller's mesh do not reach the device.
  mesh.nps.clear();
  mesh.hrc.reset();
  mesh.skip_dmas.front().ident.channel = 7;
  mesh.np_sram_size.input_bytes = 1;
  EXPECT_EQ(device->mesh().nps.size(), 2u);
  ASSERT_TRUE(device->mesh().hrc.has_value());
  EXPECT_EQ(device->mesh().skip_dmas.front().ident.channel, 2);
  EXPECT_EQ(device->mesh().np_sram_size, SramSize_v1);
  EXPECT_EQ(device->mesh().nps.front().types,
            (std::set<hw::Type>{hw::Type::CNP1, hw::Type::CNP2}));
}

TEST(VirtualDevice, DisagreementMakesNoDevice) {
  EXPECT_THROW(make_virtual_device(HwVersion::FPGA_v2, mesh_of(IpVersion::v1)),
               std::invalid_argument);
  EXPECT_THROW(VirtualDevice(HwVersion::Mivo_FPGA, mesh_of(IpVersion::v2)),
               std::invalid_argument);
  EXPECT_THROW(make_virtual_device(HwVersion{0xBC, 0x05, 0, 0}, mesh_of(IpVersion::v1)),
               std::invalid_argument);
}

// A stand-in for a simulated board: only identity matters to the registry.
class NullDriver : public HardwareDriver {
 public:
  void read(uint32_t, void*, size_t) override {}
  void write(uint32_t, const void*, size_t) override {}
  uint32_t register_base() const override { return 0; }
};

// The smallest hardware device: the registry hands it out, nothing runs on it.
class IdleDevice : public HardwareDevice {
 public:
  explicit IdleDevice(HardwareDriver* driver) : driver_(driver) {}
  HwVersion version() const override { return HwVersion::FPGA_v2; }
  const char* desc() const override { return "idle"; }
  void enable_clock_counter(bool) override {}
  uint32_t clock_counter() const override { return 0; }
  uint32_t program_clock() const override { return 0; }
  uint64_t memory() const override { return 0; }
  void reset_top_memory() override {}
  bool program(const uint8_t*, size_t) override { return false; }
  void program_external(const uint8_t*, size_t, uint32_t) override {}
  ProgramView current_program() const override { return {}; }
  void read_np_info(uint32_t*, const hw::Ident*, size_t) override {}
  void prepare_run(size_t, bool) override {}
  void set_learn_enabled(bool) override {}
  bool learn_enabled() const override { return false; }
  size_t learn_mem_size() const override { return 0; }
  void read_learn_mem(uint32_t*) override {}
  void write_learn_mem(const uint32_t*) override {}
  void unprogram() override {}
  Outputs fit(const Frames&, const std::vector<int32_t>&) override { return {}; }
  Outputs forward(const Frames&) override { return {}; }
  Outputs predict(const Frames&) override { return {}; }
  HardwareDriver* driver() const override { return driver_; }

 private:
  HardwareDriver* driver_;
};

class DriverRegistryTest : public ::testing::Test {
 protected:
  void TearDown() override { clear_drivers(); }
};

TEST_F(DriverRegistryTest, EmptyInANormalRun) {
  EXPECT_TRUE(get_drivers().empty());
  NullDriver driver;
  EXPECT_THROW(HardwareDevice::create(&driver), std::runtime_error);
  EXPECT_THROW(HardwareDevice::create(nullptr), std::runtime_error);
}

TEST_F(DriverRegistryTest, CreateUsesTheFactoryOfItsDriver) {
  NullDriver first, second;
  int first_calls = 0;
  int second_calls = 0;
  register_driver(&first, [&](HardwareDriver* d) {
    EXPECT_EQ(d, &first);
    ++first_calls;
    return std::shared_ptr<HardwareDevice>();
  });
  register_driver(&second, [&](HardwareDriver*) {
    ++second_calls;
    return std::shared_ptr<HardwareDevice>();
  });
  EXPECT_EQ(get_drivers(), (std::vector<HardwareDriver*>{&first, &second}));
  // Both factories make no device here: the registry reports that instead of a null device.
  EXPECT_THROW(HardwareDevice::create(&first), std::runtime_error);
  EXPECT_EQ(first_calls, 1);
  EXPECT_EQ(second_calls, 0);

  // Registering again replaces the factory and keeps the order.
  register_driver(&first, [&](HardwareDriver*) {
    first_calls += 10;
    return std::shared_ptr<HardwareDevice>();
  });
  EXPECT_EQ(get_drivers(), (std::vector<HardwareDriver*>{&first, &second}));
  EXPECT_THROW(HardwareDevice::create(&first), std::runtime_error);
  EXPECT_EQ(first_calls, 11);

  clear_drivers();
  EXPECT_TRUE(get_drivers().empty());
  EXPECT_THROW(HardwareDevice::create(&second), std::runtime_error);
  EXPECT_EQ(second_calls, 0);
}

TEST_F(DriverRegistryTest, CreateGivesTheFactorysDevice) {
  NullDriver driver;
  register_driver(&driver, [](HardwareDriver* d) { return std::make_shared<IdleDevice>(d); });
  auto device = HardwareDevice::create(&driver);
  ASSERT_TRUE(device);
  EXPECT_EQ(device->driver(), &driver);
  EXPECT_STREQ(device->desc(), "idle");
  // Each call makes a new device.
  EXPECT_NE(HardwareDevice::create(&driver), device);
}

TEST_F(DriverRegistryTest, RefusesNullDriverAndEmptyFactory) {
  NullDriver driver;
  EXPECT_THROW(register_driver(nullptr, [](HardwareDriver*) {
                 return std::shared_ptr<HardwareDevice>();
               }),
               std::invalid_argument);
  EXPECT_THROW(register_driver(&driver, HardwareDeviceFactory{}), std::invalid_argument);
  EXPECT_TRUE(get_drivers().empty());
}

}  // namespace
}  // namespace qalto
