#include "v2/mesh_routing.hpp"

#include <set>
#include <stdexcept>
#include <string>

#include "qalto/reg_detail.hpp"
#include "v2/np_registers.hpp"

namespace qalto::v2 {

namespace {

QALTO_REG_FIELD(NODE_POSITION, 0, NODE_POSITION_BITS);
static_assert(NODE_POSITIONS == (1u << NODE_POSITION_BITS));

void require_image(const std::vector<uint32_t>* regs) {
  if (regs == nullptr || regs->size() < NP_REGISTER_WORDS) {
    throw std::invalid_argument("An NP register image needs " +
                                std::to_string(NP_REGISTER_WORDS) + " words.");
  }
}

void check_addressable(const std::vector<hw::Component>& components) {
  for (const auto& component : components) {
    if (is_mesh_np(component)) node_position_bit(component.ident.id);
  }
}

}  // namespace

uint32_t node_position_bit(uint8_t id) {
  // Checked as a field value first: the shift below only ever sees 0 to 3.
  uint32_t scratch = 0;
  set_field(&scratch, NODE_POSITION, id);
  return uint32_t{1} << id;
}

void check_unique_nps(const std::vector<hw::Component>& components) {
  std::set<hw::Ident> seen;
  for (const auto& component : components) {
    if (!seen.insert(component.ident).second) {
      throw std::invalid_argument("The NP " + hw::to_string(component.ident) +
                                  " is given twice to one layer.");
    }
  }
}

bool is_mesh_np(const hw::Component& component) {
  switch (component.type) {
    case hw::Type::CNP1:
    case hw::Type::CNP2:
    case hw::Type::FNP2:
    case hw::Type::FNP3:
    case hw::Type::TNP_B:
    case hw::Type::TNP_R:
      return true;
    default:
      return false;
  }
}

void format_mesh_registers_set_output_to_NPs(std::vector<uint32_t>* regs,
                                             const std::vector<hw::Component>& inputs,
                                             const std::vector<hw::Component>& nps,
                                             const std::vector<hw::Component>& outputs,
                                             const std::unique_ptr<AltLayerMapInfo>& /*alt_info*/,
                                             uint8_t /*next_layer_id*/, bool p2p,
                                             bool /*output_to_dma*/, bool /*partial_reconfig*/) {
  require_image(regs);
  check_unique_nps(nps);
  // A point-to-point link joins exactly two components; it cannot fan in or out.
  if (p2p && inputs.size() > 1) throw std::runtime_error("Cannot use P2P IN mode for multiple NPs.");
  if (p2p && outputs.size() > 1) {
    throw std::runtime_error("Cannot use P2P OUT mode for multiple NPs.");
  }
  check_addressable(nps);
  check_addressable(outputs);
}

void update_partial_reconfig_regs(std::vector<uint32_t>* regs, const Layer& next,
                                  const hw::Component& next_component,
                                  bool /*partial_reconfig*/) {
  require_image(regs);
  if (!next_component.np_part) {
    throw std::invalid_argument("The NP " + hw::to_string(next_component.ident) +
                                " of the next layer has no NP part.");
  }
  const int32_t padding = next.params().get_or("padding", -1);
  if (padding != static_cast<int32_t>(Padding::Same) &&
      padding != static_cast<int32_t>(Padding::SameUpper)) {
    throw std::runtime_error("Unsupported padding.");
  }
}

}  // namespace qalto::v2
