// The ring discipline of both byte queues.
//
// A ring of N slots holds at most N-1 values; empty means head == tail. A push
// into a full ring never blocks and never fails: it discards everything queued
// and leaves only the new value (slot 0, head 1, tail 0).
//
// Within a process each ring has one producer (which alone moves head) and one
// consumer (which alone moves tail); other processes share the same words, so
// several producers or consumers may lose or repeat a value, but never make an
// index leave 0..N-1. A push writes its slot before it publishes head; a pop
// reads its slot before it publishes tail.
//
// A clear (a cancel, on any thread of any process) may run in the middle of
// a push or a pop. Both therefore publish their index with a compare-exchange
// against the value they started from: one that finds the index moved under
// it starts again from the new value instead of writing back an index from
// before the clear, which would put the whole stale ring back in play (up to
// 65535 old bytes spoken after a cancel). A clear itself is two stores (head,
// then tail); a pop on another thread that falls between them can still take
// a few values, for as long as the clearing thread is held there. The
// publishing compare-exchange of a
// push is sequentially consistent: the writer's going-to-sleep protocol
// (pipeline/workers.cpp) relies on it.
//
// Every index read from the block is masked into range first: any process can
// write any value into the shared words. A process that keeps changing an
// index under a push or a pop costs it a bounded number of attempts, after
// which the value is dropped (push) or the ring counts as empty (pop).
#pragma once

#include <cstdint>

#include "state/state.h"

namespace qz {

template <int32_t N, uint32_t ValueMask>
struct RingView {
  static_assert((N & (N - 1)) == 0, "ring size must be a power of two");
  static constexpr uint32_t kIndexMask = static_cast<uint32_t>(N) - 1;
  SharedWord* slots;
  SharedWord* head;
  SharedWord* tail;
};

using TextRingView = RingView<kTextRingSize, 0xFFu>;
using ReplyRingView = RingView<kReplyRingSize, 0xFFFFFFFFu>;

inline TextRingView TextRingOf(SharedState& s) { return {s.TextRing, &s.textHead, &s.textTail}; }
inline ReplyRingView ReplyRingOf(SharedState& s) { return {s.ReplyRing, &s.replyHead, &s.replyTail}; }

template <int32_t N, uint32_t M>
inline uint32_t RingIndex(const SharedWord* word, std::memory_order order) {
  return static_cast<uint32_t>(word->load(order)) & RingView<N, M>::kIndexMask;
}

constexpr int kRingAttempts = 64;

template <int32_t N, uint32_t M>
inline void RingClear(RingView<N, M> r);

template <int32_t N, uint32_t M>
inline void RingPush(RingView<N, M> r, int32_t v) {
  const int32_t value = static_cast<int32_t>(static_cast<uint32_t>(v) & M);
  for (int attempt = 0; attempt < kRingAttempts; ++attempt) {
    int32_t seen = r.head->load(std::memory_order_relaxed);
    uint32_t s = static_cast<uint32_t>(seen) & RingView<N, M>::kIndexMask;
    uint32_t n = (s + 1) & RingView<N, M>::kIndexMask;
    if (n == RingIndex<N, M>(r.tail, std::memory_order_acquire)) {
      // Full: drop everything queued, keep only v.
      RingClear(r);
      seen = 0;
      s = 0;
      n = 1;
    }
    r.slots[s].store(value, std::memory_order_relaxed);
    if (r.head->compare_exchange_strong(seen, static_cast<int32_t>(n), std::memory_order_seq_cst,
                                        std::memory_order_relaxed)) {
      return;
    }
  }
}

// Pushes v unless the ring is full; false (and nothing pushed) when it is.
// Checking for room and taking it are one step, so two producers (two
// processes) racing for the last free slot cannot turn into an overflow that
// drops the whole ring.
template <int32_t N, uint32_t M>
inline bool RingTryPush(RingView<N, M> r, int32_t v) {
  const int32_t value = static_cast<int32_t>(static_cast<uint32_t>(v) & M);
  for (int attempt = 0; attempt < kRingAttempts; ++attempt) {
    int32_t seen = r.head->load(std::memory_order_relaxed);
    const uint32_t s = static_cast<uint32_t>(seen) & RingView<N, M>::kIndexMask;
    const uint32_t n = (s + 1) & RingView<N, M>::kIndexMask;
    if (n == RingIndex<N, M>(r.tail, std::memory_order_acquire)) return false;
    r.slots[s].store(value, std::memory_order_relaxed);
    if (r.head->compare_exchange_strong(seen, static_cast<int32_t>(n), std::memory_order_seq_cst,
                                        std::memory_order_relaxed)) {
      return true;
    }
  }
  return false;
}

// The oldest value, or -1 when the ring is empty.
template <int32_t N, uint32_t M>
inline int32_t RingPop(RingView<N, M> r) {
  for (int attempt = 0; attempt < kRingAttempts; ++attempt) {
    int32_t seen = r.tail->load(std::memory_order_relaxed);
    const uint32_t t = static_cast<uint32_t>(seen) & RingView<N, M>::kIndexMask;
    if (t == RingIndex<N, M>(r.head, std::memory_order_acquire)) return -1;
    const int32_t v = r.slots[t].load(std::memory_order_relaxed);
    if (r.tail->compare_exchange_strong(seen, static_cast<int32_t>((t + 1) & RingView<N, M>::kIndexMask),
                                        std::memory_order_acq_rel, std::memory_order_relaxed)) {
      return static_cast<int32_t>(static_cast<uint32_t>(v) & M);
    }
  }
  return -1;
}

template <int32_t N, uint32_t M>
inline bool RingIsFull(RingView<N, M> r) {
  uint32_t n = (RingIndex<N, M>(r.head, std::memory_order_acquire) + 1) & RingView<N, M>::kIndexMask;
  return n == RingIndex<N, M>(r.tail, std::memory_order_acquire);
}

// Sequentially consistent loads: the writer's going-to-sleep check
// (pipeline/workers.cpp) pairs them with the push's compare-exchange.
template <int32_t N, uint32_t M>
inline bool RingIsEmpty(RingView<N, M> r) {
  return RingIndex<N, M>(r.head, std::memory_order_seq_cst) == RingIndex<N, M>(r.tail, std::memory_order_seq_cst);
}

template <int32_t N, uint32_t M>
inline void RingClear(RingView<N, M> r) {
  r.head->store(0, std::memory_order_release);
  r.tail->store(0, std::memory_order_release);
}

}  // namespace qz
