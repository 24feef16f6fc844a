// File monitoring end to end against qdvp-dch (the fixture in filemon_fixture.h): tailing a
// file through truncation, deletion and its replacement by a directory, a pattern's newer
// file, COPY and COPY CLEAR, record sets, internal routing, summaries, the agent away during a
// burst and started late, the prompt end of file servers on DELETE and on shutdown; following
// a file by record count (TAILBYRECORD), reading every file of a name pattern in turn
// (process-all), and the batch settings that decide at start-up which FILE sources get a file
// server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <iostream>
#include <set>
#include <thread>

#include "tests/filemon/filemon_fixture.h"

namespace {

using namespace filemon_test;
using Clock = std::chrono::steady_clock;

// A tailed file through its life: only appended lines are sent (a partial last line waits for
// its line end), a truncated file and a re-created one are read from their beginning, and a
// file replaced by a directory ends its monitoring. A pattern's source switches to a newer
// dated file and reads it from its beginning.
TEST_F(FileMonitoring, TailFollowsItsFileThroughTruncationDeletionAndANewerFileOfItsPattern) {
  const std::string tail = File("tail.log"), jan = File("d20240131.log"),
                    feb = File("d20240201.log");
  Replace(tail, "old 1\nold 2\n");
  Replace(jan, "first 1\n");
  Metafile("tail", kTail);
  Metafile("pat",
           "//APPL PatApp\n//NAME Days E\n//SOURCE FILE @DIR@/d{YYYYMMDD}.log\n"
           "//ATTRIBUTES ' '\nWord D 32\nNumber C 1000000\n");
  Start(2);
  ASSERT_TRUE(WaitPositioned(2));
  Append(jan, "jan 2\n");
  Append(tail, "new 3\nnew 4\n");
  ASSERT_TRUE(WaitRows("Lines", 2));
  Append(tail, "new 5\npartial");
  ASSERT_TRUE(WaitRows("Lines", 3));
  Append(tail, " 6\n");
  ASSERT_TRUE(WaitRows("Lines", 4));
  std::this_thread::sleep_for(2s);  // two more scans of an unchanged file send nothing
  EXPECT_EQ(Values("Lines", "Number"), (Strings{"3", "4", "5", "6"}));
  EXPECT_EQ(Values("Lines", "Word"), (Strings{"new", "new", "new", "partial"}));
  EXPECT_EQ(Values("Days", "Number"), (Strings{"2"}));

  Replace(feb, "feb 3\nfeb 4\n");
  ASSERT_TRUE(WaitLogged("Monitoring switched from file " + jan + " to new file " + feb));
  Replace(tail, "fresh 7\n");
  ASSERT_TRUE(WaitLogged("File " + tail + " switched or re-creation detected"));
  ASSERT_TRUE(WaitRows("Lines", 5));
  ASSERT_TRUE(WaitRows("Days", 3));
  EXPECT_EQ(Values("Days", "Number"), (Strings{"2", "3", "4"}));

  unlink(tail.c_str());
  ASSERT_TRUE(WaitLogged("File " + tail + " deleted / no longer exists"));
  Replace(tail, "b 8\nb 9\n");
  ASSERT_TRUE(WaitRows("Lines", 7));
  EXPECT_EQ(Logged("Monitoring for file " + tail + " started"), 2);

  unlink(tail.c_str());
  mkdir(tail.c_str(), 0755);
  ASSERT_TRUE(WaitLogged("DP cannot open file " + tail + " for monitoring"));
  ASSERT_TRUE(WaitLogged("Monitoring for file " + tail + " completed"));
  rmdir(tail.c_str());
  EXPECT_EQ(Values("Lines", "Number"), (Strings{"3", "4", "5", "6", "7", "8", "9"}));
}

// COPY reads the whole file every scan and marks its rows first (1), middle (0) and last (16);
// the filter drops 3, but the last row passes all filters. COPY CLEAR empties the file after
// reading it, its only row marked both first and last (17).
TEST_F(FileMonitoring, CopyMarksFirstMiddleAndLastRowsAndCopyClearEmptiesTheFile) {
  Replace(File("copy.txt"), "a 1\nb 2\nc 3\n");
  Replace(File("clear.txt"), "only 7\n");
  Metafile("copy",
           "//APPL CopyApp\n//NAME Snap P 2\n//SOURCE FILE @DIR@/copy.txt COPY\n"
           "//ATTRIBUTES ' '\nWord D 32\nNumber C 1000000 +FILTER={NUMBER<(0,3)}\n");
  Metafile("clear",
           "//APPL ClearApp\n//NAME Once P 2\n//SOURCE FILE @DIR@/clear.txt COPY CLEAR\n"
           "//ATTRIBUTES ' '\nWord D 32\nNumber C 1000000\n");
  Start(2);
  ASSERT_TRUE(WaitRows("Snap", 6));  // two scans
  auto rows = Query(peer_->Db(),
                    "select data_sequence, json_extract(attrs,'$.Number') from "
                    "rows where attribute_group='Snap' order by id limit 6");
  ASSERT_EQ(rows.size(), 6u);
  // No closing empty row: the second scan starts again with the first line.
  const std::vector<Strings> scan = {{"1", "1"}, {"0", "2"}, {"16", "3"}};
  for (size_t i = 0; i < rows.size(); i++) EXPECT_EQ(rows[i], scan[i % 3]) << i;
  ASSERT_TRUE(WaitRows("Once", 2));
  EXPECT_EQ(Query(peer_->Db(),
                  "select data_sequence from rows where attribute_group='Once' "
                  "order by id limit 2"),
            (std::vector<Strings>{{"17"}, {"16"}}));
  EXPECT_TRUE(WaitFor([&] { return ReadFile(File("clear.txt")).empty(); }, 10s));
}

// Records of several lines (a count of lines, a NEW rule); a "~" table that feeds two other
// tables without going online itself; and a summarized table, whose interval goes out through
// the periodic scan once the table has been quiet for the end delay, one row per key. Summary
// rows are sent under the source's attribute lock, so a second take of it would hang the DCH
// client, and with it every request of every source: the data provider still ends cleanly.
TEST_F(FileMonitoring, RecordSetsRoutedRowsAndSummariesReachTheirTables) {
  for (const char *f : {"two.log", "sets.log", "raw.log", "cpu.log"}) Replace(File(f), "");
  Metafile("two",
           "//APPL TwoApp\n//NAME Pairs E\n//SOURCE FILE @DIR@/two.log\n//RECORDSET 2\n"
           "//ATTRIBUTES ','\nA D 8\nB D 8\n");
  Metafile("sets",
           "//APPL SetApp\n//NAME Sets E\n//SOURCE FILE @DIR@/sets.log\n"
           "//RECORDSET 50 NEW(0,==,BEGIN)\n//ATTRIBUTES ' '\nTag D 8\nId D 8\n"
           "First D 8\nSecond D 8\n");
  Metafile("route",
           "//APPL RouteApp\n//NAME ~Raw E\n//SOURCE FILE @DIR@/raw.log\n"
           "//INTERNAL OUTPUT merged\n//ATTRIBUTES ' '\nLevel D 8\nText D 32\n"
           "//NAME Errors E\n//INTERNAL INPUT merged\n//ATTRIBUTES ' '\n"
           "Level D 8 +FILTER={MATCH(0,ERROR)}\nText D 32\n"
           "//NAME Words E\n//INTERNAL INPUT MERGED\n//ATTRIBUTES ' '\nLevel D 8\n");
  Metafile("cpu",
           "//APPL SumApp\n//NAME Cpu K 300\n//SUMMARY 3600\n//SOURCE FILE @DIR@/cpu.log\n"
           "//ATTRIBUTES ','\nHost D 16 KEY SKEY=1\nCpu G 100 SKEY=SUM\n");
  extraEnv_["QDVP_SUMMARY_END_DELAY"] = "2";
  Start(4);
  ASSERT_TRUE(WaitLogged("contains no valid data record", 4));
  Append(File("two.log"), "a1\nb1\na2\nb2\n");
  Append(File("sets.log"), "BEGIN 1\nx\ny\nBEGIN 2\nz\n");
  Append(File("raw.log"), "INFO fine\nERROR broken\nERROR again\n");
  Append(File("cpu.log"), "h1,5\nh1,7\nh2,1\n");
  for (const auto &[group, rows] : std::map<std::string, int>{
           {"Pairs", 2}, {"Sets", 2}, {"Errors", 2}, {"Words", 3}, {"Cpu", 2}})
    ASSERT_TRUE(WaitRows(group, rows)) << group;
  EXPECT_EQ(Values("Pairs", "A"), (Strings{"a1", "a2"}));
  EXPECT_EQ(Values("Pairs", "B"), (Strings{"b1", "b2"}));
  EXPECT_EQ(Values("Sets", "Id"), (Strings{"1", "2"}));
  EXPECT_EQ(Values("Sets", "First"), (Strings{"x", "z"}));
  EXPECT_EQ(Values("Errors", "Text"), (Strings{"broken", "again"}));
  EXPECT_EQ(Values("Words", "Level"), (Strings{"INFO", "ERROR", "ERROR"}));
  EXPECT_EQ(Count("~Raw"), 0);
  EXPECT_EQ(QueryOne(peer_->Db(), "select count(*) from sources where attribute_group='~Raw'"),
            "0");
  EXPECT_EQ(Values("Cpu", "Cpu"), (Strings{"12", "1"}));
  EXPECT_EQ(Values("Cpu", "Host").front().substr(0, 2), "h1");
  Stop();  // ends cleanly: the client is free
}

// The agent goes away for 10 seconds in the middle of a burst of 5,000 lines. The row in flight
// then waits for the agent: on the link's own retries when the connection ended between two
// rows, or, when it ended under the row, in the file server, which brings its source online
// again once the agent is back (DP log 55) and sends that row again. Either way the file server
// goes on where it was: no line is lost and none is sent twice.
TEST_F(FileMonitoring, RowsFlowAgainAfterTheAgentWasAwayDuringABurst) {
  Replace(File("tail.log"), "");
  Metafile("tail", kTail);
  Start(1);
  ASSERT_TRUE(WaitLogged("contains no valid data record"));
  const int total = 5000;
  std::string burst;
  for (int i = 1; i <= total; i++) burst += "burst " + std::to_string(i) + "\n";
  Append(File("tail.log"), burst);
  ASSERT_TRUE(WaitRows("Lines", 200));
  StopPeer();
  std::this_thread::sleep_for(10s);
  ASSERT_NO_FATAL_FAILURE(StartPeer());
  Strings numbers;
  ASSERT_TRUE(WaitFor(
      [&] {
        numbers = Values("Lines", "Number");
        return !numbers.empty() && numbers.back() == std::to_string(total);
      },
      60s))
      << numbers.size() << " rows";
  std::set<int> seen;
  for (const std::string &n : numbers)
    EXPECT_TRUE(seen.insert(std::stoi(n)).second) << "line " << n << " sent twice";
  for (int i = 1; i <= total; i++) EXPECT_TRUE(seen.count(i)) << "line " << i << " lost";
}

// The agent comes up 5 seconds after the data provider. The requests that queued meanwhile
// (the DP log's and both applications' registrations) wait for it and go out within one retry
// of the UDP fall-back link (5 seconds) of its start: both applications' rows flow at once.
TEST_F(FileMonitoring, AnAgentStartedLateGetsEveryApplicationOnlinePromptly) {
  Replace(File("tail.log"), "");
  Replace(File("other.log"), "");
  Metafile("tail", kTail);
  Metafile("other",
           "//APPL OtherApp\n//NAME Others E\n//SOURCE FILE @DIR@/other.log\n"
           "//ATTRIBUTES ' '\nWord D 32\n");
  StopPeer();
  Launch();
  std::this_thread::sleep_for(5s);  // the agent is started late on purpose
  ASSERT_NO_FATAL_FAILURE(StartPeer());
  auto up = Clock::now();
  WaitStarted(2);
  ASSERT_TRUE(WaitLogged("contains no valid data record", 2));
  Append(File("tail.log"), "late 1\n");
  Append(File("other.log"), "late\n");
  ASSERT_TRUE(WaitRows("Lines", 1));
  ASSERT_TRUE(WaitRows("Others", 1));
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - up).count();
  std::cout << "rows of both applications " << ms << " ms after the agent started\n";
  EXPECT_LT(ms, 10000);
  EXPECT_EQ(QueryOne(peer_->Db(),
                     "select count(*) from sources where offline_at is null and "
                     "application in ('TailApp','OtherApp')"),
            "2");
}

// The console's DELETE ends a server waiting for its file and one scanning its file at once,
// the scanned source taken offline at the agent and DP log message 17 as usual; the shutdown
// ends a server waiting for its file at once too.
TEST_F(FileMonitoring, DeleteAndShutdownEndWaitingAndScanningServersAtOnce) {
  Replace(File("tail.log"), "old 1\n");
  Metafile("tail", kTail);
  for (std::string name : {"absent", "left"})
    Metafile(name, "//APPL " + name + "App\n//NAME Missing E\n//SOURCE FILE @DIR@/" + name +
                       ".log\n//ATTRIBUTES ' '\nWord D 32\nNumber C 1000000\n");
  Start(3);
  ASSERT_TRUE(WaitPositioned());
  ASSERT_TRUE(WaitLogged("File " + File("absent.log") + " does not exist"));
  ASSERT_TRUE(WaitLogged("File " + File("left.log") + " does not exist"));
  Append(File("tail.log"), "new 2\n");
  ASSERT_TRUE(WaitRows("Lines", 1));
  std::string out;
  ASSERT_TRUE(WaitFor([&] { return RunConsole("file", {"LIST"}, &out) == 0; }, 20s)) << out;
  for (const char *metafile : {"absent.mdl", "tail.mdl"}) {
    Clock::time_point begin = Clock::now();
    EXPECT_EQ(RunConsole("file", {"DELETE", metafile}, &out), 0) << out;
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
    std::cout << "DELETE " << metafile << ": " << took.count() << " ms\n";
    EXPECT_LT(took, 10s);
  }
  EXPECT_EQ(Logged("Monitoring for file " + File("absent.log") + " completed"), 1);
  EXPECT_EQ(Logged("Monitoring for file " + File("tail.log") + " completed"), 1);
  // The scanned source went offline at the agent before its application was unregistered.
  EXPECT_TRUE(WaitFor(
      [&] {
        return QueryOne(peer_->Db(),
                        "select count(*) from sources where attribute_group='Lines' "
                        "and offline_at is null") == "0";
      },
      10s));
  Append(File("tail.log"), "late 3\n");
  EXPECT_EQ(Count("Lines"), 1);

  Clock::time_point begin = Clock::now();
  Stop();
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
  std::cout << "shutdown: " << took.count() << " ms\n";
  EXPECT_LT(took, 10s);
  // The server reports its end once; the DP log drops what is still queued when fewer than
  // four tasks are left, so on a slow machine the report may not make it.
  EXPECT_LE(Logged("Monitoring for file " + File("left.log") + " completed"), 1);
}

// TAILBYRECORD counts records from the start of the file up to its first empty line: records
// beyond the count of the last scan are sent once; a file rewritten with fewer records, or with
// another first line, is read again from its beginning. With
// QDVP_PROCESS_ALL_MATCH_PATTERN_FILES=Y every file of a pattern is read whole, oldest first,
// and the server ends after the last one.
TEST_F(FileMonitoring, TailByRecordSendsNewRecordsOnceAndProcessAllReadsEveryFileInTurn) {
  const std::string rec = File("rec.log");
  Replace(rec, "a 1\na 2\n");
  Replace(File("p002.log"), "two 3\n");
  Replace(File("p001.log"), "one 1\none 2\n");
  Replace(File("p003.log"), "three 4\nthree 5\n");
  Replace(File("p004.txt"), "other 98\n");  // another extension
  Replace(File("q005.log"), "other 99\n");  // another prefix
  Metafile("rec",
           "//APPL RecApp\n//NAME Recs E\n//SOURCE FILE @DIR@/rec.log TAILBYRECORD\n"
           "//ATTRIBUTES ' '\nWord D 32\nNumber C 1000000\n");
  Metafile("all",
           "//APPL AllApp\n//NAME Batches E\n//SOURCE FILE @DIR@/p{###}.log\n"
           "//ATTRIBUTES ' '\nWord D 32\nNumber C 1000000\n");
  extraEnv_["QDVP_PROCESS_ALL_MATCH_PATTERN_FILES"] = "Y";
  Start(2);
  ASSERT_TRUE(WaitPositioned(2));
  Append(rec, "a 3\n");
  ASSERT_TRUE(WaitRows("Recs", 1));
  // Rewritten in place with one more record; what follows the empty line is not counted.
  Rewrite(rec, "a 1\na 2\na 3\na 4\n\nafter 99\n");
  ASSERT_TRUE(WaitRows("Recs", 2));
  Rewrite(rec, "b 5\nb 6\n");  // fewer records
  const std::string restarted = "File " + rec + " switched or re-creation detected";
  ASSERT_TRUE(WaitLogged(restarted, 1));
  ASSERT_TRUE(WaitRows("Recs", 4));
  Rewrite(rec, "c 7\nc 8\n");  // as many records, another first line
  ASSERT_TRUE(WaitLogged(restarted, 2));
  ASSERT_TRUE(WaitRows("Recs", 6));
  std::this_thread::sleep_for(2s);  // two more scans of an unchanged file send nothing
  EXPECT_EQ(Values("Recs", "Number"), (Strings{"3", "4", "5", "6", "7", "8"}));
  EXPECT_EQ(Logged(restarted), 2);

  ASSERT_TRUE(WaitRows("Batches", 5)) << Count("Batches") << " rows";
  ASSERT_TRUE(WaitLogged("Monitoring for file " + File("p003.log") + " completed"));
  EXPECT_EQ(Values("Batches", "Number"), (Strings{"1", "2", "3", "4", "5"}));
  EXPECT_EQ(Values("Batches", "Word"), (Strings{"one", "one", "two", "three", "three"}));
}

// Which FILE sources get a file server at start-up under the batch settings. Four tables of
// one application, each fed by its own file: a batch summary, a summary, a plain table and
// a table whose rows are routed to another table.
struct BatchCase {
  const char *name;
  std::map<std::string, std::string> env;
  const char *bypassed;  // the table left without a server, or null
  const char *reason;    // the end of its trace line
};

class BatchStartUp : public FileMonitoring, public testing::WithParamInterface<BatchCase> {};

TEST_P(BatchStartUp, LeavesOnlyTheSettingsBypassedSourceWithoutAServer) {
  const BatchCase &c = GetParam();
  const Strings tables = {"BatchSum", "Summed", "Plain", "Feed"};
  for (const std::string &t : tables) Replace(File(t + ".log"), "x 1\n");
  const std::string attributes = "//ATTRIBUTES ' '\nWord D 32\nNumber C 1000000\n";
  Metafile("batch",
           "//APPL BatchApp\n//NAME BatchSum P 60\n//SOURCE FILE @DIR@/BatchSum.log\n"
           "//SUMMARY 60 BATCH\n" +
               attributes + "//NAME Summed P 60\n//SOURCE FILE @DIR@/Summed.log\n//SUMMARY 60\n" +
               attributes + "//NAME Plain E\n//SOURCE FILE @DIR@/Plain.log\n" + attributes +
               "//NAME Feed E\n//SOURCE FILE @DIR@/Feed.log\n//INTERNAL OUTPUT fed\n" + attributes +
               "//NAME Fed E\n//INTERNAL INPUT fed\n" + attributes);
  extraEnv_ = c.env;
  Start(c.bypassed != nullptr ? 3 : 4);
  for (const std::string &t : tables) {
    if (c.bypassed != nullptr && t == c.bypassed) continue;
    EXPECT_TRUE(WaitLogged("Monitoring for file " + File(t + ".log") + " started")) << t;
  }
  if (c.bypassed != nullptr) {
    EXPECT_NE(Trace().find(std::string("Monitor file attribute group ") + c.bypassed +
                           " bypassed due to " + c.reason),
              std::string::npos);
    EXPECT_EQ(Logged("Monitoring for file " + File(std::string(c.bypassed) + ".log")), 0);
  } else {
    EXPECT_EQ(Trace().find("bypassed due to"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, BatchStartUp,
    testing::Values(
        BatchCase{"ByDefaultTheBatchSummaryIsBypassed",
                  {},
                  "BatchSum",
                  "Bypass Batch Processing requested"},
        BatchCase{"BypassTurnedOff", {{"QDVP_BYPASS_BATCH_GROUP", "N"}}, nullptr, nullptr},
        BatchCase{"BatchModeLeavesOutTheOtherSummary",
                  {{"QDVP_BATCH_MODE_PROCESS", "Y"}},
                  "Summed",
                  "Batch Processing in effect"},
        BatchCase{"SummaryOnlyLeavesOutThePlainTable",
                  {{"QDVP_BATCH_SUMMARY_OUTPUT_ONLY", "Y"}, {"QDVP_BYPASS_BATCH_GROUP", "N"}},
                  "Plain",
                  "Summary Batch Only in effect"}),
    [](const testing::TestParamInfo<BatchCase> &info) { return std::string(info.param.name); });

}  // namespace
