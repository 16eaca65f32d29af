// Who may take a lease over: the holder's word, its alive mark and its
// stamp, against the fake clock and the fake's answers about processes.
#include <gtest/gtest.h>

#include "fake/fake.h"
#include "state/lease.h"

namespace qz {
namespace {

constexpr uint32_t kMe = 100;
constexpr uint32_t kOther = 200;

TEST(LeaseTest, ALeaseIsTakenFromNobodyFromTheDeadAndFromTheStoppedOnly) {
  const struct {
    const char* name;
    uint32_t holder;     // 0: free
    int32_t stampAgeMs;  // how long before now the holder last made progress
    bool holderGone;     // what the kernel says of the holder's alive mark
    bool taken;
  } cases[] = {
      {"free", 0, 0, false, true},
      {"held by the caller: renewed", kMe, kLeaseStaleMs + 50, false, true},
      {"held by a running process", kOther, kLeaseStaleMs - 1, false, false},
      {"held by a process that died", kOther, 0, true, true},
      {"held by a process stopped for the stale time", kOther, kLeaseStaleMs, false, true},
      {"a stamp from the future (scribbled)", kOther, -5000, false, true},
      // A holder without an alive mark is judged by its stamp alone: what
      // processGone says of its bare id is about another process.
      {"an unmarked holder that runs", kOther | kLeaseUnmarked, 0, true, false},
      {"an unmarked holder that stopped", kOther | kLeaseUnmarked, kLeaseStaleMs, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake::Install();
    Os().sleepMs(10000);  // the clock at 10 s
    if (c.holderGone) fake::SetProcessGone(c.holder & ~kLeaseUnmarked);
    SharedLease lease{c.holder == 0 ? 0 : LeaseWord(c.holder, Os().monotonicMs() - c.stampAgeMs)};
    EXPECT_EQ(LeaseTake(lease, kMe), c.taken);
    EXPECT_EQ(LeaseHolder(lease.load()), c.taken ? kMe : c.holder);
    if (c.taken) {
      EXPECT_EQ(LeaseStamp(lease.load()), Os().monotonicMs());
    }
    fake::Uninstall();
  }
}

// A holder that was passed over finds out at its next renewal, and gives
// nothing up that it no longer holds.
TEST(LeaseTest, AHolderThatWasPassedOverKnowsIt) {
  fake::Install();
  SharedLease lease{0};
  ASSERT_TRUE(LeaseTake(lease, kMe));
  Os().sleepMs(kLeaseStaleMs);
  ASSERT_TRUE(LeaseTake(lease, kOther));
  EXPECT_FALSE(LeaseRenew(lease, kMe));
  LeaseGive(lease, kMe);
  EXPECT_EQ(LeaseHolder(lease.load()), kOther);
  fake::Uninstall();
}

}  // namespace
}  // namespace qz
