#pragma once
// The measurements that runs of models and devices leave behind: named 64-bit integers.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace qalto::python {

// Behind the Python class `Metrics`. Entries are created or overwritten, never removed. The
// class is registered with a std::shared_ptr holder: an owner (Model, HardwareDevice) keeps its
// store in a shared_ptr and hands out that pointer, so Python sees a live view.
class PyMetrics {
 public:
  // One name per entry, in the map's iteration order.
  std::vector<std::string> names() const;
  // The value stored under `name` (exact match); invalid_argument "<name> : no such metrics"
  // when there is none.
  int64_t get(const std::string& name) const;
  // Creates or overwrites an entry.
  void set(const std::string& name, int64_t value);

 private:
  std::unordered_map<std::string, int64_t> values_;
};

}  // namespace qalto::python
