#include <gtest/gtest.h>

#include <stdexcept>

#include "mapping/fake_device.hpp"
#include "qalto/hw.hpp"

namespace qalto {
namespace {

using hw::Ident;
using hw::Type;

TEST(Ident, OrdersByteByByteColumnFirst) {
  const Ident a{1, 2, 0, 0}, b{1, 2, 0, 1}, c{1, 3, 0, 0}, d{2, 0, 0, 0};
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_LT(c, d);
  EXPECT_LT(a, d);
  EXPECT_FALSE(d < a);
  EXPECT_FALSE(a < a);
  // Bytes compare unsigned: 200 is after 100.
  EXPECT_LT((Ident{100, 0, 0, 0}), (Ident{200, 0, 0, 0}));
  EXPECT_LT((Ident{1, 1, 1, 127}), (Ident{1, 1, 1, 128}));
}

TEST(Ident, EqualityIncludesChannel) {
  EXPECT_EQ((Ident{1, 2, 3, 4}), (Ident{1, 2, 3, 4}));
  EXPECT_NE((Ident{1, 2, 3, 4}), (Ident{1, 2, 3, 5}));
}

TEST(Ident, PrintsColumnRowIdWithoutChannel) {
  EXPECT_EQ(hw::to_string(Ident{1, 2, 0, 7}), "(1, 2, 0)");
  EXPECT_EQ(hw::to_string(Ident{255, 10, 3, 0}), "(255, 10, 3)");
}

TEST(HwType, NamesEveryValueAndUnknownBeyond) {
  const char* names[] = {"None", "HRC", "CNP1", "CNP2", "FNP2", "FNP3",
                         "SKIP_DMA_STORE", "TNP_B", "TNP_R", "SKIP_DMA_LOAD", "DMA"};
  for (uint32_t v = 0; v <= 10; ++v) EXPECT_STREQ(hw::to_string(static_cast<Type>(v)), names[v]);
  EXPECT_STREQ(hw::to_string(static_cast<Type>(11)), "Unknown");
  EXPECT_STREQ(hw::to_string(static_cast<Type>(0xFFFFFFFFu)), "Unknown");
}

TEST(IpVersionName, NamesAndNoneOutsideRange) {
  EXPECT_STREQ(ip_version_name(IpVersion::v1), "v1");
  EXPECT_STREQ(ip_version_name(IpVersion::v2), "v2");
  EXPECT_STREQ(ip_version_name(IpVersion::mivo), "mivo");
  EXPECT_STREQ(ip_version_name(IpVersion::none), "none");
  EXPECT_STREQ(ip_version_name(static_cast<IpVersion>(4)), "none");
}

TEST(HwVersion, WordLayoutVendorLowMinorHigh) {
  const HwVersion v{0xBC, 0xA2, 0x01, 0x03};
  EXPECT_EQ(v.to_word(), 0x0301A2BCu);
  EXPECT_EQ(HwVersion::from_word(0x0301A2BCu), v);
}

TEST(HwVersion, ProductIdTable) {
  struct Row {
    uint8_t product;
    IpVersion expected;
  } rows[] = {{0x00, IpVersion::v1}, {0xA1, IpVersion::v1}, {0xA2, IpVersion::v2},
              {0xB1, IpVersion::mivo}, {0xA3, IpVersion::none}, {0x01, IpVersion::none},
              {0xFF, IpVersion::none}};
  for (const auto& row : rows) {
    for (uint8_t vendor : {0x00, 0xBC, 0xFF}) {
      const HwVersion v{vendor, row.product, 7, 9};
      EXPECT_EQ(v.get_ip_version(), row.expected) << int(row.product) << " vendor " << int(vendor);
    }
  }
}

TEST(Device, IpVersionFollowsProductId) {
  EXPECT_EQ(testing::make_device(0x00, 0, 0, 0x12)->get_ip_version(), IpVersion::v1);
  EXPECT_EQ(testing::make_device(0xA2)->get_ip_version(), IpVersion::v2);
  EXPECT_EQ(testing::make_device(0xB1)->get_ip_version(), IpVersion::mivo);
  EXPECT_EQ(testing::make_device(0xA3)->get_ip_version(), IpVersion::none);
}

np::Info info(Ident ident, bool lut) { return np::Info{ident, {Type::CNP1, Type::CNP2}, lut}; }

TEST(Mesh, TakesSramSizeOfItsGeneration) {
  const std::vector<np::Info> nps{info({1, 1, 0, 0}, true), info({1, 1, 1, 0}, false)};
  const Mesh v2(IpVersion::v2, {1, 0, 0, 0}, {2, 0, 0, 0}, info({0, 0, 0, 0}, true), nps, {});
  EXPECT_EQ(v2.np_sram_size, (SramSize{65536, 51200, 0, 0, 0, 0}));
  EXPECT_EQ(v2.nps, nps);
  EXPECT_EQ(v2.dma_conf, (Ident{2, 0, 0, 0}));
  EXPECT_EQ(testing::empty_mesh(IpVersion::v1).np_sram_size, SramSize_v1);
  EXPECT_EQ(testing::empty_mesh(IpVersion::mivo).np_sram_size,
            (SramSize{0, 0, 448, 8192, 892, 256}));
}

TEST(Mesh, RefusesAnInvalidVersion) {
  for (auto bad : {IpVersion::none, static_cast<IpVersion>(4)}) {
    try {
      testing::empty_mesh(bad);
      FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "The mesh should have a valid IP version.");
    }
  }
}

TEST(Mesh, LutOnAllNps) {
  auto mesh = [](std::optional<np::Info> hrc, std::vector<np::Info> nps,
                 std::vector<np::Info> skip = {}) {
    return Mesh(IpVersion::v2, {}, {}, std::move(hrc), std::move(nps), std::move(skip));
  };
  EXPECT_TRUE(mesh(std::nullopt, {}).has_lut_on_all_nps());
  EXPECT_TRUE(mesh(info({}, true), {info({1, 1, 0, 0}, true)}).has_lut_on_all_nps());
  // An HRC without LUT fails whatever the NPs.
  EXPECT_FALSE(mesh(info({}, false), {}).has_lut_on_all_nps());
  EXPECT_FALSE(mesh(info({}, false), {info({1, 1, 0, 0}, true)}).has_lut_on_all_nps());
  EXPECT_FALSE(
      mesh(std::nullopt, {info({1, 1, 0, 0}, true), info({1, 1, 1, 0}, false)}).has_lut_on_all_nps());
  // Skip-DMA engines do not count.
  EXPECT_TRUE(mesh(std::nullopt, {info({1, 1, 0, 0}, true)}, {info({1, 2, 0, 2}, false)})
                  .has_lut_on_all_nps());
}

TEST(Component, EqualityIgnoresOnlyTheBufferMode) {
  hw::Component a{Type::CNP2, {1, 1, 0, 0}, hw::NpPart{0, 8, {0, 0, Shape{4, 4, 3}}, {}, false},
                  {}};
  hw::Component b = a;
  b.np_part->single_buffer = true;
  EXPECT_EQ(a, b);
  b.np_part->input_region.x = 1;
  EXPECT_NE(a, b);
  hw::Component c = a;
  c.np_part.reset();
  EXPECT_NE(a, c);
  c = a;
  c.mem_info.evsram_32b_size = 1;
  EXPECT_NE(a, c);
}

}  // namespace
}  // namespace qalto
