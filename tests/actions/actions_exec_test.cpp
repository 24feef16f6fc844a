// The command of a take action: statuses, the result text, its truncation, the time limit,
// commands that leave a daemon behind, and the descriptors the command inherits.
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
#include <string>

#include "actions/qdvpexec.h"
#include "core/support/qdv0.h"
#include "include/qdvp_actions.h"
#include "tests/support/qdvptest.h"

namespace {

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

TEST(ActionCommand, StatusAndResult) {
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
}

TEST(ActionCommand, LargeOutputIsReadButNotKept) {
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

TEST(ActionCommand, TimeLimitEndsTheProcessGroup) {
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
}

TEST(ActionCommand, DaemonLeftBehindDoesNotHoldTheCommand) {
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

TEST(ActionCommand, InheritsNoSocketOfTheDataProvider) {
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
}

// Each run replaces the result of the one before; an empty parameter and no output leave none.
TEST(ActionCommand, EntryGetsStatusAndResult) {
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

}  // namespace
