// StreamConnection over loopback TCP: reads and writes with their time-outs
// and results, files, and TLS sessions against the openssl tool and a
// hand-driven client.
#include "core/stream_connection.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "core/byte_buffer.h"
#include "core/paths.h"
#include "core/task_message.h"
#include "tests/core/tls_test_support.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_task.h"

using namespace tlstest;

namespace {

using Clock = std::chrono::steady_clock;

int64_t msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

double threadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string text(const ByteBuffer& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(buffer.length()));
}

bool sendText(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 1000);
      continue;
    }
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Everything the peer socket receives until the other end closes.
std::string receiveAll(int fd, int timeoutMs) {
  std::string all;
  char chunk[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return all;
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return all;
    all.append(chunk, static_cast<size_t>(n));
  }
}

int pendingBytes(int fd) {
  int pending = 0;
  ::ioctl(fd, FIONREAD, &pending);
  return pending;
}

void waitForPending(int fd, int bytes) {
  for (int i = 0; i < 200 && pendingBytes(fd) < bytes; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// A client StreamConnection connected to a raw socket of the test.
class StreamConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);
    connect(nullptr);
  }
  void connect(Task* owner) {
    client_.emplace(owner, nullptr, -1);
    ASSERT_EQ(client_->open(AF_INET, SOCK_STREAM, 0), 1);
    ASSERT_EQ(client_->setNonBlocking(), 1);
    client_->peer().parse("127.0.0.1");
    client_->peer().setPort(static_cast<uint16_t>(listener_.port()));
    ASSERT_EQ(client_->connectSession(100, nullptr), 1);
    EXPECT_EQ(client_->state(), kStateConnected);
    if (peer_ >= 0) ::close(peer_);
    peer_ = listener_.accept(2000);
    ASSERT_GE(peer_, 0);
  }
  void TearDown() override {
    if (peer_ >= 0) ::close(peer_);
  }
  // Small socket buffers, so that a peer that does not read stops a writer soon.
  void shrinkBuffers() {
    int size = 4096;
    ::setsockopt(client_->descriptor(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::setsockopt(peer_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }

  LoopbackListener listener_;
  std::optional<StreamConnection> client_;
  int peer_ = -1;
};

TEST_F(StreamConnectionTest, ReadsWhatIsThereThenReportsThePeerClose) {
  ByteBuffer buffer;
  EXPECT_EQ(client_->read(&buffer, 0, true), 0);
  EXPECT_EQ(buffer.data(), nullptr);

  ASSERT_TRUE(sendText(peer_, "hello"));
  EXPECT_EQ(client_->readBuffer(&buffer, 100), 5);
  EXPECT_EQ(text(buffer), "hello");

  ::close(peer_);
  peer_ = -1;
  EXPECT_EQ(client_->readBuffer(&buffer, 100), kResultPeerClosed);
  EXPECT_EQ(buffer.data(), nullptr);
}

TEST_F(StreamConnectionTest, ASilentPeerTimesOutTheRead) {
  ByteBuffer buffer;
  auto start = Clock::now();
  EXPECT_EQ(client_->readBuffer(&buffer, 20), kResultTimeout);
  EXPECT_GE(msSince(start), 150);
  EXPECT_EQ(client_->errorKind(), kErrorTimeout);
  EXPECT_EQ(buffer.data(), nullptr);
}

TEST_F(StreamConnectionTest, GrowingReadTakesAllThatIsPendingAndALentOneNoMore) {
  ASSERT_TRUE(sendText(peer_, std::string(5000, 'g')));
  waitForPending(client_->descriptor(), 5000);
  ByteBuffer buffer;
  EXPECT_EQ(client_->readBuffer(&buffer, 100), 5000);
  EXPECT_EQ(buffer.capacity(), 5000);

  ASSERT_TRUE(sendText(peer_, std::string(100, 'l')));
  waitForPending(client_->descriptor(), 100);
  char memory[16];
  std::memset(memory, '#', sizeof memory);
  EXPECT_EQ(client_->readBytes(memory, 10, 100), 10);
  EXPECT_EQ(std::string(memory, 10), std::string(10, 'l'));
  EXPECT_EQ(std::string(memory + 10, 6), "######");
  EXPECT_EQ(client_->readBytes(memory, 16, 0), 16);
}

TEST_F(StreamConnectionTest, WriteOnceReturnsAfterTheFirstShortWrite) {
  shrinkBuffers();
  std::string big(4 << 20, 'w');
  int written = client_->writeAll(big.data(), static_cast<int>(big.size()), 100, true);
  EXPECT_GT(written, 0);
  EXPECT_LT(written, static_cast<int>(big.size()));
  EXPECT_EQ(client_->bytesWritten(), written);
}

TEST_F(StreamConnectionTest, WriteToAPeerThatStopsReadingTimesOut) {
  shrinkBuffers();
  std::string big(4 << 20, 'w');
  auto start = Clock::now();
  EXPECT_EQ(client_->writeAll(big.data(), static_cast<int>(big.size()), 20, false), -1);
  EXPECT_GE(msSince(start), 150);
  EXPECT_LT(msSince(start), 6000);  // a loaded machine is slow, never early
}

TEST_F(StreamConnectionTest, WriteWithoutTimeLimitWaitsWithoutSpinning) {
  int size = 65536;
  ::setsockopt(client_->descriptor(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  std::string big(8 << 20, 'w');
  std::string received;
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    received = receiveAll(peer_, 1000);
  });
  double cpu = threadCpuSeconds();
  EXPECT_EQ(client_->writeAll(big.data(), static_cast<int>(big.size()), 0, false),
            static_cast<int>(big.size()));
  EXPECT_LT(threadCpuSeconds() - cpu, 0.2);
  client_->closeSession();
  reader.join();
  EXPECT_EQ(received.size(), big.size());
}

TEST_F(StreamConnectionTest, SendFileCopiesEveryByteUpToTheEnd) {
  TempRoot root;
  for (size_t size : {size_t(0), size_t(100), size_t(7300), size_t(20000)}) {
    SCOPED_TRACE(size);
    connect(nullptr);
    std::string content(size, 'f');
    for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>('a' + i % 26);
    std::string path = root.makeDirs("/var") + "/file" + std::to_string(size);
    FILE* file = std::fopen(path.c_str(), "w");
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
    int fd = ::open(path.c_str(), O_RDONLY);
    EXPECT_EQ(client_->sendFile(fd), 1);
    ::close(fd);
    client_->closeSession();
    EXPECT_EQ(receiveAll(peer_, 1000), content);
  }
}

// A pipe hands out whatever was written so far: short blocks are not its end.
TEST_F(StreamConnectionTest, SendFileOfAPipeWaitsForItsEnd) {
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  std::thread writer([&] {
    for (int i = 0; i < 5; ++i) {
      std::string piece(1000, static_cast<char>('0' + i));
      EXPECT_EQ(::write(pipeFds[1], piece.data(), piece.size()), 1000);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::close(pipeFds[1]);
  });
  EXPECT_EQ(client_->sendFile(pipeFds[0]), 1);
  writer.join();
  ::close(pipeFds[0]);
  client_->closeSession();
  EXPECT_EQ(receiveAll(peer_, 1000).size(), 5000u);
}

TEST_F(StreamConnectionTest, WithoutASocketEveryTransferSaysSo) {
  StreamConnection none(nullptr, nullptr, -1);
  ByteBuffer buffer;
  EXPECT_EQ(none.readBuffer(&buffer, 10), kResultNoSocket);
  EXPECT_EQ(none.tlsRead(nullptr, 0, 0), kResultIoError);
  EXPECT_EQ(none.tlsVersionName(), "");
  char description[200];
  EXPECT_EQ(none.tlsDescription(description, sizeof description), 0);
}

// A settings change that ends a read's wait gives the time-out code, never
// a byte count.
TEST_F(StreamConnectionTest, ASettingsChangeEndsAReadWithTheTimeOutCode) {
  std::atomic<int> result{1};
  std::atomic<bool> waiting{false};
  RunningTestTask task(
      [&](TestTask& self) {
        connect(&self);
        waiting = true;
        ByteBuffer buffer;
        result = client_->readBuffer(&buffer, -1);
        client_.reset();
      },
      MSG_PARAMS_CHANGED);
  while (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(task.post(MSG_PARAMS_CHANGED), 0);
  ASSERT_TRUE(task.wait(std::chrono::seconds(5)));
  EXPECT_EQ(result.load(), kResultTimeout);
}

// A listening StreamConnection on 127.0.0.1 with an ephemeral port.
class LoopbackStreamListener {
 public:
  explicit LoopbackStreamListener(Task* owner = nullptr) : listener_(owner, nullptr, -1) {
    listener_.open(AF_INET, SOCK_STREAM, 0);
    listener_.bind(0, true, -1);
    listener_.setNonBlocking();
    listener_.listen(StreamConnection::kListenBacklog);
  }
  StreamConnection& get() { return listener_; }
  int port() const { return listener_.local().port(); }

 private:
  StreamConnection listener_;
};

class StreamTlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);
    ASSERT_TRUE(makeSelfSigned(flash("cert_srv.pem"), flash("cert_pkey.pem"), 1024, "/CN=own"));
  }
  std::string flash(const std::string& name) const { return root_.makeDirs("/flash") + "/" + name; }

  // Accepts one connection from a hand-driven client and runs the handshake.
  void establish() {
    client_.emplace(connectLoopback(listener_.port()));
    accepted_ = listener_.get().acceptSession();
    ASSERT_TRUE(accepted_);
    int shaken = 0;
    std::thread server([&] { shaken = accepted_->tlsAccept(TlsSettings{}, 300); });
    bool ok = client_->handshake(3000);
    server.join();
    ASSERT_TRUE(ok);
    ASSERT_EQ(shaken, 1);
  }

  TempRoot root_;
  LoopbackStreamListener listener_;
  std::optional<ManualClient> client_;
  std::unique_ptr<StreamConnection> accepted_;
};

TEST_F(StreamTlsTest, ServerSessionWithOpensslClient) {
  OpensslProcess client({"s_client", "-connect", "127.0.0.1:" + std::to_string(listener_.port()),
                         "-quiet"});
  std::unique_ptr<StreamConnection> accepted = listener_.get().acceptSession();
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->state(), kStateConnected);
  EXPECT_STREQ(accepted->peer().text(), "127.0.0.1");
  ASSERT_EQ(accepted->tlsAccept(TlsSettings{}, 300), 1);
  EXPECT_EQ(accepted->tlsVersionName(), "TLSv1.3");
  char description[300];
  ASSERT_EQ(accepted->tlsDescription(description, sizeof description), 1);
  EXPECT_EQ(std::string(description).rfind("TLSv1.3 TLS_", 0), 0u) << description;

  client.send("ping\n");
  ByteBuffer buffer;
  ASSERT_EQ(accepted->readBuffer(&buffer, 300), 5);
  EXPECT_EQ(text(buffer), "ping\n");
  EXPECT_EQ(accepted->writeAll("pong\n", 5, 300, false), 5);
  EXPECT_EQ(accepted->bytesWritten(), 5);
  EXPECT_TRUE(client.waitForOutput("pong", 3000));

  int fd = accepted->descriptor();
  accepted->closeSession();
  EXPECT_EQ(accepted->descriptor(), -1);
  EXPECT_EQ(accepted->tlsSession(), nullptr);
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // closed once, by the connection
  EXPECT_GE(client.waitExit(3000), 0);  // the close ended the client
}

TEST_F(StreamTlsTest, HalfARecordTimesOutTheRead) {
  establish();
  std::string record = client_->seal("hello");
  ASSERT_TRUE(client_->sendRaw(record.substr(0, record.size() / 2)));
  ByteBuffer buffer;
  auto start = Clock::now();
  EXPECT_EQ(accepted_->readBuffer(&buffer, 30), kResultTimeout);
  EXPECT_GE(msSince(start), 250);
  EXPECT_EQ(accepted_->errorKind(), kErrorTimeout);
  ASSERT_TRUE(client_->sendRaw(record.substr(record.size() / 2)));
  EXPECT_EQ(accepted_->readBuffer(&buffer, 100), 5);
  EXPECT_EQ(text(buffer), "hello");
}

TEST_F(StreamTlsTest, DecryptedBytesComeInChunksWithoutWaiting) {
  establish();
  ASSERT_TRUE(client_->sendRaw(client_->seal(std::string(10000, 'd'))));
  ByteBuffer buffer;
  EXPECT_EQ(accepted_->readBuffer(&buffer, 100), StreamConnection::kTlsChunk);
  EXPECT_EQ(accepted_->tlsSession()->pending(), 10000 - StreamConnection::kTlsChunk);
  EXPECT_EQ(accepted_->readBuffer(&buffer, 0), 10000 - StreamConnection::kTlsChunk);
  EXPECT_EQ(accepted_->readBuffer(&buffer, 0), 0);
  EXPECT_EQ(buffer.data(), nullptr);
}

TEST_F(StreamTlsTest, PeerCloseGivesMinusThree) {
  establish();
  client_->closeSocket();
  ByteBuffer buffer;
  EXPECT_EQ(accepted_->readBuffer(&buffer, 100), kResultPeerClosed);
}

TEST_F(StreamTlsTest, ClientSessionWithOpensslServer) {
  ASSERT_TRUE(makeSelfSigned(flash("peer.pem"), flash("peer.key"), 2048, "/CN=peer"));
  OpensslServer server(flash("peer.pem"), flash("peer.key"), {"-rev"});
  ASSERT_GT(server.port(), 0);
  StreamConnection client(nullptr, nullptr, -1);
  ASSERT_EQ(client.open(AF_INET, SOCK_STREAM, 0), 1);
  client.setNonBlocking();
  client.peer().parse("127.0.0.1");
  client.peer().setPort(static_cast<uint16_t>(server.port()));
  TlsSettings tls12{TlsMethod::Tls12, 4};
  ASSERT_EQ(client.connectSession(100, &tls12), 1);
  EXPECT_EQ(client.lastTlsResult(), 1);
  EXPECT_EQ(client.tlsVersionName(), "TLSv1.2");
  EXPECT_EQ(client.writeAll("hello\n", 6, 300, false), 6);
  ByteBuffer buffer;
  std::string reply;
  while (reply.find("olleh") == std::string::npos && client.readBuffer(&buffer, 300) > 0)
    reply += text(buffer);
  EXPECT_NE(reply.find("olleh"), std::string::npos) << reply;
  client.closeSession();
}

}  // namespace
