#include "v2/skipdma_recorder.hpp"

#include <stdexcept>
#include <string>
#include <vector>

#include "mapping/layer_mapping.hpp"
#include "qalto/mapping_status.hpp"
#include "qalto/panic.hpp"

namespace qalto::v2 {

namespace {

bool is_cnp(const hw::Component& component) {
  return component.type == hw::Type::CNP1 || component.type == hw::Type::CNP2;
}

void check_fifo_distance(const Layer& layer) {
  const int64_t distance = int64_t{layer.params().get("fifo_size")} + 1;
  constexpr int64_t max = (int64_t{1} << SKIPDMA_DISTANCE_BITS) - 1;
  if (distance < 0 || distance > max) {
    const std::string message = "Attempted to write value " + std::to_string(distance) +
                                " into a " + std::to_string(SKIPDMA_DISTANCE_BITS) +
                                "-bit field, which will cause an overflow.";
    panic("%s", message.c_str());
  }
}

struct Block {
  const hw::Component* component;
  const void* channel;
  const char* what;
};

}  // namespace

void record_skipdma(program::Record* record, const Layer& layer) {
  if (record == nullptr) throw std::invalid_argument("record_skipdma needs a record.");
  const auto mapping = layer_mapping_of(layer);
  if (!mapping) MappingStatus(layer, "The layer has no hardware mapping.").throw_exception();

  const Block blocks[] = {
      {mapping->skipdma_store(), mapping->skipdma_store_channel.get(), "store"},
      {mapping->skipdma_store_dual_output(), mapping->skipdma_store_dual_output_channel.get(),
       "dual-output store"},
      {mapping->skipdma_load(), mapping->skipdma_load_channel.get(), "load"},
  };
  for (const Block& block : blocks) {
    if (block.component != nullptr && block.channel == nullptr) {
      MappingStatus(layer, std::string("The skip-DMA ") + block.what + " has no channel.")
          .throw_exception();
    }
  }
  if (mapping->skipdma_load() != nullptr) {
    bool has_cnp = false;
    if (mapping->components) {
      for (const auto& component : *mapping->components) has_cnp = has_cnp || is_cnp(component);
    }
    if (!has_cnp) throw std::runtime_error("Merging layer has no CNPs.");
  }
  if (layer.is_target_component(ComponentKind::TNP_B)) check_fifo_distance(layer);

  for (const Block& block : blocks) {
    if (block.component == nullptr) continue;
    record->add_np_track(block.component->ident, dma::Target::SkipDma, 0, {}, true, true);
  }
}

}  // namespace qalto::v2
