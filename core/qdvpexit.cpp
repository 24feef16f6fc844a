// Release of the anchor block: its names and buffers, the statistics entry and block, the
// batch log, and finally the anchor itself and its publication in Main_DPAB.
#include "../include/qdvp_core.h"
#include "../include/qdvp_services.h"
#include "support/qdv0.h"
#include "support/trk1.h"

static TRK1_BLOCK trk = {"qdvpexit"};

void QDVP_ReleaseGlobalResources(DPAB *anchor) {
  QDVP_TRC_ENTRY(trk);
  QDV0_Free(anchor->pActionLogFile);
  QDV0_Free(anchor->pAPIudpBuffer);
  QDV0_Free(anchor->pReplyBuffer);
  QDV0_Free(anchor->pInitConfigFile);
  QDV0_Free(anchor->pMetaPath);
  QDVP_ReleaseMetafileBlock(anchor);
  if (anchor->pStatPE != nullptr) {
    QDVP_FreeProcessEntry(anchor->pStatPE);
    anchor->pStatPE = nullptr;
  }
  QDVP_ReleaseStatisticBlock(anchor->pStatBlock);
  anchor->pStatBlock = nullptr;
  {
    OSV1_Guard destinations(&QDVP_TrapDestLock);
    QDVP_ReleaseTrapDestinationArray(anchor->pTrapDest);
    anchor->pTrapDest = nullptr;
  }
  anchor->pDCHclientPE = nullptr;
  if (anchor->BatchLogOpen) QDVP_CloseBatchLog();
  QDVP_ForgetDPlogAnchor(anchor);
  QDVP_ForgetNoDataReport(anchor);

  OSV1_GetLock(&QDVP_MainAnchorMutex);
  if (Main_DPAB == anchor) Main_DPAB = nullptr;
  OSV1_ReleaseLock(&QDVP_MainAnchorMutex);
  OSV1_DestroyLock(&anchor->StateMutex);
  QDV0_Free(anchor);
  QDVP_TRC_EXIT(trk, 0);
}
