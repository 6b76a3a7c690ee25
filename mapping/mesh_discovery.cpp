#include "mapping/mesh_discovery.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <utility>

namespace qalto {

namespace mesh {

namespace {

constexpr uint8_t kProductV1Old = 0x00;
constexpr uint8_t kProductV1 = 0xA1;
constexpr uint8_t kProductV2 = 0xA2;
constexpr uint8_t kProductMivo = 0xB1;

// The first skip-DMA engine sits on bit 1 of the mask: bit 0 names no engine.
constexpr unsigned kFirstSkipDmaBit = 1;
constexpr unsigned kLastSkipDmaBit = 15;
// Skip-DMA engines sit in row 1, as component 3 of their column's node.
constexpr uint8_t kSkipDmaRow = 1;
constexpr uint8_t kSkipDmaId = 3;

// v2 SRAM registers count in units: input bytes = units * 32 / 16, weight = units * 100 / 16.
constexpr uint64_t kInputUnitBytes = 32;
constexpr uint64_t kWeightUnitBytes = 100;
constexpr unsigned kSramUnitShift = 4;

uint32_t read_register(HardwareDriver& driver, uint32_t offset) {
  uint32_t word = 0;
  // Bus addresses are 32-bit: the offset is added in that width.
  driver.read(driver.register_base() + offset, &word, sizeof(word));
  return word;
}

uint8_t byte_field(uint32_t word, const RegDetail& field) {
  return static_cast<uint8_t>(get_field(word, field));
}

uint32_t sram_bytes(uint32_t units, uint64_t unit_bytes) {
  // Done in 64 bits: the 32-bit product would wrap for large register values and report a
  // small SRAM as if it were real.
  const uint64_t bytes = (uint64_t{units} * unit_bytes) >> kSramUnitShift;
  if (bytes > std::numeric_limits<uint32_t>::max()) {
    throw std::runtime_error("The mesh SRAM size is out of range.");
  }
  return static_cast<uint32_t>(bytes);
}

// Whether the walk takes candidate (col, row, id).
bool takes_candidate(const MeshInfo& info, unsigned col, unsigned row, unsigned id) {
  if (row == info.dma_row && col == info.dma_col) {
    return !info.dma_node_empty && id != info.dma_event_id && id != info.dma_conf_id;
  }
  if (row == info.extra_row && col == info.extra_col) return true;
  if (row == 1 && col < std::max<unsigned>(info.row1_first_col, 1)) return false;
  if (row == 2 && col < std::max<unsigned>(info.row2_first_col, 1)) return false;
  if (row == info.rows && col > info.last_row_last_col) return false;
  return true;
}

std::vector<np::Info> skip_dma_engines(const MeshInfo& info) {
  std::vector<np::Info> engines;
  for (unsigned bit = kFirstSkipDmaBit; bit <= kLastSkipDmaBit; ++bit) {
    if (!(info.skip_dma_mask & (1u << bit))) continue;
    np::Info engine;
    engine.ident = hw::Ident{static_cast<uint8_t>(bit), kSkipDmaRow, kSkipDmaId,
                             info.skip_dma_channels};
    engine.types = {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD};
    engines.push_back(std::move(engine));
  }
  return engines;
}

}  // namespace

void decode_mesh_registers(MeshInfo& info, uint32_t mesh_size, uint32_t dma_node,
                           uint32_t mesh_extra, const HwVersion& version) {
  info.rows = byte_field(mesh_size, MESH_ROWS);
  info.cols = byte_field(mesh_size, MESH_COLS);
  info.row1_first_col = byte_field(mesh_size, MESH_ROW1_FIRST_COL);
  info.row2_first_col = byte_field(mesh_size, MESH_ROW2_FIRST_COL);
  info.nps_per_node = byte_field(dma_node, DMA_NPS_PER_NODE);
  info.dma_node_empty = byte_field(dma_node, DMA_NODE_EMPTY);
  info.dma_row = byte_field(dma_node, DMA_ROW);
  info.dma_col = byte_field(dma_node, DMA_COL);
  info.dma_event_id = byte_field(dma_node, DMA_EVENT_ID);
  info.dma_conf_id = byte_field(dma_node, DMA_CONF_ID);
  info.extra_row = byte_field(mesh_extra, EXTRA_ROW);
  info.extra_col = byte_field(mesh_extra, EXTRA_COL);
  info.last_row_last_col = byte_field(mesh_extra, LAST_ROW_LAST_COL);
  // The first chip's minor revision 2 does not report its last row's extent: that row is full.
  if (version.vendor_id == 0xBC && version.product_id == 0 && version.major_rev == 0 &&
      version.minor_rev == 2) {
    info.last_row_last_col = info.cols;
  }
}

np::Info decode_np_word(const hw::Ident& ident, uint32_t word, bool tnp_capable) {
  np::Info np;
  np.ident = ident;
  const uint32_t fnp = get_field(word, NP_FNP);
  if (fnp == NP_FNP_FNP2) np.types.insert(hw::Type::FNP2);
  if (fnp == NP_FNP_FNP3) np.types.insert(hw::Type::FNP3);
  const uint32_t cnp = get_field(word, NP_CNP);
  if (cnp == NP_CNP_CNP1) np.types.insert(hw::Type::CNP1);
  if (cnp == NP_CNP_CNP1_CNP2) np.types.insert({hw::Type::CNP1, hw::Type::CNP2});
  if (tnp_capable && get_field(word, NP_TNP_B)) np.types.insert(hw::Type::TNP_B);
  if (tnp_capable && get_field(word, NP_TNP_R)) np.types.insert(hw::Type::TNP_R);
  np.has_lut = get_field(word, NP_LUT) != 0;
  return np;
}

void decode_v2_sram(MeshInfo& info, uint32_t input_units, uint32_t weight_units) {
  if (input_units == 0 || weight_units == 0) throw std::runtime_error("The mesh has no SRAM.");
  info.input_bytes = sram_bytes(input_units, kInputUnitBytes);
  info.weight_bytes = sram_bytes(weight_units, kWeightUnitBytes);
}

std::vector<np::Info> add_nps(const MeshInfo& info, HardwareDevice& device) {
  const bool tnp_capable = device.version().product_id == kProductV2;
  std::vector<np::Info> nps;
  // Counters are wider than the byte-sized bounds so that a bound of 255 cannot wrap them.
  for (unsigned col = 1; col <= info.cols; ++col) {
    for (unsigned row = 1; row <= info.rows; ++row) {
      for (unsigned id = 0; id < info.nps_per_node; ++id) {
        if (!takes_candidate(info, col, row, id)) continue;
        const hw::Ident ident{static_cast<uint8_t>(col), static_cast<uint8_t>(row),
                              static_cast<uint8_t>(id), 0};
        uint32_t word = 0;
        device.read_np_info(&word, &ident, 1);
        nps.push_back(decode_np_word(ident, word, tnp_capable));
      }
    }
  }
  return nps;
}

}  // namespace mesh

std::unique_ptr<Mesh> Mesh::discover(HardwareDevice& device) {
  using namespace mesh;
  HardwareDriver* driver = device.driver();
  if (!driver) throw std::runtime_error("The device has no driver.");
  const HwVersion version = device.version();

  MeshInfo info;
  const uint32_t mesh_size = read_register(*driver, REG_MESH_SIZE);
  const uint32_t dma_node = read_register(*driver, REG_DMA_NODE);
  const uint32_t mesh_extra = read_register(*driver, REG_MESH_EXTRA);
  decode_mesh_registers(info, mesh_size, dma_node, mesh_extra, version);

  if (version.product_id == kProductV2) {
    const uint32_t features = read_register(*driver, REG_FEATURES);
    info.hrc_installed = get_field(features, FEATURE_HRC_INSTALLED) != 0;
    info.hrc_has_lut = get_field(features, FEATURE_HRC_LUT) != 0;
    const uint32_t skip_dma = read_register(*driver, REG_SKIP_DMA);
    info.skip_dma_mask = static_cast<uint16_t>(get_field(skip_dma, SKIP_DMA_MASK));
    info.skip_dma_channels = byte_field(skip_dma, SKIP_DMA_CHANNELS);
    const uint32_t input_units = read_register(*driver, REG_SRAM_0);
    const uint32_t weight_units = read_register(*driver, REG_SRAM_1);
    decode_v2_sram(info, input_units, weight_units);
  } else if (version.product_id == kProductMivo) {
    info.hrc_installed = false;
    info.stsram_32b_size = read_register(*driver, REG_SRAM_0);
    info.fsram_64b_size = read_register(*driver, REG_SRAM_1);
    info.tsram_51b_size = read_register(*driver, REG_SRAM_2);
    info.evsram_32b_size = read_register(*driver, REG_SRAM_3);
  }

  const hw::Ident dma_event{info.dma_col, info.dma_row, info.dma_event_id, 0};
  const hw::Ident dma_conf{info.dma_col, info.dma_row, info.dma_conf_id, 0};
  std::optional<np::Info> hrc;
  if (info.hrc_installed) hrc = np::Info{hw::Ident{}, {hw::Type::HRC}, info.hrc_has_lut};

  switch (version.product_id) {
    case kProductMivo: {
      std::vector<np::Info> nps{np::Info{hw::Ident{}, {hw::Type::TNP_R}, false}};
      auto mesh = std::make_unique<Mesh>(IpVersion::mivo, dma_event, dma_conf, std::move(hrc),
                                         std::move(nps), std::vector<np::Info>{});
      mesh->np_sram_size.stsram_32b_size = info.stsram_32b_size;
      mesh->np_sram_size.fsram_64b_size = info.fsram_64b_size;
      mesh->np_sram_size.tsram_51b_size = info.tsram_51b_size;
      mesh->np_sram_size.evsram_32b_size = info.evsram_32b_size;
      return mesh;
    }
    case kProductV2: {
      auto mesh = std::make_unique<Mesh>(IpVersion::v2, dma_event, dma_conf, std::move(hrc),
                                         add_nps(info, device), skip_dma_engines(info));
      mesh->np_sram_size.input_bytes = info.input_bytes;
      mesh->np_sram_size.weight_bytes = info.weight_bytes;
      return mesh;
    }
    case kProductV1Old:
    case kProductV1:
      return std::make_unique<Mesh>(IpVersion::v1, dma_event, dma_conf, std::move(hrc),
                                    add_nps(info, device), std::vector<np::Info>{});
    default:
      throw std::runtime_error("Unknown IP version.");
  }
}

}  // namespace qalto
