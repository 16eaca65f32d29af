#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "channels/serial_channel.h"
#include "fake/fake.h"
#include "fake/fake_serial.h"
#include "state/state.h"

namespace qz {
namespace {

using Journal = std::vector<std::string>;

// The load's road in serial mode, with the fake line: open, probe, and on
// success portOpen = 1 (on failure the probe's caller closes the port).
class SerialChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Install();
    ResetProcessState();
    std::memcpy(Proc().portName, "COM2", 5);
    Proc().lineTimeouts = LineTimeouts{0, 10, 0, 5, 0};
  }
  void TearDown() override { fake::Uninstall(); }
  // Opens and probes as the load does; the journal starts afresh after it.
  bool OpenAndProbe() {
    if (!OpenSerialPort()) return false;
    if (!ProbeClearToSend()) {
      CloseSerialPort();
      return false;
    }
    Proc().portOpen = 1;
    return true;
  }
  static Journal Repeat(std::initializer_list<const char*> pattern, int times) {
    Journal j;
    for (int i = 0; i < times; ++i) j.insert(j.end(), pattern.begin(), pattern.end());
    return j;
  }
};

TEST_F(SerialChannel, OpenAppliesTimeoutsThenSettingsChangingOnlyItsFields) {
  LineSettings reported{};
  reported.BaudRate = 115200;
  reported.ByteSize = 7;
  reported.Parity = 2;
  reported.StopBits = 2;
  reported.fOutxCtsFlow = 1;
  reported.fOutxDsrFlow = 1;
  reported.fDtrControl = 1;
  reported.fRtsControl = 2;
  reported.fNull = 1;
  reported.fOutX = 1;
  reported.fInX = 1;
  reported.XonChar = 0x11;
  reported.XoffChar = 0x13;
  reported.XonLim = 2048;
  reported.EofChar = 0x1A;
  fake::SetReportedLineSettings(reported);

  ASSERT_TRUE(OpenSerialPort());
  EXPECT_EQ(fake::Journal(), (Journal{"open COM2", "get settings", "set timeouts", "set settings"}));
  LineSettings s = fake::AppliedLineSettings();
  EXPECT_EQ(s.BaudRate, 9600u);
  EXPECT_EQ(s.ByteSize, 8);
  EXPECT_EQ(s.Parity, 0);
  EXPECT_EQ(s.StopBits, 0);
  EXPECT_EQ(s.fBinary, 1);
  EXPECT_EQ(s.fOutxCtsFlow, 0);
  EXPECT_EQ(s.fOutxDsrFlow, 0);
  EXPECT_EQ(s.fDtrControl, 0);
  EXPECT_EQ(s.fRtsControl, 0);
  EXPECT_EQ(s.fNull, 0);
  EXPECT_EQ(s.fAbortOnError, 1);
  // Software flow control and the rest as the port had them.
  EXPECT_EQ(s.fOutX, 1);
  EXPECT_EQ(s.fInX, 1);
  EXPECT_EQ(s.XonChar, 0x11);
  EXPECT_EQ(s.XoffChar, 0x13);
  EXPECT_EQ(s.XonLim, 2048);
  EXPECT_EQ(s.EofChar, 0x1A);
  LineTimeouts t = fake::AppliedLineTimeouts();
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 10u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 5u);
  EXPECT_EQ(Proc().portOpen.load(), 0);  // only the load sets it, after the probe
}

TEST_F(SerialChannel, FailedOpenLeavesInvalidHandleAndNothingUsable) {
  fake::SetSerialOpenFails(true);
  EXPECT_FALSE(OpenSerialPort());
  EXPECT_EQ(Proc().portHandle, kInvalidHandle);
  EXPECT_EQ(fake::Journal(), (Journal{"open COM2 failed"}));
  EXPECT_FALSE(WriteSerialByte(24));
  EXPECT_EQ(ReadSerialByte(), -1);
  EXPECT_EQ(QueryClearToSend(), 0);
  EXPECT_EQ(fake::Journal().size(), 1u);
}

TEST_F(SerialChannel, CtsNeverOnProbeFailsAfterTwelveReadsAndTenSleepsAndClosesPort) {
  ASSERT_TRUE(OpenSerialPort());
  fake::ClearJournal();
  EXPECT_FALSE(ProbeClearToSend());
  Journal expected{"status"};
  Journal loop = Repeat({"status", "sleep 1"}, 10);
  expected.insert(expected.end(), loop.begin(), loop.end());
  expected.push_back("status");
  EXPECT_EQ(fake::Journal(), expected);

  CloseSerialPort();
  EXPECT_FALSE(fake::SerialPortIsOpen());
  EXPECT_EQ(Proc().portOpen.load(), 0);
  // A rejected port is never written, read or queried again.
  EXPECT_FALSE(WriteSerialByte(24));
  EXPECT_FALSE(WaitClearToSend());
  EXPECT_FALSE(ProbeClearToSend());
  EXPECT_EQ(QueryClearToSend(), 0);
  EXPECT_EQ(ReadSerialByte(), -1);
  EXPECT_TRUE(fake::SerialWritten().empty());
  EXPECT_EQ(fake::CountJournal("write"), 0);
  EXPECT_EQ(fake::CountJournal("status"), 12);
  EXPECT_EQ(fake::SerialUsesAfterClose(), 0);
}

TEST_F(SerialChannel, CtsSeenAtEleventhReadSucceedsButAtTwelfthIsTooLate) {
  fake::SetCtsOnFromRead(11);
  ASSERT_TRUE(OpenSerialPort());
  EXPECT_TRUE(ProbeClearToSend());
  EXPECT_EQ(fake::StatusReads(), 11u);
  EXPECT_EQ(fake::SleepCount(), 10u);  // the success follows the read by one sleep
  CloseSerialPort();

  fake::Reset();
  fake::SetCtsOnFromRead(12);
  ASSERT_TRUE(OpenSerialPort());
  EXPECT_FALSE(ProbeClearToSend());
  EXPECT_EQ(fake::StatusReads(), 12u);
  EXPECT_EQ(fake::SleepCount(), 10u);
}

TEST_F(SerialChannel, FailedStatusReadsCountAsCtsOff) {
  fake::SetCtsOnFromRead(1);
  fake::SetStatusReadsFailFrom(1);
  ASSERT_TRUE(OpenSerialPort());
  EXPECT_FALSE(ProbeClearToSend());
  EXPECT_EQ(fake::CountJournal("status failed"), 12);

  // CTS seen off, then the reads fail: the word keeps "off".
  fake::Reset();
  fake::SetCtsOnFromRead(3);
  fake::SetStatusReadsFailFrom(2);
  EXPECT_FALSE(OpenAndProbe());
  EXPECT_EQ(fake::StatusReads(), 12u);
}

// The long wait before each byte: up to 1000 status reads and 999 sleeps; the
// time-out follows the last sleep without another read, and every wait starts
// with a full count.
TEST_F(SerialChannel, LongWaitReadsUpToAThousandTimesWithASleepBetween) {
  const struct {
    uint32_t ctsFrom;  // the wait's read that first sees CTS on; 0: never
    bool ok;
    int reads;
    int sleeps;
  } cases[] = {{1, true, 1, 0}, {2, true, 2, 1}, {1000, true, 1000, 999}, {0, false, 1000, 999}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ctsFrom);
    SetUp();
    fake::SetCtsOnFromRead(1, 2);  // on for the probe only
    ASSERT_TRUE(OpenAndProbe());
    if (c.ctsFrom != 0) fake::SetCtsOnFromRead(1 + c.ctsFrom);  // the probe took read 1
    fake::ClearJournal();
    EXPECT_EQ(WaitClearToSend(), c.ok);
    EXPECT_EQ(fake::CountJournal("status"), c.reads);
    EXPECT_EQ(fake::CountJournal("sleep 1"), c.sleeps);
    const Journal j = fake::Journal();
    ASSERT_FALSE(j.empty());
    EXPECT_EQ(j.front(), "status");
    if (c.ok) {
      ASSERT_TRUE(WriteSerialByte('.'));
      EXPECT_EQ(fake::Journal().back(), "write 2E");
    } else {
      EXPECT_EQ(j.back(), "sleep 1");
      EXPECT_EQ(fake::CountJournal("write"), 0);
      fake::ClearJournal();
      EXPECT_FALSE(WaitClearToSend());
      EXPECT_EQ(fake::CountJournal("status"), 1000);
    }
    CloseSerialPort();
  }
}

TEST_F(SerialChannel, ReadGivesReplyBytesAndDropsLargerOnes) {
  fake::SetCtsOnFromRead(1);
  ASSERT_TRUE(OpenAndProbe());
  fake::QueueSerialInput({0, 99, 100, 255, 42});
  EXPECT_EQ(ReadSerialByte(), 0);
  EXPECT_EQ(ReadSerialByte(), 99);
  EXPECT_EQ(ReadSerialByte(), -1);  // 100, gone
  EXPECT_EQ(ReadSerialByte(), -1);  // 255, gone
  EXPECT_EQ(ReadSerialByte(), 42);
  EXPECT_EQ(ReadSerialByte(), -1);  // nothing arrived
  EXPECT_EQ(fake::CountJournal("read"), 6);
}

TEST_F(SerialChannel, ReadAndQueryDoNotTouchAPortThatIsNotOpen) {
  fake::SetCtsOnFromRead(1);
  ASSERT_TRUE(OpenSerialPort());  // opened, but the load has not set portOpen
  fake::QueueSerialInput({5});
  fake::ClearJournal();
  EXPECT_EQ(ReadSerialByte(), -1);
  EXPECT_EQ(QueryClearToSend(), 0);
  EXPECT_TRUE(fake::Journal().empty());
}

TEST_F(SerialChannel, QueryReadsStatusOnceWithoutSleep) {
  fake::SetCtsOnFromRead(1, 3);
  ASSERT_TRUE(OpenAndProbe());
  fake::ClearJournal();
  EXPECT_EQ(QueryClearToSend(), 1);  // read 2
  EXPECT_EQ(QueryClearToSend(), 0);  // read 3
  EXPECT_EQ(fake::Journal(), (Journal{"status", "status"}));
  fake::SetStatusReadsFailFrom(4);
  fake::SetCtsOnFromRead(1);
  EXPECT_EQ(QueryClearToSend(), 0);
}

TEST_F(SerialChannel, WriteResultIsThePlatformResult) {
  fake::SetCtsOnFromRead(1);
  ASSERT_TRUE(OpenAndProbe());
  EXPECT_TRUE(WriteSerialByte(24));
  fake::SetSerialWritesFail(true);
  EXPECT_FALSE(WriteSerialByte(25));
  EXPECT_EQ(fake::SerialWritten(), (std::vector<uint8_t>{24}));
}

TEST_F(SerialChannel, CloseTwiceClosesOnce) {
  fake::SetCtsOnFromRead(1);
  ASSERT_TRUE(OpenAndProbe());
  CloseSerialPort();
  CloseSerialPort();
  EXPECT_EQ(fake::SerialCloses(), 1);
  EXPECT_EQ(fake::CountJournal("close"), 1);
}

TEST_F(SerialChannel, UnloadingEndsTheLongWait) {
  fake::SetCtsOnFromRead(1, 2);
  ASSERT_TRUE(OpenAndProbe());
  Proc().unloading = 1;
  fake::ClearJournal();
  EXPECT_FALSE(WaitClearToSend());
  EXPECT_EQ(fake::CountJournal("status"), 1);
  EXPECT_EQ(fake::SleepCount(), 0u);
}

// Threads use the port while another closes it after a failed probe: no call
// may reach the closed handle, and the close happens exactly once.
TEST_F(SerialChannel, CloseOnAnotherThreadNeverRacesAUseOfTheHandle) {
  for (int round = 0; round < 20; ++round) {
    fake::Reset();
    fake::SetSerialCallDelayUs(50);
    fake::SetCtsOnFromRead(1, 2);
    ResetProcessState();
    std::memcpy(Proc().portName, "COM1", 5);
    ASSERT_TRUE(OpenAndProbe());
    std::atomic<bool> go{false};
    std::vector<std::thread> users;
    for (int t = 0; t < 3; ++t) {
      users.emplace_back([&, t] {
        while (!go.load()) {
        }
        for (int i = 0; i < 30; ++i) {
          if (Proc().portOpen.load() == 0 && t != 0) break;
          switch ((i + t) % 4) {
            case 0: WaitClearToSend(); break;
            case 1: WriteSerialByte(static_cast<uint8_t>(i)); break;
            case 2: ReadSerialByte(); break;
            default: QueryClearToSend(); break;
          }
        }
      });
    }
    std::thread closer([&] {
      while (!go.load()) {
      }
      if (!ProbeClearToSend()) CloseSerialPort();
    });
    go = true;
    closer.join();
    for (std::thread& u : users) u.join();
    EXPECT_EQ(fake::SerialUsesAfterClose(), 0) << "round " << round;
    EXPECT_EQ(fake::SerialCloses(), 1);
    EXPECT_EQ(Proc().portOpen.load(), 0);
  }
}

}  // namespace
}  // namespace qz
