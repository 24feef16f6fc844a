// The name resolver of the support layer: answers come from its bounded cache at once, lookups
// run on its own threads, an unresolved address is given as its text, answers age, and a lookup
// that blocks holds none of its callers. A fake lookup replaces the system's.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "core/support/qdv0.h"
#include "tests/support/qdvptest.h"

namespace {

using namespace std::chrono_literals;
using qdvp_test::WaitFor;

sockaddr_in Address(const char *dotted) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, dotted, &a.sin_addr);
  return a;
}

// The fake: 10.0.0.x is named "host-x.example"; 10.9.x.x blocks until released (a resolver
// that does not answer) and then has no name; other addresses have no name.
std::mutex gMutex;
std::condition_variable gRelease;
bool gReleased = false;
std::atomic<int> gCalls{0};
std::atomic<int> gBlocked{0};

int FakeLookup(const sockaddr_in *address, char *name, size_t size) {
  gCalls++;
  uint32_t host = ntohl(address->sin_addr.s_addr);
  if ((host >> 16) == 0x0A09) {
    gBlocked++;
    std::unique_lock<std::mutex> lock(gMutex);
    gRelease.wait_for(lock, 30s, [] { return gReleased; });
    gBlocked--;
    return -1;
  }
  if ((host >> 8) == 0x0A0000) {
    snprintf(name, size, "host-%u.example", host & 0xFF);
    return 0;
  }
  return -1;
}

class Resolver : public testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> lock(gMutex);
      gReleased = false;
    }
    gCalls = 0;
    TEST_QDV0_SetNameLookup(FakeLookup);
  }
  void TearDown() override {
    Release();
    // Lookups still blocked end before the next test counts its own.
    WaitFor([] { return gBlocked.load() == 0 && TEST_QDV0_GetResolverCounts().running == 0; }, 10s);
    if (QDV0_IsManualClock()) QDV0_UseSystemClock();
    TEST_QDV0_SetNameLookup(nullptr);
  }
  static void Release() {
    std::lock_guard<std::mutex> lock(gMutex);
    gReleased = true;
    gRelease.notify_all();
  }
  // The cached name of dotted with the given wait: its result and the text.
  static std::pair<int, std::string> Name(const char *dotted, long waitMs = 0) {
    sockaddr_in a = Address(dotted);
    char name[256] = "";
    int rc = QDV0_CachedAddressName(&a, name, sizeof(name), waitMs);
    return {rc, name};
  }
};

// The first sighting gives the address text and queues a lookup; once it is answered, the name
// comes from the cache without another lookup. An address without a name stays its text.
// 0.0.0.0 and the broadcast address are never looked up.
TEST_F(Resolver, UnknownAddressesAreTheirTextUntilTheCacheHasTheName) {
  EXPECT_EQ(Name("10.0.0.7"), std::make_pair(0, std::string("10.0.0.7")));
  ASSERT_TRUE(WaitFor([] { return Name("10.0.0.7").first == 1; }, 5s));
  EXPECT_EQ(Name("10.0.0.7").second, "host-7.example");
  sockaddr_in seven = Address("10.0.0.7");
  EXPECT_STREQ(QDV0_ResolveAddressToName(&seven), "host-7.example");
  int calls = gCalls.load();
  for (int i = 0; i < 100; i++) Name("10.0.0.7");
  EXPECT_EQ(gCalls.load(), calls);

  Name("10.1.2.3");
  ASSERT_TRUE(WaitFor([] { return TEST_QDV0_GetResolverCounts().lookups >= 2; }, 5s));
  EXPECT_EQ(Name("10.1.2.3"), std::make_pair(0, std::string("10.1.2.3")));
  calls = gCalls.load();
  EXPECT_EQ(Name("0.0.0.0"), std::make_pair(0, std::string("0.0.0.0")));
  EXPECT_EQ(Name("255.255.255.255"), std::make_pair(0, std::string("255.255.255.255")));
  EXPECT_EQ(gCalls.load(), calls);
  EXPECT_EQ(QDV0_CachedAddressName(nullptr, nullptr, 0, 0), -1);
}

// A binding that may wait gets the name of a fast resolver on its first sighting.
TEST_F(Resolver, AWaitingCallerGetsAnIdleResolversAnswerAtOnce) {
  auto [rc, name] = Name("10.0.0.9", 2000);
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(name, "host-9.example");
}

// Names are kept for their time to live and addresses without a name for a shorter one; an old
// answer is still given while it is looked up again.
TEST_F(Resolver, AnswersExpireAndAreLookedUpAgain) {
  QDV0_UseManualClock(1000000);
  Name("10.0.0.1");
  Name("10.2.0.1");
  ASSERT_TRUE(WaitFor([] { return TEST_QDV0_GetResolverCounts().lookups == 2; }, 5s));
  QDV0_AdvanceClock(QDV0_NO_NAME_TTL - 1);
  Name("10.0.0.1");
  Name("10.2.0.1");
  EXPECT_EQ(TEST_QDV0_GetResolverCounts().queued + TEST_QDV0_GetResolverCounts().running, 0);
  QDV0_AdvanceClock(2);
  Name("10.0.0.1");  // still fresh
  Name("10.2.0.1");  // no name, old: looked up again
  ASSERT_TRUE(WaitFor([] { return TEST_QDV0_GetResolverCounts().lookups == 3; }, 5s));
  QDV0_AdvanceClock(QDV0_NAME_TTL);
  EXPECT_EQ(Name("10.0.0.1"), std::make_pair(1, std::string("host-1.example")));
  ASSERT_TRUE(WaitFor([] { return TEST_QDV0_GetResolverCounts().lookups == 4; }, 5s));
  EXPECT_EQ(Name("10.0.0.1").second, "host-1.example");
}

// The cache never holds more than its bound: the least recently used address makes room, and
// one that is used stays.
TEST_F(Resolver, TheCacheIsBoundedAndKeepsWhatIsUsed) {
  Name("10.0.0.200", 2000);
  for (int i = 0; i < QDV0_NAME_CACHE_ENTRIES + 200; i++) {
    char dotted[32];
    snprintf(dotted, sizeof(dotted), "10.3.%d.%d", i / 250, i % 250 + 1);
    Name(dotted);
    Name("10.0.0.200");
    if (i % 32 == 31) {
      WaitFor([] { return TEST_QDV0_GetResolverCounts().queued == 0; }, 5s);
    }
  }
  ASSERT_TRUE(WaitFor(
      [] {
        QDV0_ResolverCounts c = TEST_QDV0_GetResolverCounts();
        return c.queued == 0 && c.running == 0;
      },
      10s));
  EXPECT_LE(TEST_QDV0_GetResolverCounts().cached, QDV0_NAME_CACHE_ENTRIES);
  int calls = gCalls.load();
  EXPECT_EQ(Name("10.0.0.200"), std::make_pair(1, std::string("host-200.example")));
  EXPECT_EQ(gCalls.load(), calls);
}

// Lookups that block hold neither the callers nor the cache: a flood of addresses whose lookups
// never end fills the queue (the rest are not queued), every call still answers at once, and a
// name already known is still given. Even a caller that may wait does not wait while the
// resolver is busy.
TEST_F(Resolver, BlockedLookupsHoldNoCaller) {
  Name("10.0.0.5", 2000);
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 500; i++) {
    char dotted[32];
    snprintf(dotted, sizeof(dotted), "10.9.%d.%d", i / 200, i % 200 + 1);
    EXPECT_EQ(Name(dotted, 300), std::make_pair(0, std::string(dotted)));
    EXPECT_EQ(Name("10.0.0.5").second, "host-5.example");
  }
  EXPECT_EQ(Name("10.0.0.6", 300), std::make_pair(0, std::string("10.0.0.6")));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(
      WaitFor([] { return TEST_QDV0_GetResolverCounts().running == QDV0_NAME_THREADS; }, 5s));
  QDV0_ResolverCounts c = TEST_QDV0_GetResolverCounts();
  EXPECT_LE(c.queued, QDV0_NAME_QUEUE);
  EXPECT_GE(c.queued, QDV0_NAME_QUEUE - QDV0_NAME_THREADS);
  EXPECT_GT(c.dropped, 0);
  Release();
  ASSERT_TRUE(WaitFor([] { return Name("10.0.0.6").first == 1; }, 10s));
}

}  // namespace
