#include "qalto/model.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>

#include "qalto/backend_registry.hpp"
#include "qalto/saturating.hpp"
#include "qalto/software.hpp"

namespace qalto {

namespace {

bool is_first_generation(LayerType type) {
  switch (type) {
    case LayerType::InputConvolutional:
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional:
    case LayerType::FullyConnected: return true;
    default: return false;
  }
}

bool is_mivo_type(LayerType type) {
  return type == LayerType::StatefulRecurrent || type == LayerType::MivoPostProcessing;
}

bool is_v2_type(LayerType type) {
  switch (type) {
    case LayerType::Conv2D:
    case LayerType::InputConv2D:
    case LayerType::DepthwiseConv2D:
    case LayerType::Conv2DTranspose:
    case LayerType::DepthwiseConv2DTranspose:
    case LayerType::BufferTempConv:
    case LayerType::DepthwiseBufferTempConv:
    case LayerType::Dense1D: return true;
    default: return false;
  }
}

// A layer's parameters, learning parameters and variables copied onto a new layer of `model`
// fed by the layers of the same names.
void copy_layer_into(Model& model, const Layer& source) {
  auto layer = Layer::create(source.params(), source.get_name());
  std::vector<std::shared_ptr<Layer>> inbound;
  for (const auto& in : source.inbound_layers()) {
    auto mine = model.get_layer(in->get_name());
    if (!mine) {
      throw std::invalid_argument("Inbound layer " + in->get_name() + " of " +
                                  source.get_name() + " is not in the model.");
    }
    inbound.push_back(std::move(mine));
  }
  model.add(layer, inbound);
  for (const auto& name : source.variables().names()) {
    layer->variables().set(name, std::make_shared<Dense>(*source.variables().get(name)));
  }
  if (source.learning()) layer->set_learning(LearningParams::clone(*source.learning()));
}

// The number of inbound layers a layer of this type reads. A single-input layer given several
// would silently read the first only, and an Add takes exactly two (its operation has two
// operands).
void check_inbound_count(const Layer& layer, size_t count) {
  const std::string& name = layer.get_name();
  switch (layer.type()) {
    case LayerType::InputData:
      if (count != 0) {
        throw std::invalid_argument("Layer " + name +
                                    " reads the model's input: it takes no inbound layer.");
      }
      return;
    case LayerType::Add:
      if (count != 2) {
        throw std::invalid_argument("Layer " + name + " adds two inbound layers, got " +
                                    std::to_string(count) + ".");
      }
      return;
    case LayerType::Concatenate: return;
    default:
      if (count > 1) {
        throw std::invalid_argument("Layer " + name + " takes one inbound layer, got " +
                                    std::to_string(count) + ".");
      }
  }
}

// A model runs on one input tensor, which every InputData reads (engine/software.cpp). So a
// later InputData must describe that same input: the first layer is an InputData with the same
// shape, bits and sign.
void check_repeated_input(const std::vector<std::shared_ptr<Layer>>& layers, const Layer& layer) {
  if (layer.type() != LayerType::InputData || layers.empty()) return;
  const Layer& first = *layers.front();
  bool same = first.type() == LayerType::InputData;
  for (const char* key : {"input_width", "input_height", "input_channels", "input_bits",
                          "input_signed", "output_bits"}) {
    same = same && first.params().get_or(key, 0) == layer.params().get_or(key, 0);
  }
  if (!same) {
    throw std::invalid_argument(
        "Layer " + layer.get_name() +
        ": the model has one input, given by its first layer; another InputData must repeat "
        "that InputData's shape, bits and sign.");
  }
}

// The samples of an (n, x, y, c) input, each (x, y, c).
std::vector<std::shared_ptr<const Dense>> samples_of(const Dense& inputs) {
  std::vector<std::shared_ptr<const Dense>> samples;
  for (auto& sample : Dense::split(inputs)) samples.push_back(std::move(sample));
  return samples;
}

// Stacks (x, y, c) outputs into one (n, x, y, c) tensor.
std::shared_ptr<Dense> stack(const std::vector<std::shared_ptr<const Dense>>& outputs) {
  const Dense& first = *outputs.front();
  std::vector<uint32_t> dims{static_cast<uint32_t>(outputs.size())};
  for (uint32_t d : first.dimensions()) dims.push_back(d);
  while (dims.size() < 4) dims.insert(dims.begin() + 1, 1);
  if (dims.size() > 4) throw std::runtime_error("Model output has too many dimensions.");
  auto out = Dense::create(first.type(), Shape(dims));
  const size_t bytes = first.byte_size();
  for (size_t i = 0; i < outputs.size(); ++i) {
    if (outputs[i]->type() != first.type() || outputs[i]->byte_size() != bytes) {
      throw std::runtime_error("Model outputs differ in type or shape.");
    }
    std::memcpy(out->raw() + i * bytes, outputs[i]->raw(), bytes);
  }
  return out;
}

void check_inputs(const Model& model, const Dense& inputs) {
  const auto expected = model.input_shape();
  const Shape& dims = inputs.dimensions();
  bool ok = dims.size() == expected.size() + 1;
  for (size_t i = 0; ok && i < expected.size(); ++i) ok = dims[i + 1] == expected[i];
  if (!ok) {
    std::string want = "(n";
    for (uint32_t d : expected) want += ", " + std::to_string(d);
    throw std::invalid_argument("Inputs should have shape " + want + "), got " +
                                dims.to_string() + ".");
  }
  const Layer& first = *model.layers().front();
  if (inputs.type() == TensorType::float32) {
    if (first.type() != LayerType::Quantizer) {
      throw std::invalid_argument("Float inputs need a model that starts with a Quantizer.");
    }
    return;
  }
  // Values must fit the input bit width: wider ones would be silently cut by the hardware.
  const int bits = first.params().get_or("input_bits", 8);
  const bool is_signed = first.input_sign_code() == 2;
  const int64_t high = is_signed ? (int64_t{1} << (bits - 1)) - 1 : (int64_t{1} << bits) - 1;
  const int64_t low = is_signed ? -(int64_t{1} << (bits - 1)) : 0;
  const uint64_t outside = inputs.first_value_outside(low, high);
  if (outside < inputs.size()) {
    throw std::invalid_argument("Input values should lie within [" + std::to_string(low) + ", " +
                                std::to_string(high) + "], got " +
                                std::to_string(inputs.value_as_int(outside)) + ".");
  }
}

// Runs the samples through one hardware sequence, `batch_size` at a time. `labels` (null for
// inference) is one label for all samples, or one per sample, sliced with the batches.
std::vector<std::shared_ptr<const Dense>> run_hardware(
    ForwardableSequence& sequence, const std::vector<std::shared_ptr<const Dense>>& samples,
    uint32_t batch_size, const std::vector<int32_t>* labels) {
  std::vector<std::shared_ptr<const Dense>> outputs;
  const size_t step = batch_size == 0 ? std::max<size_t>(samples.size(), 1) : batch_size;
  for (size_t start = 0; start < samples.size(); start += step) {
    const size_t end = std::min(samples.size(), start + step);
    ForwardableSequence::Tensors batch(samples.begin() + start, samples.begin() + end);
    std::vector<int32_t> batch_labels;
    if (labels) {
      if (labels->size() == samples.size() && labels->size() > 1) {
        batch_labels.assign(labels->begin() + start, labels->begin() + end);
      } else {
        batch_labels = *labels;
      }
    }
    auto results = sequence.forward_samples(batch, labels ? &batch_labels : nullptr);
    if (results.size() != batch.size()) {
      throw std::runtime_error("The hardware sequence returned " + std::to_string(results.size()) +
                               " outputs for " + std::to_string(batch.size()) + " inputs.");
    }
    for (auto& result : results) {
      if (!result) throw std::runtime_error("The hardware sequence returned no output.");
      outputs.push_back(std::move(result));
    }
  }
  return outputs;
}

// Where a hardware sequence takes its one input tensor from.
struct HardwareInput {
  enum class From { ModelInput, Layer, Previous } from = From::Previous;
  const Layer* layer = nullptr;  // with From::Layer
};

std::vector<const Layer*> layers_of(const Sequence& sequence) {
  std::vector<const Layer*> layers;
  for (const auto& pass : sequence.passes()) {
    for (const auto& layer : pass->layers) layers.push_back(layer.get());
  }
  return layers;
}

// What a mapped run can give a sequence: the model's input (the output of every InputData),
// and the output of the last layer of each sequence already run. The other layers of a
// hardware sequence leave no output outside the device.
class Availability {
 public:
  // Throws runtime_error when `reader` (outside the sequence of `source`) cannot be given the
  // output of `source`.
  void check(const Layer& reader, const Layer& source) const {
    if (source.type() == LayerType::InputData || returned_.count(&source)) return;
    if (on_device_.count(&source)) {
      throw std::runtime_error("Layer " + reader.get_name() + " needs the output of layer " +
                               source.get_name() + ", which stays on the device: a hardware " +
                               "sequence returns the output of its last layer only.");
    }
    throw std::runtime_error("Layer " + reader.get_name() + " needs the output of layer " +
                             source.get_name() + ", which no earlier sequence returns.");
  }
  void add(const std::vector<const Layer*>& layers, bool hardware) {
    if (layers.empty()) return;
    if (hardware) on_device_.insert(layers.begin(), layers.end() - 1);
    returned_.insert(layers.back());
  }

 private:
  std::set<const Layer*> returned_;
  std::set<const Layer*> on_device_;
};

std::string source_name(const HardwareInput& input) {
  return input.from == HardwareInput::From::Layer ? "layer " + input.layer->get_name()
                                                  : std::string("the model's input");
}

// The one tensor a hardware sequence is given: the output of the layer outside it that its
// layers read, or the model's input for an InputData. A sequence that lists no layers takes
// the previous sequence's output.
HardwareInput hardware_input(const Sequence& sequence, const std::vector<const Layer*>& layers) {
  const std::set<const Layer*> own(layers.begin(), layers.end());
  HardwareInput input;
  auto take = [&](HardwareInput next) {
    const bool same = input.from == next.from && input.layer == next.layer;
    if (input.from != HardwareInput::From::Previous && !same) {
      throw std::runtime_error("Hardware sequence " + sequence.name() + " takes one input but " +
                               "needs both " + source_name(input) + " and " + source_name(next) +
                               ".");
    }
    input = next;
  };
  for (const Layer* layer : layers) {
    if (layer->type() == LayerType::InputData) take({HardwareInput::From::ModelInput, nullptr});
    for (const auto& source : layer->inbound_layers()) {
      if (own.count(source.get())) continue;
      if (source->type() == LayerType::InputData) {
        take({HardwareInput::From::ModelInput, nullptr});
      } else {
        take({HardwareInput::From::Layer, source.get()});
      }
    }
  }
  return input;
}

// Checks, before anything runs, that every layer of every sequence can be given the outputs
// of its real inbound layers, and returns the input of each hardware sequence (unused for
// software ones). Throws runtime_error naming the layer and the output it cannot get.
std::vector<HardwareInput> plan_inputs(const Sequences& sequences) {
  Availability available;
  std::vector<HardwareInput> inputs;
  for (const auto& sequence : sequences) {
    const auto layers = layers_of(*sequence);
    const std::set<const Layer*> own(layers.begin(), layers.end());
    for (const Layer* layer : layers) {
      for (const auto& source : layer->inbound_layers()) {
        if (!own.count(source.get())) available.check(*layer, *source);
      }
    }
    const bool hardware = !dynamic_cast<const SoftwareSequence*>(sequence.get());
    inputs.push_back(hardware ? hardware_input(*sequence, layers) : HardwareInput{});
    available.add(layers, hardware);
  }
  return inputs;
}

// Per sample, the output of every InputData of `layers`: the sample in the layer's type.
std::vector<software::KnownOutputs> input_outputs(
    const std::vector<std::shared_ptr<Layer>>& layers,
    const std::vector<std::shared_ptr<const Dense>>& samples) {
  std::vector<software::KnownOutputs> known(samples.size());
  for (const auto& layer : layers) {
    if (layer->type() != LayerType::InputData) continue;
    for (size_t s = 0; s < samples.size(); ++s) {
      known[s][layer.get()] = software::run_sample({layer}, samples[s]);
    }
  }
  return known;
}

}  // namespace

// ---- construction and copies ----

std::unique_ptr<Model> Model::copy() const {
  auto model = create();
  for (const auto& layer : layers_) copy_layer_into(*model, *layer);
  return model;
}

bool Model::contains(const Layer* layer) const {
  const auto found = positions_.find(layer->get_name());
  return found != positions_.end() && layers_[found->second].get() == layer;
}

void Model::unmap() {
  sequences_.clear();
  device_.reset();
  for (const auto& layer : layers_) layer->set_mapping(nullptr);
}

void Model::add(const std::shared_ptr<Layer>& layer,
                const std::vector<std::shared_ptr<Layer>>& inbound) {
  append(layer, inbound);
  unmap();
}

void Model::append(const std::shared_ptr<Layer>& layer,
                   const std::vector<std::shared_ptr<Layer>>& inbound) {
  if (!layer) throw std::invalid_argument("Cannot add an empty layer.");
  if (contains(layer.get())) {
    throw std::invalid_argument("Layer " + layer->get_name() + " is already in the model.");
  }
  if (get_layer(layer->get_name())) {
    throw std::invalid_argument("A layer named " + layer->get_name() + " is already in the model.");
  }
  std::vector<std::shared_ptr<Layer>> sources = inbound;
  // An input layer reads the model's input, never another layer: a second one opens a second
  // input of the graph.
  const bool feeds_from_last = layer->type() != LayerType::InputData;
  if (sources.empty() && !layers_.empty() && feeds_from_last) sources.push_back(layers_.back());
  for (const auto& source : sources) {
    if (!source || !contains(source.get())) {
      throw std::invalid_argument("Inbound layer of " + layer->get_name() +
                                  " is not in the model.");
    }
  }
  if (sources.empty() && !layer->is_input_layer()) {
    throw std::invalid_argument("Layer " + layer->get_name() +
                                " cannot start a model: it does not know its input shape.");
  }
  check_inbound_count(*layer, sources.size());
  check_repeated_input(layers_, *layer);
  std::vector<Shape> inputs;
  for (const auto& source : sources) inputs.push_back(source->output_dimensions());
  layer->build(inputs);  // throws before anything is wired
  positions_.emplace(layer->get_name(), layers_.size());
  layer->connect_inbound(sources);
  layers_.push_back(layer);
}

void Model::pop_layer() {
  if (layers_.empty()) return;
  unmap();
  layers_.back()->disconnect();
  positions_.erase(layers_.back()->get_name());
  layers_.pop_back();
}

// ---- learning ----

void check_learning(const Layer& layer, const LearningParams& learning) {
  for (const auto& key : learning.keys()) {
    if (!is_valid_utf8(key)) throw std::invalid_argument("A learning key must be UTF-8 text.");
  }
  if (learning.has("num_classes")) {
    const double classes = learning.get("num_classes");
    const auto units = static_cast<double>(layer.params().get("units"));
    if (!(classes >= 1) || classes != std::floor(classes) || classes > units) {
      throw std::invalid_argument("num_classes must be a whole number from 1 to the layer's units.");
    }
    if (std::fmod(units, classes) != 0) {
      throw std::invalid_argument("The layer's units must be a multiple of num_classes.");
    }
  }
  if (learning.has("num_weights")) {
    const double weights = learning.get("num_weights");
    if (!(weights >= 0) || weights != std::floor(weights) || weights > kMaxLearningWeights) {
      throw std::invalid_argument("num_weights must be a whole number from 0 to " +
                                  std::to_string(static_cast<uint64_t>(kMaxLearningWeights)) + ".");
    }
  }
}

void Model::compile(const std::shared_ptr<LearningParams>& learning) {
  if (!learning) throw std::invalid_argument("Cannot compile without learning parameters.");
  if (layers_.empty()) throw std::runtime_error("The model has no layers.");
  Layer& last = *layers_.back();
  if (!last.can_learn()) throw std::runtime_error("The last layer cannot learn.");
  check_learning(last, *learning);
  last.set_learning(learning);
}

std::shared_ptr<LearningParams> Model::learning() const {
  return layers_.empty() ? nullptr : layers_.back()->learning();
}

// ---- running ----

std::shared_ptr<Tensor> Model::run(const std::shared_ptr<const Dense>& inputs, uint32_t batch_size,
                                   const std::vector<int32_t>* labels) {
  if (layers_.empty()) {
    throw std::invalid_argument("Cannot perform an inference on a model with no layers");
  }
  if (!inputs) throw std::invalid_argument("Missing inputs.");
  check_inputs(*this, *inputs);
  auto samples = samples_of(*inputs);
  if (sequences_.empty()) {
    // One run over all samples: temporal layers carry their state from sample to sample.
    return stack(software::Run(layers_).samples(samples));
  }
  for (const auto& sequence : sequences_) {
    if (!dynamic_cast<SoftwareSequence*>(sequence.get()) &&
        !dynamic_cast<ForwardableSequence*>(sequence.get())) {
      throw std::runtime_error("Sequence " + sequence->name() + " cannot be run.");
    }
  }
  const auto hardware_inputs = plan_inputs(sequences_);
  // Every layer reads its real inbound layers: the outputs known so far, per sample.
  auto known = input_outputs(layers_, samples);
  auto outputs = samples;  // the previous sequence's outputs
  for (size_t i = 0; i < sequences_.size(); ++i) {
    const auto& sequence = sequences_[i];
    if (auto* software = dynamic_cast<SoftwareSequence*>(sequence.get())) {
      outputs = software::Run(software->layers()).samples(outputs, &known);
    } else {
      const HardwareInput& input = hardware_inputs[i];
      std::vector<std::shared_ptr<const Dense>> given = outputs;
      if (input.from == HardwareInput::From::ModelInput) given = samples;
      if (input.from == HardwareInput::From::Layer) {
        for (size_t s = 0; s < samples.size(); ++s) given[s] = known[s].at(input.layer);
      }
      const bool last = i + 1 == sequences_.size();
      outputs = run_hardware(dynamic_cast<ForwardableSequence&>(*sequence), given, batch_size,
                             last ? labels : nullptr);
    }
    const auto layers = layers_of(*sequence);
    if (layers.empty()) continue;
    for (size_t s = 0; s < samples.size(); ++s) known[s][layers.back()] = outputs[s];
  }
  return stack(outputs);
}

std::shared_ptr<Tensor> Model::forward(const std::shared_ptr<const Dense>& inputs,
                                       uint32_t batch_size) {
  return run(inputs, batch_size, nullptr);
}

std::shared_ptr<Tensor> Model::predict(const std::shared_ptr<const Dense>& inputs,
                                       uint32_t batch_size) {
  if (!layers_.empty() && layers_.back()->has_activation()) {
    throw std::runtime_error(
        "predict applies only to models without an activation on the last layer.");
  }
  auto result = std::dynamic_pointer_cast<Dense>(run(inputs, batch_size, nullptr));
  const Layer& last = *layers_.back();
  if (result->type() == TensorType::float32) return result;
  auto out = Dense::create(TensorType::float32, result->dimensions());
  const bool scaled = last.variables().has("threshold") && last.variables().has("act_step");
  const uint32_t channels = result->dimensions()[result->dimensions().size() - 1];
  float* o = out->data<float>();
  for (uint64_t i = 0; i < result->size(); ++i) {
    double value = static_cast<double>(result->value_as_int(i));
    if (scaled) {
      const size_t c = i % channels;
      double step = last.variables().get("act_step")->at<float>(c);
      if (!(step > 0)) step = 1;
      value = (value - static_cast<double>(last.variables().get("threshold")->value_as_int(c))) / step;
    }
    o[i] = static_cast<float>(value);
  }
  return out;
}

std::shared_ptr<Tensor> Model::fit(const std::shared_ptr<const Dense>& inputs,
                                   const std::vector<int32_t>& labels, uint32_t batch_size) {
  if (layers_.empty()) {
    throw std::invalid_argument("Cannot perform an inference on a model with no layers");
  }
  if (!inputs) throw std::invalid_argument("Missing inputs.");
  Layer& last = *layers_.back();
  auto learning = last.learning();
  if (!learning) throw std::runtime_error("The last layer must be compiled.");
  check_inputs(*this, *inputs);
  const uint64_t count = inputs->dimensions()[0];
  if (!labels.empty() && labels.size() != 1 && labels.size() != count) {
    throw std::invalid_argument("Labels must hold one label per input or a single label.");
  }
  // The learning set may have changed since compile: every value is checked again before it
  // is turned into an integer or an index.
  check_learning(last, *learning);
  const bool hardware_last =
      !sequences_.empty() && !dynamic_cast<SoftwareSequence*>(sequences_.back().get());
  if (hardware_last) return run(inputs, batch_size, &labels);
  // Software learning: a winner-take-all rule on the last layer's weights. The winner among the
  // neurons of the sample's class (all neurons without labels) takes the sample's active inputs
  // into its weights, up to "num_weights" active weights per neuron (0: no limit).
  const std::vector<std::shared_ptr<Layer>> body(layers_.begin(), layers_.end() - 1);
  const auto units = static_cast<uint32_t>(last.params().get("units"));
  // In range after check_learning: classes from 1 to units, num_weights within 32 bits.
  const auto classes =
      static_cast<uint32_t>(learning->has("num_classes") ? learning->get("num_classes") : 1);
  const uint32_t per_class = units / classes;
  const auto weights_value =
      static_cast<uint64_t>(learning->has("num_weights") ? learning->get("num_weights") : 0);
  auto weights = last.variables().get("weights");
  const Shape& weight_dims = weights->dimensions();
  if (weight_dims.size() != 2 || weight_dims[1] != units) {
    throw std::runtime_error("Layer " + last.get_name() + ": weights " + weight_dims.to_string() +
                             " do not suit its " + std::to_string(units) + " units.");
  }
  const uint32_t n_inputs = weight_dims[0];
  const uint64_t max_active = weights_value >= 1 ? weights_value : n_inputs;
  int8_t* w = weights->data<int8_t>();
  auto samples = samples_of(*inputs);
  for (size_t s = 0; s < samples.size(); ++s) {
    int64_t label = -1;
    if (!labels.empty()) {
      label = labels.size() == 1 ? labels[0] : labels[s];
      if (label < 0 || label >= classes) continue;  // out-of-range labels discard the input
    }
    const uint64_t first = label < 0 ? 0 : static_cast<uint64_t>(label) * per_class;
    if (first >= units || per_class == 0) {
      throw std::invalid_argument("Label " + std::to_string(label) +
                                  " names a class without neurons.");
    }
    auto input = body.empty() ? std::make_shared<Dense>(*samples[s])
                              : software::run_sample(body, samples[s]);
    const auto potentials = software::dense_potentials(last, *input);
    const uint32_t end =
        label < 0 ? units : static_cast<uint32_t>(std::min<uint64_t>(units, first + per_class));
    auto winner = static_cast<uint32_t>(first);
    for (uint32_t u = winner; u < end; ++u)
      if (potentials[u] > potentials[winner]) winner = u;
    uint64_t active = 0;
    for (uint32_t k = 0; k < n_inputs; ++k) active += w[uint64_t{k} * units + winner] != 0;
    for (uint32_t k = 0; k < n_inputs && active < max_active; ++k) {
      int8_t& weight = w[uint64_t{k} * units + winner];
      if (weight == 0 && input->value_as_int(k) > 0) {
        weight = 1;
        ++active;
      }
    }
  }
  return run(inputs, batch_size, nullptr);
}

// ---- mapping ----

namespace {

// The error of a hardware-only mapping that left `remaining` to software. Without a failed
// check the back end stops only before a layer with no hardware of its own that no hardware
// layer follows (an input, a dequantizer), or before a joining layer, which the merge of the
// hardware layer after it realises: the first such layer is named, not the empty status.
std::string left_to_software_error(const std::vector<std::shared_ptr<Layer>>& remaining,
                                   const MappingStatusGroup& status) {
  if (status.failed) return status.to_string();
  const Layer& first = *remaining.front();
  std::string why;
  switch (first.target_kind()) {
    case ComponentKind::None:
      why = "The layer has no hardware of its own and no hardware layer follows it to run with.";
      break;
    case ComponentKind::SKIP_DMA:
      why = "A joining layer runs in the merge of the hardware layer that follows it, and none "
            "follows it.";
      break;
    default: why = "The layer would be left to run in software."; break;
  }
  return MappingStatus(first, why).to_string();
}

using Positions = std::unordered_map<std::string_view, size_t>;

// The position of the layer named `name`, or `none` when no layer has that name (a status
// that names no layer).
size_t position_of(const Positions& positions, const std::string& name, size_t none) {
  const auto found = positions.find(name);
  return found == positions.end() ? none : found->second;
}

// What one call of the back end made of the first `count` layers: its sequences, then the
// layers it left and every layer after the first `count` as one software sequence.
struct MapAttempt {
  Sequences sequences;
  std::vector<std::shared_ptr<Layer>> left;  // what the back end left of the first `count`
  MappingStatusGroup status;
};

MapAttempt map_first_layers(Backend& backend, const std::vector<std::shared_ptr<Layer>>& layers,
                            size_t count, const std::shared_ptr<MapConstraints>& constraints) {
  // An earlier attempt that threw may have left records on the layers.
  for (const auto& layer : layers) layer->set_mapping(nullptr);
  MapAttempt attempt;
  attempt.left.assign(layers.begin(), layers.begin() + static_cast<std::ptrdiff_t>(count));
  attempt.status = backend.map(attempt.left, attempt.sequences, constraints);
  std::vector<std::shared_ptr<Layer>> software = attempt.left;
  software.insert(software.end(), layers.begin() + static_cast<std::ptrdiff_t>(count),
                  layers.end());
  if (!software.empty()) {
    attempt.sequences.push_back(std::make_shared<SoftwareSequence>(std::move(software)));
  }
  return attempt;
}

// Whether the back end's build of the first `count` layers failed, rather than stopped at a
// layer: its status names a layer `stop` after the first, yet it kept none of the layers before
// it. A sequence past the descriptor limit fails so, naming the layer where the count went over;
// a refused layer leaves the layers before it mapped.
bool build_failed(const MapAttempt& attempt, size_t count, size_t stop) {
  return stop > 0 && stop < count && attempt.left.size() == count;
}

// Whether a run can give every layer of `sequences` its inputs: the plan a run makes first.
bool runnable(const Sequences& sequences) {
  try {
    plan_inputs(sequences);
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

// Where the hardware part of a mapping may end: `cut[k]` is true when no layer from position
// k on reads the output of a layer before position k - 1 other than an InputData, so that a
// hardware sequence of the first k layers returns all the later layers need of it.
std::vector<bool> cut_points(const std::vector<std::shared_ptr<Layer>>& layers,
                             const Positions& positions) {
  std::vector<size_t> last_reader(layers.size(), 0);
  for (size_t j = 0; j < layers.size(); ++j) {
    for (const auto& source : layers[j]->inbound_layers()) {
      if (source->type() == LayerType::InputData) continue;
      size_t& reader = last_reader[positions.at(source->get_name())];
      reader = std::max(reader, j);
    }
  }
  std::vector<bool> cut(layers.size() + 1, false);
  size_t reach = 0;  // the last reader of any layer before position k - 1
  for (size_t k = 1; k <= layers.size(); ++k) {
    if (k >= 2) reach = std::max(reach, last_reader[k - 2]);
    cut[k] = reach < k;
  }
  return cut;
}

// The latest cut point of at most `limit` layers; 0 when there is none.
size_t latest_cut(const std::vector<bool>& cut, size_t limit) {
  for (size_t k = limit; k >= 1; --k)
    if (cut[k]) return k;
  return 0;
}

// An attempt on the first `count` (at least one) layers: its sequences when they can be kept,
// else the most layers the next attempt may take, always fewer than `count`.
struct Outcome {
  std::optional<Sequences> kept;
  size_t limit = 0;
};

Outcome try_first_layers(Backend& backend, const std::vector<std::shared_ptr<Layer>>& layers,
                         const Positions& positions, size_t count, bool hw_only,
                         const std::shared_ptr<MapConstraints>& constraints) {
  const size_t fewer = count - 1;
  try {
    MapAttempt attempt = map_first_layers(backend, layers, count, constraints);
    if (hw_only && !attempt.left.empty()) {
      throw std::runtime_error(left_to_software_error(attempt.left, attempt.status));
    }
    const size_t stop = position_of(positions, attempt.status.stopped_at(), count);
    if (build_failed(attempt, count, stop)) return {std::nullopt, std::min(fewer, stop)};
    if (runnable(attempt.sequences)) return {std::move(attempt.sequences), count};
    // The layers left to software read an output that stays on the device: end before them.
    if (attempt.left.empty()) return {std::nullopt, fewer};
    return {std::nullopt,
            std::min(fewer, position_of(positions, attempt.left.front()->get_name(), count))};
  } catch (const MappingError& error) {
    if (hw_only) throw;
    return {std::nullopt, std::min(fewer, position_of(positions, error.layer(), count))};
  }
}

}  // namespace

// A mapping that stops early (a refused layer, no room left, a wiring the hardware cannot
// carry, a sequence the back end fails to build) must still run, and keep on the device what
// fits: a hardware sequence returns the output of its last layer only, and a failed build
// returns none. So the hardware part is cut back to the latest layer before the trouble whose
// output is all the later layers need, and mapped again until an attempt can be kept; when no
// such layer is left, the whole model runs in software. Each attempt takes fewer layers than
// the one before, so cutting back ends.
Sequences Model::map_runnable(Backend& backend, bool hw_only,
                              const std::shared_ptr<MapConstraints>& constraints) {
  if (layers_.empty()) return {};
  Outcome outcome =
      try_first_layers(backend, layers_, positions_, layers_.size(), hw_only, constraints);
  if (outcome.kept) return std::move(*outcome.kept);
  const std::vector<bool> cut = cut_points(layers_, positions_);
  for (size_t count = latest_cut(cut, outcome.limit); count >= 1;
       count = latest_cut(cut, outcome.limit)) {
    outcome = try_first_layers(backend, layers_, positions_, count, false, constraints);
    if (outcome.kept) return std::move(*outcome.kept);
  }
  for (const auto& layer : layers_) layer->set_mapping(nullptr);
  return {std::make_shared<SoftwareSequence>(layers_)};
}

void Model::map(const std::shared_ptr<Device>& device, bool hw_only,
                const std::shared_ptr<MapConstraints>& constraints) {
  if (!device) throw std::invalid_argument("Cannot map a model on an empty device.");
  auto backend = make_hardware_backend();
  auto chosen = constraints ? constraints : make_default_constraints(device);
  // Keep the previous mapping so that a failed attempt leaves the model as it was.
  std::vector<std::shared_ptr<Layer::Mapping>> old_mappings;
  for (const auto& layer : layers_) old_mappings.push_back(layer->mapping());
  Sequences old_sequences = sequences_;
  auto old_device = device_;
  try {
    sequences_ = map_runnable(*backend, hw_only, chosen);
    device_ = device;
  } catch (...) {
    for (size_t i = 0; i < layers_.size(); ++i) layers_[i]->set_mapping(old_mappings[i]);
    sequences_ = std::move(old_sequences);
    device_ = std::move(old_device);
    throw;
  }
}

// ---- queries ----

std::shared_ptr<Layer> Model::get_layer(size_t index) const {
  return index < layers_.size() ? layers_[index] : nullptr;
}

std::shared_ptr<Layer> Model::get_layer(const std::string& name) const {
  const auto found = positions_.find(name);
  return found == positions_.end() ? nullptr : layers_[found->second];
}

std::vector<uint32_t> Model::input_shape() const {
  if (layers_.empty()) return {};
  return layers_.front()->input_dimensions().front().to_vector();
}

std::vector<uint32_t> Model::output_shape() const {
  if (layers_.empty()) return {};
  return layers_.back()->output_dimensions().to_vector();
}

uint64_t Model::macs() const {
  uint64_t total = 0;
  for (const auto& layer : layers_) total = saturating_add(total, layer->macs());
  return total;
}

IpVersion Model::ip_version() const {
  if (device_) return device_->get_ip_version();
  for (const auto& layer : layers_) {
    if (is_first_generation(layer->type())) return IpVersion::v1;
    if (is_mivo_type(layer->type())) return IpVersion::mivo;
    if (is_v2_type(layer->type())) return IpVersion::v2;
  }
  return IpVersion::none;
}

}  // namespace qalto
