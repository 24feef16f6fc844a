// The fixture of the file monitoring tests end to end: qdvp-dch as the agent, `qdvp start
// file` with the metafiles the test writes listed in its startup configuration, short scan
// intervals, and what arrived: rows of the monitored tables from the peer's database, DP log
// messages from the trace.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/dchpeer.h"
#include "tests/support/dpworld.h"
#include "tests/support/qdvptest.h"

namespace filemon_test {

using dch_test::Peer;
using dch_test::Query;
using dch_test::QueryOne;
using qdvp_test::BinDir;
using qdvp_test::ReadFile;
using qdvp_test::WaitFor;
using Strings = std::vector<std::string>;
using namespace std::chrono_literals;

inline void Append(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::app) << text;
}
inline void Replace(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::trunc) << text;
}
// Replaces the file's text in one step, so that a scan never sees it empty or half written.
inline void Rewrite(const std::string &path, const std::string &text) {
  Replace(path + ".new", text);
  std::rename((path + ".new").c_str(), path.c_str());
}
using qdvp_test::Occurrences;

// An event table fed by tail.log of the test directory: a word and a number per line.
inline const char kTail[] =
    "//APPL TailApp\n//NAME Lines E\n//SOURCE FILE @DIR@/tail.log\n//ATTRIBUTES ' '\n"
    "Word D 32\nNumber C 1000000\n";

class FileMonitoring : public qdvp_test::DataProviderWorld {
 protected:
  std::map<std::string, std::string> KindEnv() const override {
    return {{"QDVP_DP_EVENT", "1"},
            {"QDVP_DP_SAMPLE_FACTOR", "2"},
            {"QDVP_DP_FILE_SWITCH_CHECK_INTERVAL", "1"}};
  }
  // Starts the data provider and waits until every listed metafile has a file server.
  void Start(int servers) {
    Launch();
    WaitStarted(servers);
  }
  void Launch() { DataProviderWorld::Launch("file"); }
  void WaitStarted(int servers) {
    ASSERT_TRUE(
        WaitFor([&] { return Occurrences(Trace(), "file server process(es) started") > 0; }, 20s))
        << qdvp_->Stderr();
    EXPECT_NE(Trace().find(std::to_string(servers) + " file server process(es) started"),
              std::string::npos);
  }
  // tail.log holding text, monitored by kTail; its path.
  std::string Tail(const std::string &text) {
    Replace(File("tail.log"), text);
    Metafile("tail", kTail);
    return File("tail.log");
  }
  // The same with "start 0" in it and the saved positions kept in a state directory; the
  // directory.
  std::string TailWithState() {
    const std::string state = File("state");
    EXPECT_EQ(mkdir(state.c_str(), 0750), 0);
    extraEnv_["QDVP_STATE_DIR"] = state;
    Tail("start 0\n");
    return state;
  }
  // Waits until the file servers have taken their start positions count times: lines
  // appended after that are new.
  bool WaitPositioned(int count = 1) {
    return WaitFor([&] { return Occurrences(Trace(), "Initial file record count") >= count; }, 20s);
  }
};

// Lines "n from" up to "n to", one a line.
inline std::string NumberedLines(int from, int to) {
  std::string text;
  for (int i = from; i <= to; i++) text += "n " + std::to_string(i) + "\n";
  return text;
}

}  // namespace filemon_test
