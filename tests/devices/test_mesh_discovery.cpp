// Mesh discovery from the registers and NP configuration words of simulated boards.

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "mapping/mesh_discovery.hpp"
#include "qalto/hw.hpp"
#include "tests/support/simulated_board.hpp"

namespace qalto {
namespace {

using testing::MeshLayout;
using testing::SimulatedBoard;
using testing::SimulatedDevice;

std::unique_ptr<Mesh> discover(const std::shared_ptr<SimulatedBoard>& board) {
  SimulatedDevice device(board);
  return Mesh::discover(device);
}

std::string discover_error(const std::shared_ptr<SimulatedBoard>& board) {
  try {
    discover(board);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no error";
}

std::vector<hw::Ident> idents_of(const std::vector<np::Info>& infos) {
  std::vector<hw::Ident> idents;
  for (const auto& info : infos) idents.push_back(info.ident);
  return idents;
}

// The walk example: 3 columns, 2 rows, 2 NPs per node, row 1 starting at column 2.
MeshLayout walk_layout(uint8_t last_row_last_col) {
  MeshLayout layout;
  layout.rows = 2;
  layout.cols = 3;
  layout.nps_per_node = 2;
  layout.row1_first_col = 2;
  layout.row2_first_col = 0;
  layout.last_row_last_col = last_row_last_col;
  layout.dma_row = 1;
  layout.dma_col = 1;
  layout.dma_event_id = 0;
  layout.dma_conf_id = 1;
  layout.extra_row = 9;
  layout.extra_col = 9;
  return layout;
}

std::shared_ptr<SimulatedBoard> board_with_layout(const MeshLayout& layout, HwVersion version) {
  auto config = testing::v1_board(version);
  config.registers = testing::mesh_registers(layout);
  return SimulatedBoard::create(config);
}

TEST(MeshDiscoveryTest, V2ChipReportsNpsSkipDmaHrcAndSram) {
  auto board = SimulatedBoard::create(testing::v2_board());
  const auto mesh = discover(board);
  EXPECT_EQ(mesh->version, IpVersion::v2);
  EXPECT_EQ(mesh->dma_event, (hw::Ident{1, 1, 0, 0}));
  EXPECT_EQ(mesh->dma_conf, (hw::Ident{1, 1, 1, 0}));
  ASSERT_TRUE(mesh->hrc.has_value());
  EXPECT_EQ(*mesh->hrc, (np::Info{hw::Ident{}, {hw::Type::HRC}, true}));
  // The DMA node (1, 1) uses both of its ids for the endpoints.
  EXPECT_EQ(idents_of(mesh->nps),
            (std::vector<hw::Ident>{{1, 2, 0, 0}, {1, 2, 1, 0}, {2, 1, 0, 0}, {2, 1, 1, 0},
                                    {2, 2, 0, 0}, {2, 2, 1, 0}}));
  EXPECT_EQ(mesh->nps[0].types, (std::set<hw::Type>{hw::Type::CNP1, hw::Type::CNP2}));
  EXPECT_TRUE(mesh->nps[0].has_lut);
  EXPECT_EQ(mesh->nps[5].types, (std::set<hw::Type>{hw::Type::FNP3}));
  EXPECT_FALSE(mesh->nps[5].has_lut);
  ASSERT_EQ(mesh->skip_dmas.size(), 2u);
  EXPECT_EQ(mesh->skip_dmas[0].ident, (hw::Ident{1, 1, 3, 2}));
  EXPECT_EQ(mesh->skip_dmas[1].ident, (hw::Ident{2, 1, 3, 2}));
  EXPECT_EQ(mesh->skip_dmas[0].types,
            (std::set<hw::Type>{hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}));
  EXPECT_EQ(mesh->np_sram_size, (SramSize{65536, 51200, 0, 0, 0, 0}));
}

TEST(MeshDiscoveryTest, RegistersAreReadAtTheBaseInOrder) {
  auto board = SimulatedBoard::create(testing::v2_board());
  discover(board);
  EXPECT_EQ(board->log_of("read 0x"),
            (std::vector<std::string>{"read 0x1050", "read 0x1054", "read 0x1058", "read 0x1068",
                                      "read 0x1064", "read 0x1070", "read 0x1074"}));
  EXPECT_EQ(board->log_of("read_np_info").size(), 6u);
}

TEST(MeshDiscoveryTest, SkipDmaBitZeroNamesNoEngine) {
  auto config = testing::v2_board();
  config.registers[mesh::REG_SKIP_DMA] = 0x02000001;
  EXPECT_TRUE(discover(SimulatedBoard::create(config))->skip_dmas.empty());
  config.registers[mesh::REG_SKIP_DMA] = 0x0000C000;  // bits 14 and 15, no channel
  const auto mesh = discover(SimulatedBoard::create(config));
  EXPECT_EQ(idents_of(mesh->skip_dmas),
            (std::vector<hw::Ident>{{14, 1, 3, 0}, {15, 1, 3, 0}}));
}

TEST(MeshDiscoveryTest, V2WithoutHrcOrSram) {
  auto config = testing::v2_board();
  config.registers[mesh::REG_FEATURES] = 0;
  EXPECT_FALSE(discover(SimulatedBoard::create(config))->hrc.has_value());
  config.registers[mesh::REG_SRAM_0] = 0;
  EXPECT_EQ(discover_error(SimulatedBoard::create(config)), "The mesh has no SRAM.");
  config = testing::v2_board();
  config.registers[mesh::REG_SRAM_1] = 0;
  EXPECT_EQ(discover_error(SimulatedBoard::create(config)), "The mesh has no SRAM.");
}

TEST(MeshDiscoveryTest, SramSizesThatWouldWrapAreRefused) {
  auto config = testing::v2_board();
  // In 32-bit arithmetic 0x08000000 * 32 wraps to 0 and would report an input SRAM of 0.
  config.registers[mesh::REG_SRAM_0] = 0x08000000;
  EXPECT_EQ(discover(SimulatedBoard::create(config))->np_sram_size.input_bytes, 0x10000000u);
  config.registers[mesh::REG_SRAM_0] = 0xFFFFFFFF;
  EXPECT_EQ(discover_error(SimulatedBoard::create(config)), "The mesh SRAM size is out of range.");
}

TEST(MeshDiscoveryTest, V1ChipHasAnHrcWithoutLutAndV1Sram) {
  auto config = testing::v1_board();
  config.np_words[{1, 2, 0, 0}] = 0x300;  // TNP bits mean nothing on v1
  const auto mesh = discover(SimulatedBoard::create(config));
  EXPECT_EQ(mesh->version, IpVersion::v1);
  ASSERT_TRUE(mesh->hrc.has_value());
  EXPECT_EQ(*mesh->hrc, (np::Info{hw::Ident{}, {hw::Type::HRC}, false}));
  EXPECT_TRUE(mesh->skip_dmas.empty());
  EXPECT_EQ(mesh->np_sram_size, SramSize_v1);
  ASSERT_EQ(mesh->nps.size(), 6u);
  EXPECT_TRUE(mesh->nps[0].types.empty());  // kept although it serves no type
}

TEST(MeshDiscoveryTest, TnpBitsCountOnV2Only) {
  auto config = testing::v2_board();
  config.np_words[{1, 2, 0, 0}] = 0x300;
  const auto mesh = discover(SimulatedBoard::create(config));
  EXPECT_EQ(mesh->nps[0].types, (std::set<hw::Type>{hw::Type::TNP_B, hw::Type::TNP_R}));
}

TEST(MeshDiscoveryTest, MivoChipHasOneTnpRAndTheSramItReports) {
  auto config = testing::mivo_board();
  config.registers[mesh::REG_SRAM_2] = 1000;
  const auto mesh = discover(SimulatedBoard::create(config));
  EXPECT_EQ(mesh->version, IpVersion::mivo);
  EXPECT_FALSE(mesh->hrc.has_value());
  ASSERT_EQ(mesh->nps.size(), 1u);
  EXPECT_EQ(mesh->nps[0], (np::Info{hw::Ident{}, {hw::Type::TNP_R}, false}));
  EXPECT_TRUE(mesh->skip_dmas.empty());
  EXPECT_EQ(mesh->np_sram_size, (SramSize{0, 0, 448, 8192, 1000, 256}));
}

TEST(MeshDiscoveryTest, UnknownProductIsRefused) {
  auto config = testing::v1_board(HwVersion{0xBC, 0xA3, 0, 0});
  EXPECT_EQ(discover_error(SimulatedBoard::create(config)), "Unknown IP version.");
}

TEST(MeshDiscoveryTest, WalkSkipsDmaNodeAndColumnsOutsideTheRows) {
  const auto mesh = discover(board_with_layout(walk_layout(3), HwVersion::QTX7700_v1));
  EXPECT_EQ(idents_of(mesh->nps),
            (std::vector<hw::Ident>{{1, 2, 0, 0}, {1, 2, 1, 0}, {2, 1, 0, 0}, {2, 1, 1, 0},
                                    {2, 2, 0, 0}, {2, 2, 1, 0}, {3, 1, 0, 0}, {3, 1, 1, 0},
                                    {3, 2, 0, 0}, {3, 2, 1, 0}}));
  const auto shorter = discover(board_with_layout(walk_layout(2), HwVersion::QTX7700_v1));
  EXPECT_EQ(shorter->nps.size(), 8u);
  EXPECT_EQ(shorter->nps.back().ident, (hw::Ident{3, 1, 1, 0}));
}

TEST(MeshDiscoveryTest, WalkTakesExtraNodeAndOnlyFreeIdsOfTheDmaNode) {
  MeshLayout layout = walk_layout(1);
  layout.nps_per_node = 3;    // id 2 of the DMA node is free
  layout.extra_row = 2;
  layout.extra_col = 3;       // beyond the last column of the last row, but taken in full
  const auto mesh = discover(board_with_layout(layout, HwVersion::QTX7700_v1));
  const auto idents = idents_of(mesh->nps);
  EXPECT_EQ(idents.front(), (hw::Ident{1, 1, 2, 0}));
  EXPECT_EQ(std::count(idents.begin(), idents.end(), hw::Ident{3, 2, 2, 0}), 1);
  EXPECT_EQ(std::count(idents.begin(), idents.end(), hw::Ident{2, 2, 0, 0}), 0);
  layout.dma_node_empty = true;
  const auto empty_dma = discover(board_with_layout(layout, HwVersion::QTX7700_v1));
  EXPECT_NE(empty_dma->nps.front().ident, (hw::Ident{1, 1, 2, 0}));
}

TEST(MeshDiscoveryTest, FirstChipRevisionTwoHasAFullLastRow) {
  // Register 0x58 says the last row ends at column 2; revision BC.00.000.002 ignores it.
  const auto vrox2 = discover(board_with_layout(walk_layout(2), HwVersion::Vrox_v2));
  EXPECT_EQ(vrox2->nps.size(), 10u);
  const auto vrox1 = discover(board_with_layout(walk_layout(2), HwVersion::Vrox_v1));
  EXPECT_EQ(vrox1->nps.size(), 8u);
}

TEST(MeshDiscoveryTest, LargestGridDoesNotWrapItsCounters) {
  MeshLayout layout;
  layout.rows = 255;
  layout.cols = 255;
  layout.nps_per_node = 1;
  layout.last_row_last_col = 255;
  layout.dma_row = 1;
  layout.dma_col = 1;
  layout.dma_node_empty = true;
  const auto mesh = discover(board_with_layout(layout, HwVersion::QTX7700_v1));
  EXPECT_EQ(mesh->nps.size(), 255u * 255u - 1u);
  EXPECT_EQ(mesh->nps.back().ident, (hw::Ident{255, 255, 0, 0}));
}

TEST(MeshDiscoveryTest, DriverProblemsReachTheCaller) {
  auto config = testing::v2_board();
  config.has_driver = false;
  EXPECT_EQ(discover_error(SimulatedBoard::create(config)), "The device has no driver.");
  auto board = SimulatedBoard::create(testing::v2_board());
  board->fail("read", "bus error", 1);
  EXPECT_EQ(discover_error(board), "bus error");
  board->fail("read_np_info", "np error", 1);
  EXPECT_EQ(discover_error(board), "np error");
}

}  // namespace
}  // namespace qalto
