#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "mapping/fake_device.hpp"
#include "mapping/generation.hpp"
#include "mivo/compatibility_checker.hpp"
#include "mivo/io_recorder.hpp"
#include "mivo/layer_recorder.hpp"
#include "mivo/memory_sizer.hpp"
#include "program/record.hpp"
#include "v1/compatibility_checker.hpp"
#include "v1/io_recorder.hpp"
#include "v1/layer_recorder.hpp"
#include "v1/memory_sizer.hpp"
#include "v2/compatibility_checker.hpp"
#include "v2/io_recorder.hpp"
#include "v2/layer_recorder.hpp"
#include "v2/memory_sizer.hpp"

namespace qalto {
namespace {

using testing::make_device;

template <typename Checker, typename Sizer, typename Io, typename Recorder>
void expect_generation(const IpVersionSpecificHardwareBackend& backend) {
  EXPECT_NE(dynamic_cast<const Checker*>(backend.checker.get()), nullptr);
  EXPECT_NE(dynamic_cast<const Sizer*>(backend.memory_sizer.get()), nullptr);
  EXPECT_NE(dynamic_cast<const Io*>(backend.io_recorder.get()), nullptr);
  EXPECT_NE(dynamic_cast<const Recorder*>(backend.layer_recorder.get()), nullptr);
}

TEST(IpVersionSpecificHardwareBackend, ChoosesV1ForProducts00AndA1) {
  for (uint8_t product : {0x00, 0xA1}) {
    auto device = make_device(product, 3, 4);
    const IpVersionSpecificHardwareBackend backend(*device);
    expect_generation<v1::CompatibilityCheckerImpl, v1::MemorySizerImpl, v1::IoRecorderImpl,
                      v1::LayerRecorderImpl>(backend);
    EXPECT_EQ(backend.constraints.limit_word_10, 504u);
    EXPECT_EQ(backend.constraints.np_weight_words, 7168u);
  }
}

TEST(IpVersionSpecificHardwareBackend, ChoosesV2AndMivo) {
  auto v2_device = make_device(0xA2);
  const IpVersionSpecificHardwareBackend v2(*v2_device);
  expect_generation<v2::CompatibilityCheckerImpl, v2::MemorySizerImpl, v2::IoRecorderImpl,
                    v2::LayerRecorderImpl>(v2);
  EXPECT_EQ(v2.constraints.input_shift_entries, 256u);

  auto mivo_device = make_device(0xB1);
  const IpVersionSpecificHardwareBackend mivo(*mivo_device);
  expect_generation<mivo::CompatibilityCheckerImpl, mivo::MemorySizerImpl, mivo::IoRecorderImpl,
                    mivo::LayerRecorderImpl>(mivo);
  EXPECT_EQ(mivo.constraints.fsram_64b_size, 8192u);
}

TEST(IpVersionSpecificHardwareBackend, RefusesUnknownProducts) {
  for (uint8_t product : {0xA3, 0x01, 0xB2, 0xFF}) {
    auto device = make_device(product);
    try {
      IpVersionSpecificHardwareBackend backend(*device);
      FAIL() << "no exception for product " << int(product);
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Unsupported IP version in IpVersionSpecificHardwareBackend.");
    }
  }
}

TEST(IpVersionSpecificHardwareBackend, ConstraintsFollowTheDeviceMesh) {
  auto device = make_device(0xA2);
  device->mutable_mesh().np_sram_size.input_bytes = 4096;
  const IpVersionSpecificHardwareBackend backend(*device);
  EXPECT_EQ(backend.constraints.input_sram_dual_buffer_words, 512u);
  // The checker reads the backend's own record and the device it was made for.
  EXPECT_EQ(&backend.checker->constraints(), &backend.constraints);
  EXPECT_EQ(&backend.checker->device(), device.get());
}

TEST(IpVersionSpecificHardwareBackend, MivoHasNoFnp3) {
  auto device = make_device(0xB1);
  const IpVersionSpecificHardwareBackend backend(*device);
  for (uint32_t w : {backend.constraints.fnp3_sram_size, backend.constraints.np_weight_words,
                     backend.constraints.input_sram_single_buffer_words,
                     backend.constraints.input_shift_entries})
    EXPECT_EQ(w, 0u);
  const auto layer = testing::make_input_layer("in");
  try {
    backend.checker->is_fnp3_compatible(*layer);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "No FNP3 on Mivo.");
  }
}

// Objects that log their destruction, put in place of the generation's objects.
std::vector<std::string> destroyed;

struct LoggedChecker : CompatibilityChecker {
  using CompatibilityChecker::CompatibilityChecker;
  ~LoggedChecker() override { destroyed.push_back("checker"); }
  MappingStatus check_layer_compatibility(const Layer&, const Layer*,
                                          const HwVersion&) const override {
    return {};
  }
  MappingStatus check_layer_sequence(LayerIterator, LayerIterator,
                                     const HwVersion&) const override {
    return {};
  }
  MappingStatus check_layer_mappings(const Layer&, const std::vector<hw::Component>&,
                                     bool) const override {
    return {};
  }
  bool is_sram_input_fit_single_buffer(hw::Type, uint32_t, uint32_t, uint32_t, uint32_t, uint8_t,
                                       uint32_t) const override {
    return false;
  }
  bool is_sram_input_fit_dual_buffer(hw::Type, uint32_t, uint32_t, uint32_t, uint32_t, uint8_t,
                                     uint32_t) const override {
    return false;
  }
  bool is_weights_size_fit_np(const Layer&, uint32_t) const override { return false; }
  NpSplitParams np_split_params(hw::Type, const LayerParams&) const override { return {}; }
  bool check_fnp3_sram_size(const HardwareConstraints& c, const Layer&) const override {
    seen = &c;
    return c.fnp3_sram_size == 77;
  }
  mutable const HardwareConstraints* seen = nullptr;
};

struct LoggedSizer : MemorySizer {
  ~LoggedSizer() override { destroyed.push_back("sizer"); }
  uint32_t get_input_memory_size(const LayerPtr&, const hw::Component&,
                                 const LayerPtr&) const override {
    return 1;
  }
  uint32_t get_weight_memory_size(const LayerPtr&, const hw::Component&) const override {
    return 2;
  }
  uint32_t get_external_memory_size(const LayerPtr&, const hw::Component&, bool dual,
                                    bool multi) const override {
    return 3 + (dual ? 100 : 0) + (multi ? 1000 : 0);
  }
  uint32_t get_fsram_64b_memory_size(const LayerPtr&) const override { return 5; }
  uint32_t get_tsram_51b_memory_size(const LayerPtr&) const override { return 6; }
  uint32_t get_evsram_32b_memory_size(const LayerPtr&) const override { return 7; }
  uint32_t get_stsram_32b_memory_size(const LayerPtr&) const override { return 4; }
};

struct LoggedIo : IoRecorder {
  ~LoggedIo() override { destroyed.push_back("io"); }
  program::RecordPtr record_scc(bool, bool, bool, bool, bool, const Shape&,
                                const Shape&) const override {
    return nullptr;
  }
  std::vector<EpgRegister> record_epg(const Layer&, uint8_t, uint8_t, uint8_t, bool, bool,
                                      bool) const override {
    return {};
  }
  int8_t get_input_type(const Layer&) const override { return 0; }
  int8_t get_output_type(const Layer&, int8_t) const override { return 0; }
};

struct LoggedRecorder : LayerRecorder {
  ~LoggedRecorder() override { destroyed.push_back("recorder"); }
  program::RecordPtr record_layer(const Layer&, const Layer*, const LayerPtr&, bool, bool,
                                  const std::vector<hw::Ident>&, bool, bool) const override {
    return nullptr;
  }
  program::LearnRecordsPtr record_learning_layer(const Layer&, bool) const override {
    return {};
  }
  void sync_learning_vars(const LayerPtr&) const override {}
};

TEST(IpVersionSpecificHardwareBackend, DestroysRecordersFirstAndCheckerLast) {
  auto device = make_device(0xA2);
  {
    IpVersionSpecificHardwareBackend backend(*device);
    backend.checker = std::make_unique<LoggedChecker>(*device, backend.constraints);
    backend.memory_sizer = std::make_unique<LoggedSizer>();
    backend.io_recorder = std::make_unique<LoggedIo>();
    backend.layer_recorder = std::make_unique<LoggedRecorder>();
    destroyed.clear();
  }
  EXPECT_EQ(destroyed, (std::vector<std::string>{"recorder", "io", "sizer", "checker"}));
}

TEST(CompatibilityChecker, Fnp3CompatibilityUsesItsOwnConstraints) {
  auto device = make_device(0xA2);
  HardwareConstraints constraints;
  constraints.fnp3_sram_size = 77;
  const LoggedChecker checker(*device, constraints);
  const auto layer = testing::make_input_layer("in");
  EXPECT_TRUE(checker.is_fnp3_compatible(*layer));
  EXPECT_EQ(checker.seen, &constraints);
  constraints.fnp3_sram_size = 76;
  EXPECT_FALSE(checker.is_fnp3_compatible(*layer));
}

TEST(MemorySizer, MemoryInfoTakesEachSizeFromItsOperation) {
  const LoggedSizer sizer;
  const auto layer = testing::make_input_layer("in");
  EXPECT_EQ(sizer.get_memory_info(layer, {}, layer, false, false),
            (MemoryInfo{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(sizer.get_memory_info(layer, {}, layer, true, false).external_size, 103u);
  EXPECT_EQ(sizer.get_memory_info(layer, {}, layer, false, true).external_size, 1003u);
}

}  // namespace
}  // namespace qalto
