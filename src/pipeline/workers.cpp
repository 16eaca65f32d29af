#include "pipeline/workers.h"

#include <atomic>

#include "channels/usb_channel.h"
#include "pipeline/text_filter.h"
#include "state/lease.h"
#include "state/ring.h"

namespace qz {

constexpr uint32_t kWriterWaitMs = 100;
constexpr uint32_t kPollerWaitMs = 50;
constexpr uint32_t kPollPauseMs = 5;
constexpr uint32_t kProbeMs = 1000;

namespace {

constexpr uint32_t kLeaseRetryMs = 10;

// Pops and sends until the ring is empty, the library stops, or another
// process has taken the lease over (this one was stopped, or starved, for
// kLeaseStaleMs): the check comes before every pop, so at most the byte in
// hand when the process stopped goes out late. A slot that a producer has
// taken but not filled yet holds the pass for a moment (ring.h skips it
// after kStallSkipMs).
void DrainTextRing(ProcessState& p, SharedState& s, TextRingView ring) {
  int unfilled = 0;  // looks in a row at a slot still being filled
  while (p.writerStop.load(std::memory_order_relaxed) == 0 && LeaseHeld(s.writerLease, p.leaseId)) {
    uint32_t position = 0;
    const int32_t v = RingPop(ring, &position);
    if (v != -1) {
      unfilled = 0;
      SendTextByte(v & 0xFF, &position);
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
// machine-wide: the one that holds the writer lease (state/lease.h). Several
// drainers would each send over their own connection, and neighbouring bytes
// would swap on the way. The holder gives the lease up once the ring is
// empty and then looks at the ring once more (the loop's going-to-sleep
// check), so a byte pushed while it let go is not left for a time-out. A
// writer that finds the lease taken looks again every kLeaseRetryMs while
// text is queued: the holder may die (its lease is then free at once), or
// stop with text left (its lease passes after kLeaseStaleMs).
}  // namespace

uint32_t WriterThreadMain(void*) {
  ProcessState& p = Proc();
  SharedState& s = Shared();
  TextRingView ring = TextRingOf(s);
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
    leaseTaken = !LeaseTake(s.writerLease, p.leaseId);
    if (leaseTaken) continue;
    // One drain pass. It also ends when the library is stopping: what is
    // left stays queued in the shared ring for another process's writer.
    DrainTextRing(p, s, ring);
    LeaseGive(s.writerLease, p.leaseId);
  }
  LeaseGive(s.writerLease, p.leaseId);
  return 0;
}

// Only the poller that holds the poller lease polls, so the device is asked
// for replies at one cadence however many processes have the library loaded,
// and each reply it gives is queued once, in its order. The holder renews the
// lease at every wake, suspended or not, and keeps it until its process
// unloads, dies, or stops for kLeaseStaleMs; the others look at each wake
// whether it has passed, and take it over then.
//
// The holder waits on the wake that crosses processes (Shared().replyWanted),
// which USBQZ_ReadByte in any process signals: replies come as soon in every
// process as in the one that polls. The others wait on their own event.
//
// A poll is also how a process finds out that its connection broke (the
// device was unplugged) and makes a new one once the device is back, so that
// USBQZ_CheckWdmStatus tells the truth and the next text is not lost on a
// dead handle. The pollers without the lease do that with a probe that takes
// no reply, once every kProbeMs.
uint32_t PollerThreadMain(void*) {
  ProcessState& p = Proc();
  SharedState& s = Shared();
  bool holding = false;
  uint32_t lastProbe = Os().monotonicMs();
  while (p.pollerStop.load(std::memory_order_acquire) == 0) {
    if (holding && IsOpenHandle(p.replyWake)) {
      Os().waitSharedWake(p.replyWake, kPollerWaitMs);
    } else {
      Os().waitEvent(p.pollerWakeEvent, kPollerWaitMs);
    }
    // Woken to stop: no last poll (with its 1 ms and 5 ms pauses) that the
    // unload would have to wait for.
    if (p.pollerStop.load(std::memory_order_acquire) != 0) break;
    // Before every poll: a holder that was stopped finds here that the lease
    // has passed on.
    holding = LeaseTake(s.pollerLease, p.leaseId);
    if (s.pollSuspended.load(std::memory_order_acquire) != 0) continue;
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
  LeaseGive(s.pollerLease, p.leaseId);
  return 0;
}

}  // namespace qz
