// The data provider's side of the agent link on loopback. Against a real qdvp-dch: what the
// peer stores for each request, how the client follows the agent's statuses, the UDP
// fall-back and its return to TCP, reconnection after the peer was restarted, the client's
// end, delayed offlines, late answers and what offline forgets; over UDP only the agent's
// datagrams are taken, a registration the agent closed the connection on is deferred. The
// window: negotiated only with an agent that answers it; rows in flight arrive in their order,
// each stored once, whatever happens to one of them in a full window (a status 2, 4 or 7, a
// connection closed, the agent killed and started again). One row in flight: a row its
// requester sends has the agent's outcome (refused, sent again, online again, lost with its
// connection), keeps its order beside another task's requests through the client, and is
// settled before the data provider ends. Against a
// scripted agent that misbehaves on the wire: broken framing drops the connection (made again
// before the next request), a reply split over two writes is read whole, an incomplete reply ends
// the request after the reply wait. And the bytes the data provider puts on the agent link, checked
// without a network: the transport is replaced by one that records every send and answers
// from a script of statuses. Registration text, rows with formulas, the small requests and
// their repeats on status 7, stand-alone mode, the character tables, and the decoder's
// reassembly of what the agent sends.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/support/qdv0.h"
#include "include/qdvp.h"
#include "include/qdvp_core.h"
#include "include/qdvp_dchcomm.h"
#include "include/qdvp_model.h"
#include "include/qdvp_records.h"
#include "include/qdvp_request.h"
#include "include/qdvp_services.h"
#include "tests/records/records_test_util.h"
#include "tests/support/dchpeer.h"
#include "tests/support/peerlink.h"
#include "tests/support/qdvptest.h"

namespace {

using dch_test::Be16;
using dch_test::Be32;
using dch_test::Hex;
using dch_test::Lines;
using dch_test::Msg;
using dch_test::Peer;
using dch_test::QueryOne;
using qdvp_test::WaitFor;
using records_test::Attr;

const char kShop[] =
    "//APPL Shop @shop help\n//NAME Sales E 300 @sales help\n//ATTRIBUTES\n"
    "Item D 16 @what was sold\nCount C 100000\n";
constexpr int kRows = 300;

class PeerLink : public qdvp_test::PeerLinkTest {
 protected:
  // Starts the peer with options and the data provider's client aimed at it; a second call
  // ends what the first started.
  void Start(std::vector<std::string> options = {}) {
    if (peer_) TearDown();
    StartPeerLink(std::move(options));
  }
  SourceEntry *Load(const std::string &text, const std::string &name = "m.mdl") {
    return LoadSource(name, text);
  }
  // Sets a row of kShop's source and asks for its output; returns the state after it.
  int SendRow(SourceEntry *s, const std::string &item, int32_t count) {
    {
      OSV1_Guard attrs(&s->AttrLock);
      AttrEntry *i = s->pAttrList, *c = i->pNext;  // Item, Count
      memcpy(i->Value, item.data(), item.size());
      i->ActualValSize = static_cast<int>(item.size());
      QDVP_WirePut32(reinterpret_cast<unsigned char *>(c->Value), static_cast<uint32_t>(count));
      c->ActualValSize = 4;
    }
    return Request(s, QDVP_Output);
  }
  static std::string Offline(const std::string &where) {
    return "SELECT count(*) FROM sources WHERE offline_at IS NOT NULL AND " + where;
  }
  size_t Logged(const std::string &text) {
    size_t n = 0;
    for (const auto &line : Lines(peer_->Jsonl())) n += line.find(text) != std::string::npos;
    return n;
  }
  std::string Rows() {
    std::string n;
    WaitFor([&] { return !(n = QueryOne(peer_->Db(), "SELECT count(*) FROM rows")).empty(); });
    return n;
  }
  // kShop's source, online; null when it is not.
  SourceEntry *Online() {
    SourceEntry *s = Load(kShop);
    return s != nullptr && Request(s, QDVP_Ready) == QDVP_Active ? s : nullptr;
  }
  // Sends rows first..last (their Count) as a file server does: each request returns as soon
  // as the client has taken the row.
  void SendRows(SourceEntry *s, int first, int last) {
    for (int v = first; v <= last; v++) SendRow(s, "w", v);
  }
  // Sets a row of kShop's source (Count v) and asks for it as requester does (the link's own
  // requester when null); the request's outcome.
  DCHresult RowOf(SourceEntry *s, int32_t v, ProcessEntry *requester) {
    {
      OSV1_Guard attrs(&s->AttrLock);
      AttrEntry *i = s->pAttrList, *c = i->pNext;  // Item, Count
      memcpy(i->Value, "w", 1);
      i->ActualValSize = 1;
      QDVP_WirePut32(reinterpret_cast<unsigned char *>(c->Value), static_cast<uint32_t>(v));
      c->ActualValSize = 4;
    }
    return QDVP_Request(anchor_, s, QDVP_VERB_DATA, requester);
  }
  DCHresult Row(SourceEntry *s, int32_t v) { return RowOf(s, v, link_->Requester()); }
  // Every row 1..n stored once, in order, once the peer has them all.
  void ExpectEveryRowOnceInOrder(const std::string &db, int n) {
    EXPECT_TRUE(
        WaitFor([&] { return QueryOne(db, "SELECT count(*) FROM rows") == std::to_string(n); },
                std::chrono::seconds(20)))
        << QueryOne(db, "SELECT count(*) FROM rows");
    std::string expected;
    for (int v = 1; v <= n; v++) expected += (v > 1 ? "," : "") + std::to_string(v);
    EXPECT_EQ(QueryOne(db,
                       "SELECT group_concat(json_extract(attrs, '$.Count')) FROM "
                       "(SELECT attrs FROM rows ORDER BY id)"),
              expected);
  }
};
using Guard = PeerLink;
using Window = PeerLink;
using OneRow = PeerLink;

TEST_F(PeerLink, RegisterOnlineDataOfflineUnregisterReachThePeer) {
  Start();
  SourceEntry *s = Load(kShop);
  ASSERT_NE(s, nullptr) << out_;
  EXPECT_EQ(s->State, QDVP_Ready);
  ExpectDb("SELECT help FROM applications WHERE name='Shop'", "shop help");
  ExpectDb("SELECT type || ttl FROM attribute_groups WHERE application='Shop'", "E300");
  ExpectDb(
      "SELECT group_concat(d, ' ') FROM (SELECT name || ':' || type || ':' || size AS d "
      "FROM attributes WHERE application='Shop' ORDER BY position)",
      "Item:D:16 Count:C:4");

  EXPECT_EQ(Request(s, QDVP_Ready), QDVP_Active);
  EXPECT_NE(QDVP_WireGet32(s->DCHhandle), 0u);
  ExpectDb("SELECT count(*) FROM sources WHERE application='Shop' AND offline_at IS NULL", "1");

  EXPECT_EQ(SendRow(s, "pen", 3), QDVP_Active);
  ExpectDb("SELECT attrs FROM rows WHERE application='Shop'", "{\"Item\":\"pen\",\"Count\":3}");

  s->OfflineNow = 1;
  EXPECT_EQ(Request(s, QDVP_Inactive), QDVP_Ready);
  EXPECT_EQ(QDVP_WireGet32(s->DCHhandle), 0u);
  ExpectDb(Offline("application='Shop'"), "1");

  EXPECT_EQ(Request(s, QDVP_Unregister), QDVP_Initial);
  ExpectDb("SELECT unregistered_at IS NOT NULL FROM applications WHERE name='Shop'", "1");
}

// 7 sends the same request again; 2 on data brings the source online again and resends the
// row; 4 on online registers the application again first. An agent that answers the row and
// closes the connection at once: the answer stands, so the row is not sent again as if lost
// (repeated because the close races the waiter). In every case the row is stored once.
TEST_F(PeerLink, TheClientFollowsTheAgentsStatuses) {
  const struct {
    std::vector<std::string> options;
    int rounds;
    const char *registrations;  // null: not checked
    std::vector<std::pair<std::string, size_t>> logged;
  } cases[] = {
      {{"--fail", "online:7:2"},
       1,
       "1",
       {{"\"request\":\"online\"", 3}, {"\"status\":7,\"reply_to\":\"online\"", 2}}},
      {{"--fail", "data:2"},
       1,
       "1",
       {{"\"request\":\"data\"", 2},
        {"\"request\":\"online\"", 2},
        {"\"status\":2,\"reply_to\":\"data\"", 1}}},
      {{"--fail", "online:4"},
       1,
       "2",
       {{"\"request\":\"register\"", 2}, {"\"request\":\"online\"", 2}}},
      {{"--drop-after", "1"}, 10, nullptr, {}},
  };
  for (const auto &c : cases) {
    for (int round = 0; round < c.rounds; round++) {
      SCOPED_TRACE(c.options[1] + " round " + std::to_string(round));
      Start(c.options);
      SourceEntry *s = Online();
      ASSERT_NE(s, nullptr) << out_;
      EXPECT_EQ(SendRow(s, "cup", 9), QDVP_Active);
      ExpectDb("SELECT group_concat(attrs) FROM rows", "{\"Item\":\"cup\",\"Count\":9}");
      if (c.registrations) {
        ExpectDb("SELECT registrations FROM applications WHERE name='Shop'", c.registrations);
      }
      peer_->Stop();
      for (const auto &[text, count] : c.logged) EXPECT_EQ(Logged(text), count) << text;
    }
  }
}

TEST_F(PeerLink, UdpOnlyPeerGivesModeOneThenModeThreeAfterRegistration) {
  qdvp_test::TraceCapture trace;
  Start({"--udp-only"});
  EXPECT_EQ(anchor_->pDCHcomm.load()->ReceiveMode.load(), QDVP_DCH_MODE_UDP);
  EXPECT_TRUE(trace.Contains("TCP connection failed. DCH TCP not available"));
  SourceEntry *s = Load(kShop);
  ASSERT_NE(s, nullptr) << out_;
  EXPECT_EQ(anchor_->pDCHcomm.load()->ReceiveMode.load(), QDVP_DCH_MODE_UDP_KEPT);
  ASSERT_EQ(Request(s, QDVP_Ready), QDVP_Active);
  EXPECT_EQ(SendRow(s, "udp", 1), QDVP_Active);
  ExpectDb("SELECT attrs FROM rows", "{\"Item\":\"udp\",\"Count\":1}");
}

TEST_F(PeerLink, RowsFlowAgainAfterThePeerIsRestarted) {
  Start();
  SourceEntry *s = Online();
  ASSERT_NE(s, nullptr) << out_;
  ASSERT_EQ(SendRow(s, "one", 1), QDVP_Active);
  // Taken into the window; stored before the agent goes away.
  ExpectDb("SELECT count(*) FROM rows", "1");
  // The same database and port: the peer remembers the source's handle.
  peer_->Stop();
  EXPECT_TRUE(
      WaitFor([&] { return anchor_->pDCHcomm.load()->Socket.load() == 0; }));  // seen to end
  auto second = Restart();
  ASSERT_TRUE(second->Ready());
  EXPECT_EQ(SendRow(s, "two", 2), QDVP_Active);
  ExpectDb("SELECT count(*) FROM rows", "2");
  EXPECT_EQ(QueryOne(peer_->Db(), "SELECT attrs FROM rows ORDER BY id DESC LIMIT 1"),
            "{\"Item\":\"two\",\"Count\":2}");
  link_.reset();
  second->Stop();
}

// The ending client unregisters every application, and a shutdown request does not take the
// receive task away from its last requests: the replies to both unregister requests are read
// (the first one used to end the receive task), so the ending neither waits for a status that
// cannot come nor reconnects.
TEST_F(PeerLink, TheEndingClientUnregistersEveryApplicationAndReadsTheReplies) {
  for (bool shutdown : {false, true}) {
    SCOPED_TRACE(shutdown ? "shutdown" : "client ended");
    Start();
    for (const char *name : {"Shop", "Depot"}) {
      std::string text = kShop;
      SourceEntry *s = Load(text.replace(text.find("Shop"), 4, name), std::string(name) + ".mdl");
      ASSERT_NE(s, nullptr) << out_;
      ASSERT_EQ(Request(s, QDVP_Ready), QDVP_Active);
    }
    qdvp_test::TraceCapture trace;
    anchor_->ShutdownRequested = shutdown;
    auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(link_->Stop());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    ExpectDb("SELECT count(*) FROM applications WHERE unregistered_at IS NOT NULL", "2");
    ExpectDb("SELECT count(*) FROM sources WHERE offline_at IS NULL", "0");
    EXPECT_EQ(anchor_->pDCHclientPE, nullptr);
    EXPECT_FALSE(trace.Contains("DCH status not yet received"));
  }
}

// An answer that comes after its request timed out is never taken for the next request's: the
// online that follows gets its own answer, with the handle the peer gave for it.
TEST_F(PeerLink, ALateAnswerIsNeverTakenForTheNextRequestAndOfflineForgetsThePast) {
  // The reply wait is 2 seconds; one row at a time, as with an agent that has no window.
  Start({"--delay", "data:2600", "--no-window"});
  SourceEntry *s = Online();
  ASSERT_NE(s, nullptr) << out_;
  // Timed out: the row alone is lost, the source stays online for the next one.
  EXPECT_EQ(SendRow(s, "slow", 1), QDVP_Active);
  EXPECT_EQ(s->LastRequestStatus, QDVP_DCH_STATUS_TIMED_OUT);
  ASSERT_EQ(Request(s, QDVP_Ready), QDVP_Active);
  uint32_t handle = QDVP_WireGet32(s->DCHhandle);
  EXPECT_NE(handle, 0u);
  ExpectDb("SELECT max(handle) FROM sources WHERE application='Shop'", std::to_string(handle));
  // Offline forgets the source's past rows: the per-key copies that rates compare with and the
  // summary collected so far, so nothing from before an outage shows after it.
  Start();
  SourceEntry *per = Load(
      "//APPL Rates\n//NAME Per K 300\n//ATTRIBUTES ','\nHost D 8 KEY\nBytes C\n"
      "Rate # 1000000\n//NAME Sum K 300\n//SUMMARY 60\n//ATTRIBUTES ','\nHost D 8 KEY SKEY=1\n"
      "Cpu G 100 SKEY=SUM\n");
  ASSERT_NE(per, nullptr) << out_;
  SourceEntry *sum = per->pTable->pNext->pSourceList;
  char a[] = "h1,100,", b[] = "h1,5";
  QDVP_MoveDataToAttr(per, a, static_cast<int>(strlen(a)), nullptr);
  QDVP_MoveDataToAttr(sum, b, static_cast<int>(strlen(b)), nullptr);
  QDVP_UpdateSummaryDataArray(sum);
  ASSERT_NE(per->pKeyCopyList, nullptr);
  ASSERT_GT(sum->pSMB->SlotsUsed, 0);
  for (SourceEntry *s : {per, sum}) {
    ASSERT_EQ(Request(s, QDVP_Ready), QDVP_Active);
    s->OfflineNow = 1;
    EXPECT_EQ(Request(s, QDVP_Inactive), QDVP_Ready);
  }
  EXPECT_EQ(per->pKeyCopyList, nullptr);
  EXPECT_EQ(sum->pSMB->SlotsUsed, 0);
  EXPECT_EQ(sum->pSMB->LastUpdateTime, 0);
}

// Two tasks that ask for the same source at once (a metafile's registration and a partner's
// online, an operator's command and a server): each request goes to the agent, each requester
// is woken for its own and reads its own outcome, however their requests interleave.
TEST_F(PeerLink, TwoTasksAskingForOneSourceEachHaveTheirOwnRequest) {
  Start();
  SourceEntry *s = Online();
  ASSERT_NE(s, nullptr) << out_;
  constexpr int kEach = 20;
  std::atomic<int> taken{0};
  std::atomic<bool> go{false};
  auto ask = [&] {
    ProcessEntry *task = QDVP_InitializeProcessEntry(anchor_);
    while (!go.load()) std::this_thread::yield();
    for (int i = 0; i < kEach; i++) {
      DCHresult online = QDVP_Request(anchor_, s, QDVP_VERB_ONLINE, task);
      if (online.outcome == DCHoutcome::Taken && online.state == QDVP_Active) taken++;
    }
    QDVP_WaitForDCHrequestRelease(anchor_, task, s);
    QDVP_FreeProcessEntry(task);
  };
  auto begin = std::chrono::steady_clock::now();
  std::thread first(ask), second(ask);
  go = true;
  first.join();
  second.join();
  EXPECT_EQ(taken.load(), 2 * kEach);
  // No requester waited for a wake-up that went to the other (the wait looks again only every
  // 10 seconds).
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(8));
  peer_->Stop();
  EXPECT_EQ(Logged("\"request\":\"online\""), 1u + 2 * kEach);
}

// Inactive within the time to live is no offline yet: a copy waits on the delayed offline
// queue, and a source back before the copy expired is online again without an online request.
// Of the expired copies, the periodic scan's call takes the first in queue order offline in one
// cycle and the next in the next.
TEST_F(PeerLink, InactiveWithinTheTimeToLiveWaitsOnTheDelayedOfflineQueue) {
  Start();
  SourceEntry *first = Load(
      "//APPL Two\n//NAME First E 300\n//ATTRIBUTES\nA D 8\n"
      "//NAME Second E 300\n//ATTRIBUTES\nB D 8\n");
  ASSERT_NE(first, nullptr) << out_;
  SourceEntry *second = first->pTable->pNext->pSourceList;
  for (SourceEntry *s : {first, second}) {
    ASSERT_EQ(Request(s, QDVP_Ready), QDVP_Active);
    s->TTLexpiry = QDV0_Time() + 300;
  }
  EXPECT_EQ(Request(first, QDVP_Inactive), QDVP_Ready);
  ASSERT_NE(anchor_->pWaitQueue, nullptr);
  EXPECT_EQ(anchor_->pWaitQueue->pCopyOf, first);
  EXPECT_EQ(Request(first, QDVP_Ready), QDVP_Active);
  EXPECT_EQ(anchor_->pWaitQueue, nullptr);
  for (SourceEntry *s : {first, second}) ASSERT_EQ(Request(s, QDVP_Inactive), QDVP_Ready);
  {
    OSV1_Guard queue(&anchor_->WaitQueueLock);
    for (SourceEntry *c = anchor_->pWaitQueue; c != nullptr; c = c->pWaitNext) c->TTLexpiry = 0;
  }
  EXPECT_EQ(QDVP_EnqueueDelayedOffline(anchor_), 1);
  ExpectDb(Offline("attribute_group='First'"), "1");
  EXPECT_EQ(QueryOne(peer_->Db(), Offline("attribute_group='Second'")), "0");
  ASSERT_TRUE(WaitFor([&] { return QDVP_EnqueueDelayedOffline(anchor_) == 1; }));
  ExpectDb(Offline("attribute_group='Second'"), "1");
  EXPECT_EQ(QDVP_EnqueueDelayedOffline(anchor_), 0);
  EXPECT_TRUE(WaitFor([&] {
    OSV1_Guard queue(&anchor_->WaitQueueLock);
    return anchor_->pWaitQueue == nullptr;
  }));
  peer_->Stop();
  EXPECT_EQ(Logged("\"request\":\"online\""), 2u);
  EXPECT_EQ(Logged("\"request\":\"offline\""), 2u);
}

// A datagram from anyone but the agent, sent to the data provider's UDP socket while a row
// waits for its answer, is not taken for the answer: the forged status 2 would have sent the
// source online again.
TEST_F(Guard, OverUdpOnlyTheAgentsDatagramsAreTaken) {
  Start({"--udp-only", "--delay", "data:500"});
  SourceEntry *s = Online();
  ASSERT_NE(s, nullptr) << out_;
  int udp = anchor_->pDCHcomm.load()->Socket.load();
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
  EXPECT_EQ(SendRow(s, "real", 1), QDVP_Active);
  forger.join();
  EXPECT_EQ(s->LastDataStatus, 0);
  EXPECT_EQ(Rows(), "1");
  EXPECT_EQ(QueryOne(peer_->Db(), "SELECT count(*) FROM sources"), "1");  // no second online
}

// The agent goes away and comes back: while it is away the link falls back to UDP; once it is
// back, rows go on over UDP and the link is on TCP again within a few seconds (it tries TCP
// every 5 seconds between batches), every row stored.
TEST_F(Guard, AFallBackToUdpReturnsToTcpOnceTheAgentOffersIt) {
  Start();
  SourceEntry *s = Online();
  ASSERT_NE(s, nullptr) << out_;
  ASSERT_EQ(SendRow(s, "before", 1), QDVP_Active);
  // On a window the request returns once the row is taken; the agent goes away after storing it.
  ASSERT_TRUE(WaitFor([&] { return Rows() == "1"; }));
  peer_->Stop();
  ASSERT_TRUE(WaitFor([&] { return anchor_->pDCHcomm.load()->Socket.load() == 0; }));
  // No agent: no answer within the wait; the row alone is lost, the source stays online.
  EXPECT_EQ(SendRow(s, "away", 2), QDVP_Active);
  EXPECT_EQ(s->LastRequestStatus, QDVP_DCH_STATUS_TIMED_OUT);
  EXPECT_EQ(anchor_->pDCHcomm.load()->ReceiveMode.load(), QDVP_DCH_MODE_UDP);
  auto second = Restart();
  auto back = std::chrono::steady_clock::now();
  int rows = 1;
  while (anchor_->pDCHcomm.load()->ReceiveMode.load() != QDVP_DCH_MODE_TCP &&
         std::chrono::steady_clock::now() - back < std::chrono::seconds(10)) {
    if (s->State != QDVP_Active) {
      ASSERT_EQ(Request(s, QDVP_Ready), QDVP_Active);
    }
    ASSERT_EQ(SendRow(s, "back", 3), QDVP_Active);
    rows++;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a row every 20 ms
  }
  EXPECT_EQ(anchor_->pDCHcomm.load()->ReceiveMode.load(), QDVP_DCH_MODE_TCP);
  EXPECT_LT(std::chrono::steady_clock::now() - back, std::chrono::seconds(7));
  ASSERT_EQ(SendRow(s, "tcp", 4), QDVP_Active);
  // Back on TCP the rows go in the window again: stored a moment after they are taken.
  EXPECT_TRUE(WaitFor([&] { return Rows() == std::to_string(rows + 1); })) << Rows();
  link_.reset();
  second->Stop();
}

// The agent has no room: it accepts the connection and closes it at once. The registration is
// deferred (Pending, and the periodic scan sends it again), not refused, and once the agent
// has room it goes through.
TEST_F(Guard, ARegistrationTheAgentClosedOnIsDeferredNotDropped) {
  Start();
  peer_->Stop();
  ASSERT_TRUE(WaitFor([&] { return anchor_->pDCHcomm.load()->Socket.load() == 0; }));
  auto second = Restart({"--max-connections", "1", "--idle-limit-ms", "600000"});
  auto holder = dch_test::Client::Tcp(second->port());
  ASSERT_TRUE(holder);
  ASSERT_TRUE(WaitFor([&] { return second->Stderr().find("connected") != std::string::npos; }));
  SourceEntry *s = Load(kShop);
  ASSERT_NE(s, nullptr) << out_;
  EXPECT_EQ(out_.find("QDVPV08E"), std::string::npos) << out_;
  EXPECT_EQ(s->State, QDVP_Pending);
  holder.reset();
  ASSERT_TRUE(
      WaitFor([&] { return second->Stderr().find("closed by peer") != std::string::npos; }));
  EXPECT_EQ(Request(s, QDVP_Register), QDVP_Ready);  // as the periodic scan does
  link_.reset();
  second->Stop();
}

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
      {{"--window", "1000"}, "16", 16, "1"},  // the agent allows more than was asked
      {{"--fail", "data:2:1:100"}, nullptr, 256, "1"},
      {{"--fail", "data:4:1:100"}, nullptr, 256, "2"},
      {{"--fail", "data:7:1:100"}, nullptr, 256, "1"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.window) + (c.peer.empty() ? "" : " " + c.peer.back()));
    env_.Set("QDVP_DCH_WINDOW", c.wanted ? std::optional<std::string>(c.wanted) : std::nullopt);
    Start(c.peer);
    SourceEntry *s = Online();
    ASSERT_NE(s, nullptr) << out_;
    EXPECT_EQ(anchor_->pDCHcomm.load()->Window, c.window);
    SendRows(s, 1, kRows);
    ExpectEveryRowOnceInOrder(peer_->Db(), kRows);
    // Rows in the window carry their number in the source's stream; others carry none.
    EXPECT_EQ(QueryOne(peer_->Db(), "SELECT count(DISTINCT row_number) FROM rows"),
              c.window > 1 ? std::to_string(kRows) : "0");
    EXPECT_EQ(QueryOne(peer_->Db(), "SELECT registrations FROM applications"), c.registrations);
  }
}

// The peer closes the connection after answering row 100, with the rest of a full window in
// flight; then it is killed in the middle of a burst and started again on its database. Every
// row is stored, once.
TEST_F(Window, RowsInFlightSurviveALostConnectionAndAKilledAgentOnce) {
  Start({"--drop-after", "100"});
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

// A slow agent (20 ms a row) holds the requester back: it is never more than the window ahead
// of the rows the agent has stored, so the data provider holds the window, not the backlog.
// The agent is slow enough that the requester, which reads the stored count between its rows
// (a few milliseconds under a sanitizer), fills the window.
TEST_F(Window, ASlowAgentHoldsTheSenderToTheWindow) {
  env_.Set("QDVP_DCH_WINDOW", "16");
  Start({"--delay", "data:20"});
  SourceEntry *s = Online();
  ASSERT_NE(s, nullptr) << out_;
  int ahead = 0;
  for (int v = 1; v <= 100; v++) {
    SendRows(s, v, v);
    ahead =
        std::max(ahead, v - std::stoi("0" + QueryOne(peer_->Db(), "SELECT count(*) FROM rows")));
  }
  EXPECT_LE(ahead, 16 + 1);
  EXPECT_GE(ahead, 8) << "the rows did not go out in the window";
  ExpectEveryRowOnceInOrder(peer_->Db(), 100);
}

// ---- One row in flight: the row its requester sends -----------------------------------------

// The trace line of a row that went out from its requester.
const char kOwnRowSent[] = "row sent by its requester";

// With one row in flight (an agent without a window), a row whose requester finds the client
// waiting for work goes out from the requester itself and its status is settled by the
// receive task; anything but a 0 goes back to the client. Each row's outcome here is the
// agent's: the fourth row refused (5) is lost alone and counted; answered 7 it is sent again,
// answered 2 the source comes online again and the row follows; a peer that closes every
// connection after its third row leaves the row sent on the closed connection lost (or, when
// the close was seen first, sent on the next connection). A row is stored exactly when its
// outcome says taken, once, in the order asked for.
TEST_F(OneRow, EachOutcomeIsTheAgentsAndATakenRowIsStoredOnceInOrder) {
  const struct {
    std::vector<std::string> options;
    std::vector<int> refused;  // the rows answered otherwise than 0 for good
    size_t dataRequests;       // at the peer, 0 for a peer that closes connections
    size_t onlines;            // at the peer
  } cases[] = {
      {{"--fail", "data:5:1:3"}, {4}, 10, 1},
      {{"--fail", "data:7:1:3"}, {}, 11, 1},
      {{"--fail", "data:2:1:3"}, {}, 11, 2},
      {{"--drop-after", "3"}, {}, 0, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.options[0] + " " + c.options[1]);
    qdvp_test::TraceCapture trace;
    std::vector<std::string> options = c.options;
    options.push_back("--no-window");
    Start(options);
    SourceEntry *s = Online();
    ASSERT_NE(s, nullptr) << out_;
    std::string taken;
    int lost = 0;
    for (int v = 1; v <= 10; v++) {
      DCHresult r = Row(s, v);
      bool refused = std::find(c.refused.begin(), c.refused.end(), v) != c.refused.end();
      if (r.outcome == DCHoutcome::Taken) {
        EXPECT_FALSE(refused) << v;
        taken += (taken.empty() ? "" : ",") + std::to_string(v);
      } else if (refused) {
        EXPECT_EQ(r.outcome, DCHoutcome::Refused) << v;
        EXPECT_EQ(r.status, 5) << v;
        lost++;
      } else {
        // Only a lost connection may lose a row here.
        EXPECT_EQ(c.options[0], "--drop-after") << v << " " << QDVP_OutcomeName(r.outcome);
        EXPECT_EQ(r.outcome, DCHoutcome::LinkLost) << v;
        lost++;
      }
      EXPECT_EQ(r.state, QDVP_Active) << v;
    }
    EXPECT_EQ(s->RowsNotTaken.load(), static_cast<uint32_t>(lost));
    ExpectDb(
        "SELECT group_concat(json_extract(attrs, '$.Count')) FROM "
        "(SELECT attrs FROM rows ORDER BY id)",
        taken);
    // The rows went out from their requester, or this covers nothing of that road.
    EXPECT_GE(trace.Count(kOwnRowSent), 3u);
    if (c.dataRequests > 0) {
      // The peer's log is whole once it ended (a peer that closes connections is left to the
      // fixture, which ends the data provider first).
      peer_->Stop();
      EXPECT_EQ(Logged("\"request\":\"data\""), c.dataRequests);
      EXPECT_EQ(Logged("\"request\":\"online\""), c.onlines);
    } else {
      // Rows went on every connection the peer closed, and the link came back each time.
      EXPECT_GE(anchor_->pDCHcomm.load()->Connections, 3u);
      EXPECT_GE(std::count(taken.begin(), taken.end(), ',') + 1, 6) << taken;
    }
  }
}

// A row its requester sends while another task's requests (rows of another source, its online
// again) go through the client: the two never send beside each other, each source's rows
// reach the agent in the order asked for and are stored once, and every request is answered
// as its own.
TEST_F(OneRow, ARowItsRequesterSendsAndAnotherTasksQueuedRequestsKeepTheirOrder) {
  Start({"--no-window"});
  SourceEntry *shop = Online();
  ASSERT_NE(shop, nullptr) << out_;
  std::string text = kShop;
  SourceEntry *depot = Load(text.replace(text.find("Shop"), 4, "Depot"), "depot.mdl");
  ASSERT_NE(depot, nullptr) << out_;
  ASSERT_EQ(Request(depot, QDVP_Ready), QDVP_Active);
  constexpr int kEach = 150;
  qdvp_test::TraceCapture trace;
  std::atomic<bool> go{false};
  std::atomic<int> shopTaken{0}, depotTaken{0}, onlinesTaken{0};
  std::thread other([&] {
    ProcessEntry *task = QDVP_InitializeProcessEntry(anchor_);
    while (!go.load()) std::this_thread::yield();
    for (int v = 1; v <= kEach; v++) {
      if (RowOf(depot, v, task).outcome == DCHoutcome::Taken) depotTaken++;
      if (v % 10 == 0) {
        DCHresult online = QDVP_Request(anchor_, depot, QDVP_VERB_ONLINE, task);
        if (online.outcome == DCHoutcome::Taken && online.state == QDVP_Active) onlinesTaken++;
      }
    }
    QDVP_WaitForDCHrequestRelease(anchor_, task, depot);
    QDVP_FreeProcessEntry(task);
  });
  go = true;
  for (int v = 1; v <= kEach; v++) {
    if (Row(shop, v).outcome == DCHoutcome::Taken) shopTaken++;
  }
  other.join();
  EXPECT_EQ(shopTaken.load(), kEach);
  EXPECT_EQ(depotTaken.load(), kEach);
  EXPECT_EQ(onlinesTaken.load(), kEach / 10);
  std::string expected;
  for (int v = 1; v <= kEach; v++) expected += (v > 1 ? "," : "") + std::to_string(v);
  for (const char *appl : {"Shop", "Depot"}) {
    ExpectDb(std::string("SELECT group_concat(json_extract(attrs, '$.Count')) FROM (SELECT "
                         "attrs FROM rows WHERE application='") +
                 appl + "' ORDER BY id)",
             expected);
  }
  peer_->Stop();
  EXPECT_EQ(Logged("\"request\":\"data\""), 2u * kEach);
  EXPECT_EQ(Logged("\"request\":\"online\""), 2u + kEach / 10);
  EXPECT_GE(trace.Count(kOwnRowSent), 1u) << "no row went out from its requester";
}

// The data provider ends while a row its requester sent waits for its late status: the
// requester's wait ends at once (the outcome says so, or taken when the status came first),
// the client settles the row before it ends, within the shutdown's bound, and the row is
// stored once.
TEST_F(OneRow, AShutdownWhileARowItsRequesterSentWaitsForItsStatusSettlesItFirst) {
  Start({"--no-window", "--delay", "data:800"});
  SourceEntry *s = Online();
  ASSERT_NE(s, nullptr) << out_;
  qdvp_test::TraceCapture trace;
  // Once the client waits for work with its pass done, the row goes from its requester.
  EXPECT_TRUE(WaitFor([&] { return QDVP_LinkFreeForOwnRow(anchor_->pDCHcomm.load()); }));
  DCHresult result{};
  std::thread requester([&] { result = Row(s, 1); });
  EXPECT_TRUE(WaitFor([&] { return trace.Contains(kOwnRowSent); }));
  anchor_->ShutdownRequested = true;
  auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(link_->Stop());
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  requester.join();
  EXPECT_TRUE(result.outcome == DCHoutcome::Ending || result.outcome == DCHoutcome::Taken)
      << QDVP_OutcomeName(result.outcome);
  // The request was ended, and the client let go of the source.
  EXPECT_EQ(s->Enqueued.load(), 0);
  ExpectDb("SELECT group_concat(json_extract(attrs, '$.Count')) FROM rows", "1");
  EXPECT_FALSE(trace.Contains("DCH status not yet received"));
}

// ---- A scripted agent ----------------------------------------------------------------------

// The data provider's client aimed at a listener playing the agent by hand.
class BadInput : public qdvp_test::PeerLinkTest {
 protected:
  void SetUp() override {
    // The client connects while it starts; the agent accepts in parallel.
    std::thread accept([&] { agent_ = listener_.Accept(); });
    StartLink(listener_.port(), "1");
    accept.join();
    ASSERT_TRUE(agent_);
  }
  dch_test::Listener listener_;
  std::unique_ptr<dch_test::Client> agent_;
};

TEST_F(BadInput, BrokenLengthWordsDropTheConnectionAndAnIncompleteReplyEndsTheRequest) {
  const std::string streams[] = {Be32(0) + "garbage!", Be32(3), Be32(2u * 1024 * 1024) + "big"};
  for (const auto &bytes : streams) {
    ASSERT_TRUE(agent_ && agent_->Send(bytes));
    EXPECT_TRUE(agent_->Closed()) << dch_test::Hex(bytes);
    EXPECT_TRUE(WaitFor([&] { return anchor_->pDCHcomm.load()->Socket.load() == 0; }));
    // The next request connects again first; it gets an answer split over two writes.
    std::thread agent([&] {
      if (!(agent_ = listener_.Accept()) || !agent_->ReadMessage()) return;
      std::string reply = dch_test::Msg::Status(0).Bytes();
      agent_->Send(reply.substr(0, 5));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      agent_->Send(reply.substr(5));
    });
    ApplEntry *appl = LoadMetafile("m.mdl", "//APPL Again\n//NAME T E\n//ATTRIBUTES\nA D 8\n");
    agent.join();
    ASSERT_NE(appl, nullptr);
    EXPECT_EQ(appl->pTableList->pSourceList->State, QDVP_Ready);
    QDVP_ReleaseApplResources(anchor_, appl, 1);
  }
  // A reply that never completes ends the request after the reply wait.
  std::thread agent([&] {
    if (agent_ && agent_->ReadMessage()) agent_->Send(Be32(100) + "only a part");
  });
  auto start = std::chrono::steady_clock::now();
  ApplEntry *appl = LoadMetafile("m.mdl", "//APPL Stuck\n//NAME T E\n//ATTRIBUTES\nA D 8\n");
  agent.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // No status within the reply wait: the registration is deferred (Pending).
  ASSERT_NE(appl, nullptr);
  EXPECT_EQ(appl->pTableList->pSourceList->State, QDVP_Pending);
  QDVP_ReleaseApplResources(anchor_, appl, 1);
}

// The script: statuses to answer, in order (0 once it runs out), and every message sent.
struct Script {
  std::deque<int32_t> statuses;
  std::vector<std::string> sent;
};
Script *gScript = nullptr;

int FakeSend(DCHcomm *comm, const void *message, int length, int *error) {
  *error = 0;
  gScript->sent.emplace_back(static_cast<const char *>(message), static_cast<size_t>(length));
  comm->Status = gScript->statuses.empty() ? 0 : gScript->statuses.front();
  if (!gScript->statuses.empty()) gScript->statuses.pop_front();
  memset(comm->ReplyHandle, 0, 4);
  comm->ReplyHandle[3] = 9;
  comm->Pending = 0;  // the status is there before anyone waits
  return length;
}
int FakeConnect(DCHcomm *) { return 0; }
int FakeReceive(DCHcomm *, void *, int, int *error) {
  *error = QDVP_DCH_ERR_TIMEOUT;
  return -1;
}
const DSFT kFakeDSFT = {FakeConnect, FakeConnect, FakeReceive, FakeSend, nullptr};

// The anchor of the metafile tests with the recording transport.
class Wire : public metafile_test::WithAnchor {
 protected:
  void SetUp() override {
    QDVP_InstallRecordServices();
    ASSERT_NO_FATAL_FAILURE(WithAnchor::SetUp());
    anchor_->pDSFT = &kFakeDSFT;
    comm_ = new DCHcomm();
    comm_->pDPAB = anchor_;
    comm_->Socket = 5;
    comm_->ReplyWaitSeconds = 2;
    OSV1_InitializeLock(&comm_->StatusMutex);
    OSV1_InitializeLock(&comm_->LinkLock);
    gScript = &script_;
  }
  void TearDown() override {
    OSV1_DestroyLock(&comm_->StatusMutex);
    OSV1_DestroyLock(&comm_->LinkLock);
    delete comm_;
    WithAnchor::TearDown();
    gScript = nullptr;
  }
  // Reads a metafile in validation mode (no registration) and returns its first source.
  SourceEntry *Load(const std::string &text) {
    ApplEntry *appl = WithAnchor::Load("t.mdl", text);
    return appl ? appl->pTableList->pSourceList : nullptr;
  }
  // The one source of a table of one gauge A.
  SourceEntry *Gauge(const std::string &appl) {
    return Load("//APPL " + appl + "\n//NAME T E\n//ATTRIBUTES\nA G 100000\n");
  }
  static void SetInt(AttrEntry *a, int32_t v) {
    QDVP_WirePut32(reinterpret_cast<unsigned char *>(a->Value), static_cast<uint32_t>(v));
    a->ActualValSize = 4;
  }
  static std::string Node(SourceEntry *s) { return s->pSourceNodeName ? s->pSourceNodeName : ""; }

  DCHcomm *comm_ = nullptr;
  Script script_;
};

TEST_F(Wire, RegistrationDescribesKeyAtomicGaugeAndSkipsInvisibleTables) {
  SourceEntry *s = Load(
      "//APPL Shop @shop help\n//NAME Load E 300 @load help\n//ATTRIBUTES\n"
      "Busy G 100000\nNote D 8 @a note\n"
      "//NAME ~Hidden E\n//ATTRIBUTES\nX D 4\n");
  ASSERT_NE(s, nullptr);
  AttrEntry *busy = Attr(s, "Busy");
  ASSERT_EQ(busy->MaxValSize, 4);
  busy->AttrKey = 1;
  busy->AttrAtomic = 1;
  unsigned char *message = QDVP_ConstructRegistrationBuffer(s->pTable->pAppl);
  ASSERT_NE(message, nullptr);
  std::string bytes(reinterpret_cast<char *>(message), QDVP_WireGet32(message));
  QDV0_FreeStorage(&message);
  EXPECT_EQ(Hex(bytes), Hex(Msg(0x1010)
                                .Text(0x0020, "Shop")
                                .Text(0x0090, "shop help")
                                .Text(0x0022, "Load")
                                .Text(0x0090, "load help")
                                .Text(0x0030, "E")
                                .U32(0x0040, 300)
                                .Text(0x0060, "@$Busy,G,4, , ;Note,D,8, ,a note;")
                                .Bytes()));
}

// Percentages round half up (a division by zero gives 0); a row carries each formula's result
// in its own size.
TEST_F(Wire, FormulasRoundPercentagesAndTheRowCarriesTheirResults) {
  SourceEntry *s = Load(
      "//APPL Calc\n//NAME T E\n//ATTRIBUTES\nA G 100000\nB G 100000\nSum (A + B)\nPct (A % B)\n");
  ASSERT_NE(s, nullptr);
  AttrEntry *a = Attr(s, "A"), *b = Attr(s, "B"), *sum = Attr(s, "Sum"), *pct = Attr(s, "Pct");
  ASSERT_EQ(a->MaxValSize, 4);
  ASSERT_EQ(pct->MaxValSize, 4);
  const int32_t cases[][3] = {{1, 3, 33}, {2, 3, 67}, {5, 0, 0}, {3, 3, 100}, {1, 8, 13}};
  for (const auto &c : cases) {
    SetInt(a, c[0]);
    SetInt(b, c[1]);
    pct->ActualValSize = sum->ActualValSize = 0;
    QDVP_EvaluateFormulas(s);
    ASSERT_EQ(pct->ActualValSize, 4);
    EXPECT_EQ(static_cast<int32_t>(QDVP_WireGet32(reinterpret_cast<unsigned char *>(pct->Value))),
              c[2])
        << c[0] << " % " << c[1];
  }
  pct->ActualValSize = sum->ActualValSize = 0;
  sum->MaxValSize = 2;  // a 2-byte result
  SetInt(a, 200);
  SetInt(b, 100);
  s->DCHhandle[3] = 7;
  s->DataSequence = 0;
  QDVP_DoDPdata(s, comm_);
  ASSERT_EQ(script_.sent.size(), 1u);
  EXPECT_EQ(Hex(script_.sent[0]), Hex(Msg(0x1030)
                                          .U32(0x0080, 7)
                                          .U16(0x0070, 0)
                                          .Value("A", 'G', Be32(200))
                                          .Value("B", 'G', Be32(100))
                                          .Value("Sum", 'G', Be16(300))
                                          .Value("Pct", 'G', Be32(200))
                                          .Bytes()));
  EXPECT_EQ(a->ActualValSize, 0);  // the values were consumed by the send
}

// A row without values is not sent unless it is the last of a set; in stand-alone mode nothing
// is sent and every request succeeds.
TEST_F(Wire, NothingIsSentForARowWithoutValuesNorInStandAloneMode) {
  SourceEntry *s = Gauge("Empty");
  ASSERT_NE(s, nullptr);
  comm_->Status = -1;
  QDVP_DoDPdata(s, comm_);
  EXPECT_EQ(comm_->Status.load(), 0);
  EXPECT_TRUE(script_.sent.empty());
  s->DataSequence = QDVP_SEQ_LAST;
  QDVP_DoDPdata(s, comm_);
  EXPECT_EQ(script_.sent.size(), 1u);
  anchor_->StandAlone = 1;
  comm_->Status = -1;
  QDVP_DoDPonline(s, comm_);
  EXPECT_EQ(comm_->Status.load(), 0);
  SetInt(Attr(s, "A"), 1);
  QDVP_DoDPdata(s, comm_);
  QDVP_DoDPoffline(s, comm_);
  QDVP_DoDPunregister(s, comm_);
  EXPECT_EQ(comm_->Status.load(), 0);
  EXPECT_EQ(script_.sent.size(), 1u);
}

// Online (sent again while the agent answers 7), offline, unregister and wait for action.
TEST_F(Wire, RequestsHaveTheirFieldsInOrderAndStatusSevenSendsThemAgain) {
  SourceEntry *s = Gauge("Small");
  ASSERT_NE(s, nullptr);
  script_.statuses = {7, 7, 0};
  QDVP_DoDPonline(s, comm_);
  ASSERT_EQ(script_.sent.size(), 3u);
  EXPECT_EQ(script_.sent[0], script_.sent[1]);
  EXPECT_EQ(script_.sent[1], script_.sent[2]);
  EXPECT_EQ(comm_->Status.load(), 0);
  EXPECT_EQ(s->DCHhandle[3], 9);  // the reply handle became the source's handle
  s->DCHhandle[3] = 3;
  QDVP_DoDPoffline(s, comm_);
  EXPECT_EQ(s->DCHhandle[3], 0);  // forgotten after a successful offline
  QDVP_DoDPunregister(s, comm_);
  QDVP_DoDPwaitForAction(s, comm_, 0x10001);
  const std::string expected[] = {
      Msg(0x1015).Text(0x0020, "Small").Text(0x0022, "T").Text(0x0021, Node(s)).Bytes(),
      Msg(0x1025).U32(0x0080, 3).Bytes(), Msg(0x1020).Text(0x0020, "Small").Bytes(),
      Msg(0x1040).U16(0x0100, 1).Text(0x0021, Node(s)).Bytes()};
  ASSERT_EQ(script_.sent.size(), 6u);
  for (size_t i = 0; i < 4; i++) EXPECT_EQ(Hex(script_.sent[i + 2]), Hex(expected[i]));
}

TEST(CharacterTables, RoundTripOfPrintableAsciiAndTheMovedBrackets) {
  for (int c = 0x20; c < 0x7F; c++) EXPECT_EQ(ebcdic_to_ascii[ascii_to_ebcdic[c]], c) << c;
  char text[] = "Abc [1]^\x80";
  QDVP_ConvertBufferToNetwork(text, 9);
  EXPECT_EQ(Hex(std::string(text, 9)), "c1828340adf1bd5f6f");
  QDVP_ConvertBufferToLocal(text, 8, 0);
  EXPECT_EQ(std::string(text, 8), "Abc [1]^");
}

TEST_F(Wire, ExportedServiceBuildsTheRegistrationOfAMetafile) {
  std::string name = dir_.Write("x.mdl", "//APPL Exported\n//NAME T E\n//ATTRIBUTES\nA D 8\n");
  unsigned char *message = nullptr;
  int word;
  {
    qdvp_test::StreamCapture quiet(1);
    word = QDVP_ConstructDPregisterBuffer(name.c_str(), &message);
  }
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(memcmp(&word, message, 4), 0);  // the length word as stored
  std::string bytes(reinterpret_cast<char *>(message), QDVP_WireGet32(message));
  EXPECT_NE(bytes.find("Exported"), std::string::npos);
  EXPECT_NE(bytes.find("A,D,8, , ;"), std::string::npos);
  EXPECT_EQ(QDVP_WireGet16(message + 10), 0x1010);
  free(message);
  EXPECT_EQ(QDVP_ConstructDPregisterBuffer(dir_.File("missing.mdl").c_str(), &message), 0);
  EXPECT_EQ(message, nullptr);
}

// ---- Decoder ------------------------------------------------------------------------------

using Seen = std::vector<DCHdecoded>;
void Collect(const DCHdecoded *m, void *seen) { static_cast<Seen *>(seen)->push_back(*m); }
int Decode(DCHstream *stream, const std::string &bytes, Seen *seen) {
  return QDVP_DecodeDCHstream(stream, reinterpret_cast<const unsigned char *>(bytes.data()),
                              bytes.size(), Collect, seen);
}

TEST(Decoder, TwoMessagesInOneReceiveAndOneSplitOverTwo) {
  std::string a = Msg::Status(0).Raw(0x0080, Be32(0x11223344)).Bytes();
  Seen seen;
  DCHstream stream = {nullptr, 0, 0};
  ASSERT_EQ(Decode(&stream, a + Msg::Status(7).Bytes(), &seen), 0);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].Status, 0);
  EXPECT_TRUE(seen[0].HasHandle);
  EXPECT_EQ(QDVP_WireGet32(seen[0].Handle), 0x11223344u);
  EXPECT_EQ(seen[1].Status, 7);
  EXPECT_FALSE(seen[1].HasHandle);
  for (size_t cut = 1; cut < a.size(); cut++) {  // nothing until the second part arrives
    seen.clear();
    ASSERT_EQ(Decode(&stream, a.substr(0, cut), &seen), 0);
    EXPECT_TRUE(seen.empty());
    ASSERT_EQ(Decode(&stream, a.substr(cut), &seen), 0);
    ASSERT_EQ(seen.size(), 1u) << cut;
    EXPECT_EQ(stream.ResidualLength, 0u);
  }
  QDVP_ResetDCHstream(&stream);
}

TEST(Decoder, BrokenLengthWordsAreRefusedAndUnknownMessagesSkipped) {
  const struct {
    std::string bytes;
    int rc;
  } cases[] = {
      {Be32(0), -1},                                   // zero length word
      {Be32(3), -1},                                   // shorter than the word itself
      {Be32(QDVP_WIRE_MAX_MESSAGE + 1) + "xxxx", -1},  // beyond 1 MiB
      {Be32(4), 0},                                    // empty message: ignored
      {Msg(0x1099).Bytes(), 0},                        // unsupported request: ignored
      {Be32(14) + Be16(0x0011) + Be32(99) + "ab", 0},  // field longer than the message
  };
  for (const auto &c : cases) {
    Seen seen;
    DCHstream stream = {nullptr, 0, 0};
    EXPECT_EQ(Decode(&stream, c.bytes, &seen), c.rc) << Hex(c.bytes);
    for (const auto &m : seen) EXPECT_NE(m.Kind, 1);
    QDVP_ResetDCHstream(&stream);
  }
}

TEST(Decoder, ProvideActionFieldsAreCountedAndUnknownFieldsIgnored) {
  std::string m = Msg(0x1060)
                      .Text(0x0021, "node1")
                      .U32(0x0100, 1)
                      .Text(0x0110, "restart")
                      .U32(0x0120, 42)
                      .Text(0x0130, "-f")
                      .Text(0x0999, "odd")
                      .Bytes();
  DCHdecoded d;
  QDVP_DecodeDCHmessage(reinterpret_cast<const unsigned char *>(m.data()), m.size(), &d);
  EXPECT_EQ(d.Kind, 2);
  EXPECT_EQ(d.ActionId, 42u);
  EXPECT_EQ(d.ActionType, 1u);
  EXPECT_EQ(d.ActionFieldCount, 4);  // the parameter is not counted
  EXPECT_EQ(d.UnknownFields, 1);
}

}  // namespace
