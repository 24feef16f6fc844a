// The statistics block, made at start-up and released with the anchor.
#include "../core/support/qdv0.h"
#include "../include/qdvp_services.h"

// Counts of traffic; the statistics report fills these in.
struct StatBlock {
  long Counters[16];
};

StatBlock *QDVP_InitializeStatisticBlock(void) {
  return QDV0_New<StatBlock>();
}

void QDVP_ReleaseStatisticBlock(StatBlock *block) { QDV0_Free(block); }

