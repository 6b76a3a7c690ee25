#include <gtest/gtest.h>

#include <stdexcept>

#include "mapping/fake_device.hpp"
#include "qalto/map_constraints.hpp"

namespace qalto {
namespace {

using testing::make_device;

template <typename F>
std::string invalid_argument_text(F&& f) {
  try {
    f();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "<no invalid_argument>";
}

TEST(MapConstraints, RefusesNullDeviceAndUnknownProduct) {
  EXPECT_EQ(invalid_argument_text([] { MapConstraints c(nullptr); }),
            "Invalid device passed to MapConstraints.");
  EXPECT_EQ(invalid_argument_text([] { MapConstraints c(make_device(0xA3)); }),
            "Unsupported IP version in MapConstraints constructor.");
}

TEST(MapConstraints, DefaultsPerGeneration) {
  struct Row {
    uint8_t product;
    IpVersion ip;
    uint32_t width, height, filters;
  } rows[] = {{0xA2, IpVersion::v2, 64, 256, 512},
              {0x00, IpVersion::v1, 32, 256, 512},
              {0xA1, IpVersion::v1, 32, 256, 512},
              {0xB1, IpVersion::mivo, 0, 0, 0}};
  for (const auto& row : rows) {
    const MapConstraints c(make_device(row.product));
    EXPECT_EQ(c.ip_version(), row.ip);
    EXPECT_EQ(c.cnp_max_width_default(), row.width);
    EXPECT_EQ(c.cnp_max_height_default(), row.height);
    EXPECT_EQ(c.cnp_max_filters_default(), row.filters);
    EXPECT_EQ(c.cnp_max_width(), row.width);
    EXPECT_EQ(c.cnp_max_height(), row.height);
    EXPECT_EQ(c.cnp_max_filters(), row.filters);
    EXPECT_FALSE(c.hwpr_loopitself());
  }
}

TEST(MapConstraints, ReducedFiltersOnlyForOneV1Version) {
  EXPECT_EQ(MapConstraints(make_device(0x00, 0, 2, 0xBC)).cnp_max_filters(), 504u);
  EXPECT_EQ(MapConstraints(make_device(0x00, 0, 2, 0xBC)).cnp_max_filters_default(), 504u);
  EXPECT_EQ(MapConstraints(make_device(0x00, 0, 1, 0xBC)).cnp_max_filters(), 512u);
  EXPECT_EQ(MapConstraints(make_device(0x00, 1, 2, 0xBC)).cnp_max_filters(), 512u);
  EXPECT_EQ(MapConstraints(make_device(0x00, 0, 2, 0xBD)).cnp_max_filters(), 512u);
  EXPECT_EQ(MapConstraints(make_device(0xA1, 0, 2, 0xBC)).cnp_max_filters(), 512u);
}

TEST(MapConstraints, LimitsAcceptUpToTheDefault) {
  MapConstraints c(make_device(0xA2));
  c.set_cnp_max_width(64);
  c.set_cnp_max_height(256);
  c.set_cnp_max_filters(512);
  c.set_cnp_max_width(0);  // no lower bound
  EXPECT_EQ(c.cnp_max_width(), 0u);
  c.set_cnp_max_width(17);
  EXPECT_EQ(invalid_argument_text([&] { c.set_cnp_max_width(65); }),
            "CNP max width should be <= 64. Receives 65.");
  EXPECT_EQ(invalid_argument_text([&] { c.set_cnp_max_height(257); }),
            "CNP max height should be <= 256. Receives 257.");
  EXPECT_EQ(invalid_argument_text([&] { c.set_cnp_max_filters(4294967295u); }),
            "CNP max filters should be <= 512. Receives 4294967295.");
  // A refused value leaves the current one.
  EXPECT_EQ(c.cnp_max_width(), 17u);
  EXPECT_EQ(c.cnp_max_height(), 256u);
  EXPECT_EQ(c.cnp_max_filters(), 512u);

  MapConstraints reduced(make_device(0x00, 0, 2, 0xBC));
  reduced.set_cnp_max_filters(504);
  EXPECT_EQ(invalid_argument_text([&] { reduced.set_cnp_max_filters(505); }),
            "CNP max filters should be <= 504. Receives 505.");
}

TEST(MapConstraints, MivoAcceptsOnlyZero) {
  MapConstraints c(make_device(0xB1));
  c.set_cnp_max_height(0);
  EXPECT_EQ(invalid_argument_text([&] { c.set_cnp_max_height(1); }),
            "CNP max height should be <= 0. Receives 1.");
}

TEST(MapConstraints, LoopItselfOnlyOnV2) {
  MapConstraints v2(make_device(0xA2));
  v2.set_hwpr_loopitself(true);
  EXPECT_TRUE(v2.hwpr_loopitself());
  v2.set_hwpr_loopitself(false);
  EXPECT_FALSE(v2.hwpr_loopitself());
  for (uint8_t product : {0x00, 0xB1}) {
    MapConstraints c(make_device(product));
    c.set_hwpr_loopitself(false);
    EXPECT_EQ(invalid_argument_text([&] { c.set_hwpr_loopitself(true); }),
              "HWPR NP loopitself feature is only supported for IP v2.");
    EXPECT_FALSE(c.hwpr_loopitself());
  }
}

TEST(MapConstraints, DefaultSelectTakesTheFirstCandidates) {
  const MapConstraints c(make_device(0xA2));
  const std::vector<hw::Ident> candidates{{1, 1, 0, 0}, {1, 1, 1, 0}, {2, 1, 0, 0}};
  EXPECT_TRUE(c.select_nps(candidates, 0, hw::Type::CNP1).empty());
  EXPECT_EQ(c.select_nps(candidates, 2, hw::Type::CNP1),
            (std::vector<hw::Ident>{{1, 1, 0, 0}, {1, 1, 1, 0}}));
  EXPECT_EQ(c.select_nps(candidates, 1000, hw::Type::FNP3), candidates);
  EXPECT_EQ(c.select_nps(candidates, UINT64_MAX, hw::Type::FNP3), candidates);
}

TEST(MapConstraints, SharesTheDevice) {
  auto device = make_device(0xA2);
  const MapConstraints c(device);
  EXPECT_EQ(c.device().get(), device.get());
  EXPECT_EQ(device.use_count(), 2);
}

}  // namespace
}  // namespace qalto
