// The writer and poller threads of a USB-mode process.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "state/state.h"

namespace qz {

// Drains TextRing into the device through SendTextByte. Waits on
// writerWakeEvent for at most 100 ms between passes.
uint32_t WriterThreadMain(void*);

// Polls the device for reply bytes into ReplyRing about every 55 ms, sooner
// when pollerWakeEvent is signalled; does nothing while polling is suspended.
uint32_t PollerThreadMain(void*);

// Wakes the writer after a push, if it is asleep or about to sleep. Never
// loses a wake-up: the push published head with a sequentially consistent
// compare-exchange, and this load is sequentially consistent too (see
// WriterThreadMain). Inline: it is on the path of every USBQZ_WriteByte call.
inline void WakeWriter(ProcessState& p) {
  if (p.writerSleeping.load(std::memory_order_seq_cst) != 0 && IsOpenHandle(p.writerWakeEvent)) {
    Os().signalEvent(p.writerWakeEvent);
  }
}
inline void WakeWriter() { WakeWriter(Proc()); }

}  // namespace qz
