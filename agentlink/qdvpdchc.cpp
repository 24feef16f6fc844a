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

// Queueing a source to the DCH client and waiting for the agent's answer.
//
// Until the agent link carries requests, this is the one place that answers for the agent:
// a registration (state Register) is accepted as if the agent had answered Ready, and every
// other request (online, offline, unregister) completes at once without a state change. It
// goes away with the agent link.
#include "../include/qdvp_model.h"

extern "C" int QDVP_QueueAndWaitDCHstatus(DPAB *, ProcessEntry *, SourceEntry *source) {
  if (source == nullptr) return 0;
  if (source->State == QDVP_Register) QDVP_UpdateSourceEntryState(source, QDVP_Ready);
  return 1;
}
