#include "mapping/hardware_backend.hpp"

#include <algorithm>
#include <stdexcept>

#include "mapping/generation.hpp"
#include "mapping/graph.hpp"
#include "mapping/layer_mapping.hpp"
#include "mapping/mappable_layers.hpp"
#include "mapping/mesh_mapper.hpp"
#include "mapping/skip_dma.hpp"
#include "program/hardware_sequence.hpp"
#include "program/hardware_sequence_builder.hpp"
#include "qalto/backend_registry.hpp"
#include "qalto/map_constraints.hpp"

namespace qalto {

namespace {

// A pass index fits a byte, and one more pass must stay below 255.
constexpr size_t kMaxGroupsBeforeNewPass = 254;
constexpr uint8_t kFirstMultiPassProductId = 0xA0;

using LayerVector = std::vector<std::shared_ptr<Layer>>;

bool contains(const LayerVector& layers, const std::shared_ptr<Layer>& layer) {
  return std::find(layers.begin(), layers.end(), layer) != layers.end();
}

void remove_layers(LayerVector* from, const LayerVector& gone) {
  from->erase(std::remove_if(from->begin(), from->end(),
                             [&gone](const auto& layer) { return contains(gone, layer); }),
              from->end());
}

// NPs the next NP request must not use: FNP2s already given (for an FNP layer), and, once
// passes can be chained, the NPs of the previous layer of the pass unless NPs may loop.
std::vector<hw::Ident> collect_reserved_nps(const std::vector<hw::Ident>& fnp2_idents,
                                            const Layer& layer,
                                            const MappableLayers::Group& last_group,
                                            bool reserve_previous, bool hwpr_loopitself) {
  std::vector<hw::Ident> reserved;
  if (layer.is_target_component(ComponentKind::FNP)) reserved = fnp2_idents;
  if (!reserve_previous || hwpr_loopitself) return reserved;
  for (auto entry = last_group.rbegin(); entry != last_group.rend(); ++entry) {
    if (entry->components.empty()) continue;
    for (const auto& component : entry->components) {
      if (component.type != hw::Type::SKIP_DMA_STORE && component.type != hw::Type::SKIP_DMA_LOAD) {
        reserved.push_back(component.ident);
      }
    }
    break;
  }
  return reserved;
}

// The failures after the last prefix of the list that passed the run checks; `failed_layers`
// gets exactly the layers after that prefix.
MappingStatusGroup check_layer_sequences(size_t stop, const CompatibilityChecker& checker,
                                         const Device& device, const LayerVector& layers,
                                         LayerVector* failed_layers) {
  MappingStatusGroup group;
  for (size_t p = 0; p < stop; ++p) {
    MappingStatus status =
        checker.check_layer_sequence(layers.begin(), layers.begin() + p + 1, device.version());
    if (!status.failed) {
      failed_layers->clear();
      group = MappingStatusGroup();
      continue;
    }
    failed_layers->push_back(layers[p]);
    add_unique_status(group, status);
  }
  return group;
}

void size_memory(const HardwareSequence& sequence, const MemorySizer& sizer) {
  const bool multi = sequence.passes().size() > 1;
  const auto& first_pass_layers = sequence.passes().front()->layers;
  const auto first = first_pass_layers.empty() ? nullptr : first_pass_layers.front();
  for (const auto& pass : sequence.passes()) {
    for (const auto& layer : pass->layers) {
      auto mapping = layer_mapping_of(*layer);
      if (!mapping) continue;
      for (auto& component : mapping->nps()) {
        component.mem_info = sizer.get_memory_info(layer, component, first, false, multi);
      }
      if (auto* dual = mapping->skipdma_store_dual_output()) {
        dual->mem_info = sizer.get_memory_info(layer, *dual, first, true, multi);
      }
      if (auto* store = mapping->skipdma_store()) {
        store->mem_info = sizer.get_memory_info(layer, *store, first, false, multi);
      }
    }
  }
}

class MappingDriver {
 public:
  MappingDriver(const IpVersionSpecificHardwareBackend& generation,
                const MapConstraints& constraints, std::shared_ptr<Device> device,
                bool multi_pass_capable)
      : generation_(generation),
        constraints_(constraints),
        device_(std::move(device)),
        multi_pass_capable_(multi_pass_capable),
        builder_(device_, generation.constraints, *generation.io_recorder,
                 *generation.layer_recorder),
        mapper_(*generation.checker, constraints) {
    mapper_.reset();
  }

  MappingStatusGroup run(LayerVector* layers, Sequences* sequences);

 private:
  // Places one layer; false (with `status_` failed or the HRC failure returned) stops the loop.
  bool place(const LayerVector& layers, size_t index);

  const IpVersionSpecificHardwareBackend& generation_;
  const MapConstraints& constraints_;
  std::shared_ptr<Device> device_;
  bool multi_pass_capable_;
  HardwareSequenceBuilder builder_;
  MeshMapper mapper_;
  MappableLayers groups_;
  std::vector<hw::Ident> fnp2_idents_;
  bool placed_any_ = false;
  MappingStatus status_ = MappingStatus::success();
  bool missing_hrc_ = false;
};

bool MappingDriver::place(const LayerVector& layers, size_t index) {
  const auto& layer = layers[index];
  const CompatibilityChecker& checker = *generation_.checker;
  bool new_pass = false;
  const auto inbound = layer->inbound_layers();
  const Layer* previous = index == 0 || inbound.empty() ? nullptr : inbound.front().get();
  status_ = checker.check_layer_compatibility(*layer, previous, device_->version());
  if (status_.failed) return false;

  std::vector<hw::Component> components;
  if (layer->is_target_component(ComponentKind::HRC)) {
    if (!device_->mesh().hrc) {
      status_ = MappingStatus(
          *layer, "Layer should be mapped on HRC but the device does not have this hardware component.");
      missing_hrc_ = true;
      return false;
    }
    hw::Component hrc;
    hrc.type = hw::Type::HRC;
    components.push_back(hrc);
  } else if (!layer->is_target_component(ComponentKind::None) &&
             !layer->is_target_component(ComponentKind::SKIP_DMA)) {
    const std::vector<hw::Ident> reserved =
        groups_.groups.empty()
            ? std::vector<hw::Ident>{}
            : collect_reserved_nps(fnp2_idents_, *layer, groups_.groups.back(),
                                   placed_any_ && multi_pass_capable_,
                                   constraints_.hwpr_loopitself());
    const bool allow_new_pass =
        multi_pass_capable_ && groups_.groups.size() <= kMaxGroupsBeforeNewPass;
    auto [given, request_status] =
        mapper_.np_request(layer, reserved, multi_pass_capable_ && constraints_.hwpr_loopitself(),
                           &new_pass, allow_new_pass);
    if (request_status.failed) {
      status_ = request_status;
      return false;
    }
    status_ = checker.check_layer_mappings(*layer, given, new_pass);
    if (status_.failed) return false;
    for (const auto& component : given) {
      if (component.type == hw::Type::FNP2) fnp2_idents_.push_back(component.ident);
    }
    components = std::move(given);
  }
  if (groups_.groups.empty() || (placed_any_ && new_pass)) groups_.groups.emplace_back();
  groups_.groups.back().push_back({layer, std::move(components)});
  placed_any_ = true;
  return true;
}

MappingStatusGroup MappingDriver::run(LayerVector* layers, Sequences* sequences) {
  MappingStatusGroup result;
  size_t stop = layers->size();
  for (size_t i = 0; i < layers->size(); ++i) {
    if (!place(*layers, i)) {
      if (missing_hrc_) {
        add_unique_status(result, status_);
        return result;
      }
      stop = i;
      break;
    }
    // A TNP-R series takes every later layer into its program.
    if ((*layers)[i]->is_target_component(ComponentKind::TNP_R)) {
      for (size_t j = i + 1; j < layers->size(); ++j) {
        groups_.groups.back().push_back({(*layers)[j], {}});
      }
      break;
    }
  }

  LayerVector failed_layers;
  result += check_layer_sequences(stop, *generation_.checker, *device_, *layers, &failed_layers);
  if (!failed_layers.empty()) {
    for (auto& group : groups_.groups) {
      group.erase(std::remove_if(group.begin(), group.end(),
                                 [&](const auto& entry) { return contains(failed_layers, entry.layer); }),
                  group.end());
    }
    groups_.groups.erase(std::remove_if(groups_.groups.begin(), groups_.groups.end(),
                                        [](const auto& group) { return group.empty(); }),
                         groups_.groups.end());
  }

  const auto group_layers = groups_.build_mappable_layers();
  const auto first_mappable =
      group_layers.empty() ? nullptr : first_mappable_layer(group_layers.front());
  if (first_mappable) {
    const auto group_components = groups_.build_mappable_components();
    LayerVector order;
    for (size_t g = 0; g < group_layers.size(); ++g) {
      builder_.add_layers(group_layers[g], *layers, group_components[g]);
      order.insert(order.end(), group_layers[g].begin(), group_layers[g].end());
    }
    check_skipdma_channels(order);
    check_skipdma_loads(order);
  }
  // Groups that held only a joining layer make no pass: then there is nothing to build.
  if (first_mappable && builder_.last_pass()) {
    auto [sequence, build_status] = builder_.build_sequence();
    if (build_status.failed) {
      add_unique_status(result, build_status);
    } else {
      // Sized before either list changes, so that a sizer failure cannot take the layers out
      // of the caller's list without handing over the sequence that holds them.
      size_memory(static_cast<const HardwareSequence&>(*sequence), *generation_.memory_sizer);
      // A joining layer the builder still holds back is in no pass: it stays to be mapped. A
      // TNP-R series took every later layer into its group, so those leave with it; the list
      // is not emptied wholesale, which would lose layers that failed the run checks.
      const auto held_back = builder_.held_back_layer();
      LayerVector mapped;
      for (const auto& group : group_layers) {
        for (const auto& layer : group) {
          if (layer != held_back) mapped.push_back(layer);
        }
      }
      sequences->reserve(sequences->size() + 1);
      remove_layers(layers, mapped);
      sequences->push_back(sequence);
    }
  }
  if (status_.failed) add_unique_status(result, status_);
  return result;
}

}  // namespace

MappingStatusGroup HardwareBackend::map(std::vector<std::shared_ptr<Layer>>& layers,
                                        Sequences& sequences,
                                        const std::shared_ptr<MapConstraints>& constraints) {
  if (!constraints) throw std::runtime_error("Map constraints must be specified.");
  std::shared_ptr<Device> device = constraints->device();
  const bool multi_pass_capable = device->version().product_id > kFirstMultiPassProductId;
  IpVersionSpecificHardwareBackend generation(*device);
  return map_layers(generation, *constraints, layers, sequences, multi_pass_capable);
}

MappingStatusGroup map_layers(const IpVersionSpecificHardwareBackend& generation,
                              const MapConstraints& constraints,
                              std::vector<std::shared_ptr<Layer>>& layers, Sequences& sequences,
                              bool multi_pass_capable) {
  MappingDriver driver(generation, constraints, constraints.device(), multi_pass_capable);
  return driver.run(&layers, &sequences);
}

void register_hardware_backend() {
  set_hardware_backend_factory([] { return std::make_unique<HardwareBackend>(); });
  set_default_constraints_factory(
      [](const std::shared_ptr<Device>& device) { return std::make_shared<MapConstraints>(device); });
}

}  // namespace qalto
