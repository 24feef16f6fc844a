// I/O entries: release, which unchains an entry from the anchor's first I/O entry list.
#include "../core/support/qdv0.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_services.h"

extern "C" void QDVP_ReleaseIOResources(DPAB *anchor, IOEntry *io) {
  {
    OSV1_Guard list(&anchor->IOEListLock);
    for (IOEntry **link = &anchor->pIOEList[0]; *link; link = &(*link)->pNext) {
      if (*link == io) {
        *link = io->pNext;
        break;
      }
    }
  }
  QDV0_FreeStorage(&io);
}
