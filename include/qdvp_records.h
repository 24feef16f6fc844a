// Record processing: parsing a record into a source's attributes, filters, rates and derived
// attributes; handing rows on (to the DCH client task, to internal routing blocks, to batch
// output files); and summarizing rows over intervals.
//
// Parsing runs on the thread of the source that received the record and holds the source's
// AttrLock then CopyLock for the whole parse, so the DCH client task, which reads the row under
// the same locks, never sees half a row. A source holds one row at a time: the caller consumes
// it before the next record of that source is parsed.
//
// The lock order (a routing block's Lock, then a source's AttrLock and CopyLock, then its
// summary block's Lock) is the table in include/qdvp_anchor.h.
// Every function returns an integer status or null; nothing throws.
#pragma once

#include "qdvp_model.h"
#include "qdvp_services.h"

// Parsing (records/qdvpmd2a.cpp, qdvpldab.cpp).
int QDVP_MoveDataToAttr(SourceEntry *source, char *record, int length, int *loadedSize);
// True when parsing record (length bytes) would load no attribute of source's row because the
// record lacks the fields the row is parsed into (a delimited row of more than one field and no
// delimiter in the record); nothing is changed. A producer that holds a row back asks before it
// lets the next record replace it.
bool QDVP_RecordIsIgnored(SourceEntry *source, const char *record, int length)
    QDVP_EXCLUDES(source->AttrLock);
int QDVP_MoveDataFromBufferToAttr(DPAB *anchor, IOEntry *ioEntry, IObuffer *buffer);
void LoadAttrBucket(AttrEntry *attribute, char *field, int length);
void LoadRateAttribute(AttrEntry *attribute, long sample);
char *QDVP_ConvertToPrintableCharacters(char *buffer, int *length);
int QDVP_CheckDataConversion(const char *buffer, int length);
// Frees the per-key attribute-list copies of a source (KEY tables with rates).
void QDVP_ReleaseKeyCopyList(SourceEntry *source);
// Frees what record processing hangs on a source before the source goes: its per-key copies
// and, for an internal source, the process entry created with it.
void QDVP_ReleaseSourceRecordData(SourceEntry *source);

// Filters (records/qdvpfltr.cpp).
int QDVP_CheckAttributesPassFilters(SourceEntry *source) QDVP_REQUIRES(source->AttrLock);

// Derived attributes (records/qdvpdfun.cpp).
void DoSpecialDerivedAttribute(AttrEntry *attribute);
int QDVP_PerformDeriveAttrFunction(AttrEntry *attribute);
// Gives the attributes still without a value when the row is sent their values: formulas,
// and joins and functions whose operands were parsed after them.
void QDVP_EvaluateFormulas(SourceEntry *source) QDVP_REQUIRES(source->AttrLock);

// The bytes of an I/O buffer's data area (QDVP_AllocateIObuffer gives at least
// QDVP_IOBUFFER_MIN bytes with the header).
inline int QDVP_IObufferDataSize(const IOEntry *ioEntry) {
  int minimum = QDVP_IOBUFFER_MIN - static_cast<int>(sizeof(IObuffer));
  return ioEntry->BufferSize > minimum ? ioEntry->BufferSize : minimum;
}

// Row output (records/qdvpmdch.cpp).
int QDVP_MoveDataToDCH(DPAB *anchor, SourceEntry *source, char *record, int length);
IObuffer *QDVP_GetNextFreeBuffer(IOEntry *ioEntry);

// Internal routing (records/qdvpcirb.cpp, qdvpdirb.cpp).
void QDVP_DispatchInternalOutput(DPAB *anchor, SourceEntry *producer, IRBlock *block,
                                 const char *record, int length);
void QDVP_CheckRedirectSourceOffline(DPAB *anchor, SourceEntry *source, IRBlock *block);
// Reads QDVP_BYPASS_BATCH_GROUP and QDVP_BATCH_MODE_PROCESS once.
void QDVP_ReadRoutingSettings(void);
// Tests: read the batch settings again on the next routing block created.
void QDVP_ResetRoutingSettings(void);

// Batch output (records/qdvpobdr.cpp).
// The caller holds the source's attribute lock (the row is being built).
int QDVP_OutputBatchDataRecord(SourceEntry *source) QDVP_REQUIRES(source->AttrLock);
void QDVP_CloseBatchOutputFile(ApplEntry *application);
// Tests: read QDVP_BATCH_SUMMARY_OUTPUT_ONLY again on the next batch record.
void QDVP_ResetBatchSettings(void);

// Summaries (records/qdvpcsmb.cpp, qdvpsmry.cpp, qdvpsmot.cpp).
int QDVP_UpdateSummaryDataArray(SourceEntry *source);
int QDVP_CheckDataSummaryReady(SourceEntry *source);
int QDVP_PerformDataSummaryOutput(SourceEntry *source, void *parm);
void QDVP_LoadIntervalNameToAttr(SMBlock *block, AttrEntry *attribute, AttrEntry *stamp);
void QDVP_GenerateMissingSummaryIntervalOutput(SourceEntry *source, SMBlock *block, void *parm)
    QDVP_REQUIRES(source->AttrLock, block->Lock);
int StandardCompare(const void *a, const void *b);
// 1 when the attribute is part of the rows of its table: not input-only, and in a summary
// table a key, a summarized attribute, a summary attribute or the time stamp.
int QDVP_AttrAccessible(const SourceEntry *source, const AttrEntry *attribute);
