// Summary tables: the summary management block of a table (its interval, fitted to a whole
// division of the hour or day, and batch mode), the completion of a summary table's
// definition with the attributes the summary rows carry, and which attributes a summary row
// shows. Collecting rows is qdvpsmry.cpp, sending them qdvpsmot.cpp.
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvpcsmb"};

// A summary interval fitted to a division of the hour (up to 3600 s) or of the day.
static int FitInterval(int interval) {
  if (interval <= 0) {
    const char *text = QDV0_GetEnv("QDVP_SUMMARY_INTERVAL", nullptr);
    interval = text ? atoi(text) : 300;
    if (interval < 1) interval = 300;
  }
  if (interval <= 0) interval = 300;
  int given = interval;
  if (interval > QDVP_MAX_SUMMARY_INTERVAL) {
    QDVP_TRC(trk, TRK1_ERROR,
             "*****Error: Summary interval lowered to maximum 86400 seconds from %d seconds",
             given);
    interval = QDVP_MAX_SUMMARY_INTERVAL;
  } else if (interval < 60) {
    QDVP_TRC(trk, TRK1_ERROR,
             "*****Error: Summary interval increased to minimum 60 seconds from %d seconds", given);
    interval = 60;
  }
  int fitted = interval;
  if (interval > 3600) {
    int h = interval / 3600;
    if (h == 2 || h == 3 || h == 4 || h == 6 || h == 8 || h == 12 || h == 24) {
      fitted = interval;
    } else if (h == 5) {
      fitted = 6 * 3600;
    } else if (h == 7) {
      fitted = 8 * 3600;
    } else if (h == 1 || (h >= 9 && h <= 11)) {
      fitted = 12 * 3600;
    } else {
      fitted = 24 * 3600;
    }
  } else {
    int m = interval / 60;
    static const int kKept[] = {1, 2, 3, 4, 5, 6, 10, 12, 15, 20, 30, 60};
    bool kept = false;
    for (int k : kKept) kept = kept || m == k;
    if (!kept) {
      if (m <= 9)
        fitted = 600;
      else if (m == 11)
        fitted = 720;
      else if (m <= 14)
        fitted = 900;
      else if (m <= 19)
        fitted = 1200;
      else
        fitted = 1800;
    }
  }
  if (fitted != interval)
    QDVP_TRC(trk, TRK1_ERROR, "*****Error: Summary interval adjusted to %d", fitted);
  return fitted;
}

SMBlock *QDVP_CreateSummaryManagementBlock(int interval, int batch) {
  auto *block = QDV0_New<SMBlock>();
  if (block == nullptr) return nullptr;
  block->Interval = FitInterval(interval);
  block->Batch = QDV0_IsFlagSet(QDV0_GetEnv("QDVP_SUMMARY_BATCH_MODE", "N")) ? 1 : (batch ? 1 : 0);
  block->IntervalStatusLimit = block->Interval == 60      ? 59
                               : block->Interval == 3600  ? 23
                               : block->Interval == 86400 ? 31
                                                          : 0;
  block->KeyCount = 16;
  block->SlotWidth = 17;
  block->KeyDataWidth = 17;
  block->AllocationUnit = 100;
  OSV1_InitializeLock(&block->Lock);
  QDVP_TRC(trk, TRK1_DETAIL,
           "Summary Management Block @%p initialized, SMB->SummaryInterval %d "
           "SMB->IntervalStatusLimit %d",
           static_cast<void *>(block), block->Interval, block->IntervalStatusLimit);
  return block;
}

void QDVP_ReleaseSummaryManagementBlock(SMBlock *block) {
  if (block == nullptr) return;
  {
    OSV1_Guard lock(&block->Lock);
    QDV0_Free(block->pArray);
    block->SlotsUsed = block->SlotsAllocated = 0;
  }
  OSV1_DestroyLock(&block->Lock);
  QDV0_Free(block);
}

static bool IsStampName(const char *name) {
  return strcmp(name, "_LocalTimeStamp") == 0 || strcmp(name, "LocalTimeStamp") == 0;
}

int QDVP_AttrAccessible(const SourceEntry *source, const AttrEntry *a) {
  if (a == nullptr || !a->Sent) return 0;
  const TableEntry *table = source ? source->pTable : nullptr;
  if (table == nullptr || table->pSMB == nullptr) return 1;
  if (a->AttrSortKey != 0 || a->Name[0] == '_' || IsStampName(a->Name)) return 1;
  if (a->pOperand1 != nullptr && a->pOperand2 != nullptr) {
    if (a->pOperand2->Name[0] == '_') return 1;
    if (!QDVP_IsDeriveFunction(a->pOperand1) &&
        static_cast<const AttrEntry *>(a->pOperand1)->Name[0] == '_')
      return 1;
  }
  return 0;
}

// Adds an attribute the summary rows carry to a source and counts it in the table.
static void AddSummaryAttribute(TableEntry *table, SourceEntry *source, const char *name,
                                const char *type, const char *size) {
  char typeToken[4];
  strcpy(typeToken, type);
  if (QDVP_InitializeAttrEntry(source, name, typeToken, size, 0, 0, nullptr, nullptr) == nullptr)
    return;
  OSV1_Guard lock(&table->TableLock);
  table->AttrCount++;
  table->AttrNoOperandCount++;
  table->AttrSentCount++;
}

int QDVP_CompleteSummaryTableDefinition(TableEntry *table, int addNames) {
  if (table == nullptr || table->pSMB == nullptr) return 0;
  int keyWidth = 0;
  if (SourceEntry *first = QDVP_FirstSourceOf(table)) {
    OSV1_Guard attrs(&first->AttrLock);
    for (AttrEntry *a = first->pAttrList; a != nullptr; a = a->pNext) {
      if (a->AttrSortKey > 0) keyWidth += a->MaxValSize;
    }
  }
  if (keyWidth == 0) {
    keyWidth = 16;
    QDVP_TRC(trk, TRK1_DETAIL, "Warning: No key attribute defined for Summary table");
    QDVP_DisplayValidationMessage(91, table->TableName);
  }
  // The attributes are added one source at a time, without the list locks that adding one
  // takes; each summary block is filled before it is published under the source-list lock.
  std::vector<SourceEntry *> sources;
  {
    OSV1_Guard list(&table->SourceListLock);
    for (SourceEntry *s = table->pSourceList; s != nullptr; s = s->pNext) {
      if (s->pSMB == nullptr) sources.push_back(s);
    }
  }
  for (SourceEntry *s : sources) {
    bool stamp = false;
    {
      OSV1_Guard attrs(&s->AttrLock);
      for (AttrEntry *a = s->pAttrList; a != nullptr; a = a->pNext)
        stamp = stamp || (a->Type == 'T' && QDVP_AttrAccessible(s, a));
    }
    if (!stamp) {
      QDVP_TRC(trk, TRK1_DETAIL, "LocalTimeStamp not found. Auto added to definition");
      AddSummaryAttribute(table, s, "_LocalTimeStamp", "T", "16");
    }
    SMBlock *smb = QDVP_CreateSummaryManagementBlock(table->pSMB->Interval, table->pSMB->Batch);
    if (smb != nullptr) {
      int summed = 0;
      {
        OSV1_Guard attrs(&s->AttrLock);
        for (AttrEntry *a = s->pAttrList; a != nullptr; a = a->pNext) summed += a->AttrSortKey < 0;
      }
      smb->KeyCount = keyWidth;
      smb->TotalCount = summed;
      smb->KeyDataWidth = keyWidth + 1;
      smb->SlotWidth = keyWidth + 1 + 4 * summed;
      smb->TotalsWidth = 4 * summed;
      smb->AllocationUnit = 4096 / smb->SlotWidth > 0 ? 4096 / smb->SlotWidth : 1;
      QDVP_TRC(trk, TRK1_DETAIL,
               "Summary table definition initialized. %d Key fields, Array width %d, Array size %d",
               keyWidth, smb->SlotWidth, 0);
      OSV1_Guard list(&table->SourceListLock);
      s->pSMB = smb;
    }
    if (addNames) {
      AddSummaryAttribute(table, s, "_Date_Time", "D", "24");
      AddSummaryAttribute(table, s, "_Interval_Unit_Name", "D", "24");
    }
  }
  return 1;
}
