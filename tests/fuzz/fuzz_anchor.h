// The anchor of the fuzz targets that queue actions: made once, its action locks ready.
#pragma once

#include "core/support/qdv0.h"
#include "include/qdvp_anchor.h"

inline DPAB *FuzzAnchor() {
  static DPAB *anchor = [] {
    DPAB *a = QDV0_New<DPAB>();
    OSV1_InitializeLock(&a->ActionListLock);
    OSV1_InitializeLock(&a->AutoQueueLock);
    return a;
  }();
  return anchor;
}
