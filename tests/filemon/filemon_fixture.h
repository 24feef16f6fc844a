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
inline int Occurrences(const std::string &text, const std::string &needle) {
  int n = 0;
  for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; at += needle.size()) n++;
  return n;
}

class FileMonitoring : public testing::Test {
 protected:
  void SetUp() override {
    peer_ = std::make_unique<Peer>(Strings{"--commit-ms", "0"});
    ASSERT_TRUE(peer_->Ready()) << peer_->Stderr();
    dchPort_ = peer_->port();
    mkdir(File("metafiles").c_str(), 0755);
  }
  void TearDown() override {
    Stop();
    if (peer_) peer_->Stop();
  }
  std::string File(const std::string &name) const { return dir_.File(name); }
  // Writes a metafile named name.mdl whose text may use @DIR@ for the test directory.
  void Metafile(const std::string &name, std::string text) {
    for (size_t at; (at = text.find("@DIR@")) != std::string::npos;)
      text.replace(at, 5, dir_.path());
    dir_.Write("metafiles/" + name + ".mdl", text);
    config_ += name + ".mdl\n";
  }
  // Starts the data provider and waits until every listed metafile has a file server.
  void Start(int servers) {
    Launch();
    WaitStarted(servers);
  }
  void Launch() {
    dir_.Write("qdvpinit.cfg", config_);
    unlink(File("trace.log").c_str());
    std::map<std::string, std::string> env = {{"QDVA_DCH_PORT", std::to_string(dchPort_)},
                                              {"QDVP_DCH_HOST", "127.0.0.1"},
                                              {"QDVP_HOME", dir_.path()},
                                              {"QDVP_META_PATH", File("metafiles")},
                                              {"QDVP_INIT_CONFIG_PATH", dir_.path()},
                                              {"QDVP_DPCONSOLE_PORT", std::to_string(consolePort_)},
                                              {"QDVP_DP_EVENT", "1"},
                                              {"QDVP_DP_SAMPLE_FACTOR", "2"},
                                              {"QDVP_DP_FILE_SWITCH_CHECK_INTERVAL", "1"},
                                              {"QDVP_DCH_CONNECT_RETRY_WAIT", "1"},
                                              {"QDVP_TRACE", "detail"},
                                              {"QDVP_TRACE_FILE", File("trace.log")}};
    for (const auto &[k, v] : extraEnv_) env[k] = v;
    qdvp_ = std::make_unique<qdvp_test::Child>(Strings{BinDir() + "/qdvp", "start", "file"}, env,
                                               dir_.path());
  }
  void WaitStarted(int servers) {
    ASSERT_TRUE(
        WaitFor([&] { return Occurrences(Trace(), "file server process(es) started") > 0; }, 20s))
        << qdvp_->Stderr();
    EXPECT_NE(Trace().find(std::to_string(servers) + " file server process(es) started"),
              std::string::npos);
  }
  void Stop() {
    if (!qdvp_) return;
    qdvp_->Signal(SIGTERM);
    EXPECT_EQ(qdvp_->Wait(30s), 0) << qdvp_->Stderr();
    qdvp_.reset();
  }
  std::string Trace() const { return ReadFile(File("trace.log")); }
  // How often the DP log message containing text was reported (its completed text is traced
  // whether or not the DP log's table is online).
  int Logged(const std::string &text) const {
    std::string trace = Trace(), needle = "Log Message->";
    int count = 0;
    for (size_t at = 0; (at = trace.find(needle, at)) != std::string::npos; at += needle.size())
      count += trace.substr(at, trace.find('\n', at) - at).find(text) != std::string::npos;
    return count;
  }
  // Waits until the file servers have taken their start positions count times: lines
  // appended after that are new.
  bool WaitPositioned(int count = 1) {
    return WaitFor([&] { return Occurrences(Trace(), "Initial file record count") >= count; }, 20s);
  }
  bool WaitLogged(const std::string &text, int count = 1) {
    return WaitFor([&] { return Logged(text) >= count; }, 20s);
  }
  Strings Values(const std::string &group, const std::string &attr) const {
    Strings values;
    for (auto &row :
         Query(peer_->Db(), "select json_extract(attrs,'$." + attr +
                                "') from rows where attribute_group='" + group + "' order by id"))
      values.push_back(row[0]);
    return values;
  }
  int Count(const std::string &group) const {
    return std::stoi("0" + QueryOne(peer_->Db(),
                                    "select count(*) from rows where "
                                    "attribute_group='" +
                                        group + "'"));
  }
  bool WaitRows(const std::string &group, int count) {
    return WaitFor([&] { return Count(group) >= count; }, 20s);
  }

  qdvp_test::TempDir dir_;
  std::unique_ptr<Peer> peer_;
  std::unique_ptr<qdvp_test::Child> qdvp_;
  std::string config_;
  std::map<std::string, std::string> extraEnv_;
  int consolePort_ = qdvp_test::FreePort();
  int dchPort_ = 0;
};

// An event table fed by tail.log of the test directory: a word and a number per line.
inline const char kTail[] =
    "//APPL TailApp\n//NAME Lines E\n//SOURCE FILE @DIR@/tail.log\n//ATTRIBUTES ' '\n"
    "Word D 32\nNumber C 1000000\n";

}  // namespace filemon_test
