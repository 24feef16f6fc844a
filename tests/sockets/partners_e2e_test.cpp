// Socket partners that no sender can capture or use up, end to end: `qdvp start sock` (and
// `apis`) on a private port against qdvp-dch, the partners played by the test from loopback
// addresses of their own. Rows are read from the peer's database, DP log messages from the
// trace.
#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/dpworld.h"
#include "tests/support/qdvptest.h"

namespace {

using dch_test::Be32;
using dch_test::Client;
using qdvp_test::CpuSeconds;
using qdvp_test::FreePort;
using qdvp_test::WaitFor;
using namespace std::chrono_literals;

class Partners : public qdvp_test::DataProviderWorld {
 protected:
  std::map<std::string, std::string> KindEnv() const override {
    return {{"QDVP_DP_PORT", std::to_string(port_)},
            {"QDVP_API_DPAPI_PORT", std::to_string(port_)}};
  }
  void Start(const std::map<std::string, std::string> &extra = {},
             const std::string &type = "sock") {
    for (const auto &[k, v] : extra) extraEnv_[k] = v;
    Launch(type);
    std::string server = type == "sock" ? "Socket DP" : "Socket API Server DP";
    ASSERT_TRUE(WaitLogged(server + " started. Listening on port " + std::to_string(port_) +
                           " both TCP and UDP"))
        << qdvp_->Stderr() << Trace();
  }
  int port_ = FreePort();
};

const char kDyn[] = "//APPL DynApp\n//NAME Dyn E\n//ATTRIBUTES ','\nHost D 16\nStatus D 4\n";
const char kOther[] = "//APPL OtherApp\n//NAME Other E\n//ATTRIBUTES ','\nHost D 16\n";

// The i-th of many loopback addresses, each another host as far as the server sees.
std::string Host(int i) {
  return "127.0." + std::to_string(1 + i / 200) + "." + std::to_string(1 + i % 200);
}

// A partner that named its metafile serves its own session only. After it closes, the next
// connection from its host names its own metafile and gets its own application; names that are
// no metafile are refused (DP log 30). Over UDP the session lasts until its end marker; after it
// a datagram must name its metafile again. Sessions from 270 hosts one batch after another
// each get a partner: the table's bound counts the sessions at once, not those ever held.
TEST_F(Partners, DynamicPartnersAreReleasedWhenTheirSessionsEnd) {
  Metafile("dyn", kDyn, false);
  Metafile("other", kOther, false);
  Start();
  {
    auto first = Client::Open(port_, false, "127.0.0.5");
    ASSERT_TRUE(first && first->Send("//dyn\nd1,200\n"));
    ASSERT_TRUE(WaitRows("Dyn", 1)) << Trace();
  }
  ASSERT_TRUE(WaitLogged("TCP session disconnect received from"));
  {
    auto next = Client::Open(port_, false, "127.0.0.5");
    ASSERT_TRUE(next && next->Send("//other\no1\n"));
    ASSERT_TRUE(WaitRows("Other", 1)) << Trace();
  }
  ASSERT_TRUE(WaitLogged("TCP session disconnect received from", 2));
  // From two hosts: a refused sender's message is said once in a while per address.
  const struct {
    const char *first, *from;
  } refused[] = {{"//no-such-metafile\nx,1\n", "127.0.0.7"},
                 {"//../../etc/passwd\nx,1\n", "127.0.0.8"}};
  for (const auto &r : refused) {
    const char *first = r.first;
    SCOPED_TRACE(first);
    auto c = Client::Open(port_, false, r.from);
    ASSERT_TRUE(c && c->Send(first));
    EXPECT_TRUE(c->Closed(10s, true));
  }
  EXPECT_TRUE(WaitLogged("metafile definition error", 2)) << Trace();
  EXPECT_EQ(Values("Dyn", "Host"), (std::vector<std::string>{"d1"}));
  EXPECT_EQ(Values("Other", "Host"), (std::vector<std::string>{"o1"}));

  auto u = Client::Open(port_, true, "127.0.0.6");
  ASSERT_TRUE(u && u->Send("//dyn\nu1,1\n"));
  ASSERT_TRUE(WaitRows("Dyn", 2)) << Trace();
  EXPECT_TRUE(u->Send("u2,2\n"));
  ASSERT_TRUE(WaitRows("Dyn", 3));
  EXPECT_TRUE(u->Send("//dyn\nu3,3\n"));  // the record again: skipped, the same session
  ASSERT_TRUE(WaitRows("Dyn", 4));
  EXPECT_TRUE(u->Send("//END-DP-INPUT"));
  ASSERT_TRUE(WaitLogged("UDP session disconnect received from"));
  EXPECT_TRUE(u->Send("u4,4\n"));
  EXPECT_TRUE(WaitLogged("New UDP connection from")) << Trace();
  EXPECT_TRUE(u->Send("//other\nu5\n"));
  ASSERT_TRUE(WaitRows("Other", 2)) << Trace();
  EXPECT_EQ(Values("Dyn", "Host"), (std::vector<std::string>{"d1", "u1", "u2", "u3"}));
  EXPECT_EQ(Values("Other", "Host"), (std::vector<std::string>{"o1", "u5"}));

  for (int batch = 0; batch < 3; batch++) {
    SCOPED_TRACE(batch);
    std::vector<std::unique_ptr<Client>> partners;
    for (int i = batch * 90; i < batch * 90 + 90; i++) {
      partners.push_back(Client::Open(port_, false, Host(i).c_str()));
      ASSERT_TRUE(partners.back() &&
                  partners.back()->Send("//dyn\nh" + std::to_string(i) + ",1\n"));
    }
    ASSERT_TRUE(WaitRows("Dyn", 4 + 90 * (batch + 1), 60s)) << Count("Dyn");
    partners.clear();
    // Their sessions have ended when their sources are offline at the agent.
    ASSERT_TRUE(WaitFor([&] { return OnlineSources("Dyn") == 0; }, 60s));
  }
  EXPECT_EQ(Trace().find("no further partner source"), std::string::npos);
  EXPECT_TRUE(qdvp_->Running());
}

// A client API request over TCP or UDP from a socket of its own: the reply's return code ("0",
// "53", ...), "" when no reply came.
std::string ApiCode(int port, bool udp, const std::string &request) {
  auto c = Client::Open(port, udp);
  if (!c || !c->Send("QDVPAPI300" + request)) return "";
  std::string reply = c->Read(512, 10s);
  return reply.substr(0, reply.find(' '));
}

const char kFeed[] =
    "//APPL Feed\n//NAME Lines E\n//SOURCE SOCK 127.0.0.1\n//ATTRIBUTES ','\n"
    "Host D 16\nStatus D 4\n";

// At the open-file limit (100 descriptors, 150 clients connecting) the API server does not
// spin on the connections it cannot take: it accepts them with its spare descriptor and closes
// them, rests, says so once (DP log 96, one trace line), and once the clients have gone it
// serves the next one.
TEST_F(Partners, AtTheOpenFileLimitTheServerClosesTheExcessAndGoesOn) {
  Metafile("feed", kFeed);
  Start({}, "apis");
  rlimit limit{100, 100};
  ASSERT_EQ(prlimit(qdvp_->pid(), RLIMIT_NOFILE, &limit, nullptr), 0) << strerror(errno);
  std::vector<int> clients;
  sockaddr_in to = qdvp_test::Loopback(port_);
  for (int i = 0; i < 150; i++) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    clients.push_back(fd);
    // Connected, or still trying (the server's queue is full while it rests): the next one.
    connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof(to));
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, 3000);
  }
  ASSERT_TRUE(WaitLogged("server cannot accept a connection, errno 24", 1, 30s)) << Trace();
  double before = CpuSeconds(qdvp_->pid());
  auto start = std::chrono::steady_clock::now();
  // Clients the server closed unserved: their connections end (some are still trying to
  // connect, with the kernel's retransmissions, meanwhile).
  int closed = 0;
  WaitFor(
      [&] {
        closed = 0;
        for (int fd : clients) {
          pollfd p{fd, POLLIN, 0};
          char byte;
          if (poll(&p, 1, 0) == 1 && recv(fd, &byte, 1, MSG_PEEK) == 0) closed++;
        }
        return std::chrono::steady_clock::now() - start >= 3s;  // the time the CPU is measured for
      },
      10s);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double used = CpuSeconds(qdvp_->pid()) - before;
  EXPECT_LT(used, 0.25 * seconds) << used << " CPU seconds in " << seconds;
  EXPECT_GT(closed, 0);
  EXPECT_LE(qdvp_test::Occurrences(Trace(), "Accept for TCP socket failed"), 2);
  EXPECT_EQ(Logged("server cannot accept a connection"), 1);
  for (int fd : clients) close(fd);
  EXPECT_TRUE(WaitFor([&] { return ApiCode(port_, false, "BGNINPFeed Lines") == "0"; }, 30s))
      << Trace();
  EXPECT_TRUE(qdvp_->Running());
}

// UDP API sessions whose senders went away end after QDVP_UDP_SESSION_IDLE seconds although
// their table has no time to live (DP log 32): 260 of them use up the table's sources (53),
// and once they have ended UDP and TCP clients are served again.
TEST_F(Partners, SilentUdpApiSessionsEndWhateverTheirTablesTimeToLive) {
  Metafile("feed", kFeed);
  Start({{"QDVP_UDP_SESSION_IDLE", "3"}}, "apis");
  int begun = 0, refused = 0;
  std::vector<std::unique_ptr<Client>> senders;  // held until all have sent: 260 ports
  for (int i = 0; i < 260; i++) {
    senders.push_back(Client::Udp(port_));
    ASSERT_TRUE(senders.back() && senders.back()->Send("QDVPAPI300BGNINPFeed Lines"));
    std::string reply = senders.back()->Read(512, 10s);
    std::string code = reply.substr(0, reply.find(' '));
    begun += code == "0";
    refused += code == "53";
  }
  senders.clear();
  EXPECT_EQ(begun + refused, 260);
  EXPECT_GT(refused, 0);
  EXPECT_EQ(ApiCode(port_, false, "BGNINPFeed Lines"), "53");
  // A new sender is served once the silent sessions have ended.
  ASSERT_TRUE(WaitFor([&] { return ApiCode(port_, true, "BGNINPFeed Lines") == "0"; }, 60s));
  EXPECT_GE(Logged("UDP inactivity time expired"), 1);
  EXPECT_EQ(ApiCode(port_, false, "BGNINPFeed Lines"), "0");
}

// A datagram from the host of a configured partner that is connected over TCP is that
// partner's: its lines are rows beside the connection's and its confirmation goes back to its
// sender; one that names an application of its own is that application's. Its end marker
// ends the source's session, and the connection's next line starts the next one.
TEST_F(Partners, DatagramsFromTheHostOfAConnectedPartnerAreItsRows) {
  Metafile("web",
           "//APPL WebApp\n//NAME Web E\n//SOURCE SOCK 127.0.0.1\n//CONFIRM SIZE\n"
           "//ATTRIBUTES ','\nHost D 16\nStatus D 4\n");
  Metafile("other", kOther, false);
  Start();
  auto tcp = Client::Tcp(port_);
  ASSERT_TRUE(tcp && tcp->Send("t1,1\n"));
  EXPECT_EQ(tcp->Read(4), Be32(5));
  ASSERT_TRUE(WaitRows("Web", 1)) << Trace();
  auto udp = Client::Udp(port_);
  ASSERT_TRUE(udp && udp->Send("u1,2\nu2,3\n"));
  EXPECT_EQ(udp->Read(4), Be32(10));
  ASSERT_TRUE(WaitRows("Web", 3)) << Trace();
  EXPECT_TRUE(udp->Send("//web\nu3,4\n"));
  EXPECT_EQ(udp->Read(4), Be32(11));
  ASSERT_TRUE(WaitRows("Web", 4));
  EXPECT_TRUE(tcp->Send("t2,5\n"));
  EXPECT_EQ(tcp->Read(4), Be32(5));
  ASSERT_TRUE(WaitRows("Web", 5));
  // A datagram that names an application of its own from that host is that application's.
  auto named = Client::Udp(port_);
  ASSERT_TRUE(named && named->Send("//other\no1\n"));
  ASSERT_TRUE(WaitRows("Other", 1)) << Trace();
  EXPECT_EQ(Values("Web", "Host"), (std::vector<std::string>{"t1", "u1", "u2", "u3", "t2"}));
  EXPECT_EQ(Logged("No Explicit Application Association record found"), 0);
  EXPECT_EQ(OnlineSources("Web"), 1);
  EXPECT_TRUE(udp->Send("//END-DP-INPUT"));
  ASSERT_TRUE(WaitFor([&] { return OnlineSources("Web") == 0; }, 10s));
  EXPECT_TRUE(tcp->Send("t3,6\n"));
  ASSERT_TRUE(WaitRows("Web", 6)) << Trace();
  EXPECT_EQ(OnlineSources("Web"), 1);
  EXPECT_TRUE(WaitFor([&] { return Values("Web", "Host").back() == "t3"; }, 10s));
}

}  // namespace
