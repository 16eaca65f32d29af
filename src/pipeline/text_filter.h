// One text byte on its way to the synthesizer.
#pragma once

#include <cstdint>

namespace qz {

// Cancel handling, the character filter, the punctuation mode, the fold of
// repeated separators, and the hand-over to the active channel (USB pipe 0, or
// the serial port under CTS pacing).
void SendTextByte(int32_t b);

}  // namespace qz
