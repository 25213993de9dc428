#pragma once
// The USB server's tasks: "UsbSrvd" listens on the plain and TLS ports of
// the untagged network and the VLANs, rescans the USB devices every second
// and starts one "UsbSrvdPrcs" task per accepted client, up to a limit that
// follows the port count. A connection task serves its client's requests
// and the completions of the devices it connected, and gives everything back
// when the client goes.
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/fd_watch.h"
#include "core/stream_connection.h"
#include "core/task.h"
#include "usbserver/usb_session.h"

class InterfaceView;
struct TlsSettings;

// The tasks of one server: the count of connection tasks that limits new
// clients, and the ids a stop terminates. Tasks delete themselves when their
// thread ends, so the server waits here until none is left before its parts
// go away. `mutex_` guards every member; no other lock is taken under it
// except the task table's (posting).
class UsbServerTasks {
 public:
  int connectionCount() const;
  // A connection task exists (construction) / has gone (destruction).
  void connectionCreated();
  void connectionEnded(int id);
  // A task's thread runs; false when the server is stopping (the task
  // should end at once).
  bool connectionRunning(int id);
  // The listener task was started with this id / its task has gone.
  void listenerStarted(int id);
  void listenerEnded();
  // Ends the listener first (no new clients), then every connection task,
  // and waits until all are gone.
  void stopAll();
  // The TLS version and cipher of the most recent TLS client (at most 140
  // bytes; empty before the first).
  void recordTlsDescription(const std::string& description);
  std::string tlsDescription() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int connections_ = 0;
  std::set<int> connectionIds_;
  int listenerId_ = 0;
  bool listenerGone_ = false;
  bool stopping_ = false;
  std::string tlsDescription_;
};

// The server's shared parts and the settings of its listeners.
struct UsbServerSetup {
  UsbServerParts parts;
  InterfaceView* interface;
  const ListenerSettings& listeners;
  // the TLS settings of the next handshake (method and security setting)
  std::function<TlsSettings()> tlsSettings;
  UsbServerTasks& tasks;
  // flashes the activity LED once (null on models without activity flashing)
  std::function<void()> activity;
};

class UsbSrvd : public Task {
 public:
  static constexpr int kStackSize = 20480;
  static constexpr int64_t kScanTicks = 100;

  explicit UsbSrvd(UsbServerSetup setup);
  ~UsbSrvd() override;

  void run() override;
  int handle(TaskMessage* msg) override;

 private:
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
  void watchDevice(const UsbSession::DeviceWatch& device);
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
