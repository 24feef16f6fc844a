// A data provider world for end-to-end tests: qdvp-dch as the agent, `qdvp start TYPE` in a
// temporary directory with the metafiles the test writes (listed in its startup configuration
// unless said otherwise), a detail trace, and what arrived: rows from the peer's database, DP log
// messages from the trace (their completed text is traced whether or not the DP log's table is
// online). Everything it starts is stopped when the test ends.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/dchpeer.h"
#include "tests/support/qdvptest.h"

namespace qdvp_test {

inline int Occurrences(const std::string &text, const std::string &needle) {
  int n = 0;
  for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; at += needle.size()) n++;
  return n;
}

// The answer (head and body) to an HTTP request line (with its method) on a loopback port;
// "" when nothing listens there.
inline std::string HttpRequest(int port, const std::string &requestLine) {
  auto c = dch_test::Client::Tcp(port);
  if (!c || !c->Send(requestLine + " HTTP/1.0\r\n\r\n")) return "";
  return c->Read(65536, std::chrono::seconds(5));
}

class DataProviderWorld : public testing::Test {
 protected:
  using Strings = std::vector<std::string>;

  void SetUp() override {
    Strings args = {"--commit-ms", "0"};
    for (const std::string &a : PeerArgs()) args.push_back(a);
    peer_ = std::make_unique<dch_test::Peer>(args);
    ASSERT_TRUE(peer_->Ready()) << peer_->Stderr();
    dchPort_ = peer_->port();
    mkdir(File("metafiles").c_str(), 0755);
    // The data provider writes its console key here and the console programs a test runs
    // read it: the test is the operator.
    consoleKey_.Set("QDVP_CONSOLE_KEY_FILE", File("qdvpcons.key"));
  }
  // Options of a kind of test for qdvp-dch.
  virtual Strings PeerArgs() const { return {}; }
  // The settings of a kind of test, applied before extraEnv_.
  virtual std::map<std::string, std::string> KindEnv() const { return {}; }
  void TearDown() override {
    Stop();
    if (peer_) peer_->Stop();
  }
  std::string File(const std::string &name) const { return dir_.File(name); }
  // Writes a metafile named name.mdl whose text may use @DIR@ for the test directory.
  void Metafile(const std::string &name, std::string text, bool listed = true) {
    for (size_t at; (at = text.find("@DIR@")) != std::string::npos;) {
      text.replace(at, 5, dir_.path());
    }
    dir_.Write("metafiles/" + name + ".mdl", text);
    if (listed) config_ += name + ".mdl\n";
  }
  // The environment of `qdvp start`: the world's settings, then those of extraEnv_.
  std::map<std::string, std::string> Env() const {
    std::map<std::string, std::string> env = {{"QDVA_DCH_PORT", std::to_string(dchPort_)},
                                              {"QDVP_DCH_HOST", "127.0.0.1"},
                                              {"QDVP_HOME", dir_.path()},
                                              {"QDVP_META_PATH", File("metafiles")},
                                              {"QDVP_INIT_CONFIG_PATH", dir_.path()},
                                              {"QDVP_DPCONSOLE_PORT", std::to_string(consolePort_)},
                                              {"QDVP_DCH_CONNECT_RETRY_WAIT", "1"},
                                              {"QDVP_TRACE", "detail"},
                                              {"QDVP_TRACE_FILE", File("trace.log")}};
    for (const auto &[k, v] : KindEnv()) env[k] = v;
    for (const auto &[k, v] : extraEnv_) env[k] = v;
    return env;
  }
  // Starts `qdvp start type` with the startup configuration and Env().
  void Launch(const std::string &type) {
    dir_.Write("qdvpinit.cfg", config_);
    unlink(File("trace.log").c_str());
    qdvp_ = std::make_unique<Child>(Strings{BinDir() + "/qdvp", "start", type}, Env(), dir_.path());
  }
  // Stops qdvp-dch until StartPeer; its directory and database stay.
  void StopPeer() {
    peer_->Stop();
    stoppedPeers_.push_back(std::move(peer_));
  }
  // Starts qdvp-dch again on its port with its database, with options (not those of PeerArgs
  // unless given: a fault the test gave it is gone).
  void StartPeer(Strings options = {}) {
    options.insert(options.end(), {"--commit-ms", "0", "--port", std::to_string(dchPort_)});
    peer_ = std::make_unique<dch_test::Peer>(options, stoppedPeers_.front()->dir());
    ASSERT_TRUE(peer_->Ready()) << peer_->Stderr();
  }
  void RestartPeer() {
    StopPeer();
    StartPeer();
  }
  void Stop() {
    if (!qdvp_) return;
    qdvp_->Signal(SIGTERM);
    EXPECT_EQ(qdvp_->Wait(std::chrono::seconds(30)), 0) << qdvp_->Stderr();
    qdvp_.reset();
  }
  // Runs `qdvp console --type TYPE words...` as the operator, with the console port of Env();
  // returns the exit status, what it printed in *out and *err.
  int RunConsole(const std::string &type, Strings words, std::string *out = nullptr,
                 std::string *err = nullptr) const {
    words.insert(words.begin(), {BinDir() + "/qdvp", "console", "--type", type});
    return qdvp_test::Run(words, {{"QDVP_DPCONSOLE_PORT", Env().at("QDVP_DPCONSOLE_PORT")}}, out,
                          err);
  }
  std::string Trace() const { return ReadFile(File("trace.log")); }
  // How often a DP log message containing text was reported.
  int Logged(const std::string &text) const {
    std::string trace = Trace(), needle = "Log Message->";
    int count = 0;
    for (size_t at = 0; (at = trace.find(needle, at)) != std::string::npos; at += needle.size()) {
      count += trace.substr(at, trace.find('\n', at) - at).find(text) != std::string::npos;
    }
    return count;
  }
  bool WaitLogged(const std::string &text, int count = 1,
                  std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    return WaitFor([&] { return Logged(text) >= count; }, deadline);
  }
  // The values of one attribute in the rows of a table, in arrival order.
  Strings Values(const std::string &group, const std::string &attr) const {
    Strings values;
    for (auto &row : dch_test::Query(peer_->Db(), "select json_extract(attrs,'$." + attr +
                                                      "') from rows where attribute_group='" +
                                                      group + "' order by id")) {
      values.push_back(row[0]);
    }
    return values;
  }
  int Count(const std::string &group) const {
    return std::stoi("0" + dch_test::QueryOne(peer_->Db(),
                                              "select count(*) from rows where "
                                              "attribute_group='" +
                                                  group + "'"));
  }
  bool WaitRows(const std::string &group, int count,
                std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    return WaitFor([&] { return Count(group) >= count; }, deadline);
  }
  // Sources of a table that are online at the agent.
  int OnlineSources(const std::string &group) const {
    return std::stoi("0" + dch_test::QueryOne(peer_->Db(),
                                              "select count(*) from sources where "
                                              "attribute_group='" +
                                                  group + "' and offline_at is null"));
  }

  // Appends lines to the action file of a peer started with --action-file File("actions.jsonl").
  void AppendActions(const Strings &lines) const {
    std::ofstream out(File("actions.jsonl"), std::ios::app);
    for (const std::string &line : lines) out << line << "\n";
  }
  // The answer to an action as "status|result" (the one of that name, when given), "" before
  // it comes.
  std::string Outcome(int id, const std::string &name = "") const {
    auto rows = dch_test::Query(
        peer_->Db(), "select status, result from actions where id=" + std::to_string(id) +
                         (name.empty() ? "" : " and name='" + name + "'") +
                         " and status is not null");
    return rows.empty() ? "" : rows[0][0] + "|" + rows[0][1];
  }
  // The subnode of a table's online source: the source, then suffix; "" while there is none.
  std::string Subnode(const std::string &group, const std::string &suffix) const {
    std::string node = dch_test::QueryOne(peer_->Db(),
                                          "select source from sources where "
                                          "attribute_group='" +
                                              group + "' and offline_at is null");
    return node.empty() ? node : node + suffix;
  }

  TempDir dir_;
  // Peers stopped by StopPeer: the first owns the directory the later ones use.
  std::vector<std::unique_ptr<dch_test::Peer>> stoppedPeers_;
  std::unique_ptr<dch_test::Peer> peer_;
  std::unique_ptr<Child> qdvp_;
  std::string config_;
  std::map<std::string, std::string> extraEnv_;
  int consolePort_ = FreePort();
  int dchPort_ = 0;  // the agent's port, kept for an agent started again
  EnvGuard consoleKey_;
};

}  // namespace qdvp_test
