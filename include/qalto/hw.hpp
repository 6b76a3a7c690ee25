#pragma once
// Plain values in which the system speaks about hardware: component identifiers and kinds,
// the mesh description, memory figures, hardware and IP versions.

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "qalto/tensor.hpp"

namespace qalto {

enum class IpVersion : uint8_t { none = 0, v1 = 1, v2 = 2, mivo = 3 };

// "v1", "v2", "mivo"; "none" for any other value.
const char* ip_version_name(IpVersion version);

// A chip's hardware version. As a 32-bit word: vendor bits 0-7, product 8-15, major 16-23,
// minor 24-31.
struct HwVersion {
  uint8_t vendor_id = 0;
  uint8_t product_id = 0;
  uint8_t major_rev = 0;
  uint8_t minor_rev = 0;

  static HwVersion from_word(uint32_t word);
  uint32_t to_word() const;
  // v1 for product id 0x00 or 0xA1, v2 for 0xA2, mivo for 0xB1, none otherwise.
  IpVersion get_ip_version() const;
  // Decimal dotted form "vendor.product.major.minor".
  std::string to_string() const;
  // "%02X.%02X.%03u.%03u": vendor and product in upper-case hexadecimal, revisions in zero-
  // padded decimal; always 13 characters (e.g. "BC.A1.003.009").
  std::string to_display_string() const;

  bool operator==(const HwVersion&) const = default;

  // Named versions of the known chips.
  static const HwVersion Vrox_v1;
  static const HwVersion Vrox_v2;     // the version whose HRC time-out discovery probes
  static const HwVersion Tavik_v1;
  static const HwVersion QTX7700_v1;
  static const HwVersion FPGA_v2;
  static const HwVersion Mivo_FPGA;
};

inline constexpr HwVersion HwVersion::Vrox_v1{0xBC, 0x00, 0, 1};
inline constexpr HwVersion HwVersion::Vrox_v2{0xBC, 0x00, 0, 2};
inline constexpr HwVersion HwVersion::Tavik_v1{0xBC, 0xA1, 3, 6};
inline constexpr HwVersion HwVersion::QTX7700_v1{0xBC, 0xA1, 3, 9};
inline constexpr HwVersion HwVersion::FPGA_v2{0xBC, 0xA2, 1, 0};
inline constexpr HwVersion HwVersion::Mivo_FPGA{0xBC, 0xB1, 1, 0};

namespace hw {

// A component of the NP mesh. Ordered lexicographically by col, row, id, channel.
struct Ident {
  uint8_t col = 0;
  uint8_t row = 0;
  uint8_t id = 0;
  uint8_t channel = 0;

  bool operator==(const Ident&) const = default;
  bool operator<(const Ident& other) const;
};

// "(col, row, id)"; the channel is not shown.
std::string to_string(const Ident& ident);

enum class Type : uint32_t {
  None = 0,
  HRC = 1,
  CNP1 = 2,
  CNP2 = 3,
  FNP2 = 4,
  FNP3 = 5,
  SKIP_DMA_STORE = 6,
  TNP_B = 7,
  TNP_R = 8,
  SKIP_DMA_LOAD = 9,
  DMA = 10,
};

// The table name of a type; "Unknown" for a value above 10.
const char* to_string(Type type);

}  // namespace hw

// The part of a layer's input one NP handles: X and Y index and a (width, height, channels)
// shape.
struct NpSpace {
  uint32_t x = 0;
  uint32_t y = 0;
  Shape shape;

  bool operator==(const NpSpace& other) const {
    return x == other.x && y == other.y && shape == other.shape;
  }
};

// Memory figures of one component: input, weight and external bytes, then the Mivo STSRAM,
// FSRAM, TSRAM and EVSRAM sizes in words.
struct MemoryInfo {
  uint32_t input_size = 0;
  uint32_t weight_size = 0;
  uint32_t external_size = 0;
  uint32_t stsram_32b_size = 0;
  uint32_t fsram_64b_size = 0;
  uint32_t tsram_51b_size = 0;
  uint32_t evsram_32b_size = 0;

  bool operator==(const MemoryInfo&) const = default;
};

namespace hw {

struct NpPart {
  uint32_t start_neuron = 0;      // first filter the NP processes
  uint32_t filters = 0;           // number of filters it processes
  NpSpace spatial_partition;      // the NP's own part of the input
  NpSpace input_region;           // what it reads: its own part widened by kernel margins
  bool single_buffer = false;     // single (true) or dual (false) input buffer

  bool operator==(const NpPart& other) const {
    return start_neuron == other.start_neuron && filters == other.filters &&
           spatial_partition == other.spatial_partition && input_region == other.input_region;
  }
};

// A component given to a layer by the mapping.
struct Component {
  Type type = Type::None;
  Ident ident;
  std::optional<NpPart> np_part;
  MemoryInfo mem_info;

  bool operator==(const Component&) const = default;
};

}  // namespace hw

namespace np {

// One component as the mesh describes it.
struct Info {
  hw::Ident ident;
  std::set<hw::Type> types;
  bool has_lut = false;

  bool operator==(const Info&) const = default;
};

}  // namespace np

// Shared SRAM of a mesh: input and weight bytes for each pair of NPs, then the Mivo SRAM
// sizes in words.
struct SramSize {
  uint32_t input_bytes = 0;
  uint32_t weight_bytes = 0;
  uint32_t stsram_32b_size = 0;
  uint32_t fsram_64b_size = 0;
  uint32_t tsram_51b_size = 0;
  uint32_t evsram_32b_size = 0;

  bool operator==(const SramSize&) const = default;
};

inline constexpr SramSize SramSize_v1{43008, 44800, 0, 0, 0, 0};
inline constexpr SramSize SramSize_v2{65536, 51200, 0, 0, 0, 0};
inline constexpr SramSize SramSize_mivo{0, 0, 448, 8192, 892, 256};

class HardwareDevice;

// The layout of one chip.
struct Mesh {
  IpVersion version = IpVersion::none;
  hw::Ident dma_event;
  hw::Ident dma_conf;
  std::optional<np::Info> hrc;
  std::vector<np::Info> nps;
  std::vector<np::Info> skip_dmas;
  SramSize np_sram_size;

  // Sets np_sram_size to the constant of `version`; a version other than v1, v2 or mivo
  // throws runtime_error "The mesh should have a valid IP version.".
  Mesh(IpVersion version, const hw::Ident& dma_event, const hw::Ident& dma_conf,
       std::optional<np::Info> hrc, std::vector<np::Info> nps, std::vector<np::Info> skip_dmas);

  // False when the HRC lacks a LUT; otherwise whether every NP has one.
  bool has_lut_on_all_nps() const;

  // Reads the layout of the chip behind `device` from its mesh-description registers (through
  // its driver) and its NP configuration words. Defined with the mapping (mapping/
  // mesh_discovery.cpp). Throws runtime_error "The mesh has no SRAM.", "Unknown IP version.",
  // "The device has no driver." and the errors of the register reads.
  static std::unique_ptr<Mesh> discover(HardwareDevice& device);

  bool operator==(const Mesh&) const = default;
};

}  // namespace qalto
