// Published networks mapped on virtual v2 meshes through Model::map: the convolutional part
// lands on NPs in one multi-pass hardware sequence whose program the engine's reader accepts,
// and what is left to software reads only what a run can give it.
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>

#include "mapping/hardware_backend.hpp"
#include "mapping/layer_mapping.hpp"
#include "program_generated.h"
#include "qalto/program_info.hpp"
#include "qalto/software.hpp"
#include "support/published_networks.hpp"

namespace qalto {
namespace {

using testing::mesh_device;

struct Network {
  const char* name;
  std::unique_ptr<Model> (*build)(bool classifier);
  uint8_t cols, rows;
};

const Network kNetworks[] = {
    {"MobileNetV2", [](bool classifier) { return testing::mobilenet_v2(classifier); }, 8, 4},
    {"ResNet20", [](bool classifier) { return testing::resnet(3, classifier); }, 4, 4},
};

// Failures name the network rather than dump its bytes.
void PrintTo(const Network& net, std::ostream* out) { *out << net.name; }

bool runs_on_nps(const Layer& layer) {
  return layer.type() != LayerType::InputData && layer.type() != LayerType::Add;
}

// Maps, turning a refusal into a test failure that shows the mapping's message.
::testing::AssertionResult map_model(Model& model, const Network& net, bool hw_only) {
  register_hardware_backend();
  try {
    model.map(mesh_device(net.cols, net.rows), hw_only, nullptr);
  } catch (const std::exception& e) {
    return ::testing::AssertionFailure() << net.name << " does not map: " << e.what();
  }
  return ::testing::AssertionSuccess();
}

// How many layers the hardware sequences of a mapping hold, inputs included.
size_t layers_on_hardware(const Model& model) {
  size_t count = 0;
  for (const auto& sequence : model.sequences()) {
    if (sequence->backend() != BackendType::Hardware) continue;
    for (const auto& pass : sequence->passes()) count += pass->layers.size();
  }
  return count;
}

// The text of the error a hardware-only mapping raises; empty when it maps.
std::string hw_only_error(Model& model, const std::shared_ptr<Device>& device) {
  try {
    model.map(device, /*hw_only=*/true, nullptr);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

void expect_on_nps(const Layer& layer) {
  const auto mapping = layer_mapping_of(layer);
  EXPECT_TRUE(mapping && !mapping->nps().empty()) << layer.get_name() << " is not on NPs";
}

// A run hands a software layer only the model's input, outputs of software layers and the
// output of the last layer of the hardware sequence before it.
void expect_software_reads_what_a_run_gives(const Model& model) {
  const auto& sequences = model.sequences();
  ASSERT_GE(sequences.size(), 1u);
  ASSERT_EQ(sequences.front()->backend(), BackendType::Hardware);
  const auto hardware_last = sequences.front()->passes().back()->layers.back();
  std::set<std::shared_ptr<Layer>> software;
  for (size_t s = 1; s < sequences.size(); ++s) {
    ASSERT_EQ(sequences[s]->backend(), BackendType::Software) << "sequence " << s;
    for (const auto& pass : sequences[s]->passes()) {
      for (const auto& layer : pass->layers) {
        for (const auto& from : layer->inbound_layers()) {
          EXPECT_TRUE(from->type() == LayerType::InputData || from == hardware_last ||
                      software.count(from))
              << layer->get_name() << " reads " << from->get_name()
              << ", an output the hardware sequence does not return";
        }
        software.insert(layer);
      }
    }
  }
}

TEST(PublishedNetworkBuilders, FollowThePublishedStructures) {
  const auto count = [](const Model& model) {
    std::map<LayerType, int> counts;
    for (const auto& layer : model.layers()) ++counts[layer->type()];
    return counts;
  };
  const auto shape = [](const Model& model, const std::string& name) {
    return model.get_layer(name)->output_dimensions().to_vector();
  };
  // Stem, 16 expansions, 17 projections and the head; 17 depthwise; 10 residual Adds.
  const auto mobilenet = testing::mobilenet_v2();
  EXPECT_EQ(count(*mobilenet), (std::map<LayerType, int>{{LayerType::InputData, 1},
                                                        {LayerType::Conv2D, 35},
                                                        {LayerType::DepthwiseConv2D, 17},
                                                        {LayerType::Add, 10},
                                                        {LayerType::Dense1D, 1}}));
  EXPECT_EQ(shape(*mobilenet, "b17_project"), (std::vector<uint32_t>{7, 7, 320}));
  EXPECT_EQ(shape(*mobilenet, "head"), (std::vector<uint32_t>{1, 1, 1280}));
  // MobileNet v1: the stem, 13 pointwise convolutions and fc; 13 depthwise.
  const auto mobilenet_v1 = testing::mobilenet_v1();
  EXPECT_EQ(count(*mobilenet_v1), (std::map<LayerType, int>{{LayerType::InputData, 1},
                                                           {LayerType::Conv2D, 15},
                                                           {LayerType::DepthwiseConv2D, 13}}));
  EXPECT_EQ(shape(*mobilenet_v1, "b12_dw"), (std::vector<uint32_t>{7, 7, 512}));
  EXPECT_EQ(shape(*mobilenet_v1, "b13_pw"), (std::vector<uint32_t>{7, 7, 1024}));
  EXPECT_EQ(shape(*mobilenet_v1, "fc"), (std::vector<uint32_t>{1, 1, 1000}));
  // ResNet-20: 19 convolutions, 2 projections and the pooling convolution, 9 Adds.
  const auto resnet20 = testing::resnet(3);
  EXPECT_EQ(count(*resnet20), (std::map<LayerType, int>{{LayerType::InputData, 1},
                                                       {LayerType::Conv2D, 22},
                                                       {LayerType::Add, 9},
                                                       {LayerType::Dense1D, 1}}));
  EXPECT_EQ(shape(*resnet20, "s3b3_add"), (std::vector<uint32_t>{8, 8, 64}));
  EXPECT_EQ(shape(*resnet20, "pool"), (std::vector<uint32_t>{1, 1, 64}));
  EXPECT_EQ(testing::resnet(2, false)->layer_count(), 1u + 1u + 12u + 2u + 6u + 1u);
}

class PublishedNetwork : public ::testing::TestWithParam<Network> {};

TEST_P(PublishedNetwork, MapsEntirelyOnHardwareInSeveralPasses) {
  const Network& net = GetParam();
  const auto model = net.build(false);
  ASSERT_TRUE(map_model(*model, net, /*hw_only=*/true));

  ASSERT_EQ(model->sequences().size(), 1u);
  const Sequence& sequence = *model->sequences().front();
  EXPECT_EQ(sequence.backend(), BackendType::Hardware);
  EXPECT_GT(sequence.passes().size(), 1u);
  for (const auto& layer : model->layers())
    if (runs_on_nps(*layer)) expect_on_nps(*layer);

  const ByteView bytes = sequence.program();
  try {
    const ProgramInfo program(bytes.data, bytes.size);
    EXPECT_EQ(program.program_data().passes()->size(), sequence.passes().size());
    // One byte per value of the 8-bit input map.
    EXPECT_EQ(input_memory_required(program), model->input_shape()[0] *
                                                  uint64_t{model->input_shape()[1]} *
                                                  model->input_shape()[2]);
  } catch (const std::invalid_argument& e) {
    ADD_FAILURE() << "the program reader refuses the program: " << e.what();
  }
}

TEST_P(PublishedNetwork, LeavesOnlyTheClassifierToSoftware) {
  const Network& net = GetParam();
  const auto model = net.build(true);
  ASSERT_TRUE(map_model(*model, net, /*hw_only=*/false));

  ASSERT_EQ(model->sequences().size(), 2u);
  const auto software = std::dynamic_pointer_cast<SoftwareSequence>(model->sequences().back());
  ASSERT_TRUE(software);
  const auto classifier = model->get_layer("classifier");
  EXPECT_EQ(software->layers(), std::vector<std::shared_ptr<Layer>>{classifier});
  for (const auto& layer : model->layers())
    if (layer != classifier && runs_on_nps(*layer)) expect_on_nps(*layer);
  expect_software_reads_what_a_run_gives(*model);
}

INSTANTIATE_TEST_SUITE_P(Mesh, PublishedNetwork, ::testing::ValuesIn(kNetworks),
                         [](const auto& info) { return std::string(info.param.name); });

// ResNet-14 on 4 x 4: the merge layer s3b1_c1 would send the sum to its projection in the next
// pass, which partial reconfiguration cannot do. With hw_only that is the error; without, the
// hardware part ends where its last output is all the rest needs, and the rest runs in software.
TEST(PublishedNetworks, ResNet14StopsAtPartialReconfigurationAndStillRuns) {
  const Network net{"ResNet14", [](bool classifier) { return testing::resnet(2, classifier); },
                    4, 4};
  const auto model = net.build(true);
  register_hardware_backend();
  try {
    model->map(mesh_device(net.cols, net.rows), true, nullptr);
    ADD_FAILURE() << "mapped with hw_only";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Cannot map layer 's3b1_c1'. Hardware partial reconfiguration with "
                           "layers on the second branch is not supported.");
  }
  EXPECT_TRUE(model->sequences().empty());
  ASSERT_TRUE(map_model(*model, net, /*hw_only=*/false));
  ASSERT_EQ(model->sequences().size(), 2u);
  EXPECT_EQ(model->sequences().front()->backend(), BackendType::Hardware);
  expect_on_nps(*model->get_layer("stem"));
  expect_software_reads_what_a_run_gives(*model);
}

// MobileNet v1 with its classifier on growing meshes. With hw_only the mapping stops at a layer
// (on 2 x 2 for want of NPs, on 4 x 4 because a sequence that takes fc in would need more
// descriptors than the chip has) or maps whole; without it, every layer before that stop stays
// on NPs, even where the whole sequence fails to build, so a larger mesh never keeps fewer.
TEST(PublishedNetworks, MobileNetV1KeepsOnHardwareWhatBuilds) {
  struct Case {
    uint8_t cols, rows;
    const char* stops_at;  // the layer hw_only names; null when the whole model maps
    const char* why;       // the text after that name, where the test pins it
  };
  const Case cases[] = {
      {2, 2, "b2_dw", nullptr},
      {4, 4, "fc",
       "Model is too big. The maximum number of descriptors is more than allowed. 260 are "
       "needed but 254 are available."},
      {8, 4, nullptr, nullptr},
  };
  register_hardware_backend();
  size_t smaller_mesh_kept = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.cols) + " x " + std::to_string(c.rows) + " nodes");
    const auto model = testing::mobilenet_v1();
    const auto device = mesh_device(c.cols, c.rows);
    const std::string error = hw_only_error(*model, device);
    const std::string stop = c.stops_at ? c.stops_at : "";
    if (stop.empty()) {
      EXPECT_EQ(error, "");
    } else {
      const std::string named = "Cannot map layer '" + stop + "'.";
      EXPECT_EQ(error.rfind(named, 0), 0u) << error;
      if (c.why) {
        EXPECT_EQ(error, named + " " + c.why);
      }
    }

    ASSERT_TRUE(map_model(*model, {"MobileNetV1", nullptr, c.cols, c.rows}, false));
    expect_software_reads_what_a_run_gives(*model);
    for (const auto& layer : model->layers()) {
      if (layer->get_name() == stop) break;
      if (runs_on_nps(*layer)) expect_on_nps(*layer);
    }
    EXPECT_GE(layers_on_hardware(*model), smaller_mesh_kept);
    smaller_mesh_kept = layers_on_hardware(*model);
  }
}

// A chain of `blocks` residual blocks on 8 x 8 x 16 maps, each two 3x3 convolutions, their sum
// with the block's input, and the 1x1 convolution that merges the sum and is the next block's
// input; the first k blocks of a longer chain are the chain of k blocks.
std::unique_ptr<Model> residual_chain(int blocks) {
  testing::NetworkBuilder net(1);
  auto input = net.add(LayerType::InputData, "input",
                       {{"input_width", 8}, {"input_height", 8}, {"input_channels", 16}}, {});
  auto prev = net.add(LayerType::Conv2D, "stem", {{"filters", 16}}, {input});
  for (int b = 1; b <= blocks; ++b) {
    const std::string name = "r" + std::to_string(b);
    auto c1 = net.add(LayerType::Conv2D, name + "_c1", {{"filters", 16}}, {prev});
    auto c2 = net.add(LayerType::Conv2D, name + "_c2",
                      {{"filters", 16}, {"activation", testing::kNoActivation}}, {c1});
    auto sum = net.add(LayerType::Add, name + "_add", {}, {prev, c2});
    prev = net.add(LayerType::Conv2D, name + "_merge", {{"filters", 16}, {"kernel_size", 1}},
                   {sum});
  }
  return net.take();
}

// Forty blocks need more descriptors than a sequence has. Without hw_only the hardware part
// ends at a block's merge layer (the only layers whose output is all the later blocks need)
// and keeps the longest run of leading blocks that builds on its own.
TEST(PublishedNetworks, ResidualChainPastTheDescriptorLimitKeepsItsLeadingBlocks) {
  constexpr int kBlocks = 40;
  constexpr size_t kLayersPerBlock = 4;
  constexpr size_t kLeadingLayers = 2;  // input and stem
  register_hardware_backend();
  const auto device = mesh_device(8, 8);
  const auto too_big = [&](Model& model) {
    return hw_only_error(model, device).find("Model is too big.") != std::string::npos;
  };
  const auto model = residual_chain(kBlocks);
  EXPECT_TRUE(too_big(*model));

  ASSERT_TRUE(map_model(*model, {"ResidualChain", nullptr, 8, 8}, false));
  expect_software_reads_what_a_run_gives(*model);
  const size_t on_hardware = layers_on_hardware(*model);
  ASSERT_GT(on_hardware, kLeadingLayers) << "no block stays on hardware";
  ASSERT_EQ((on_hardware - kLeadingLayers) % kLayersPerBlock, 0u) << on_hardware << " layers";
  const auto kept = static_cast<int>((on_hardware - kLeadingLayers) / kLayersPerBlock);
  EXPECT_LT(kept, kBlocks);
  EXPECT_EQ(hw_only_error(*residual_chain(kept), device), "");
  EXPECT_TRUE(too_big(*residual_chain(kept + 1)));
}

}  // namespace
}  // namespace qalto
