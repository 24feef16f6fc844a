// Internal routing end to end: a record of a "~" table routed into two input tables, whose rows
// arrive at a running qdvp-dch through the agent link.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/support/qdv0.h"
#include "include/qdvp_core.h"
#include "include/qdvp_metafile.h"
#include "include/qdvp_model.h"
#include "include/qdvp_records.h"
#include "tests/support/dchpeer.h"
#include "tests/support/linkclient.h"
#include "tests/support/qdvptest.h"

namespace {

using dch_test::Peer;
using dch_test::QueryOne;
using qdvp_test::EnvGuard;
using qdvp_test::TempDir;
using qdvp_test::WaitFor;

const char kRouted[] =
    "//APPL Routed\n"
    "//NAME ~Raw E\n//INTERNAL OUTPUT feed\n//ATTRIBUTES ','\nLine Z 64\n"
    "//NAME First E\n//INTERNAL INPUT feed\n//ATTRIBUTES ','\nHost D 8\nCount C 1000\n"
    "//NAME Second E\n//INTERNAL INPUT feed\n//ATTRIBUTES ','\nHost D 8\nCount C 1000\n";

TEST(RoutedToPeer, RecordOfATildeTableBecomesRowsOfBothInputTablesAtThePeer) {
  Peer peer({"--commit-ms", "0"});
  ASSERT_TRUE(peer.Ready()) << peer.Stderr();
  TempDir dir;
  EnvGuard env;
  env.Set("QDVA_DCH_PORT", std::to_string(peer.port()));
  env.Set("QDVP_DCH_HOST", "127.0.0.1");
  env.Set("QDVP_DCH_REPLY_WAIT", "2");
  env.Set("QDVP_META_PATH", dir.path());
  env.Set("QDVP_PRODUCT_SPEC", std::nullopt);
  env.Set("QDVP_BYPASS_BATCH_GROUP", std::nullopt);
  QDVP_ResetRoutingSettings();
  DPAB *anchor = QDVP_StartupInitialization();
  ASSERT_NE(anchor, nullptr);
  auto link = std::make_unique<qdvp_test::LinkClient>(anchor);
  ASSERT_TRUE(link->Started());

  dir.Write("routed.mdl", kRouted);
  testing::internal::CaptureStdout();
  ApplEntry *appl = QDVP_ConstructApplDataModel(anchor, "routed.mdl", 0, nullptr, nullptr, 0, 0);
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_NE(appl, nullptr) << out;
  TableEntry *raw = appl->pTableList;
  ASSERT_NE(raw->pIRB, nullptr);

  for (const char *record : {"web01,5", "db02,7"}) {
    QDVP_DispatchInternalOutput(anchor, raw->pSourceList, raw->pIRB, record,
                                static_cast<int>(strlen(record)));
  }
  std::string first, second;
  EXPECT_TRUE(WaitFor([&] {
    first = QueryOne(peer.Db(),
                     "SELECT group_concat(attrs, '|') FROM rows WHERE attribute_group = 'First'");
    second = QueryOne(peer.Db(),
                      "SELECT group_concat(attrs, '|') FROM rows WHERE attribute_group = 'Second'");
    return first.find("db02") != std::string::npos && second.find("db02") != std::string::npos;
  })) << first << " / " << second << "\n" << peer.Stderr();
  EXPECT_NE(first.find("\"Host\":\"web01\""), std::string::npos) << first;
  EXPECT_NE(first.find("\"Count\":7"), std::string::npos) << first;
  EXPECT_NE(second.find("\"Count\":5"), std::string::npos) << second;
  // The "~" table itself only feeds the routes: the agent never sees it.
  EXPECT_EQ(QueryOne(peer.Db(), "SELECT count(*) FROM rows WHERE attribute_group LIKE '~%'"),
            "0");

  link.reset();
  QDVP_ShutdownCleanUp(anchor, 1);
  QDVP_ReleaseGlobalResources(anchor);
  QDVP_ResetRoutingSettings();
  peer.Stop();
}

}  // namespace
