// The cost of what every serial text byte costs at least: one modem-status
// read and one one-byte write, on a pty standing in for the port. The status
// read fails on a pty (no modem lines) but still makes the system call.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "channels/serial_channel.h"
#include "state/state.h"

namespace {

using namespace qz;

// Opens the channel on a fresh pty and drains the other side on a thread.
class PtyLine {
 public:
  PtyLine() {
    char name[128];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) std::abort();
    termios t;
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
    setenv("QZUSBD_COM1", name, 1);
    ResetProcessState();
    std::memcpy(Proc().portName, "COM1", 5);
    Proc().lineTimeouts = LineTimeouts{0, 10, 0, 5, 0};
    ok_ = OpenSerialPort();
    Proc().portOpen = 1;
    drain_ = std::thread([this] {
      char buf[4096];
      while (!stop_.load()) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 20) == 1 && read(master_, buf, sizeof buf) < 0) break;
      }
    });
  }
  ~PtyLine() {
    stop_ = true;
    drain_.join();
    CloseSerialPort();
    close(slave_);
    close(master_);
  }
  bool ok() const { return ok_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::thread drain_;
};

void BM_StatusReadAndByteWrite(benchmark::State& state) {
  PtyLine line;
  if (!line.ok()) {
    state.SkipWithError("the pty did not open as COM1");
    return;
  }
  uint8_t b = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(QueryClearToSend());
    benchmark::DoNotOptimize(WriteSerialByte(static_cast<uint8_t>('a' + (b++ & 15))));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StatusReadAndByteWrite);

void BM_StatusReadOnly(benchmark::State& state) {
  PtyLine line;
  if (!line.ok()) {
    state.SkipWithError("the pty did not open as COM1");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(QueryClearToSend());
}
BENCHMARK(BM_StatusReadOnly);

}  // namespace

BENCHMARK_MAIN();
