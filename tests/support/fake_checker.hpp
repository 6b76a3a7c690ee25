#pragma once
// A CompatibilityChecker for split and allocation tests: memory budgets set by the test, the
// v2 rule for the input words a CNP needs, and a log of every memory question asked.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "mapping/generation.hpp"
#include "qalto/device.hpp"
#include "qalto/layer.hpp"

namespace qalto::testing {

inline Mesh v2_mesh(std::vector<np::Info> nps = {}, std::vector<np::Info> skip_dmas = {}) {
  return Mesh(IpVersion::v2, hw::Ident{}, hw::Ident{}, std::nullopt, std::move(nps),
              std::move(skip_dmas));
}

inline std::shared_ptr<Device> v2_device(const Mesh& mesh = v2_mesh()) {
  return make_virtual_device(HwVersion{0xBC, 0xA2, 0, 0}, mesh);
}

// Constructed before the checker base, which keeps references to both members.
struct FakeCheckerStorage {
  std::shared_ptr<Device> device = v2_device();
  HardwareConstraints hardware;
};

struct InputQuestion {
  bool dual;
  hw::Type type;
  uint32_t height;
  uint32_t width;
  uint32_t channels;
  uint32_t fifo_size;
  uint8_t input_bits;
  uint32_t pksram_shift;
};

class FakeChecker : private FakeCheckerStorage, public CompatibilityChecker {
 public:
  FakeChecker() : CompatibilityChecker(*FakeCheckerStorage::device, hardware) {}

  // Input words available in each buffer mode (before the pksram shift is taken off).
  uint64_t dual_words = 1u << 20;
  uint64_t single_words = 0;
  // Weight words each filter takes, and the words an NP holds.
  uint64_t words_per_filter = 1;
  uint64_t weight_words = 1u << 20;
  bool fnp3_fits = true;

  mutable std::vector<InputQuestion> questions;
  mutable std::vector<uint32_t> weight_questions;

  // The v2 CNP rule: height x (channels x (row bytes rounded up to 4) / 4).
  static uint64_t words_needed(uint32_t height, uint32_t width, uint32_t channels,
                               uint8_t input_bits) {
    const uint64_t row_bytes = (uint64_t{input_bits} * width + 7) / 8;
    const uint64_t row_words = (channels * ((row_bytes + 3) / 4 * 4)) / 4;
    return height * row_words;
  }

  MappingStatus check_layer_compatibility(const Layer&, const Layer*,
                                          const HwVersion&) const override {
    return MappingStatus::success();
  }
  MappingStatus check_layer_sequence(LayerIterator, LayerIterator,
                                     const HwVersion&) const override {
    return MappingStatus::success();
  }
  MappingStatus check_layer_mappings(const Layer&, const std::vector<hw::Component>&,
                                     bool) const override {
    return MappingStatus::success();
  }
  bool is_sram_input_fit_single_buffer(hw::Type type, uint32_t height, uint32_t width,
                                       uint32_t channels, uint32_t fifo_size, uint8_t input_bits,
                                       uint32_t pksram_shift) const override {
    questions.push_back({false, type, height, width, channels, fifo_size, input_bits,
                         pksram_shift});
    return fits(single_words, height, width, channels, input_bits, pksram_shift);
  }
  bool is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height, uint32_t width,
                                     uint32_t channels, uint32_t fifo_size, uint8_t input_bits,
                                     uint32_t pksram_shift) const override {
    questions.push_back({true, type, height, width, channels, fifo_size, input_bits,
                         pksram_shift});
    return fits(dual_words, height, width, channels, input_bits, pksram_shift);
  }
  bool is_weights_size_fit_np(const Layer&, uint32_t filters) const override {
    weight_questions.push_back(filters);
    return uint64_t{filters} * words_per_filter <= weight_words;
  }
  // Margins of half the kernel (none on a TNP-B), the pooling and the filters, 0 when absent.
  NpSplitParams np_split_params(hw::Type type, const LayerParams& params) const override {
    const auto get = [&params](const char* key) {
      return static_cast<uint32_t>(std::max(0, params.get_or(key, 0)));
    };
    const uint32_t margin = type == hw::Type::TNP_B ? 0 : get("kernel_size") / 2;
    return NpSplitParams{margin, margin, margin, margin, get("pool_type"), get("pool_size"),
                         get("pool_size"), get("filters")};
  }
  bool check_fnp3_sram_size(const HardwareConstraints&, const Layer&) const override {
    return fnp3_fits;
  }

 private:
  static bool fits(uint64_t budget, uint32_t height, uint32_t width, uint32_t channels,
                   uint8_t input_bits, uint32_t pksram_shift) {
    if (budget < pksram_shift) return false;
    return words_needed(height, width, channels, input_bits) <= budget - pksram_shift;
  }
};

}  // namespace qalto::testing
