// The library's two records: SharedState, one block shared by every process
// that has the library loaded, and ProcessState, one per process.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "protocol/device_protocol.h"

namespace qz {

constexpr int32_t kReplyRingSize = 512;
constexpr int32_t kTextRingSize = 65536;

using SharedWord = std::atomic<int32_t>;
static_assert(sizeof(SharedWord) == 4, "shared words must be plain 32-bit words");
static_assert(SharedWord::is_always_lock_free, "shared words must be lock-free across processes");

// Any process can write anything here; readers bring every index back into
// range before using it (see ring.h).
struct SharedState {
  SharedWord protocolRevision;
  SharedWord ReplyRing[kReplyRingSize];
  SharedWord replyHead;
  SharedWord replyTail;
  SharedWord TextRing[kTextRingSize];
  SharedWord textHead;
  SharedWord textTail;
  SharedWord pollSuspended;

  // Beside the fields above, the library's own coordination between
  // processes (see ring.h and lease.h). Zero at first creation. Each group
  // has a cache line of its own, away from the indices that every
  // USBQZ_WriteByte moves: the writer renews its lease with every byte.
  // Where each ring's last clear moved it to: a value taken from the ring at
  // an earlier position has been cancelled, even if it is still in a
  // writer's hands.
  alignas(64) SharedWord textCleared;
  SharedWord replyCleared;
  // Set when some process wants replies polled soon; the poller that holds
  // the poller lease waits on it (Os().waitSharedWake).
  alignas(64) SharedWord replyWanted;
  // Who drains the text ring and who polls, machine-wide (lease.h).
  alignas(64) std::atomic<uint64_t> writerLease;
  alignas(64) std::atomic<uint64_t> pollerLease;
};
static_assert(std::atomic<uint64_t>::is_always_lock_free, "leases must be lock-free across processes");

// A consumer's memory of the ring slot that holds it up (taken by a producer
// but not yet filled): the slot's position in the upper half, the clock when
// it was first seen in the lower (0: none). See ring.h.
using RingStall = std::atomic<uint64_t>;

// Sets every word as at first creation: all zero but protocolRevision, 1.
void InitialiseSharedState(SharedState* s);

struct ProcessState {
  // USB device channel. deviceHandle is read by transfers on several threads
  // and replaced by reopens; deviceGuard orders the two (usb_channel.cpp):
  // transfers hold it shared, a reopen or close holds it alone.
  std::atomic<OsHandle> deviceHandle;
  std::atomic<int32_t> deviceOpen;
  std::atomic<int32_t> deviceGuard;
  // Set by CloseDevice at unload: later reopens open nothing.
  std::atomic<int32_t> deviceClosed;
  // Counts the replacements of deviceHandle (under deviceGuard held alone), so
  // that a transfer that failed knows whether its handle is still the one held.
  std::atomic<uint32_t> deviceGeneration;
  // serial channel
  OsHandle portHandle;
  std::atomic<int32_t> portOpen;
  char portName[8];
  // The writer stores lastSentByte and takes deviceGuard for every byte it
  // sends. Each group below starts a cache line of its own, so that
  // USBQZ_WriteByte, which reads forceComm, writerWakeEvent and
  // writerSleeping, does not miss in the cache on every call while the
  // writer drains.
  // configuration
  alignas(64) int32_t forceComm;
  int32_t noPauses;
  // Set in the child of a fork() (Os().onForkInChild): what the process
  // holds was its parent's, and the first call makes its own.
  std::atomic<int32_t> forked;
  // text filter
  alignas(64) std::atomic<int32_t> lastSentByte;
  // The text ring's clear position when the writer last sent: a clear by any
  // process since then starts the duplicate test afresh.
  int32_t textClearedSeen;
  // worker threads
  alignas(64) OsHandle pollerWakeEvent;
  OsHandle writerWakeEvent;
  OsHandle pollerThread;
  uint32_t pollerThreadId;
  OsHandle writerThread;
  uint32_t writerThreadId;
  std::atomic<int32_t> pollerStop;
  std::atomic<int32_t> writerStop;
  // 1 while the writer is about to wait or waiting on writerWakeEvent; only
  // then does a producer need to signal it.
  std::atomic<int32_t> writerSleeping;
  // Set first thing by the unload sequence: loops that could otherwise hold a
  // thread in the library (busy retries, waits for room) give up.
  std::atomic<int32_t> unloading;
  // Who this process is to the leases (lease.h): its process id, with
  // kLeaseUnmarked when it holds no alive mark. aliveMark is the mark.
  uint32_t leaseId;
  OsHandle aliveMark;
  // The cross-process wake on Shared().replyWanted.
  OsHandle replyWake;
  RingStall textStall;
  RingStall replyStall;
  // serial line
  LineSettings lineSettings;
  LineTimeouts lineTimeouts;
};

// The per-process record and this process's view of the shared block. Inline:
// every export starts with them. Use these, never the variables.
extern ProcessState g_process;
extern SharedState* g_shared;
inline ProcessState& Proc() { return g_process; }
inline SharedState& Shared() { return *g_shared; }

// Attaches the shared block (once per process) and returns it.
SharedState* AttachSharedState();
// Gives up this process's hold on the shared block.
void DetachSharedState();
// Puts ProcessState back to how a process finds it at load: no handles, all
// zero. For the load sequence and for tests.
void ResetProcessState();

}  // namespace qz
