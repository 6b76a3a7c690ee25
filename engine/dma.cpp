#include "qalto/dma.hpp"

#include <stdexcept>
#include <string>

namespace qalto::dma {

namespace {

constexpr uint32_t kTargetShift = 24;
constexpr uint32_t kTargetMask = 0xF;
constexpr uint32_t kXlBit = 1u << 31;
constexpr uint32_t kWord0Reserved = 0x7u << 28;
constexpr uint32_t kLengthMask = 0xFFF;
constexpr uint32_t kWord1Reserved = 0xFu << 12;
constexpr uint32_t kOffsetShift = 16;

// The value of the length field, checked against what the header form can describe.
uint32_t length_field(uint32_t length, bool xl) {
  if (!xl) {
    if (length > kMaxNormalLength) {
      throw std::invalid_argument("DMA block of " + std::to_string(length) +
                                  " words needs an XL header.");
    }
    return length;
  }
  if (length % kXlUnitWords != 0 || length > kMaxXlLength) {
    throw std::invalid_argument("DMA block of " + std::to_string(length) +
                                " words cannot be described by an XL header.");
  }
  return length / kXlUnitWords;
}

}  // namespace

void format_config_header(uint32_t* out, const hw::Ident& ident, Target target, uint32_t length,
                          uint16_t offset, bool xl) {
  const auto target_value = static_cast<uint32_t>(target);
  if (target_value > kMaxTarget) {
    throw std::invalid_argument("DMA target " + std::to_string(target_value) +
                                " does not fit the header.");
  }
  const uint32_t field = length_field(length, xl);
  out[0] = uint32_t{ident.col} | (uint32_t{ident.row} << 8) | (uint32_t{ident.id} << 16) |
           (target_value << kTargetShift) | (xl ? kXlBit : 0u);
  out[1] = field | (uint32_t{offset} << kOffsetShift);
}

bool config_block_size_needs_xl(size_t words) { return words > kMaxNormalLength; }

ConfigHeader decode_config_header(const uint32_t* words) {
  if ((words[0] & kWord0Reserved) != 0 || (words[1] & kWord1Reserved) != 0) {
    throw std::invalid_argument("Not a DMA configuration header: reserved bits are set.");
  }
  ConfigHeader header;
  header.ident.col = static_cast<uint8_t>(words[0]);
  header.ident.row = static_cast<uint8_t>(words[0] >> 8);
  header.ident.id = static_cast<uint8_t>(words[0] >> 16);
  header.target = (words[0] >> kTargetShift) & kTargetMask;
  header.xl = (words[0] & kXlBit) != 0;
  const uint32_t field = words[1] & kLengthMask;
  header.length = header.xl ? field * kXlUnitWords : field;
  header.offset = static_cast<uint16_t>(words[1] >> kOffsetShift);
  return header;
}

}  // namespace qalto::dma
