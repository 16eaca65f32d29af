#include "state/state.h"

namespace qz {

ProcessState g_process;

namespace {

// Stands in until the machine-wide block is attached, and whenever it cannot
// be; zero, so it costs no space in the library file.
SharedState g_privateBlock;
bool g_attached = false;

}  // namespace

SharedState* g_shared = &g_privateBlock;

void InitialiseSharedState(SharedState* s) {
  s->protocolRevision.store(1, std::memory_order_relaxed);
  for (SharedWord& w : s->ReplyRing) w.store(0, std::memory_order_relaxed);
  s->replyHead.store(0, std::memory_order_relaxed);
  s->replyTail.store(0, std::memory_order_relaxed);
  for (SharedWord& w : s->TextRing) w.store(0, std::memory_order_relaxed);
  s->textHead.store(0, std::memory_order_relaxed);
  s->textTail.store(0, std::memory_order_relaxed);
  s->textCleared.store(0, std::memory_order_relaxed);
  s->replyCleared.store(0, std::memory_order_relaxed);
  s->replyWanted.store(0, std::memory_order_relaxed);
  s->writerLease.store(0, std::memory_order_relaxed);
  s->pollerLease.store(0, std::memory_order_relaxed);
  s->pollSuspended.store(0, std::memory_order_release);
}

SharedState* AttachSharedState() {
  if (!g_attached) {
    g_shared = Os().attachSharedState();
    g_attached = true;
  }
  return g_shared;
}

void DetachSharedState() {
  if (!g_attached) return;
  SharedState* block = g_shared;
  g_shared = &g_privateBlock;
  g_attached = false;
  Os().detachSharedState(block);
}

void ResetProcessState() {
  ProcessState& p = g_process;
  p.deviceHandle.store(kNoHandle);
  p.deviceOpen.store(0);
  p.deviceGuard.store(0);
  p.deviceClosed.store(0);
  p.deviceGeneration.store(0);
  p.portHandle = kNoHandle;
  p.portOpen.store(0);
  for (char& c : p.portName) c = 0;
  p.forceComm = 0;
  p.noPauses = 0;
  p.forked.store(0);
  p.lastSentByte.store(0);
  p.textClearedSeen = 0;
  p.pollerWakeEvent = kNoHandle;
  p.writerWakeEvent = kNoHandle;
  p.pollerThread = kNoHandle;
  p.pollerThreadId = 0;
  p.writerThread = kNoHandle;
  p.writerThreadId = 0;
  p.pollerStop.store(0);
  p.writerStop.store(0);
  p.writerSleeping.store(0);
  p.unloading.store(0);
  p.leaseId = 0;
  p.aliveMark = kNoHandle;
  p.replyWake = kNoHandle;
  p.textStall.store(0);
  p.replyStall.store(0);
  p.lineSettings = LineSettings{};
  p.lineTimeouts = LineTimeouts{};
}

}  // namespace qz
