// Startup configuration and the application lifecycle. Until the metafile reader exists
// there is no startup configuration to process and no application to release but the ones
// already chained, which are unchained and freed.
#include "../core/support/qdv0.h"
#include "../include/qdvp.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_services.h"

extern "C" {

int QDVP_ProcessStartUpConfig(DPAB *) { return 1; }

void QDVP_DoApplicationAutoLoad(DPAB *) {}

void QDVP_ReleaseApplResources(DPAB *anchor, ApplEntry *appl, int) {
  {
    OSV1_Guard list(&anchor->ApplListLock);
    for (ApplEntry **link = &anchor->pApplList; *link; link = &(*link)->pNext) {
      if (*link == appl) {
        *link = appl->pNext;
        break;
      }
    }
  }
  QDV0_FreeStorage(&appl);
}

int QDVP_UnpackMetafileToText(const char *) { return -1; }

}  // extern "C"
