// A stand-in for the appliance's USB server in client tests: it speaks the
// wire format on 127.0.0.1 (one connection at a time) and lends one device,
// index 0 on port 1: a bulk-only mass-storage device over a RAM disk.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace usbclient_test {

class FakeStorageServer {
 public:
  explicit FakeStorageServer(uint32_t blocks, uint32_t blockSize = 512);
  ~FakeStorageServer();

  uint16_t port() const { return port_; }
  std::vector<uint8_t> disk() const;
  void setDisk(const std::vector<uint8_t>& contents);
  // Connections accepted and connect requests served so far.
  int accepts() const { return accepts_.load(); }
  int connects() const { return connects_.load(); }
  // Sends an event message to the connected client.
  void sendEvent(uint32_t code, uint8_t index, uint8_t port);
  // Protocol violations the server saw; empty when none.
  std::string error() const;

 private:
  struct PendingIn {
    uint32_t tag;
    uint8_t echo;
    uint32_t length;
  };

  void run();
  void serve(int fd);
  bool handle(int fd);
  bool handleUrb(int fd, const uint8_t* header);
  void bulkOut(const std::vector<uint8_t>& data);
  void executeCommand(const uint8_t* cbw);
  void serveInRequests(int fd);
  bool readExact(int fd, uint8_t* p, size_t n);
  bool sendAll(int fd, const std::vector<uint8_t>& b);
  void fail(const std::string& what);

  enum class Phase { Command, DataIn, DataOut, Status };

  const uint32_t blockSize_;
  int listener_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepts_{0};
  std::atomic<int> connects_{0};

  mutable std::mutex lock_;  // guards disk_, events_ and error_
  std::vector<uint8_t> disk_;
  std::deque<std::vector<uint8_t>> events_;
  std::string error_;

  // Device state: used by the server thread only.
  Phase phase_ = Phase::Command;
  std::vector<uint8_t> inData_;
  size_t inOffset_ = 0;
  uint64_t outOffset_ = 0;
  uint32_t outLeft_ = 0;
  uint32_t cbwTag_ = 0;
  uint8_t cswStatus_ = 0;
  uint32_t residue_ = 0;
  std::deque<PendingIn> pendingIn_;

  std::thread thread_;
};

}  // namespace usbclient_test
