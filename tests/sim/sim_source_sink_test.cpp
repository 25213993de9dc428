// The data mover the benchmarks drive, through the simulated usbfs: the IN
// pattern continues across transfers, OUT bytes are counted, interrupt polls
// are answered at once, and the counters request reports both directions.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sim/usb/sim_source_sink.h"
#include "sim/usb/sim_usb_host.h"
#include "tests/sim/sim_test_support.h"

namespace {

uint64_t le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

class SimSourceSinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const int devnum = host_.plug(1, "1", std::make_unique<SimSourceSink>(SimModelOptions{}), {});
    ASSERT_GT(devnum, 0);
    char node[16];
    std::snprintf(node, sizeof node, "/001/%03d", devnum);
    fd_ = host_.openNode(host_.devBusUsbDir() + node, O_RDWR);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    if (fd_ >= 0) host_.closeNode(fd_);
  }
  // Submits and reaps one transfer: its status; *actual the bytes moved.
  int transfer(uint8_t endpoint, uint8_t* buffer, size_t length, int* actual, int type = USBDEVFS_URB_TYPE_BULK) {
    usbdevfs_urb urb = bulkUrb(endpoint, buffer, static_cast<int>(length));
    urb.type = static_cast<unsigned char>(type);
    if (const int rc = host_.submitUrb(fd_, &urb); rc < 0) return rc;
    usbdevfs_urb* reaped = nullptr;
    if (reapWithin(host_, fd_, &reaped) != 0 || reaped != &urb) return -ETIMEDOUT;
    *actual = urb.actual_length;
    return urb.status;
  }
  std::vector<uint8_t> counters() {
    std::vector<uint8_t> data(SimSourceSink::kCountersSize);
    usbdevfs_ctrltransfer t{};
    t.bRequestType = 0xC0;
    t.bRequest = SimSourceSink::kCountersRequest;
    t.wLength = static_cast<uint16_t>(data.size());
    t.timeout = 1000;
    t.data = data.data();
    EXPECT_EQ(host_.control(fd_, t), static_cast<int>(data.size()));
    return data;
  }

  TempRoot root_;
  SimUsbHost host_;
  int fd_ = -1;
};

TEST_F(SimSourceSinkTest, InPatternContinuesAcrossTransfersOfAnySize) {
  uint64_t offset = 0;
  for (size_t length : {size_t{1000}, size_t{65536}, size_t{200000}, size_t{7}}) {
    std::vector<uint8_t> buffer(length, 0xEE);
    int actual = 0;
    ASSERT_EQ(transfer(SimSourceSink::kBulkIn, buffer.data(), length, &actual), 0);
    ASSERT_EQ(actual, static_cast<int>(length));
    for (size_t i = 0; i < length; ++i) {
      ASSERT_EQ(buffer[i], (offset + i) % 251) << "transfer of " << length << ", byte " << i;
    }
    offset += length;
  }
  EXPECT_EQ(le64(counters().data() + 8), offset);
}

TEST_F(SimSourceSinkTest, OutTakesEverythingAtOnceAndCountsIt) {
  std::vector<uint8_t> data(1u << 20, 0x5A);
  int actual = 0;
  ASSERT_EQ(transfer(SimSourceSink::kBulkOut, data.data(), data.size(), &actual), 0);
  EXPECT_EQ(actual, static_cast<int>(data.size()));
  ASSERT_EQ(transfer(SimSourceSink::kBulkOut, data.data(), 512, &actual), 0);
  const std::vector<uint8_t> c = counters();
  EXPECT_EQ(le64(c.data()), (1u << 20) + 512u);
  EXPECT_EQ(le64(c.data() + 8), 0u);
}

TEST_F(SimSourceSinkTest, InterruptPollsAreAnsweredAtOnceWithTheirCount) {
  for (uint64_t poll = 1; poll <= 3; ++poll) {
    uint8_t report[64] = {};
    int actual = 0;
    ASSERT_EQ(transfer(SimSourceSink::kInterruptIn, report, sizeof report, &actual, USBDEVFS_URB_TYPE_INTERRUPT), 0);
    ASSERT_EQ(actual, 8);
    EXPECT_EQ(le64(report), poll);
  }
}

TEST_F(SimSourceSinkTest, UnknownRequestStallsAndABusResetClearsTheCounters) {
  std::vector<uint8_t> data(4);
  usbdevfs_ctrltransfer t{};
  t.bRequestType = 0xC0;
  t.bRequest = 2;
  t.wLength = 4;
  t.timeout = 1000;
  t.data = data.data();
  EXPECT_EQ(host_.control(fd_, t), -EPIPE);
  // A bus reset starts the counters again.
  int actual = 0;
  ASSERT_EQ(transfer(SimSourceSink::kBulkOut, data.data(), data.size(), &actual), 0);
  ASSERT_EQ(host_.reset(fd_), 0);
  EXPECT_EQ(counters(), std::vector<uint8_t>(16, 0));
}

}  // namespace
