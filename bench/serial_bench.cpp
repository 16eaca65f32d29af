// The cost of what every serial text byte costs at least: one modem-status
// read and one one-byte write, on a pty standing in for the port. The status
// read fails on a pty (no modem lines) but still makes the system call.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

#include "channels/serial_channel.h"
#include "pty_port.h"
#include "state/state.h"

namespace {

using namespace qz;

// Opens the channel on a fresh pty, whose other side is read empty.
class PtyLine {
 public:
  PtyLine() {
    if (!pty_.ok()) std::abort();
    setenv("QZUSBD_COM1", pty_.name(), 1);
    ResetProcessState();
    std::memcpy(Proc().portName, "COM1", 5);
    Proc().lineTimeouts = LineTimeouts{0, 10, 0, 5, 0};
    ok_ = OpenSerialPort();
    Proc().portOpen = 1;
  }
  ~PtyLine() { CloseSerialPort(); }
  bool ok() const { return ok_; }

 private:
  qzbench::Pty pty_;
  bool ok_ = false;
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
