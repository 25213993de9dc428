#include "usbserver/usb_device.h"

void UsbDevice::resetFields() {
  state.store(USB_DEV_ABSENT);
  unconfirmed = false;
  goneTick = 0;
  id = UsbDeviceIdentity{};
  node = -1;
  cleanupFlag.store(false);
  languageKnown = false;
  language = 0;
  std::fill(std::begin(deviceDescriptor), std::end(deviceDescriptor), 0);
  currentConfiguration = -1;
  configurations.clear();
  strings.clear();
  std::fill(std::begin(endpointsIn), std::end(endpointsIn), 0);
  std::fill(std::begin(endpointsOut), std::end(endpointsOut), 0);
  endpointsIn[USB_XFER_CONTROL] = 1;
  endpointsOut[USB_XFER_CONTROL] = 1;
  configurationsParsed = 0;
  interfacesParsed = 0;
  video = false;
  watched = false;
  owner = nullptr;
  transfers.clear();
}
