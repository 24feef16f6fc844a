// The qdvp program end to end: its commands, their --help and exit statuses, the version of
// both programs, the library's exported symbols, bad settings that stop a start, the
// configuration check, the settings of an installed data provider, and a data provider that
// starts while its agent is away and is stopped by signal. (A start refused because the type
// already runs is the console tests' SecondStartOfTheTypeIsRefusedWhileTheFirstRuns.)
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>

#include <filesystem>
#include <future>
#include <set>
#include <string>

#include "tests/support/dpworld.h"

namespace qdvp_test {
namespace {

namespace fs = std::filesystem;

std::string Qdvp() { return BinDir() + "/qdvp"; }
const std::string kVersion = QDVP_PACKAGE_VERSION;

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
      {{"version"}, 0, "qdvp ", ""},
      {{"--version"}, 0, "qdvp ", ""},
      {{"--help"}, 0, "start ", ""},
      {{"--help"}, 0, "console                     send one console command", ""},
      {{"help"}, 0, "validate ", ""},
      {{}, 2, "", "A subcommand is required"},
      {{"frobnicate"}, 2, "", "qdvp: unknown command 'frobnicate'"},
      {{"start"}, 2, "", "TYPE is required"},
      {{"start", "9"}, 2, "", "unknown data provider type '9'"},
      {{"start", "bogus"}, 2, "", "unknown data provider type 'bogus'"},
      {{"start", "file", "extra"}, 2, "", "extra"},
      {{"check", "bogus"}, 2, "", "unknown data provider type 'bogus'"},
      {{"validate"}, 2, "", "METAFILE is required"},
      {{"console"}, 2, "", "COMMAND is required"},
      {{"console", "--type", "bogus", "list"}, 2, "", "unknown data provider type 'bogus'"},
      {{"console", "--type", "1", "--port", "7701", "list"}, 2, "", "excludes"},
      {{"console", "--port", "99999", "list"}, 2, "", "99999"},
      {{"console", "--frob", "list"}, 2, "", "--frob"},
      {{"console", "list", "a", "b"}, 2, "", "b"},
      {{"console", "--port", closed, "list"}, 2, "", "No data provider answered"},
      {{"console", "--port", quiet, "list"}, 2, "", "No data provider answered"},
      {{"post"}, 2, "", "TEXT is required"},
      {{"post", "--port", "0", "x"}, 2, "", "--port"},
      {{"start", "file"}, 1, "", "cannot load the data provider library", noLibrary},
      {{"start", "file"},
       1,
       "",
       "the RPC transport is not available in this build",
       {{"QDVP_DP_TRANSPORT", "R"}, {"QDVP_DPCONSOLE_PORT", closed}}},
  };
  for (const auto &c : cases) {
    std::vector<std::string> argv = {Qdvp()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::string out, err;
    auto start = std::chrono::steady_clock::now();
    int status = qdvp_test::Run(argv, c.env, &out, &err);
    std::string what = c.args.empty() ? "(none)" : c.args[0] + " " + c.stderrHas;
    SCOPED_TRACE(what);
    EXPECT_EQ(status, c.status);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_NE(out.find(c.stdoutHas), std::string::npos) << out;
    EXPECT_NE(err.find(c.stderrHas), std::string::npos) << err;
  }
}

// Every command explains itself, and both programs say which package they are from.
TEST(HostCommands, EveryCommandHasItsHelpAndBothProgramsTheirVersion) {
  for (const char *command :
       {"start", "check", "validate", "unpack", "encipher", "console", "post", "version"}) {
    SCOPED_TRACE(command);
    std::string out, err;
    EXPECT_EQ(qdvp_test::Run({Qdvp(), command, "--help"}, {}, &out, &err), 0) << err;
    EXPECT_NE(out.find(std::string("Usage: qdvp ") + command), std::string::npos) << out;
  }
  for (const std::vector<std::string> &argv : {std::vector<std::string>{Qdvp(), "--version"},
                                               {Qdvp(), "version"},
                                               {BinDir() + "/qdvp-dch", "--version"}}) {
    std::string out;
    EXPECT_EQ(qdvp_test::Run(argv, {}, &out), 0) << argv[0];
    std::string program = argv[0].substr(argv[0].find_last_of('/') + 1);
    EXPECT_EQ(out, program + " " + kVersion + "\n");
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

// A value that is no number, port, address or word of its variable stops the start at once,
// exit status 1, with an error line that names the variable and the value (before, a console
// port of 99999 listened on 34464, a port "abc" or a trace word "verbose" said nothing). The
// product specification's ports, offset and flags too; the console and post commands compute
// their ports by the same rules.
TEST(HostSettings, ABadValueStopsTheStartWithALineNamingIt) {
  TempDir dir;
  const struct {
    std::string name, value;
  } values[] = {
      {"QDVP_DPCONSOLE_PORT", "99999"},   {"QDVP_METRICS_PORT", "abc"},
      {"QDVP_BIND_ADDRESS", "localhost"}, {"QDVP_BIND_ADDRESS", "::1"},
      {"QDVA_DCH_PORT", "x7900"},         {"QDVP_TRACE", "verbose"},
      {"QDVP_DCH_REPLY_WAIT", "abc"},     {"QDVP_DP_EVENT", "15s"},
      {"QDVP_BATCH_MODE_PROCESS", "1"},   {"QDVP_TCP_DISCONNECT_BY_TTL", "y"},
      {"QDVP_DCH_WINDOW", "5000"},        {"QDVP_TRAP_DESTINATION", "host1:99999"},
      {"QDVP_FOLLOW_SYMLINKS", "maybe"},  {"QDVP_SPIN_WAIT_US", "fast"},
      {"QDVP_POST_CATEGORY", "nonsense"},
  };
  for (const auto &v : values) {
    SCOPED_TRACE(v.name + "=" + v.value);
    std::string out, err;
    EXPECT_EQ(qdvp_test::Run({Qdvp(), "start", "file"}, {{v.name, v.value}}, &out, &err), 1);
    EXPECT_NE(err.find("<3>qdvp: " + v.name + "=" + v.value + " is not "), std::string::npos)
        << err;
  }
  const struct {
    std::string line, says;
  } items[] = {
      {"DP_PORT_OFFSET=abc", "line 2: DP_PORT_OFFSET=abc is not a number from -7499 to 57727"},
      {"DCH_PORT_NUMBER=70000", "line 2: DCH_PORT_NUMBER=70000 is not a port"},
      {"ENABLE_DPLOG=maybe", "line 2: ENABLE_DPLOG=maybe is not a flag"},
  };
  for (const auto &i : items) {
    SCOPED_TRACE(i.line);
    std::string spec = dir.Write("product.cfg", "# site\n" + i.line + "\n");
    std::string out, err;
    EXPECT_EQ(qdvp_test::Run({Qdvp(), "start", "file"}, {{"QDVP_PRODUCT_SPEC", spec}}, &out, &err),
              1);
    EXPECT_NE(err.find("<3>qdvp: product specification " + spec + " " + i.says), std::string::npos)
        << err;
  }
  std::string out, err;
  EXPECT_EQ(
      qdvp_test::Run({Qdvp(), "console", "list"}, {{"QDVP_DPCONSOLE_PORT", "99999"}}, &out, &err),
      2);
  EXPECT_NE(err.find("qdvp console: QDVP_DPCONSOLE_PORT=99999 is not a port base"),
            std::string::npos)
      << err;
  EXPECT_EQ(qdvp_test::Run({Qdvp(), "post", "hello"}, {{"QDVP_POST_DP_PORT", "abc"}}, &out, &err),
            2);
  EXPECT_NE(err.find("qdvp post: QDVP_POST_DP_PORT=abc is not a port"), std::string::npos) << err;
}

// qdvp check: one line per finding, exit status 1 with any error, 0 with warnings only. The
// same rules as the start judge the environment; the metafiles of the startup configuration
// are validated; the ports the type binds and the agent are tried; the installed service's
// settings (QDVP_CONFIG_DIR/qdvp.env, then TYPE.env) fill in what the environment lacks.
TEST(HostCheck, OneLinePerFindingAndAnErrorFailsIt) {
  TempDir dir;
  dch_test::Peer agent({"--commit-ms", "0"});
  ASSERT_TRUE(agent.Ready()) << agent.Stderr();
  mkdir(dir.File("metafiles").c_str(), 0755);
  dir.Write("metafiles/good.mdl", "//APPL Good\n//NAME T E\n//SOURCE FILE " + dir.File("log") +
                                      "\n//ATTRIBUTES\n"
                                      "Line Z 100\n");
  dir.Write("metafiles/bad.mdl", "//APPL Bad\n");
  dir.Write("installed/file.env",
            "# the service's settings\nQDVP_META_PATH=" + dir.File("gone") + "\n");
  const std::string agentPort = std::to_string(agent.port()), closed = std::to_string(FreePort());
  const std::map<std::string, std::string> base = {
      {"QDVP_HOME", dir.path()},
      {"QDVP_META_PATH", dir.File("metafiles")},
      {"QDVP_INIT_CONFIG_PATH", dir.path()},
      {"QDVP_DPCONSOLE_PORT", std::to_string(FreePort())},
      {"QDVP_DCH_HOST", "127.0.0.1"},
      {"QDVA_DCH_PORT", agentPort}};
  const struct {
    std::string config;  // the startup configuration
    std::map<std::string, std::string> env;
    int status;
    std::vector<std::string> lines;
  } cases[] = {
      {"good.mdl\n",
       {{"QDVP_TRACE", "detail,flow"},
        {"QDVP_BIND_ADDRESS", "127.0.0.1"},
        {"QDVP_TCP_DISCONNECT_BY_TTL", "N"}},
       0,
       {"ok      environment: every number, port, address and word is good\n",
        "ok      startup configuration " + dir.File("qdvpinit.cfg") + ": 1 metafile(s)\n",
        "ok      metafile good.mdl is valid\n",
        "ok      the agent at 127.0.0.1 port " + agentPort + " takes a TCP connection\n",
        "warning QDVP_TRACE is set but QDVP_TRACE_FILE is not: nothing is traced\n",
        "qdvp check: 0 error(s), 1 warning(s)\n"}},
      {"good.mdl bad.mdl\n",
       {{"QDVA_DCH_PORT", closed}},
       1,
       {"ok      metafile good.mdl is valid\n", "error   metafile bad.mdl is not valid:\n",
        "warning the agent at 127.0.0.1 port " + closed + " does not take a TCP connection"}},
      {"good.mdl\n",
       {{"QDVP_METRICS_PORT", agentPort}},
       1,
       {"error   metrics page port " + agentPort + "/tcp on 127.0.0.1 cannot be bound"}},
      {"good.mdl\n",
       {{"QDVP_DCH_WINDOW", "5000"}},
       1,
       {"error   QDVP_DCH_WINDOW=5000 is not a number from 0 to 4096\n",
        "qdvp check: 1 error(s), 0 warning(s)\n"}},
      {"good.mdl\n",
       {{"QDVP_META_PATH", ""}, {"QDVP_CONFIG_DIR", dir.File("installed")}},
       1,
       {"ok      settings read from " + dir.File("installed/file.env") + "\n",
        "error   the metafile directory " + dir.File("gone") +
            " (QDVP_META_PATH) does not exist\n"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.config + " " + c.env.begin()->first);
    dir.Write("qdvpinit.cfg", c.config);
    std::map<std::string, std::string> env = base;
    for (const auto &[k, v] : c.env) env[k] = v;
    std::string out, err;
    EXPECT_EQ(qdvp_test::Run({Qdvp(), "check", "file"}, env, &out, &err), c.status) << out << err;
    for (const std::string &line : c.lines) EXPECT_NE(out.find(line), std::string::npos) << out;
  }
  // Nothing was written: no report, no key, no trace.
  EXPECT_FALSE(fs::exists(dir.File("metafiles/good.rpt")));
  EXPECT_FALSE(fs::exists(dir.File("qdvpcons.key")));
}

// qdvp validate takes a name that exists as typed for that file (it was looked for in the
// metafile directory only, and "not found"), and names the directory it searched when there
// is none; --report-dir puts the report elsewhere than beside the metafile.
TEST(HostValidate, ANameAsTypedIsThatFileAndTheReportGoesWhereItMay) {
  TempDir work, meta, reports;
  work.Write("weblog.mdl", "//APPL Web\n//NAME T E\n//SOURCE FILE /tmp/x\n//ATTRIBUTES\nL Z 9\n");
  const std::map<std::string, std::string> env = {{"QDVP_META_PATH", meta.path()}};
  Child typed({Qdvp(), "validate", "./weblog.mdl"}, env, work.path());
  EXPECT_EQ(typed.Wait(), 0) << typed.Stdout() << typed.Stderr();
  EXPECT_NE(typed.Stdout().find("QDVPV00I"), std::string::npos);
  EXPECT_TRUE(fs::exists(work.File("weblog.rpt")));
  Child missing({Qdvp(), "validate", "./other.mdl"}, env, work.path());
  EXPECT_EQ(missing.Wait(), 1);
  EXPECT_NE(missing.Stderr().find("./other.mdl is no file here, nor in the metafile directory " +
                                  meta.path() + " (QDVP_META_PATH)"),
            std::string::npos)
      << missing.Stderr();
  Child elsewhere({Qdvp(), "validate", "--report-dir", reports.path(), "weblog.mdl"}, env,
                  work.path());
  EXPECT_EQ(elsewhere.Wait(), 0) << elsewhere.Stdout();
  EXPECT_TRUE(fs::exists(reports.File("weblog.rpt")));
}

// A data provider whose agent is not there yet: it says so on standard error at once, naming
// the agent's address; its metrics page answers meanwhile (not up, no agent, UDP); a SIGTERM while
// an application waits for its registration ends it cleanly without QDVPV10E (the agent never said
// the application was known). Then, with a short reply wait, SIGTERM and SIGINT end a data provider
// that got past the start without its agent, whose messages reached standard error with their
// priorities all the same. Without a startup configuration it loads the metafiles of its
// metafile directory, passing over a FIFO named like one (opening it would wait for a writer
// that never comes); its UDP sockets are connected to their one peer or bound to loopback.
using HostRun = DataProviderWorld;

TEST_F(HostRun, WithoutItsAgentADataProviderSaysSoServesItsPageAndEndsCleanly) {
  peer_->Stop();
  const int metrics = FreePort();
  extraEnv_["QDVP_METRICS_PORT"] = std::to_string(metrics);
  // Long enough for the signal to come while the application's registration waits.
  extraEnv_["QDVP_DCH_REPLY_WAIT"] = "8";
  Metafile("app", "//APPL App\n//NAME T E\n//SOURCE FILE @DIR@/app.log\n//ATTRIBUTES\nL Z 9\n");
  Launch("file");
  std::string agentLine = "<4>qdvp: the agent at 127.0.0.1 port " + std::to_string(dchPort_) +
                          " (QDVP_DCH_HOST, QDVA_DCH_PORT) does not take a TCP connection";
  EXPECT_TRUE(WaitFor([&] { return qdvp_->Stderr().find(agentLine) != std::string::npos; }))
      << qdvp_->Stderr();
  std::string page;
  EXPECT_TRUE(WaitFor([&] {
    page = HttpRequest(metrics, "GET /metrics");
    return page.rfind("HTTP/1.0 200 OK", 0) == 0;
  }));
  for (const char *line : {"qdvp_up 0\n", "qdvp_agent_connected 0\n", "qdvp_agent_udp 1\n"}) {
    EXPECT_NE(page.find(line), std::string::npos) << page;
  }
  ASSERT_TRUE(
      WaitFor([&] { return Trace().find("Loading metafile <app.mdl>") != std::string::npos; },
              std::chrono::seconds(60)));
  qdvp_->Signal(SIGTERM);
  EXPECT_EQ(qdvp_->Wait(std::chrono::seconds(60)), 0) << qdvp_->Stderr();
  EXPECT_EQ(qdvp_->Stdout().find("QDVPV10E"), std::string::npos) << qdvp_->Stdout();
  EXPECT_NE(qdvp_->Stderr().find("<5>qdvp: Terminated received, shutting down"), std::string::npos);
  qdvp_.reset();

  extraEnv_["QDVP_DCH_REPLY_WAIT"] = "1";
  mkdir(File("noconfig").c_str(), 0755);
  extraEnv_["QDVP_INIT_CONFIG_PATH"] = File("noconfig");
  ASSERT_EQ(mkfifo(File("metafiles/fifo.mdl").c_str(), 0644), 0);
  Metafile("lines",
           "//APPL Lines\n//NAME Words E\n//SOURCE FILE " + File("words.log") +
               "\n//ATTRIBUTES ' '\nWord D 32\n",
           false);
  auto traced = [&](const std::string &text) { return Trace().find(text) != std::string::npos; };
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    Launch("file");
    ASSERT_TRUE(WaitFor([&] { return traced("Console service waits for console commands"); },
                        std::chrono::seconds(60)))
        << qdvp_->Stderr();
    ASSERT_TRUE(WaitFor([&] { return traced("file server process(es) started"); }));
    ASSERT_TRUE(WaitFor([&] {
      return qdvp_->Stderr().find("<6>SYSTEM   DP ready\n") != std::string::npos;
    })) << qdvp_->Stderr();
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

// The metrics page while rows flow: the rows sent and the one the agent refused, the link up
// over TCP, qdvp_up 1; an agent that was restarted counts as a reconnect. HEAD gives the head
// alone, with the length of the page, and a query string is ignored.
TEST_F(HostRun, TheMetricsPageCountsRowsRefusalsAndReconnects) {
  StopPeer();
  StartPeer({"--fail", "data:5:1:1"});  // the second data row is refused
  const int metrics = FreePort();
  extraEnv_["QDVP_METRICS_PORT"] = std::to_string(metrics);
  extraEnv_["QDVP_DP_EVENT"] = "1";
  std::string log = dir_.Write("app.log", "");
  Metafile("app", "//APPL App\n//NAME T E\n//SOURCE FILE @DIR@/app.log\n//ATTRIBUTES\nL Z 9\n");
  Launch("file");
  ASSERT_TRUE(WaitFor([&] {
    return qdvp_->Stderr().find("<6>SYSTEM   DP ready\n") != std::string::npos;
  })) << qdvp_->Stderr();
  auto append = [&](const std::string &lines) {
    std::ofstream out(log, std::ios::app);
    out << lines;
  };
  append("a\nb\nc\n");
  ASSERT_TRUE(WaitRows("T", 2));
  std::string page = HttpRequest(metrics, "GET /metrics?from=test");
  for (const char *line : {"HTTP/1.0 200 OK\r\n", "\nqdvp_up 1\n", "\nqdvp_agent_connected 1\n",
                           "\nqdvp_agent_udp 0\n", "\nqdvp_rows_refused_total 1\n",
                           "\nqdvp_agent_reconnects_total 0\n"}) {
    EXPECT_NE(page.find(line), std::string::npos) << line << page;
  }
  size_t at = page.find("\nqdvp_rows_sent_total ");
  ASSERT_NE(at, std::string::npos) << page;
  EXPECT_GE(std::stoi(page.substr(at + 22)), 3) << page;
  std::string head = HttpRequest(metrics, "HEAD /metrics");
  EXPECT_EQ(head.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << head;
  EXPECT_NE(head.find("Content-Length: "), std::string::npos) << head;
  EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n") << head;
  EXPECT_EQ(HttpRequest(metrics, "GET /other").rfind("HTTP/1.0 404", 0), 0u);

  RestartPeer();
  append("d\n");
  ASSERT_TRUE(
      WaitFor([&] { return Values("T", "L").size() >= 3 && Values("T", "L").back() == "d"; },
              std::chrono::seconds(30)));
  page = HttpRequest(metrics, "GET /metrics");
  EXPECT_NE(page.find("\nqdvp_agent_reconnects_total 1\n"), std::string::npos) << page;
  EXPECT_NE(page.find("\nqdvp_agent_connected 1\n"), std::string::npos) << page;
}

// qdvp console from an operator's shell reads the installed service's settings: here the
// product specification that qdvp.env names, whose port offset moves the console port.
TEST(HostSettings, TheConsoleReadsTheInstalledSettingsForWhatTheEnvironmentLacks) {
  TempDir dir;
  UdpSocket console;
  ASSERT_TRUE(console.Bind(0));
  int offset = console.port() - 7701;
  std::string spec = dir.Write("product.cfg", "DP_PORT_OFFSET=" + std::to_string(offset) + "\n");
  dir.Write("qdvp.env", "QDVP_PRODUCT_SPEC=" + spec + "\n");
  auto run = std::async(std::launch::async, [&] {
    std::string out;
    return qdvp_test::Run({Qdvp(), "console", "--type", "file", "getport"},
                          {{"QDVP_CONFIG_DIR", dir.path()}}, &out);
  });
  auto datagram = console.Receive(std::chrono::seconds(10));
  ASSERT_TRUE(datagram.has_value());
  EXPECT_NE(datagram->find("getport"), std::string::npos) << *datagram;
  EXPECT_EQ(run.get(), 2);  // nobody answers: no data provider there
}

}  // namespace
}  // namespace qdvp_test
