#include "qalto/map_constraints.hpp"

#include <algorithm>
#include <stdexcept>

namespace qalto {

namespace {

// The v1 hardware version whose CNPs take at most 504 filters.
constexpr HwVersion reduced_filters_version{0xBC, 0x00, 0x00, 0x02};

void check_limit(const char* what, uint32_t value, uint32_t limit) {
  if (value > limit) {
    throw std::invalid_argument(std::string("CNP max ") + what + " should be <= " +
                                std::to_string(limit) + ". Receives " + std::to_string(value) +
                                ".");
  }
}

}  // namespace

MapConstraints::MapConstraints(std::shared_ptr<Device> device) : device_(std::move(device)) {
  if (!device_) throw std::invalid_argument("Invalid device passed to MapConstraints.");
  const HwVersion version = device_->version();
  switch (version.product_id) {
    case 0xA2:
      ip_version_ = IpVersion::v2;
      cnp_max_width_default_ = 64;
      cnp_max_height_default_ = 256;
      cnp_max_filters_default_ = 512;
      break;
    case 0x00:
    case 0xA1:
      ip_version_ = IpVersion::v1;
      cnp_max_width_default_ = 32;
      cnp_max_height_default_ = 256;
      cnp_max_filters_default_ = device_->version() == reduced_filters_version ? 504 : 512;
      break;
    case 0xB1:
      ip_version_ = IpVersion::mivo;
      break;
    default:
      throw std::invalid_argument("Unsupported IP version in MapConstraints constructor.");
  }
  cnp_max_width_ = cnp_max_width_default_;
  cnp_max_height_ = cnp_max_height_default_;
  cnp_max_filters_ = cnp_max_filters_default_;
}

void MapConstraints::next_layer_handler(const std::string& /*layer_name*/) const {}

std::vector<hw::Ident> MapConstraints::select_nps(const std::vector<hw::Ident>& candidates,
                                                  uint64_t count, hw::Type /*type*/) const {
  const size_t n = static_cast<size_t>(std::min<uint64_t>(count, candidates.size()));
  return {candidates.begin(), candidates.begin() + n};
}

void MapConstraints::set_cnp_max_width(uint32_t value) {
  check_limit("width", value, cnp_max_width_default_);
  cnp_max_width_ = value;
}

void MapConstraints::set_cnp_max_height(uint32_t value) {
  check_limit("height", value, cnp_max_height_default_);
  cnp_max_height_ = value;
}

void MapConstraints::set_cnp_max_filters(uint32_t value) {
  check_limit("filters", value, cnp_max_filters_default_);
  cnp_max_filters_ = value;
}

void MapConstraints::set_hwpr_loopitself(bool enabled) {
  if (enabled && ip_version_ != IpVersion::v2) {
    throw std::invalid_argument("HWPR NP loopitself feature is only supported for IP v2.");
  }
  hwpr_loopitself_ = enabled;
}

}  // namespace qalto
