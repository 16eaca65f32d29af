// The machine-wide leases: one word each in the shared block, naming the
// process that drains the text ring (the writer lease) or polls the device
// (the poller lease), and when it last made progress.
//
//   upper 32 bits   the holder's lease id (0: free): its process id, with
//                   kLeaseUnmarked set when it holds no alive mark
//   lower 32 bits   the holder's last progress, on Os().monotonicMs(), which
//                   is one clock for every process on the machine
//
// A lease passes to another process when its holder
//   - has died: the kernel says so at once (Os().processGone on the holder's
//     alive mark; the mark goes with the process, killed or crashed);
//   - has made no progress for kLeaseStaleMs: it is stopped (Ctrl-Z, a
//     debugger), suspended, or starved. A holder that waits on a busy device
//     renews the lease with every answer, and keeps it.
// A holder that resumes finds the word no longer names it and stops before
// it pops or polls again; at most the one byte or poll it had in hand when
// it stopped goes out late.
//
// Taking over is one compare-exchange on the whole word, so of two processes
// that find the same holder gone, one wins. The word is untrusted like every
// word of the block: a stamp from the future counts as stale, and an id that
// names no live process counts as gone.
//
// The leases live in the shared block, so they reach exactly as far as the
// block does: a process that fell back to a block of its own holds its own
// leases and works alone.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace qz {

using SharedLease = std::atomic<uint64_t>;

constexpr uint32_t kLeaseStaleMs = 200;
constexpr uint32_t kLeaseRenewMs = 20;
// In a lease id: the holder has no alive mark, so only its stamp tells
// whether it still runs.
constexpr uint32_t kLeaseUnmarked = 0x80000000u;
// Only the holder writes its word, so a compare-exchange fails only when
// another process took the lease, or scribbles on the block.
constexpr int kLeaseAttempts = 64;

inline uint32_t LeaseHolder(uint64_t word) { return static_cast<uint32_t>(word >> 32); }
inline uint32_t LeaseStamp(uint64_t word) { return static_cast<uint32_t>(word); }
inline uint64_t LeaseWord(uint32_t id, uint32_t now) { return static_cast<uint64_t>(id) << 32 | now; }

// Whether the lease names process `id` now.
inline bool LeaseHeld(const SharedLease& lease, uint32_t id) {
  return LeaseHolder(lease.load(std::memory_order_acquire)) == id;
}

// Whether a holder other than the caller can be passed over: it has died, or
// has shown no progress for kLeaseStaleMs (a stamp ahead of the clock, which
// no live holder writes, counts as no progress).
inline bool LeaseHolderGone(uint64_t word, uint32_t now) {
  const uint32_t holder = LeaseHolder(word);
  if (holder == 0) return true;
  const int32_t age = static_cast<int32_t>(now - LeaseStamp(word));
  if (age >= static_cast<int32_t>(kLeaseStaleMs) || age < 0) return true;
  return (holder & kLeaseUnmarked) == 0 && Os().processGone(holder);
}

// Takes the lease for `id`, or renews it when `id` holds it already: true
// when `id` holds it now.
inline bool LeaseTake(SharedLease& lease, uint32_t id) {
  const uint32_t now = Os().monotonicMs();
  uint64_t word = lease.load(std::memory_order_acquire);
  if (LeaseHolder(word) != id && !LeaseHolderGone(word, now)) return false;
  return lease.compare_exchange_strong(word, LeaseWord(id, now), std::memory_order_acq_rel,
                                       std::memory_order_acquire);
}

// Records progress of the holder `id`; false when `id` no longer holds the
// lease (another process took it over). A stamp younger than kLeaseRenewMs
// is left as it is: the holder writes the word a few times a second, not
// with every byte.
inline bool LeaseRenew(SharedLease& lease, uint32_t id) {
  uint64_t word = lease.load(std::memory_order_acquire);
  const uint32_t age = Os().monotonicMs() - LeaseStamp(word);
  if (LeaseHolder(word) == id && age < kLeaseRenewMs) return true;
  for (int attempt = 0; attempt < kLeaseAttempts && LeaseHolder(word) == id; ++attempt) {
    if (lease.compare_exchange_weak(word, LeaseWord(id, Os().monotonicMs()), std::memory_order_acq_rel,
                                    std::memory_order_acquire)) {
      return true;
    }
  }
  return LeaseHolder(word) == id;
}

// Gives the lease up, if `id` still holds it.
inline void LeaseGive(SharedLease& lease, uint32_t id) {
  uint64_t word = lease.load(std::memory_order_acquire);
  for (int attempt = 0; attempt < kLeaseAttempts && LeaseHolder(word) == id; ++attempt) {
    if (lease.compare_exchange_weak(word, 0, std::memory_order_acq_rel, std::memory_order_acquire)) return;
  }
}

}  // namespace qz
