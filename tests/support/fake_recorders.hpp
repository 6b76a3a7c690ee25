#pragma once
// Per-generation recorders, a memory sizer and a hardware device for sequence and mapping
// tests: the recorders hand out records of a chosen number of tracks and log every question,
// the device logs every call and holds the last program it was given.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "mapping/generation.hpp"
#include "mapping/layer_mapping.hpp"
#include "program/record.hpp"
#include "qalto/device.hpp"
#include "qalto/dma.hpp"

namespace qalto::testing {

inline const HwVersion kFakeRecordVersion{0xBC, 0xA2, 0, 0};

// A record of `tracks` one-word register tracks, word i of track t being `tag` << 16 | t.
inline program::RecordPtr record_with_tracks(size_t tracks, uint32_t tag = 0) {
  auto record = program::new_record(kFakeRecordVersion);
  for (size_t t = 0; t < tracks; ++t) {
    record->add_np_track({1, 1, 1, 0}, dma::Target::NpRegisters, 0,
                         {(tag << 16) | static_cast<uint32_t>(t)}, true, false);
  }
  return record;
}

struct LayerCall {
  std::string layer;
  std::string first;
  std::string next;
  bool ib_spikes = false;
  bool partial_reconfig = false;
  std::vector<hw::Ident> skip;
  bool registers_only = false;
  bool output_format_flag = false;
};

class FakeLayerRecorder : public LayerRecorder {
 public:
  // Tracks of each layer's record by name (1 when not listed); registers-only records have
  // `unused_tracks` tracks.
  std::map<std::string, size_t> tracks;
  size_t unused_tracks = 1;
  // Layers whose learning program is asked for.
  mutable std::vector<std::string> learning_calls;
  mutable std::vector<LayerCall> calls;
  // Layers without hardware of their own, in the order they were asked for.
  mutable std::vector<std::string> empty_records;
  mutable std::vector<std::string> synced;

  program::RecordPtr record_layer(const Layer& layer, const Layer* first, const LayerPtr& next,
                                  bool ib_spikes, bool partial_reconfig,
                                  const std::vector<hw::Ident>& skip, bool registers_only,
                                  bool output_format_flag) const override {
    // Like the real recorders: a layer without hardware of its own gets an empty record.
    if (layer.is_target_component(ComponentKind::None) ||
        layer.is_target_component(ComponentKind::SKIP_DMA)) {
      empty_records.push_back(layer.get_name());
      return record_with_tracks(0, 0);
    }
    calls.push_back({layer.get_name(), first ? first->get_name() : "",
                     next ? next->get_name() : "", ib_spikes, partial_reconfig, skip,
                     registers_only, output_format_flag});
    if (registers_only) return record_with_tracks(unused_tracks, 0xFF);
    auto found = tracks.find(layer.get_name());
    return record_with_tracks(found == tracks.end() ? 1 : found->second,
                              static_cast<uint32_t>(calls.size()));
  }
  program::LearnRecordsPtr record_learning_layer(const Layer& layer, bool) const override {
    learning_calls.push_back(layer.get_name());
    program::LearnRecordsPtr records;
    records.registers_1 = record_with_tracks(1, 0xD1);
    records.registers_2 = record_with_tracks(1, 0xD2);
    records.weights = record_with_tracks(1, 0xD3);
    records.fnp_sram_size = 64;
    return records;
  }
  void sync_learning_vars(const LayerPtr& layer) const override {
    synced.push_back(layer->get_name());
  }
};

struct EpgCall {
  std::string layer;
  uint8_t lo, hi;
  uint8_t n = 0;
  bool last_on_hrc = false, multi_pass = false, input_type_0 = false;
};

struct SccCall {
  bool first_on_hrc, input_type_0, last_on_hrc, output_type_0, narrow_output;
  Shape input, output;
};

class FakeIoRecorder : public IoRecorder {
 public:
  int8_t input_type = 0;
  int8_t output_type = 0;
  mutable std::vector<EpgCall> epg_calls;
  mutable std::vector<SccCall> scc_calls;

  program::RecordPtr record_scc(bool b1, bool b2, bool b3, bool b4, bool b5, const Shape& input,
                                const Shape& output) const override {
    scc_calls.push_back({b1, b2, b3, b4, b5, input, output});
    return record_with_tracks(1, 0xCC);
  }
  std::vector<EpgRegister> record_epg(const Layer& layer, uint8_t lo, uint8_t hi, uint8_t n,
                                      bool b1, bool b2, bool b3) const override {
    epg_calls.push_back({layer.get_name(), lo, hi, n, b1, b2, b3});
    return {{0x40, 0x1}};
  }
  int8_t get_input_type(const Layer&) const override { return input_type; }
  int8_t get_output_type(const Layer&, int8_t) const override { return output_type; }
};

// Sizes that name what was asked: input size = the component's id byte + 1000 x (first layer
// given), external size = 1 for a dual-output store + 10 when several passes.
class FakeMemorySizer : public MemorySizer {
 public:
  mutable std::vector<std::string> asked;

  uint32_t get_input_memory_size(const LayerPtr& layer, const hw::Component& component,
                                 const LayerPtr& first) const override {
    asked.push_back(layer->get_name());
    return component.ident.id + (first ? 1000u : 0u);
  }
  uint32_t get_weight_memory_size(const LayerPtr&, const hw::Component& c) const override {
    return static_cast<uint32_t>(c.type);
  }
  uint32_t get_external_memory_size(const LayerPtr&, const hw::Component&, bool dual,
                                    bool multi) const override {
    return (dual ? 1u : 0u) + (multi ? 10u : 0u);
  }
  uint32_t get_fsram_64b_memory_size(const LayerPtr&) const override { return 5; }
  uint32_t get_tsram_51b_memory_size(const LayerPtr&) const override { return 6; }
  uint32_t get_evsram_32b_memory_size(const LayerPtr&) const override { return 7; }
  uint32_t get_stsram_32b_memory_size(const LayerPtr&) const override { return 4; }
};

// A chip that logs every call that matters to a sequence run.
class FakeHardwareDevice : public HardwareDevice {
 public:
  std::vector<std::string> log;
  std::vector<uint8_t> held;
  bool has_program = false;
  bool learning = false;
  bool accept_program = true;

  HwVersion version() const override { return kFakeRecordVersion; }
  const char* desc() const override { return "fake chip"; }
  void enable_clock_counter(bool) override {}
  uint32_t clock_counter() const override { return 0; }
  uint32_t program_clock() const override { return 0; }
  uint64_t memory() const override { return 0; }
  void reset_top_memory() override {}
  bool program(const uint8_t* data, size_t size) override {
    log.push_back("program");
    if (!accept_program) return false;
    held.assign(data, data + size);
    has_program = true;
    return true;
  }
  void program_external(const uint8_t*, size_t, uint32_t) override {}
  ProgramView current_program() const override {
    if (!has_program) return {};
    return {held.data(), held.size()};
  }
  void read_np_info(uint32_t*, const hw::Ident*, size_t) override {}
  void prepare_run(size_t frames, bool flag) override {
    log.push_back("prepare_run " + std::to_string(frames) + (flag ? " true" : " false"));
  }
  void set_learn_enabled(bool enabled) override {
    log.push_back(enabled ? "learn on" : "learn off");
    learning = enabled;
  }
  bool learn_enabled() const override { return learning; }
  size_t learn_mem_size() const override { return 0; }
  void read_learn_mem(uint32_t*) override {}
  void write_learn_mem(const uint32_t*) override {}
  void unprogram() override { has_program = false; }
  Outputs fit(const Frames& frames, const std::vector<int32_t>& labels) override {
    log.push_back("fit " + std::to_string(frames.size()) + " " + std::to_string(labels.size()));
    return outputs(frames.size());
  }
  Outputs forward(const Frames& frames) override {
    log.push_back("forward");
    return outputs(frames.size());
  }
  Outputs predict(const Frames& frames) override {
    log.push_back("predict");
    return outputs(frames.size());
  }
  HardwareDriver* driver() const override { return nullptr; }

 private:
  static Outputs outputs(size_t n) {
    Outputs result;
    for (size_t i = 0; i < n; ++i) {
      result.push_back(
          std::make_unique<Dense>(TensorType::int32, Shape{1, 1, 1}, Dense::Layout::RowMajor));
    }
    return result;
  }
};

// A device with hardware behind it.
class HardwareBackedDevice : public Device {
 public:
  HardwareBackedDevice(HwVersion version, Mesh mesh, HardwareDevice* hardware)
      : version_(version), mesh_(std::move(mesh)), hardware_(hardware) {}
  HwVersion version() const override { return version_; }
  const char* desc() const override { return "fake device"; }
  const Mesh& mesh() const override { return mesh_; }
  HardwareDevice* hardware() const override { return hardware_; }

 private:
  HwVersion version_;
  Mesh mesh_;
  HardwareDevice* hardware_;
};

}  // namespace qalto::testing
