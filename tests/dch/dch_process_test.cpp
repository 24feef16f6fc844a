// The real qdvp-dch on loopback: a scripted data provider registers, goes online, sends rows,
// goes offline and unregisters, and the tests read the peer's database and message log. Also
// fault injection, UDP-only mode, take actions, restarts, bad input and SIGTERM.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "include/qdvp_agentlink.h"
#include "tests/support/dchpeer.h"
#include "tools/dch/dchdecode.h"

using namespace dch_test;
using qdvp_test::WaitFor;

namespace {

const char *kDescriptions = "@$Busy,G,4, , ;Name,D,32,ENUM{a,b},the name;Cnt,C,2, ,count;";

// Registers App/T and brings source s1 online; returns its handle.
uint32_t GoOnline(Client &c, const std::string &source = "s1") {
  auto r = c.Call(RegisterMsg("App", "T", kDescriptions));
  EXPECT_TRUE(r && r->status == 0);
  r = c.Call(OnlineMsg("App", "T", source));
  EXPECT_TRUE(r && r->status == 0 && r->handle);
  return r && r->handle ? *r->handle : 0;
}

std::vector<nlohmann::json> JsonLines(const std::string &path) {
  std::vector<nlohmann::json> out;
  for (const auto &line : Lines(path)) out.push_back(nlohmann::json::parse(line, nullptr, false));
  return out;
}

TEST(dch_Process, FullLifecycleIsStoredInTheDatabaseAndTheMessageLog) {
  Peer peer;
  ASSERT_TRUE(peer.Ready()) << peer.Stderr();
  EXPECT_NE(peer.Stderr().find("qdvp-dch listening on 127.0.0.1:" + std::to_string(peer.port()) +
                               " (tcp+udp)"),
            std::string::npos);
  auto c = Client::Tcp(peer.port());
  ASSERT_TRUE(c);
  uint32_t h = GoOnline(*c);
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
  EXPECT_EQ(Query(db, "SELECT name, help, unregistered_at IS NOT NULL FROM applications"),
            (std::vector<std::vector<std::string>>{{"App", "App help", "1"}}));
  EXPECT_EQ(Query(db, "SELECT application, name, type, ttl, help FROM attribute_groups"),
            (std::vector<std::vector<std::string>>{{"App", "T", "P", "300", "T help"}}));
  EXPECT_EQ(Query(db,
                  "SELECT name, type, size, key, atomic, enum, help, position FROM attributes "
                  "ORDER BY position"),
            (std::vector<std::vector<std::string>>{
                {"Busy", "G", "4", "1", "1", "", "", "0"},
                {"Name", "D", "32", "0", "0", "ENUM{a,b}", "the name", "1"},
                {"Cnt", "C", "2", "0", "0", "", "count", "2"}}));
  EXPECT_EQ(Query(db,
                  "SELECT handle, application, attribute_group, source, "
                  "offline_at IS NOT NULL FROM sources"),
            (std::vector<std::vector<std::string>>{{std::to_string(h), "App", "T", "s1", "1"}}));
  EXPECT_EQ(Query(db,
                  "SELECT application, attribute_group, source, data_sequence, attrs "
                  "FROM rows ORDER BY id"),
            (std::vector<std::vector<std::string>>{
                {"App", "T", "s1", "1", "{\"Busy\":-5,\"Name\":\"alpha\",\"Cnt\":300}"},
                {"App", "T", "s1", "16", "{\"Busy\":7}"}}));
  EXPECT_EQ(QueryOne(db, "SELECT json_extract(attrs, '$.Cnt') FROM rows WHERE id = 1"), "300");

  // Every message in both directions, decoded.
  ASSERT_TRUE(WaitFor([&] { return JsonLines(peer.Jsonl()).size() >= 13; }));
  std::vector<std::string> seen;
  for (const auto &j : JsonLines(peer.Jsonl())) {
    ASSERT_FALSE(j.is_discarded());
    if (j["dir"] == "in") seen.push_back("in " + j["request"].get<std::string>());
    if (j["dir"] == "out") {
      seen.push_back("out " + j["reply_to"].get<std::string>() + " " +
                     std::to_string(j["status"].get<int>()));
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"in register", "out register 0", "in online",
                                            "out online 0", "in data", "out data 0", "in data",
                                            "out data 0", "in offline", "out offline 0",
                                            "in unregister", "out unregister 0"}));
  auto lines = JsonLines(peer.Jsonl());
  bool sawRow = false;
  for (const auto &j : lines) {
    if (j["dir"] == "in" && j["request"] == "data" && j["data_sequence"] == 1) {
      EXPECT_EQ(j["attrs"]["Cnt"], 300);
      EXPECT_EQ(j["attrs"]["Busy"], -5);
      EXPECT_EQ(j["handle"], h);
      sawRow = true;
    }
  }
  EXPECT_TRUE(sawRow);
  EXPECT_EQ(peer.Stop(), 0);
}

TEST(dch_Process, HandlesAreUniquePerSourceAndRepeatedRequestsAreAnsweredAgain) {
  Peer peer;
  ASSERT_TRUE(peer.Ready());
  auto c = Client::Tcp(peer.port());
  uint32_t h1 = GoOnline(*c, "s1");
  EXPECT_EQ(c->Call(RegisterMsg("App", "T", kDescriptions))->status, 0);
  auto again = c->Call(OnlineMsg("App", "T", "s1"));
  EXPECT_EQ(again->handle.value_or(0), h1);
  auto second = c->Call(OnlineMsg("App", "T", "s2"));
  EXPECT_NE(second->handle.value_or(h1), h1);
  EXPECT_EQ(c->Call(OfflineMsg(h1))->status, 0);
  auto fresh = c->Call(OnlineMsg("App", "T", "s1"));
  EXPECT_NE(fresh->handle.value_or(h1), h1);
  ASSERT_TRUE(WaitFor(
      [&] { return QueryOne(peer.Db(), "SELECT registrations FROM applications") == "2"; }));
}

TEST(dch_Process, TwoMessagesInOneSendAndOneMessageOverTwoSendsAreAnswered) {
  Peer peer;
  ASSERT_TRUE(peer.Ready());
  auto c = Client::Tcp(peer.port());
  uint32_t h = GoOnline(*c);
  ASSERT_TRUE(c->Send(DataMsg(h, 0, "Busy", 1) + DataMsg(h, 0, "Busy", 2)));
  EXPECT_EQ(c->ReadReply()->status, 0);
  EXPECT_EQ(c->ReadReply()->status, 0);
  std::string m = DataMsg(h, 0, "Busy", 3);
  ASSERT_TRUE(c->Send(m.substr(0, 5)));
  ASSERT_TRUE(WaitFor([&] { return QueryOne(peer.Db(), "SELECT count(*) FROM rows") == "2"; }));
  ASSERT_TRUE(c->Send(m.substr(5)));
  EXPECT_EQ(c->ReadReply()->status, 0);
  ASSERT_TRUE(WaitFor([&] { return QueryOne(peer.Db(), "SELECT count(*) FROM rows") == "3"; }));
  EXPECT_EQ(QueryOne(peer.Db(), "SELECT group_concat(json_extract(attrs, '$.Busy')) FROM rows"),
            "1,2,3");
}

TEST(dch_Process, FailOnlineWithSevenOnceThenAccepts) {
  Peer peer({"--fail", "online:7"});
  ASSERT_TRUE(peer.Ready());
  auto c = Client::Tcp(peer.port());
  EXPECT_EQ(c->Call(RegisterMsg("App", "T", kDescriptions))->status, 0);
  auto first = c->Call(OnlineMsg("App", "T", "s1"));
  EXPECT_EQ(first->status, 7);
  EXPECT_FALSE(first->handle);
  auto second = c->Call(OnlineMsg("App", "T", "s1"));
  EXPECT_EQ(second->status, 0);
  EXPECT_TRUE(second->handle);
  ASSERT_TRUE(WaitFor([&] { return QueryOne(peer.Db(), "SELECT count(*) FROM sources") == "1"; }));
}

TEST(dch_Process, NoReplyWithholdsOneReplyAndFailAnswersTheNext) {
  Peer peer({"--no-reply", "data", "--fail", "data:9"});
  ASSERT_TRUE(peer.Ready());
  auto c = Client::Tcp(peer.port());
  uint32_t h = GoOnline(*c);
  ASSERT_TRUE(c->Send(DataMsg(h, 0, "Busy", 1)));
  ASSERT_TRUE(c->Send(DataMsg(h, 0, "Busy", 2)));
  EXPECT_EQ(c->ReadReply()->status, 9);  // the first reply is the second row's
  EXPECT_EQ(c->Call(DataMsg(h, 0, "Busy", 3))->status, 0);
  // The unanswered row was stored; the refused one was not.
  ASSERT_TRUE(WaitFor([&] {
    return QueryOne(peer.Db(), "SELECT group_concat(json_extract(attrs, '$.Busy')) FROM rows") ==
           "1,3";
  }));
}

TEST(dch_Process, DelayedReplyArrivesLate) {
  Peer peer({"--delay", "online:300"});
  ASSERT_TRUE(peer.Ready());
  auto c = Client::Tcp(peer.port());
  EXPECT_EQ(c->Call(RegisterMsg("App", "T", kDescriptions))->status, 0);
  auto start = std::chrono::steady_clock::now();
  auto r = c->Call(OnlineMsg("App", "T", "s1"));
  auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->handle);
  EXPECT_GE(elapsed, std::chrono::milliseconds(290));
}

TEST(dch_Process, DropAfterClosesTheConnectionAfterTheNthRow) {
  Peer peer({"--drop-after", "2"});
  ASSERT_TRUE(peer.Ready());
  auto c = Client::Tcp(peer.port());
  uint32_t h = GoOnline(*c);
  EXPECT_EQ(c->Call(DataMsg(h, 0, "Busy", 1))->status, 0);
  EXPECT_EQ(c->Call(DataMsg(h, 0, "Busy", 2))->status, 0);
  EXPECT_TRUE(c->Closed());
  // A new connection is served, with the handle still online.
  auto again = Client::Tcp(peer.port());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Call(DataMsg(h, 0, "Busy", 3))->status, 0);
  ASSERT_TRUE(WaitFor(
      [&] { return QueryOne(peer.Db(), "SELECT count(*) FROM rows WHERE source = 's1'") == "3"; }));
}

TEST(dch_Process, DropAfterWithDelayedReplyAnswersThatRowThenClosesWithoutReadingMore) {
  Peer peer({"--drop-after", "1", "--delay", "data:150"});
  ASSERT_TRUE(peer.Ready());
  auto c = Client::Tcp(peer.port());
  uint32_t h = GoOnline(*c);
  ASSERT_TRUE(c->Send(DataMsg(h, 0, "Busy", 1)));
  ASSERT_TRUE(c->Send(DataMsg(h, 0, "Busy", 2)));
  auto r = c->ReadReply();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 0);
  EXPECT_TRUE(c->Closed());
  EXPECT_EQ(peer.Stop(), 0);
  EXPECT_EQ(QueryOne(peer.Db(), "SELECT group_concat(json_extract(attrs, '$.Busy')) FROM rows"),
            "1");
}

TEST(dch_Process, UdpOnlyLeavesTcpClosedAndAnswersDatagramsToTheirSender) {
  Peer peer({"--udp-only"});
  ASSERT_TRUE(peer.Ready()) << peer.Stderr();
  EXPECT_NE(peer.Stderr().find(":" + std::to_string(peer.port()) + " (udp)"), std::string::npos);
  EXPECT_FALSE(Client::Tcp(peer.port()));
  auto u = Client::Udp(peer.port());
  ASSERT_TRUE(u);
  uint32_t h = GoOnline(*u);
  EXPECT_EQ(u->Call(DataMsg(h, 0, "Busy", 42))->status, 0);
  // A message in two datagrams is put together again.
  std::string m = DataMsg(h, 0, "Busy", 43);
  ASSERT_TRUE(u->Send(m.substr(0, 10)));
  ASSERT_TRUE(u->Send(m.substr(10)));
  EXPECT_EQ(u->ReadReply()->status, 0);
  // A second sender has its own replies.
  auto other = Client::Udp(peer.port());
  EXPECT_EQ(other->Call(DataMsg(h, 0, "Busy", 44))->status, 0);
  ASSERT_TRUE(WaitFor([&] {
    return QueryOne(peer.Db(), "SELECT group_concat(json_extract(attrs, '$.Busy')) FROM rows") ==
           "42,43,44";
  }));
  EXPECT_NE(QueryOne(peer.Db(), "SELECT count(*) FROM rows WHERE source = 's1'"), "0");
}

TEST(dch_Process, SigtermCommitsEverythingReceived) {
  Peer peer({"--commit-ms", "600000"});
  ASSERT_TRUE(peer.Ready());
  auto c = Client::Tcp(peer.port());
  uint32_t h = GoOnline(*c);
  for (int i = 0; i < 50; i++) ASSERT_EQ(c->Call(DataMsg(h, 0, "Busy", i))->status, 0);
  EXPECT_EQ(QueryOne(peer.Db(), "SELECT count(*) FROM rows"), "0");  // still one open batch
  EXPECT_EQ(peer.Stop(), 0);
  EXPECT_EQ(QueryOne(peer.Db(), "SELECT count(*) FROM rows"), "50");
  EXPECT_EQ(QueryOne(peer.Db(), "SELECT count(*) FROM sources"), "1");
  EXPECT_NE(peer.Stderr().find("qdvp-dch stopped: "), std::string::npos);
}

TEST(dch_Process, RestartedPeerStillKnowsOnlineHandles) {
  qdvp_test::TempDir dir;
  uint32_t h = 0;
  {
    Peer first({}, dir.path());
    ASSERT_TRUE(first.Ready());
    auto c = Client::Tcp(first.port());
    h = GoOnline(*c);
    EXPECT_EQ(first.Stop(), 0);
  }
  Peer second({}, dir.path());
  ASSERT_TRUE(second.Ready());
  auto c = Client::Tcp(second.port());
  EXPECT_EQ(c->Call(DataMsg(h, 0, "Busy", 5))->status, 0);
  auto fresh = c->Call(OnlineMsg("App", "T", "s2"));
  EXPECT_GT(fresh->handle.value_or(0), h);
  ASSERT_TRUE(WaitFor([&] { return QueryOne(second.Db(), "SELECT source FROM rows") == "s1"; }));
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
  GoOnline(*c, "host1");
  auto r = c->Call(Msg(QDVP_REQ_DP_WAIT_FOR_ACTION)
                       .U16(QDVP_FIELD_WAIT_CODE, QDVP_WAIT_AUTOMATION)
                       .Text(QDVP_FIELD_SOURCE_NAME, "host1")
                       .Bytes());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 0);
  auto action = c->ReadMessage();
  ASSERT_TRUE(action);
  qdvp_dch::DchMessage m;
  ASSERT_EQ(qdvp_dch::DchDecodeMessage(reinterpret_cast<const unsigned char *>(action->data()),
                                       action->size(), &m),
            0);
  EXPECT_EQ(m.request.value_or(0), QDVP_REQ_DP_PROVIDE_ACTION);
  EXPECT_EQ(m.source, "host1");
  EXPECT_EQ(m.waitCode.value_or(0), 1u);
  EXPECT_EQ(m.actionName.value_or(""), "echo");
  EXPECT_EQ(m.actionParameter.value_or(""), "hi");
  EXPECT_EQ(m.actionOwner.value_or(""), "Sit1");
  EXPECT_EQ(m.actionId.value_or(0), 77u);
  auto status = c->Call(Msg(QDVP_REQ_DP_ACTION_STATUS)
                            .U32(QDVP_FIELD_ACTION_ID, 77)
                            .U32(QDVP_FIELD_STATUS, 0)
                            .Text(QDVP_FIELD_ACTION_RESULT, "hi")
                            .Bytes());
  EXPECT_EQ(status->status, 0);
  ASSERT_TRUE(WaitFor([&] {
    return Query(peer.Db(), "SELECT name, node, status, result FROM actions") ==
           std::vector<std::vector<std::string>>{{"echo", "host1", "0", "hi"}};
  }));
  EXPECT_NE(peer.Stderr().find("action ignored"), std::string::npos);
}

TEST(dch_Process, StartupActionForAnUnknownNodeGoesToTheLatestWaitingSenderOverUdp) {
  Peer peer({"--udp-only", "--action", "{\"node\":\"nowhere\",\"name\":\"ls\"}"});
  ASSERT_TRUE(peer.Ready());
  auto u = Client::Udp(peer.port());
  auto r = u->Call(Msg(QDVP_REQ_DP_WAIT_FOR_ACTION)
                       .U16(QDVP_FIELD_WAIT_CODE, QDVP_WAIT_RULE)
                       .Text(QDVP_FIELD_SOURCE_NAME, "host1")
                       .Bytes());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 0);
  auto action = u->ReadMessage();
  ASSERT_TRUE(action);
  qdvp_dch::DchMessage m;
  ASSERT_EQ(qdvp_dch::DchDecodeMessage(reinterpret_cast<const unsigned char *>(action->data()),
                                       action->size(), &m),
            0);
  EXPECT_EQ(m.source, "nowhere");
  EXPECT_EQ(m.actionName.value_or(""), "ls");
  EXPECT_EQ(m.actionOwner.value_or(""), "qdvp-dch");
  EXPECT_EQ(m.actionId.value_or(0), 1u);
  EXPECT_FALSE(m.actionParameter);
}

TEST(dch_Process, LongActionGoesOverUdpInDatagramsTheDataProviderCanReceive) {
  std::string parameter(10000, 'p');
  Peer peer({"--udp-only", "--action",
             "{\"node\":\"host1\",\"name\":\"run\",\"parameter\":\"" + parameter + "\"}"});
  ASSERT_TRUE(peer.Ready());
  auto u = Client::Udp(peer.port());
  auto r = u->Call(Msg(QDVP_REQ_DP_WAIT_FOR_ACTION)
                       .U16(QDVP_FIELD_WAIT_CODE, QDVP_WAIT_AUTOMATION)
                       .Text(QDVP_FIELD_SOURCE_NAME, "host1")
                       .Bytes());
  ASSERT_TRUE(r);
  auto action = u->ReadMessage();
  ASSERT_TRUE(action);
  qdvp_dch::DchMessage m;
  ASSERT_EQ(qdvp_dch::DchDecodeMessage(reinterpret_cast<const unsigned char *>(action->data()),
                                       action->size(), &m),
            0);
  EXPECT_EQ(m.actionParameter.value_or(""), parameter);
  ASSERT_GE(u->ReceiveSizes().size(), 4u);  // the reply, then the action in pieces
  for (size_t size : u->ReceiveSizes()) EXPECT_LE(size, 4096u);
}

TEST(dch_Process, BrokenStreamsAreDroppedAndThePeerKeepsServing) {
  Peer peer({"--partial-timeout-ms", "200", "--max-connections", "4"});
  ASSERT_TRUE(peer.Ready());
  // Zero length word.
  auto zero = Client::Tcp(peer.port());
  ASSERT_TRUE(zero->Send(std::string(8, '\0')));
  EXPECT_TRUE(zero->Closed());
  // Length beyond 1 MiB.
  auto huge = Client::Tcp(peer.port());
  ASSERT_TRUE(huge->Send(Be32(QDVP_WIRE_MAX_MESSAGE + 1) + "xxxx"));
  EXPECT_TRUE(huge->Closed());
  // A message that never completes.
  auto slow = Client::Tcp(peer.port());
  ASSERT_TRUE(slow->Send(Be32(100) + "abc"));
  EXPECT_TRUE(slow->Closed());
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
  std::string err = peer.Stderr();
  EXPECT_NE(err.find("length word 0 out of range"), std::string::npos) << err;
  EXPECT_NE(err.find("length word 1048577 out of range"), std::string::npos);
  EXPECT_NE(err.find("message incomplete for 200 ms"), std::string::npos);
  EXPECT_NE(err.find("ignored a message of 13 bytes"), std::string::npos);
  EXPECT_NE(err.find("refused, 4 connections open"), std::string::npos);
  EXPECT_EQ(peer.Stop(), 0);
}

TEST(dch_Process, HelpDocumentsEveryOption) {
  std::string out;
  ASSERT_EQ(qdvp_test::Run({qdvp_test::BinDir() + "/qdvp-dch", "--help"}, {}, &out), 0);
  for (const char *option :
       {"--port", "--listen", "--db", "--jsonl", "--udp-only", "--fail", "--delay", "--no-reply",
        "--drop-after", "--ready-file", "--action-file", "--commit-ms"}) {
    EXPECT_NE(out.find(option), std::string::npos) << option;
  }
  std::string err;
  EXPECT_EQ(
      qdvp_test::Run({qdvp_test::BinDir() + "/qdvp-dch", "--fail", "bogus:1"}, {}, &out, &err), 2);
  EXPECT_NE(err.find("unknown request kind"), std::string::npos);
}

}  // namespace
