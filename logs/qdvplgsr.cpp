// The data provider log server. Until the log is built, the server announces that it is ready
// (the start-up waits for that) and then waits until it is asked to end.
#include "../include/qdvp_core.h"
#include "../include/qdvp_services.h"

extern "C" {

void QDVP_DefineDPlogReport(DPAB *) {}

void QDVP_DPlogServer(ProcessEntry *entry) {
  DPAB *anchor = entry->pDPAB;
  anchor->pDPlogServer = entry;
  QDVP_SetAnchorFlag(anchor, &anchor->DPlogReady);
  QDVP_RunIdleTask(entry, ">>>>> DP Log Server process started. Thread: %X",
                   ">>>>> DP Log Server Task waits on TaskIO notification",
                   ">>>>> DP Log Server TaskIO notification received. rc %d errno %d");
}

}  // extern "C"
