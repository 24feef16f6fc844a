// Row output: the batch output file's exact lines, the record-to-DCH road (filters, the hand
// over to the DCH client), the I/O buffer pool, and internal routing from a `~` table into two
// input tables. Summaries over simulated time (the injected clock): interval fitting and its
// end at the end of the hour, readiness, sorted output rows with occurrences, totals and their
// clamps, the daily interval over midnight, interval names, batch mode's missing intervals, and
// tables of unusual shapes. The summary rows are read from the batch output file they are
// written to.
#include <vector>

#include "tests/records/records_test_util.h"
#include "tests/support/dchpeer.h"

namespace {

using dch_test::Lines;
using qdvp_test::ReadFile;
using qdvp_test::SourceDir;
using records_test::Attr;

using Output = records_test::ClockedRecordsTest;

TEST_F(Output, BatchFileLinesAreExact) {
  ApplEntry *appl = Load(
      "//APPL Batch\n//NAME Rows E ADDTIMESTAMP\n//ATTRIBUTES ','\nHost D 8\nCount C\n"
      "Level G 100\nNote D 12\n-Hidden D 4\nSkip K 2\nPort C 30000\n");
  ASSERT_NE(appl, nullptr) << out_;
  const std::string file = dir_.File("batch.out");
  appl->pBatchFileName = QDV0_StrDup(file.c_str());
  SourceEntry *s = appl->pTableList->pSourceList;
  for (const char *record : {"h1,5,-3,hello,x,sk,80", "h2,,7,,,,", "h3,1,2,a,b,c,d,e"}) {
    Parse(s, record);
    EXPECT_EQ(QDVP_OutputBatchDataRecord(s), 1);
    QDV0_AdvanceClock(61);
  }
  // A 2-byte counter holding 0xFFFF is written unsigned; a 2-byte gauge as -1.
  Parse(s, "h4,1,1,n,,,1");
  memcpy(Attr(s, "Level")->Value, "\xff\xff", 2);
  memcpy(Attr(s, "Port")->Value, "\xff\xff", 2);
  EXPECT_EQ(QDVP_OutputBatchDataRecord(s), 1);
  EXPECT_EQ(appl->BatchRecordCount, 4);
  QDVP_CloseBatchOutputFile(appl);
  EXPECT_EQ(appl->pBatchFile, nullptr);
  EXPECT_EQ(ReadFile(file), ReadFile(SourceDir() + "/tests/records/golden/batch_rows.txt"));
}

// Plain rows are not written under QDVP_BATCH_SUMMARY_OUTPUT_ONLY, and nothing is written to a
// file that cannot be opened (tried again with the next row).
TEST_F(Output, BatchFileGetsNoPlainRowsUnderSummaryOnlyAndNothingWhenItCannotBeOpened) {
  for (bool summaryOnly : {true, false}) {
    SCOPED_TRACE(summaryOnly ? "summary only" : "cannot be opened");
    env_.Set("QDVP_BATCH_SUMMARY_OUTPUT_ONLY", summaryOnly ? "Y" : "N");
    QDVP_ResetBatchSettings();
    ApplEntry *appl = Load("//APPL Batch\n//NAME Rows E\n//ATTRIBUTES ','\nHost D 8\n");
    ASSERT_NE(appl, nullptr);
    const std::string file = dir_.File(summaryOnly ? "only.out" : "no/such/dir/x.out");
    appl->pBatchFileName = QDV0_StrDup(file.c_str());
    SourceEntry *s = appl->pTableList->pSourceList;
    Parse(s, "h1");
    EXPECT_EQ(QDVP_OutputBatchDataRecord(s), 0);
    EXPECT_EQ(QDVP_OutputBatchDataRecord(s), 0);
    EXPECT_EQ(appl->pBatchFile == nullptr, !summaryOnly);
    QDVP_CloseBatchOutputFile(appl);
    EXPECT_EQ(ReadFile(file), "");
    QDVP_DeleteExistingApplication(anchor_, appl);
  }
}

TEST_F(Output, MoveDataToDCHDropsFilteredRowsAndQueuesTheOthers) {
  ApplEntry *appl = Load(
      "//APPL Dch\n//NAME Rows E\n//ATTRIBUTES ','\nHost D 8\nLvl G 100 -FILTER={NUMBER<(0,3)}\n");
  ASSERT_NE(appl, nullptr) << out_;
  SourceEntry *s = appl->pTableList->pSourceList;
  EXPECT_EQ(QDVP_MoveDataToDCH(anchor_, nullptr, nullptr, 0), 0);
  QDVP_UpdateSourceEntryState(s, QDVP_Input);
  char dropped[] = "h1,2";
  EXPECT_EQ(QDVP_MoveDataToDCH(anchor_, s, dropped, 4), 0);
  EXPECT_EQ(s->State, QDVP_Input);
  char nothing[] = "h1";  // the delimiter is missing: nothing loaded
  EXPECT_EQ(QDVP_MoveDataToDCH(anchor_, s, nothing, 2), 0);
  EXPECT_EQ(s->State, QDVP_Input);
  char passed[] = "h1,5";
  int sent = QDVP_MoveDataToDCH(anchor_, s, passed, 4);
  // Handed to the DCH client: back in Input when the agent took the row, else still Output.
  EXPECT_EQ(s->State, sent ? QDVP_Input : QDVP_Output);
}

TEST_F(Output, FreeBufferPoolHandsOutClearedBuffers) {
  ApplEntry *appl = Load("//APPL Pool\n//NAME Rows E\n//ATTRIBUTES ','\nHost D 8\nN C\n");
  ASSERT_NE(appl, nullptr);
  SourceEntry *s = appl->pTableList->pSourceList;
  IOEntry *ioe = s->pIOE;
  ASSERT_NE(ioe, nullptr);
  IObuffer *first = QDVP_GetNextFreeBuffer(ioe);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->State, QDVP_Allocated);
  IObuffer *second = QDVP_GetNextFreeBuffer(ioe);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  strcpy(first->Data, "h1,7");
  first->DataLength = 4;
  first->State = QDVP_ValidData;
  EXPECT_EQ(QDVP_MoveDataFromBufferToAttr(anchor_, ioe, first), 1);
  EXPECT_EQ(first->State, QDVP_NotInUse);
  EXPECT_EQ(records_test::Row(s), "Host=h1|N=7");
  EXPECT_EQ(QDVP_GetNextFreeBuffer(ioe), first);
  EXPECT_EQ(first->Data[0], '\0');
  // A buffer in another state is reset and passes nothing.
  second->DataLength = 3;
  EXPECT_EQ(QDVP_MoveDataFromBufferToAttr(anchor_, ioe, second), 0);
  EXPECT_EQ(second->State, QDVP_NotInUse);
  EXPECT_EQ(second->DataLength, 0u);
}

const char kRouting[] =
    "//APPL Routed\n"
    "//NAME ~Raw E\n//INTERNAL OUTPUT feed\n//ATTRIBUTES ','\nLine Z 64\n"
    "//NAME First E\n//INTERNAL INPUT feed\n//ATTRIBUTES ','\nHost D 8\nCount C\n"
    "//NAME Second E\n//INTERNAL INPUT feed\n//ATTRIBUTES ','\nWho D 8\n-Rest Z 40\n";

TEST_F(Output, RoutingCreatesOneInternalSourcePerInputTable) {
  ApplEntry *appl = Load(kRouting);
  ASSERT_NE(appl, nullptr) << out_;
  TableEntry *raw = appl->pTableList;
  ASSERT_NE(raw->pIRB, nullptr);
  EXPECT_EQ(raw->pIRB->InputCount, 2);
  SourceEntry *producer = raw->pSourceList;
  qdvp_test::TraceCapture trace;
  std::string record = "h1,42";
  EXPECT_EQ(Parse(producer, record), 1);
  EXPECT_EQ(std::string(Attr(producer, "Line")->Value), "h1,42");
  QDVP_DispatchInternalOutput(anchor_, producer, raw->pIRB, record.c_str(),
                              static_cast<int>(record.size()));
  for (TableEntry *t = raw->pIRB->pInputList; t != nullptr; t = t->pNextInput) {
    int internal = 0;
    for (SourceEntry *s = t->pSourceList; s != nullptr; s = s->pNext) {
      if (s->pProducer != producer) continue;
      internal++;
      EXPECT_EQ(s->Kind, 'B');
      EXPECT_NE(s->pAttrList, nullptr);
    }
    EXPECT_EQ(internal, 1) << t->TableName;
  }
  EXPECT_EQ(raw->pIRB->RouteCount, 0);
  EXPECT_EQ(raw->pIRB->DataLength, 5);
  // A record of the same length gets a new buffer; a shorter one reuses it, and the internal
  // sources too.
  QDVP_DispatchInternalOutput(anchor_, producer, raw->pIRB, "h2,43", 5);
  char *buffer = raw->pIRB->pBuffer;
  ASSERT_NE(buffer, nullptr);
  QDVP_DispatchInternalOutput(anchor_, producer, raw->pIRB, "h2,1", 4);
  EXPECT_EQ(raw->pIRB->pBuffer, buffer);
  int sources = 0;
  for (SourceEntry *s = raw->pIRB->pInputList->pSourceList; s != nullptr; s = s->pNext) sources++;
  EXPECT_EQ(sources, 2);  // the table's own and one internal
  QDVP_CheckRedirectSourceOffline(anchor_, producer, raw->pIRB);
  EXPECT_TRUE(trace.Contains("Do redirect output table receivers offline"));
}

TEST_F(Output, BatchSummaryInputTablesStayOfflineUnlessAsked) {
  const char metafile[] =
      "//APPL Routed\n"
      "//NAME ~Raw E\n//INTERNAL OUTPUT feed\n//ATTRIBUTES ','\nLine Z 64\n"
      "//NAME Sums S 300\n//SUMMARY 300 BATCH\n//INTERNAL INPUT feed\n//ATTRIBUTES ','\n"
      "Host D 8 SKEY=1\nCount C SKEY=SUM\n";
  for (const char *bypass : {"Y", "N"}) {
    SCOPED_TRACE(bypass);
    env_.Set("QDVP_BYPASS_BATCH_GROUP", bypass);
    QDVP_ResetRoutingSettings();
    ApplEntry *appl = Load(metafile);
    ASSERT_NE(appl, nullptr) << out_;
    TableEntry *raw = appl->pTableList;
    qdvp_test::TraceCapture trace;
    QDVP_DispatchInternalOutput(anchor_, raw->pSourceList, raw->pIRB, "h1,5", 4);
    bool bypassed = trace.Contains("bypassed due to Bypass Batch Processing requested");
    EXPECT_EQ(bypassed, bypass[0] == 'Y');
    // Without the bypass the routed source is brought online, which the stand-alone agent
    // link accepts.
    EXPECT_FALSE(trace.Contains("*** dp_online failed for Table <Sums>"));
    QDVP_DeleteExistingApplication(anchor_, appl);
  }
  QDVP_ResetRoutingSettings();
}

class Summary : public records_test::ClockedRecordsTest {
 protected:
  SourceEntry *Table(const std::string &summary, const std::string &attributes) {
    ApplEntry *appl =
        Load("//APPL Sum\n//NAME Cpu S 300\n" + summary + "\n//ATTRIBUTES ','\n" + attributes);
    if (appl == nullptr) return nullptr;
    file_ = dir_.File("summary.out");
    appl->pBatchFileName = QDV0_StrDup(file_.c_str());
    return appl->pTableList->pSourceList;
  }
  // Parses and adds a record the way a source does; returns the readiness afterwards.
  int Add(SourceEntry *s, const std::string &record) {
    Parse(s, record);
    EXPECT_EQ(QDVP_CheckAttributesPassFilters(s), 1);
    QDVP_UpdateSummaryDataArray(s);
    return QDVP_CheckDataSummaryReady(s);
  }
  std::vector<std::string> Rows(SourceEntry *s) {
    QDVP_CloseBatchOutputFile(s->pTable->pAppl);
    return Lines(file_);
  }
  // Ends the batch and returns the summary rows written.
  std::vector<std::string> EndBatch(SourceEntry *s) {
    s->EndBatchSummary = 1;
    EXPECT_EQ(QDVP_PerformDataSummaryOutput(s, nullptr), 1);
    return Rows(s);
  }
  std::string file_;
};

const char kKeyed[] =
    "Host D 8 SKEY=1\nCpu G 100 SKEY=SUM\nBig C SKEY=SUM\nSmall G 30000 SKEY=SUM\n";

TEST_F(Summary, RowsPerKeyWithOccurrencesTotalsAndClamps) {
  SourceEntry *s = Table("//SUMMARY 300", kKeyed);
  ASSERT_NE(s, nullptr) << out_;
  ASSERT_NE(s->pSMB, nullptr);
  Parse(s, ",5,1,1");  // a row without a key value is left out
  EXPECT_EQ(QDVP_UpdateSummaryDataArray(s), 0);
  EXPECT_EQ(s->pSMB->SlotsUsed, 0);
  EXPECT_EQ(Add(s, "h2,5,1,1"), 0);
  // The interval begun at 10:58:00 ends with the hour, not at 11:03:00.
  EXPECT_EQ(s->pSMB->IntervalEndTime, 10 * 3600 + 3599);
  QDV0_AdvanceClock(30);
  EXPECT_EQ(Add(s, "h1,10,2000000000,20000"), 0);
  QDV0_AdvanceClock(60);
  EXPECT_EQ(Add(s, "h1,20,1000000000,20000"), 0);
  QDV0_AdvanceClock(30);  // 11:00:00: the next interval
  EXPECT_EQ(Add(s, "h3,1,1,1"), 1);
  EXPECT_EQ(QDVP_PerformDataSummaryOutput(s, nullptr), 1);
  EXPECT_EQ(s->pSMB->SlotsUsed, 1);  // the row of the next interval
  EXPECT_EQ(s->pSMB->IntervalEndTime, 11 * 3600 + 300);
  EXPECT_EQ(Rows(s), Lines(SourceDir() + "/tests/records/golden/summary_rows.txt"));
}

TEST_F(Summary, NotReadyBeforeTheIntervalEnds) {
  SourceEntry *s = Table("//SUMMARY 300", kKeyed);
  ASSERT_NE(s, nullptr) << out_;
  QDV0_AdvanceClock(-28 * 60);  // 10:30:00
  EXPECT_EQ(Add(s, "h1,1,1,1"), 0);
  QDV0_AdvanceClock(300);  // 10:35:00 is still inside
  EXPECT_EQ(Add(s, "h1,1,1,1"), 0);
  QDV0_AdvanceClock(1);
  EXPECT_EQ(Add(s, "h1,1,1,1"), 1);
}

TEST_F(Summary, DailyIntervalEndsAtMidnight) {
  SourceEntry *s = Table("//SUMMARY 86400", kKeyed);
  ASSERT_NE(s, nullptr) << out_;
  EXPECT_EQ(Add(s, "h1,5,1,1"), 0);
  EXPECT_EQ(s->pSMB->IntervalEndTime, 86399);
  QDV0_AdvanceClock(13 * 3600 + 2 * 60);  // 2026-12-06 00:00:00
  EXPECT_EQ(Add(s, "h1,5,1,1"), 1);
  EXPECT_EQ(QDVP_PerformDataSummaryOutput(s, nullptr), 1);
  std::vector<std::string> rows = Rows(s);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0],
            "1261205100000000,Sum,Cpu,h1,86400,5,1,1261205100000000,12/05/26 10:00:00,"
            "Saturday,5,1,1,");
}

TEST_F(Summary, BatchModeSendsTheMissingIntervalsOfTheDay) {
  SourceEntry *s = Table("//SUMMARY 3600 BATCH", "Cpu G 100 SKEY=SUM\n");
  ASSERT_NE(s, nullptr) << out_;
  EXPECT_EQ(s->pSMB->Batch, 1);
  Add(s, "10");
  Add(s, "20");
  s->EndBatchSummary = 1;
  EXPECT_EQ(QDVP_CheckDataSummaryReady(s), 1);
  EXPECT_EQ(QDVP_PerformDataSummaryOutput(s, nullptr), 1);
  EXPECT_EQ(s->EndBatchSummary, 0);
  EXPECT_EQ(s->pSMB->SlotsUsed, 0);
  EXPECT_EQ(s->pSMB->pArray, nullptr);
  std::vector<std::string> rows = Rows(s);
  ASSERT_EQ(rows.size(), 23u);  // the hour with data, then hours 1..23 but 10
  EXPECT_EQ(rows[0],
            "1261205105800000,Sum,Cpu,3600,10,2,1261205105800000,12/05/26 10:58:00,10 AM,30,");
  EXPECT_EQ(rows[1],
            "1261205010000000,Sum,Cpu,3600,1,0,1261205010000000,12/05/26 01:00:00,1 AM,0,");
  EXPECT_EQ(rows[22],
            "1261205230000000,Sum,Cpu,3600,23,0,1261205230000000,12/05/26 23:00:00,11 PM,0,");
}

TEST_F(Summary, LeapFebruaryHas29DailyIntervals) {
  SourceEntry *s = Table("//SUMMARY 86400 BATCH", "Cpu G 100 SKEY=SUM\n");
  ASSERT_NE(s, nullptr) << out_;
  SMBlock *b = s->pSMB;
  memcpy(b->BeginStamp, "1240201000000000", 17);
  QDVP_GenerateMissingSummaryIntervalOutput(s, b, nullptr);
  EXPECT_EQ(Rows(s).size(), 29u);
}

// Tables shaped in unusual ways keep their summaries inside their storage: an attribute named
// LocalTimeStamp too short to hold a stamp is not taken for the row's time stamp (its 16 digits
// were read past its value), and a table may sum more attributes than it sends (the totals of
// the 65th and later were written past the summary block).
TEST_F(Summary, ShortLocalTimeStampIsNotTheStamp) {
  SourceEntry *s =
      Table("//SUMMARY 3600", "Host D 8 KEY SKEY=1\nLocalTimeStamp D 4\nCpu G 100 SKEY=SUM\n");
  ASSERT_NE(s, nullptr) << out_;
  ASSERT_NE(s->pSMB, nullptr);
  Add(s, "h1,abcd,10");
  Add(s, "h1,efgh,20");
  // The row's time and interval name come from the stamp the summary adds (10:58 on the 5th);
  // the short attribute is a value of the row like any other.
  std::vector<std::string> rows = EndBatch(s);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0],
            "1261205105800000,Sum,Cpu,h1,3600,10,2,1261205105800000,12/05/26 10:58:00,10 AM,"
            "efgh,30,");
}

TEST_F(Summary, MoreSummedAttributesThanTheTableSends) {
  // One sent total and 99 input-only ones: every total is kept, each in its own place.
  std::string attributes = "Host D 8 KEY SKEY=1\nCpu G 100 SKEY=SUM\n";
  std::string first = "h1,1", second = "h1,2";
  for (int i = 0; i < 99; i++) {
    attributes += "-V" + std::to_string(i) + " G 100000 SKEY=SUM\n";
    first += "," + std::to_string(i);
    second += "," + std::to_string(1000 + i);
  }
  SourceEntry *s = Table("//SUMMARY 3600", attributes);
  ASSERT_NE(s, nullptr) << out_;
  ASSERT_NE(s->pSMB, nullptr);
  Add(s, first);
  Add(s, second);
  std::vector<std::string> rows = EndBatch(s);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_NE(rows[0].find(",2,"), std::string::npos) << rows[0];  // two occurrences
  EXPECT_EQ(rows[0].substr(rows[0].size() - 3), ",3,") << rows[0];  // Cpu 1 + 2
}

TEST(SummaryNames, IntervalUnitNames) {
  struct {
    int interval;
    const char *stamp, *name;
  } cases[] = {
      {3600, "1261205000000000", "0 AM"},      {3600, "1261205120000000", "12 PM"},
      {3600, "1261205150000000", "3 PM"},      {900, "1261205150000000", "15 Minute(s)"},
      {86400, "1261205150000000", "Saturday"}, {30, "1261205150000000", "30 Seconds"},
      {7200, "1261205150000000", "    "},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.interval);
    SMBlock block{};
    block.Interval = c.interval;
    alignas(AttrEntry) char stampSpace[sizeof(AttrEntry) + 32] = {};
    alignas(AttrEntry) char nameSpace[sizeof(AttrEntry) + 32] = {};
    auto *stamp = reinterpret_cast<AttrEntry *>(stampSpace);
    auto *name = reinterpret_cast<AttrEntry *>(nameSpace);
    stamp->MaxValSize = 16;
    memcpy(stamp->Value, c.stamp, 16);
    stamp->ActualValSize = 16;
    name->MaxValSize = 4;
    if (c.interval != 7200) name->MaxValSize = 24;
    QDVP_LoadIntervalNameToAttr(&block, name, stamp);
    EXPECT_EQ(std::string(name->Value, static_cast<size_t>(name->ActualValSize)), c.name);
  }
}

}  // namespace
