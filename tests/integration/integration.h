// Shared pieces of the integration tests: a sandbox per test, an optional
// device server in its own process, and library children.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>
#include <functional>
#include <iostream>
#include <memory>
#include <string>

#include "device_server.h"
#include "library_process.h"

namespace qztest {

// How long a test waits for something that should happen at once. Only a
// fault (or a badly overloaded machine) ever uses it up.
constexpr uint32_t kWaitMs = 10000;

constexpr char kSerialIni[] = "[QZVOX_USB_COMM]\nComPort=COM1\nForce_Comm=1\nNoPauses=0\n";

// A few words shared by the test process and its children, for handing the
// turn from one process to another.
class Baton {
 public:
  Baton() {
    void* p = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    stage_ = static_cast<std::atomic<int>*>(p);
    stage_->store(0);
  }
  ~Baton() { munmap(stage_, sizeof(std::atomic<int>)); }
  void Set(int stage) { stage_->store(stage); }
  bool WaitFor(int stage, uint32_t timeoutMs = kWaitMs) const {
    return Eventually([&] { return stage_->load() >= stage; }, timeoutMs);
  }

 private:
  std::atomic<int>* stage_;
};

inline bool IsGreeting(const DeviceRequest& r) {
  return r.code == IOCTL_URGENT_WRITE && r.pipe == 1 && r.length == 1 && r.bytes[0] == 24;
}

// Waits until a load has greeted the device at request `from` or later; the
// index of the first request after that greeting, or 0 when it never came.
inline size_t WaitForGreeting(const DeviceServer& server, size_t from = 0) {
  size_t after = 0;
  server.WaitUntil(
      [&](const std::vector<DeviceRequest>& rs) {
        for (size_t i = from; i < rs.size(); ++i) {
          if (IsGreeting(rs[i])) return (after = i + 1) != 0;
        }
        return false;
      },
      kWaitMs);
  return after;
}

// Waits until a text write on pipe 0 carrying exactly `data` has been taken
// (or, with busy, answered busy at least `times` times).
inline bool WaitForTextWrite(const DeviceServer& server, std::vector<uint8_t> data, Answer answer = Answer::kAnswered,
                             size_t times = 1, uint32_t timeoutMs = kWaitMs) {
  return server.WaitUntil(
      [&](const std::vector<DeviceRequest>& rs) {
        size_t n = 0;
        for (const DeviceRequest& r : rs) {
          if (r.IsWrite(0) && r.answer == answer && r.Data() == data) ++n;
        }
        return n >= times;
      },
      timeoutMs);
}

// What the library sent from request `from` on, reply polls left out.
inline std::vector<DeviceRequest> SentSince(const DeviceServer& server, size_t from) {
  return Select(server.RequestsSince(static_cast<uint32_t>(from)), [](const DeviceRequest& q) { return !IsPoll(q); });
}

// What a library child holds of its process, taken before the load; the
// macro expects it back after the unload (a joined thread can stay listed
// for a moment, so the thread count is waited for).
struct Footprint {
  int threads = CountThreads();
  int descriptors = CountDescriptors();
};
#define CHILD_EXPECT_FOOTPRINT(report, before)                                          \
  do {                                                                                  \
    CHILD_EXPECT_EQ(report, ThreadCountOnceAt((before).threads), (before).threads);     \
    CHILD_EXPECT_EQ(report, CountDescriptors(), (before).descriptors);                  \
  } while (0)

class Integration : public ::testing::Test {
 protected:
  // A second call replaces the server: the old one goes first, freeing its socket.
  void StartServer() {
    server_.reset();
    server_ = std::make_unique<DeviceServer>(sandbox_.runtimeDir());
    ASSERT_TRUE(server_->StartProcess());
  }
  DeviceServer& server() { return *server_; }

  // Runs body in a library child and waits for it.
  void RunChild(const ChildOptions& options, ChildBody body) {
    LibraryProcess child(sandbox_, options, std::move(body));
    Expect(child);
  }
  void RunChild(ChildBody body) { RunChild(ChildOptions{}, std::move(body)); }

  // Runs body in a library child between a checked load, whose greeting
  // reached the server, and a checked unload. `from` is the index of the
  // first request after the greeting.
  using GreetedBody = std::function<void(Report&, Library&, size_t from)>;
  void RunGreeted(const ChildOptions& options, GreetedBody body) {
    DeviceServer& dev = server();
    RunChild(options, [&](Report& r) {
      Library lib;
      CHILD_EXPECT(r, lib.Load());
      const size_t from = WaitForGreeting(dev);
      CHILD_EXPECT(r, from != 0);
      body(r, lib, from);
      CHILD_EXPECT(r, lib.Unload());
    });
  }
  void RunGreeted(GreetedBody body) { RunGreeted(ChildOptions{}, std::move(body)); }

  // Turns a finished child's report into the test's result; notes are shown.
  static void Expect(LibraryProcess& child, uint32_t timeoutMs = 120000) {
    const bool passed = child.Wait(timeoutMs);
    EXPECT_TRUE(passed) << child.report();
    if (passed && !child.report().empty()) std::cout << child.report();
  }

  Sandbox sandbox_;
  std::unique_ptr<DeviceServer> server_;
};

}  // namespace qztest
