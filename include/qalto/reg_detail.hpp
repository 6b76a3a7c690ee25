#pragma once
// Register bit fields and the checked writers that fill register images.
//
// Recorders never mask a value into a register silently: a value wider than its field is a
// mapping bug or an unsupported layer, and writing it truncated would program the chip with
// something other than the model. Both writers therefore throw instead.

#include <cstdint>

namespace qalto {

// A field of a 32-bit register word: its lowest bit and its width.
struct RegDetail {
  uint32_t first_bit;
  uint32_t nb_bits;
};

// Whether a field lies within one 32-bit word (checked without wrapping).
constexpr bool reg_field_fits(uint32_t first_bit, uint32_t nb_bits) {
  return first_bit < 32 && nb_bits <= 32 - first_bit;
}

// Declares a field constant whose bits must lie within one 32-bit word; a field that does not
// fit stops the build.
#define QALTO_REG_FIELD(name, first, bits)                    \
  inline constexpr ::qalto::RegDetail name{(first), (bits)}; \
  static_assert(::qalto::reg_field_fits((first), (bits)), #name " does not fit in a 32-bit register")

// Writes `value` into `field` of `*word`. The mask is (1 << (nb_bits mod 64)) - 1 cut to 32
// bits and the shift is first_bit mod 32; bits shifted past bit 31 are dropped.
// Throws std::runtime_error (through panic) "Attempted to write value <v> into a <n>-bit
// field, which will cause an overflow." when `value` exceeds the mask; the word is unchanged.
void set_field(uint32_t* word, const RegDetail& field, uint32_t value);

// Writes a signed value in two's complement into `field`. Throws std::runtime_error (through
// panic) "<v> cannot fit in a <n>-bit signed integer" when the value is outside the field's
// signed range (a 0-bit field holds only 0; a field of 32 bits or more holds every value);
// the word is unchanged.
void set_signed_field(uint32_t* word, const RegDetail& field, int32_t value);

}  // namespace qalto
