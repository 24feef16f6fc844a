// The agent peer on PostgreSQL, against a private cluster: the store per host; two peers of two
// hosts in one database, each with its own handles, row streams and sources; the example queries of
// the SQLite store give the same answers there; a peer killed with rows in flight and started again
// stores every row once; a data provider's burst through a database that is stopped and started
// loses no acknowledged row and doubles none.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "include/qdvp_agentlink.h"
#include "tests/support/dchpeer.h"
#include "tests/support/dpworld.h"
#include "tests/support/pgcluster.h"
#include "tools/dch/dchpg.h"

using namespace dch_test;
using qdvp_test::WaitFor;
using Table = std::vector<std::vector<std::string>>;
using namespace std::chrono_literals;

namespace {

// A row's attributes as the agent hands them to the store: {"A":1}, {"A":2} and {}.
const std::vector<qdvp_dch::DchAttrView> A1 = {{"A", 'G', std::string_view("\0\0\0\1", 4)}};
const std::vector<qdvp_dch::DchAttrView> A2 = {{"A", 'G', std::string_view("\0\0\0\2", 4)}};
const std::vector<qdvp_dch::DchAttrView> kNoAttrs;

const char *kDescriptions = "@$Busy,G,4, , ;Name,D,16, , ;";

std::string RowMsg(uint32_t handle, uint32_t stream, uint32_t number, int32_t busy) {
  return Msg(QDVP_REQ_DP_DATA)
      .U32(QDVP_FIELD_DCH_HANDLE, handle)
      .U16(QDVP_FIELD_DATA_SEQUENCE, 0)
      .Value("Busy", 'G', Be32(static_cast<uint32_t>(busy)))
      .Value("Name", 'D', "row" + std::to_string(number))
      .Raw(QDVP_FIELD_ROW_SEQUENCE, Be32(stream) + Be32(number))
      .Bytes();
}

std::vector<std::string> PgPeer(const std::string &conninfo, const std::string &host) {
  return {"--pg", conninfo, "--host-id", host};
}

// What every peer of the first test is sent: a registration, a source online, three rows of
// stream 7 (the second sent twice, as after a lost reply), an action status, a second source
// taken offline again. Returns the handle of s1.
uint32_t Session(Client &c) {
  uint32_t handle = GoOnline(c, kDescriptions, "s1");
  for (uint32_t n : {1u, 2u, 2u, 3u}) {
    auto r = c.Call(RowMsg(handle, 7, n, static_cast<int32_t>(n * 10)));
    EXPECT_TRUE(r && r->status == 0);
  }
  auto r = c.Call(Msg(QDVP_REQ_DP_ACTION_STATUS)
                      .U32(QDVP_FIELD_ACTION_ID, 5)
                      .U32(QDVP_FIELD_STATUS, 0)
                      .Text(QDVP_FIELD_ACTION_RESULT, "done")
                      .Bytes());
  EXPECT_TRUE(r && r->status == 0);
  r = c.Call(OnlineMsg("App", "T", "s2"));
  EXPECT_TRUE(r && r->status == 0 && r->handle);
  if (r && r->handle) c.Call(OfflineMsg(*r->handle));
  return handle;
}

// The store itself on PostgreSQL: handles follow the sources, a stream's last stored row is
// what is left after a lost transaction, both are per host and found again by a peer started
// later; a second store of the same host identity is refused while the first holds it.
TEST(dch_Pg, TheStoreKeepsHandlesAndStreamsPerHostAndRefusesASecondPeerOfAHost) {
  PgCluster cluster;
  ASSERT_TRUE(cluster.Ready()) << cluster.Error();
  const std::string pg = cluster.NewDatabase("store");
  uint32_t a = 0, again = 0, other = 0, after = 0;
  bool known = false;
  {
    qdvp_dch::DchPgStore store(pg, "a");
    ASSERT_EQ(store.Open(), 0) << store.LastError();
    ASSERT_EQ(store.Online({"App", "T", "s1"}, qdvp_dch::DchNow(), &a), 0);
    ASSERT_EQ(store.Online({"App", "T", "s1"}, qdvp_dch::DchNow(), &again), 0);
    ASSERT_EQ(store.Online({"App", "T", "s2"}, qdvp_dch::DchNow(), &other), 0);
    EXPECT_EQ(a, again);
    EXPECT_NE(a, other);
    ASSERT_EQ(store.Offline(a, qdvp_dch::DchNow(), &known), 0);
    EXPECT_TRUE(known);
    ASSERT_EQ(store.Online({"App", "T", "s1"}, qdvp_dch::DchNow(), &after), 0);
    EXPECT_NE(after, a);
    for (uint32_t n = 1; n <= 3; n++) {
      ASSERT_EQ(store.Row(after, store.Lookup(after), 0, A1, qdvp_dch::DchNowMs(), 7, n), 0);
    }
    EXPECT_EQ(PgQueryOne(pg, "SELECT count(*) FROM rows"), "0");  // the turn is not committed
    ASSERT_EQ(store.Commit(), 0) << store.LastError();
    EXPECT_EQ(PgQueryOne(pg, "SELECT count(*) FROM rows"), "3");
    ASSERT_EQ(store.Row(after, store.Lookup(after), 0, kNoAttrs, qdvp_dch::DchNowMs(), 7, 4), 0);
    EXPECT_EQ(store.Stream(7).last, 4u);
    store.Abandon();
    EXPECT_EQ(store.Stream(7).last, 3u);
    EXPECT_EQ(store.Stream(7).resendFrom, 4u);

    qdvp_dch::DchPgStore twin(pg, "a");
    EXPECT_NE(twin.Open(200), 0);
    EXPECT_NE(twin.LastError().find("another qdvp-dch stores for host a"), std::string::npos)
        << twin.LastError();
    qdvp_dch::DchPgStore b(pg, "b");
    ASSERT_EQ(b.Open(), 0) << b.LastError();
    uint32_t first = 0;
    ASSERT_EQ(b.Online({"App", "T", "s1"}, qdvp_dch::DchNow(), &first), 0);
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(b.Stream(7).last, 0u);
    ASSERT_EQ(b.Close(), 0);
    ASSERT_EQ(store.Close(), 0);
  }
  qdvp_dch::DchPgStore restarted(pg, "a");
  ASSERT_EQ(restarted.Open(2000), 0) << restarted.LastError();
  const qdvp_dch::DchSourceKey *key = restarted.Lookup(other);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->source, "s2");
  EXPECT_EQ(restarted.Lookup(a), nullptr);
  EXPECT_EQ(restarted.Stream(7).last, 3u);
  uint32_t fresh = 0;
  ASSERT_EQ(restarted.Online({"App", "T", "s3"}, qdvp_dch::DchNow(), &fresh), 0);
  EXPECT_GT(fresh, after);
}

TEST(dch_Pg, TwoHostsShareOneDatabaseAndTheSqliteQueriesAnswerTheSameThere) {
  PgCluster cluster;
  ASSERT_TRUE(cluster.Ready()) << cluster.Error();
  const std::string pg = cluster.NewDatabase("two");
  // The two ways rows go in: COPY (the default) and multi-row INSERTs.
  std::vector<std::string> insert = PgPeer(pg, "beta");
  insert.insert(insert.end(), {"--pg-rows", "insert"});
  Peer alpha(PgPeer(pg, "alpha")), beta(insert), sqlite;
  ASSERT_TRUE(alpha.Ready()) << alpha.Stderr();
  ASSERT_TRUE(beta.Ready()) << beta.Stderr();
  ASSERT_TRUE(sqlite.Ready()) << sqlite.Stderr();
  std::vector<uint32_t> handles;
  for (Peer *p : {&alpha, &beta, &sqlite}) {
    auto c = Client::Tcp(p->port());
    ASSERT_TRUE(c);
    handles.push_back(Session(*c));
  }
  // Handles and row streams are per host: both hosts got handle 1 and stored their stream 7.
  EXPECT_EQ(handles, (std::vector<uint32_t>{1, 1, 1}));
  EXPECT_EQ(PgQuery(pg,
                    "SELECT host, count(*), max(row_number) FROM rows GROUP BY host "
                    "ORDER BY host"),
            (Table{{"alpha", "3", "3"}, {"beta", "3", "3"}}));
  // An unregister takes only its own host's sources offline.
  auto c = Client::Tcp(alpha.port());
  auto r = c->Call(UnregisterMsg("App"));
  ASSERT_TRUE(r && r->status == 0);
  EXPECT_EQ(PgQuery(pg,
                    "SELECT host, handle, offline_at IS NULL FROM sources WHERE handle = 1 "
                    "ORDER BY host"),
            (Table{{"alpha", "1", "f"}, {"beta", "1", "t"}}));
  c = Client::Tcp(sqlite.port());
  c->Call(UnregisterMsg("App"));

  // The example queries of docs/dch.md, on SQLite and in PostgreSQL's words, for one host.
  struct Case {
    const char *sqlite, *pg;
  };
  const Case cases[] = {
      {"SELECT name, registrations FROM applications",
       "SELECT name, registrations FROM applications WHERE host = 'alpha'"},
      {"SELECT application, name, type, ttl FROM attribute_groups",
       "SELECT application, name, type, ttl FROM attribute_groups WHERE host = 'alpha'"},
      {"SELECT name, type, size, key, atomic FROM attributes WHERE application = 'App' AND "
       "attribute_group = 'T' ORDER BY position",
       "SELECT name, type, size, key, atomic FROM attributes WHERE application = 'App' AND "
       "attribute_group = 'T' AND host = 'alpha' ORDER BY position"},
      {"SELECT handle, source, offline_at IS NULL FROM sources ORDER BY handle",
       "SELECT handle, source, CASE WHEN offline_at IS NULL THEN 1 ELSE 0 END FROM sources "
       "WHERE host = 'alpha' ORDER BY handle"},
      {"SELECT count(*) FROM rows WHERE attribute_group = 'T'",
       "SELECT count(*) FROM rows WHERE attribute_group = 'T' AND host = 'alpha'"},
      {"SELECT json_extract(attrs, '$.Name') FROM rows WHERE attribute_group = 'T' "
       "ORDER BY id DESC LIMIT 2",
       "SELECT attrs->>'Name' FROM rows WHERE attribute_group = 'T' AND host = 'alpha' "
       "ORDER BY id DESC LIMIT 2"},
      {"SELECT source, avg(json_extract(attrs, '$.Busy')) FROM rows WHERE attribute_group = 'T' "
       "GROUP BY source",
       "SELECT source, avg((attrs->>'Busy')::numeric)::numeric(12, 1) FROM rows WHERE "
       "attribute_group = 'T' AND host = 'alpha' GROUP BY source"},
      {"SELECT row_stream, last_row FROM row_streams",
       "SELECT row_stream, last_row FROM row_streams WHERE host = 'alpha'"},
      {"SELECT id, status, result FROM actions",
       "SELECT id, status, result FROM actions WHERE host = 'alpha'"},
  };
  for (const Case &q : cases) {
    SCOPED_TRACE(q.sqlite);
    Table expected = Query(sqlite.Db(), q.sqlite);
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(PgQuery(pg, q.pg), expected);
  }
  EXPECT_EQ(alpha.Stop(), 0) << alpha.Stderr();
  EXPECT_EQ(beta.Stop(), 0) << beta.Stderr();
}

// Rows sent in one burst; the peer is killed once some are acknowledged, started again, and
// every row is sent again from the first: each is stored once, and what was acknowledged
// before the kill was stored before it.
TEST(dch_Pg, APeerKilledWithRowsInFlightAndStartedAgainStoresEveryRowOnce) {
  PgCluster cluster;
  ASSERT_TRUE(cluster.Ready()) << cluster.Error();
  const std::string pg = cluster.NewDatabase("restart");
  constexpr uint32_t kRows = 2000;
  std::string burst;
  auto first = std::make_unique<Peer>(PgPeer(pg, "h"));
  ASSERT_TRUE(first->Ready()) << first->Stderr();
  auto c = Client::Tcp(first->port());
  uint32_t handle = GoOnline(*c, kDescriptions, "s1");
  for (uint32_t n = 1; n <= kRows; n++) burst += RowMsg(handle, 9, n, static_cast<int32_t>(n));
  ASSERT_TRUE(c->Send(burst));
  int acknowledged = 0;
  for (; acknowledged < 300; acknowledged++) {
    auto r = c->ReadReply();
    ASSERT_TRUE(r && r->status == 0);
  }
  first->Kill();
  EXPECT_GE(std::stoi(PgQueryOne(pg, "SELECT count(*) FROM rows")), acknowledged);

  Peer second(PgPeer(pg, "h"));
  ASSERT_TRUE(second.Ready()) << second.Stderr();
  c = Client::Tcp(second.port());
  auto r = c->Call(OnlineMsg("App", "T", "s1"));
  ASSERT_TRUE(r && r->status == 0);
  EXPECT_EQ(r->handle, handle);  // still online in the database
  ASSERT_TRUE(c->Send(burst));
  for (uint32_t n = 1; n <= kRows; n++) {
    r = c->ReadReply();
    ASSERT_TRUE(r && r->status == 0) << n;
  }
  EXPECT_EQ(PgQuery(pg, "SELECT count(*), count(DISTINCT row_number), max(row_number) FROM rows"),
            (Table{{"2000", "2000", "2000"}}));
  EXPECT_EQ(PgQueryOne(pg, "SELECT last_row FROM row_streams WHERE host = 'h'"), "2000");
}

// A file data provider sends a burst into a peer on PostgreSQL; the database is stopped in the
// middle and started again. The peer says it lost and found the connection, and that the turn
// whose commit went unanswered had not committed; every line of the file is in the database
// once.
class dch_PgDataProvider : public qdvp_test::DataProviderWorld {
 protected:
  dch_PgDataProvider() : pg_(cluster_.Ready() ? cluster_.NewDatabase("burst") : "") {}
  // Rows by INSERT: the whole turn is one pipeline, so a connection the server has closed
  // while the peer was idle is found out only after COMMIT was sent, and the turn's outcome is
  // unknown until the database is back.
  Strings PeerArgs() const override {
    Strings args = PgPeer(pg_, "h");
    args.insert(args.end(), {"--pg-rows", "insert"});
    return args;
  }
  std::map<std::string, std::string> KindEnv() const override {
    return {{"QDVP_DP_EVENT", "1"}, {"QDVP_DP_FILE_SWITCH_CHECK_INTERVAL", "1"}};
  }
  int Rows() const {
    return std::stoi("0" + PgQueryOne(pg_,
                                      "SELECT count(*) FROM rows WHERE "
                                      "attribute_group = 'Lines'"));
  }
  PgCluster cluster_;
  std::string pg_;
};

TEST_F(dch_PgDataProvider, TheDatabaseStoppedAndStartedUnderABurstLosesAndDoublesNothing) {
  ASSERT_TRUE(cluster_.Ready()) << cluster_.Error();
  const std::string tail = File("tail.log");
  std::ofstream(tail) << "start 0\n";
  Metafile("tail",
           "//APPL TailApp\n//NAME Lines E\n//SOURCE FILE @DIR@/tail.log\n//ATTRIBUTES ' '\n"
           "Word D 32\nNumber C 1000000\n");
  Launch("file");
  ASSERT_TRUE(
      WaitFor([&] { return Trace().find("Initial file record count") != std::string::npos; }, 20s))
      << qdvp_->Stderr();
  // Lines come before, while and after the database is away.
  constexpr int kLines = 3000;
  auto append = [&](int from, int to) {
    std::ofstream out(tail, std::ios::app);
    for (int i = from; i <= to; i++) out << "n " << i << "\n";
  };
  append(1, 1000);
  ASSERT_TRUE(WaitFor([&] { return Rows() >= 200; }, 30s)) << peer_->Stderr();
  ASSERT_TRUE(cluster_.Stop()) << cluster_.Error();
  append(1001, kLines);
  ASSERT_TRUE(WaitFor(
      [&] { return peer_->Stderr().find("database connection lost") != std::string::npos; }, 20s))
      << peer_->Stderr();
  ASSERT_TRUE(cluster_.Start()) << cluster_.Error();
  ASSERT_TRUE(WaitFor([&] { return Rows() >= kLines; }, 60s)) << Rows() << "\n" << peer_->Stderr();
  EXPECT_EQ(PgQuery(pg_,
                    "SELECT count(*), count(DISTINCT attrs->>'Number') FROM rows WHERE "
                    "attribute_group = 'Lines'"),
            (Table{{std::to_string(kLines), std::to_string(kLines)}}));
  EXPECT_NE(peer_->Stderr().find("database connection restored"), std::string::npos);
  EXPECT_NE(peer_->Stderr().find("connection lost during a commit"), std::string::npos);
  EXPECT_NE(peer_->Stderr().find("the commit whose answer was lost had not"), std::string::npos)
      << peer_->Stderr();
}

}  // namespace
