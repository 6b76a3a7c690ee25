#pragma once
// The SPI flash of QTX7700 boards. A driver that has a flash implements FlashAccessDriver
// beside HardwareDriver; the controller it hands out is shared with Python.

#include <cstddef>
#include <memory>

#include "qalto/device.hpp"

namespace qalto {

class SpiFlashController {
 public:
  virtual ~SpiFlashController() = default;
  // The flash identifier. Not available yet: always throws runtime_error
  // "get_id function is not yet implemented".
  virtual size_t get_id() const;
};

// Implemented, beside HardwareDriver, by the drivers of boards that carry a flash.
class FlashAccessDriver {
 public:
  virtual ~FlashAccessDriver() = default;
  virtual std::shared_ptr<SpiFlashController> flash_controller() = 0;
};

// The flash controller of the board behind `device`. Throws invalid_argument
// "The device does not contain an QTX7700 flash" when the device has no hardware, its driver is
// null or the driver has no flash.
std::shared_ptr<SpiFlashController> get_flash(const Device& device);

}  // namespace qalto
