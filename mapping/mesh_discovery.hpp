#pragma once
// Mesh discovery: the mesh-description registers of a chip, decoded into the values the NP walk
// needs. Mesh::discover (include/qalto/hw.hpp) is the entry point; the pieces are declared here
// so that tests can check the register decoding and the NP walk on their own.

#include <cstdint>
#include <vector>

#include "qalto/device.hpp"
#include "qalto/hw.hpp"
#include "qalto/reg_detail.hpp"

namespace qalto::mesh {

// Offsets of the mesh-description registers from the driver's register base.
inline constexpr uint32_t REG_MESH_SIZE = 0x50;
inline constexpr uint32_t REG_DMA_NODE = 0x54;
inline constexpr uint32_t REG_MESH_EXTRA = 0x58;
inline constexpr uint32_t REG_SKIP_DMA = 0x64;
inline constexpr uint32_t REG_FEATURES = 0x68;
inline constexpr uint32_t REG_SRAM_0 = 0x70;  // v2: input SRAM units; Mivo: STSRAM words
inline constexpr uint32_t REG_SRAM_1 = 0x74;  // v2: weight SRAM units; Mivo: FSRAM words
inline constexpr uint32_t REG_SRAM_2 = 0x78;  // Mivo: TSRAM words
inline constexpr uint32_t REG_SRAM_3 = 0x7C;  // Mivo: EVSRAM words

// Register 0x50.
QALTO_REG_FIELD(MESH_ROWS, 0, 8);
QALTO_REG_FIELD(MESH_COLS, 8, 8);
QALTO_REG_FIELD(MESH_ROW1_FIRST_COL, 16, 8);
QALTO_REG_FIELD(MESH_ROW2_FIRST_COL, 24, 8);
// Register 0x54.
QALTO_REG_FIELD(DMA_NPS_PER_NODE, 0, 3);
QALTO_REG_FIELD(DMA_NODE_EMPTY, 4, 1);
QALTO_REG_FIELD(DMA_ROW, 8, 8);
QALTO_REG_FIELD(DMA_COL, 16, 8);
QALTO_REG_FIELD(DMA_EVENT_ID, 24, 2);
QALTO_REG_FIELD(DMA_CONF_ID, 28, 2);
// Register 0x58.
QALTO_REG_FIELD(EXTRA_ROW, 0, 8);
QALTO_REG_FIELD(EXTRA_COL, 8, 8);
QALTO_REG_FIELD(LAST_ROW_LAST_COL, 24, 8);
// Register 0x64 (v2).
QALTO_REG_FIELD(SKIP_DMA_MASK, 0, 16);
QALTO_REG_FIELD(SKIP_DMA_CHANNELS, 24, 8);
// Register 0x68 (v2).
QALTO_REG_FIELD(FEATURE_HRC_INSTALLED, 4, 1);
QALTO_REG_FIELD(FEATURE_HRC_LUT, 6, 1);
// NP configuration word.
QALTO_REG_FIELD(NP_FNP, 4, 2);
QALTO_REG_FIELD(NP_CNP, 6, 2);
QALTO_REG_FIELD(NP_TNP_B, 8, 1);
QALTO_REG_FIELD(NP_TNP_R, 9, 1);
QALTO_REG_FIELD(NP_LUT, 10, 1);

// Values of the NP configuration fields.
inline constexpr uint32_t NP_FNP_FNP2 = 2;
inline constexpr uint32_t NP_FNP_FNP3 = 3;
inline constexpr uint32_t NP_CNP_CNP1 = 1;
inline constexpr uint32_t NP_CNP_CNP1_CNP2 = 2;

// The field's bits of `word`, shifted down.
constexpr uint32_t get_field(uint32_t word, const RegDetail& field) {
  const uint64_t mask = (uint64_t{1} << field.nb_bits) - 1;
  return static_cast<uint32_t>((word >> field.first_bit) & mask);
}

// The decoded mesh-description registers.
struct MeshInfo {
  uint8_t rows = 0;
  uint8_t cols = 0;
  uint8_t nps_per_node = 0;
  uint8_t dma_node_empty = 0;
  uint8_t dma_row = 0;
  uint8_t dma_col = 0;
  uint8_t dma_event_id = 0;
  uint8_t dma_conf_id = 0;
  uint8_t row1_first_col = 0;
  uint8_t row2_first_col = 0;
  uint8_t extra_row = 0;
  uint8_t extra_col = 0;
  uint8_t last_row_last_col = 0;
  uint8_t skip_dma_channels = 0;
  uint16_t skip_dma_mask = 0;
  bool hrc_installed = true;
  bool hrc_has_lut = false;
  uint32_t stsram_32b_size = 0;
  uint32_t fsram_64b_size = 0;
  uint32_t tsram_51b_size = 0;
  uint32_t evsram_32b_size = 0;
  uint32_t input_bytes = 0;
  uint32_t weight_bytes = 0;
};

// Fills the fields of registers 0x50, 0x54 and 0x58. `version` decides where the last column
// of the last row comes from.
void decode_mesh_registers(MeshInfo& info, uint32_t mesh_size, uint32_t dma_node,
                           uint32_t mesh_extra, const HwVersion& version);

// The types an NP serves and its LUT flag, from its configuration word; TNP types only when
// `tnp_capable` (v2 chips).
np::Info decode_np_word(const hw::Ident& ident, uint32_t word, bool tnp_capable);

// SRAM bytes of a v2 chip from its two SRAM registers: input (A x 32) >> 4 and weight
// (B x 100) >> 4. Throws runtime_error "The mesh has no SRAM." when either is 0, and
// "The mesh SRAM size is out of range." when a size does not fit 32 bits.
void decode_v2_sram(MeshInfo& info, uint32_t input_units, uint32_t weight_units);

// The NPs of the grid described by `info`, in walk order (column, then row, then id), each with
// the configuration word read through `device`.
std::vector<np::Info> add_nps(const MeshInfo& info, HardwareDevice& device);

}  // namespace qalto::mesh
