#pragma once
// The hardware USB layouts of the appliance models: how a device's sysfs
// devpath and bus map to the physical port it is plugged into, how many table
// entries the model has, and up to which hub level a new device number means
// a new device. The product identity selects one layout for the port map and
// one for the table size (the variant groups of the product table decide
// which).
#include <string_view>

enum class UsbLayout {
  NoPortMap,     // every other model: no port map, default table
  TwoPortHub,    // basic and WLAN-only models
  ThreeBus,      // a managed-ports-with-VLANs model
  TwentyPort,    // the display model
  ChainedHub,    // a managed-ports-with-VLANs model
  TwoBus,        // the relay model
  ThreePortBus,  // two managed-ports-with-VLANs models
  EightPortBus,  // a basic model
};

struct UsbLayoutSize {
  int tableSize;
  int hubLevelLimit;
};

UsbLayoutSize usbLayoutSize(UsbLayout layout);

// The physical port (1 to 20) of a device, 0 when the layout gives it no
// port (it gets an entry but is never lent), negative when the device is to
// be ignored. devpath is sysfs' "a.b.c" (up to three numbers).
int devpathToSlot(UsbLayout portMap, int bus, std::string_view devpath);
