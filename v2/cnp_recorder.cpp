#include "v2/cnp_recorder.hpp"

#include <optional>
#include <stdexcept>
#include <string>

#include "mapping/layer_mapping.hpp"
#include "mapping/np_split.hpp"
#include "qalto/mapping_status.hpp"
#include "qalto/panic.hpp"
#include "qalto/reg_detail.hpp"
#include "v2/cnp_registers.hpp"
#include "v2/lut.hpp"
#include "v2/merge_shift.hpp"
#include "v2/mesh_routing.hpp"
#include "v2/np_registers.hpp"
#include "v2/registers.hpp"
#include "v2/skipdma_recorder.hpp"
#include "v2/weight_formats.hpp"

namespace qalto::v2 {

namespace {

// ---- the four kinds ----

// What sets one CNP layer kind apart from the others.
//  depthwise:  one filter per input channel, so an NP reads only its own channels (channel-group
//              cut, per-NP input and merge shifts, per-channel weight layout);
//  transposed: a stride-2 transposed convolution: the NP reads its own region and produces
//              twice as much; no pooling; the image assumes 8-bit weights and stride 1.
struct CnpKind {
  LayerType type;
  bool depthwise;
  bool transposed;
};

constexpr CnpKind kConv2D{LayerType::Conv2D, false, false};
constexpr CnpKind kConv2DTranspose{LayerType::Conv2DTranspose, false, true};
constexpr CnpKind kDepthwise{LayerType::DepthwiseConv2D, true, false};
constexpr CnpKind kDepthwiseTranspose{LayerType::DepthwiseConv2DTranspose, true, true};

// Transposed layers are programmed with the 8-bit weight layout and a unit stride: the stride-2
// expansion is the NP's transposed mode, not a strided read.
constexpr uint8_t kTransposedWeightsBits = 8;
constexpr int kTransposedStride = 1;
// A depthwise NP keeps one packed-input container per channel: 1 in the filter-group field.
constexpr uint32_t kDepthwiseFilterGroups = 1;
// Filters are given to the Conv2D engine in groups of eight.
constexpr uint64_t kFilterGroupSize = 8;
// 32-bit words per input row and the 4-byte rounding of input rows.
constexpr uint64_t kWordBits = 32;
constexpr uint64_t kBytesPerWord = 4;

[[noreturn]] void field_overflow(uint64_t value, const RegDetail& field) {
  const std::string message = "Attempted to write value " + std::to_string(value) + " into a " +
                              std::to_string(field.nb_bits) +
                              "-bit field, which will cause an overflow.";
  panic("%s", message.c_str());
}

// Writes a value computed in 64 bits: a value that does not even fit 32 bits is reported with
// the field's overflow message instead of being cut before the field check sees it.
void put(std::vector<uint32_t>& image, size_t word, const RegDetail& field, uint64_t value) {
  if (value > UINT32_MAX) field_overflow(value, field);
  set_field(&image[word], field, static_cast<uint32_t>(value));
}

const CnpKind& kind_of_layer(const Layer& layer) {
  switch (layer.type()) {
    case LayerType::Conv2D: return kConv2D;
    case LayerType::Conv2DTranspose: return kConv2DTranspose;
    case LayerType::DepthwiseConv2D: return kDepthwise;
    case LayerType::DepthwiseConv2DTranspose: return kDepthwiseTranspose;
    default: throw std::runtime_error("Invalid layer type for CNP recording.");
  }
}

void check_kind(const CnpKind& kind, const Layer& layer) {
  if (layer.type() != kind.type) throw std::runtime_error("Invalid layer type for CNP recording.");
}

const LayerMapping& require_mapping(const Layer& layer, std::shared_ptr<LayerMapping>* keep) {
  *keep = layer_mapping_of(layer);
  if (!*keep) MappingStatus(layer, "The layer has no mapping.").throw_exception();
  return **keep;
}

// An 8-bit layer parameter; a value outside 0..255 is refused rather than cut to its low byte.
uint8_t param_u8(const Layer& layer, const char* key) {
  const int32_t value = layer.params().get(key);
  if (value < 0 || value > UINT8_MAX) {
    throw std::invalid_argument("Layer " + layer.get_name() + ": \"" + key + "\" (" +
                                std::to_string(value) + ") does not fit 8 bits.");
  }
  return static_cast<uint8_t>(value);
}

// ---- what the register images need of the layer ----

struct LayerGeometry {
  Shape input;  // the first input shape (width, height, channels)
  int kernel_size = 0;
  int kernel_stride = 1;
  ActivationType activation = ActivationType::NoActivation;
  uint8_t input_bits = 0;
  uint8_t output_bits = 0;
  PaddingParams conv_padding;
  uint32_t pool_size = 1;
  PoolingCalculatedParams pool;  // stride, padding and final flag as the NPs use them
  bool inbound_pooling_flag = false;
};

// The pool size the NPs use: 1 without pooling and for global average pooling.
uint32_t effective_pool_size(const Layer& layer, LayerGeometry* g,
                             const ConvCalculatedParams& conv) {
  const int32_t pool_size = layer.params().get("pool_size");
  switch (static_cast<PoolType>(layer.params().get("pool_type"))) {
    case PoolType::NoPooling:
      get_no_pooling_params(&g->pool, conv.output_width, conv.output_height);
      return 1;
    case PoolType::Average:
      if (pool_size == -1) return 1;
      break;
    default: break;
  }
  // The pool size goes into a 3-bit field; a value that is not even a byte is reported there
  // rather than cut to its low byte.
  if (pool_size < 0 || pool_size > UINT8_MAX) {
    field_overflow(static_cast<uint32_t>(pool_size), REG27_POOL_SIZE);
  }
  return static_cast<uint32_t>(pool_size);
}

// A first inbound layer with max pooling and no activation hands its pooling to this layer's
// input buffer. A missing first inbound layer counts as no inbound layer.
bool inbound_pooling(const Layer& layer) {
  const auto inbound = layer.inbound_layers();
  if (inbound.empty() || !inbound.front()) return false;
  const Layer& first = *inbound.front();
  return first.pooling_is(PoolType::Max) && !first.activation_enabled();
}

LayerGeometry read_geometry(const CnpKind& kind, const Layer& layer) {
  LayerGeometry g;
  if (kind.transposed) {
    // Transposed layers run without pooling and read no computed parameters.
    g.activation = static_cast<ActivationType>(layer.params().get("activation"));
    g.input = layer.input_dimensions().front();
    g.kernel_size = layer.params().get("kernel_size");
    g.kernel_stride = kTransposedStride;
    get_no_pooling_params(&g.pool, 0, 0);
    g.pool_size = 1;
  } else {
    const ConvCalculatedParams conv = layer.conv_calculated_params();
    g.pool = layer.pool_calculated_params();
    g.pool_size = effective_pool_size(layer, &g, conv);
    g.conv_padding = conv.padding;
    g.activation = static_cast<ActivationType>(layer.params().get("activation"));
    g.input = layer.input_dimensions().front();
    g.kernel_size = layer.params().get("kernel_size");
    g.kernel_stride = layer.params().get("kernel_stride");
  }
  g.input_bits = layer.input_bits();
  g.output_bits = layer.output_bits();
  g.inbound_pooling_flag = inbound_pooling(layer);
  return g;
}

uint32_t dim_or(const Shape& shape, size_t i, uint32_t fallback) {
  return i < shape.size() ? shape[i] : fallback;
}

// ---- component lists of the mesh routing ----

struct RoutingLists {
  ComponentList inputs;   // where the layer's input comes from
  ComponentList outputs;  // where its output goes
  ComponentList stores;   // the stores the common configuration names
};

void append_lists(ComponentList* out, const std::vector<SharedComponents>& lists) {
  for (const auto& list : lists) {
    if (list) out->insert(out->end(), list->begin(), list->end());
  }
}

RoutingLists routing_lists(const LayerMapping& mapping) {
  RoutingLists lists;
  append_lists(&lists.inputs, mapping.inputs);
  lists.inputs.insert(lists.inputs.end(), mapping.skipdma_loads.begin(),
                      mapping.skipdma_loads.end());
  append_lists(&lists.outputs, mapping.outputs);
  // A TNP-B skip DMA feeds the layer's own input; otherwise the stores take its output.
  ComponentList& stores_side = mapping.tnp_b_skip_dma ? lists.inputs : lists.outputs;
  stores_side.insert(stores_side.end(), mapping.skipdma_stores.begin(),
                     mapping.skipdma_stores.end());
  // A dual-output store is the only store the NP itself addresses; the lookup answers null
  // when there is none, so no store is read that does not exist.
  if (const hw::Component* dual = mapping.skipdma_store_dual_output()) {
    lists.stores = {*dual};
  } else {
    lists.stores = lists.outputs;
  }
  return lists;
}

// ---- per-NP image ----

struct Flags {
  bool ib_spikes;
  bool partial_reconfig;
  bool registers_only;
  bool output_format_flag;
};

const hw::NpPart& np_part_of(const Layer& layer, const hw::Component& component) {
  if (!component.np_part) {
    throw std::invalid_argument("The component " + hw::to_string(component.ident) +
                                " of layer " + layer.get_name() + " has no NP part.");
  }
  return *component.np_part;
}

// Bytes of one input row of one channel, rounded up to whole words.
uint64_t input_row_bytes(uint8_t input_bits, uint32_t in_width) {
  const uint64_t bytes = (uint64_t{input_bits} * in_width + 7) >> 3;
  return (bytes + kBytesPerWord - 1) & ~(kBytesPerWord - 1);
}

// 32-bit words of one input row of one channel.
uint64_t input_row_words(uint8_t input_bits, uint32_t in_width) {
  return (uint64_t{input_bits} * in_width + kWordBits - 1) / kWordBits;
}

// Packed input memory of the NP: its input rows over its channels.
void write_cpksram_size(std::vector<uint32_t>& image, const NpSplitInterface& split,
                        uint8_t input_bits) {
  const uint64_t row_words = (input_row_bytes(input_bits, split.in_width) * split.np_channels) /
                             kBytesPerWord;
  put(image, REGW_CPKSRAM, REG5_CPKSRAM_SIZE, uint64_t{split.in_height} * row_words);
}

// Conv2D and Conv2DTranspose: the NP's filters, in channel containers and groups of eight.
void write_conv_fields(std::vector<uint32_t>& image, const NpSplitInterface& split,
                       uint8_t input_bits, int kernel_size, uint32_t count, uint8_t weights_bits) {
  const uint64_t row_bytes = input_row_bytes(input_bits, split.in_width);
  write_cpksram_size(image, split, input_bits);
  put(image, REGW_CONTAINERS, REG11_CHCONT_SIZE,
      conv2d_ch_cont_100b_size(static_cast<uint32_t>(kernel_size), count, weights_bits));
  put(image, REGW_TF_TOTAL, CNP2_TF_TOTAL, count);
  put(image, REGW_CPK_CONTAINER, CNP8_CPK_CHCONT_SIZE, row_bytes);
  put(image, REGW_CPK_GROUPS, CNP9_FILTER_GROUPS,
      (uint64_t{count} + kFilterGroupSize - 1) / kFilterGroupSize);
  put(image, REGW_CPK_CONTAINER, CNP8_CPK_ROW_WORDS, (row_bytes * split.np_channels) >> 2);
}

// DepthwiseConv2D and its transposed form: the NP computes the channels first .. first+count-1.
void write_depthwise_fields(std::vector<uint32_t>& image, const NpSplitInterface& split,
                            uint8_t input_bits, int kernel_size, uint32_t first, uint32_t count,
                            uint8_t weights_bits, uint32_t input_channels) {
  set_field(&image[REGW_DATA_FORMAT], REG4_DEPTHWISE, 1);
  write_cpksram_size(image, split, input_bits);
  if (count < input_channels) {
    // The NP reads only its own channels of the input buffer.
    set_field(&image[REGW_DATA_FORMAT], REG4_IB_CH_GRP_EN, 1);
    put(image, REGW_CHANNEL_CUT, CNP3_CH_ORIG_CUT, first);
    put(image, REGW_CHANNEL_CUT, CNP3_CH_SIZE_CUT, count);
  }
  put(image, REGW_CONTAINERS, REG11_CHCONT_SIZE,
      dwc_ch_cont_100b_size(static_cast<uint32_t>(kernel_size), count, weights_bits));
  const uint64_t row_words = input_row_words(input_bits, split.in_width);
  put(image, REGW_CPK_CONTAINER, CNP8_CPK_CHCONT_SIZE,
      kBytesPerWord * row_words * split.in_height);
  put(image, REGW_CPK_GROUPS, CNP9_FILTER_GROUPS, kDepthwiseFilterGroups);
  put(image, REGW_CPK_CONTAINER, CNP8_CPK_ROW_WORDS, row_words);
}

// The next pass's component on the same NP, or null.
const hw::Component* same_np(const LayerMapping* next, const hw::Ident& ident) {
  if (next == nullptr) return nullptr;
  for (const auto& component : next->nps()) {
    if (component.ident == ident) return &component;
  }
  return nullptr;
}

struct LayerContext {
  const CnpKind& kind;
  const Layer& layer;
  const LayerMapping& mapping;
  const LayerGeometry& geometry;
  const RoutingLists& lists;
  const Layer* next;
  const LayerMapping* next_mapping;
  Flags flags;
};

std::vector<uint32_t> np_image(const LayerContext& c, const hw::Component& component) {
  const CnpKind& kind = c.kind;
  const LayerGeometry& g = c.geometry;
  const LayerMapping& mapping = c.mapping;
  const hw::NpPart& part = np_part_of(c.layer, component);
  const bool merge = mapping.merge_info && mapping.merge_info->is_add;

  std::vector<uint32_t> image =
      default_np_regs(component, mapping.layer_id, c.flags.registers_only, merge);
  const uint8_t weights_bits =
      kind.transposed ? kTransposedWeightsBits : param_u8(c.layer, "weights_bits");

  std::optional<NpSplit> plain;
  std::optional<TransposedCnpSplit> transposed;
  if (kind.transposed) {
    transposed.emplace(part.spatial_partition, part.input_region);
  } else {
    plain.emplace(g.input, part.spatial_partition, part.input_region, g.kernel_size,
                  g.kernel_stride, g.conv_padding, g.pool_size, g.pool.stride_x, g.pool.padding);
  }
  const NpSplitInterface& split =
      kind.transposed ? static_cast<const NpSplitInterface&>(*transposed) : *plain;

  // The SRAM shift moves the NP's outputs behind those of another layer in the same memory
  // (a Concatenate); the sum is checked, not wrapped.
  const uint64_t shifted_first =
      uint64_t{part.start_neuron} + (mapping.sram_shift ? *mapping.sram_shift : 0);
  if (shifted_first > UINT32_MAX) field_overflow(shifted_first, REG26_FIRST_FILTER);

  format_cnp_tnp_common_config_registers(
      &image, split, g.kernel_size, g.kernel_stride, g.activation,
      static_cast<uint32_t>(shifted_first), part.filters, weights_bits, mapping.nps(),
      part.single_buffer, kind.transposed, g.input_bits, g.output_bits, mapping.merge_info,
      mapping.skipdma_load(), c.lists.stores, c.flags.output_format_flag,
      !c.flags.registers_only);

  if (kind.depthwise) {
    write_depthwise_fields(image, split, g.input_bits, g.kernel_size, part.start_neuron,
                           part.filters, weights_bits, dim_or(g.input, 2, 1));
  } else {
    write_conv_fields(image, split, g.input_bits, g.kernel_size, part.filters, weights_bits);
  }

  format_cnp_pooling_registers(&image, g.input, part.spatial_partition,
                               static_cast<uint8_t>(g.pool_size), g.pool.stride_x,
                               g.pool.pooling, g.pool.padding, g.inbound_pooling_flag);
  format_mesh_registers_set_output_to_NPs(&image, c.lists.inputs, mapping.nps(),
                                          c.lists.outputs, mapping.alt_info,
                                          mapping.next_layer_id, false, mapping.output_to_dma,
                                          c.flags.partial_reconfig);
  if (const hw::Component* next_np = same_np(c.next_mapping, component.ident)) {
    update_partial_reconfig_regs(&image, *c.next, *next_np, c.flags.partial_reconfig);
  }
  if (c.flags.ib_spikes) set_ib_spikes(image);
  return image;
}

bool skipped(const std::vector<hw::Ident>& skip, const hw::Ident& ident) {
  for (const auto& s : skip) {
    if (s == ident) return true;
  }
  return false;
}

RegisterMap build_register_map(const CnpKind& kind, const Layer& layer,
                               const LayerMapping& mapping, const std::shared_ptr<Layer>& next,
                               const std::vector<hw::Ident>& skip, const Flags& flags) {
  const LayerGeometry geometry = read_geometry(kind, layer);
  const RoutingLists lists = routing_lists(mapping);
  std::shared_ptr<LayerMapping> next_mapping;
  if (next) require_mapping(*next, &next_mapping);

  const LayerContext context{kind,       layer, mapping, geometry, lists,
                             next.get(), next_mapping.get(), flags};
  RegisterMap map;
  for (const auto& component : mapping.nps()) {
    if (skipped(skip, component.ident)) continue;
    map[component.ident] = np_image(context, component);
  }
  return map;
}

// ---- data of the NPs ----

struct LayerData {
  std::shared_ptr<Dense> weights;
  std::shared_ptr<Dense> input_shift;
  std::shared_ptr<Dense> max_value, max_value_shift, activation_shift, activation_scales;
  std::shared_ptr<Dense> output_shift, bias_shift, bias, output_scales;
  std::shared_ptr<Dense> lut;
  uint8_t weights_bits = 8;
};

std::shared_ptr<Dense> optional_variable(const Layer& layer, const char* name) {
  return layer.variables().has(name) ? layer.variables().get(name) : nullptr;
}

std::shared_ptr<Dense> required_variable(const Layer& layer, const char* name) {
  if (!layer.variables().has(name)) {
    MappingStatus(layer, std::string("The layer has no variable ") + name + ".").throw_exception();
  }
  return layer.variables().get(name);
}

LayerData fetch_data(const Layer& layer) {
  LayerData d;
  d.weights = required_variable(layer, "weights");
  d.input_shift = required_variable(layer, "input_shift");
  d.max_value = optional_variable(layer, "max_value");
  d.max_value_shift = optional_variable(layer, "max_value_shift");
  d.activation_shift = optional_variable(layer, "activation_shift");
  d.activation_scales = optional_variable(layer, "activation_scales");
  d.output_shift = optional_variable(layer, "output_shift");
  d.bias_shift = optional_variable(layer, "bias_shift");
  d.bias = optional_variable(layer, "bias");
  d.output_scales = optional_variable(layer, "output_scales");
  d.lut = optional_variable(layer, "lut_values");
  d.weights_bits = param_u8(layer, "weights_bits");
  return d;
}

void add_block(program::Record* record, const hw::Ident& ident, dma::Target target,
               const std::vector<uint32_t>& words) {
  record->add_np_track(ident, target, 0, words, true, true);
}

// The kernel size of the weights: their first dimension.
uint32_t weights_kernel(const Layer& layer, const Dense& weights) {
  if (weights.dimensions().size() == 0) {
    MappingStatus(layer, "The variable weights has no dimensions.").throw_exception();
  }
  return weights.dimensions()[0];
}

// Conv2D and Conv2DTranspose send every NP's weights to one target, taken from the layer once,
// before any NP and also for a register-only program; a depthwise NP's target is taken after its
// weights are formatted, and only when they are sent.
std::optional<dma::Target> conv_weights_target(const CnpKind& kind, const Layer& layer) {
  if (kind.depthwise) return std::nullopt;
  const auto weights = required_variable(layer, "weights");
  return conv2d_dma_target(weights_kernel(layer, *weights), param_u8(layer, "weights_bits"));
}

void add_weights(program::Record* record, const Layer& layer, const CnpKind& kind,
                 const LayerData& d, std::optional<dma::Target> conv_target,
                 const hw::Component& np, uint32_t first, uint32_t count) {
  if (kind.depthwise) {
    const auto words = format_depthwise_conv_cnp_weights(*d.weights, first, count, d.weights_bits);
    add_block(record, np.ident, dwc_dma_target(weights_kernel(layer, *d.weights), d.weights_bits),
              words);
  } else {
    const auto words = format_conv2d_cnp_weights(*d.weights, first, count, d.weights_bits);
    add_block(record, np.ident, *conv_target, words);
  }
}

void add_merge_shift(program::Record* record, const CnpKind& kind, const MergeLayerMapInfo& merge,
                     const hw::Ident& ident, uint32_t first, uint32_t count) {
  if (!kind.depthwise) {
    // A Conv2D NP merges every channel of the joined input.
    first = 0;
    count = merge.first_shift ? merge.first_shift->dimensions()[0] : 0;
  }
  add_block(record, ident, dma::Target::MergeShift,
            format_merge_layer_shift(merge.first_shift.get(), merge.second_shift.get(),
                                     merge.output_shift.get(), first, count));
}

void add_np_data(program::Record* record, const CnpKind& kind, const Layer& layer,
                 const LayerMapping& mapping, const LayerData& d,
                 std::optional<dma::Target> conv_target,
                 const std::vector<uint32_t>& shared_input_shift, const hw::Component& np) {
  const hw::NpPart& part = np_part_of(layer, np);
  const uint32_t first = part.start_neuron;
  const uint32_t count = part.filters;
  add_weights(record, layer, kind, d, conv_target, np, first, count);
  add_block(record, np.ident, dma::Target::InputShift,
            kind.depthwise ? format_input_shift(*d.input_shift, first, count)
                           : shared_input_shift);
  add_block(record, np.ident, dma::Target::NpVariables,
            format_cnp_tnp_variables(d.max_value.get(), d.max_value_shift.get(),
                                     d.activation_shift.get(), d.activation_scales.get(),
                                     d.output_shift.get(), d.bias_shift.get(), d.bias.get(),
                                     d.output_scales.get(), first, count));
  if (layer.activation_is(ActivationType::LUT)) {
    add_block(record, np.ident, dma::Target::Lut, format_lut_values_for_cnp(d.lut.get()));
  }
  if (mapping.merge_info && mapping.merge_info->is_add) {
    add_merge_shift(record, kind, *mapping.merge_info, np.ident, first, count);
  }
}

program::RecordPtr record_cnp_layer(const CnpKind& kind, const Device& device, const Layer& layer,
                                    const std::shared_ptr<Layer>& next,
                                    const std::vector<hw::Ident>& skip, const Flags& flags) {
  check_kind(kind, layer);
  std::shared_ptr<LayerMapping> keep;
  const LayerMapping& mapping = require_mapping(layer, &keep);
  const RegisterMap map = build_register_map(kind, layer, mapping, next, skip, flags);
  auto record = program::new_record(device.version());

  // A register-only program readies free NPs for the next pass: the layer's data is not sent,
  // so it is not formatted either.
  std::optional<LayerData> data;
  std::vector<uint32_t> shared_input_shift;
  if (!flags.registers_only) {
    data = fetch_data(layer);
    if (!kind.depthwise) shared_input_shift = format_input_shift(*data->input_shift, 0, 0);
  }
  const std::optional<dma::Target> conv_target = conv_weights_target(kind, layer);
  for (const auto& np : mapping.nps()) {
    const auto image = map.find(np.ident);
    if (image == map.end()) continue;
    add_block(record.get(), np.ident, dma::Target::NpRegisters, image->second);
    if (data) {
      add_np_data(record.get(), kind, layer, mapping, *data, conv_target, shared_input_shift, np);
    }
  }
  if (!flags.registers_only) record_skipdma(record.get(), layer);
  return record;
}

}  // namespace

program::RecordPtr record_program_conv2d_layer(const Device& device, const Layer& layer,
                                               const std::shared_ptr<Layer>& next,
                                               bool ib_spikes, bool partial_reconfig,
                                               const std::vector<hw::Ident>& skip,
                                               bool registers_only, bool output_format_flag) {
  return record_cnp_layer(kConv2D, device, layer, next, skip,
                          {ib_spikes, partial_reconfig, registers_only, output_format_flag});
}

program::RecordPtr record_program_transposed_conv2d_layer(
    const Device& device, const Layer& layer, const std::shared_ptr<Layer>& next,
    bool ib_spikes, bool partial_reconfig, const std::vector<hw::Ident>& skip,
    bool registers_only, bool output_format_flag) {
  return record_cnp_layer(kConv2DTranspose, device, layer, next, skip,
                          {ib_spikes, partial_reconfig, registers_only, output_format_flag});
}

program::RecordPtr record_program_dwconv2d_layer(const Device& device, const Layer& layer,
                                                 const std::shared_ptr<Layer>& next,
                                                 bool ib_spikes, bool partial_reconfig,
                                                 const std::vector<hw::Ident>& skip,
                                                 bool registers_only, bool output_format_flag) {
  return record_cnp_layer(kDepthwise, device, layer, next, skip,
                          {ib_spikes, partial_reconfig, registers_only, output_format_flag});
}

program::RecordPtr record_program_transposed_dwconv2d_layer(
    const Device& device, const Layer& layer, const std::shared_ptr<Layer>& next,
    bool ib_spikes, bool partial_reconfig, const std::vector<hw::Ident>& skip,
    bool registers_only, bool output_format_flag) {
  return record_cnp_layer(kDepthwiseTranspose, device, layer, next, skip,
                          {ib_spikes, partial_reconfig, registers_only, output_format_flag});
}

RegisterMap format_cnp_layer_registers(const Layer& layer, const std::shared_ptr<Layer>& next,
                                       bool ib_spikes, bool partial_reconfig,
                                       const std::vector<hw::Ident>& skip, bool registers_only,
                                       bool output_format_flag) {
  const CnpKind& kind = kind_of_layer(layer);
  std::shared_ptr<LayerMapping> keep;
  const LayerMapping& mapping = require_mapping(layer, &keep);
  return build_register_map(kind, layer, mapping, next, skip,
                            {ib_spikes, partial_reconfig, registers_only, output_format_flag});
}

}  // namespace qalto::v2
