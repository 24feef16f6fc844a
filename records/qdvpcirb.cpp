// Internal routing blocks: release of every block and its buffer at shutdown.
#include "../core/support/qdv0.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_services.h"

extern "C" void QDVP_ReleaseRoutingBlocks(DPAB *anchor) {
  OSV1_Guard guard(&anchor->IRBLock);
  while (anchor->pIRBList != nullptr) {
    IRBlock *block = anchor->pIRBList;
    anchor->pIRBList = block->pNext;
    QDV0_FreeStorage(&block->pBuffer);
    QDV0_FreeStorage(&block);
  }
}
