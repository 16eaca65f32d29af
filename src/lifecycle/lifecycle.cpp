// The load and unload sequences.
#include "lifecycle/lifecycle.h"

#include "channels/serial_channel.h"
#include "channels/usb_channel.h"
#include "config/configuration.h"
#include "pipeline/workers.h"
#include "qzusbd.h"
#include "state/lease.h"
#include "state/ring.h"

namespace qz {

namespace {

// How long the unload waits for the workers before it cuts a stuck transfer
// loose, and then in all.
constexpr uint32_t kWorkerLeaveMs = 200;
constexpr uint32_t kWorkerCutLooseMs = 800;
// How long a thread of a forked child waits for another one that is making
// the child's connection and workers.
constexpr uint32_t kAdoptWaitMs = 2000;

void CloseEventField(OsHandle& event) {
  if (IsOpenHandle(event)) Os().closeEvent(event);
  event = kNoHandle;
}

// What the workers use: their wake events, the shared wake and the alive
// mark. Only once both have ended (or never started).
void CloseWorkerHandles() {
  ProcessState& p = Proc();
  CloseEventField(p.pollerWakeEvent);
  CloseEventField(p.writerWakeEvent);
  if (IsOpenHandle(p.replyWake)) Os().closeSharedWake(p.replyWake);
  p.replyWake = kNoHandle;
  if (IsOpenHandle(p.aliveMark)) Os().unmarkAlive(p.aliveMark);
  p.aliveMark = kNoHandle;
}

// Stops a worker that has been told to stop: true once it has ended and its
// handle is closed. A worker that will not end keeps its handle.
bool JoinWorker(OsHandle& thread, uint32_t ms) {
  if (!IsOpenHandle(thread)) return true;
  if (!Os().waitThread(thread, ms)) return false;
  Os().closeThread(thread);
  thread = kNoHandle;
  return true;
}

// A failed start: the device is closed, but a later transfer's reopen may
// bring it back. Only the unload closes it for good, and the failed writer
// start (the poller may still be running then, and must not reopen it).
void AbandonDevice(bool forGood) {
  if (forGood) {
    CloseDevice();
  } else {
    ReleaseDevice();
  }
  Proc().deviceOpen.store(0);
}

// The USB road of the load: device, revision, events, poller, writer. Every
// failure undoes what it opened and leaves the fields at "no handle". A
// forked child takes the same road at its first call, but leaves the
// revision and the poll suspension, which every process shares, as they are.
void StartUsb(bool atLoad) {
  ProcessState& p = Proc();
  SharedState& s = Shared();
  // Opened even without a device: this process's USBQZ_ReadByte then still
  // wakes the poller of another process that has one.
  p.replyWake = Os().openSharedWake(&s.replyWanted);
  OpenDevice();
  if (!IsOpenHandle(p.deviceHandle)) {
    p.deviceOpen.store(0);
    return;
  }
  if (atLoad) ReadDeviceRevision();
  p.deviceOpen.store(1);

  p.pollerWakeEvent = Os().createEvent();
  p.writerWakeEvent = Os().createEvent();
  if (!IsOpenHandle(p.pollerWakeEvent) || !IsOpenHandle(p.writerWakeEvent)) {
    CloseWorkerHandles();
    AbandonDevice(false);
    return;
  }
  // Who this process is to the leases. Without an alive mark the others can
  // tell that it has gone only by its stamps going stale.
  p.aliveMark = Os().markAlive();
  p.leaseId = Os().processId() | (IsOpenHandle(p.aliveMark) ? 0 : kLeaseUnmarked);

  p.pollerStop.store(0);
  if (atLoad) s.pollSuspended.store(1);
  p.pollerThread = Os().startThread(PollerThreadMain, nullptr, &p.pollerThreadId);
  if (!IsOpenHandle(p.pollerThread)) {
    p.pollerThread = kNoHandle;
    CloseWorkerHandles();
    AbandonDevice(false);
    return;
  }
  Os().lowerThreadPriority(p.pollerThread);

  p.writerStop.store(0);
  p.writerThread = Os().startThread(WriterThreadMain, nullptr, &p.writerThreadId);
  if (!IsOpenHandle(p.writerThread)) {
    p.writerThread = kNoHandle;
    // The poller is told to stop but not waited for: a thread started while
    // the library loads may not get to run before the load has returned, so
    // waiting here could only run into the bound. Closing the device is safe
    // with the poller about (the device guard orders it, and a closed device
    // is not reopened). Its event and thread handle are closed now if it has
    // already ended, else by the unload once it has.
    p.pollerStop.store(1);
    Os().signalEvent(p.pollerWakeEvent);
    AbandonDevice(true);
    if (JoinWorker(p.pollerThread, 0)) CloseWorkerHandles();
  }
}

void StartSerial() {
  ProcessState& p = Proc();
  if (!OpenSerialPort()) {
    p.portOpen.store(0);
    return;
  }
  if (!ProbeClearToSend()) {
    CloseSerialPort();
    return;
  }
  p.portOpen.store(1);
}

// Tells both workers to stop and waits until they have left the library's
// code: a worker inside a transfer that does not return is cut loose by
// cancelling the transfer. True once both are gone (their handles closed).
bool StopWorkers() {
  ProcessState& p = Proc();
  p.unloading.store(1);
  p.pollerStop.store(1);
  p.writerStop.store(1);
  if (IsOpenHandle(p.pollerWakeEvent)) Os().signalEvent(p.pollerWakeEvent);
  if (IsOpenHandle(p.writerWakeEvent)) Os().signalEvent(p.writerWakeEvent);
  // A poller that polls for every process waits on the shared wake.
  if (IsOpenHandle(p.replyWake)) Os().signalSharedWake(p.replyWake);

  // A worker inside a transfer leaves it at once; a second cancel catches a
  // transfer that started just as the first one went out.
  CancelDeviceTransfers();
  bool gone = JoinWorker(p.pollerThread, kWorkerLeaveMs) && JoinWorker(p.writerThread, kWorkerLeaveMs);
  if (!gone) {
    CancelDeviceTransfers();
    gone = JoinWorker(p.pollerThread, kWorkerCutLooseMs) && JoinWorker(p.writerThread, kWorkerCutLooseMs);
  }
  return gone;
}

// In the child of a fork(), before fork() returns there.
void MarkForked() { Proc().forked.store(1, std::memory_order_relaxed); }
bool g_forkHandlerSet = false;  // once per load of the library's code

}  // namespace

void AdoptAfterFork() {
  ProcessState& p = Proc();
  int32_t inherited = 1;
  if (!p.forked.compare_exchange_strong(inherited, 2)) {
    // Another thread of the child is at it: wait until it is done.
    for (uint32_t i = 0; i < kAdoptWaitMs && p.forked.load() == 2; ++i) Os().sleepMs(1);
    return;
  }
  // The parent's workers do not run here; their records are left as they
  // are. The descriptors are closed in this process only.
  p.pollerThread = kNoHandle;
  p.writerThread = kNoHandle;
  CloseWorkerHandles();
  const OsHandle device = p.deviceHandle.exchange(kNoHandle);
  if (IsOpenHandle(device)) Os().closeDevice(device);
  p.deviceOpen.store(0);
  p.deviceGuard.store(0);
  p.deviceClosed.store(0);
  p.unloading.store(0);
  p.writerSleeping.store(0);
  if (p.forceComm == 0) StartUsb(false);
  p.forked.store(0);
}

void OnLibraryLoad() {
  ResetProcessState();
  if (!g_forkHandlerSet) {
    Os().onForkInChild(MarkForked);
    g_forkHandlerSet = true;
  }
  ProcessState& p = Proc();
  SharedState& s = *AttachSharedState();

  p.lineTimeouts = kSerialTimeouts;
  p.lastSentByte.store(1);
  s.protocolRevision.store(1);
  RingClear(ReplyRingOf(s));
  RingClear(TextRingOf(s));

  LoadConfiguration();
  if (p.forceComm == 0) {
    StartUsb(true);
  } else {
    StartSerial();
  }
  if (p.portOpen.load() == 1 || p.deviceOpen.load() == 1) USBQZ_WriteByteImmediate(CANCEL_BYTE);
}

// Stops the workers, then closes the thread, event, device and port handles.
// Sends nothing to the device and leaves the shared block's contents alone. A
// worker that does not leave keeps the library mapped, and its handles open.
void OnLibraryUnload(bool processTerminating) {
  if (processTerminating) return;  // the other threads are gone already: touch nothing
  ProcessState& p = Proc();
  if (p.forked.load() != 0) return;  // a forked child's handles are its parent's
  bool gone = StopWorkers();
  // A worker that the cancels do not get out (a driver that ignores them) is
  // still running the library's code: it must stay mapped. Where that cannot
  // be had, the unload waits for the worker.
  if (!gone && !Os().keepLibraryMapped()) {
    while (!gone) {
      CancelDeviceTransfers();
      gone = JoinWorker(p.pollerThread, kWorkerCutLooseMs) && JoinWorker(p.writerThread, kWorkerCutLooseMs);
    }
  }
  if (!gone) return;  // never close what a worker may still be using

  CloseWorkerHandles();
  if (p.deviceOpen.load() == 1 || IsOpenHandle(p.deviceHandle)) CloseDevice();
  if (p.portOpen.load() == 1) CloseSerialPort();
  DetachSharedState();
}

void OnProcessExit() {
  if (Proc().forked.load() != 0) return;  // a forked child's handles are its parent's
  StopWorkers();
}

}  // namespace qz
