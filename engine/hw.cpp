#include "qalto/hw.hpp"

#include <cstdio>
#include <stdexcept>
#include <tuple>

namespace qalto {

const char* ip_version_name(IpVersion version) {
  switch (version) {
    case IpVersion::v1: return "v1";
    case IpVersion::v2: return "v2";
    case IpVersion::mivo: return "mivo";
    default: return "none";
  }
}

HwVersion HwVersion::from_word(uint32_t word) {
  return HwVersion{static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                   static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)};
}

uint32_t HwVersion::to_word() const {
  return uint32_t{vendor_id} | uint32_t{product_id} << 8 | uint32_t{major_rev} << 16 |
         uint32_t{minor_rev} << 24;
}

IpVersion HwVersion::get_ip_version() const {
  switch (product_id) {
    case 0x00:
    case 0xA1: return IpVersion::v1;
    case 0xA2: return IpVersion::v2;
    case 0xB1: return IpVersion::mivo;
    default: return IpVersion::none;
  }
}

std::string HwVersion::to_string() const {
  return std::to_string(vendor_id) + "." + std::to_string(product_id) + "." +
         std::to_string(major_rev) + "." + std::to_string(minor_rev);
}

std::string HwVersion::to_display_string() const {
  // 2 + 1 + 2 + 1 + 3 + 1 + 3 characters and the terminator; a byte never needs more digits.
  char text[16];
  std::snprintf(text, sizeof text, "%02X.%02X.%03u.%03u", unsigned{vendor_id},
                unsigned{product_id}, unsigned{major_rev}, unsigned{minor_rev});
  return text;
}

namespace hw {

bool Ident::operator<(const Ident& other) const {
  return std::tie(col, row, id, channel) < std::tie(other.col, other.row, other.id, other.channel);
}

std::string to_string(const Ident& ident) {
  return "(" + std::to_string(ident.col) + ", " + std::to_string(ident.row) + ", " +
         std::to_string(ident.id) + ")";
}

const char* to_string(Type type) {
  switch (type) {
    case Type::None: return "None";
    case Type::HRC: return "HRC";
    case Type::CNP1: return "CNP1";
    case Type::CNP2: return "CNP2";
    case Type::FNP2: return "FNP2";
    case Type::FNP3: return "FNP3";
    case Type::SKIP_DMA_STORE: return "SKIP_DMA_STORE";
    case Type::TNP_B: return "TNP_B";
    case Type::TNP_R: return "TNP_R";
    case Type::SKIP_DMA_LOAD: return "SKIP_DMA_LOAD";
    case Type::DMA: return "DMA";
  }
  return "Unknown";
}

}  // namespace hw

namespace {

SramSize sram_size_of(IpVersion version) {
  switch (version) {
    case IpVersion::v1: return SramSize_v1;
    case IpVersion::v2: return SramSize_v2;
    case IpVersion::mivo: return SramSize_mivo;
    default: throw std::runtime_error("The mesh should have a valid IP version.");
  }
}

}  // namespace

Mesh::Mesh(IpVersion version, const hw::Ident& dma_event, const hw::Ident& dma_conf,
           std::optional<np::Info> hrc, std::vector<np::Info> nps,
           std::vector<np::Info> skip_dmas)
    : version(version),
      dma_event(dma_event),
      dma_conf(dma_conf),
      hrc(std::move(hrc)),
      nps(std::move(nps)),
      skip_dmas(std::move(skip_dmas)),
      np_sram_size(sram_size_of(version)) {}

bool Mesh::has_lut_on_all_nps() const {
  if (hrc && !hrc->has_lut) return false;
  for (const auto& np : nps)
    if (!np.has_lut) return false;
  return true;
}

}  // namespace qalto
