#include "v1/learning_memory.hpp"

#include <stdexcept>
#include <string>

#include "v1/compatibility_checker.hpp"

namespace qalto::v1 {

namespace {

[[noreturn]] void no_learnable_values(const Layer& layer) {
  throw std::runtime_error("Layer '" + layer.get_name() +
                           "' has no int8 (N, U) weights with int32 (U) thresholds.");
}

// The layer's variable `name`, or null when it has none.
std::shared_ptr<Dense> variable_or_null(const Layer& layer, const char* name) {
  return layer.variables().has(name) ? layer.variables().get(name) : nullptr;
}

// A fresh tensor with the type, shape and layout of `like`.
std::shared_ptr<Dense> same_kind(const Dense& like) {
  return Dense::create(like.type(), like.dimensions(), like.layout());
}

}  // namespace

LearningLayout learning_layout(const Layer& layer) {
  if (layer.type() != LayerType::FullyConnected) {
    throw std::runtime_error(unsupported_layer_message(layer.type()));
  }
  const auto weights = variable_or_null(layer, "weights");
  const auto thresholds = variable_or_null(layer, "threshold");
  if (!weights || !thresholds || weights->type() != TensorType::int8 ||
      thresholds->type() != TensorType::int32 || weights->dimensions().size() != 2 ||
      thresholds->dimensions().size() != 1 ||
      weights->dimensions()[1] != thresholds->dimensions()[0]) {
    no_learnable_values(layer);
  }
  return LearningLayout{weights->dimensions()[0], weights->dimensions()[1]};
}

std::vector<uint32_t> format_learning_weights(const Layer& layer) {
  const LearningLayout layout = learning_layout(layer);
  const Dense& weights = *layer.variables().get("weights");
  std::vector<uint32_t> words(layout.weight_words(), 0);
  for (uint32_t n = 0; n < layout.inputs; ++n) {
    for (uint32_t u = 0; u < layout.units; ++u) {
      uint32_t& word = words[uint64_t{n} * layout.units + u];
      set_signed_field(&word, LEARN_WEIGHT, weights.get<int8_t>({n, u}));
    }
  }
  return words;
}

void check_learning_memory_size(const Layer& layer, const LearningLayout& layout,
                                uint64_t count) {
  if (count < layout.total_words()) {
    throw std::runtime_error("The learning memory holds " + std::to_string(count) +
                             " words; layer '" + layer.get_name() + "' needs " +
                             std::to_string(layout.total_words()) + ".");
  }
  if (count > kMaxLearnMemWords) {
    throw std::runtime_error("The learning memory holds " + std::to_string(count) +
                             " words, more than the " + std::to_string(kMaxLearnMemWords) +
                             " words a v1 learning layer may have.");
  }
}

LearnedValues parse_learning_memory(const Layer& layer, const uint32_t* words, size_t count) {
  const LearningLayout layout = learning_layout(layer);
  check_learning_memory_size(layer, layout, count);
  LearnedValues values{same_kind(*layer.variables().get("weights")),
                       same_kind(*layer.variables().get("threshold"))};
  for (uint32_t n = 0; n < layout.inputs; ++n) {
    for (uint32_t u = 0; u < layout.units; ++u) {
      const uint32_t word = words[uint64_t{n} * layout.units + u];
      // The low byte is the weight; the bits above it are the chip's own.
      const uint32_t byte = (word >> LEARN_WEIGHT.first_bit) & ((1u << LEARN_WEIGHT.nb_bits) - 1);
      values.weights->set<int8_t>({n, u}, static_cast<int8_t>(static_cast<uint8_t>(byte)));
    }
  }
  for (uint32_t u = 0; u < layout.units; ++u) {
    values.thresholds->set<int32_t>({u},
                                    static_cast<int32_t>(words[layout.threshold_offset() + u]));
  }
  return values;
}

}  // namespace qalto::v1
