#pragma once
// The control-socket words of the simulated GPIO and button drivers:
//   gpio state | gpio journal [SINCE] | gpio warp TICKS
//   button N CHARS | power 1|2 on|off | card in|out | fail REQUEST [COUNT]
#include <string>
#include <vector>

#include "sim/gpio/sim_gpio_driver.h"
#include "sim/sim_command_registry.h"

class SimGpioCommands {
 public:
  // Registers its words; `driver` must outlive the registry's use.
  SimGpioCommands(SimGpioDriver& driver, SimCommandRegistry& registry);

  SimReply gpio(const std::vector<std::string>& arguments);
  SimReply button(const std::vector<std::string>& arguments);
  SimReply power(const std::vector<std::string>& arguments);
  SimReply card(const std::vector<std::string>& arguments);
  SimReply fail(const std::vector<std::string>& arguments);

 private:
  SimGpioDriver& driver_;
};
