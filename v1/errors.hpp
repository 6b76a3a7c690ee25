#pragma once
// The error types of first-generation programming: runtime errors whose message names the
// hardware block that refused the layer.

#include <stdexcept>
#include <string>

namespace qalto::v1 {

class CnpError : public std::runtime_error {
 public:
  explicit CnpError(const std::string& message)
      : std::runtime_error("Backend hardware(CNP): " + message) {}
};

class FnpError : public std::runtime_error {
 public:
  explicit FnpError(const std::string& message)
      : std::runtime_error("Backend hardware(FullyConnected): " + message) {}
};

}  // namespace qalto::v1
