#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "mapping/fake_device.hpp"
#include "mivo/compatibility_checker.hpp"
#include "mivo/io_recorder.hpp"
#include "mivo/memory_sizer.hpp"
#include "program/record.hpp"

namespace qalto {
namespace {

template <typename F>
std::string runtime_error_text(F&& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no runtime_error>";
}

class Mivo : public ::testing::Test {
 protected:
  std::shared_ptr<testing::FakeDevice> device = testing::make_device(0xB1, 1, 2);
  HardwareConstraints constraints = make_hardware_constraints(IpVersion::mivo, device->mesh());
  mivo::CompatibilityCheckerImpl checker{*device, constraints};
  std::shared_ptr<Layer> layer = testing::make_input_layer("in");
};

TEST_F(Mivo, SequenceAndMappingChecksSucceed) {
  const std::vector<LayerPtr> layers{layer, testing::make_input_layer("other")};
  EXPECT_EQ(checker.check_layer_sequence(layers.begin(), layers.end(), device->version()),
            MappingStatus::success());
  EXPECT_EQ(checker.check_layer_sequence(layers.end(), layers.end(), device->version()),
            MappingStatus::success());
  const std::vector<hw::Component> components{hw::Component{hw::Type::TNP_R, {}, {}, {}}};
  EXPECT_EQ(checker.check_layer_mappings(*layer, components, true), MappingStatus::success());
  EXPECT_EQ(checker.check_layer_mappings(*layer, {}, false), MappingStatus::success());
}

TEST_F(Mivo, NpQuestionsAreRefused) {
  using hw::Type;
  EXPECT_EQ(runtime_error_text(
                [&] { checker.is_sram_input_fit_single_buffer(Type::CNP1, 1, 1, 1, 0, 8, 0); }),
            "No single buffer mode on Mivo.");
  EXPECT_EQ(runtime_error_text(
                [&] { checker.is_sram_input_fit_dual_buffer(Type::TNP_B, 1, 1, 1, 0, 8, 0); }),
            "No dual buffer mode on Mivo.");
  EXPECT_EQ(runtime_error_text([&] { checker.is_weights_size_fit_np(*layer, 1); }),
            "No NP on Mivo.");
  EXPECT_EQ(runtime_error_text([&] {
              checker.np_split_params(Type::TNP_R, LayerParams(LayerType::StatefulRecurrent, {}));
            }),
            "Cannot split TNP-R.");
  EXPECT_EQ(runtime_error_text([&] { checker.check_fnp3_sram_size(constraints, *layer); }),
            "No FNP3 on Mivo.");
}

TEST_F(Mivo, InputStageHasNoProgram) {
  const mivo::IoRecorderImpl io(*device);
  const auto record = io.record_scc(true, false, true, false, true, Shape{4, 4, 1}, Shape{2});
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->track_count(), 0u);
  EXPECT_EQ(record->fnp2_filters, nullptr);
  EXPECT_EQ(record->version, device->version());
  EXPECT_TRUE(io.record_epg(*layer, 1, 2, 3, true, true, true).empty());
  EXPECT_EQ(io.get_input_type(*layer), 0);
  EXPECT_EQ(io.get_output_type(*layer, 5), 0);
}

TEST_F(Mivo, NoNpMemory) {
  const mivo::MemorySizerImpl sizer;
  const hw::Component tnp_r{hw::Type::TNP_R, {}, {}, {}};
  EXPECT_EQ(sizer.get_input_memory_size(layer, tnp_r, layer), 0u);
  EXPECT_EQ(sizer.get_weight_memory_size(layer, tnp_r), 0u);
  EXPECT_EQ(sizer.get_external_memory_size(layer, tnp_r, true, true), 0u);
}

}  // namespace
}  // namespace qalto
