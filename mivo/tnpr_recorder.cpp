#include "mivo/tnpr_recorder.hpp"

#include <memory>
#include <stdexcept>
#include <string>

#include "mivo/tnpr_layers.hpp"
#include "mivo/tnpr_limits.hpp"
#include "qalto/dma.hpp"
#include "qalto/panic.hpp"

namespace qalto::mivo {

namespace {

// A TSRAM word is held as two 32-bit values.
constexpr size_t kValuesPerTsramWord = 2;
constexpr uint32_t kTimestepsFieldBits = 16;
constexpr uint32_t kMaxTimestepsField = 0xFFFF;

struct SeriesLists {
  SramImage fsram;
  SramImage state_updating;
  SramImage output;
  SramImage input_shift;
};

const Dense& variable(const Layer& layer, const char* name) {
  // The engine keeps the tensor alive as long as the layer holds the variable.
  return *layer.variables().get(name);
}

bool feeds_post_processing(const Layer& layer) {
  const auto next = first_outbound_layer(layer);
  return next != nullptr && next->type() == LayerType::MivoPostProcessing;
}

void record_closing_layer(const Layer& layer, SeriesLists& lists, TnprRegisterParams& params,
                          uint32_t index) {
  params.relu_layers.set(index, false);  // throws for a ninth layer, before anything changes
  params.subsample[index] = 1;
  params.output_channels[index] = 1;
  params.input_channels[index] = 1;
  const uint32_t timesteps = input_timesteps(layer);
  // The shift field takes log2 of a 16-bit count: a larger count would be cut, not averaged.
  if (timesteps > kMaxTimestepsField) {
    panic("%u cannot fit in a %u-bit unsigned integer", timesteps, kTimestepsFieldBits);
  }
  const uint16_t threshold = variable(layer, "threshold").at<uint16_t>(0);
  format_tsram_post_processing_output_var(lists.output, static_cast<uint16_t>(timesteps),
                                          threshold);
  format_tsram_post_processing_input_shift(lists.input_shift);
}

hw::Ident tnpr_ident(const Layer& first) {
  const auto mapping = first.mapping();
  if (!mapping || !mapping->components) {
    throw std::runtime_error("Layer '" + first.get_name() +
                             "' has no mapping: the TNP-R program needs its component.");
  }
  return mapping->components->at(0).ident;
}

uint32_t tsram_words(const SramImage& values) {
  return saturate_u32(values.size() / kValuesPerTsramWord);
}

}  // namespace

void format_tnpr_srams(const Layer& layer, SramImage& fsram, SramImage& tsram_state_updating,
                       SramImage& tsram_output, SramImage& tsram_input_shift,
                       TnprRegisterParams& params, uint32_t index) {
  if (index >= kMaxSeriesLayers) params.relu_layers.set(index);  // the bitset's own range error
  SeriesLists lists;
  format_fsram_weights(lists.fsram, variable(layer, "in_proj"), variable(layer, "out_proj"));
  format_tsram_state_updating_var(lists.state_updating, variable(layer, "A_imag"),
                                  variable(layer, "A_real"),
                                  variable(layer, "internal_state_outputs_shift"),
                                  variable(layer, "new_state_scale"),
                                  variable(layer, "new_state_shift"));
  // A post-processing layer takes over the output stage of the layer that feeds it.
  const auto next = first_outbound_layer(layer);
  const Layer& stage = feeds_post_processing(layer) ? *next : layer;
  const bool taken_over = &stage != &layer;
  format_tsram_output_var(lists.output, variable(stage, taken_over ? "input_scales" : "output_scales"),
                          variable(stage, taken_over ? "input_shift" : "output_shift"),
                          variable(layer, "bias"), variable(layer, "bias_shift"));
  format_tsram_input_shift(lists.input_shift, variable(layer, "input_shift"), layer.input_bits());

  params.relu_layers.set(index, layer.activation_is(ActivationType::ReLU));
  params.subsample[index] = unsigned_param(layer, "subsample");
  params.output_channels[index] = unsigned_param(layer, "output_channels");
  params.input_channels[index] = input_channels(layer);
  fsram.insert(fsram.end(), lists.fsram.begin(), lists.fsram.end());
  tsram_state_updating.insert(tsram_state_updating.end(), lists.state_updating.begin(),
                              lists.state_updating.end());
  tsram_output.insert(tsram_output.end(), lists.output.begin(), lists.output.end());
  tsram_input_shift.insert(tsram_input_shift.end(), lists.input_shift.begin(),
                           lists.input_shift.end());
}

program::RecordPtr record_program_tnpr_layers(const Device& device, const Layer& first) {
  program::RecordPtr record = program::new_record(device.version());
  SeriesLists lists;
  TnprRegisterParams params;
  uint32_t index = 0;
  const Layer* last_stateful = &first;
  bool closed = false;

  std::shared_ptr<Layer> hold;
  const Layer* current = &first;
  while (current != nullptr && is_tnpr_layer(*current)) {
    if (current->type() == LayerType::StatefulRecurrent) {
      format_tnpr_srams(*current, lists.fsram, lists.state_updating, lists.output,
                        lists.input_shift, params, index);
      last_stateful = current;
    } else {
      record_closing_layer(*current, lists, params, index);
      closed = true;
    }
    ++index;
    hold = first_outbound_layer(*current);
    current = hold.get();
  }

  const hw::Ident ident = tnpr_ident(first);
  const uint32_t states = unsigned_param(first, "stateful_channels");
  params.layer_count = index;
  params.output_offset = tsram_words(lists.state_updating);
  params.input_shift_offset =
      saturate_u32(uint64_t{params.output_offset} + tsram_words(lists.output));
  params.state_base = closed ? saturate_u32(uint64_t{index - 1} * states) : 0;
  params.input_bits = first.input_bits();
  params.input_row_words = packed_input_row_words(first.input_bits(), input_channels(first));
  params.timesteps = closed ? input_timesteps(first) : 0;
  params.stateful_channels = states;
  params.has_closing_layer = closed;
  params.output_bits =
      closed ? static_cast<uint8_t>(kClosedSeriesOutputBits) : last_stateful->output_bits();

  const std::vector<uint32_t> registers = format_tnpr_registers(params);
  SramImage tsram = std::move(lists.state_updating);
  tsram.insert(tsram.end(), lists.output.begin(), lists.output.end());
  tsram.insert(tsram.end(), lists.input_shift.begin(), lists.input_shift.end());
  // Unsized headers, each opening its own track: the TNP-R takes each image whole.
  record->add_np_track(ident, dma::Target::TnpRRegisters, 0, registers, false, false);
  record->add_np_track(ident, dma::Target::TnpRFsram, 0, lists.fsram, false, false);
  record->add_np_track(ident, dma::Target::TnpRTsram, 0, tsram, false, false);
  return record;
}

}  // namespace qalto::mivo
