#pragma once
// The device events the table raises: port parameters, notifications, relay
// and port LEDs follow them. Called without any table or entry lock held, so
// an implementation may read the table (usbDeviceInfo).
class UsbDeviceEvents {
 public:
  virtual ~UsbDeviceEvents() = default;
  virtual void onUsbDevicePlugged(int index) = 0;
  virtual void onUsbDeviceRemoved(int index) = 0;
  virtual void onUsbDeviceDisconnected(int index) = 0;
};
