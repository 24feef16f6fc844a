// A record's road after parsing: filters, internal routing, summarizing and, when the row is
// due, the hand-over to the DCH client task, which sends the source's row and tells the waiting
// source thread the outcome through the source's state. Also the I/O entries' free-buffer
// pool the servers read records into.
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_dchcomm.h"
#include "../include/qdvp_records.h"
#include "../include/qdvp_request.h"

static TRK1_BLOCK trk = {"qdvpmdch"};

namespace {

int SummaryOutput(SourceEntry *source, DCHcomm *comm) {
  return QDVP_PerformDataSummaryOutput(source, comm);
}

// A source going offline forgets its rows: the per-key copies whose values rates are computed
// from, and its summary in progress (slots, last update, end-of-summary request).
void DropRowState(SourceEntry *source) {
  QDVP_ReleaseKeyCopyList(source);
  OSV1_Guard attrs(&source->AttrLock);
  SMBlock *b = source->pSMB;
  if (b != nullptr) {
    OSV1_Guard lock(&b->Lock);
    b->LastUpdateTime = 0;
    b->SlotsUsed = b->SlotsAllocated = 0;
    QDV0_Free(b->pArray);
  }
  source->EndBatchSummary = 0;
}

const DCHservices kRecordServices = {QDVP_EvaluateFormulas, SummaryOutput,
                                     QDVP_OutputBatchDataRecord, DropRowState};

}  // namespace

void QDVP_InstallRecordServices() { QDVP_SetDCHservices(&kRecordServices); }

int QDVP_MoveDataToDCH(DPAB *anchor, SourceEntry *s, char *record, int length) {
  if (s == nullptr) {
    int type = anchor != nullptr ? anchor->DPtype : 0;
    QDVP_TRC(trk, TRK1_ERROR, "No SourceEntry pointer provided for DP Type: %s",
             type >= 0 && type < 13 ? DPtypeString[type] : "?");
    return 0;
  }
  int loaded = QDVP_MoveDataToAttr(s, record, length, nullptr);
  if (loaded == 0 && length != 0) return 0;
  {
    OSV1_Guard attrs(&s->AttrLock);
    if (!QDVP_CheckAttributesPassFilters(s)) return 0;
  }
  if (s->pTable != nullptr && s->pTable->pIRB != nullptr)
    QDVP_DispatchInternalOutput(anchor, s, s->pTable->pIRB, record, length);
  if (s->pSMB != nullptr) QDVP_UpdateSummaryDataArray(s);
  if (!QDVP_CheckDataSummaryReady(s)) return 0;
  // A source without a task of its own borrows the statistics task's entry for the call.
  if (QDVP_Request(anchor, s, QDVP_VERB_DATA, s->pPE).Delivered()) {
    QDVP_UpdateSourceEntryState(s, QDVP_Input);
    return 1;
  }
  return 0;
}

IObuffer *QDVP_GetNextFreeBuffer(IOEntry *ioe) {
  if (ioe == nullptr) return nullptr;
  for (int attempt = 0; attempt < 2; attempt++) {
    for (IObuffer *b = ioe->pBufferList; b != nullptr; b = b->pNext) {
      if (b->State != QDVP_NotInUse) continue;
      b->State = QDVP_Allocated;
      b->DataLength = 0;
      memset(b->Data, 0, static_cast<size_t>(QDVP_IObufferDataSize(ioe)));
      return b;
    }
    if (attempt == 0 && !QDVP_AllocateIObuffer(ioe)) break;
  }
  QDVP_TRC(trk, TRK1_ERROR, "*****Error: no free I/O buffer available");
  return nullptr;
}
