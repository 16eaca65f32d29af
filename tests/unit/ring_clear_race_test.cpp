// A clear racing a push. A cancel empties the text ring while the
// application may be pushing, in this process or another; afterwards the
// consumer must never be handed text that it has already had or that was
// queued before the clear. With one producer whose values count up, that
// means: popped values never go backwards.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "state/ring.h"

namespace qz {
namespace {

struct RaceCounts {
  uint64_t pushed = 0;
  uint64_t popped = 0;
  uint64_t clears = 0;
  uint64_t backwards = 0;  // a value older than one already popped
};

// A producer pushes counting values into the reply ring (512 slots, full
// 32-bit values, so laps are short) while the consumer pops and, every few
// pops, clears, as the writer does when it takes a cancel byte. Runs until
// `pushes` values went in or the time is up. The producer waits for room, so
// the overflow path plays no part.
RaceCounts RunClearRace(uint64_t pushes, std::chrono::milliseconds limit) {
  auto* block = new SharedState();
  InitialiseSharedState(block);
  ReplyRingView r = ReplyRingOf(*block);
  std::atomic<bool> done{false};
  RaceCounts counts;
  const auto deadline = std::chrono::steady_clock::now() + limit;

  std::thread consumer([&] {
    int64_t last = -1;
    while (!done.load(std::memory_order_relaxed)) {
      const int32_t v = RingPop(r);
      if (v < 0) continue;
      ++counts.popped;
      if (v <= last) ++counts.backwards;
      if (v > last) last = v;
      if ((counts.popped & 7) == 0) {
        RingClear(r);
        ++counts.clears;
      }
    }
  });
  for (uint64_t i = 0; i < pushes; ++i) {
    while (RingIsFull(r)) std::this_thread::yield();
    RingPush(r, static_cast<int32_t>(i & 0x7FFFFFFF));
    ++counts.pushed;
    if ((i & 0xFFF) == 0 && std::chrono::steady_clock::now() > deadline) break;
  }
  done = true;
  consumer.join();
  delete block;
  return counts;
}

// Before pushes published head with a compare-exchange, a push that had read
// head before the clear wrote it back afterwards, and the consumer was handed
// the whole stale ring again.
TEST(RingClearRace, PoppedValuesNeverGoBackwardsWhenTheConsumerClearsUnderAPush) {
  const RaceCounts c = RunClearRace(20000000, std::chrono::seconds(2));
  std::printf("clear race: %llu pushed, %llu popped, %llu clears, %llu went backwards\n",
              static_cast<unsigned long long>(c.pushed), static_cast<unsigned long long>(c.popped),
              static_cast<unsigned long long>(c.clears), static_cast<unsigned long long>(c.backwards));
  EXPECT_GT(c.clears, 0u);
  EXPECT_EQ(c.backwards, 0u);
}

}  // namespace
}  // namespace qz
