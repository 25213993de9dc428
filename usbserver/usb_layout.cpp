#include "usbserver/usb_layout.h"

#include <array>
#include <climits>

namespace {

// A port map result that tells the scan to ignore the device; distinct from
// every arithmetic result of the maps.
constexpr int kIgnore = INT_MIN;
constexpr int kLastPort = 20;

struct Devpath {
  int a = 0, b = 0, c = 0;
};

// Up to three decimal numbers separated by '.'; false for an empty or
// malformed text. Each number is bounded so that the arithmetic of the port
// maps cannot overflow.
bool parseDevpath(std::string_view text, Devpath& out) {
  if (text.empty()) return false;
  std::array<int, 3> numbers{0, 0, 0};
  size_t n = 0;
  size_t i = 0;
  while (n < numbers.size()) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
    int value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      if (value < 1000) value = value * 10 + (text[i] - '0');
      ++i;
    }
    numbers[n++] = value;
    if (i >= text.size()) break;
    if (text[i] != '.') return false;
    ++i;
  }
  out = {numbers[0], numbers[1], numbers[2]};
  return true;
}

using PortMap = int (*)(int bus, const Devpath& d);

int twoPortHub(int, const Devpath& d) { return d.b <= 2 ? d.b : kIgnore; }
int threeBus(int bus, const Devpath& d) {
  switch (bus) {
    case 1: return 3;
    case 2: return 3 - d.a;
    case 3: return 1;
    default: return 0;
  }
}
int twentyPort(int, const Devpath& d) { return (d.a - 1) * 5 + d.b; }
int chainedHub(int, const Devpath& d) { return d.b <= 6 ? d.b : d.c + 6; }
int twoBus(int bus, const Devpath&) {
  switch (bus) {
    case 2: return 1;
    case 3:
    case 4: return 2;
    default: return 1;
  }
}
int threePortBus(int bus, const Devpath& d) {
  if (d.b > 3) return kIgnore;
  return bus == 1 || bus == 2 ? d.b : 0;
}
int eightPortBus(int bus, const Devpath& d) {
  if (d.b > 4) return kIgnore;
  if (bus == 1 || bus == 2) return d.b;
  return bus == 3 ? d.b + 4 : 0;
}
int noPortMap(int, const Devpath&) { return kIgnore; }

struct LayoutRow {
  UsbLayout layout;
  PortMap map;
  UsbLayoutSize size;
};

constexpr LayoutRow kLayouts[] = {
    {UsbLayout::NoPortMap, noPortMap, {5, 1}},
    {UsbLayout::TwoPortHub, twoPortHub, {6, 2}},
    {UsbLayout::ThreeBus, threeBus, {12, 0}},
    {UsbLayout::TwentyPort, twentyPort, {40, 2}},
    {UsbLayout::ChainedHub, chainedHub, {16, 2}},
    {UsbLayout::TwoBus, twoBus, {10, 0}},
    {UsbLayout::ThreePortBus, threePortBus, {12, 0}},
    {UsbLayout::EightPortBus, eightPortBus, {5, 1}},
};

const LayoutRow& rowOf(UsbLayout layout) {
  for (const LayoutRow& row : kLayouts) {
    if (row.layout == layout) return row;
  }
  return kLayouts[0];
}

}  // namespace

UsbLayoutSize usbLayoutSize(UsbLayout layout) { return rowOf(layout).size; }

int devpathToSlot(UsbLayout portMap, int bus, std::string_view devpath) {
  Devpath d;
  if (!parseDevpath(devpath, d)) return -1;
  int port = rowOf(portMap).map(bus, d);
  if (port == kIgnore) return -1;
  // A map result outside the physical ports (a deeper hub than the layout
  // foresees) keeps the device in the table without a port, so that no
  // per-port array is ever indexed with it.
  if (port > kLastPort || port < 0) return 0;
  return port;
}
