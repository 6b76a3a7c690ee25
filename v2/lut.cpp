#include "v2/lut.hpp"

#include <stdexcept>

#include "qalto/panic.hpp"

namespace qalto::v2 {

std::vector<uint32_t> format_lut_values_for_cnp(const Dense* lut) {
  if (lut == nullptr) return {};
  if (lut->size() != CNP_LUT_ENTRIES) throw std::runtime_error("Wrong size for LUT.");
  // Entries are output codes: a fractional value has no meaning on the chip.
  if (lut->type() == TensorType::float32) {
    throw std::invalid_argument("A LUT holds integer values.");
  }
  constexpr int64_t max = (int64_t{1} << (CNP_LUT_VALUE_BITS - 1)) - 1;
  constexpr int64_t min = -max - 1;
  for (uint64_t i = 0; i < CNP_LUT_ENTRIES; ++i) {
    const int64_t value = lut->value_as_int(i);
    if (value < min || value > max) {
      // The value is printed as the int the message format takes; clamp so that a huge entry
      // is not printed as a small, misleading one.
      const int shown = value > INT32_MAX ? INT32_MAX : value < INT32_MIN ? INT32_MIN
                                                                          : static_cast<int>(value);
      panic("%d cannot fit in a %d-bit signed integer", shown,
            static_cast<int>(CNP_LUT_VALUE_BITS));
    }
  }
  return {};
}

}  // namespace qalto::v2
