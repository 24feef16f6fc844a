// The command of a take action: statuses, the result text, its truncation, the time limit,
// commands that leave a daemon behind, and the descriptors the command inherits. And take
// actions end to end: qdvp-dch sends provide-action requests from its action file to `qdvp
// start file`, and what comes back — every status and result, the ACTION rows, the action log
// — is read from the peer's database and the test directory.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "actions/qdvpexec.h"
#include "core/support/qdv0.h"
#include "include/qdvp_actions.h"
#include "tests/support/dpworld.h"
#include "tests/support/qdvptest.h"

namespace {

using namespace std::chrono_literals;
using qdvp_test::WaitFor;

struct Outcome {
  int status;
  std::string result;
  int length;
};

Outcome RunCommand(const char *line, int resultSize = 256, int timeoutSeconds = 60) {
  char *result = nullptr;
  int length = -1;
  int status = QDVP_RunActionCommandLine(line, resultSize, timeoutSeconds, &result, &length);
  Outcome outcome{status, result ? result : "", length};
  QDV0_Free(result);
  return outcome;
}

// The processes of the group that have not ended (zombies waiting for whoever reaps them
// count as ended).
int LiveMembers(pid_t group) {
  int live = 0;
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator("/proc", error)) {
    std::ifstream file(entry.path() / "stat");
    std::string stat;
    if (!std::getline(file, stat)) continue;
    size_t end = stat.rfind(')');
    if (end == std::string::npos) continue;
    char state = 0;
    int parent = 0, pgrp = 0;
    if (sscanf(stat.c_str() + end + 1, " %c %d %d", &state, &parent, &pgrp) != 3) continue;
    if (pgrp == group && state != 'Z' && state != 'X') live++;
  }
  return live;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(ActionCommand, StatusAndResultAndALargeOutputIsReadButNotKept) {
  struct Case {
    const char *line;
    int resultSize;
    int status;
    const char *result;
  } cases[] = {
      {"echo hello", 256, 0, "hello"},
      {"printf 'a\\r\\n\\nb\\n'", 256, 0, "a;b"},
      {"printf 'no line feed'", 256, 0, "no line feed"},
      {"exit 3", 256, -3, ""},
      {"false", 256, -1, ""},
      {"nosuchcommand_xyz 2>/dev/null", 256, -127, ""},
      {"echo x > /dev/null", 256, 0, ""},
      {"echo shown; echo x >/dev/null", 256, 0, ""},
      {"kill -9 $$", 256, -(128 + 9), ""},
      // Whole lines up to 12 bytes, then "...".
      {"for i in 1 2 3 4 5 6 7 8 9; do echo line$i; done", 16, 0, "line1;line2..."},
      {"printf '%040d\\n' 0; echo next", 16, 0, "000000000000..."},
      {"echo 123456789012; echo x", 16, 0, "123456789012..."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.line);
    Outcome outcome = RunCommand(c.line, c.resultSize);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.length, static_cast<int>(strlen(c.result)));
    EXPECT_LE(outcome.result.size(), static_cast<size_t>(c.resultSize - 1));
  }
  qdvp_test::TraceCapture trace;
  auto start = std::chrono::steady_clock::now();
  Outcome outcome = RunCommand("yes | head -c 100000000", 64);
  EXPECT_TRUE(trace.Contains("too large, truncated"));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_LE(outcome.result.size(), 63u);
  ASSERT_GE(outcome.result.size(), 3u);
  EXPECT_EQ(outcome.result.substr(outcome.result.size() - 3), "...");
  EXPECT_EQ(outcome.result.substr(0, 4), "y;y;");
  EXPECT_LT(SecondsSince(start), 30.0);
}

TEST(ActionCommand, TimeLimitEndsTheProcessGroupAndADaemonLeftBehindDoesNotHoldTheCommand) {
  // The second command ignores SIGTERM, so that only SIGKILL ends it.
  struct Case {
    const char *line;
    const char *before;
  } cases[] = {
      {"echo before; echo $$; sleep 30", "before;"},
      {"trap '' TERM; echo stubborn; echo $$; sleep 30", "stubborn;"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.line);
    qdvp_test::TraceCapture trace;
    auto start = std::chrono::steady_clock::now();
    Outcome outcome = RunCommand(c.line, 256, 1);
    EXPECT_TRUE(trace.Contains("timed out after 1 seconds"));
    EXPECT_LT(SecondsSince(start), 10.0);
    EXPECT_EQ(outcome.status, QDVP_ACTION_STATUS_TIMEOUT);
    ASSERT_EQ(outcome.result.rfind(c.before, 0), 0u) << outcome.result;
    pid_t group = std::stoi(outcome.result.substr(strlen(c.before)));
    ASSERT_GT(group, 1);
    // SIGKILL is on its way to every member when the call returns; none may survive it.
    EXPECT_TRUE(qdvp_test::WaitFor([&] { return LiveMembers(group) == 0; }));
  }
  // The background sleep keeps the pipe open; the command ends with the shell.
  auto start = std::chrono::steady_clock::now();
  Outcome outcome = RunCommand("sleep 30 & echo started; echo $!", 256, 20);
  EXPECT_LT(SecondsSince(start), 10.0);
  EXPECT_EQ(outcome.status, 0);
  ASSERT_EQ(outcome.result.rfind("started;", 0), 0u) << outcome.result;
  pid_t daemon = std::stoi(outcome.result.substr(strlen("started;")));
  ASSERT_GT(daemon, 1);
  EXPECT_EQ(kill(daemon, SIGKILL), 0);
}

// Each run replaces the result of the one before; an empty parameter and no output leave none.
// The command inherits no socket of the data provider.
TEST(ActionCommand, EntryGetsStatusAndResultAndTheCommandInheritsNoSocket) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);  // deliberately without SOCK_CLOEXEC
  ASSERT_GE(listener, 0);
  sockaddr_in address = qdvp_test::Loopback(0);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  // Every descriptor of the shell above 2 that is still open (the glob's own is closed by the
  // time the loop runs).
  Outcome outcome = RunCommand(
      "for f in /proc/$$/fd/*; do n=${f##*/}; "
      "if [ $n -gt 2 ] && [ -e $f ]; then readlink $f; fi; done");
  close(listener);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.result, "");

  size_t blocks = QDV0_LiveBlockCount();
  ActionEntry *entry = QDV0_New<ActionEntry>();
  ASSERT_NE(entry, nullptr);
  entry->pResult = QDV0_StrDup("an earlier result");
  const struct {
    const char *name, *parm;
    int status;
    const char *result;
  } cases[] = {
      {"echo", "one  two", 0, "one two"}, {"true", "", 0, nullptr}, {"exit", "5", -5, nullptr}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    entry->pName = QDV0_StrDup(c.name);
    entry->pParm = QDV0_StrDup(c.parm);
    EXPECT_EQ(QDVP_ExecuteActionCommand(entry), c.status);
    EXPECT_EQ(entry->Status, c.status);
    EXPECT_STREQ(entry->pResult, c.result);
    EXPECT_EQ(entry->ResultLength, c.result ? static_cast<int>(strlen(c.result)) : 0);
    QDV0_Free(entry->pName);
    QDV0_Free(entry->pParm);
  }
  QDV0_Free(entry->pResult);
  QDV0_Free(entry);
  EXPECT_EQ(QDV0_LiveBlockCount(), blocks);
}

// A command sees PATH, HOME, LANG and TZ and what QDVP_ACTION_PASS_ENV names (a name, or a
// prefix before "*"), never the data provider's settings or anything else of its environment.
TEST(ActionCommand, CommandGetsOnlyTheVariablesPassedToIt) {
  qdvp_test::EnvGuard env({{"QDVP_HTTP_PROXY_PASSWORD", "secret"},
                           {"QDVP_URL_PASSWORD", "also secret"},
                           {"SITE_TOKEN", "token"},
                           {"ORA_HOME", "/opt/ora"},
                           {"ORA_SID", "prod"},
                           {"ORACLE", "near miss"},
                           {"EXTRA", "extra"},
                           {"LANG", "C.UTF-8"},
                           {"TZ", "UTC"},
                           {"QDVP_ACTION_PASS_ENV", "ORA_*, EXTRA"}});
  const struct {
    const char *name;
    const char *value;  // null: not passed
  } cases[] = {{"QDVP_HTTP_PROXY_PASSWORD", nullptr},
               {"QDVP_URL_PASSWORD", nullptr},
               {"QDVP_ACTION_PASS_ENV", nullptr},
               {"SITE_TOKEN", nullptr},
               {"ORACLE", nullptr},
               {"ORA_HOME", "/opt/ora"},
               {"ORA_SID", "prod"},
               {"EXTRA", "extra"},
               {"LANG", "C.UTF-8"},
               {"TZ", "UTC"},
               {"PATH", getenv("PATH")},
               {"HOME", getenv("HOME")}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Outcome outcome = RunCommand((std::string("printenv ") + c.name).c_str());
    EXPECT_EQ(outcome.status, c.value ? 0 : -1);
    EXPECT_EQ(outcome.result, c.value ? c.value : "");
  }
  // Without the setting only the four are passed (and what the shell sets itself).
  env.Set("QDVP_ACTION_PASS_ENV", std::nullopt);
  Outcome outcome = RunCommand("env | cut -d= -f1 | grep -v -x -e PWD -e SHLVL -e _ | sort");
  std::string expected =
      std::string(getenv("HOME") ? "HOME;" : "") + "LANG;" + (getenv("PATH") ? "PATH;" : "") + "TZ";
  EXPECT_EQ(outcome.result, expected);
}

class Actions : public qdvp_test::DataProviderWorld {
 protected:
  Strings PeerArgs() const override { return {"--action-file", File("actions.jsonl")}; }
  std::map<std::string, std::string> KindEnv() const override {
    return {{"QDVP_ACTION_RESULT_SIZE", "32"},
            {"QDVP_ACTION_TIMEOUT", "2"},
            {"QDVP_HTTP_PROXY_PASSWORD", "secret"},
            {"QDVP_ACTION_LOG_FILENAME", File("DPACTLOG")}};
  }
  void SetUp() override {
    DataProviderWorld::SetUp();
    Launch("file");
    ASSERT_TRUE(WaitLogged("DP automation server active")) << Trace();
    ASSERT_TRUE(WaitFor([&] { return !Node().empty(); }, 20s));
  }
  // The subnode of the data provider's own DP log report, whose actions it carries out
  // itself: node ":" application, table and two characters.
  std::string Node() const { return Subnode("DPLOG", ":OMNIVARDPLOG00"); }
  std::string Action(int id, const std::string &name, const std::string &parameter = "",
                     const std::string &node = "", int type = 1) const {
    std::string line = "{\"id\":" + std::to_string(id) + ",\"type\":" + std::to_string(type) +
                       ",\"name\":\"" + name + "\",\"node\":\"" + (node.empty() ? Node() : node) +
                       "\",\"owner\":\"Sit1\"";
    if (!parameter.empty()) line += ",\"parameter\":\"" + parameter + "\"";
    return line + "}";
  }
  int Answered() const {
    return std::stoi("0" + dch_test::QueryOne(peer_->Db(),
                                              "select count(*) from actions "
                                              "where status is not null"));
  }
};

// Each kind of action gets its status and result back: a command's output, a failing
// command's negated exit status, a result cut at the result size, a command ended at the
// time limit with its output so far, an offline source, an oversized field, a type no worker
// serves, a console command a take action may not run, the reply of one it may. Fifty more
// sent with them are all answered, each with its own result.
TEST_F(Actions, EveryActionGetsItsStatusAndResult) {
  struct Case {
    int id;
    std::string line, outcome;
  };
  std::string many = "printf 'line%s\\\\n' 1 2 3 4 5 6 7 8 9";
  const std::vector<Case> cases = {
      {1, Action(1, "echo", "hello"), "0|hello"},
      {2, Action(2, "exit", "3"), "-3|NULL"},
      {3, Action(3, many), "0|line1;line2;line3;line4..."},
      {4, Action(4, "echo before; sleep 30"), "12|before"},
      {5, Action(5, "echo", "x", "nowhere"), "8|NULL"},
      {6,
       "{\"id\":6,\"name\":\"echo\",\"node\":\"" + Node() + "\",\"owner\":\"" +
           std::string(2000, 'o') + "\"}",
       "3|NULL"},
      {7, Action(7, "echo", "x", "", 9), "4|NULL"},
      {8, Action(8, "DP_CONTROL", "LIST"), "-1|"},  // then the console message's text
      {9, Action(9, "echo x > /dev/null"), "0|"},
      {10, Action(10, "DP_CONTROL", "REFRESH nosuch"), "3|"},
      // The reply of a console command is its result.
      {11, Action(11, "DP_CONTROL", "GETPORT"),
       "0|Data provider type and console port: 1 " + std::to_string(consolePort_ + 1)},
      // A command does not see the data provider's secrets.
      {12, Action(12, "printenv", "QDVP_HTTP_PROXY_PASSWORD"), "-1|NULL"},
  };
  std::vector<std::string> lines;
  for (const Case &c : cases) lines.push_back(c.line);
  for (int id = 100; id < 150; id++) lines.push_back(Action(id, "echo", std::to_string(id)));
  AppendActions(lines);
  const int sent = static_cast<int>(lines.size());
  ASSERT_TRUE(WaitFor([&] { return Answered() >= sent; }, 30s)) << Trace();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.line.substr(0, 80));
    std::string outcome = Outcome(c.id);
    if (c.line.find("DP_CONTROL") != std::string::npos && c.outcome.back() == '|') {
      EXPECT_GT(outcome.size(), c.outcome.size() + 8) << outcome;  // a console message
      outcome = outcome.substr(0, c.outcome.size());
    }
    EXPECT_EQ(outcome, c.outcome);
  }
  for (int id = 100; id < 150; id++) EXPECT_EQ(Outcome(id), "0|" + std::to_string(id));
  // Every action has its row in the ACTION table and its line in the action log.
  ASSERT_TRUE(WaitRows("ACTION", sent));
  EXPECT_EQ(dch_test::QueryOne(peer_->Db(),
                               "select json_extract(attrs,'$.Action_Result') from "
                               "rows where attribute_group='ACTION' and "
                               "json_extract(attrs,'$.Action_ID')=1"),
            "hello");
  std::string log = qdvp_test::ReadFile(File("DPACTLOG"));
  EXPECT_EQ(qdvp_test::Occurrences(log, " owner [Sit1] "), sent - 1);  // the long owner aside
  EXPECT_NE(log.find("status -3 command [exit] parameter [3]"), std::string::npos) << log;
  EXPECT_EQ(Logged("automation activity begin for command [echo] parameter [hello]"), 1);
}

// Console commands sent together go through the console one at a time, and each action gets
// its own command's code and text, the same as when it is sent alone: not the code of the
// command that ran after it while its worker waited.
TEST_F(Actions, ConsoleCommandsSentTogetherEachGetTheirOwnResult) {
  const std::vector<std::string> commands = {"IMPORT nosuchfile", "LOADCOMM", "PING", "GETPORT"};
  const std::vector<std::string> codes = {"8|", "10|", "9|", "0|"};
  std::vector<std::string> alone;
  for (size_t i = 0; i < commands.size(); i++) {
    SCOPED_TRACE(commands[i]);
    int id = 200 + static_cast<int>(i);
    AppendActions({Action(id, "DP_CONTROL", commands[i])});
    ASSERT_TRUE(WaitFor([&] { return !Outcome(id).empty(); }, 20s)) << Trace();
    alone.push_back(Outcome(id));
    EXPECT_EQ(alone.back().substr(0, codes[i].size()), codes[i]) << alone.back();
  }
  // Three rounds of the four at once.
  Strings lines;
  for (int round = 0; round < 3; round++) {
    for (size_t i = 0; i < commands.size(); i++) {
      lines.push_back(Action(300 + round * 10 + static_cast<int>(i), "DP_CONTROL", commands[i]));
    }
  }
  AppendActions(lines);
  const int sent = static_cast<int>(commands.size()) + static_cast<int>(lines.size());
  ASSERT_TRUE(WaitFor([&] { return Answered() >= sent; }, 60s)) << Trace();
  for (int round = 0; round < 3; round++) {
    for (size_t i = 0; i < commands.size(); i++) {
      SCOPED_TRACE(commands[i] + " in round " + std::to_string(round));
      EXPECT_EQ(Outcome(300 + round * 10 + static_cast<int>(i)), alone[i]);
    }
  }
}

// Actions still running when the data provider is told to end are ended and answered.
class ActionsAtShutdown : public Actions {
 protected:
  std::map<std::string, std::string> KindEnv() const override {
    return {{"QDVP_ACTION_TIMEOUT", "600"}};
  }
};

TEST_F(ActionsAtShutdown, RunningActionsAreEndedAndAnswered) {
  AppendActions({Action(21, "sleep", "60"), Action(22, "sleep", "61"), Action(23, "sleep", "62")});
  ASSERT_TRUE(WaitLogged("automation activity begin for command [sleep]", 3)) << Trace();
  auto begin = std::chrono::steady_clock::now();
  Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 20s);
  for (int id = 21; id <= 23; id++) EXPECT_EQ(Outcome(id), "12|NULL");
}

// A status the agent leaves unanswered may never have reached it: it is sent again, and the
// agent has it.
class ActionsUnanswered : public Actions {
 protected:
  Strings PeerArgs() const override {
    return {"--action-file", File("actions.jsonl"), "--no-reply", "action:1"};
  }
  std::map<std::string, std::string> KindEnv() const override {
    return {{"QDVP_DCH_REPLY_WAIT", "2"}};
  }
};

TEST_F(ActionsUnanswered, StatusIsSentAgain) {
  AppendActions({Action(41, "echo", "again")});
  ASSERT_TRUE(WaitFor([&] { return Outcome(41) == "0|again"; }, 20s)) << Trace();
  ASSERT_TRUE(WaitFor(
      [&] {
        int sent = 0;
        for (const std::string &line : dch_test::Lines(peer_->Jsonl())) {
          sent += line.find("\"dir\":\"in\"") != std::string::npos &&
                  line.find("\"action_id\":41") != std::string::npos;
        }
        return sent == 2;
      },
      20s))
      << Trace();
}

// The agent's connection slots filled with silent connections, and then the agent restarted:
// the data provider's link keeps its slot (or comes back), and after the reconnection its
// sources ask for actions again on the new connection, so an action still reaches it.
class ActionsAcrossReconnection : public Actions {
 protected:
  Strings PeerArgs() const override {
    return {
        "--action-file", File("actions.jsonl"), "--max-connections", "3", "--idle-limit-ms", "300"};
  }
  std::map<std::string, std::string> KindEnv() const override {
    return {{"QDVP_DP_EVENT", "1"}, {"QDVP_DP_SAMPLE_FACTOR", "2"}};
  }
  void SetUp() override {
    DataProviderWorld::SetUp();
    Metafile("tail",
             "//APPL TailApp\n//NAME Lines E\n//SOURCE FILE @DIR@/tail.log\n"
             "//ATTRIBUTES ' '\nWord D 32\n");
    dir_.Write("tail.log", "before\n");  // read before the start: not sent
    Launch("file");
    ASSERT_TRUE(WaitLogged("DP automation server active")) << Trace();
    ASSERT_TRUE(WaitFor([&] { return !Node().empty() && OnlineSources("Lines") == 1; }, 20s));
  }
  void Append(const std::string &line) { std::ofstream(File("tail.log"), std::ios::app) << line; }
};

TEST_F(ActionsAcrossReconnection, AnActionReachesTheDataProviderAfterTheSlotsFillAndAfterANewLink) {
  std::vector<std::unique_ptr<dch_test::Client>> silent;
  for (int i = 0; i < 4; i++) {
    silent.push_back(dch_test::Client::Tcp(dchPort_));
    ASSERT_TRUE(silent.back());
    std::this_thread::sleep_for(350ms);  // each newcomer finds the others past the idle limit
  }
  AppendActions({Action(1, "echo", "kept")});
  ASSERT_TRUE(WaitFor([&] { return Outcome(1) == "0|kept"; }, 20s)) << peer_->Stderr();

  // A new agent knows nothing of the sources that asked the old one for actions.
  StopPeer();
  StartPeer({"--action-file", File("actions.jsonl")});
  Append("after\n");
  ASSERT_TRUE(WaitFor([&] { return Values("Lines", "Word") == Strings{"after"}; }, 20s)) << Trace();
  AppendActions({Action(2, "echo", "again")});
  EXPECT_TRUE(WaitFor([&] { return Outcome(2) == "0|again"; }, 20s)) << peer_->Stderr();
}

}  // namespace
