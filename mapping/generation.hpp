#pragma once
// The four per-generation interfaces (implemented once per generation as
// CompatibilityCheckerImpl, MemorySizerImpl, IoRecorderImpl and LayerRecorderImpl in v1/, v2/
// and mivo/), and the bundle that selects them by the device's product id.

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "mapping/hardware_constraints.hpp"
#include "qalto/device.hpp"
#include "qalto/layer.hpp"
#include "qalto/mapping_status.hpp"

namespace qalto {

namespace program {
struct Record;           // program/record.hpp
struct LearnRecordsPtr;  // program/record.hpp
using RecordPtr = std::unique_ptr<Record>;
}  // namespace program

// How a generation cuts a layer over NPs: margins, pooling kind and size, filters.
struct NpSplitParams {
  uint32_t left_margin = 0;
  uint32_t right_margin = 0;
  uint32_t top_margin = 0;
  uint32_t bottom_margin = 0;
  uint32_t pool_type = 0;
  uint32_t pool_width = 0;
  uint32_t pool_height = 0;
  uint32_t filters = 0;
};

using LayerPtr = std::shared_ptr<Layer>;
using LayerIterator = std::vector<LayerPtr>::const_iterator;

class CompatibilityChecker {
 public:
  CompatibilityChecker(const Device& device, const HardwareConstraints& constraints)
      : device_(device), constraints_(constraints) {}
  virtual ~CompatibilityChecker() = default;

  virtual MappingStatus check_layer_compatibility(const Layer& layer, const Layer* previous,
                                                  const HwVersion& version) const = 0;
  virtual MappingStatus check_layer_sequence(LayerIterator first, LayerIterator last,
                                             const HwVersion& version) const = 0;
  virtual MappingStatus check_layer_mappings(const Layer& layer,
                                             const std::vector<hw::Component>& components,
                                             bool new_pass) const = 0;
  virtual bool is_sram_input_fit_single_buffer(hw::Type type, uint32_t height, uint32_t width,
                                               uint32_t channels, uint32_t fifo_size,
                                               uint8_t input_bits, uint32_t pksram_shift) const = 0;
  virtual bool is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height, uint32_t width,
                                             uint32_t channels, uint32_t fifo_size,
                                             uint8_t input_bits, uint32_t pksram_shift) const = 0;
  virtual bool is_weights_size_fit_np(const Layer& layer, uint32_t filters) const = 0;
  virtual NpSplitParams np_split_params(hw::Type type, const LayerParams& params) const = 0;
  virtual bool check_fnp3_sram_size(const HardwareConstraints& constraints,
                                    const Layer& layer) const = 0;

  bool is_fnp3_compatible(const Layer& layer) const {
    return check_fnp3_sram_size(constraints_, layer);
  }
  const Device& device() const { return device_; }
  const HardwareConstraints& constraints() const { return constraints_; }

 protected:
  const Device& device_;
  const HardwareConstraints& constraints_;
};

class MemorySizer {
 public:
  virtual ~MemorySizer() = default;
  virtual uint32_t get_input_memory_size(const LayerPtr& layer, const hw::Component& component,
                                         const LayerPtr& first_layer) const = 0;
  virtual uint32_t get_weight_memory_size(const LayerPtr& layer,
                                          const hw::Component& component) const = 0;
  virtual uint32_t get_external_memory_size(const LayerPtr& layer, const hw::Component& component,
                                            bool dual_output_store, bool multi_pass) const = 0;
  virtual uint32_t get_fsram_64b_memory_size(const LayerPtr& layer) const = 0;
  virtual uint32_t get_tsram_51b_memory_size(const LayerPtr& layer) const = 0;
  virtual uint32_t get_evsram_32b_memory_size(const LayerPtr& layer) const = 0;
  virtual uint32_t get_stsram_32b_memory_size(const LayerPtr& layer) const = 0;

  MemoryInfo get_memory_info(const LayerPtr& layer, const hw::Component& component,
                             const LayerPtr& first_layer, bool dual_output_store,
                             bool multi_pass) const;
};

// (register byte offset, value)
using EpgRegister = std::pair<uint32_t, uint32_t>;

class IoRecorder {
 public:
  virtual ~IoRecorder() = default;
  virtual program::RecordPtr record_scc(bool a, bool b, bool c, bool d, bool e,
                                        const Shape& input, const Shape& output) const = 0;
  virtual std::vector<EpgRegister> record_epg(const Layer& layer, uint8_t a, uint8_t b, uint8_t c,
                                              bool d, bool e, bool f) const = 0;
  virtual int8_t get_input_type(const Layer& layer) const = 0;
  virtual int8_t get_output_type(const Layer& layer, int8_t input_type) const = 0;
};

class LayerRecorder {
 public:
  virtual ~LayerRecorder() = default;
  virtual program::RecordPtr record_layer(const Layer& layer, const Layer* first_layer,
                                          const LayerPtr& next, bool ib_spikes,
                                          bool partial_reconfig,
                                          const std::vector<hw::Ident>& skip, bool registers_only,
                                          bool output_format_flag) const = 0;
  virtual program::LearnRecordsPtr record_learning_layer(const Layer& layer, bool flag) const = 0;
  virtual void sync_learning_vars(const LayerPtr& layer) const = 0;
};

// The constraints and the four objects of a device's generation, for one mapping call.
// runtime_error "Unsupported IP version in IpVersionSpecificHardwareBackend." for an unknown
// product id.
class IpVersionSpecificHardwareBackend {
 public:
  explicit IpVersionSpecificHardwareBackend(const Device& device);
  ~IpVersionSpecificHardwareBackend();

  HardwareConstraints constraints;
  std::unique_ptr<CompatibilityChecker> checker;
  std::unique_ptr<MemorySizer> memory_sizer;
  std::unique_ptr<IoRecorder> io_recorder;
  std::unique_ptr<LayerRecorder> layer_recorder;
};

}  // namespace qalto
