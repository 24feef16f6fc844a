// The URL manager. Until HTTP monitoring is built, the manager block is not made and the
// manager task waits until it is asked to end.
#include "../include/qdvp_core.h"
#include "../include/qdvp_services.h"

int QDVP_InitializeUMB(DPAB *) { return 1; }
void QDVP_DefineHTTPapplication(DPAB *) {}

void QDVP_HTTPmanagerTask(ProcessEntry *entry) {
  QDVP_RunIdleTask(entry, ">>>>> HTTP manager process started. Thread: %X", nullptr, nullptr);
}

