// NP requests of the mesh mapper: what an NP layer needs, and which free components it gets.

#include <algorithm>
#include <set>
#include <stdexcept>

#include "mapping/graph.hpp"
#include "mapping/layer_split.hpp"
#include "mapping/mesh_mapper.hpp"
#include "mapping/np_request.hpp"
#include "mapping/skip_dma.hpp"

namespace qalto {

namespace {

bool is_skip_dma_kind(hw::Type type) {
  return type == hw::Type::SKIP_DMA_STORE || type == hw::Type::SKIP_DMA_LOAD;
}

// The one component of a fully connected or recurrent layer.
hw::Component whole_layer_component(const Layer& layer, hw::Type type, uint32_t filters) {
  hw::Component component;
  component.type = type;
  hw::NpPart part;
  part.filters = filters;
  part.spatial_partition = NpSpace{0, 0, layer.input_dimensions().front()};
  part.input_region = part.spatial_partition;
  part.single_buffer = true;
  component.np_part = part;
  return component;
}

size_t count_of(const std::vector<hw::Component>& components, hw::Type type) {
  return static_cast<size_t>(std::count_if(components.begin(), components.end(),
                                           [type](const auto& c) { return c.type == type; }));
}

// An answer of select_nps must name distinct members of the candidates offered: anything
// else would place two layers on one NP or loop on NPs that never get allocated.
bool is_valid_choice(const std::vector<hw::Ident>& chosen, const std::vector<hw::Ident>& free) {
  std::set<hw::Ident> seen;
  for (const auto& ident : chosen) {
    if (std::find(free.begin(), free.end(), ident) == free.end()) return false;
    if (!seen.insert(ident).second) return false;
  }
  return true;
}

}  // namespace

std::vector<hw::Type> needed_component_types(const std::shared_ptr<Layer>& layer) {
  std::vector<hw::Type> types;
  if (layer->is_target_component(ComponentKind::CNP)) {
    types.push_back(hw::Type::CNP1);
  } else if (layer->is_target_component(ComponentKind::TNP_B)) {
    types.push_back(hw::Type::TNP_B);
  }
  if (layer_need_store_dma(layer)) types.push_back(hw::Type::SKIP_DMA_STORE);
  if (layer_need_load_dma(layer)) types.push_back(hw::Type::SKIP_DMA_LOAD);
  return types;
}

MappingStatus tnp_b_filter_split_status(const Layer& layer,
                                        const std::vector<hw::Component>& components) {
  const bool big = layer.is_target_component(ComponentKind::TNP_B) && components.size() > 3;
  if (!big || !components.front().np_part) return MappingStatus::success();
  const Shape& first_part = components.front().np_part->spatial_partition.shape;
  const Shape& input = layer.input_dimensions().front();
  const bool split_by_filter =
      first_part.size() > 2 && input.size() > 2 && first_part[2] != input[2];
  const bool odd = std::any_of(components.begin(), components.end(), [](const auto& c) {
    return c.type == hw::Type::TNP_B && c.np_part && c.np_part->filters % 4 != 0;
  });
  if (!split_by_filter || !odd) return MappingStatus::success();
  return MappingStatus(layer,
                       "The number of channels must be a multiple of 4 to be split by filter.");
}

std::tuple<std::vector<hw::Component>, MappingStatus> MeshMapper::np_request(
    const std::shared_ptr<Layer>& layer, const std::vector<hw::Ident>& reserved_nps,
    bool hwpr_loopitself, bool* new_pass, bool allow_new_pass) {
  MappingStatus status = MappingStatus::success();
  *new_pass = false;
  constraints_.next_layer_handler(layer->get_name());
  reserve_nps(reserved_nps);

  // 1. Kinds and components by layer type.
  std::vector<hw::Type> types;
  std::vector<hw::Component> components;
  const auto& c = constraints_;
  auto split = [&](auto split_function, uint32_t max_height, uint32_t max_width) {
    types = needed_component_types(layer);
    if (types.empty()) {
      throw std::runtime_error("Mapping a layer with HW backend should use HW components.");
    }
    auto [parts, split_status] = split_function(*layer, checker_, max_height, max_width,
                                                c.cnp_max_filters(), types.front(),
                                                hwpr_loopitself);
    components = std::move(parts);
    status = split_status;
    request_skipdma(&components, types, layer);
  };
  auto split_transposed = [&](auto split_function) {
    types = needed_component_types(layer);
    if (types.empty()) {
      throw std::runtime_error("Mapping a layer with HW backend should use HW components.");
    }
    const uint32_t h = std::min(c.cnp_max_height(), c.cnp_max_height_default() / 2);
    const uint32_t w = std::min(c.cnp_max_width(), c.cnp_max_width_default() / 2);
    auto [parts, split_status] =
        split_function(*layer, checker_, h, w, c.cnp_max_filters(), hwpr_loopitself);
    components = std::move(parts);
    status = split_status;
    request_skipdma(&components, types, layer);
  };
  switch (layer->type()) {
    case LayerType::FullyConnected:
    case LayerType::Dense1D: {
      const hw::Type fnp = get_compatible_fnp_type(*layer);
      types = {fnp};
      components = {whole_layer_component(
          *layer, fnp, static_cast<uint32_t>(layer->params().get("units")))};
      break;
    }
    case LayerType::StatefulRecurrent:
      types = {hw::Type::TNP_R};
      components = {whole_layer_component(*layer, hw::Type::TNP_R, 0)};
      break;
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional:
    case LayerType::Conv2D:
    case LayerType::BufferTempConv:
      split(split_conv_layer, c.cnp_max_height(), c.cnp_max_width());
      break;
    case LayerType::DepthwiseConv2D:
    case LayerType::DepthwiseBufferTempConv:
      split(split_depthwise_conv_layer, c.cnp_max_height(), c.cnp_max_width());
      break;
    case LayerType::Conv2DTranspose: split_transposed(split_transposed_conv2d_layer); break;
    case LayerType::DepthwiseConv2DTranspose:
      split_transposed(split_transposed_dwconv2d_layer);
      break;
    default: break;
  }
  if (types.empty()) {
    throw std::runtime_error("Mapping a layer with HW backend should use HW components.");
  }
  if (!status.failed) status = skipdma_store_status(layer);
  if (status.failed) return {components, status};

  // 2. Capacity: with a new pass allowed, every unreserved component of a kind counts.
  for (hw::Type type : types) {
    const size_t needed = count_of(components, type);
    const size_t count = allow_new_pass ? max_nps(type) : available_nps(type).size();
    if (count < needed) {
      return {components, MappingStatus::component_error(*layer, hw::to_string(type), needed, count)};
    }
  }
  // 3. A layer that no longer fits beside the layers placed so far opens a new pass.
  for (hw::Type type : types) {
    if (count_of(components, type) > available_nps(type).size()) {
      deallocate_nps();
      *new_pass = true;
      break;
    }
  }

  // 4. Allocation, then the follow-up check of a TNP-B layer that comes next.
  auto allocate = [&]() -> MappingStatus {
    for (hw::Type type : types) {
      const size_t needed = count_of(components, type);
      const auto free = available_nps(type);
      const auto chosen = constraints_.select_nps(free, needed, type);
      if (chosen.size() != needed) {
        return MappingStatus::component_error(*layer, hw::to_string(type), needed, chosen.size());
      }
      if (!is_valid_choice(chosen, free)) {
        return MappingStatus(*layer, std::string("The selected ") + hw::to_string(type) +
                                         " components must be distinct free components.");
      }
      size_t next = 0;
      for (auto& component : components) {
        if (component.type != type) continue;
        component.ident = chosen[next++];
        allocate_np(component.ident, is_skip_dma_kind(type) ? type : hw::Type::None);
      }
    }
    return MappingStatus::success();
  };
  status = allocate();
  if (!status.failed) {
    const bool was_new_pass = *new_pass;
    status = sanitize_tnp_b(*layer, new_pass, allow_new_pass);
    // Only a freshly started pass can change the answer: try once more there.
    if (status.failed && !was_new_pass && *new_pass) {
      status = allocate();
      if (!status.failed) status = sanitize_tnp_b(*layer, new_pass, allow_new_pass);
    }
  }

  // 5. Applied whatever the allocation gave: the split itself is what the rule refuses.
  const MappingStatus chunks = tnp_b_filter_split_status(*layer, components);
  if (chunks.failed) status = chunks;
  return {components, status};
}

MappingStatus MeshMapper::sanitize_tnp_b(const Layer& layer, bool* new_pass, bool allow_new_pass) {
  if (layer.is_target_component(ComponentKind::TNP_B)) return MappingStatus::success();
  const auto outbound = layer.outbound_layers();
  if (outbound.size() != 1 || !outbound.front()->is_target_component(ComponentKind::TNP_B)) {
    return MappingStatus::success();
  }
  const auto& next = outbound.front();
  // A next layer the generation refuses is refused by its own check, which names its type:
  // there is nothing to reserve for it, and the split below could not size it.
  if (checker_.check_layer_compatibility(*next, &layer, checker_.device().version()).failed) {
    return MappingStatus::success();
  }
  const auto& c = constraints_;
  auto split = next->type() == LayerType::BufferTempConv ? split_conv_layer
                                                         : split_depthwise_conv_layer;
  const size_t needed = split(*next, checker_, c.cnp_max_height(), c.cnp_max_width(),
                              c.cnp_max_filters(), hw::Type::TNP_B, false)
                            .first.size();
  size_t held = 0;
  auto found = slots_.find(hw::Type::TNP_B);
  if (found != slots_.end()) {
    held = static_cast<size_t>(std::count_if(found->second.begin(), found->second.end(),
                                             [](const NpSlot& s) { return s.reserved && !s.allocated; }));
  }
  if (!available_nps(hw::Type::SKIP_DMA_STORE).empty() &&
      !available_nps(hw::Type::SKIP_DMA_LOAD).empty() &&
      needed <= held + available_nps(hw::Type::TNP_B).size()) {
    return MappingStatus::success();
  }
  if (allow_new_pass && !*new_pass) {
    deallocate_nps();
    *new_pass = true;
  }
  return MappingStatus(layer, "The next BufferTempConv " + next->get_name() +
                                  " can't be mapped in the current pass.");
}

}  // namespace qalto
