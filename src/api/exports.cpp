// The eight exported functions.
#include "qzusbd.h"

#include "channels/serial_channel.h"
#include "channels/usb_channel.h"
#include "lifecycle/lifecycle.h"
#include "pipeline/text_filter.h"
#include "pipeline/workers.h"
#include "state/ring.h"

using namespace qz;

namespace {

constexpr int kRoomWaits = 9;
constexpr uint32_t kRoomWaitMs = 100;
constexpr uint32_t kStringChunk = 32;
constexpr uint32_t kStringBusyPauseMs = 5;

bool SerialMode() { return Proc().forceComm != 0; }

// The slow road of USBQZ_WriteByte, kept off its common path. Room is taken
// in the same step as it is found: with another process pushing too, a slot
// seen free may be gone a moment later, and a plain push into the then full
// ring would drop all queued text. Only a full ring is waited for; a push
// that lost its races to other producers is tried again at once. Still full
// after nine waits (0.9 s), the overflow push drops the queue and leaves only
// b; but a process that is unloading drops its own byte instead of the text
// that every process has queued.
void PushWhenRoom(ProcessState& p, TextRingView ring, int32_t b) {
  for (int i = 0; i < kRoomWaits; ++i) {
    if (p.unloading.load() != 0) return;
    if (RingIsFull(ring)) {
      if (IsOpenHandle(p.writerWakeEvent)) Os().signalEvent(p.writerWakeEvent);
      Os().sleepMs(kRoomWaitMs);
    }
    if (RingTryPush(ring, b) == PushResult::kPushed) return;
  }
  if (p.unloading.load() == 0) RingPush(ring, b);
}

// The first call in the child of a fork() makes the child's own connection
// and workers; every export starts with this.
inline void OwnProcess(ProcessState& p) {
  if (p.forked.load(std::memory_order_relaxed) != 0) AdoptAfterFork();
}

}  // namespace

extern "C" {

QZUSBD_API int32_t QZUSBD_CALL USBQZ_CheckWdmStatus(void) {
  ProcessState& p = Proc();
  OwnProcess(p);
  if (p.portOpen.load() == 1) {
    if (ProbeClearToSend()) return 1;
    CloseSerialPort();
    return 0;
  }
  return p.deviceOpen.load() == 1 ? 1 : 0;
}

// USBQZ_PauseSpeech and USBQZ_ResumeSpeech: pause_speech_<system>.cpp.

QZUSBD_API int32_t QZUSBD_CALL USBQZ_ReadByte(void) {
  ProcessState& p = Proc();
  OwnProcess(p);
  if (SerialMode()) return ReadSerialByte();
  // Wakes the poller that polls, in whichever process it runs.
  if (IsOpenHandle(p.replyWake)) {
    Os().signalSharedWake(p.replyWake);
  } else if (IsOpenHandle(p.pollerWakeEvent)) {
    Os().signalEvent(p.pollerWakeEvent);
  }
  // The poller queues only 0..99, but any process can write the shared
  // block: a word outside that range is no reply.
  const int32_t v = RingPop(ReplyRingOf(Shared()));
  return v >= 0 && v <= 99 ? v : -1;
}

QZUSBD_API int32_t QZUSBD_CALL USBQZ_ReadyCheck(void) {
  OwnProcess(Proc());
  if (SerialMode()) return QueryClearToSend();
  return RingIsFull(TextRingOf(Shared())) ? 0 : 1;
}

QZUSBD_API void QZUSBD_CALL USBQZ_WriteByte(int32_t b) {
  ProcessState& p = Proc();
  OwnProcess(p);
  if (p.forceComm != 0) {
    SendTextByte(b & 0xFF);
    return;
  }
  TextRingView ring = TextRingOf(Shared());
  if (b == CANCEL_BYTE) RingClear(ring);
  if (RingTryPush(ring, b) != PushResult::kPushed) PushWhenRoom(p, ring, b);
  WakeWriter(p);
}

QZUSBD_API int32_t QZUSBD_CALL USBQZ_WriteByteImmediate(int32_t b) {
  ProcessState& p = Proc();
  OwnProcess(p);
  SharedState& s = Shared();
  s.pollSuspended.store(0);
  const uint8_t byte = b == 10 ? 0 : static_cast<uint8_t>(b);

  if (SerialMode()) {
    // Not handed over when the port is closed: 0.
    int32_t handed = p.portOpen.load() == 1 && WriteSerialByte(byte) ? 1 : 0;
    s.pollSuspended.store(1);
    RingClear(ReplyRingOf(s));
    return handed;
  }
  if (b == CANCEL_BYTE) {
    RingClear(TextRingOf(s));
    bool handed = UrgentWrite();
    s.pollSuspended.store(1);
    p.lastSentByte.store(1);
    RingClear(ReplyRingOf(s));
    RingClear(TextRingOf(s));
    return handed ? 1 : 0;
  }
  bool handed = ImmediateWrite(byte);
  s.pollSuspended.store(0);
  return handed ? 1 : 0;
}

QZUSBD_API int32_t QZUSBD_CALL USBQZ_WriteString(const uint8_t* p, int32_t n) {
  OwnProcess(Proc());
  Shared().pollSuspended.store(0);
  if (n <= 0) return 1;
  if (p == nullptr) return 0;
  uint8_t chunk[kStringChunk];
  for (uint32_t sent = 0; sent < static_cast<uint32_t>(n);) {
    uint32_t length = static_cast<uint32_t>(n) - sent;
    if (length > kStringChunk) length = kStringChunk;
    for (uint32_t i = 0; i < length; ++i) chunk[i] = p[sent + i];
    if (!BusyRetryWrite(chunk, length, kStringBusyPauseMs)) return 0;
    sent += length;
  }
  return 1;
}

}  // extern "C"
