// Row output: the batch output file's exact lines, the record-to-DCH road (filters, the hand
// over to the DCH client), the I/O buffer pool, and internal routing from a `~` table into two
// input tables.
#include "tests/records/records_test_util.h"

namespace {

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

}  // namespace
