#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <snappy.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "model_generated.h"
#include "qalto/model.hpp"
#include "qalto/model_file.hpp"

namespace qalto {
namespace {

namespace fs = std::filesystem;

// Decoded bytes in the form the tests compare with.
std::vector<uint8_t> plain(const model_file::Bytes& bytes) { return {bytes.begin(), bytes.end()}; }

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

// Builds random valid graphs: branches, joins (Add, Concatenate), a repeated input, first and
// second generation layers, random variable values and a learning set.
class RandomGraph {
 public:
  explicit RandomGraph(uint32_t seed) : rng_(seed) {}

  std::unique_ptr<Model> build() {
    auto model = Model::create();
    input_ = {{"input_width", pick(1, 9)}, {"input_height", pick(1, 9)},
              {"input_channels", pick(1, 4)}, {"input_bits", pick_of({1, 2, 4, 8})},
              {"input_signed", pick(0, 1)}};
    model->add(Layer::create(LayerParams(LayerType::InputData, input_), "in"));
    const int count = pick(1, 10);
    for (int i = 0; i < count; ++i) add_random_layer(*model, "l" + std::to_string(i));
    for (const auto& layer : model->layers()) fill_variables(*layer);
    const auto& last = *model->layers().back();
    if (last.can_learn()) {
      const int32_t units = last.params().get("units");
      double classes = 1;
      for (int32_t c = units; c >= 1; --c) {
        if (units % c == 0 && pick(0, 1)) classes = c;
      }
      model->compile(LearningParams::create(pick(0, 3), {{"num_classes", classes},
                                                         {"num_weights", pick(0, 20)},
                                                         {"initial_plasticity", 0.25}}));
    }
    return model;
  }

 private:
  int32_t pick(int32_t low, int32_t high) {
    return std::uniform_int_distribution<int32_t>(low, high)(rng_);
  }
  int32_t pick_of(std::initializer_list<int32_t> values) {
    return *(values.begin() + pick(0, static_cast<int32_t>(values.size()) - 1));
  }
  std::shared_ptr<Layer> any_of(const Model& model) {
    return model.layers()[pick(0, static_cast<int32_t>(model.layer_count()) - 1)];
  }
  // The layers whose output has `shape` (all dimensions) or its width and height (`spatial`).
  static std::vector<std::shared_ptr<Layer>> matching(const Model& model, const Shape& shape,
                                                      bool spatial) {
    std::vector<std::shared_ptr<Layer>> found;
    for (const auto& layer : model.layers()) {
      const Shape& out = layer->output_dimensions();
      const bool same = spatial ? out.size() == 3 && out[0] == shape[0] && out[1] == shape[1]
                                : out == shape;
      if (same) found.push_back(layer);
    }
    return found;
  }

  void add_random_layer(Model& model, const std::string& name) {
    auto source = any_of(model);
    const Shape& in = source->output_dimensions();
    using Params = std::map<std::string, int32_t>;
    auto add = [&](LayerType type, Params params, std::vector<std::shared_ptr<Layer>> inbound) {
      model.add(Layer::create(LayerParams(type, std::move(params)), name), inbound);
    };
    const int32_t activation = pick(0, 1);
    switch (pick(0, 9)) {
      case 0:
      case 1: {
        Params p{{"filters", pick(1, 5)}, {"kernel_size", pick_of({1, 3})},
                 {"kernel_stride", pick(1, 2)}, {"activation", activation}};
        if (in[0] >= 2 && in[1] >= 2 && pick(0, 1)) {
          p["kernel_stride"] = 1;  // keeps the map wide enough for the pooling window
          p["pool_type"] = pick(1, 2);
          p["pool_size"] = 2;
        }
        return add(LayerType::Conv2D, p, {source});
      }
      case 2: return add(LayerType::DepthwiseConv2D, {{"activation", activation}}, {source});
      case 3:
        if (in[0] * in[1] > 64) break;  // keeps the maps small
        return add(LayerType::Conv2DTranspose, {{"filters", pick(1, 3)}, {"padding", 1}},
                   {source});
      case 4:
        if (in.elements() > 4096) break;
        return add(LayerType::Dense1D, {{"units", pick(1, 6)}}, {source});
      case 5:
        if (in.elements() > 4096) break;
        return add(LayerType::FullyConnected, {{"units", pick(1, 6)}}, {source});
      case 6: {
        auto same = matching(model, in, false);
        auto other = same[pick(0, static_cast<int32_t>(same.size()) - 1)];
        return add(LayerType::Add, {}, {source, other});
      }
      case 7: {
        auto spatial = matching(model, in, true);
        std::vector<std::shared_ptr<Layer>> parts{source};
        for (int n = pick(0, 2); n > 0; --n) {
          parts.push_back(spatial[pick(0, static_cast<int32_t>(spatial.size()) - 1)]);
        }
        return add(LayerType::Concatenate, {}, parts);
      }
      case 8:
        if (!model.get_layer("in2")) {
          model.add(Layer::create(LayerParams(LayerType::InputData, input_), "in2"));
          return;
        }
        return add(LayerType::Dequantizer, {}, {source});
      default: break;
    }
    add(LayerType::Convolutional, {{"filters", pick(1, 4)}, {"kernel_width", 1},
                                   {"kernel_height", 1}},
        {source});
  }

  void fill_variables(Layer& layer) {
    for (const auto& name : layer.variables().names()) {
      auto tensor = std::make_shared<Dense>(*layer.variables().get(name));
      for (size_t i = 0; i < tensor->byte_size(); ++i) {
        tensor->raw()[i] = static_cast<uint8_t>(pick(0, 255));
      }
      layer.variables().set(name, tensor);
    }
  }

  std::mt19937 rng_;
  std::map<std::string, int32_t> input_;
};

TEST(ModelSerialize, RandomValidGraphsLoadBackToTheSameBytes) {
  for (uint32_t seed = 0; seed < 300; ++seed) {
    auto model = RandomGraph(seed).build();
    const auto bytes = model->serialize();
    std::unique_ptr<Model> loaded;
    try {
      loaded = Model::from_buffer(bytes.data(), bytes.size());
    } catch (const std::exception& e) {
      ADD_FAILURE() << "seed " << seed << ": " << e.what();
      continue;
    }
    EXPECT_EQ(loaded->serialize(), bytes) << "seed " << seed;
    EXPECT_EQ(model->copy()->serialize(), bytes) << "seed " << seed;
    // Variables that keep their bytes in the buffer load the same, and copies of the model
    // hold their own bytes.
    auto owned = std::make_shared<std::vector<uint8_t>>(bytes);
    auto adopted = Model::from_owned_buffer(owned, owned->data(), owned->size());
    auto copied = adopted->copy();
    owned.reset();
    EXPECT_EQ(adopted->serialize(), bytes) << "seed " << seed;
    for (const auto& layer : adopted->layers()) {
      for (const auto& name : layer->variables().names()) {
        auto tensor = layer->variables().get(name);
        for (size_t i = 0; i < tensor->byte_size(); ++i) tensor->raw()[i] ^= 0xFF;
      }
    }
    EXPECT_EQ(copied->serialize(), bytes) << "seed " << seed;
  }
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

// Hand-made buffers: any content the schema can hold, consistent or not.
struct VariableSpec {
  std::string name;
  TensorType type;
  std::vector<uint32_t> dims;
  std::vector<uint8_t> data;
};

struct StoredLayer {
  std::string name;
  uint32_t type;
  std::map<std::string, int32_t> params;
  std::vector<uint32_t> inbound;
  std::vector<VariableSpec> variables;
  std::optional<std::map<std::string, double>> learning;
};

std::vector<uint8_t> buffer_of(const std::vector<StoredLayer>& stored_layers) {
  flatbuffers::FlatBufferBuilder b;
  std::vector<flatbuffers::Offset<fb::LayerDef>> layers;
  for (const auto& stored : stored_layers) {
    std::vector<flatbuffers::Offset<fb::Param>> params;
    for (const auto& [key, value] : stored.params) {
      params.push_back(fb::CreateParam(b, b.CreateString(key), value));
    }
    std::vector<flatbuffers::Offset<fb::Variable>> variables;
    for (const auto& v : stored.variables) {
      variables.push_back(fb::CreateVariable(b, b.CreateString(v.name),
                                             static_cast<uint8_t>(v.type), b.CreateVector(v.dims),
                                             0, b.CreateVector(v.data)));
    }
    flatbuffers::Offset<fb::Learning> learning = 0;
    if (stored.learning) {
      std::vector<flatbuffers::Offset<fb::LearningValue>> values;
      for (const auto& [key, value] : *stored.learning) {
        values.push_back(fb::CreateLearningValue(b, b.CreateString(key), value));
      }
      learning = fb::CreateLearning(b, 0, b.CreateVector(values));
    }
    layers.push_back(fb::CreateLayerDef(b, b.CreateString(stored.name), stored.type,
                                        b.CreateVector(params), b.CreateVector(stored.inbound),
                                        b.CreateVector(variables), learning));
  }
  b.Finish(fb::CreateModelDef(b, 1, b.CreateVector(layers)), fb::ModelDefIdentifier());
  return {b.GetBufferPointer(), b.GetBufferPointer() + b.GetSize()};
}

constexpr uint32_t type_of(LayerType type) { return static_cast<uint32_t>(type); }

StoredLayer stored_input(int32_t width = 4, int32_t height = 4, int32_t channels = 2,
                     const std::string& name = "input") {
  return {name, type_of(LayerType::InputData),
          {{"input_width", width}, {"input_height", height}, {"input_channels", channels}}, {}, {},
          std::nullopt};
}

StoredLayer stored_fully_connected(int32_t units,
                               std::optional<std::map<std::string, double>> learning = {}) {
  return {"fc", type_of(LayerType::FullyConnected), {{"units", units}}, {0}, {}, learning};
}

// A buffer of a few hundred bytes whose second layer declares `units` neurons.
std::vector<uint8_t> fully_connected_buffer(int32_t units) {
  return buffer_of({stored_input(), stored_fully_connected(units)});
}

TEST(ModelSerialize, InconsistentContentIsRefusedWithItsReason) {
  const StoredLayer conv{"conv", type_of(LayerType::Conv2D), {{"filters", 2}}, {0}, {}, {}};
  auto with_name = [](StoredLayer stored, const std::string& name) {
    stored.name = name;
    return stored;
  };
  auto fed_by = [](StoredLayer stored, std::vector<uint32_t> inbound) {
    stored.inbound = std::move(inbound);
    return stored;
  };
  auto conv_with_variable = [&](const std::string& name, std::vector<uint32_t> dims) {
    StoredLayer stored = conv;
    stored.variables.push_back({name, TensorType::int8, std::move(dims), {1, 2}});
    return stored;
  };
  auto conv_learning = conv;
  conv_learning.learning = std::map<std::string, double>{{"num_classes", 1}};
  StoredLayer odd_key = conv;
  odd_key.params["\xc3\x28"] = 1;
  const double huge = 1e30;
  const int32_t wide = INT32_MAX;
  struct Case {
    const char* what;
    std::vector<StoredLayer> layers;
    const char* reason;
  };
  const std::vector<Case> cases{
      // Stored strings Python could not read back.
      {"name", {stored_input(4, 4, 2, "in\xff")}, "the name of layer 0 is not UTF-8"},
      {"surrogate name", {stored_input(4, 4, 2, "\xed\xa0\x80")}, "is not UTF-8"},
      {"parameter key", {stored_input(), odd_key}, "parameter key must be UTF-8"},
      {"variable name", {stored_input(), conv_with_variable("w\xc0\xaf", {2})}, "variable name"},
      {"learning key",
       {stored_input(), stored_fully_connected(6, {{{"num_classes", 2}, {"k\xff", 1}}})},
       "learning key"},
      // Learning sets that compile refuses: fit would index past the weights.
      {"classes above units", {stored_input(), stored_fully_connected(6, {{{"num_classes", 7}}})},
       "num_classes must be a whole number"},
      {"classes not dividing", {stored_input(), stored_fully_connected(6, {{{"num_classes", 4}}})},
       "multiple of num_classes"},
      {"huge classes", {stored_input(), stored_fully_connected(6, {{{"num_classes", huge}}})},
       "num_classes must be a whole number"},
      {"huge weights", {stored_input(), stored_fully_connected(6, {{{"num_weights", huge}}})},
       "num_weights must be a whole number"},
      {"NaN weights", {stored_input(), stored_fully_connected(6, {{{"num_weights", NAN}}})},
       "num_weights must be a whole number"},
      {"negative weights", {stored_input(), stored_fully_connected(6, {{{"num_weights", -1}}})},
       "num_weights must be a whole number"},
      {"learning on a convolution", {stored_input(), conv_learning}, "layer conv cannot learn"},
      // Element counts past 64 bits.
      {"variable shape",
       {stored_input(), conv_with_variable("extra", {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 2})},
       "too many elements"},
      {"layer shape",
       {stored_input(wide, wide, wide),
        {"dense", type_of(LayerType::Dense1D), {{"units", 1}}, {0}, {}, std::nullopt}},
       "too many elements"},
      {"weights shape",
       {stored_input(1, 1, wide), {"conv", type_of(LayerType::Conv2D),
                                 {{"filters", wide}, {"kernel_size", wide}}, {0}, {}, {}}},
       "too many elements"},
      // Graphs that add refuses.
      {"unknown type", {stored_input(), {"odd", 8, {}, {0}, {}, {}}}, "unknown type"},
      {"second input of another shape", {stored_input(), stored_input(4, 4, 3, "other")},
       "the model has one input"},
      {"two inputs to a convolution",
       {stored_input(), with_name(conv, "a"), fed_by(with_name(conv, "b"), {0, 1})},
       "takes one inbound layer"},
      {"one input to an Add",
       {stored_input(), {"sum", type_of(LayerType::Add), {}, {0}, {}, {}}}, "adds two"},
      {"layer without inbound", {stored_input(), fed_by(conv, {})}, "has no inbound layer"},
  };
  for (const auto& c : cases) {
    const auto bytes = buffer_of(c.layers);
    try {
      Model::from_buffer(bytes.data(), bytes.size());
      ADD_FAILURE() << c.what << ": loaded";
    } catch (const std::invalid_argument& e) {
      const std::string what = e.what();
      EXPECT_EQ(what.rfind("Invalid model buffer: ", 0), 0u) << c.what << ": " << what;
      EXPECT_NE(what.find(c.reason), std::string::npos) << c.what << ": " << what;
    }
  }
}

TEST(ModelSerialize, VariablesSharingStoredBytesLoadAsSeparateTensors) {
  // A hand-made buffer may point two variables at the same bytes: each tensor still gets bytes
  // of its own, so writing one leaves the other as stored.
  flatbuffers::FlatBufferBuilder b;
  const std::vector<uint8_t> values{1, 2};
  const auto data = b.CreateVector(values);
  const auto dims = b.CreateVector(std::vector<uint32_t>{2});
  std::vector<flatbuffers::Offset<fb::Variable>> variables;
  for (const char* name : {"input_shift", "extra"}) {
    variables.push_back(fb::CreateVariable(b, b.CreateString(name),
                                           static_cast<uint8_t>(TensorType::uint8), dims, 0,
                                           data));
  }
  const auto params = b.CreateVector(std::vector<flatbuffers::Offset<fb::Param>>{
      fb::CreateParam(b, b.CreateString("input_width"), 3),
      fb::CreateParam(b, b.CreateString("input_height"), 3),
      fb::CreateParam(b, b.CreateString("input_channels"), 2)});
  const auto input = fb::CreateLayerDef(b, b.CreateString("in"), type_of(LayerType::InputData),
                                        params);
  const auto filters = b.CreateVector(std::vector<flatbuffers::Offset<fb::Param>>{
      fb::CreateParam(b, b.CreateString("filters"), 2)});
  const auto conv = fb::CreateLayerDef(b, b.CreateString("conv"), type_of(LayerType::Conv2D),
                                       filters,
                                       b.CreateVector(std::vector<uint32_t>{0}),
                                       b.CreateVector(variables));
  b.Finish(fb::CreateModelDef(b, 1, b.CreateVector(std::vector{input, conv})),
           fb::ModelDefIdentifier());
  for (bool owned : {false, true}) {
    auto buffer = std::make_shared<std::vector<uint8_t>>(b.GetBufferPointer(),
                                                         b.GetBufferPointer() + b.GetSize());
    auto model = owned ? Model::from_owned_buffer(buffer, buffer->data(), buffer->size())
                       : Model::from_buffer(buffer->data(), buffer->size());
    const auto& stored = model->get_layer("conv")->variables();
    stored.get("input_shift")->raw()[0] = 9;
    EXPECT_EQ(stored.get("extra")->raw()[0], 1) << owned;
    EXPECT_EQ(stored.get("input_shift")->raw()[1], 2) << owned;
  }
}

TEST(ModelSerialize, RepeatedInputLayerLoadsBack) {
  // A second InputData repeating the first has no inbound layer once saved.
  auto model = Model::create();
  auto params = LayerParams(LayerType::InputData, {{"input_width", 4}, {"input_height", 4},
                                                   {"input_channels", 2}, {"input_bits", 4}});
  auto a = Layer::create(params, "a");
  auto b = Layer::create(params, "b");
  model->add(a);
  model->add(Layer::create(LayerParams(LayerType::Conv2D, {{"filters", 2}}), "conv"));
  model->add(b);
  model->add(Layer::create(LayerParams(LayerType::Concatenate, {}), "cat"),
             {model->get_layer("conv"), b});
  const auto bytes = model->serialize();
  auto loaded = Model::from_buffer(bytes.data(), bytes.size());
  EXPECT_EQ(loaded->serialize(), bytes);
  EXPECT_TRUE(loaded->get_layer("b")->inbound_layers().empty());
  // Both inputs read the one input tensor.
  std::vector<uint8_t> values(32, 3);
  auto out = loaded->forward(Dense::copy(values.data(), 32, TensorType::uint8, Shape{1, 4, 4, 2}));
  EXPECT_EQ(out->dimensions(), (Shape{1, 4, 4, 4}));
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
  EXPECT_EQ(plain(model_file::uncompress(block.data(), block.size())), raw);
  auto padded = block;
  padded.insert(padded.end(), 16, 0);
  EXPECT_EQ(plain(model_file::uncompress(padded.data(), padded.size())), raw);
  // Trailing bytes that read as an element (a literal, a copy) are ignored as well.
  for (std::vector<uint8_t> tail : {std::vector<uint8_t>{0x08, 'a', 'b', 'c'},
                                    std::vector<uint8_t>{0x01 | (4 << 2), 0x01}}) {
    auto extended = block;
    extended.insert(extended.end(), tail.begin(), tail.end());
    EXPECT_EQ(plain(model_file::uncompress(extended.data(), extended.size())), raw);
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
  EXPECT_EQ(plain(model_file::read(path)), bytes);
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
  EXPECT_EQ(plain(model_file::read(real)), bytes);
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
  EXPECT_EQ(plain(model_file::read(real.string())), bytes);
  EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  // A file with another hard link is written in place: both names see the new model.
  fs::create_hard_link(real, dir / "twin.fbz");
  const auto other = Model::create()->serialize();
  model_file::write(real.string(), other);
  EXPECT_EQ(plain(model_file::read((dir / "twin.fbz").string())), other);
  EXPECT_EQ(fs::hard_link_count(real), 2u);
  // A chain of links that dangles at its end creates the end; one that loops is refused.
  fs::create_symlink("hop.fbz", dir / "first.fbz");
  fs::create_symlink(dir / "sub" / "end.fbz", dir / "hop.fbz");
  fs::create_directory(dir / "sub");
  model_file::write((dir / "first.fbz").string(), bytes);
  EXPECT_TRUE(fs::is_symlink(dir / "first.fbz") && fs::is_symlink(dir / "hop.fbz"));
  EXPECT_EQ(plain(model_file::read((dir / "sub" / "end.fbz").string())), bytes);
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
