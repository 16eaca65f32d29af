// How long a byte takes to reach the device: a text byte, the urgent cancel,
// and the urgent cancel while the device holds the answer to a poll.
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "baselines.h"
#include "measurements.h"
#include "processes.h"
#include "protocol/device_protocol.h"
#include "report.h"
#include "samples.h"
#include "server.h"

namespace qzbench {

using namespace qz;

void KeyToWire(qztest::Library& lib, const Counts& c, const char* path) {
  BareWriter bare;
  if (!bare.ok()) return Fail("the bare writer could not connect");
  std::vector<double> ours, base, beside;
  // One sample: from the call that queues a byte until the server holds it.
  auto sample = [&](int i, std::vector<double>& into, const std::function<void(uint8_t)>& push) {
    SleepUs(2000 + (i * 37) % 1000);  // the writers are asleep again
    int64_t t0 = 0;
    const uint64_t target = g_server.textBytes.load() + 1;
    if (!g_server.Await(g_server.textTarget, target, [&] {
          t0 = NowNs();
          push(Letter(i));
        })) {
      return false;
    }
    into.push_back((g_server.lastTextNs.load() - t0) / 1000.0);
    return true;
  };
  auto ourPush = [&](uint8_t b) { lib.WriteByte(b); };
  for (int i = 0; i < c.keySamples; ++i) {
    if (!sample(i, ours, ourPush)) return Fail("key-to-wire: the library's byte never arrived");
    if (!sample(i, base, [&](uint8_t b) { bare.Push(b); })) return Fail("key-to-wire: the bare byte never arrived");
  }
  RatioRow("key-to-wire p50", Median(ours), Median(base), "us", 1.3);
  AbsoluteRow("key-to-wire p99", Percentile(ours, 0.99), Percentile(base, 0.99), "us", "<= 2000 us", 2000);
  ReportRow("key-to-wire max", Percentile(ours, 1.0), Percentile(base, 1.0), "us");
  WriteSeries("key_ours", ours);
  WriteSeries("key_base", base);

  // The same with a second, idle process loaded: its writer and poller wait
  // for their turn and must not slow this one's bytes down.
  const pid_t idle = StartIdleProcess(path);
  if (idle < 0) return Fail("key-to-wire: the second process could not load the library");
  bool arrived = true;
  for (int i = 0; i < c.keySamples && arrived; ++i) arrived = sample(i, beside, ourPush);
  StopIdleProcess(idle);
  if (!arrived) return Fail("key-to-wire: with a second process, the library's byte never arrived");
  RatioRow("key-to-wire p50, second process loaded / alone", Median(beside), Median(ours), "us", 1.3);
}

void CancelToWire(qztest::Library& lib, const Counts& c) {
  const int fd = ConnectBare();
  if (fd < 0) return Fail("cancel-to-wire: no bare connection");
  std::vector<double> ours, base;
  for (int i = 0; i < c.cancelSamples; ++i) {
    SleepUs(500);
    int64_t t0 = 0;
    if (!g_server.Await(g_server.urgentTarget, g_server.urgentWrites.load() + 1, [&] {
          t0 = NowNs();
          lib.WriteByteImmediate(CANCEL_BYTE);
        })) {
      close(fd);
      return Fail("cancel-to-wire: the library's cancel never arrived");
    }
    ours.push_back((g_server.lastUrgentNs.load() - t0) / 1000.0);
    SleepUs(500);
    if (!g_server.Await(g_server.urgentTarget, g_server.urgentWrites.load() + 1, [&] {
          t0 = NowNs();
          BareCall(fd, IOCTL_URGENT_WRITE, kImmediatePipe, CANCEL_BYTE);
        })) {
      close(fd);
      return Fail("cancel-to-wire: the bare cancel never arrived");
    }
    base.push_back((g_server.lastUrgentNs.load() - t0) / 1000.0);
  }
  close(fd);
  RatioRow("cancel-to-wire p50", Median(ours), Median(base), "us", 1.2);
  ReportRow("cancel-to-wire p99", Percentile(ours, 0.99), Percentile(base, 0.99), "us");
  WriteSeries("cancel_ours", ours);
  WriteSeries("cancel_base", base);
}

// The urgent cancel while the poller's read hangs in the device: a byte on
// the immediate pipe lifts the poll suspension, the server holds the next
// poll read, and the cancel is sent from this thread. Measured until the
// cancel reaches the server (given up after 3 s: "never"), with the time the
// call took and its result beside it.
void StuckCancel(qztest::Library& lib, const Counts& c) {
  std::vector<double> ours, base, calls;
  int returnedOne = 0, arrived = 0;
  for (int i = 0; i < c.stuckSamples; ++i) {
    if (!g_server.Await(g_server.heldTarget, g_server.heldReads.load() + 1, [&] {
          g_server.holdReads.store(1);
          lib.WriteByteImmediate('a');
          lib.ReadByte();  // wakes the poller at once
        })) {
      return Fail("stuck cancel: the poller's read never came");
    }
    int64_t t0 = 0;
    int32_t result = -1;
    std::thread app;
    const bool reached = g_server.Await(g_server.urgentTarget, g_server.urgentWrites.load() + 1, [&] {
      t0 = NowNs();
      app = std::thread([&] {
        result = lib.WriteByteImmediate(CANCEL_BYTE);
        calls.push_back((NowNs() - t0) / 1e6);
      });
    }, 3000);
    app.join();
    if (reached) {
      ++arrived;
      ours.push_back((g_server.lastUrgentNs.load() - t0) / 1e6);
    }
    returnedOne += result == 1 ? 1 : 0;
    const int64_t b0 = NowNs();
    if (!g_server.Await(g_server.urgentTarget, g_server.urgentWrites.load() + 1, [&] {
          const int fd = ConnectBare();
          BareCall(fd, IOCTL_URGENT_WRITE, kImmediatePipe, CANCEL_BYTE);
          if (fd >= 0) close(fd);
        })) {
      return Fail("stuck cancel: the bare cancel never arrived");
    }
    base.push_back((g_server.lastUrgentNs.load() - b0) / 1e6);
  }
  const std::string n = " (" + std::to_string(arrived) + " of " + std::to_string(c.stuckSamples) + " arrived, " +
                        std::to_string(returnedOne) + " returned 1)";
  // Every cancel must arrive: one that never did fails the row whatever the
  // others took.
  AbsoluteRow("stuck cancel-to-wire p50" + n, Median(ours), Median(base), "ms", "<= 100 ms", 100,
              static_cast<int>(ours.size()) == c.stuckSamples);
  ReportRow("stuck cancel call p50", Median(calls), Median(base), "ms");
  WriteSeries("stuck_cancel_ours", ours);
}

}  // namespace qzbench
