// Summaries of tables the metafile author shapes in unusual ways stay inside their storage: an
// attribute named LocalTimeStamp too short to hold a stamp is not taken for the row's time
// stamp (its 16 digits were read past its value), and a table may sum more attributes than it
// sends (the totals of the 65th and later were written past the summary block).
#include <vector>

#include "tests/records/records_test_util.h"
#include "tests/support/dchpeer.h"

namespace {

class SummaryBounds : public records_test::ClockedRecordsTest {
 protected:
  // Loads the table, adds the records, ends the batch and returns the summary rows written.
  std::vector<std::string> Summarize(const std::string &attributes,
                                     const std::vector<std::string> &records) {
    ApplEntry *appl = Load("//APPL Sum\n//NAME Cpu S 300\n//SUMMARY 3600\n//ATTRIBUTES ','\n" +
                           attributes);
    if (appl == nullptr || appl->pTableList->pSourceList->pSMB == nullptr) return {"no table"};
    std::string file = dir_.File("summary.out");
    appl->pBatchFileName = QDV0_StrDup(file.c_str());
    SourceEntry *s = appl->pTableList->pSourceList;
    for (const std::string &record : records) {
      Parse(s, record);
      QDVP_UpdateSummaryDataArray(s);
    }
    s->EndBatchSummary = 1;
    EXPECT_EQ(QDVP_PerformDataSummaryOutput(s, nullptr), 1);
    QDVP_CloseBatchOutputFile(appl);
    return dch_test::Lines(file);
  }
};

TEST_F(SummaryBounds, ShortLocalTimeStampIsNotTheStamp) {
  // The row's time and interval name come from the stamp the summary adds (10:58 on the 5th);
  // the short attribute is a value of the row like any other.
  std::vector<std::string> rows =
      Summarize("Host D 8 KEY SKEY=1\nLocalTimeStamp D 4\nCpu G 100 SKEY=SUM\n",
                {"h1,abcd,10", "h1,efgh,20"});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0],
            "1261205105800000,Sum,Cpu,h1,3600,10,2,1261205105800000,12/05/26 10:58:00,10 AM,"
            "efgh,30,");
}

TEST_F(SummaryBounds, MoreSummedAttributesThanTheTableSends) {
  // One sent total and 99 input-only ones: every total is kept, each in its own place.
  std::string attributes = "Host D 8 KEY SKEY=1\nCpu G 100 SKEY=SUM\n";
  std::string first = "h1,1", second = "h1,2";
  for (int i = 0; i < 99; i++) {
    attributes += "-V" + std::to_string(i) + " G 100000 SKEY=SUM\n";
    first += "," + std::to_string(i);
    second += "," + std::to_string(1000 + i);
  }
  std::vector<std::string> rows = Summarize(attributes, {first, second});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_NE(rows[0].find(",2,"), std::string::npos) << rows[0];  // two occurrences
  EXPECT_EQ(rows[0].substr(rows[0].size() - 3), ",3,") << rows[0];  // Cpu 1 + 2
}

}  // namespace
