// ODBC data source blocks (//ODBC INPUT|OUTPUT DSN=name): checked, created and queued in the
// anchor, and released with their table. Moving rows to and from the data source comes with
// record processing.
#include <ctype.h>
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvpgnfb"};

OMBlock *QDVP_InitializeOMB(DPAB *anchor, const char *type, const char *specification) {
  const char *equal = specification ? strchr(specification, '=') : nullptr;
  if (equal == nullptr || equal[1] == '\0') {
    QDVP_DisplayValidationMessage(98, nullptr);
    QDVP_TRC(trk, TRK1_ERROR, "OMB initialization failed");
    return nullptr;
  }
  if (type == nullptr || type[0] == '\0') {
    QDVP_DisplayValidationMessage(97, " ");
    QDVP_TRC(trk, TRK1_ERROR, "OMB initialization failed");
    return nullptr;
  }
  char letter = static_cast<char>(toupper(static_cast<unsigned char>(type[0])));
  if (letter != 'I' && letter != 'O') {
    QDVP_DisplayValidationMessage(97, type);
    QDVP_TRC(trk, TRK1_ERROR, "OMB initialization failed");
    return nullptr;
  }
  auto *block = QDV0_New<OMBlock>();
  if (block == nullptr) return nullptr;
  block->Type = letter;
  block->pDSN = QDV0_StrDup(equal + 1);
  if (anchor != nullptr) {
    OSV1_Guard list(&anchor->OMBLock);
    OMBlock **link = &anchor->pOMBList;
    while (*link != nullptr) link = &(*link)->pNext;
    *link = block;
  }
  return block;
}

void QDVP_ReleaseOMB(DPAB *anchor, OMBlock *block) {
  if (anchor == nullptr || block == nullptr) return;
  {
    OSV1_Guard list(&anchor->OMBLock);
    for (OMBlock **link = &anchor->pOMBList; *link != nullptr; link = &(*link)->pNext) {
      if (*link == block) {
        *link = block->pNext;
        break;
      }
    }
  }
  QDV0_Free(block->pDSN);
  QDV0_Free(block);
}
