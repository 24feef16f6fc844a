// Row output: the batch output file's exact lines, the record-to-DCH road (filters, the hand
// over to the DCH client), the I/O buffer pool, and internal routing from a `~` table into two
// input tables. Summaries over simulated time (the injected clock): interval fitting and its
// end at the end of the hour, readiness, sorted output rows with occurrences, totals and their
// clamps, the daily interval over midnight, interval names, batch mode's missing intervals, and
// tables of unusual shapes. The summary rows are read from the batch output file they are
// written to. Parsing records into attributes: every layout (single delimiter with blank runs,
// begin/end pairs, per-attribute overrides, fixed widths, record type, last type, special
// attributes), every type conversion with its maxima and data warnings, numeric text cleaning,
// time digits, rates over several samples and keys, filters, bad input that is corrected,
// never overrun; and derived attributes: the five derive functions, named in any case
// (UTCTOGMT of 0 and of seconds of the wrong size, UTCTOLOCALTIME, NETWARETIMETOTEXT with and
// without a time, CORVIDTIMESTAMP, IPADDRESSTONAME with its cache).
#include <stdlib.h>
#include <time.h>

#include <vector>

#include "include/qdvp_dchcomm.h"
#include "tests/records/records_test_util.h"
#include "tests/support/dchpeer.h"

namespace {

using dch_test::Lines;
using qdvp_test::ReadFile;
using qdvp_test::SourceDir;
using records_test::Attr;
using records_test::IntValue;
using records_test::RecordsTest;
using records_test::Row;

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

// A row is one line of the batch output file whatever its values hold: line ends, control
// characters and backslashes in a text value are escaped, so no value can add a row.
TEST_F(Output, BatchFileRowIsOneLineWhateverItsValuesHold) {
  ApplEntry *appl = Load("//APPL Batch\n//NAME Rows E\n//ATTRIBUTES ','\nHost D 8\nNote D 40\n");
  ASSERT_NE(appl, nullptr) << out_;
  const std::string file = dir_.File("hostile.out");
  appl->pBatchFileName = QDV0_StrDup(file.c_str());
  SourceEntry *s = appl->pTableList->pSourceList;
  Parse(s, "h1,x");
  const std::string note = "a\n0000000000000000,Batch,Rows,forged,\r\x1b\\";
  AttrEntry *a = Attr(s, "Note");
  memcpy(a->Value, note.data(), note.size());
  a->ActualValSize = static_cast<int>(note.size());
  EXPECT_EQ(QDVP_OutputBatchDataRecord(s), 1);
  QDVP_CloseBatchOutputFile(appl);
  std::vector<std::string> lines = Lines(file);
  ASSERT_EQ(lines.size(), 1u) << ReadFile(file);
  EXPECT_EQ(lines[0].substr(16),
            ",Batch,Rows,h1,a\\n0000000000000000,Batch,Rows,forged,\\r\\x1B\\\\,");
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

// The free buffer pool hands out cleared buffers.
TEST_F(Output, MoveDataToDCHDropsFilteredRowsAndQueuesTheOthersFromClearedBuffers) {
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

  appl = Load("//APPL Pool\n//NAME Rows E\n//ATTRIBUTES ','\nHost D 8\nN C\n", "pool.mdl");
  ASSERT_NE(appl, nullptr) << out_;
  s = appl->pTableList->pSourceList;
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

TEST_F(Summary, RowsPerKeyWithOccurrencesTotalsAndClampsOnceTheIntervalEnds) {
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
  QDV0_AdvanceClock(300);  // 11:05:00 is still inside
  EXPECT_EQ(Add(s, "h3,1,1,1"), 0);
  QDV0_AdvanceClock(1);
  EXPECT_EQ(Add(s, "h3,1,1,1"), 1);
  EXPECT_EQ(Rows(s), Lines(SourceDir() + "/tests/records/golden/summary_rows.txt"));
}

// A request to the agent link that the client takes a while to answer (here: another task
// holds the source) is waited for in real time; the summary's clock does not move meanwhile.
// It moved by the whole 10-second bound of the wait, so that an interval that began then
// ended 10 seconds late on a busy machine.
TEST_F(Summary, AnAgentLinkRequestAnsweredLateLeavesTheClockWhereItWas) {
  SourceEntry *s = Table("//SUMMARY 300", kKeyed);
  ASSERT_NE(s, nullptr) << out_;
  const time_t before = QDV0_Time();
  OSV1_GetLock(&s->EntryLock);
  std::thread requester([&] { QDVP_QueueAndWaitDCHstatus(anchor_, link_->Requester(), s); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the slow task
  OSV1_ReleaseLock(&s->EntryLock);
  requester.join();
  EXPECT_EQ(s->Enqueued.load(), 0);
  EXPECT_EQ(QDV0_Time(), before);
}

TEST_F(Summary, DailyIntervalEndsAtMidnight) {
  SourceEntry *s = Table("//SUMMARY 86400", kKeyed);
  ASSERT_NE(s, nullptr) << out_;
  EXPECT_EQ(Add(s, "h1,5,1,1"), 0);
  EXPECT_EQ(s->pSMB->IntervalEndTime, 86399);
  QDV0_AdvanceClock(13 * 3600 + 2 * 60);  // 2026-12-06 00:00:00
  EXPECT_EQ(Add(s, "h1,5,1,1"), 1);
  EXPECT_EQ(QDVP_PerformDataSummaryOutput(s, nullptr), 1);
  EXPECT_EQ(Rows(s),
            (std::vector<std::string>{"1261205100000000,Sum,Cpu,h1,86400,5,1,1261205100000000,"
                                      "12/05/26 10:00:00,Saturday,5,1,1,"}));
}

TEST_F(Summary, BatchModeSendsTheMissingIntervalsOfTheDayAndOfALeapFebruary) {
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
  // A leap February has 29 daily intervals.
  QDVP_DeleteExistingApplication(anchor_, s->pTable->pAppl);
  s = Table("//SUMMARY 86400 BATCH", "Cpu G 100 SKEY=SUM\n");
  ASSERT_NE(s, nullptr) << out_;
  memcpy(s->pSMB->BeginStamp, "1240201000000000", 17);
  QDVP_GenerateMissingSummaryIntervalOutput(s, s->pSMB, nullptr);
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
  EXPECT_EQ(EndBatch(s),
            (std::vector<std::string>{"1261205105800000,Sum,Cpu,h1,3600,10,2,1261205105800000,"
                                      "12/05/26 10:58:00,10 AM,efgh,30,"}));
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
  EXPECT_NE(rows[0].find(",2,"), std::string::npos) << rows[0];     // two occurrences
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

struct ParseCase {
  const char *what;
  const char *attributes;  // from the //ATTRIBUTES statement on, ',' when it is left out
  std::string record;
  int loaded;
  std::string row;  // Row() after parsing
};

class Parsing : public RecordsTest {
 protected:
  SourceEntry *Table(const std::string &attributes) {
    std::string delimiter = attributes.rfind("//", 0) == 0 ? "" : "//ATTRIBUTES ','\n";
    ApplEntry *appl = Load("//APPL Parse\n//NAME T E\n" + delimiter + attributes);
    return appl ? appl->pTableList->pSourceList : nullptr;
  }
};

TEST_F(Parsing, LayoutsAndTypesGiveTheirRows) {
  const ParseCase cases[] = {
      {"empty field loads nothing", "A D 4\nB D 4\nC D 4\n", "a,,c", 2, "A=a|C=c"},
      {"blank runs are one delimiter", "//ATTRIBUTES ' '\nA D 4\nB D 4\n", "  a   b", 2, "A=a|B=b"},
      {"no delimiter, one attribute", "A D 8\n", "whole", 1, "A=whole"},
      {"no delimiter, two attributes", "A D 8\nB D 8\n", "whole", 0, ""},
      {"fields beyond the attributes", "A D 4\nB D 4\n", "a,b,c,d", 2, "A=a|B=b"},
      {"display cut to its size", "A D 3\nB D 4\n", "abcdef,x", 2, "A=abc|B=x"},
      {"left truncation keeps the right", "A DL 3\nB D 4\n", "abcdef,x", 2, "A=def|B=x"},
      {"counter, gauge, average", "C C\nG G 100\nA A\n", "7,-5,12", 3, "C=7|G=-5|A=12"},
      {"negative counter is no number", "C C\n", "-5", 1, "C=0"},
      {"short gauge clamped to its maximum", "G G 100\nX D 4\n", "-250,x", 2, "G=-100|X=x"},
      {"average is not negative", "A A 100\nX D 4\n", "-250,x", 2, "A=0|X=x"},
      {"long gauge clamped", "G G 100000\nX D 4\n", "123456,x", 2, "G=100000|X=x"},
      {"number beyond 32 bits", "G G\nX D 4\n", "99999999999999,x", 2, "G=2147483647|X=x"},
      {"switch outside 0..1", "S S\nT S\n", "2,1", 2, "S=0|T=1"},
      {"blank-led integer", "C C\nX D 4\n", "   42,x", 2, "C=42|X=x"},
      {"non-numeric integer", "C C\nX D 4\n", "abc,x", 2, "C=0|X=x"},
      {"field of blanks", "C C\nX D 4\n", "   ,x", 2, "C=0|X=x"},
      {"rate percent of a first zero sample", "P % 1000\nX D 4\n", "0,x", 2, "P=100|X=x"},
      {"time digits zero-filled", "T T\nX D 4\n", "1234,x", 2, "T=1234000000000000|X=x"},
      {"malformed time is zeros", "T T\nX D 4\n", "12a,x", 2, "T=0000000000000000|X=x"},
      {"numeric text cleaned", "//ATTRIBUTES ';'\nN N 16\nX D 4\n", "abc 1,234.5 kB;x", 2,
       "N=1,234.5|X=x"},
      {"numeric text without a number", "//ATTRIBUTES ';'\nN N 8\nX D 4\n", "abc;x", 2,
       "N=abc|X=x"},
      {"skip type loads nothing", "A D 4\nS K 4\nB D 4\n", "a,s,b", 3, "A=a|B=b"},
      {"begin/end pairs", "//ATTRIBUTES '[]'\nA D 8\nB D 8\n", "x[one] y [two]z", 2, "A=one|B=two"},
      {"begin/end pair never closed", "//ATTRIBUTES '[]'\nA D 8\nB D 8\n", "[one][tw", 2,
       "A=one|B=tw"},
      {"begin character missing", "//ATTRIBUTES '[]'\nA D 8\nB D 8\n", "[one] two", 1, "A=one"},
      {"per-attribute override", "//ATTRIBUTES ' '\nHost D 8\nWhen D 12 DLM='[]'\nReq D 8\n",
       "h1 [05/Dec/2026] GET", 3, "Host=h1|When=05/Dec/2026|Req=GET"},
      {"single-character override", "A D 4 \nB D 4 DLM=';'\nC D 4\n", "a,b;c", 3, "A=a|B=b|C=c"},
      {"last type takes the rest", "A D 4\nMsg Z 40\n", "a,b,c d,e", 2, "A=a|Msg=b,c d,e"},
      {"record type takes all", "All R 40\n", "a,b,c", 1, "All=a,b,c"},
      {"fixed widths", "//ATTRIBUTES NONE\nA D 3\nB D 2\nC D 4\n", "abcdeXY", 3, "A=abc|B=de|C=XY"},
      {"concatenation while parsing", "First D 4\nLast D 4\nFull (First + Last)\n", "ab,cd", 2,
       "First=ab|Last=cd|Full=abcd"},
      {"record longer than every value is cut", "A D 8\nB Z 16\n",
       std::string(10, 'x') + "," + std::string(20000, 'x'), 2,
       "A=" + std::string(8, 'x') + "|B=" + std::string(16, 'x')},
      {"embedded NUL ends the record", "A D 4\nB D 4\nC D 4\n", std::string("a,b\0,c", 6), 2,
       "A=a|B=b"},
  };
  for (const ParseCase &c : cases) {
    SCOPED_TRACE(c.what);
    SourceEntry *s = Table(c.attributes);
    ASSERT_NE(s, nullptr) << out_;
    EXPECT_EQ(Parse(s, c.record), c.loaded);
    EXPECT_EQ(Row(s), c.row);
    QDVP_ReleaseApplResources(anchor_, s->pTable->pAppl, 1);
  }
}

TEST_F(Parsing, DataWarningsOnlyAtDetailLevel) {
  SourceEntry *s = Table("C C\nG G 100\nS S\nT T\nX D 4\n");
  ASSERT_NE(s, nullptr) << out_;
  // (The message display ends each message at its insert.)
  const std::string warnings =
      "QDVPV12W Data Warning: Non-Numeric input value forced to zero from x\n"
      "QDVPV09W Data Warning: Data value exceeds specification maximum. Specification "
      "maximum in effect. G 500 -> 100\n"
      "QDVPV13E Data Error: Invalid Switch type input value forced to OFF (0) from 7\n"
      "QDVPV14W Data Warning: Invalid Time type input value forced to zero from 1a\n";
  for (unsigned flags : {0u, static_cast<unsigned>(TRK1_DETAIL)}) {
    TRK1_SetFlags(flags);
    qdvp_test::StreamCapture out(1);
    Parse(s, "x,500,7,1a,x");
    EXPECT_EQ(out.Take(), flags == 0 ? "" : warnings) << "flags " << flags;
  }
  TRK1_SetFlags(0);
}

TEST_F(Parsing, LoadedSizeIsTheTotalOfTheValuesNothingWithoutAttributesAndPrintableConversions) {
  SourceEntry *s = Table("A D 8\nC C 100000\n");
  ASSERT_NE(s, nullptr);
  SourceEntry empty{};
  char record[] = "abc,5";
  int size = 0;
  EXPECT_EQ(QDVP_MoveDataToAttr(s, record, 5, &size), 2);
  EXPECT_EQ(size, 3 + 4);
  EXPECT_EQ(QDVP_MoveDataToAttr(&empty, record, 5, &size), 0);
  EXPECT_EQ(size, 0);
  char text[] = "ab\ncd\r";
  int length = 6;
  EXPECT_EQ(QDVP_ConvertToPrintableCharacters(text, &length), text);
  EXPECT_STREQ(text, "ab cd ");
  char binary[] = {'a', 1, 'B'};
  length = 3;
  char *hex = QDVP_ConvertToPrintableCharacters(binary, &length);
  EXPECT_STREQ(hex, "610142");
  EXPECT_EQ(length, 7);
  QDV0_FreeStorage(&hex);
  EXPECT_EQ(QDVP_CheckDataConversion("\x81\x82", 2), 1);
  EXPECT_EQ(QDVP_CheckDataConversion("\x81"
                                     "a",
                                     2),
            0);
}

struct RateStep {
  long sample;
  int advance;  // seconds the clock moves before the sample
  long change, percent, delta;
};

TEST_F(Parsing, RatesOverSeveralSamplesAndPerKey) {
  QDV0_UseManualClock(1700000000);
  SourceEntry *s = Table("R ? 1000000\nP % 1000000\nD # 1000000\n");
  ASSERT_NE(s, nullptr);
  const RateStep steps[] = {
      {50, 0, 0, 0, 0},      {75, 10, 2, 50, 25},     {75, 0, 0, 0, 0},
      {45, 5, -6, -39, -30}, {145, 0, 100, 222, 100},  // same second: the interval is 1
  };
  for (const RateStep &step : steps) {
    SCOPED_TRACE(step.sample);
    QDV0_AdvanceClock(step.advance);
    std::string value = std::to_string(step.sample);
    Parse(s, value + "," + value + "," + value);
    EXPECT_EQ(IntValue(Attr(s, "R")), step.change);
    EXPECT_EQ(IntValue(Attr(s, "P")), step.percent);
    EXPECT_EQ(IntValue(Attr(s, "D")), step.delta);
  }
  // Rates are kept per key.
  ApplEntry *appl = Load(
      "//APPL Routers\n//NAME If K 600\n//ATTRIBUTES ' '\nRouter D 8 KEY\nIf D 8 KEY\n"
      "Octets C\nRate # 2147483647\nPerSec ? 2147483647\n",
      "keys.mdl");
  ASSERT_NE(appl, nullptr) << out_;
  s = appl->pTableList->pSourceList;
  struct {
    const char *record;
    int advance;
    long delta, perSecond;
  } keyed[] = {
      {"r1 eth0 100 100 100", 0, 0, 0},        {"r1 eth1 5000 5000 5000", 0, 0, 0},
      {"r1 eth0 160 160 160", 10, 60, 6},      {"r2 eth0 7 7 7", 0, 0, 0},
      {"r1 eth1 5300 5300 5300", 20, 300, 10}, {"r1 eth0 200 200 200", 20, 40, 1},
  };
  for (const auto &step : keyed) {
    SCOPED_TRACE(step.record);
    QDV0_AdvanceClock(step.advance);
    Parse(s, step.record);
    EXPECT_EQ(IntValue(Attr(s, "Rate")), step.delta);
    EXPECT_EQ(IntValue(Attr(s, "PerSec")), step.perSecond);
  }
  int copies = 0;
  for (AttrEntry *c = s->pKeyCopyList; c != nullptr; c = static_cast<AttrEntry *>(c->pWork[0]))
    copies++;
  EXPECT_EQ(copies, 3);
  QDV0_UseSystemClock();
}

TEST_F(Parsing, ExampleMetafilesParseTheirSampleLines) {
  const std::string file = qdvp_test::SourceDir() + "/examples/metafiles/perfsample.mdl";
  ApplEntry *appl;
  {
    qdvp_test::StreamCapture quiet(1);
    appl = QDVP_ConstructApplDataModel(anchor_, file.c_str(), 0, nullptr, nullptr, 0, 1);
  }
  ASSERT_NE(appl, nullptr);
  SourceEntry *s = appl->pTableList->pSourceList;
  EXPECT_EQ(Parse(s, "dbhost1,2026-12-05 21:00:00,37,812,1024000,55"), 6);
  EXPECT_EQ(std::string(Attr(s, "Host")->Value), "dbhost1");
  EXPECT_EQ(IntValue(Attr(s, "Cpu")), 37);
  EXPECT_EQ(IntValue(Attr(s, "Connections")), 55);
}

struct FilterCase {
  const char *what;
  const char *attribute;
  const char *record;
  int sequence;
  int pass;
};

TEST_F(Parsing, FiltersIncludeExcludeAndOr) {
  const char kMixed[] = "Mixed D 8 +FILTER={SCAN(0,abc) AND MATCH(2,x) OR NUMBER=(0,1)}";
  const FilterCase cases[] = {
      {"scan or, one found", "Req D 16 +FILTER={SCAN(0,GET) OR SCAN(0,POST)}", "x POST y", 0, 1},
      {"scan or, none found", "Req D 16 +FILTER={SCAN(0,GET) OR SCAN(0,POST)}", "x PUT y", 0, 0},
      {"scan from offset", "Req D 16 +FILTER={SCAN(3,GET)}", "GETxx", 0, 0},
      {"match at offset", "Req D 16 +FILTER={MATCH(2,ab)}", "xxabyy", 0, 1},
      {"match elsewhere", "Req D 16 +FILTER={MATCH(0,ab)}", "xxabyy", 0, 0},
      {"match past the value", "Req D 16 +FILTER={MATCH(5,abc)}", "xxabyy", 0, 0},
      {"and, both", "Lvl G 100 +FILTER={NUMBER>(0,3) AND NUMBER<(0,10)}", "5", 0, 1},
      {"and, one", "Lvl G 100 +FILTER={NUMBER>(0,3) AND NUMBER<(0,10)}", "12", 0, 0},
      {"exclude or, hit", "Lvl G 100 -FILTER={NUMBER<(0,3)}", "2", 0, 0},
      {"exclude or, miss", "Lvl G 100 -FILTER={NUMBER<(0,3)}", "3", 0, 1},
      {"ge and le", "Lvl G 100 +FILTER={NUMBER>=(0,3) AND NUMBER<=(0,3)}", "3", 0, 1},
      {"equal", "Lvl C 100000 +FILTER={NUMBER=(0,70000)}", "70000", 0, 1},
      {"last of a set passes", "Lvl G 100 -FILTER={NUMBER<(0,3)}", "2", 16, 1},
      {"first of a set passes", "Lvl G 100 -FILTER={NUMBER<(0,3)}", "2", 1, 1},
      {"middle of a set", "Lvl G 100 -FILTER={NUMBER<(0,3)}", "2", 0, 0},
      // mixed logic: OR in effect, and the conditions after the first error are dropped
      {"mixed logic, scan", kMixed, "xxabc", 0, 1},
      {"mixed logic, match", kMixed, "zzxzz", 0, 1},
      {"mixed logic, an empty value", kMixed, "", 0, 0},
  };
  for (const FilterCase &c : cases) {
    SCOPED_TRACE(c.what);
    SourceEntry *s = Table(std::string(c.attribute) + "\n");
    ASSERT_NE(s, nullptr) << out_;
    Parse(s, c.record);
    s->DataSequence = static_cast<int16_t>(c.sequence);
    EXPECT_EQ(QDVP_CheckAttributesPassFilters(s), c.pass);
    QDVP_ReleaseApplResources(anchor_, s->pTable->pAppl, 1);
  }
}

class Derive : public Parsing {
 protected:
  void SetUp() override {
    Parsing::SetUp();
    env_.Set("TZ", "UTC");
    tzset();
  }
  void TearDown() override {
    Parsing::TearDown();
    tzset();
  }
  // The value of attribute name after parsing record into a one-table application.
  std::string Derived(const std::string &attributes, const std::string &record, const char *name) {
    SourceEntry *s = Table(attributes);
    EXPECT_NE(s, nullptr) << out_;
    if (s == nullptr) return "<no table>";
    Parse(s, record);
    AttrEntry *a = Attr(s, name);
    std::string value = a ? std::string(a->Value, static_cast<size_t>(a->ActualValSize)) : "?";
    QDVP_ReleaseApplResources(anchor_, s->pTable->pAppl, 1);
    return value;
  }
};

TEST_F(Derive, FunctionsGiveTheirValues) {
  struct {
    const char *attributes, *record, *name, *value;
  } cases[] = {
      {"Secs C 2147483647\nGmt (UTCTOGMT = Secs)\n", "0", "Gmt", "0700101000000000"},
      {"Secs C 2147483647\nGmt (utctogmt = Secs)\n", "1764968400", "Gmt", "1251205210000000"},
      {"Secs C 100\nGmt (UTCTOGMT = Secs)\n", "5", "Gmt", ""},  // seconds of the wrong size
      {"Secs C 2147483647\nLoc (UTCTOLOCALTIME = Secs)\n", "86399", "Loc", "0700101235959000"},
      {"Hex D 24\nWhen (NETWARETIMETOTEXT = Hex)\n", "07EA0C0515232D", "When",
       "2026/12/05 21:35:45"},
      {"Hex D 24\nWhen (NETWARETIMETOTEXT = Hex)\n", "07EA0C05", "When", "2026/12/05"},
      {"Hex D 24\nWhen (NETWARETIMETOTEXT = Hex)\n", "  07EA0C05000000", "When", "2026/12/05"},
      {"Text D 24\nStamp (CORVIDTIMESTAMP = Text)\n", "2026-12-05 21:00:00", "Stamp",
       "1261205210000000"},
      {"Text D 24\nStamp (CORVIDTIMESTAMP = Text)\n", "no time", "Stamp", "0000000000000000"},
      {"Addr D 64\nHost (IPADDRESSTONAME = Addr)\n", "/gateway/port", "Host", "gateway"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.attributes) + c.record);
    EXPECT_EQ(Derived(c.attributes, c.record, c.name), c.value);
  }
}

TEST_F(Derive, AddressToNameUsesItsCacheForTheSameAddress) {
  SourceEntry *s = Table("Addr D 64\nHost (IPADDRESSTONAME = Addr)\n");
  ASSERT_NE(s, nullptr) << out_;
  // Another address first, so that the cache holds something else.
  Parse(s, "127.0.0.2");
  qdvp_test::TraceCapture trace;
  Parse(s, "127.0.0.1");
  std::string first(Attr(s, "Host")->Value);
  if (first == "127.0.0.1") {
    EXPECT_TRUE(trace.Contains("not resolved"));
    GTEST_SKIP() << "127.0.0.1 has no name on this host; the cache is only used for names";
  }
  EXPECT_FALSE(trace.Contains("cached name"));
  Parse(s, "127.0.0.1");
  EXPECT_EQ(std::string(Attr(s, "Host")->Value), first);
  EXPECT_EQ(trace.Count("cached name"), 1u);
}

}  // namespace
