// Orderly shutdown: asks every task to end, waits a bounded time for them, then releases the
// data model (applications, I/O entries and internal routing blocks).
//
// The release follows the one lifetime rule: an application a task still holds (one that did
// not end within the bound) is not freed under it. It and everything the data model shares
// with it (the I/O entries and routing blocks) are left to the end of the process, and the
// trace says so.
#include <vector>

#include "../include/qdvp_core.h"
#include "../include/qdvp_model.h"
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
  QDVP_DropWaitingDCHwork(anchor);
  std::vector<ApplEntry *> applications;
  {
    OSV1_Guard list(&anchor->ApplListLock);
    for (ApplEntry *a = anchor->pApplList; a != nullptr; a = a->pNext) applications.push_back(a);
  }
  int kept = 0;
  for (ApplEntry *appl : applications) {
    if (QDVP_ApplicationHeld(appl)) {
      QDVP_TRC(trk, TRK1_ERROR, "***** Application @%p still held by a task; left to the end",
               static_cast<void *>(appl));
      kept++;
      continue;
    }
    QDVP_ReleaseApplResources(anchor, appl, flag);
  }
  if (kept > 0) {
    QDVP_TRC_EXIT(trk, 0);
    return;
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
