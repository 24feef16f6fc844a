// The socket data server end to end: `qdvp start sock` on a private port against qdvp-dch,
// with partner programs played by the test over TCP and UDP on loopback. Rows are read from the
// peer's database, DP log messages from the trace, acknowledgements from the sockets.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/dpworld.h"
#include "tests/support/qdvptest.h"

namespace {

using dch_test::Be32;
// A partner's end of a connection or datagram socket to the data provider's port.
using dch_test::Client;
using qdvp_test::BinDir;
using qdvp_test::FreePort;
using qdvp_test::WaitFor;
using namespace std::chrono_literals;

class SocketServer : public qdvp_test::DataProviderWorld {
 protected:
  std::map<std::string, std::string> KindEnv() const override {
    return {{"QDVP_DP_PORT", std::to_string(port_)},
            {"QDVP_POST_DP_PORT", std::to_string(port_)},
            {"QDVP_METRICS_PORT", std::to_string(metricsPort_)}};
  }
  // type sock, or post: the POST data provider on the same private port.
  void Start(const std::map<std::string, std::string> &extra = {},
             const std::string &type = "sock") {
    for (const auto &[k, v] : extra) extraEnv_[k] = v;
    Launch(type);
    std::string listening =
        type == "post"
            ? "POST DP started. Listening on port " + std::to_string(port_)
            : "Socket DP started. Listening on port " + std::to_string(port_) + " both TCP and UDP";
    ASSERT_TRUE(WaitLogged(listening)) << qdvp_->Stderr() << Trace();
  }
  // qdvp post ARGS against the private port; returns the exit status, *out the stamp line.
  int Post(std::vector<std::string> args, std::string *out = nullptr) {
    args.insert(args.begin(), {BinDir() + "/qdvp", "post", "--port", std::to_string(port_)});
    std::string output;
    int rc = qdvp_test::Run(args, {}, &output);
    if (out) *out = output;
    return rc;
  }

  int port_ = FreePort();
  int metricsPort_ = FreePort();
};

// The table Web of WebApp, fed by any partner on this host: host, status and time, comma
// separated; ttl is the NAME statement's time to live (" 1"), extra more statements.
std::string WebMetafile(const std::string &extra, const std::string &ttl = "") {
  return "//APPL WebApp\n//NAME Web E" + ttl + "\n//SOURCE SOCK 127.0.0.1\n" + extra +
         "//ATTRIBUTES ','\nHost D 16\nStatus D 4\nTime D 8\n";
}

// A configured TCP partner: lines, one of them split over two sends, become rows in order; the
// sequence number confirmation counts the buffers from 1; the end marker takes the source
// offline and the next line starts a new session; the close of the connection takes it offline
// again, with DP log 24. Another connection from the partner's host while it is bound must
// name an application; plain data gets it refused (DP log 56).
TEST_F(SocketServer, ConfiguredTcpPartnerFeedsRowsWithConfirmationsAndSessions) {
  Metafile("web", WebMetafile("//CONFIRM SEQ\n"));
  Start();
  auto p = Client::Tcp(port_);
  ASSERT_TRUE(p);
  ASSERT_TRUE(WaitLogged("New TCP connection accepted from"));
  EXPECT_TRUE(p->Send("web1,200,35\nweb2,5"));
  EXPECT_EQ(p->Read(4), Be32(1));
  EXPECT_TRUE(p->Send("00,12\n"));
  EXPECT_EQ(p->Read(4), Be32(2));
  ASSERT_TRUE(WaitRows("Web", 2)) << Trace();
  EXPECT_EQ(Values("Web", "Host"), (std::vector<std::string>{"web1", "web2"}));
  EXPECT_EQ(Values("Web", "Status"), (std::vector<std::string>{"200", "500"}));
  EXPECT_EQ(OnlineSources("Web"), 1);
  {
    auto second = Client::Tcp(port_);
    ASSERT_TRUE(second && second->Send("web8,1,1\n"));
    EXPECT_TRUE(second->Closed(10s, true));
    EXPECT_TRUE(WaitLogged("No Explicit Application Association record found"));
  }
  EXPECT_TRUE(p->Send("//END-DP-INPUT\n"));
  EXPECT_EQ(p->Read(4), Be32(3));
  ASSERT_TRUE(WaitFor([&] { return OnlineSources("Web") == 0; }, 10s));
  EXPECT_TRUE(p->Send("web3,302,1\n"));
  ASSERT_TRUE(WaitRows("Web", 3));
  EXPECT_EQ(OnlineSources("Web"), 1);
  // A partner that goes away in the middle of a line: what it sent of the line is its last row.
  EXPECT_TRUE(p->Send("web4,201,"));
  p.reset();
  ASSERT_TRUE(WaitLogged("TCP session disconnect received from"));
  ASSERT_TRUE(WaitRows("Web", 4));
  EXPECT_EQ(Values("Web", "Host").back(), "web4");
  ASSERT_TRUE(WaitFor([&] { return OnlineSources("Web") == 0; }, 10s));
}

// A dynamic partner names its metafile in its first line: the application is built on the
// spot and the lines after it are its rows. A connection that says nothing is closed after
// five seconds with DP log 22, and while it waits another partner's rows go on.
TEST_F(SocketServer, DynamicPartnersAreBuiltFromTheirAssociationRecordAndSilentOnesClosed) {
  Metafile("dyn", "//APPL DynApp\n//NAME Dyn E\n//ATTRIBUTES ','\nHost D 16\nStatus D 4\n", false);
  Start();
  auto silent = Client::Tcp(port_);
  ASSERT_TRUE(silent);
  auto dynamic = Client::Tcp(port_);
  ASSERT_TRUE(dynamic && dynamic->Send("//dyn\nweb1,200\n"));
  ASSERT_TRUE(WaitRows("Dyn", 1)) << Trace();
  EXPECT_TRUE(dynamic->Send("web2,404\n"));
  ASSERT_TRUE(WaitRows("Dyn", 2));
  EXPECT_EQ(Values("Dyn", "Status"), (std::vector<std::string>{"200", "404"}));
  EXPECT_EQ(Logged("NEW TCP connection from"), 0) << "the silent partner held nobody up";
  EXPECT_TRUE(silent->Closed(10s, true));
  EXPECT_TRUE(WaitLogged("NEW TCP connection from"));
}

// Two dynamic partners from one host are one source at the agent (both are named after the
// host, and the agent gives the second online the first one's handle). The first one's
// delayed offline, when its table's time to live has passed, leaves the handle online while
// the second still feeds it: the second's rows keep their application and table, and the
// source goes offline at the agent once the second has gone as well.
TEST_F(SocketServer, PartnersOfOneHostKeepTheirSharedSourceUntilTheLastLeaves) {
  Metafile("dyn", "//APPL DynApp\n//NAME Dyn E 1\n//ATTRIBUTES ','\nHost D 16\nStatus D 4\n",
           false);
  Start();
  auto a = Client::Open(port_, false, "127.0.0.3");
  auto b = Client::Open(port_, false, "127.0.0.3");
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(a->Send("//dyn\na1,200\n"));
  ASSERT_TRUE(WaitRows("Dyn", 1)) << Trace();
  ASSERT_TRUE(b->Send("//dyn\nb1,200\n"));
  ASSERT_TRUE(WaitRows("Dyn", 2)) << Trace();
  EXPECT_EQ(OnlineSources("Dyn"), 1);
  // The first partner leaves; its offline waits for the time to live and is then handled.
  a.reset();
  ASSERT_TRUE(WaitLogged("TCP session disconnect received from"));
  auto offlines = [&] {
    std::string trace = Trace();
    return qdvp_test::Occurrences(trace, "Sending dp_offline request") +
           qdvp_test::Occurrences(trace, "not sent: another source of its table holds");
  };
  ASSERT_TRUE(WaitFor([&] { return offlines() >= 1; }, 20s)) << Trace();
  EXPECT_EQ(OnlineSources("Dyn"), 1);
  ASSERT_TRUE(b->Send("b2,201\nb3,202\nb4,203\n"));
  // The rows of the table and those stored under no table.
  auto all = [&] {
    return std::stoi("0" + dch_test::QueryOne(peer_->Db(),
                                              "select count(*) from rows where "
                                              "attribute_group is null or "
                                              "attribute_group='Dyn'"));
  };
  ASSERT_TRUE(WaitFor([&] { return all() >= 5; }, 20s)) << Trace();
  EXPECT_EQ(Count("Dyn"), 5) << "rows stored under a handle the agent took offline\n" << Trace();
  EXPECT_EQ(Values("Dyn", "Host"), (std::vector<std::string>{"a1", "b1", "b2", "b3", "b4"}));
  EXPECT_EQ(qdvp_test::Occurrences(qdvp_test::ReadFile(peer_->Jsonl()), "handle not online"), 0);
  // The second leaves too: now the source goes offline at the agent.
  b.reset();
  ASSERT_TRUE(WaitFor([&] { return OnlineSources("Dyn") == 0; }, 20s)) << Trace();
}

// UDP partners: each datagram's lines are rows; a size confirmation answers each datagram; the
// end marker ends the session and the next datagram starts one; a partner silent for TTL times
// the expire factor is taken offline by the periodic scan (DP log 32).
TEST_F(SocketServer, UdpPartnerSessionsEndByMarkerAndByExpiry) {
  Metafile("web", WebMetafile("//CONFIRM SIZE\n", " 1"));
  Start({{"QDVP_DP_EXPIRE_FACTOR", "2"}});
  auto p = Client::Udp(port_);
  EXPECT_TRUE(p->Send("web1,200,1\nweb2,200,2\n"));
  EXPECT_EQ(p->Read(4), Be32(22));
  ASSERT_TRUE(WaitRows("Web", 2)) << Trace();
  EXPECT_TRUE(p->Send("//END-DP-INPUT"));
  EXPECT_EQ(p->Read(4), Be32(14));
  ASSERT_TRUE(WaitLogged("UDP session disconnect received from"));
  EXPECT_TRUE(p->Send("web3,200,3\n"));
  ASSERT_TRUE(WaitRows("Web", 3));
  ASSERT_TRUE(WaitLogged("UDP inactivity time expired", 1, 30s));
  EXPECT_EQ(Values("Web", "Host"), (std::vector<std::string>{"web1", "web2", "web3"}));
}

// The periodic outage test connects back to each TCP partner: a partner whose port takes no
// connections and whose table's TTL has passed is let go (DP log 74) and taken offline; with
// QDVP_TCP_DISCONNECT_BY_TTL=N it stays (any value but Y or N stops the start).
TEST_F(SocketServer, TcpPartnerPastItsTtlIsEndedByTheOutageTest) {
  Metafile("web", WebMetafile("", " 1"));
  int rows = 0;
  for (const char *byTTL : {"N", "Y"}) {
    SCOPED_TRACE(byTTL);
    Start({{"QDVP_TCP_OUTAGE_WINDOW", "1"}, {"QDVP_TCP_DISCONNECT_BY_TTL", byTTL}});
    auto p = Client::Tcp(port_);
    ASSERT_TRUE(p && p->Send("web1,200,1\n"));
    ASSERT_TRUE(WaitRows("Web", ++rows)) << Trace();
    if (byTTL[0] == 'N') {
      const std::string tested = "Test TCP connection to 127.0.0.1";
      ASSERT_TRUE(WaitFor([&] { return qdvp_test::Occurrences(Trace(), tested) >= 2; }, 20s))
          << Trace();
      EXPECT_EQ(Logged("TCP connection outage detected"), 0);
      EXPECT_EQ(OnlineSources("Web"), 1);
      Stop();
      continue;
    }
    ASSERT_TRUE(WaitLogged("TCP connection outage detected", 1, 20s)) << Trace();
    EXPECT_TRUE(p->Closed(10s, true));
    ASSERT_TRUE(WaitFor([&] { return OnlineSources("Web") == 0; }, 10s));
  }
}

// Hostile partners: an association record that reaches outside the metafile directory, a
// binary datagram, a wake-up text from outside, a sender that two configured entries match
// alike, a hundred connections that say nothing, NUL bytes and a 5000-byte line without a line
// end are refused or carried as records; the server goes on serving, and the data provider
// ends cleanly with every partner offline.
TEST_F(SocketServer, HostileInputIsRefusedAndTheServerGoesOn) {
  Metafile("web", WebMetafile(""));
  int twinPort = FreePort();
  std::string twin = "//SOURCE SOCK 127.0.0.3[" + std::to_string(twinPort) + "]\n";
  Metafile("twins", "//APPL Twins\n//NAME One E\n" + twin +
                        "//ATTRIBUTES ','\nHost D 16\n"
                        "//NAME Two E\n" +
                        twin + "//ATTRIBUTES ','\nHost D 16\n");
  Start();
  {
    auto ambiguous = Client::Open(port_, true, "127.0.0.3", twinPort);
    EXPECT_TRUE(ambiguous->Send("twin,1\n"));
  }
  std::vector<std::unique_ptr<Client>> silent;
  for (int i = 0; i < 100; i++) {
    silent.push_back(Client::Open(port_, false, "127.0.0.4"));
  }
  {
    auto escape = Client::Open(port_, false, "127.0.0.2");
    ASSERT_TRUE(escape && escape->Send("//../../etc/passwd\nx,y,z\n"));
    EXPECT_TRUE(escape->Closed(10s, true));
  }
  ASSERT_TRUE(WaitLogged("New TCP connection from"));
  auto noise = Client::Open(port_, true, "127.0.0.2");
  EXPECT_TRUE(noise->Send(std::string("\x01\x02\x00\xff", 4)));
  EXPECT_TRUE(noise->Send("*DP*SOCKET*SELECT*SHUTDOWN*INTERRUPT*"));
  auto p = Client::Tcp(port_);
  ASSERT_TRUE(p && p->Send(std::string("bin\0ary,1,2\n", 12)));
  EXPECT_TRUE(p->Send(std::string(5000, 'x')));
  EXPECT_TRUE(p->Send("\nweb9,200,9\n"));
  ASSERT_TRUE(WaitFor(
      [&] {
        auto hosts = Values("Web", "Host");
        return !hosts.empty() && hosts.back() == "web9";
      },
      20s))
      << Trace();
  EXPECT_TRUE(qdvp_->Running());
  EXPECT_EQ(OnlineSources("Web"), 1);
  EXPECT_NE(Trace().find("More than one IO Entry found"), std::string::npos);
  EXPECT_TRUE(Values("One", "Host").empty());
  EXPECT_TRUE(Values("Two", "Host").empty());
  // What the partners did is counted: the console's statistics text and the metrics page.
  std::string stats, errors;
  ASSERT_EQ(RunConsole("sock", {"STATS"}, &stats, &errors), 0) << errors;
  EXPECT_NE(stats.find("Total opened sockets 1, Socket I/O rate"), std::string::npos) << stats;
  EXPECT_TRUE(WaitLogged("DP Statistic: Interval"));
  std::string page = qdvp_test::HttpRequest(metricsPort_, "GET /metrics");
  EXPECT_EQ(page.rfind("HTTP/1.0 200 OK", 0), 0u) << page;
  EXPECT_NE(page.find("qdvp_sockets_opened_total 1\n"), std::string::npos) << page;
  EXPECT_NE(page.find("qdvp_socket_receives_total "), std::string::npos);
  EXPECT_EQ(qdvp_test::HttpRequest(metricsPort_, "GET /other").rfind("HTTP/1.0 404", 0), 0u);
  Stop();
  EXPECT_EQ(OnlineSources("Web"), 0);
}

// POST with the built-in application: a TCP post gets its 26-character stamp back (sender
// address, time, category key, text checksum) and becomes a row; a UDP post gets no answer but
// is a row too; a message without a category is Information; QDVP_POST_CATEGORY adds a key and
// empties I, whose messages then keep the text with a blank key. qdvp post's exit statuses.
TEST_F(SocketServer, PostedMessagesBecomeStampedRows) {
  Start({{"QDVP_POST_CATEGORY", "X=Extra,I=,D=Detail"}}, "post");
  std::string stamp;
  ASSERT_EQ(Post({"--category", "w", "disk", "full"}, &stamp), 0) << Trace();
  ASSERT_EQ(stamp.size(), 27u) << stamp;
  EXPECT_EQ(stamp.substr(0, 8), "7F000001");
  EXPECT_EQ(stamp[20], 'W');
  ASSERT_EQ(Post({"--category", "x", "extra one"}, &stamp), 0);
  EXPECT_EQ(stamp[20], 'X');
  ASSERT_EQ(Post({"--category", "I", "plain"}, &stamp), 0);
  EXPECT_EQ(stamp[20], ' ');
  ASSERT_EQ(Post({"--udp", "by datagram"}), 0);
  ASSERT_TRUE(WaitRows("dpPost", 4)) << Trace();
  EXPECT_EQ(Values("dpPost", "Post_Text"),
            (std::vector<std::string>{"disk full", "extra one", "plain", "by datagram"}));
  EXPECT_EQ(Values("dpPost", "Post_Category"),
            (std::vector<std::string>{"Warning", "Extra", "Information", "Information"}));
  EXPECT_EQ(Values("dpPost", "Post_Ack_Stamp")[0].size(), 26u);
  // The source is named like the data provider's DP log: the host, the type, "dp".
  char host[256] = "";
  gethostname(host, sizeof(host));
  std::string node = std::string(host).substr(0, std::string(host).find('.')) + "POSTdp";
  EXPECT_EQ(dch_test::QueryOne(peer_->Db(),
                               "select source from sources where "
                               "attribute_group='dpPost'"),
            node);
  EXPECT_EQ(Post({}), 2);
  Stop();
  EXPECT_EQ(Post({"after the end"}), 1);

  // A QDVPOST metafile in the metafile directory defines the posting table, with further
  // fields of the message in further attributes.
  Metafile("QDVPOST",
           "//APPL Posts\n//NAME Notes E\n//ATTRIBUTES ';'\nPost_Time T 16\n"
           "Post_Origin D 32\nPost_Ack_Stamp D 26\nPost_Text D 128\n"
           "Post_Category D 16\nOwner D 16\n",
           false);
  Start({}, "post");
  ASSERT_EQ(Post({"--category", "A", "door", "open"}), 0);
  ASSERT_TRUE(WaitRows("Notes", 1)) << Trace();
  EXPECT_EQ(Values("Notes", "Post_Category"), (std::vector<std::string>{"Alert"}));
}

// At the open-file limit the POST server does not spin on the connection it cannot take: it
// closes it unserved, rests, says so once (DP log 96), and posts are served again once
// descriptors are free. A flood of datagrams meanwhile does not keep the TCP sender waiting.
TEST_F(SocketServer, PostServerAtTheOpenFileLimitClosesTheExcessAndGoesOn) {
  Start({}, "post");
  pid_t pid = qdvp_->pid();
  // The limit just above the server's reserve descriptor (the /dev/null it opened last), so
  // that the reserve can be given up for an accept. Numbers below it that another task freed
  // (one at most: the console's key file, written while the server started) are taken by the
  // first connection: the first or the second one finds no descriptor.
  rlimit original{};
  ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, nullptr, &original), 0) << strerror(errno);
  int reserve = qdvp_test::HighestDescriptorOn(pid, "/dev/null");
  ASSERT_GE(reserve, 0);
  ASSERT_LE(qdvp_test::FreeDescriptorsBelow(pid, reserve), 1);
  rlimit limit{static_cast<rlim_t>(reserve + 1), original.rlim_max};
  ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &limit, nullptr), 0) << strerror(errno);
  auto first = Client::Tcp(port_);
  ASSERT_TRUE(first);
  std::unique_ptr<Client> second;
  if (!WaitLogged("POST server cannot accept a connection, errno 24", 1, 2s)) {
    second = Client::Tcp(port_);
    ASSERT_TRUE(second);
    EXPECT_TRUE(WaitLogged("POST server cannot accept a connection, errno 24", 1, 5s)) << Trace();
  }
  // Closed unserved: the connection ends without a stamp.
  EXPECT_TRUE((second ? second : first)->Closed(5s, true))
      << (second ? "second" : "first") << Trace();
  double before = qdvp_test::CpuSeconds(pid);
  auto start = std::chrono::steady_clock::now();
  std::vector<std::unique_ptr<Client>> more;
  WaitFor(
      [&] {
        if (more.size() < 8) more.push_back(Client::Tcp(port_));
        return std::chrono::steady_clock::now() - start >= 2s;  // the time the CPU is measured for
      },
      5s);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double used = qdvp_test::CpuSeconds(pid) - before;
  EXPECT_LT(used, 0.25 * seconds) << used << " CPU seconds in " << seconds;
  EXPECT_EQ(Logged("server cannot accept a connection"), 1);
  first.reset();
  more.clear();
  ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &original, nullptr), 0);
  // Datagrams keep coming while a TCP post waits for its stamp.
  auto flood = Client::Udp(port_);
  ASSERT_TRUE(flood);
  std::atomic<bool> flooding{true};
  std::thread sender([&] {
    while (flooding) flood->Send("flood");
  });
  std::string stamp;
  int rc = Post({"after the limit"}, &stamp);
  flooding = false;
  sender.join();
  EXPECT_EQ(rc, 0) << Trace();
  EXPECT_EQ(stamp.size(), 27u) << stamp;
  EXPECT_TRUE(qdvp_->Running());
}

}  // namespace
