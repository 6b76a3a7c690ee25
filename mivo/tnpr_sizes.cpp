#include "mivo/tnpr_sizes.hpp"

#include <cmath>
#include <memory>

#include "mivo/tnpr_layers.hpp"
#include "mivo/tnpr_limits.hpp"

namespace qalto::mivo {

namespace {

constexpr uint64_t kFsramWordColumns = 8;  // 8-bit weights per 64-bit FSRAM word
constexpr uint64_t kWordBits = 32;
// Input-shift values per TSRAM word: 8 at 8-bit input, 4 at any other width.
constexpr uint64_t kInputShiftsPerWord8Bit = 8;
constexpr uint64_t kInputShiftsPerWordOther = 4;
constexpr uint64_t kClosingLayerTsramWords = 2;
constexpr uint64_t kWordsPerStatefulLog = 2;

// Values of `bits` bits packed in one 32-bit word; 0 for widths the word cannot pack.
uint64_t values_per_word(uint32_t bits) { return bits == 0 || bits > kWordBits ? 0 : kWordBits / bits; }

// Words of one 8-bit matrix variable: rows x ceil(columns / 8).
uint64_t matrix_words(const Layer& layer, const char* name) {
  const Shape& shape = layer.variables().get(name)->dimensions();
  const uint64_t rows = shape.size() > 0 ? shape[0] : 1;
  const uint64_t columns = shape.size() > 1 ? shape[1] : 1;
  return rows * ceil_div(columns, kFsramWordColumns);
}

bool is_stateful(const Layer* layer) {
  return layer != nullptr && layer->type() == LayerType::StatefulRecurrent;
}

// Calls `visit` for `start` and each first outbound layer while `keep` holds.
template <typename Keep, typename Visit>
void walk(const Layer& start, Keep keep, Visit visit) {
  std::shared_ptr<Layer> hold;
  const Layer* current = &start;
  while (current != nullptr && keep(*current)) {
    visit(*current);
    hold = first_outbound_layer(*current);
    current = hold.get();
  }
}

uint64_t stateful_chain_length(const Layer& start) {
  uint64_t n = 0;
  walk(start, [](const Layer& l) { return is_stateful(&l); }, [&n](const Layer&) { ++n; });
  return n;
}

bool reaches_post_processing(const Layer& start) {
  bool found = false;
  walk(start, [&found](const Layer&) { return !found; },
       [&found](const Layer& l) { found = l.type() == LayerType::MivoPostProcessing; });
  return found;
}

}  // namespace

uint32_t get_tnpr_fsram_64b_size(const Layer& start) {
  uint64_t words = 0;
  walk(start, [](const Layer& l) { return is_stateful(&l); },
       [&words](const Layer& l) { words += matrix_words(l, "in_proj") + matrix_words(l, "out_proj"); });
  return saturate_u32(words);
}

uint32_t get_tnpr_tsram_51b_size(const Layer& start) {
  uint64_t words = 0;
  walk(start, is_tnpr_layer, [&words](const Layer& l) {
    if (!is_stateful(&l)) {
      words += kClosingLayerTsramWords;
      return;
    }
    const uint64_t per_word =
        l.input_bits() == kInputBits8 ? kInputShiftsPerWord8Bit : kInputShiftsPerWordOther;
    words += ceil_div(input_channels(l), per_word) + unsigned_param(l, "output_channels") +
             unsigned_param(l, "stateful_channels");
  });
  return saturate_u32(words);
}

uint32_t get_tnpr_evsram_32b_size(const Layer& start) {
  uint64_t words = packed_input_row_words(start.input_bits(), input_channels(start));
  const Layer* last_stateful = nullptr;
  walk(start, is_tnpr_layer, [&](const Layer& l) {
    if (is_stateful(&l)) {
      words += ceil_div(input_channels(l), values_per_word(l.input_bits()));
      last_stateful = &l;
    } else if (last_stateful != nullptr) {
      words += ceil_div(output_channels(l), values_per_word(last_stateful->output_bits()));
    }
  });
  return saturate_u32(words);
}

uint32_t get_tnpr_stsram_32b_size(const Layer& start) {
  const uint64_t n = stateful_chain_length(start);
  uint64_t words = n == 0 ? 0 : n * unsigned_param(start, "stateful_channels");
  if (reaches_post_processing(start)) {
    const uint64_t w = ceil_div(input_timesteps(start), values_per_word(start.input_bits()));
    if (w > 1) words += kWordsPerStatefulLog * static_cast<uint64_t>(std::ceil(std::log2(static_cast<double>(w))));
  }
  return saturate_u32(words);
}

}  // namespace qalto::mivo
