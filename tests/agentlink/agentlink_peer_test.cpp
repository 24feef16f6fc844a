// The data provider's side of the agent link against a real qdvp-dch on loopback: what the
// peer stores for each request, how the client follows the agent's statuses, the UDP
// fall-back, and reconnection after the peer was restarted.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/support/qdv0.h"
#include "include/qdvp_core.h"
#include "include/qdvp_dchcomm.h"
#include "include/qdvp_model.h"
#include "include/qdvp_records.h"
#include "include/qdvp_request.h"
#include "tests/support/dchpeer.h"
#include "tests/support/peerlink.h"
#include "tests/support/qdvptest.h"

namespace {

using dch_test::Lines;
using dch_test::Peer;
using dch_test::QueryOne;
using qdvp_test::EnvGuard;
using qdvp_test::TempDir;
using qdvp_test::WaitFor;

const char kShop[] =
    "//APPL Shop @shop help\n//NAME Sales E 300 @sales help\n//ATTRIBUTES\n"
    "Item D 16 @what was sold\nCount C 100000\n";

class PeerLink : public qdvp_test::PeerLinkTest {
 protected:
  // Starts the peer with options and the data provider's client aimed at it.
  void Start(std::vector<std::string> options = {}) { StartPeerLink(std::move(options)); }
  // Loads a metafile as the startup does, which registers its application.
  SourceEntry *Load(const std::string &text) {
    ApplEntry *appl = LoadMetafile("m.mdl", text);
    return appl ? appl->pTableList->pSourceList : nullptr;
  }
  // Asks for the request of state (a verb) and waits for the client as a server task would.
  int Request(SourceEntry *source, int state) {
    return QDVP_RequestDCH(anchor_, source, static_cast<DCHverb>(state), link_->Requester());
  }
  static AttrEntry *Attr(SourceEntry *s, const char *name) {
    for (AttrEntry *a = s->pAttrList; a; a = a->pNext) {
      if (strcmp(a->Name, name) == 0) return a;
    }
    return nullptr;
  }
  static void SetRow(SourceEntry *s, const std::string &item, int32_t count) {
    OSV1_Guard attrs(&s->AttrLock);
    AttrEntry *i = Attr(s, "Item");
    memcpy(i->Value, item.data(), item.size());
    i->ActualValSize = static_cast<int>(item.size());
    AttrEntry *c = Attr(s, "Count");
    QDVP_WirePut32(reinterpret_cast<unsigned char *>(c->Value), static_cast<uint32_t>(count));
    c->ActualValSize = 4;
  }
  // The value of a query once the peer has committed what it was sent (or the last value).
  std::string Db(const std::string &sql, const std::string &expected = std::string()) {
    return DbOf(peer_->Db(), sql, expected);
  }
  static std::string DbOf(const std::string &db, const std::string &sql,
                          const std::string &expected) {
    std::string value;
    WaitFor(
        [&] {
          value = QueryOne(db, sql);
          return expected.empty() ? !value.empty() : value == expected;
        },
        std::chrono::seconds(5));
    return value;
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
  EXPECT_EQ(Db("SELECT help FROM applications WHERE name='Shop'", "shop help"), "shop help");
  EXPECT_EQ(Db("SELECT type || ttl FROM attribute_groups WHERE application='Shop'", "E300"),
            "E300");
  EXPECT_EQ(Db("SELECT group_concat(d, ' ') FROM (SELECT name || ':' || type || ':' || size AS d "
               "FROM attributes WHERE application='Shop' ORDER BY position)",
               "Item:D:16 Count:C:4"),
            "Item:D:16 Count:C:4");

  EXPECT_EQ(Request(s, QDVP_Ready), QDVP_Active);
  EXPECT_NE(QDVP_WireGet32(s->DCHhandle), 0u);
  EXPECT_EQ(Db("SELECT count(*) FROM sources WHERE application='Shop' AND offline_at IS NULL", "1"),
            "1");

  SetRow(s, "pen", 3);
  EXPECT_EQ(Request(s, QDVP_Output), QDVP_Active);
  EXPECT_EQ(Db("SELECT attrs FROM rows WHERE application='Shop'", "{\"Item\":\"pen\",\"Count\":3}"),
            "{\"Item\":\"pen\",\"Count\":3}");

  s->OfflineNow = 1;
  EXPECT_EQ(Request(s, QDVP_Inactive), QDVP_Ready);
  EXPECT_EQ(QDVP_WireGet32(s->DCHhandle), 0u);
  EXPECT_EQ(
      Db("SELECT count(*) FROM sources WHERE application='Shop' AND offline_at IS NOT NULL", "1"),
      "1");

  EXPECT_EQ(Request(s, QDVP_Unregister), QDVP_Initial);
  EXPECT_NE(Db("SELECT unregistered_at FROM applications WHERE name='Shop'"), "NULL");
}

TEST_F(PeerLink, StatusSevenOnOnlineSendsTheSameRequestAgain) {
  Start({"--fail", "online:7:2"});
  SourceEntry *s = Load(kShop);
  ASSERT_NE(s, nullptr) << out_;
  EXPECT_EQ(Request(s, QDVP_Ready), QDVP_Active);
  peer_->Stop();
  // Three identical requests: two refused with 7, the third accepted.
  EXPECT_EQ(Logged("\"request\":\"online\""), 3u);
  EXPECT_EQ(Logged("\"status\":7,\"reply_to\":\"online\""), 2u);
}

TEST_F(PeerLink, StatusTwoOnDataBringsTheSourceOnlineAgainAndResendsTheRow) {
  Start({"--fail", "data:2"});
  SourceEntry *s = Load(kShop);
  ASSERT_NE(s, nullptr) << out_;
  ASSERT_EQ(Request(s, QDVP_Ready), QDVP_Active);
  SetRow(s, "cup", 9);
  EXPECT_EQ(Request(s, QDVP_Output), QDVP_Active);
  EXPECT_EQ(Db("SELECT count(*) FROM rows WHERE attrs='{\"Item\":\"cup\",\"Count\":9}'", "1"), "1");
  peer_->Stop();
  // The row went twice (refused with 2, then accepted), with an online request between.
  EXPECT_EQ(Logged("\"request\":\"data\""), 2u);
  EXPECT_EQ(Logged("\"request\":\"online\""), 2u);
  EXPECT_EQ(Logged("\"status\":2,\"reply_to\":\"data\""), 1u);
}

TEST_F(PeerLink, StatusFourOnOnlineRegistersAgainThenGoesOnline) {
  Start({"--fail", "online:4"});
  SourceEntry *s = Load(kShop);
  ASSERT_NE(s, nullptr) << out_;
  EXPECT_EQ(Request(s, QDVP_Ready), QDVP_Active);
  EXPECT_EQ(Db("SELECT registrations FROM applications WHERE name='Shop'", "2"), "2");
  EXPECT_EQ(Db("SELECT count(*) FROM sources WHERE application='Shop'", "1"), "1");
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
  SetRow(s, "udp", 1);
  EXPECT_EQ(Request(s, QDVP_Output), QDVP_Active);
  EXPECT_EQ(Db("SELECT attrs FROM rows", "{\"Item\":\"udp\",\"Count\":1}"),
            "{\"Item\":\"udp\",\"Count\":1}");
}

TEST_F(PeerLink, RowsFlowAgainAfterThePeerIsRestarted) {
  Start();
  SourceEntry *s = Load(kShop);
  ASSERT_NE(s, nullptr) << out_;
  ASSERT_EQ(Request(s, QDVP_Ready), QDVP_Active);
  SetRow(s, "one", 1);
  ASSERT_EQ(Request(s, QDVP_Output), QDVP_Active);
  int port = peer_->port();
  std::string dir = peer_->dir();
  // The same database and port: the peer remembers the source's handle.
  peer_->Stop();
  // The receive task sees the connection end.
  EXPECT_TRUE(WaitFor([&] { return anchor_->pDCHcomm->Socket.load() == 0; }));
  std::string db = peer_->Db();
  auto second = std::make_unique<Peer>(
      std::vector<std::string>{"--port", std::to_string(port), "--commit-ms", "0"}, dir);
  ASSERT_TRUE(second->Ready()) << second->Stderr();
  SetRow(s, "two", 2);
  EXPECT_EQ(Request(s, QDVP_Output), QDVP_Active);
  EXPECT_EQ(DbOf(db, "SELECT count(*) FROM rows", "2"), "2");
  EXPECT_EQ(QueryOne(db, "SELECT attrs FROM rows ORDER BY id DESC LIMIT 1"),
            "{\"Item\":\"two\",\"Count\":2}");
  link_.reset();
  second->Stop();
}

TEST_F(PeerLink, EndingClientUnregistersTheApplications) {
  Start();
  SourceEntry *s = Load(kShop);
  ASSERT_NE(s, nullptr) << out_;
  ASSERT_EQ(Request(s, QDVP_Ready), QDVP_Active);
  ASSERT_TRUE(link_->Stop());
  EXPECT_EQ(Db("SELECT unregistered_at IS NOT NULL FROM applications WHERE name='Shop'", "1"),
            "1");
  EXPECT_EQ(Db("SELECT count(*) FROM sources WHERE offline_at IS NULL", "0"), "0");
  EXPECT_EQ(anchor_->pDCHclientPE, nullptr);
}

// A shutdown request does not take the receive task away from the client's last requests:
// the replies to both unregister requests of the ending are read (the first one used to end
// the receive task), so the ending neither waits for a status that cannot come nor reconnects.
TEST_F(PeerLink, RepliesAreStillReadWhileTheDataProviderEnds) {
  Start();
  for (const char *name : {"Shop", "Depot"}) {
    std::string text = kShop;
    text.replace(text.find("Shop"), 4, name);
    ApplEntry *appl = LoadMetafile(std::string(name) + ".mdl", text);
    ASSERT_NE(appl, nullptr) << out_;
    ASSERT_EQ(Request(appl->pTableList->pSourceList, QDVP_Ready), QDVP_Active);
  }
  qdvp_test::TraceCapture trace;
  anchor_->ShutdownRequested = 1;
  auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(link_->Stop());
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  EXPECT_EQ(Db("SELECT count(*) FROM applications WHERE unregistered_at IS NOT NULL", "2"), "2");
  EXPECT_FALSE(trace.Contains("DCH status not yet received"));
}

TEST_F(PeerLink, InactiveBeforeTheTimeToLiveRunsOutWaitsOnTheDelayedOfflineQueue) {
  Start();
  SourceEntry *s = Load(kShop);  // table TTL 300, a built-in (not file) source
  ASSERT_NE(s, nullptr) << out_;
  ASSERT_EQ(Request(s, QDVP_Ready), QDVP_Active);
  SetRow(s, "late", 5);
  ASSERT_EQ(Request(s, QDVP_Output), QDVP_Active);
  // Inactive within the time to live: no offline yet, a copy waits.
  EXPECT_EQ(Request(s, QDVP_Inactive), QDVP_Ready);
  ASSERT_NE(anchor_->pWaitQueue, nullptr);
  EXPECT_EQ(anchor_->pWaitQueue->pCopyOf, s);
  // Back before the copy expired: online again without an online request.
  EXPECT_EQ(Request(s, QDVP_Ready), QDVP_Active);
  EXPECT_EQ(anchor_->pWaitQueue, nullptr);
  EXPECT_EQ(Request(s, QDVP_Inactive), QDVP_Ready);
  ASSERT_NE(anchor_->pWaitQueue, nullptr);
  // The copy expires: the periodic scan's call queues its offline.
  {
    OSV1_Guard queue(&anchor_->WaitQueueLock);
    anchor_->pWaitQueue->TTLexpiry = 0;
  }
  QDVP_EnqueueDelayedOffline(anchor_);
  EXPECT_EQ(
      Db("SELECT count(*) FROM sources WHERE application='Shop' AND offline_at IS NOT NULL", "1"),
      "1");
  EXPECT_TRUE(WaitFor([&] {
    OSV1_Guard queue(&anchor_->WaitQueueLock);
    return anchor_->pWaitQueue == nullptr;
  }));
  peer_->Stop();
  EXPECT_EQ(Logged("\"request\":\"online\""), 1u);
  EXPECT_EQ(Logged("\"request\":\"offline\""), 1u);
}

// An answer that comes after its request timed out is never taken for the next request's: the
// online that follows gets its own answer, with the handle the peer gave for it.
TEST_F(PeerLink, ALateAnswerIsNeverTakenForTheNextRequest) {
  Start({"--delay", "data:2600"});  // the reply wait is 2 seconds
  SourceEntry *s = Load(kShop);
  ASSERT_NE(s, nullptr) << out_;
  ASSERT_EQ(Request(s, QDVP_Ready), QDVP_Active);
  SetRow(s, "slow", 1);
  EXPECT_EQ(Request(s, QDVP_Output), QDVP_Inactive);  // timed out
  ASSERT_EQ(Request(s, QDVP_Ready), QDVP_Active);
  uint32_t handle = QDVP_WireGet32(s->DCHhandle);
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(Db("SELECT max(handle) FROM sources WHERE application='Shop'"),
            std::to_string(handle));
}

// Offline forgets the source's past rows: the per-key copies that rates compare with and the
// summary collected so far, so nothing from before an outage shows after it.
TEST_F(PeerLink, OfflineDropsPerKeyHistoryAndTheSummaryInProgress) {
  Start();
  ApplEntry *appl = LoadMetafile(
      "r.mdl",
      "//APPL Rates\n//NAME Per K 300\n//ATTRIBUTES ','\nHost D 8 KEY\nBytes C\n"
      "Rate # 1000000\n//NAME Sum K 300\n//SUMMARY 60\n//ATTRIBUTES ','\nHost D 8 KEY SKEY=1\n"
      "Cpu G 100 SKEY=SUM\n");
  ASSERT_NE(appl, nullptr) << out_;
  SourceEntry *per = appl->pTableList->pSourceList;
  SourceEntry *sum = appl->pTableList->pNext->pSourceList;
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

// Of two expired copies on the delayed offline queue, the first in queue order is taken offline
// in one scan cycle and the second in the next.
TEST_F(PeerLink, DelayedOfflinesGoOneACycleInQueueOrder) {
  Start();
  ApplEntry *appl = LoadMetafile("two.mdl",
                                 "//APPL Two\n//NAME First E 300\n//ATTRIBUTES\nA D 8\n"
                                 "//NAME Second E 300\n//ATTRIBUTES\nB D 8\n");
  ASSERT_NE(appl, nullptr) << out_;
  SourceEntry *first = appl->pTableList->pSourceList;
  SourceEntry *second = appl->pTableList->pNext->pSourceList;
  for (SourceEntry *s : {first, second}) {
    ASSERT_EQ(Request(s, QDVP_Ready), QDVP_Active);
    s->TTLexpiry = QDV0_Time() + 300;
    ASSERT_EQ(Request(s, QDVP_Inactive), QDVP_Ready);  // a copy waits
  }
  {
    OSV1_Guard queue(&anchor_->WaitQueueLock);
    for (SourceEntry *c = anchor_->pWaitQueue; c != nullptr; c = c->pWaitNext) c->TTLexpiry = 0;
  }
  auto offline = [&](const char *group) {
    return QueryOne(peer_->Db(), std::string("SELECT count(*) FROM sources WHERE attribute_group='") +
                                     group + "' AND offline_at IS NOT NULL");
  };
  EXPECT_EQ(QDVP_EnqueueDelayedOffline(anchor_), 1);
  EXPECT_EQ(Db(std::string("SELECT count(*) FROM sources WHERE attribute_group='First' AND "
                           "offline_at IS NOT NULL"), "1"), "1");
  EXPECT_EQ(offline("Second"), "0");
  ASSERT_TRUE(WaitFor([&] { return QDVP_EnqueueDelayedOffline(anchor_) == 1; }));
  EXPECT_EQ(Db(std::string("SELECT count(*) FROM sources WHERE attribute_group='Second' AND "
                           "offline_at IS NOT NULL"), "1"), "1");
  EXPECT_EQ(QDVP_EnqueueDelayedOffline(anchor_), 0);
}

}  // namespace
