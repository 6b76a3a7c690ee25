#pragma once
// DMA configuration block headers.
//
// Every block of an NP track starts with a two-word header that tells the configuration DMA
// which component and which memory of it the payload is for. The engine's encoding:
//
//   word 0  bits  0-7   column of the component
//           bits  8-15  row
//           bits 16-23  id (the channel byte of hw::Ident is not carried)
//           bits 24-27  target (dma::Target)
//           bits 28-30  0
//           bit  31     XL: the length field counts 16-word units instead of words
//   word 1  bits  0-11  length of the payload: words, or 16-word units when XL is set
//           bits 12-15  0
//           bits 16-31  offset (in words) of the payload inside the target
//
// A block up to kMaxNormalLength words is described directly; a longer one needs the XL form,
// whose payload must be a multiple of 16 words (the track writer pads it with zeros) and at
// most kMaxXlLength words. A length of 0 describes a block whose size the reader takes from
// elsewhere (the unsized headers of the TNP-R programs).

#include <cstddef>
#include <cstdint>

#include "qalto/hw.hpp"

namespace qalto::dma {

// Destinations inside a component. Each recorder passes the value of the memory its payload
// goes to; the numbers are fixed by the hardware.
enum class Target : uint8_t {
  Weights = 0,          // NP weights (v1 convolutions; v2 4-bit and 7-wide-kernel Conv2D)
  WeightsAlt = 1,       // NP weights in the second layout (v2 kernels 1, 3, 4, 5; TNP-B)
  InputShift = 2,       // input shift (v2 convolutions, Dense1D, TNP-B)
  Thresholds = 4,       // v1 thresholds
  NpVariables = 5,      // NP variables (v2 convolutions, TNP-B)
  FnpWeights = 6,       // FNP weight memory (v1 and v2)
  NpRegisters = 7,      // an NP's register image (first block of every NP recorder)
  HrcRegisters = 8,     // HRC and input-stage registers; the dummy descriptor header
  HrcRegistersAlt = 9,  // the second HRC register file
  MergeShift = 10,      // merge-layer shift (v2 convolutions)
  SkipDma = 11,         // skip-DMA configuration
  Lut = 12,             // look-up-table values (v2 convolutions)
  TnpRRegisters = 13,   // TNP-R register image (Mivo)
  TnpRFsram = 14,       // TNP-R FSRAM image (Mivo)
  TnpRTsram = 15,       // TNP-R TSRAM image (Mivo)
};

// Largest target number the 4-bit target field can carry.
inline constexpr uint32_t kMaxTarget = 15;
// Largest payload, in words, that a normal header describes.
inline constexpr uint32_t kMaxNormalLength = 0xFFF;
// XL headers count the payload in units of this many words.
inline constexpr uint32_t kXlUnitWords = 16;
// Largest payload, in words, that an XL header describes.
inline constexpr uint32_t kMaxXlLength = kMaxNormalLength * kXlUnitWords;

// Writes exactly the two header words of a configuration block for component `ident` at
// `out[0]` and `out[1]`: the DMA `target`, the payload `length` in words (0 for an unsized
// block), the `offset` inside the target and the XL flag.
// Throws std::invalid_argument, writing nothing, when the target is above kMaxTarget, when a
// normal header's length is above kMaxNormalLength, or when an XL header's length is not a
// multiple of kXlUnitWords or is above kMaxXlLength.
void format_config_header(uint32_t* out, const hw::Ident& ident, Target target, uint32_t length,
                          uint16_t offset, bool xl);

// Whether a block of `words` payload words needs the XL header (more than kMaxNormalLength).
bool config_block_size_needs_xl(size_t words);

// The fields of a header, as read back by decode_config_header.
struct ConfigHeader {
  hw::Ident ident;  // channel always 0
  uint32_t target = 0;
  uint32_t length = 0;  // in words (XL units already multiplied out)
  uint16_t offset = 0;
  bool xl = false;
};

// Reads the two header words at `words`. Throws std::invalid_argument when a reserved bit is
// set. Meant for tests and tools that inspect program bytes.
ConfigHeader decode_config_header(const uint32_t* words);

}  // namespace qalto::dma
