#pragma once
// Outcomes of mapping checks: MappingStatus for one step, MappingStatusGroup for a whole
// mapping call. Checks return these instead of throwing; throw_exception turns a failed status
// into a runtime_error where work cannot go on.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qalto {

class Layer;

// What throw_exception throws: a runtime_error that keeps the name of the layer the mapping
// could not go on at (empty when the status names none), so that the model can map the layers
// before it and leave the rest to software.
class MappingError : public std::runtime_error {
 public:
  MappingError(const std::string& text, std::string layer)
      : std::runtime_error(text), layer_(std::move(layer)) {}
  const std::string& layer() const { return layer_; }

 private:
  std::string layer_;
};

template <typename T>
class MappingStatusBase {
 public:
  virtual ~MappingStatusBase() = default;
  virtual T& operator+=(const T& other) = 0;
  virtual std::string to_string() const = 0;
  // The name of the layer the status stops at; empty when it names none.
  virtual std::string stopped_at() const = 0;

  static T success() { return T(); }
  [[noreturn]] void throw_exception() const { throw MappingError(to_string(), stopped_at()); }
};

class MappingStatus : public MappingStatusBase<MappingStatus> {
 public:
  bool failed = false;
  std::string message = "Success.";
  std::string layer;

  MappingStatus() = default;
  MappingStatus(const MappingStatus&) = default;
  MappingStatus& operator=(const MappingStatus&) = default;
  // A failed status about `layer` (its name) with `message`.
  MappingStatus(const Layer& layer, std::string message);
  // A failed status about the layer named `layer_name` (empty: about no layer).
  static MappingStatus failure(std::string message, std::string layer_name = "");

  // A failure never overwritten by a success; two failures chain their messages with one
  // blank, the first layer name staying.
  MappingStatus& operator+=(const MappingStatus& other) override;
  // The message alone, or "Cannot map layer '<layer>'. <message>".
  std::string to_string() const override;
  std::string stopped_at() const override { return layer; }

  // "Not enough hardware components of type {} available. {} {} needed but {} {} available."
  static MappingStatus component_error(const Layer& layer, const std::string& type_name,
                                       uint64_t needed, uint64_t available);

  bool operator==(const MappingStatus& other) const {
    return failed == other.failed && message == other.message && layer == other.layer;
  }
};

class MappingStatusGroup : public MappingStatusBase<MappingStatusGroup> {
 public:
  bool failed = false;
  std::string message = "Success.";
  std::vector<MappingStatus> statuses;

  MappingStatusGroup() = default;
  MappingStatusGroup(const MappingStatusGroup&) = default;
  MappingStatusGroup& operator=(const MappingStatusGroup&) = default;

  MappingStatusGroup& operator+=(const MappingStatusGroup& other) override;
  // Its own message when empty, its only status's text, or the header
  // "Cannot map layer '<first layer>':" followed by one line per status.
  std::string to_string() const override;
  // The first status's layer.
  std::string stopped_at() const override {
    return statuses.empty() ? std::string() : statuses.front().layer;
  }
};

// Appends `status` unless an equal one is held; appending marks the group failed.
void add_unique_status(MappingStatusGroup& group, const MappingStatus& status);

}  // namespace qalto
