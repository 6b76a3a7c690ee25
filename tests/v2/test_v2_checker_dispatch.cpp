#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "../mapping/fake_device.hpp"
#include "../support/graph_builder.hpp"
#include "program/record.hpp"
#include "v2/compatibility_checker.hpp"
#include "v2/io_recorder.hpp"
#include "v2/layer_checks.hpp"
#include "v2/layer_recorder.hpp"
#include "v2/memory_sizer.hpp"

namespace qalto {
namespace {

std::string runtime_error_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no exception>";
}

class V2Dispatch : public ::testing::Test {
 protected:
  std::shared_ptr<testing::FakeDevice> device = testing::make_device(0xA2);
  HardwareConstraints constraints = make_hardware_constraints(IpVersion::v2, device->mesh());
  v2::CompatibilityCheckerImpl checker{*device, constraints};
  testing::GraphBuilder g;
  std::shared_ptr<Layer> in = g.input("in", 8, 8, 16);

  MappingStatus check(const Layer& layer) const {
    return checker.check_layer_compatibility(layer, nullptr, device->version());
  }
};

TEST_F(V2Dispatch, CnpKindsAndAddGoToTheirChecks) {
  // Kernel 2 breaks each convolution check differently, so equal statuses show the dispatch.
  const auto conv = g.add(LayerType::Conv2D, "conv", {{"filters", 16}, {"kernel_size", 2}}, {in});
  const auto dw = g.add(LayerType::DepthwiseConv2D, "dw", {{"kernel_size", 2}}, {in});
  const auto tconv =
      g.add(LayerType::Conv2DTranspose, "tconv", {{"filters", 16}, {"kernel_size", 2}}, {in});
  const auto tdw = g.add(LayerType::DepthwiseConv2DTranspose, "tdw", {{"kernel_size", 2}}, {in});
  const auto c1 = g.conv("c1", {in});
  const auto c2 = g.conv("c2", {in});
  const auto add = g.join("add", {c1, c2});

  EXPECT_EQ(check(*conv), v2::check_conv2d_constraints(constraints, *conv));
  EXPECT_NE(check(*conv).message.find("Kernel size must be 1, 3, 5 or 7."), std::string::npos);
  EXPECT_EQ(check(*dw), v2::check_dwconv2d_constraints(constraints, *dw));
  EXPECT_NE(check(*dw).message.find("Kernel size must be 3, 5 or 7."), std::string::npos);
  EXPECT_EQ(check(*tconv), v2::check_conv2dtranspose_constraints(constraints, *tconv));
  EXPECT_NE(check(*tconv).message.find("Kernel size must be 3 or 4."), std::string::npos);
  EXPECT_EQ(check(*tdw), v2::check_dwconv2dtranspose_constraints(constraints, *tdw));
  EXPECT_EQ(check(*add), v2::check_add_constraints(*add));
  const auto cat = g.add(LayerType::Concatenate, "cat", {}, {c1, c2});
  EXPECT_EQ(check(*cat), v2::check_concatenate_constraints(*cat));
  // No merge layer follows the Add: its own check says so.
  EXPECT_NE(check(*add).message.find("Must be followed by a merge layer."), std::string::npos);
  EXPECT_EQ(check(*c1), MappingStatus::success());
}

TEST_F(V2Dispatch, LayersWithoutHardwarePass) {
  const auto q = g.add(LayerType::Quantizer, "q", {}, {in});
  const auto d = g.add(LayerType::Dequantizer, "d", {}, {in});
  for (const auto& layer : {in, q, d}) {
    EXPECT_EQ(check(*layer), MappingStatus::success()) << layer->get_name();
  }
}

// A join maps only in the shape the skip DMA carries: two inputs from NP layers or joins, and
// a merge layer after it. Each shape is built with its join named "cat" (or "add").
TEST_F(V2Dispatch, JoinShapes) {
  using testing::LayerPtr;
  using Build = std::function<LayerPtr(testing::GraphBuilder&, const LayerPtr&)>;
  auto concat = [](testing::GraphBuilder& b, const std::vector<LayerPtr>& inputs) {
    return b.add(LayerType::Concatenate, "cat", {}, inputs);
  };
  auto merged = [](testing::GraphBuilder& b, const LayerPtr& join) {
    b.conv("merge", {join});
    return join;
  };
  const struct {
    const char* shape;
    Build build;
    const char* message;  // empty: the join maps
  } cases[] = {
      {"two inputs",
       [&](auto& b, const auto& x) {
         return merged(b, concat(b, {b.conv("c1", {x}), b.conv("c2", {x})}));
       },
       ""},
      {"one input twice",
       [&](auto& b, const auto& x) {
         const auto c1 = b.conv("c1", {x});
         return merged(b, concat(b, {c1, c1}));
       },
       ""},
      {"three inputs",
       [&](auto& b, const auto& x) {
         const auto c1 = b.conv("c1", {x});
         const auto c2 = b.conv("c2", {c1});
         return merged(b, concat(b, {c1, c2, b.conv("c3", {c2})}));
       },
       "Must join exactly two inbound layers, got 3."},
      {"the model input",
       [&](auto& b, const auto& x) { return merged(b, concat(b, {b.conv("c1", {x}), x})); },
       "Inbounds must be of types Conv, Add or Concat."},
      {"into an Add",
       [&](auto& b, const auto& x) {
         const auto c1 = b.conv("c1", {x});
         const auto cat = concat(b, {c1, b.conv("c2", {c1})});
         merged(b, b.join("add", {cat, b.conv("c3", {c1}, 2 * 16)}));
         return cat;
       },
       "Must be followed by a merge layer."},
      {"into a Concatenate",
       [&](auto& b, const auto& x) {
         const auto c1 = b.conv("c1", {x});
         const auto cat = concat(b, {c1, b.conv("c2", {c1})});
         merged(b, b.add(LayerType::Concatenate, "outer", {}, {cat, b.conv("c3", {c1})}));
         return cat;
       },
       "Must be followed by a merge layer."},
      {"an Add of the model input",
       [&](auto& b, const auto& x) { return merged(b, b.join("add", {x, b.conv("c1", {x})})); },
       "Inbounds must be of types Conv, Add or Concat."},
  };
  for (const auto& c : cases) {
    testing::GraphBuilder b;
    const auto x = b.input("in", 8, 8, 16);
    const auto join = c.build(b, x);
    const MappingStatus status = check(*join);
    if (std::string(c.message).empty()) {
      EXPECT_EQ(status, MappingStatus::success()) << c.shape;
    } else {
      EXPECT_EQ(status.layer, join->get_name()) << c.shape;
      EXPECT_NE(status.message.find(c.message), std::string::npos)
          << c.shape << ": " << status.message;
    }
  }
}

TEST_F(V2Dispatch, KindsV2CannotProgramFailByName) {
  const std::pair<LayerType, testing::Params> kinds[] = {
      {LayerType::Dense1D, {{"units", 4}}},
      {LayerType::FullyConnected, {{"units", 4}}},
      {LayerType::InputConv2D, {{"filters", 4}}},
      {LayerType::BufferTempConv, {{"filters", 4}}},
      {LayerType::DepthwiseBufferTempConv, {}},
      {LayerType::StatefulRecurrent, {{"units", 4}}},
      {LayerType::Convolutional, {{"filters", 4}}},
      {LayerType::MivoPostProcessing, {}},
  };
  for (const auto& [type, params] : kinds) {
    const auto layer = Layer::create(*LayerParams::create(type, params), "odd");
    const MappingStatus status = check(*layer);
    EXPECT_TRUE(status.failed);
    EXPECT_EQ(status.layer, "odd");
    EXPECT_EQ(status.message,
              std::string("Layer type ") + layer_type_name(type) + " is not supported on v2.");
  }
}

TEST_F(V2Dispatch, UninspectableLayerFailsInsteadOfThrowing) {
  const auto loose = Layer::create(*LayerParams::create(LayerType::Conv2D, {{"filters", 4}}),
                                   "loose");
  MappingStatus status;
  ASSERT_NO_THROW(status = check(*loose));
  EXPECT_TRUE(status.failed);
  EXPECT_EQ(status.message, "Cannot get input size before it is set.");
}

TEST_F(V2Dispatch, SequencesPassAndNpsMayNotRepeat) {
  const auto conv = g.conv("conv", {in});
  EXPECT_EQ(checker.check_layer_sequence(g.layers.begin(), g.layers.end(), device->version()),
            MappingStatus::success());
  hw::Component a{hw::Type::CNP2, hw::Ident{1, 2, 0, 0}, std::nullopt, {}};
  hw::Component b{hw::Type::CNP2, hw::Ident{1, 2, 1, 0}, std::nullopt, {}};
  EXPECT_EQ(checker.check_layer_mappings(*conv, {a, b}, false), MappingStatus::success());
  const MappingStatus twice = checker.check_layer_mappings(*conv, {a, b, a}, true);
  EXPECT_TRUE(twice.failed);
  EXPECT_EQ(twice.to_string(),
            "Cannot map layer 'conv'. The CNP2 (1, 2, 0) channel 0 is given twice to one layer.");
  // One NP as CNP1 and CNP2 is still one NP.
  hw::Component a_as_cnp1{hw::Type::CNP1, a.ident, std::nullopt, {}};
  EXPECT_TRUE(checker.check_layer_mappings(*conv, {a, a_as_cnp1}, false).failed);

  // The store and load sides of one skip-DMA channel are separate: the first layer of a pass
  // may load one skip connection and store the next on the same channel.
  const hw::Ident channel{9, 2, 0, 1};
  hw::Component store{hw::Type::SKIP_DMA_STORE, channel, std::nullopt, {}};
  hw::Component load{hw::Type::SKIP_DMA_LOAD, channel, std::nullopt, {}};
  EXPECT_EQ(checker.check_layer_mappings(*conv, {a, store, load}, true), MappingStatus::success());
  EXPECT_EQ(checker.check_layer_mappings(*conv, {a, store, store}, true).message,
            "The SKIP_DMA_STORE (9, 2, 0) channel 1 is given twice to one layer.");
  EXPECT_EQ(checker.check_layer_mappings(*conv, {a, load, load}, true).message,
            "The SKIP_DMA_LOAD (9, 2, 0) channel 1 is given twice to one layer.");
}

TEST_F(V2Dispatch, WeightsFitFromTheWeightFormats) {
  ASSERT_EQ(constraints.np_weight_words, 4096u);
  // Kernel 3, 8 bits: container F8 x 6 / 8 words per input channel; 128 channels.
  const auto wide = g.add(LayerType::InputData, "wide",
                          {{"input_width", 8}, {"input_height", 8}, {"input_channels", 128}}, {});
  const auto conv = g.conv("conv", {wide}, 64);
  EXPECT_TRUE(checker.is_weights_size_fit_np(*conv, 40));   // 30 x 128 = 3840
  EXPECT_FALSE(checker.is_weights_size_fit_np(*conv, 48));  // 36 x 128 = 4608
  // Depthwise kernel 3: one word per channel, whatever the input channels.
  const auto dw = g.add(LayerType::DepthwiseConv2D, "dw", {}, {wide});
  EXPECT_TRUE(checker.is_weights_size_fit_np(*dw, 4096));
  EXPECT_FALSE(checker.is_weights_size_fit_np(*dw, 4097));

  // With unlimited weight memory the container register is the limit.
  HardwareConstraints roomy = constraints;
  roomy.np_weight_words = std::numeric_limits<uint32_t>::max();
  const v2::CompatibilityCheckerImpl big{*device, roomy};
  EXPECT_TRUE(big.is_weights_size_fit_np(*dw, 0x3FFFF));
  EXPECT_FALSE(big.is_weights_size_fit_np(*dw, 0x40000));

  const auto dense = g.add(LayerType::Dense1D, "dense", {{"units", 4}}, {wide});
  EXPECT_EQ(runtime_error_text([&] { checker.is_weights_size_fit_np(*dense, 4); }),
            "Layer type Dense1D is not supported on v2.");
  EXPECT_EQ(runtime_error_text([&] { checker.is_fnp3_compatible(*dense); }),
            "Layer type Dense1D is not supported on v2.");
}

TEST_F(V2Dispatch, MemoryFiguresFromShapes) {
  const v2::MemorySizerImpl sizer;
  const auto wide = g.input("wide", 32, 8, 16);
  const auto conv = g.conv("conv", {wide}, 8);
  hw::Component np{hw::Type::CNP2, hw::Ident{1, 1, 0, 0}, hw::NpPart{}, {}};
  np.np_part->filters = 8;
  np.np_part->input_region = NpSpace{0, 0, Shape{32, 8, 16}};
  // 32 bytes per channel row, 16 channels: 128 words per row, 8 rows.
  EXPECT_EQ(sizer.get_input_memory_size(conv, np, wide), 4096u);
  // Kernel 3, 8 filters: 6 words per channel x 16 = 96 words = 1200 bytes.
  EXPECT_EQ(sizer.get_weight_memory_size(conv, np), 1200u);
  // Behind an Add, the NP keeps 512 words aside.
  const auto c2 = g.conv("c2", {wide});
  const auto add = g.join("add", {g.conv("c1", {wide}), c2});
  const auto merge = g.conv("merge", {add}, 8);
  EXPECT_EQ(sizer.get_input_memory_size(merge, np, wide), 4096u + 2048u);

  const hw::Component store{hw::Type::SKIP_DMA_STORE, {}, std::nullopt, {}};
  EXPECT_EQ(sizer.get_external_memory_size(conv, store, false, true), 32u * 8 * 8);
  EXPECT_EQ(sizer.get_external_memory_size(conv, np, false, true), 0u);
  EXPECT_EQ(sizer.get_input_memory_size(conv, store, wide), 0u);

  const auto dense = g.add(LayerType::Dense1D, "dense", {{"units", 4}}, {wide});
  EXPECT_EQ(runtime_error_text([&] { sizer.get_weight_memory_size(dense, np); }),
            "Layer type Dense1D is not supported on v2.");
  // A region too large for 32-bit byte counts is refused, not wrapped.
  np.np_part->input_region = NpSpace{0, 0, Shape{4096, 4096, 2048}};
  EXPECT_THROW(sizer.get_input_memory_size(conv, np, wide), std::overflow_error);
}

TEST_F(V2Dispatch, InputStageAndEpgCarryNoInventedRegisters) {
  const v2::IoRecorderImpl io(*device);
  const auto record = io.record_scc(true, true, false, true, false, Shape{8, 8, 16}, Shape{4});
  ASSERT_TRUE(record);
  EXPECT_EQ(record->version, device->version());
  EXPECT_TRUE(record->tracks.empty());
  EXPECT_TRUE(io.record_epg(*in, 1, 2, 1, false, true, true).empty());
}

TEST_F(V2Dispatch, LayerRecorderDispatchAndRefusals) {
  const v2::LayerRecorderImpl recorder(*device, constraints);
  const auto dense = g.add(LayerType::Dense1D, "dense", {{"units", 4}}, {in});
  EXPECT_EQ(runtime_error_text([&] {
              recorder.record_layer(*dense, in.get(), nullptr, false, false, {}, false, false);
            }),
            "Layer type Dense1D is not supported on v2.");
  const auto record = recorder.record_layer(*in, in.get(), nullptr, false, false, {}, false, false);
  ASSERT_TRUE(record);
  EXPECT_TRUE(record->tracks.empty());
  EXPECT_EQ(record->version, device->version());
  // A Conv2D reaches the CNP recorder, which needs the layer's mapping.
  const auto conv = g.conv("conv", {in});
  EXPECT_NE(runtime_error_text([&] {
              recorder.record_layer(*conv, in.get(), nullptr, false, false, {}, false, false);
            }).find("Cannot map layer 'conv'."),
            std::string::npos);
  EXPECT_EQ(runtime_error_text([&] { recorder.record_learning_layer(*conv, false); }),
            "Learning not implemented on v2.");
  EXPECT_EQ(runtime_error_text([&] { recorder.sync_learning_vars(conv); }),
            "Learning not implemented on v2.");
}

}  // namespace
}  // namespace qalto
