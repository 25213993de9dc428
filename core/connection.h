#pragma once
// Connection: the one socket abstraction. Every socket a task uses (UDP,
// multicast, UNIX datagram, packet; and the base of TCP connections)
// belongs to one owner task, and every wait it performs also serves that
// task's message pipe, so a task blocked in network I/O can still be
// stopped or told that the parameters changed.
//
// Threads: a connection is used by its owner task only. The waits may end
// the owner's thread (a terminate message), which unwinds the stack; the
// destructor closes the socket.
//
// Results of the I/O operations: a byte count, or -2 time-out, -3 peer
// closed, -4 I/O error, -19 no socket, other negative values the negated
// system error. Time-outs are in ticks (1/100 s); negative means no limit.
#include <sys/types.h>
#include <sys/uio.h>

#include <cstdint>
#include <string>

#include "core/inet_addr.h"

class ByteBuffer;
class InterfaceView;
class Task;

inline constexpr int kResultTimeout = -2;
inline constexpr int kResultPeerClosed = -3;
inline constexpr int kResultIoError = -4;
inline constexpr int kResultNoSocket = -19;

enum ConnectionState : int { kStateClosed = 0, kStateListening = 1, kStateConnected = 3 };
enum ConnectionErrorKind : int { kErrorNone = 0, kErrorTimeout = 1, kErrorTransfer = 2 };

// Binds any descriptor to the device deviceName, or to "<deviceName>.<vlanId>"
// when vlanId is not negative (SO_BINDTODEVICE). 0 success, -1 failure
// (also for a negative descriptor).
int force2face(int fd, const char* deviceName, int vlanId);

class Connection {
 public:
  static constexpr int kDatagramBufferSize = 4000;
  static constexpr int kDatagramReuseRoom = 1500;
  static constexpr int kChunkSize = 2048;

  Connection() = default;
  Connection(Task* owner, InterfaceView* interface, int vlanId) { init(owner, interface, vlanId); }
  ~Connection() { dispose(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Set-up (1 success, 0 failure unless said otherwise).
  void init(Task* owner, InterfaceView* interface, int vlanId);
  int open(int family, int type, int protocol);
  int close();
  void dispose();
  int setReuseAddr();
  int setNonBlocking();
  int setBlocking();
  int set_maxseg(int bytes);
  int set_nagleon();
  int setMulticastTtl(int ttl);
  // SO_BINDTODEVICE to the interface's device, or its VLAN device
  int bindToInterface();
  int bind(int port, bool any, int vlanIndex);
  int bindMulticast(int port, const InetAddr& group, bool doNotRoute);
  int bindDatagram(int port, bool multicast, bool doNotRoute, bool any);
  int listen(int backlog);
  int acceptFrom(int listeningFd);
  // Connects to the peer address. For an IPv4/IPv6 stream socket the wait
  // is bounded by timeout (0: no limit) and serves the owner's messages.
  int connect(int timeout);
  int localAddress(InetAddr* out) const;
  // A UNIX datagram socket bound to path, or to a fresh name under /var.
  int openUnixDatagram(const char* path = nullptr);
  int connectUnix(const char* path);
  int bindPacket(int interfaceIndex, const std::uint8_t* hardwareAddress);
  int interfaceIndex() const;

  // Waits: 1 when the socket is ready, else 0 with *code telling why.
  int wait4read(int timeout, int* code, bool retry);
  int wait4write(int timeout, int* code, bool retry);

  // Datagram and packet transfers.
  int receive(ByteBuffer* buffer, int timeout);
  int sendAll(const void* data, int length, bool once);
  ssize_t sendVector(const iovec* vector, int count);
  int sendPacket(const void* data, int length, bool once);
  int readChunk(ByteBuffer* buffer, int timeout);

  int port() const { return port_; }
  int family() const { return family_; }
  int type() const { return type_; }
  int descriptor() const { return fd_; }
  int vlanId() const { return vlanId_; }
  InterfaceView* interface() const { return interface_; }
  int state() const { return state_; }
  const InetAddr& local() const { return local_; }
  InetAddr& peer() { return peer_; }
  const InetAddr& peer() const { return peer_; }
  Task* owner() const { return owner_; }
  int errorKind() const { return errorKind_; }
  void setState(int state) { state_ = state; }
  // Hands the connection to another task (an accepted connection to the
  // task that serves it); only while no wait is running.
  void setOwner(Task* owner) { owner_ = owner; }
  void setErrorKind(int kind) { errorKind_ = kind; }
  // the path a UNIX datagram socket was bound to ("" for other sockets)
  const std::string& unixPath() const { return unixPath_; }

 private:
  enum class Direction { kRead, kWrite };
  int waitFor(Direction direction, int timeout, int* code, bool retry);
  int waitForConnect(int timeout);
  socklen_t peerLength() const;
  std::string deviceName() const;
  int bindUnixPath(const std::string& path);

  int port_ = 0;
  int family_ = 0;
  int type_ = 0;
  int fd_ = -1;
  int vlanId_ = -1;
  InterfaceView* interface_ = nullptr;
  int state_ = kStateClosed;
  InetAddr local_ = kIpv4AnyAddress;
  InetAddr peer_ = kIpv4AnyAddress;
  Task* owner_ = nullptr;
  int errorKind_ = kErrorNone;
  std::string unixPath_;
};
