#pragma once
// The module's hardware back end: maps the layers still to map onto one new hardware sequence
// for the device of the mapping constraints. Problems that stop the mapping are reported in the
// returned group, not thrown; the leading part of the list that could be mapped still becomes a
// sequence.

#include "mapping/generation.hpp"
#include "qalto/map_constraints.hpp"
#include "qalto/sequence.hpp"

namespace qalto {

class HardwareBackend : public Backend {
 public:
  // Maps a leading run of `layers` (which it leaves, order kept) into one sequence appended to
  // `sequences`. runtime_error "Map constraints must be specified." without constraints, and the
  // generation selection's error for an unsupported device.
  MappingStatusGroup map(std::vector<std::shared_ptr<Layer>>& layers, Sequences& sequences,
                         const std::shared_ptr<MapConstraints>& constraints) override;
  BackendType type() const override { return BackendType::Hardware; }
};

// The mapping driver behind HardwareBackend::map, given the generation's objects for the
// device of `constraints` (they must outlive the call). `multi_pass_capable` allows reserving
// the previous layer's NPs and starting new passes. Checks, requests and run checks report
// through the returned group; on success the mapped layers leave `layers` and one sequence is
// appended to `sequences`. Exceptions of the checker, mapper, builder and recorders propagate
// with both lists unchanged.
MappingStatusGroup map_layers(const IpVersionSpecificHardwareBackend& generation,
                              const MapConstraints& constraints,
                              std::vector<std::shared_ptr<Layer>>& layers, Sequences& sequences,
                              bool multi_pass_capable);

// Registers the hardware back end and the default constraints with the engine, so that
// Model::map reaches them.
void register_hardware_backend();

}  // namespace qalto
