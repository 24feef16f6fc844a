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
#include "tests/support/peerlink.h"
#include "tests/support/qdvptest.h"

namespace {

using dch_test::QueryOne;
using qdvp_test::WaitFor;

const char kRouted[] =
    "//APPL Routed\n"
    "//NAME ~Raw E\n//INTERNAL OUTPUT feed\n//ATTRIBUTES ','\nLine Z 64\n"
    "//NAME First E\n//INTERNAL INPUT feed\n//ATTRIBUTES ','\nHost D 8\nCount C 1000\n"
    "//NAME Second E\n//INTERNAL INPUT feed\n//ATTRIBUTES ','\nHost D 8\nCount C 1000\n";

class RoutedToPeer : public qdvp_test::PeerLinkTest {
 protected:
  void TearDown() override {
    PeerLinkTest::TearDown();
    QDVP_ResetRoutingSettings();
  }
};

TEST_F(RoutedToPeer, RecordOfATildeTableBecomesRowsOfBothInputTablesAtThePeer) {
  env_.Set("QDVP_BYPASS_BATCH_GROUP", std::nullopt);
  QDVP_ResetRoutingSettings();
  StartPeerLink();
  ApplEntry *appl = LoadMetafile("routed.mdl", kRouted);
  ASSERT_NE(appl, nullptr) << out_;
  TableEntry *raw = appl->pTableList;
  ASSERT_NE(raw->pIRB, nullptr);

  for (const char *record : {"web01,5", "db02,7"}) {
    QDVP_DispatchInternalOutput(anchor_, raw->pSourceList, raw->pIRB, record,
                                static_cast<int>(strlen(record)));
  }
  std::string first, second;
  EXPECT_TRUE(WaitFor([&] {
    first = QueryOne(peer_->Db(),
                     "SELECT group_concat(attrs, '|') FROM rows WHERE attribute_group = 'First'");
    second = QueryOne(peer_->Db(),
                      "SELECT group_concat(attrs, '|') FROM rows WHERE attribute_group = 'Second'");
    return first.find("db02") != std::string::npos && second.find("db02") != std::string::npos;
  })) << first << " / " << second << "\n" << peer_->Stderr();
  EXPECT_NE(first.find("\"Host\":\"web01\""), std::string::npos) << first;
  EXPECT_NE(first.find("\"Count\":7"), std::string::npos) << first;
  EXPECT_NE(second.find("\"Count\":5"), std::string::npos) << second;
  // The "~" table itself only feeds the routes: the agent never sees it.
  EXPECT_EQ(QueryOne(peer_->Db(), "SELECT count(*) FROM rows WHERE attribute_group LIKE '~%'"),
            "0");

}

}  // namespace
