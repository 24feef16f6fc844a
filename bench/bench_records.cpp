// Record parsing: records per second and nanoseconds per record for (a) an 8-field comma-
// delimited record into display, counter and gauge attributes, (b) a 20-field record with two
// filters and a derived attribute, (c) a fixed-width record; each beside a plain loop that only
// splits the same record into fields, measured in the same run. Every record is parsed the way
// a source parses it: copied into a buffer (parsing writes into the text), parsed, filtered.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "core/support/qdv0.h"
#include "include/qdvp_core.h"
#include "include/qdvp_metafile.h"
#include "include/qdvp_model.h"
#include "include/qdvp_records.h"

namespace {

const char kMetafile[] =
    "//APPL Bench\n"
    "//NAME Eight E\n//ATTRIBUTES ','\nHost D 16\nIf D 8\nIn C\nOut C\nErr C\nTemp G 1000\n"
    "Load G 100\nState D 8\n"
    "//NAME Twenty E\n//ATTRIBUTES ','\nF1 D 16 +FILTER={SCAN(0,GET) OR SCAN(0,POST)}\n"
    "F2 D 8\nF3 C\nF4 C\nF5 G 1000 -FILTER={NUMBER<(0,0)}\nF6 D 8\nF7 D 8\nF8 C\nF9 C\nF10 C\n"
    "F11 D 8\nF12 D 8\nF13 C\nF14 C\nF15 G 100\nF16 G 100\nF17 D 12\nF18 D 12\nF19 C\nF20 C\n"
    "Both (F6 + F7)\n"
    "//NAME Fixed E\n//ATTRIBUTES NONE\nHost D 8\nCode D 4\nCount D 6\nText D 20\nTail D 10\n";

const char kEight[] = "dbhost01,eth0,123456789,98765432,17,-45,63,running";
const char kTwenty[] =
    "GET /index.html,200,5120,17,42,alpha,beta,1,2,3,gamma,delta,4,5,6,7,2026-12-05,21:00:00,8,9";
const char kFixed[] = "dbhost01E042001234some text here    0123456789";

struct Fixture {
  DPAB *anchor = nullptr;
  ApplEntry *appl = nullptr;
  Fixture() {
    char dir[] = "/tmp/qdvpbenchXXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    std::string file = std::string(dir) + "/bench.mdl";
    FILE *f = fopen(file.c_str(), "w");
    fputs(kMetafile, f);
    fclose(f);
    setenv("QDVP_META_PATH", dir, 1);
    anchor = QDVP_StartupInitialization();
    FILE *saved = stdout;
    stdout = fopen("/dev/null", "w");
    appl = QDVP_ConstructApplDataModel(anchor, file.c_str(), 0, nullptr, nullptr, 0, 1);
    fclose(stdout);
    stdout = saved;
    unlink(file.c_str());
    rmdir(dir);
  }
  SourceEntry *Source(const char *table) {
    for (TableEntry *t = appl ? appl->pTableList : nullptr; t; t = t->pNext)
      if (strcmp(t->TableName, table) == 0) return t->pSourceList;
    return nullptr;
  }
};

Fixture &Shared() {
  static Fixture fixture;
  return fixture;
}

void Parse(benchmark::State &state, const char *table, const char *record) {
  SourceEntry *s = Shared().Source(table);
  if (s == nullptr) {
    state.SkipWithError("table not built");
    return;
  }
  size_t length = strlen(record);
  char buffer[256];
  long passed = 0;
  for (auto _ : state) {
    memcpy(buffer, record, length + 1);
    int loaded = QDVP_MoveDataToAttr(s, buffer, static_cast<int>(length), nullptr);
    passed += QDVP_CheckAttributesPassFilters(s);
    benchmark::DoNotOptimize(loaded);
  }
  benchmark::DoNotOptimize(passed);
  state.SetItemsProcessed(state.iterations());
}

// Splits the record at the delimiter into fields copied out, as a parser without types would.
void Split(benchmark::State &state, const char *record) {
  size_t length = strlen(record);
  char buffer[256];
  char fields[32][64];
  for (auto _ : state) {
    memcpy(buffer, record, length + 1);
    char *p = buffer, *end = buffer + length;
    int n = 0;
    while (p < end && n < 32) {
      char *d = static_cast<char *>(memchr(p, ',', static_cast<size_t>(end - p)));
      size_t len = static_cast<size_t>((d ? d : end) - p);
      if (len > 63) len = 63;
      memcpy(fields[n], p, len);
      fields[n][len] = '\0';
      n++;
      p = d ? d + 1 : end;
    }
    benchmark::DoNotOptimize(fields);
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(state.iterations());
}

void SplitFixed(benchmark::State &state, const char *record) {
  static const int kWidths[] = {8, 4, 6, 20, 10};
  size_t length = strlen(record);
  char buffer[256];
  char fields[5][32];
  for (auto _ : state) {
    memcpy(buffer, record, length + 1);
    size_t pos = 0;
    for (int i = 0; i < 5 && pos < length; i++) {
      size_t w = static_cast<size_t>(kWidths[i]);
      if (w > length - pos) w = length - pos;
      memcpy(fields[i], buffer + pos, w);
      fields[i][w] = '\0';
      pos += w;
    }
    benchmark::DoNotOptimize(fields);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_A_Parse8Fields(benchmark::State &s) { Parse(s, "Eight", kEight); }
void BM_A_Split8Fields(benchmark::State &s) { Split(s, kEight); }
void BM_B_Parse20FieldsFiltersDerived(benchmark::State &s) { Parse(s, "Twenty", kTwenty); }
void BM_B_Split20Fields(benchmark::State &s) { Split(s, kTwenty); }
void BM_C_ParseFixedWidth(benchmark::State &s) { Parse(s, "Fixed", kFixed); }
void BM_C_SplitFixedWidth(benchmark::State &s) { SplitFixed(s, kFixed); }

BENCHMARK(BM_A_Parse8Fields);
BENCHMARK(BM_A_Split8Fields);
BENCHMARK(BM_B_Parse20FieldsFiltersDerived);
BENCHMARK(BM_B_Split20Fields);
BENCHMARK(BM_C_ParseFixedWidth);
BENCHMARK(BM_C_SplitFixedWidth);

}  // namespace

BENCHMARK_MAIN();
