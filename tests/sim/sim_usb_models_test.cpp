// The device models, driven through the simulated usbfs as the server
// drives them: bulk-only storage commands, keyboard reports, the key's
// vendor requests and loopback.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "sim/usb/sim_usb_host.h"
#include "sim/usb/sim_usb_models.h"
#include "tests/sim/sim_test_support.h"

namespace {

class SimModelTest : public ::testing::Test {
 protected:
  int plug(const std::string& model, SimModelOptions options = {}) {
    std::string error;
    const int devnum = host_.plug(1, "1", makeSimUsbModel(model, options, &error), {});
    EXPECT_GT(devnum, 0) << error;
    char node[16];
    std::snprintf(node, sizeof node, "/001/%03d", devnum);
    fd_ = host_.openNode(host_.devBusUsbDir() + node, O_RDWR);
    EXPECT_GE(fd_, 0);
    return fd_;
  }
  void TearDown() override {
    if (fd_ >= 0) host_.closeNode(fd_);
  }
  // One transfer, submitted and reaped: the urb status; *actual the bytes moved.
  int transfer(uint8_t endpoint, void* buffer, size_t length, int* actual = nullptr, int type = 3) {
    usbdevfs_urb urb = bulkUrb(endpoint, buffer, static_cast<int>(length));
    urb.type = static_cast<unsigned char>(type);
    const int rc = host_.submitUrb(fd_, &urb);
    if (rc < 0) return rc;
    usbdevfs_urb* reaped = nullptr;
    if (reapWithin(host_, fd_, &reaped) != 0 || reaped != &urb) {
      host_.discardUrb(fd_, &urb);
      reapWithin(host_, fd_, &reaped);
      return -ETIMEDOUT;
    }
    if (actual) *actual = urb.actual_length;
    return urb.status;
  }
  int control(uint8_t type, uint8_t request, uint16_t value, uint16_t index, std::vector<uint8_t>& data) {
    usbdevfs_ctrltransfer t{};
    t.bRequestType = type;
    t.bRequest = request;
    t.wValue = value;
    t.wIndex = index;
    t.wLength = static_cast<uint16_t>(data.size());
    t.timeout = 1000;
    t.data = data.data();
    return host_.control(fd_, t);
  }

  TempRoot root_;
  SimUsbHost host_;
  int fd_ = -1;
};

// ---- bulk-only mass storage --------------------------------------------

struct Csw {
  uint32_t tag = 0;
  uint32_t residue = 0;
  int status = -1;
};

class SimMassStorageTest : public SimModelTest {
 protected:
  static constexpr uint8_t kIn = 0x81;
  static constexpr uint8_t kOut = 0x02;

  int sendCbw(uint32_t length, bool in, std::vector<uint8_t> cdb) {
    std::vector<uint8_t> cbw(31, 0);
    std::memcpy(cbw.data(), "USBC", 4);
    std::memcpy(&cbw[4], &++tag_, 4);
    std::memcpy(&cbw[8], &length, 4);
    cbw[12] = in ? 0x80 : 0x00;
    cbw[14] = static_cast<uint8_t>(cdb.size());
    std::memcpy(&cbw[15], cdb.data(), cdb.size());
    return transfer(kOut, cbw.data(), cbw.size());
  }
  Csw readCsw() {
    std::vector<uint8_t> csw(512);
    int actual = 0;
    Csw result;
    const int rc = transfer(kIn, csw.data(), csw.size(), &actual);
    if (rc != 0 || actual != 13 || std::memcmp(csw.data(), "USBS", 4) != 0) return result;
    std::memcpy(&result.tag, &csw[4], 4);
    std::memcpy(&result.residue, &csw[8], 4);
    result.status = csw[12];
    return result;
  }
  // A command with an IN data stage that returns all it is asked for.
  std::vector<uint8_t> query(std::vector<uint8_t> cdb, uint32_t length) {
    EXPECT_EQ(sendCbw(length, true, cdb), 0);
    std::vector<uint8_t> data(length);
    int actual = 0;
    EXPECT_EQ(transfer(kIn, data.data(), data.size(), &actual), 0);
    data.resize(static_cast<size_t>(actual));
    const Csw csw = readCsw();
    EXPECT_EQ(csw.status, 0);
    EXPECT_EQ(csw.tag, tag_);
    return data;
  }
  static std::vector<uint8_t> rw10(uint8_t opcode, uint32_t lba, uint16_t blocks) {
    return {opcode, 0, static_cast<uint8_t>(lba >> 24), static_cast<uint8_t>(lba >> 16), static_cast<uint8_t>(lba >> 8),
            static_cast<uint8_t>(lba), 0, static_cast<uint8_t>(blocks >> 8), static_cast<uint8_t>(blocks), 0};
  }
  void writeBlocks(uint32_t lba, const std::vector<uint8_t>& data) {
    ASSERT_EQ(sendCbw(static_cast<uint32_t>(data.size()), false, rw10(0x2A, lba, data.size() / 512)), 0);
    std::vector<uint8_t> copy = data;
    ASSERT_EQ(transfer(kOut, copy.data(), copy.size()), 0);
    const Csw csw = readCsw();
    EXPECT_EQ(csw.status, 0);
    EXPECT_EQ(csw.residue, 0u);
  }

  uint32_t tag_ = 0x100;
};

TEST_F(SimMassStorageTest, ReadAfterWriteReturnsTheDataOnRamAndFileDisks) {
  for (bool fileBacked : {false, true}) {
    SCOPED_TRACE(fileBacked ? "file" : "ram");
    SimModelOptions options;
    options.diskBytes = 1u << 20;
    if (fileBacked) options.diskPath = root_.path() + "/disk.img";
    plug("storage", options);
    std::vector<uint8_t> data(3 * 512);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
    writeBlocks(100, data);
    EXPECT_EQ(query(rw10(0x28, 100, 3), 3 * 512), data);
    EXPECT_EQ(query(rw10(0x28, 99, 1), 512), std::vector<uint8_t>(512, 0));
    EXPECT_EQ(sendCbw(0, false, {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0);  // SYNCHRONIZE CACHE
    EXPECT_EQ(readCsw().status, 0);
    if (fileBacked) {
      std::ifstream file(options.diskPath, std::ios::binary);
      file.seekg(100 * 512);
      std::vector<uint8_t> onDisk(data.size());
      file.read(reinterpret_cast<char*>(onDisk.data()), static_cast<std::streamsize>(onDisk.size()));
      EXPECT_EQ(onDisk, data);
    }
    host_.closeNode(fd_);
    fd_ = -1;
    host_.unplug("1-1");
  }
}

TEST_F(SimMassStorageTest, IdentificationAndCapacityReplies) {
  SimModelOptions options;
  options.diskBytes = 1u << 20;  // 2048 blocks
  plug("storage", options);
  const std::vector<uint8_t> inquiry = query({0x12, 0, 0, 0, 36, 0}, 36);
  ASSERT_EQ(inquiry.size(), 36u);
  EXPECT_EQ(std::vector<uint8_t>(inquiry.begin(), inquiry.begin() + 8),
            (std::vector<uint8_t>{0x00, 0x80, 0x04, 0x02, 31, 0, 0, 0}));
  EXPECT_EQ(std::string(inquiry.begin() + 8, inquiry.end()), "SimDisk Sim Mass Storage1.00");
  EXPECT_EQ(query({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8), (std::vector<uint8_t>{0, 0, 0x07, 0xFF, 0, 0, 0x02, 0}));
  EXPECT_EQ(query({0x23, 0, 0, 0, 0, 0, 0, 0, 12, 0}, 12),
            (std::vector<uint8_t>{0, 0, 0, 8, 0, 0, 0x08, 0, 0x02, 0, 0x02, 0}));
  EXPECT_EQ(query({0x1A, 0, 0x3F, 0, 4, 0}, 4), (std::vector<uint8_t>{3, 0, 0, 0}));
  for (uint8_t opcode : {0x00, 0x1E}) {  // TEST UNIT READY, PREVENT ALLOW MEDIUM REMOVAL
    EXPECT_EQ(sendCbw(0, false, {opcode, 0, 0, 0, 1, 0}), 0);
    EXPECT_EQ(readCsw().status, 0);
  }
  std::vector<uint8_t> lun(1, 0xFF);
  EXPECT_EQ(control(0xA1, 0xFE, 0, 0, lun), 1);
  EXPECT_EQ(lun[0], 0);
}

TEST_F(SimMassStorageTest, FailedCommandsReportTheirSense) {
  SimModelOptions options;
  options.diskBytes = 1u << 20;
  plug("storage", options);
  struct Case {
    std::vector<uint8_t> cdb;
    uint8_t asc;
  };
  const std::vector<Case> cases = {
      {{0xC7, 0, 0, 0, 0, 0}, 0x20},        // unknown operation code
      {rw10(0x28, 2047, 2), 0x21},          // past the last block
      {{0x12, 0x01, 0x80, 0, 36, 0}, 0x24}, // vital product data
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sendCbw(0, false, c.cdb), 0);
    EXPECT_EQ(readCsw().status, 1);
    const std::vector<uint8_t> sense = query({0x03, 0, 0, 0, 18, 0}, 18);
    ASSERT_EQ(sense.size(), 18u);
    EXPECT_EQ(sense[0], 0x70);
    EXPECT_EQ(sense[2], 0x05);  // ILLEGAL REQUEST
    EXPECT_EQ(sense[12], c.asc);
  }
  EXPECT_EQ(query({0x03, 0, 0, 0, 18, 0}, 18)[2], 0);  // reading the sense cleared it
}

TEST_F(SimMassStorageTest, PhaseErrorStallsTheEndpointUntilItsHaltIsCleared) {
  plug("storage");
  ASSERT_EQ(sendCbw(512, true, rw10(0x28, 0, 1)), 0);
  // The device wants to send; OUT data stalls the OUT pipe, and it stays
  // stalled however often the host tries.
  std::vector<uint8_t> data(512, 1);
  EXPECT_EQ(transfer(kOut, data.data(), data.size()), -EPIPE);
  EXPECT_EQ(transfer(kOut, data.data(), data.size()), -EPIPE);
  std::vector<uint8_t> status(2);
  EXPECT_EQ(control(0x82, 0, 0, kOut, status), 2);
  EXPECT_EQ(status[0], 1);  // GET_STATUS shows the halt
  EXPECT_EQ(host_.clearHalt(fd_, kOut), 0);
  int actual = 0;
  EXPECT_EQ(transfer(kIn, data.data(), data.size(), &actual), 0);
  EXPECT_EQ(actual, 512);
  EXPECT_EQ(readCsw().status, 0);
}

TEST_F(SimMassStorageTest, ShortDataStallsBeforeTheStatus) {
  plug("storage");
  ASSERT_EQ(sendCbw(192, true, {0x1A, 0, 0x3F, 0, 192, 0}), 0);
  std::vector<uint8_t> data(192);
  int actual = 0;
  EXPECT_EQ(transfer(kIn, data.data(), data.size(), &actual), 0);
  EXPECT_EQ(actual, 4);
  EXPECT_EQ(readCsw().status, -1);  // the IN pipe stalls
  EXPECT_EQ(readCsw().status, -1);  // and stays stalled
  EXPECT_EQ(host_.clearHalt(fd_, kIn), 0);
  const Csw csw = readCsw();
  EXPECT_EQ(csw.status, 0);
  EXPECT_EQ(csw.residue, 188u);
}

TEST_F(SimMassStorageTest, InvalidCommandBlockStallsBothPipesUntilReset) {
  plug("storage");
  std::vector<uint8_t> junk(30, 0x55);
  EXPECT_EQ(transfer(kOut, junk.data(), junk.size()), -EPIPE);
  EXPECT_EQ(host_.clearHalt(fd_, kOut), 0);
  EXPECT_EQ(host_.clearHalt(fd_, kIn), 0);
  EXPECT_EQ(readCsw().status, -1);
  EXPECT_EQ(sendCbw(0, false, {0x00, 0, 0, 0, 0, 0}), -EPIPE);
  std::vector<uint8_t> none;
  EXPECT_EQ(control(0x21, 0xFF, 0, 0, none), 0);  // bulk-only mass storage reset
  EXPECT_EQ(host_.clearHalt(fd_, kOut), 0);
  EXPECT_EQ(host_.clearHalt(fd_, kIn), 0);
  EXPECT_EQ(sendCbw(0, false, {0x00, 0, 0, 0, 0, 0}), 0);
  EXPECT_EQ(readCsw().status, 0);
}

TEST_F(SimMassStorageTest, WriteLargerThanAPartArrivesInOrder) {
  SimModelOptions options;
  options.diskBytes = 4u << 20;
  plug("storage", options);
  std::vector<uint8_t> data(256 * 512);  // 128 KiB: two 64 KiB parts
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i / 512 + i);
  ASSERT_EQ(sendCbw(static_cast<uint32_t>(data.size()), false, rw10(0x2A, 8, 256)), 0);
  for (size_t offset = 0; offset < data.size(); offset += 65536) {
    ASSERT_EQ(transfer(kOut, data.data() + offset, 65536), 0);
  }
  EXPECT_EQ(readCsw().status, 0);
  EXPECT_EQ(query(rw10(0x28, 8, 256), static_cast<uint32_t>(data.size())), data);
}

// ---- HID keyboard ------------------------------------------------------

TEST_F(SimModelTest, KeyboardInterruptTransferWaitsForAnInjectedReport) {
  plug("keyboard");
  std::vector<uint8_t> report(8, 0xAA);
  usbdevfs_urb urb = bulkUrb(0x81, report.data(), 8);
  urb.type = USBDEVFS_URB_TYPE_INTERRUPT;
  ASSERT_EQ(host_.submitUrb(fd_, &urb), 0);
  EXPECT_FALSE(nodeReady(host_, fd_, 20));
  const std::vector<uint8_t> keyA = {0x02, 0, 0x04};
  ASSERT_EQ(host_.injectReport("1-1", keyA), 0);
  usbdevfs_urb* reaped = nullptr;
  ASSERT_EQ(reapWithin(host_, fd_, &reaped), 0);
  EXPECT_EQ(report, (std::vector<uint8_t>{0x02, 0, 0x04, 0, 0, 0, 0, 0}));
  // Reports injected ahead of the host's transfers queue up in order.
  ASSERT_EQ(host_.injectReport("1-1", std::vector<uint8_t>{0, 0, 0x05}), 0);
  ASSERT_EQ(host_.injectReport("1-1", std::vector<uint8_t>(8, 0)), 0);
  int actual = 0;
  EXPECT_EQ(transfer(0x81, report.data(), 8, &actual, USBDEVFS_URB_TYPE_INTERRUPT), 0);
  EXPECT_EQ(report[2], 0x05);
  EXPECT_EQ(transfer(0x81, report.data(), 8, &actual, USBDEVFS_URB_TYPE_INTERRUPT), 0);
  EXPECT_EQ(report[2], 0x00);
  EXPECT_EQ(host_.injectReport("1-1", std::vector<uint8_t>(9, 0)), -EINVAL);
}

TEST_F(SimModelTest, KeyboardAnswersItsClassRequests) {
  plug("keyboard");
  std::vector<uint8_t> descriptor(255);
  ASSERT_EQ(control(0x81, 6, 0x2200, 0, descriptor), 63);
  EXPECT_EQ(std::vector<uint8_t>(descriptor.begin(), descriptor.begin() + 4), (std::vector<uint8_t>{5, 1, 9, 6}));
  std::vector<uint8_t> none;
  EXPECT_EQ(control(0x21, 0x0A, 0x1900, 0, none), 0);  // SET_IDLE 100 ms
  std::vector<uint8_t> value(1);
  EXPECT_EQ(control(0xA1, 0x02, 0, 0, value), 1);
  EXPECT_EQ(value[0], 0x19);
  EXPECT_EQ(control(0x21, 0x0B, 0, 0, none), 0);  // boot protocol
  EXPECT_EQ(control(0xA1, 0x03, 0, 0, value), 1);
  EXPECT_EQ(value[0], 0);
  std::vector<uint8_t> leds = {0x02};
  EXPECT_EQ(control(0x21, 0x09, 0x0200, 0, leds), 0);
  EXPECT_EQ(control(0x21, 0x33, 0, 0, none), -EPIPE);
}

TEST_F(SimModelTest, StalledEndpointStaysStalledUntilClearHalt) {
  plug("keyboard");
  uint8_t report[8];
  usbdevfs_urb urb = bulkUrb(0x81, report, 8);
  urb.type = USBDEVFS_URB_TYPE_INTERRUPT;
  ASSERT_EQ(host_.submitUrb(fd_, &urb), 0);
  ASSERT_EQ(host_.stallEndpoint("1-1", 0x81), 0);
  usbdevfs_urb* reaped = nullptr;
  ASSERT_EQ(reapWithin(host_, fd_, &reaped), 0);
  EXPECT_EQ(urb.status, -EPIPE);
  ASSERT_EQ(host_.injectReport("1-1", std::vector<uint8_t>{0, 0, 0x06}), 0);
  EXPECT_EQ(transfer(0x81, report, 8, nullptr, USBDEVFS_URB_TYPE_INTERRUPT), -EPIPE);
  EXPECT_EQ(transfer(0x81, report, 8, nullptr, USBDEVFS_URB_TYPE_INTERRUPT), -EPIPE);
  EXPECT_EQ(host_.clearHalt(fd_, 0x81), 0);
  EXPECT_EQ(transfer(0x81, report, 8, nullptr, USBDEVFS_URB_TYPE_INTERRUPT), 0);
  EXPECT_EQ(report[2], 0x06);
}

// ---- vendor loopback key -----------------------------------------------

TEST_F(SimModelTest, KeyAnswersTheChallengeFromItsSecret) {
  plug("key");
  std::vector<uint8_t> answer(8);
  ASSERT_EQ(control(0xC0, 1, 0x1234, 0x0056, answer), 8);
  EXPECT_EQ(answer, (std::vector<uint8_t>{0x11, 0x0A, 0x0D, 0x0A, 0x03, 0x1E, 0x17, 0x0C}));
  // The vendor register keeps what OUT request 1 wrote.
  std::vector<uint8_t> stored = {9, 8, 7};
  EXPECT_EQ(control(0x40, 1, 0, 0, stored), 0);
  std::vector<uint8_t> back(16);
  EXPECT_EQ(control(0xC0, 2, 0, 0, back), 3);
  EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + 3), stored);
  std::vector<uint8_t> none;
  EXPECT_EQ(control(0x40, 7, 0, 0, none), -EPIPE);
}

TEST_F(SimModelTest, KeyLoopsBulkDataBackInOrder) {
  plug("key");
  std::vector<uint8_t> out(100000);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i % 251);
  ASSERT_EQ(transfer(0x01, out.data(), out.size()), 0);
  std::vector<uint8_t> in(131072);
  int first = 0;
  int second = 0;
  ASSERT_EQ(transfer(0x82, in.data(), 65536, &first), 0);
  ASSERT_EQ(transfer(0x82, in.data() + 65536, 65536, &second), 0);
  EXPECT_EQ(first, 65536);
  EXPECT_EQ(second, 100000 - 65536);
  in.resize(100000);
  EXPECT_EQ(in, out);
}

TEST_F(SimModelTest, KeyIdsAndOptionalStringsFollowThePlugOptions) {
  SimModelOptions options;
  options.vendor = 0x0D46;
  options.product = 0x3003;
  options.string0xEE = true;
  plug("key", options);
  std::vector<uint8_t> device(18);
  ASSERT_EQ(control(0x80, 6, 0x0100, 0, device), 18);
  EXPECT_EQ(std::vector<uint8_t>(device.begin() + 8, device.begin() + 12), (std::vector<uint8_t>{0x46, 0x0D, 0x03, 0x30}));
  EXPECT_EQ(device[17], 2);  // two configurations
  std::vector<uint8_t> ee(255);
  EXPECT_EQ(control(0x80, 6, 0x03EE, 0, ee), 16);
  std::ifstream vendor(root_.path() + "/sys/bus/usb/devices/1-1/idVendor");
  std::string text;
  vendor >> text;
  EXPECT_EQ(text, "0d46");
}

}  // namespace
