#pragma once
// The baseline of the USB server benchmark: a plain TCP relay on loopback
// that answers transfer requests with the very messages the server sends
// (same headers, same 64 KiB parts for IN data, same single reply for OUT),
// so that a client moves the same bytes through the same system calls and
// only the server's own work is missing. Each connection is served by a
// thread of its own named "TcpRelay", blocking, one request at a time.
//
// Threads: the accept thread owns the listening socket; mutex_ guards
// threads_ and tids_.
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class FramedRelay {
 public:
  static constexpr size_t kPartSize = 65536;
  static constexpr uint32_t kMaxOutLength = 16u << 20;

  FramedRelay() = default;
  ~FramedRelay();
  FramedRelay(const FramedRelay&) = delete;
  FramedRelay& operator=(const FramedRelay&) = delete;

  // Listens on 127.0.0.1 at a port the kernel picks. False on failure.
  bool start();
  uint16_t port() const { return port_; }
  // CPU nanoseconds of the connection threads still running.
  uint64_t cpuNanos() const;

 private:
  void acceptLoop();
  void serve(int fd);

  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  mutable std::mutex mutex_;
  std::vector<std::thread> threads_;
  std::vector<pid_t> tids_;
  std::vector<int> sockets_;
};
