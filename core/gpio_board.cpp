#include "core/gpio_board.h"

namespace {

struct ProjectLayout {
  uint32_t gpioHwProject;
  GpioBoard board;
};

// The gpio_hw_project numbers are this project's own choice.
constexpr ProjectLayout kProjectLayouts[] = {
    {20, {GpioLayout::Panel, false}},
    {30, {GpioLayout::SingleLed, false}},
    {31, {GpioLayout::SingleLed, false}},
    {32, {GpioLayout::SingleLed, false}},
    {33, {GpioLayout::SingleLed, false}},
    {40, {GpioLayout::PairedLed, false}},
    {41, {GpioLayout::PairedLed, false}},
    {42, {GpioLayout::PairedLed, false}},
    {43, {GpioLayout::PairedLed, true}},
    {50, {GpioLayout::ShiftedPaired, false}},
    {51, {GpioLayout::ShiftedPaired, false}},
};

struct LayoutFacts {
  GpioLayout layout;
  const char* name;
  int ledCount;
};

constexpr LayoutFacts kLayoutFacts[] = {
    {GpioLayout::Panel, "panel", 21},  // bank 1 colour 2 is bit i+11
    {GpioLayout::SingleLed, "single-led", 1},
    {GpioLayout::PairedLed, "paired-led", 16},
    {GpioLayout::ShiftedPaired, "shifted-paired-led", 15},
    {GpioLayout::PortLed, "port-led", 8},  // colour 1 of LED 8 would be colour 2 of LED 0
};

const LayoutFacts& factsOf(GpioLayout layout) {
  for (const LayoutFacts& facts : kLayoutFacts) {
    if (facts.layout == layout) return facts;
  }
  return kLayoutFacts[4];
}

uint32_t bit(int n) { return n >= 0 && n < 32 ? uint32_t{1} << n : 0; }

}  // namespace

GpioBoard gpioBoardOf(uint32_t gpioHwProject) {
  for (const ProjectLayout& entry : kProjectLayouts) {
    if (entry.gpioHwProject == gpioHwProject) return entry.board;
  }
  return GpioBoard{};
}

const char* gpioLayoutName(GpioLayout layout) { return factsOf(layout).name; }

int gpioLedCount(GpioLayout layout) { return factsOf(layout).ledCount; }

LedBits gpioLedBits(const GpioBoard& board, int index, uint32_t ledMask) {
  LedBits bits;
  if (index < 0 || index >= gpioLedCount(board.layout)) return bits;
  switch (board.layout) {
    case GpioLayout::Panel:
      if (panelLedBank(index) == 0) {
        bits = {bit(8 + index), bit(16 + index)};
      } else {
        bits = {bit(index - 5), bit(index + 11)};
      }
      break;
    case GpioLayout::SingleLed:
      bits.colour1 = bit(1);
      break;
    case GpioLayout::PairedLed:
    case GpioLayout::ShiftedPaired: {
      const int led = board.layout == GpioLayout::ShiftedPaired ? index + 1 : index;
      const int first = (board.ledOneOnBitOne && led == 1) ? 1 : 2 * led;
      bits = {bit(first) & ledMask, bit(2 * led + 1) & ledMask};
      break;
    }
    case GpioLayout::PortLed:
      bits = {bit(8 + index), bit(16 + index)};
      break;
  }
  return bits;
}

uint32_t goodWiredLinkMask(uint32_t phy0Address, bool twoPhy) {
  return (phy0Address < 32 ? uint32_t{1} << phy0Address : 0) | (twoPhy ? 1u : 0u);
}
