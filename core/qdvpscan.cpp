// The periodic scan task, the clock of the data provider. Until its scan work is built it
// keeps its place among the common tasks and waits until it is asked to end.
#include "../include/qdvp_core.h"
#include "../include/qdvp_services.h"

extern "C" void QDVP_TaskPeriodical(ProcessEntry *entry) {
  QDVP_RunIdleTask(entry, ">>>>> Background activity periodical process started. Thread: %X",
                   ">>>>> Background activity task waits on TaskIO notification",
                   ">>>>> Background activity TaskIO notification received. rc %d errno %d");
}
