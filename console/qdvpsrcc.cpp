// The console service, run by the host thread once the data provider has started. Until the
// operator console is built, the service waits for a shutdown request (from the host or a
// server) and then carries out the orderly shutdown before it returns.
#include "../include/qdvp_core.h"
#include "../include/qdvp_services.h"
#include "../core/support/trk1.h"

static TRK1_BLOCK trk = {"qdvpsrcc"};

extern "C" void QDVP_ConsoleService(DPAB *anchor, QDVP_TASK_ROUTINE) {
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Console service waits for shutdown request");
  while (!QDVP_WaitForAnchorFlag(anchor, &anchor->ShutdownRequested, 5)) {
  }
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Console service received shutdown request");
  QDVP_ShutdownCleanUp(anchor, 1);
}
