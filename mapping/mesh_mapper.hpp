#pragma once
// Which components of the device mesh are free while the layers of one mapping call are placed
// one after the other: per component kind, the mesh components that can serve as that kind,
// each marked reserved (the current layer must not use it) and allocated (a layer of the
// current pass uses it).

#include <cstdint>
#include <map>
#include <memory>
#include <tuple>
#include <vector>

#include "mapping/generation.hpp"
#include "qalto/hw.hpp"
#include "qalto/map_constraints.hpp"

namespace qalto {

struct NpSlot {
  hw::Ident ident;
  bool reserved = false;
  bool allocated = false;
};

class MeshMapper {
 public:
  // Both must outlive the mapper. The mapper is empty until reset().
  MeshMapper(const CompatibilityChecker& checker, const MapConstraints& constraints);

  // Rebuilds every slot list from the mesh of the constraints' device, all marks cleared.
  // NP lists are ordered so that NPs without any FNP capability come first (the default
  // selection takes the first free entries, so convolutions leave FNP-capable NPs to the
  // fully connected layers); skip-DMA lists keep mesh order, one entry per channel.
  void reset();
  // Every slot becomes reserved exactly when its identifier (all four bytes) is in `reserved`;
  // earlier reservations are replaced, allocations untouched.
  void reserve_nps(const std::vector<hw::Ident>& reserved);
  // Marks `ident` allocated in the list of `type`, or in every list when `type` is None.
  // An identifier no list holds changes nothing.
  void allocate_np(const hw::Ident& ident, hw::Type type);
  // Clears every allocation; reservations stay.
  void deallocate_nps();
  // Slots of `type` that are not reserved, allocated or not; 0 for a kind without a list.
  uint32_t max_nps(hw::Type type) const;
  // Identifiers of the slots of `type` neither reserved nor allocated, in list order.
  std::vector<hw::Ident> available_nps(hw::Type type) const;
  // FNP3 when one is free and the layer fits it, else FNP2 when one is free, else FNP3 when the
  // mesh has unreserved FNP3 and the layer fits, else FNP2.
  hw::Type get_compatible_fnp_type(const Layer& layer) const;

  // The components of an NP layer (np_request.cpp): decides the kinds the layer needs, splits
  // it, adds its skip-DMA components, checks capacity, lets the constraints choose among the
  // free components and allocates them. `*new_pass` tells the caller that every earlier
  // allocation was dropped to start a new pass. Throws runtime_error
  // "Mapping a layer with HW backend should use HW components." for a layer without NP kinds.
  std::tuple<std::vector<hw::Component>, MappingStatus> np_request(
      const std::shared_ptr<Layer>& layer, const std::vector<hw::Ident>& reserved_nps,
      bool hwpr_loopitself, bool* new_pass, bool allow_new_pass);
  // Whether the TNP-B layer that follows `layer` still fits the current pass. A next layer the
  // generation refuses (its compatibility check fails) is left to that check: success.
  MappingStatus sanitize_tnp_b(const Layer& layer, bool* new_pass, bool allow_new_pass);

  const std::map<hw::Type, std::vector<NpSlot>>& slots() const { return slots_; }
  const CompatibilityChecker& checker() const { return checker_; }
  const MapConstraints& constraints() const { return constraints_; }

 private:
  const CompatibilityChecker& checker_;
  const MapConstraints& constraints_;
  std::map<hw::Type, std::vector<NpSlot>> slots_;
};

}  // namespace qalto
