// Attribute lists of a source: duplicate names (removed or renamed), the display order list
// that the agent link walks, copies of one source's list for the other sources of a table,
// and the release of a single attribute.
//
// A copied attribute shares its help, enumeration, OID and filter texts with the attribute it
// was copied from; it is marked Shared so that those texts are freed once, with the model.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvpcatl"};

// Frees what an attribute owns, then the attribute.
static void FreeAttribute(AttrEntry *attr) {
  if (!attr->Shared) {
    QDV0_Free(attr->pEnum);
    QDV0_Free(attr->pOID);
    QDV0_Free(attr->pEncodedOID);
    QDV0_Free(attr->pDelimiter);
    for (char *&text : attr->pFilterString) QDV0_Free(text);
  }
  QDV0_Free(attr);
}

// Renames or removes the later attributes of one source that repeat an earlier name.
static void CheckSourceDuplicates(SourceEntry *source) {
  OSV1_Guard attrs(&source->AttrLock);
  for (AttrEntry *a = source->pAttrList; a != nullptr; a = a->pNext) {
    int counter = 1;
    AttrEntry **link = &a->pNext;
    while (*link != nullptr) {
      AttrEntry *b = *link;
      if (strcmp(a->Name, b->Name) != 0) {
        link = &b->pNext;
        continue;
      }
      if (a->Type == b->Type) {
        QDVP_DisplayValidationMessage(15, b->Name);
        *link = b->pNext;
        FreeAttribute(b);
        continue;
      }
      counter++;
      char digits[16];
      int n = snprintf(digits, sizeof(digits), "%d", counter);
      size_t length = strlen(b->Name);
      if (length + static_cast<size_t>(n) > QDVP_ATTR_NAME_MAX) {
        length = QDVP_ATTR_NAME_MAX - static_cast<size_t>(n);
      }
      memcpy(b->Name + length, digits, static_cast<size_t>(n) + 1);
      QDVP_DisplayValidationMessage(16, b->Name);
      link = &b->pNext;
    }
  }
}

void QDVP_CheckDuplicateAttributes(ApplEntry *application) {
  if (application == nullptr) return;
  OSV1_Guard tables(&application->TableListLock);
  for (TableEntry *table = application->pTableList; table != nullptr; table = table->pNext) {
    OSV1_Guard sources(&table->SourceListLock);
    for (SourceEntry *s = table->pSourceList; s != nullptr; s = s->pNext) CheckSourceDuplicates(s);
  }
}

void AddAttributeToList(SourceEntry *source, AttrEntry *attribute) {
  attribute->pOrderNext = nullptr;
  AttrEntry **link = &source->pOrderList;
  while (*link != nullptr) link = &(*link)->pOrderNext;
  *link = attribute;
}

// Display order: the leading run of '_' names, then SEQ=1.., then the plain sent attributes,
// then the remaining '_' names, each group in list order. Every attribute is placed at most
// once, or the order list would run into itself: a '_' name keeps its own place whatever its
// SEQ=, and a SEQ= that no position of the table takes (outside 1 to the attribute total, or
// already taken by an earlier attribute) leaves the attribute among the plain ones, with a
// warning written once per table, for its first source.
static void BuildOrder(TableEntry *table, SourceEntry *source)
    QDVP_REQUIRES(table->SourceListLock) {
  int attrCount;
  {
    OSV1_Guard counts(&table->TableLock);
    attrCount = table->AttrCount;
  }
  OSV1_Guard attrs(&source->AttrLock);
  if (source->pOrderList != nullptr) return;
  AttrEntry *a = source->pAttrList;
  while (a != nullptr && a->Name[0] == '_') {
    AttrEntry *next = a->pNext;
    AddAttributeToList(source, a);
    a = next;
  }
  AttrEntry *afterLeading = a;
  std::vector<const AttrEntry *> sequenced;
  for (int n = 1; n <= attrCount; n++) {
    for (AttrEntry *x = source->pAttrList; x != nullptr; x = x->pNext) {
      if (x->Name[0] != '_' && x->OrderSeq == n) {
        AddAttributeToList(source, x);
        sequenced.push_back(x);
        break;
      }
    }
  }
  auto isSequenced = [&sequenced](const AttrEntry *x) {
    return std::find(sequenced.begin(), sequenced.end(), x) != sequenced.end();
  };
  for (AttrEntry *x = source->pAttrList; x != nullptr; x = x->pNext) {
    if (x->Name[0] == '_' || x->OrderSeq == 0 || isSequenced(x)) continue;
    QDVP_TRC(trk, TRK1_ERROR, "Attribute <%s> order sequence %d not in 1 to %d or taken, ignored",
             x->Name, x->OrderSeq, attrCount);
    if (source == table->pSourceList) {
      printf(
          "Specification Warning: Attribute display sequence SEQ=%d invalid or duplicate, "
          "ignored. %s\n",
          x->OrderSeq, x->Name);
      fflush(stdout);
    }
  }
  for (AttrEntry *x = source->pAttrList; x != nullptr; x = x->pNext) {
    if (x->Name[0] != '_' && !isSequenced(x) && x->Type != 'K' && x->Sent) {
      AddAttributeToList(source, x);
    }
  }
  for (AttrEntry *x = afterLeading; x != nullptr; x = x->pNext) {
    if (x->Name[0] == '_') AddAttributeToList(source, x);
  }
  QDVP_TRC(trk, TRK1_DETAIL, "Table %s attribute order sequence is:", table->TableName);
  for (AttrEntry *x = source->pOrderList; x != nullptr; x = x->pOrderNext) {
    QDVP_TRC(trk, TRK1_DETAIL, "----- %s", x->Name);
  }
}

void QDVP_ConstructAttributeOrderLinkList(ApplEntry *application, TableEntry *table) {
  if (application == nullptr) return;
  OSV1_Guard tables(&application->TableListLock);
  for (TableEntry *t = application->pTableList; t != nullptr; t = t->pNext) {
    if (table != nullptr && t != table) continue;
    OSV1_Guard sources(&t->SourceListLock);
    for (SourceEntry *s = t->pSourceList; s != nullptr; s = s->pNext) BuildOrder(t, s);
  }
}

void QDVP_SyncFormulaAttrReference(AttrEntry *list) {
  for (AttrEntry *a = list; a != nullptr; a = a->pNext) {
    if (a->pOperand1 == nullptr || a->pOperand2 == nullptr) continue;
    auto find = [list](const char *name) -> AttrEntry * {
      for (AttrEntry *x = list; x != nullptr; x = x->pNext) {
        if (strcmp(x->Name, name) == 0) return x;
      }
      return nullptr;
    };
    if (!QDVP_IsDeriveFunction(a->pOperand1)) {
      AttrEntry *op1 = find(static_cast<AttrEntry *>(a->pOperand1)->Name);
      if (op1 != nullptr) a->pOperand1 = op1;
    }
    AttrEntry *op2 = find(a->pOperand2->Name);
    if (op2 != nullptr) a->pOperand2 = op2;
  }
}

AttrEntry *QDVP_CreateCopySourceAttrs(SourceEntry *modelSource) {
  if (modelSource == nullptr) return nullptr;
  AttrEntry *head = nullptr;
  AttrEntry **tail = &head;
  for (AttrEntry *a = modelSource->pAttrList; a != nullptr; a = a->pNext) {
    size_t size = QDVP_AttrEntrySize(a->MaxValSize);
    auto *copy = static_cast<AttrEntry *>(QDV0_GetStorage(size));
    if (copy == nullptr) {
      QDVP_TRC(trk, TRK1_ERROR, "*** cannot obtain storage for attribute entry");
      break;
    }
    memcpy(static_cast<void *>(copy), a, size);
    copy->pNext = nullptr;
    copy->pWork[0] = copy->pWork[1] = nullptr;
    copy->pOrderNext = nullptr;
    copy->Shared = 1;
    *tail = copy;
    tail = &copy->pNext;
  }
  QDVP_SyncFormulaAttrReference(head);
  return head;
}

int QDVP_DuplicateSourceAttrs(SourceEntry *modelSource, SourceEntry *source) {
  if (modelSource == nullptr || source == nullptr || modelSource == source) return 0;
  OSV1_Guard modelLock(&modelSource->AttrLock);
  OSV1_Guard lock(&source->AttrLock);
  OSV1_Guard modelCopy(&modelSource->CopyLock);
  OSV1_Guard copyLock(&source->CopyLock);
  AttrEntry *copy = QDVP_CreateCopySourceAttrs(modelSource);
  if (copy == nullptr && modelSource->pAttrList != nullptr) return 0;
  source->pAttrList = copy;
  int n = 0, m = 0;
  for (AttrEntry *a = copy; a != nullptr; a = a->pNext) n++;
  for (AttrEntry *a = modelSource->pAttrList; a != nullptr; a = a->pNext) m++;
  return n == m ? 1 : 0;
}

int QDVP_CheckCopySourceAttributes(TableEntry *table, SourceEntry *modelSource) {
  if (table == nullptr || modelSource == nullptr) return 0;
  {
    OSV1_Guard counts(&table->TableLock);
    if (table->SourceCount < 2) return 0;
  }
  OSV1_Guard sources(&table->SourceListLock);
  for (SourceEntry *s = table->pSourceList; s != nullptr; s = s->pNext) {
    if (s == modelSource) continue;
    {
      // The delimiter is read with the attributes, under the attribute locks.
      OSV1_Guard model(&modelSource->AttrLock);
      OSV1_Guard attrs(&s->AttrLock);
      if (s->pAttrList != nullptr) continue;
      QDV0_Free(s->pDelimiter);
      if (modelSource->pDelimiter != nullptr) s->pDelimiter = QDV0_StrDup(modelSource->pDelimiter);
    }
    int ok = QDVP_DuplicateSourceAttrs(modelSource, s);
    if (!ok) return -1;
  }
  return 0;
}

void QDVP_ReleaseAttributeEntry(SourceEntry *source, AttrEntry *attribute) {
  if (source == nullptr || attribute == nullptr) return;
  {
    OSV1_Guard attrs(&source->AttrLock);
    for (AttrEntry **link = &source->pAttrList; *link != nullptr; link = &(*link)->pNext) {
      if (*link == attribute) {
        *link = attribute->pNext;
        break;
      }
    }
  }
  FreeAttribute(attribute);
}

// Frees a whole attribute list (used when a source is released).
void QDVP_ReleaseAttributeList(AttrEntry *list) {
  while (list != nullptr) {
    AttrEntry *next = list->pNext;
    FreeAttribute(list);
    list = next;
  }
}
