// The baselines: what the same work costs when made of bare system calls in
// this process, against the harness's server.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace qzbench {

// A bare connection to the server (blocking), or -1.
int ConnectBare();

// One control call on a bare connection, with one byte on pipe: the request
// sent, then its answer awaited. The byte read for a bulk read, -1 when none
// came or for the other codes, -2 when the call failed.
int BareCall(int fd, uint32_t code, uint32_t pipe, uint8_t byte);

// The baseline writer: sleeps on an eventfd, pops a one-slot-per-byte ring,
// makes one round trip per byte on the text pipe of a bare connection.
class BareWriter {
 public:
  BareWriter();
  ~BareWriter();
  bool ok() const { return fd_ >= 0; }
  void Push(uint8_t b);

 private:
  static constexpr uint32_t kSize = 65536;
  void Run();
  int fd_;
  int event_;
  std::atomic<bool> stop_{false};
  std::atomic<uint32_t> head_{0};
  uint32_t tail_ = 0;
  uint8_t ring_[kSize];
  std::thread thread_;
};

// Two bare threads waiting on eventfds 50 and 100 ms at a time, as the
// library's poller and writer do when idle.
class BareTimers {
 public:
  BareTimers();
  ~BareTimers() { Stop(); }
  // Wakes both and joins them.
  void Stop();
  std::vector<pid_t> Tids() const { return {tids_[0].load(), tids_[1].load()}; }

 private:
  int events_[2];
  std::thread threads_[2];
  std::atomic<pid_t> tids_[2]{{0}, {0}};
  std::atomic<bool> stop_{false};
  bool stopped_ = false;
};

}  // namespace qzbench
