// libFuzzer target for the metafile statement parser: each input is one metafile, read as an
// in-memory text or, when its first byte is odd, from a file (so that records longer than the
// record buffer and bytes after a NUL reach the reader). The model is built in a validation
// run and released again; standard output goes to /dev/null.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "include/qdvp_core.h"
#include "include/qdvp_model.h"
#include "include/qdvp_services.h"

namespace {

DPAB *g_anchor = nullptr;
std::string g_directory;

void Initialize() {
  char pattern[] = "/tmp/qdvp-fuzz-XXXXXX";
  const char *made = mkdtemp(pattern);
  g_directory = made ? made : "/tmp";
  setenv("QDVP_META_PATH", g_directory.c_str(), 1);
  setenv("QDVP_META_MAX_RECORD_SIZE", "256", 1);
  if (freopen("/dev/null", "w", stdout) == nullptr) abort();
  g_anchor = QDVP_StartupInitialization();
  if (g_anchor == nullptr) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (g_anchor == nullptr) Initialize();
  ApplEntry *appl = nullptr;
  if (size > 0 && (data[0] & 1)) {
    std::string path = g_directory + "/fuzz.mdl";
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    fwrite(data + 1, 1, size - 1, f);
    fclose(f);
    appl = QDVP_ConstructApplDataModel(g_anchor, "fuzz.mdl", 1, nullptr, nullptr, 0, 0);
  } else {
    std::string text = "&FUZZ\n";
    text.append(reinterpret_cast<const char *>(data), size);
    appl = QDVP_ConstructApplDataModel(g_anchor, text.c_str(), 1, nullptr, nullptr, 0, 0);
  }
  if (appl != nullptr) QDVP_ReportDataModel(appl);
  while (g_anchor->pApplList != nullptr)
    QDVP_ReleaseApplResources(g_anchor, g_anchor->pApplList, 1);
  QDVP_ReleaseRoutingBlocks(g_anchor);
  return 0;
}
