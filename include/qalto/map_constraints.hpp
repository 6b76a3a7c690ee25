#pragma once
// What a caller hands to a mapping besides the model: the device, limits on how large a piece
// of a convolution one CNP may take, the v2 NP loop-itself switch, and two hooks that steer the
// NP allocation (overridable from Python).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qalto/device.hpp"
#include "qalto/hw.hpp"

namespace qalto {

class MapConstraints {
 public:
  // invalid_argument "Invalid device passed to MapConstraints." for a null device and
  // "Unsupported IP version in MapConstraints constructor." for an unknown product id.
  explicit MapConstraints(std::shared_ptr<Device> device);
  virtual ~MapConstraints() = default;

  // Told the name of each layer before NPs are requested for it. Does nothing by default.
  virtual void next_layer_handler(const std::string& layer_name) const;
  // The NPs of kind `type`, among the free `candidates` in allocation order, that the layer is
  // to use. By default the first min(count, candidates) of them.
  virtual std::vector<hw::Ident> select_nps(const std::vector<hw::Ident>& candidates,
                                            uint64_t count, hw::Type type) const;

  uint32_t cnp_max_width() const { return cnp_max_width_; }
  uint32_t cnp_max_height() const { return cnp_max_height_; }
  uint32_t cnp_max_filters() const { return cnp_max_filters_; }
  uint32_t cnp_max_width_default() const { return cnp_max_width_default_; }
  uint32_t cnp_max_height_default() const { return cnp_max_height_default_; }
  uint32_t cnp_max_filters_default() const { return cnp_max_filters_default_; }
  // invalid_argument "CNP max width should be <= {default}. Receives {value}." (and the height
  // and filters forms) above the default; the current value unchanged.
  void set_cnp_max_width(uint32_t value);
  void set_cnp_max_height(uint32_t value);
  void set_cnp_max_filters(uint32_t value);

  bool hwpr_loopitself() const { return hwpr_loopitself_; }
  // true only on v2: invalid_argument "HWPR NP loopitself feature is only supported for IP v2."
  void set_hwpr_loopitself(bool enabled);

  IpVersion ip_version() const { return ip_version_; }
  std::shared_ptr<Device> device() const { return device_; }

 private:
  std::shared_ptr<Device> device_;
  uint32_t cnp_max_width_default_ = 0;
  uint32_t cnp_max_height_default_ = 0;
  uint32_t cnp_max_filters_default_ = 0;
  uint32_t cnp_max_width_ = 0;
  uint32_t cnp_max_height_ = 0;
  uint32_t cnp_max_filters_ = 0;
  bool hwpr_loopitself_ = false;
  IpVersion ip_version_ = IpVersion::none;
};

}  // namespace qalto
