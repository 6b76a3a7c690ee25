#pragma once
// The mapping record of one layer in a hardware pass: which components run it, where its input
// comes from and its output goes, its skip-DMA stores and loads, and the channel, merge,
// alternate-destination and SRAM-shift records the layer recorders turn into registers.
// Attached to the engine layer through its mapping slot.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "qalto/hw.hpp"
#include "qalto/layer.hpp"
#include "qalto/tensor.hpp"

namespace qalto {

using ComponentList = std::vector<hw::Component>;
using SharedComponents = std::shared_ptr<ComponentList>;

struct SkipDmaStoreChannelInfo {
  uint8_t distance = 0;  // how many layers later the stored output is consumed
  uint8_t to_merge = 0;  // the output goes straight to a joining layer
  uint8_t channel = 0;   // skip-DMA channel of the store
};

struct SkipDmaLoadChannelInfo {
  uint8_t channel = 0;         // channel of the load
  uint8_t distance = 0;        // depth difference of the two inputs of the merge
  uint8_t store_channel = 0;   // channel of the store whose data this load reads
  uint32_t concat_offset = 0;  // Concatenate whose loaded input comes second: first input's channels
};

struct MergeLayerMapInfo {
  bool is_add = false;
  uint32_t load_channel = 0;
  std::shared_ptr<Dense> first_shift;
  std::shared_ptr<Dense> second_shift;
  std::shared_ptr<Dense> output_shift;
  bool dual_output = false;
  uint8_t dual_output_target = 0;
  bool not_first_in_pass = true;
};

struct AltLayerMapInfo {
  uint32_t branch = 0;          // 0 for the first destination, 1 for the second
  uint32_t components = 0;      // NP count of both destinations together
  uint32_t first_layer_id = 0;  // on the second destination: layer_id of the first
};

class LayerMapping : public Layer::Mapping {
 public:
  // `components` (inherited, named nps here) holds the layer's non-skip-DMA components.
  ComponentList& nps() { return *components; }
  const ComponentList& nps() const { return *components; }

  uint8_t layer_id = 0;
  uint8_t next_layer_id = 255;
  uint8_t prev_pass_layer_id = 0;
  bool output_to_dma = false;
  std::unique_ptr<MergeLayerMapInfo> merge_info;
  std::unique_ptr<SkipDmaStoreChannelInfo> skipdma_store_channel;
  std::unique_ptr<SkipDmaStoreChannelInfo> skipdma_store_dual_output_channel;
  std::unique_ptr<SkipDmaLoadChannelInfo> skipdma_load_channel;
  std::unique_ptr<AltLayerMapInfo> alt_info;
  std::unique_ptr<uint32_t> sram_shift;
  bool tnp_b_skip_dma = false;
  // The last store carries the dual output to a store DMA (decided from what the stores are
  // for when the record is built, not from how many there are).
  bool dual_output_store = false;
  std::vector<SharedComponents> inputs;
  std::vector<SharedComponents> outputs;
  ComponentList skipdma_stores;
  ComponentList skipdma_loads;

  // Index into skipdma_stores of the plain store, -1 for none: one store that is not the
  // dual-output store -> 0; two stores -> 0; otherwise -1.
  int32_t get_skipdma_store_index() const;
  // Index of the dual-output store (the last one), -1 when the layer has none.
  int32_t get_skipdma_store_dual_output_index() const;
  hw::Component* skipdma_store();
  const hw::Component* skipdma_store() const;
  hw::Component* skipdma_store_dual_output();
  const hw::Component* skipdma_store_dual_output() const;
  const hw::Component* skipdma_load() const;
};

// The LayerMapping of a layer, or null when it has none (or another kind of record).
std::shared_ptr<LayerMapping> layer_mapping_of(const Layer& layer);

}  // namespace qalto
