#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <snappy.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <string>
#include <thread>

#include "model_generated.h"
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

// A buffer of a few hundred bytes whose second layer declares `units` neurons.
std::vector<uint8_t> fully_connected_buffer(int32_t units) {
  flatbuffers::FlatBufferBuilder b;
  auto param = [&](const char* name, int32_t value) {
    return fb::CreateParam(b, b.CreateString(name), value);
  };
  std::vector<flatbuffers::Offset<fb::Param>> input_params{
      param("input_width", 4), param("input_height", 4), param("input_channels", 2)};
  std::vector<flatbuffers::Offset<fb::Param>> fc_params{param("units", units)};
  std::vector<uint32_t> inbound{0};
  std::vector<flatbuffers::Offset<fb::LayerDef>> layers{
      fb::CreateLayerDef(b, b.CreateString("input"), static_cast<uint32_t>(LayerType::InputData),
                         b.CreateVector(input_params)),
      fb::CreateLayerDef(b, b.CreateString("fc"), static_cast<uint32_t>(LayerType::FullyConnected),
                         b.CreateVector(fc_params), b.CreateVector(inbound))};
  b.Finish(fb::CreateModelDef(b, 1, b.CreateVector(layers)), fb::ModelDefIdentifier());
  return {b.GetBufferPointer(), b.GetBufferPointer() + b.GetSize()};
}

TEST(ModelSerialize, ParametersCannotDemandMoreVariableBytesThanTheBufferHolds) {
  // Each unit needs 32 + 4 + 4 bytes of variables, none of which the buffer holds.
  for (int32_t units : {1 << 20, INT32_MAX}) {
    const auto bytes = fully_connected_buffer(units);
    try {
      Model::from_buffer(bytes.data(), bytes.size());
      ADD_FAILURE() << units << " units loaded";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find("its variables would take"), std::string::npos)
          << e.what();
    }
  }
  // A genuine buffer holds its variables' bytes and loads.
  const auto genuine = learned_model()->serialize();
  EXPECT_EQ(Model::from_buffer(genuine.data(), genuine.size())->layer_count(), 3u);
}

TEST(LayerVariables, LimitIsCheckedBeforeAnythingIsCreated) {
  auto model = Model::create();
  model->add(Layer::create(*LayerParams::create(LayerType::InputData,
                                                {{"input_width", 2}, {"input_height", 2},
                                                 {"input_channels", 1}}),
                           "input"));
  auto fc = Layer::create(*LayerParams::create(LayerType::FullyConnected, {{"units", 3}}), "fc");
  // weights 4 x 3 int8, threshold 3 int32, act_step 3 float32: 36 bytes.
  fc->limit_new_variable_bytes(35);
  EXPECT_THROW(model->add(fc), std::invalid_argument);
  EXPECT_TRUE(fc->variables().names().empty());
  EXPECT_EQ(model->layer_count(), 1u);
  fc->limit_new_variable_bytes(36);
  model->add(fc);
  EXPECT_EQ(fc->variable_bytes(), 36u);
}

TEST(ModelFile, RawBlockDecoderAcceptsTrailingBytesAndRefusesDamage) {
  std::vector<uint8_t> raw(1000);
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>(i % 7);
  auto block = model_file::compress(raw);
  EXPECT_EQ(model_file::uncompress(block.data(), block.size()), raw);
  auto padded = block;
  padded.insert(padded.end(), 16, 0);
  EXPECT_EQ(model_file::uncompress(padded.data(), padded.size()), raw);
  // Trailing bytes that read as an element (a literal, a copy) are ignored as well.
  for (std::vector<uint8_t> tail : {std::vector<uint8_t>{0x08, 'a', 'b', 'c'},
                                    std::vector<uint8_t>{0x01 | (4 << 2), 0x01}}) {
    auto extended = block;
    extended.insert(extended.end(), tail.begin(), tail.end());
    EXPECT_EQ(model_file::uncompress(extended.data(), extended.size()), raw);
  }
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
  // A directory cannot be opened for writing, empty or not; nothing is left behind.
  fs::create_directories(dir / "busy" / "x");
  fs::create_directories(dir / "hollow");
  for (const char* name : {"busy", "hollow"}) {
    EXPECT_THROW(model_file::write((dir / name).string(), bytes), std::invalid_argument) << name;
  }
  size_t entries = 0;
  for ([[maybe_unused]] auto& e : fs::directory_iterator(dir)) ++entries;
  EXPECT_EQ(entries, 3u);
  EXPECT_THROW(model_file::write((dir / "missing" / "m.fbz").string(), bytes), std::invalid_argument);
  EXPECT_THROW(model_file::read((dir / "nothing").string()), std::runtime_error);
  std::ofstream((dir / "empty").string()).close();
  EXPECT_THROW(model_file::read((dir / "empty").string()), std::runtime_error);
  fs::remove_all(dir);
}

TEST(ModelFile, PathsWithANulByteNameNoFile) {
  const fs::path dir = fs::temp_directory_path() / ("qalto_model_nul_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const auto bytes = learned_model()->serialize();
  const std::string real = (dir / "m.fbz").string();
  model_file::write(real, bytes);
  // Cut at the NUL, these paths would name the file above.
  const std::string with_nul = real + std::string("\0.bak", 5);
  EXPECT_THROW(model_file::read(with_nul), std::runtime_error);
  EXPECT_THROW(model_file::write(with_nul, {1, 2, 3}), std::invalid_argument);
  EXPECT_EQ(model_file::read(real), bytes);
  fs::remove_all(dir);
}

TEST(ModelFile, SaveFollowsLinksKeepsPermissionsAndHardLinks) {
  const fs::path dir = fs::temp_directory_path() / ("qalto_model_link_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const auto bytes = learned_model()->serialize();
  const fs::path real = dir / "real.fbz";
  std::ofstream(real.string()) << "old";
  fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write);
  fs::create_symlink(real, dir / "link.fbz");
  model_file::write((dir / "link.fbz").string(), bytes);
  EXPECT_TRUE(fs::is_symlink(dir / "link.fbz"));
  EXPECT_EQ(model_file::read(real.string()), bytes);
  EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  // A file with another hard link is written in place: both names see the new model.
  fs::create_hard_link(real, dir / "twin.fbz");
  const auto other = Model::create()->serialize();
  model_file::write(real.string(), other);
  EXPECT_EQ(model_file::read((dir / "twin.fbz").string()), other);
  EXPECT_EQ(fs::hard_link_count(real), 2u);
  // A chain of links that dangles at its end creates the end; one that loops is refused.
  fs::create_symlink("hop.fbz", dir / "first.fbz");
  fs::create_symlink(dir / "sub" / "end.fbz", dir / "hop.fbz");
  fs::create_directory(dir / "sub");
  model_file::write((dir / "first.fbz").string(), bytes);
  EXPECT_TRUE(fs::is_symlink(dir / "first.fbz") && fs::is_symlink(dir / "hop.fbz"));
  EXPECT_EQ(model_file::read((dir / "sub" / "end.fbz").string()), bytes);
  fs::create_symlink("loop.fbz", dir / "loop.fbz");
  EXPECT_THROW(model_file::write((dir / "loop.fbz").string(), bytes), std::invalid_argument);
  EXPECT_TRUE(fs::is_symlink(dir / "loop.fbz"));
  fs::remove_all(dir);
}

TEST(ModelFile, SaveWritesIntoAPipeAndReportsAFailedWrite) {
  const fs::path dir = fs::temp_directory_path() / ("qalto_model_pipe_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string pipe = (dir / "pipe").string();
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const auto bytes = learned_model()->serialize();
  std::string received;
  std::thread reader([&] {
    std::ifstream in(pipe, std::ios::binary);
    received.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  });
  model_file::write(pipe, bytes);
  reader.join();
  const auto block = model_file::compress(bytes);
  EXPECT_EQ(received, std::string(block.begin(), block.end()));
  EXPECT_TRUE(fs::is_fifo(pipe));  // still a pipe, not replaced by a file
  // A device that refuses the bytes: the failure is reported, not taken for success.
  if (fs::is_character_file("/dev/full")) {
    EXPECT_THROW(model_file::write("/dev/full", bytes), std::runtime_error);
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace qalto
