#pragma once
// A GPIO device on the simulated driver, with its own parameter table and
// temporary root; the driver's journal is the oracle of every test.
#include <memory>
#include <vector>

#include "core/gpio_device.h"
#include "params/param_table.h"
#include "params/parameters.h"
#include "params/product_info.h"
#include "sim/gpio/sim_gpio_driver.h"
#include "tests/support/temp_root.h"

struct GpioBench {
  explicit GpioBench(uint32_t gpioHwProject, uint32_t usbPorts = 0, uint32_t productId = 1,
                     uint32_t buttonMask = 0x1) {
    product.gpio_hw_project = gpioHwProject;
    product.usb_ports_phy = usbPorts;
    product.product_id = productId;
    SimGpioProfile profile = simGpioProfileFor(gpioHwProject, 20);
    profile.buttonMask = buttonMask;
    profile.cardSlot = true;
    driver = std::make_unique<SimGpioDriver>(profile);
    device = std::make_unique<GpioDevice>(*driver, table, product);
  }

  // Every request of that number in the journal, in order.
  std::vector<SimGpioRecord> requests(unsigned long request) const {
    std::vector<SimGpioRecord> found;
    for (const SimGpioRecord& r : driver->journal()) {
      if (r.request == request) found.push_back(r);
    }
    return found;
  }
  uint64_t lastSequence() const {
    auto all = driver->journal();
    return all.empty() ? 0 : all.back().sequence;
  }

  TempRoot root;
  ParamTable table;
  Parameters params{table};
  ProductInfo product;
  std::unique_ptr<SimGpioDriver> driver;
  std::unique_ptr<GpioDevice> device;
};
