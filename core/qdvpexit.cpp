// Release of the anchor block: its names and buffers, the statistics entry and block, the
// batch log, and finally the anchor itself and its publication in Main_DPAB.
#include "../include/qdvp_core.h"
#include "../include/qdvp_services.h"
#include "support/qdv0.h"
#include "support/trk1.h"

static TRK1_BLOCK trk = {"qdvpexit"};

extern "C" {

void QDVP_ReleaseGlobalResources(DPAB *anchor) {
  QDVP_TRC_ENTRY(trk);
  QDV0_FreeStorage(&anchor->pActionLogFile);
  QDV0_FreeStorage(&anchor->pAPIudpBuffer);
  QDV0_FreeStorage(&anchor->pInitConfigFile);
  QDV0_FreeStorage(&anchor->pMetaPath);
  if (anchor->pStatPE != nullptr) {
    ProcessEntry *pe = anchor->pStatPE;
    pthread_mutex_destroy(&pe->TaskIOmutex);
    pthread_cond_destroy(&pe->TaskIOcond);
    OSV1_DestroyLock(&pe->Lock1);
    OSV1_DestroyLock(&pe->Lock2);
    OSV1_DestroyLock(&pe->Lock3);
    OSV1_DestroyLock(&pe->Lock4);
    QDV0_FreeStorage(&anchor->pStatPE);
  }
  QDVP_ReleaseStatisticBlock(anchor->pStatBlock);
  anchor->pStatBlock = nullptr;
  QDVP_ReleaseTrapDestinationArray(anchor->pTrapDest);
  anchor->pTrapDest = nullptr;
  anchor->pDCHclientPE = nullptr;
  if (anchor->BatchLogOpen) QDVP_CloseBatchLog();

  pthread_mutex_lock(&QDVP_MainAnchorMutex);
  if (Main_DPAB == anchor) Main_DPAB = nullptr;
  pthread_mutex_unlock(&QDVP_MainAnchorMutex);
  pthread_mutex_destroy(&anchor->StateMutex);
  pthread_cond_destroy(&anchor->StateCond);
  QDV0_FreeStorage(&anchor);
  QDVP_TRC_EXIT(trk, 0);
}

}  // extern "C"
