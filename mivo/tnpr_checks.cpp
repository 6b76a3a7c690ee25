#include "mivo/tnpr_checks.hpp"

#include <bit>
#include <memory>
#include <string>

#include "mivo/tnpr_layers.hpp"
#include "mivo/tnpr_limits.hpp"
#include "mivo/tnpr_sizes.hpp"
#include "qalto/bitwidth.hpp"

namespace qalto::mivo {

namespace {

using std::to_string;

constexpr uint64_t kWordBits = 32;
constexpr uint64_t kTwoWordsRounded = 64;
constexpr uint64_t kBytesPerWord = 4;

bool is_stateful(const Layer& layer) { return layer.type() == LayerType::StatefulRecurrent; }

// Replaces "{}" placeholders in order.
std::string format(std::string text, std::initializer_list<std::string> values) {
  size_t at = 0;
  for (const auto& value : values) {
    at = text.find("{}", at);
    if (at == std::string::npos) break;
    text.replace(at, 2, value);
    at += value.size();
  }
  return text;
}

// Scans an unsigned 8-bit variable for the first element other than `expected`.
MappingStatus check_all_equal(const Layer& layer, const char* name, uint32_t expected,
                              const char* message) {
  if (!layer.variables().has(name)) return MappingStatus::success();
  const auto values = layer.variables().get(name);
  for (uint64_t k = 0; k < values->size(); ++k) {
    const uint32_t value = values->at<uint8_t>(k);
    if (value != expected) {
      return MappingStatus(layer, format(message, {to_string(expected), to_string(value),
                                                   to_string(k)}));
    }
  }
  return MappingStatus::success();
}

MappingStatus check_state_bit_widths(const Layer& layer) {
  MappingStatus status = MappingStatus::success();
  status += check_bitwidth(layer, kNewStateShiftBits, "new_state_shift", true);
  // The scale is an unsigned field of the TSRAM word: all of 0-255 fits it.
  status += check_bitwidth(layer, kNewStateScaleBits, "new_state_scale", false);
  status += check_bitwidth(layer, kInternalStateOutputsShiftBits, "internal_state_outputs_shift",
                           true);
  return status;
}

MappingStatus check_input_bits(const Layer& layer) {
  const uint32_t bits = layer.input_bits();
  if (is_first_of_series(layer)) {
    if (bits == kInputBits8 || bits == kInputBits16) return MappingStatus::success();
    return MappingStatus(layer, "For the first StatefulRecurrent layer, input must be 8-bit or "
                                "16-bit. got( " + to_string(bits) + ").");
  }
  if (bits == kInputBits8) return MappingStatus::success();
  return MappingStatus(layer, "For intermediate StatefulRecurrent layer, input must be 8-bit. "
                              "got( " + to_string(bits) + ").");
}

MappingStatus check_stateful_channels(const Layer& layer, uint32_t reference) {
  MappingStatus status = MappingStatus::success();
  const uint32_t channels = unsigned_param(layer, "stateful_channels");
  if (channels > kMaxStatefulChannels) {
    status += MappingStatus(layer, "State channels exceeds max limit of " +
                                       to_string(kMaxStatefulChannels) + " for TNP-R.");
  }
  if (!std::has_single_bit(channels)) {
    status += MappingStatus(layer, "State channels must be a power of 2. (got " +
                                       to_string(channels) + ").");
  }
  if (channels != reference) {
    status += MappingStatus(layer, "State channels must be the same for all stateful layers. "
                                   "Expected " + to_string(reference) + "(got " +
                                       to_string(channels) + ").");
  }
  return status;
}

bool is_last_stateful(const Layer& layer) {
  const auto next = first_outbound_layer(layer);
  return next == nullptr || !is_stateful(*next);
}

MappingStatus check_output_bits(const Layer& layer) {
  const uint32_t bits = layer.output_bits();
  if (bits == kOutputBits8 || bits == kOutputBits32 || bits == kOutputBits28) {
    return MappingStatus::success();
  }
  return MappingStatus(layer, "For the last StatefulRecurrent layer, outputs must be 8-bit, "
                              "28-bit or 32-bit. (got " + to_string(bits) + ").");
}

MappingStatus check_stateful_layer(const Layer& layer, uint32_t reference_channels) {
  MappingStatus status = MappingStatus::success();
  status += check_state_bit_widths(layer);
  status += check_packed_input_row(layer);
  status += check_relu_max_value(layer);
  status += check_input_bits(layer);
  status += check_stateful_channels(layer, reference_channels);
  if (unsigned_param(layer, "output_channels") > kMaxOutputChannels) {
    status += MappingStatus(layer, "Output channels exceeds max limit of " +
                                       to_string(kMaxOutputChannels) + " for TNP-R.");
  }
  const uint32_t subsample = unsigned_param(layer, "subsample");
  if (subsample > kMaxSubsample) {
    status += MappingStatus(layer, "Subsample ratio exceeds max limit of " +
                                       to_string(kMaxSubsample) + " for TNP-R. (got " +
                                       to_string(subsample) + ").");
  }
  if (is_last_stateful(layer)) status += check_output_bits(layer);
  return status;
}

// One SRAM size against its budget.
void check_budget(MappingStatus* status, const Layer& start, uint32_t size, uint32_t budget,
                  const char* message) {
  if (size > budget) *status += MappingStatus(start, format(message, {to_string(budget), to_string(size)}));
}

MappingStatus check_sram_budgets(const HardwareConstraints& constraints, const Layer& start) {
  MappingStatus status = MappingStatus::success();
  check_budget(&status, start, get_tnpr_evsram_32b_size(start), constraints.evsram_32b_size,
               "EVSRAM size exceeds max limit of {} 32-bit words for TNP-R (got {}).");
  check_budget(&status, start, get_tnpr_stsram_32b_size(start), constraints.stsram_32b_size,
               "STSRAM size exceeds max limit of {} 32-bit words for TNP-R (got {}).");
  check_budget(&status, start, get_tnpr_fsram_64b_size(start), constraints.fsram_64b_size,
               "FSRAM size exceeds max limit of {} 64-bit words for TNP-R (got {}).");
  check_budget(&status, start, get_tnpr_tsram_51b_size(start), constraints.tsram_51b_size,
               "TSRAM size exceeds max limit of {} 51-bit words for TNP-R (got {}).");
  return status;
}

// A series closed by post-processing: its input timesteps must fit the TNP-R's timesteps
// field. Only the first layer's input is written there, whatever the subsampling after it.
MappingStatus check_closed_series_timesteps(const Layer& start, const Layer& closing) {
  if (closing.type() != LayerType::MivoPostProcessing) return MappingStatus::success();
  const uint32_t timesteps = input_timesteps(start);
  if (timesteps <= kMaxClosedSeriesInputTimesteps) return MappingStatus::success();
  return MappingStatus(start, format("A series closed by a MivoPostProcessing layer can take at "
                                     "most {} input timesteps (got {}).",
                                     {to_string(kMaxClosedSeriesInputTimesteps),
                                      to_string(timesteps)}));
}

}  // namespace

MappingStatus check_tnp_r_constraints(const HardwareConstraints& constraints, const Layer& start) {
  const uint32_t reference_channels = unsigned_param(start, "stateful_channels");
  MappingStatus result = MappingStatus::success();
  uint32_t count = 0;
  std::shared_ptr<Layer> hold;
  const Layer* current = &start;
  while (current != nullptr && !result.failed) {
    if (is_tnpr_layer(*current)) ++count;
    const bool stateful = is_stateful(*current);
    result += stateful ? check_stateful_layer(*current, reference_channels)
                       : check_post_processing_layer(*current);
    hold = first_outbound_layer(*current);
    if (!stateful && hold != nullptr) {
      result += MappingStatus(*current, "Dequantizer/MivoPostProcessing must be the last layer.");
    }
    if (!stateful) result += check_closed_series_timesteps(start, *current);
    current = hold.get();
  }
  if (count > kMaxSeriesLayers) {
    result += MappingStatus::failure(format("A model cannot have more that {} StatefulRecurrent "
                                            "layers.",
                                            {to_string(kMaxSeriesLayers)}));
  }
  result += check_sram_budgets(constraints, start);
  return result;
}

MappingStatus check_post_processing_layer(const Layer& layer) {
  MappingStatus result = MappingStatus::success();
  if (layer.type() == LayerType::Dequantizer) return result;
  if (layer.type() != LayerType::MivoPostProcessing) {
    result += MappingStatus(layer, "Only a Dequantizer or a MivoPostProcessing is allowed a the "
                                   "end of a serie of StatefulRecurrent layers.");
  }
  const uint32_t channels = input_channels(layer);
  if (channels != kPostProcessingChannels) {
    result += MappingStatus(layer, format("MivoPostProcessing layer input must have a single "
                                          "channel (got {}).",
                                          {to_string(channels)}));
  }
  const uint32_t timesteps = input_timesteps(layer);
  if (timesteps < kMinPostProcessingTimesteps) {
    result += MappingStatus(layer, format("Timesteps dimension must be at least {} (got {}).",
                                          {to_string(kMinPostProcessingTimesteps),
                                           to_string(timesteps)}));
  }
  if (timesteps > kMaxPostProcessingTimesteps) {
    result += MappingStatus(layer, format("Timesteps dimension must be at most {} (got {}).",
                                          {to_string(kMaxPostProcessingTimesteps),
                                           to_string(timesteps)}));
  }
  const auto inbound = layer.inbound_layers();
  // Only a recurrent layer has an output stage for the post-processing to replace.
  if (!inbound.empty() && inbound.front()->is_target_component(ComponentKind::TNP_R)) {
    const Layer& previous = *inbound.front();
    const uint32_t scale = previous.variables().get("output_scales")->at<uint8_t>(0);
    if (scale != 1) {
      result += MappingStatus(previous, format("Output scales must be 1 for the last "
                                               "StatefulRecurrent layer before a "
                                               "MivoPostProcessing layer (got {}).",
                                               {to_string(scale)}));
    }
    const int32_t shift = previous.variables().get("output_shift")->at<int8_t>(0);
    if (shift != 0) {
      result += MappingStatus(previous, format("Output shift must be 0 for the last "
                                               "StatefulRecurrent layer before a "
                                               "MivoPostProcessing layer (got {}).",
                                               {to_string(shift)}));
    }
  }
  return result;
}

MappingStatus check_packed_input_row(const Layer& layer) {
  MappingStatus result = MappingStatus::success();
  if (!is_first_of_series(layer)) return result;
  const uint64_t bits = layer.input_bits();
  const uint64_t channels = input_channels(layer);
  const uint64_t rounded = bits * channels + (kWordBits - 1);
  const uint64_t words = rounded / kWordBits;
  if (!std::has_single_bit(words)) {
    result += MappingStatus(layer, "The packed input row (channels x input bits) must occupy a "
                                   "power-of-2 number of 32-bit words (got " + to_string(words) +
                                       " words for " + to_string(channels) + " channels at " +
                                       to_string(bits) + "-bit).");
  }
  if (rounded >= kTwoWordsRounded) {
    const uint64_t padded = round_up_pow2(words);
    if (padded > kMaxInputRowWords) {
      result += MappingStatus(layer, format("The maximum input row size (input_channels * "
                                            "input_bits, padded to a power-of-2 number of 32-bit "
                                            "words) is {} bytes (got {}).",
                                            {to_string(kMaxInputRowBytes),
                                             to_string(kBytesPerWord * padded)}));
    }
  }
  const uint64_t limit = bits == kInputBits8 ? kMaxInputChannels8Bit : kMaxInputChannelsOther;
  if (channels > limit) {
    result += MappingStatus(layer, format("The maximum input channels for {}-bit input is {} (got "
                                          "{}).",
                                          {to_string(bits), to_string(limit), to_string(channels)}));
  }
  return result;
}

MappingStatus check_relu_max_value(const Layer& layer) {
  MappingStatus result = MappingStatus::success();
  if (!layer.activation_is(ActivationType::ReLU)) return result;
  result += check_all_equal(layer, "max_value", kReluMaxValue,
                            "When activation is ReLU, all max_value elements must be {} (got {} "
                            "at index {}).");
  result += check_all_equal(layer, "max_value_shift", kReluMaxValueShift,
                            "When activation is ReLU, all max_value_shift elements must be {} "
                            "(got {} at index {}).");
  return result;
}

}  // namespace qalto::mivo
