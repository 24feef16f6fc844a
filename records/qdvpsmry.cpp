// Collecting summary rows: each row that passes its filters is added as one slot (its key
// data, then one 4-byte value per summarized attribute) to its source's summary array, which
// grows a page at a time; the row's time stamp decides when the interval is over. Readiness
// tells the caller whether to hand the source to the DCH client task, which then sends the
// summary rows (qdvpsmot.cpp).
#include "qdvpsmry.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_records.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvpsmry"};

namespace qdvp_summary {

int Digits(const char *text, int n) {
  int v = 0;
  for (int i = 0; i < n; i++) {
    char c = text[i];
    v = v * 10 + (c >= '0' && c <= '9' ? c - '0' : 0);
  }
  return v;
}

long IntegerValue(const AttrEntry *a) {
  auto *v = reinterpret_cast<const unsigned char *>(a->Value);
  if (a->ActualValSize == 2 || (a->ActualValSize == 0 && a->MaxValSize == 2))
    return static_cast<int16_t>((v[0] << 8) | v[1]);
  if (a->MaxValSize == 8) {
    uint64_t u = 0;
    for (int i = 0; i < 8; i++) u = (u << 8) | v[i];
    return static_cast<long>(u);
  }
  if (a->MaxValSize != 4) return 0;
  return static_cast<int32_t>((static_cast<uint32_t>(v[0]) << 24) |
                              (static_cast<uint32_t>(v[1]) << 16) |
                              (static_cast<uint32_t>(v[2]) << 8) | v[3]);
}

void StoreInteger(AttrEntry *a, long value) {
  auto *out = reinterpret_cast<unsigned char *>(a->Value);
  if (a->MaxValSize == 2) {
    uint16_t u = static_cast<uint16_t>(static_cast<int16_t>(value));
    out[0] = static_cast<unsigned char>(u >> 8);
    out[1] = static_cast<unsigned char>(u);
  } else if (a->MaxValSize == 8) {
    uint64_t u = static_cast<uint64_t>(value);
    for (int i = 0; i < 8; i++) out[i] = static_cast<unsigned char>(u >> (56 - 8 * i));
  } else if (a->MaxValSize >= 4) {
    uint32_t u = static_cast<uint32_t>(static_cast<int32_t>(value));
    for (int i = 0; i < 4; i++) out[i] = static_cast<unsigned char>(u >> (24 - 8 * i));
  }
  a->ActualValSize = a->MaxValSize;
}

bool IsStamp(const AttrEntry *a) {
  return strcmp(a->Name, "_LocalTimeStamp") == 0 || strcmp(a->Name, "LocalTimeStamp") == 0;
}

// An attribute named like the stamp is the stamp only when its value area holds a whole one:
// the interval name and the row's time are read from its 16 digits.
AttrEntry *StampAttribute(SourceEntry *s) {
  for (AttrEntry *a = s->pAttrList; a != nullptr; a = a->pNext)
    if (IsStamp(a) && a->MaxValSize >= 16) return a;
  for (AttrEntry *a = s->pAttrList; a != nullptr; a = a->pNext)
    if (a->Type == 'T' && QDVP_AttrAccessible(s, a)) return a;
  return nullptr;
}

// The key attributes in key order.
int KeyAttributes(SourceEntry *s, AttrEntry **keys, int max) {
  int n = 0;
  for (int position = 1; position <= 64 && n < max; position++) {
    for (AttrEntry *a = s->pAttrList; a != nullptr; a = a->pNext)
      if (a->AttrSortKey == position && n < max) keys[n++] = a;
  }
  return n;
}

int EndOfInterval(const SMBlock *b, int currTime, int hour) {
  if (b->Interval <= 3600) {
    int end = currTime + b->Interval, last = (hour + 1) * 3600 - 1;
    return end < last ? end : last;
  }
  if (b->Interval == 86400) return 86399;
  return currTime + b->Interval;
}

void DecodeCurrent(SMBlock *b, const char *stamp) {
  memcpy(b->CurrentStamp, stamp, 16);
  b->CurrentStamp[16] = '\0';
  b->CurrYear = Digits(stamp, 3);
  b->CurrMonth = Digits(stamp + 3, 2);
  b->CurrDay = Digits(stamp + 5, 2);
  b->CurrHour = Digits(stamp + 7, 2);
  b->CurrTime = b->CurrHour * 3600 + Digits(stamp + 9, 2) * 60 + Digits(stamp + 11, 2);
}

void BeginFromCurrent(SMBlock *b) {
  memcpy(b->BeginStamp, b->CurrentStamp, 17);
  b->BeginYear = b->CurrYear;
  b->BeginMonth = b->CurrMonth;
  b->BeginDay = b->CurrDay;
  b->BeginHour = b->CurrHour;
  b->IntervalEndTime = EndOfInterval(b, b->CurrTime, b->CurrHour);
}

}  // namespace qdvp_summary

using namespace qdvp_summary;

int StandardCompare(const void *a, const void *b) {
  return strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
}

int QDVP_UpdateSummaryDataArray(SourceEntry *s) {
  if (s == nullptr || s->pSMB == nullptr) return 0;
  OSV1_Guard attrs(&s->AttrLock);
  AttrEntry *keys[64];
  int keyCount = KeyAttributes(s, keys, 64);
  int valid = 0;
  for (int i = 0; i < keyCount; i++) valid += keys[i]->ActualValSize > 0;
  if (valid < keyCount) {
    QDVP_TRC(trk, TRK1_DETAIL,
             "KeyCount %d > ValidKeyValueCount %d, Record bypassed for summarization", keyCount,
             valid);
    return 0;
  }
  SMBlock *b = s->pSMB;
  OSV1_Guard lock(&b->Lock);
  AttrEntry *stampAttr = StampAttribute(s);
  char stamp[17];
  if (stampAttr != nullptr && stampAttr->ActualValSize >= 16) {
    memcpy(stamp, stampAttr->Value, 16);
    stamp[16] = '\0';
  } else {
    QDV0_GetCorvidTime(stamp);
  }
  DecodeCurrent(b, stamp);
  if (b->SlotsAllocated == 0 || b->SlotsUsed == 0) {
    BeginFromCurrent(b);
    QDVP_TRC(trk, TRK1_DETAIL,
             "Begin interval timestamp <%s> SummaryInterval %d IntervalEndTime %d", b->BeginStamp,
             b->Interval, b->IntervalEndTime);
  }
  int width = b->SlotWidth;
  if (b->SlotsUsed >= b->SlotsAllocated) {
    int count = b->SlotsAllocated + (b->AllocationUnit > 0 ? b->AllocationUnit : 1);
    if (4096 - (count * width) % 4096 >= width) count++;
    auto *array = static_cast<char *>(QDV0_GetStorage(static_cast<size_t>(count) * width));
    if (array == nullptr) {
      QDVP_TRC(trk, TRK1_ERROR,
               "*****Error: Unable to expand summary storage array. Summarization process stopped");
      QDVP_SendDPlogMessage(Main_DPAB, 77, s->pTable ? s->pTable->TableName : "");
      return 0;
    }
    QDVP_TRC(trk, TRK1_DETAIL, "Increasing summary array from %d to %d. Total storage %d",
             b->SlotsAllocated, count, count * width);
    if (b->pArray != nullptr) memcpy(array, b->pArray, static_cast<size_t>(b->SlotsUsed) * width);
    QDV0_Free(b->pArray);
    b->pArray = array;
    b->SlotsAllocated = count;
  }
  char *slot = b->pArray + static_cast<size_t>(b->SlotsUsed) * width;
  memset(slot, ' ', static_cast<size_t>(b->KeyCount));
  slot[b->KeyCount] = '\0';
  if (keyCount == 0) {
    memcpy(slot, "9999999999999999", b->KeyCount < 16 ? b->KeyCount : 16);
  } else {
    int offset = 0;
    for (int i = 0; i < keyCount && offset < b->KeyCount; i++) {
      int n = keys[i]->ActualValSize;
      if (n > keys[i]->MaxValSize) n = keys[i]->MaxValSize;
      if (n > b->KeyCount - offset) n = b->KeyCount - offset;
      memcpy(slot + offset, keys[i]->Value, static_cast<size_t>(n));
      offset += keys[i]->MaxValSize;
    }
  }
  char *values = slot + b->KeyDataWidth;
  int i = 0;
  for (AttrEntry *a = s->pAttrList; a != nullptr && i < b->TotalCount; a = a->pNext) {
    if (a->AttrSortKey >= 0) continue;
    int32_t v =
        (a->MaxValSize == 2 || a->MaxValSize == 4) ? static_cast<int32_t>(IntegerValue(a)) : 0;
    memcpy(values + 4 * i, &v, 4);
    i++;
  }
  b->SlotsUsed++;
  b->LastUpdateTime = QDV0_Time();
  return 1;
}

int QDVP_CheckDataSummaryReady(SourceEntry *s) {
  if (s == nullptr || s->pSMB == nullptr) return 1;
  SMBlock *b = s->pSMB;
  OSV1_Guard lock(&b->Lock);
  if (b->SlotsUsed == 0 && !s->EndBatchSummary) return 0;
  bool sameDay =
      b->CurrYear == b->BeginYear && b->CurrMonth == b->BeginMonth && b->CurrDay == b->BeginDay;
  if (sameDay && b->CurrTime <= b->IntervalEndTime && !s->EndBatchSummary) {
    QDVP_TRC(trk, TRK1_DETAIL,
             "Summary Data NOT Ready, CurrTime: %d IntervalEndTime: %d EndBatchSummary: %d",
             b->CurrTime, b->IntervalEndTime, s->EndBatchSummary);
    return 0;
  }
  QDVP_TRC(trk, TRK1_DETAIL,
           "Summary Data Ready, CurrTime: %d IntervalEndTime: %d EndBatchSummary: %d", b->CurrTime,
           b->IntervalEndTime, s->EndBatchSummary);
  return 1;
}
