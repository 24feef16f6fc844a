// The POST server. Until it is built it holds its place as the POST type's server task.
#include "../include/qdvp_core.h"
#include "../include/qdvp_services.h"

void QDVP_PostServer(ProcessEntry *entry) {
  QDVP_RunIdleTask(entry, ">>>>> Post server process started. Thread: %X", nullptr, nullptr);
}
