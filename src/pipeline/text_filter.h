// One text byte on its way to the synthesizer.
#pragma once

#include <cstdint>

namespace qz {

// Cancel handling, the character filter, the punctuation mode, the fold of
// repeated separators, and the hand-over to the active channel (USB pipe 0, or
// the serial port under CTS pacing).
//
// `position` is where the writer took the byte from the text ring (null for
// a byte that comes straight from the application, in serial mode). Such a
// byte is dropped, even between two busy retries, once a clear (a cancel, in
// any process) has moved the ring past it: text queued before a cancel is
// never spoken after it. A clear since the writer's last byte also starts
// the duplicate test afresh, as a cancel in this process does.
void SendTextByte(int32_t b, const uint32_t* position = nullptr);

}  // namespace qz
