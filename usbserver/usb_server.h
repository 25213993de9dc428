#pragma once
// UsbServer: the USB device server as the process builds it. It owns the
// device table, the transfer engine, the control requests, the access
// checks, the device events with their port outputs, and the settings it
// reads from the parameters; start() runs the first scan and starts the
// "UsbSrvd" listener task, which starts one "UsbSrvdPrcs" task per client.
//
// Threads: built and started by main before the services run; the tasks
// share the parts through their own locks (see each class). The destructor
// ends the listener and every connection task and waits for them, so the
// parts outlive every task that uses them.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "usbserver/usb_layout.h"

class ControlRequests;
class InterfaceView;
class ParamListenerSettings;
class ParamTable;
class ParamUsbSettings;
class PortAccess;
class TaskUsbClock;
class UrbEngine;
class UsbDeviceTable;
class UsbPlatform;
class UsbPortEvents;
class UsbPortOutputs;
class UsbServerTasks;
struct ProductInfo;

class UsbServer {
 public:
  // devicesStarted tells whether the device I/O finished its start-up (the
  // staggered port power-up); the listener opens only after that.
  UsbServer(UsbPlatform& platform, UsbPortOutputs& outputs, InterfaceView* interface, ParamTable& params,
            const ProductInfo& product, std::function<bool()> devicesStarted);
  ~UsbServer();
  UsbServer(const UsbServer&) = delete;
  UsbServer& operator=(const UsbServer&) = delete;

  // The first scan, then the "UsbSrvd" task: its id (> 0), or <= 0 when it
  // could not be started.
  int start();
  // Once at process start, before any thread: bulk transfers move through
  // 64 KiB part buffers, and a burst of them freed together would otherwise
  // be handed back to the kernel and faulted in again page by page on the
  // next burst. Up to kKeptFreeHeap bytes of freed heap stay with the process.
  // Fixing that limit ends the allocator's own rise of its mmap threshold,
  // so blocks up to kHeapBlockLimit (whole 1 MiB transfers) are placed in
  // the heap explicitly instead of being mapped and unmapped each time.
  static constexpr int kKeptFreeHeap = 32 << 20;
  static constexpr int kHeapBlockLimit = 4 << 20;
  static void keepFreedTransferMemory();
  // Switches on every port whose power-off time has passed (each pass of
  // main's supervision loop).
  void restorePortPower();
  // The administrator's disconnect of every device on a port: the owner is
  // told at once, and within about a second a connection task resets the
  // device and closes its node. Returns 1.
  int disconnectPort(int port);

  UsbDeviceTable& table();
  UsbPortEvents& events();
  // Number of connection tasks now.
  int connectionCount() const;
  // TLS version and cipher of the most recent TLS client (the TLS details
  // page); empty before the first.
  std::string tlsDescription() const;

 private:
  const ProductInfo& product_;
  UsbPortOutputs& outputs_;
  std::unique_ptr<ParamUsbSettings> settings_;
  std::unique_ptr<ParamListenerSettings> listenerSettings_;
  std::unique_ptr<TaskUsbClock> clock_;
  std::unique_ptr<UsbPortEvents> events_;
  std::unique_ptr<UsbDeviceTable> table_;
  std::unique_ptr<UrbEngine> engine_;
  std::unique_ptr<ControlRequests> control_;
  std::unique_ptr<PortAccess> access_;
  std::unique_ptr<UsbServerTasks> tasks_;
  ParamTable& params_;
  InterfaceView* interface_;
  bool started_ = false;
};
