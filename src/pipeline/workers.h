// The writer and poller threads of a USB-mode process.
#pragma once

#include <cstdint>

namespace qz {

// Drains TextRing into the device through SendTextByte. Waits on
// writerWakeEvent for at most 100 ms between passes.
uint32_t WriterThreadMain(void*);

// Polls the device for reply bytes into ReplyRing about every 55 ms, sooner
// when pollerWakeEvent is signalled; does nothing while polling is suspended.
uint32_t PollerThreadMain(void*);

// Wakes the writer after a push, if it is asleep or about to sleep. Never
// loses a wake-up: see WriterThreadMain.
void WakeWriter();

}  // namespace qz
