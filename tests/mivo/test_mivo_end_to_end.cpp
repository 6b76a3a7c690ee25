// A model of two recurrent layers mapped on a virtual Mivo chip through the hardware back end:
// one sequence whose program holds the series as one record of three TNP-R tracks.
#include <gtest/gtest.h>

#include <flatbuffers/flatbuffers.h>

#include "mapping/hardware_backend.hpp"
#include "mapping/layer_mapping.hpp"
#include "mivo/tnpr_sizes.hpp"
#include "program_generated.h"
#include "qalto/dma.hpp"
#include "qalto/map_constraints.hpp"
#include "qalto/model.hpp"

namespace qalto {
namespace {

std::shared_ptr<Device> mivo_chip() {
  std::vector<np::Info> nps{np::Info{hw::Ident{0, 0, 0, 0}, {hw::Type::TNP_R}, false}};
  Mesh mesh(IpVersion::mivo, hw::Ident{1, 0, 0, 0}, hw::Ident{1, 0, 1, 0}, std::nullopt, nps, {});
  return make_virtual_device(HwVersion{0xBC, 0xB1, 1, 0}, mesh);
}

std::shared_ptr<Layer> make(LayerType type, std::map<std::string, int32_t> params,
                            const std::string& name) {
  return Layer::create(LayerParams(type, std::move(params)), name);
}

TEST(MivoEndToEnd, TwoRecurrentLayersMakeOneRecordOfThreeTracks) {
  auto model = Model::create();
  model->add(make(LayerType::InputData,
                  {{"input_width", 1}, {"input_height", 16}, {"input_channels", 8}}, "input"));
  auto sr1 = make(LayerType::StatefulRecurrent, {{"output_channels", 16}, {"stateful_channels", 8}},
                  "sr1");
  auto sr2 = make(LayerType::StatefulRecurrent, {{"output_channels", 4}, {"stateful_channels", 8}},
                  "sr2");
  model->add(sr1);
  model->add(sr2);

  auto device = mivo_chip();
  auto constraints = std::make_shared<MapConstraints>(device);
  std::vector<std::shared_ptr<Layer>> layers = model->layers();
  Sequences sequences;
  HardwareBackend backend;
  const MappingStatusGroup result = backend.map(layers, sequences, constraints);

  ASSERT_FALSE(result.failed) << result.to_string();
  EXPECT_TRUE(layers.empty());
  ASSERT_EQ(sequences.size(), 1u);
  EXPECT_EQ(sequences.front()->name(), "HW/input-sr2");

  // The TNP-R component carries the series' memory figures.
  const auto mapping = layer_mapping_of(*sr1);
  ASSERT_TRUE(mapping);
  ASSERT_EQ(mapping->nps().size(), 1u);
  const MemoryInfo& mem = mapping->nps().front().mem_info;
  EXPECT_EQ(mem.fsram_64b_size, mivo::get_tnpr_fsram_64b_size(*sr1));
  EXPECT_EQ(mem.tsram_51b_size, (1u + 16 + 8) + (2 + 4 + 8));
  EXPECT_EQ(mem.stsram_32b_size, 2u * 8);
  EXPECT_EQ(mem.input_size, 0u);

  const auto parts = sequences.front()->program_parts();
  flatbuffers::Verifier data_verifier(parts.program_data.data, parts.program_data.size);
  ASSERT_TRUE(data_verifier.VerifySizePrefixedBuffer<fb::ProgramData>(nullptr));
  const auto* data = flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(parts.program_data.data);
  ASSERT_NE(data->passes(), nullptr);
  ASSERT_EQ(data->passes()->size(), 1u);
  // Only the series' record has tracks (the input stage is empty on Mivo).
  const fb::Record* series = nullptr;
  size_t with_tracks = 0;
  for (const fb::Record* record : *data->passes()->Get(0)->records()) {
    if (record->tracks() && record->tracks()->size() > 0) {
      series = record;
      ++with_tracks;
    }
  }
  ASSERT_EQ(with_tracks, 1u);
  ASSERT_EQ(series->tracks()->size(), 3u);
  const uint32_t targets[] = {13, 14, 15};
  for (uint32_t t = 0; t < 3; ++t) {
    const auto* words = series->tracks()->Get(t)->words();
    ASSERT_GE(words->size(), 2u);
    const uint32_t header[2] = {words->Get(0), words->Get(1)};
    const dma::ConfigHeader decoded = dma::decode_config_header(header);
    EXPECT_EQ(decoded.target, targets[t]);
    EXPECT_EQ(decoded.ident.col, 0);
    EXPECT_EQ(decoded.ident.row, 0);
    EXPECT_EQ(decoded.ident.id, 0);
  }
  // Register image word 0: two layers (count field 1), 8-bit output, no closing layer.
  const auto* regs = series->tracks()->Get(0)->words();
  ASSERT_EQ(regs->size(), 2u + 16);
  EXPECT_EQ(regs->Get(2), 1u);
  EXPECT_EQ(series->tracks()->Get(1)->words()->size(), 2u + 2 * mem.fsram_64b_size);
  EXPECT_EQ(series->tracks()->Get(2)->words()->size(), 2u + 2 * mem.tsram_51b_size);
}

TEST(MivoEndToEnd, BrokenSeriesIsReportedNotMapped) {
  auto model = Model::create();
  model->add(make(LayerType::InputData,
                  {{"input_width", 1}, {"input_height", 16}, {"input_channels", 24}}, "input"));
  model->add(make(LayerType::StatefulRecurrent, {{"output_channels", 4}}, "sr"));
  auto device = mivo_chip();
  std::vector<std::shared_ptr<Layer>> layers = model->layers();
  Sequences sequences;
  const MappingStatusGroup result =
      HardwareBackend().map(layers, sequences, std::make_shared<MapConstraints>(device));
  EXPECT_TRUE(result.failed);
  EXPECT_NE(result.to_string().find("got 6 words for 24 channels at 8-bit"), std::string::npos)
      << result.to_string();
  // Nothing runs on hardware before the refused layer: no sequence, both layers stay to map.
  EXPECT_TRUE(sequences.empty());
  EXPECT_EQ(layers.size(), 2u);
}

}  // namespace
}  // namespace qalto
