#include "pipeline/text_filter.h"

#include "channels/serial_channel.h"
#include "channels/usb_channel.h"
#include "state/lease.h"
#include "state/ring.h"

namespace qz {

namespace {

// Printable ASCII plus NUL, 0x01, carriage return, 0x18 and 0x19 reach the
// synthesizer; line feed, tab, the other control codes and 0x7F..0xFF do not.
bool PassesFilter(int32_t b) {
  return (b >= 0x20 && b <= 0x7E) || b == 0x00 || b == 0x01 || b == 0x0D || b == 0x18 || b == 0x19;
}

bool IsSentenceEnd(int32_t b) { return b == '.' || b == '?' || b == '!'; }

bool IsPause(int32_t b) { return IsSentenceEnd(b) || b == ',' || b == ':' || b == ';'; }

// Separators that are sent only once in a row.
bool IsFolded(int32_t b) { return b == 0x00 || b == '.' || b == ','; }

void ClearBothRings(SharedState& s) {
  RingClear(TextRingOf(s));
  RingClear(ReplyRingOf(s));
}

// Asked before every attempt to write a byte taken from the text ring. An
// attempt follows a device answer (or starts the byte): progress, which
// keeps the writer lease.
bool RingByteWanted(uint32_t position) {
  LeaseRenew(Shared().writerLease, Proc().leaseId);
  return !RingClearedPast(TextRingOf(Shared()), position);
}

// The same for the cancel byte, which clears the ring itself and is never
// dropped: after any clear it is still what the device should hear.
bool CancelByteWanted(uint32_t) {
  LeaseRenew(Shared().writerLease, Proc().leaseId);
  return true;
}

}  // namespace

void SendTextByte(int32_t b, const uint32_t* position) {
  ProcessState& p = Proc();
  SharedState& s = Shared();
  if (position != nullptr) {
    const int32_t cleared = s.textCleared.load(std::memory_order_acquire);
    if (cleared != p.textClearedSeen) {
      p.textClearedSeen = cleared;
      p.lastSentByte.store(1, std::memory_order_relaxed);
    }
  }

  if (b == CANCEL_BYTE) {
    s.pollSuspended.store(1, std::memory_order_release);
    ClearBothRings(s);
  } else {
    s.pollSuspended.store(0, std::memory_order_release);
  }
  if (!PassesFilter(b)) return;

  // Punctuation mode: 1 turns pauses into NUL; 2 and above turn sentence ends
  // into a comma, and exactly 3 into two commas. 0 and below change nothing.
  uint8_t out[2] = {static_cast<uint8_t>(b), 0};
  uint32_t length = 1;
  if (p.noPauses == 1 && IsPause(b)) {
    out[0] = 0x00;
  } else if (p.noPauses >= 2 && IsSentenceEnd(b)) {
    out[0] = ',';
    if (p.noPauses == 3) {
      out[1] = ',';
      length = 2;
    }
  }
  if (out[0] == ' ') out[0] = 0x00;

  if (IsFolded(out[0]) && out[0] == p.lastSentByte.load(std::memory_order_relaxed)) return;
  p.lastSentByte.store(out[0], std::memory_order_relaxed);

  if (p.forceComm == 0) {
    const WriteCheck wanted{b == CANCEL_BYTE ? CancelByteWanted : RingByteWanted, position != nullptr ? *position : 0};
    BusyRetryWrite(out, length, 1, position != nullptr ? &wanted : nullptr);
    return;
  }
  // Serial: one byte at a time, paced by CTS; a second comma is never sent.
  s.pollSuspended.store(1, std::memory_order_release);
  ClearBothRings(s);
  if (p.portOpen.load(std::memory_order_acquire) == 0) return;
  if (WaitClearToSend()) WriteSerialByte(out[0]);
}

}  // namespace qz
