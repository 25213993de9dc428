#pragma once
// The board layouts of the appliance's GPIO hardware: which LED register
// bits an LED index drives in each colour, and how many LED indexes a layout
// has. The layout follows from the product identity's gpio_hw_project value.
#include <cstdint>

enum class GpioLayout {
  Panel,          // LEDs through LedConfig, status display, beeper on output 31
  SingleLed,      // one LED (index 0, colour 1 only)
  PairedLed,      // LED i: colour 1 = bit 2i, colour 2 = bit 2i+1
  ShiftedPaired,  // as PairedLed with index i+1
  PortLed,        // LED i: colour 1 = bit 8+i, colour 2 = bit 16+i
};

struct GpioBoard {
  GpioLayout layout = GpioLayout::PortLed;
  // The one paired-LED board whose LED 1 takes bit 1 for colour 1.
  bool ledOneOnBitOne = false;
};

// The gpio_hw_project values of each layout (every unlisted value is a
// port-LED board).
GpioBoard gpioBoardOf(uint32_t gpioHwProject);

const char* gpioLayoutName(GpioLayout layout);

// The LED register bits of one LED (0 where the LED has no such colour).
struct LedBits {
  uint32_t colour1 = 0;
  uint32_t colour2 = 0;
  uint32_t both() const { return colour1 | colour2; }
};

// How many LED indexes the layout has: beyond it the bits would collide with
// another LED's bits or lie past bit 31.
int gpioLedCount(GpioLayout layout);

// The LED's bits on the board; on the paired layouts each bit only where
// ledMask has it. Indexes outside 0..gpioLedCount-1 have none. On the panel
// board these are bits of the LedConfig value word of the LED's bank.
LedBits gpioLedBits(const GpioBoard& board, int index, uint32_t ledMask);

// The LedConfig bank of a panel-board LED: 0 for LEDs 0 to 4, else 1.
inline int panelLedBank(int index) { return index <= 4 ? 0 : 1; }

// The link mask of a healthy wired link: the bit of the PHY address of a
// single-PHY product, plus bit 0 on the two-PHY variant.
uint32_t goodWiredLinkMask(uint32_t phy0Address, bool twoPhy);
