// Connection over UNIX datagram sockets: no network needed.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "core/byte_buffer.h"
#include "core/connection.h"
#include "core/paths.h"
#include "core/task_message.h"
#include "core/unique_fd.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_task.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double threadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

bool exists(const std::string& path) {
  struct stat status{};
  return ::lstat(path.c_str(), &status) == 0;
}

class ConnectionUnix : public TempRootTest {
 protected:
  void SetUp() override { root_.makeDirs("/var"); }

  // a sends to b; both bound under the root's /var
  void openPair(Connection& a, Connection& b, Task* owner = nullptr) {
    a.init(owner, nullptr, -1);
    b.init(owner, nullptr, -1);
    ASSERT_EQ(a.openUnixDatagram(), 1);
    ASSERT_EQ(b.openUnixDatagram(), 1);
    ASSERT_EQ(a.connectUnix(b.unixPath().c_str()), 1);
  }

  // fills a's send queue to b
  static int fill(Connection& a) {
    a.setNonBlocking();
    const std::string datagram(1000, 'f');
    int sent = 0;
    while (a.sendAll(datagram.data(), static_cast<int>(datagram.size()), true) > 0) ++sent;
    return sent;
  }
};

TEST_F(ConnectionUnix, OpensDistinctPathsUnderTheRoot) {
  Connection first(nullptr, nullptr, -1), second(nullptr, nullptr, -1);
  ASSERT_EQ(first.openUnixDatagram(), 1);
  ASSERT_EQ(second.openUnixDatagram(), 1);
  EXPECT_NE(first.unixPath(), second.unixPath());
  const std::string prefix = sysPath("/var/unixsock_") + std::to_string(::getpid()) + "-";
  EXPECT_EQ(first.unixPath().rfind(prefix, 0), 0u) << first.unixPath();
  EXPECT_EQ(first.family(), AF_UNIX);
  EXPECT_EQ(first.type(), SOCK_DGRAM);
  EXPECT_TRUE(exists(first.unixPath()));
  const std::string path = first.unixPath();
  first.dispose();
  EXPECT_FALSE(exists(path));  // nothing left behind
  EXPECT_EQ(first.descriptor(), -1);
  EXPECT_EQ(first.close(), 0);  // no descriptor any more
}

TEST_F(ConnectionUnix, RefusesOverlongPaths) {
  Connection connection(nullptr, nullptr, -1);
  const std::string longPath = sysPath("/var/") + std::string(120, 'x');
  EXPECT_EQ(connection.openUnixDatagram(longPath.c_str()), 0);
  EXPECT_EQ(connection.descriptor(), -1);
  ASSERT_EQ(connection.openUnixDatagram(), 1);
  const std::string tooLong(106, 'y');
  EXPECT_EQ(connection.connectUnix(tooLong.c_str()), 0);
}

TEST_F(ConnectionUnix, TakesOverOnlyAStaleSocketFile) {
  const std::string path = sysPath("/var/wifi_ctrl");
  Connection live(nullptr, nullptr, -1);
  ASSERT_EQ(live.openUnixDatagram(path.c_str()), 1);
  Connection intruder(nullptr, nullptr, -1);
  EXPECT_EQ(intruder.openUnixDatagram(path.c_str()), 0);  // live socket kept
  EXPECT_TRUE(exists(path));

  // a socket file nobody serves any more
  const std::string stale = sysPath("/var/stale");
  {
    const UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, stale.c_str());
    ASSERT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  ASSERT_TRUE(exists(stale));
  Connection successor(nullptr, nullptr, -1);
  EXPECT_EQ(successor.openUnixDatagram(stale.c_str()), 1);
}

TEST_F(ConnectionUnix, ConnectRemovesOnlyARefusingSocketFile) {
  Connection client(nullptr, nullptr, -1);
  ASSERT_EQ(client.openUnixDatagram(), 1);

  Connection server(nullptr, nullptr, -1);
  const std::string live = sysPath("/var/wifi/wlan0");
  root_.makeDirs("/var/wifi");
  ASSERT_EQ(server.openUnixDatagram(live.c_str()), 1);
  ASSERT_EQ(client.connectUnix(live.c_str()), 1);
  EXPECT_EQ(client.state(), kStateConnected);
  EXPECT_TRUE(exists(live));

  // A live server of another socket type: the connect fails (EPROTOTYPE),
  // but somebody serves the file, so it must stay.
  const std::string stream = sysPath("/var/wifi/stream");
  const UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM, 0));
  {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, stream.c_str());
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener.get(), 1), 0);
  }
  Connection mismatched(nullptr, nullptr, -1);
  ASSERT_EQ(mismatched.openUnixDatagram(), 1);
  EXPECT_EQ(mismatched.connectUnix(stream.c_str()), 0);
  EXPECT_TRUE(exists(stream));

  const std::string stale = sysPath("/var/wifi/eth0");
  {
    const UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, stale.c_str());
    ASSERT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  Connection other(nullptr, nullptr, -1);
  ASSERT_EQ(other.openUnixDatagram(), 1);
  EXPECT_EQ(other.connectUnix(stale.c_str()), 0);
  EXPECT_FALSE(exists(stale));  // refused: a leftover

  // a path that is no socket at all fails without being removed
  const std::string plain = root_.writeFile("/var/wifi/plain", "x");
  EXPECT_EQ(other.connectUnix(plain.c_str()), 0);
  EXPECT_TRUE(exists(plain));
}

TEST_F(ConnectionUnix, DatagramRoundTripAndBufferRules) {
  Connection a, b;
  openPair(a, b);
  ByteBuffer buffer;
  const std::string hundred(100, 'h');
  EXPECT_EQ(a.sendAll(hundred.data(), 100, false), 100);
  EXPECT_EQ(b.receive(&buffer, 100), 100);
  EXPECT_EQ(buffer.capacity(), Connection::kDatagramBufferSize);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()), 100), hundred);
  std::uint8_t* const first = buffer.data();

  // at least 1500 bytes free behind 100: the buffer is reused
  EXPECT_EQ(a.sendAll("xyz", 3, false), 3);
  EXPECT_EQ(b.receive(&buffer, 100), 3);
  EXPECT_EQ(buffer.data(), first);

  // a datagram that fills the room exactly is whole
  const std::string full(Connection::kDatagramBufferSize, 'F');
  buffer.release();
  EXPECT_EQ(a.sendAll(full.data(), static_cast<int>(full.size()), false), 4000);
  EXPECT_EQ(b.receive(&buffer, 100), 4000);
  // one byte more was cut: dropped
  const std::string over(Connection::kDatagramBufferSize + 1, 'O');
  EXPECT_EQ(a.sendAll(over.data(), static_cast<int>(over.size()), false), 4001);
  EXPECT_EQ(b.receive(&buffer, 100), -1);
  EXPECT_EQ(buffer.data(), nullptr);

  // a lent buffer is forgotten, never written
  std::uint8_t lent[16] = {};
  buffer.lend(lent, sizeof lent);
  EXPECT_EQ(a.sendAll("lent", 4, false), 4);
  EXPECT_EQ(b.receive(&buffer, 100), 4);
  EXPECT_NE(buffer.data(), lent);
  EXPECT_EQ(lent[0], 0);

  // nothing arrives: -1 after the time-out
  const auto start = Clock::now();
  EXPECT_EQ(b.receive(&buffer, 20), -1);
  EXPECT_EQ(b.errorKind(), kErrorTimeout);
  EXPECT_GE(secondsSince(start), 0.19);
}

TEST_F(ConnectionUnix, ReadChunkReadsUpTo2048Bytes) {
  Connection a, b;
  openPair(a, b);
  ByteBuffer buffer;
  EXPECT_EQ(a.sendAll("chunk", 5, false), 5);
  EXPECT_EQ(b.readChunk(&buffer, 100), 5);
  EXPECT_EQ(buffer.length(), 5);
  EXPECT_GE(buffer.capacity(), Connection::kChunkSize);
  EXPECT_EQ(b.readChunk(&buffer, 5), 0);  // the wait times out
  Connection none;
  EXPECT_EQ(none.readChunk(&buffer, 5), 0);
}

TEST_F(ConnectionUnix, SendVectorWritesAllParts) {
  Connection a, b;
  openPair(a, b);
  char first[] = "head-";
  char second[] = "tail";
  const iovec parts[2] = {{first, 5}, {second, 4}};
  EXPECT_EQ(a.sendVector(parts, 2), 9);
  ByteBuffer buffer;
  EXPECT_EQ(b.receive(&buffer, 100), 9);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()), 9), "head-tail");
}

TEST_F(ConnectionUnix, WaitWithoutSocket) {
  Connection none;
  int code = 0;
  EXPECT_EQ(none.wait4read(100, &code, true), 0);
  EXPECT_EQ(code, kResultNoSocket);
  code = 0;
  EXPECT_EQ(none.wait4write(100, &code, true), 0);
  EXPECT_EQ(code, kResultNoSocket);
  EXPECT_EQ(none.wait4read(100, nullptr, true), 0);
}

TEST_F(ConnectionUnix, WaitForWriteWithZeroTimeoutPollsOnce) {
  Connection a, b;
  openPair(a, b);
  ASSERT_GT(fill(a), 0);
  int code = 0;
  const auto start = Clock::now();
  EXPECT_EQ(a.wait4write(0, &code, true), 1);  // let the writer try again
  EXPECT_EQ(code, kResultTimeout);
  EXPECT_EQ(a.errorKind(), kErrorTimeout);
  EXPECT_LT(secondsSince(start), 0.1);
  code = 0;
  EXPECT_EQ(a.wait4write(30, &code, true), 0);
  EXPECT_EQ(code, kResultTimeout);
  EXPECT_GE(secondsSince(start), 0.29);
  code = 0;
  EXPECT_EQ(b.wait4write(0, &code, true), 1);  // b's own queue is empty
  EXPECT_EQ(code, 0);
}

TEST_F(ConnectionUnix, WaitServesMessagesAndBoundsTheWholeWait) {
  root_.makeDirs("/var");
  std::atomic<int> result{-1}, code{0}, kind{0};
  std::atomic<double> elapsed{0};
  RunningTestTask task([&](TestTask& self) {
    Connection a, b;
    openPair(a, b, &self);
    int out = 0;
    const auto start = Clock::now();
    result = b.wait4read(100, &out, true);
    elapsed = secondsSince(start);
    code = out;
    kind = b.errorKind();
  });
  ASSERT_GT(task.id(), 0);
  for (int i = 0; i < 4; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(task.post(MSG_ADDRESS_CHANGED), 0);
  }
  ASSERT_TRUE(task.wait());
  EXPECT_TRUE(task.finished());
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(code.load(), kResultTimeout);
  EXPECT_EQ(kind.load(), kErrorTimeout);
  EXPECT_GE(elapsed.load(), 0.99);
  EXPECT_LT(elapsed.load(), 1.4);
  EXPECT_EQ(task.handledTypes().size(), 4u);
}

TEST_F(ConnectionUnix, ParamsChangedEndsTheWaitWithADefinedCode) {
  struct Outcome { int result = -1; int code = 0; double elapsed = 0; };
  Outcome read, write, readable;
  std::atomic<int> stage{0};
  RunningTestTask task(
      [&](TestTask& self) {
        Connection a, b;
        openPair(a, b, &self);
        const auto start = Clock::now();
        read.code = 12345;
        read.result = b.wait4read(-1, &read.code, true);
        read.elapsed = secondsSince(start);
        fill(a);
        stage = 1;
        write.code = 12345;
        write.result = a.wait4write(-1, &write.code, true);
        // data waiting and the message: the wait reports the data
        a.setBlocking();
        ByteBuffer drain;
        while (b.receive(&drain, 0) > 0) {
        }
        EXPECT_EQ(a.sendAll("d", 1, false), 1);
        stage = 2;
        while (stage.load() != 3) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        readable.code = 12345;
        readable.result = b.wait4read(-1, &readable.code, true);
      },
      MSG_PARAMS_CHANGED);
  ASSERT_GT(task.id(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(task.post(MSG_PARAMS_CHANGED), 0);
  while (stage.load() != 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(task.post(MSG_PARAMS_CHANGED), 0);
  while (stage.load() != 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(task.post(MSG_PARAMS_CHANGED), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  stage = 3;
  ASSERT_TRUE(task.wait());
  EXPECT_EQ(read.result, 0);
  EXPECT_EQ(read.code, kResultTimeout);
  EXPECT_LT(read.elapsed, 1.0);
  EXPECT_EQ(write.result, 0);
  EXPECT_EQ(write.code, kResultTimeout);
  EXPECT_EQ(readable.result, 1);
  EXPECT_EQ(readable.code, 12345);  // a ready socket writes no code
}

TEST_F(ConnectionUnix, TerminateInsideAWaitEndsTheTaskAndClosesTheSocket) {
  std::string path;
  std::atomic<bool> waiting{false};
  RunningTestTask task([&](TestTask& self) {
    Connection connection(&self, nullptr, -1);
    ASSERT_EQ(connection.openUnixDatagram(), 1);
    path = connection.unixPath();
    waiting = true;
    connection.wait4read(-1, nullptr, true);
    ADD_FAILURE() << "the wait returned after a terminate message";
  });
  while (!waiting.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(task.post(MSG_TERMINATE), 0);
  ASSERT_TRUE(task.wait());
  EXPECT_FALSE(task.finished());
  EXPECT_FALSE(exists(path));  // the connection was destroyed while unwinding
}

TEST_F(ConnectionUnix, SendAllOnAFullSocketSleepsInsteadOfSpinning) {
  Connection a, b;
  openPair(a, b);
  fill(a);
  std::thread drainer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ByteBuffer buffer;
    for (int i = 0; i < 4; ++i) b.receive(&buffer, 100);
  });
  const double cpuBefore = threadCpuSeconds();
  const auto start = Clock::now();
  const std::string datagram(1000, 's');
  EXPECT_EQ(a.sendAll(datagram.data(), 1000, false), 1000);
  const double cpu = threadCpuSeconds() - cpuBefore;
  EXPECT_GE(secondsSince(start), 0.25);
  EXPECT_LT(cpu, 0.05);
  drainer.join();
}

TEST_F(ConnectionUnix, SendAllWithOnceStopsAfterOneCall) {
  Connection a, b;
  openPair(a, b);
  fill(a);
  EXPECT_EQ(a.sendAll("x", 1, true), 0);  // would block: nothing sent, no wait
  Connection unconnected(nullptr, nullptr, -1);
  ASSERT_EQ(unconnected.openUnixDatagram(), 1);
  EXPECT_LT(unconnected.sendAll("x", 1, false), 0);  // no peer: the system error
}

}  // namespace
