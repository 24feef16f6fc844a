// Take actions end to end: qdvp-dch sends provide-action requests from its action file to
// `qdvp start file`, and what comes back — every status and result, the ACTION rows, the
// action log — is read from the peer's database and the test directory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/dpworld.h"

namespace {

using namespace std::chrono_literals;
using qdvp_test::WaitFor;

class Actions : public qdvp_test::DataProviderWorld {
 protected:
  Strings PeerArgs() const override { return {"--action-file", File("actions.jsonl")}; }
  std::map<std::string, std::string> KindEnv() const override {
    return {{"QDVP_ACTION_RESULT_SIZE", "32"},
            {"QDVP_ACTION_TIMEOUT", "2"},
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
                       ",\"name\":\"" + name + "\",\"node\":\"" +
                       (node.empty() ? Node() : node) + "\",\"owner\":\"Sit1\"";
    if (!parameter.empty()) line += ",\"parameter\":\"" + parameter + "\"";
    return line + "}";
  }
  int Answered() const {
    return std::stoi("0" + dch_test::QueryOne(peer_->Db(), "select count(*) from actions "
                                                           "where status is not null"));
  }
};

// Each kind of action gets its status and result back: a command's output, a failing
// command's negated exit status, a result cut at the result size, a command ended at the
// time limit with its output so far, an offline source, an oversized field, a type no worker
// serves, a console command a take action may not run. Fifty more sent with them are all
// answered, each with its own result.
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
      {6, "{\"id\":6,\"name\":\"echo\",\"node\":\"" + Node() + "\",\"owner\":\"" +
              std::string(2000, 'o') + "\"}",
       "3|NULL"},
      {7, Action(7, "echo", "x", "", 9), "4|NULL"},
      {8, Action(8, "DP_CONTROL", "LIST"), "-1|"},  // then the console message's text
      {9, Action(9, "echo x > /dev/null"), "0|"},
      {10, Action(10, "DP_CONTROL", "REFRESH nosuch"), "3|"},
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
    if (c.line.find("DP_CONTROL") != std::string::npos) {
      EXPECT_GT(outcome.size(), c.outcome.size() + 8) << outcome;  // a console message
      outcome = outcome.substr(0, c.outcome.size());
    }
    EXPECT_EQ(outcome, c.outcome);
  }
  for (int id = 100; id < 150; id++) EXPECT_EQ(Outcome(id), "0|" + std::to_string(id));
  // Every action has its row in the ACTION table and its line in the action log.
  ASSERT_TRUE(WaitRows("ACTION", sent));
  EXPECT_EQ(dch_test::QueryOne(peer_->Db(), "select json_extract(attrs,'$.Action_Result') from "
                                            "rows where attribute_group='ACTION' and "
                                            "json_extract(attrs,'$.Action_ID')=1"),
            "hello");
  std::string log = qdvp_test::ReadFile(File("DPACTLOG"));
  EXPECT_EQ(qdvp_test::Occurrences(log, " owner [Sit1] "), sent - 1);  // the long owner aside
  EXPECT_NE(log.find("status -3 command [exit] parameter [3]"), std::string::npos) << log;
  EXPECT_EQ(Logged("automation activity begin for command [echo] parameter [hello]"), 1);
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
  ASSERT_TRUE(WaitFor([&] {
    int sent = 0;
    for (const std::string &line : dch_test::Lines(peer_->Jsonl())) {
      sent += line.find("\"dir\":\"in\"") != std::string::npos &&
              line.find("\"action_id\":41") != std::string::npos;
    }
    return sent == 2;
  }, 20s)) << Trace();
}

}  // namespace
