// The ring discipline of both byte queues.
//
// A ring of N slots holds at most N-1 values; empty means head == tail. A push
// into a full ring never blocks and never fails: it discards everything queued
// and leaves only the new value (slot 0, head 1, tail 0).
//
// Within a process each ring has one producer (which alone moves head) and one
// consumer (which alone moves tail); other processes share the same words, so
// a clear or several consumers may lose or repeat a value, but never make an
// index leave 0..N-1. A push writes its slot before it publishes head
// (release); a pop reads its slot before it publishes tail (release), and each
// side reads the other's index with acquire.
//
// Every index read from the block is masked into range first: any process can
// write any value into the shared words.
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

template <int32_t N, uint32_t M>
inline void RingPush(RingView<N, M> r, int32_t v) {
  uint32_t s = RingIndex<N, M>(r.head, std::memory_order_relaxed);
  uint32_t n = (s + 1) & RingView<N, M>::kIndexMask;
  if (n == RingIndex<N, M>(r.tail, std::memory_order_acquire)) {
    // Full: drop everything queued, keep only v.
    r.tail->store(0, std::memory_order_relaxed);
    s = 0;
    n = 1;
  }
  r.slots[s].store(static_cast<int32_t>(static_cast<uint32_t>(v) & M), std::memory_order_relaxed);
  r.head->store(static_cast<int32_t>(n), std::memory_order_release);
}

// The oldest value, or -1 when the ring is empty.
template <int32_t N, uint32_t M>
inline int32_t RingPop(RingView<N, M> r) {
  uint32_t t = RingIndex<N, M>(r.tail, std::memory_order_relaxed);
  if (t == RingIndex<N, M>(r.head, std::memory_order_acquire)) return -1;
  int32_t v = r.slots[t].load(std::memory_order_relaxed);
  r.tail->store(static_cast<int32_t>((t + 1) & RingView<N, M>::kIndexMask), std::memory_order_release);
  return static_cast<int32_t>(static_cast<uint32_t>(v) & M);
}

template <int32_t N, uint32_t M>
inline bool RingIsFull(RingView<N, M> r) {
  uint32_t n = (RingIndex<N, M>(r.head, std::memory_order_acquire) + 1) & RingView<N, M>::kIndexMask;
  return n == RingIndex<N, M>(r.tail, std::memory_order_acquire);
}

template <int32_t N, uint32_t M>
inline bool RingIsEmpty(RingView<N, M> r) {
  return RingIndex<N, M>(r.head, std::memory_order_acquire) ==
         RingIndex<N, M>(r.tail, std::memory_order_acquire);
}

template <int32_t N, uint32_t M>
inline void RingClear(RingView<N, M> r) {
  r.head->store(0, std::memory_order_release);
  r.tail->store(0, std::memory_order_release);
}

}  // namespace qz
