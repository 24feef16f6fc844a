// The real qdvp-dch on loopback: a scripted data provider registers, goes online, sends rows,
// goes offline and unregisters, and the tests read the peer's database and message log. Also
// fault injection (and the order in which its counted rules are used up), UDP-only mode, take
// actions, restarts, bad input and SIGTERM.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "include/qdvp_agentlink.h"
#include "tests/support/dchpeer.h"
#include "tools/dch/dchdecode.h"
#include "tools/dch/dchfault.h"

using namespace dch_test;
using qdvp_test::WaitFor;

namespace {

const char *kDescriptions = "@$Busy,G,4, , ;Name,D,32,ENUM{a,b},the name;Cnt,C,2, ,count;";

// Asks for work as a data provider does and returns the action the peer sends after its reply
// as "request wait-code node name parameter owner id" ("-" for a missing parameter).
std::string WaitForAction(Client &c, uint16_t code, const std::string &source) {
  auto r = c.Call(Msg(QDVP_REQ_DP_WAIT_FOR_ACTION)
                      .U16(QDVP_FIELD_WAIT_CODE, code)
                      .Text(QDVP_FIELD_SOURCE_NAME, source)
                      .Bytes());
  EXPECT_TRUE(r && r->status == 0);
  auto action = c.ReadMessage();
  qdvp_dch::DchMessage m;
  if (!action || qdvp_dch::DchDecodeMessage(reinterpret_cast<const unsigned char *>(action->data()),
                                            action->size(), &m) != 0)
    return "no action";
  return std::to_string(m.request.value_or(0)) + " " + std::to_string(m.waitCode.value_or(0)) +
         " " + m.source + " " + m.actionName.value_or("") + " " + m.actionParameter.value_or("-") +
         " " + m.actionOwner.value_or("") + " " + std::to_string(m.actionId.value_or(0));
}

std::vector<nlohmann::json> JsonLines(const std::string &path) {
  std::vector<nlohmann::json> out;
  for (const auto &line : Lines(path)) out.push_back(nlohmann::json::parse(line, nullptr, false));
  return out;
}

TEST(dch_Process, FullLifecycleIsStoredInTheDatabaseAndTheMessageLog) {
  Peer peer;
  ASSERT_TRUE(peer.Ready()) << peer.Stderr();
  auto c = Client::Tcp(peer.port());
  ASSERT_TRUE(c);
  uint32_t h = GoOnline(*c, kDescriptions);
  EXPECT_EQ(c->Call(RegisterMsg("App", "T", kDescriptions))->status, 0);   // answered again
  EXPECT_EQ(c->Call(OnlineMsg("App", "T", "s1"))->handle.value_or(0), h);  // same source
  std::string row = Msg(QDVP_REQ_DP_DATA)
                        .U32(QDVP_FIELD_DCH_HANDLE, h)
                        .U16(QDVP_FIELD_DATA_SEQUENCE, 1)
                        .Value("Busy", 'G', Be32(static_cast<uint32_t>(-5)))
                        .Value("Name", 'D', "alpha")
                        .Value("Cnt", 'C', Unhex("012C"))
                        .Bytes();
  ASSERT_EQ(c->Call(row)->status, 0);
  ASSERT_EQ(c->Call(DataMsg(h, 16, "Busy", 7))->status, 0);
  ASSERT_EQ(c->Call(OfflineMsg(h))->status, 0);
  ASSERT_EQ(c->Call(UnregisterMsg("App"))->status, 0);

  std::string db = peer.Db();
  ASSERT_TRUE(WaitFor([&] { return QueryOne(db, "SELECT count(*) FROM rows") == "2"; }));
  auto rows = [&db](const std::string &sql) {  // "a|b;c|d"
    std::string text;
    for (const auto &row : Query(db, sql)) {
      for (const auto &column : row) text += column + "|";
      text.back() = ';';
    }
    return text;
  };
  EXPECT_EQ(rows("SELECT name, help, registrations, unregistered_at NOTNULL FROM applications"),
            "App|App help|2|1;");
  EXPECT_EQ(rows("SELECT application, name, type, ttl, help FROM attribute_groups"),
            "App|T|P|300|T help;");
  EXPECT_EQ(rows("SELECT name, type, size, key, atomic, enum, help, position FROM attributes "
                 "ORDER BY position"),
            "Busy|G|4|1|1|||0;Name|D|32|0|0|ENUM{a,b}|the name|1;Cnt|C|2|0|0||count|2;");
  EXPECT_EQ(rows("SELECT handle, application, attribute_group, source, offline_at NOTNULL "
                 "FROM sources"),
            std::to_string(h) + "|App|T|s1|1;");
  EXPECT_EQ(rows("SELECT application, attribute_group, source, data_sequence, attrs FROM rows"),
            "App|T|s1|1|{\"Busy\":-5,\"Name\":\"alpha\",\"Cnt\":300};App|T|s1|16|{\"Busy\":7};");

  // Every message in both directions, decoded.
  ASSERT_TRUE(WaitFor([&] { return JsonLines(peer.Jsonl()).size() >= 16; }));
  std::string seen;
  for (const auto &j : JsonLines(peer.Jsonl())) {
    ASSERT_FALSE(j.is_discarded());
    if (j["dir"] == "out") seen += "<" + std::to_string(j["status"].get<int>()) + " ";
    if (j["dir"] == "in") seen += j["request"].get<std::string>() + " ";
    if (j["dir"] == "in" && j["request"] == "data" && j["data_sequence"] == 1)
      seen += std::to_string(j["handle"].get<uint32_t>() == h) + j["attrs"].dump() + " ";
  }
  EXPECT_EQ(seen,
            "register <0 online <0 register <0 online <0 data 1{\"Busy\":-5,\"Cnt\":300,\"Name\":"
            "\"alpha\"} <0 data <0 offline <0 unregister <0 ");
}

// Rules as "option=value" words, and the decisions for requests of a kind as "kind:decision":
// the status, then "-" when no reply goes out, "+delay" and "*" when a rule was used up. Then
// values that are refused.
TEST(dch_FaultRules, RulesAreUsedUpInOrderAndMalformedValuesRefused) {
  using namespace qdvp_dch;
  const char *const cases[][2] = {
      {"fail=online:7 fail=online:4:2", "online:7* data:0 online:4* online:4* online:0"},
      // no-reply comes before fail, and all means every one
      {"no-reply=data fail=data:-9:all", "data:0-* data:-9* data:-9* data:-9*"},
      {"delay=wait:250", "wait:0+250 wait:0+250 register:0"},
      // AFTER lets that many requests of the kind pass first
      {"fail=data:2:1:2", "data:0 data:0 data:2* data:0"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c[0]);
    DchFaultPlan plan;
    std::string error, word;
    for (std::istringstream rules(c[0]); rules >> word;) {
      std::string option = word.substr(0, word.find('=')), value = word.substr(option.size() + 1);
      ASSERT_TRUE(option == "fail"    ? plan.AddFail(value, &error)
                  : option == "delay" ? plan.AddDelay(value, &error)
                                      : plan.AddNoReply(value, &error))
          << error;
    }
    for (std::istringstream requests(c[1]); requests >> word;) {
      std::string name = word.substr(0, word.find(':'));
      int kind = 0;
      while (kind < kKindCount && name != DchKindName(static_cast<DchKind>(kind))) kind++;
      DchFaultDecision d = plan.Next(static_cast<DchKind>(kind));
      EXPECT_EQ(name + ":" + std::to_string(d.status) + (d.reply ? "" : "-") +
                    (d.delayMs ? "+" + std::to_string(d.delayMs) : "") + (d.injected ? "*" : ""),
                word);
    }
  }
  DchFaultPlan plan;
  std::string error;
  for (const char *bad : {"", "online", "bogus:7", "online:x", "online:7:0", "online:7:1:x",
                          "online:7:1:2:3", "data:99999999999"}) {
    EXPECT_FALSE(plan.AddFail(bad, &error)) << bad;
  }
  EXPECT_FALSE(plan.AddDelay("data", &error));
  EXPECT_FALSE(plan.AddDelay("data:-1", &error));
  EXPECT_FALSE(plan.AddNoReply("data:0", &error));
  EXPECT_FALSE(plan.AddNoReply("nothing", &error));
}

// Options of the real peer, one script per row. Script words: O<s> bring source s1 online and
// expect status s; C<v>=<s> call with a row Busy=v and expect status s; S<v> send a row without
// waiting; P<v> send rows v and v+1 in one send; H<v> send a row in two pieces; R<s> read a
// reply of status s; X the peer closes the connection; N connect again (over UDP: a second
// sender); T<ms> the word before took at least ms milliseconds; Q<n> n rows are committed.
// Then the peer stops (committing what it received) and the stored rows are compared.
TEST(dch_Process, OptionsAndFaultsAreAppliedInOrder) {
  struct {
    std::vector<std::string> options;
    const char *script, *rows;
  } const cases[] = {
      {{}, "O0 P1 R0 R0 C3=0", "1,2,3"},
      {{"--fail", "online:7"}, "O7 O0 C1=0", "1"},
      {{"--delay", "online:300"}, "O0 T290 C1=0", "1"},
      {{"--no-reply", "data", "--fail", "data:9"}, "O0 S1 S2 R9 C3=0", "1,3"},
      {{"--drop-after", "2"}, "O0 C1=0 C2=0 X N C3=0", "1,2,3"},
      {{"--drop-after", "1", "--delay", "data:150"}, "O0 S1 S2 R0 X", "1"},
      {{"--udp-only"}, "O0 C42=0 H43 R0 N C44=0", "42,43,44"},
      // A reply waits for the commit of what it answers.
      {{"--commit-ms", "300"}, "O0 C1=0 T290 Q1", "1"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.script);
    Peer peer(c.options);
    ASSERT_TRUE(peer.Ready());
    bool udp = !c.options.empty() && c.options[0] == "--udp-only";
    auto connect = [&] { return udp ? Client::Udp(peer.port()) : Client::Tcp(peer.port()); };
    EXPECT_NE(peer.Stderr().find("qdvp-dch listening on 127.0.0.1:" + std::to_string(peer.port()) +
                                 (udp ? " (udp)" : " (tcp+udp)")),
              std::string::npos);
    EXPECT_EQ(Client::Tcp(peer.port()) == nullptr, udp);
    auto client = connect();
    ASSERT_EQ(client->Call(RegisterMsg("App", "T", kDescriptions))->status, 0);
    uint32_t h = 0;
    std::istringstream words(c.script);
    auto start = std::chrono::steady_clock::now(), before = start;
    for (std::string w; words >> w; before = start, start = std::chrono::steady_clock::now()) {
      SCOPED_TRACE(w);
      int v = w.size() > 1 ? std::stoi(w.substr(1)) : 0;
      int status = w.find('=') != std::string::npos ? std::stoi(w.substr(w.find('=') + 1)) : 0;
      if (w[0] == 'O') {
        auto r = client->Call(OnlineMsg("App", "T", "s1"));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, v);
        EXPECT_EQ(r->handle.has_value(), v == 0);
        h = r->handle.value_or(h);
      } else if (w[0] == 'C') {
        EXPECT_EQ(client->Call(DataMsg(h, 0, "Busy", v))->status, status);
      } else if (w[0] == 'S' || w[0] == 'P') {
        ASSERT_TRUE(client->Send(DataMsg(h, 0, "Busy", v) +
                                 (w[0] == 'P' ? DataMsg(h, 0, "Busy", v + 1) : "")));
      } else if (w[0] == 'H') {
        std::string m = DataMsg(h, 0, "Busy", v);
        ASSERT_TRUE(client->Send(m.substr(0, 10)) && client->Send(m.substr(10)));
      } else if (w[0] == 'Q') {
        EXPECT_EQ(QueryOne(peer.Db(), "SELECT count(*) FROM rows"), std::to_string(v));
      } else if (w[0] == 'R') {
        auto r = client->ReadReply();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, v);
      } else if (w[0] == 'X') {
        EXPECT_TRUE(client->Closed());
      } else if (w[0] == 'T') {
        EXPECT_GE(start - before, std::chrono::milliseconds(v));
      } else if (w[0] == 'N') {
        client = connect();  // the handle is still online
        ASSERT_TRUE(client);
      }
    }
    EXPECT_EQ(peer.Stop(), 0);
    EXPECT_NE(peer.Stderr().find("qdvp-dch stopped: "), std::string::npos);
    EXPECT_EQ(QueryOne(peer.Db(), "SELECT group_concat(json_extract(attrs, '$.Busy')) FROM rows"),
              c.rows);
  }
}

TEST(dch_Process, TakeActionIsSentAfterWaitForActionAndItsStatusIsStored) {
  qdvp_test::TempDir dir;
  std::string actions = dir.File("actions.jsonl");
  Peer peer({"--action-file", actions});
  ASSERT_TRUE(peer.Ready());
  {
    std::ofstream out(actions);
    out << "{\"node\":\"host1\",\"type\":1,\"name\":\"echo\",\"parameter\":\"hi\","
           "\"owner\":\"Sit1\",\"id\":77}\n";
    out << "not json\n";
  }
  auto c = Client::Tcp(peer.port());
  GoOnline(*c, kDescriptions, "host1");
  EXPECT_EQ(WaitForAction(*c, QDVP_WAIT_AUTOMATION, "host1"),
            std::to_string(QDVP_REQ_DP_PROVIDE_ACTION) + " 1 host1 echo hi Sit1 77");
  auto status = c->Call(Msg(QDVP_REQ_DP_ACTION_STATUS)
                            .U32(QDVP_FIELD_ACTION_ID, 77)
                            .U32(QDVP_FIELD_STATUS, static_cast<uint32_t>(-3))  // signed
                            .Text(QDVP_FIELD_ACTION_RESULT, "hi")
                            .Bytes());
  EXPECT_EQ(status->status, 0);
  ASSERT_TRUE(WaitFor([&] {
    return Query(peer.Db(), "SELECT name, node, status, result FROM actions") ==
           std::vector<std::vector<std::string>>{{"echo", "host1", "-3", "hi"}};
  }));
  EXPECT_NE(peer.Stderr().find("action ignored"), std::string::npos);
}

// The next message on c as "name id" when it is a provide action; "" when none came.
std::string ActionOn(Client &c, std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
  auto bytes = c.ReadMessage(deadline);
  qdvp_dch::DchMessage m;
  if (!bytes ||
      qdvp_dch::DchDecodeMessage(reinterpret_cast<const unsigned char *>(bytes->data()),
                                 bytes->size(), &m) != 0 ||
      m.request != QDVP_REQ_DP_PROVIDE_ACTION)
    return "";
  return m.actionName.value_or("") + " " + std::to_string(m.actionId.value_or(0));
}

// With every slot taken, an anonymous connection gives its slot up, not the data provider's
// link that has been silent longer; and an action for the data provider's node follows it to a
// new connection that only sends rows (its connection was lost and made again, and it did not
// ask for actions there), while an action for a node that never asked still goes to the latest
// asker.
TEST(dch_Process, ADataProvidersLinkKeepsItsSlotAndItsActionsFollowItsNodeToANewConnection) {
  qdvp_test::TempDir dir;
  std::string actions = dir.File("actions.jsonl");
  Peer peer({"--max-connections", "2", "--idle-limit-ms", "200", "--action-file", actions});
  ASSERT_TRUE(peer.Ready());
  auto append = [&](const std::string &node, const std::string &name, int id) {
    std::ofstream(actions, std::ios::app)
        << "{\"node\":\"" << node << "\",\"name\":\"" << name << "\",\"id\":" << id << "}\n";
  };
  auto dp = Client::Tcp(peer.port());
  ASSERT_TRUE(dp);
  uint32_t handle = GoOnline(*dp, kDescriptions, "host1");
  ASSERT_NE(handle, 0u);
  auto wait = dp->Call(Msg(QDVP_REQ_DP_WAIT_FOR_ACTION)
                           .U16(QDVP_FIELD_WAIT_CODE, QDVP_WAIT_AUTOMATION)
                           .Text(QDVP_FIELD_SOURCE_NAME, "host1")
                           .Bytes());
  ASSERT_TRUE(wait && wait->status == 0);
  auto anonymous = Client::Tcp(peer.port());
  ASSERT_TRUE(anonymous);
  ASSERT_TRUE(WaitFor([&] {
    std::string text = peer.Stderr();
    size_t first = text.find(": connected");
    return first != std::string::npos && text.find(": connected", first + 1) != std::string::npos;
  }));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));  // the idle limit itself
  auto newcomer = Client::Tcp(peer.port());
  ASSERT_TRUE(newcomer);
  EXPECT_TRUE(anonymous->Closed());
  append("host1:APPT00", "first", 1);
  EXPECT_EQ(ActionOn(*dp), "first 1") << peer.Stderr();

  // The link is lost; the data provider's next row comes on a new connection.
  dp.reset();
  ASSERT_TRUE(WaitFor([&] { return peer.Stderr().find("closed by peer") != std::string::npos; }));
  auto again = Client::Tcp(peer.port());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Call(DataMsg(handle, 0, "Cnt", 1))->status, 0);
  append("host1:APPT00", "second", 2);
  EXPECT_EQ(ActionOn(*again), "second 2") << peer.Stderr();
  // An unknown node's action goes to the connection that asked most recently: none has asked
  // since, and the one that did is gone, so it waits.
  append("nowhere:NONE00", "third", 3);
  EXPECT_EQ(ActionOn(*again, std::chrono::milliseconds(500)), "");
  EXPECT_EQ(ActionOn(*newcomer, std::chrono::milliseconds(100)), "");
}

TEST(dch_Process, StartupActionForAnUnknownNodeGoesToTheLatestWaitingSenderOverUdp) {
  Peer peer({"--udp-only", "--action", "{\"node\":\"nowhere\",\"name\":\"ls\"}"});
  ASSERT_TRUE(peer.Ready());
  auto u = Client::Udp(peer.port());
  EXPECT_EQ(WaitForAction(*u, QDVP_WAIT_RULE, "host1"),
            std::to_string(QDVP_REQ_DP_PROVIDE_ACTION) + " 1 nowhere ls - qdvp-dch 1");
}

TEST(dch_Process, LongActionGoesOverUdpInDatagramsTheDataProviderCanReceive) {
  std::string parameter(10000, 'p');
  Peer peer({"--udp-only", "--action",
             "{\"node\":\"host1\",\"name\":\"run\",\"parameter\":\"" + parameter + "\"}"});
  ASSERT_TRUE(peer.Ready());
  auto u = Client::Udp(peer.port());
  EXPECT_EQ(
      WaitForAction(*u, QDVP_WAIT_AUTOMATION, "host1"),
      std::to_string(QDVP_REQ_DP_PROVIDE_ACTION) + " 1 host1 run " + parameter + " qdvp-dch 1");
  ASSERT_GE(u->ReceiveSizes().size(), 4u);  // the reply, then the action in pieces
  for (size_t size : u->ReceiveSizes()) EXPECT_LE(size, 4096u);
}

TEST(dch_Process, BrokenStreamsAreDroppedAndThePeerKeepsServing) {
  Peer peer({"--partial-timeout-ms", "200", "--max-connections", "4"});
  ASSERT_TRUE(peer.Ready());
  // A zero length word, one beyond 1 MiB and a message that never completes close the stream.
  const std::string broken[] = {std::string(8, '\0'), Be32(QDVP_WIRE_MAX_MESSAGE + 1) + "xxxx",
                                Be32(100) + "abc"};
  for (const std::string &bytes : broken) {
    auto c = Client::Tcp(peer.port());
    ASSERT_TRUE(c->Send(bytes));
    EXPECT_TRUE(c->Closed()) << dch_test::Hex(bytes.substr(0, 4));
  }
  // A framed message that is no request gets no reply, and the connection stays.
  auto garbled = Client::Tcp(peer.port());
  ASSERT_TRUE(garbled->Send(Unhex("0000000D 0020 00000003 414243")));
  ASSERT_TRUE(garbled->Send(Unhex("0000000C 0010 00000009 1030")));
  EXPECT_EQ(garbled->Call(RegisterMsg("App", "T", kDescriptions))->status, 0);
  // Beyond the connection limit, new connections are closed at once.
  std::vector<std::unique_ptr<Client>> many;
  for (int i = 0; i < 3; i++) many.push_back(Client::Tcp(peer.port()));
  auto extra = Client::Tcp(peer.port());
  ASSERT_TRUE(extra);
  EXPECT_TRUE(extra->Closed());
  many.clear();
  garbled.reset();
  ASSERT_TRUE(WaitFor([&] {
    auto c = Client::Tcp(peer.port());
    auto r = c ? c->Call(OnlineMsg("App", "T", "after")) : std::nullopt;
    return r && r->handle;
  }));
  for (const char *logged : {"length word 0 out of range", "length word 1048577 out of range",
                             "message incomplete for 200 ms", "ignored a message of 13 bytes",
                             "refused, 4 connections open"})
    EXPECT_NE(peer.Stderr().find(logged), std::string::npos) << logged;
  EXPECT_EQ(peer.Stop(), 0);
}

TEST(dch_Process, HelpDocumentsEveryOptionAndAnUnknownOneEndsWithStatusTwo) {
  std::string out, err, dch = qdvp_test::BinDir() + "/qdvp-dch";
  ASSERT_EQ(qdvp_test::Run({dch, "--help"}, {}, &out), 0);
  for (const char *option :
       {"--port", "--listen", "--db", "--jsonl", "--udp-only", "--fail", "--delay", "--no-reply",
        "--drop-after", "--ready-file", "--action-file", "--commit-ms", "--crash-before-commit"})
    EXPECT_NE(out.find(option), std::string::npos) << option;
  EXPECT_EQ(qdvp_test::Run({dch, "--fail", "bogus:1"}, {}, &out, &err), 2);
  EXPECT_NE(err.find("unknown request kind"), std::string::npos);
}

}  // namespace
