#include "tests/core/tls_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace tlstest {
namespace {

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

}  // namespace

int openssl(const std::string& args) {
  std::string command = "openssl " + args + " >/dev/null 2>&1";
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool makeSelfSigned(const std::string& certificate, const std::string& key, int bits,
                    const std::string& subject) {
  return openssl("req -x509 -newkey rsa:" + std::to_string(bits) + " -nodes -keyout " +
                 quoted(key) + " -out " + quoted(certificate) + " -days 30 -subj " +
                 quoted(subject)) == 0;
}

OpensslProcess::OpensslProcess(const std::vector<std::string>& args) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return;
  }
  std::vector<std::string> full = {"openssl"};
  full.insert(full.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : full) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(out[1], 2);
    ::execvp("openssl", argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  input_ = in[1];
  output_fd_ = out[0];
  ::fcntl(output_fd_, F_SETFL, O_NONBLOCK);
}

OpensslProcess::~OpensslProcess() {
  closeInput();
  if (pid_ > 0 && status_ < 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (output_fd_ >= 0) ::close(output_fd_);
}

bool OpensslProcess::send(std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(input_, text.data(), text.size());
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void OpensslProcess::closeInput() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

void OpensslProcess::collect(int timeoutMs) {
  if (output_fd_ < 0) return;
  pollfd p{output_fd_, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(output_fd_, buffer, sizeof buffer)) > 0) output_.append(buffer, n);
  if (n == 0) {
    ::close(output_fd_);
    output_fd_ = -1;
  }
}

bool OpensslProcess::waitForOutput(std::string_view needle, int timeoutMs) {
  int64_t end = nowMs() + timeoutMs;
  for (;;) {
    if (output_.find(needle) != std::string::npos) return true;
    int64_t left = end - nowMs();
    if (left <= 0 || output_fd_ < 0) return false;
    collect(static_cast<int>(left));
  }
}

int OpensslProcess::waitExit(int timeoutMs) {
  int64_t end = nowMs() + timeoutMs;
  while (status_ < 0 && pid_ > 0) {
    int status;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (nowMs() >= end) return -1;
    collect(10);
  }
  collect(0);
  return status_;
}

std::vector<std::string> OpensslServer::arguments(const std::string& certificate,
                                                  const std::string& key,
                                                  const std::vector<std::string>& extra) {
  std::vector<std::string> args = {"s_server", "-accept", "0", "-cert", certificate, "-key", key};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

OpensslServer::OpensslServer(const std::string& certificate, const std::string& key,
                             const std::vector<std::string>& extra)
    : process_(arguments(certificate, key, extra)) {
  if (!process_.waitForOutput("ACCEPT", 5000)) return;
  process_.waitForOutput("\n", 1000);
  const std::string& out = process_.output();
  size_t accept = out.find("ACCEPT");
  size_t colon = out.find_first_of("\n", accept);
  size_t last = out.rfind(':', colon);
  if (last != std::string::npos && last > accept) port_ = std::atoi(out.c_str() + last + 1);
}

LoopbackListener::LoopbackListener() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd_, 8) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return;
  port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() {
  if (fd_ >= 0) ::close(fd_);
}

int LoopbackListener::accept(int timeoutMs) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) != 1) return -1;
  int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  return fd;
}

int connectLoopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void setNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

int PollTransport::wait(short events, int timeout) {
  ++waits_;
  pollfd p{fd_, events, 0};
  int result = ::poll(&p, 1, timeout < 0 ? -1 : timeout * 10);
  if (result < 0) return -errno;
  return result == 0 ? -2 : 1;
}

ManualClient::ManualClient(int fd) : fd_(fd) {
  ctx_ = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_security_level(ctx_, 1);
  ssl_ = SSL_new(ctx_);
  SSL_set_bio(ssl_, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
  SSL_set_connect_state(ssl_);
}

ManualClient::~ManualClient() {
  SSL_free(ssl_);
  SSL_CTX_free(ctx_);
  if (fd_ >= 0) ::close(fd_);
}

bool ManualClient::sendRaw(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool ManualClient::flushOutput() {
  BIO* out = SSL_get_wbio(ssl_);
  char buffer[16384];
  int n;
  while ((n = BIO_read(out, buffer, sizeof buffer)) > 0)
    if (!sendRaw(std::string_view(buffer, static_cast<size_t>(n)))) return false;
  return true;
}

bool ManualClient::handshake(int timeoutMs) {
  int64_t end = nowMs() + timeoutMs;
  BIO* in = SSL_get_rbio(ssl_);
  for (;;) {
    int result = SSL_do_handshake(ssl_);
    if (!flushOutput()) return false;
    if (result == 1) return true;
    if (SSL_get_error(ssl_, result) != SSL_ERROR_WANT_READ) return false;
    int64_t left = end - nowMs();
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) != 1) return false;
    char buffer[16384];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    BIO_write(in, buffer, static_cast<int>(n));
  }
}

std::string ManualClient::seal(std::string_view text) {
  SSL_write(ssl_, text.data(), static_cast<int>(text.size()));
  BIO* out = SSL_get_wbio(ssl_);
  std::string sealed;
  char buffer[16384];
  int n;
  while ((n = BIO_read(out, buffer, sizeof buffer)) > 0) sealed.append(buffer, n);
  return sealed;
}

void ManualClient::closeSocket() {
  if (fd_ < 0) return;
  // Unread bytes (the server's session tickets) would turn the close into
  // a reset; a real client has read them.
  char buffer[16384];
  while (::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
  }
  ::close(fd_);
  fd_ = -1;
}

std::string ManualClient::peerSubject() const {
  X509* peer = SSL_get0_peer_certificate(ssl_);
  if (peer == nullptr) return std::string();
  char text[512];
  X509_NAME_oneline(X509_get_subject_name(peer), text, sizeof text);
  return text;
}

bool ManualClient::sendCloseNotify() {
  SSL_shutdown(ssl_);
  return flushOutput();
}

}  // namespace tlstest
