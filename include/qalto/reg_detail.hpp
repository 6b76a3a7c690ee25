#pragma once
// Register bit fields and the checked writers that fill register images.

#include <cstdint>

namespace qalto {

// A field of a 32-bit register word: its lowest bit and its width.
struct RegDetail {
  uint32_t first_bit;
  uint32_t nb_bits;
};

// Declares a field constant whose bits must lie within one 32-bit word.
#define QALTO_REG_FIELD(name, first, bits)                                            \
  inline constexpr ::qalto::RegDetail name{first, bits};                              \
  static_assert((first) + (bits) <= 32, #name " does not fit in a 32-bit register")

// Writes `value` into `field` of `*word`. A value wider than the field panics with
// "Attempted to write value <v> into a <n>-bit field, which will cause an overflow." and
// leaves the word unchanged.
void set_field(uint32_t* word, const RegDetail& field, uint32_t value);

// Writes a signed value in two's complement into `field`; a value outside the field's signed
// range panics with "%d cannot fit in a %d-bit signed integer".
void set_signed_field(uint32_t* word, const RegDetail& field, int32_t value);

}  // namespace qalto
