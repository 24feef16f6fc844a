// The data model records: applications, I/O entries and internal routing blocks.
//
// Only the links that the core walks at shutdown are here so far; the metafile and record
// processing code completes these records. pApplList is guarded by the anchor's ApplListLock,
// pIOEList by IOEListLock, pIRBList by IRBLock.
#pragma once

#include "qdvp_anchor.h"

struct ApplEntry {
  ApplEntry *pNext;
};

struct IOEntry {
  IOEntry *pNext;
};

struct IRBlock {
  IRBlock *pNext;
  char *pBuffer;  // owned by the block
};
