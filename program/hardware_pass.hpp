#pragma once
// One pass of mapped layers: the run of layers whose NPs the device configures together.
// Making a pass attaches a LayerMapping to each of its layers; destroying it takes them off
// again, so a layer carries a hardware mapping exactly as long as a pass holding it exists.

#include <memory>
#include <vector>

#include "mapping/layer_mapping.hpp"
#include "qalto/sequence.hpp"

namespace qalto {

class HardwarePass : public Sequence::Pass {
 public:
  // Builds and wires the records of `layers` (one component list per layer), then links the
  // pass to `previous` (may be empty). On failure no record stays attached to any layer.
  HardwarePass(const std::vector<std::shared_ptr<Layer>>& layers,
               const std::vector<std::shared_ptr<Layer>>& sequence_layers,
               const std::vector<std::vector<hw::Component>>& components,
               const hw::Ident& dma_event, const std::shared_ptr<HardwarePass>& previous);
  // Empties the mapping of each layer that still carries the record this pass attached (a
  // later mapping of the same layer is kept).
  ~HardwarePass() override;

  size_t size() const { return layers.size(); }

 private:
  std::vector<std::shared_ptr<Layer::Mapping>> attached_;
};

}  // namespace qalto
