#pragma once
// Size arithmetic that stops at the largest value instead of wrapping: a figure past 64 bits
// reads as "too big", never as a small number.

#include <cstdint>
#include <limits>

namespace qalto {

inline uint64_t saturating_mul(uint64_t a, uint64_t b) {
  uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? std::numeric_limits<uint64_t>::max() : product;
}

inline uint64_t saturating_add(uint64_t a, uint64_t b) {
  uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<uint64_t>::max() : sum;
}

}  // namespace qalto
