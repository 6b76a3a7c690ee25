#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <snappy.h>

#include "qalto/model.hpp"
#include "qalto/model_file.hpp"

namespace qalto {
namespace {

namespace fs = std::filesystem;

std::unique_ptr<Model> learned_model() {
  auto model = Model::create();
  model->add(Layer::create(*LayerParams::create(LayerType::InputData,
                                                {{"input_width", 4}, {"input_height", 4},
                                                 {"input_channels", 2}}),
                           "input"));
  auto conv = Layer::create(*LayerParams::create(LayerType::Conv2D, {{"filters", 3}}), "conv");
  model->add(conv);
  model->add(Layer::create(*LayerParams::create(LayerType::FullyConnected, {{"units", 6}}), "fc"));
  auto bias = Dense::create(TensorType::int8, Shape{3});
  bias->data<int8_t>()[2] = -5;
  conv->variables().set("bias", bias);
  model->compile(LearningParams::create(0, {{"num_classes", 3}, {"initial_plasticity", 0.5}}));
  return model;
}

TEST(ModelSerialize, RoundTripKeepsEverything) {
  auto model = learned_model();
  const auto bytes = model->serialize();
  auto loaded = Model::from_buffer(bytes.data(), bytes.size());
  EXPECT_EQ(loaded->serialize(), bytes);
  ASSERT_EQ(loaded->layer_count(), 3u);
  EXPECT_EQ(loaded->get_layer("conv")->variables().get("bias")->value_as_int(2), -5);
  EXPECT_EQ(loaded->get_layer("fc")->inbound_layers().front(), loaded->get_layer("conv"));
  ASSERT_TRUE(loaded->learning());
  EXPECT_EQ(loaded->learning()->get("initial_plasticity"), 0.5);
  auto empty = Model::create()->serialize();
  EXPECT_EQ(Model::from_buffer(empty.data(), empty.size())->layer_count(), 0u);
}

TEST(ModelSerialize, HostileBuffersAreRefused) {
  const auto bytes = learned_model()->serialize();
  EXPECT_THROW(Model::from_buffer(bytes.data(), bytes.size() / 2), std::invalid_argument);
  EXPECT_THROW(Model::from_buffer(nullptr, 0), std::invalid_argument);
  std::vector<uint8_t> junk(64, 0xFF);
  EXPECT_THROW(Model::from_buffer(junk.data(), junk.size()), std::invalid_argument);
  // Flip every byte in turn: each result either loads or is refused cleanly, never crashes.
  for (size_t i = 0; i < bytes.size(); ++i) {
    auto copy = bytes;
    copy[i] ^= 0x5A;
    try {
      Model::from_buffer(copy.data(), copy.size());
    } catch (const std::invalid_argument&) {
    } catch (const std::runtime_error&) {
    }
  }
}

TEST(ModelFile, RawBlockDecoderAcceptsTrailingBytesAndRefusesDamage) {
  std::vector<uint8_t> raw(1000);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>(i % 7);
  auto block = model_file::compress(raw);
  EXPECT_EQ(model_file::uncompress(block.data(), block.size()), raw);
  auto padded = block;
  padded.insert(padded.end(), 16, 0);
  EXPECT_EQ(model_file::uncompress(padded.data(), padded.size()), raw);
  // Truncated anywhere: refused.
  for (size_t n = 0; n < block.size(); ++n) {
    EXPECT_THROW(model_file::uncompress(block.data(), n), std::invalid_argument) << n;
  }
  // A header that claims more than the block can expand to is refused before allocating.
  std::vector<uint8_t> liar{0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x00, 0x41};
  EXPECT_THROW(model_file::uncompress(liar.data(), liar.size()), std::invalid_argument);
  std::vector<uint8_t> ten(10, 0xFF);
  EXPECT_THROW(model_file::uncompress(ten.data(), ten.size()), std::invalid_argument);
  // A copy that reaches before the start of the output.
  std::vector<uint8_t> bad_copy{0x08, 0x01 | (0 << 2), 0x05};
  EXPECT_THROW(model_file::uncompress(bad_copy.data(), bad_copy.size()), std::invalid_argument);
}

TEST(ModelFile, SaveReplacesAtomicallyAndReportsFailures) {
  const fs::path dir = fs::temp_directory_path() / ("qalto_model_file_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string path = (dir / "m.fbz").string();
  const auto bytes = learned_model()->serialize();
  model_file::write(path, bytes);
  EXPECT_EQ(model_file::read(path), bytes);
  // A target that cannot be replaced (a non-empty directory) fails and leaves no temporary.
  fs::create_directories(dir / "busy" / "x");
  EXPECT_THROW(model_file::write((dir / "busy").string(), bytes), std::runtime_error);
  size_t entries = 0;
  for ([[maybe_unused]] auto& e : fs::directory_iterator(dir)) ++entries;
  EXPECT_EQ(entries, 2u);
  EXPECT_THROW(model_file::write((dir / "missing" / "m.fbz").string(), bytes), std::invalid_argument);
  EXPECT_THROW(model_file::read((dir / "nothing").string()), std::runtime_error);
  std::ofstream((dir / "empty").string()).close();
  EXPECT_THROW(model_file::read((dir / "empty").string()), std::runtime_error);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace qalto
