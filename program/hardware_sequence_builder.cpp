#include "program/hardware_sequence_builder.hpp"

#include <algorithm>
#include <stdexcept>

#include "mapping/graph.hpp"
#include "mapping/layer_mapping.hpp"
#include "program/hardware_sequence.hpp"
#include "program/io_format.hpp"
#include "program/sequence_serializer.hpp"
#include "qalto/version.hpp"
#include "v2/fnp_padding.hpp"

namespace qalto {

namespace {

// The type code under which the output needs no EPG values.
constexpr int8_t kOutputTypeWithoutEpg = 3;

const ComponentList& components_of(const std::shared_ptr<Layer>& layer) {
  static const ComponentList none;
  auto mapping = layer ? layer_mapping_of(*layer) : nullptr;
  return mapping ? mapping->nps() : none;
}

// The shape the input stage sees: a Dense1D first layer reads its input flattened. A zero
// dimension makes the Shape panic; a product beyond 32 bits is refused rather than wrapped.
Shape sequence_input_shape(const Layer& first) {
  const Shape& in = first.input_dimensions().front();
  if (first.type() != LayerType::Dense1D) return in;
  uint64_t size = 1;
  for (size_t i = 0; i < 3; ++i) {
    size *= in[i];
    if (size > UINT32_MAX) {
      throw std::runtime_error("The input of " + first.get_name() + " is too large.");
    }
  }
  return Shape{1, 1, static_cast<uint32_t>(size)};
}

// A layer gets a learning program only when it has been compiled for learning: the layer type
// alone would send every fully connected layer through the learning recorder.
bool learns(const Layer& layer) { return layer.can_learn() && layer.learning() != nullptr; }

bool output_format_flag(const Layer& layer, const std::shared_ptr<Layer>& next_in_pass) {
  if (layer.activation_type() != static_cast<uint32_t>(ActivationType::LUT) || !next_in_pass) {
    return false;
  }
  if (next_in_pass->is_target_component(ComponentKind::TNP_B)) return true;
  if (layer.is_target_component(ComponentKind::CNP) &&
      next_in_pass->is_target_component(ComponentKind::FNP)) {
    return layer.output_bits() == 4 ||
           v2::get_fnp_supported_padding(*next_in_pass, false) == v2::InputPadding::per_row;
  }
  return false;
}

// Extra descriptors the skip-DMA programs of a layer need between passes.
size_t skip_dma_descriptors(const Layer& layer) {
  auto mapping = layer_mapping_of(layer);
  if (!mapping) return 0;
  return (mapping->skipdma_store_channel ? 4 : 0) +
         (mapping->skipdma_store_dual_output_channel ? 4 : 0) +
         (mapping->skipdma_load_channel ? 1 : 0);
}

std::pair<uint8_t, uint8_t> pass_epg_range(const Sequence::Pass& pass, bool skip_hrc) {
  auto first = first_mappable_layer(pass.layers);
  if (!first) return {0, 0};
  const ComponentList* components = &components_of(first);
  if (first->is_target_component(ComponentKind::HRC)) {
    if (skip_hrc) return {0, 0};
    auto outbound = first->outbound_layers();
    if (outbound.empty()) throw std::out_of_range("The HRC layer has no outbound layer.");
    components = &components_of(outbound.front());
  }
  if (components->size() == 1 && components->front().type == hw::Type::HRC) return {1, 1};
  uint8_t lo = UINT8_MAX, hi = 0;
  for (const auto& component : *components) {
    lo = std::min(lo, component.ident.col);
    hi = std::max(hi, component.ident.col);
  }
  if (components->empty()) lo = 0;
  return {lo, hi};
}

}  // namespace

HardwareSequenceBuilder::HardwareSequenceBuilder(std::shared_ptr<Device> device,
                                                 const HardwareConstraints& constraints,
                                                 const IoRecorder& io_recorder,
                                                 const LayerRecorder& layer_recorder)
    : device_(std::move(device)),
      constraints_(constraints),
      io_recorder_(io_recorder),
      layer_recorder_(layer_recorder) {}

void HardwareSequenceBuilder::add_layers(std::vector<std::shared_ptr<Layer>> layers,
                                         const std::vector<std::shared_ptr<Layer>>& sequence_layers,
                                         std::vector<std::vector<hw::Component>> components) {
  if (components.size() != layers.size()) {
    throw std::invalid_argument("A pass needs one component list per layer.");
  }
  if (held_back_) {
    layers.insert(layers.begin(), held_back_->layer);
    components.insert(components.begin(), held_back_->components);
  }
  // A joining layer at the end of a group belongs with the layers it joins in the next pass.
  std::optional<HeldBack> hold;
  if (!layers.empty() && layers.back()->is_target_component(ComponentKind::SKIP_DMA)) {
    hold = HeldBack{layers.back(), components.back()};
    layers.pop_back();
    components.pop_back();
  }
  // A group that held only the joining layer has nothing left to run: the layer simply carries
  // over, and no empty pass (which has no hardware layer to link or record) is made.
  if (!layers.empty()) {
    auto pass = std::make_shared<HardwarePass>(layers, sequence_layers, components,
                                               device_->mesh().dma_event, last_pass());
    passes_.push_back(std::move(pass));
    layers_.insert(layers_.end(), layers.begin(), layers.end());
  }
  // Only now that the pass stands: a failed pass leaves the builder as it was.
  held_back_ = std::move(hold);
}

std::shared_ptr<HardwarePass> HardwareSequenceBuilder::hardware_pass(size_t i) const {
  return std::dynamic_pointer_cast<HardwarePass>(passes_.at(i));
}

std::shared_ptr<HardwarePass> HardwareSequenceBuilder::last_pass() const {
  return passes_.empty() ? nullptr : hardware_pass(passes_.size() - 1);
}

void HardwareSequenceBuilder::clear() {
  layers_.clear();
  passes_.clear();
  program_.clear();
}

MappingStatus HardwareSequenceBuilder::check_num_descriptors(const std::shared_ptr<Layer>& layer,
                                                             size_t a, size_t b) {
  const uint64_t needed = uint64_t{a} * b;
  if (needed <= kMaxDescriptors) return MappingStatus::success();
  // The status is made before clear(): `layer` may refer into a pass that clear() releases.
  MappingStatus status(*layer,
                       "Model is too big. The maximum number of descriptors is more than allowed. " +
                           std::to_string(needed) + " are needed but " +
                           std::to_string(kMaxDescriptors) + " are available.");
  clear();
  return status;
}

void HardwareSequenceBuilder::set_input_buffer_flags() {
  for (const auto& pass : passes_) {
    for (const auto& layer : pass->layers) {
      auto mapping = layer_mapping_of(*layer);
      if (!mapping) continue;
      for (auto& component : mapping->nps()) {
        if (component.np_part) component.np_part->single_buffer = true;
      }
    }
  }
  // An NP that carries its output into the next pass must keep both buffers.
  for (size_t i = 0; i + 1 < passes_.size(); ++i) {
    auto last = last_mappable_layer(passes_[i]->layers);
    auto first = first_mappable_layer(passes_[i + 1]->layers);
    auto last_mapping = last ? layer_mapping_of(*last) : nullptr;
    auto first_mapping = first ? layer_mapping_of(*first) : nullptr;
    if (!last_mapping || !first_mapping) continue;
    for (auto& component : last_mapping->nps()) {
      if (!component.np_part) continue;
      for (auto& other : first_mapping->nps()) {
        if (!(other.ident == component.ident)) continue;
        component.np_part->single_buffer = false;
        if (other.np_part) other.np_part->single_buffer = false;
        break;
      }
    }
  }
}

std::pair<std::shared_ptr<Sequence>, MappingStatus> HardwareSequenceBuilder::build_sequence() {
  if (passes_.empty()) throw std::logic_error("A sequence needs at least one pass.");
  const bool multi_pass = passes_.size() > 1;
  if (multi_pass) set_input_buffer_flags();

  SequenceSerializer serializer(layer_recorder_, io_recorder_);
  serializer.serialize_version(device_->version());

  const auto first = first_mappable_layer(layers_);
  if (!first) throw std::runtime_error("A hardware sequence needs a layer that runs on hardware.");
  const auto last = layers_.back();
  const auto last_mappable = last_mappable_layer(layers_);
  const int8_t input_type = io_recorder_.get_input_type(*first);
  const int8_t output_type = io_recorder_.get_output_type(*last, input_type);
  const bool last_is_dequantizer = last->type() == LayerType::Dequantizer;
  const uint8_t output_bits = last_is_dequantizer ? last->input_bits() : last->output_bits();
  const bool first_on_hrc = first->is_target_component(ComponentKind::HRC);
  const bool last_on_hrc = last_mappable && last_mappable->is_target_component(ComponentKind::HRC);
  const Shape input_shape = sequence_input_shape(*first);
  const Shape output_shape = last->output_dimensions();
  uint32_t hrc_param_8 = 0, hrc_param_9 = 0;
  if (first_on_hrc) {
    const auto& conv = first->conv_calculated_params();
    hrc_param_8 = conv.stride_y;
    hrc_param_9 = conv.stride_x;
  }
  const bool output_activation = last->activation_enabled();
  const auto first0 = first_mappable_layer(passes_.front()->layers);
  if (!first0) throw std::runtime_error("The first pass has no layer that runs on hardware.");
  size_t max_count = 0;

  for (size_t index = 0; index < passes_.size(); ++index) {
    const size_t n = index + 1;
    const auto& pass = *passes_[index];
    const bool last_pass_of_sequence = n == passes_.size();
    const auto next = last_pass_of_sequence ? nullptr : first_mappable_layer(passes_[n]->layers);
    const auto pass_first = first_mappable_layer(pass.layers);
    const auto pass_last = last_mappable_layer(pass.layers);
    size_t count = 0;
    if (n == 1) {
      const bool b5 = last_is_dequantizer ? last->input_bits() < 9
                                          : (!output_activation && last->output_bits() < 9);
      count = serializer.serialize_scc_program(first_on_hrc, input_type == 0, last_on_hrc,
                                               output_type == 0, b5, input_shape, output_shape)
                  ? 1
                  : 0;
      auto status = check_num_descriptors(first, 1, count);
      if (status.failed) return {nullptr, status};
    }
    for (const auto& layer : pass.layers) {
      // Every layer of the pass gets a record, in pass order; inputs, quantizers and joining
      // layers get one without tracks from their generation's recorder.
      const bool ib_spikes = n > 1 && layer == pass_first;
      const bool partial_reconfig = layer == pass_last && !last_pass_of_sequence;
      auto next_in_pass = next_mappable_layer(layer);
      if (next_in_pass &&
          std::find(pass.layers.begin(), pass.layers.end(), next_in_pass) == pass.layers.end()) {
        next_in_pass = nullptr;
      }
      size_t tracks = 0;
      if (!learns(*layer)) {
        tracks = serializer.serialize_layer_program(*layer, *first0, next, ib_spikes,
                                                    partial_reconfig, {}, false,
                                                    output_format_flag(*layer, next_in_pass));
        // A TNP-R series is one program: the layers after it have none of their own.
        if (layer->is_target_component(ComponentKind::TNP_R)) break;
        if (multi_pass) tracks += skip_dma_descriptors(*layer);
      } else {
        tracks = serializer.serialize_learning_layer_program(*layer, ib_spikes);
      }
      count += tracks;
      auto status = check_num_descriptors(layer, n, count);
      if (status.failed) return {nullptr, status};
    }
    if (next) {
      std::vector<hw::Ident> used;
      for (const auto& layer : pass.layers) {
        for (const auto& component : components_of(layer)) used.push_back(component.ident);
      }
      count += serializer.serialize_unused_nps_program(next, first0, used);
      auto status = check_num_descriptors(pass_last ? pass_last : first0, n, count);
      if (status.failed) return {nullptr, status};
    }
    max_count = std::max(max_count, count);
    serializer.finalize_pass();
  }
  const size_t descriptors = max_count + 1;
  auto final_layer = last_mappable_layer(passes_.back()->layers);
  auto status = check_num_descriptors(final_layer ? final_layer : first0, passes_.size(), descriptors);
  if (status.failed) return {nullptr, status};

  if (output_type != kOutputTypeWithoutEpg) {
    auto [lo, hi] = pass_epg_range(*passes_.front(), last_on_hrc);
    for (size_t i = 1; i < passes_.size(); ++i) {
      auto [plo, phi] = pass_epg_range(*passes_[i], false);
      lo = std::min(lo, plo);
      hi = std::max(hi, phi);
    }
    serializer.serialize_epg_tracks(*first, lo, hi, 1, last_on_hrc, multi_pass, input_type == 0);
  }
  const Layer& input_layer = *layers_.front();
  serializer.record_dummy_desc_hdr(multi_pass);
  serializer.finalize(version(), input_shape, output_shape, input_type, output_type, output_bits,
                      output_activation, hrc_param_8, hrc_param_9, io::format_output_shift(*last),
                      io::format_output_scales(*last), static_cast<uint8_t>(descriptors),
                      &program_, passes_, io::input_bits(input_layer), io::input_sign(input_layer),
                      io::input_channels_first(input_layer), io::format_input_scales(input_layer),
                      io::format_input_zero_points(input_layer),
                      last->type() == LayerType::MivoPostProcessing);
  auto sequence =
      std::make_shared<HardwareSequence>(device_, constraints_, layers_, passes_, program_);
  clear();
  return {sequence, MappingStatus::success()};
}

}  // namespace qalto
