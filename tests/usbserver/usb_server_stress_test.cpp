// Several clients connect, take devices from each other, move data and
// disconnect while devices are unplugged and plugged again and the
// administrator disconnects ports, all at once. Every client's stream must
// stay intact (its decoder never meets a malformed frame, no reply goes
// missing) and, once the clients are gone, nothing is left behind.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <span>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/usbserver/usb_server_netns.h"
#include "tools/usbclient/wire.h"
#include "usbserver/urb_record.h"
#include "usbserver/usb_device.h"
#include "usbserver/usb_device_table.h"

using namespace usbclient;
using namespace usbtest;

namespace {

constexpr int kPorts = 4;
constexpr int kClients = 6;
constexpr auto kDuration = std::chrono::seconds(4);
constexpr int kReplyTimeoutMs = 15000;

class UsbServerStress : public UsbServerNetns {
 protected:
  UsbServerStress() : UsbServerNetns(kPorts) {}
};

// What went wrong in one client; empty when nothing did.
struct Failures {
  std::mutex mutex;
  std::vector<std::string> list;
  void add(const std::string& what) {
    std::lock_guard<std::mutex> guard(mutex);
    if (list.size() < 20) list.push_back(what);
  }
};

// One client's loop: any negative result is a broken stream (a malformed
// frame, a lost reply, a connection the server ended).
class ClientLoop {
 public:
  ClientLoop(int id, std::unique_ptr<usbclient::UsbClient> client, Failures& failures)
      : id_(id), client_(std::move(client)), failures_(failures), random_(static_cast<unsigned>(id * 7919)) {}

  bool step() {
    std::vector<DeviceEntry> list;
    Status status;
    if (!check(client_->deviceList({}, list, status), "device list")) return false;
    if (list.empty()) return true;
    const DeviceRef device = list[random_() % list.size()].device;
    if (!check(client_->connect(device, "stress", status), "connect")) return false;
    if (!status.ok()) return true;  // unplugged or gone meanwhile
    if (!check(client_->setConfiguration(device, 1, {}, status), "set configuration")) return false;
    const int transfers = static_cast<int>(random_() % 4);
    for (int i = 0; i < transfers; ++i) {
      const uint32_t size = 1 + random_() % 70000;
      Bytes data(size, static_cast<uint8_t>(id_));
      UrbRequest out;
      out.device = device;
      out.endpoint = 0x01;
      out.outLength = size;
      UrbResult result;
      bool ended = false;
      if (!check(transfer(out, data, result, ended), "bulk OUT")) return false;
      if (ended || !result.status.ok()) break;  // taken over, unplugged or disconnected
      UrbRequest in = out;
      in.endpoint = 0x82;
      in.outLength = 0;
      in.inLength = size;
      if (!check(transfer(in, {}, result, ended), "bulk IN")) return false;
      if (ended || !result.status.ok()) break;
      if (result.data.size() > size) failures_.add("IN longer than asked");
    }
    if (random_() % 2 == 0) {
      if (!check(client_->disconnect(device, status), "disconnect")) return false;
    }
    takeEvents();
    return true;
  }

  int events() const { return events_; }

 private:
  // A transfer whose device was taken from this client (the server then
  // tells it with an event) may never complete: like a real client, this
  // one stops waiting once the event arrived. Without one, every transfer
  // must come back.
  int transfer(const UrbRequest& urb, std::span<const uint8_t> out, UrbResult& result, bool& ended) {
    ended = false;
    uint32_t tag = 0;
    if (const int sent = client_->submit(urb, out, tag); sent != 0) return sent;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
    for (;;) {
      const int got = client_->await(tag, result, 500);
      if (got != kTimeout) return got;
      if (takeEvents(urb.device)) {
        ended = true;
        return 0;
      }
      if (std::chrono::steady_clock::now() > until) return kTimeout;
    }
  }

  // Takes the events received so far; true when one named `device`.
  bool takeEvents(std::optional<DeviceRef> device = std::nullopt) {
    bool named = false;
    Event event;
    while (client_->takeEvent(event)) {
      if (event.code != static_cast<uint32_t>(EventCode::DeviceGone) &&
          event.code != static_cast<uint32_t>(EventCode::AdminDisconnect)) {
        failures_.add("unknown event " + std::to_string(event.code));
      }
      named = named || (device && event.device == *device);
      ++events_;
    }
    return named;
  }

  bool check(int result, const char* what) {
    if (result == 0) return true;
    failures_.add("client " + std::to_string(id_) + " " + what + ": " + clientErrorText(result));
    return false;
  }

  int id_;
  std::unique_ptr<usbclient::UsbClient> client_;
  Failures& failures_;
  std::minstd_rand random_;
  int events_ = 0;
};

TEST_F(UsbServerStress, ClientsTakeOverAndDisconnectWhileDevicesComeAndGo) {
  for (int port = 1; port <= kPorts; ++port) plug("key", port);
  const int population = urbPopulation.load();
  startServer();

  Failures failures;
  std::vector<std::unique_ptr<ClientLoop>> loops;
  for (int i = 0; i < kClients; ++i) {
    auto client = connectClient(i % 2 ? Link::Tls : Link::Tcp, kReplyTimeoutMs);
    ASSERT_TRUE(client) << i;
    loops.push_back(std::make_unique<ClientLoop>(i, std::move(client), failures));
  }

  std::atomic<bool> running{true};
  std::atomic<int> steps{0};
  std::vector<std::thread> threads;
  for (auto& loop : loops) {
    threads.emplace_back([&, raw = loop.get()] {
      while (running.load() && raw->step()) steps.fetch_add(1);
    });
  }
  // One port's device comes and goes; the administrator disconnects another.
  threads.emplace_back([&] {
    std::minstd_rand random(17);
    while (running.load()) {
      const int port = 1 + static_cast<int>(random() % kPorts);
      host_->unplug("1-1." + std::to_string(port));
      std::this_thread::sleep_for(std::chrono::milliseconds(30 + random() % 100));
      plug("key", port);
      std::this_thread::sleep_for(std::chrono::milliseconds(30 + random() % 100));
      server_->disconnectPort(1 + static_cast<int>(random() % kPorts));
    }
  });
  std::this_thread::sleep_for(kDuration);
  running = false;
  for (auto& thread : threads) thread.join();
  {
    std::lock_guard<std::mutex> guard(failures.mutex);
    for (const std::string& failure : failures.list) ADD_FAILURE() << failure;
  }
  EXPECT_GT(steps.load(), kClients);

  loops.clear();  // every client closes its connection
  for (int i = 0; i < 500 && server_->connectionCount() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(server_->connectionCount(), 0);
  UsbDeviceTable& table = server_->table();
  for (int i = 0; i < table.size(); ++i) {
    UsbDevice& entry = table.entry(i);
    std::lock_guard<std::mutex> guard(entry.mutex);
    EXPECT_NE(entry.state.load(), USB_DEV_CONNECTED) << i;
    EXPECT_EQ(entry.owner, nullptr) << i;
    EXPECT_LT(entry.node, 0) << i;
    EXPECT_TRUE(entry.transfers.empty()) << i;
  }
  EXPECT_EQ(urbPopulation.load(), population);
  for (const SimDeviceStatus& device : host_->devices()) {
    EXPECT_EQ(device.pendingUrbs, 0u) << device.name;
  }
}

}  // namespace
