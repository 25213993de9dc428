#include "usbserver/urb_engine.h"

#include <gtest/gtest.h>

#include "usb_table_fixture.h"
#include "usbserver/urb_record.h"

namespace {

constexpr int kPort = 2;

class UrbEngineTest : public UsbTableFixture {
 protected:
  void SetUp() override {
    makeTable(UsbLayout::TwentyPort, UsbLayout::TwentyPort);
    device.devpath = "1.2";
    plugVendor(device);
    ASSERT_EQ(table->scanUsbDevices(), 1);
    ASSERT_EQ(table->takeDevice(0, client, serial), UsbResult::ok());
    engine = std::make_unique<UrbEngine>(*table);
    population = urbPopulation.load();
    usbfs.clearJournal();
  }
  void TearDown() override {
    table->releaseDevice(0);
    EXPECT_EQ(urbPopulation.load(), population);
  }

  UrbRequest bulk(uint8_t endpoint, uint32_t length, uint32_t tag, uint8_t type = 3) {
    UrbRequest r;
    r.requestWord = 0x0000002A;
    r.tag = tag;
    r.index = 0;
    r.port = kPort;
    r.endpoint = endpoint;
    r.type = type;
    (endpoint & 0x80 ? r.inLength : r.outLength) = length;
    return r;
  }
  UrbOutcome submit(const UrbRequest& r, Bytes out = {}) {
    BytesSource source(std::move(out));
    return engine->submitUrb(client, r, source);
  }
  UrbOutcome submitAs(RecordingClient& who, const UrbRequest& r, Bytes out = {}) {
    BytesSource source(std::move(out));
    return engine->submitUrb(who, r, source);
  }
  void poll() { EXPECT_EQ(engine->usbSrvPoll(0, serial), 0); }
  std::vector<std::string> submits() const {
    std::vector<std::string> lines;
    for (const std::string& line : usbfs.journal()) {
      if (line.rfind("submit", 0) == 0 || line == "discard") lines.push_back(line);
    }
    return lines;
  }

  SysfsDevice device;
  RecordingClient client;
  uint32_t serial = 0;
  std::unique_ptr<UrbEngine> engine;
  int population = 0;
};

const UsbResult kPending = UsbResult::pending();

TEST_F(UrbEngineTest, BulkOutOf150000BytesGoesInThreePartsAndIsAnsweredOnce) {
  const Bytes data = pattern(150000);
  ASSERT_EQ(submit(bulk(0x02, 150000, 7), data).result, kPending);
  EXPECT_EQ(submits(), (std::vector<std::string>{"submit 02 65536", "submit 02 65536", "submit 02 18928"}));
  auto flight = usbfs.inFlight();
  ASSERT_EQ(flight.size(), 3u);
  Bytes sent;
  for (const auto& s : flight) sent.insert(sent.end(), s.out.begin(), s.out.end());
  EXPECT_EQ(sent, data);
  for (int i = 0; i < 3; ++i) {
    usbfs.completeOldest(0);
    poll();
    EXPECT_EQ(client.completions.size(), i < 2 ? 0u : 1u);
  }
  ASSERT_EQ(client.completions.size(), 1u);
  EXPECT_EQ(client.completions[0].tag, 7u);
  EXPECT_FALSE(client.completions[0].partial);
  EXPECT_EQ(client.completions[0].result, UsbResult::ok());
  EXPECT_TRUE(client.completions[0].data.empty());
  EXPECT_TRUE(table->entry(0).transfers.empty());
}

TEST_F(UrbEngineTest, ShortFirstPartEndsABulkInTransfer) {
  ASSERT_EQ(submit(bulk(0x81, 131072, 8)).result, kPending);
  EXPECT_EQ(submits(), std::vector<std::string>{"submit 81 65536"});
  usbfs.completeOldest(0, pattern(512));
  poll();
  ASSERT_EQ(client.completions.size(), 1u);
  EXPECT_FALSE(client.completions[0].partial);
  EXPECT_EQ(client.completions[0].result, UsbResult::ok());
  EXPECT_EQ(client.completions[0].data, pattern(512));
  EXPECT_EQ(submits().size(), 1u);
  EXPECT_TRUE(usbfs.inFlight().empty());
}

TEST_F(UrbEngineTest, FullPartsOfABulkInTransferAreAnsweredPartAfterPart) {
  ASSERT_EQ(submit(bulk(0x81, 131072, 9)).result, kPending);
  usbfs.completeOldest(0, pattern(65536, 1));
  poll();
  ASSERT_EQ(client.completions.size(), 1u);
  EXPECT_TRUE(client.completions[0].partial);
  EXPECT_EQ(client.completions[0].data, pattern(65536, 1));
  EXPECT_EQ(submits(), (std::vector<std::string>{"submit 81 65536", "submit 81 65536"}));
  usbfs.completeOldest(0, pattern(65536, 2));
  poll();
  ASSERT_EQ(client.completions.size(), 2u);
  EXPECT_FALSE(client.completions[1].partial);
  EXPECT_EQ(client.completions[1].data, pattern(65536, 2));
}

TEST_F(UrbEngineTest, ABulkTransferOfLengthZeroIsOnePartOfLengthZero) {
  ASSERT_EQ(submit(bulk(0x02, 0, 1)).result, kPending);
  EXPECT_EQ(submits(), std::vector<std::string>{"submit 02 0"});
  usbfs.completeOldest(0);
  poll();
  ASSERT_EQ(client.completions.size(), 1u);
  EXPECT_EQ(client.completions[0].result, UsbResult::ok());
}

TEST_F(UrbEngineTest, ASecondBulkInOnTheSameEndpointWaitsForTheFirst) {
  ASSERT_EQ(submit(bulk(0x81, 512, 1)).result, kPending);
  ASSERT_EQ(submit(bulk(0x81, 512, 2)).result, kPending);
  ASSERT_EQ(submit(bulk(0x02, 31, 3), pattern(31)).result, kPending);
  EXPECT_EQ(submits(), (std::vector<std::string>{"submit 81 512", "submit 02 31"}));
  usbfs.completeOldest(0, pattern(13));
  poll();
  ASSERT_EQ(client.completions.size(), 1u);
  EXPECT_EQ(client.completions[0].tag, 1u);
  EXPECT_EQ(submits(), (std::vector<std::string>{"submit 81 512", "submit 02 31", "submit 81 512"}));
  usbfs.completeOldest(0);  // the OUT transfer
  poll();
  usbfs.completeOldest(0, pattern(7));
  poll();
  ASSERT_EQ(client.completions.size(), 3u);
  EXPECT_EQ(client.completions[2].tag, 2u);
  EXPECT_EQ(client.completions[2].data, pattern(7));
}

TEST_F(UrbEngineTest, AFailedBulkInStillStartsTheTransferQueuedBehindIt) {
  ASSERT_EQ(submit(bulk(0x81, 512, 1)).result, kPending);
  ASSERT_EQ(submit(bulk(0x81, 512, 2)).result, kPending);
  usbfs.completeOldest(-71);
  poll();
  ASSERT_EQ(client.completions.size(), 1u);
  EXPECT_EQ(client.completions[0].result, UsbResult::error(-71));
  EXPECT_TRUE(client.completions[0].data.empty());
  ASSERT_EQ(usbfs.inFlight().size(), 1u);
  usbfs.completeOldest(0, pattern(4));
  poll();
  ASSERT_EQ(client.completions.size(), 2u);
  EXPECT_EQ(client.completions[1].tag, 2u);
}

TEST_F(UrbEngineTest, AbortOfAnEndpointCompletesItsQueuedRecordAsAborted) {
  RecordingClient other;
  ASSERT_EQ(submit(bulk(0x81, 512, 1)).result, kPending);
  ASSERT_EQ(submit(bulk(0x81, 512, 2)).result, kPending);
  // Only the owner may abort.
  EXPECT_EQ(engine->abortEndpoint(other, 0, kPort, 0x81), UsbResult::denied(12));
  EXPECT_EQ(engine->abortEndpoint(client, 0, kPort + 1, 0x81), UsbResult::error(19));
  EXPECT_EQ(engine->abortEndpoint(client, 0, kPort, 0x81), UsbResult::ok());
  ASSERT_EQ(client.completions.size(), 1u);
  EXPECT_EQ(client.completions[0].tag, 2u);
  EXPECT_EQ(client.completions[0].result, UsbResult::gone(32));
  EXPECT_TRUE(other.completions.empty());
  // The transfer in flight was discarded and completes through the reap.
  poll();
  ASSERT_EQ(client.completions.size(), 2u);
  EXPECT_EQ(client.completions[1].tag, 1u);
  EXPECT_EQ(client.completions[1].result, UsbResult::error(-104));
  EXPECT_TRUE(usbfs.inFlight().empty());
  EXPECT_EQ(submits().back(), "discard");
}

TEST_F(UrbEngineTest, ADiscardedQueuedRecordIsAnsweredAndNeverStarted) {
  ASSERT_EQ(submit(bulk(0x81, 512, 1)).result, kPending);
  ASSERT_EQ(submit(bulk(0x81, 512, 2)).result, kPending);
  RecordingClient other;
  engine->discardUrbByTag(other, 2);  // not its device: nothing happens
  EXPECT_TRUE(client.completions.empty());
  engine->discardUrbByTag(client, 2);
  ASSERT_EQ(client.completions.size(), 1u);
  EXPECT_EQ(client.completions[0].result, UsbResult::gone(32));
  usbfs.completeOldest(0, pattern(13));
  poll();
  ASSERT_EQ(client.completions.size(), 2u);
  EXPECT_EQ(client.completions[1].tag, 1u);
  EXPECT_EQ(submits().size(), 1u);
  EXPECT_TRUE(usbfs.inFlight().empty());
}

TEST_F(UrbEngineTest, DiscardOfATransferInFlightCancelsItsPart) {
  ASSERT_EQ(submit(bulk(0x81, 131072, 5)).result, kPending);
  engine->discardUrbByTag(client, 5);
  poll();
  ASSERT_EQ(client.completions.size(), 1u);
  EXPECT_EQ(client.completions[0].result, UsbResult::error(-104));
  EXPECT_EQ(submits(), (std::vector<std::string>{"submit 81 65536", "discard"}));
}

TEST_F(UrbEngineTest, InterruptTransfersReportTheirRealStatus) {
  ASSERT_EQ(submit(bulk(0x83, 8, 4, 1)).result, kPending);
  usbfs.completeOldest(-32);
  poll();
  ASSERT_EQ(client.completions.size(), 1u);
  EXPECT_EQ(client.completions[0].result, UsbResult::error(-32));
}

TEST_F(UrbEngineTest, UnplugWithTransfersInFlightTakesTheDeviceFromItsClient) {
  ASSERT_EQ(submit(bulk(0x81, 512, 1)).result, kPending);
  ASSERT_EQ(submit(bulk(0x02, 100, 2), pattern(100)).result, kPending);
  unplug(device);
  EXPECT_EQ(engine->usbSrvPoll(0, serial), -1);
  ASSERT_EQ(client.completions.size(), 2u);
  EXPECT_EQ(client.completions[0].result, UsbResult::error(-108));
  EXPECT_EQ(client.completions[1].result, UsbResult::error(-108));
  EXPECT_EQ(client.taken, (std::vector<std::pair<int, int>>{{0, kPort}}));
  EXPECT_EQ(events.events.back(), "disconnect 0");
  EXPECT_EQ(state(0), USB_DEV_PRESENT);
  // Later transfers of the former owner are refused.
  EXPECT_EQ(submit(bulk(0x81, 512, 3)).result, UsbResult::denied(12));
  table->scanUsbDevices();
  EXPECT_EQ(state(0), USB_DEV_GONE);
  EXPECT_EQ(usbfs.openNodes(), 0);
}

TEST_F(UrbEngineTest, AShortOutReadSubmitsNothingAndEndsTheConnection) {
  UrbOutcome outcome = submit(bulk(0x02, 70000, 1), pattern(69999));
  EXPECT_EQ(outcome.result, UsbResult::error(71));
  EXPECT_TRUE(outcome.endConnection);
  EXPECT_TRUE(submits().empty());
  EXPECT_TRUE(table->entry(0).transfers.empty());
}

TEST_F(UrbEngineTest, ASubmissionFailurePartWayIsAnsweredOnceAfterTheOtherParts) {
  usbfs.failSubmission(1, -ENOMEM);
  ASSERT_EQ(submit(bulk(0x02, 150000, 6), pattern(150000)).result, kPending);
  EXPECT_EQ(usbfs.inFlight().size(), 1u);
  EXPECT_TRUE(client.completions.empty());
  usbfs.completeOldest(0);
  poll();
  poll();
  ASSERT_EQ(client.completions.size(), 1u);
  EXPECT_EQ(client.completions[0].result, UsbResult::error(-ENOMEM));
}

TEST_F(UrbEngineTest, SubmissionFailuresOfTheFirstPartAreAnsweredAtOnce) {
  usbfs.failSubmission(0, -EINVAL);
  EXPECT_EQ(submit(bulk(0x81, 64, 1)).result, UsbResult::error(-EINVAL));
  usbfs.unplug(device.bus, device.devnum);
  EXPECT_EQ(submit(bulk(0x81, 64, 2)).result, UsbResult::gone(-19));
  EXPECT_TRUE(table->entry(0).transfers.empty());
  EXPECT_TRUE(client.completions.empty());
}

TEST_F(UrbEngineTest, RefusalsDrainTheOutData) {
  RecordingClient other;
  BytesSource source(pattern(100));
  EXPECT_EQ(engine->submitUrb(other, bulk(0x02, 100, 1), source).result, UsbResult::denied(12));
  EXPECT_EQ(source.left(), 0u);
  UrbRequest wrongPort = bulk(0x02, 100, 2);
  wrongPort.port = 3;
  BytesSource source2(pattern(100));
  EXPECT_EQ(engine->submitUrb(client, wrongPort, source2).result, UsbResult::error(19));
  EXPECT_EQ(source2.left(), 0u);
  BytesSource huge(Bytes(UrbEngine::kTransferLimit + 1));
  EXPECT_EQ(engine->submitUrb(client, bulk(0x02, UrbEngine::kTransferLimit + 1, 3), huge).result,
            UsbResult::error(12));
  EXPECT_EQ(huge.left(), 0u);
  EXPECT_EQ(submit(bulk(0x81, 10, 4, 7)).result, UsbResult::ok());
  EXPECT_TRUE(submits().empty());
}

TEST_F(UrbEngineTest, AStaleDeviceRecordIsRefused) {
  EXPECT_EQ(engine->usbSrvPoll(0, serial + 1), -1);
  EXPECT_EQ(engine->usbSrvPoll(41, serial), -1);
  EXPECT_EQ(engine->usbSrvPoll(0, serial), 0);
}

TEST_F(UrbEngineTest, DiscardPendingUrbsCancelsEverything) {
  ASSERT_EQ(submit(bulk(0x81, 512, 1)).result, kPending);
  ASSERT_EQ(submit(bulk(0x81, 512, 2)).result, kPending);
  EXPECT_EQ(engine->discardPendingUrbs(0), 0);
  ASSERT_EQ(client.completions.size(), 1u);
  EXPECT_EQ(client.completions[0].result, UsbResult::gone(32));
  poll();
  EXPECT_EQ(client.completions.size(), 2u);
  EXPECT_TRUE(table->entry(0).transfers.empty());
}

TEST_F(UrbEngineTest, ReleaseWithTransfersInFlightFreesThemAfterClosingTheNode) {
  ASSERT_EQ(submit(bulk(0x81, 512, 1)).result, kPending);
  ASSERT_EQ(submit(bulk(0x02, 200000, 2), pattern(200000)).result, kPending);
  EXPECT_GT(urbPopulation.load(), population);
  EXPECT_TRUE(table->releaseDevice(0));
  EXPECT_EQ(usbfs.openNodes(), 0);
  EXPECT_EQ(urbPopulation.load(), population);
}

}  // namespace
