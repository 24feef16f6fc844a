// File monitoring end to end against qdvp-dch (the fixture in filemon_fixture.h): tailing a
// file through truncation, deletion and its replacement by a directory, a pattern's newer
// file, COPY and COPY CLEAR, record sets, internal routing, summaries, the agent away during a
// burst and started late, the prompt end of file servers on DELETE and on shutdown; following
// a file by record count (TAILBYRECORD), reading every file of a name pattern in turn
// (process-all), and the batch settings that decide at start-up which FILE sources get a file
// server. What the outside world puts under a monitored name: lines longer than the record, a
// rotation in the middle of a fast stream, a FIFO in the file's place, and symbolic links to
// files inside and outside the file's directory under each QDVP_FOLLOW_SYMLINKS setting. And a
// crash: with QDVP_STATE_DIR set, a data provider killed in the middle of a burst and started
// again resumes its TAIL file at the position it saved, so the lines written meanwhile arrive;
// the rows sent again since that position keep their numbers in the source's row stream, by
// which qdvp-dch (which takes a window of rows) stores none of them twice. And the parts that
// need no running data provider: assembling records from a monitored file (one line each,
// several lines per record, an end-of-input text, NEW and END record-set rules, lines longer
// than the record, binary bytes, a stop position) and the decoding of record-set rule texts;
// what the opener makes of a FIFO, a directory or a link under a monitored name; choosing the
// file of a name pattern (newest by date, number and characters; every file in process-all
// mode; extensions), the first-line identity checksum, the scan frequency, and the reader of
// the saved positions' state file against garbled text.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/support/qdv0.h"
#include "include/qdvp_dplog.h"
#include "include/qdvp_filemon.h"
#include "tests/filemon/filemon_fixture.h"
#include "tests/support/qdvptest.h"

namespace {

using namespace filemon_test;
using qdvp_test::EnvGuard;
using qdvp_test::TempDir;
using Clock = std::chrono::steady_clock;

// A tailed file through its life: only appended lines are sent (a partial last line waits for
// its line end), a truncated file and a re-created one are read from their beginning, and a
// file replaced by a directory ends its monitoring. A pattern's source switches to a newer
// dated file and reads it from its beginning.
TEST_F(FileMonitoring, TailFollowsItsFileThroughTruncationDeletionAndANewerFileOfItsPattern) {
  const std::string tail = Tail("old 1\nold 2\n"), jan = File("d20240131.log"),
                    feb = File("d20240201.log");
  Replace(jan, "first 1\n");
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
// reading it, its only row marked both first and last (17). Records of several lines (a count
// of lines, a NEW rule); a "~" table that feeds two other tables without going online itself;
// and a summarized table, whose interval goes out through the periodic scan once the table has
// been quiet for the end delay, one row per key. Summary rows are sent under the source's
// attribute lock, so a second take of it would hang the DCH client, and with it every request
// of every source: the data provider still ends cleanly.
TEST_F(FileMonitoring, CopyModesRecordSetsRoutedRowsAndSummariesReachTheirTables) {
  Replace(File("copy.txt"), "a 1\nb 2\nc 3\n");
  Replace(File("clear.txt"), "only 7\n");
  Metafile("copy",
           "//APPL CopyApp\n//NAME Snap P 2\n//SOURCE FILE @DIR@/copy.txt COPY\n"
           "//ATTRIBUTES ' '\nWord D 32\nNumber C 1000000 +FILTER={NUMBER<(0,3)}\n");
  Metafile("clear",
           "//APPL ClearApp\n//NAME Once P 2\n//SOURCE FILE @DIR@/clear.txt COPY CLEAR\n"
           "//ATTRIBUTES ' '\nWord D 32\nNumber C 1000000\n");
  const char *const logs[] = {"two.log", "sets.log", "raw.log", "cpu.log"};
  for (const char *f : logs) Replace(File(f), "");
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
  Start(6);
  ASSERT_TRUE(WaitRows("Snap", 6));  // two scans
  auto snap = Query(peer_->Db(),
                    "select data_sequence, json_extract(attrs,'$.Number') from "
                    "rows where attribute_group='Snap' order by id limit 6");
  ASSERT_EQ(snap.size(), 6u);
  // No closing empty row: the second scan starts again with the first line.
  const std::vector<Strings> scan = {{"1", "1"}, {"0", "2"}, {"16", "3"}};
  for (size_t i = 0; i < snap.size(); i++) EXPECT_EQ(snap[i], scan[i % 3]) << i;
  ASSERT_TRUE(WaitRows("Once", 2));
  EXPECT_EQ(Query(peer_->Db(),
                  "select data_sequence from rows where attribute_group='Once' "
                  "order by id limit 2"),
            (std::vector<Strings>{{"17"}, {"16"}}));
  EXPECT_TRUE(WaitFor([&] { return ReadFile(File("clear.txt")).empty(); }, 10s));

  for (const char *f : logs)
    ASSERT_TRUE(WaitLogged("File " + File(f) + " contains no valid data record")) << f;
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

// The agent comes up 5 seconds after the data provider. The requests that queued meanwhile
// (the DP log's and both applications' registrations) wait for it and go out within one retry
// of the UDP fall-back link (5 seconds) of its start: both applications' rows flow at once.
// Then the agent goes away for 10 seconds in the middle of a burst of 5,000 lines. The row in
// flight then waits for the agent: on the link's own retries when the connection ended between
// two rows, or, when it ended under the row, in the file server, which brings its source online
// again once the agent is back (DP log 55) and sends that row again. Either way the file server
// goes on where it was: no line is lost and none is sent twice.
TEST_F(FileMonitoring, AnAgentStartedLateOrAwayDuringABurstGetsEveryLineOnce) {
  const std::string tail = Tail("");
  Replace(File("other.log"), "");
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
  Append(tail, "late 0\n");
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

  const int total = 5000;
  std::string burst;
  for (int i = 1; i <= total; i++) burst += "burst " + std::to_string(i) + "\n";
  Append(tail, burst);
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
  for (int i = 0; i <= total; i++) EXPECT_TRUE(seen.count(i)) << "line " << i << " lost";
}

// The console's DELETE ends a server waiting for its file and one scanning its file at once,
// the scanned source taken offline at the agent and DP log message 17 as usual; the shutdown
// ends a server waiting for its file at once too.
TEST_F(FileMonitoring, DeleteAndShutdownEndWaitingAndScanningServersAtOnce) {
  Tail("old 1\n");
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

// ---- Hostile names
// -------------------------------------------------------------------------------

// A line longer than the record is cut to the record size (its row carries what fitted) and
// the lines behind it arrive; the DP log tells it once for the file, not once per line.
TEST_F(FileMonitoring, LinesLongerThanTheRecordAreCutAndTheLinesBehindThemArrive) {
  const std::string tail = Tail("start 0\n");
  Start(1);
  ASSERT_TRUE(WaitPositioned());
  std::string lines = "long " + std::string(10000, 'y') + " 1\n";
  for (int i = 2; i <= 1000; i++) lines += "w " + std::to_string(i) + "\n";
  lines += "long " + std::string(5000, 'z') + " 1001\nw 1002\n";
  Append(tail, lines);
  ASSERT_TRUE(WaitFor([&] { return Values("Lines", "Word").size() >= 1002; }, 60s))
      << Count("Lines");
  Strings words = Values("Lines", "Word"), numbers = Values("Lines", "Number"), expected;
  ASSERT_EQ(words.size(), 1002u);
  for (int i = 2; i <= 1002; i++) {
    if (i != 1001) expected.push_back(std::to_string(i));
  }
  Strings sent;
  for (size_t i = 0; i < words.size(); i++) {
    if (words[i] == "w") sent.push_back(numbers[i]);
  }
  EXPECT_EQ(sent, expected);
  EXPECT_EQ(words.front(), "long");
  EXPECT_EQ(words[1000], "long");
  EXPECT_EQ(Logged("File " + tail + " holds a record longer than the record size"), 1);
}

// `mv tail.log tail.log.1; : > tail.log` while a writer appends a few thousand numbered lines
// a second, and goes on in the renamed file for a while before it turns to the new one (as a
// program does until it is told to reopen its log): every line arrives exactly once. The scan
// interval is long, so that the old file's last interval holds many lines; the new file is seen
// at once, by the watch on the directory.
TEST_F(FileMonitoring, ARotationInTheMiddleOfAStreamLosesNoLineAndSendsNoneTwice) {
  const std::string tail = Tail("start 0\n");
  extraEnv_["QDVP_DP_EVENT"] = "5";
  Start(1);
  ASSERT_TRUE(WaitPositioned());
  constexpr int kLines = 8000, kRotateAt = 4000, kLate = 300;
  std::thread writer([&] {
    FILE *out = fopen(tail.c_str(), "a");
    for (int i = 1; i <= kLines; i++) {
      fprintf(out, "n %d\n", i);
      if (i == kRotateAt) {
        std::rename(tail.c_str(), (tail + ".1").c_str());
        FILE *fresh = fopen(tail.c_str(), "w");
        while (i < kRotateAt + kLate) fprintf(out, "n %d\n", ++i);
        fclose(out);
        out = fresh;
      }
      if (i % 40 == 0) {
        fflush(out);
        std::this_thread::sleep_for(10ms);  // the writer's pace: about 4,000 lines a second
      }
    }
    fclose(out);
  });
  writer.join();
  ASSERT_TRUE(WaitFor([&] { return Count("Lines") >= kLines; }, 60s)) << Count("Lines");
  EXPECT_EQ(QueryOne(peer_->Db(),
                     "select count(distinct json_extract(attrs,'$.Number')) from "
                     "rows where attribute_group='Lines'"),
            std::to_string(kLines));
  Stop();
  EXPECT_EQ(Count("Lines"), kLines);
  EXPECT_GE(Occurrences(Trace(), "tail.log created or moved in. Scan at once"), 1);
  EXPECT_EQ(Logged("File " + tail + " deleted"), 0);
}

// The file followed is watched for writes: with a scan interval of a minute, a line appended
// is stored within a second. The interval still rules a last line without its line end: a
// write over bytes already read (the file's size unchanged) does not wake the server, so the
// line is not taken before its end arrives.
TEST_F(FileMonitoring, ALineAppendedIsStoredAtOnceAndAPartialLineStillWaitsForItsEnd) {
  const std::string tail = Tail("start 0\n");
  extraEnv_["QDVP_DP_EVENT"] = "60";
  Start(1);
  ASSERT_TRUE(WaitPositioned());
  auto stored = [&](const std::string &text, int rows) {
    auto at = Clock::now();
    Append(tail, text);
    bool arrived = WaitRows("Lines", rows, 5s);
    return arrived ? Clock::now() - at : Clock::duration::max();
  };
  EXPECT_LT(stored("n 1\n", 1), 1s);
  EXPECT_LT(stored("n 2\nn 3", 2), 1s);
  int fd = open(tail.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, "s", 1, 0), 1);  // the same byte again: a write event, no new bytes
  close(fd);
  EXPECT_FALSE(WaitRows("Lines", 3, 500ms));
  EXPECT_LT(stored("3\n", 3), 1s);
  EXPECT_EQ(Values("Lines", "Number"), (Strings{"1", "2", "33"}));
  EXPECT_GE(Occurrences(Trace(), "tail.log written. Scan at once"), 2);
}

// Where no watch can be had (here: QDVP_FILE_WATCH=N, as on a file system without inotify),
// the scan interval alone finds the lines, and takes a last line without its line end once
// it stayed unchanged for a whole interval.
TEST_F(FileMonitoring, WithoutAWatchTheScanIntervalFindsTheLines) {
  const std::string tail = Tail("start 0\n");
  extraEnv_["QDVP_DP_EVENT"] = "2";
  extraEnv_["QDVP_FILE_WATCH"] = "N";
  Start(1);
  ASSERT_TRUE(WaitPositioned());
  Append(tail, "n 1\nn 2");
  ASSERT_TRUE(WaitRows("Lines", 2, 10s));
  EXPECT_EQ(Values("Lines", "Number"), (Strings{"1", "2"}));
  EXPECT_EQ(Occurrences(Trace(), "Scan at once"), 0);
  EXPECT_EQ(Occurrences(Trace(), "watched"), 0);
}

// What comes to stand under the monitored name, and what the file server makes of it.
struct Stand {
  const char *what;
  const char *follow;  // QDVP_FOLLOW_SYMLINKS, or null for the default
  enum { kFifo, kLinkInside, kLinkOutside } kind;
  bool atStart;  // there before monitoring starts (else it replaces the file later)
  const char *message;
  bool followed;
};

void PrintTo(const Stand &c, std::ostream *os) { *os << c.what; }

class FileMonitoringHostileName : public FileMonitoring,
                                  public testing::WithParamInterface<Stand> {};

// A FIFO is never opened (it would block the server) and a link is followed only as the
// setting allows; each is reported once, and the data provider still ends at once on SIGTERM.
TEST_P(FileMonitoringHostileName, IsRefusedOrFollowedWithItsMessageAndTheServerEndsAtOnce) {
  const Stand &c = GetParam();
  const std::string tail = File("tail.log"), next = File("next.tmp");
  qdvp_test::TempDir elsewhere;
  const std::string target =
      c.kind == Stand::kLinkOutside ? elsewhere.File("other.log") : File("real.log");
  Replace(target, "linked 2\n");
  auto place = [&] {
    if (c.kind == Stand::kFifo) {
      ASSERT_EQ(mkfifo(next.c_str(), 0644), 0);
    } else {
      ASSERT_EQ(symlink(target.c_str(), next.c_str()), 0);
    }
    ASSERT_EQ(std::rename(next.c_str(), tail.c_str()), 0);
  };
  if (c.follow != nullptr) extraEnv_["QDVP_FOLLOW_SYMLINKS"] = c.follow;
  Metafile("tail", kTail);
  if (c.atStart) {
    place();
    Start(1);
  } else {
    Replace(tail, "start 0\n");
    Start(1);
    ASSERT_TRUE(WaitPositioned());
    Append(tail, "before 1\n");
    ASSERT_TRUE(WaitRows("Lines", 1));
    place();
  }
  ASSERT_TRUE(WaitLogged("File " + tail + " is a")) << c.what;
  ASSERT_TRUE(WaitLogged(c.message)) << c.what;
  Strings expected = c.atStart ? Strings{} : Strings{"1"};
  if (c.followed) {
    // A file found at start is tailed from its end; one switched to is read from its start.
    if (!c.atStart) expected.push_back("2");
    Append(target, "linked 3\n");
    expected.push_back("3");
    ASSERT_TRUE(WaitRows("Lines", static_cast<int>(expected.size())));
  }
  auto stopAt = Clock::now();
  Stop();
  EXPECT_LT(Clock::now() - stopAt, 10s);
  EXPECT_EQ(Values("Lines", "Number"), expected);
  EXPECT_EQ(Logged(c.message), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Stands, FileMonitoringHostileName,
    testing::Values(Stand{"a FIFO replaces the file", nullptr, Stand::kFifo, false,
                          "is a FIFO, not a regular file", false},
                    Stand{"a FIFO from the start", nullptr, Stand::kFifo, true,
                          "is a FIFO, not a regular file", false},
                    Stand{"a link into the directory", nullptr, Stand::kLinkInside, false,
                          "Link followed per QDVP_FOLLOW_SYMLINKS DIR", true},
                    Stand{"a link out of the directory", nullptr, Stand::kLinkOutside, false,
                          "Link not followed per QDVP_FOLLOW_SYMLINKS DIR", false},
                    Stand{"a link out of the directory at start", nullptr, Stand::kLinkOutside,
                          true, "Link not followed per QDVP_FOLLOW_SYMLINKS DIR", false},
                    Stand{"no link followed", "N", Stand::kLinkInside, false,
                          "Link not followed per QDVP_FOLLOW_SYMLINKS N", false},
                    Stand{"any link followed", "Y", Stand::kLinkOutside, false,
                          "Link followed per QDVP_FOLLOW_SYMLINKS Y", true}),
    [](const testing::TestParamInfo<Stand> &info) {
      std::string name;
      for (const char *p = info.param.what; *p; p++) {
        if (isalnum(static_cast<unsigned char>(*p))) name += *p;
      }
      return name;
    });

// ---- A crash and a stop
// --------------------------------------------------------------------------

// The numbers of a table's rows, distinct and in all.
std::pair<int, int> Numbers(const dch_test::Peer &peer, const std::string &group) {
  auto rows = dch_test::Query(peer.Db(),
                              "select count(distinct json_extract(attrs,'$.Number')), "
                              "count(*) from rows where attribute_group='" +
                                  group + "'");
  // A database that cannot be read yet (the peer is starting) counts as empty.
  if (rows.size() != 1 || rows[0].size() != 2) return {0, 0};
  return {std::stoi(rows[0][0]), std::stoi(rows[0][1])};
}

// 20,000 lines at about 4,000 a second, followed by two tables of two applications; SIGKILL
// once 5,000 rows of one are stored; the burst goes on and 2,000 more lines follow while the
// data provider is down. After the restart every line is stored in both tables, once: the
// rows sent since the last saved position (about a second's worth) are sent again with the
// numbers they had, and the agent had stored them. After an orderly stop (SIGTERM) too, lines
// written then arrive once.
TEST_F(FileMonitoring, AfterAKillTheServerResumesAtTheSavedPositionAndLosesNoLine) {
  const std::string state = TailWithState(), tail = File("tail.log");
  Metafile("again",
           "//APPL OtherApp\n//NAME Again E\n//SOURCE FILE @DIR@/tail.log\n//ATTRIBUTES ' '\n"
           "Word D 32\nNumber C 1000000\n");
  Start(2);
  ASSERT_TRUE(WaitPositioned(2));
  // Each table's row stream is written with its first position, so that the rows sent before
  // any status came back are also sent again under their numbers after a crash.
  const std::regex first(
      "\nOtherApp Again \\d+ 8 \\S+ [1-9]\\d* 0\n"
      "TailApp Lines \\d+ 8 \\S+ [1-9]\\d* 0\n");
  ASSERT_TRUE(
      WaitFor([&] { return std::regex_search(ReadFile(state + "/file.positions"), first); }, 20s))
      << ReadFile(state + "/file.positions");
  constexpr int kBurst = 20000, kWhileDown = 2000, kKillAt = 5000, kAll = kBurst + kWhileDown;
  std::thread writer([&] {
    for (int i = 1; i <= kBurst; i += 40) {
      Append(tail, NumberedLines(i, i + 39));
      std::this_thread::sleep_for(10ms);
    }
  });
  bool stored = WaitRows("Lines", kKillAt, 60s);
  qdvp_->Signal(SIGKILL);
  EXPECT_EQ(qdvp_->Wait(), 128 + SIGKILL);
  qdvp_.reset();
  writer.join();
  ASSERT_TRUE(stored) << Count("Lines");
  Append(tail, NumberedLines(kBurst + 1, kAll));
  std::string saved = ReadFile(state + "/file.positions");
  EXPECT_NE(saved.find("\nTailApp Lines "), std::string::npos) << saved;
  EXPECT_NE(saved.find("\nOtherApp Again "), std::string::npos) << saved;

  Launch();
  WaitStarted(2);
  auto complete = [&](int total) {
    return WaitFor(
        [&] {
          return Numbers(*peer_, "Lines").first == total && Numbers(*peer_, "Again").first == total;
        },
        60s);
  };
  ASSERT_TRUE(complete(kAll)) << Numbers(*peer_, "Lines").first << " "
                              << Numbers(*peer_, "Again").first;
  EXPECT_EQ(Occurrences(Trace(), "resumes at saved position"), 2);
  Stop();
  EXPECT_GT(Occurrences(ReadFile(peer_->Jsonl()), "stored before, not stored again"), 0)
      << "no row was sent again: the kill did not fall between two saves";
  EXPECT_EQ(Numbers(*peer_, "Lines").second, kAll);
  EXPECT_EQ(Numbers(*peer_, "Again").second, kAll);

  Append(tail, NumberedLines(kAll + 1, kAll + 100));
  Launch();
  WaitStarted(2);
  ASSERT_TRUE(complete(kAll + 100));
  Stop();
  EXPECT_EQ(Numbers(*peer_, "Lines").second, kAll + 100);
  EXPECT_EQ(Numbers(*peer_, "Again").second, kAll + 100);
}

// The agent answers "send again" to every data request after the 300th: the rows behind the
// refused one wait in the window, taken by the client but not by the agent. Stopped then (the
// server writes its position at its end) and started again with an agent that takes
// everything, no line is missing: the saved position is no further than the last row stored.
class StuckRows : public FileMonitoring {
  Strings PeerArgs() const override { return {"--fail", "data:7:all:300"}; }
};

TEST_F(StuckRows, RowsWaitingToBeSentAgainAtAStopAreNotSkipped) {
  const std::string state = TailWithState();
  Start(1);
  ASSERT_TRUE(WaitPositioned());
  constexpr int kAll = 1000;
  Append(File("tail.log"), NumberedLines(1, kAll));
  ASSERT_TRUE(WaitFor([&] { return Occurrences(Trace(), "redrive dp_data in flight") > 10; }));
  qdvp_->Signal(SIGTERM);
  // An agent that keeps asking for a row again does not hold up the end.
  EXPECT_EQ(qdvp_->Wait(), 0);
  qdvp_.reset();
  // The first 300 data requests include the DP log's rows: the table has a few less.
  const int stored = Count("Lines");
  EXPECT_GT(stored, 250);
  EXPECT_LT(stored, 300);
  long end = 8;  // "start 0\n"
  for (int i = 1; i <= stored; i++) end += static_cast<long>(std::to_string(i).size()) + 3;
  std::string saved = ReadFile(state + "/file.positions");
  size_t line = saved.find("\nTailApp Lines ");
  ASSERT_NE(line, std::string::npos) << saved;
  EXPECT_LE(std::atol(saved.c_str() + saved.find(' ', line + 16) + 1), end) << saved;

  RestartPeer();
  Launch();
  WaitStarted(1);
  EXPECT_TRUE(WaitFor([&] { return Numbers(*peer_, "Lines").first == kAll; }, 30s))
      << Numbers(*peer_, "Lines").first << " of " << kAll << " lines";
}

TEST(RecordReader, AssemblesTheExpectedRecordsAndDecodesRecordSetRules) {
  // A record is one line, its fields delimited by a blank, unless a case says otherwise.
  const struct {
    const char *what;
    std::string text;
    Strings records;
    const char *delimiter = " ";
    int lines = 1;
    const char *endText = nullptr, *rule = nullptr;
    int size = 256, stopAt = -1;
  } cases[] = {
      {"one line each", "a b\r\n\nc d\n", {"a b", "c d"}},
      {"two lines per record", "a\nb\nc\nd\n", {"a,b", "c,d"}, ",", 2},
      {"join keeps an existing delimiter", "a,\nb\n", {"a,b"}, ",", 2},
      {"begin/end pair join", "[a]\nb]\n", {"[a][b]"}, "[]", 2},
      {"end-of-input text", "a\nb\n--\nc\n--\n", {"a b", "c"}, " ", 1, "--"},
      {"NEW rule starts a record",
       "BEGIN 1\nx\ny\nBEGIN 2\nz\n",
       {"BEGIN 1 x y", "BEGIN 2 z"},
       " ",
       99,
       nullptr,
       "NEW(0,==,BEGIN"},
      {"END rule ends a record",
       "a\nb END\nc\nd END\n",
       {"a b END", "c d END"},
       " ",
       99,
       nullptr,
       "END(2,==,END)"},
      {"not-equal operator", "#1\nx\n#2\n", {"#1 x", "#2"}, " ", 99, nullptr, "NEW(0,!=,x"},
      {"last line without line end", "a\nb", {"a", "b"}},
      {"line longer than the record is cut and the next line still read",
       std::string(100, 'x') + "\nshort\n",
       {std::string(31, 'x'), "short"},
       " ",
       1,
       nullptr,
       nullptr,
       32},
      {"binary bytes do not stop the reader",
       std::string("a\0b\n\x01\xff\x7f\nc\n", 10),
       {"a", "\x01\xff\x7f", "c"}},
      {"a stop position leaves a partial line waiting",
       "a\nb\npart",
       {"a", "b"},
       " ",
       1,
       nullptr,
       nullptr,
       256,
       4},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    qdvp_test::TempDir dir;
    FILE *f = fopen(dir.Write("f.log", c.text).c_str(), "rb");
    std::vector<char> line(static_cast<size_t>(c.size)), record(line.size());
    MonitorReadControl control{};
    control.pReadBuffer = line.data();
    control.ReadSize = c.size;
    control.pDelimiter = c.delimiter;
    control.LinesPerRecord = c.lines;
    control.pEndText = c.endText;
    control.EndTextLength = c.endText ? static_cast<int>(strlen(c.endText)) : 0;
    control.StopAt = c.stopAt;
    control.pRule = c.rule ? QDVP_FormatRecordSetRule(c.rule) : nullptr;
    Strings records;
    int lines = 0;
    while (char *r = ReadMonitorFileRecord(f, record.data(), c.size, &lines, &control)) {
      if (r[0] != '\0') records.emplace_back(r);
      // The position the reader counts is where the stream stands, whatever the lines held.
      long counted = QDVP_MonitorReadPosition(f, &control);
      EXPECT_EQ(counted, ftell(f)) << "after " << records.size() << " record(s)";
    }
    fclose(f);
    QDVP_ReleaseRecordSetRule(control.pRule);
    EXPECT_EQ(records, c.records);
  }
  const struct {
    const char *text;
    bool valid;
    int type, offset, op;
    const char *compare;
  } rules[] = {
      {"NEW(0,==,BEGIN", true, 1, 0, 1, "BEGIN"}, {"new(12,!=,x y)", true, 1, 12, 2, "x y"},
      {"END(3,==,;", true, 2, 3, 1, ";"},         {"OLD(0,==,x", false, 0, 0, 0, ""},
      {"NEW(a,==,x", false, 0, 0, 0, ""},         {"NEW(0,<>,x", false, 0, 0, 0, ""},
      {"NEW(0,==,", false, 0, 0, 0, ""},          {"NEW 0,==,x", false, 0, 0, 0, ""},
  };
  for (const auto &c : rules) {
    SCOPED_TRACE(c.text);
    RecordSetCompareRule *rule = QDVP_FormatRecordSetRule(c.text);
    ASSERT_EQ(rule != nullptr, c.valid);
    if (rule == nullptr) continue;
    EXPECT_EQ(rule->RuleType, c.type);
    EXPECT_EQ(rule->Offset, c.offset);
    EXPECT_EQ(rule->Operator, c.op);
    EXPECT_STREQ(rule->pCompareText, c.compare);
    QDVP_ReleaseRecordSetRule(rule);
  }
}

std::string Last(const std::string &path) { return path.substr(path.find_last_of('/') + 1); }

// What the opener makes of each thing that may stand under a monitored name, on its own: only
// regular files are opened (a FIFO without a writer is not even tried), links as the setting
// says, a link to nothing is a missing file.
TEST(MonitorFileOpen, OnlyRegularFilesAreOpenedAndLinksAsTheSettingAllows) {
  qdvp_test::TempDir dir, elsewhere;
  dir.Write("plain.log", "x\n");
  elsewhere.Write("out.log", "y\n");
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0644), 0);
  ASSERT_EQ(mkdir(dir.File("sub").c_str(), 0755), 0);
  dir.Write("sub/deeper.log", "z\n");
  const std::pair<const char *, std::string> links[] = {
      {"in.lnk", dir.File("plain.log")},
      {"deep.lnk", "sub/deeper.log"},
      {"out.lnk", elsewhere.File("out.log")},
      {"up.lnk", "../" + Last(elsewhere.path()) + "/out.log"},
      {"dangling.lnk", dir.File("none")}};
  for (const auto &[name, target] : links) {
    ASSERT_EQ(symlink(target.c_str(), dir.File(name).c_str()), 0);
  }
  const struct {
    const char *name, *follow;
    int status, link;
  } cases[] = {
      {"plain.log", nullptr, QDVP_OPEN_OK, 0},
      {"missing", nullptr, QDVP_OPEN_MISSING, 0},
      {"fifo", nullptr, QDVP_OPEN_NOT_REGULAR, 0},
      {"sub", nullptr, QDVP_OPEN_ERROR, 0},
      {"in.lnk", nullptr, QDVP_OPEN_OK, 1},
      {"deep.lnk", "DIR", QDVP_OPEN_OK, 1},
      {"out.lnk", nullptr, QDVP_OPEN_LINK_REFUSED, 1},
      {"up.lnk", nullptr, QDVP_OPEN_LINK_REFUSED, 1},
      {"out.lnk", "yes", QDVP_OPEN_OK, 1},
      {"in.lnk", "no", QDVP_OPEN_LINK_REFUSED, 1},
      {"dangling.lnk", nullptr, QDVP_OPEN_MISSING, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + (c.follow ? c.follow : "(default)"));
    qdvp_test::EnvGuard env;
    env.Set("QDVP_FOLLOW_SYMLINKS", c.follow ? std::optional<std::string>(c.follow) : std::nullopt);
    MonitorFileOpen open;
    EXPECT_EQ(QDVP_OpenMonitorFile(dir.File(c.name).c_str(), 0, &open), c.status);
    EXPECT_EQ(open.Link, c.link);
    EXPECT_EQ(open.File != nullptr, c.status == QDVP_OPEN_OK);
    if (open.File != nullptr) fclose(open.File);
  }
}

// A file specification control block built from a FILE source name, as the metafile reader
// builds it.
class PatternBlock {
 public:
  explicit PatternBlock(const std::string &name) {
    source_.pSourceName = QDV0_StrDup(name.c_str());
    ok_ = QDVP_InitializeFileSpecControl(&source_) == 1;
  }
  ~PatternBlock() {
    QDVP_ReleaseSelectedFileList(source_.pFileSpec);
    QDVP_ReleaseFileSpecControl(source_.pFileSpec);
    QDV0_FreeStorage(&source_.pSourceName);
  }
  bool ok() const { return ok_; }
  FileSpecCB *block() { return source_.pFileSpec; }
  // Chooses the file as a file server does and returns its name ("" when none).
  std::string Choose(int processAll = 0) {
    QDVP_DetermineCurrentMonitorFileName(block(), processAll);
    const char *n = block()->pCurrentFileName;
    return n ? n : "";
  }

 private:
  SourceEntry source_{};
  bool ok_ = false;
};

TEST(FileNames, TheNewestMatchingFileIsChosenByTheNumericValueOfItsDate) {
  const struct {
    const char *what, *pattern;  // below the directory
    Strings files;
    const char *chosen;  // "" when none
  } cases[] = {
      {"two-digit years across the century",
       "app{YYMMDD}.log",
       {"app991231.log", "app000101.log"},
       "app000101.log"},
      {"four-digit years",
       "app{YYYYMMDD}.log",
       {"app20240201.log", "app20240131.log"},
       "app20240201.log"},
      {"plain numbers",
       "trace{###}.txt",
       {"trace009.txt", "trace010.txt", "trace002.txt"},
       "trace010.txt"},
      {"characters decide on equal dates",
       "x{YYMMDD?}.log",
       {"x261205a.log", "x261205c.log", "x261205b.log"},
       "x261205c.log"},
      {"non-digits under the numeric field do not match",
       "a{##}.log",
       {"a1x.log", "a07.log"},
       "a07.log"},
      {"extension required by the pattern", "a{##}.log", {"a99", "a98.log"}, "a98.log"},
      {"no extension in the pattern", "a{##}", {"a99.log", "a12"}, "a12"},
      {"any extension", "a{##}.*", {"a01.txt", "a02.csv"}, "a02.csv"},
      {"suffix", "a{##}_x.log", {"a10_y.log", "a05_x.log"}, "a05_x.log"},
      {"nothing after the variable part without suffix",
       "a{##}.log",
       {"a10b.log", "a04.log"},
       "a04.log"},
      {"no matching file", "a{##}.log", {"b01.log"}, ""},
  };
  EnvGuard env;
  env.Set("QDVP_DP_FILE_SWITCH_CHECK_INTERVAL", "1");
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    for (const std::string &f : c.files) dir.Write(f, "line\n");
    PatternBlock fileSpec(dir.path() + "/" + c.pattern);
    ASSERT_TRUE(fileSpec.ok());
    QDV0_UseManualClock(1000);  // the wait when nothing matches only moves the manual clock
    std::string chosen = fileSpec.Choose();
    QDV0_UseSystemClock();
    EXPECT_EQ(chosen, c.chosen[0] ? dir.File(c.chosen) : "");
  }
  PatternBlock fileSpec("/tmp/p{YYYYMMDD}.log");
  ASSERT_TRUE(fileSpec.ok());
  EXPECT_EQ(QDVP_FileNameNumericValue(fileSpec.block(), "p20240131.log"), 202401031);
  EXPECT_EQ(QDVP_FileNameNumericValue(fileSpec.block(), "p20240201.log"), 202402001);
  EXPECT_EQ(QDVP_FileNameNumericValue(fileSpec.block(), "q20240201.log"), -1);
}

// The identity checksum covers a file's first line with its line end.
TEST(FileNames, ProcessAllYieldsEveryFileInTurnANewerFileForgetsTheFirstLineChecksum) {
  TempDir dir;
  for (const char *f : {"d03.log", "d01.log", "d02.log"}) dir.Write(f, "x\n");
  PatternBlock fileSpec(dir.path() + "/d{##}.log");
  ASSERT_TRUE(fileSpec.ok());
  Strings seen;
  for (int i = 0; i < 4; i++) seen.push_back(fileSpec.Choose(1));
  EXPECT_EQ(seen, (Strings{dir.File("d01.log"), dir.File("d02.log"), dir.File("d03.log"), ""}));
  // A newer file forgets the checksum; a vanished directory leaves no file.
  auto gone = std::make_unique<TempDir>();
  gone->Write("s01.log", "x\n");
  PatternBlock newer(gone->path() + "/s{##}.log");
  ASSERT_EQ(newer.Choose(), gone->File("s01.log"));
  newer.block()->IDcheckSum = 77;
  gone->Write("s02.log", "y\n");
  EXPECT_EQ(newer.Choose(), gone->File("s02.log"));
  EXPECT_EQ(newer.block()->IDcheckSum, 0);
  gone.reset();
  EXPECT_EQ(newer.Choose(), "");

  std::string path = dir.Write("c.log", "first\nsecond\n");
  PatternBlock checked(path);
  IOEntry io{};
  SourceEntry source{};
  source.pSourceName = const_cast<char *>(path.c_str());
  io.pSource = &source;
  io.BufferSize = 64;
  auto sum = [&] { return QDVP_FormatFileIDcheckSum(&io, checked.block()); };
  auto expected = [](const char *line) {
    return static_cast<uint16_t>(QDV0_ComputeCheckSum(line, strlen(line)) & 0xFFFF);
  };
  EXPECT_EQ(sum(), expected("first\n"));
  dir.Write("c.log", "first\nother\n");
  EXPECT_EQ(sum(), expected("first\n")) << "only the first line counts";
  dir.Write("c.log", "\n");
  EXPECT_EQ(sum(), expected("\n"));
  remove(path.c_str());
  EXPECT_EQ(sum(), 0);
}

TEST(ScanFrequency, FollowsTheIntervalAndTheFactor) {
  const struct {
    char type;
    int ttl;
    char mode;
    const char *factor;  // null: unset
    int frequency, testFrequency, testInterval;
  } cases[] = {
      {'P', 60, 'T', nullptr, 12, 0, 0},     {'P', 3000, 'T', nullptr, 300, 300, 30},
      {'P', 3000, 'T', "1", 3000, 3000, 30}, {'P', 500, 'T', "1", 500, 496, 31},
      {'S', 200, 'T', "2", 100, 99, 33},     {'P', 60, 'C', nullptr, 30, 0, 0},
      {'P', 3, 'T', nullptr, 30, 0, 0},      {'P', 60, 'T', "0", 12, 0, 0},
      {'E', 0, 'T', nullptr, 15, 0, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(1, c.type) + std::to_string(c.ttl) + c.mode +
                 (c.factor ? c.factor : "-"));
    EnvGuard env(
        {{"QDVP_DP_SAMPLE_FACTOR", c.factor ? std::optional<std::string>(c.factor) : std::nullopt},
         {"QDVP_DP_EVENT", std::nullopt}});
    TableEntry table{};
    table.Type = c.type;
    table.TTL = c.ttl;
    int tf = -1, ti = -1;
    {
      qdvp_test::StreamCapture quiet(1);
      EXPECT_EQ(QDVP_ComputeFileFrequency(&table, c.mode, &tf, &ti), c.frequency);
    }
    EXPECT_EQ(tf, c.testFrequency);
    EXPECT_EQ(ti, c.testInterval);
  }
}

// The state file of the saved positions is read line by line: a good line gives its entry, a
// garbled one is counted and skipped (its file is then monitored as if new), nothing crashes.
TEST(SavedPositions, GarbledLinesAreCountedAndSkipped) {
  const std::string good = "App Tab 513 1024 /var/log/a%20b.log\n";
  const struct {
    const char *what;
    std::string text;
    int entries, bad, firstBad;
  } cases[] = {
      {"empty", "", 0, 0, 0},
      {"header and a line", "# qdvp file positions 1\n" + good, 1, 0, 0},
      {"cut last line", good + "App Tab 513 10", 1, 1, 2},
      {"line end only", "\n\n", 0, 0, 0},
      {"checksum above 16 bits", "App Tab 65536 1 /f\n" + good, 1, 1, 1},
      {"position beyond a long", "App Tab 1 99999999999999999999 /f\n", 0, 1, 1},
      {"position at a long's limit", "App Tab 1 9223372036854775807 /f\n", 1, 0, 0},
      {"position just past it", "App Tab 1 9223372036854775808 /f\n", 0, 1, 1},
      {"non-numeric", "App Tab x1 5 /f\nApp Tab 1 -5 /f\nApp Tab 1 5x /f\n", 0, 3, 1},
      {"NUL in the line", std::string("App Tab 1 5 /f\0g\n", 17) + good, 1, 1, 1},
      {"escaped NUL", "App Tab 1 5 /f%00\n", 0, 1, 1},
      {"bad escapes", "App Tab 1 5 /f%2\nApp Tab 1 5 /f%zz\nApp Tab 1 5 %\n", 0, 3, 1},
      {"fields missing or extra", "App Tab 1 5\nApp Tab 1 5 /f extra\nApp  Tab 1 5 /f\n", 0, 3, 1},
      {"binary", std::string("\xff\xfe\x01 \x80\n", 6) + good, 1, 1, 1},
      {"a huge line", std::string(100000, '9') + "\n" + good, 1, 1, 1},
      {"row stream and number", "App Tab 1 5 /f 4294967295 12\n", 1, 0, 0},
      {"row stream beyond 32 bits", "App Tab 1 5 /f 4294967296 12\nApp Tab 1 5 /f 1 2 3\n", 0, 2,
       1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<FilePositionEntry> entries;
    int firstBad = -1;
    EXPECT_EQ(QDVP_ParseFilePositions(c.text, &entries, &firstBad), c.bad);
    EXPECT_EQ(static_cast<int>(entries.size()), c.entries);
    EXPECT_EQ(firstBad, c.firstBad);
  }
  std::vector<FilePositionEntry> entries;
  QDVP_ParseFilePositions(good, &entries, nullptr);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Application, "App");
  EXPECT_EQ(entries[0].Table, "Tab");
  EXPECT_EQ(entries[0].CheckSum, 513);
  EXPECT_EQ(entries[0].Position, 1024);
  EXPECT_EQ(entries[0].Path, "/var/log/a b.log");
  EXPECT_EQ(entries[0].RowStream, 0u);
  entries.clear();
  QDVP_ParseFilePositions("App Tab 1 5 /f 4294967295 12\n", &entries, nullptr);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].RowStream, 4294967295u);
  EXPECT_EQ(entries[0].RowNumber, 12u);
  // The data provider reports the unreadable lines with message 89.
  const char *parms[5] = {"/s/file.positions", "2", "7", nullptr, nullptr};
  char text[256];
  QDVP_FormatDPlogText(89, parms, text, sizeof(text));
  EXPECT_STREQ(text,
               "State file /s/file.positions holds 2 unreadable line(s), the first at "
               "line 7. They are ignored: their files are monitored as if new.");
}

}  // namespace
