// File monitoring across a crash of the data provider, end to end with qdvp-dch (the fixture
// in filemon_fixture.h): with QDVP_STATE_DIR set, a data provider killed in the middle of a
// burst and started again resumes its TAIL file at the position it saved, so the lines written
// meanwhile arrive; the rows sent again since that position keep their numbers in the source's
// row stream, by which qdvp-dch (which takes a window of rows) stores none of them twice.
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "tests/filemon/filemon_fixture.h"

namespace {

using namespace filemon_test;

// The numbers of a table's rows, distinct and in all.
std::pair<int, int> Numbers(const dch_test::Peer &peer, const std::string &group) {
  auto rows = dch_test::Query(peer.Db(), "select count(distinct json_extract(attrs,'$.Number')), "
                                         "count(*) from rows where attribute_group='" + group + "'");
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
  const std::string tail = File("tail.log"), state = File("state");
  ASSERT_EQ(mkdir(state.c_str(), 0750), 0);
  extraEnv_["QDVP_STATE_DIR"] = state;
  Replace(tail, "start 0\n");
  Metafile("tail", kTail);
  Metafile("again",
           "//APPL OtherApp\n//NAME Again E\n//SOURCE FILE @DIR@/tail.log\n//ATTRIBUTES ' '\n"
           "Word D 32\nNumber C 1000000\n");
  Start(2);
  ASSERT_TRUE(WaitPositioned(2));
  // Each table's row stream is written with its first position, so that the rows sent before
  // any status came back are also sent again under their numbers after a crash.
  const std::regex first("\nOtherApp Again \\d+ 8 \\S+ [1-9]\\d* 0\n"
                         "TailApp Lines \\d+ 8 \\S+ [1-9]\\d* 0\n");
  ASSERT_TRUE(WaitFor([&] { return std::regex_search(ReadFile(state + "/file.positions"), first); },
                      20s)) << ReadFile(state + "/file.positions");
  auto lines = [](int from, int to) {
    std::string text;
    for (int i = from; i <= to; i++) text += "n " + std::to_string(i) + "\n";
    return text;
  };
  constexpr int kBurst = 20000, kWhileDown = 2000, kKillAt = 5000, kAll = kBurst + kWhileDown;
  std::thread writer([&] {
    for (int i = 1; i <= kBurst; i += 40) {
      Append(tail, lines(i, i + 39));
      std::this_thread::sleep_for(10ms);
    }
  });
  bool stored = WaitRows("Lines", kKillAt, 60s);
  qdvp_->Signal(SIGKILL);
  EXPECT_EQ(qdvp_->Wait(), 128 + SIGKILL);
  qdvp_.reset();
  writer.join();
  ASSERT_TRUE(stored) << Count("Lines");
  Append(tail, lines(kBurst + 1, kAll));
  std::string saved = ReadFile(state + "/file.positions");
  EXPECT_NE(saved.find("\nTailApp Lines "), std::string::npos) << saved;
  EXPECT_NE(saved.find("\nOtherApp Again "), std::string::npos) << saved;

  Launch();
  WaitStarted(2);
  auto complete = [&](int total) {
    return WaitFor([&] {
      return Numbers(*peer_, "Lines").first == total && Numbers(*peer_, "Again").first == total;
    }, 60s);
  };
  ASSERT_TRUE(complete(kAll)) << Numbers(*peer_, "Lines").first << " "
                              << Numbers(*peer_, "Again").first;
  EXPECT_EQ(Occurrences(Trace(), "resumes at saved position"), 2);
  Stop();
  EXPECT_GT(Occurrences(ReadFile(peer_->Jsonl()), "stored before, not stored again"), 0)
      << "no row was sent again: the kill did not fall between two saves";
  EXPECT_EQ(Numbers(*peer_, "Lines").second, kAll);
  EXPECT_EQ(Numbers(*peer_, "Again").second, kAll);

  Append(tail, lines(kAll + 1, kAll + 100));
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
  const std::string tail = File("tail.log"), state = File("state");
  ASSERT_EQ(mkdir(state.c_str(), 0750), 0);
  extraEnv_["QDVP_STATE_DIR"] = state;
  Replace(tail, "start 0\n");
  Metafile("tail", kTail);
  Start(1);
  ASSERT_TRUE(WaitPositioned());
  constexpr int kAll = 1000;
  std::string text;
  for (int i = 1; i <= kAll; i++) text += "n " + std::to_string(i) + "\n";
  Append(tail, text);
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

}  // namespace
