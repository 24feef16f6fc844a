// The data provider's side of the agent link on loopback. Against a real qdvp-dch: what the
// peer stores for each request, how the client follows the agent's statuses, the UDP
// fall-back, reconnection after the peer was restarted, the client's end, delayed offlines,
// late answers and what offline forgets. Against a scripted agent that misbehaves on the wire:
// broken framing drops the connection (made again before the next request), a reply split
// over two writes is read whole, an incomplete reply ends the request after the reply wait.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "core/support/qdv0.h"
#include "include/qdvp_core.h"
#include "include/qdvp_dchcomm.h"
#include "include/qdvp_model.h"
#include "include/qdvp_records.h"
#include "include/qdvp_request.h"
#include "include/qdvp_services.h"
#include "tests/support/dchpeer.h"
#include "tests/support/peerlink.h"
#include "tests/support/qdvptest.h"

namespace {

using dch_test::Be32;
using dch_test::Lines;
using dch_test::QueryOne;
using qdvp_test::WaitFor;

const char kShop[] =
    "//APPL Shop @shop help\n//NAME Sales E 300 @sales help\n//ATTRIBUTES\n"
    "Item D 16 @what was sold\nCount C 100000\n";

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
};

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
      SourceEntry *s = Load(kShop);
      ASSERT_NE(s, nullptr) << out_;
      ASSERT_EQ(Request(s, QDVP_Ready), QDVP_Active);
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
  EXPECT_EQ(anchor_->pDCHcomm->ReceiveMode.load(), QDVP_DCH_MODE_UDP);
  EXPECT_TRUE(trace.Contains("TCP connection failed. DCH TCP not available"));
  SourceEntry *s = Load(kShop);
  ASSERT_NE(s, nullptr) << out_;
  EXPECT_EQ(anchor_->pDCHcomm->ReceiveMode.load(), QDVP_DCH_MODE_UDP_KEPT);
  ASSERT_EQ(Request(s, QDVP_Ready), QDVP_Active);
  EXPECT_EQ(SendRow(s, "udp", 1), QDVP_Active);
  ExpectDb("SELECT attrs FROM rows", "{\"Item\":\"udp\",\"Count\":1}");
}

TEST_F(PeerLink, RowsFlowAgainAfterThePeerIsRestarted) {
  Start();
  SourceEntry *s = Load(kShop);
  ASSERT_NE(s, nullptr) << out_;
  ASSERT_EQ(Request(s, QDVP_Ready), QDVP_Active);
  ASSERT_EQ(SendRow(s, "one", 1), QDVP_Active);
  // Taken into the window; stored before the agent goes away.
  ExpectDb("SELECT count(*) FROM rows", "1");
  // The same database and port: the peer remembers the source's handle.
  peer_->Stop();
  EXPECT_TRUE(WaitFor([&] { return anchor_->pDCHcomm->Socket.load() == 0; }));  // seen to end
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
TEST_F(PeerLink, ALateAnswerIsNeverTakenForTheNextRequest) {
  // The reply wait is 2 seconds; one row at a time, as with an agent that has no window.
  Start({"--delay", "data:2600", "--no-window"});
  SourceEntry *s = Load(kShop);
  ASSERT_NE(s, nullptr) << out_;
  ASSERT_EQ(Request(s, QDVP_Ready), QDVP_Active);
  EXPECT_EQ(SendRow(s, "slow", 1), QDVP_Inactive);  // timed out
  ASSERT_EQ(Request(s, QDVP_Ready), QDVP_Active);
  uint32_t handle = QDVP_WireGet32(s->DCHhandle);
  EXPECT_NE(handle, 0u);
  ExpectDb("SELECT max(handle) FROM sources WHERE application='Shop'", std::to_string(handle));
}

// Offline forgets the source's past rows: the per-key copies that rates compare with and the
// summary collected so far, so nothing from before an outage shows after it.
TEST_F(PeerLink, OfflineDropsPerKeyHistoryAndTheSummaryInProgress) {
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
    EXPECT_TRUE(WaitFor([&] { return anchor_->pDCHcomm->Socket.load() == 0; }));
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

}  // namespace
