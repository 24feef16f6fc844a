// The qdvp program end to end: its commands and command-line errors (the console command's
// too), the library's exported symbols, a data provider started and stopped by signal, and a
// missing library. (A start refused because the type
// already runs is the console tests' SecondStartOfTheTypeIsRefusedWhileTheFirstRuns.)
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "tests/support/qdvptest.h"

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

// A data provider without an agent ends cleanly at SIGTERM and at SIGINT.
TEST(HostRun, SignalsShutTheDataProviderDownCleanly) {
  TempDir dir;
  mkdir(dir.File("metafiles").c_str(), 0755);
  int consolePort = FreePort();
  // The metafile directory is loaded at start-up: it holds nothing the test writes.
  const std::map<std::string, std::string> env = {
      {"QDVP_DPCONSOLE_PORT", std::to_string(consolePort - 1)},
      {"QDVP_HOME", dir.path()},
      {"QDVP_META_PATH", dir.File("metafiles")},
      {"QDVP_INIT_CONFIG_PATH", dir.path()},
      {"QDVP_TRACE", "detail"},
      {"QDVP_TRACE_FILE", dir.File("trace.log")},
      // No agent listens: the agent link falls back to UDP and gives up within a second.
      {"QDVP_DCH_HOST", "127.0.0.1"},
      {"QDVA_DCH_PORT", std::to_string(FreePort())},
      {"QDVP_DCH_REPLY_WAIT", "1"}};
  auto traceHas = [&](const std::string &text) {
    return ReadFile(dir.File("trace.log")).find(text) != std::string::npos;
  };
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    remove(dir.File("trace.log").c_str());
    Child qdvp({Qdvp(), "start", "file"}, env, dir.path());
    ASSERT_TRUE(WaitFor([&] { return traceHas("Console service waits for console commands"); }))
        << qdvp.Stderr();
    ASSERT_TRUE(WaitFor([&] { return traceHas("file server process(es) started"); }));
    qdvp.Signal(signal);
    EXPECT_EQ(qdvp.Wait(std::chrono::seconds(20)), 0) << qdvp.Stderr();
    EXPECT_NE(qdvp.Stderr().find("shutting down"), std::string::npos);
    EXPECT_TRUE(traceHas("Input DP Type is FILE"));
    EXPECT_TRUE(traceHas("Console service received shutdown request"));
  }
}

}  // namespace
}  // namespace qdvp_test
