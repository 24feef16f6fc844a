// The DCH client task: alone owns the connection to the agent and sends every request.
//
// Until the agent link is built, the task holds its place in the start-up order: it publishes
// its process entry and waits until it is asked to end.
#include "../include/qdvp_core.h"
#include "../include/qdvp_services.h"

extern "C" void QDVP_DCHclientRoutine(ProcessEntry *entry) {
  entry->pDPAB->pDCHclientPE = entry;
  QDVP_RunIdleTask(entry, ">>>>> DCH client process started. Thread: %X",
                   ">>>>> DCH Client Task waits on TaskIO notification",
                   ">>>>> DCH Client TaskIO notification received. rc %d errno %d");
}
