#include "fuzz/model_use.hpp"

#include <limits>

#include "fuzz/support.hpp"

namespace qalto::fuzz {

namespace {

// Software runs are kept to inputs a fuzzer can afford many times a second.
constexpr uint64_t kMaxRunWork = 1u << 20;

constexpr Allowed kUse = Allowed::invalid_argument_or_runtime;

// Multiply-accumulates and output elements of one sample, saturated; the budget of a run.
uint64_t run_work(const Model& model) {
  uint64_t work = 0;
  for (const auto& layer : model.layers()) {
    uint64_t layer_work = layer->macs();
    uint64_t outputs = 0;
    if (!documented("output elements", kUse,
                    [&] { outputs = layer->output_dimensions().elements(); })) {
      return std::numeric_limits<uint64_t>::max();
    }
    if (__builtin_add_overflow(work, layer_work, &work) ||
        __builtin_add_overflow(work, outputs, &work)) {
      return std::numeric_limits<uint64_t>::max();
    }
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

std::shared_ptr<Dense> zero_inputs(const Model& model, uint32_t samples, TensorType type) {
  const auto shape = model.input_shape();
  if (shape.size() != 3) return nullptr;
  return Dense::create(type, Shape{samples, shape[0], shape[1], shape[2]});
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
    documented("forward", kUse, [&] { (void)model.forward(inputs); });
    if (!model.learning()) continue;
    for (const std::vector<int32_t>& labels :
         {std::vector<int32_t>{}, std::vector<int32_t>{0}, std::vector<int32_t>{1, 0}}) {
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
