// The USB device channel.
//
// The writer, the poller and application threads all make transfers on
// Proc().deviceHandle, and any of them may reopen it after a failure. A
// handle value (a descriptor, on POSIX) is recycled as soon as it is closed,
// so no transfer may be inside a handle while it is closed. deviceGuard is a
// small reader/writer lock built from one atomic word:
//
//   low bits      number of holders inside the handle (transfers, cancels)
//   kPending      a reopen or close waits for the holders to leave; no new
//                 transfer enters meanwhile
//   kExclusive    the handle is being replaced; nobody else is inside
//
// Waiting is done with 1 ms sleeps. A transfer is bounded (2 s on POSIX), so
// a reopen waits at most that long. A cancel enters even while a reopen is
// pending (that is when it is needed: the reopen waits for the very transfer
// the cancel unsticks) and backs off only while the handle is being replaced,
// when no transfer is inside to cancel.
#include "channels/usb_channel.h"

#include "platform/platform.h"
#include "state/state.h"

namespace qz {

namespace {

constexpr int32_t kHolders = 0x0FFFFFFF;
constexpr int32_t kPending = 0x10000000;
constexpr int32_t kExclusive = 0x20000000;
constexpr uint32_t kMaxTransfer = 32;

void EnterShared() {
  std::atomic<int32_t>& guard = Proc().deviceGuard;
  for (;;) {
    int32_t g = guard.load(std::memory_order_relaxed);
    if ((g & (kPending | kExclusive)) == 0 &&
        guard.compare_exchange_weak(g, g + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
      return;
    }
    if ((g & (kPending | kExclusive)) != 0) Os().sleepMs(1);
  }
}

void LeaveShared() { Proc().deviceGuard.fetch_sub(1, std::memory_order_release); }

void EnterExclusive() {
  std::atomic<int32_t>& guard = Proc().deviceGuard;
  // First stop new transfers from entering (one replacer at a time)...
  for (;;) {
    int32_t g = guard.load(std::memory_order_relaxed);
    if ((g & (kPending | kExclusive)) == 0 &&
        guard.compare_exchange_weak(g, g | kPending, std::memory_order_acquire, std::memory_order_relaxed)) {
      break;
    }
    if ((g & (kPending | kExclusive)) != 0) Os().sleepMs(1);
  }
  // ...then wait for those inside to leave.
  for (;;) {
    int32_t g = kPending;
    if (guard.compare_exchange_weak(g, kExclusive, std::memory_order_acquire, std::memory_order_relaxed)) return;
    if ((g & kHolders) != 0) Os().sleepMs(1);
  }
}

void LeaveExclusive() { Proc().deviceGuard.fetch_sub(kExclusive, std::memory_order_release); }

void PutWord(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t GetWord(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// One pipe transfer on the current handle. The PipeRequest travels
// little-endian and comes back as the driver left it.
bool PipeTransfer(uint32_t code, PipeRequest& request, void* data, uint32_t length, uint32_t* bytesReturned) {
  uint8_t block[8];
  PutWord(block, request.pipeIndex);
  PutWord(block + 4, request.busy);
  EnterShared();
  const bool ok = Os().deviceControl(Proc().deviceHandle.load(std::memory_order_relaxed), code, block,
                                     sizeof block, data, length, bytesReturned);
  LeaveShared();
  request.pipeIndex = GetWord(block);
  request.busy = GetWord(block + 4);
  return ok;
}

// With the guard held alone.
void ReplaceHandle() {
  ProcessState& p = Proc();
  const OsHandle old = p.deviceHandle.load(std::memory_order_relaxed);
  p.deviceHandle.store(kInvalidHandle, std::memory_order_relaxed);
  if (IsOpenHandle(old)) Os().closeDevice(old);
  p.deviceHandle.store(Os().openDevice(kDevicePath), std::memory_order_relaxed);
}

}  // namespace

void OpenDevice() {
  EnterExclusive();
  Proc().deviceClosed.store(0);
  ReplaceHandle();
  LeaveExclusive();
}

void ReadDeviceRevision() {
  uint8_t descriptor[18] = {};
  uint32_t bytesReturned = 0;
  EnterShared();
  const bool ok = Os().deviceControl(Proc().deviceHandle.load(std::memory_order_relaxed),
                                     IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, descriptor, sizeof descriptor,
                                     &bytesReturned);
  LeaveShared();
  if (!ok) return;  // protocolRevision keeps the 1 set at load: the newer protocol
  const int32_t release = descriptor[12] | descriptor[13] << 8;
  Shared().protocolRevision.store(release > 0x105 ? release : 0);
}

void ProbeDevice() {
  uint8_t descriptor[18] = {};
  uint32_t bytesReturned = 0;
  EnterShared();
  const bool ok = Os().deviceControl(Proc().deviceHandle.load(std::memory_order_relaxed),
                                     IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, descriptor, sizeof descriptor,
                                     &bytesReturned);
  LeaveShared();
  if (!ok) ReopenDevice();
}

void ReopenDevice() {
  ProcessState& p = Proc();
  // While the library unloads nothing is reconnected: the failure is most
  // likely the unload's own cancel, and the device is about to be closed.
  if (p.unloading.load() != 0) return;
  EnterExclusive();
  if (p.deviceClosed.load() == 0) {
    p.deviceOpen.store(0);
    ReplaceHandle();
    if (IsOpenHandle(p.deviceHandle.load(std::memory_order_relaxed))) p.deviceOpen.store(1);
  }
  LeaveExclusive();
}

int32_t PollReplyByte() {
  PipeRequest request{2, 0};
  uint32_t bytesReturned = 0;
  if (Shared().protocolRevision.load() != 0) {
    uint8_t ask = REPLY_REQUEST_BYTE;
    if (!PipeTransfer(IOCTL_BULK_WRITE, request, &ask, 1, &bytesReturned)) {
      ReopenDevice();
      return -1;
    }
    if (bytesReturned == 0) return -1;
    Os().sleepMs(1);
    request.pipeIndex = 3;
  }
  bytesReturned = 0;
  uint8_t reply = 0;
  if (!PipeTransfer(IOCTL_BULK_READ, request, &reply, 1, &bytesReturned)) {
    ReopenDevice();
    return -1;
  }
  if (bytesReturned == 0 || reply > 99) return -1;
  return reply;
}

bool BusyRetryWrite(const uint8_t* bytes, uint32_t length, uint32_t pauseMs) {
  if (bytes == nullptr || length == 0 || length > kMaxTransfer) return false;
  uint8_t data[kMaxTransfer];
  for (uint32_t i = 0; i < length; ++i) data[i] = bytes[i];
  PipeRequest request{0, 0};
  for (;;) {
    uint32_t bytesReturned = 0;
    if (!PipeTransfer(IOCTL_BULK_WRITE, request, data, length, &bytesReturned)) {
      ReopenDevice();
      return false;
    }
    if (request.busy == 0) return true;
    // A device that stays busy must not hold a thread past unload: the bytes
    // are dropped.
    if (Proc().unloading.load() != 0) return false;
    Os().sleepMs(pauseMs);
  }
}

bool ImmediateWrite(uint8_t byte) {
  PipeRequest request{1, 0};
  uint32_t bytesReturned = 0;
  const bool ok = PipeTransfer(IOCTL_BULK_WRITE, request, &byte, 1, &bytesReturned);
  if (!ok) ReopenDevice();
  return ok;
}

bool UrgentWrite() {
  PipeRequest request{1, 0};
  uint8_t cancel = CANCEL_BYTE;
  uint32_t bytesReturned = 0;
  const bool ok = PipeTransfer(IOCTL_URGENT_WRITE, request, &cancel, 1, &bytesReturned);
  if (!ok) ReopenDevice();
  return ok;
}

void CloseDevice() {
  ProcessState& p = Proc();
  p.deviceClosed.store(1);
  CancelDeviceTransfers();
  EnterExclusive();
  const OsHandle old = p.deviceHandle.load(std::memory_order_relaxed);
  p.deviceHandle.store(kInvalidHandle, std::memory_order_relaxed);
  if (IsOpenHandle(old)) Os().closeDevice(old);
  LeaveExclusive();
}

void CancelDeviceTransfers() {
  std::atomic<int32_t>& guard = Proc().deviceGuard;
  const int32_t before = guard.fetch_add(1, std::memory_order_acquire);
  if ((before & kExclusive) == 0) {
    const OsHandle h = Proc().deviceHandle.load(std::memory_order_relaxed);
    if (IsOpenHandle(h)) Os().cancelDeviceIo(h);
  }
  guard.fetch_sub(1, std::memory_order_release);
}

}  // namespace qz
