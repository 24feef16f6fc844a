// The client API end to end: `qdvp start apis` on a private port against qdvp-dch, with clients
// played by the client library, by raw sockets (for what the library would not send) and by the
// feed example. Rows and their data sequence marks are read from the peer's database, DP log
// messages from the trace.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "include/qdvp_client.h"
#include "tests/support/dpworld.h"

namespace {

using namespace std::chrono_literals;
using qdvp_test::WaitFor;

const char kMetafile[] =
    "//APPL Feed\n//NAME Lines E\n//SOURCE SOCK 127.0.0.1\n//ATTRIBUTES ','\n"
    "Host D 16\nStatus D 4 +FILTER={SCAN(0,ok)}\nTime D 8\n";

class ApiServer : public qdvp_test::DataProviderWorld {
 protected:
  Strings PeerArgs() const override { return {"--action-file", File("actions.jsonl")}; }
  // Sends a take action for the subnode of a source of the Feed application's Lines table.
  void SendAction(int id, const std::string &source, const std::string &name,
                  const std::string &parameter) {
    AppendActions({"{\"id\":" + std::to_string(id) + ",\"node\":\"" + source +
                   ":FEEDLINES00\",\"name\":\"" + name + "\",\"parameter\":\"" + parameter +
                   "\",\"owner\":\"Sit1\"}"});
  }
  // Asks for the next take action until one comes.
  std::string Receive(qdvpc_session *s) {
    char request[512] = "";
    WaitFor(
        [&] {
          return qdvpc_receive_request(s, request, sizeof(request)) == QDVPC_OK &&
                 request[0] != '\0';
        },
        20s);
    return request;
  }
  std::map<std::string, std::string> KindEnv() const override {
    return {{"QDVP_API_DPAPI_PORT", std::to_string(port_)},
            {"QDVP_ACTION_LOG_FILENAME", File("DPACTLOG")}};
  }
  void SetUp() override {
    DataProviderWorld::SetUp();
    Metafile("feed", kMetafile);
    Start();
  }
  void Start() {
    Launch("apis");
    ASSERT_TRUE(WaitLogged("Socket API Server DP started. Listening on port " +
                           std::to_string(port_) + " both TCP and UDP"))
        << Trace();
  }
  // The data sequence marks and hosts of the table's rows, in arrival order.
  std::vector<std::string> Marks() const {
    std::vector<std::string> marks;
    for (auto &row : dch_test::Query(peer_->Db(),
                                     "select data_sequence, json_extract(attrs,"
                                     "'$.Host') from rows where attribute_group="
                                     "'Lines' order by id")) {
      marks.push_back(row[0] + ":" + row[1]);
    }
    return marks;
  }
  qdvpc_session *Open(bool udp) {
    qdvpc_session *s = nullptr;
    EXPECT_EQ(qdvpc_open("127.0.0.1", port_, udp ? 1 : 0, &s), QDVPC_OK);
    return s;
  }
  int port_ = qdvp_test::FreePort();
};

// Sends raw requests on one socket and returns the last reply.
std::string Exchange(int port, bool udp, const std::vector<std::string> &requests) {
  int fd = socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
  sockaddr_in to = qdvp_test::Loopback(port);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof(to)) == 0) {
    for (const std::string &r : requests) {
      reply.clear();
      if (send(fd, r.data(), r.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(r.size())) break;
      pollfd p{fd, POLLIN, 0};
      char buffer[8192];
      ssize_t n = poll(&p, 1, 10000) == 1 ? recv(fd, buffer, sizeof(buffer), 0) : -1;
      if (n <= 0) break;
      reply.assign(buffer, static_cast<size_t>(n));
    }
  }
  close(fd);
  return reply;
}

std::string Req(const std::string &name, const std::string &data = "") {
  return "QDVPAPI300" + name + data;
}

// A bracketed set of three rows goes to the agent marked first, middle, last; a record sent
// without brackets after the set goes as an only row. The same over TCP and UDP.
class ApiSession : public ApiServer, public testing::WithParamInterface<bool> {};

TEST_P(ApiSession, BracketedRowsArriveWithTheirMarks) {
  qdvpc_session *s = Open(GetParam());
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(qdvpc_begin_input(s, "Feed", "Lines"), QDVPC_OK);
  EXPECT_STREQ(qdvpc_last_data(s), ",");  // the attribute delimiter
  EXPECT_GT(qdvpc_start_time(s), 0);
  ASSERT_EQ(qdvpc_send(s, "z,ok,0\n"), QDVPC_OK);  // held back, then ended by the BGNROW
  ASSERT_EQ(qdvpc_begin_row(s), QDVPC_OK);
  for (const char *r : {"a,ok,1\n", "b,ok,2\n", "c,ok,3\n"}) ASSERT_EQ(qdvpc_send(s, r), QDVPC_OK);
  ASSERT_EQ(qdvpc_end_row(s), QDVPC_OK);
  ASSERT_EQ(qdvpc_send(s, "d,ok,4\n"), QDVPC_OK);
  ASSERT_EQ(qdvpc_send(s, "x,bad,9\ny,ok,5\n"), QDVPC_OK);  // the filter drops x, not y
  ASSERT_EQ(qdvpc_end_input(s), QDVPC_OK);
  qdvpc_close(s);
  ASSERT_TRUE(WaitLogged("dp_EndInput completed for application Feed attribute group Lines"));
  EXPECT_EQ(Marks(), (std::vector<std::string>{"16:z", "1:a", "0:b", "16:c", "17:d", "17:y"}));
  EXPECT_EQ(OnlineSources("Lines"), 0);
}

INSTANTIATE_TEST_SUITE_P(TcpAndUdp, ApiSession, testing::Bool(),
                         [](const auto &info) { return info.param ? "Udp" : "Tcp"; });

// Every refusal a client can provoke is answered with its code and the server goes on: the
// last case of each row is answered after the requests before it.
TEST_F(ApiServer, RefusalsAreAnsweredWithTheirCodes) {
  const std::string begin = Req("BGNINP", "Feed Lines");
  struct Case {
    bool udp;
    std::vector<std::string> requests;
    std::string code;
  } cases[] = {
      {false, {"QDVPAPI299BGNINPFeed Lines"}, "90 "},
      {true, {"QDVPAPI299BGNINPFeed Lines"}, "90 "},
      {false, {std::string("\x00\xff\x01garbage", 10)}, "90 "},
      {false, {Req("XXXXXX")}, "13 "},
      {true, {Req("SNDDTA", "a,b,c")}, "13 "},
      {false, {begin, Req("BGNINP", "Feed Lines")}, "13 "},
      {false, {Req("BGNINP", "Nope Lines")}, "51 "},
      {true, {Req("BGNINP", "Nope Lines")}, "51 "},
      {false, {Req("BGNINP", "Feed Nope")}, "52 "},
      {true, {Req("BGNINP", "Feed")}, "52 "},
      {false, {Req("SETSRC")}, "39 "},
      {false, {begin, Req("RESULT", "7;done\n")}, "85 "},
      {true, {begin, Req("RESULT", "7;done\n")}, "85 "},
      {false, {begin, Req("ACCREQ", "1;5"), Req("RCVREQ")}, "0 "},    // nothing waits: no data
      {false, {begin, Req("SNDDTA", std::string(4080, 'x'))}, "0 "},  // exactly 4096 bytes
  };
  for (const Case &c : cases) {
    SCOPED_TRACE((c.udp ? "udp " : "tcp ") + c.requests.back().substr(0, 40));
    std::string reply = Exchange(port_, c.udp, c.requests);
    EXPECT_EQ(reply.substr(0, c.code.size()), c.code) << reply;
    EXPECT_EQ(reply.find('#'), std::string::npos) << reply;
  }
  // A well-behaved session still works after all of them.
  EXPECT_EQ(Exchange(port_, false, {begin, Req("SNDDTA", "z,ok,1\n"), Req("ENDINP")}).substr(0, 2),
            "0 ");
  ASSERT_TRUE(WaitRows("Lines", 1));
}

// A client that disconnects mid-session ends it (DP log 26): its held row is not lost, its
// source goes offline, and a session open beside it goes on. Then take actions handed to a
// client.
TEST_F(ApiServer, DisconnectEndsOnlyThatSessionAndTakeActionsHandedToTheClientAreAnswered) {
  qdvpc_session *stays = Open(false), *goes = Open(false);
  // Two clients on one host name their sources, which the agent tells apart by name.
  ASSERT_EQ(qdvpc_set_source(stays, "stays"), QDVPC_OK);
  ASSERT_EQ(qdvpc_set_source(goes, "goes"), QDVPC_OK);
  ASSERT_EQ(qdvpc_begin_input(stays, "Feed", "Lines"), QDVPC_OK);
  ASSERT_EQ(qdvpc_begin_input(goes, "Feed", "Lines"), QDVPC_OK);
  ASSERT_EQ(qdvpc_send(goes, "gone,ok,1\n"), QDVPC_OK);
  qdvpc_close(goes);
  ASSERT_TRUE(WaitLogged("dp_CloseSession completed for location")) << Trace();
  ASSERT_TRUE(WaitFor([&] { return OnlineSources("Lines") == 1; }, 10s));
  ASSERT_EQ(qdvpc_send(stays, "kept,ok,2\nnext,ok,3\n"), QDVPC_OK);
  ASSERT_TRUE(WaitRows("Lines", 2));
  EXPECT_EQ(Marks(), (std::vector<std::string>{"16:gone", "0:kept"}));
  qdvpc_close(stays);
  ASSERT_TRUE(WaitLogged("dp_CloseSession completed for location", 2));
  ASSERT_TRUE(WaitFor([&] { return OnlineSources("Lines") == 0; }, 10s));

  // A client that accepts take actions for its source receives one, returns its result, and
  // the agent gets it; a client that vanishes with an action in hand still has it answered
  // (8), and the action is not carried out by the data provider itself.
  qdvpc_session *client = Open(false);
  ASSERT_EQ(qdvpc_set_source(client, "feeder"), QDVPC_OK);
  ASSERT_EQ(qdvpc_begin_input(client, "Feed", "Lines"), QDVPC_OK);
  ASSERT_EQ(qdvpc_accept_requests(client, 1, 20), QDVPC_OK);
  SendAction(31, "feeder", "restart", "billing now");
  EXPECT_EQ(Receive(client), "31 REQ(restart)PARM(billing now)");
  ASSERT_EQ(qdvpc_result(client, 31, "restarted"), QDVPC_OK);
  ASSERT_TRUE(WaitFor([&] { return !Outcome(31).empty(); }, 20s)) << Trace();
  EXPECT_EQ(Outcome(31), "0|restarted");
  EXPECT_EQ(qdvpc_result(client, 31, "again"), 85);  // nothing waits for it any more

  SendAction(32, "feeder", "touch", File("must-not-exist"));
  EXPECT_EQ(Receive(client).substr(0, 12), "32 REQ(touch");
  qdvpc_close(client);
  ASSERT_TRUE(WaitFor([&] { return !Outcome(32).empty(); }, 20s)) << Trace();
  EXPECT_EQ(Outcome(32), "8|Client session ended before a result was received");
  EXPECT_NE(access(File("must-not-exist").c_str(), F_OK), 0);
}

// One TCP session spoken byte for byte, for requests the client library refuses to send.
class RawSession {
 public:
  explicit RawSession(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in to = qdvp_test::Loopback(port);
    connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&to), sizeof(to)) == 0;
  }
  ~RawSession() { close(fd_); }
  bool connected() const { return connected_; }
  // Sends one request; its reply, "" when none came.
  std::string Call(const std::string &request) {
    if (send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size()))
      return "";
    pollfd p{fd_, POLLIN, 0};
    char buffer[8192];
    ssize_t n = poll(&p, 1, 10000) == 1 ? recv(fd_, buffer, sizeof(buffer), 0) : -1;
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
  }

 private:
  int fd_;
  bool connected_ = false;
};

// An API client's result that holds line ends and control characters is one line of the
// action log, its bytes escaped: it cannot add a line of its own making.
TEST_F(ApiServer, AClientsResultCannotForgeALineOfTheActionLog) {
  RawSession client(port_);
  ASSERT_TRUE(client.connected());
  EXPECT_EQ(client.Call(Req("SETSRC", "forger")).substr(0, 2), "0 ");
  EXPECT_EQ(client.Call(Req("BGNINP", "Feed Lines")).substr(0, 2), "0 ");
  EXPECT_EQ(client.Call(Req("ACCREQ", "1;20")).substr(0, 2), "0 ");
  SendAction(41, "forger", "restart", "billing");
  std::string request;
  ASSERT_TRUE(WaitFor(
      [&] {
        request = client.Call(Req("RCVREQ"));
        return request.find("REQ(restart)") != std::string::npos;
      },
      20s))
      << Trace();
  const std::string forged =
      "2026-12-07 13:03:01 99 Situation/Policy owner [Sit9] node [x] status 0 command [rm] "
      "parameter [-rf] result [done]";
  EXPECT_EQ(client.Call(Req("RESULT", "41;restarted]\n" + forged + "\r\n\x1b[2J\\\n")).substr(0, 2),
            "0 ");
  ASSERT_TRUE(WaitFor([&] { return !Outcome(41).empty(); }, 20s)) << Trace();
  // The agent gets the result as it was sent (without its last character).
  EXPECT_EQ(Outcome(41), "0|restarted]\n" + forged + "\r\n\x1b[2J\\");
  std::vector<std::string> lines;
  ASSERT_TRUE(WaitFor(
      [&] {
        lines = dch_test::Lines(File("DPACTLOG"));
        return !lines.empty();
      },
      10s));
  ASSERT_EQ(lines.size(), 1u) << qdvp_test::ReadFile(File("DPACTLOG"));
  std::string line = lines[0];
  EXPECT_NE(line.find(" 41 Situation/Policy owner [Sit1] node [forger:FEEDLINES00] status 0 "
                      "command [restart] parameter [billing] result [restarted]\\n" +
                      forged + "\\r\\n\\x1B[2J\\\\]"),
            std::string::npos)
      << line;
  EXPECT_EQ(line.find_first_of(std::string("\r\x1b", 2)), std::string::npos);
  // The trace, which carries the result in DP log message 61, has no line of the client's
  // making either.
  ASSERT_TRUE(WaitLogged("automation activity completed, status 0, result [restarted]"));
  std::string trace = Trace();
  EXPECT_EQ(trace.find("\n" + forged), std::string::npos);
  EXPECT_NE(trace.find("result [restarted]\\n" + forged), std::string::npos);
}

// Two UDP senders of one host are one source at the agent (both named after the host): the
// first one's ENDINP leaves the shared handle online while the second's session goes on, so
// the second's rows keep their table; the source goes offline with the last session.
TEST_F(ApiServer, SessionsOfOneHostKeepTheirSharedSourceUntilTheLastEnds) {
  qdvpc_session *a = Open(true);
  qdvpc_session *b = Open(true);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(qdvpc_begin_input(a, "Feed", "Lines"), QDVPC_OK);
  ASSERT_EQ(qdvpc_begin_input(b, "Feed", "Lines"), QDVPC_OK);
  ASSERT_EQ(qdvpc_send(a, "a1,ok,1\n"), QDVPC_OK);
  ASSERT_EQ(qdvpc_end_input(a), QDVPC_OK);
  ASSERT_TRUE(WaitLogged("dp_EndInput completed for application Feed attribute group Lines"));
  EXPECT_EQ(OnlineSources("Lines"), 1);
  for (const char *r : {"b1,ok,2\n", "b2,ok,3\n", "b3,ok,4\n"}) {
    ASSERT_EQ(qdvpc_send(b, r), QDVPC_OK);
  }
  ASSERT_EQ(qdvpc_end_input(b), QDVPC_OK);
  ASSERT_TRUE(WaitLogged("dp_EndInput completed for application Feed attribute group Lines", 2));
  // The rows of the table and those stored under no table.
  auto all = [&] {
    return std::stoi("0" + dch_test::QueryOne(peer_->Db(),
                                              "select count(*) from rows where "
                                              "attribute_group is null or "
                                              "attribute_group='Lines'"));
  };
  ASSERT_TRUE(WaitFor([&] { return all() >= 4; }, 20s)) << Trace();
  EXPECT_EQ(Values("Lines", "Host"), (Strings{"a1", "b1", "b2", "b3"}));
  EXPECT_EQ(qdvp_test::Occurrences(qdvp_test::ReadFile(peer_->Jsonl()), "handle not online"), 0);
  EXPECT_TRUE(WaitFor([&] { return OnlineSources("Lines") == 0; }, 10s));
  qdvpc_close(a);
  qdvpc_close(b);
}

// A UDP client that vanishes without ENDINP: its session expires after the table's time to
// live times QDVP_DP_EXPIRE_FACTOR (DP log 32), its row is kept and its source goes offline.
TEST_F(ApiServer, SilentUdpSessionExpires) {
  Stop();
  std::string text = kMetafile;
  Metafile("feed", text.replace(text.find("Lines E"), 7, "Lines E 1"), false);
  extraEnv_["QDVP_DP_EXPIRE_FACTOR"] = "2";
  Start();
  qdvpc_session *s = Open(true);
  ASSERT_EQ(qdvpc_begin_input(s, "Feed", "Lines"), QDVPC_OK);
  ASSERT_EQ(qdvpc_send(s, "quiet,ok,1\n"), QDVPC_OK);
  ASSERT_TRUE(WaitLogged("UDP inactivity time expired")) << Trace();
  EXPECT_EQ(Logged("Application Feed attribute group Lines management ended"), 1);
  ASSERT_TRUE(WaitRows("Lines", 1));
  ASSERT_TRUE(WaitFor([&] { return OnlineSources("Lines") == 0; }, 10s));
  qdvpc_close(s);
}

// The feed example feeds the table from its standard input and ends its session.
TEST_F(ApiServer, FeedExampleFeedsTheTable) {
  dir_.Write("records.txt", "e1,ok,1\ne2,ok,2\n");
  std::string out;
  int rc = qdvp_test::Run({"/bin/sh", "-c",
                           qdvp_test::BinDir() + "/feed --port " + std::to_string(port_) +
                               " --source feeder Feed Lines < " + File("records.txt")},
                          {}, &out);
  ASSERT_EQ(rc, 0) << out;
  ASSERT_TRUE(WaitRows("Lines", 2));
  EXPECT_EQ(Marks(), (std::vector<std::string>{"0:e1", "16:e2"}));
  EXPECT_EQ(dch_test::QueryOne(peer_->Db(),
                               "select distinct source from rows where "
                               "attribute_group='Lines'"),
            "feeder");
}

}  // namespace
