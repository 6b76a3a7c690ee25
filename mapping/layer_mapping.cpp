#include "mapping/layer_mapping.hpp"

namespace qalto {

int32_t LayerMapping::get_skipdma_store_index() const {
  switch (skipdma_stores.size()) {
    case 1: return dual_output_store ? -1 : 0;
    case 2: return 0;
    default: return -1;
  }
}

int32_t LayerMapping::get_skipdma_store_dual_output_index() const {
  if (!dual_output_store || skipdma_stores.empty()) return -1;
  return static_cast<int32_t>(skipdma_stores.size()) - 1;
}

hw::Component* LayerMapping::skipdma_store() {
  const int32_t index = get_skipdma_store_index();
  return index < 0 ? nullptr : &skipdma_stores[index];
}

const hw::Component* LayerMapping::skipdma_store() const {
  const int32_t index = get_skipdma_store_index();
  return index < 0 ? nullptr : &skipdma_stores[index];
}

hw::Component* LayerMapping::skipdma_store_dual_output() {
  const int32_t index = get_skipdma_store_dual_output_index();
  return index < 0 ? nullptr : &skipdma_stores[index];
}

const hw::Component* LayerMapping::skipdma_store_dual_output() const {
  const int32_t index = get_skipdma_store_dual_output_index();
  return index < 0 ? nullptr : &skipdma_stores[index];
}

const hw::Component* LayerMapping::skipdma_load() const {
  return skipdma_loads.empty() ? nullptr : &skipdma_loads.front();
}

std::shared_ptr<LayerMapping> layer_mapping_of(const Layer& layer) {
  return std::dynamic_pointer_cast<LayerMapping>(layer.mapping());
}

}  // namespace qalto
