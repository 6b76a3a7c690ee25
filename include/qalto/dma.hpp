#pragma once
// DMA configuration block headers.

#include <cstddef>
#include <cstdint>

#include "qalto/hw.hpp"

namespace qalto::dma {

// Writes exactly the two header words of a configuration block for component `ident`:
// the DMA target number, the payload length in words, an offset and the extended-header flag.
// The bit layout is documented in engine/dma.cpp.
void format_config_header(uint32_t* out, const hw::Ident& ident, uint32_t target, uint32_t length,
                          uint16_t offset, bool xl);

// Whether a block of `words` payload words needs the extended header.
bool config_block_size_needs_xl(size_t words);

}  // namespace qalto::dma
