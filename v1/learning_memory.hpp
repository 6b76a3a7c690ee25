#pragma once
// The learning memory of a v1 fully connected layer: how its weights and thresholds are laid
// out in 32-bit words, both in the FNP weight block of the learning program and in the
// device's learning memory that the learned values are read back from.
//
// For a layer with N inputs and U units ("weights" int8 (N, U), "threshold" int32 (U)):
//
//   words [0, N*U)        weight (n, u) at word n*U + u, a two's-complement byte in bits 0-7
//                         (LEARN_WEIGHT); bits 8-31 are written 0 and ignored when read back,
//                         so the chip may keep its own state bits beside a weight
//   words [N*U, N*U + U)  threshold u at word N*U + u, the whole word in two's complement
//
// A device memory longer than N*U + U words is accepted (the words after the layout are not
// read); a shorter one is refused before anything is taken from it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "qalto/layer.hpp"
#include "qalto/reg_detail.hpp"
#include "qalto/tensor.hpp"

namespace qalto::v1 {

// A weight's byte inside its word.
QALTO_REG_FIELD(LEARN_WEIGHT, 0, 8);

// Largest learning memory (in words) read back from a device: the device reports the size,
// and a read moves exactly that many words, so a size beyond any v1 FNP memory is refused
// before a buffer is allocated for it.
inline constexpr uint64_t kMaxLearnMemWords = uint64_t{1} << 26;

// Where the values of one layer sit in its learning memory.
struct LearningLayout {
  uint32_t inputs = 0;  // N
  uint32_t units = 0;   // U

  // Words of the weights (N*U), also the FNP SRAM size of the learning program.
  uint64_t weight_words() const { return uint64_t{inputs} * units; }
  // First word of the thresholds.
  uint64_t threshold_offset() const { return weight_words(); }
  // Words of the whole layout (N*U + U).
  uint64_t total_words() const { return weight_words() + units; }
};

// The layout of `layer`: N and U from its "weights" variable. Throws std::runtime_error
// "Layer type <type> is not supported on v1." for a layer other than FullyConnected, and
// std::runtime_error "Layer '<name>' has no int8 (N, U) weights with int32 (U) thresholds."
// when its "weights" and "threshold" variables are missing or do not match.
LearningLayout learning_layout(const Layer& layer);

// The weight words of `layer` in the layout above (N*U words). Throws as learning_layout.
std::vector<uint32_t> format_learning_weights(const Layer& layer);

// Learned values read from a learning memory, as tensors of the layer's own variable types
// and shapes (and layouts).
struct LearnedValues {
  std::shared_ptr<Dense> weights;
  std::shared_ptr<Dense> thresholds;
};

// Checks a learning memory of `count` words for `layout` before anything is read from it.
// Throws std::runtime_error "The learning memory holds <count> words; layer '<name>' needs
// <n>." when count < N*U + U, and "The learning memory holds <count> words, more than the
// <kMaxLearnMemWords> words a v1 learning layer may have." when count > kMaxLearnMemWords.
void check_learning_memory_size(const Layer& layer, const LearningLayout& layout,
                                uint64_t count);

// Reads the weights and thresholds of `layer` from `count` memory words at `words`. Throws
// what learning_layout and check_learning_memory_size throw, reading nothing then.
LearnedValues parse_learning_memory(const Layer& layer, const uint32_t* words, size_t count);

}  // namespace qalto::v1
