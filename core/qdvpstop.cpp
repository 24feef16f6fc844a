// Orderly shutdown: asks every task to end, waits a bounded time for them, then releases the
// data model (applications, I/O entries and internal routing blocks).
#include "../include/qdvp_core.h"
#include "../include/qdvp_services.h"
#include "support/qdv0.h"
#include "support/trk1.h"

static TRK1_BLOCK trk = {"qdvpstop"};

static int ActiveTaskCount(DPAB *anchor) {
  OSV1_Guard state(&anchor->StateMutex);
  return anchor->ActiveTasks;
}

void QDVP_ShutdownCleanUp(DPAB *anchor, int flag) {
  QDVP_TRC_ENTRY(trk);
  time_t deadline = QDV0_Time() + QDVP_SHUTDOWN_WAIT_SECONDS;
  QDVP_SignalProcessTermination(anchor);
  MemMetafile *metafile = anchor->pMemMetafile.load();
  if (metafile != nullptr && metafile->pPE != nullptr) QDVP_SignalTaskIO(metafile->pPE);
  for (int active = ActiveTaskCount(anchor); active >= 1 && QDV0_Time() < deadline;
       active = ActiveTaskCount(anchor)) {
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>>Waiting for all processes to end - %d", active);
    QDVP_WaitForTaskEnd(anchor, QDVP_SHUTDOWN_STEP_SECONDS);
  }
  for (;;) {
    ApplEntry *appl;
    {
      OSV1_Guard list(&anchor->ApplListLock);
      appl = anchor->pApplList;
    }
    if (appl == nullptr) break;
    QDVP_ReleaseApplResources(anchor, appl, flag);
  }
  for (;;) {
    IOEntry *io;
    {
      OSV1_Guard list(&anchor->IOEListLock);
      io = anchor->pIOEList[0];
    }
    if (io == nullptr) break;
    QDVP_ReleaseIOResources(anchor, io);
  }
  QDVP_ReleaseRoutingBlocks(anchor);
  QDVP_TRC_EXIT(trk, 0);
}

