// File monitoring end to end, continued (the fixture in filemon_fixture.h): following a file
// by record count (TAILBYRECORD), reading every file of a name pattern in turn (process-all),
// and the batch settings that decide at start-up which FILE sources get a file server.
#include <gtest/gtest.h>

#include <thread>

#include "tests/filemon/filemon_fixture.h"

namespace {

using namespace filemon_test;

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
