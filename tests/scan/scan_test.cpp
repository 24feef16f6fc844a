// The periodic scan's interval: doubling after idle cycles up to the first value at or above
// the maximum, halving under activity, capped by the TCP outage window; and the task itself
// on a manual clock, which only moves when the task sleeps.
#include <gtest/gtest.h>

#include <vector>

#include "core/support/qdv0.h"
#include "include/qdvp_scan.h"
#include "tests/support/qdvptest.h"

namespace {

using qdvp_test::EnvGuard;

ScanClock DefaultClock() {
  EnvGuard env({{"QDVP_SCAN_DELAY_CYCLES", std::nullopt},
                {"QDVP_SCAN_MAX_INTERVAL", std::nullopt},
                {"QDVP_ACTIVITY_DELAY_CYCLES", std::nullopt},
                {"QDVP_TCP_OUTAGE_WINDOW", std::nullopt}});
  ScanClock clock;
  QDVP_InitializeScanClock(&clock);
  return clock;
}

// Runs idle cycles as the task does (adjust, sleep, count the cycle) and returns the interval
// after each.
std::vector<int> IdleRun(ScanClock *clock, int cycles) {
  std::vector<int> intervals;
  for (int i = 0; i < cycles; i++) {
    intervals.push_back(QDVP_ScanNextInterval(clock, 0));
    clock->IdleCycles++;
  }
  return intervals;
}

TEST(ScanInterval, DefaultsAreThoseOfTheSettings) {
  ScanClock c = DefaultClock();
  EXPECT_EQ(c.Interval, 1);
  EXPECT_EQ(c.DelayCycles, 30);
  EXPECT_EQ(c.MaxInterval, 60);
  EXPECT_EQ(c.ActivityDelay, 3);
  EXPECT_EQ(c.OutageWindow, 180);
}

TEST(ScanInterval, DoublesAfterEveryThirtyIdleCyclesUpToSixtyFour) {
  ScanClock c = DefaultClock();
  std::vector<int> seen = IdleRun(&c, 31 * 8);
  // 1 s for the first 30 cycles, then 2 s, ... 64 s, and no further.
  EXPECT_EQ(seen[0], 1);
  EXPECT_EQ(seen[29], 1);
  EXPECT_EQ(seen[30], 2);
  EXPECT_EQ(seen.back(), 64);
  std::vector<int> distinct;
  for (int v : seen) {
    if (distinct.empty() || distinct.back() != v) distinct.push_back(v);
  }
  EXPECT_EQ(distinct, (std::vector<int>{1, 2, 4, 8, 16, 32, 64}));
}

TEST(ScanInterval, HalvesWhenACycleBringsEnoughActivity) {
  ScanClock c = DefaultClock();
  IdleRun(&c, 31 * 3);
  ASSERT_EQ(c.Interval, 8);
  c.Activity += c.ActivityDelay;  // e.g. one UDP partner expiry
  EXPECT_EQ(QDVP_ScanNextInterval(&c, 0), 4);
  c.Activity += 2;  // below the threshold: no change
  EXPECT_EQ(QDVP_ScanNextInterval(&c, 0), 4);
  c.Activity += 1;
  EXPECT_EQ(QDVP_ScanNextInterval(&c, 0), 2);
  EXPECT_EQ(QDVP_ScanNextInterval(&c, 1), 1) << "an ending task counts as busy";
  EXPECT_EQ(QDVP_ScanNextInterval(&c, 1), 1);
}

TEST(ScanInterval, OutageWindowCapsTheInterval) {
  EnvGuard env({{"QDVP_TCP_OUTAGE_WINDOW", "20"}, {"QDVP_SCAN_DELAY_CYCLES", "2"}});
  ScanClock c;
  QDVP_InitializeScanClock(&c);
  std::vector<int> seen = IdleRun(&c, 40);
  for (int v : seen) EXPECT_LE(v, 20);
  EXPECT_EQ(seen.back(), 20);
}

TEST(ScanInterval, SettingsComeFromTheEnvironment) {
  EnvGuard env({{"QDVP_SCAN_DELAY_CYCLES", "1"}, {"QDVP_SCAN_MAX_INTERVAL", "4"},
                {"QDVP_TCP_OUTAGE_WINDOW", "0"}});
  ScanClock c;
  QDVP_InitializeScanClock(&c);
  std::vector<int> seen = IdleRun(&c, 12);
  EXPECT_EQ(seen.back(), 4) << "doubling stops at the first value at or above the maximum";
}

}  // namespace
