#pragma once
// UsbSession: one client connection of the USB server as the request
// handlers see it. It reads one request at a time from its connection,
// answers through the device table, the transfer engine and the access
// checks, and is the client the core sends completions and takeovers to.
//
// Threads: the session belongs to its connection task. Completions and
// takeover news that other tasks produce are queued under `queueMutex_` and
// handed to the owner task through the wake descriptor, so only the owner
// task ever writes the connection.
#include <cstdint>
#include <sys/uio.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/unique_fd.h"
#include "usbserver/usb_client.h"
#include "usbserver/usb_protocol.h"

class ControlRequests;
class PortAccess;
class StreamConnection;
class UrbEngine;
class UsbDeviceTable;
class UsbServerHooks;

// The server's shared parts a session works with.
struct UsbServerParts {
  UsbDeviceTable& table;
  UrbEngine& engine;
  ControlRequests& control;
  PortAccess& access;
  UsbServerHooks& hooks;
};

class UsbSession : public UsbClient {
 public:
  static constexpr int kPayloadTimeoutMs = 10000;

  UsbSession(UsbServerParts parts, StreamConnection& connection, int vlanId);
  ~UsbSession() override;

  // Reads and answers one request: 1 answered, 0 nothing (complete) to
  // read now, negative: the connection ends. `signalled`: the socket
  // reported input, so an empty read means the end of the stream.
  int dispatchRequest(bool signalled);
  // Sends what other tasks queued (completions, events).
  void deliverQueued();
  int wakeDescriptor() const { return wake_.get(); }
  int64_t lastRequestTick() const { return lastRequest_; }
  // The node of a device this session connected, with the serial of the
  // connection; the task adds it to its poll set at once (called on the
  // session's own task, under the device entry's mutex).
  struct DeviceWatch {
    int index;
    int node;
    uint32_t serial;
  };
  void setDeviceWatcher(std::function<void(const DeviceWatch&)> watcher) { watcher_ = std::move(watcher); }
  // Frees everything the client owns (at the end of the connection).
  void releaseClientDevices();

  // UsbClient
  void sendUrbCompletion(const UrbCompletion& completion) override;
  void deviceTaken(int index, int port) override;
  void disconnectRequested(int index, int port) override;
  bool peerIpv4(uint8_t address[4]) const override;
  bool isEncrypted() const override;
  int vlanId() const override { return vlanId_; }

 private:
  bool readExact(void* buffer, size_t n);
  bool drain(size_t n);
  bool sendReply(const RequestHeader& request, uint32_t code, UsbResult result,
                 const void* payload = nullptr, size_t length = 0, bool echoOnly = false);
  bool writeAll(const iovec* parts, int count);
  void wake();

  int handleVersion(const RequestHeader& h, bool second);
  int handleDeviceList(const RequestHeader& h);
  int handleConnect(const RequestHeader& h);
  int handleDisconnect(const RequestHeader& h);
  int handleSetConfiguration(const RequestHeader& h);
  int handleClaimProbe(const RequestHeader& h);
  int handleReleaseInterface(const RequestHeader& h);
  int submitUrb(const RequestHeader& h);
  int handleDiscardUrb(const RequestHeader& h);
  int handleAbortEndpoint(const RequestHeader& h);
  int handleClearHalt(const RequestHeader& h);
  int handleResetDevice(const RequestHeader& h);
  int handleKeepalive(const RequestHeader& h);
  int handlePortTags(const RequestHeader& h);
  int handleConnectedMask(const RequestHeader& h);
  int handleSysName(const RequestHeader& h);
  int handlePortStatus(const RequestHeader& h);

  void cleanUpAfterRefusal(int index);
  // After a failed configuration change: this client's use of the device
  // is cleaned up by the next clean-up pass.
  void cleanUpFor(int index);

  UsbServerParts parts_;
  StreamConnection& connection_;
  const int vlanId_;
  const std::thread::id ownerThread_;
  int32_t nonce_ = 0;
  int64_t lastRequest_ = 0;
  uint32_t admittedPorts_ = 0;  // bit p: port p passed the last device list

  std::mutex queueMutex_;  // guards the queues below
  struct QueuedCompletion {
    UrbCompletion completion;
    std::vector<uint8_t> data;
  };
  std::deque<QueuedCompletion> completions_;
  // events for the client: code, index and port
  struct QueuedEvent {
    UsbEvent event;
    int index;
    int port;
  };
  std::deque<QueuedEvent> events_;
  UniqueFd wake_;

  std::function<void(const DeviceWatch&)> watcher_;
};
