#pragma once
// Helpers for the TLS and stream-connection tests: certificate fixtures made
// by the openssl command, the openssl tool as a real peer, loopback sockets,
// a poll-based transport and a client whose records the test sends by hand.
#include <poll.h>
#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "core/tls_session.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace tlstest {

// Runs "openssl <args>" through the shell with its output discarded; the
// exit status.
int openssl(const std::string& args);

// Makes a self-signed RSA certificate and its key (PEM) with the openssl
// command. Returns whether both files were written.
bool makeSelfSigned(const std::string& certificate, const std::string& key, int bits,
                    const std::string& subject);

// The openssl command line tool as a child process: its standard input is a
// pipe, its standard output and error are collected together.
class OpensslProcess {
 public:
  explicit OpensslProcess(const std::vector<std::string>& args);
  ~OpensslProcess();
  OpensslProcess(const OpensslProcess&) = delete;
  OpensslProcess& operator=(const OpensslProcess&) = delete;

  bool send(std::string_view text);
  void closeInput();
  // Collects output until it contains `needle`; false after `timeoutMs`.
  bool waitForOutput(std::string_view needle, int timeoutMs);
  // The exit status once the process ended, -1 when it still runs after
  // `timeoutMs`.
  int waitExit(int timeoutMs);
  const std::string& output() const { return output_; }

 private:
  void collect(int timeoutMs);

  pid_t pid_ = -1;
  int input_ = -1;
  int output_fd_ = -1;
  std::string output_;
  int status_ = -1;
};

// "openssl s_server" on an ephemeral port with the given extra arguments;
// port() is known once it listens.
class OpensslServer {
 public:
  OpensslServer(const std::string& certificate, const std::string& key,
                const std::vector<std::string>& extra);
  int port() const { return port_; }
  OpensslProcess& process() { return process_; }

 private:
  static std::vector<std::string> arguments(const std::string& certificate, const std::string& key,
                                            const std::vector<std::string>& extra);
  OpensslProcess process_;
  int port_ = 0;
};

// A TCP listener on 127.0.0.1 with an ephemeral port.
class LoopbackListener {
 public:
  LoopbackListener();
  ~LoopbackListener();
  int port() const { return port_; }
  int fd() const { return fd_; }
  // Accepts one connection within `timeoutMs`; the new descriptor is
  // non-blocking. -1 on time-out.
  int accept(int timeoutMs);

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A blocking connect to 127.0.0.1:port; the descriptor, or -1.
int connectLoopback(int port);
void setNonBlocking(int fd);

// Waits with poll(2) on one descriptor and counts the waits.
class PollTransport : public TlsTransport {
 public:
  explicit PollTransport(int fd) : fd_(fd) {}
  int descriptor() const override { return fd_; }
  int waitReadable(int timeout) override { return wait(POLLIN, timeout); }
  int waitWritable(int timeout) override { return wait(POLLOUT, timeout); }
  int waits() const { return waits_; }

 private:
  int wait(short events, int timeout);
  int fd_;
  int waits_ = 0;
};

// A TLS client over memory buffers: the test moves its bytes to and from a
// socket by hand, so it can send part of a record and stop.
class ManualClient {
 public:
  explicit ManualClient(int fd);
  ~ManualClient();
  // Runs the handshake, pumping bytes both ways, within `timeoutMs`.
  bool handshake(int timeoutMs);
  // Encrypts `text` into records and returns their bytes without sending.
  std::string seal(std::string_view text);
  // Sends bytes on the socket (blocking until all are written).
  bool sendRaw(std::string_view bytes);
  // close_notify, sent at once.
  bool sendCloseNotify();
  // Closes the socket.
  void closeSocket();
  // The one-line subject of the server's certificate ("/CN=own").
  std::string peerSubject() const;
  int fd() const { return fd_; }

 private:
  bool flushOutput();
  int fd_;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
};

}  // namespace tlstest
