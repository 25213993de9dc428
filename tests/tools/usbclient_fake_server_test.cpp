// The client against a fake server on 127.0.0.1 that checks each request
// against golden bytes and answers with prepared replies, cut into pieces
// that arrive in separate TCP segments (or TLS records).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/tools/test_bytes.h"
#include "tools/usbclient/proof.h"
#include "tools/usbclient/usb_client.h"

using namespace usbclient;
using namespace usbclient_test;

namespace {

struct Step {
  Bytes expect;               // the request bytes the client must send
  std::vector<Bytes> pieces;  // the answer, sent piece by piece
};

// Key and self-signed certificate for the TLS variant, made by the openssl
// command in a directory of the test's own.
class TestCertificate {
 public:
  explicit TestCertificate(const std::string& name = "server") {
    dir_ = std::filesystem::temp_directory_path() /
           ("usbclient_tls_" + name + "_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    std::string cmd = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
                      " -days 1 -subj /CN=usbclient-test -addext subjectAltName=IP:127.0.0.1"
                      " -keyout " + key() + " -out " + cert() + " 2>/dev/null";
    ok_ = std::system(cmd.c_str()) == 0;
  }
  ~TestCertificate() { std::filesystem::remove_all(dir_); }
  bool ok() const { return ok_; }
  std::string key() const { return (dir_ / "key.pem").string(); }
  std::string cert() const { return (dir_ / "cert.pem").string(); }

 private:
  std::filesystem::path dir_;
  bool ok_ = false;
};

class FakeServer {
 public:
  // closeAtEnd: hang up right after the script instead of waiting for the
  // client to close.
  FakeServer(std::vector<Step> script, const TestCertificate* tls, bool closeAtEnd = false)
      : script_(std::move(script)), tls_(tls), closeAtEnd_(closeAtEnd) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      error_ = "cannot listen";
      return;
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }

  ~FakeServer() {
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }

  uint16_t port() const { return port_; }
  // Waits for the script to end; the failure, or empty.
  std::string finish() {
    if (thread_.joinable()) thread_.join();
    return error_;
  }

 private:
  void serve() {
    timeval tv{5, 0};
    int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) {
      error_ = "accept failed";
      return;
    }
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    if (tls_) {
      ctx = SSL_CTX_new(TLS_server_method());
      SSL_CTX_use_certificate_file(ctx, tls_->cert().c_str(), SSL_FILETYPE_PEM);
      SSL_CTX_use_PrivateKey_file(ctx, tls_->key().c_str(), SSL_FILETYPE_PEM);
      ssl = SSL_new(ctx);
      SSL_set_fd(ssl, fd);
      if (SSL_accept(ssl) != 1) error_ = "TLS handshake failed";
    }
    auto readExact = [&](uint8_t* p, size_t n) {
      while (n > 0) {
        long r = ssl ? SSL_read(ssl, p, static_cast<int>(n)) : ::recv(fd, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
      }
      return true;
    };
    auto writeAll = [&](const Bytes& b) {
      return ssl ? SSL_write(ssl, b.data(), static_cast<int>(b.size())) == static_cast<int>(b.size())
                 : ::send(fd, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<long>(b.size());
    };
    for (size_t i = 0; i < script_.size() && error_.empty(); ++i) {
      Bytes got(script_[i].expect.size());
      if (!readExact(got.data(), got.size())) {
        error_ = "step " + std::to_string(i) + ": request cut short";
        break;
      }
      if (got != script_[i].expect) {
        error_ = "step " + std::to_string(i) + ": request " + toHex(got) + " expected " +
                 toHex(script_[i].expect);
        break;
      }
      for (const Bytes& piece : script_[i].pieces) {
        if (!writeAll(piece)) error_ = "send failed";
        // A pause lets each piece leave in its own segment.
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
      }
    }
    // The client closes when it is done; anything more it sent is an error.
    uint8_t extra;
    if (error_.empty() && !closeAtEnd_ && readExact(&extra, 1)) error_ = "unexpected bytes after the script";
    if (ssl) SSL_free(ssl);
    if (ctx) SSL_CTX_free(ctx);
    ::close(fd);
  }

  std::vector<Step> script_;
  const TestCertificate* tls_;
  bool closeAtEnd_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::string error_;
};

// Cuts `b` at the given offsets.
std::vector<Bytes> cut(const Bytes& b, std::vector<size_t> at) {
  std::vector<Bytes> out;
  size_t pos = 0;
  at.push_back(b.size());
  for (size_t end : at) {
    out.emplace_back(b.begin() + static_cast<long>(pos), b.begin() + static_cast<long>(end));
    pos = end;
  }
  return out;
}

std::vector<Step> listConnectBulkScript() {
  std::string proof = cryptProof("secretkey", 0x3e);
  Bytes devlist = replyFrame(0, 0x101D, 1, 0, 0,
                             hex("01 0016 00 02 03 00 12 01 0200 00 00 00 40 0781 5567 0100 01 02 03 01"));
  Bytes inData(70000);
  for (size_t i = 0; i < inData.size(); ++i) inData[i] = static_cast<uint8_t>(i % 251);
  Bytes partial = replyFrame(0, 0x101C, 4, 0, 0, Bytes(inData.begin(), inData.begin() + 65536));
  Bytes final = replyFrame(0, 0x1008, 4, 0, 0, Bytes(inData.begin() + 65536, inData.end()));
  Bytes connectName = hex("00 02") + Bytes{'t', 'e', 's', 't', 'e', 'r'} + Bytes(26, 0);
  return {
      {hex("00000000 0000001b 0000003e 00000000"),
       cut(replyFrame(0, 0x101B, 0x3e, 0, 0, hex("0007 0000 0091 0028")), {10})},
      {hex("00000000 0000001d 00000001 00000010 5a4f5601 02") + Bytes(proof.begin(), proof.end()),
       cut(devlist, {5, 20})},
      {hex("00000000 00000019 00000002 00000022") + connectName,
       {replyFrame(0, 0x1019, 2, 0, 0)}},
      {hex("00000000 00000008 00000003 00000010 00 02 02 03 00000000 00000004 01020304") +
           hex("00000000 00000008 00000004 0000000c 00 02 81 03 00011170 00000000"),
       {replyFrame(0, 0x1008, 3, 0, 0), cut(eventFrame(0x11, 5, 7), {9})[0],
        cut(eventFrame(0x11, 5, 7), {9})[1], Bytes(partial.begin(), partial.begin() + 100),
        Bytes(partial.begin() + 100, partial.begin() + 40000),
        Bytes(partial.begin() + 40000, partial.end()) + Bytes(final.begin(), final.begin() + 3),
        Bytes(final.begin() + 3, final.end())}},
      {hex("00000000 00000006 00000005 00000002 0002"), {replyFrame(0, 0x1006, 5, 0, 0)}},
  };
}

void runListConnectBulk(const TestCertificate* tls, const std::string& caFile = "") {
  FakeServer server(listConnectBulkScript(), tls);
  ASSERT_NE(server.port(), 0);
  ServerAddress addr;
  addr.host = "127.0.0.1";
  addr.port = server.port();
  addr.tls = tls != nullptr;
  addr.caFile = caFile;
  addr.timeoutMs = 5000;
  std::string error;
  auto transport = openTransport(addr, error);
  ASSERT_TRUE(transport) << error;
  if (tls) {
    EXPECT_NE(transport->description().find("TLS"), std::string::npos);
  }
  {
    UsbClient client(std::move(transport), 5000);
    VersionInfo v;
    Status s;
    ASSERT_EQ(client.version(0x3e, true, v, s), 0);
    EXPECT_EQ(v.tableSize, 40);

    std::vector<DeviceEntry> list;
    PortKey keys[] = {{2, "secretkey"}};
    ASSERT_EQ(client.deviceList(ProofForm::Crypt, keys, list, s), 0);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].device, (DeviceRef{0, 2}));
    EXPECT_EQ(list[0].vendorId(), 0x0781);

    ASSERT_EQ(client.connect({0, 2}, "tester", s), 0);
    EXPECT_TRUE(s.ok());

    uint32_t outTag = 0, inTag = 0;
    Bytes outData = hex("01020304");
    ASSERT_EQ(client.submit({{0, 2}, 0x02, TransferType::Bulk, 0, 4}, outData, outTag), 0);
    ASSERT_EQ(client.submit({{0, 2}, 0x81, TransferType::Bulk, 70000, 0}, {}, inTag), 0);
    UrbResult out, in;
    ASSERT_EQ(client.await(outTag, out), 0);
    EXPECT_TRUE(out.status.ok());
    EXPECT_TRUE(out.data.empty());
    ASSERT_EQ(client.await(inTag, in), 0);
    EXPECT_TRUE(in.status.ok());
    EXPECT_EQ(in.parts, 2u);
    ASSERT_EQ(in.data.size(), 70000u);
    for (size_t i = 0; i < in.data.size(); ++i) ASSERT_EQ(in.data[i], i % 251) << i;

    Event e;
    ASSERT_TRUE(client.takeEvent(e));
    EXPECT_EQ(e.code, static_cast<uint32_t>(EventCode::DeviceGone));
    EXPECT_EQ(e.device, (DeviceRef{5, 7}));

    ASSERT_EQ(client.disconnect({0, 2}, s), 0);
    EXPECT_TRUE(s.ok());
  }
  EXPECT_EQ(server.finish(), "");
}

TEST(UsbClientFakeServer, ListConnectBulkOverTcpWithSplitReplies) { runListConnectBulk(nullptr); }

TEST(UsbClientFakeServer, ListConnectBulkOverTls) {
  TestCertificate cert;
  ASSERT_TRUE(cert.ok());
  runListConnectBulk(&cert);
}

TEST(UsbClientFakeServer, ListConnectBulkOverTlsWithTheServerCertificateChecked) {
  TestCertificate cert;
  ASSERT_TRUE(cert.ok());
  runListConnectBulk(&cert, cert.cert());
}

TEST(UsbClientFakeServer, ServerWithAnUntrustedCertificateIsRefused) {
  TestCertificate cert, other("other");
  ASSERT_TRUE(cert.ok());
  ASSERT_TRUE(other.ok());
  FakeServer server({}, &cert, true);
  ServerAddress addr;
  addr.host = "127.0.0.1";
  addr.port = server.port();
  addr.tls = true;
  addr.caFile = other.cert();
  std::string error;
  EXPECT_FALSE(openTransport(addr, error));
  EXPECT_NE(error.find("certificate verify failed"), std::string::npos) << error;
  EXPECT_EQ(server.finish(), "TLS handshake failed");
}

TEST(UsbClientFakeServer, ServerClosingMidReplyIsReported) {
  FakeServer server({{hex("00000000 00000017 00000001 00000000"),
                      {hex("00000000 00001017 00000001 00000004")}}},
                    nullptr, true);
  ServerAddress addr;
  addr.host = "127.0.0.1";
  addr.port = server.port();
  std::string error;
  auto t = openTransport(addr, error);
  ASSERT_TRUE(t) << error;
  UsbClient client(std::move(t), 5000);
  uint32_t mask;
  Status s;
  EXPECT_EQ(client.connectedMask(mask, s), kPeerClosed);
  EXPECT_EQ(client.resetDevice({0, 1}, s), kPeerClosed);
  EXPECT_EQ(server.finish(), "");
}

TEST(UsbClientFakeServer, RefusedConnectionIsReported) {
  // A port that was just free has no listener.
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
  ::close(fd);
  ServerAddress addr;
  addr.host = "127.0.0.1";
  addr.port = ntohs(a.sin_port);
  std::string error;
  EXPECT_FALSE(openTransport(addr, error));
  EXPECT_NE(error.find("cannot connect"), std::string::npos) << error;
}

}  // namespace
