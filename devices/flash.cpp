#include "devices/flash.hpp"

#include <stdexcept>

namespace qalto {

size_t SpiFlashController::get_id() const {
  throw std::runtime_error("get_id function is not yet implemented");
}

std::shared_ptr<SpiFlashController> get_flash(const Device& device) {
  HardwareDevice* hardware = device.hardware();
  HardwareDriver* driver = hardware ? hardware->driver() : nullptr;
  // A cross cast: the flash interface is a sibling of HardwareDriver, not a base.
  auto* flash = dynamic_cast<FlashAccessDriver*>(driver);
  if (!flash) throw std::invalid_argument("The device does not contain an QTX7700 flash");
  // A driver that hands out no controller has no usable flash either.
  auto controller = flash->flash_controller();
  if (!controller) throw std::invalid_argument("The device does not contain an QTX7700 flash");
  return controller;
}

}  // namespace qalto
