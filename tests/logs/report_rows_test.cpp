// The data provider's own reports go on after a row the agent did not take: the ACTION table
// (one row per action outcome) and the MIB status table (one row per running collection)
// store their next rows whether the first was refused or never answered, one row at a time or
// on a window. Against a real qdvp-dch whose fault rules take the first row.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/support/qdv0.h"
#include "include/qdvp_actions.h"
#include "include/qdvp_core.h"
#include "include/qdvp_dplog.h"
#include "include/qdvp_model.h"
#include "include/qdvp_request.h"
#include "include/qdvp_services.h"
#include "tests/support/peerlink.h"
#include "tests/support/qdvptest.h"

namespace {

struct FirstRowCase {
  const char *name;
  std::vector<std::string> peer;  // qdvp-dch's options
  bool firstStored;               // an unanswered row is stored all the same
};

class ReportRows : public qdvp_test::PeerLinkTest,
                   public testing::WithParamInterface<FirstRowCase> {
 protected:
  void SetUp() override { StartPeerLink(GetParam().peer); }
  // The first row's number among the expected, then the next ones'.
  std::string Expected(const std::string &first, const std::string &next) const {
    return GetParam().firstStored ? first + "," + next : next;
  }
};

TEST_P(ReportRows, AnActionRowNotTakenLeavesTheNextActionsRowsStored) {
  QDVP_DefineDPlogReport(anchor_);
  ASSERT_NE(anchor_->pActionSource.load(), nullptr);
  ProcessEntry *worker = QDVP_InitializeProcessEntry(anchor_);
  ASSERT_NE(worker, nullptr);
  for (uint32_t id = 1; id <= 3; id++) {
    auto *entry = QDV0_New<ActionEntry>();
    entry->ID = id;
    QDVP_RecordActionOutcome(anchor_, worker, entry);
    QDV0_Free(entry);
  }
  ExpectDb(
      "SELECT group_concat(id, ',') FROM (SELECT json_extract(attrs,'$.Action_ID') AS id FROM "
      "rows WHERE attribute_group='ACTION' ORDER BY id)",
      Expected("1", "2,3"));
  // The row that was not taken is counted on its source (and told to the operator).
  EXPECT_TRUE(
      qdvp_test::WaitFor([&] { return anchor_->pActionSource.load()->RowsNotTaken.load() == 1u; }));
  QDVP_WaitForDCHrequestRelease(anchor_, worker, anchor_->pActionSource.load());
  QDVP_FreeProcessEntry(worker);
}

TEST_P(ReportRows, AMIBstatusRowNotTakenLeavesTheNextCollectionsRowsStored) {
  QDVP_DefineNoDataReport(anchor_);
  for (const char *table : {"T1", "T2", "T3"}) {
    const char *values[5] = {"Mib", table, "host", "60", "t"};
    QDVP_OutputMIBstatusToDCH(anchor_, values);
  }
  ExpectDb(
      "SELECT group_concat(t, ',') FROM (SELECT json_extract(attrs,'$.Attribute_Group') AS t FROM "
      "rows WHERE attribute_group='MIBSTATUS' ORDER BY id)",
      Expected("T1", "T2,T3"));
  QDVP_ForgetNoDataReport(anchor_);
}

INSTANTIATE_TEST_SUITE_P(
    FirstRow, ReportRows,
    testing::Values(FirstRowCase{"RefusedNoWindow", {"--no-window", "--fail", "data:9:1"}, false},
                    FirstRowCase{
                        "UnansweredNoWindow", {"--no-window", "--no-reply", "data:1"}, true},
                    FirstRowCase{"RefusedWindow", {"--fail", "data:9:1"}, false}),
    [](const testing::TestParamInfo<FirstRowCase> &info) { return info.param.name; });

}  // namespace
