#include "qalto/backend_registry.hpp"

#include <mutex>
#include <stdexcept>
#include <utility>

namespace qalto {

namespace {

// Registration happens at module load and in tests; the lock keeps a late registration from
// racing a mapping on another thread.
std::mutex& registry_mutex() {
  static std::mutex mutex;
  return mutex;
}

BackendFactory& backend_factory() {
  static BackendFactory factory;
  return factory;
}

ConstraintsFactory& constraints_factory() {
  static ConstraintsFactory factory;
  return factory;
}

}  // namespace

void set_hardware_backend_factory(BackendFactory factory) {
  std::lock_guard<std::mutex> lock(registry_mutex());
  backend_factory() = std::move(factory);
}

void set_default_constraints_factory(ConstraintsFactory factory) {
  std::lock_guard<std::mutex> lock(registry_mutex());
  constraints_factory() = std::move(factory);
}

std::unique_ptr<Backend> make_hardware_backend() {
  BackendFactory factory;
  {
    std::lock_guard<std::mutex> lock(registry_mutex());
    factory = backend_factory();
  }
  std::unique_ptr<Backend> backend = factory ? factory() : nullptr;
  if (!backend) throw std::runtime_error("No hardware back end is available.");
  return backend;
}

std::shared_ptr<MapConstraints> make_default_constraints(const std::shared_ptr<Device>& device) {
  ConstraintsFactory factory;
  {
    std::lock_guard<std::mutex> lock(registry_mutex());
    factory = constraints_factory();
  }
  if (!factory) throw std::runtime_error("No default mapping constraints are available.");
  return factory(device);
}

}  // namespace qalto
