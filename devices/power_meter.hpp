#pragma once
// The power meter: the most recent supply samples of a chip in a fixed ring, and the lowest power
// seen since the last reset (the floor). The engine's SoC driver logs samples into it, possibly
// from a thread of its own, while Python reads them; one mutex guards everything.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

namespace qalto {

// A ring of fixed capacity over a vector allocated once: pushing never allocates, and a full
// ring overwrites its oldest element.
template <typename T>
class CircularQueue {
 public:
  explicit CircularQueue(size_t capacity) : storage_(capacity) {}

  size_t capacity() const { return storage_.size(); }
  bool empty() const { return !full_ && write_ == read_; }
  bool full() const { return full_; }
  size_t size() const {
    if (full_) return capacity();
    return write_ >= read_ ? write_ - read_ : write_ + capacity() - read_;
  }

  // Adds `value`; when full, the oldest element is lost. A queue of capacity 0 keeps nothing.
  void push(T value) {
    if (storage_.empty()) return;
    storage_[write_] = std::move(value);
    if (full_) read_ = next(read_);
    write_ = next(write_);
    full_ = write_ == read_;
  }

  // A copy of every element, oldest first.
  std::vector<T> copy() const {
    std::vector<T> values;
    values.reserve(size());
    for (size_t i = 0, at = read_, count = size(); i < count; ++i, at = next(at)) {
      values.push_back(storage_[at]);
    }
    return values;
  }

  // A copy of every element, oldest first; `clear` then empties the queue.
  std::vector<T> get(bool clear) {
    std::vector<T> values = copy();
    if (clear) {
      read_ = write_ = 0;
      full_ = false;
    }
    return values;
  }

 private:
  size_t next(size_t position) const { return position + 1 == capacity() ? 0 : position + 1; }

  std::vector<T> storage_;
  size_t write_ = 0;
  size_t read_ = 0;
  bool full_ = false;
};

class PowerMeter {
 public:
  // One sample: a timestamp (only compared, in the caller's unit), microvolts, milliamperes.
  struct PowerEvent {
    int64_t ts = 0;
    uint32_t voltage = 0;
    uint32_t current = 0;

    bool operator==(const PowerEvent&) const = default;
  };

  // Events the ring keeps.
  static constexpr size_t capacity = 100;

  PowerMeter() = default;
  PowerMeter(const PowerMeter&) = delete;
  PowerMeter& operator=(const PowerMeter&) = delete;

  // The process-wide meter, made on the first call (thread-safe) and kept until exit.
  static std::shared_ptr<PowerMeter> get();

  // Keeps the event and lowers the floor, unless its power is 0 or its timestamp is not later
  // than the last reset's; such events are dropped silently. Allocates nothing.
  void log_event(PowerEvent event);
  // Whether at least one event is held.
  bool has_events() const;
  // The lowest power in milliwatts of the events accepted since the last reset; 0 when none.
  float floor() const;
  // Forgets the floor and drops from now on the events stamped at or before `timestamp`; the
  // events already held stay.
  void reset(int64_t timestamp);
  // A copy of the held events, oldest first.
  std::vector<PowerEvent> events() const;

 private:
  // Marks the floor unset: any accepted event is lower.
  static constexpr float unset_floor = std::numeric_limits<float>::max();

  mutable std::mutex mutex_;
  CircularQueue<PowerEvent> queue_{capacity};
  float floor_ = unset_floor;
  int64_t reset_timestamp_ = 0;
};

}  // namespace qalto
