#include "devices/power_meter.hpp"

namespace qalto {

std::shared_ptr<PowerMeter> PowerMeter::get() {
  static const std::shared_ptr<PowerMeter> meter = std::make_shared<PowerMeter>();
  return meter;
}

void PowerMeter::log_event(PowerEvent event) {
  std::lock_guard lock(mutex_);
  // Milliwatts in single precision, as the SoC driver's figures are.
  const float power =
      static_cast<float>(event.voltage) / 1000000.0f * static_cast<float>(event.current);
  if (!(power > 0.0f) || event.ts <= reset_timestamp_) return;
  if (floor_ > power) floor_ = power;
  queue_.push(event);
}

bool PowerMeter::has_events() const {
  std::lock_guard lock(mutex_);
  return !queue_.empty();
}

float PowerMeter::floor() const {
  std::lock_guard lock(mutex_);
  return floor_ == unset_floor ? 0.0f : floor_;
}

void PowerMeter::reset(int64_t timestamp) {
  std::lock_guard lock(mutex_);
  floor_ = unset_floor;
  reset_timestamp_ = timestamp;
}

std::vector<PowerMeter::PowerEvent> PowerMeter::events() const {
  std::lock_guard lock(mutex_);
  return queue_.copy();
}

}  // namespace qalto
