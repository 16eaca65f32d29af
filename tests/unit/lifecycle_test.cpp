// The load and unload sequences against the scripted device, with the
// configuration directory taken away (so the load runs in USB mode with the
// defaults) and a shared block of the test's own.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "channels/usb_channel.h"
#include "lifecycle/lifecycle.h"
#include "fake/fake.h"
#include "fake/fake_device.h"
#include "qzusbd.h"
#include "sandbox.h"
#include "state/state.h"

namespace qz {
namespace {

SharedState g_block;
std::atomic<int> g_threadStarts{0};
std::atomic<int> g_failThreadStart{0};  // 1-based index of the start that fails; 0: none
std::atomic<int> g_eventCreates{0};
std::atomic<int> g_failEventCreate{0};  // likewise for event creation
std::atomic<uint32_t> g_longestLoadWait{0};
// While set, the writer cannot be waited for (it is held in a transfer that
// ignores the cancel); each such wait is counted, and the one numbered
// g_releaseAtWait lets the transfer go.
std::atomic<bool> g_writerStuck{false};
std::atomic<int> g_writerWaits{0};
std::atomic<int> g_releaseAtWait{0};
std::atomic<int> g_keepCalls{0};
std::atomic<bool> g_canKeep{false};
std::atomic<bool> g_loading{false};

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Install();
    InitialiseSharedState(&g_block);
    g_threadStarts = 0;
    g_failThreadStart = 0;
    g_eventCreates = 0;
    g_failEventCreate = 0;
    g_longestLoadWait = 0;
    table_ = Os();
    table_.getWindowsDirectory = [](char*, uint32_t) -> uint32_t { return 0; };
    table_.attachSharedState = []() { return &g_block; };
    table_.detachSharedState = [](SharedState*) {};
    table_.startThread = [](ThreadMain main, void* arg, uint32_t* id) -> OsHandle {
      if (++g_threadStarts == g_failThreadStart.load()) return kNoHandle;
      return NativePlatform().startThread(main, arg, id);
    };
    table_.createEvent = []() -> OsHandle {
      if (++g_eventCreates == g_failEventCreate.load()) return kNoHandle;
      return NativePlatform().createEvent();
    };
    g_writerStuck = false;
    g_writerWaits = 0;
    g_releaseAtWait = 0;
    g_keepCalls = 0;
    table_.keepLibraryMapped = []() {
      ++g_keepCalls;
      return g_canKeep.load();
    };
    table_.waitThread = [](OsHandle t, uint32_t ms) {
      if (g_loading.load() && ms > g_longestLoadWait.load()) g_longestLoadWait = ms;
      if (g_writerStuck.load() && t == Proc().writerThread) {
        if (++g_writerWaits != g_releaseAtWait.load()) return false;
        g_writerStuck = false;
        fake::SetIgnoreCancel(false);
      }
      return NativePlatform().waitThread(t, ms);
    };
    UsePlatform(&table_);
  }
  void TearDown() override { fake::Uninstall(); }

  static void Load() {
    g_loading = true;
    OnLibraryLoad();
    g_loading = false;
  }

  // Nothing of the process is left open, and nothing was used after its close.
  static void ExpectAllClosed() {
    ProcessState& p = Proc();
    EXPECT_EQ(p.pollerThread, kNoHandle);
    EXPECT_EQ(p.writerThread, kNoHandle);
    EXPECT_EQ(p.pollerWakeEvent, kNoHandle);
    EXPECT_EQ(p.writerWakeEvent, kNoHandle);
    EXPECT_EQ(fake::OpenDeviceHandles(), 0);
    EXPECT_EQ(fake::DeviceMisuse(), 0);
  }

  Platform table_;
};

TEST_F(LifecycleTest, UsbLoadStartsBothWorkersGreetsAndUnloadClosesEverything) {
  Load();
  EXPECT_EQ(g_threadStarts.load(), 2);
  EXPECT_EQ(USBQZ_CheckWdmStatus(), 1);
  EXPECT_EQ(fake::CountJournal("urgent 1 18"), 1);
  OnLibraryUnload(false);
  ExpectAllClosed();
  EXPECT_EQ(fake::CountJournal("urgent"), 1);  // the unload sends nothing
}

// The writer cannot be started: the load stops the poller without waiting for
// it (under the Windows loader lock it could not run yet), leaves without a
// connection and sends nothing; the unload then collects the poller.
TEST_F(LifecycleTest, WriterThatCannotStartLeavesNoConnectionAndNoWaitInTheLoad) {
  g_failThreadStart = 2;
  Load();
  EXPECT_EQ(g_longestLoadWait.load(), 0u);
  EXPECT_EQ(USBQZ_CheckWdmStatus(), 0);
  EXPECT_EQ(Proc().writerThread, kNoHandle);
  EXPECT_EQ(fake::OpenDeviceHandles(), 0);
  EXPECT_EQ(fake::CountJournal("urgent"), 0);
  EXPECT_EQ(fake::CountJournal("open"), 1);  // the poller did not reopen the device
  OnLibraryUnload(false);
  ExpectAllClosed();
}

// A wake event or the poller cannot be had: the load leaves no connection
// and sends nothing, but the device stays reopenable, so a later transfer
// brings it back as after any failure.
TEST_F(LifecycleTest, FailedStartLeavesNoConnectionButTheDeviceReopenable) {
  struct Case {
    const char* name;
    int failEvent;
    int failThread;
  } cases[] = {{"first event", 1, 0}, {"second event", 2, 0}, {"poller", 0, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::Reset();
    g_eventCreates = 0;
    g_threadStarts = 0;
    g_failEventCreate = c.failEvent;
    g_failThreadStart = c.failThread;
    Load();
    EXPECT_EQ(g_threadStarts.load(), c.failThread);
    EXPECT_EQ(USBQZ_CheckWdmStatus(), 0);
    EXPECT_EQ(fake::CountJournal("urgent"), 0);
    ExpectAllClosed();

    const uint8_t text[] = {'h', 'i'};
    EXPECT_EQ(USBQZ_WriteString(text, 2), 0);  // fails on the closed handle and reopens
    EXPECT_EQ(USBQZ_CheckWdmStatus(), 1);
    EXPECT_EQ(USBQZ_WriteByteImmediate(24), 1);
    EXPECT_EQ(USBQZ_WriteString(text, 2), 1);
    EXPECT_EQ(fake::PipeBytes(0), (std::vector<uint8_t>{'h', 'i'}));
    OnLibraryUnload(false);
    ExpectAllClosed();
  }
}

// A transfer that never returns holds the writer, and the unload cuts it
// loose. Where the driver ignores the cancel, both of the unload's rounds
// fail: where the platform keeps the library mapped, the unload returns and
// leaves everything the writer uses open; where it cannot, the unload waits
// on until the writer is out. Either way nothing is closed under the writer.
TEST_F(LifecycleTest, UnloadOfAStuckWriterNeverLeavesItUnmapped) {
  struct Case {
    const char* name;
    bool ignoresCancel, canKeep;
    int keepCalls, writerWaits;
  } cases[] = {{"cancelled", false, false, 0, 0}, {"kept mapped", true, true, 1, 2}, {"waited for", true, false, 1, 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::Reset();
    Load();
    fake::SetNeverAnswer(true);
    fake::SetIgnoreCancel(c.ignoresCancel);
    USBQZ_WriteByte('a');
    qztest::Eventually([] { return fake::BlockedTransfers() != 0; });
    ASSERT_EQ(fake::BlockedTransfers(), 1);
    g_canKeep = c.canKeep;
    g_keepCalls = 0;
    g_writerWaits = 0;
    g_releaseAtWait = c.canKeep ? 0 : 4;  // after both rounds and one more
    g_writerStuck = c.ignoresCancel;
    OnLibraryUnload(false);
    EXPECT_EQ(g_keepCalls.load(), c.keepCalls);
    EXPECT_EQ(g_writerWaits.load(), c.writerWaits);
    ProcessState& p = Proc();
    if (c.canKeep) {
      EXPECT_NE(p.writerThread, kNoHandle);
      EXPECT_NE(p.writerWakeEvent, kNoHandle);
      EXPECT_EQ(fake::OpenDeviceHandles(), 1);
      // Let the writer go and finish the unload by hand.
      g_writerStuck = false;
      fake::SetIgnoreCancel(false);
      fake::SetNeverAnswer(false);
      ASSERT_TRUE(Os().waitThread(p.writerThread, 10000));
      Os().closeThread(p.writerThread);
      p.writerThread = kNoHandle;
      Os().closeEvent(p.writerWakeEvent);
      Os().closeEvent(p.pollerWakeEvent);
      p.writerWakeEvent = p.pollerWakeEvent = kNoHandle;
      CloseDevice();
    }
    EXPECT_EQ(fake::BlockedTransfers(), 0);
    ExpectAllClosed();
    fake::SetNeverAnswer(false);
  }
}

}  // namespace
}  // namespace qz
