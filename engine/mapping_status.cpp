#include "qalto/mapping_status.hpp"

#include <algorithm>

#include "qalto/layer.hpp"

namespace qalto {

MappingStatus::MappingStatus(const Layer& layer, std::string message)
    : failed(true), message(std::move(message)), layer(layer.get_name()) {}

MappingStatus MappingStatus::failure(std::string message, std::string layer_name) {
  MappingStatus status;
  status.failed = true;
  status.message = std::move(message);
  status.layer = std::move(layer_name);
  return status;
}

MappingStatus& MappingStatus::operator+=(const MappingStatus& other) {
  if (!other.failed) return *this;
  if (failed) {
    message += " " + other.message;
  } else {
    failed = true;
    layer = other.layer;
    message = other.message;
  }
  return *this;
}

std::string MappingStatus::to_string() const {
  if (layer.empty()) return message;
  return "Cannot map layer '" + layer + "'. " + message;
}

MappingStatus MappingStatus::component_error(const Layer& layer, const std::string& type_name,
                                             uint64_t needed, uint64_t available) {
  auto verb = [](uint64_t n) { return n == 1 ? "is" : "are"; };
  return MappingStatus(layer, "Not enough hardware components of type " + type_name +
                                  " available. " + std::to_string(needed) + " " + verb(needed) +
                                  " needed but " + std::to_string(available) + " " +
                                  verb(available) + " available.");
}

MappingStatusGroup& MappingStatusGroup::operator+=(const MappingStatusGroup& other) {
  if (!other.failed) return *this;
  if (!failed) {
    failed = other.failed;
    message = other.message;
  }
  statuses.insert(statuses.end(), other.statuses.begin(), other.statuses.end());
  return *this;
}

std::string MappingStatusGroup::to_string() const {
  if (statuses.empty()) return message;
  if (statuses.size() == 1) return statuses.front().to_string();
  std::string text = "Cannot map layer '" + statuses.front().layer + "':";
  for (const auto& status : statuses) {
    if (status.layer.empty()) {
      text += "\n  * " + status.message;
    } else {
      text += "\n  * Layer '" + status.layer + "': " + status.message;
    }
  }
  return text;
}

void add_unique_status(MappingStatusGroup& group, const MappingStatus& status) {
  if (std::find(group.statuses.begin(), group.statuses.end(), status) != group.statuses.end()) {
    return;
  }
  group.statuses.push_back(status);
  group.failed = true;
}

}  // namespace qalto
