// The USB channel against the scripted device.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "channels/usb_channel.h"
#include "fake/fake.h"
#include "fake/fake_device.h"
#include "sandbox.h"
#include "state/state.h"

namespace qz {
namespace {

using Entries = std::vector<std::string>;

class UsbChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Install();
    ResetProcessState();
    Shared().protocolRevision.store(1);
  }
  void TearDown() override {
    fake::Reset();
    fake::Uninstall();
    ResetProcessState();
    Shared().protocolRevision.store(1);
  }
  // The device open as the load sequence leaves it, journal emptied.
  void Open(uint16_t revision) {
    fake::SetDeviceRevision(revision);
    OpenDevice();
    Proc().deviceOpen.store(IsOpenHandle(Proc().deviceHandle) ? 1 : 0);
    ReadDeviceRevision();
    fake::ClearJournal();
  }
};

TEST_F(UsbChannelTest, ReleaseNumberDecidesProtocolRevision) {
  struct Case {
    uint16_t release;
    int32_t revision;
  } cases[] = {{0x0105, 0}, {0x0100, 0}, {0x0106, 0x106}, {0x0200, 0x200}};
  for (const Case& c : cases) {
    Shared().protocolRevision.store(1);
    fake::SetDeviceRevision(c.release);
    OpenDevice();
    ReadDeviceRevision();
    EXPECT_EQ(Shared().protocolRevision.load(), c.revision) << std::hex << c.release;
  }
}

TEST_F(UsbChannelTest, FailedDescriptorQueryKeepsRevisionOneAndDoesNotReopen) {
  fake::FailDescriptorQuery(true);
  OpenDevice();
  ReadDeviceRevision();
  EXPECT_EQ(Shared().protocolRevision.load(), 1);
  EXPECT_EQ(fake::Journal(), (Entries{"open 1", "descriptor fail"}));
}

// Newer devices are asked on pipe 2 and answer on pipe 3 a moment later;
// older ones are read on pipe 2 directly.
TEST_F(UsbChannelTest, PollTakesThePipesOfTheDevicesRevision) {
  const struct {
    uint16_t release;
    Entries journal;
  } cases[] = {{0x106, {"write 2 03 ok", "sleep 1", "read 3 2A"}}, {0x105, {"read 2 2A"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.release);
    SetUp();
    Open(c.release);
    fake::QueueReplies({42});
    EXPECT_EQ(PollReplyByte(), 42);
    EXPECT_EQ(fake::Journal(), c.journal);
    TearDown();
  }
}

TEST_F(UsbChannelTest, NoReplyCasesGiveMinusOneWithoutReopen) {
  Open(0x106);
  EXPECT_EQ(PollReplyByte(), -1);  // read returns 0 bytes
  fake::QueueReplies({100, 99, 255, 0});
  EXPECT_EQ(PollReplyByte(), -1);
  EXPECT_EQ(PollReplyByte(), 99);
  EXPECT_EQ(PollReplyByte(), -1);
  EXPECT_EQ(PollReplyByte(), 0);
  fake::QueueZeroTaken(1);  // the device did not take the reply request
  fake::ClearJournal();
  EXPECT_EQ(PollReplyByte(), -1);
  EXPECT_EQ(fake::Journal(), (Entries{"write 2 03 taken0"}));
  EXPECT_EQ(fake::CountJournal("open"), 0);
  EXPECT_EQ(fake::CountJournal("close"), 0);
  EXPECT_EQ(Proc().deviceOpen.load(), 1);
}

TEST_F(UsbChannelTest, FailedPollTransfersReopenExactlyOnce) {
  Open(0x106);
  fake::FailTransfers(1);
  EXPECT_EQ(PollReplyByte(), -1);
  EXPECT_EQ(fake::Journal(), (Entries{"write 2 03 fail", "close 1", "open 2"}));
  fake::ClearJournal();
  Shared().protocolRevision.store(0);
  fake::FailTransfers(1);
  fake::QueueReplies({5});
  EXPECT_EQ(PollReplyByte(), -1);  // the read fails; the reply stays unread
  EXPECT_EQ(fake::Journal(), (Entries{"read 2 fail", "close 2", "open 3"}));
  EXPECT_EQ(Proc().deviceOpen.load(), 1);
  EXPECT_EQ(PollReplyByte(), 5);
}

TEST_F(UsbChannelTest, UnpluggedDeviceReopensOnEveryPollAndRecoversByItself) {
  Open(0x106);
  fake::Unplug();
  fake::ClearJournal();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(PollReplyByte(), -1);
  EXPECT_EQ(fake::Journal(), (Entries{"write 2 03 fail", "close 1", "open fail",  //
                                      "write 2 03 fail", "open fail",             //
                                      "write 2 03 fail", "open fail"}));
  EXPECT_EQ(Proc().deviceOpen.load(), 0);

  fake::Replug();
  fake::QueueReplies({12});
  fake::ClearJournal();
  EXPECT_EQ(PollReplyByte(), -1);  // fails on the dead handle, reopens
  EXPECT_EQ(Proc().deviceOpen.load(), 1);
  EXPECT_EQ(PollReplyByte(), 12);
  EXPECT_EQ(fake::Journal(), (Entries{"write 2 03 fail", "open 2", "write 2 03 ok", "sleep 1", "read 3 0C"}));
  EXPECT_EQ(fake::OpenDeviceHandles(), 1);
  EXPECT_EQ(fake::DeviceMisuse(), 0);
}

TEST_F(UsbChannelTest, BusyWriteRepeatsSameBytesWithSameBusyWord) {
  Open(0x106);
  fake::QueueBusy(2);
  const uint8_t text[] = {0x2C, 0x2C};
  EXPECT_TRUE(BusyRetryWrite(text, 2, 1));
  EXPECT_EQ(fake::Journal(),
            (Entries{"write 0 2C2C busy", "sleep 1", "write 0 2C2C busy", "sleep 1", "write 0 2C2C ok"}));
  // Sent with 0, then repeated with the busy word the device left.
  EXPECT_EQ(fake::TextBusyWords(), (std::vector<uint32_t>{0, 1, 1}));
  EXPECT_EQ(fake::PipeBytes(0), (std::vector<uint8_t>{0x2C, 0x2C}));

  fake::ClearJournal();
  fake::QueueBusy(1);
  const uint8_t chunk[] = {'a', 'b', 'c'};
  EXPECT_TRUE(BusyRetryWrite(chunk, 3, 5));
  EXPECT_EQ(fake::Journal(), (Entries{"write 0 616263 busy", "sleep 5", "write 0 616263 ok"}));
}

TEST_F(UsbChannelTest, FailedTextWriteReopensAndIsNotRepeated) {
  Open(0x106);
  const uint8_t b = 'x';
  fake::FailTransfers(1);
  EXPECT_FALSE(BusyRetryWrite(&b, 1, 1));
  EXPECT_EQ(fake::Journal(), (Entries{"write 0 78 fail", "close 1", "open 2"}));
  EXPECT_TRUE(fake::PipeBytes(0).empty());
}

TEST_F(UsbChannelTest, WriteOfNothingOrMoreThan32BytesSendsNothing) {
  Open(0x106);
  uint8_t big[33] = {};
  EXPECT_FALSE(BusyRetryWrite(big, 0, 1));
  EXPECT_FALSE(BusyRetryWrite(big, 33, 1));
  EXPECT_TRUE(BusyRetryWrite(big, 32, 1));
  EXPECT_EQ(fake::CountJournal("write"), 1);
}

TEST_F(UsbChannelTest, UnloadEndsBusyLoop) {
  Open(0x106);
  fake::SetAlwaysBusy(true);
  Proc().unloading.store(1);
  const uint8_t b = 'a';
  EXPECT_FALSE(BusyRetryWrite(&b, 1, 1));
  EXPECT_EQ(fake::Journal(), (Entries{"write 0 61 busy"}));

  // A writer already looping leaves once unloading is set.
  Proc().unloading.store(0);
  fake::SetRealSleeps(true);
  std::atomic<int> result{-1};
  std::thread writer([&] { result = BusyRetryWrite(&b, 1, 1) ? 1 : 0; });
  while (fake::CountJournal("write 0 61 busy") < 5) std::this_thread::yield();
  EXPECT_EQ(result.load(), -1);
  Proc().unloading.store(1);
  writer.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_TRUE(fake::PipeBytes(0).empty());
}

TEST_F(UsbChannelTest, ImmediateAndUrgentWritesUsePipeOne) {
  Open(0x106);
  EXPECT_TRUE(ImmediateWrite(0x41));
  EXPECT_TRUE(UrgentWrite());
  EXPECT_EQ(fake::Journal(), (Entries{"write 1 41 ok", "urgent 1 18 ok"}));
  EXPECT_EQ(fake::PipeBytes(1), (std::vector<uint8_t>{0x41, 24}));
  fake::ClearJournal();
  fake::FailTransfers(2);
  ImmediateWrite(0x42);
  UrgentWrite();
  EXPECT_EQ(fake::Journal(), (Entries{"write 1 42 fail", "close 1", "open 2", "urgent 1 18 fail", "close 2",
                                      "open 3"}));
}

TEST_F(UsbChannelTest, TransfersWithoutDeviceFailAndEachTriesAReopen) {
  fake::Unplug();
  OpenDevice();  // the load's open fails
  EXPECT_EQ(Proc().deviceHandle.load(), kInvalidHandle);
  fake::Replug();
  fake::ClearJournal();
  EXPECT_FALSE(ImmediateWrite(0x41));
  EXPECT_EQ(fake::Journal(), (Entries{"write 1 41 fail", "open 1"}));
  EXPECT_EQ(Proc().deviceOpen.load(), 1);
}

TEST_F(UsbChannelTest, AfterCloseNothingIsReopened) {
  Open(0x106);
  CloseDevice();
  EXPECT_EQ(fake::OpenDeviceHandles(), 0);
  EXPECT_EQ(PollReplyByte(), -1);
  EXPECT_FALSE(ImmediateWrite(1));
  EXPECT_EQ(fake::CountJournal("open"), 0);
  EXPECT_EQ(Proc().deviceOpen.load(), 1);  // unloading leaves it as it was
  EXPECT_EQ(fake::DeviceMisuse(), 0);
}

class UsbChannelThreadsTest : public UsbChannelTest {
 protected:
  void SetUp() override {
    UsbChannelTest::SetUp();
    fake::SetRealSleeps(true);
  }
  static void WaitBlocked(int n) {
    ASSERT_TRUE(qztest::Eventually([n] { return fake::BlockedTransfers() >= n; }));
  }
};

TEST_F(UsbChannelThreadsTest, CancelReleasesStuckTransfer) {
  Open(0x106);
  fake::HoldNextTransfers(1);
  std::atomic<int32_t> reply{-2};
  std::thread poller([&] { reply = PollReplyByte(); });
  WaitBlocked(1);
  CancelDeviceTransfers();
  poller.join();
  EXPECT_EQ(reply.load(), -1);
  // The poll's own reopen may cancel once more, while this thread is still
  // inside its cancel.
  EXPECT_GE(fake::CountJournal("cancel 1"), 1);
  EXPECT_EQ(fake::OpenDeviceHandles(), 1);  // reopened after the failure
  EXPECT_EQ(fake::DeviceMisuse(), 0);
}

// The device holds a poll, which keeps every other transfer on the handle
// queued behind it. A reopen cancels it before it replaces the handle; the
// urgent cancel from another thread cuts it loose, reopens and goes out. The
// poll fails and leaves the fresh handle alone.
TEST_F(UsbChannelThreadsTest, HeldTransferIsCancelledByReopenAndUrgentCancel) {
  struct Case {
    const char* name;
    bool (*call)();
    Entries tail;
  } cases[] = {
      {"reopen", [] { ReopenDevice(); return true; }, {}},
      {"urgent cancel", UrgentWrite, {"urgent 1 18 ok"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::Reset();
    fake::SetRealSleeps(true);
    ResetProcessState();
    Open(0x106);
    fake::HoldNextTransfers(1);
    std::atomic<int32_t> reply{-2};
    std::thread poller([&] { reply = PollReplyByte(); });
    WaitBlocked(1);
    std::atomic<int> result{-1};
    std::thread caller([&] { result = c.call() ? 1 : 0; });
    const bool done = qztest::Eventually([&] { return result.load() != -1; });
    EXPECT_TRUE(done) << "it queued behind the held transfer";
    if (!done) CancelDeviceTransfers();  // lets both threads out
    caller.join();
    poller.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_EQ(reply.load(), -1);
    Entries seen;
    for (const std::string& e : fake::Journal()) {
      if (e.rfind("sleep", 0) != 0) seen.push_back(e);
    }
    Entries expected{"cancel 1", "write 2 03 fail", "close 1", "open 2"};
    expected.insert(expected.end(), c.tail.begin(), c.tail.end());
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(fake::OpenDeviceHandles(), 1);
    EXPECT_EQ(fake::DeviceMisuse(), 0);
    EXPECT_EQ(Proc().deviceOpen.load(), 1);
  }
}

TEST_F(UsbChannelThreadsTest, RacingReopensLeaveOneHandle) {
  Open(0x106);
  fake::SetTransferDelayMicros(50);
  std::atomic<bool> stop{false};
  std::thread poller([&] {
    while (!stop) PollReplyByte();
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 30; ++i) ReopenDevice();
    });
  }
  for (std::thread& t : threads) t.join();
  stop = true;
  poller.join();
  EXPECT_EQ(fake::OpenDeviceHandles(), 1);
  EXPECT_EQ(fake::CountJournal("open"), 180);
  EXPECT_EQ(fake::CountJournal("close"), 180);
  EXPECT_EQ(fake::DeviceMisuse(), 0);
  EXPECT_EQ(Proc().deviceOpen.load(), 1);
}

TEST_F(UsbChannelThreadsTest, ConcurrentFailuresOnSeveralThreads) {
  Open(0x106);
  fake::SetTransferDelayMicros(20);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  const uint8_t b = 'q';
  threads.emplace_back([&] {
    while (!stop) PollReplyByte();
  });
  threads.emplace_back([&] {
    while (!stop) BusyRetryWrite(&b, 1, 1);
  });
  threads.emplace_back([&] {
    while (!stop) ImmediateWrite(0x42);
  });
  threads.emplace_back([&] {
    while (!stop) CancelDeviceTransfers();
  });
  for (int round = 0; round < 20; ++round) {
    fake::FailTransfers(5);
    fake::QueueBusy(3);
    if (round % 5 == 4) {
      fake::Unplug();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      fake::Replug();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  stop = true;
  for (std::thread& t : threads) t.join();
  ReopenDevice();
  EXPECT_EQ(fake::DeviceMisuse(), 0);
  EXPECT_EQ(fake::OpenDeviceHandles(), 1);
  EXPECT_GT(fake::CountJournal("close"), 0);
  // Every handle opened after the first was closed again but the last one.
  EXPECT_EQ(fake::CountJournal("close"), fake::CountJournal("open ") - fake::CountJournal("open fail"));
}

}  // namespace
}  // namespace qz
