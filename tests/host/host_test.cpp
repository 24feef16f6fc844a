// The qdvp program end to end: its commands and command-line errors (the console command's
// too), the library's exported symbols, a data provider started and stopped by signal, and a
// missing library. (A start refused because the type already runs is the console tests'
// SecondStartOfTheTypeIsRefusedWhileTheFirstRuns.)
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>

#include <set>
#include <string>

#include "tests/support/dpworld.h"

namespace qdvp_test {
namespace {

std::string Qdvp() { return BinDir() + "/qdvp"; }

// Command-line errors end with status 2 at once; a console command that no data provider
// answers (none listens, or something holds the port and stays silent) within a few seconds;
// a start without the library with status 1.
TEST(HostCommands, ExitStatusAndOutput) {
  UdpSocket silent;
  ASSERT_TRUE(silent.Bind(0));
  std::string closed = std::to_string(FreePort()), quiet = std::to_string(silent.port());
  const std::map<std::string, std::string> noLibrary = {{"QDVP_LIBRARY", "/nowhere/libqdvp.so"}};
  const struct {
    std::vector<std::string> args;
    int status;
    const char *stdoutHas, *stderrHas;
    std::map<std::string, std::string> env = {};
  } cases[] = {
      {{"version"}, 0, "QDV350 (SR1-14114611) 02-08-2002\n", ""},
      {{"--help"}, 0, "start TYPE", ""},
      {{"--help"}, 0, "console [--type TYPE | --port PORT] [--host HOST] [--raw] COMMAND", ""},
      {{"help"}, 0, "validate METAFILE", ""},
      {{}, 2, "", "usage: qdvp COMMAND"},
      {{"frobnicate"}, 2, "", "qdvp: unknown command 'frobnicate'"},
      {{"start"}, 2, "", "start needs one TYPE"},
      {{"start", "9"}, 2, "", "unknown data provider type '9'"},
      {{"start", "-1"}, 2, "", "unknown data provider type '-1'"},
      {{"start", "bogus"}, 2, "", "unknown data provider type 'bogus'"},
      {{"console"}, 2, "", "no COMMAND"},
      {{"console", "--type", "bogus", "list"}, 2, "", "unknown data provider type 'bogus'"},
      {{"console", "--type", "1", "--port", "7701", "list"}, 2, "", "not both"},
      {{"console", "--port", "99999", "list"}, 2, "", "bad port"},
      {{"console", "--frob", "list"}, 2, "", "unknown option '--frob'"},
      {{"console", "list", "a", "b"}, 2, "", "too many words"},
      {{"console", "--port", closed, "list"}, 2, "", "No data provider answered"},
      {{"console", "--port", quiet, "list"}, 2, "", "No data provider answered"},
      {{"start", "file"}, 1, "", "cannot load the data provider library", noLibrary},
      {{"start", "file"}, 1, "", "the RPC transport is not available in this build",
       {{"QDVP_DP_TRANSPORT", "R"}, {"QDVP_DPCONSOLE_PORT", closed}}},
  };
  for (const auto &c : cases) {
    std::vector<std::string> argv = {Qdvp()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::string out, err;
    auto start = std::chrono::steady_clock::now();
    int status = qdvp_test::Run(argv, c.env, &out, &err);
    std::string what = c.args.empty() ? "(none)" : c.args[0] + " " + c.stderrHas;
    EXPECT_EQ(status, c.status) << what;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << what;
    EXPECT_NE(out.find(c.stdoutHas), std::string::npos) << what << ": " << out;
    EXPECT_NE(err.find(c.stderrHas), std::string::npos) << what << ": " << err;
  }
}

TEST(HostLibrary, ExportsOnlyTheEntryPointsAndTheAnchor) {
  FILE *pipe = popen(("nm -D --defined-only -j " + BinDir() + "/libqdvp.so").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> symbols;
  char name[512];
  while (fscanf(pipe, "%511s", name) == 1) symbols.insert(name);
  pclose(pipe);
  EXPECT_EQ(symbols,
            (std::set<std::string>{"Main_DPAB", "QDVP_ConstructDPregisterBuffer",
                                   "QDVP_ImmediateDPshutdown", "QDVP_IsIndependentDPenvironment",
                                   "QDVP_SetDPprogramStart", "QDVP_StartDataProvider",
                                   "QDVP_UnpackMetafileToText", "QDVP_ValidateMetaFile"}));
}

// A data provider ends cleanly at SIGTERM and at SIGINT, here with no agent listening: the
// agent link falls back to UDP and gives up within a second. Without a startup configuration
// it loads the metafiles of its metafile directory, passing over a FIFO named like one
// (opening it would wait for a writer that never comes). Its UDP sockets are connected to
// their one peer or bound to loopback.
using HostRun = DataProviderWorld;

TEST_F(HostRun, SignalsShutTheDataProviderDownCleanly) {
  peer_->Stop();
  extraEnv_["QDVP_DCH_REPLY_WAIT"] = "1";
  mkdir(File("noconfig").c_str(), 0755);
  extraEnv_["QDVP_INIT_CONFIG_PATH"] = File("noconfig");
  ASSERT_EQ(mkfifo(File("metafiles/fifo.mdl").c_str(), 0644), 0);
  Metafile("lines", "//APPL Lines\n//NAME Words E\n//SOURCE FILE " + File("words.log") +
                        "\n//ATTRIBUTES ' '\nWord D 32\n",
           false);
  auto traced = [&](const std::string &text) { return Trace().find(text) != std::string::npos; };
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    Launch("file");
    ASSERT_TRUE(WaitFor([&] { return traced("Console service waits for console commands"); }))
        << qdvp_->Stderr();
    ASSERT_TRUE(WaitFor([&] { return traced("file server process(es) started"); }));
    std::string list;
    EXPECT_EQ(RunConsole("file", {"LIST"}, &list), 0);
    EXPECT_NE(list.find("LINES.MDL"), std::string::npos) << list;
    EXPECT_EQ(list.find("FIFO"), std::string::npos) << list;
    EXPECT_TRUE(traced("fifo.mdl is not a regular file")) << Trace().substr(0, 3000);
    // The agent link fell back to UDP: that socket is connected to the agent's port; the
    // console's is on loopback. None takes datagrams on every address.
    auto sockets = UdpSocketsOf(qdvp_->pid());
    EXPECT_GE(sockets.size(), 2u);
    for (const auto &socket : sockets) {
      SCOPED_TRACE(socket.Text());
      EXPECT_TRUE(socket.Connected() || socket.local.sin_addr.s_addr == htonl(INADDR_LOOPBACK));
    }
    qdvp_->Signal(signal);
    EXPECT_EQ(qdvp_->Wait(std::chrono::seconds(20)), 0) << qdvp_->Stderr();
    EXPECT_NE(qdvp_->Stderr().find("shutting down"), std::string::npos);
    EXPECT_TRUE(traced("Input DP Type is FILE"));
    EXPECT_TRUE(traced("Console service received shutdown request"));
    qdvp_.reset();
  }
}

}  // namespace
}  // namespace qdvp_test
