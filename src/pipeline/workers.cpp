#include "pipeline/workers.h"

#include <atomic>

#include "channels/usb_channel.h"
#include "pipeline/text_filter.h"
#include "state/ring.h"

namespace qz {

constexpr uint32_t kWriterWaitMs = 100;
constexpr uint32_t kPollerWaitMs = 50;
constexpr uint32_t kPollPauseMs = 5;
constexpr uint32_t kProbeMs = 1000;

namespace {

// Leases: a lease that could not be opened (kNoHandle) means the process works
// alone, as with a private block.
bool TakeLease(OsHandle lease) { return !IsOpenHandle(lease) || Os().tryLease(lease); }
void GiveLease(OsHandle lease) {
  if (IsOpenHandle(lease)) Os().releaseLease(lease);
}

constexpr uint32_t kLeaseRetryMs = 10;

// Pops and sends until the ring is empty or the library stops. A slot that a
// producer has taken but not filled yet holds the pass for a moment (ring.h
// skips it after kStallSkipMs).
void DrainTextRing(ProcessState& p, TextRingView ring) {
  int unfilled = 0;  // looks in a row at a slot still being filled
  while (p.writerStop.load(std::memory_order_relaxed) == 0) {
    const int32_t v = RingPop(ring);
    if (v != -1) {
      unfilled = 0;
      SendTextByte(v & 0xFF);
    } else if (RingIsEmpty(ring)) {
      return;
    } else if (++unfilled > kRingAttempts) {
      // Its producer is not just between two instructions: preempted, or
      // dead.
      Os().sleepMs(1);
    }
  }
}

// The writer announces that it is going to sleep, then looks at the ring once
// more, and only then waits. A producer pushes, then looks at the announcement
// and signals only when it is set. Each side's store and its following load
// are sequentially consistent operations (the announcement here, the push's
// publishing compare-exchange and the emptiness check in ring.h), so in their
// single total order at least one side sees the other: either the writer
// finds the new byte, or the producer finds the writer asleep and signals.
// While the writer drains, producers pay no system call and no fence beyond
// the push's own compare-exchange.
//
// Every process runs a writer, but the ring is drained by one at a time,
// machine-wide: the one that holds the writer lease. Several drainers would
// each send over their own connection, and neighbouring bytes would swap on
// the way. The holder gives the lease up once the ring is empty and then
// looks at the ring once more (the loop's going-to-sleep check), so a byte
// pushed while it let go is not left for a time-out. A writer that finds the
// lease taken looks again every kLeaseRetryMs while text is queued: the
// holder may die (its lease is then free at once), or stop with text left.
}  // namespace

uint32_t WriterThreadMain(void*) {
  ProcessState& p = Proc();
  TextRingView ring = TextRingOf(Shared());
  bool leaseTaken = false;  // by another process, at the last look
  while (p.writerStop.load(std::memory_order_acquire) == 0) {
    p.writerSleeping.store(1, std::memory_order_seq_cst);
    if (RingIsEmpty(ring)) {
      Os().waitEvent(p.writerWakeEvent, kWriterWaitMs);
    } else if (leaseTaken) {
      Os().waitEvent(p.writerWakeEvent, kLeaseRetryMs);
    }
    p.writerSleeping.store(0, std::memory_order_relaxed);
    if (p.writerStop.load(std::memory_order_acquire) != 0) break;

    if (RingIsEmpty(ring)) {
      leaseTaken = false;
      continue;
    }
    leaseTaken = !TakeLease(p.writerLease);
    if (leaseTaken) continue;
    // One drain pass. It also ends when the library is stopping: what is
    // left stays queued in the shared ring for another process's writer.
    DrainTextRing(p, ring);
    GiveLease(p.writerLease);
  }
  return 0;
}

// Only the poller that holds the poller lease polls, so the device is asked
// for replies at one cadence however many processes have the library loaded,
// and each reply it gives is queued once, in its order. The holder keeps the
// lease until its process unloads (or dies); the others look for it at each
// wake.
//
// A poll is also how a process finds out that its connection broke (the
// device was unplugged) and makes a new one once the device is back, so that
// USBQZ_CheckWdmStatus tells the truth and the next text is not lost on a
// dead handle. The pollers without the lease do that with a probe that takes
// no reply, once every kProbeMs: a few device calls a second in all, whatever
// the number of processes.
uint32_t PollerThreadMain(void*) {
  ProcessState& p = Proc();
  SharedState& s = Shared();
  bool holding = false;
  uint32_t lastProbe = Os().monotonicMs();
  while (p.pollerStop.load(std::memory_order_acquire) == 0) {
    Os().waitEvent(p.pollerWakeEvent, kPollerWaitMs);
    // Woken to stop: no last poll (with its 1 ms and 5 ms pauses) that the
    // unload would have to wait for.
    if (p.pollerStop.load(std::memory_order_acquire) != 0) break;
    if (s.pollSuspended.load(std::memory_order_acquire) != 0) continue;
    if (!holding) holding = TakeLease(p.pollerLease);
    if (!holding) {
      const uint32_t now = Os().monotonicMs();
      if (now - lastProbe >= kProbeMs) {
        lastProbe = now;
        ProbeDevice();
      }
      continue;
    }
    auto reply = static_cast<uint8_t>(PollReplyByte());  // -1 becomes 255
    if (reply < 100) RingPush(ReplyRingOf(s), reply);
    Os().sleepMs(kPollPauseMs);
  }
  if (holding) GiveLease(p.pollerLease);
  return 0;
}

}  // namespace qz
