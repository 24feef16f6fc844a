// Weak stand-ins for the record processing calls of the file server, so that the file server
// links before record processing is on the main line: every record passes, nothing is
// summarized or routed. Temporary: goes when record processing is on the main line.
#include <string.h>

#include "qdvpfrec.h"

extern "C" {

__attribute__((weak)) IObuffer *QDVP_GetNextFreeBuffer(IOEntry *io) {
  for (int pass = 0; pass < 2; pass++) {
    for (IObuffer *b = io->pBufferList; b != nullptr; b = b->pNext) {
      if (b->State != QDVP_NotInUse) continue;
      b->State = QDVP_Allocated;
      memset(b->Data, 0, static_cast<size_t>(io->BufferSize));
      return b;
    }
    if (!QDVP_AllocateIObuffer(io)) return nullptr;
  }
  return nullptr;
}

__attribute__((weak)) int QDVP_MoveDataFromBufferToAttr(DPAB *, IOEntry *, IObuffer *b) {
  int valid = b->State == QDVP_ValidData;
  b->State = QDVP_NotInUse;
  b->DataLength = 0;
  return valid;
}

__attribute__((weak)) int QDVP_CheckDataSummaryReady(SourceEntry *) { return 1; }

__attribute__((weak)) void QDVP_DispatchInternalOutput(DPAB *, SourceEntry *, IRBlock *,
                                                       const char *, int) {}

__attribute__((weak)) void QDVP_CheckRedirectSourceOffline(DPAB *, SourceEntry *, IRBlock *) {}

}  // extern "C"
