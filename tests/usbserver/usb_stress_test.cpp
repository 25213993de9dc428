// Concurrent use of one device: its owner transfers while scans run, the
// device is unplugged and plugged again, and other clients take it over.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <thread>

#include "core/paths.h"
#include "sim/usb/sim_usb_host.h"
#include "sim/usb/sim_usb_models.h"
#include "usb_test_support.h"
#include "usbserver/urb_engine.h"
#include "usbserver/urb_record.h"
#include "usbserver/usb_device_table.h"

namespace {

class NoHid : public UsbDiscoverySettings {
 public:
  bool listHidDevices() const override { return false; }
};

// A clock that advances with every reading, so gone entries are reset.
class RunningClock : public UsbClock {
 public:
  int64_t now() override { return now_.fetch_add(5); }
  void wait(int64_t ticks) override {
    now_.fetch_add(ticks);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

 private:
  std::atomic<int64_t> now_{0};
};

class QuietEvents : public UsbDeviceEvents {
 public:
  void onUsbDevicePlugged(int) override {}
  void onUsbDeviceRemoved(int) override {}
  void onUsbDeviceDisconnected(int) override {}
};

// A client whose completions may arrive from other threads.
class CountingClient : public UsbClient {
 public:
  void sendUrbCompletion(const UrbCompletion&) override { completions.fetch_add(1); }
  void deviceTaken(int, int) override { taken.fetch_add(1); }
  void disconnectRequested(int, int) override {}
  bool peerIpv4(uint8_t a[4]) const override {
    a[0] = 198, a[1] = 18, a[2] = 0, a[3] = 1;
    return true;
  }
  bool isEncrypted() const override { return false; }
  int vlanId() const override { return -1; }
  std::atomic<int> completions{0};
  std::atomic<int> taken{0};
};

TEST(UsbTableStress, TransfersScansUnplugsAndTakeoversRunTogether) {
  TempRoot root;
  SimUsbHost host;
  RunningClock clock;
  QuietEvents events;
  NoHid hid;
  UsbDeviceTable table(host, clock, events, hid, UsbLayout::TwentyPort, UsbLayout::TwentyPort,
                       sysPath("/romfs/usb.ids"));
  UrbEngine engine(table);
  const int population = urbPopulation.load();
  std::string error;
  ASSERT_GT(host.plug(1, "1.2", makeSimUsbModel("key", {}, &error), {}), 0);
  std::atomic<bool> stop{false};

  std::thread scanner([&] {
    while (!stop) {
      table.scanUsbDevices();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  std::thread plugger([&] {
    while (!stop) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      host.unplug("1-1.2");
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      std::string e;
      host.plug(1, "1.2", makeSimUsbModel("key", {}, &e), {});
    }
  });
  auto user = [&](CountingClient& client) {
    while (!stop) {
      int index = -1;
      for (int i = 0; i < table.size(); ++i) {
        if (table.isValidEntry(i, 2)) index = i;
      }
      uint32_t serial = 0;
      if (index < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      table.dropOwner(index);
      if (table.takeDevice(index, client, serial) != UsbResult::ok()) continue;
      for (int round = 0; round < 20 && !stop; ++round) {
        UrbRequest out;
        out.index = index;
        out.port = 2;
        out.endpoint = 0x01;
        out.type = 3;
        out.outLength = 70000;
        out.tag = static_cast<uint32_t>(round);
        BytesSource data(Bytes(70000, 0x5a));
        engine.submitUrb(client, out, data);
        UrbRequest in = out;
        in.endpoint = 0x82;
        in.outLength = 0;
        in.inLength = 70000;
        BytesSource none({});
        engine.submitUrb(client, in, none);
        engine.submitUrb(client, in, none);
        if (round % 5 == 0) engine.discardUrbByTag(client, static_cast<uint32_t>(round));
        for (int k = 0; k < 5; ++k) {
          if (engine.usbSrvPoll(index, serial) < 0) break;
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
      }
      table.releaseDevice(index, &client);
    }
  };
  CountingClient a, b;
  std::thread userA(user, std::ref(a));
  std::thread userB(user, std::ref(b));
  // At least a second and a half, and until transfers came back (a loaded
  // machine may need longer), but never more than twenty seconds.
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(1500) &&
        a.completions.load() + b.completions.load() > 0) {
      break;
    }
  }
  stop = true;
  scanner.join();
  plugger.join();
  userA.join();
  userB.join();
  for (int i = 0; i < table.size(); ++i) table.releaseDevice(i);
  EXPECT_GT(a.completions.load() + b.completions.load(), 0);
  EXPECT_EQ(urbPopulation.load(), population);
}

}  // namespace
