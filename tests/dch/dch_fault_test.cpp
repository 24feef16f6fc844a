// Fault rules of the agent peer: parsing of the option values and the order in which counted
// rules are used up.
#include <gtest/gtest.h>

#include <sstream>

#include "tools/dch/dchfault.h"

using namespace qdvp_dch;

namespace {

// Rules as "option=value" words, and the decisions for requests of a kind as "kind:decision":
// the status, then "-" when no reply goes out, "+delay" and "*" when a rule was used up. Then
// values that are refused.
TEST(dch_FaultRules, RulesAreUsedUpInOrderAndMalformedValuesRefused) {
  const char *const cases[][2] = {
      {"fail=online:7 fail=online:4:2", "online:7* data:0 online:4* online:4* online:0"},
      // no-reply comes before fail, and all means every one
      {"no-reply=data fail=data:-9:all", "data:0-* data:-9* data:-9* data:-9*"},
      {"delay=wait:250", "wait:0+250 wait:0+250 register:0"},
      // AFTER lets that many requests of the kind pass first
      {"fail=data:2:1:2", "data:0 data:0 data:2* data:0"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c[0]);
    DchFaultPlan plan;
    std::string error, word;
    for (std::istringstream rules(c[0]); rules >> word;) {
      std::string option = word.substr(0, word.find('=')), value = word.substr(option.size() + 1);
      ASSERT_TRUE(option == "fail"    ? plan.AddFail(value, &error)
                  : option == "delay" ? plan.AddDelay(value, &error)
                                      : plan.AddNoReply(value, &error))
          << error;
    }
    for (std::istringstream requests(c[1]); requests >> word;) {
      std::string name = word.substr(0, word.find(':'));
      int kind = 0;
      while (kind < kKindCount && name != DchKindName(static_cast<DchKind>(kind))) kind++;
      DchFaultDecision d = plan.Next(static_cast<DchKind>(kind));
      EXPECT_EQ(name + ":" + std::to_string(d.status) + (d.reply ? "" : "-") +
                    (d.delayMs ? "+" + std::to_string(d.delayMs) : "") + (d.injected ? "*" : ""),
                word);
    }
  }
  DchFaultPlan plan;
  std::string error;
  for (const char *bad :
       {"", "online", "bogus:7", "online:x", "online:7:0", "online:7:1:x", "online:7:1:2:3", "data:99999999999"}) {
    EXPECT_FALSE(plan.AddFail(bad, &error)) << bad;
  }
  EXPECT_FALSE(plan.AddDelay("data", &error));
  EXPECT_FALSE(plan.AddDelay("data:-1", &error));
  EXPECT_FALSE(plan.AddNoReply("data:0", &error));
  EXPECT_FALSE(plan.AddNoReply("nothing", &error));
}

}  // namespace
