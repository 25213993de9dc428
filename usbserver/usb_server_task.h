#pragma once
// The USB server's tasks: "UsbSrvd" listens on the plain and TLS ports of
// the untagged network and the VLANs, rescans the USB devices every second
// and starts one "UsbSrvdPrcs" task per accepted client, up to a limit that
// follows the port count. A connection task serves its client's requests
// and the completions of the devices it connected, and gives everything back
// when the client goes.
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "core/fd_watch.h"
#include "core/stream_connection.h"
#include "core/task.h"
#include "usbserver/usb_session.h"

class InterfaceView;
struct TlsSettings;

// The server's shared parts and the settings of its listeners.
struct UsbServerSetup {
  UsbServerParts parts;
  InterfaceView* interface;
  const ListenerSettings& listeners;
  // the TLS settings of the next handshake (method and security setting)
  std::function<TlsSettings()> tlsSettings;
};

class UsbSrvd : public Task {
 public:
  static constexpr int kStackSize = 20480;
  static constexpr int64_t kScanTicks = 100;

  explicit UsbSrvd(UsbServerSetup setup);
  ~UsbSrvd() override;

  void run() override;
  int handle(TaskMessage* msg) override;

  static int connectionCount() { return connections_.load(); }

 private:
  friend class UsbSrvdPrcs;
  struct Listener {
    std::unique_ptr<StreamConnection> connection;
    bool tls = false;
    int vlanId = -1;
    FdWatch watch;
  };

  void openListeners();
  void closeListeners();
  static int onListenerReady(FdWatch* watch, uint32_t events);
  void acceptClient(Listener& listener);

  UsbServerSetup setup_;
  std::vector<std::unique_ptr<Listener>> listeners_;
  bool reopen_ = false;
  static std::atomic<int> connections_;
};

class UsbSrvdPrcs : public Task {
 public:
  static constexpr int kStackSize = 20480;

  UsbSrvdPrcs(const UsbServerSetup& setup, std::unique_ptr<StreamConnection> connection, bool tls,
              int vlanId);
  ~UsbSrvdPrcs() override;

  void run() override;

 private:
  struct DeviceWatch {
    UsbSrvdPrcs* task;
    UsbSession::DeviceWatch device;
    FdWatch watch;
  };
  static int onClientReadable(FdWatch* watch, uint32_t events);
  static int onWake(FdWatch* watch, uint32_t events);
  static int onDeviceReady(FdWatch* watch, uint32_t events);
  void watchNewDevices();
  void cleanupFlaggedDevices();

  UsbServerSetup setup_;
  std::unique_ptr<StreamConnection> connection_;
  bool tls_;
  int vlanId_;
  std::unique_ptr<UsbSession> session_;
  FdWatch clientWatch_;
  FdWatch wakeWatch_;
  std::vector<std::unique_ptr<DeviceWatch>> devices_;
  bool dead_ = false;
};
