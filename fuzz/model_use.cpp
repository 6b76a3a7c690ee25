#include "fuzz/model_use.hpp"

#include <algorithm>
#include <limits>

#include "fuzz/support.hpp"

namespace qalto::fuzz {

namespace {

// Software runs are kept to inputs a fuzzer can afford many times a second: the reference
// operations are plain loops, some of them with a variable look-up per element (a recurrent
// layer at this bound takes seconds under the sanitizers).
constexpr uint64_t kMaxRunWork = 1u << 19;

constexpr Allowed kUse = Allowed::invalid_argument_or_runtime;

uint64_t saturated_add(uint64_t a, uint64_t b) {
  uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<uint64_t>::max() : sum;
}

uint64_t saturated_mul(uint64_t a, uint64_t b) {
  uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? std::numeric_limits<uint64_t>::max() : product;
}

// A bound on the work of one sample: each layer's multiply-accumulates, plus every input
// element times the output channels (what a dense or recurrent layer touches per time step),
// plus its outputs. Saturated.
uint64_t run_work(const Model& model) {
  uint64_t work = 0;
  for (const auto& layer : model.layers()) {
    uint64_t inputs = 0;
    uint64_t outputs = 0;
    uint64_t channels = 0;
    if (!documented("layer elements", kUse, [&] {
          for (const Shape& shape : layer->input_dimensions())
            inputs = saturated_add(inputs, shape.elements());
          const Shape& out = layer->output_dimensions();
          outputs = out.elements();
          channels = out.size() == 0 ? 0 : out[out.size() - 1];
        })) {
      return std::numeric_limits<uint64_t>::max();
    }
    work = saturated_add(work, layer->macs());
    work = saturated_add(work, saturated_mul(inputs, channels));
    work = saturated_add(work, outputs);
  }
  return work;
}

void read_layer_figures(const Model& model) {
  uint64_t sum = 0;
  bool wrapped = false;
  for (const auto& layer : model.layers()) {
    if (layer->has_input_dimensions()) (void)layer->input_dimensions();
    (void)layer->output_dimensions();
    documented("input_bits", kUse, [&] { (void)layer->input_bits(); });
    documented("output_bits", kUse, [&] { (void)layer->output_bits(); });
    wrapped |= __builtin_add_overflow(sum, layer->macs(), &sum);
  }
  const uint64_t total = model.macs();
  // A sum past 64 bits must saturate, never come back as a small count.
  check(wrapped ? total == std::numeric_limits<uint64_t>::max() : total == sum,
        "Model::macs wrapped or disagrees with the layers' sum");
  (void)model.input_shape();
  (void)model.output_shape();
}

int32_t last_class(const LearningParams& learning) {
  const double classes = learning.has("num_classes") ? learning.get("num_classes") : 1;
  if (!(classes >= 1)) return 0;  // NaN included
  return classes > 2147483647.0 ? 2147483647 : static_cast<int32_t>(classes) - 1;
}

std::shared_ptr<Dense> zero_inputs(const Model& model, uint32_t samples, TensorType type) {
  const auto shape = model.input_shape();
  if (shape.size() != 3) return nullptr;
  return Dense::create(type, Shape{samples, shape[0], shape[1], shape[2]});
}

// The output stage of a second-generation layer with an activation gives values of its
// output range only (within the int32 that carries them): anything else was wrapped, or taken
// unchecked from a variable.
void check_output_range(const Model& model, const std::shared_ptr<Tensor>& output) {
  const Layer& last = *model.layers().back();
  switch (last.type()) {
    case LayerType::Conv2D:
    case LayerType::InputConv2D:
    case LayerType::DepthwiseConv2D:
    case LayerType::Conv2DTranspose:
    case LayerType::DepthwiseConv2DTranspose:
    case LayerType::Dense1D: break;
    default: return;
  }
  const auto activation = static_cast<ActivationType>(last.activation_type());
  if (activation != ActivationType::ReLU && activation != ActivationType::LUT) return;
  const int bits = std::clamp<int>(last.output_bits(), 1, 32);
  int64_t low = last.output_signed() ? -(int64_t{1} << (bits - 1)) : 0;
  int64_t high = last.output_signed() ? (int64_t{1} << (bits - 1)) - 1 : (int64_t{1} << bits) - 1;
  low = std::max<int64_t>(low, std::numeric_limits<int32_t>::min());
  high = std::min<int64_t>(high, std::numeric_limits<int32_t>::max());
  const auto dense = Tensor::ensure_dense(output);
  check(dense->first_value_outside(low, high) == dense->size(),
        "forward gave a value outside the output range of layer " + last.get_name());
}

void run_in_software(Model& model) {
  if (model.layers().empty() || run_work(model) > kMaxRunWork) return;
  constexpr uint32_t samples = 2;
  for (TensorType type : {TensorType::uint8, TensorType::int8}) {
    std::shared_ptr<Dense> inputs;
    if (!documented("zero inputs", kUse, [&] { inputs = zero_inputs(model, samples, type); }) ||
        !inputs) {
      return;
    }
    std::shared_ptr<Tensor> output;
    if (documented("forward", kUse, [&] { output = model.forward(inputs); })) {
      check_output_range(model, output);
    }
    if (!model.learning()) continue;
    // The last class is where the neurons of a class run out when the set is inconsistent.
    const int32_t last = last_class(*model.learning());
    for (const std::vector<int32_t>& labels :
         {std::vector<int32_t>{}, std::vector<int32_t>{last}, std::vector<int32_t>{0, last}}) {
      documented("fit", kUse, [&] { (void)model.fit(inputs, labels); });
    }
  }
}

}  // namespace

std::vector<uint8_t> check_round_trip(const Model& model) {
  const std::vector<uint8_t> bytes = model.serialize();
  std::unique_ptr<Model> reloaded;
  try {
    reloaded = Model::from_buffer(bytes.data(), bytes.size());
  } catch (const std::exception& e) {
    fault(std::string("a serialised model does not load back: ") + e.what());
  }
  check(reloaded->serialize() == bytes, "a reloaded model serialises to other bytes");
  return bytes;
}

void use_model(Model& model) {
  read_layer_figures(model);
  const std::vector<uint8_t> bytes = check_round_trip(model);
  // A model that loaded is valid: copying it has no documented failure.
  check(model.copy()->serialize() == bytes, "a copy serialises to other bytes");
  run_in_software(model);
}

}  // namespace qalto::fuzz
