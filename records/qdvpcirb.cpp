// Internal routing blocks: a named block joins one output table to the tables whose rows are
// routed into it (//INTERNAL). Finding or creating a block by name, unlinking a table when
// its application goes, and releasing every block at shutdown. Delivering rows through a
// block is qdvpdirb.cpp.
#include <ctype.h>
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_records.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvpcirb"};

static void FreeBlock(IRBlock *block) {
  {
    OSV1_Guard lock(&block->Lock);
    QDV0_Free(block->pBuffer);
  }
  OSV1_DestroyLock(&block->Lock);
  QDV0_Free(block->pName);
  QDV0_Free(block);
}

IRBlock *QDVP_CreateInternalRoutingBlock(DPAB *anchor, const char *name) {
  if (anchor == nullptr || name == nullptr) return nullptr;
  QDVP_ReadRoutingSettings();
  QDV0_Scratch<char> upper(QDV0_ConvertStringToUpper(const_cast<char *>(name), 1));
  if (!upper) return nullptr;
  OSV1_Guard list(&anchor->IRBLock);
  IRBlock **link = &anchor->pIRBList;
  for (; *link != nullptr; link = &(*link)->pNext) {
    if ((*link)->pName != nullptr && strcmp((*link)->pName, upper.get()) == 0) return *link;
  }
  auto *block = QDV0_New<IRBlock>();
  if (block == nullptr) return nullptr;
  block->pName = upper.release();
  OSV1_InitializeLock(&block->Lock);
  *link = block;
  QDVP_TRC(trk, TRK1_DETAIL, "IRB <%s> created", block->pName);
  return block;
}

void QDVP_RemoveTableFromIRB(DPAB *anchor, TableEntry *table) {
  if (anchor == nullptr || table == nullptr) return;
  OSV1_Guard list(&anchor->IRBLock);
  for (IRBlock **link = &anchor->pIRBList; *link != nullptr;) {
    IRBlock *block = *link;
    bool removeBlock = false;
    {
      OSV1_Guard lock(&block->Lock);
      for (TableEntry **t = &block->pInputList; *t != nullptr; t = &(*t)->pNextInput) {
        if (*t == table) {
          *t = table->pNextInput;
          table->pNextInput = nullptr;
          block->InputCount--;
          QDVP_TRC(trk, TRK1_DETAIL, "Input table <%s> removed from IRB <%s>", table->TableName,
                   block->pName);
          break;
        }
      }
      if (block->pOutputTable == table) {
        while (block->pInputList != nullptr) {
          TableEntry *input = block->pInputList;
          block->pInputList = input->pNextInput;
          input->pNextInput = nullptr;
          QDVP_TRC(trk, TRK1_DETAIL, "Input table <%s> removed from deleting IRB <%s>",
                   input->TableName, block->pName);
        }
        table->pIRB = nullptr;
        QDVP_TRC(trk, TRK1_DETAIL, "Output table <%s> removed from deleting IRB <%s>",
                 table->TableName, block->pName);
        removeBlock = true;
      }
    }
    if (removeBlock) {
      *link = block->pNext;
      QDVP_TRC(trk, TRK1_DETAIL, "IRB <%s> removed from DPAB", block->pName);
      FreeBlock(block);
      continue;
    }
    link = &block->pNext;
  }
}

void QDVP_ReleaseRoutingBlocks(DPAB *anchor) {
  OSV1_Guard guard(&anchor->IRBLock);
  while (anchor->pIRBList != nullptr) {
    IRBlock *block = anchor->pIRBList;
    anchor->pIRBList = block->pNext;
    FreeBlock(block);
  }
}
