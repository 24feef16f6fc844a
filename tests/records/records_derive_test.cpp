// Derived attributes while parsing: the five derive functions (UTCTOGMT of 0, UTCTOLOCALTIME,
// NETWARETIMETOTEXT with and without a time, CORVIDTIMESTAMP, IPADDRESSTONAME with its cache).
#include "tests/records/records_test_util.h"

#include <stdlib.h>
#include <time.h>

namespace {

using records_test::Attr;
using records_test::RecordsTest;

class Derive : public RecordsTest {
 protected:
  void SetUp() override {
    RecordsTest::SetUp();
    env_.Set("TZ", "UTC");
    tzset();
  }
  void TearDown() override {
    RecordsTest::TearDown();
    tzset();
  }
  // The value of attribute name after parsing record into a one-table application.
  std::string Derived(const std::string &attributes, const std::string &record,
                      const char *name) {
    ApplEntry *appl = Load("//APPL Derive\n//NAME T E\n//ATTRIBUTES ','\n" + attributes);
    EXPECT_NE(appl, nullptr) << out_;
    if (appl == nullptr) return "<no table>";
    SourceEntry *s = appl->pTableList->pSourceList;
    Parse(s, record);
    AttrEntry *a = Attr(s, name);
    std::string value = a ? std::string(a->Value, static_cast<size_t>(a->ActualValSize)) : "?";
    QDVP_ReleaseApplResources(anchor_, appl, 1);
    return value;
  }
};

TEST_F(Derive, FunctionsGiveTheirValues) {
  struct {
    const char *attributes, *record, *name, *value;
  } cases[] = {
      {"Secs C 2147483647\nGmt (UTCTOGMT = Secs)\n", "0", "Gmt", "0700101000000000"},
      {"Secs C 2147483647\nGmt (UTCTOGMT = Secs)\n", "1764968400", "Gmt", "1251205210000000"},
      {"Secs C 2147483647\nLoc (UTCTOLOCALTIME = Secs)\n", "86399", "Loc", "0700101235959000"},
      {"Hex D 24\nWhen (NETWARETIMETOTEXT = Hex)\n", "07EA0C0515232D", "When",
       "2026/12/05 21:35:45"},
      {"Hex D 24\nWhen (NETWARETIMETOTEXT = Hex)\n", "07EA0C05", "When", "2026/12/05"},
      {"Hex D 24\nWhen (NETWARETIMETOTEXT = Hex)\n", "  07EA0C05000000", "When", "2026/12/05"},
      {"Text D 24\nStamp (CORVIDTIMESTAMP = Text)\n", "2026-12-05 21:00:00", "Stamp",
       "1261205210000000"},
      {"Text D 24\nStamp (CORVIDTIMESTAMP = Text)\n", "no time", "Stamp", "0000000000000000"},
      {"Addr D 64\nHost (IPADDRESSTONAME = Addr)\n", "/gateway/port", "Host", "gateway"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.attributes) + c.record);
    EXPECT_EQ(Derived(c.attributes, c.record, c.name), c.value);
  }
}

TEST_F(Derive, SecondsOfTheWrongSizeStoreNothing) {
  EXPECT_EQ(Derived("Secs C 100\nGmt (UTCTOGMT = Secs)\n", "5", "Gmt"), "");
}

TEST_F(Derive, AddressToNameUsesItsCacheForTheSameAddress) {
  ApplEntry *appl = Load("//APPL Derive\n//NAME T E\n//ATTRIBUTES ','\nAddr D 64\n"
                         "Host (IPADDRESSTONAME = Addr)\n");
  ASSERT_NE(appl, nullptr) << out_;
  SourceEntry *s = appl->pTableList->pSourceList;
  // Another address first, so that the cache holds something else.
  Parse(s, "127.0.0.2");
  qdvp_test::TraceCapture trace;
  Parse(s, "127.0.0.1");
  std::string first(Attr(s, "Host")->Value);
  if (first == "127.0.0.1") {
    EXPECT_TRUE(trace.Contains("not resolved"));
    GTEST_SKIP() << "127.0.0.1 has no name on this host; the cache is only used for names";
  }
  EXPECT_FALSE(trace.Contains("cached name"));
  Parse(s, "127.0.0.1");
  EXPECT_EQ(std::string(Attr(s, "Host")->Value), first);
  EXPECT_EQ(trace.Count("cached name"), 1u);
}

}  // namespace
