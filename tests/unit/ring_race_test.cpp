// The races of a ring shared by several processes, each made exact: a hook
// stops a push or a pop between two of its steps and runs the other side's
// operation right there, on the same thread.
#include <gtest/gtest.h>

#include <functional>
#include <utility>
#include <vector>

#include "fake/fake.h"
#include "state/ring.h"

namespace qz {
namespace {

// Fires `action` once, at `step`; `dies` ends the operation there instead.
struct StepHook {
  static RingStep step;
  static std::function<void()> action;
  static bool dies;
  static bool Continue(RingStep at) {
    if (at != step) return true;
    if (auto run = std::exchange(action, nullptr)) run();
    return !std::exchange(dies, false);
  }
};
RingStep StepHook::step;
std::function<void()> StepHook::action;
bool StepHook::dies = false;

std::vector<int32_t> Drain(TextRingView r) {
  std::vector<int32_t> out;
  for (int32_t v = RingPop(r); v != -1; v = RingPop(r)) out.push_back(v);
  return out;
}

class RingRaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Install();  // Os().sleepMs only moves the fake clock the stall is timed on
    InitialiseSharedState(&block_);
    Proc().textStall.store(0);
  }
  void TearDown() override {
    StepHook::action = nullptr;
    StepHook::dies = false;
    fake::Uninstall();
  }
  TextRingView Ring() { return TextRingOf(block_); }
  SharedState block_;
};

struct RaceCase {
  const char* name;
  std::vector<int32_t> queued;  // before the operation
  RingStep step;                // where the other side cuts in
  std::vector<int32_t> cutIn;   // -2: a clear; else a push of the value
  char op;                      // the operation: 'o' a pop, 'u' a push of 'p', 'c' a clear
  int32_t popped;               // what the pop returns
  std::vector<int32_t> left;    // what the ring holds afterwards
};

TEST_F(RingRaceTest, AnOperationCutIntoByAnotherLeavesTheRingWhole) {
  constexpr int32_t kClear = -2;
  const RaceCase cases[] = {
      // The pop had read tail 0; a cancel cleared the ring and queued its
      // byte. The pop must not publish tail 1 over the clear: that skipped
      // the cancel byte (or, with nothing pushed, left head 0 and tail 1: a
      // full ring of stale text).
      {"pop at tail 0, then clear and push", {'a'}, RingStep::kPopTake, {kClear, 24}, 'o', 24, {}},
      {"pop at tail 0, then clear", {'a'}, RingStep::kPopTake, {kClear}, 'o', -1, {}},
      // Two producers read the same head: both values stay, in the order
      // their slots were taken.
      {"two pushes for one slot", {}, RingStep::kPushTake, {'q'}, 'u', 0, {'q', 'p'}},
      // A producer that took its slot before a clear fills it afterwards: it
      // must not overwrite what was queued after the clear.
      {"push overtaken by clear and push", {'a'}, RingStep::kPushFill, {kClear, 'n'}, 'u', 0, {'n'}},
      // A clear held up between its two stores: another clear finishes the
      // job and text is queued after it. The held-up clear must not take
      // that text with it.
      {"clear overtaken by clear and push", {'a'}, RingStep::kClearHead, {kClear, 'n'}, 'c', 0, {'n'}},
  };
  for (const RaceCase& c : cases) {
    SCOPED_TRACE(c.name);
    InitialiseSharedState(&block_);
    for (int32_t v : c.queued) RingPush(Ring(), v);
    StepHook::step = c.step;
    StepHook::action = [this, &c] {
      for (int32_t v : c.cutIn) v == kClear ? RingClear(Ring()) : RingPush(Ring(), v);
    };
    if (c.op == 'o') {
      EXPECT_EQ(RingPop<StepHook>(Ring()), c.popped);
    } else if (c.op == 'u') {
      RingPush<StepHook>(Ring(), 'p');
    } else {
      RingClear<StepHook>(Ring());
    }
    EXPECT_FALSE(RingIsFull(Ring()));
    EXPECT_EQ(Drain(Ring()), c.left);
  }
}

// A producer that took a slot and was held up before filling it: the
// consumer does not take the slot (it still holds a value of an earlier lap),
// and skips it once it has waited kStallSkipMs on the clock. A producer that
// died there loses its value; one that was only held up pushes it again.
TEST_F(RingRaceTest, ASlotTakenAndNotFilledIsSkippedAfterTheStallTime) {
  for (bool dies : {true, false}) {
    SCOPED_TRACE(dies ? "the producer died" : "the producer was held up");
    TextRingView r = Ring();
    for (int i = 0; i < kTextRingSize; ++i) {  // one lap: slot 0 holds a stale 's'
      RingPush(r, 's');
      ASSERT_EQ(RingPop(r), 's');
    }
    StepHook::step = RingStep::kPushFill;
    StepHook::dies = dies;
    StepHook::action = [r] {
      RingPush(r, 'y');
      EXPECT_EQ(RingPop(r), -1) << "the stale value of the slot was taken";
      Os().sleepMs(kStallSkipMs - 1);
      EXPECT_EQ(RingPop(r), -1) << "skipped before the stall time";
      Os().sleepMs(1);
      EXPECT_EQ(RingPop(r), 'y');
    };
    RingPush<StepHook>(r, 'x');  // takes slot 0, held up before filling it
    EXPECT_EQ(Drain(r), dies ? std::vector<int32_t>{} : std::vector<int32_t>{'x'});
  }
}

// A slot's lap has 16 bits, so after 65,536 clears the positions come back
// to the laps of a value that was queued and cleared long ago. A pop that
// looks at such a slot while its new producer has taken it but not filled
// it must find nothing, not the old value.
TEST_F(RingRaceTest, AValueFromACycleOfLapsAgoIsNeverTakenAsNew) {
  TextRingView r = Ring();
  RingPush(r, 'F');
  for (int i = 0; i < 65536; ++i) RingClear(r);
  StepHook::step = RingStep::kPushFill;
  StepHook::action = [r] { EXPECT_EQ(RingPop(r), -1) << "a value cleared 65,536 laps ago came back"; };
  RingPush<StepHook>(r, 'x');
  EXPECT_EQ(Drain(r), std::vector<int32_t>{'x'});
}

// A pop that has waited out a producer stalled in slot 0 reads the indices;
// before it looks at the slot, a clear and a push fill slot 0 again, for the
// next lap. That value is what the ring holds after the clear: the pop must
// take it, not mark it skipped.
TEST_F(RingRaceTest, APopThatWaitedOutAStalledSlotTakesTheValueQueuedAfterAClear) {
  TextRingView r = Ring();
  StepHook::step = RingStep::kPushFill;
  StepHook::dies = true;
  RingPush<StepHook>(r, 'x');  // takes slot 0 and dies there
  ASSERT_EQ(RingPop(r), -1);   // the stall starts
  Os().sleepMs(kStallSkipMs);
  StepHook::step = RingStep::kPopLook;
  StepHook::action = [r] {
    RingClear(r);
    RingPush(r, 'n');
  };
  EXPECT_EQ(RingPop<StepHook>(r), 'n');
  EXPECT_EQ(Drain(r), std::vector<int32_t>{});
}

}  // namespace
}  // namespace qz
