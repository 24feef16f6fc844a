// libFuzzer target for record parsing (QDVP_MoveDataToAttr) over the tables of the example
// metafiles and of tests/fuzz/tables: the first input byte picks a table's source, the rest is
// the record, parsed and filtered the way a source does it (and added to its summary when the
// table is summarized). Records may hold NULs, lack their delimiters or run far beyond every
// attribute's size. Seed corpus: tests/fuzz/corpus/fuzz_records, e.g.
//   build/fuzz/bin/fuzz_records -max_total_time=60 /tmp/found tests/fuzz/corpus/fuzz_records
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "include/qdvp_core.h"
#include "include/qdvp_model.h"
#include "include/qdvp_records.h"
#include "include/qdvp_services.h"

namespace {

DPAB *g_anchor = nullptr;
std::vector<SourceEntry *> g_sources;

// Builds the tables of every metafile in directory, in name order, so that the first byte of
// a corpus file picks the same table everywhere.
void LoadTables(const std::string &directory) {
  DIR *dir = opendir(directory.c_str());
  if (dir == nullptr) abort();
  std::vector<std::string> names;
  while (dirent *e = readdir(dir)) {
    std::string name = e->d_name;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".mdl") == 0) names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) {
    std::string path = directory + "/" + name;
    // A validation build chains the application without registering it: with no agent, a
    // registration would wait for ever.
    ApplEntry *appl =
        QDVP_ConstructApplDataModel(g_anchor, path.c_str(), 1, nullptr, nullptr, 0, 1);
    for (TableEntry *t = appl ? appl->pTableList : nullptr; t != nullptr; t = t->pNext)
      for (SourceEntry *s = t->pSourceList; s != nullptr; s = s->pNext) g_sources.push_back(s);
  }
}

void Initialize() {
  if (freopen("/dev/null", "w", stdout) == nullptr) abort();
  g_anchor = QDVP_StartupInitialization();
  if (g_anchor == nullptr) abort();
  // The example tables, then summaries the examples do not have (tests/fuzz/tables).
  LoadTables(std::string(QDVP_SOURCE_DIR) + "/examples/metafiles");
  LoadTables(std::string(QDVP_SOURCE_DIR) + "/tests/fuzz/tables");
  if (g_sources.empty()) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (g_anchor == nullptr) Initialize();
  if (size == 0) return 0;
  SourceEntry *s = g_sources[data[0] % g_sources.size()];
  std::vector<char> record(data + 1, data + size);
  record.push_back('\0');
  int loaded = 0;
  QDVP_MoveDataToAttr(s, record.data(), static_cast<int>(size - 1), &loaded);
  if (QDVP_CheckAttributesPassFilters(s) && s->pSMB != nullptr) {
    QDVP_UpdateSummaryDataArray(s);
    if (s->pSMB->SlotsUsed > 64) {
      s->EndBatchSummary = 1;
      QDVP_PerformDataSummaryOutput(s, nullptr);
    }
  }
  return 0;
}
