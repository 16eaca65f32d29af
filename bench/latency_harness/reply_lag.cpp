// How long a reply the device has takes to reach the application.
#include <unistd.h>

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

namespace {

// The application polling the device itself every millisecond, with the
// device's 1 ms between the reply request and the read. False when the reply
// did not come within 2 s.
bool BarePoll(int fd, int64_t t0) {
  for (;;) {
    BareCall(fd, IOCTL_BULK_WRITE, kReplyRequestPipe, REPLY_REQUEST_BYTE);
    SleepUs(1000);
    if (BareCall(fd, IOCTL_BULK_READ, kReplyPipe, 0) == kReplyByte) return true;
    if (NowNs() - t0 > 2000000000) return false;
    SleepUs(1000);
  }
}

// The same replies read in another process, which does not poll: its
// USBQZ_ReadByte wakes this process's poller. Compared with ours, the lag in
// the process that polls.
void ReplyLagElsewhere(qztest::Library& lib, const Counts& c, const char* path, const std::vector<double>& ours) {
  Reader reader = StartReader(path);
  if (reader.pid < 0) return Fail("reply lag: the reading process did not start");
  // Its load greeted the device with a cancel, which suspends polling until
  // the next text.
  if (!g_server.Await(g_server.textTarget, g_server.textBytes.load() + 1, [&] { lib.WriteByte('a'); })) {
    StopReader(reader);
    return Fail("reply lag: no text byte arrived after the second load");
  }
  std::vector<double> other;
  for (int i = 0; i < c.replySamples; ++i) {
    SleepIntoPollCycle(i);
    const int64_t t0 = NowNs();
    g_server.pendingReply.store(kReplyByte);
    int64_t came = 0;
    if (write(reader.to, &t0, sizeof t0) != sizeof t0 || read(reader.from, &came, sizeof came) != sizeof came ||
        came == 0) {
      StopReader(reader);
      return Fail("reply lag: the reply never came back to the other process");
    }
    other.push_back((came - t0) / 1000.0);
  }
  StopReader(reader);
  RatioRow("reply lag p50, a process that does not poll (baseline: the one that does)", Median(other),
           Median(ours), "us", 1.2);
  ReportRow("reply lag p99, a process that does not poll (baseline: the one that does)",
            Percentile(other, 0.99), Percentile(ours, 0.99), "us");
  WriteSeries("reply_other", other);
}

}  // namespace

void ReplyLag(qztest::Library& lib, const Counts& c, const char* path) {
  // Polling runs once the writer has taken a text byte.
  if (!g_server.Await(g_server.textTarget, g_server.textBytes.load() + 1, [&] { lib.WriteByte('a'); })) {
    return Fail("reply lag: no text byte arrived");
  }
  while (lib.ReadByte() != -1) {
  }
  const int fd = ConnectBare();
  if (fd < 0) return Fail("reply lag: no bare connection");
  std::vector<double> ours, base;
  for (int i = 0; i < c.replySamples; ++i) {
    // The reply turns up at any moment of the poller's cycle; the
    // application then calls USBQZ_ReadByte every millisecond.
    SleepIntoPollCycle(i);
    const int64_t t0 = NowNs();
    g_server.pendingReply.store(kReplyByte);
    int32_t v;
    while ((v = lib.ReadByte()) == -1 && NowNs() - t0 < 2000000000) SleepUs(1000);
    if (v != kReplyByte) {
      close(fd);
      return Fail("reply lag: the reply never came back");
    }
    ours.push_back((NowNs() - t0) / 1000.0);
  }
  // The library's poller would take the bare side's replies: a cancel
  // suspends it.
  lib.WriteByteImmediate(CANCEL_BYTE);
  SleepUs(100000);
  for (int i = 0; i < c.replySamples; ++i) {
    SleepIntoPollCycle(i);
    const int64_t t0 = NowNs();
    g_server.pendingReply.store(kReplyByte);
    if (!BarePoll(fd, t0)) {
      close(fd);
      return Fail("reply lag: the bare poll never saw the reply");
    }
    base.push_back((NowNs() - t0) / 1000.0);
  }
  close(fd);
  ReportRow("reply lag p50", Median(ours), Median(base), "us");
  ReportRow("reply lag p99", Percentile(ours, 0.99), Percentile(base, 0.99), "us");
  WriteSeries("reply_ours", ours);
  WriteSeries("reply_base", base);
  ReplyLagElsewhere(lib, c, path, ours);
}

}  // namespace qzbench
