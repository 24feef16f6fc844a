// The agent peer's SQLite store: handles per source, offline and unregister, rows, and what a
// restarted peer finds in an existing database.
#include <gtest/gtest.h>

#include "tests/support/dchpeer.h"
#include "tools/dch/dchstore.h"

using namespace qdvp_dch;
using dch_test::QueryOne;

namespace {

TEST(dch_Store, SameSourceKeepsItsHandleWhileOnlineAndGetsAFreshOneAfterOffline) {
  qdvp_test::TempDir dir;
  DchStore store;
  ASSERT_EQ(store.Open(dir.File("s.db")), 0) << store.LastError();
  uint32_t a = 0, again = 0, other = 0, after = 0;
  ASSERT_EQ(store.Online({"App", "T", "s1"}, DchNow(), &a), 0);
  ASSERT_EQ(store.Online({"App", "T", "s1"}, DchNow(), &again), 0);
  ASSERT_EQ(store.Online({"App", "T", "s2"}, DchNow(), &other), 0);
  EXPECT_NE(a, 0u);
  EXPECT_EQ(a, again);
  EXPECT_NE(a, other);
  bool known = false;
  ASSERT_EQ(store.Offline(a, DchNow(), &known), 0);
  EXPECT_TRUE(known);
  EXPECT_EQ(store.Lookup(a), nullptr);
  ASSERT_EQ(store.Online({"App", "T", "s1"}, DchNow(), &after), 0);
  EXPECT_NE(after, a);
  EXPECT_NE(after, other);
  ASSERT_EQ(store.Offline(12345, DchNow(), &known), 0);
  EXPECT_FALSE(known);
}

TEST(dch_Store, UnregisterTakesTheApplicationsSourcesOffline) {
  qdvp_test::TempDir dir;
  DchStore store;
  ASSERT_EQ(store.Open(dir.File("s.db")), 0);
  uint32_t a = 0, b = 0;
  store.Online({"App", "T", "s1"}, DchNow(), &a);
  store.Online({"Other", "T", "s1"}, DchNow(), &b);
  ASSERT_EQ(store.Unregister("App", DchNow()), 0);
  EXPECT_EQ(store.Lookup(a), nullptr);
  ASSERT_NE(store.Lookup(b), nullptr);
  ASSERT_EQ(store.Commit(), 0);
  EXPECT_EQ(QueryOne(dir.File("s.db"), "SELECT count(*) FROM sources WHERE offline_at IS NULL"),
            "1");
}

TEST(dch_Store, WritesWaitForCommitAndARestartFindsOnlineHandles) {
  qdvp_test::TempDir dir;
  std::string db = dir.File("s.db");
  uint32_t h = 0, h2 = 0;
  {
    DchStore store;
    ASSERT_EQ(store.Open(db), 0);
    ASSERT_EQ(store.Online({"App", "T", "s1"}, DchNow(), &h), 0);
    const DchSourceKey *key = store.Lookup(h);
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(store.Row(h, key, 1, "{\"A\":1}", DchNow()), 0);
    EXPECT_TRUE(store.InTransaction());
    EXPECT_EQ(QueryOne(db, "SELECT count(*) FROM rows"), "0");
    ASSERT_EQ(store.Commit(), 0);
    EXPECT_EQ(QueryOne(db, "SELECT count(*) FROM rows"), "1");
    ASSERT_EQ(store.Online({"App", "T", "s2"}, DchNow(), &h2), 0);
    bool known;
    store.Offline(h2, DchNow(), &known);
  }
  DchStore again;
  ASSERT_EQ(again.Open(db), 0);
  const DchSourceKey *key = again.Lookup(h);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->source, "s1");
  EXPECT_EQ(again.Lookup(h2), nullptr);
  uint32_t h3 = 0;
  ASSERT_EQ(again.Online({"App", "T", "s3"}, DchNow(), &h3), 0);
  EXPECT_GT(h3, h2);
}

}  // namespace
