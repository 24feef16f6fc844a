// Parsing records into attributes: every layout (single delimiter with blank runs, begin/end
// pairs, per-attribute overrides, fixed widths, record type, last type, special attributes),
// every type conversion with its maxima and data warnings, numeric text cleaning, time digits,
// rates over several samples and keys, filters, bad input that is corrected, never overrun;
// and derived attributes: the five derive functions, named in any case (UTCTOGMT of 0 and of
// seconds of the wrong size, UTCTOLOCALTIME, NETWARETIMETOTEXT with and without a time,
// CORVIDTIMESTAMP, IPADDRESSTONAME with its cache).
#include <stdlib.h>
#include <time.h>

#include <vector>

#include "tests/records/records_test_util.h"

namespace {

using records_test::Attr;
using records_test::IntValue;
using records_test::RecordsTest;
using records_test::Row;

struct ParseCase {
  const char *what;
  const char *attributes;  // from the //ATTRIBUTES statement on, ',' when it is left out
  std::string record;
  int loaded;
  std::string row;  // Row() after parsing
};

class Parsing : public RecordsTest {
 protected:
  SourceEntry *Table(const std::string &attributes) {
    std::string delimiter = attributes.rfind("//", 0) == 0 ? "" : "//ATTRIBUTES ','\n";
    ApplEntry *appl = Load("//APPL Parse\n//NAME T E\n" + delimiter + attributes);
    return appl ? appl->pTableList->pSourceList : nullptr;
  }
};

TEST_F(Parsing, LayoutsAndTypesGiveTheirRows) {
  const ParseCase cases[] = {
      {"empty field loads nothing", "A D 4\nB D 4\nC D 4\n", "a,,c", 2, "A=a|C=c"},
      {"blank runs are one delimiter", "//ATTRIBUTES ' '\nA D 4\nB D 4\n", "  a   b", 2, "A=a|B=b"},
      {"no delimiter, one attribute", "A D 8\n", "whole", 1, "A=whole"},
      {"no delimiter, two attributes", "A D 8\nB D 8\n", "whole", 0, ""},
      {"fields beyond the attributes", "A D 4\nB D 4\n", "a,b,c,d", 2, "A=a|B=b"},
      {"display cut to its size", "A D 3\nB D 4\n", "abcdef,x", 2, "A=abc|B=x"},
      {"left truncation keeps the right", "A DL 3\nB D 4\n", "abcdef,x", 2, "A=def|B=x"},
      {"counter, gauge, average", "C C\nG G 100\nA A\n", "7,-5,12", 3, "C=7|G=-5|A=12"},
      {"negative counter is no number", "C C\n", "-5", 1, "C=0"},
      {"short gauge clamped to its maximum", "G G 100\nX D 4\n", "-250,x", 2, "G=-100|X=x"},
      {"average is not negative", "A A 100\nX D 4\n", "-250,x", 2, "A=0|X=x"},
      {"long gauge clamped", "G G 100000\nX D 4\n", "123456,x", 2, "G=100000|X=x"},
      {"number beyond 32 bits", "G G\nX D 4\n", "99999999999999,x", 2, "G=2147483647|X=x"},
      {"switch outside 0..1", "S S\nT S\n", "2,1", 2, "S=0|T=1"},
      {"blank-led integer", "C C\nX D 4\n", "   42,x", 2, "C=42|X=x"},
      {"non-numeric integer", "C C\nX D 4\n", "abc,x", 2, "C=0|X=x"},
      {"field of blanks", "C C\nX D 4\n", "   ,x", 2, "C=0|X=x"},
      {"rate percent of a first zero sample", "P % 1000\nX D 4\n", "0,x", 2, "P=100|X=x"},
      {"time digits zero-filled", "T T\nX D 4\n", "1234,x", 2, "T=1234000000000000|X=x"},
      {"malformed time is zeros", "T T\nX D 4\n", "12a,x", 2, "T=0000000000000000|X=x"},
      {"numeric text cleaned", "//ATTRIBUTES ';'\nN N 16\nX D 4\n", "abc 1,234.5 kB;x", 2,
       "N=1,234.5|X=x"},
      {"numeric text without a number", "//ATTRIBUTES ';'\nN N 8\nX D 4\n", "abc;x", 2,
       "N=abc|X=x"},
      {"skip type loads nothing", "A D 4\nS K 4\nB D 4\n", "a,s,b", 3, "A=a|B=b"},
      {"begin/end pairs", "//ATTRIBUTES '[]'\nA D 8\nB D 8\n", "x[one] y [two]z", 2, "A=one|B=two"},
      {"begin/end pair never closed", "//ATTRIBUTES '[]'\nA D 8\nB D 8\n", "[one][tw", 2,
       "A=one|B=tw"},
      {"begin character missing", "//ATTRIBUTES '[]'\nA D 8\nB D 8\n", "[one] two", 1, "A=one"},
      {"per-attribute override", "//ATTRIBUTES ' '\nHost D 8\nWhen D 12 DLM='[]'\nReq D 8\n",
       "h1 [05/Dec/2026] GET", 3, "Host=h1|When=05/Dec/2026|Req=GET"},
      {"single-character override", "A D 4 \nB D 4 DLM=';'\nC D 4\n", "a,b;c", 3, "A=a|B=b|C=c"},
      {"last type takes the rest", "A D 4\nMsg Z 40\n", "a,b,c d,e", 2, "A=a|Msg=b,c d,e"},
      {"record type takes all", "All R 40\n", "a,b,c", 1, "All=a,b,c"},
      {"fixed widths", "//ATTRIBUTES NONE\nA D 3\nB D 2\nC D 4\n", "abcdeXY", 3, "A=abc|B=de|C=XY"},
      {"concatenation while parsing", "First D 4\nLast D 4\nFull (First + Last)\n", "ab,cd", 2,
       "First=ab|Last=cd|Full=abcd"},
      {"record longer than every value is cut", "A D 8\nB Z 16\n",
       std::string(10, 'x') + "," + std::string(20000, 'x'), 2,
       "A=" + std::string(8, 'x') + "|B=" + std::string(16, 'x')},
      {"embedded NUL ends the record", "A D 4\nB D 4\nC D 4\n", std::string("a,b\0,c", 6), 2,
       "A=a|B=b"},
  };
  for (const ParseCase &c : cases) {
    SCOPED_TRACE(c.what);
    SourceEntry *s = Table(c.attributes);
    ASSERT_NE(s, nullptr) << out_;
    EXPECT_EQ(Parse(s, c.record), c.loaded);
    EXPECT_EQ(Row(s), c.row);
    QDVP_ReleaseApplResources(anchor_, s->pTable->pAppl, 1);
  }
}

TEST_F(Parsing, DataWarningsOnlyAtDetailLevel) {
  SourceEntry *s = Table("C C\nG G 100\nS S\nT T\nX D 4\n");
  ASSERT_NE(s, nullptr) << out_;
  // (The message display ends each message at its insert.)
  const std::string warnings =
      "QDVPV12W Data Warning: Non-Numeric input value forced to zero from x\n"
      "QDVPV09W Data Warning: Data value exceeds specification maximum. Specification "
      "maximum in effect. G 500 -> 100\n"
      "QDVPV13E Data Error: Invalid Switch type input value forced to OFF (0) from 7\n"
      "QDVPV14W Data Warning: Invalid Time type input value forced to zero from 1a\n";
  for (unsigned flags : {0u, static_cast<unsigned>(TRK1_DETAIL)}) {
    TRK1_SetFlags(flags);
    qdvp_test::StreamCapture out(1);
    Parse(s, "x,500,7,1a,x");
    EXPECT_EQ(out.Take(), flags == 0 ? "" : warnings) << "flags " << flags;
  }
  TRK1_SetFlags(0);
}

TEST_F(Parsing, LoadedSizeIsTheTotalOfTheValuesNothingWithoutAttributesAndPrintableConversions) {
  SourceEntry *s = Table("A D 8\nC C 100000\n");
  ASSERT_NE(s, nullptr);
  SourceEntry empty{};
  char record[] = "abc,5";
  int size = 0;
  EXPECT_EQ(QDVP_MoveDataToAttr(s, record, 5, &size), 2);
  EXPECT_EQ(size, 3 + 4);
  EXPECT_EQ(QDVP_MoveDataToAttr(&empty, record, 5, &size), 0);
  EXPECT_EQ(size, 0);
  char text[] = "ab\ncd\r";
  int length = 6;
  EXPECT_EQ(QDVP_ConvertToPrintableCharacters(text, &length), text);
  EXPECT_STREQ(text, "ab cd ");
  char binary[] = {'a', 1, 'B'};
  length = 3;
  char *hex = QDVP_ConvertToPrintableCharacters(binary, &length);
  EXPECT_STREQ(hex, "610142");
  EXPECT_EQ(length, 7);
  QDV0_FreeStorage(&hex);
  EXPECT_EQ(QDVP_CheckDataConversion("\x81\x82", 2), 1);
  EXPECT_EQ(QDVP_CheckDataConversion("\x81"
                                     "a",
                                     2),
            0);
}

struct RateStep {
  long sample;
  int advance;  // seconds the clock moves before the sample
  long change, percent, delta;
};

TEST_F(Parsing, RatesOverSeveralSamplesAndPerKey) {
  QDV0_UseManualClock(1700000000);
  SourceEntry *s = Table("R ? 1000000\nP % 1000000\nD # 1000000\n");
  ASSERT_NE(s, nullptr);
  const RateStep steps[] = {
      {50, 0, 0, 0, 0},      {75, 10, 2, 50, 25},     {75, 0, 0, 0, 0},
      {45, 5, -6, -39, -30}, {145, 0, 100, 222, 100},  // same second: the interval is 1
  };
  for (const RateStep &step : steps) {
    SCOPED_TRACE(step.sample);
    QDV0_AdvanceClock(step.advance);
    std::string value = std::to_string(step.sample);
    Parse(s, value + "," + value + "," + value);
    EXPECT_EQ(IntValue(Attr(s, "R")), step.change);
    EXPECT_EQ(IntValue(Attr(s, "P")), step.percent);
    EXPECT_EQ(IntValue(Attr(s, "D")), step.delta);
  }
  // Rates are kept per key.
  ApplEntry *appl = Load(
      "//APPL Routers\n//NAME If K 600\n//ATTRIBUTES ' '\nRouter D 8 KEY\nIf D 8 KEY\n"
      "Octets C\nRate # 2147483647\nPerSec ? 2147483647\n",
      "keys.mdl");
  ASSERT_NE(appl, nullptr) << out_;
  s = appl->pTableList->pSourceList;
  struct {
    const char *record;
    int advance;
    long delta, perSecond;
  } keyed[] = {
      {"r1 eth0 100 100 100", 0, 0, 0},        {"r1 eth1 5000 5000 5000", 0, 0, 0},
      {"r1 eth0 160 160 160", 10, 60, 6},      {"r2 eth0 7 7 7", 0, 0, 0},
      {"r1 eth1 5300 5300 5300", 20, 300, 10}, {"r1 eth0 200 200 200", 20, 40, 1},
  };
  for (const auto &step : keyed) {
    SCOPED_TRACE(step.record);
    QDV0_AdvanceClock(step.advance);
    Parse(s, step.record);
    EXPECT_EQ(IntValue(Attr(s, "Rate")), step.delta);
    EXPECT_EQ(IntValue(Attr(s, "PerSec")), step.perSecond);
  }
  int copies = 0;
  for (AttrEntry *c = s->pKeyCopyList; c != nullptr; c = static_cast<AttrEntry *>(c->pWork[0]))
    copies++;
  EXPECT_EQ(copies, 3);
  QDV0_UseSystemClock();
}

TEST_F(Parsing, ExampleMetafilesParseTheirSampleLines) {
  const std::string file = qdvp_test::SourceDir() + "/examples/metafiles/perfsample.mdl";
  ApplEntry *appl;
  {
    qdvp_test::StreamCapture quiet(1);
    appl = QDVP_ConstructApplDataModel(anchor_, file.c_str(), 0, nullptr, nullptr, 0, 1);
  }
  ASSERT_NE(appl, nullptr);
  SourceEntry *s = appl->pTableList->pSourceList;
  EXPECT_EQ(Parse(s, "dbhost1,2026-12-05 21:00:00,37,812,1024000,55"), 6);
  EXPECT_EQ(std::string(Attr(s, "Host")->Value), "dbhost1");
  EXPECT_EQ(IntValue(Attr(s, "Cpu")), 37);
  EXPECT_EQ(IntValue(Attr(s, "Connections")), 55);
}

struct FilterCase {
  const char *what;
  const char *attribute;
  const char *record;
  int sequence;
  int pass;
};

TEST_F(Parsing, FiltersIncludeExcludeAndOr) {
  const char kMixed[] = "Mixed D 8 +FILTER={SCAN(0,abc) AND MATCH(2,x) OR NUMBER=(0,1)}";
  const FilterCase cases[] = {
      {"scan or, one found", "Req D 16 +FILTER={SCAN(0,GET) OR SCAN(0,POST)}", "x POST y", 0, 1},
      {"scan or, none found", "Req D 16 +FILTER={SCAN(0,GET) OR SCAN(0,POST)}", "x PUT y", 0, 0},
      {"scan from offset", "Req D 16 +FILTER={SCAN(3,GET)}", "GETxx", 0, 0},
      {"match at offset", "Req D 16 +FILTER={MATCH(2,ab)}", "xxabyy", 0, 1},
      {"match elsewhere", "Req D 16 +FILTER={MATCH(0,ab)}", "xxabyy", 0, 0},
      {"match past the value", "Req D 16 +FILTER={MATCH(5,abc)}", "xxabyy", 0, 0},
      {"and, both", "Lvl G 100 +FILTER={NUMBER>(0,3) AND NUMBER<(0,10)}", "5", 0, 1},
      {"and, one", "Lvl G 100 +FILTER={NUMBER>(0,3) AND NUMBER<(0,10)}", "12", 0, 0},
      {"exclude or, hit", "Lvl G 100 -FILTER={NUMBER<(0,3)}", "2", 0, 0},
      {"exclude or, miss", "Lvl G 100 -FILTER={NUMBER<(0,3)}", "3", 0, 1},
      {"ge and le", "Lvl G 100 +FILTER={NUMBER>=(0,3) AND NUMBER<=(0,3)}", "3", 0, 1},
      {"equal", "Lvl C 100000 +FILTER={NUMBER=(0,70000)}", "70000", 0, 1},
      {"last of a set passes", "Lvl G 100 -FILTER={NUMBER<(0,3)}", "2", 16, 1},
      {"first of a set passes", "Lvl G 100 -FILTER={NUMBER<(0,3)}", "2", 1, 1},
      {"middle of a set", "Lvl G 100 -FILTER={NUMBER<(0,3)}", "2", 0, 0},
      // mixed logic: OR in effect, and the conditions after the first error are dropped
      {"mixed logic, scan", kMixed, "xxabc", 0, 1},
      {"mixed logic, match", kMixed, "zzxzz", 0, 1},
      {"mixed logic, an empty value", kMixed, "", 0, 0},
  };
  for (const FilterCase &c : cases) {
    SCOPED_TRACE(c.what);
    SourceEntry *s = Table(std::string(c.attribute) + "\n");
    ASSERT_NE(s, nullptr) << out_;
    Parse(s, c.record);
    s->DataSequence = static_cast<int16_t>(c.sequence);
    EXPECT_EQ(QDVP_CheckAttributesPassFilters(s), c.pass);
    QDVP_ReleaseApplResources(anchor_, s->pTable->pAppl, 1);
  }
}

class Derive : public Parsing {
 protected:
  void SetUp() override {
    Parsing::SetUp();
    env_.Set("TZ", "UTC");
    tzset();
  }
  void TearDown() override {
    Parsing::TearDown();
    tzset();
  }
  // The value of attribute name after parsing record into a one-table application.
  std::string Derived(const std::string &attributes, const std::string &record, const char *name) {
    SourceEntry *s = Table(attributes);
    EXPECT_NE(s, nullptr) << out_;
    if (s == nullptr) return "<no table>";
    Parse(s, record);
    AttrEntry *a = Attr(s, name);
    std::string value = a ? std::string(a->Value, static_cast<size_t>(a->ActualValSize)) : "?";
    QDVP_ReleaseApplResources(anchor_, s->pTable->pAppl, 1);
    return value;
  }
};

TEST_F(Derive, FunctionsGiveTheirValues) {
  struct {
    const char *attributes, *record, *name, *value;
  } cases[] = {
      {"Secs C 2147483647\nGmt (UTCTOGMT = Secs)\n", "0", "Gmt", "0700101000000000"},
      {"Secs C 2147483647\nGmt (utctogmt = Secs)\n", "1764968400", "Gmt", "1251205210000000"},
      {"Secs C 100\nGmt (UTCTOGMT = Secs)\n", "5", "Gmt", ""},  // seconds of the wrong size
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

TEST_F(Derive, AddressToNameUsesItsCacheForTheSameAddress) {
  SourceEntry *s = Table("Addr D 64\nHost (IPADDRESSTONAME = Addr)\n");
  ASSERT_NE(s, nullptr) << out_;
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
