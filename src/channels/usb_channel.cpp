// The USB device channel.
//
// The writer, the poller and application threads all make transfers on
// Proc().deviceHandle, and any of them may reopen it after a failure. A
// handle value (a descriptor, on POSIX) is recycled as soon as it is closed,
// so no transfer may be inside a handle while it is closed. deviceGuard is a
// small reader/writer lock built from one atomic word:
//
//   low bits      number of holders inside the handle (transfers, cancels)
//   kPending      a reopen, close or urgent cancel waits for the holders to
//                 leave; no new transfer enters meanwhile
//   kExclusive    the handle is being replaced; nobody else is inside
//
// Waiting is done with 1 ms sleeps. Every transfer is bounded by the
// platform (2 s), but a replacer does not wait that long: a reopen or close
// first cancels the transfers inside the handle it replaces, so they leave at
// once. A cancel enters even while a reopen is pending and backs off only
// while the handle is being replaced, when no transfer is inside to cancel.
//
// The urgent cancel must get through even when a transfer hangs in the
// device, and the transfers on one handle are served one at a time. So it
// stops new transfers, gives those inside a moment to finish, and then
// cancels them and reopens the handle before it sends: the poll or text byte
// that is lost is one the cancel would discard anyway, and polling resumes by
// itself.
#include "channels/usb_channel.h"

#include "platform/platform.h"
#include "protocol/device_protocol.h"
#include "state/state.h"

namespace qz {

namespace {

constexpr int32_t kHolders = 0x0FFFFFFF;
constexpr int32_t kPending = 0x10000000;
constexpr int32_t kExclusive = 0x20000000;

constexpr uint32_t kUrgentGraceMs = 10;

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

// Stops new transfers from entering; one replacer at a time. The handle
// stays as it is until this caller replaces it.
void BlockEntries() {
  std::atomic<int32_t>& guard = Proc().deviceGuard;
  for (;;) {
    int32_t g = guard.load(std::memory_order_relaxed);
    if ((g & (kPending | kExclusive)) == 0 &&
        guard.compare_exchange_weak(g, g | kPending, std::memory_order_acquire, std::memory_order_relaxed)) {
      return;
    }
    if ((g & (kPending | kExclusive)) != 0) Os().sleepMs(1);
  }
}

bool HoldersInside() { return (Proc().deviceGuard.load(std::memory_order_acquire) & kHolders) != 0; }

// With entries blocked: makes the transfers inside the handle fail soon.
void CancelInside() {
  const OsHandle h = Proc().deviceHandle.load(std::memory_order_relaxed);
  if (IsOpenHandle(h)) Os().cancelDeviceIo(h);
}

// With entries blocked: waits for those inside to leave.
void WaitHoldersOut() {
  std::atomic<int32_t>& guard = Proc().deviceGuard;
  for (;;) {
    int32_t g = kPending;
    if (guard.compare_exchange_weak(g, kExclusive, std::memory_order_acquire, std::memory_order_relaxed)) return;
    if ((g & kHolders) != 0) Os().sleepMs(1);
  }
}

// The handle alone, for replacing it. Transfers still inside the handle that
// is about to go are cancelled first, so the wait is short.
void EnterExclusive() {
  BlockEntries();
  if (HoldersInside()) CancelInside();
  WaitHoldersOut();
}

void LeaveExclusive() { Proc().deviceGuard.fetch_sub(kExclusive, std::memory_order_release); }

// From holding the handle alone to holding it shared, with nobody let in
// between.
void ExclusiveToShared() { Proc().deviceGuard.fetch_sub(kExclusive - 1, std::memory_order_acq_rel); }

// One pipe transfer on the current handle, which the caller holds shared
// (released here). The PipeRequest travels little-endian and comes back as the
// driver left it. *used is the generation of the handle the transfer went to.
bool TransferHeld(uint32_t code, PipeRequest& request, void* data, uint32_t length, uint32_t* bytesReturned,
                  uint32_t* used) {
  uint8_t block[kPipeRequestLength];
  wire::PutPipeRequest(block, request);
  ProcessState& p = Proc();
  *used = p.deviceGeneration.load(std::memory_order_relaxed);
  const bool ok = Os().deviceControl(p.deviceHandle.load(std::memory_order_relaxed), code, block, sizeof block,
                                     data, length, bytesReturned);
  LeaveShared();
  request = wire::GetPipeRequest(block);
  return ok;
}

bool PipeTransfer(uint32_t code, PipeRequest& request, void* data, uint32_t length, uint32_t* bytesReturned,
                  uint32_t* used) {
  EnterShared();
  return TransferHeld(code, request, data, length, bytesReturned, used);
}

// With the guard held alone.
void ReplaceHandle() {
  ProcessState& p = Proc();
  const OsHandle old = p.deviceHandle.load(std::memory_order_relaxed);
  p.deviceHandle.store(kInvalidHandle, std::memory_order_relaxed);
  if (IsOpenHandle(old)) Os().closeDevice(old);
  p.deviceHandle.store(Os().openDevice(kDevicePath), std::memory_order_relaxed);
  p.deviceGeneration.fetch_add(1, std::memory_order_relaxed);
}

// With the guard held alone: the reopen itself. Nothing is reconnected once
// the device is closed for good, nor while the library unloads (a failure
// then is most likely the unload's own cancel, and the device is about to be
// closed).
void Reconnect() {
  ProcessState& p = Proc();
  if (p.deviceClosed.load() != 0 || p.unloading.load() != 0) return;
  p.deviceOpen.store(0);
  ReplaceHandle();
  if (IsOpenHandle(p.deviceHandle.load(std::memory_order_relaxed))) p.deviceOpen.store(1);
}

// The reopen after a transfer failed on the handle of generation `failed`.
// When another thread has replaced that handle meanwhile (a reopen of its
// own, or an urgent cancel that cut the transfer loose), the current one is
// left alone.
void ReopenAfterFailure(uint32_t failed) {
  if (Proc().unloading.load() != 0) return;
  BlockEntries();
  if (Proc().deviceGeneration.load(std::memory_order_relaxed) != failed) {
    // Those inside the new handle (the urgent cancel, say) are left alone.
    Proc().deviceGuard.fetch_sub(kPending, std::memory_order_release);
    return;
  }
  if (HoldersInside()) CancelInside();
  WaitHoldersOut();
  Reconnect();
  LeaveExclusive();
}

// Asks the current handle for the device descriptor. *used is the generation
// of the handle asked.
bool QueryDescriptor(uint8_t (&descriptor)[kDescriptorLength], uint32_t* used) {
  ProcessState& p = Proc();
  uint32_t bytesReturned = 0;
  EnterShared();
  *used = p.deviceGeneration.load(std::memory_order_relaxed);
  const bool ok = Os().deviceControl(p.deviceHandle.load(std::memory_order_relaxed), IOCTL_GET_DEVICE_DESCRIPTOR,
                                     nullptr, 0, descriptor, sizeof descriptor, &bytesReturned);
  LeaveShared();
  return ok;
}

}  // namespace

void OpenDevice() {
  EnterExclusive();
  Proc().deviceClosed.store(0);
  ReplaceHandle();
  LeaveExclusive();
}

void ReadDeviceRevision() {
  uint8_t descriptor[kDescriptorLength] = {};
  uint32_t used = 0;
  // Unanswered: protocolRevision keeps the 1 set at load, the newer protocol.
  if (!QueryDescriptor(descriptor, &used)) return;
  const uint32_t release = DescriptorRelease(descriptor);
  Shared().protocolRevision.store(NewerRevision(release) ? static_cast<int32_t>(release) : 0);
}

void ProbeDevice() {
  uint8_t descriptor[kDescriptorLength] = {};
  uint32_t used = 0;
  if (!QueryDescriptor(descriptor, &used)) ReopenAfterFailure(used);
}

void ReopenDevice() {
  if (Proc().unloading.load() != 0) return;
  EnterExclusive();
  Reconnect();
  LeaveExclusive();
}

int32_t PollReplyByte() {
  PipeRequest request{kReplyRequestPipe, 0};
  uint32_t bytesReturned = 0;
  uint32_t used = 0;
  if (Shared().protocolRevision.load() != 0) {
    uint8_t ask = REPLY_REQUEST_BYTE;
    if (!PipeTransfer(IOCTL_BULK_WRITE, request, &ask, 1, &bytesReturned, &used)) {
      ReopenAfterFailure(used);
      return -1;
    }
    if (bytesReturned == 0) return -1;
    Os().sleepMs(1);
    request.pipeIndex = kReplyPipe;
  }
  bytesReturned = 0;
  uint8_t reply = 0;
  if (!PipeTransfer(IOCTL_BULK_READ, request, &reply, 1, &bytesReturned, &used)) {
    ReopenAfterFailure(used);
    return -1;
  }
  if (bytesReturned == 0 || reply > kMaxReply) return -1;
  return reply;
}

bool BusyRetryWrite(const uint8_t* bytes, uint32_t length, uint32_t pauseMs, const WriteCheck* check) {
  if (bytes == nullptr || length == 0 || length > kMaxTransferLength) return false;
  uint8_t data[kMaxTransferLength];
  for (uint32_t i = 0; i < length; ++i) data[i] = bytes[i];
  PipeRequest request{kTextPipe, 0};
  for (;;) {
    uint32_t bytesReturned = 0;
    uint32_t used = 0;
    EnterShared();
    if (check != nullptr && !check->stillWanted(check->arg)) {
      LeaveShared();
      return false;
    }
    if (!TransferHeld(IOCTL_BULK_WRITE, request, data, length, &bytesReturned, &used)) {
      ReopenAfterFailure(used);
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
  PipeRequest request{kImmediatePipe, 0};
  uint32_t bytesReturned = 0;
  uint32_t used = 0;
  const bool ok = PipeTransfer(IOCTL_BULK_WRITE, request, &byte, 1, &bytesReturned, &used);
  if (!ok) ReopenAfterFailure(used);
  return ok;
}

bool UrgentWrite() {
  // Entries stop; the transfers inside get kUrgentGraceMs to finish. One
  // that does not (the device holds it) is cancelled, and the handle it
  // leaves unusable is replaced before the cancel goes out.
  BlockEntries();
  for (uint32_t i = 0; i < kUrgentGraceMs && HoldersInside(); ++i) Os().sleepMs(1);
  const bool cutLoose = HoldersInside();
  if (cutLoose) CancelInside();
  WaitHoldersOut();
  if (cutLoose) Reconnect();
  ExclusiveToShared();

  PipeRequest request{kImmediatePipe, 0};
  uint8_t cancel = CANCEL_BYTE;
  uint32_t bytesReturned = 0;
  uint32_t used = 0;
  const bool ok = TransferHeld(IOCTL_URGENT_WRITE, request, &cancel, 1, &bytesReturned, &used);
  if (!ok) ReopenAfterFailure(used);
  return ok;
}

void ReleaseDevice() {
  ProcessState& p = Proc();
  EnterExclusive();
  const OsHandle old = p.deviceHandle.load(std::memory_order_relaxed);
  p.deviceHandle.store(kInvalidHandle, std::memory_order_relaxed);
  p.deviceGeneration.fetch_add(1, std::memory_order_relaxed);
  if (IsOpenHandle(old)) Os().closeDevice(old);
  LeaveExclusive();
}

void CloseDevice() {
  Proc().deviceClosed.store(1);
  ReleaseDevice();
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
