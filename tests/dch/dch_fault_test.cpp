// Fault rules of the agent peer: parsing of the option values and the order in which counted
// rules are used up.
#include <gtest/gtest.h>

#include "include/qdvp_agentlink.h"
#include "tools/dch/dchfault.h"

using namespace qdvp_dch;

namespace {

TEST(dch_FaultRules, FailIsUsedUpInOrderThenRequestsAreAccepted) {
  DchFaultPlan plan;
  std::string error;
  ASSERT_TRUE(plan.AddFail("online:7", &error)) << error;
  ASSERT_TRUE(plan.AddFail("online:4:2", &error)) << error;
  EXPECT_EQ(plan.Next(kKindOnline).status, 7);
  EXPECT_EQ(plan.Next(kKindData).status, 0);
  EXPECT_EQ(plan.Next(kKindOnline).status, 4);
  EXPECT_EQ(plan.Next(kKindOnline).status, 4);
  DchFaultDecision d = plan.Next(kKindOnline);
  EXPECT_EQ(d.status, 0);
  EXPECT_TRUE(d.reply);
  EXPECT_FALSE(d.injected);
}

TEST(dch_FaultRules, NoReplyComesBeforeFailAndAllMeansEvery) {
  DchFaultPlan plan;
  std::string error;
  ASSERT_TRUE(plan.AddNoReply("data", &error));
  ASSERT_TRUE(plan.AddFail("data:-9:all", &error));
  DchFaultDecision first = plan.Next(kKindData);
  EXPECT_FALSE(first.reply);
  for (int i = 0; i < 5; i++) EXPECT_EQ(plan.Next(kKindData).status, -9);
}

TEST(dch_FaultRules, DelayAppliesToEveryRequestOfItsKind) {
  DchFaultPlan plan;
  std::string error;
  ASSERT_TRUE(plan.AddDelay("wait:250", &error));
  EXPECT_EQ(plan.Next(kKindWait).delayMs, 250);
  EXPECT_EQ(plan.Next(kKindWait).delayMs, 250);
  EXPECT_EQ(plan.Next(kKindRegister).delayMs, 0);
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

TEST(dch_FaultRules, RequestCodesMapToKinds) {
  EXPECT_EQ(DchKindOfRequest(QDVP_REQ_DP_REGISTER), kKindRegister);
  EXPECT_EQ(DchKindOfRequest(QDVP_REQ_DP_ONLINE), kKindOnline);
  EXPECT_EQ(DchKindOfRequest(QDVP_REQ_DP_DATA), kKindData);
  EXPECT_EQ(DchKindOfRequest(QDVP_REQ_DP_OFFLINE), kKindOffline);
  EXPECT_EQ(DchKindOfRequest(QDVP_REQ_DP_UNREGISTER), kKindUnregister);
  EXPECT_EQ(DchKindOfRequest(QDVP_REQ_DP_WAIT_FOR_ACTION), kKindWait);
  EXPECT_EQ(DchKindOfRequest(QDVP_REQ_DP_ACTION_STATUS), kKindActionStatus);
  EXPECT_EQ(DchKindOfRequest(0x4444), kKindOther);
}

}  // namespace
