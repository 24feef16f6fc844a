// Parsing one record into a source's attributes: the choice of layout (whole record, fixed
// widths, begin/end delimiter pairs, a single delimiter with per-attribute overrides and the
// Last type), the special and derived attributes met on the way, and the per-key rate history
// of KEY tables. Every search is bounded by the record's end, so a record without its closing
// delimiter, with embedded NULs or longer than any buffer is cut, never overrun.
#include <stdint.h>
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_records.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvpmd2a"};

namespace {

// The role of an attribute in parsing, worked out from its name and operands on first use and
// kept in its parsing working word pWork[1] (names and operands never change afterwards).
enum Role : uintptr_t { kUnknown = 0, kOrdinary = 1, kSpecial = 2, kSummaryStop = 3 };

Role RoleOf(AttrEntry *a) {
  auto role = static_cast<Role>(reinterpret_cast<uintptr_t>(a->pWork[1]));
  if (role != kUnknown) return role;
  if (strcmp(a->Name, "_Date_Time") == 0 || strcmp(a->Name, "_Interval_Unit_Name") == 0)
    role = kSummaryStop;
  else if (strcmp(a->Name, "_DataSourceName") == 0 || strcmp(a->Name, "_LocalTimeStamp") == 0 ||
           (a->pOperand1 != nullptr && a->pOperand2 != nullptr))
    role = kSpecial;
  else
    role = kOrdinary;
  a->pWork[1] = reinterpret_cast<void *>(role);
  return role;
}

bool IsSummaryStop(AttrEntry *a) { return RoleOf(a) == kSummaryStop; }
bool IsSpecialOrDerived(AttrEntry *a) { return RoleOf(a) == kSpecial; }

// Fills the special and derived attributes from a onwards and returns the next ordinary
// attribute, or null when parsing ends (no attribute left, or a summary attribute reached).
AttrEntry *SpecialStep(AttrEntry *a) {
  while (a != nullptr && IsSpecialOrDerived(a)) {
    DoSpecialDerivedAttribute(a);
    a = a->pNext;
  }
  if (a != nullptr && IsSummaryStop(a)) return nullptr;
  return a;
}

char *Find(char *from, char *end, char c) {
  if (from >= end) return nullptr;
  return static_cast<char *>(memchr(from, c, static_cast<size_t>(end - from)));
}

// Finds a one-character delimiter from *pos; a blank delimiter treats a run of blanks as one
// (blanks at the position are skipped first, moving *pos).
char *FindDelimiter(char **pos, char *end, char c) {
  char *d = Find(*pos, end, c);
  if (c == ' ') {
    while (d != nullptr && d == *pos) {
      (*pos)++;
      d = Find(*pos, end, c);
    }
  }
  return d;
}

struct Cursor {
  char *field = nullptr;  // current field, or null when there are no more fields
  int length = 0;
  char *next = nullptr;  // remembered position after the field, or null
};

// Next field between a begin and an end character, from pos.
void PairField(Cursor *c, char *pos, char *end, const char *pair, const char *record) {
  c->field = nullptr;
  c->next = nullptr;
  char *begin = Find(pos, end, pair[0]);
  if (begin == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR,
             "*****Error: Attribute delimiter %s override not found in input data <%s>", pair,
             record);
    return;
  }
  char *start = begin + 1;
  if (start >= end) return;
  char *close = Find(start, end, pair[1]);
  c->field = start;
  if (close != nullptr) {
    *close = '\0';
    c->length = static_cast<int>(close - start);
    c->next = close + 1;
  } else {
    c->length = static_cast<int>(end - start);
  }
}

int LoadField(AttrEntry *a, const Cursor &c) {
  if (c.field == nullptr || c.length <= 0) return 0;
  LoadAttrBucket(a, c.field, c.length);
  return 1;
}

int ParseFixed(AttrEntry *a, char *record, char *end) {
  int loaded = 0;
  char *pos = record;
  a = SpecialStep(a);
  while (a != nullptr && pos < end) {
    bool integer = strchr("AGCS?%#", a->Type) != nullptr;
    long width = integer ? a->MaxValSize : a->MaxSize;
    if (width <= 0) width = a->MaxValSize;
    if (width > end - pos) width = end - pos;
    if (width > 0 && a->Type != 'K') {
      int copy = width < a->MaxValSize ? static_cast<int>(width) : a->MaxValSize;
      memcpy(a->Value, pos, static_cast<size_t>(copy));
      a->Value[copy] = '\0';
      a->ActualValSize = copy;
      loaded++;
    }
    pos += width;
    a = SpecialStep(a->pNext);
  }
  return loaded;
}

int ParsePairs(SourceEntry *s, AttrEntry *a, char *record, char *end) QDVP_REQUIRES(s->AttrLock) {
  int loaded = 0;
  char *pos = record;
  a = SpecialStep(a);
  while (a != nullptr && pos != nullptr) {
    const char *pair = (a->pDelimiter && a->pDelimiter[0] && a->pDelimiter[1] && !a->pDelimiter[2])
                           ? a->pDelimiter
                           : s->pDelimiter;
    char *begin = Find(pos, end, pair[0]);
    if (begin == nullptr || begin + 1 >= end) break;
    Cursor c;
    c.field = begin + 1;
    char *close = Find(c.field, end, pair[1]);
    if (close != nullptr) {
      *close = '\0';
      c.length = static_cast<int>(close - c.field);
      pos = close + 1;
    } else {
      c.length = static_cast<int>(end - c.field);
      pos = nullptr;
    }
    loaded += LoadField(a, c);
    a = SpecialStep(a->pNext);
  }
  return loaded;
}

// A record without the delimiter gives a row of more than one field nothing: it is ignored.
// Attributes that take a field count (derived, special and summary attributes take none).
bool WithoutItsFields(AttrEntry *a, const char *delimiterFound) {
  if (delimiterFound != nullptr) return false;
  int attrCount = 0;
  for (AttrEntry *x = a; x != nullptr && !IsSummaryStop(x); x = x->pNext)
    attrCount += IsSpecialOrDerived(x) ? 0 : 1;
  return attrCount > 1;
}

int ParseDelimited(SourceEntry *s, AttrEntry *a, char *record, char *end)
    QDVP_REQUIRES(s->AttrLock) {
  const char delimiter = s->pDelimiter[0];
  char *pos = record;
  char *d = FindDelimiter(&pos, end, delimiter);
  if (WithoutItsFields(a, d)) {
    QDVP_TRC(trk, TRK1_DETAIL,
             "Input ignored. Source Type <%c> No delimiter <%s> found in buffer <%s>. "
             "ActualDataSize: %d",
             s->Kind, s->pDelimiter, record, static_cast<int>(end - record));
    return 0;
  }
  Cursor c;
  c.field = pos;
  c.length = static_cast<int>((d ? d : end) - pos);
  if (d != nullptr) {
    *d = '\0';
    c.next = d + 1;
  }
  bool last = false;
  int loaded = 0;
  a = SpecialStep(a);
  if (a != nullptr && a->Type == 'Z') {
    // A Last attribute first takes the whole record.
    c.length = static_cast<int>(end - pos);
    if (d != nullptr) *d = delimiter;
    c.next = nullptr;
  }
  while (a != nullptr && c.field != nullptr) {
    loaded += LoadField(a, c);
    a = SpecialStep(a->pNext);
    if (a == nullptr) break;
    if (a->Type == 'Z') last = true;
    const char *dl = a->pDelimiter ? a->pDelimiter : s->pDelimiter;
    if (c.next == nullptr || c.next >= end) {
      c.field = nullptr;
      break;
    }
    if (dl[0] != '\0' && dl[1] != '\0') {
      PairField(&c, c.next, end, dl, record);
      continue;
    }
    pos = c.next;
    char *nd = FindDelimiter(&pos, end, dl[0]);
    c.field = pos;
    if (last || nd == nullptr) {
      c.length = static_cast<int>(end - pos);
      c.next = nullptr;
    } else {
      *nd = '\0';
      c.length = static_cast<int>(nd - pos);
      c.next = nd + 1;
    }
  }
  return loaded;
}

bool KeysMatch(AttrEntry *list, AttrEntry *copy) {
  for (AttrEntry *a = list, *b = copy; a != nullptr && b != nullptr; a = a->pNext, b = b->pNext) {
    if (!a->AttrKey) continue;
    if (a->ActualValSize != b->ActualValSize ||
        memcmp(a->Value, b->Value, static_cast<size_t>(a->ActualValSize)) != 0)
      return false;
  }
  return true;
}

bool IsRate(const AttrEntry *a) { return a->Type == '?' || a->Type == '%' || a->Type == '#'; }

AttrEntry *NewKeyCopy(SourceEntry *s) QDVP_REQUIRES(s->AttrLock) {
  AttrEntry *copy = QDVP_CreateCopySourceAttrs(s);
  for (AttrEntry *a = copy; a != nullptr; a = a->pNext) {
    if (!IsRate(a)) continue;
    a->PrevSampleValue = -4294967296.0;
    a->PrevSampleTime = QDV0_Time();
  }
  return copy;
}

// Recomputes the rates of the current row against the history of its key combination.
void KeyRateHistory(SourceEntry *s) QDVP_REQUIRES(s->AttrLock) {
  AttrEntry *chosen = nullptr;
  AttrEntry **link = &s->pKeyCopyList;
  int keys = 0, matched = 0;
  for (AttrEntry *copy = s->pKeyCopyList; copy != nullptr;
       copy = static_cast<AttrEntry *>(copy->pWork[0])) {
    keys++;
    if (KeysMatch(s->pAttrList, copy)) {
      chosen = copy;
      matched = keys;
      break;
    }
    link = reinterpret_cast<AttrEntry **>(&copy->pWork[0]);
  }
  if (chosen == nullptr) {
    QDVP_TRC(trk, TRK1_DETAIL, "No matching key attribute list found, key %d matched %d", keys,
             matched);
    chosen = NewKeyCopy(s);
    if (chosen == nullptr) return;
    *link = chosen;
  }
  // Copy values of the key attributes so later rows compare against them.
  for (AttrEntry *a = s->pAttrList, *b = chosen; a && b; a = a->pNext, b = b->pNext) {
    if (a->AttrKey) {
      memcpy(b->Value, a->Value, static_cast<size_t>(a->MaxValSize));
      b->ActualValSize = a->ActualValSize;
    }
  }
  for (AttrEntry *a = s->pAttrList, *b = chosen; a && b; a = a->pNext, b = b->pNext) {
    if (!IsRate(a) || a->ActualValSize == 0) continue;
    double current = a->PrevSampleValue;
    time_t sampleTime = a->PrevSampleTime;
    a->PrevSampleValue = b->PrevSampleValue;
    a->PrevSampleTime = b->PrevSampleTime;
    b->PrevSampleValue = current;
    b->PrevSampleTime = a->Type == '?' ? sampleTime : b->PrevSampleTime;
    LoadRateAttribute(a, static_cast<long>(current));
    if (a->Type == '?') b->PrevSampleTime = a->PrevSampleTime;
  }
}

}  // namespace

void QDVP_ReleaseKeyCopyList(SourceEntry *s) {
  if (s == nullptr) return;
  OSV1_Guard lock(&s->AttrLock);
  while (s->pKeyCopyList != nullptr) {
    AttrEntry *copy = s->pKeyCopyList;
    s->pKeyCopyList = static_cast<AttrEntry *>(copy->pWork[0]);
    QDVP_ReleaseAttributeList(copy);
  }
}

bool QDVP_RecordIsIgnored(SourceEntry *s, const char *record, int length) {
  if (s == nullptr || record == nullptr || length < 0) return true;
  TableEntry *table = s->pTable;
  OSV1_Guard attrs(&s->AttrLock);
  // The branch QDVP_MoveDataToAttr takes for the record.
  AttrEntry *a = s->pAttrList;
  if (table != nullptr && table->pSMB != nullptr) {
    for (int i = 0; i < 3 && a != nullptr; i++) a = a->pNext;
  }
  if (a == nullptr) return true;
  if (a->Type == 'R' || s->pDelimiter == nullptr || s->pDelimiter[0] == '\0' ||
      strlen(s->pDelimiter) == 2) {
    return false;
  }
  char *text = const_cast<char *>(record);
  char *end = text + strnlen(record, static_cast<size_t>(length));
  return WithoutItsFields(a, FindDelimiter(&text, end, s->pDelimiter[0]));
}

namespace {

// A KEY table of rates (not SNMP's) keeps a rate history per key combination.
bool KeepsKeyRates(TableEntry *table) {
  if (table == nullptr) return false;
  OSV1_Guard counts(&table->TableLock);
  return table->Type == 'K' && table->RateFlag &&
         !(table->pAppl != nullptr && table->pAppl->SNMPappl);
}

// The parse itself, under the source's attribute and copy locks (see QDVP_MoveDataToAttr).
int MoveLocked(SourceEntry *s, char *record, int length, int *loadedSize, bool keyRates)
    QDVP_REQUIRES(s->AttrLock, s->CopyLock) {
  TableEntry *table = s->pTable;
  for (AttrEntry *a = s->pAttrList; a != nullptr; a = a->pNext) {
    a->ActualValSize = 0;
    memset(a->Value, 0, static_cast<size_t>(a->MaxValSize));
  }
  size_t size = strnlen(record, static_cast<size_t>(length));
  char *copy = nullptr;
  char *text = record;
  if (table != nullptr && table->pIRB != nullptr) {
    copy = static_cast<char *>(QDV0_GetStorage(size + 1));
    if (copy != nullptr) {
      memcpy(copy, record, size);
      text = copy;
    }
  }
  char *end = text + size;
  int loaded = 0;
  AttrEntry *a = s->pAttrList;
  if (a == nullptr) {
    QDVP_TRC(trk, TRK1_DETAIL, "No attributes defined, input data discarded <%s>", text);
  } else {
    if (table != nullptr && table->pSMB != nullptr) {
      for (int i = 0; i < 3 && a != nullptr; i++) a = a->pNext;
    }
    if (a == nullptr) {
    } else if (a->Type == 'R') {
      LoadAttrBucket(a, text, static_cast<int>(size));
      loaded = 1;
      SpecialStep(a->pNext);
    } else if (s->pDelimiter == nullptr || s->pDelimiter[0] == '\0') {
      loaded = ParseFixed(a, text, end);
    } else if (strlen(s->pDelimiter) == 2) {
      loaded = ParsePairs(s, a, text, end);
    } else {
      loaded = ParseDelimited(s, a, text, end);
    }
    if (keyRates) KeyRateHistory(s);
  }
  int total = 0;
  if (loadedSize != nullptr)
    for (AttrEntry *x = s->pAttrList; x != nullptr; x = x->pNext) total += x->ActualValSize;
  QDV0_Free(copy);
  if (loadedSize != nullptr) *loadedSize = total;
  return loaded;
}

}  // namespace

int QDVP_MoveDataToAttr(SourceEntry *s, char *record, int length, int *loadedSize) {
  if (loadedSize != nullptr) *loadedSize = 0;
  if (s == nullptr || record == nullptr || length < 0) return 0;
  bool keyRates = KeepsKeyRates(s->pTable);
  OSV1_Guard attrs(&s->AttrLock);
  OSV1_Guard copies(&s->CopyLock);
  return MoveLocked(s, record, length, loadedSize, keyRates);
}

int QDVP_MoveDataFromBufferToAttr(DPAB *anchor, IOEntry *ioe, IObuffer *buffer) {
  if (ioe == nullptr || buffer == nullptr) return 0;
  SourceEntry *s = ioe->pSource;
  if (buffer->State != QDVP_ValidData || s == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "*****Logic error: I/O buffer @%p in state %d, not ValidData",
             static_cast<void *>(buffer), buffer->State);
    buffer->State = QDVP_NotInUse;
    buffer->DataLength = 0;
    return 0;
  }
  int length = static_cast<int>(buffer->DataLength);
  int area = QDVP_IObufferDataSize(ioe);
  if (length > area - 1) length = area - 1;
  if (length < 0) length = 0;
  buffer->Data[length] = '\0';
  // The parse and the filters under one hold of the source's locks.
  bool tracing = (TRK1_GlobalFlags.load(std::memory_order_relaxed) & TRK1_DETAIL) != 0;
  int loadedSize = 0, loaded = 0, pass = 0;
  {
    bool keyRates = KeepsKeyRates(s->pTable);
    OSV1_Guard attrs(&s->AttrLock);
    {
      OSV1_Guard copies(&s->CopyLock);
      loaded = MoveLocked(s, buffer->Data, length, tracing ? &loadedSize : nullptr, keyRates);
    }
    pass = QDVP_CheckAttributesPassFilters(s);
  }
  if (pass && s->pTable != nullptr && s->pTable->pIRB != nullptr)
    QDVP_DispatchInternalOutput(anchor, s, s->pTable->pIRB, buffer->Data, length);
  if (tracing && s->pTable != nullptr) {
    int total = 0;
    {
      OSV1_Guard counts(&s->pTable->TableLock);
      total = s->pTable->AttrCount;
    }
    if (loaded < total)
      QDVP_TRC(trk, TRK1_DETAIL,
               "*** Not all attributes loaded. Total %d, loaded %d Count %d Actual Buffer Size %d",
               total, loaded, loadedSize, length);
  }
  buffer->State = QDVP_NotInUse;
  buffer->DataLength = 0;
  if (pass && s->pSMB != nullptr) QDVP_UpdateSummaryDataArray(s);
  return pass;
}
