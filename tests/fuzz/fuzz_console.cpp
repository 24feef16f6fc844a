// libFuzzer target for console datagrams: each input is one datagram as the console I/O task
// receives it (at most 1600 bytes, cut at the first NUL like the service's buffer), split into
// command word and operand and carried out by the console's command processing against a
// data provider anchor that holds one small application. Commands that change the data
// provider or its files (IMPORT, REFRESH, DELETE, ACCEPT, SHUTDOWN) are only recognized; all
// others run, and their reply text is built, sized and released.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <new>
#include <string>

#include "core/support/qdv0.h"
#include "include/qdvp_console.h"
#include "include/qdvp_core.h"
#include "include/qdvp_model.h"
#include "include/qdvp_services.h"

namespace {

DPAB *g_anchor = nullptr;
ConsoleBlock *g_area = nullptr;

void Initialize() {
  char pattern[] = "/tmp/qdvp-fuzz-console-XXXXXX";
  const char *made = mkdtemp(pattern);
  setenv("QDVP_META_PATH", made ? made : "/tmp", 1);
  if (freopen("/dev/null", "w", stdout) == nullptr) abort();
  g_anchor = QDVP_StartupInitialization();
  if (g_anchor == nullptr) abort();
  g_anchor->DPtype = QDVP_TYPE_FILE;
  // A validation build chains the application without registering it with an agent.
  QDVP_ConstructApplDataModel(g_anchor,
                              "&FUZZAPP\n//APPL FuzzApp\n//NAME T E\n//SOURCE FILE /tmp/x.log\n"
                              "//ATTRIBUTES ' '\nA D 8 KEY\nB C\n",
                              1, nullptr, nullptr, 0, 0);
  g_area = new ConsoleBlock();
  g_area->Port = 7701;
}

bool ChangesTheDataProvider(int code) {
  return code == QDVP_CMD_IMPORT || code == QDVP_CMD_REFRESH || code == QDVP_CMD_DELETE ||
         code == QDVP_CMD_ACCEPT || code == QDVP_CMD_SHUTDOWN;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (g_anchor == nullptr) Initialize();
  if (size > QDVP_CONSOLE_BUFFER_SIZE) size = QDVP_CONSOLE_BUFFER_SIZE;
  char *buffer = static_cast<char *>(QDV0_GetStorage(QDVP_CONSOLE_BUFFER_SIZE + 1));
  if (buffer == nullptr) return 0;
  memcpy(buffer, data, size);
  char *operand = nullptr;
  char *word = QDVP_SplitConsoleBuffer(buffer, &operand);
  if (word != nullptr) {
    int code = QDVP_ValidateConsoleCommand(word);
    if (code < QDVP_CMD_COUNT && !ChangesTheDataProvider(code)) {
      char *reply = nullptr;
      int show = 0;
      int rc = QDVP_ProcessConsoleCommand(g_anchor, g_area, code, operand, 1, Dummy_Function,
                                          &reply, &show);
      if (reply != nullptr && strlen(reply) > 0 && rc != 0) abort();  // text only with success
      char message[300];
      QDVP_FormatConsoleMessage(QDVP_ConsoleResultMessage(code, rc), operand, message,
                                sizeof(message));
      QDV0_FreeStorage(&reply);
    }
  }
  QDV0_FreeStorage(&buffer);
  return 0;
}
