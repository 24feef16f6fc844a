// Delivering a routed record: every input table of a routing block receives a fresh copy of
// the record through an internal source of its own (one per producing source, created and
// brought online with the first record), and takes those internal sources offline when the
// producing source goes away. Routing is recursive: an input table may feed a block itself.
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_records.h"
#include "../include/qdvp_request.h"

static TRK1_BLOCK trk = {"qdvpdirb"};

namespace {

// The batch settings, read once on the first routing block created.
int SettingsRead = 0;
int BypassBatchGroup = 1;
int BatchModeProcess = 0;

SourceEntry *FindInternalSource(TableEntry *table, SourceEntry *producer) {
  OSV1_Guard sources(&table->SourceListLock);
  for (SourceEntry *s = table->pSourceList; s != nullptr; s = s->pNext) {
    if (s->pProducer == producer) return s;
  }
  return nullptr;
}

SourceEntry *ModelSource(TableEntry *table, SourceEntry *except) {
  OSV1_Guard sources(&table->SourceListLock);
  for (SourceEntry *s = table->pSourceList; s != nullptr; s = s->pNext) {
    if (s == except) continue;
    OSV1_Guard attrs(&s->AttrLock);
    if (s->pAttrList != nullptr) return s;
  }
  return nullptr;
}

// True when the batch settings keep the internal source of this table offline.
bool Bypassed(TableEntry *table) {
  SMBlock *smb = table->pSMB;
  if (BatchModeProcess && smb != nullptr && !smb->Batch) {
    QDVP_TRC(trk, TRK1_DETAIL,
             "Monitor file attribute group <%s> bypassed due to Batch Processing in effect",
             table->TableName);
    return true;
  }
  if (BypassBatchGroup && smb != nullptr && smb->Batch) {
    QDVP_TRC(trk, TRK1_DETAIL,
             "dp_online for attribute group <%s> bypassed due to Bypass Batch Processing requested",
             table->TableName);
    return true;
  }
  return false;
}

// Links the new source's attributes in the display order of the model source, by name. (The
// application-wide order builder takes the application's table-list lock, which must not be
// taken under a routing block's lock: releasing an application takes them the other way.)
void CopyDisplayOrder(SourceEntry *model, SourceEntry *s) {
  OSV1_Guard modelLock(&model->AttrLock);
  OSV1_Guard lock(&s->AttrLock);
  AttrEntry **link = &s->pOrderList;
  for (AttrEntry *m = model->pOrderList; m != nullptr; m = m->pOrderNext) {
    for (AttrEntry *a = s->pAttrList; a != nullptr; a = a->pNext) {
      if (strcmp(a->Name, m->Name) != 0) continue;
      *link = a;
      link = &a->pOrderNext;
      break;
    }
  }
  *link = nullptr;
}

// Creates the internal source of table for producer; brings it online unless bypassed.
SourceEntry *CreateInternalSource(DPAB *anchor, TableEntry *table, SourceEntry *producer) {
  ProcessEntry *pe = QDVP_InitializeProcessEntry(anchor);
  if (pe == nullptr) return nullptr;
  SourceEntry *s = QDVP_InitializeSourceEntry(anchor, table, "BASE", "BASE", nullptr, nullptr);
  if (s == nullptr) {
    QDVP_FreeProcessEntry(pe);
    return nullptr;
  }
  {
    OSV1_Guard lock(&table->TableLock);
    table->SourceCount++;
  }
  SourceEntry *model = ModelSource(table, s);
  if (model != nullptr) {
    QDVP_CheckCopySourceAttributes(table, model);
    bool empty;
    {
      OSV1_Guard attrs(&s->AttrLock);
      empty = s->pAttrList == nullptr;
    }
    if (empty) QDVP_DuplicateSourceAttrs(model, s);
    OSV1_Guard modelAttrs(&model->AttrLock);
    OSV1_Guard attrs(&s->AttrLock);
    if (s->pDelimiter == nullptr && model->pDelimiter != nullptr)
      s->pDelimiter = QDV0_StrDup(model->pDelimiter);
  }
  QDVP_CompleteSummaryTableDefinition(table, 0);
  if (model != nullptr) CopyDisplayOrder(model, s);
  std::string node = QDVP_SourceNodeName(producer);
  {
    OSV1_Guard attrs(&s->AttrLock);
    QDV0_Free(s->pSourceNodeName);
    s->pSourceNodeName = QDV0_StrDup(node.c_str());
  }
  s->pProducer = producer;
  s->pPE = pe;
  QDVP_UpdateSourceEntryState(s, QDVP_Ready);
  return s;
}

}  // namespace

void QDVP_ResetRoutingSettings(void) { SettingsRead = 0; }

// Reads the batch settings of routing (called when the first routing block is created).
void QDVP_ReadRoutingSettings(void) {
  if (SettingsRead) return;
  SettingsRead = 1;
  const char *bypass = QDV0_GetEnv("QDVP_BYPASS_BATCH_GROUP", "Y");
  BypassBatchGroup = !(bypass != nullptr && (bypass[0] == 'N' || bypass[0] == 'n'));
  BatchModeProcess = QDV0_IsFlagSet(QDV0_GetEnv("QDVP_BATCH_MODE_PROCESS", "N")) ? 1 : 0;
  if (BatchModeProcess) BypassBatchGroup = 0;
}

void QDVP_ReleaseSourceRecordData(SourceEntry *s) {
  if (s == nullptr) return;
  QDVP_ReleaseKeyCopyList(s);
  if (s->pProducer != nullptr && s->pPE != nullptr) {
    QDVP_FreeProcessEntry(s->pPE);
    s->pPE = nullptr;
  }
}

void QDVP_DispatchInternalOutput(DPAB *anchor, SourceEntry *producer, IRBlock *block,
                                 const char *record, int length) {
  if (block == nullptr || producer == nullptr || record == nullptr || length < 0) return;
  QDVP_ReadRoutingSettings();
  OSV1_Guard lock(&block->Lock);
  if (length >= block->DataLength || block->pBuffer == nullptr) {
    QDV0_Free(block->pBuffer);
    block->pBuffer = static_cast<char *>(QDV0_GetStorage(static_cast<size_t>(length) + 1));
  }
  block->DataLength = length;
  block->RouteCount = block->InputCount;
  if (block->pBuffer != nullptr && block->RouteCount > 0) {
    for (TableEntry *t = block->pInputList; t != nullptr; t = t->pNextInput) {
      SourceEntry *s = FindInternalSource(t, producer);
      if (s == nullptr) {
        s = CreateInternalSource(anchor, t, producer);
        if (s == nullptr) continue;
        if (!Bypassed(t)) {
          DCHresult online = QDVP_Request(anchor, s, QDVP_VERB_ONLINE, s->pPE);
          if (!online.Delivered()) {
            QDVP_TRC(trk, TRK1_ERROR, "*** dp_online failed for Table <%s> [%s %d]", t->TableName,
                     QDVP_OutcomeName(online.outcome), online.status);
            continue;
          }
        }
      }
      // A source still Ready never came online (bypassed, or its online failed): its table
      // receives no records. Once online it stays so, whatever became of its rows.
      if (s->State != QDVP_Ready && length > 0) {
        // Each table parses its own copy: parsing writes into the text.
        memcpy(block->pBuffer, record, static_cast<size_t>(length));
        block->pBuffer[length] = '\0';
        QDVP_TRC(trk, TRK1_DETAIL, "IRB Name <%s> Moving data <%s> to DCH", block->pName,
                 block->pBuffer);
        QDVP_MoveDataToDCH(anchor, s, block->pBuffer, length);
      }
      block->RouteCount--;
    }
  }
  if (block->RouteCount > 0) {
    QDVP_TRC(trk, TRK1_ERROR, "*****WARNING: IRB route count forced to zero");
  }
  block->RouteCount = 0;
}

void QDVP_CheckRedirectSourceOffline(DPAB *anchor, SourceEntry *source, IRBlock *block) {
  if (source == nullptr || block == nullptr || block->pOutputTable != source->pTable) return;
  QDVP_TRC(trk, TRK1_DETAIL, "Do redirect output table receivers offline");
  OSV1_Guard lock(&block->Lock);
  for (TableEntry *t = block->pInputList; t != nullptr; t = t->pNextInput) {
    OSV1_GetLock(&t->SourceListLock);
    SourceEntry *list = t->pSourceList;
    OSV1_ReleaseLock(&t->SourceListLock);
    for (SourceEntry *s = list; s != nullptr; s = s->pNext) {
      if (s->pProducer != source) continue;
      bool collected = false;
      if (s->pSMB != nullptr) {
        OSV1_Guard block(&s->pSMB->Lock);
        collected = s->pSMB->SlotsUsed > 0;
      }
      if (collected && !s->EndBatchSummary) {
        s->EndBatchSummary = 1;
        QDVP_TRC(trk, TRK1_DETAIL, ">>>>>Enqueue End Summary request for Table <%s>", t->TableName);
        DCHresult end = QDVP_Request(anchor, s, QDVP_VERB_DATA, s->pPE);
        if (!end.Delivered()) {
          QDVP_TRC(trk, TRK1_ERROR, "*** End Summary of Table <%s> not taken [%s %d]", t->TableName,
                   QDVP_OutcomeName(end.outcome), end.status);
        }
      }
      DCHresult off = QDVP_Request(anchor, s, QDVP_VERB_OFFLINE, s->pPE);
      if (!off.Delivered()) {
        QDVP_TRC(trk, TRK1_ERROR, "*****Error: dp_offline failed for Table <%s> [%s %d]",
                 t->TableName, QDVP_OutcomeName(off.outcome), off.status);
      }
    }
  }
}
