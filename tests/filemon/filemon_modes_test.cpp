// File monitoring end to end, continued: following a file by record count (TAILBYRECORD),
// reading every file of a name pattern in turn (process-all), and the batch settings that
// decide at start-up which FILE sources get a file server. Same fixture as
// filemon_e2e_test.cpp: qdvp-dch as the agent and `qdvp start file`.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/filemon/filemon_fixture.h"

namespace {

using namespace filemon_test;

// Records are counted from the start of the file up to its first empty line. Records beyond
// the count of the last scan are sent once; a file rewritten with fewer records, or with
// another first line, is read again from its beginning.
TEST_F(FileMonitoring, TailByRecordSendsNewRecordsOnceAndRereadsARewrittenFile) {
  Replace(File("rec.log"), "a 1\na 2\n");
  Metafile("rec", "//APPL RecApp\n//NAME Recs E\n//SOURCE FILE @DIR@/rec.log TAILBYRECORD\n"
                  "//ATTRIBUTES ' '\nWord D 32\nNumber C 1000000\n");
  Start(1);
  ASSERT_TRUE(WaitPositioned());
  Append(File("rec.log"), "a 3\n");
  ASSERT_TRUE(WaitRows("Recs", 1));
  // Rewritten in place with one more record; what follows the empty line is not counted.
  Rewrite(File("rec.log"), "a 1\na 2\na 3\na 4\n\nafter 99\n");
  ASSERT_TRUE(WaitRows("Recs", 2));
  // Fewer records: read again from the beginning.
  Rewrite(File("rec.log"), "b 5\nb 6\n");
  const std::string restarted = "File " + File("rec.log") + " switched or re-creation detected";
  ASSERT_TRUE(WaitLogged(restarted, 1));
  ASSERT_TRUE(WaitRows("Recs", 4));
  // As many records, but another first line: another file, read from its beginning.
  Rewrite(File("rec.log"), "c 7\nc 8\n");
  ASSERT_TRUE(WaitLogged(restarted, 2));
  ASSERT_TRUE(WaitRows("Recs", 6));
  std::this_thread::sleep_for(2s);  // two more scans of an unchanged file send nothing
  EXPECT_EQ(Values("Recs", "Number"),
            (std::vector<std::string>{"3", "4", "5", "6", "7", "8"}));
  EXPECT_EQ(Logged(restarted), 2);
}

// With QDVP_PROCESS_ALL_MATCH_PATTERN_FILES=Y every matching file is read whole, oldest first,
// and the server ends after the last one.
TEST_F(FileMonitoring, ProcessAllReadsEveryMatchingFileInTurn) {
  Replace(File("p002.log"), "two 3\n");
  Replace(File("p001.log"), "one 1\none 2\n");
  Replace(File("p003.log"), "three 4\nthree 5\n");
  Replace(File("p004.txt"), "other 98\n");  // another extension
  Replace(File("q005.log"), "other 99\n");  // another prefix
  Metafile("all", "//APPL AllApp\n//NAME Batches E\n//SOURCE FILE @DIR@/p{###}.log\n"
                  "//ATTRIBUTES ' '\nWord D 32\nNumber C 1000000\n");
  extraEnv_["QDVP_PROCESS_ALL_MATCH_PATTERN_FILES"] = "Y";
  Start(1);
  ASSERT_TRUE(WaitRows("Batches", 5)) << Count("Batches") << " rows";
  ASSERT_TRUE(WaitLogged("Monitoring for file " + File("p003.log") + " completed"));
  EXPECT_EQ(Values("Batches", "Number"), (std::vector<std::string>{"1", "2", "3", "4", "5"}));
  EXPECT_EQ(Values("Batches", "Word"),
            (std::vector<std::string>{"one", "one", "two", "three", "three"}));
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
  const std::vector<std::string> tables = {"BatchSum", "Summed", "Plain", "Feed"};
  for (const std::string &t : tables) Replace(File(t + ".log"), "x 1\n");
  Metafile("batch",
           "//APPL BatchApp\n"
           "//NAME BatchSum P 60\n//SOURCE FILE @DIR@/BatchSum.log\n//SUMMARY 60 BATCH\n"
           "//ATTRIBUTES ' '\nWord D 32\nNumber C 1000000\n"
           "//NAME Summed P 60\n//SOURCE FILE @DIR@/Summed.log\n//SUMMARY 60\n"
           "//ATTRIBUTES ' '\nWord D 32\nNumber C 1000000\n"
           "//NAME Plain E\n//SOURCE FILE @DIR@/Plain.log\n//ATTRIBUTES ' '\nWord D 32\n"
           "Number C 1000000\n"
           "//NAME Feed E\n//SOURCE FILE @DIR@/Feed.log\n//INTERNAL OUTPUT fed\n"
           "//ATTRIBUTES ' '\nWord D 32\nNumber C 1000000\n"
           "//NAME Fed E\n//INTERNAL INPUT fed\n//ATTRIBUTES ' '\nWord D 32\n"
           "Number C 1000000\n");
  extraEnv_ = c.env;
  Start(c.bypassed != nullptr ? 3 : 4);
  for (const std::string &t : tables) {
    std::string started = "Monitoring for file " + File(t + ".log") + " started";
    if (c.bypassed != nullptr && t == c.bypassed) continue;
    EXPECT_TRUE(WaitLogged(started)) << t;
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
        BatchCase{"ByDefaultTheBatchSummaryIsBypassed", {}, "BatchSum",
                  "Bypass Batch Processing requested"},
        BatchCase{"BypassTurnedOff", {{"QDVP_BYPASS_BATCH_GROUP", "N"}}, nullptr, nullptr},
        BatchCase{"BatchModeLeavesOutTheOtherSummary", {{"QDVP_BATCH_MODE_PROCESS", "Y"}},
                  "Summed", "Batch Processing in effect"},
        BatchCase{"SummaryOnlyLeavesOutThePlainTable",
                  {{"QDVP_BATCH_SUMMARY_OUTPUT_ONLY", "Y"}, {"QDVP_BYPASS_BATCH_GROUP", "N"}},
                  "Plain", "Summary Batch Only in effect"}),
    [](const testing::TestParamInfo<BatchCase> &info) { return std::string(info.param.name); });

}  // namespace
