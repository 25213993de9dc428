#pragma once
// StreamConnection: the TCP side of the socket family. Listeners, the
// connections accepted from them and outgoing connections, each with an
// optional TLS session. Reads size their buffer to what is pending, writes
// advance through the caller's data, and every wait serves the owner task's
// messages (the waits of Connection).
//
// Threads: a stream connection is used by its owner task only. A listener's
// task accepts; the accepted connection moves to the task that serves it
// (setOwner), and its TLS handshake runs there, so a client that never
// finishes a handshake holds only its own task, never the listener.
//
// Socket ownership: the connection owns the descriptor; the TLS session
// only uses it, and is always ended before the socket is closed.
#include <sys/uio.h>

#include <cstddef>
#include <memory>
#include <string>

#include "core/connection.h"
#include "core/tls_session.h"

class ByteBuffer;
class InterfaceView;
class Task;

// One VLAN switch of the settings: a missing parameter reads as off.
struct VlanSwitch {
  bool on = false;
  int id = -1;
};

// The settings a listener needs, read by its caller from the parameters.
class ListenerSettings {
 public:
  virtual ~ListenerSettings() = default;
  // usb_ports_phy: the VLAN indexes 1..count are the port VLANs
  virtual int usbPortCount() const = 0;
  // ip4vlan_on_<n> and ip4vlan_id_<n>
  virtual VlanSwitch portVlan(int vlanIndex) const = 0;
  // ip4vlan_mgmt and ip4vlan_mgmt_id
  virtual VlanSwitch managementVlan() const = 0;
  // tcp_maxseg (0: leave the system's)
  virtual int tcpMaxSegment() const = 0;
};

class StreamConnection : public Connection {
 public:
  static constexpr int kTlsChunk = 7300;       // decrypted bytes taken at once
  static constexpr int kFileBlock = 7300;      // five 1460-byte segments
  static constexpr int kReadAnyway = 2048;     // readable with nothing pending
  static constexpr int kMaxGrowRead = 65536;   // largest buffer one read asks for
  static constexpr int kListenBacklog = 8;

  StreamConnection(Task* owner, InterfaceView* interface, int vlanId);
  ~StreamConnection();

  // Reads what is pending into buffer: with grow the buffer is sized to it
  // (at most kMaxGrowRead), else at most the buffer's capacity is read.
  // Decrypted bytes inside a TLS session come first, without a wait. With a
  // non-zero time-out it waits (negative: no limit); with 0 it only takes
  // what is there (0 when nothing is). Result: bytes read, 0, -2 time-out
  // (also when a settings change ended the wait), -3 peer closed, -4 I/O
  // error, -19 no socket, or a negated system error; on every result below
  // 1 a growable buffer is released.
  int read(ByteBuffer* buffer, int timeout, bool grow);
  int readBuffer(ByteBuffer* buffer, int timeout) { return read(buffer, timeout, true); }
  // read() into the caller's memory.
  int readBytes(void* memory, int size, int timeout);

  // Writes all of data (plain or through TLS). When the socket takes
  // nothing: with once, the bytes written so far; else it waits for room
  // (time-out in ticks; 0 waits as long as it takes, serving messages) and
  // gives -1 when the wait fails. -4 for a broken connection.
  int writeAll(const void* data, int length, int timeout, bool once);
  // writev, or each element through TLS until it is complete.
  ssize_t writeVector(const iovec* vector, int count);
  // Copies an open file to the connection in kFileBlock pieces up to its
  // end. 1 sent, 0 a failed read or write.
  int sendFile(int fd);

  // Waits without limit for a connection on this listener and accepts it
  // (non-blocking, connected, owned by this listener's task until handed
  // on). Null when the wait ended without one (a settings change) or the
  // accept failed; errno then tells the accept's error.
  std::unique_ptr<StreamConnection> acceptSession();
  // The server handshake, run by the task that serves the connection. 1
  // with a session; 0 failed (the caller closes the connection).
  int tlsAccept(const TlsSettings& settings, int timeLimit = kTlsHandshakeTicks);
  // Connects (time-out as Connection::connect) and, with tls, runs the client
  // handshake without verification. 1 connected (with a session when asked).
  int connectSession(int timeout, const TlsSettings* tls);
  // Ends the session quickly (no close_notify) and closes the socket.
  void closeSession();

  // The client handshake on a connected socket; with verify the peer's
  // certificate must verify. 1 with a session, else 0.
  int tlsConnect(const TlsSettings& settings, bool verify);
  // Transfers through the session, bounded by timeout ticks; results as
  // TlsSession::read and TlsSession::write (-4 without a session).
  int tlsRead(void* memory, int size, int timeout);
  int tlsWrite(const void* data, int length, int timeout);
  // "TLSv1.2" ...; "" without a session.
  std::string tlsVersionName() const;
  // The version name and, with room, the cipher description; 0 without a
  // session or cipher.
  int tlsDescription(char* buffer, size_t size) const;

  int bytesWritten() const { return bytesWritten_; }
  int lastTlsResult() const { return lastTlsResult_; }
  TlsSession* tlsSession() const { return session_.get(); }

 private:
  class Waits;
  int readTls(ByteBuffer* buffer, int timeout, bool grow);
  int writeWait(int timeout);

  int bytesWritten_ = 0;
  int lastTlsResult_ = 0;
  std::unique_ptr<TlsSession> session_;
};

// Opens one listening TCP socket of a task on port: VLAN index 0 is an
// IPv6 (dual-stack) socket on the untagged interface; 1..usb port count
// are the IPv4 port VLANs, the next index the management VLAN, each only
// while its switch is on. Null without an interface, for port <= 0, for a
// VLAN that is off or has no id, or when a step fails.
std::unique_ptr<StreamConnection> createListenSocket(Task* owner, int port,
                                                     InterfaceView* interface, int vlanIndex,
                                                     const ListenerSettings& settings);
