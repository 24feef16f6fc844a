// The window against a real qdvp-dch: negotiated in the registration only with an agent that
// answers it; rows kept in flight arrive in their order, each stored once, whatever happens to
// one of them in the middle of a full window (a status 2, 4 or 7, a connection closed, the
// agent killed and started again).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "include/qdvp_core.h"
#include "include/qdvp_dchcomm.h"
#include "include/qdvp_model.h"
#include "include/qdvp_request.h"
#include "tests/support/dchpeer.h"
#include "tests/support/peerlink.h"
#include "tests/support/qdvptest.h"

namespace {

using dch_test::Peer;
using dch_test::QueryOne;
using qdvp_test::WaitFor;

const char kShop[] = "//APPL Shop\n//NAME Sales E\n//ATTRIBUTES\nCount C 1000000\n";
constexpr int kRows = 300;

class Window : public qdvp_test::PeerLinkTest {
 protected:
  SourceEntry *Online() {
    SourceEntry *s = LoadSource("m.mdl", kShop);
    if (s != nullptr) {
      EXPECT_EQ(Request(s, QDVP_VERB_ONLINE), QDVP_Active);
    }
    return s;
  }
  // Sends rows first..last as a file server does: each request returns as soon as the client
  // has taken the row.
  void SendRows(SourceEntry *s, int first, int last) {
    for (int v = first; v <= last; v++) {
      {
        OSV1_Guard attrs(&s->AttrLock);
        QDVP_WirePut32(reinterpret_cast<unsigned char *>(s->pAttrList->Value),
                       static_cast<uint32_t>(v));
        s->pAttrList->ActualValSize = 4;
      }
      Request(s, QDVP_VERB_DATA);
    }
  }
  // Every row 1..n stored once, in order, once the peer has them all.
  void ExpectEveryRowOnceInOrder(const std::string &db, int n) {
    EXPECT_TRUE(WaitFor([&] { return QueryOne(db, "SELECT count(*) FROM rows") == std::to_string(n); },
                        std::chrono::seconds(20)))
        << QueryOne(db, "SELECT count(*) FROM rows");
    std::string expected;
    for (int v = 1; v <= n; v++) expected += (v > 1 ? "," : "") + std::to_string(v);
    EXPECT_EQ(QueryOne(db, "SELECT group_concat(json_extract(attrs, '$.Count')) FROM "
                           "(SELECT attrs FROM rows ORDER BY id)"),
              expected);
  }
};

// The window is negotiated only with an agent that answers it. Row 101 of 300 answered 2 (the
// agent lost the source), 4 (it lost the application) or 7 (send again) while the rows after
// it are in flight is sent again after the recovery its status asks for, and so are the rows
// after it, which the agent answered 7 meanwhile. Every row is stored once, in order.
TEST_F(Window, IsNegotiatedWithAnAgentThatAnswersItAndAFailedRowIsSentAgainWithTheRowsAfterIt) {
  struct {
    std::vector<std::string> peer;
    const char *wanted;  // QDVP_DCH_WINDOW, null: unset
    int window;
    const char *registrations;
  } const cases[] = {
      {{}, nullptr, 256, "1"},
      {{}, "16", 16, "1"},
      {{}, "0", 0, "1"},
      {{"--no-window"}, nullptr, 0, "1"},
      {{"--fail", "data:2:1:100"}, nullptr, 256, "1"},
      {{"--fail", "data:4:1:100"}, nullptr, 256, "2"},
      {{"--fail", "data:7:1:100"}, nullptr, 256, "1"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.window) + (c.peer.empty() ? "" : " " + c.peer.back()));
    env_.Set("QDVP_DCH_WINDOW", c.wanted ? std::optional<std::string>(c.wanted) : std::nullopt);
    StartPeerLink(c.peer);
    SourceEntry *s = Online();
    ASSERT_NE(s, nullptr) << out_;
    EXPECT_EQ(anchor_->pDCHcomm->Window, c.window);
    SendRows(s, 1, kRows);
    ExpectEveryRowOnceInOrder(peer_->Db(), kRows);
    // Rows in the window carry their number in the source's stream; others carry none.
    EXPECT_EQ(QueryOne(peer_->Db(), "SELECT count(DISTINCT row_number) FROM rows"),
              c.window > 1 ? std::to_string(kRows) : "0");
    EXPECT_EQ(QueryOne(peer_->Db(), "SELECT registrations FROM applications"), c.registrations);
    TearDown();
    peer_.reset();
  }
}

// The peer closes the connection after answering row 100, with the rest of a full window in
// flight; then it is killed in the middle of a burst and started again on its database. Every
// row is stored, once.
TEST_F(Window, RowsInFlightSurviveALostConnectionAndAKilledAgentOnce) {
  StartPeerLink({"--drop-after", "100"});
  SourceEntry *s = Online();
  ASSERT_NE(s, nullptr) << out_;
  SendRows(s, 1, kRows);
  ExpectEveryRowOnceInOrder(peer_->Db(), kRows);

  SendRows(s, kRows + 1, kRows + 150);
  peer_->Kill();
  auto second = std::make_unique<Peer>(
      std::vector<std::string>{"--port", std::to_string(peer_->port())}, peer_->dir());
  ASSERT_TRUE(second->Ready()) << second->Stderr();
  SendRows(s, kRows + 151, 2 * kRows);
  ExpectEveryRowOnceInOrder(peer_->Db(), 2 * kRows);
  link_.reset();
  second->Stop();
}

// A slow agent (5 ms a row) holds the requester back: it is never more than the window ahead
// of the rows the agent has stored, so the data provider holds the window, not the backlog.
TEST_F(Window, ASlowAgentHoldsTheSenderToTheWindow) {
  env_.Set("QDVP_DCH_WINDOW", "16");
  StartPeerLink({"--delay", "data:5"});
  SourceEntry *s = Online();
  ASSERT_NE(s, nullptr) << out_;
  int ahead = 0;
  for (int v = 1; v <= 200; v++) {
    SendRows(s, v, v);
    ahead = std::max(ahead, v - std::stoi("0" + QueryOne(peer_->Db(), "SELECT count(*) FROM rows")));
  }
  EXPECT_LE(ahead, 16 + 1);
  EXPECT_GE(ahead, 8) << "the rows did not go out in the window";
  ExpectEveryRowOnceInOrder(peer_->Db(), 200);
}

}  // namespace
