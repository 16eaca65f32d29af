#include "pipeline/workers.h"

#include <atomic>

#include "channels/usb_channel.h"
#include "pipeline/text_filter.h"
#include "state/ring.h"

namespace qz {

constexpr uint32_t kWriterWaitMs = 100;
constexpr uint32_t kPollerWaitMs = 50;
constexpr uint32_t kPollPauseMs = 5;

// The writer announces that it is going to sleep, then looks at the ring once
// more, and only then waits. A producer pushes, then looks at the announcement
// and signals only when it is set. Each side's store and its following load
// are sequentially consistent operations (the announcement here, the push's
// publishing compare-exchange and the emptiness check in ring.h), so in their
// single total order at least one side sees the other: either the writer
// finds the new byte, or the producer finds the writer asleep and signals.
// While the writer drains, producers pay no system call and no fence beyond
// the push's own compare-exchange.
uint32_t WriterThreadMain(void*) {
  ProcessState& p = Proc();
  TextRingView ring = TextRingOf(Shared());
  while (p.writerStop.load(std::memory_order_acquire) == 0) {
    p.writerSleeping.store(1, std::memory_order_seq_cst);
    if (RingIsEmpty(ring)) Os().waitEvent(p.writerWakeEvent, kWriterWaitMs);
    p.writerSleeping.store(0, std::memory_order_relaxed);

    // One drain pass. It also ends when the library is stopping: what is
    // left stays queued in the shared ring for another process's writer.
    for (int32_t v = RingPop(ring); v != -1; v = RingPop(ring)) {
      SendTextByte(v & 0xFF);
      if (p.writerStop.load(std::memory_order_relaxed) != 0) break;
    }
  }
  return 0;
}

uint32_t PollerThreadMain(void*) {
  ProcessState& p = Proc();
  SharedState& s = Shared();
  while (p.pollerStop.load(std::memory_order_acquire) == 0) {
    Os().waitEvent(p.pollerWakeEvent, kPollerWaitMs);
    // Woken to stop: no last poll (with its 1 ms and 5 ms pauses) that the
    // unload would have to wait for.
    if (p.pollerStop.load(std::memory_order_acquire) != 0) break;
    if (s.pollSuspended.load(std::memory_order_acquire) != 0) continue;
    auto reply = static_cast<uint8_t>(PollReplyByte());  // -1 becomes 255
    if (reply < 100) RingPush(ReplyRingOf(s), reply);
    Os().sleepMs(kPollPauseMs);
  }
  return 0;
}

}  // namespace qz
