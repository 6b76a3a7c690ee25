// The model's serialised form (engine/model.fbs) and its reader. The reader trusts nothing:
// the buffer is verified by flatbuffers first, then every field is checked as the model is
// rebuilt through the same operations a user would call (create, add, variable writes).

#include <algorithm>
#include <array>
#include <functional>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "model_generated.h"
#include "qalto/model.hpp"
#include "qalto/model_file.hpp"

namespace qalto {

namespace {

constexpr uint32_t kFormatVersion = 1;
// Bounds the verifier's work on hostile buffers (depth of nesting and number of tables).
constexpr flatbuffers::uoffset_t kMaxDepth = 16;
constexpr flatbuffers::uoffset_t kMaxTables = 16u * 1024u * 1024u;

[[noreturn]] void invalid(const std::string& why) {
  throw std::invalid_argument("Invalid model buffer: " + why);
}

flatbuffers::Offset<fb::Variable> write_variable(flatbuffers::FlatBufferBuilder& builder,
                                                 const std::string& name, const Dense& tensor) {
  const auto dims = tensor.dimensions().to_vector();
  return fb::CreateVariable(builder, builder.CreateString(name),
                            static_cast<uint8_t>(tensor.type()), builder.CreateVector(dims),
                            static_cast<uint8_t>(tensor.layout()),
                            builder.CreateVector(tensor.raw(), tensor.byte_size()));
}

// The position of each layer in its model.
using Positions = std::unordered_map<const Layer*, uint32_t>;

flatbuffers::Offset<fb::LayerDef> write_layer(flatbuffers::FlatBufferBuilder& builder,
                                              const Positions& positions, const Layer& layer) {
  std::vector<flatbuffers::Offset<fb::Param>> params;
  for (const auto& [name, value] : layer.params().entries()) {
    params.push_back(fb::CreateParam(builder, builder.CreateString(name), value));
  }
  std::vector<uint32_t> inbound;
  for (const auto& source : layer.inbound_layers()) {
    const auto found = positions.find(source.get());
    if (found != positions.end()) inbound.push_back(found->second);
  }
  std::vector<flatbuffers::Offset<fb::Variable>> variables;
  for (const auto& name : layer.variables().names()) {
    variables.push_back(write_variable(builder, name, *layer.variables().get(name)));
  }
  flatbuffers::Offset<fb::Learning> learning = 0;
  if (const auto set = layer.learning()) {
    std::vector<flatbuffers::Offset<fb::LearningValue>> values;
    for (const auto& key : set->keys()) {
      values.push_back(fb::CreateLearningValue(builder, builder.CreateString(key), set->get(key)));
    }
    learning = fb::CreateLearning(builder, set->learning_type(), builder.CreateVector(values));
  }
  return fb::CreateLayerDef(builder, builder.CreateString(layer.get_name()),
                            static_cast<uint32_t>(layer.type()), builder.CreateVector(params),
                            builder.CreateVector(inbound), builder.CreateVector(variables),
                            learning);
}

// Where the variables' bytes may stay in the buffer instead of being copied: a buffer the model
// may keep (`owner`), whose bytes nothing else uses. Each tensor must have bytes of its own, so
// only data below every range adopted so far is adopted (a writer stores later variables lower
// down); data that overlaps, or that is not aligned for its type, is copied.
struct Adoption {
  std::shared_ptr<void> owner;
  const uint8_t* lowest = nullptr;  // the start of the lowest range adopted so far

  bool can_take(const uint8_t* data, size_t bytes, TensorType type) const {
    return owner && data + bytes <= lowest &&
           reinterpret_cast<uintptr_t>(data) % element_size(type) == 0;
  }
};

std::shared_ptr<Dense> read_variable(const fb::Variable& def, const std::string& layer,
                                     Adoption* adoption = nullptr) {
  // The message is built only on failure: a model has thousands of variables.
  const auto refuse = [&layer](const char* why) {
    invalid(std::string(why) + " variable of layer " + layer + ".");
  };
  if (!def.name() || !def.dims() || !def.data()) refuse("incomplete");
  const auto type = static_cast<TensorType>(def.tensor_type());
  if (!is_valid_tensor_type(type)) refuse("unknown tensor type in");
  if (def.layout() > static_cast<uint8_t>(Dense::Layout::ColMajor)) refuse("unknown layout in");
  const auto& stored_dims = *def.dims();
  if (stored_dims.size() == 0 || stored_dims.size() > Shape::max_dims) refuse("bad rank in");
  std::array<uint32_t, Shape::max_dims> dims{};
  for (flatbuffers::uoffset_t i = 0; i < stored_dims.size(); ++i) {
    dims[i] = stored_dims.Get(i);
    if (dims[i] == 0) refuse("zero dimension in");
  }
  const Shape shape(dims.data(), stored_dims.size());
  // The data must be exactly the tensor's bytes: elements() is overflow-checked, and the
  // product is compared with what the buffer really holds before any copy.
  uint64_t bytes = 0;
  if (__builtin_mul_overflow(shape.elements(), uint64_t{element_size(type)}, &bytes) ||
      bytes != def.data()->size()) {
    refuse("data size does not match the shape of");
  }
  const uint8_t* data = def.data()->data();
  const auto layout = static_cast<Dense::Layout>(def.layout());
  if (adoption && adoption->can_take(data, bytes, type)) {
    // The buffer is the adoption's own: writing through the tensor is writing to its bytes.
    auto tensor = Dense::adopt(adoption->owner, const_cast<uint8_t*>(data), bytes, type, shape,
                               layout);
    adoption->lowest = data;
    return tensor;
  }
  return Dense::copy(data, bytes, type, shape, layout);
}

// read_variable's tensor, or null where read_variable refuses the variable.
std::shared_ptr<Dense> try_read_variable(const fb::Variable& def, const std::string& layer,
                                         Adoption& adoption) {
  try {
    return read_variable(def, layer, &adoption);
  } catch (const std::invalid_argument&) {
    return nullptr;
  } catch (const std::overflow_error&) {
    return nullptr;
  }
}

// The stored variables of a layer, read before the layer is built and offered to its build,
// which takes them instead of creating zero-filled ones: one tensor per stored variable, null
// where read_variable refuses the variable. The build takes the first offer of a name only, the
// one the first write by that name would have replaced.
std::vector<std::shared_ptr<Dense>> read_variables(const fb::LayerDef& def, Layer& layer,
                                                   Adoption& adoption) {
  std::vector<std::shared_ptr<Dense>> tensors;
  if (!def.variables()) return tensors;
  Layer::NamedTensors offered;
  tensors.reserve(def.variables()->size());
  offered.reserve(def.variables()->size());
  for (const auto* variable : *def.variables()) {
    tensors.push_back(try_read_variable(*variable, layer.get_name(), adoption));
    if (tensors.back()) offered.emplace_back(variable->name()->str(), tensors.back());
  }
  layer.offer_variables(std::move(offered));
  return tensors;
}

// A stored learning set must pass the checks of compile: fit indexes the weights with it.
void read_learning(Layer& layer, const fb::Learning& def) {
  const std::string& name = layer.get_name();
  std::map<std::string, double> values;
  if (def.values()) {
    for (const auto* value : *def.values()) {
      if (!value->name()) invalid("unnamed learning value in layer " + name + ".");
      values[value->name()->str()] = value->value();
    }
  }
  if (!layer.can_learn()) invalid("layer " + name + " cannot learn.");
  auto learning = LearningParams::create(def.learning_type(), values);
  try {
    check_learning(layer, *learning);
  } catch (const std::invalid_argument& e) {
    invalid("learning set of layer " + name + ": " + e.what());
  }
  layer.set_learning(std::move(learning));
}

// Model::add for the reader's new model, which has no mapping to drop.
using AppendLayer = std::function<void(const std::shared_ptr<Layer>&,
                                       const std::vector<std::shared_ptr<Layer>>&)>;

// `budget`: the bytes that the variables of this layer and the later ones may still take. A
// genuine buffer holds every variable's bytes, so its layers never need more than its size.
void read_layer(const Model& model, const AppendLayer& append, const fb::LayerDef& def,
                size_t index, uint64_t& budget, Adoption& adoption) {
  if (!def.name()) invalid("layer " + std::to_string(index) + " has no name.");
  const std::string name = def.name()->str();
  // Python reads names back as str; the name stays out of the message, which is text too.
  if (!is_valid_utf8(name)) {
    invalid("the name of layer " + std::to_string(index) + " is not UTF-8.");
  }
  std::map<std::string, int32_t> entries;
  if (def.params()) {
    for (const auto* param : *def.params()) {
      if (!param->name()) invalid("unnamed parameter in layer " + name + ".");
      entries[param->name()->str()] = param->value();
    }
  }
  const auto type = static_cast<LayerType>(def.layer_type());
  if (type == LayerType::Unknown || std::string(layer_type_name(type)) == "Unknown") {
    invalid("layer " + name + " has an unknown type.");
  }
  std::shared_ptr<Layer> layer;
  try {
    layer = Layer::create(LayerParams(type, std::move(entries)), name);
  } catch (const std::invalid_argument& e) {
    invalid(std::string("layer ") + name + ": " + e.what());
  }
  std::vector<std::shared_ptr<Layer>> inbound;
  if (def.inbound()) {
    for (uint32_t source : *def.inbound()) {
      if (source >= index) invalid("layer " + name + " is fed by a later layer.");
      inbound.push_back(model.layers()[source]);
    }
  }
  // An InputData reads the model's input (Model::add then checks that it repeats the first
  // layer); any other layer given no inbound layer would be fed from the previous one.
  if (index > 0 && inbound.empty() && type != LayerType::InputData) {
    invalid("layer " + name + " has no inbound layer.");
  }
  try {
    const auto stored = read_variables(def, *layer, adoption);
    layer->limit_new_variable_bytes(budget);
    append(layer, inbound);
    layer->limit_new_variable_bytes(Layer::kUnlimitedVariableBytes);
    budget -= std::min(budget, layer->variable_bytes());
    // The stored variables are written in file order, with the errors of a write by name; the
    // ones the build took are in place already and have passed the same checks.
    for (size_t i = 0; i < stored.size(); ++i) {
      const auto& variable = *def.variables()->Get(static_cast<flatbuffers::uoffset_t>(i));
      if (!stored[i]) read_variable(variable, name);  // throws its refusal
      const std::string variable_name = variable.name()->str();
      auto& variables = layer->variables();
      if (variables.has(variable_name) && variables.get(variable_name) == stored[i]) continue;
      variables.set(variable_name, stored[i]);
    }
  } catch (const std::invalid_argument& e) {
    const std::string what = e.what();
    if (what.rfind("Invalid model buffer: ", 0) == 0) throw;
    invalid(std::string("layer ") + name + ": " + what);
  } catch (const std::overflow_error& e) {
    invalid(std::string("layer ") + name + ": " + e.what());  // element counts past 64 bits
  }
  if (const auto* learning = def.learning()) read_learning(*layer, *learning);
}

}  // namespace

std::vector<uint8_t> Model::serialize() const {
  flatbuffers::FlatBufferBuilder builder;
  Positions positions;
  for (size_t i = 0; i < layers_.size(); ++i) {
    positions.emplace(layers_[i].get(), static_cast<uint32_t>(i));
  }
  std::vector<flatbuffers::Offset<fb::LayerDef>> layers;
  for (const auto& layer : layers_) layers.push_back(write_layer(builder, positions, *layer));
  builder.Finish(fb::CreateModelDef(builder, kFormatVersion, builder.CreateVector(layers)),
                 fb::ModelDefIdentifier());
  return {builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize()};
}

std::unique_ptr<Model> Model::from_buffer(const uint8_t* data, size_t size) {
  return read_buffer(data, size, nullptr);
}

std::unique_ptr<Model> Model::from_owned_buffer(std::shared_ptr<void> owner, uint8_t* data,
                                                size_t size) {
  return read_buffer(data, size, std::move(owner));
}

std::unique_ptr<Model> Model::load(const std::string& path) {
  auto bytes = std::make_shared<model_file::Bytes>(model_file::read(path));
  return from_owned_buffer(bytes, bytes->data(), bytes->size());
}

std::unique_ptr<Model> Model::read_buffer(const uint8_t* data, size_t size,
                                          std::shared_ptr<void> owner) {
  if (!data || size == 0) invalid("empty buffer.");
  flatbuffers::Verifier verifier(data, size, kMaxDepth, kMaxTables);
  if (!fb::VerifyModelDefBuffer(verifier)) invalid("not a serialized model.");
  const auto* def = fb::GetModelDef(data);
  if (def->format_version() != kFormatVersion) {
    invalid("unsupported format version " + std::to_string(def->format_version()) + ".");
  }
  auto model = create();
  if (def->layers()) {
    size_t index = 0;
    uint64_t budget = size;
    Adoption adoption{std::move(owner), data + size};
    const AppendLayer append = [&model](const auto& layer, const auto& inbound) {
      model->append(layer, inbound);
    };
    for (const auto* layer : *def->layers()) {
      read_layer(*model, append, *layer, index++, budget, adoption);
    }
  }
  return model;
}

}  // namespace qalto
