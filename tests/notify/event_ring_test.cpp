#include "notify/event_ring.h"

#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "notify/event_codes.h"
#include "notify/notify_registry.h"

namespace {

TEST(EventRing, StoresEventsInOrderAndMarksThemPending) {
  EventRing ring;
  ring.post(NOTI_USB_ATTACHED, 3, "Acme", "Key", "123", nullptr);
  ring.post(NOTI_USB_CONNECTED, 3, nullptr, "Key", "123", "198.18.0.9");
  const EventRecord first = ring.slot(0);
  EXPECT_EQ(first.code, uint32_t(NOTI_USB_ATTACHED));
  EXPECT_EQ(first.port, 3);
  EXPECT_STREQ(first.manufacturer, "Acme");
  EXPECT_STREQ(first.user, "-?-");
  EXPECT_STREQ(ring.slot(1).manufacturer, "-?-");
  EXPECT_EQ(ring.slot(2).port, -1) << "never written";

  const EventRing::MailBatch batch = ring.pendingMail();
  EXPECT_EQ(batch.codes, uint32_t(NOTI_USB_ATTACHED | NOTI_USB_CONNECTED));
  EXPECT_EQ(batch.slotBits, 0x3u);
  ring.markMailed(batch);
  EXPECT_EQ(ring.pendingMailBits(), 0u);
}

TEST(EventRing, LongTextsAreCutAndTerminated) {
  EventRing ring;
  const std::string longText(300, 'x');
  ring.post(NOTI_USB_ATTACHED, 1, longText.c_str(), longText.c_str(), longText.c_str(),
            longText.c_str());
  const EventRecord record = ring.slot(0);
  EXPECT_EQ(std::string(record.manufacturer).size(), 128u);
  EXPECT_EQ(std::string(record.serial).size(), 32u);
  EXPECT_EQ(std::string(record.user).size(), 32u);
}

TEST(EventRing, PowerAndLinkEventsKeepTheSlotTexts) {
  EventRing ring;
  for (int i = 0; i < EventRing::kSlots; ++i) ring.post(NOTI_USB_DETACHED, 2, "Acme", "Disk", "9", "u");
  ring.post(NOTI_POWER, 0x3, "ignored", "ignored", "ignored", "ignored");
  const EventRecord record = ring.slot(0);
  EXPECT_EQ(record.code, uint32_t(NOTI_POWER));
  EXPECT_EQ(record.port, 0x3);
  EXPECT_STREQ(record.manufacturer, "Acme");
}

TEST(EventRing, OverflowOverwritesTheOldestSlot) {
  EventRing ring;
  for (int i = 0; i < EventRing::kSlots + 1; ++i) ring.post(NOTI_USB_ATTACHED, i, "m", "p", "s", "u");
  EXPECT_EQ(ring.slot(0).port, 16);
  EXPECT_EQ(ring.slot(1).port, 1);
  EXPECT_EQ(ring.pendingMailBits(), 0xFFFFu);
}

TEST(EventRing, ASlotReusedDuringAMailStaysPending) {
  EventRing ring;
  ring.post(NOTI_USB_ATTACHED, 1, "m", "p", "s", "u");
  const EventRing::MailBatch batch = ring.pendingMail();
  for (int i = 0; i < EventRing::kSlots; ++i) ring.post(NOTI_USB_DETACHED, 2, "m", "p", "s", "u");
  ring.markMailed(batch);
  EXPECT_EQ(ring.pendingMailBits() & 1u, 1u);
}

TEST(EventRing, TrapsClearOnlyWhatWasSent) {
  EventRing ring;
  ring.post(NOTI_USB_ATTACHED, 1, "m", "p", "s", "u");
  ring.post(NOTI_LINK, 0x10, nullptr, nullptr, nullptr, nullptr);
  std::vector<uint32_t> sent;
  ring.forEachPendingTrap([&sent](const EventRecord& r) {
    sent.push_back(r.code);
    return r.code != NOTI_LINK;  // the link trap is switched off
  });
  EXPECT_EQ(sent, (std::vector<uint32_t>{NOTI_USB_ATTACHED, NOTI_LINK}));
  sent.clear();
  ring.forEachPendingTrap([&sent](const EventRecord& r) {
    sent.push_back(r.code);
    return false;
  });
  EXPECT_EQ(sent, std::vector<uint32_t>{NOTI_LINK});
}

TEST(EventRingStress, EventsFromManyThreadsArriveOnceEach) {
  EventRing ring;
  registerEventRing(&ring);
  constexpr int kThreads = 8;
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([t] {
      const std::string user = "u" + std::to_string(t);
      EXPECT_TRUE(postEvent(NOTI_USB_CONNECTED, t, "m", "p", "s", user.c_str()));
    });
  }
  for (auto& p : producers) p.join();
  registerEventRing(nullptr);
  std::set<int> ports;
  for (int i = 0; i < kThreads; ++i) {
    const EventRecord r = ring.slot(i);
    EXPECT_EQ(std::string(r.user), "u" + std::to_string(r.port));
    ports.insert(r.port);
  }
  EXPECT_EQ(ports.size(), size_t(kThreads));
  EXPECT_EQ(ring.pendingMailBits(), 0xFFu);
}

TEST(EventRingStress, PostingWhileTheRingGoesAwayIsSafe) {
  for (int round = 0; round < 50; ++round) {
    auto ring = std::make_unique<EventRing>();
    registerEventRing(ring.get());
    std::thread producer([] {
      for (int i = 0; i < 200; ++i) postEvent(NOTI_USB_DISCONNECTED, 1, "m", "p", "s", "u");
    });
    registerEventRing(nullptr);
    ring.reset();  // the task's ring ends while the producer still posts
    producer.join();
  }
  EXPECT_FALSE(postEvent(NOTI_USB_DISCONNECTED, 1));
  EXPECT_FALSE(notifyEvent(NOTI_USB_DISCONNECTED));
}

}  // namespace
