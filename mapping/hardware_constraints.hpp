#pragma once
// Numeric limits of a device, derived from its mesh once per mapping call. The field names
// and values per generation are fixed (see hardware_constraints.cpp).

#include <cstdint>

#include "qalto/hw.hpp"

namespace qalto {

struct HardwareConstraints {
  uint32_t fnp3_sram_size = 0;
  uint32_t np_weight_words = 0;
  uint32_t max_input_width = 0;
  uint32_t max_input_height = 0;
  uint32_t max_input_channels = 0;
  uint32_t max_filters = 0;
  uint32_t limit_word_6 = 0;
  uint32_t limit_word_7 = 0;
  uint32_t limit_word_8 = 0;
  uint32_t limit_word_9 = 0;
  uint32_t limit_word_10 = 0;
  uint32_t input_sram_dual_buffer_words = 0;
  uint32_t input_sram_single_buffer_words = 0;
  uint32_t fnp_input_sram_words = 0;
  uint32_t input_shift_entries = 0;
  uint32_t stsram_32b_size = 0;
  uint32_t fsram_64b_size = 0;
  uint32_t tsram_51b_size = 0;
  uint32_t evsram_32b_size = 0;
};

// The limits of a mesh for a generation (v1, v2 or mivo; all zero for none).
HardwareConstraints make_hardware_constraints(IpVersion version, const Mesh& mesh);

}  // namespace qalto
