// The file server. Until file monitoring is built, the server starts as the FILE type's task
// and waits until it is asked to end.
#include "../include/qdvp_core.h"
#include "../include/qdvp_services.h"
#include "../core/support/trk1.h"

static TRK1_BLOCK trk = {"qdvpfile"};

extern "C" {

void QDVP_FileServer(ProcessEntry *entry) {
  QDVP_RunIdleTask(entry, ">>>>> File server process started. Thread: %X", nullptr, nullptr);
}

int QDVP_CheckAndStartFileServer(DPAB *anchor, QDVP_TASK_ROUTINE fileServer) {
  if (QDVP_CreateProcess(anchor, anchor->DPtype, nullptr, fileServer, 0, nullptr)) return 1;
  QDVP_TRC(trk, TRK1_ERROR, "***** File server process startup failed.");
  return 0;
}

}  // extern "C"
