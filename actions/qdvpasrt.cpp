// The automation server task, which will hand take actions to their workers. Until actions
// are built it publishes itself and waits until it is asked to end.
#include "../include/qdvp_core.h"
#include "../include/qdvp_services.h"

void QDVP_AutomationServer(ProcessEntry *entry) {
  entry->pDPAB->pAutoServer = entry;
  QDVP_RunIdleTask(entry, ">>>>> Automation Server process started. Thread: %X",
                   ">>>>> Automation Server Task waits on TaskIO notification",
                   ">>>>> Automation Server TaskIO notification received, rc %d errno %d");
}
