#pragma once
// The default v2 NP register image and the small routines every v2 NP recorder shares: the
// input-buffer spikes bit and the packing of the per-channel input shifts.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "qalto/hw.hpp"
#include "qalto/reg_detail.hpp"
#include "qalto/tensor.hpp"

namespace qalto::v2 {

// A v2 NP is configured by 64 consecutive 32-bit register words.
inline constexpr size_t NP_REGISTER_WORDS = 64;

// Word indices of the registers the default image sets (not the register numbers).
inline constexpr size_t NPREG_WORD_CONFIG = 2;
inline constexpr size_t NPREG_WORD_NP_INDEX = 3;
inline constexpr size_t NPREG_WORD_ROUTING = 56;

// Index of the NP in its layer; 0xFE tells the NP that only registers follow.
QALTO_REG_FIELD(NPREG_NP_INDEX, 24, 8);
// The NP's input buffer receives spikes rather than dense values.
QALTO_REG_FIELD(NPREG_IB_SPIKES, 7, 1);
// The NP merges its output with a skip connection.
QALTO_REG_FIELD(NPREG_MERGE, 3, 1);

inline constexpr uint32_t NPREG_REGISTERS_ONLY_INDEX = 0xFE;

// The register image every v2 NP recorder starts from: 64 words, mostly zero.
// `np_index` goes into the top byte of word 3 unless `registers_only` (then 0xFE); word 56
// routes the output by the NP's position in its node (`component.ident.id`) and carries the
// `merge` bit. Panics with the 8-bit field-overflow message for np_index above 255 (when
// `registers_only` is false).
std::vector<uint32_t> default_np_regs(const hw::Component& component, uint32_t np_index,
                                      bool registers_only, bool merge);

// Sets the input-buffer spikes bit (word 2, bit 7). `image` must hold at least 3 words
// (std::out_of_range otherwise).
void set_ib_spikes(std::vector<uint32_t>& image);

// The input shifts shifts[first] .. shifts[first + count - 1] packed four per word, the first
// in the lowest byte, in 2 * ceil(count / 8) zero-filled words. Count 0 means the whole tensor
// when `first` is 0, and an empty range (no words) from any later channel.
// `shifts` must be uint8 (typed-access panic otherwise) and hold every element read
// (out-of-range panic otherwise).
std::vector<uint32_t> format_input_shift(const Dense& shifts, uint32_t first, uint32_t count);

}  // namespace qalto::v2
