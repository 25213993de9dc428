#include "sim/sim_control_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <vector>

#include "core/paths.h"

namespace {

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = other.release();
    }
    return *this;
  }
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

bool fillAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.data(), path.size());
  return true;
}

std::string encodeReply(const SimReply& reply) {
  std::string out = reply.ok ? "ok" : "error";
  std::string text = reply.text;
  if (!reply.ok) {
    // The message goes on the status line; later lines follow as text.
    size_t end = text.find('\n');
    out += " " + text.substr(0, end);
    text = end == std::string::npos ? std::string() : text.substr(end + 1);
  }
  out += "\n";
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) out.append(text, start, end - start).append("\n");
    start = end + 1;
  }
  out += "\n";
  return out;
}

struct Client {
  UniqueFd fd;
  std::string in;
  std::string out;
  bool closing = false;  // close once `out` is written
};

}  // namespace

std::string SimControlSocket::defaultPath() { return sysPath("/sim/control.sock"); }

SimControlSocket::SimControlSocket(const SimCommandRegistry& registry) : registry_(registry) {}

SimControlSocket::~SimControlSocket() { stop(); }

int SimControlSocket::start(const std::string& path) {
  if (thread_.joinable()) return -EALREADY;
  sockaddr_un address;
  if (!fillAddress(path, &address)) return -ENAMETOOLONG;
  std::error_code ec;
  const std::filesystem::path dir = std::filesystem::path(path).parent_path();
  if (!dir.empty() && !std::filesystem::exists(dir, ec)) {
    if (::mkdir(dir.c_str(), 0700) < 0 && errno != EEXIST) return -errno;
  }
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (listener.get() < 0) return -errno;
  ::unlink(path.c_str());
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) return -errno;
  if (::listen(listener.get(), 16) < 0) return -errno;
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (wake.get() < 0) return -errno;
  path_ = path;
  listener_ = listener.release();
  wake_ = wake.release();
  thread_ = std::thread([this] { serve(); });
  return 0;
}

void SimControlSocket::stop() {
  if (!thread_.joinable()) return;
  const uint64_t one = 1;
  (void)!::write(wake_, &one, sizeof one);
  thread_.join();
  ::close(listener_);
  ::close(wake_);
  listener_ = wake_ = -1;
  ::unlink(path_.c_str());
}

void SimControlSocket::serve() {
  std::vector<Client> clients;
  for (;;) {
    std::vector<pollfd> fds = {{wake_, POLLIN, 0}, {listener_, POLLIN, 0}};
    for (const Client& c : clients) {
      fds.push_back({c.fd.get(), static_cast<short>(c.out.empty() ? POLLIN : POLLOUT), 0});
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents) return;
    for (size_t i = 0; i < clients.size(); ++i) {
      Client& c = clients[i];
      const short revents = fds[i + 2].revents;
      if (revents & POLLOUT) {
        ssize_t n = ::send(c.fd.get(), c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n > 0) c.out.erase(0, static_cast<size_t>(n));
        if (n < 0 && errno != EAGAIN && errno != EINTR) c.closing = true, c.out.clear();
      } else if (revents & (POLLIN | POLLHUP | POLLERR)) {
        char buffer[1024];
        ssize_t n = ::recv(c.fd.get(), buffer, sizeof buffer, 0);
        if (n <= 0) {
          if (n == 0 || (errno != EAGAIN && errno != EINTR)) c.closing = true;
        } else {
          c.in.append(buffer, static_cast<size_t>(n));
        }
      }
      // Answer every complete line; a line too long ends the connection.
      size_t end;
      while (c.out.empty() && !c.closing && (end = c.in.find('\n')) != std::string::npos) {
        const std::string line = c.in.substr(0, end);
        c.in.erase(0, end + 1);
        c.out += encodeReply(registry_.run(line));
      }
      if (c.in.size() > kMaxLine) {
        c.out += encodeReply(SimReply::failure("line too long"));
        c.in.clear();
        c.closing = true;
      }
    }
    std::erase_if(clients, [](const Client& c) { return c.closing && c.out.empty(); });
    if (fds[1].revents & POLLIN) {
      UniqueFd fd(::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (fd.get() >= 0 && clients.size() < kMaxClients) clients.push_back(Client{std::move(fd), {}, {}, false});
    }
  }
}

int simControlRequest(const std::string& path, const std::string& line, SimReply* reply, int timeoutMs) {
  sockaddr_un address;
  if (!fillAddress(path, &address)) return -ENAMETOOLONG;
  if (line.find('\n') != std::string::npos) return -EINVAL;
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return -errno;
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) return -errno;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  auto waitFor = [&](short events) {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return -ETIMEDOUT;
      pollfd p{fd.get(), events, 0};
      int rc = ::poll(&p, 1, static_cast<int>(left.count()));
      if (rc > 0) return 0;
      if (rc < 0 && errno != EINTR) return -errno;
    }
  };
  const std::string request = line + "\n";
  size_t sent = 0;
  while (sent < request.size()) {
    if (int rc = waitFor(POLLOUT)) return rc;
    ssize_t n = ::send(fd.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno != EAGAIN && errno != EINTR) return -errno;
    if (n > 0) sent += static_cast<size_t>(n);
  }
  std::string answer;
  // The answer ends with an empty line: "\n\n" after the status line.
  while (answer.size() < 2 || answer.compare(answer.size() - 2, 2, "\n\n") != 0) {
    if (int rc = waitFor(POLLIN)) return rc;
    char buffer[4096];
    ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0) return -EPROTO;
    if (n < 0 && errno != EAGAIN && errno != EINTR) return -errno;
    if (n > 0) answer.append(buffer, static_cast<size_t>(n));
  }
  const size_t statusEnd = answer.find('\n');
  const std::string status = answer.substr(0, statusEnd);
  std::string text = answer.substr(statusEnd + 1, answer.size() - statusEnd - 2);
  if (status == "ok") {
    *reply = SimReply::success(std::move(text));
  } else if (status.compare(0, 6, "error ") == 0) {
    *reply = SimReply::failure(status.substr(6) + (text.empty() ? "" : "\n" + text));
  } else {
    return -EPROTO;
  }
  return 0;
}
