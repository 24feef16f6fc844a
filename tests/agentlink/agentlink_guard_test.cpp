// The agent link against an agent that goes away and comes back, and against datagrams that do
// not come from the agent: over UDP only the agent's answers are taken; a link that fell back
// to UDP returns to TCP once the agent offers it again; a registration the agent closed the
// connection on is deferred, not dropped.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "include/qdvp_core.h"
#include "include/qdvp_dchcomm.h"
#include "include/qdvp_model.h"
#include "include/qdvp_request.h"
#include "tests/support/dchpeer.h"
#include "tests/support/peerlink.h"
#include "tests/support/qdvptest.h"

namespace {

using dch_test::QueryOne;
using qdvp_test::WaitFor;

const char kShop[] = "//APPL Shop @shop\n//NAME Sales E 300 @sales\n//ATTRIBUTES\nItem D 16\n";

class Guard : public qdvp_test::PeerLinkTest {
 protected:
  SourceEntry *Load() { return LoadSource("m.mdl", kShop); }
  static void SetItem(SourceEntry *s, const std::string &item) {
    OSV1_Guard attrs(&s->AttrLock);
    memcpy(s->pAttrList->Value, item.data(), item.size());
    s->pAttrList->ActualValSize = static_cast<int>(item.size());
  }
  std::string Rows() {
    std::string n;
    WaitFor([&] { return !(n = QueryOne(peer_->Db(), "SELECT count(*) FROM rows")).empty(); });
    return n;
  }
};

// A datagram from anyone but the agent, sent to the data provider's UDP socket while a row
// waits for its answer, is not taken for the answer: the forged status 2 would have sent the
// source online again.
TEST_F(Guard, OverUdpOnlyTheAgentsDatagramsAreTaken) {
  StartPeerLink({"--udp-only", "--delay", "data:500"});
  SourceEntry *s = Load();
  ASSERT_NE(s, nullptr) << out_;
  ASSERT_EQ(Request(s, QDVP_Ready), QDVP_Active);
  int udp = anchor_->pDCHcomm->Socket.load();
  sockaddr_in local{}, agent{};
  socklen_t n = sizeof local;
  ASSERT_EQ(getsockname(udp, reinterpret_cast<sockaddr *>(&local), &n), 0);
  n = sizeof agent;
  ASSERT_EQ(getpeername(udp, reinterpret_cast<sockaddr *>(&agent), &n), 0);
  EXPECT_EQ(ntohl(local.sin_addr.s_addr), INADDR_LOOPBACK);
  EXPECT_EQ(ntohs(agent.sin_port), peer_->port());
  std::thread forger([&] {
    int f = socket(AF_INET, SOCK_DGRAM, 0);
    std::string forged = dch_test::Msg::Status(2).Bytes();
    for (int i = 0; i < 20; i++) {
      sendto(f, forged.data(), forged.size(), 0, reinterpret_cast<sockaddr *>(&local),
             sizeof local);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    close(f);
  });
  SetItem(s, "real");
  EXPECT_EQ(Request(s, QDVP_Output), QDVP_Active);
  forger.join();
  EXPECT_EQ(s->LastDataStatus, 0);
  EXPECT_EQ(Rows(), "1");
  EXPECT_EQ(QueryOne(peer_->Db(), "SELECT count(*) FROM sources"), "1");  // no second online
}

// The agent goes away and comes back: while it is away the link falls back to UDP; once it is
// back, rows go on over UDP and the link is on TCP again within a few seconds (it tries TCP
// every 5 seconds between batches), every row stored.
TEST_F(Guard, AFallBackToUdpReturnsToTcpOnceTheAgentOffersIt) {
  StartPeerLink();
  SourceEntry *s = Load();
  ASSERT_NE(s, nullptr) << out_;
  ASSERT_EQ(Request(s, QDVP_Ready), QDVP_Active);
  SetItem(s, "before");
  ASSERT_EQ(Request(s, QDVP_Output), QDVP_Active);
  // On a window the request returns once the row is taken; the agent goes away after storing it.
  ASSERT_TRUE(WaitFor([&] { return Rows() == "1"; }));
  peer_->Stop();
  ASSERT_TRUE(WaitFor([&] { return anchor_->pDCHcomm->Socket.load() == 0; }));
  SetItem(s, "away");
  EXPECT_EQ(Request(s, QDVP_Output), QDVP_Inactive);  // no agent: no answer within the wait
  EXPECT_EQ(anchor_->pDCHcomm->ReceiveMode.load(), QDVP_DCH_MODE_UDP);
  auto second = Restart();
  auto back = std::chrono::steady_clock::now();
  int rows = 1;
  while (anchor_->pDCHcomm->ReceiveMode.load() != QDVP_DCH_MODE_TCP &&
         std::chrono::steady_clock::now() - back < std::chrono::seconds(10)) {
    SetItem(s, "back");
    if (s->State != QDVP_Active) {
      ASSERT_EQ(Request(s, QDVP_Ready), QDVP_Active);
    }
    ASSERT_EQ(Request(s, QDVP_Output), QDVP_Active);
    rows++;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a row every 20 ms
  }
  EXPECT_EQ(anchor_->pDCHcomm->ReceiveMode.load(), QDVP_DCH_MODE_TCP);
  EXPECT_LT(std::chrono::steady_clock::now() - back, std::chrono::seconds(7));
  SetItem(s, "tcp");
  ASSERT_EQ(Request(s, QDVP_Output), QDVP_Active);
  // Back on TCP the rows go in the window again: stored a moment after they are taken.
  EXPECT_TRUE(WaitFor([&] { return Rows() == std::to_string(rows + 1); })) << Rows();
  link_.reset();
  second->Stop();
}

// The agent has no room: it accepts the connection and closes it at once. The registration is
// deferred (Pending, and the periodic scan sends it again), not refused, and once the agent
// has room it goes through.
TEST_F(Guard, ARegistrationTheAgentClosedOnIsDeferredNotDropped) {
  StartPeerLink();
  peer_->Stop();
  ASSERT_TRUE(WaitFor([&] { return anchor_->pDCHcomm->Socket.load() == 0; }));
  auto second = Restart({"--max-connections", "1", "--idle-limit-ms", "600000"});
  auto holder = dch_test::Client::Tcp(second->port());
  ASSERT_TRUE(holder);
  ASSERT_TRUE(WaitFor([&] { return second->Stderr().find("connected") != std::string::npos; }));
  SourceEntry *s = Load();
  ASSERT_NE(s, nullptr) << out_;
  EXPECT_EQ(out_.find("QDVPV08E"), std::string::npos) << out_;
  EXPECT_EQ(s->State, QDVP_Pending);
  holder.reset();
  ASSERT_TRUE(WaitFor([&] { return second->Stderr().find("closed by peer") != std::string::npos; }));
  EXPECT_EQ(Request(s, QDVP_Register), QDVP_Ready);  // as the periodic scan does
  link_.reset();
  second->Stop();
}

}  // namespace
