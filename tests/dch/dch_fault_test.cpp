// Fault rules of the agent peer: parsing of the option values and the order in which counted
// rules are used up.
#include <gtest/gtest.h>

#include "tools/dch/dchfault.h"

using namespace qdvp_dch;

namespace {

// A decision as text: the status, then "-" when no reply goes out, "+delay" and "*" when a
// rule was used up.
std::string Text(const DchFaultDecision &d) {
  return std::to_string(d.status) + (d.reply ? "" : "-") +
         (d.delayMs ? "+" + std::to_string(d.delayMs) : "") + (d.injected ? "*" : "");
}

TEST(dch_FaultRules, RulesAreUsedUpInOrder) {
  struct {
    const char *fail, *fail2, *noReply, *delay;
    std::vector<std::pair<DchKind, std::string>> decisions;
  } const cases[] = {
      {"online:7",
       "online:4:2",
       nullptr,
       nullptr,
       {{kKindOnline, "7*"},
        {kKindData, "0"},
        {kKindOnline, "4*"},
        {kKindOnline, "4*"},
        {kKindOnline, "0"}}},
      // no-reply comes before fail, and all means every one
      {"data:-9:all",
       nullptr,
       "data",
       nullptr,
       {{kKindData, "0-*"}, {kKindData, "-9*"}, {kKindData, "-9*"}, {kKindData, "-9*"}}},
      {nullptr,
       nullptr,
       nullptr,
       "wait:250",
       {{kKindWait, "0+250"}, {kKindWait, "0+250"}, {kKindRegister, "0"}}},
  };
  for (const auto &c : cases) {
    DchFaultPlan plan;
    std::string error;
    ASSERT_TRUE(!c.noReply || plan.AddNoReply(c.noReply, &error)) << error;
    for (const char *fail : {c.fail, c.fail2}) ASSERT_TRUE(!fail || plan.AddFail(fail, &error));
    ASSERT_TRUE(!c.delay || plan.AddDelay(c.delay, &error)) << error;
    for (const auto &[kind, expected] : c.decisions) EXPECT_EQ(Text(plan.Next(kind)), expected);
  }
}

TEST(dch_FaultRules, MalformedValuesAreRefused) {
  DchFaultPlan plan;
  std::string error;
  for (const char *bad :
       {"", "online", "bogus:7", "online:x", "online:7:0", "online:7:1:2", "data:99999999999"}) {
    EXPECT_FALSE(plan.AddFail(bad, &error)) << bad;
  }
  EXPECT_FALSE(plan.AddDelay("data", &error));
  EXPECT_FALSE(plan.AddDelay("data:-1", &error));
  EXPECT_FALSE(plan.AddNoReply("data:0", &error));
  EXPECT_FALSE(plan.AddNoReply("nothing", &error));
}

}  // namespace
