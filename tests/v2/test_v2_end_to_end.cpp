// A small residual convolution model mapped on a virtual v2 chip through the hardware back end:
// one sequence whose program bytes verify and decode with the schema compiler.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <flatbuffers/flatbuffers.h>

#include "mapping/hardware_backend.hpp"
#include "mapping/layer_mapping.hpp"
#include "program_generated.h"
#include "qalto/map_constraints.hpp"
#include "qalto/model.hpp"

namespace qalto {
namespace {

std::shared_ptr<Device> v2_chip() {
  std::vector<np::Info> nps;
  for (uint8_t col = 1; col <= 2; ++col)
    for (uint8_t row = 1; row <= 2; ++row)
      for (uint8_t id = 0; id < 4; ++id)
        nps.push_back(np::Info{hw::Ident{col, row, id, 0}, {hw::Type::CNP1, hw::Type::CNP2}, true});
  std::vector<np::Info> skip_dmas{
      np::Info{hw::Ident{3, 2, 0, 4}, {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}, false}};
  Mesh mesh(IpVersion::v2, hw::Ident{3, 1, 0, 0}, hw::Ident{3, 1, 1, 0}, std::nullopt, nps,
            skip_dmas);
  return make_virtual_device(HwVersion{0xBC, 0xA2, 1, 0}, mesh);
}

std::shared_ptr<Layer> make(LayerType type, std::map<std::string, int32_t> params,
                            const std::string& name) {
  return Layer::create(LayerParams(type, std::move(params)), name);
}

struct ResidualModel {
  std::unique_ptr<Model> model = Model::create();
  std::shared_ptr<Layer> conv1, depthwise, conv2, add, conv3;

  ResidualModel() {
    auto input = make(LayerType::InputData,
                      {{"input_width", 16}, {"input_height", 16}, {"input_channels", 4}}, "input");
    conv1 = make(LayerType::Conv2D, {{"filters", 16}}, "conv1");
    depthwise = make(LayerType::DepthwiseConv2D, {}, "depthwise");
    conv2 = make(LayerType::Conv2D, {{"filters", 16}, {"kernel_size", 1}}, "conv2");
    add = make(LayerType::Add, {}, "add");
    conv3 = make(LayerType::Conv2D, {{"filters", 8}}, "conv3");
    model->add(input);
    model->add(conv1);
    model->add(depthwise);
    model->add(conv2);
    model->add(add, {conv1, conv2});
    model->add(conv3);
  }
};

std::string decode_with_flatc(const uint8_t* bytes, size_t size, const std::string& name,
                              const std::string& root_type) {
  const auto dir = std::filesystem::path(QALTO_BINARY_DIR) / "tests" / "v2_end_to_end";
  std::filesystem::create_directories(dir);
  const auto bin = dir / (name + ".bin");
  std::ofstream(bin, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
  std::string command = std::string(QALTO_FLATC) +
                        " --json --strict-json --raw-binary --size-prefixed";
  if (!root_type.empty()) command += " --root-type " + root_type;
  command += " -o " + dir.string() + " " QALTO_SOURCE_DIR "/program/program.fbs -- " +
             bin.string() + " 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  std::stringstream text;
  text << std::ifstream(dir / (name + ".json")).rdbuf();
  return text.str();
}

TEST(V2EndToEnd, ResidualModelMapsToOneVerifiedSequence) {
  ResidualModel net;
  auto device = v2_chip();
  auto constraints = std::make_shared<MapConstraints>(device);
  std::vector<std::shared_ptr<Layer>> layers = net.model->layers();
  Sequences sequences;
  HardwareBackend backend;
  const MappingStatusGroup result = backend.map(layers, sequences, constraints);

  ASSERT_FALSE(result.failed) << result.to_string();
  EXPECT_TRUE(layers.empty());
  ASSERT_EQ(sequences.size(), 1u);
  const Sequence& sequence = *sequences.front();
  EXPECT_EQ(sequence.name(), "HW/input-conv3");
  EXPECT_EQ(sequence.passes().size(), 1u);

  // Every convolution got its own CNP; the skip source stores, the merge layer loads.
  for (const auto& conv : {net.conv1, net.depthwise, net.conv2, net.conv3}) {
    auto mapping = layer_mapping_of(*conv);
    ASSERT_TRUE(mapping) << conv->get_name();
    ASSERT_EQ(mapping->nps().size(), 1u) << conv->get_name();
    EXPECT_EQ(mapping->nps().front().type, hw::Type::CNP1);
    EXPECT_GT(mapping->nps().front().mem_info.weight_size, 0u) << conv->get_name();
  }
  EXPECT_NE(layer_mapping_of(*net.conv1)->skipdma_store(), nullptr);
  EXPECT_NE(layer_mapping_of(*net.conv3)->skipdma_load(), nullptr);
  ASSERT_TRUE(layer_mapping_of(*net.conv3)->merge_info);
  EXPECT_TRUE(layer_mapping_of(*net.conv3)->merge_info->is_add);

  const auto parts = sequence.program_parts();
  flatbuffers::Verifier info_verifier(parts.program_info.data, parts.program_info.size);
  EXPECT_TRUE(fb::VerifySizePrefixedProgramInfoBuffer(info_verifier));
  flatbuffers::Verifier data_verifier(parts.program_data.data, parts.program_data.size);
  EXPECT_TRUE(data_verifier.VerifySizePrefixedBuffer<fb::ProgramData>(nullptr));
  const auto* data = flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(parts.program_data.data);
  ASSERT_NE(data->passes(), nullptr);
  ASSERT_EQ(data->passes()->size(), 1u);
  // The input stage, then one record per layer of the pass (input and add without tracks).
  const auto* records = data->passes()->Get(0)->records();
  ASSERT_EQ(records->size(), 7u);
  EXPECT_EQ(records->Get(1)->tracks()->size(), 0u);  // input
  EXPECT_GT(records->Get(2)->tracks()->size(), 0u);  // conv1
  EXPECT_EQ(records->Get(5)->tracks()->size(), 0u);  // add

  const std::string info = decode_with_flatc(parts.program_info.data, parts.program_info.size,
                                             "info", "");
  EXPECT_NE(info.find("\"product_id\": 162"), std::string::npos) << info;
  const std::string json = decode_with_flatc(parts.program_data.data, parts.program_data.size,
                                             "data", "qalto.fb.ProgramData");
  EXPECT_NE(json.find("\"records\""), std::string::npos);
}

TEST(V2EndToEnd, UnsupportedLayerStopsTheMappingAfterTheLayersBeforeIt) {
  ResidualModel net;
  auto dense = make(LayerType::Dense1D, {{"units", 10}}, "dense");
  net.model->add(dense);
  auto device = v2_chip();
  std::vector<std::shared_ptr<Layer>> layers = net.model->layers();
  Sequences sequences;
  const auto result =
      HardwareBackend().map(layers, sequences, std::make_shared<MapConstraints>(device));
  EXPECT_TRUE(result.failed);
  EXPECT_EQ(result.message, "Success.");
  EXPECT_EQ(result.to_string(), "Cannot map layer 'dense'. Layer type Dense1D is not supported on v2.");
  ASSERT_EQ(layers.size(), 1u);
  EXPECT_EQ(layers.front(), dense);
  ASSERT_EQ(sequences.size(), 1u);
  EXPECT_EQ(sequences.front()->name(), "HW/input-conv3");
}

}  // namespace
}  // namespace qalto
