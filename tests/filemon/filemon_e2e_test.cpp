// File monitoring end to end: qdvp-dch as the agent, `qdvp start file` with metafiles listed in
// its startup configuration, short scan intervals through the settings the data provider
// reads, and files written by the test. What arrived is read from the peer's database: rows of
// the monitored tables and the DP log's rows (its messages by their text).
#include <gtest/gtest.h>
#include <unistd.h>

#include <iostream>
#include <set>
#include <thread>

#include "tests/filemon/filemon_fixture.h"

namespace {

using namespace filemon_test;

TEST_F(FileMonitoring, TailSendsOnlyAppendedLines) {
  Replace(File("tail.log"), "old 1\nold 2\n");
  Metafile("tail", kTail);
  Start(1);
  ASSERT_TRUE(WaitPositioned());
  Append(File("tail.log"), "new 3\nnew 4\n");
  ASSERT_TRUE(WaitRows("Lines", 2));
  Append(File("tail.log"), "new 5\npartial");
  ASSERT_TRUE(WaitRows("Lines", 3));
  Append(File("tail.log"), " 6\n");
  ASSERT_TRUE(WaitRows("Lines", 4));
  std::this_thread::sleep_for(2s);  // two more scans of an unchanged file send nothing
  EXPECT_EQ(Values("Lines", "Number"), (std::vector<std::string>{"3", "4", "5", "6"}));
  EXPECT_EQ(Values("Lines", "Word"), (std::vector<std::string>{"new", "new", "new", "partial"}));
}

TEST_F(FileMonitoring, ATruncatedFileIsReadFromItsBeginning) {
  Replace(File("tail.log"), "old 1\nold 2\nold 3\n");
  Metafile("tail", kTail);
  Start(1);
  ASSERT_TRUE(WaitPositioned());
  Append(File("tail.log"), "more 4\n");
  ASSERT_TRUE(WaitRows("Lines", 1));
  Replace(File("tail.log"), "fresh 5\n");
  ASSERT_TRUE(WaitLogged("File " + File("tail.log") + " switched or re-creation detected"));
  ASSERT_TRUE(WaitRows("Lines", 2));
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(Values("Lines", "Number"), (std::vector<std::string>{"4", "5"}));
}

TEST_F(FileMonitoring, ADeletedFileIsWaitedForAndReadAgainWhenRecreated) {
  Replace(File("tail.log"), "old 1\n");
  Metafile("tail", kTail);
  Start(1);
  ASSERT_TRUE(WaitPositioned());
  Append(File("tail.log"), "a 2\n");
  ASSERT_TRUE(WaitRows("Lines", 1));
  unlink(File("tail.log").c_str());
  ASSERT_TRUE(WaitLogged("File " + File("tail.log") + " deleted / no longer exists"));
  Replace(File("tail.log"), "b 3\nb 4\n");
  ASSERT_TRUE(WaitRows("Lines", 3));
  EXPECT_EQ(Values("Lines", "Number"), (std::vector<std::string>{"2", "3", "4"}));
  EXPECT_EQ(Logged("Monitoring for file " + File("tail.log") + " started"), 2);
}

TEST_F(FileMonitoring, APatternSwitchesToANewerDatedFile) {
  Replace(File("d20240131.log"), "first 1\n");
  Metafile("pat", "//APPL PatApp\n//NAME Days E\n//SOURCE FILE @DIR@/d{YYYYMMDD}.log\n"
                  "//ATTRIBUTES ' '\nWord D 32\nNumber C 1000000\n");
  Start(1);
  ASSERT_TRUE(WaitPositioned());
  Append(File("d20240131.log"), "jan 2\n");
  ASSERT_TRUE(WaitRows("Days", 1));
  Replace(File("d20240201.log"), "feb 3\nfeb 4\n");
  ASSERT_TRUE(WaitLogged("Monitoring switched from file " + File("d20240131.log") +
                         " to new file " + File("d20240201.log")));
  ASSERT_TRUE(WaitRows("Days", 3));
  EXPECT_EQ(Values("Days", "Number"), (std::vector<std::string>{"2", "3", "4"}));
}

// The filter drops 3, but the last row of a copied file is marked 16 and passes all filters.
TEST_F(FileMonitoring, CopyMarksFirstMiddleAndLastRowsAndTheLastOnePassesFilters) {
  Replace(File("copy.txt"), "a 1\nb 2\nc 3\n");
  Metafile("copy", "//APPL CopyApp\n//NAME Snap P 2\n//SOURCE FILE @DIR@/copy.txt COPY\n"
                   "//ATTRIBUTES ' '\nWord D 32\nNumber C 1000000 +FILTER={NUMBER<(0,3)}\n");
  Start(1);
  ASSERT_TRUE(WaitRows("Snap", 6));  // two scans
  auto rows = Query(peer_->Db(), "select data_sequence, json_extract(attrs,'$.Number') from "
                                 "rows where attribute_group='Snap' order by id limit 6");
  ASSERT_EQ(rows.size(), 6u);
  // No closing empty row: the second scan starts again with the first line.
  const std::vector<std::vector<std::string>> scan = {{"1", "1"}, {"0", "2"}, {"16", "3"}};
  for (size_t i = 0; i < rows.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(rows[i], scan[i % 3]);
  }
}

TEST_F(FileMonitoring, CopyClearEmptiesTheFileAfterReadingIt) {
  Replace(File("clear.txt"), "only 7\n");
  Metafile("clear", "//APPL ClearApp\n//NAME Once P 2\n//SOURCE FILE @DIR@/clear.txt COPY CLEAR\n"
                    "//ATTRIBUTES ' '\nWord D 32\nNumber C 1000000\n");
  Start(1);
  ASSERT_TRUE(WaitRows("Once", 2));
  auto rows = Query(peer_->Db(), "select data_sequence from rows where attribute_group='Once' "
                                 "order by id limit 2");
  EXPECT_EQ(rows[0][0], "17");
  EXPECT_EQ(rows[1][0], "16");
  EXPECT_TRUE(WaitFor([&] { return ReadFile(File("clear.txt")).empty(); }, 10s));
}

TEST_F(FileMonitoring, RecordsOfSeveralLines) {
  Replace(File("two.log"), "");
  Replace(File("sets.log"), "");
  Metafile("two", "//APPL TwoApp\n//NAME Pairs E\n//SOURCE FILE @DIR@/two.log\n//RECORDSET 2\n"
                  "//ATTRIBUTES ','\nA D 8\nB D 8\n");
  Metafile("sets", "//APPL SetApp\n//NAME Sets E\n//SOURCE FILE @DIR@/sets.log\n"
                   "//RECORDSET 50 NEW(0,==,BEGIN)\n//ATTRIBUTES ' '\nTag D 8\nId D 8\n"
                   "First D 8\nSecond D 8\n");
  Start(2);
  ASSERT_TRUE(WaitLogged("contains no valid data record", 2));
  Append(File("two.log"), "a1\nb1\na2\nb2\n");
  Append(File("sets.log"), "BEGIN 1\nx\ny\nBEGIN 2\nz\n");
  ASSERT_TRUE(WaitRows("Pairs", 2));
  ASSERT_TRUE(WaitRows("Sets", 2));
  EXPECT_EQ(Values("Pairs", "A"), (std::vector<std::string>{"a1", "a2"}));
  EXPECT_EQ(Values("Pairs", "B"), (std::vector<std::string>{"b1", "b2"}));
  EXPECT_EQ(Values("Sets", "Id"), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(Values("Sets", "First"), (std::vector<std::string>{"x", "z"}));
}

TEST_F(FileMonitoring, AnInternalTableFeedsAnotherTableWithoutGoingOnline) {
  Replace(File("raw.log"), "");
  Metafile("route", "//APPL RouteApp\n//NAME ~Raw E\n//SOURCE FILE @DIR@/raw.log\n"
                    "//INTERNAL OUTPUT merged\n//ATTRIBUTES ' '\nLevel D 8\nText D 32\n"
                    "//NAME Errors E\n//INTERNAL INPUT merged\n//ATTRIBUTES ' '\n"
                    "Level D 8 +FILTER={MATCH(0,ERROR)}\nText D 32\n");
  Start(1);
  ASSERT_TRUE(WaitLogged("contains no valid data record"));
  Append(File("raw.log"), "INFO fine\nERROR broken\nERROR again\n");
  ASSERT_TRUE(WaitRows("Errors", 2));
  EXPECT_EQ(Values("Errors", "Text"), (std::vector<std::string>{"broken", "again"}));
  EXPECT_EQ(Count("~Raw"), 0);
  EXPECT_EQ(QueryOne(peer_->Db(), "select count(*) from sources where attribute_group='~Raw'"),
            "0");
}

TEST_F(FileMonitoring, AFileReplacedByADirectoryEndsItsMonitoring) {
  Replace(File("tail.log"), "old 1\n");
  Metafile("tail", kTail);
  Start(1);
  ASSERT_TRUE(WaitPositioned());
  unlink(File("tail.log").c_str());
  mkdir(File("tail.log").c_str(), 0755);
  ASSERT_TRUE(WaitLogged("DP cannot open file " + File("tail.log") + " for monitoring"));
  ASSERT_TRUE(WaitLogged("Monitoring for file " + File("tail.log") + " completed"));
  rmdir(File("tail.log").c_str());
}

// The agent goes away for 10 seconds in the middle of a burst of 5,000 lines. The link sends
// the row in flight again once the agent is back; the agent refuses it, so the file server
// brings its source online again 30 seconds later (DP log 55) and goes on where it was: at most
// that row is lost, and no line is sent twice.
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
  int port = peer_->port();
  std::string dir = peer_->dir();
  peer_->Stop();
  std::unique_ptr<Peer> away = std::move(peer_);  // keeps its directory for the restart
  std::this_thread::sleep_for(10s);
  peer_ = std::make_unique<Peer>(
      std::vector<std::string>{"--commit-ms", "0", "--port", std::to_string(port), "--fail",
                               "data:9:1"},
      dir);
  ASSERT_TRUE(peer_->Ready()) << peer_->Stderr();
  ASSERT_TRUE(WaitFor([&] { return Logged("Agent and DP successfully resynchronized") > 0; },
                      50s));
  // Rows flow again: the burst completes.
  std::vector<std::string> numbers;
  ASSERT_TRUE(WaitFor([&] {
    numbers = Values("Lines", "Number");
    return !numbers.empty() && numbers.back() == std::to_string(total);
  }, 60s)) << numbers.size() << " rows";
  std::set<int> seen;
  for (const std::string &n : numbers) {
    EXPECT_TRUE(seen.insert(std::stoi(n)).second) << "line " << n << " sent twice";
  }
  int lost = total - static_cast<int>(seen.size());
  RecordProperty("rows_lost", lost);
  std::cout << "rows lost while the agent was away: " << lost << "\n";
  EXPECT_LE(lost, 1) << "at most the row in flight is lost";
}

// A summarized table fed by a file: what the interval holds goes out through the periodic scan
// once the table has been quiet for the end delay, one row per key, and the data provider then
// ends cleanly. Summary rows are sent under the source's attribute lock, so a second take of it
// would hang the DCH client, and with it every request of every source.
TEST_F(FileMonitoring, SummaryRowsReachTheAgentAtTheQuietEndAndTheLinkGoesOn) {
  Replace(File("cpu.log"), "");
  Metafile("cpu", "//APPL SumApp\n//NAME Cpu K 300\n//SUMMARY 3600\n//SOURCE FILE @DIR@/cpu.log\n"
                  "//ATTRIBUTES ','\nHost D 16 KEY SKEY=1\nCpu G 100 SKEY=SUM\n");
  extraEnv_["QDVP_SUMMARY_END_DELAY"] = "2";
  Start(1);
  ASSERT_TRUE(WaitLogged("contains no valid data record"));
  Append(File("cpu.log"), "h1,5\nh1,7\nh2,1\n");
  ASSERT_TRUE(WaitRows("Cpu", 2));
  EXPECT_EQ(Values("Cpu", "Cpu"), (std::vector<std::string>{"12", "1"}));
  EXPECT_EQ(Values("Cpu", "Host").front().substr(0, 2), "h1");
  Stop();  // ends cleanly: the client is free
}

// The agent comes up 5 seconds after the data provider. The requests that queued meanwhile
// (the DP log's and both applications' registrations) wait for it and go out within one retry
// of the UDP fall-back link (5 seconds) of its start: both applications' rows flow at once.
TEST_F(FileMonitoring, AnAgentStartedLateGetsEveryApplicationOnlinePromptly) {
  Replace(File("tail.log"), "");
  Replace(File("other.log"), "");
  Metafile("tail", kTail);
  Metafile("other", "//APPL OtherApp\n//NAME Others E\n//SOURCE FILE @DIR@/other.log\n"
                    "//ATTRIBUTES ' '\nWord D 32\n");
  std::string dir = peer_->dir();
  peer_->Stop();
  std::unique_ptr<Peer> away = std::move(peer_);  // keeps its directory for the late start
  Launch();
  std::this_thread::sleep_for(5s);  // the agent is started late on purpose
  peer_ = std::make_unique<Peer>(
      std::vector<std::string>{"--commit-ms", "0", "--port", std::to_string(dchPort_)}, dir);
  ASSERT_TRUE(peer_->Ready()) << peer_->Stderr();
  auto up = std::chrono::steady_clock::now();
  WaitStarted(2);
  ASSERT_TRUE(WaitLogged("contains no valid data record", 2));
  Append(File("tail.log"), "late 1\n");
  Append(File("other.log"), "late\n");
  ASSERT_TRUE(WaitRows("Lines", 1));
  ASSERT_TRUE(WaitRows("Others", 1));
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  up).count();
  std::cout << "rows of both applications " << ms << " ms after the agent started\n";
  EXPECT_LT(ms, 10000);
  EXPECT_EQ(QueryOne(peer_->Db(), "select count(*) from sources where offline_at is null and "
                                  "application in ('TailApp','OtherApp')"), "2");
}

}  // namespace
