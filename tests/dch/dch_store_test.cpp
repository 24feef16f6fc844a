// The agent peer's SQLite store: handles per source, offline and unregister, rows that wait for
// the commit, and what a restarted peer finds in an existing database.
#include <gtest/gtest.h>

#include "tests/support/dchpeer.h"
#include "tools/dch/dchstore.h"

using namespace qdvp_dch;
using dch_test::QueryOne;

namespace {

TEST(dch_Store, HandlesFollowTheSourcesAndARestartFindsTheOnlineOnes) {
  qdvp_test::TempDir dir;
  const std::string db = dir.File("s.db");
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
    ASSERT_EQ(store.Row(after, store.Lookup(after), 1, "{\"A\":1}", DchNow()), 0);
    EXPECT_TRUE(store.InTransaction());
    EXPECT_EQ(QueryOne(db, "SELECT count(*) FROM rows"), "0");
    ASSERT_EQ(store.Commit(), 0);
    EXPECT_EQ(QueryOne(db, "SELECT count(*) FROM rows"), "1");
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
}

}  // namespace
