// What a status 0 from the peer promises: the row is in the database. The store itself
// (handles per source, offline and unregister, rows that wait for the commit, what a restarted
// peer finds in an existing database). A write to the database from outside does not stop
// storing; a row that cannot be stored is answered "send again" and is stored when sent again;
// a peer killed in the middle of a burst has every row it acknowledged; a peer whose connection
// slots are all held by silent clients still lets a data provider in.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "include/qdvp_agentlink.h"
#include "tests/support/dchpeer.h"
#include "tools/dch/dchsqlite.h"

using namespace dch_test;
using qdvp_dch::DchNow;
using qdvp_dch::DchNowMs;
using qdvp_dch::DchSourceKey;
using DchStore = qdvp_dch::DchSqliteStore;

namespace {

// A row's attributes as the agent hands them to the store: {"A":1}, {"A":2} and {}.
const std::vector<qdvp_dch::DchAttrView> A1 = {{"A", 'G', std::string_view("\0\0\0\1", 4)}};
const std::vector<qdvp_dch::DchAttrView> A2 = {{"A", 'G', std::string_view("\0\0\0\2", 4)}};
const std::vector<qdvp_dch::DchAttrView> kNoAttrs;

// Handles follow the sources; a stream's last stored row is what is left after a lost
// transaction; a restart finds both, on its own database and on one of the earlier layout,
// which found a stream's last row through an index of the rows table.
TEST(dch_Store, HandlesFollowTheSourcesStreamsKeepTheirLastCommittedRowARestartFindsBoth) {
  qdvp_test::TempDir dir;
  const std::string db = dir.File("s.db"), earlier = dir.File("earlier.db");
  uint32_t a = 0, again = 0, other = 0, after = 0, elsewhere = 0, last = 0;
  bool known = false;
  {
    DchStore store;
    ASSERT_EQ(store.Open(db), 0) << store.LastError();
    // The same source keeps its handle while online and gets a fresh one after offline.
    ASSERT_EQ(store.Online({"App", "T", "s1"}, DchNow(), &a), 0);
    ASSERT_EQ(store.Online({"App", "T", "s1"}, DchNow(), &again), 0);
    ASSERT_EQ(store.Online({"App", "T", "s2"}, DchNow(), &other), 0);
    EXPECT_NE(a, 0u);
    EXPECT_EQ(a, again);
    EXPECT_NE(a, other);
    ASSERT_EQ(store.Offline(a, DchNow(), &known), 0);
    EXPECT_TRUE(known);
    EXPECT_EQ(store.Lookup(a), nullptr);
    ASSERT_EQ(store.Online({"App", "T", "s1"}, DchNow(), &after), 0);
    EXPECT_NE(after, a);
    EXPECT_NE(after, other);
    ASSERT_EQ(store.Offline(12345, DchNow(), &known), 0);
    EXPECT_FALSE(known);
    // Rows wait for the commit.
    ASSERT_EQ(store.Row(after, store.Lookup(after), 1, A1, DchNowMs()), 0);
    EXPECT_TRUE(store.InTransaction());
    EXPECT_EQ(QueryOne(db, "SELECT count(*) FROM rows"), "0");
    ASSERT_EQ(store.Commit(), 0);
    EXPECT_EQ(QueryOne(db, "SELECT count(*) FROM rows"), "1");
    for (uint32_t n = 1; n <= 3; n++)
      ASSERT_EQ(store.Row(1, nullptr, 0, kNoAttrs, DchNowMs(), 7, n), 0);
    ASSERT_EQ(store.Commit(), 0);
    ASSERT_EQ(store.Row(1, nullptr, 0, kNoAttrs, DchNowMs(), 7, 4), 0);
    EXPECT_EQ(store.Stream(7).last, 4u);
    store.Abandon();
    EXPECT_EQ(store.Stream(7).last, 3u);
    EXPECT_EQ(store.Stream(7).resendFrom, 4u);
    // Unregister takes the application's sources offline, not another's.
    ASSERT_EQ(store.Online({"Other", "T", "s1"}, DchNow(), &elsewhere), 0);
    ASSERT_EQ(store.Unregister("App", DchNow()), 0);
    EXPECT_EQ(store.Lookup(after), nullptr);
    EXPECT_EQ(store.Lookup(other), nullptr);
    ASSERT_NE(store.Lookup(elsewhere), nullptr);
    ASSERT_EQ(store.Online({"App", "T", "s4"}, DchNow(), &last), 0);  // the newest is offline
    ASSERT_EQ(store.Offline(last, DchNow(), &known), 0);
    ASSERT_EQ(store.Commit(), 0);
    EXPECT_EQ(QueryOne(db, "SELECT count(*) FROM sources WHERE offline_at IS NULL"), "1");
  }
  DchStore restarted;
  ASSERT_EQ(restarted.Open(db), 0);
  const DchSourceKey *key = restarted.Lookup(elsewhere);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->application + "/" + key->group + "/" + key->source, "Other/T/s1");
  EXPECT_EQ(restarted.Lookup(after), nullptr);
  uint32_t fresh = 0;
  ASSERT_EQ(restarted.Online({"App", "T", "s3"}, DchNow(), &fresh), 0);
  EXPECT_GT(fresh, last);
  EXPECT_EQ(restarted.Stream(7).last, 3u);
  sqlite3 *old = nullptr;
  ASSERT_EQ(sqlite3_open(earlier.c_str(), &old), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(old,
                         "CREATE TABLE rows (id INTEGER PRIMARY KEY AUTOINCREMENT, received_at "
                         "TEXT, handle INTEGER, application TEXT, attribute_group TEXT, source "
                         "TEXT, data_sequence INTEGER, attrs TEXT, row_stream INTEGER, row_number "
                         "INTEGER); CREATE INDEX rows_by_stream ON rows (row_stream, row_number);"
                         "INSERT INTO rows (row_stream, row_number) VALUES (9, 4), (9, 5), (8, 2);"
                         "CREATE TABLE sources (handle INTEGER PRIMARY KEY, application TEXT, "
                         "attribute_group TEXT, source TEXT, online_at TEXT, offline_at TEXT);"
                         "INSERT INTO sources VALUES (3, 'App', 'T', 's1', 'x', NULL);"
                         "CREATE INDEX rows_by_group ON rows (application, attribute_group);"
                         "INSERT INTO rows (received_at, handle, application, attribute_group, "
                         "source, data_sequence, attrs) VALUES ('2026-12-05T21:13:12.123Z', 3, "
                         "'App', 'T', 's1', 1, '{\"A\":1}'), ('2026-12-05T21:13:13.999Z', 4, "
                         "NULL, NULL, NULL, 0, '{}');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(old);
  DchStore upgraded;
  ASSERT_EQ(upgraded.Open(earlier), 0) << upgraded.LastError();
  EXPECT_EQ(upgraded.Stream(9).last, 5u);
  EXPECT_EQ(upgraded.Stream(8).last, 2u);
  EXPECT_EQ(QueryOne(earlier, "SELECT count(*) FROM sqlite_master WHERE name = 'rows_by_stream'"),
            "0");
  // The rows kept their ids and read as they did: the texts come from their source now.
  auto rows = Query(earlier,
                    "SELECT id, received_at, handle, application, attribute_group, "
                    "source, data_sequence, attrs FROM rows WHERE id > 3 ORDER BY id");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"4", "2026-12-05T21:13:12.123Z", "3", "App", "T",
                                               "s1", "1", "{\"A\":1}"}));
  EXPECT_EQ(rows[1], (std::vector<std::string>{"5", "2026-12-05T21:13:13.999Z", "4", "NULL", "NULL",
                                               "NULL", "0", "{}"}));
  // A row stored now joins them, of the same application and group.
  uint32_t h = 0;
  ASSERT_EQ(upgraded.Online({"App", "T", "s2"}, DchNow(), &h), 0);
  ASSERT_EQ(upgraded.Row(h, upgraded.Lookup(h), 0, A2, DchNowMs()), 0);
  ASSERT_EQ(upgraded.Commit(), 0);
  EXPECT_EQ(QueryOne(earlier,
                     "SELECT group_concat(source) FROM rows WHERE application = 'App' "
                     "AND attribute_group = 'T'"),
            "s1,s2");
  EXPECT_EQ(QueryOne(earlier, "SELECT count(*) FROM row_groups"), "1");
}

// A row's attributes read through the view rows are the JSON object the agent built, whichever
// form the store kept them in: the values with their names' layout (plain texts and numbers,
// the names changing from one row to the next or shared by two handles) or the object itself
// (an escape, bytes that are not UTF-8, a name twice); a row of no attribute has a layout of none.
TEST(dch_Store, AttributesReadBackAsTheObjectWhateverFormTheyAreKeptIn) {
  qdvp_test::TempDir dir;
  const std::string db = dir.File("a.db");
  using Attrs = std::vector<qdvp_dch::DchAttrView>;
  const std::string minusFive("\xff\xfb", 2), big("\xee\x6b\x28\x00", 4);
  struct Case {
    const char *what;
    Attrs attrs;
    bool layout;  // kept as values with a layout
  } cases[] = {
      {"texts and numbers",
       {{"Busy", 'G', minusFive}, {"Name", 'D', "hello"}, {"Cnt", 'C', big}},
       true},
      {"the same names again",
       {{"Busy", 'G', minusFive}, {"Name", 'D', "again"}, {"Cnt", 'C', big}},
       true},
      {"other names", {{"Name", 'D', "x"}, {"Extra", 'D', "2024-05-01T00:00:00.001Z"}}, true},
      {"a quote", {{"Name", 'D', "say \"hi\""}}, false},
      {"not UTF-8", {{"Name", 'D', "caf\xe9"}}, false},
      {"a name twice", {{"A", 'D', "1"}, {"A", 'D', "2"}}, false},
      {"no attribute", {}, true},
  };
  DchStore store;
  ASSERT_EQ(store.Open(db), 0) << store.LastError();
  uint32_t h1 = 0, h2 = 0;
  ASSERT_EQ(store.Online({"App", "T", "s1"}, DchNow(), &h1), 0);
  ASSERT_EQ(store.Online({"App", "T", "s2"}, DchNow(), &h2), 0);
  std::vector<std::string> expected;
  for (const auto &c : cases) {
    for (uint32_t h : {h1, h2}) {
      ASSERT_EQ(store.Row(h, store.Lookup(h), 0, c.attrs, DchNowMs()), 0) << c.what;
      std::string text;
      qdvp_dch::DchRowAttrsText(c.attrs, &text);
      expected.push_back(text);
    }
  }
  ASSERT_EQ(store.Commit(), 0);
  auto rows = Query(db,
                    "SELECT attrs, (SELECT layout_id IS NOT NULL FROM row_data d WHERE d.id "
                    "= rows.id) FROM rows ORDER BY id");
  ASSERT_EQ(rows.size(), expected.size());
  for (size_t i = 0; i < rows.size(); i++) {
    SCOPED_TRACE(cases[i / 2].what);
    EXPECT_EQ(rows[i][0], expected[i]);
    EXPECT_EQ(rows[i][1], cases[i / 2].layout ? "1" : "0");
  }
  EXPECT_EQ(QueryOne(db, "SELECT count(*) FROM row_layouts"), "3");
  EXPECT_EQ(QueryOne(db, "SELECT json_extract(attrs, '$.Cnt') FROM rows WHERE id = 1"),
            "4000000000");
}

// A turn of many rows, from two sources and in both forms (a text with a quote keeps the object),
// is stored in the order the rows came, each with its own values, however many rows each
// insert of the store carries; a turn that is lost leaves none of its rows, and the next one
// goes on where the last committed row ended.
TEST(dch_Store, ATurnsRowsAreStoredInTheOrderTheyCameOrNotAtAll) {
  qdvp_test::TempDir dir;
  const std::string db = dir.File("t.db");
  DchStore store;
  ASSERT_EQ(store.Open(db), 0) << store.LastError();
  uint32_t h1 = 0, h2 = 0;
  ASSERT_EQ(store.Online({"App", "T", "s1"}, DchNow(), &h1), 0);
  ASSERT_EQ(store.Online({"App", "U", "s2"}, DchNow(), &h2), 0);
  auto row = [&](uint32_t n) {
    std::string value = std::to_string(n) + (n % 7 == 0 ? "\"q" : "");
    std::vector<qdvp_dch::DchAttrView> attrs = {{"N", 'D', value}};
    uint32_t h = n % 3 == 0 ? h2 : h1;
    return store.Row(h, store.Lookup(h), 0, attrs, DchNowMs(), 5, n);
  };
  // More rows than the store keeps before it inserts them, and a number that is no sum of
  // whole statements.
  constexpr uint32_t kRows = 2 * 1024 + 77;
  for (uint32_t n = 1; n <= kRows; n++) ASSERT_EQ(row(n), 0) << n;
  ASSERT_EQ(store.Commit(), 0) << store.LastError();
  auto rows = Query(db,
                    "SELECT row_number, json_extract(attrs, '$.N'), attribute_group FROM rows "
                    "ORDER BY id");
  ASSERT_EQ(rows.size(), kRows);
  for (uint32_t n = 1; n <= kRows; n++) {
    const auto &r = rows[n - 1];
    ASSERT_EQ(r[0], std::to_string(n));
    EXPECT_EQ(r[1], std::to_string(n) + (n % 7 == 0 ? "\"q" : "")) << n;
    EXPECT_EQ(r[2], n % 3 == 0 ? "U" : "T") << n;
  }
  for (uint32_t n = kRows + 1; n <= kRows + 100; n++) ASSERT_EQ(row(n), 0) << n;
  store.Abandon();
  EXPECT_EQ(QueryOne(db, "SELECT count(*) FROM rows"), std::to_string(kRows));
  EXPECT_EQ(store.Stream(5).last, kRows);
  ASSERT_EQ(row(kRows + 1), 0);
  ASSERT_EQ(store.Commit(), 0) << store.LastError();
  EXPECT_EQ(QueryOne(db, "SELECT max(row_number) FROM rows"), std::to_string(kRows + 1));
  EXPECT_EQ(QueryOne(db, "SELECT last_row FROM row_streams WHERE row_stream = 5"),
            std::to_string(kRows + 1));
  // Large rows: more text in one turn than the store keeps before it inserts.
  const std::string large(300 * 1024, 'x');
  for (uint32_t n = kRows + 2; n < kRows + 12; n++) {
    std::string value = std::to_string(n) + large;
    std::vector<qdvp_dch::DchAttrView> attrs = {{"N", 'D', value}};
    ASSERT_EQ(store.Row(h1, store.Lookup(h1), 0, attrs, DchNowMs(), 5, n), 0) << n;
  }
  ASSERT_EQ(store.Commit(), 0) << store.LastError();
  rows = Query(db,
               "SELECT row_number, substr(json_extract(attrs, '$.N'), 1, 4), "
               "length(json_extract(attrs, '$.N')) FROM rows WHERE row_number > " +
                   std::to_string(kRows + 1) + " ORDER BY id");
  ASSERT_EQ(rows.size(), 10u);
  for (uint32_t i = 0; i < 10; i++) {
    EXPECT_EQ(rows[i][0], std::to_string(kRows + 2 + i));
    EXPECT_EQ(rows[i][1], std::to_string(kRows + 2 + i));
    EXPECT_EQ(rows[i][2], std::to_string(4 + large.size()));
  }
}

// The rows of a table are found by its spans (runs of rows of one table) without an index of
// every row: a span begins only where the table changes, rows without a table run inside
// spans, a lost turn's spans go with it, and a store written with an index of the rows' tables
// gets its spans and loses the index. Every table's rows read the same through its spans
// (table_spans, the ids the page bounds its queries by, and table_rows) as through the view.
TEST(dch_Store, ATablesRowsAreFoundByItsSpansAndAnIndexedStoreGetsThem) {
  qdvp_test::TempDir dir;
  const std::string db = dir.File("t.db");
  DchStore store;
  ASSERT_EQ(store.Open(db), 0) << store.LastError();
  uint32_t t = 0, u = 0;
  ASSERT_EQ(store.Online({"App", "T", "s1"}, DchNow(), &t), 0);
  ASSERT_EQ(store.Online({"App", "U", "s2"}, DchNow(), &u), 0);
  const uint32_t kOffline = 999;  // a handle not online: a row without a table
  // Each turn: the handles of its rows, and whether it is committed (or lost).
  struct Turn {
    std::vector<uint32_t> rows;
    bool commit;
  };
  const std::vector<Turn> turns = {
      {{t, t, t}, true},            // ids 1-3: the span of T begins at 1
      {{t}, true},                  // 4: T goes on, no span
      {{u, kOffline, u, t}, true},  // 5-8: U at 5, the offline row inside it, T at 8
      {{u, u}, false},              // lost: no span of U at 9
      {{t, kOffline, t}, true},     // 9-11: T goes on
      {{u}, true},                  // 12: U
  };
  for (const Turn &turn : turns) {
    for (uint32_t h : turn.rows) ASSERT_EQ(store.Row(h, store.Lookup(h), 0, A1, DchNowMs()), 0);
    if (turn.commit) {
      ASSERT_EQ(store.Commit(), 0) << store.LastError();
    } else {
      store.Abandon();
    }
  }
  const std::string spans =
      "SELECT group_concat(attribute_group || ':' || first_id || '-' || last_id, ' ') FROM "
      "(SELECT * FROM table_spans ORDER BY first_id)";
  EXPECT_EQ(QueryOne(db, spans), "T:1-4 U:5-7 T:8-11 U:12-12");
  auto byTable = [&](const std::string &path) {
    return Query(path,
                 "SELECT g.attribute_group, (SELECT group_concat(id) FROM rows r WHERE "
                 "r.attribute_group = g.attribute_group), (SELECT group_concat(r.id) FROM "
                 "table_spans s JOIN rows r ON r.id BETWEEN s.first_id AND s.last_id WHERE "
                 "s.attribute_group = g.attribute_group AND r.attribute_group = "
                 "g.attribute_group), (SELECT group_concat(id) FROM (SELECT id FROM table_rows t "
                 "WHERE t.attribute_group = g.attribute_group ORDER BY id)) FROM row_groups g "
                 "ORDER BY 1");
  };
  const std::vector<std::vector<std::string>> tables = {{"T", "1,2,3,4,8,9,11", "", ""},
                                                        {"U", "5,7,12", "", ""}};
  auto expect = [&](std::vector<std::vector<std::string>> t) {
    for (auto &row : t) row[2] = row[3] = row[1];
    return t;
  };
  EXPECT_EQ(byTable(db), expect(tables));
  EXPECT_EQ(QueryOne(db,
                     "SELECT count(*) FROM sqlite_master WHERE type = 'index' AND "
                     "tbl_name = 'row_data'"),
            "0");
  // A store of the release before: the same rows, an index of their groups, no spans.
  const std::string indexed = dir.File("indexed.db");
  sqlite3 *old = nullptr;
  ASSERT_EQ(sqlite3_open(indexed.c_str(), &old), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(old,
                         ("ATTACH '" + db +
                          "' AS now; CREATE TABLE row_groups AS SELECT * FROM "
                          "now.row_groups; CREATE TABLE sources AS SELECT * FROM now.sources; "
                          "CREATE TABLE row_data (id INTEGER PRIMARY KEY, received_ms INTEGER, "
                          "handle INTEGER, group_id INTEGER, data_sequence INTEGER, layout_id "
                          "INTEGER, attrs TEXT, row_stream INTEGER, row_number INTEGER); "
                          "INSERT INTO row_data SELECT * FROM now.row_data; "
                          "CREATE INDEX row_data_by_group ON row_data (group_id); DETACH now;")
                             .c_str(),
                         nullptr, nullptr, nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(old);
  sqlite3_close(old);
  DchStore upgraded;
  ASSERT_EQ(upgraded.Open(indexed), 0) << upgraded.LastError();
  EXPECT_EQ(QueryOne(indexed, spans), "T:1-4 U:5-7 T:8-11 U:12-12");
  EXPECT_EQ(QueryOne(indexed,
                     "SELECT count(*) FROM sqlite_master WHERE name = "
                     "'row_data_by_group'"),
            "0");
  // The next row of U follows the last span: no span.
  uint32_t u2 = 0;
  ASSERT_EQ(upgraded.Online({"App", "U", "s3"}, DchNow(), &u2), 0);
  ASSERT_EQ(upgraded.Row(u2, upgraded.Lookup(u2), 0, A1, DchNowMs()), 0);
  ASSERT_EQ(upgraded.Commit(), 0) << upgraded.LastError();
  EXPECT_EQ(QueryOne(indexed, spans), "T:1-4 U:5-7 T:8-11 U:12-13");
  EXPECT_EQ(byTable(indexed),
            expect({{"T", "1,2,3,4,8,9,11", "", ""}, {"U", "5,7,12,13", "", ""}}));
}

const char *kDescriptions = "@$Busy,G,4, , ;";

std::string Rows(const Peer &peer) { return QueryOne(peer.Db(), "SELECT count(*) FROM rows"); }

// A connection of another program to the peer's database.
struct Outsider {
  explicit Outsider(const std::string &db) {
    sqlite3_open(db.c_str(), &handle);
    sqlite3_busy_timeout(handle, 2000);
  }
  ~Outsider() { sqlite3_close(handle); }
  int Exec(const char *sql) { return sqlite3_exec(handle, sql, nullptr, nullptr, nullptr); }
  sqlite3 *handle = nullptr;
};

// A write from outside does not stop storing. Then the outsider holds the write lock beyond
// the peer's busy wait: the row is not stored and the answer asks for it again; once the lock
// is gone, the same row is stored.
TEST(dch_Ack, AWriteFromOutsideDoesNotStopStoringARowThatCannotBeStoredIsAnsweredSendAgain) {
  Peer peer;
  ASSERT_TRUE(peer.Ready());
  auto c = Client::Tcp(peer.port());
  uint32_t h = GoOnline(*c, kDescriptions);
  EXPECT_EQ(c->Call(DataMsg(h, 0, "Busy", 1))->status, 0);
  Outsider other(peer.Db());
  ASSERT_EQ(other.Exec("CREATE TABLE notes (t TEXT); INSERT INTO notes VALUES ('x')"), SQLITE_OK);
  for (int v = 2; v <= 4; v++) EXPECT_EQ(c->Call(DataMsg(h, 0, "Busy", v))->status, 0);
  EXPECT_EQ(Rows(peer), "4");
  EXPECT_EQ(peer.Stderr().find("failed"), std::string::npos) << peer.Stderr();

  ASSERT_EQ(other.Exec("BEGIN IMMEDIATE"), SQLITE_OK);
  ASSERT_TRUE(c->Send(DataMsg(h, 0, "Busy", 5)));
  auto r = c->ReadReply(std::chrono::seconds(10));  // after the peer's busy wait of 5 s
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, QDVP_DCH_STATUS_SEND_AGAIN);
  ASSERT_EQ(other.Exec("ROLLBACK"), SQLITE_OK);
  EXPECT_EQ(Rows(peer), "4");
  EXPECT_EQ(c->Call(DataMsg(h, 0, "Busy", 5))->status, 0);
  EXPECT_EQ(Rows(peer), "5");
  EXPECT_NE(peer.Stderr().find("storing row failed"), std::string::npos) << peer.Stderr();
}

// Rows go out back to back while their replies are read; the peer is killed in the middle.
// Every row answered 0 before the kill is in the database.
TEST(dch_Ack, APeerKilledInABurstHasEveryRowItAcknowledged) {
  Peer peer;
  ASSERT_TRUE(peer.Ready());
  auto c = Client::Tcp(peer.port());
  uint32_t h = GoOnline(*c, kDescriptions);
  constexpr int kRows = 20000;
  std::thread writer([&] {
    for (int v = 0; v < kRows && c->Send(DataMsg(h, 0, "Busy", v));) v++;
  });
  int acknowledged = 0;
  while (acknowledged < kRows / 4) {
    auto r = c->ReadReply();
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 0);
    acknowledged++;
  }
  peer.Kill();
  writer.join();
  EXPECT_GE(std::stoi(Rows(peer)), acknowledged);
}

// Many data providers at once, each with rows in flight; the peer is stopped dead just before
// it commits a turn (--crash-before-commit, a SIGKILL of its own), with the rows of that turn
// received from several connections. No row was answered 0 before its commit: every row any
// connection saw acknowledged is in the database, and none of the turn that was never
// committed is.
TEST(dch_Ack, NoRowIsAnsweredBeforeItsCommitWithManyConnectionsAtOnce) {
  constexpr int kClients = 12, kInFlight = 16, kRows = 4000;
  Peer peer({"--crash-before-commit", "60"});
  ASSERT_TRUE(peer.Ready());
  struct Sender {
    std::unique_ptr<Client> client;
    uint32_t handle = 0;
    int sent = 0;
    std::vector<int> acknowledged;
  };
  std::vector<Sender> senders(kClients);
  for (int i = 0; i < kClients; i++) {
    senders[i].client = Client::Tcp(peer.port());
    ASSERT_TRUE(senders[i].client);
    senders[i].handle = GoOnline(*senders[i].client, kDescriptions, "s" + std::to_string(i));
    ASSERT_NE(senders[i].handle, 0u);
  }
  std::vector<std::thread> threads;
  for (auto &s : senders) {
    threads.emplace_back([&s] {
      // kInFlight rows out, then their replies, in order, while the connection lasts.
      while (s.sent < kRows) {
        int first = s.sent;
        std::string burst;
        for (int v = first; v < first + kInFlight; v++) burst += DataMsg(s.handle, 0, "Busy", v);
        if (!s.client->Send(burst)) return;
        s.sent += kInFlight;
        for (int v = first; v < first + kInFlight; v++) {
          auto r = s.client->ReadReply(std::chrono::seconds(10));
          if (!r) return;
          if (r->status == 0) s.acknowledged.push_back(v);
        }
      }
    });
  }
  for (auto &t : threads) t.join();
  ASSERT_NE(peer.Stderr().find("killed before the commit of turn 60"), std::string::npos)
      << peer.Stderr();
  int unanswered = 0;
  for (auto &s : senders) {
    SCOPED_TRACE("handle " + std::to_string(s.handle));
    std::set<int> stored;
    for (auto &row : Query(peer.Db(),
                           "SELECT json_extract(attrs, '$.Busy') FROM rows WHERE "
                           "handle = " +
                               std::to_string(s.handle))) {
      stored.insert(std::stoi(row[0]));
    }
    for (int v : s.acknowledged) EXPECT_EQ(stored.count(v), 1u) << "row " << v;
    EXPECT_LT(static_cast<int>(s.acknowledged.size()), kRows);
    unanswered += s.sent - static_cast<int>(s.acknowledged.size());
  }
  // The connections had rows in flight when the peer died (the uncommitted turn's among them).
  EXPECT_GE(unanswered, kClients);
}

// Every slot is held by a client that said nothing; a data provider that comes later gets in
// once the silent ones have been silent for the idle limit, and is served.
TEST(dch_Ack, SilentConnectionsGiveUpTheirSlotsToANewOne) {
  Peer peer({"--max-connections", "2", "--idle-limit-ms", "200"});
  ASSERT_TRUE(peer.Ready());
  auto first = Client::Tcp(peer.port());
  auto second = Client::Tcp(peer.port());
  ASSERT_TRUE(first && second);
  EXPECT_TRUE(qdvp_test::WaitFor([&] {
    return peer.Stderr().find("connected", peer.Stderr().find("connected") + 1) !=
           std::string::npos;
  }));
  auto early = Client::Tcp(peer.port());  // refused: the others are not yet silent long enough
  ASSERT_TRUE(early);
  EXPECT_TRUE(early->Closed());
  std::this_thread::sleep_for(std::chrono::milliseconds(250));  // the idle limit itself
  auto late = Client::Tcp(peer.port());
  ASSERT_TRUE(late);
  EXPECT_NE(GoOnline(*late, kDescriptions), 0u);
  EXPECT_TRUE(first->Closed());
  EXPECT_NE(peer.Stderr().find("silent for"), std::string::npos) << peer.Stderr();
}

}  // namespace
