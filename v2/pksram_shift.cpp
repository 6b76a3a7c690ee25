#include "v2/pksram_shift.hpp"

namespace qalto::v2 {

uint32_t get_add_pksram_shift(const Layer& layer) {
  const auto inbound = layer.inbound_layers();
  if (inbound.empty() || !inbound.front()) return 0;
  return inbound.front()->params().layer_type() == LayerType::Add ? ADD_PKSRAM_SHIFT : 0;
}

}  // namespace qalto::v2
