#include "v2/np_registers.hpp"

#include <stdexcept>

#include "qalto/panic.hpp"

namespace qalto::v2 {

namespace {

// Reset values of the registers the hardware does not leave at zero.
struct DefaultWord {
  size_t index;
  uint32_t value;
};

constexpr DefaultWord default_words[] = {
    {1, 0x20},       {2, 0x8},         {5, 0x00130100}, {6, 0x08040000},
    {12, 0x52000000}, {13, 0x10},      {37, 0xFF000000}, {57, 0x40},
};

// Output routing of word 56: the NPs at positions 2 and 3 of a node reach the mesh through a
// different port than positions 0 and 1.
constexpr uint32_t routing_upper_nps = 0x01800100;
constexpr uint32_t routing_lower_nps = 0x00800000;
constexpr uint8_t first_upper_np_id = 2;

// Input shifts are sent in blocks of eight bytes (two words).
constexpr uint64_t shift_block_bytes = 8;
constexpr uint64_t shift_block_words = 2;
constexpr uint32_t shifts_per_word = 4;

}  // namespace

std::vector<uint32_t> default_np_regs(const hw::Component& component, uint32_t np_index,
                                      bool registers_only, bool merge) {
  std::vector<uint32_t> image(NP_REGISTER_WORDS, 0);
  for (const auto& word : default_words) image[word.index] = word.value;
  set_field(&image[NPREG_WORD_NP_INDEX], NPREG_NP_INDEX,
            registers_only ? NPREG_REGISTERS_ONLY_INDEX : np_index);
  image[NPREG_WORD_ROUTING] =
      component.ident.id >= first_upper_np_id ? routing_upper_nps : routing_lower_nps;
  set_field(&image[NPREG_WORD_ROUTING], NPREG_MERGE, merge ? 1 : 0);
  return image;
}

void set_ib_spikes(std::vector<uint32_t>& image) {
  set_field(&image.at(NPREG_WORD_CONFIG), NPREG_IB_SPIKES, 1);
}

std::vector<uint32_t> format_input_shift(const Dense& shifts, uint32_t first, uint32_t count) {
  // Check the element type and the last element read before sizing the output, so that a bad
  // count cannot make us allocate for elements that do not exist.
  shifts.data<uint8_t>();
  // Count 0 stands for the whole tensor only from its start; from a later channel it is an
  // empty range (an NP part holding no channel), not the rest of the tensor.
  if (count == 0 && first != 0) return {};
  const uint64_t n = count == 0 ? shifts.size() : count;
  if (n > 0) shifts.at<uint8_t>(uint64_t{first} + n - 1);
  const uint64_t words = shift_block_words * ((n + shift_block_bytes - 1) / shift_block_bytes);
  std::vector<uint32_t> out(words, 0);
  for (uint64_t i = 0; i < n; ++i) {
    const uint32_t byte = shifts.at<uint8_t>(first + i);
    out[i / shifts_per_word] |= byte << (8 * (i % shifts_per_word));
  }
  return out;
}

}  // namespace qalto::v2
