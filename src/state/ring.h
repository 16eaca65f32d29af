// The ring discipline of both byte queues.
//
// A ring of N slots holds at most N-1 values; empty means head == tail. A push
// into a full ring never blocks and never fails: it discards everything queued
// and leaves only the new value (slot 0, head 1, tail 0).
//
// Both rings are shared by every process that has the library loaded, so
// either side may have several parties at once: the text ring is filled by
// the application threads of every process, and the reply ring is emptied by
// them; any thread of any process may clear either ring. This is how it stays
// whole:
//
// Positions. head and tail count positions, not slots: a value's slot is its
// position masked to 0..N-1, and every reader masks, so the words still read
// as slot indices. The bits above the mask count laps. A clear moves both
// indices forward to the first position of the next lap (slot 0) instead of
// back to 0, so a push or a pop that started before the clear can never find
// its old index again and publish it (the tail-0 race: a pop that read tail 0,
// then a clear and a push, then the pop's compare-exchange succeeding and
// skipping the pushed cancel byte or leaving the ring "full" of stale text).
// A clear stores tail before head; while it is between the two, the ring
// looks inconsistent (tail past head), and pushes and pops wait for it.
//
// Slots. A producer first takes a position by moving head on with a
// compare-exchange (no two producers take one slot), then fills the slot with
// the value, a filled mark and the lap of its position. A consumer takes a
// value only from a slot filled for the very position it is at, so it never
// takes a slot that is taken but not yet written, nor a value left from an
// earlier lap. A producer that is overtaken by a clear finds tail past its
// position and leaves the slot alone: its value counts as cleared. A
// producer that died between taking a slot and filling it holds the ring up
// for kStallSkipMs; then the consumer marks the slot skipped and moves on. A
// producer that was only slow (preempted for that long) finds the mark when
// it comes to fill the slot, and pushes its value again: nothing is lost but
// the value of a producer that died. A slot that holds a value filled for a
// later lap is never marked: the consumer read tail before a clear and the
// pushes after it; it finds tail moved on, and looks again.
//
// Laps wrap. A slot's lap has as many bits as a position has above the mask
// (16 for the text ring), so a value left in a slot that no push visits for
// a whole cycle of laps (clears skip slots) would look new again. So the
// clear whose target is lap 0 or lap 1 (once a cycle, whether the cycle
// turned over by pushes or by a clear) empties every slot before it
// publishes head: no slot then holds a value older than the cycle.
//
// Cancelled text. A clear first records the position it moves the ring to
// (`cleared`): a value popped from an earlier position was queued before the
// clear, even if the consumer still has it in hand (a writer retrying a busy
// device), and RingClearedPast tells it so.
//
// Every word read from the block is untrusted: indices are masked before use,
// values are masked to 8 bits, a ring that stays inconsistent is cleared, and
// every loop is bounded.
#pragma once

#include <cstdint>

#include "state/state.h"

namespace qz {

constexpr int32_t RingLapShift(int32_t n) { return n <= 1 ? 0 : 1 + RingLapShift(n / 2); }

template <int32_t N>
struct RingView {
  static_assert((N & (N - 1)) == 0, "ring size must be a power of two");
  static constexpr uint32_t kIndexMask = static_cast<uint32_t>(N) - 1;
  static constexpr int32_t kLapShift = RingLapShift(N);
  SharedWord* slots;
  SharedWord* head;
  SharedWord* tail;
  SharedWord* cleared;  // the position the last clear moved the ring to
  RingStall* stall;     // this process's memory of a slot that is slow to fill
};

using TextRingView = RingView<kTextRingSize>;
using ReplyRingView = RingView<kReplyRingSize>;

inline TextRingView TextRingOf(SharedState& s, RingStall* stall = &Proc().textStall) {
  return {s.TextRing, &s.textHead, &s.textTail, &s.textCleared, stall};
}
inline ReplyRingView ReplyRingOf(SharedState& s, RingStall* stall = &Proc().replyStall) {
  return {s.ReplyRing, &s.replyHead, &s.replyTail, &s.replyCleared, stall};
}

constexpr int kRingAttempts = 64;
constexpr uint32_t kStallSkipMs = 100;

// A slot word: the filled mark, the lap of the position it was filled for,
// and the value's low 8 bits.
constexpr uint32_t kSlotFilled = 0x80000000u;
constexpr uint32_t kSlotValueMask = 0xFFu;
constexpr int kSlotLapShift = 8;

// Where a test may stop a push or a pop between two of its steps to run
// another operation there; false makes the operation end at that point, as a
// thread that died there would. The library uses NoRingHook.
enum class RingStep { kPushTake, kPushFill, kPopLook, kPopTake, kClearHead };
struct NoRingHook {
  static bool Continue(RingStep) { return true; }
};

template <int32_t N>
inline uint32_t RingWord(const SharedWord* word, std::memory_order order) {
  return static_cast<uint32_t>(word->load(order));
}

template <int32_t N>
inline uint32_t RingLap(uint32_t position) {
  return position >> RingView<N>::kLapShift;
}

template <int32_t N>
inline int32_t RingSlotWord(uint32_t position, int32_t v) {
  return static_cast<int32_t>(kSlotFilled | RingLap<N>(position) << kSlotLapShift |
                              (static_cast<uint32_t>(v) & kSlotValueMask));
}

template <int32_t N>
inline bool RingSlotHolds(int32_t word, uint32_t position) {
  return (static_cast<uint32_t>(word) & ~kSlotValueMask) == (kSlotFilled | RingLap<N>(position) << kSlotLapShift);
}

// What a consumer leaves in a slot that it gave up waiting for: the lap of
// the position, no filled mark, all value bits set.
template <int32_t N>
inline int32_t RingSkippedWord(uint32_t position) {
  return static_cast<int32_t>(RingLap<N>(position) << kSlotLapShift | kSlotValueMask);
}

// The first position of the lap after the one `position` is in (slot 0).
template <int32_t N>
inline uint32_t RingNextLap(uint32_t position) {
  return (position | RingView<N>::kIndexMask) + 1;
}

// Moves an index forward to `target`, never back: an index already there or
// past it stays.
inline void RingAdvanceTo(SharedWord* index, uint32_t target) {
  int32_t seen = index->load(std::memory_order_acquire);
  for (int attempt = 0; attempt < kRingAttempts; ++attempt) {
    if (static_cast<int32_t>(static_cast<uint32_t>(seen) - target) >= 0) return;
    if (index->compare_exchange_weak(seen, static_cast<int32_t>(target), std::memory_order_seq_cst,
                                     std::memory_order_acquire)) {
      return;
    }
  }
}

// Records that everything before `next` is cleared. A mark up to one lap
// further on is a concurrent clear's and stays; one further still can only
// be scribbled, and is replaced.
template <int32_t N>
inline void RingMarkCleared(RingView<N> r, uint32_t next) {
  int32_t seen = r.cleared->load(std::memory_order_acquire);
  for (int attempt = 0; attempt < kRingAttempts; ++attempt) {
    const uint32_t ahead = static_cast<uint32_t>(seen) - next;
    if (ahead <= static_cast<uint32_t>(N)) return;
    if (r.cleared->compare_exchange_weak(seen, static_cast<int32_t>(next), std::memory_order_seq_cst,
                                         std::memory_order_acquire)) {
      return;
    }
  }
}

// With tail at `next` and head not yet: once a cycle of laps, every slot is
// emptied (see the top of this file). No push can take a position at or past
// `next` before head is published, and a value filled for an earlier
// position is cleared anyway.
template <int32_t N>
inline void RingForgetOldLaps(RingView<N> r, uint32_t next) {
  if (RingLap<N>(next) > 1) return;
  for (int32_t i = 0; i < N; ++i) r.slots[i].store(0, std::memory_order_relaxed);
}

// Empties the ring of what it holds when the clear begins: both indices move
// on to the first position of the next lap (its goal). Tail first, so that
// nobody sees head ahead of a stale tail; and only forward. A clear that
// finds tail at or past its goal is done: another clear (or pops) got there,
// and what was pushed since is text queued after this clear, which it must
// not take with it. One that loses its race for head to pushes starts again
// from the newer head, towards a later goal.
template <typename Hook = NoRingHook, int32_t N>
inline void RingClear(RingView<N> r) {
  uint32_t goal = 0;
  for (int attempt = 0; attempt < kRingAttempts; ++attempt) {
    int32_t seen = r.head->load(std::memory_order_acquire);
    const uint32_t next = RingNextLap<N>(static_cast<uint32_t>(seen));
    int32_t t = r.tail->load(std::memory_order_acquire);
    if (attempt == 0) goal = next;
    // Tail at or past the goal: done, once the ring is consistent again;
    // unless, at the first look, another clear towards the same goal is
    // between its two stores (finish it). Scribbled indices are never
    // consistent, and end in the repair below.
    const int32_t pastGoal = static_cast<int32_t>(static_cast<uint32_t>(t) - goal);
    if (pastGoal > 0 || (pastGoal == 0 && attempt > 0)) {
      if (static_cast<uint32_t>(seen) - static_cast<uint32_t>(t) <= RingView<N>::kIndexMask) return;
      continue;
    }
    RingMarkCleared(r, next);
    if (static_cast<uint32_t>(t) != next &&
        !r.tail->compare_exchange_strong(t, static_cast<int32_t>(next), std::memory_order_seq_cst,
                                         std::memory_order_relaxed)) {
      continue;
    }
    RingForgetOldLaps(r, next);
    if (!Hook::Continue(RingStep::kClearHead)) return;
    if (r.head->compare_exchange_strong(seen, static_cast<int32_t>(next), std::memory_order_seq_cst,
                                        std::memory_order_relaxed)) {
      return;
    }
  }
  // The indices keep moving under the clear (only another process scribbling
  // on the block does that): both go forward, past whichever is further on.
  const uint32_t h = RingWord<N>(r.head, std::memory_order_acquire);
  const uint32_t t = RingWord<N>(r.tail, std::memory_order_acquire);
  const uint32_t next = RingNextLap<N>(static_cast<int32_t>(h - t) > 0 ? h : t);
  RingMarkCleared(r, next);
  RingAdvanceTo(r.tail, next);
  RingForgetOldLaps(r, next);
  RingAdvanceTo(r.head, next);
}

// Whether a clear has moved the ring past `position` since a value was taken
// from there: the value was cancelled. A mark ahead of head can only be
// scribbled (a clear marks, then publishes head at the mark) and counts for
// nothing.
template <int32_t N>
inline bool RingClearedPast(RingView<N> r, uint32_t position) {
  const uint32_t cleared = RingWord<N>(r.cleared, std::memory_order_seq_cst);
  const uint32_t head = RingWord<N>(r.head, std::memory_order_acquire);
  return static_cast<int32_t>(cleared - position) > 0 && static_cast<int32_t>(head - cleared) >= 0;
}

// Writes v into the slot of `position`. False when the consumer gave up
// waiting for this push and skipped the slot: the value must be pushed again.
// The value is dropped instead when tail has moved past the position by a
// clear: no consumer will visit the position again, and the value counts as
// cleared. The compare-exchange makes the look at the slot and tail and the
// write one step against any other write to the slot (the consumer's skip
// mark, a producer of a later lap).
template <int32_t N>
inline bool RingFill(RingView<N> r, uint32_t position, int32_t v) {
  SharedWord& slot = r.slots[position & RingView<N>::kIndexMask];
  const int32_t word = RingSlotWord<N>(position, v);
  int32_t seen = slot.load(std::memory_order_acquire);
  for (int attempt = 0; attempt < kRingAttempts; ++attempt) {
    if (seen == RingSkippedWord<N>(position)) return false;
    const uint32_t t = RingWord<N>(r.tail, std::memory_order_acquire);
    if (static_cast<int32_t>(t - position) > 0) {
      // A consumer that skips marks the slot before it moves tail on.
      return slot.load(std::memory_order_acquire) != RingSkippedWord<N>(position);
    }
    if (slot.compare_exchange_weak(seen, word, std::memory_order_acq_rel, std::memory_order_acquire)) return true;
  }
  return true;
}

enum class PushResult { kPushed, kFull, kGaveUp };

// The push behind RingPush and RingTryPush. A full ring with `overflow` on
// is cleared first; with it off the push is refused (kFull). kGaveUp: every
// attempt lost its race to other producers, or the ring stayed inconsistent;
// nothing was pushed.
template <typename Hook, int32_t N>
inline PushResult RingPushWith(RingView<N> r, int32_t v, bool overflow) {
  int inconsistent = 0;  // looks that found tail past head
  for (int attempt = 0; attempt < kRingAttempts; ++attempt) {
    int32_t seen = r.head->load(std::memory_order_acquire);
    const uint32_t h = static_cast<uint32_t>(seen);
    const uint32_t queued = h - RingWord<N>(r.tail, std::memory_order_acquire);
    if (queued > RingView<N>::kIndexMask - 1) {
      if (queued == RingView<N>::kIndexMask) {  // full
        if (!overflow) return PushResult::kFull;
        RingClear(r);
      } else if (++inconsistent >= kRingAttempts / 2) {
        RingClear(r);  // inconsistent for longer than a clear takes: repair
        inconsistent = 0;
      }
      continue;  // else a clear is between its two stores
    }
    if (!Hook::Continue(RingStep::kPushTake)) return PushResult::kGaveUp;
    // Sequentially consistent: the writer's going-to-sleep check
    // (pipeline/workers.cpp) pairs with it.
    if (!r.head->compare_exchange_strong(seen, static_cast<int32_t>(h + 1), std::memory_order_seq_cst,
                                         std::memory_order_relaxed)) {
      continue;
    }
    if (!Hook::Continue(RingStep::kPushFill)) return PushResult::kPushed;
    if (RingFill(r, h, v)) return PushResult::kPushed;
    // Skipped while this thread was held up: take a new slot.
  }
  return PushResult::kGaveUp;
}

template <typename Hook = NoRingHook, int32_t N>
inline void RingPush(RingView<N> r, int32_t v) {
  RingPushWith<Hook>(r, v, true);
}

// Pushes v unless the ring is full (kFull, nothing pushed). Checking for
// room and taking it are one step, so two producers (two processes) racing
// for the last free slot cannot turn into an overflow that drops the whole
// ring.
template <typename Hook = NoRingHook, int32_t N>
inline PushResult RingTryPush(RingView<N> r, int32_t v) {
  return RingPushWith<Hook>(r, v, false);
}

// Whether the slot at `position`, taken but not filled, has held the ring up
// long enough to be skipped. The first look starts the count.
template <int32_t N>
inline bool RingStallIsOver(RingView<N> r, uint32_t position) {
  const uint32_t now = Os().monotonicMs() | 1;  // 0 means "nothing seen"
  const uint64_t seen = r.stall->load(std::memory_order_relaxed);
  const uint32_t since = static_cast<uint32_t>(seen);
  if (since == 0 || static_cast<uint32_t>(seen >> 32) != position) {
    r.stall->store(static_cast<uint64_t>(position) << 32 | now, std::memory_order_relaxed);
    return false;
  }
  return now - since >= kStallSkipMs;
}

// The oldest value (its low 8 bits), or -1 when there is none to take now:
// the ring is empty, or its oldest slot is taken but not yet filled. The
// position the value was taken from goes to *position, when given.
template <typename Hook = NoRingHook, int32_t N>
inline int32_t RingPop(RingView<N> r, uint32_t* position = nullptr) {
  int inconsistent = 0;  // looks that found tail past head
  for (int attempt = 0; attempt < kRingAttempts; ++attempt) {
    int32_t seen = r.tail->load(std::memory_order_acquire);
    const uint32_t t = static_cast<uint32_t>(seen);
    const uint32_t queued = RingWord<N>(r.head, std::memory_order_acquire) - t;
    if (queued == 0) return -1;
    if (queued > RingView<N>::kIndexMask) {
      if (++inconsistent >= kRingAttempts / 2) {  // see RingPushWith
        RingClear(r);
        inconsistent = 0;
      }
      continue;
    }
    if (!Hook::Continue(RingStep::kPopLook)) return -1;
    SharedWord& slot = r.slots[t & RingView<N>::kIndexMask];
    const int32_t word = slot.load(std::memory_order_acquire);
    if (!RingSlotHolds<N>(word, t)) {
      // Taken, not filled yet. Skip it only once its producer has had long
      // enough to have died; if it has not, it pushes its value again.
      if (!RingStallIsOver(r, t)) return -1;
      // Tail still at t after the slot was read: the word is not a value of
      // a later lap (which is filled only after tail has moved past t), so
      // the mark can overwrite nothing but the unfilled slot.
      if (r.tail->load(std::memory_order_acquire) != seen) continue;
      int32_t unfilled = word;
      if (!slot.compare_exchange_strong(unfilled, RingSkippedWord<N>(t), std::memory_order_acq_rel,
                                        std::memory_order_relaxed)) {
        continue;  // filled just now
      }
      r.tail->compare_exchange_strong(seen, static_cast<int32_t>(t + 1), std::memory_order_acq_rel,
                                      std::memory_order_relaxed);
      continue;
    }
    if (!Hook::Continue(RingStep::kPopTake)) return -1;
    if (r.tail->compare_exchange_strong(seen, static_cast<int32_t>(t + 1), std::memory_order_acq_rel,
                                        std::memory_order_relaxed)) {
      if (position != nullptr) *position = t;
      return static_cast<int32_t>(static_cast<uint32_t>(word) & kSlotValueMask);
    }
  }
  return -1;
}

template <int32_t N>
inline bool RingIsFull(RingView<N> r) {
  const uint32_t n = (RingWord<N>(r.head, std::memory_order_acquire) + 1) & RingView<N>::kIndexMask;
  return n == (RingWord<N>(r.tail, std::memory_order_acquire) & RingView<N>::kIndexMask);
}

// Sequentially consistent loads: the writer's going-to-sleep check
// (pipeline/workers.cpp) pairs them with the push's compare-exchange.
template <int32_t N>
inline bool RingIsEmpty(RingView<N> r) {
  return ((RingWord<N>(r.head, std::memory_order_seq_cst) ^ RingWord<N>(r.tail, std::memory_order_seq_cst)) &
          RingView<N>::kIndexMask) == 0;
}

}  // namespace qz
