// Unloading the library: it comes back promptly whatever the device does,
// and load after load leaves nothing behind.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "integration.h"

namespace qztest {
namespace {

using UnloadTest = Integration;

// dlclose must not wait on the device: a second is far beyond what the
// unload needs and far below the time a stuck transfer would hold it.
constexpr uint64_t kPromptUs = 1000000;

// The writer is held on 'a' by a device that answers busy forever, or that
// never answers at all; the process goes on afterwards with the writer gone.
TEST_F(UnloadTest, ReturnsPromptlyWhateverTheDeviceDoesWithTheText) {
  const struct {
    const char* device;
    bool silent;
  } cases[] = {{"busy", false}, {"silent", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.device);
    StartServer();
    DeviceServer& dev = server();
    if (!c.silent) dev.SetBusyWrites(DeviceServer::kForever);
    RunChild([&](Report& r) {
      const Footprint before;
      Library lib;
      CHILD_EXPECT(r, lib.Load());
      CHILD_EXPECT(r, WaitForGreeting(dev) != 0);
      if (c.silent) dev.SetSilent(true);
      lib.WriteByte('a');
      CHILD_EXPECT(r, c.silent ? WaitForTextWrite(dev, {'a'}, Answer::kUnanswered)
                               : WaitForTextWrite(dev, {'a'}, Answer::kBusy, 3));
      const uint64_t start = MonotonicUs();
      CHILD_EXPECT(r, lib.Unload());
      const uint64_t took = MonotonicUs() - start;
      CHILD_EXPECT(r, took < kPromptUs);
      r.Note(std::string("unload with a ") + c.device + " device: " + std::to_string(took / 1000) + " ms");
      CHILD_EXPECT_FOOTPRINT(r, before);
    });
    if (!c.silent) {
      EXPECT_TRUE(dev.WaitForAllClosed(kWaitMs));
    }
  }
}

TEST_F(UnloadTest, TenThousandLoadsAndUnloadsLeaveNoDescriptorOrThread) {
  // The sanitizer stages of scripts/test run fewer.
  const int kCycles = static_cast<int>(EnvCount("QZUSBD_LOAD_CYCLES", 10000));
  StartServer();
  DeviceServer& dev = server();
  RunChild([&](Report& r) {
    const Footprint before;
    int loaded = 0;
    int unloaded = 0;
    int connected = 0;
    for (int i = 0; i < kCycles; ++i) {
      Library lib;
      if (lib.Load()) ++loaded;
      if (lib.CheckWdmStatus != nullptr && lib.CheckWdmStatus() == 1) ++connected;
      if (lib.Unload()) ++unloaded;
    }
    CHILD_EXPECT_EQ(r, loaded, kCycles);
    CHILD_EXPECT_EQ(r, connected, kCycles);
    CHILD_EXPECT_EQ(r, unloaded, kCycles);
    CHILD_EXPECT_FOOTPRINT(r, before);
    r.Note("load/unload: " + std::to_string(kCycles) + " cycles, " + std::to_string(connected) +
           " with the device connected");
  });
  // Every load really ran: one revision query and one greeting each.
  const std::vector<DeviceRequest> all = dev.Requests();
  EXPECT_EQ(Select(all, [](const DeviceRequest& q) { return q.code == IOCTL_GET_DEVICE_DESCRIPTOR; }).size(),
            static_cast<size_t>(kCycles));
  EXPECT_EQ(Select(all, IsGreeting).size(), static_cast<size_t>(kCycles));
  EXPECT_EQ(dev.ConnectionsAccepted(), static_cast<uint32_t>(kCycles));
  EXPECT_TRUE(dev.WaitForAllClosed(kWaitMs));
}

}  // namespace
}  // namespace qztest

namespace qztest {
namespace {

// An application that ends without unloading: the unload runs at exit and
// must not hold the process on a device that stays busy.
TEST_F(UnloadTest, ProcessExitWhileTheDeviceAnswersBusyForeverEndsPromptly) {
  StartServer();
  DeviceServer& dev = server();
  dev.SetBusyWrites(DeviceServer::kForever);
  Baton baton;
  LibraryProcess child(sandbox_, ChildOptions{}, [&](Report& r) {
    Library lib;
    CHILD_EXPECT(r, lib.Load());
    lib.WriteByte('a');
    CHILD_EXPECT(r, WaitForTextWrite(dev, {'a'}, Answer::kBusy, 3));
    if (r.failures() != 0) return;
    std::fflush(nullptr);
    baton.Set(1);
    std::exit(0);
  });
  ASSERT_TRUE(baton.WaitFor(1)) << child.report();
  const uint64_t start = MonotonicUs();
  Expect(child);
  const uint64_t took = MonotonicUs() - start;
  EXPECT_LT(took, kPromptUs);
  std::cout << "exit with a busy device: " << took / 1000 << " ms\n";
  EXPECT_TRUE(dev.WaitForAllClosed(kWaitMs));
}

// How many mappings of the shared block this process has.
int MappedBlocks() {
  std::ifstream maps("/proc/self/maps");
  int n = 0;
  for (std::string line; std::getline(maps, line);) {
    n += line.size() >= 11 && line.compare(line.size() - 11, 11, "/qzusbd.shm") == 0 ? 1 : 0;
  }
  return n;
}

// An application that calls exit() while its threads may be in the library:
// the unload at exit leaves the shared block mapped, so such a thread never
// touches unmapped memory. Looked at from the last thing exit() does, after
// the library's unload: flushing the streams.
TEST_F(UnloadTest, ProcessExitLeavesTheSharedBlockMapped) {
  StartServer();
  RunChild([&](Report& r) {
    Library lib;
    CHILD_EXPECT(r, lib.Load());
    CHILD_EXPECT_EQ(r, MappedBlocks(), 1);
    if (r.failures() != 0) return;
    static Report* report = &r;
    cookie_io_functions_t io{};
    io.write = [](void*, const char*, size_t size) -> ssize_t {
      CHILD_EXPECT_EQ(*report, MappedBlocks(), 1);
      _exit(report->failures() == 0 ? 0 : 1);
      return static_cast<ssize_t>(size);
    };
    FILE* last = fopencookie(nullptr, "w", io);
    CHILD_EXPECT(r, last != nullptr);
    std::fputc('x', last);
    std::exit(1);  // unless the flush at the very end says otherwise
  });
}

}  // namespace
}  // namespace qztest
