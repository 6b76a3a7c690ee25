#include "qalto/reg_detail.hpp"

#include <string>

#include "qalto/panic.hpp"

namespace qalto {

namespace {

uint32_t field_mask(const RegDetail& field) {
  return static_cast<uint32_t>((uint64_t{1} << (field.nb_bits % 64)) - 1);
}

}  // namespace

void set_field(uint32_t* word, const RegDetail& field, uint32_t value) {
  const uint32_t mask = field_mask(field);
  if (value > mask) {
    const std::string message = "Attempted to write value " + std::to_string(value) + " into a " +
                                std::to_string(field.nb_bits) +
                                "-bit field, which will cause an overflow.";
    panic("%s", message.c_str());
  }
  const uint32_t shift = field.first_bit % 32;
  *word = (*word & ~(mask << shift)) | ((value & mask) << shift);
}

void set_signed_field(uint32_t* word, const RegDetail& field, int32_t value) {
  // The width as the mask sees it, so that both writers agree on what a field holds.
  const uint32_t bits = field.nb_bits % 64;
  if (bits < 32) {
    const int64_t low = bits == 0 ? 0 : -(int64_t{1} << (bits - 1));
    const int64_t high = bits == 0 ? 0 : (int64_t{1} << (bits - 1)) - 1;
    if (value < low || value > high) {
      panic("%d cannot fit in a %d-bit signed integer", value, static_cast<int>(field.nb_bits));
    }
  }
  set_field(word, field, static_cast<uint32_t>(value) & field_mask(field));
}

}  // namespace qalto
