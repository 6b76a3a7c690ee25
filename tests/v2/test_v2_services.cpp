#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "../support/graph_builder.hpp"
#include "mapping/layer_mapping.hpp"
#include "program/record.hpp"
#include "qalto/dma.hpp"
#include "v2/lut.hpp"
#include "v2/merge_shift.hpp"
#include "v2/mesh_routing.hpp"
#include "v2/np_registers.hpp"
#include "v2/skipdma_recorder.hpp"

namespace qalto {
namespace {

template <typename E = std::runtime_error>
std::string error_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<no exception>";
}

hw::Component component(hw::Type type, uint8_t col, uint8_t row, uint8_t id) {
  hw::Component c;
  c.type = type;
  c.ident = hw::Ident{col, row, id, 0};
  if (type == hw::Type::CNP1 || type == hw::Type::CNP2 || type == hw::Type::FNP3) {
    c.np_part = hw::NpPart{};
  }
  return c;
}

hw::Component cnp(uint8_t col, uint8_t row, uint8_t id) {
  return component(hw::Type::CNP2, col, row, id);
}

// ---- mesh routing ----

class MeshRouting : public ::testing::Test {
 protected:
  std::vector<uint32_t> image = v2::default_np_regs(cnp(1, 1, 0), 1, false, false);
  std::unique_ptr<AltLayerMapInfo> no_alt;

  void route(const std::vector<hw::Component>& in, const std::vector<hw::Component>& nps,
             const std::vector<hw::Component>& out, bool p2p) {
    v2::format_mesh_registers_set_output_to_NPs(&image, in, nps, out, no_alt, 2, p2p, false,
                                                false);
  }
};

TEST_F(MeshRouting, PointToPointNeedsOneSourceAndOneDestination) {
  const std::vector<hw::Component> one{cnp(1, 1, 0)};
  const std::vector<hw::Component> two{cnp(1, 1, 0), cnp(1, 1, 1)};
  EXPECT_EQ(error_text([&] { route(two, one, one, true); }),
            "Cannot use P2P IN mode for multiple NPs.");
  EXPECT_EQ(error_text([&] { route(one, one, two, true); }),
            "Cannot use P2P OUT mode for multiple NPs.");
  // Without the point-to-point mode the mesh fans in and out freely.
  const auto before = image;
  EXPECT_NO_THROW(route(two, two, two, false));
  EXPECT_NO_THROW(route(one, one, one, true));
  EXPECT_EQ(image, before);
}

TEST_F(MeshRouting, OneNpTwiceInALayerIsRefused) {
  const std::vector<hw::Component> nps{cnp(1, 2, 0), cnp(1, 2, 1), cnp(1, 2, 0)};
  EXPECT_EQ(error_text<std::invalid_argument>([&] { route({}, nps, {}, false); }),
            "The NP (1, 2, 0) is given twice to one layer.");
  // The channel byte is part of the identity.
  hw::Component other_channel = cnp(1, 2, 0);
  other_channel.ident.channel = 1;
  EXPECT_NO_THROW(route({}, {cnp(1, 2, 0), other_channel}, {}, false));
}

TEST_F(MeshRouting, NodePositionsAreCheckedBeforeAnyShift) {
  EXPECT_EQ(v2::node_position_bit(0), 1u);
  EXPECT_EQ(v2::node_position_bit(3), 8u);
  // Ids of 32 and more would be undefined shifts in 32 bits; they are field overflows.
  for (uint8_t id : {4, 31, 32, 200, 255}) {
    EXPECT_EQ(error_text([&] { v2::node_position_bit(id); }),
              "Attempted to write value " + std::to_string(id) +
                  " into a 2-bit field, which will cause an overflow.");
  }
  EXPECT_THROW(route({}, {cnp(1, 1, 32)}, {}, false), std::runtime_error);
  EXPECT_THROW(route({}, {cnp(1, 1, 0)}, {cnp(2, 1, 200)}, false), std::runtime_error);
  // Endpoints are not addressed by node position: their id byte is not checked.
  EXPECT_NO_THROW(route({}, {cnp(1, 1, 0)}, {component(hw::Type::DMA, 0, 0, 200)}, false));
}

TEST_F(MeshRouting, ImageMustBeWhole) {
  image.resize(63);
  EXPECT_THROW(route({}, {}, {}, false), std::invalid_argument);
  EXPECT_THROW(v2::format_mesh_registers_set_output_to_NPs(nullptr, {}, {}, {}, no_alt, 0, false,
                                                           false, false),
               std::invalid_argument);
}

// ---- partial reconfiguration ----

TEST(PartialReconfig, OnlySamePaddingsAreSupported) {
  testing::GraphBuilder g;
  const auto in = g.input("in");
  auto image = v2::default_np_regs(cnp(1, 1, 0), 1, false, false);
  const auto before = image;
  for (Padding padding : {Padding::Same, Padding::SameUpper}) {
    const auto next = g.add(LayerType::Conv2D, "same",
                            {{"filters", 4}, {"padding", static_cast<int32_t>(padding)}}, {in});
    EXPECT_NO_THROW(v2::update_partial_reconfig_regs(&image, *next, cnp(1, 1, 0), true));
  }
  EXPECT_EQ(image, before);
  const auto valid =
      g.add(LayerType::Conv2D, "valid", {{"filters", 4}, {"padding", 0}}, {in});
  EXPECT_EQ(error_text([&] { v2::update_partial_reconfig_regs(&image, *valid, cnp(1, 1, 0), false); }),
            "Unsupported padding.");
  // A layer without the parameter has no padding the CNP knows either.
  const auto add = g.join("add", {in, in});
  EXPECT_EQ(error_text([&] { v2::update_partial_reconfig_regs(&image, *add, cnp(1, 1, 0), false); }),
            "Unsupported padding.");
  // The next layer's NP must describe its part.
  EXPECT_THROW(v2::update_partial_reconfig_regs(&image, *valid,
                                                component(hw::Type::SKIP_DMA_LOAD, 1, 1, 0), false),
               std::invalid_argument);
}

// ---- merge shifts ----

std::shared_ptr<Dense> u8(std::vector<uint8_t> values) {
  return Dense::copy(values.data(), values.size(), TensorType::uint8,
                     Shape{static_cast<uint32_t>(values.size())});
}
std::shared_ptr<Dense> i8(std::vector<int8_t> values) {
  return Dense::copy(values.data(), values.size(), TensorType::int8,
                     Shape{static_cast<uint32_t>(values.size())});
}

TEST(MergeShift, SignedWidthsOfDifferenceAndOutput) {
  // Channel 0 is fine at the edges: 3 - 0 = 3 and 3 + 0 = 3; channel 1 needs 4 in 3 bits.
  const auto a = u8({3, 3, 20, 0});
  const auto b = u8({0, 0, 0, 15});
  const auto o = i8({0, 1, -20, -19});
  EXPECT_TRUE(v2::format_merge_layer_shift(a.get(), b.get(), o.get(), 0, 1).empty());
  EXPECT_EQ(error_text([&] { v2::format_merge_layer_shift(a.get(), b.get(), o.get(), 0, 2); }),
            "4 cannot fit in a 3-bit signed integer");
  // 20 - 0 needs 6 signed bits, before its output shift is looked at.
  EXPECT_EQ(error_text([&] { v2::format_merge_layer_shift(a.get(), b.get(), o.get(), 2, 1); }),
            "20 cannot fit in a 5-bit signed integer");
  // 0 - 15 = -15 fits; 15 - 19 = -4 fits: channels outside the range are not read.
  EXPECT_NO_THROW(v2::format_merge_layer_shift(a.get(), b.get(), o.get(), 3, 1));
}

TEST(MergeShift, TensorsAreReadTypedAndInRange) {
  const auto a = u8({1, 1});
  const auto o = i8({0, 0});
  EXPECT_THROW(v2::format_merge_layer_shift(a.get(), a.get(), nullptr, 0, 1),
               std::invalid_argument);
  // An output shift stored as uint8 is the wrong type.
  EXPECT_NE(error_text([&] { v2::format_merge_layer_shift(a.get(), a.get(), a.get(), 0, 1); })
                .find("Wrong requested type"),
            std::string::npos);
  EXPECT_NE(error_text([&] { v2::format_merge_layer_shift(a.get(), a.get(), o.get(), 1, 2); })
                .find("out-of-range"),
            std::string::npos);
  // first + count beyond 2^32 does not wrap back to channel 0.
  EXPECT_NE(error_text([&] {
              v2::format_merge_layer_shift(a.get(), a.get(), o.get(), 0xFFFFFFFFu, 2);
            }).find("out-of-range"),
            std::string::npos);
}

// ---- look-up table ----

TEST(CnpLut, SizeAndSignedWidth) {
  EXPECT_TRUE(v2::format_lut_values_for_cnp(nullptr).empty());
  auto table = Dense::create(TensorType::int16, Shape{256});
  EXPECT_NO_THROW(v2::format_lut_values_for_cnp(table.get()));
  table->data<int16_t>()[10] = -128;
  table->data<int16_t>()[11] = 127;
  EXPECT_NO_THROW(v2::format_lut_values_for_cnp(table.get()));
  table->data<int16_t>()[200] = 128;
  EXPECT_EQ(error_text([&] { v2::format_lut_values_for_cnp(table.get()); }),
            "128 cannot fit in a 8-bit signed integer");
  table->data<int16_t>()[200] = -129;
  EXPECT_EQ(error_text([&] { v2::format_lut_values_for_cnp(table.get()); }),
            "-129 cannot fit in a 8-bit signed integer");

  for (uint32_t n : {1u, 255u, 257u, 512u}) {
    const auto wrong = Dense::create(TensorType::int8, Shape{n});
    EXPECT_EQ(error_text([&] { v2::format_lut_values_for_cnp(wrong.get()); }),
              "Wrong size for LUT.");
  }
  // The shape does not matter, only the entry count.
  const auto square = Dense::create(TensorType::int8, Shape{16, 16});
  EXPECT_NO_THROW(v2::format_lut_values_for_cnp(square.get()));
  const auto fractional = Dense::create(TensorType::float32, Shape{256});
  EXPECT_THROW(v2::format_lut_values_for_cnp(fractional.get()), std::invalid_argument);
}

// ---- skip DMA ----

class SkipDma : public ::testing::Test {
 protected:
  testing::GraphBuilder g;
  std::shared_ptr<Layer> layer;
  std::shared_ptr<LayerMapping> mapping = std::make_shared<LayerMapping>();
  program::RecordPtr record = program::new_record(HwVersion::FPGA_v2);

  void SetUp() override {
    const auto in = g.input("in");
    layer = g.conv("conv", {in});
    mapping->components->push_back(cnp(1, 2, 0));
    layer->set_mapping(mapping);
  }

  void add_store(uint8_t col, uint8_t id) {
    mapping->skipdma_stores.push_back(component(hw::Type::SKIP_DMA_STORE, col, 0, id));
  }

  // The (ident, target, length) of every block of every track, in order.
  std::vector<dma::ConfigHeader> blocks() const {
    std::vector<dma::ConfigHeader> out;
    for (const auto& track : record->tracks) {
      const auto& words = track.words();
      for (size_t i = 0; i + 1 < words.size();) {
        out.push_back(dma::decode_config_header(&words[i]));
        i += 2 + out.back().length;
      }
    }
    return out;
  }
};

TEST_F(SkipDma, StoreDualStoreAndLoadInOrder) {
  add_store(3, 0);
  add_store(3, 1);
  mapping->dual_output_store = true;
  mapping->skipdma_loads.push_back(component(hw::Type::SKIP_DMA_LOAD, 4, 0, 2));
  mapping->skipdma_store_channel = std::make_unique<SkipDmaStoreChannelInfo>();
  mapping->skipdma_store_dual_output_channel = std::make_unique<SkipDmaStoreChannelInfo>();
  mapping->skipdma_load_channel = std::make_unique<SkipDmaLoadChannelInfo>();

  v2::record_skipdma(record.get(), *layer);
  const auto b = blocks();
  ASSERT_EQ(b.size(), 3u);
  const hw::Ident expected[] = {{3, 0, 0, 0}, {3, 0, 1, 0}, {4, 0, 2, 0}};
  for (size_t i = 0; i < b.size(); ++i) {
    EXPECT_EQ(b[i].target, 11u) << "block " << i;
    EXPECT_EQ(b[i].ident, expected[i]) << "block " << i;
    EXPECT_EQ(b[i].offset, 0u);
  }
  // Blocks join the record's last track, as the layer's other blocks do.
  EXPECT_EQ(record->tracks.size(), 1u);
}

TEST_F(SkipDma, NothingWithoutStoresOrLoads) {
  v2::record_skipdma(record.get(), *layer);
  EXPECT_TRUE(record->tracks.empty());
}

TEST_F(SkipDma, LoneDualOutputStoreHasNoPlainStore) {
  add_store(5, 1);
  mapping->dual_output_store = true;
  mapping->skipdma_store_dual_output_channel = std::make_unique<SkipDmaStoreChannelInfo>();
  v2::record_skipdma(record.get(), *layer);
  const auto b = blocks();
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(b[0].ident, (hw::Ident{5, 0, 1, 0}));
}

TEST_F(SkipDma, RefusalsLeaveTheRecordUntouched) {
  // A load feeds the merge on the layer's own CNPs.
  mapping->components->front() = component(hw::Type::FNP3, 1, 2, 0);
  mapping->skipdma_loads.push_back(component(hw::Type::SKIP_DMA_LOAD, 4, 0, 0));
  mapping->skipdma_load_channel = std::make_unique<SkipDmaLoadChannelInfo>();
  add_store(3, 0);
  mapping->skipdma_store_channel = std::make_unique<SkipDmaStoreChannelInfo>();
  EXPECT_EQ(error_text([&] { v2::record_skipdma(record.get(), *layer); }),
            "Merging layer has no CNPs.");
  EXPECT_TRUE(record->tracks.empty());

  mapping->components->front() = cnp(1, 2, 0);
  mapping->skipdma_load_channel.reset();
  EXPECT_EQ(error_text([&] { v2::record_skipdma(record.get(), *layer); }),
            "Cannot map layer 'conv'. The skip-DMA load has no channel.");
  EXPECT_TRUE(record->tracks.empty());

  layer->set_mapping(nullptr);
  EXPECT_EQ(error_text([&] { v2::record_skipdma(record.get(), *layer); }),
            "Cannot map layer 'conv'. The layer has no hardware mapping.");
  EXPECT_THROW(v2::record_skipdma(nullptr, *layer), std::invalid_argument);
}

TEST_F(SkipDma, TnpBFifoDistanceMustFitEightBits) {
  const auto in = g.input("in2");
  const auto tnp = g.add(LayerType::BufferTempConv, "tnp", {{"filters", 4}, {"fifo_size", 254}},
                         {in});
  auto tnp_mapping = std::make_shared<LayerMapping>();
  tnp_mapping->components->push_back(component(hw::Type::TNP_B, 1, 1, 0));
  tnp->set_mapping(tnp_mapping);
  EXPECT_NO_THROW(v2::record_skipdma(record.get(), *tnp));
  tnp->params().set("fifo_size", 255);
  EXPECT_EQ(error_text([&] { v2::record_skipdma(record.get(), *tnp); }),
            "Attempted to write value 256 into a 8-bit field, which will cause an overflow.");
}

}  // namespace
}  // namespace qalto
