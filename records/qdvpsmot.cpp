// Sending summary rows: when a summarized source's interval is over (or its end of batch
// summary is asked for), the DCH client task sorts the collected slots by key and sends one
// row per key with the occurrences, the clamped totals, the interval's time stamp and names;
// in batch mode it also sends empty rows for the intervals of the period that saw no data.
// The slot that opened the next interval is kept as its first row.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_dchcomm.h"
#include "../include/qdvp_records.h"
#include "qdvpsmry.h"

static TRK1_BLOCK trk = {"qdvpsmot"};

using namespace qdvp_summary;

namespace {

// Sends one summary row on the agent link connection the DCH client handed in, under the
// attribute lock the summary output already holds; a summary made without one (a batch run)
// writes the row to the application's batch output file.
void EmitSummaryRow(SourceEntry *s, void *parm) QDVP_REQUIRES(s->AttrLock) {
  if (parm != nullptr) {
    QDVP_SendDataRowLocked(s, static_cast<DCHcomm *>(parm));
  } else {
    QDVP_OutputBatchDataRecord(s);
  }
}

// One summary sort at a time (qsort's comparison is shared); a leaf.
OSV1_LOCK SortSerializationLock QDVP_ACQUIRED_AFTER(DPAB::StateMutex) = OSV1_LOCK_INITIALIZER;

AttrEntry *Named(SourceEntry *s, const char *name) QDVP_REQUIRES(s->AttrLock) {
  for (AttrEntry *a = s->pAttrList; a != nullptr; a = a->pNext)
    if (strcmp(a->Name, name) == 0) return a;
  return nullptr;
}

void SetText(AttrEntry *a, const char *text) {
  if (a == nullptr) return;
  int n = static_cast<int>(strlen(text));
  if (n > a->MaxValSize) n = a->MaxValSize;
  memcpy(a->Value, text, static_cast<size_t>(n));
  a->Value[n] = '\0';
  a->ActualValSize = n;
}

void SetInteger(AttrEntry *a, long value) {
  if (a != nullptr) StoreInteger(a, value);
}

// Links the source's attributes in summary output order: keys, the three summary attributes,
// the time stamp, the interval names, other shown attributes, the summarized attributes.
void BuildSummaryOrder(SourceEntry *s) QDVP_REQUIRES(s->AttrLock) {
  std::vector<AttrEntry *> order;
  AttrEntry *keys[64];
  int n = KeyAttributes(s, keys, 64);
  order.assign(keys, keys + n);
  for (const char *name : {"_Interval_Unit", "_Interval", "_Occurrences"})
    if (AttrEntry *a = Named(s, name)) order.push_back(a);
  AttrEntry *stamp = StampAttribute(s);
  if (stamp != nullptr) order.push_back(stamp);
  for (const char *name : {"_Date_Time", "_Interval_Unit_Name"})
    if (AttrEntry *a = Named(s, name)) order.push_back(a);
  for (AttrEntry *a = s->pAttrList; a != nullptr; a = a->pNext)
    if (a->AttrSortKey == 0 && a->Name[0] != '_' && a != stamp && QDVP_AttrAccessible(s, a))
      order.push_back(a);
  for (AttrEntry *a = s->pAttrList; a != nullptr; a = a->pNext)
    if (a->AttrSortKey < 0) order.push_back(a);
  s->pOrderList = order.empty() ? nullptr : order[0];
  for (size_t i = 0; i < order.size(); i++)
    order[i]->pOrderNext = i + 1 < order.size() ? order[i + 1] : nullptr;
}

// Fills the time stamp, "_Date_Time" and "_Interval_Unit_Name" from stamp.
void LoadStamp(SourceEntry *s, SMBlock *b, const char *stamp) QDVP_REQUIRES(s->AttrLock) {
  AttrEntry *stampAttr = StampAttribute(s);
  if (stampAttr != nullptr) SetText(stampAttr, stamp);
  char text[32];
  QDV0_CorvidTimeToString(stamp, text);
  SetText(Named(s, "_Date_Time"), text);
  AttrEntry *name = Named(s, "_Interval_Unit_Name");
  if (name != nullptr) {
    QDVP_LoadIntervalNameToAttr(b, name, stampAttr);
    if (stampAttr == nullptr) SetText(name, "");
  }
}

int IntervalNumber(const SMBlock *b) {
  if (b->Interval == 86400) return Digits(b->BeginStamp + 5, 2);
  if (b->Interval == 3600) return Digits(b->BeginStamp + 7, 2);
  if (b->Interval == 60) return Digits(b->BeginStamp + 9, 2);
  return 1;
}

// Sends one row per run of equal keys among the first count slots.
void SendRuns(SourceEntry *s, SMBlock *b, int count, void *parm)
    QDVP_REQUIRES(s->AttrLock, b->Lock) {
  AttrEntry *keys[64];
  int keyCount = KeyAttributes(s, keys, 64);
  std::vector<AttrEntry *> summed;
  for (AttrEntry *a = s->pAttrList; a != nullptr; a = a->pNext)
    if (a->AttrSortKey < 0 && static_cast<int>(summed.size()) < b->TotalCount) summed.push_back(a);
  int width = b->SlotWidth;
  // One total per summarized attribute, however many the table has (a table may sum more
  // attributes than it sends: input-only ones do not count towards its limit).
  std::vector<double> totals(summed.size());
  for (int first = 0; first < count;) {
    const char *slot = b->pArray + static_cast<size_t>(first) * width;
    int last = first + 1;
    while (last < count &&
           memcmp(slot, b->pArray + static_cast<size_t>(last) * width, b->KeyDataWidth) == 0)
      last++;
    int offset = 0;
    for (int k = 0; k < keyCount; k++) {
      int n = keys[k]->MaxValSize;
      if (offset + n > b->KeyCount) n = b->KeyCount - offset > 0 ? b->KeyCount - offset : 0;
      memcpy(keys[k]->Value, slot + offset, static_cast<size_t>(n));
      keys[k]->Value[n] = '\0';
      keys[k]->ActualValSize = keys[k]->MaxValSize;
      offset += keys[k]->MaxValSize;
    }
    SetInteger(Named(s, "_Interval_Unit"), b->Interval);
    int number = IntervalNumber(b);
    if (number >= 0 && number <= 60) b->IntervalStatus[number] = 1;
    QDVP_TRC(trk, TRK1_DETAIL, "IntervalStatus %d set to %d", number, 1);
    SetInteger(Named(s, "_Interval"), number);
    for (double &total : totals) total = 0.0;
    for (int r = first; r < last; r++) {
      const char *values = b->pArray + static_cast<size_t>(r) * width + b->KeyDataWidth;
      for (size_t i = 0; i < summed.size(); i++) {
        int32_t v;
        memcpy(&v, values + 4 * i, 4);
        totals[i] += v;
      }
    }
    SetInteger(Named(s, "_Occurrences"), last - first);
    char stamp[17];
    memcpy(stamp, b->BeginStamp, 17);
    if (b->Interval <= 3600 && (b->CurrHour != b->BeginHour || s->EndBatchSummary))
      memcpy(stamp + 11, "00000", 5);
    if (b->Interval == 86400 && (b->CurrDay != b->BeginDay || s->EndBatchSummary))
      memcpy(stamp + 9, "0000000", 7);
    LoadStamp(s, b, stamp);
    for (size_t i = 0; i < summed.size(); i++) {
      double total = totals[i];
      long value;
      if (summed[i]->MaxValSize == 8) {
        // A 64-bit attribute keeps its total (up to what a signed 64-bit number holds).
        value = total >= 9.2233720368547758e18    ? INT64_MAX
                : total <= -9.2233720368547758e18 ? INT64_MIN
                                                  : static_cast<long>(total);
      } else if (total > 2147483647.0) {
        QDVP_TRC(trk, TRK1_DETAIL,
                 "Summary attribute %s total value overflow %f truncated to max %d",
                 summed[i]->Name, total, 2147483647);
        value = 2147483647L;
      } else if (total < -2147483648.0) {
        value = -2147483647L - 1;
      } else {
        value = static_cast<long>(total);
      }
      if (summed[i]->MaxValSize == 2 && value > 32767) {
        QDVP_TRC(trk, TRK1_DETAIL,
                 "Summary attribute %s output value overflow %ld truncated to max %d",
                 summed[i]->Name, value, 32767);
        value = 32767;
      }
      if (summed[i]->MaxValSize == 2 && value < -32768) value = -32768;
      SetInteger(summed[i], value);
    }
    EmitSummaryRow(s, parm);
    first = last;
  }
}

bool HasKeys(SourceEntry *s) QDVP_REQUIRES(s->AttrLock) {
  for (AttrEntry *a = s->pAttrList; a != nullptr; a = a->pNext)
    if (a->AttrSortKey > 0) return true;
  return false;
}

}  // namespace

void QDVP_LoadIntervalNameToAttr(SMBlock *b, AttrEntry *a, AttrEntry *stamp) {
  if (b == nullptr || a == nullptr) return;
  char text[32] = "";
  // Only a value area of 16 bytes or more holds the digits read below.
  const char *stampText =
      stamp != nullptr && stamp->MaxValSize >= 16 ? stamp->Value : "0000000000000000";
  if (b->Interval == 86400) {
    static const char *const kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                        "Thursday", "Friday", "Saturday"};
    int day = QDV0_CorvidTimeToWeekDay(stampText);
    snprintf(text, sizeof(text), "%s", day >= 0 && day <= 6 ? kDays[day] : " ");
  } else if (b->Interval == 3600) {
    int h = Digits(stampText + 7, 2);
    if (h < 12)
      snprintf(text, sizeof(text), "%d AM", h);
    else if (h == 12)
      snprintf(text, sizeof(text), "%d PM", h);
    else
      snprintf(text, sizeof(text), "%d PM", h - 12);
  } else if (b->Interval >= 60 && b->Interval < 3600) {
    snprintf(text, sizeof(text), "%d Minute(s)", b->Interval / 60);
  } else if (b->Interval >= 60) {
    snprintf(text, sizeof(text), "%*s", a->MaxValSize < 31 ? a->MaxValSize : 31, "");
  } else {
    snprintf(text, sizeof(text), "%d Seconds", b->Interval);
  }
  SetText(a, text);
}

void QDVP_GenerateMissingSummaryIntervalOutput(SourceEntry *s, SMBlock *b, void *parm) {
  if (s == nullptr || b == nullptr || !b->Batch) return;
  int count = b->IntervalStatusLimit;
  if (b->Interval == 86400) {
    int month = Digits(b->BeginStamp + 3, 2), year = Digits(b->BeginStamp, 3);
    if (month == 4 || month == 6 || month == 9 || month == 11)
      count = 30;
    else if (month == 2)
      count = (year - 88) % 4 == 0 ? 29 : 28;
    else
      count = 31;
  }
  if (count > 60) count = 60;
  for (int n = 1; n <= count; n++) {
    if (b->IntervalStatus[n] == 1) continue;
    QDVP_TRC(trk, TRK1_DETAIL, "Generate missing interval %d", n);
    SetInteger(Named(s, "_Interval_Unit"), b->Interval);
    SetInteger(Named(s, "_Interval"), n);
    SetInteger(Named(s, "_Occurrences"), 0);
    char stamp[40];
    memcpy(stamp, b->BeginStamp, 17);
    unsigned number = static_cast<unsigned>(n) % 100u;
    if (b->Interval < 3600)
      snprintf(stamp + 9, sizeof(stamp) - 9, "%02u00000", number);
    else if (b->Interval < 86400)
      snprintf(stamp + 7, sizeof(stamp) - 7, "%02u0000000", number);
    else
      snprintf(stamp + 5, sizeof(stamp) - 5, "%02u000000000", number);
    stamp[16] = '\0';
    LoadStamp(s, b, stamp);
    for (AttrEntry *a = s->pAttrList; a != nullptr; a = a->pNext)
      if (a->AttrSortKey < 0) SetInteger(a, 0);
    EmitSummaryRow(s, parm);
  }
  memset(b->IntervalStatus, 0, sizeof(b->IntervalStatus));
}

int QDVP_PerformDataSummaryOutput(SourceEntry *s, void *parm) {
  if (s == nullptr || s->pSMB == nullptr) return 0;
  if (!QDVP_CheckDataSummaryReady(s)) return 0;
  OSV1_Guard attrs(&s->AttrLock);
  SMBlock *b = s->pSMB;
  OSV1_Guard lock(&b->Lock);
  bool endBatch = s->EndBatchSummary != 0;
  int count = endBatch ? b->SlotsUsed : b->SlotsUsed - 1;
  if (endBatch) QDVP_TRC(trk, TRK1_DETAIL, "Perform EndBatchSummary processing");
  if (count > 1) {
    OSV1_Guard sort(&SortSerializationLock);
    QDVP_TRC(trk, TRK1_DETAIL, "sorting %d array records", count);
    qsort(b->pArray, static_cast<size_t>(count), static_cast<size_t>(b->SlotWidth),
          StandardCompare);
  }
  s->SummaryOutput = 1;
  s->pSMB = nullptr;
  AttrEntry *savedOrder = s->pOrderList;
  std::vector<AttrEntry *> savedNext;
  for (AttrEntry *a = s->pAttrList; a != nullptr; a = a->pNext) savedNext.push_back(a->pOrderNext);
  BuildSummaryOrder(s);
  QDVP_TRC(trk, TRK1_DETAIL, "Total Array reset %d", b->TotalCount);
  if (count > 0) SendRuns(s, b, count, parm);
  bool periodEnded = b->CurrMonth != b->BeginMonth || b->CurrYear != b->BeginYear ||
                     (b->Interval < 86400 && b->CurrDay != b->BeginDay) ||
                     (b->Interval < 3600 && b->CurrHour != b->BeginHour);
  if (b->Batch && !HasKeys(s) && (endBatch || periodEnded))
    QDVP_GenerateMissingSummaryIntervalOutput(s, b, parm);
  if (endBatch) {
    b->SlotsUsed = b->SlotsAllocated = 0;
    QDV0_Free(b->pArray);
    QDVP_TRC(trk, TRK1_DETAIL, "Batch summary processing ended");
    s->EndBatchSummary = 0;
  } else if (b->SlotsUsed > 0) {
    memmove(b->pArray, b->pArray + static_cast<size_t>(b->SlotsUsed - 1) * b->SlotWidth,
            static_cast<size_t>(b->SlotWidth));
    b->SlotsUsed = 1;
    BeginFromCurrent(b);
  }
  size_t i = 0;
  s->pOrderList = savedOrder;
  for (AttrEntry *a = s->pAttrList; a != nullptr; a = a->pNext) a->pOrderNext = savedNext[i++];
  s->pSMB = b;
  s->SummaryOutput = 0;
  return 1;
}
