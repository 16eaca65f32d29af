// The text filter and the worker threads, against the scripted device and
// serial line.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "channels/serial_channel.h"
#include "channels/usb_channel.h"
#include "pipeline/text_filter.h"
#include "pipeline/workers.h"
#include "fake/fake.h"
#include "fake/fake_device.h"
#include "fake/fake_serial.h"
#include "qzusbd.h"
#include "sandbox.h"
#include "state/ring.h"

namespace qz {
namespace {

using qztest::Eventually;

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Install();
    ResetProcessState();
    InitialiseSharedState(&Shared());
    Proc().lastSentByte = 1;
  }
  void TearDown() override {
    CloseDevice();
    fake::Uninstall();
  }
  void OpenUsb() {
    OpenDevice();
    Proc().deviceOpen = 1;
    fake::ClearJournal();
  }
  void Send(const std::string& text) {
    for (unsigned char c : text) SendTextByte(c);
  }
};

struct FilterCase {
  int32_t mode;
  std::string in;
  std::string out;  // what reaches pipe 0, in order
};

TEST_F(PipelineTest, PunctuationModesAndSeparatorFolding) {
  const std::string nul(1, '\0');
  const FilterCase cases[] = {
      {0, "Hi.  Yes", "Hi." + nul + "Yes"},
      {-1, "Hi.  Yes", "Hi." + nul + "Yes"},
      {1, "Hi.  Yes", "Hi" + nul + "Yes"},
      {2, "Hi.  Yes", "Hi," + nul + "Yes"},
      {3, "Hi.  Yes", "Hi,," + nul + "Yes"},
      {4, "Hi.  Yes", "Hi," + nul + "Yes"},
      {0, "Well, no.", "Well," + nul + "no."},
      {1, "Well, no.", "Well" + nul + "no" + nul},
      {2, "Well, no.", "Well," + nul + "no,"},
      {3, "Well, no.", "Well," + nul + "no,,"},
      {0, "Stop!", "Stop!"},
      {1, "Stop!", "Stop" + nul},
      {2, "Stop!", "Stop,"},
      {3, "Stop!", "Stop,,"},
      {-7, "Stop!", "Stop!"},
      // A comma after a sentence end that became a comma is a duplicate.
      {2, "Why?, no", "Why," + nul + "no"},
      // A second sentence end in mode 3 is dropped, not doubled again.
      {3, "No!!", "No,,"},
      // The same text with one space or two sends the same bytes.
      {0, "a  b", "a" + nul + "b"},
      {0, "a b", "a" + nul + "b"},
  };
  for (const FilterCase& c : cases) {
    SetUp();
    OpenUsb();
    Proc().noPauses = c.mode;
    Send(c.in);
    EXPECT_EQ(fake::PipeBytes(0), Bytes(c.out)) << "mode " << c.mode << " \"" << c.in << "\"";
    TearDown();
  }
}

TEST_F(PipelineTest, ModeThreeSendsBothCommasInOneTransfer) {
  OpenUsb();
  Proc().noPauses = 3;
  SendTextByte('!');
  EXPECT_EQ(fake::Journal(), (std::vector<std::string>{"write 0 2C2C ok"}));
}

TEST_F(PipelineTest, FilterDropsLineFeedAndHighBytesButKeepsCarriageReturn) {
  OpenUsb();
  for (int32_t b : {0x0A, 0x09, 0x7F, 0x80, 0xFF, 0x02}) {
    Shared().pollSuspended = 1;
    SendTextByte(b);
    EXPECT_EQ(Shared().pollSuspended.load(), 0) << "a dropped byte still lifts the poll suspension: " << b;
  }
  EXPECT_TRUE(fake::PipeBytes(0).empty());
  EXPECT_EQ(Proc().lastSentByte.load(), 1) << "dropped bytes leave the duplicate memory alone";
  for (int32_t b : {0x0D, 0x00, 0x01, 0x18, 0x19, 0x7E}) SendTextByte(b);
  EXPECT_EQ(fake::PipeBytes(0), (std::vector<uint8_t>{0x0D, 0x00, 0x01, 0x18, 0x19, 0x7E}));
}

TEST_F(PipelineTest, CancelByteClearsBothRingsSuspendsPollingAndIsSent) {
  OpenUsb();
  for (int i = 0; i < 5; ++i) RingPush(TextRingOf(Shared()), 'x');
  RingPush(ReplyRingOf(Shared()), 42);
  SendTextByte(CANCEL_BYTE);
  EXPECT_EQ(RingPop(TextRingOf(Shared())), -1);
  EXPECT_EQ(RingPop(ReplyRingOf(Shared())), -1);
  EXPECT_EQ(Shared().pollSuspended.load(), 1);
  EXPECT_EQ(fake::Journal(), (std::vector<std::string>{"write 0 18 ok"}));
}

TEST_F(PipelineTest, LeadingSpaceIsSentAfterLoadAndAfterAnUrgentCancel) {
  OpenUsb();
  SendTextByte(' ');
  SendTextByte(' ');
  USBQZ_WriteByteImmediate(CANCEL_BYTE);
  SendTextByte(' ');
  EXPECT_EQ(fake::PipeBytes(0), (std::vector<uint8_t>{0x00, 0x00}));
  EXPECT_EQ(fake::PipeBytes(1), (std::vector<uint8_t>{CANCEL_BYTE}));
}

TEST_F(PipelineTest, DuplicateMemoryIsSetEvenWhenTheTransferFails) {
  OpenUsb();
  fake::FailTransfers(1);
  SendTextByte('.');
  SendTextByte('.');
  EXPECT_EQ(Proc().lastSentByte.load(), '.');
  EXPECT_EQ(fake::CountJournal("write 0"), 1) << "the second period is a duplicate of the lost one";
}

class SerialPipelineTest : public PipelineTest {
 protected:
  void OpenSerial() {
    Proc().forceComm = 1;
    std::snprintf(Proc().portName, sizeof Proc().portName, "COM2");
    ASSERT_TRUE(OpenSerialPort());
    Proc().portOpen = 1;
    fake::ClearJournal();
  }
  void TearDown() override {
    CloseSerialPort();
    PipelineTest::TearDown();
  }
};

TEST_F(SerialPipelineTest, ModeThreePutsOneCommaOnTheLine) {
  fake::SetCtsOnFromRead(1);
  OpenSerial();
  Proc().noPauses = 3;
  SendTextByte('!');
  EXPECT_EQ(fake::SerialWritten(), (std::vector<uint8_t>{','}));
  EXPECT_EQ(fake::Journal(), (std::vector<std::string>{"status", "write 2C"}));
}

TEST_F(SerialPipelineTest, EveryByteSuspendsPollingAndClearsTheRingsFirst) {
  fake::SetCtsOnFromRead(1);
  OpenSerial();
  RingPush(TextRingOf(Shared()), 'q');
  RingPush(ReplyRingOf(Shared()), 5);
  SendTextByte('a');
  EXPECT_EQ(Shared().pollSuspended.load(), 1);
  EXPECT_EQ(RingPop(TextRingOf(Shared())), -1);
  EXPECT_EQ(RingPop(ReplyRingOf(Shared())), -1);
}

TEST_F(SerialPipelineTest, ClearToSendTimeOutDropsTheByte) {
  OpenSerial();  // CTS never comes on
  SendTextByte('a');
  EXPECT_TRUE(fake::SerialWritten().empty());
  EXPECT_EQ(fake::StatusReads(), 1000u);
  EXPECT_EQ(fake::SleepCount(), 999u);
}

TEST_F(SerialPipelineTest, ClosedPortIsNotTouched) {
  fake::SetCtsOnFromRead(1);
  OpenSerial();
  CloseSerialPort();
  fake::ClearJournal();
  SendTextByte('a');
  EXPECT_TRUE(fake::Journal().empty());
}

// The worker threads, for real, against the scripted device.
class WorkerTest : public PipelineTest {
 protected:
  void SetUp() override {
    PipelineTest::SetUp();
    fake::SetRealSleeps(true);
    OpenUsb();
    ProcessState& p = Proc();
    // Count every signal of the writer's event and every wait of the poller;
    // a test may stretch the workers' waits so that only a signal ends them.
    table_ = Os();
    table_.signalEvent = [](OsHandle e) {
      if (e == Proc().writerWakeEvent) writerSignals.fetch_add(1);
      return NativePlatform().signalEvent(e);
    };
    table_.waitEvent = [](OsHandle e, uint32_t ms) {
      if (e == Proc().pollerWakeEvent) pollerWaits.fetch_add(1);
      if (waitsForSignal.load()) ms = 600000;
      return NativePlatform().waitEvent(e, ms);
    };
    UsePlatform(&table_);
    writerSignals = 0;
    pollerWaits = 0;
    waitsForSignal = false;
    p.writerWakeEvent = Os().createEvent();
    p.pollerWakeEvent = Os().createEvent();
  }
  void StartWriter() { Proc().writerThread = Os().startThread(WriterThreadMain, nullptr, nullptr); }
  void StartPoller() { Proc().pollerThread = Os().startThread(PollerThreadMain, nullptr, nullptr); }
  void StopWorkers() {
    ProcessState& p = Proc();
    p.writerStop = 1;
    p.pollerStop = 1;
    fake::SetNeverAnswer(false);
    Os().signalEvent(p.writerWakeEvent);
    Os().signalEvent(p.pollerWakeEvent);
    for (OsHandle* t : {&p.writerThread, &p.pollerThread}) {
      if (*t == kNoHandle) continue;
      EXPECT_TRUE(Os().waitThread(*t, 5000));
      Os().closeThread(*t);
      *t = kNoHandle;
    }
  }
  void TearDown() override {
    StopWorkers();
    Os().closeEvent(Proc().writerWakeEvent);
    Os().closeEvent(Proc().pollerWakeEvent);
    PipelineTest::TearDown();
  }
  void Write(uint8_t b) {
    RingPush(TextRingOf(Shared()), b);
    WakeWriter();
  }

  Platform table_;
  static std::atomic<int> writerSignals;
  static std::atomic<int> pollerWaits;
  static std::atomic<bool> waitsForSignal;
};
std::atomic<int> WorkerTest::writerSignals{0};
std::atomic<int> WorkerTest::pollerWaits{0};
std::atomic<bool> WorkerTest::waitsForSignal{false};

TEST_F(WorkerTest, SuspendedPollerMakesNoTransferAtAll) {
  Shared().pollSuspended = 1;
  StartPoller();
  // Ten turns of its loop, each woken at once.
  for (int i = 1; i <= 10; ++i) {
    Os().signalEvent(Proc().pollerWakeEvent);
    ASSERT_TRUE(Eventually([i] { return pollerWaits.load() > i; }));
  }
  StopWorkers();
  EXPECT_TRUE(fake::Journal().empty()) << fake::Journal().front();
}

// Woken to stop while polling is on, the poller leaves at once: no last poll
// and its pauses for the unload to wait out.
TEST_F(WorkerTest, PollerWokenToStopPollsNoMore) {
  Shared().pollSuspended = 0;
  waitsForSignal = true;
  StartPoller();
  Os().signalEvent(Proc().pollerWakeEvent);
  ASSERT_TRUE(Eventually([] { return fake::CountJournal("read 3 ") >= 1; }));
  // After its first poll it pauses and then waits on its event: stop it in
  // that wait (a signal sent just before the wait begins ends it all the same).
  ASSERT_TRUE(Eventually([] { return pollerWaits.load() >= 2; }));
  const int polls = fake::CountJournal("write 2 03");
  Proc().pollerStop = 1;
  Os().signalEvent(Proc().pollerWakeEvent);
  ASSERT_TRUE(Os().waitThread(Proc().pollerThread, 5000));
  EXPECT_EQ(fake::CountJournal("write 2 03"), polls) << "no poll after the stop signal";
}

TEST_F(WorkerTest, OnlyReplyBytesBelowOneHundredReachTheReplyRing) {
  fake::QueueReplies({100, 7, 255, 99, 0});
  StartPoller();
  ASSERT_TRUE(Eventually([] { return fake::CountJournal("read 3 ") >= 6; }));
  StopWorkers();
  std::vector<int32_t> got;
  for (int32_t v = RingPop(ReplyRingOf(Shared())); v != -1; v = RingPop(ReplyRingOf(Shared()))) got.push_back(v);
  EXPECT_EQ(got, (std::vector<int32_t>{7, 99, 0}));
}

// While the writer drains, pushes need no signal and still go out in the same
// pass; after the stop flag the pass ends and nothing more is sent.
TEST_F(WorkerTest, BytesPushedWhileTheWriterIsBusyGoOutWithoutAnotherWake) {
  StartWriter();
  fake::SetNeverAnswer(true);
  Write('a');
  ASSERT_TRUE(Eventually([] { return fake::BlockedTransfers() == 1; }));
  int before = writerSignals.load();
  for (uint8_t b : Bytes("bcd")) Write(b);
  EXPECT_EQ(writerSignals.load(), before) << "the writer was awake: no signal needed";
  fake::SetNeverAnswer(false);
  ASSERT_TRUE(Eventually([] { return fake::PipeBytes(0).size() == 4; }));
  EXPECT_EQ(fake::PipeBytes(0), Bytes("abcd"));
}

TEST_F(WorkerTest, NothingMoreIsSentOnceTheStopFlagIsSet) {
  StartWriter();
  fake::SetNeverAnswer(true);
  Write('a');
  ASSERT_TRUE(Eventually([] { return fake::BlockedTransfers() == 1; }));
  Write('b');
  Write('c');
  Proc().writerStop = 1;
  fake::SetNeverAnswer(false);
  StopWorkers();
  Write('d');  // no writer left to take it
  EXPECT_EQ(fake::PipeBytes(0), Bytes("a"));
  EXPECT_EQ(RingPop(TextRingOf(Shared())), 'b') << "what was not sent stays queued";
}

// Many short bursts with pauses between them. The writer's wait is stretched
// so that only a wake-up ends it: a lost one leaves its burst undelivered.
TEST_F(WorkerTest, NoWakeUpIsLostAcrossManyBursts) {
  waitsForSignal = true;
  StartWriter();
  size_t expected = 0;
  for (int burst = 0; burst < 300; ++burst) {
    int n = 1 + burst % 3;
    for (int i = 0; i < n; ++i) Write(static_cast<uint8_t>('a' + (expected + i) % 26));
    expected += n;
    ASSERT_TRUE(Eventually([&] { return fake::PipeBytes(0).size() == expected; })) << "burst " << burst;
    if (burst % 4 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200 * (burst % 7)));
  }
  std::vector<uint8_t> sent = fake::PipeBytes(0);
  for (size_t i = 0; i < sent.size(); ++i) ASSERT_EQ(sent[i], 'a' + i % 26) << i;
}

}  // namespace
}  // namespace qz
