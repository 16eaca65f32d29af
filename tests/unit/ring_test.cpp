#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <thread>

#include "state/ring.h"

namespace qz {
namespace {

// The slot an index word points at: the words count positions, and every
// reader masks them.
int32_t Slot(const SharedWord& word, int32_t n) { return word.load() & (n - 1); }

class RingTest : public ::testing::Test {
 protected:
  void SetUp() override { InitialiseSharedState(&block); }
  SharedState block;
};

TEST_F(RingTest, PopOfEmptyRingIsMinusOneAndChangesNothing) {
  block.textHead = 7;
  block.textTail = 7;
  EXPECT_EQ(RingPop(TextRingOf(block)), -1);
  EXPECT_EQ(block.textHead.load(), 7);
  EXPECT_EQ(block.textTail.load(), 7);
  EXPECT_EQ(RingPop(ReplyRingOf(block)), -1);
}

// A ring holds one value less than its size, oldest first; a push into the
// full ring empties it and keeps only the new value.
template <typename View>
void ExpectFullThenOverflow(View r, const SharedWord& head, const SharedWord& tail, int32_t size) {
  for (int i = 0; i < size - 1; ++i) {
    ASSERT_FALSE(RingIsFull(r)) << i;
    RingPush(r, i % 100);
  }
  EXPECT_TRUE(RingIsFull(r));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(RingPop(r), i);
  for (int i = 0; i < 10; ++i) RingPush(r, 1);
  EXPECT_TRUE(RingIsFull(r));
  RingPush(r, 0x5A);
  EXPECT_EQ(Slot(head, size), 1);
  EXPECT_EQ(Slot(tail, size), 0);
  EXPECT_EQ(RingPop(r), 0x5A);
  EXPECT_EQ(RingPop(r), -1);
}

TEST_F(RingTest, BothRingsAreFullOneShortOfTheirSizeAndOverflowKeepsOnlyTheNewValue) {
  {
    SCOPED_TRACE("text ring");
    ExpectFullThenOverflow(TextRingOf(block), block.textHead, block.textTail, kTextRingSize);
  }
  {
    SCOPED_TRACE("reply ring");
    ExpectFullThenOverflow(ReplyRingOf(block), block.replyHead, block.replyTail, kReplyRingSize);
  }
}

TEST_F(RingTest, ValuesPushedAcrossTheWrapComeOutInOrder) {
  block.replyHead = kReplyRingSize - 3;
  block.replyTail = kReplyRingSize - 3;
  ReplyRingView r = ReplyRingOf(block);
  for (int v = 10; v < 16; ++v) RingPush(r, v);
  EXPECT_EQ(Slot(block.replyHead, kReplyRingSize), 3);
  for (int v = 10; v < 16; ++v) EXPECT_EQ(RingPop(r), v);
  EXPECT_EQ(RingPop(r), -1);
  EXPECT_EQ(Slot(block.replyTail, kReplyRingSize), 3);
}

TEST_F(RingTest, TextRingStoresTheLowByteOnly) {
  TextRingView r = TextRingOf(block);
  RingPush(r, 0x141);
  RingPush(r, -1);
  EXPECT_EQ(RingPop(r), 0x41);
  EXPECT_EQ(RingPop(r), 0xFF);
}

TEST_F(RingTest, ClearEmptiesAndResetsBothIndices) {
  TextRingView r = TextRingOf(block);
  for (int i = 0; i < 5; ++i) RingPush(r, i);
  RingPop(r);
  RingClear(r);
  EXPECT_EQ(Slot(block.textHead, kTextRingSize), 0);
  EXPECT_EQ(Slot(block.textTail, kTextRingSize), 0);
  EXPECT_EQ(RingPop(r), -1);
  EXPECT_FALSE(RingIsFull(r));
}

// Another process may leave any value in the indices; none may lead this
// library outside the block. Slots sit inside SharedState, so a write outside
// would land in a guard word or fault under the address sanitizer.
TEST(RingHostileIndices, ArbitraryIndexValuesStayInsideTheBlock) {
  struct Guarded {
    int32_t before[64];
    SharedState block;
    int32_t after[64];
  };
  auto* g = new Guarded();
  InitialiseSharedState(&g->block);
  const int32_t values[] = {-1, INT_MIN, INT_MAX, kTextRingSize, kTextRingSize + 5, -65537, 1 << 30, 511, 512};
  for (int32_t h : values) {
    for (int32_t t : values) {
      g->block.textHead = h;
      g->block.textTail = t;
      g->block.replyHead = h;
      g->block.replyTail = t;
      RingPush(TextRingOf(g->block), 0x33);
      const int32_t text = RingPop(TextRingOf(g->block));
      EXPECT_TRUE(text >= -1 && text <= 0xFF) << h << " " << t;
      RingIsFull(TextRingOf(g->block));
      // Whatever it was left in, the ring is a ring again after a clear.
      RingClear(ReplyRingOf(g->block));
      RingPush(ReplyRingOf(g->block), 7);
      EXPECT_EQ(RingPop(ReplyRingOf(g->block)), 7) << h << " " << t;
      EXPECT_EQ(RingPop(ReplyRingOf(g->block)), -1) << h << " " << t;
    }
  }
  for (int i = 0; i < 64; ++i) {
    EXPECT_EQ(g->before[i], 0);
    EXPECT_EQ(g->after[i], 0);
  }
  delete g;
}

// One producer and one consumer thread move 10^7 values (10^6 under the
// thread sanitizer); the producer never overfills, so every value must
// arrive once, in order.
TEST(RingThreads, ProducerAndConsumerMoveTenMillionValuesInOrder) {
  auto* block = new SharedState();
  InitialiseSharedState(block);
#ifdef __SANITIZE_THREAD__
  constexpr int kCount = 1000000;  // every atomic access is instrumented
#else
  constexpr int kCount = 10000000;
#endif
  std::atomic<bool> failed{false};
  std::thread consumer([&] {
    ReplyRingView r = ReplyRingOf(*block);
    int expected = 0;
    while (expected < kCount) {
      int32_t v = RingPop(r);
      if (v < 0) continue;
      if (v != expected % 256) {
        failed = true;
        return;
      }
      ++expected;
    }
  });
  ReplyRingView r = ReplyRingOf(*block);
  for (int i = 0; i < kCount && !failed; ++i) {
    while (RingIsFull(r) && !failed) std::this_thread::yield();
    RingPush(r, i % 256);
  }
  consumer.join();
  EXPECT_FALSE(failed.load());
  EXPECT_EQ(RingPop(r), -1);
  delete block;
}

}  // namespace
}  // namespace qz
