#include "v2/merge_shift.hpp"

#include <algorithm>
#include <stdexcept>

#include "qalto/panic.hpp"

namespace qalto::v2 {

namespace {

void check_signed_width(int32_t value, uint32_t bits) {
  const int32_t max = (int32_t{1} << (bits - 1)) - 1;
  const int32_t min = -max - 1;
  if (value < min || value > max) {
    panic("%d cannot fit in a %d-bit signed integer", value, static_cast<int>(bits));
  }
}

}  // namespace

std::vector<uint32_t> format_merge_layer_shift(const Dense* first_shift, const Dense* second_shift,
                                               const Dense* output_shift, uint32_t first,
                                               uint32_t count) {
  if (first_shift == nullptr || second_shift == nullptr || output_shift == nullptr) {
    throw std::invalid_argument("Merge shifts need three shift tensors.");
  }
  // 64-bit index: first + count may pass 2^32, and the typed access then reports the index.
  const uint64_t end = uint64_t{first} + count;
  for (uint64_t channel = first; channel < end; ++channel) {
    const int32_t a = first_shift->at<uint8_t>(channel);
    const int32_t b = second_shift->at<uint8_t>(channel);
    const int32_t o = output_shift->at<int8_t>(channel);
    check_signed_width(a - b, MERGE_INPUT_SHIFT_DIFF_BITS);
    check_signed_width(std::max(a, b) + o, MERGE_OUTPUT_SHIFT_BITS);
  }
  return {};
}

}  // namespace qalto::v2
