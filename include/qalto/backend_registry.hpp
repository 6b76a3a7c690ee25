#pragma once
// How the engine reaches the hardware back end and the default mapping constraints, which live
// in the module above it: the module registers two factories when it loads, so the engine
// library never links against the module (no link-time cycle).

#include <functional>
#include <memory>

#include "qalto/device.hpp"
#include "qalto/sequence.hpp"

namespace qalto {

class MapConstraints;

using BackendFactory = std::function<std::unique_ptr<Backend>()>;
using ConstraintsFactory =
    std::function<std::shared_ptr<MapConstraints>(const std::shared_ptr<Device>&)>;

// Replaces the registered factory (an empty function unregisters it).
void set_hardware_backend_factory(BackendFactory factory);
void set_default_constraints_factory(ConstraintsFactory factory);

// A new back end from the registered factory; runtime_error
// "No hardware back end is available." when none is registered or it yields none.
std::unique_ptr<Backend> make_hardware_backend();
// Default constraints for `device`; runtime_error
// "No default mapping constraints are available." when no factory is registered.
std::shared_ptr<MapConstraints> make_default_constraints(const std::shared_ptr<Device>& device);

}  // namespace qalto
