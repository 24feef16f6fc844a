// The periodic scan's interval: doubling after idle cycles up to the first value at or above
// the maximum, halving under activity, capped by the TCP outage window.
#include <gtest/gtest.h>

#include <vector>

#include "core/support/qdv0.h"
#include "include/qdvp_scan.h"
#include "tests/support/qdvptest.h"

namespace {

using qdvp_test::EnvGuard;

// Runs idle cycles as the task does (adjust, sleep, count the cycle); the interval after each.
std::vector<int> IdleRun(ScanClock *clock, int cycles) {
  std::vector<int> intervals;
  for (int i = 0; i < cycles; i++) {
    intervals.push_back(QDVP_ScanNextInterval(clock, 0));
    clock->IdleCycles++;
  }
  return intervals;
}

// The distinct intervals of 250 idle cycles, from the settings (unset: their defaults).
TEST(ScanInterval, IdleCyclesDoubleItUpToTheMaximumAndTheOutageWindow) {
  const std::optional<std::string> unset;
  const struct {
    std::optional<std::string> delay, max, window;
    std::vector<int> distinct;
    int firstChange;  // cycle at which the interval first doubles
  } cases[] = {
      {unset, unset, unset, {1, 2, 4, 8, 16, 32, 64}, 30},
      {"2", unset, "20", {1, 2, 4, 8, 16, 20}, 2},
      {"1", "4", "0", {1, 2, 4}, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.distinct.back());
    EnvGuard env({{"QDVP_SCAN_DELAY_CYCLES", c.delay}, {"QDVP_SCAN_MAX_INTERVAL", c.max},
                  {"QDVP_ACTIVITY_DELAY_CYCLES", unset}, {"QDVP_TCP_OUTAGE_WINDOW", c.window}});
    ScanClock clock;
    QDVP_InitializeScanClock(&clock);
    std::vector<int> seen = IdleRun(&clock, 250), distinct;
    for (int v : seen) {
      if (distinct.empty() || distinct.back() != v) distinct.push_back(v);
    }
    EXPECT_EQ(distinct, c.distinct);
    EXPECT_EQ(seen[c.firstChange - 1], 1);
    EXPECT_EQ(seen[c.firstChange], 2);
  }
}

TEST(ScanInterval, HalvesWhenACycleBringsEnoughActivity) {
  EnvGuard env({{"QDVP_SCAN_DELAY_CYCLES", "1"}, {"QDVP_ACTIVITY_DELAY_CYCLES", std::nullopt}});
  ScanClock c;
  QDVP_InitializeScanClock(&c);
  IdleRun(&c, 4);
  ASSERT_EQ(c.Interval, 8);
  c.Activity += 3;  // the default threshold, e.g. one UDP partner expiry
  EXPECT_EQ(QDVP_ScanNextInterval(&c, 0), 4);
  c.Activity += 2;  // below the threshold: no change
  EXPECT_EQ(QDVP_ScanNextInterval(&c, 0), 4);
  c.Activity += 1;
  EXPECT_EQ(QDVP_ScanNextInterval(&c, 0), 2);
  EXPECT_EQ(QDVP_ScanNextInterval(&c, 1), 1) << "an ending task counts as busy";
  EXPECT_EQ(QDVP_ScanNextInterval(&c, 1), 1);
}

}  // namespace
