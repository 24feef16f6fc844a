// Record processing as the file server calls it (the declarations of include/qdvp_records.h
// that the file server needs). Temporary: goes when record processing is on the main line.
#pragma once

#include "../include/qdvp_model.h"

extern "C" {
int QDVP_MoveDataFromBufferToAttr(DPAB *anchor, IOEntry *ioEntry, IObuffer *buffer);
IObuffer *QDVP_GetNextFreeBuffer(IOEntry *ioEntry);
int QDVP_CheckDataSummaryReady(SourceEntry *source);
void QDVP_DispatchInternalOutput(DPAB *anchor, SourceEntry *producer, IRBlock *block,
                                 const char *record, int length);
void QDVP_CheckRedirectSourceOffline(DPAB *anchor, SourceEntry *source, IRBlock *block);
}
