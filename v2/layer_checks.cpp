#include "v2/layer_checks.hpp"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>

#include "v2/cnp_registers.hpp"
#include "v2/weight_formats.hpp"

namespace qalto::v2 {

namespace {

// ---- helpers ----

MappingStatus ok() { return MappingStatus(); }

MappingStatus fail_if(bool broken, const Layer& layer, const std::string& message) {
  return broken ? MappingStatus(layer, message) : MappingStatus();
}

const Shape& input_shape(const Layer& layer) { return layer.input_dimensions().front(); }

uint32_t dim(const Layer& layer, size_t i) {
  const Shape& shape = input_shape(layer);
  return i < shape.size() ? shape[i] : 1;
}

int32_t param(const Layer& layer, const char* name) { return layer.params().get(name); }

bool activation_on(const Layer& layer) { return layer.activation_enabled(); }

// ---- common rules ----

MappingStatus rule_activation_output_width(const Layer& layer) {
  return fail_if(activation_on(layer) && layer.output_bits() > 8, layer,
                 "With activation output bitwidth should be <= 8.");
}

MappingStatus rule_input_covers_weights(const Layer& layer) {
  return fail_if(static_cast<int32_t>(layer.input_bits()) < param(layer, "weights_bits"), layer,
                 "Input bits should be >= weights bits.");
}

MappingStatus rule_input_dimensions(const HardwareConstraints& hc, const Layer& layer) {
  MappingStatus status;
  const uint32_t width = dim(layer, 0);
  const uint32_t height = dim(layer, 1);
  const uint32_t channels = dim(layer, 2);
  status += fail_if(width > hc.max_input_width, layer,
                    "The maximum input width is " + std::to_string(hc.max_input_width) +
                        " (got " + std::to_string(width) + ").");
  status += fail_if(height > hc.max_input_height, layer,
                    "The maximum input height is " + std::to_string(hc.max_input_height) +
                        " (got " + std::to_string(height) + ").");
  status += fail_if(channels > hc.max_input_channels, layer,
                    "The maximum input channel value is " +
                        std::to_string(hc.max_input_channels) + " (got " +
                        std::to_string(channels) + ").");
  return status;
}

MappingStatus rule_max_filters(const HardwareConstraints& hc, const Layer& layer) {
  const int64_t filters =
      layer.params().has("filters") ? param(layer, "filters") : int64_t{dim(layer, 2)};
  return fail_if(int64_t{hc.max_filters} < filters, layer,
                 "The maximum number of filters is " + std::to_string(hc.max_filters) + " (got " +
                     std::to_string(filters) + ").");
}

MappingStatus rule_input_shift_memory(const HardwareConstraints& hc, const Layer& layer) {
  if (!layer.variables().has("input_shift")) {
    return MappingStatus(layer, "The layer has no variable input_shift.");
  }
  const uint64_t words = cnp_tnp_input_shift_24b_size(*layer.variables().get("input_shift"));
  return fail_if(hc.input_shift_entries < words, layer,
                 "Input shift exceeds memory. Maximum size is " +
                     std::to_string(hc.input_shift_entries * input_shift_entry_bytes) +
                     " bytes. (got " + std::to_string(words * input_shift_entry_bytes) +
                     " bytes).");
}

// The ReLU and LUT forms of the output stage share register bits (see format_cnp_tnp_variables);
// a layer holding both would have one silently overwrite the other.
MappingStatus rule_single_output_stage_form(const Layer& layer) {
  const Variables& vars = layer.variables();
  const bool relu_form = vars.has("max_value") || vars.has("max_value_shift");
  const bool lut_form = vars.has("activation_scales") || vars.has("activation_shift");
  return fail_if(relu_form && lut_form, layer,
                 "The layer cannot carry both max_value/max_value_shift and "
                 "activation_scales/activation_shift: they share the same registers.");
}

// ---- padding rules ----

Padding padding_of(const Layer& layer) { return static_cast<Padding>(param(layer, "padding")); }

MappingStatus rule_padding_kind(const Layer& layer) {
  const Padding padding = padding_of(layer);
  return fail_if(padding != Padding::Same && padding != Padding::SameUpper, layer,
                 "Only padding 'Same' and 'SameUpper' are supported.");
}

MappingStatus rule_same_upper(const Layer& layer) {
  if (padding_of(layer) != Padding::SameUpper) return ok();
  MappingStatus status;
  status += fail_if(param(layer, "kernel_stride") != 2, layer,
                    "With SameUpper padding only stride 2 is supported.");
  status += fail_if(activation_on(layer) && layer.output_bits() != 8, layer,
                    "With SameUpper padding only 8-bit activations are supported.");
  status += fail_if(param(layer, "weights_bits") != 8, layer,
                    "With SameUpper padding only 8-bit weights are supported.");
  return status;
}

// The CNP's registers hold one stride flag (stride 2, or 1 without it), and the transposed
// recorders program its one transposed mode, which doubles the input: any other stride would
// map to a program that computes a different layer.
MappingStatus rule_stride_1_or_2(const Layer& layer) {
  const int32_t stride = param(layer, "kernel_stride");
  return fail_if(stride != 1 && stride != 2, layer, "Only stride 1 or 2 is supported.");
}

MappingStatus rule_transposed_stride_2(const Layer& layer) {
  return fail_if(param(layer, "kernel_stride") != 2, layer,
                 "Transposed convolutions support only stride 2.");
}

// ---- pooling rules ----

MappingStatus rule_pooling_without_stride(const Layer& layer) {
  return fail_if(param(layer, "kernel_stride") > 1, layer,
                 "The CNP cannot support both pooling and stride.");
}

MappingStatus rules_max_pooling(const Layer& layer) {
  MappingStatus status;
  const int32_t pool_size = param(layer, "pool_size");
  status += fail_if(pool_size != 1 && pool_size != 2, layer, "Pooling size must be 1 or 2.");
  const PoolingCalculatedParams& pool = layer.pool_calculated_params();
  status += fail_if(static_cast<int8_t>(pool.stride_x) != static_cast<int8_t>(pool.stride_y),
                    layer, "Pooling stride x and y must be equal.");
  status += fail_if(int64_t{dim(layer, 0)} < pool_size || int64_t{dim(layer, 1)} < pool_size,
                    layer, "Pooling size cannot be greater than input dimensions.");
  status += fail_if(layer.activation_is(ActivationType::LUT), layer,
                    "Max pooling is not supported with activation LUT.");
  return status;
}

// Input memory, in 32-bit words, of the whole input when one NP holds it.
uint64_t whole_input_words(const Layer& layer) {
  const uint64_t row_bytes = ((uint64_t{layer.input_bits()} * dim(layer, 0) + 7) / 8 + 3) & ~3ull;
  const uint64_t row_words = ((row_bytes * dim(layer, 2)) / 4) & input_row_words_mask;
  return row_words * dim(layer, 1);
}

MappingStatus rules_global_average_pooling(const HardwareConstraints& hc, const Layer& layer) {
  MappingStatus status;
  status += fail_if(layer.output_bits() > 8, layer,
                    "With average pooling output bitwidth should be <= 8.");
  status += fail_if(param(layer, "pool_size") != -1, layer,
                    "Global Average pooling must be global.");
  status += fail_if(dim(layer, 0) > gap_max_input_width, layer,
                    "When using Global Average Pooling, input height cannot exceed " +
                        std::to_string(gap_max_input_width) + ".");
  const uint32_t rows = layer.conv_calculated_params().output_height;
  status += fail_if(rows < gap_min_conv_rows, layer,
                    "When using Global Average Pooling, the output of the convolution must have "
                    "at least " +
                        std::to_string(gap_min_conv_rows) + " rows (currently " +
                        std::to_string(rows) + ").");
  status += fail_if(uint64_t{dim(layer, 0)} * dim(layer, 1) > gap_max_input_area, layer,
                    "When using Global Average Pooling, input dimensions width * height cannot "
                    "exceed " +
                        std::to_string(gap_max_input_area) + ".");
  status += fail_if(hc.input_sram_single_buffer_words < whole_input_words(layer), layer,
                    "When using Global Average Pooling, spatial split is impossible.");
  return status;
}

// ---- output-bits rules ----

MappingStatus rules_output_bits(const Layer& layer, bool allow_4bit) {
  const uint8_t bits = layer.output_bits();
  if (!activation_on(layer)) {
    return fail_if(bits != 8 && bits != 28, layer,
                   "Without activation output bitwidth should be 8 or 28.");
  }
  if (bits == 8) return ok();
  MappingStatus status;
  if (bits == 4) {
    status += fail_if(!allow_4bit, layer, "With activation output bitwidth should be 8.");
    status += fail_if(param(layer, "activation") != static_cast<int32_t>(ActivationType::ReLU),
                      layer, "4-bit activation is not supported with LUT.");
    return status;
  }
  return MappingStatus(layer, allow_4bit ? "With activation output bitwidth should be 4 or 8."
                                         : "With activation output bitwidth should be 8.");
}

// ---- per-kind rules ----

MappingStatus rule_input_bits_4_or_8(const Layer& layer) {
  const uint8_t bits = layer.input_bits();
  return fail_if(bits != 4 && bits != 8, layer, "Input should be 4-bit or 8-bit.");
}

MappingStatus rule_input_bits_8(const Layer& layer) {
  return fail_if(layer.input_bits() != 8, layer, "Input should be 8-bit.");
}

MappingStatus rule_weights_bits_4_or_8(const Layer& layer) {
  const int32_t bits = param(layer, "weights_bits");
  return fail_if(bits != 4 && bits != 8, layer, "Weights bitwidth should be 4-bit or 8-bit.");
}

MappingStatus rule_weights_bits_8(const Layer& layer) {
  return fail_if(param(layer, "weights_bits") != 8, layer, "Weights should be 8-bit.");
}

MappingStatus rule_kernel_in(const Layer& layer, std::initializer_list<int32_t> allowed,
                             const char* message) {
  const int32_t kernel = param(layer, "kernel_size");
  return fail_if(std::find(allowed.begin(), allowed.end(), kernel) == allowed.end(), layer,
                 message);
}

// One input channel's kernels of every filter must fit one CNP's weight memory.
MappingStatus rule_filter_size(const HardwareConstraints& hc, const Layer& layer,
                               const char* message) {
  const auto kernel = static_cast<uint32_t>(param(layer, "kernel_size"));
  const auto bits = static_cast<uint8_t>(param(layer, "weights_bits"));
  const uint64_t size = uint64_t{conv2d_ch_cont_100b_size(kernel, 1, bits)} * dim(layer, 2);
  return fail_if(hc.np_weight_words < size, layer, message);
}

bool four_bit_weights_eight_bit_output(const Layer& layer) {
  return param(layer, "weights_bits") == 4 && layer.output_bits() == 8;
}

// ---- Add rules ----

MappingStatus rule_add_output_bits(const Layer& layer) {
  return fail_if(layer.output_bits() != 8, layer, "Output must be 8-bit.");
}

MappingStatus rules_add_shift_ranges(const Layer& layer) {
  const Variables& vars = layer.variables();
  MappingStatus missing;
  for (const char* name : {"a_shift", "b_shift", "output_shift"}) {
    if (!vars.has(name)) missing += MappingStatus(layer, std::string("The layer has no variable ") + name + ".");
  }
  if (missing.failed) return missing;
  const auto a_shift = vars.get("a_shift");
  const auto b_shift = vars.get("b_shift");
  const auto output_shift = vars.get("output_shift");
  MappingStatus status;
  const uint32_t channels = a_shift->dimensions().size() > 0 ? a_shift->dimensions()[0] : 0;
  for (uint32_t i = 0; i < channels; ++i) {
    const int32_t a = a_shift->at<uint8_t>(i);
    const int32_t b = b_shift->at<uint8_t>(i);
    const int32_t o = output_shift->at<int8_t>(i);
    if (std::abs(a - b) > add_max_input_shift_diff) {
      status += MappingStatus(layer,
                              "This model cannot be mapped in hardware, Add input shift is out of "
                              "range. The maximum is " +
                                  std::to_string(add_max_input_shift_diff) + ".");
      continue;
    }
    const int32_t shift = std::max(a, b) + o;
    status += fail_if(shift < add_output_shift_min || shift > add_output_shift_max, layer,
                      "This model cannot be mapped in hardware, Add output shift is out of range. "
                      "Should be in [" +
                          std::to_string(add_output_shift_min) + ", " +
                          std::to_string(add_output_shift_max) + "].");
  }
  return status;
}

// ---- join rules (Add and Concatenate) ----

// A join runs in the merge of the CNP layer after it: without one, nothing computes it.
MappingStatus rule_join_followed_by_merge(const Layer& layer) {
  const auto outbound = layer.outbound_layers();
  const bool merged = std::any_of(outbound.begin(), outbound.end(), [](const auto& next) {
    return next->is_target_component(ComponentKind::CNP);
  });
  return fail_if(!merged, layer, "Must be followed by a merge layer.");
}

// Only an NP layer's output or a join's (through the merge after it) can be stored; the model
// input never is.
MappingStatus rule_join_inbound_kinds(const Layer& layer) {
  for (const auto& inbound : layer.inbound_layers()) {
    if (!inbound->is_target_component(ComponentKind::CNP) &&
        !inbound->is_target_component(ComponentKind::SKIP_DMA)) {
      return MappingStatus(layer, "Inbounds must be of types Conv, Add or Concat.");
    }
  }
  return ok();
}

// The merge layer reads one input as its own input and one through its skip-DMA load: a third
// would be lost.
MappingStatus rule_join_two_inbounds(const Layer& layer) {
  const size_t count = layer.inbound_layers().size();
  return fail_if(count != 2, layer,
                 "Must join exactly two inbound layers, got " + std::to_string(count) + ".");
}

MappingStatus check_join_graph(const Layer& layer) {
  MappingStatus status;
  status += rule_join_followed_by_merge(layer);
  status += rule_join_inbound_kinds(layer);
  status += rule_join_two_inbounds(layer);
  return status;
}

MappingStatus rule_add_distinct_inbounds(const Layer& layer) {
  std::set<const Layer*> seen;
  for (const auto& inbound : layer.inbound_layers()) {
    if (!seen.insert(inbound.get()).second) {
      return MappingStatus(layer, "Add inbounds must come from different layers.");
    }
  }
  return ok();
}

}  // namespace

MappingStatus check_cnp_tnp_common_constraints(const HardwareConstraints& hc, const Layer& layer) {
  MappingStatus status;
  status += rule_activation_output_width(layer);
  status += rule_input_covers_weights(layer);
  status += rule_input_dimensions(hc, layer);
  status += rule_max_filters(hc, layer);
  status += rule_input_shift_memory(hc, layer);
  status += rule_single_output_stage_form(layer);
  return status;
}

MappingStatus check_padding_constraints(const Layer& layer) {
  MappingStatus status;
  status += rule_padding_kind(layer);
  status += rule_same_upper(layer);
  return status;
}

MappingStatus check_pooling_constraints(const HardwareConstraints& hc, const Layer& layer) {
  // Both computed parameter sets are needed below; a layer without them is not built.
  (void)layer.conv_calculated_params();
  (void)layer.pool_calculated_params();
  const auto pool_type = static_cast<PoolType>(param(layer, "pool_type"));
  if (pool_type == PoolType::NoPooling) return ok();
  MappingStatus status;
  status += rule_pooling_without_stride(layer);
  if (pool_type == PoolType::Max) status += rules_max_pooling(layer);
  if (pool_type == PoolType::Average) status += rules_global_average_pooling(hc, layer);
  return status;
}

MappingStatus check_output_bits_constraints(const Layer& layer, bool allow_4bit) {
  return rules_output_bits(layer, allow_4bit);
}

MappingStatus check_conv2d_constraints(const HardwareConstraints& hc, const Layer& layer) {
  MappingStatus status;
  status += check_cnp_tnp_common_constraints(hc, layer);
  status += rule_input_bits_4_or_8(layer);
  status += check_padding_constraints(layer);
  status += check_pooling_constraints(hc, layer);
  status += rule_kernel_in(layer, {1, 3, 5, 7}, "Kernel size must be 1, 3, 5 or 7.");
  status += rule_stride_1_or_2(layer);
  status += check_output_bits_constraints(layer, true);
  status += rule_weights_bits_4_or_8(layer);
  if (!status.failed) {
    status += rule_filter_size(hc, layer,
                               "Filter size is too big to fit in a CNP: try decreasing the input "
                               "channels or the bitwidth.");
  }
  status += fail_if(!activation_on(layer) && four_bit_weights_eight_bit_output(layer), layer,
                    "4-bit weights and 8-bit potential is not allowed.");
  return status;
}

MappingStatus check_dwconv2d_constraints(const HardwareConstraints& hc, const Layer& layer) {
  MappingStatus status;
  status += check_cnp_tnp_common_constraints(hc, layer);
  status += rule_input_bits_4_or_8(layer);
  status += check_padding_constraints(layer);
  status += check_pooling_constraints(hc, layer);
  status += rule_kernel_in(layer, {3, 5, 7}, "Kernel size must be 3, 5 or 7.");
  status += rule_stride_1_or_2(layer);
  status += check_output_bits_constraints(layer, true);
  status += rule_weights_bits_4_or_8(layer);
  status += fail_if(activation_on(layer) && four_bit_weights_eight_bit_output(layer), layer,
                    "4-bit weights and 8-bit activation is not allowed.");
  return status;
}

MappingStatus check_conv2dtranspose_constraints(const HardwareConstraints& hc, const Layer& layer) {
  MappingStatus status;
  status += check_cnp_tnp_common_constraints(hc, layer);
  status += rule_input_bits_8(layer);
  status += check_output_bits_constraints(layer, false);
  status += rule_weights_bits_8(layer);
  status += rule_kernel_in(layer, {3, 4}, "Kernel size must be 3 or 4.");
  status += rule_transposed_stride_2(layer);
  // The CNP's transposed mode makes exactly twice its input, the output of Same padding (and of
  // SameUpper, which cuts a transposed layer's surplus the same way); Valid keeps the whole
  // (in - 1) * 2 + kernel, which it cannot make.
  status += rule_padding_kind(layer);
  if (!status.failed) {
    status += rule_filter_size(hc, layer,
                               "Filter size is too big to fit in a CNP: try decreasing the input.");
  }
  return status;
}

MappingStatus check_dwconv2dtranspose_constraints(const HardwareConstraints& hc,
                                                  const Layer& layer) {
  MappingStatus status;
  status += check_cnp_tnp_common_constraints(hc, layer);
  status += rule_input_bits_8(layer);
  status += check_output_bits_constraints(layer, false);
  status += rule_weights_bits_8(layer);
  status += rule_kernel_in(layer, {3, 4}, "Kernel size must be 3 or 4.");
  status += rule_transposed_stride_2(layer);
  status += rule_padding_kind(layer);  // as above
  return status;
}

MappingStatus check_add_constraints(const Layer& layer) {
  MappingStatus status;
  status += rule_add_output_bits(layer);
  status += rules_add_shift_ranges(layer);
  status += check_join_graph(layer);
  status += rule_add_distinct_inbounds(layer);
  return status;
}

MappingStatus check_concatenate_constraints(const Layer& layer) { return check_join_graph(layer); }

std::optional<MappingStatus> check_cnp_layer_constraints(const HardwareConstraints& hc,
                                                         const Layer& layer) {
  switch (layer.type()) {
    case LayerType::Add: return check_add_constraints(layer);
    case LayerType::Concatenate: return check_concatenate_constraints(layer);
    case LayerType::Conv2D: return check_conv2d_constraints(hc, layer);
    case LayerType::DepthwiseConv2D: return check_dwconv2d_constraints(hc, layer);
    case LayerType::Conv2DTranspose: return check_conv2dtranspose_constraints(hc, layer);
    case LayerType::DepthwiseConv2DTranspose:
      return check_dwconv2dtranspose_constraints(hc, layer);
    default: return std::nullopt;
  }
}

}  // namespace qalto::v2
