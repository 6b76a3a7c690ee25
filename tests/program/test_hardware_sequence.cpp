// Running a mapped sequence on a device that logs its calls: when it is programmed, how the
// learning switch moves, which run operation is chosen and which learning is refused up front.

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "mapping/layer_mapping.hpp"
#include "program/hardware_sequence.hpp"
#include "support/fake_recorders.hpp"

namespace qalto {
namespace {

using testing::FakeHardwareDevice;
using testing::HardwareBackedDevice;
using Log = std::vector<std::string>;

std::shared_ptr<Layer> make_layer(LayerType type, const std::string& name,
                                  const std::map<std::string, int32_t>& params,
                                  const std::vector<Shape>& inputs) {
  auto layer = Layer::create(LayerParams(type, params), name);
  layer->build(inputs);
  return layer;
}

// A size-prefixed program: info part of `info` bytes, then `data` bytes.
std::vector<uint8_t> program_bytes(uint32_t info, size_t data, uint8_t fill) {
  std::vector<uint8_t> bytes{static_cast<uint8_t>(info), static_cast<uint8_t>(info >> 8),
                             static_cast<uint8_t>(info >> 16), static_cast<uint8_t>(info >> 24)};
  bytes.resize(4 + info + data, fill);
  return bytes;
}

class SequenceRunTest : public ::testing::Test {
 protected:
  // conv -> dense (or dequantizer) on a device of `product_id`, the last hardware layer on
  // `nps` NPs.
  std::shared_ptr<HardwareSequence> make_sequence(uint8_t product_id, bool dequantizer = false,
                                                  size_t nps = 1,
                                                  std::vector<uint8_t> program = {}) {
    const HwVersion version{0xBC, product_id, 0, 0};
    IpVersion ip = version.get_ip_version();
    if (ip == IpVersion::none) ip = IpVersion::v2;
    device = std::make_shared<HardwareBackedDevice>(
        version, Mesh(ip, hw::Ident{}, hw::Ident{}, std::nullopt, {}, {}), &chip);
    conv = make_layer(LayerType::Conv2D, "conv", {{"filters", 4}}, {Shape{8, 8, 3}});
    dense = make_layer(LayerType::Dense1D, "dense", {{"units", 10}}, {conv->output_dimensions()});
    layers = {conv, dense};
    if (dequantizer) {
      layers.push_back(make_layer(LayerType::Dequantizer, "deq", {}, {dense->output_dimensions()}));
    }
    auto mapping = std::make_shared<LayerMapping>();
    for (size_t i = 0; i < nps; ++i) {
      hw::Component c;
      c.type = hw::Type::FNP2;
      c.ident = {2, 1, static_cast<uint8_t>(i), 0};
      mapping->nps().push_back(c);
    }
    dense->set_mapping(mapping);
    auto pass = std::make_shared<Sequence::Pass>();
    pass->layers = layers;
    if (program.empty()) program = program_bytes(8, 12, 0x5A);
    return std::make_shared<HardwareSequence>(device, HardwareConstraints{}, layers,
                                              std::vector<std::shared_ptr<Sequence::Pass>>{pass},
                                              program);
  }

  FakeHardwareDevice chip;
  std::shared_ptr<Device> device;
  std::shared_ptr<Layer> conv, dense;
  std::vector<std::shared_ptr<Layer>> layers;
  ForwardableSequence::Tensors inputs{Dense::create(TensorType::uint8, Shape{8, 8, 3}),
                                      Dense::create(TensorType::uint8, Shape{8, 8, 3})};
};

TEST_F(SequenceRunTest, DescribesItself) {
  auto sequence = make_sequence(0xA2, false, 1, program_bytes(16, 10, 1));
  EXPECT_EQ(sequence->backend(), BackendType::Hardware);
  EXPECT_EQ(sequence->name(), "HW/conv-dense");
  const auto parts = sequence->program_parts();
  EXPECT_EQ(parts.program_info.data, sequence->program().data);
  EXPECT_EQ(parts.program_info.size, 20u);
  EXPECT_EQ(parts.program_data.data, sequence->program().data + 20);
  EXPECT_EQ(parts.program_data.size, 10u);

  auto single = std::make_shared<HardwareSequence>(
      device, HardwareConstraints{}, std::vector<std::shared_ptr<Layer>>{conv},
      sequence->passes(), program_bytes(0, 0, 0));
  EXPECT_EQ(single->name(), "HW/conv");

  // A program whose prefix claims more than it holds never yields a view past its end.
  auto truncated = std::make_shared<HardwareSequence>(device, HardwareConstraints{}, layers,
                                                      sequence->passes(), program_bytes(16, 0, 1));
  truncated->program_parts();  // exactly 20 bytes: fine
  std::vector<uint8_t> short_program = program_bytes(16, 0, 1);
  short_program.pop_back();
  auto broken = std::make_shared<HardwareSequence>(device, HardwareConstraints{}, layers,
                                                   sequence->passes(), short_program);
  EXPECT_THROW(broken->program_parts(), std::runtime_error);
}

TEST_F(SequenceRunTest, VirtualDeviceCannotRun) {
  auto sequence = make_sequence(0xA2);
  auto virtual_device = make_virtual_device(HwVersion{0xBC, 0xA2, 0, 0},
                                            Mesh(IpVersion::v2, {}, {}, std::nullopt, {}, {}));
  HardwareSequence on_virtual(virtual_device, HardwareConstraints{}, layers, sequence->passes(),
                              program_bytes(4, 4, 0));
  try {
    on_virtual.forward_samples(inputs, nullptr);
    FAIL() << "ran without hardware";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "An actual hardware device is required.");
  }
}

TEST_F(SequenceRunTest, ProgramsOnlyWhenTheDeviceHoldsSomethingElse) {
  auto sequence = make_sequence(0xA2);
  const auto outputs = sequence->forward_samples(inputs, nullptr);
  EXPECT_EQ(outputs.size(), 2u);
  sequence->forward_samples(inputs, nullptr);
  EXPECT_EQ(chip.log, (Log{"program", "prepare_run 2 true", "forward", "prepare_run 2 true",
                           "forward"}));
  EXPECT_EQ(chip.held, std::vector<uint8_t>(sequence->program().data,
                                            sequence->program().data + sequence->program().size));

  // Same length, one byte different: programmed again.
  chip.held.back() ^= 0xFF;
  chip.log.clear();
  sequence->forward_samples(inputs, nullptr);
  EXPECT_EQ(chip.log.front(), "program");

  // A program of another length is replaced too.
  chip.held.push_back(0);
  chip.log.clear();
  sequence->forward_samples(inputs, nullptr);
  EXPECT_EQ(chip.log.front(), "program");
}

TEST_F(SequenceRunTest, RefusedProgramRaises) {
  auto sequence = make_sequence(0xA2);
  chip.accept_program = false;
  EXPECT_THROW(sequence->forward_samples(inputs, nullptr), std::runtime_error);
  EXPECT_EQ(chip.log, (Log{"program"})) << "nothing runs on a device that refused the program";
}

TEST_F(SequenceRunTest, DequantizerLastRunsPredict) {
  make_sequence(0xA2, true)->forward_samples(inputs, nullptr);
  EXPECT_EQ(chip.log.back(), "predict");
}

TEST_F(SequenceRunTest, LearningSwitchFollowsTheLabels) {
  auto sequence = make_sequence(0xA1);
  const std::vector<int32_t> labels{1, 2};
  const std::vector<int32_t> no_labels;
  // v1 learning runs the fit and then reads the learned values back; whatever the read-back
  // says, the fit itself must have run with learning on.
  auto learn = [&](const std::vector<int32_t>& l) {
    try {
      sequence->forward_samples(inputs, &l);
    } catch (const std::runtime_error&) {
    }
  };
  sequence->forward_samples(inputs, nullptr);
  learn(labels);
  EXPECT_EQ(chip.log, (Log{"program", "prepare_run 2 true", "forward", "prepare_run 2 true",
                           "learn on", "fit 2 2"}));
  chip.log.clear();
  learn(no_labels);  // an empty list still means learning: the switch stays on
  EXPECT_EQ(chip.log, (Log{"prepare_run 2 true", "fit 2 0"}));
  chip.log.clear();
  sequence->forward_samples(inputs, nullptr);
  sequence->forward_samples(inputs, nullptr);
  EXPECT_EQ(chip.log, (Log{"prepare_run 2 true", "learn off", "forward", "prepare_run 2 true",
                           "forward"}));
}

void expect_refused_before_running(HardwareSequence& sequence, FakeHardwareDevice& chip,
                                   const ForwardableSequence::Tensors& inputs,
                                   const std::string& message) {
  const std::vector<int32_t> labels{0, 1};
  try {
    sequence.forward_samples(inputs, &labels);
    FAIL() << "learning was not refused";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
  EXPECT_TRUE(chip.log.empty()) << "the device was touched: " << chip.log.front();
  EXPECT_FALSE(chip.learning);
}

TEST_F(SequenceRunTest, LearningThatCannotBeReadBackIsRefusedBeforeTheDeviceRuns) {
  auto v2 = make_sequence(0xA2);
  expect_refused_before_running(*v2, chip, inputs, "Learning not implemented on v2.");
  auto mivo = make_sequence(0xB1);
  expect_refused_before_running(*mivo, chip, inputs, "Learning not implemented on v2.");
  auto unknown = make_sequence(0xC3);
  expect_refused_before_running(*unknown, chip, inputs,
                                "Unsupported IP version in sync_learning_vars.");
  auto spread = make_sequence(0xA1, false, 2);
  expect_refused_before_running(*spread, chip, inputs,
                                "Learning is not supported for layers mapped on more than 1 NP.");
  // Inference on the same sequences is not affected.
  spread->forward_samples(inputs, nullptr);
  EXPECT_EQ(chip.log.back(), "forward");
}

}  // namespace
}  // namespace qalto
