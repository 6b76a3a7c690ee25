// Device discovery over simulated boards installed in the driver registry: host devices, the
// skipping of failing drivers, the version agreement, the HRC time-out probe and the
// process-wide list.

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "devices/host_device.hpp"
#include "mapping/hardware_backend.hpp"
#include "mapping/mesh_discovery.hpp"
#include "qalto/backend_registry.hpp"
#include "tests/support/simulated_board.hpp"

namespace qalto {
namespace {

using testing::SimulatedBoard;

// Maps every layer into one sequence that hands its samples to the device's forward, so that
// the probe's run reaches the board.
class PassThroughSequence : public ForwardableSequence {
 public:
  PassThroughSequence(std::shared_ptr<Device> device, std::vector<std::shared_ptr<Layer>> layers)
      : device_(std::move(device)), layers_(std::move(layers)) {}
  const std::vector<std::shared_ptr<Pass>>& passes() const override { return passes_; }
  BackendType backend() const override { return BackendType::Hardware; }
  ByteView program() const override { return {}; }
  ProgramParts program_parts() const override { return {}; }
  std::string name() const override { return "HW/pass-through"; }
  std::vector<std::shared_ptr<Dense>> forward_samples(const Tensors& inputs,
                                                      const std::vector<int32_t>*) override {
    auto outputs = device_->hardware()->forward(inputs);
    return {std::make_move_iterator(outputs.begin()), std::make_move_iterator(outputs.end())};
  }

 private:
  std::shared_ptr<Device> device_;
  std::vector<std::shared_ptr<Layer>> layers_;
  std::vector<std::shared_ptr<Pass>> passes_;
};

class PassThroughBackend : public Backend {
 public:
  MappingStatusGroup map(std::vector<std::shared_ptr<Layer>>& layers, Sequences& sequences,
                         const std::shared_ptr<MapConstraints>& constraints) override {
    sequences.push_back(std::make_shared<PassThroughSequence>(constraints->device(), layers));
    layers.clear();
    return {};
  }
  BackendType type() const override { return BackendType::Hardware; }
};

class DiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clear_drivers();
    register_hardware_backend();  // default constraints
  }
  void TearDown() override {
    clear_drivers();
    set_hardware_backend_factory(nullptr);
  }

  std::shared_ptr<SimulatedBoard> install(testing::BoardConfig config) {
    auto board = SimulatedBoard::create(std::move(config));
    board->install();
    boards_.push_back(board);
    return board;
  }

  static HrcProbe answering(bool timed_out, int* calls) {
    return [timed_out, calls](const std::shared_ptr<Device>&) {
      ++*calls;
      return timed_out;
    };
  }

  std::vector<std::shared_ptr<SimulatedBoard>> boards_;
};

// The board's version changes once the mesh registers are read, so that the mesh and the
// version the host device checks disagree.
void switch_version_after_discovery(SimulatedBoard& board, HwVersion later) {
  const uint32_t address = board.config().register_base + mesh::REG_MESH_EXTRA;
  board.on_read(address, [&board, later](uint32_t stored) {
    board.config().version = later;
    return stored;
  });
}

TEST_F(DiscoveryTest, NoDriversGiveNoDevices) {
  EXPECT_TRUE(populate_devices().empty());
}

TEST_F(DiscoveryTest, HostDeviceKeepsTheHardwareAndItsMesh) {
  auto config = testing::v2_board();
  config.desc = "board on bus 3";
  auto board = install(config);
  const auto devices = populate_devices();
  ASSERT_EQ(devices.size(), 1u);
  const Device& device = *devices[0];
  EXPECT_STREQ(device.desc(), "board on bus 3");
  EXPECT_EQ(device.hardware(), board->last_device().get());
  EXPECT_EQ(device.version(), HwVersion::FPGA_v2);
  EXPECT_EQ(device.mesh().version, IpVersion::v2);
  EXPECT_EQ(device.mesh().nps.size(), 6u);
}

TEST_F(DiscoveryTest, FailingDriverIsReportedAndSkipped) {
  install(testing::v1_board());
  auto failing = install(testing::v2_board());
  failing->fail("create", "board 2 does not answer");
  install(testing::mivo_board());
  ::testing::internal::CaptureStdout();
  const auto devices = populate_devices();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "board 2 does not answer\n");
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0]->get_ip_version(), IpVersion::v1);
  EXPECT_EQ(devices[1]->get_ip_version(), IpVersion::mivo);
}

TEST_F(DiscoveryTest, MeshDiscoveryErrorSkipsTheDriver) {
  auto config = testing::v2_board();
  config.registers[mesh::REG_SRAM_0] = 0;
  install(config);
  install(testing::v1_board());
  ::testing::internal::CaptureStdout();
  const auto devices = populate_devices();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "The mesh has no SRAM.\n");
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0]->get_ip_version(), IpVersion::v1);
}

TEST_F(DiscoveryTest, VersionDisagreementEndsTheDiscovery) {
  install(testing::v1_board());
  auto board = install(testing::v1_board());
  switch_version_after_discovery(*board, HwVersion::FPGA_v2);
  try {
    populate_devices();
    FAIL() << "expected invalid_argument";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(),
                 "Incompatible hardware and Ip versions: HW Version is 188.162.1.0 with product "
                 "id = 162 while IP version is v1.");
  }
}

TEST_F(DiscoveryTest, ProbedRevisionIsMadeAgainWhenItsHrcTimedOut) {
  auto board = install(testing::v1_board(HwVersion::Vrox_v2));
  int probes = 0;
  const auto devices = populate_devices(answering(true, &probes));
  EXPECT_EQ(probes, 1);  // the replacement is not probed again
  EXPECT_EQ(board->creations(), 2);
  EXPECT_EQ(board->log_of("read 0x1050").size(), 2u);  // two mesh discoveries
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0]->hardware(), board->last_device().get());
}

TEST_F(DiscoveryTest, ProbedRevisionIsKeptWhenItsHrcAnswers) {
  auto board = install(testing::v1_board(HwVersion::Vrox_v2));
  int probes = 0;
  EXPECT_EQ(populate_devices(answering(false, &probes)).size(), 1u);
  EXPECT_EQ(probes, 1);
  EXPECT_EQ(board->creations(), 1);
}

TEST_F(DiscoveryTest, OtherRevisionsAreNeverProbed) {
  install(testing::v1_board(HwVersion::Vrox_v1));
  install(testing::v1_board(HwVersion::QTX7700_v1));
  install(testing::v2_board());
  int probes = 0;
  EXPECT_EQ(populate_devices(answering(true, &probes)).size(), 3u);
  EXPECT_EQ(probes, 0);
}

TEST_F(DiscoveryTest, FailedSecondCreationSkipsTheDriver) {
  auto board = install(testing::v1_board(HwVersion::Vrox_v2));
  int probes = 0;
  HrcProbe probe = [&](const std::shared_ptr<Device>&) {
    ++probes;
    board->fail("create", "gone after the probe", 1);
    return true;
  };
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(populate_devices(probe).empty());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "gone after the probe\n");
}

TEST_F(DiscoveryTest, ProbeMappingErrorIsAFailureOfThatDriver) {
  install(testing::v1_board(HwVersion::Vrox_v2));
  install(testing::v2_board());
  set_hardware_backend_factory(nullptr);
  ::testing::internal::CaptureStdout();
  const auto devices = populate_devices();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "No hardware back end is available.\n");
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0]->get_ip_version(), IpVersion::v2);
}

TEST_F(DiscoveryTest, ProbeRunsTheProbeModelOnTheDevice) {
  set_hardware_backend_factory([] { return std::make_unique<PassThroughBackend>(); });
  auto board = install(testing::v1_board(HwVersion::Vrox_v2));
  auto device = std::make_shared<HostDevice>(HardwareDevice::create(board->driver()));
  EXPECT_FALSE(hrc_check_timeout(device));
  // The run got the probe inputs: one 8 x 8 x 1 sample of ones.
  const auto& frames = board->last_device()->last_frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], std::vector<uint8_t>(64, 1));
  board->fail("forward", "HRC timed out", 1);
  EXPECT_TRUE(hrc_check_timeout(device));
}

TEST_F(DiscoveryTest, ProbeTimeOutThroughTheRealProbeMakesTheDeviceAgain) {
  set_hardware_backend_factory([] { return std::make_unique<PassThroughBackend>(); });
  auto board = install(testing::v1_board(HwVersion::Vrox_v2));
  board->fail("forward", "HRC timed out", 1);
  EXPECT_EQ(populate_devices().size(), 1u);
  EXPECT_EQ(board->creations(), 2);
}

TEST_F(DiscoveryTest, ProbeMappingErrorsAreNotAnswers) {
  auto board = install(testing::v1_board(HwVersion::Vrox_v2));
  auto device = std::make_shared<HostDevice>(HardwareDevice::create(board->driver()));
  set_hardware_backend_factory(nullptr);
  EXPECT_THROW(hrc_check_timeout(device), std::runtime_error);
}

TEST(ProbeModelTest, OneInputConvolutionWithUnitWeights) {
  const auto model = build_hrc_probe_model();
  ASSERT_EQ(model->layer_count(), 1u);
  const auto layer = model->get_layer(0);
  EXPECT_EQ(layer->get_name(), "inputconv");
  EXPECT_EQ(layer->type(), LayerType::InputConvolutional);
  const auto& params = layer->params();
  EXPECT_EQ(params.get("stride_x"), 2);
  EXPECT_EQ(params.get("padding"), 1);
  EXPECT_EQ(params.get("pool_type"), 1);
  EXPECT_EQ(params.get("pooling_stride_y"), 2);
  EXPECT_EQ(params.get("act_bits"), 1);
  const auto weights = layer->variables().get("weights");
  EXPECT_EQ(weights->type(), TensorType::int8);
  EXPECT_EQ(weights->dimensions(), (Shape{3, 3, 1, 1}));
  EXPECT_EQ(std::vector<uint8_t>(weights->raw(), weights->raw() + weights->byte_size()),
            std::vector<uint8_t>(9, 1));
  EXPECT_EQ(model->input_shape(), (std::vector<uint32_t>{8, 8, 1}));
}

TEST(ProbeModelTest, ConstantInputsFollowTheInputShape) {
  const auto inputs = get_constant_inputs(*build_hrc_probe_model());
  EXPECT_EQ(inputs->type(), TensorType::uint8);
  EXPECT_EQ(inputs->dimensions(), (Shape{1, 8, 8, 1}));
  EXPECT_EQ(std::vector<uint8_t>(inputs->raw(), inputs->raw() + inputs->byte_size()),
            std::vector<uint8_t>(64, 1));
  EXPECT_THROW(get_constant_inputs(*Model::create()), std::runtime_error);
}

// The process-wide list: one test, as the list is built once per process.
TEST(DeviceListTest, FailedBuildIsRetriedThenKept) {
  clear_drivers();
  auto board = SimulatedBoard::create(testing::v2_board());
  board->install();
  board->fail("read_np_info", "refused", 1, /*invalid_argument=*/true);
  EXPECT_THROW(get_devices(), std::invalid_argument);
  Devices& devices = get_devices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(board->creations(), 2);
  auto extra = SimulatedBoard::create(testing::v1_board());
  extra->install();
  EXPECT_EQ(&get_devices(), &devices);
  EXPECT_EQ(get_devices().size(), 1u);  // never rebuilt
  EXPECT_EQ(extra->creations(), 0);
  clear_drivers();
}

}  // namespace
}  // namespace qalto
