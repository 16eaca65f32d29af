// The load and unload sequences against the scripted device, with the
// configuration directory taken away (so the load runs in USB mode with the
// defaults) and a shared block of the test's own.
#include <gtest/gtest.h>

#include <atomic>

#include "lifecycle/lifecycle.h"
#include "fake/fake.h"
#include "fake/fake_device.h"
#include "qzusbd.h"
#include "state/state.h"

namespace qz {
namespace {

SharedState g_block;
std::atomic<int> g_threadStarts{0};
std::atomic<int> g_failThreadStart{0};  // 1-based index of the start that fails; 0: none
std::atomic<uint32_t> g_longestLoadWait{0};
std::atomic<bool> g_loading{false};

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Install();
    InitialiseSharedState(&g_block);
    g_threadStarts = 0;
    g_failThreadStart = 0;
    g_longestLoadWait = 0;
    table_ = Os();
    table_.getWindowsDirectory = [](char*, uint32_t) -> uint32_t { return 0; };
    table_.attachSharedState = []() { return &g_block; };
    table_.detachSharedState = [](SharedState*) {};
    table_.startThread = [](ThreadMain main, void* arg, uint32_t* id) -> OsHandle {
      if (++g_threadStarts == g_failThreadStart.load()) return kNoHandle;
      return NativePlatform().startThread(main, arg, id);
    };
    table_.waitThread = [](OsHandle t, uint32_t ms) {
      if (g_loading.load() && ms > g_longestLoadWait.load()) g_longestLoadWait = ms;
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

TEST_F(LifecycleTest, PollerThatCannotStartLeavesNoConnection) {
  g_failThreadStart = 1;
  Load();
  EXPECT_EQ(g_threadStarts.load(), 1);
  EXPECT_EQ(USBQZ_CheckWdmStatus(), 0);
  EXPECT_EQ(fake::CountJournal("urgent"), 0);
  ExpectAllClosed();
  OnLibraryUnload(false);
  ExpectAllClosed();
}

// A transfer that never returns holds the writer; the unload cuts it loose
// and still closes everything.
TEST_F(LifecycleTest, UnloadCutsAStuckTransferLooseAndClosesEverything) {
  Load();
  fake::SetNeverAnswer(true);
  USBQZ_WriteByte('a');
  for (int i = 0; i < 5000 && fake::BlockedTransfers() == 0; ++i) NativePlatform().sleepMs(1);
  ASSERT_EQ(fake::BlockedTransfers(), 1);
  OnLibraryUnload(false);
  EXPECT_EQ(fake::BlockedTransfers(), 0);
  ExpectAllClosed();
  fake::SetNeverAnswer(false);
}

}  // namespace
}  // namespace qz
