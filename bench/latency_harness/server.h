// The harness's device server: the instant device (instant_device.h) on the
// device server socket of the runtime directory, one thread per connection,
// every call answered as soon as it arrives. It counts what arrives and
// stamps the time of the last arrivals; the measuring thread arms a target
// count and waits for it with Await.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>

namespace qzbench {

struct Server {
  std::string path;  // the socket
  std::atomic<uint64_t> connections{0};
  // Bytes taken on the text pipe, and urgent writes.
  std::atomic<uint64_t> textBytes{0};
  std::atomic<uint64_t> urgentWrites{0};
  std::atomic<int64_t> lastTextNs{0};
  std::atomic<int64_t> lastUrgentNs{0};
  // The reply byte the next bulk read delivers (-1: none).
  std::atomic<int32_t> pendingReply{-1};
  // Bulk reads still to be left unanswered; each one held counts heldReads.
  std::atomic<int32_t> holdReads{0};
  std::atomic<uint64_t> heldReads{0};
  // Targets for the counts above (UINT64_MAX: none armed).
  std::atomic<uint64_t> textTarget{UINT64_MAX};
  std::atomic<uint64_t> urgentTarget{UINT64_MAX};
  std::atomic<uint64_t> heldTarget{UINT64_MAX};

  // Arms target with value, runs action, and waits (timeoutMs at most) for
  // the server to reach it. False on time-out.
  template <typename Action>
  bool Await(std::atomic<uint64_t>& target, uint64_t value, Action action, int timeoutMs = 2000) {
    target.store(value, std::memory_order_release);
    action();
    if (WaitNotified(timeoutMs)) return true;
    target.store(UINT64_MAX);
    return false;
  }

  // The server's threads now (listener and connections).
  std::set<pid_t> Threads();

  // Internals of the server's threads.
  int listenFd = -1;
  int notifyFd = -1;  // the main thread waits here for a count to reach its target
  std::mutex tidsLock;
  std::set<pid_t> tids;
  bool WaitNotified(int timeoutMs);
};

extern Server g_server;

// Listens on <runtimeDir>/<kDeviceName> and serves it from threads of its
// own. False when the socket cannot be made.
bool StartServer(const std::string& runtimeDir);

}  // namespace qzbench
