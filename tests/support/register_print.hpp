#pragma once
// Register images seen field by field, so that a failing register test names the field
// ("word[21] bits 0-10 = 256") instead of dumping two hex words.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qalto/reg_detail.hpp"

namespace qalto::testing {

// The value of `field` in `word` (a 0-bit field reads 0; bits past bit 31 are not there).
inline uint32_t field_value(uint32_t word, const RegDetail& field) {
  const uint32_t width = field.nb_bits % 64;
  const uint32_t shift = field.first_bit % 32;
  const uint32_t mask = static_cast<uint32_t>((uint64_t{1} << width) - 1);
  return (word >> shift) & mask;
}

// "word[<i>] bits <lo>-<hi> = <value>"
inline std::string describe_field(const std::vector<uint32_t>& image, size_t word,
                                  const RegDetail& field) {
  const uint32_t value = word < image.size() ? field_value(image[word], field) : 0;
  const uint32_t last = field.first_bit + (field.nb_bits == 0 ? 0 : field.nb_bits - 1);
  return "word[" + std::to_string(word) + "] bits " + std::to_string(field.first_bit) + "-" +
         std::to_string(last) + " = " + std::to_string(value);
}

// Passes when `field` of `image[word]` holds `expected`; the failure text names the field.
inline ::testing::AssertionResult field_equals(const std::vector<uint32_t>& image, size_t word,
                                               const RegDetail& field, uint32_t expected) {
  if (word >= image.size()) {
    return ::testing::AssertionFailure()
           << "word[" << word << "] is past the image (" << image.size() << " words)";
  }
  if (field_value(image[word], field) == expected) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << describe_field(image, word, field) << ", expected " << expected;
}

}  // namespace qalto::testing
