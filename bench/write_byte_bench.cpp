// USBQZ_WriteByte while the writer thread drains, against two ways of
// building the same producer from bare parts, all three feeding the same
// ring and the same writer thread in this run:
//
//   PushSignalAlways  push, then write the writer's eventfd on every call
//   PushFencedCheck   push, fence, and write the eventfd only when the
//                     writer has said it is going to sleep (the floor: the
//                     least a producer can do without losing a wake-up)
//
// Ratios use the calling thread's CPU time: the figures are nanoseconds, and
// real time on a shared machine mostly measures the other load.
//
// The library runs statically on the native backend, except that its device
// is a function that spends about a microsecond on each transfer (a real
// transfer is a socket round trip, ten times longer). The writer therefore
// stays behind a producer that writes as fast as it can, which is the case
// being measured: with a device that answered in no time the writer would
// keep up, go to sleep after every byte, and every design would pay a system
// call per byte. The producer stops the clock whenever the ring is half full
// and lets the writer catch up without emptying it.
#include <benchmark/benchmark.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "instant_device.h"
#include "lifecycle/lifecycle.h"
#include "platform/platform.h"
#include "platform/posix/posix.h"
#include "protocol/device_protocol.h"
#include "qzusbd.h"
#include "ratio_reporter.h"
#include "samples.h"
#include "sandbox.h"
#include "state/ring.h"
#include "state/state.h"

namespace {

using namespace qz;
using qzbench::Letter;

constexpr OsHandle kInstantDevice = 4242;
constexpr uint32_t kCheckEvery = 1024;
constexpr uint32_t kHighWater = kTextRingSize * 3 / 4;
constexpr uint32_t kLowWater = kTextRingSize / 4;
constexpr int64_t kTransferNanos = 1000;
constexpr int64_t kCallsPerRun = 1 << 20;

OsHandle OpenInstant(const char*) { return kInstantDevice; }

bool InstantControl(OsHandle, uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
                    uint32_t* bytesReturned) {
  const int64_t until = qzbench::NowNs() + kTransferNanos;
  while (qzbench::NowNs() < until) {
  }
  if (in != nullptr && inLength == kPipeRequestLength) qzbench::LeaveNotBusy(static_cast<uint8_t*>(in));
  if (code == IOCTL_GET_DEVICE_DESCRIPTOR) {
    *bytesReturned = qzbench::InstantDescriptor(static_cast<uint8_t*>(out), outLength);
  } else if (code == IOCTL_BULK_READ) {
    *bytesReturned = 0;  // no reply waiting
  } else {
    *bytesReturned = outLength;
  }
  return true;
}

// Signals of the writer's event made by the library, counted.
std::atomic<uint64_t> g_signals{0};
bool CountedSignal(OsHandle event) {
  g_signals.fetch_add(1, std::memory_order_relaxed);
  return NativePlatform().signalEvent(event);
}

void NoCancel(OsHandle) {}
void NoClose(OsHandle) {}

Platform g_table;

// Loads the library once for the whole program, in private folders.
class Library {
 public:
  Library() {
    if (!sandbox_.ok()) std::abort();
    sandbox_.Use();
    g_table = NativePlatform();
    g_table.openDevice = OpenInstant;
    g_table.deviceControl = InstantControl;
    g_table.cancelDeviceIo = NoCancel;
    g_table.closeDevice = NoClose;
    g_table.signalEvent = CountedSignal;
    UsePlatform(&g_table);
    OnLibraryLoad();
    if (USBQZ_CheckWdmStatus() != 1) {
      std::fprintf(stderr, "the library did not open the instant device\n");
      std::abort();
    }
  }
  ~Library() {
    OnLibraryUnload(false);
  }

 private:
  qztest::Sandbox sandbox_;
};

Library& TheLibrary() {
  static Library library;
  return library;
}

uint32_t Queued(TextRingView r) {
  uint32_t head = RingWord<kTextRingSize>(r.head, std::memory_order_acquire);
  uint32_t tail = RingWord<kTextRingSize>(r.tail, std::memory_order_acquire);
  return (head - tail) & TextRingView::kIndexMask;
}

// Every kCheckEvery calls: if the writer has fallen behind, stop the clock
// until it has nearly caught up (it stays awake meanwhile).
inline void KeepRingOpen(benchmark::State& state, TextRingView r, uint32_t& n) {
  if (++n % kCheckEvery != 0 || Queued(r) < kHighWater) return;
  state.PauseTiming();
  while (Queued(r) > kLowWater) {
  }
  state.ResumeTiming();
}

// How often a call had to make the system call: near 0 while the writer is
// kept busy.
void ReportSignals(benchmark::State& state, uint64_t signals) {
  state.counters["signals/call"] =
      state.iterations() == 0 ? 0.0 : static_cast<double>(signals) / static_cast<double>(state.iterations());
}

// Gives the writer work before the clock starts and waits until it is awake
// and taking it, so every run measures a writer that is draining.
void Prime(TextRingView r) {
  for (uint32_t i = 0; i < kLowWater; ++i) RingPush(r, Letter(i));
  NativePlatform().signalEvent(Proc().writerWakeEvent);
  while (Queued(r) == kLowWater || Proc().writerSleeping.load() != 0) {
  }
}

void WaitUntilDrained(TextRingView r) {
  while (Queued(r) != 0) usleep(100);
}

void BM_WriteByteWhileDraining(benchmark::State& state) {
  TheLibrary();
  TextRingView r = TextRingOf(Shared());
  Prime(r);
  uint32_t n = 0;
  const uint64_t before = g_signals.load();
  for (auto _ : state) {
    USBQZ_WriteByte(Letter(n));
    KeepRingOpen(state, r, n);
  }
  ReportSignals(state, g_signals.load() - before);
  WaitUntilDrained(r);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriteByteWhileDraining)->Iterations(kCallsPerRun);

// The two baselines are functions the benchmark calls, as an application
// calls an exported function: the call is part of any library's cost. The
// fenced check is also measured written into the loop, for reference.
__attribute__((noinline)) void PushSignalAlways(TextRingView r, int32_t b, int fd) {
  RingPush(r, b);
  eventfd_write(fd, 1);
}

__attribute__((noinline)) bool PushFencedCheck(TextRingView r, int32_t b, int fd,
                                               std::atomic<int32_t>& sleeping) {
  RingPush(r, b);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (sleeping.load(std::memory_order_relaxed) == 0) return false;
  eventfd_write(fd, 1);
  return true;
}

void BM_PushSignalAlways(benchmark::State& state) {
  TheLibrary();
  TextRingView r = TextRingOf(Shared());
  Prime(r);
  const int fd = posix::FdFromHandle(Proc().writerWakeEvent);
  uint32_t n = 0;
  for (auto _ : state) {
    PushSignalAlways(r, Letter(n), fd);
    KeepRingOpen(state, r, n);
  }
  WaitUntilDrained(r);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PushSignalAlways)->Iterations(kCallsPerRun);

void BM_PushFencedCheck(benchmark::State& state) {
  TheLibrary();
  TextRingView r = TextRingOf(Shared());
  Prime(r);
  const int fd = posix::FdFromHandle(Proc().writerWakeEvent);
  std::atomic<int32_t>& sleeping = Proc().writerSleeping;
  uint32_t n = 0;
  uint64_t signals = 0;
  for (auto _ : state) {
    if (PushFencedCheck(r, Letter(n), fd, sleeping)) ++signals;
    KeepRingOpen(state, r, n);
  }
  ReportSignals(state, signals);
  WaitUntilDrained(r);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PushFencedCheck)->Iterations(kCallsPerRun);

void BM_PushFencedCheckInline(benchmark::State& state) {
  TheLibrary();
  TextRingView r = TextRingOf(Shared());
  Prime(r);
  const int fd = posix::FdFromHandle(Proc().writerWakeEvent);
  std::atomic<int32_t>& sleeping = Proc().writerSleeping;
  uint32_t n = 0;
  for (auto _ : state) {
    RingPush(r, Letter(n));
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (sleeping.load(std::memory_order_relaxed) != 0) eventfd_write(fd, 1);
    KeepRingOpen(state, r, n);
  }
  WaitUntilDrained(r);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PushFencedCheckInline)->Iterations(kCallsPerRun);

}  // namespace

int main(int argc, char** argv) {
  const std::string suffix = "/iterations:" + std::to_string(kCallsPerRun);
  return qzbench::RunWithRatios(argc, argv,
                                {{"BM_WriteByteWhileDraining" + suffix, "BM_PushSignalAlways" + suffix},
                                 {"BM_WriteByteWhileDraining" + suffix, "BM_PushFencedCheck" + suffix},
                                 {"BM_WriteByteWhileDraining" + suffix, "BM_PushFencedCheckInline" + suffix}},
                                qzbench::RatioReporter::Clock::kCpu);
}
