#include "mapping/hardware_constraints.hpp"

namespace qalto {

namespace {

// Fixed limits of the v1 and v2 NPs. The CNP width, height and filter words repeat the
// MapConstraints defaults (and the 504 filters of the reduced v1 hardware version).
struct FixedLimits {
  uint32_t max_input_width;
  uint32_t max_input_height;
  uint32_t max_input_channels;
  uint32_t max_filters;
  uint32_t limit_word_6;
  uint32_t limit_word_7;
  uint32_t limit_word_8;
  uint32_t limit_word_9;
  uint32_t limit_word_10;
  uint32_t input_shift_entries;
};

constexpr FixedLimits v1_limits{4096, 4096, 2048, 2048, 32, 256, 2048, 512, 504, 0};
constexpr FixedLimits v2_limits{4096, 4096, 2048, 2048, 64, 256, 1536, 512, 0, 256};

// Width of one NP weight word: 50 bits on v1, 100 bits on v2.
constexpr uint64_t v1_weight_word_bits = 50;
constexpr uint64_t v2_weight_word_bits = 100;

// The FNP3 keeps its weights in 32-bit words of which 48 of every 50 bits carry data.
constexpr uint64_t fnp3_payload_bits = 48;
constexpr uint64_t fnp3_stored_bits = 50;

// Sizes are computed in 64 bits: every result below is at most a quarter of a 32-bit input
// times a small factor, so it always fits the 32-bit word it is stored in and no product wraps
// even for the largest SRAM sizes a chip could report.
uint32_t narrow(uint64_t value) { return static_cast<uint32_t>(value); }

void fill_np_limits(HardwareConstraints& c, const SramSize& sram, const FixedLimits& limits,
                    uint64_t weight_word_bits) {
  const uint64_t input_bits = uint64_t{sram.input_bytes} * 8;
  const uint64_t weight_bits = uint64_t{sram.weight_bytes} * 8;
  c.fnp3_sram_size = narrow(weight_bits / 32 * fnp3_payload_bits / fnp3_stored_bits);
  c.np_weight_words = narrow(weight_bits / weight_word_bits);
  c.max_input_width = limits.max_input_width;
  c.max_input_height = limits.max_input_height;
  c.max_input_channels = limits.max_input_channels;
  c.max_filters = limits.max_filters;
  c.limit_word_6 = limits.limit_word_6;
  c.limit_word_7 = limits.limit_word_7;
  c.limit_word_8 = limits.limit_word_8;
  c.limit_word_9 = limits.limit_word_9;
  c.limit_word_10 = limits.limit_word_10;
  // A dual-buffered NP splits the input SRAM in two halves.
  c.input_sram_dual_buffer_words = narrow(input_bits / 64);
  c.input_sram_single_buffer_words = narrow(input_bits / 32);
  c.fnp_input_sram_words = narrow(input_bits / 32);
  c.input_shift_entries = limits.input_shift_entries;
}

}  // namespace

HardwareConstraints make_hardware_constraints(IpVersion version, const Mesh& mesh) {
  HardwareConstraints c;
  const SramSize& sram = mesh.np_sram_size;
  switch (version) {
    case IpVersion::v1:
      fill_np_limits(c, sram, v1_limits, v1_weight_word_bits);
      break;
    case IpVersion::v2:
      fill_np_limits(c, sram, v2_limits, v2_weight_word_bits);
      break;
    case IpVersion::mivo:
      // Mivo has no NP: only the four TNP-R SRAM budgets apply.
      c.stsram_32b_size = sram.stsram_32b_size;
      c.fsram_64b_size = sram.fsram_64b_size;
      c.tsram_51b_size = sram.tsram_51b_size;
      c.evsram_32b_size = sram.evsram_32b_size;
      break;
    case IpVersion::none:
      break;
  }
  return c;
}

}  // namespace qalto
