// Attribute filters: decides whether the current row of a source passes the +FILTER and
// -FILTER conditions of its attributes (numeric comparisons, Match and Scan), combined per
// attribute with OR or AND. The first and last rows of a record set pass untested.
#include <stdint.h>
#include <string.h>

#include "../core/support/trk1.h"
#include "../include/qdvp_records.h"

static TRK1_BLOCK trk = {"qdvpfltr"};

namespace {

long NumericValue(const AttrEntry *a) {
  auto *v = reinterpret_cast<const unsigned char *>(a->Value);
  if (a->MaxValSize == 2) return static_cast<int16_t>((v[0] << 8) | v[1]);
  if (a->MaxValSize < 4) return 0;
  if (a->MaxValSize == 8) {
    uint64_t u = 0;
    for (int i = 0; i < 8; i++) u = (u << 8) | v[i];
    return static_cast<long>(u);
  }
  uint32_t u = (static_cast<uint32_t>(v[0]) << 24) | (static_cast<uint32_t>(v[1]) << 16) |
               (static_cast<uint32_t>(v[2]) << 8) | v[3];
  return static_cast<int32_t>(u);
}

// True when filter i of the attribute is satisfied by the current value.
bool Satisfied(const AttrEntry *a, int i) {
  char type = a->FilterType[i];
  long number = a->FilterValue[i];
  int n = i + 1;
  if (strchr("<>GLN", type) != nullptr && type != '\0') {
    long value = NumericValue(a);
    bool ok = false;
    const char *name = "";
    switch (type) {
      case '<':
        ok = value < number;
        name = "LT";
        break;
      case '>':
        ok = value > number;
        name = "GT";
        break;
      case 'G':
        ok = value >= number;
        name = "GE";
        break;
      case 'L':
        ok = value <= number;
        name = "LE";
        break;
      default:
        ok = value == number;
        name = "EQ";
        break;
    }
    QDVP_TRC(trk, TRK1_DETAIL, "Value %ld %s %s filter %d", value, ok ? "passed" : "failed", name,
             n);
    return ok;
  }
  if (type == 'M' || type == 'S') {
    const char *compare = a->pFilterString[i] ? a->pFilterString[i] : "";
    int offset = a->FilterOffset[i] < 0 ? 0 : a->FilterOffset[i];
    int size = a->ActualValSize;
    bool ok = false;
    if (offset <= size) {
      const char *from = a->Value + offset;
      size_t rest = static_cast<size_t>(size - offset);
      size_t len = strlen(compare);
      if (type == 'M') {
        ok = len <= rest && memcmp(from, compare, len) == 0;
      } else {
        ok = len == 0 || (len <= rest && memmem(from, rest, compare, len) != nullptr);
      }
    }
    QDVP_TRC(trk, TRK1_DETAIL, "Data <%s> %s %s filter %d: %s", a->Value, ok ? "passed" : "failed",
             type == 'M' ? "Match" : "Scan", n, compare);
    return ok;
  }
  QDVP_TRC(trk, TRK1_ERROR, "*****Invalid filter %d type %c", n, type);
  return false;
}

}  // namespace

int QDVP_CheckAttributesPassFilters(SourceEntry *s) {
  if (s == nullptr) return 0;
  int sequence = s->DataSequence;
  if (sequence == 1 || sequence == 16 || sequence == 221 || sequence == 255) {
    QDVP_TRC(trk, TRK1_DETAIL, "Data passed, SEptr->DataSequence: %d", sequence);
    return 1;
  }
  for (const AttrEntry *a = s->pAttrList; a != nullptr; a = a->pNext) {
    int count = a->FilterCount;
    if (count <= 0) continue;
    if (count > QDVP_MAX_FILTERS) count = QDVP_MAX_FILTERS;
    int satisfied = 0;
    for (int i = 0; i < count; i++) satisfied += Satisfied(a, i) ? 1 : 0;
    bool fail = false;
    if (a->FilterAccept) {
      fail = a->FilterLogic == '&' ? satisfied < count : satisfied == 0;
    } else {
      // An exclude filter with AND logic applies both rules, and so rejects every row.
      if (a->FilterLogic == '&' && satisfied < count) fail = true;
      if (satisfied > 0) fail = true;
    }
    if (fail) {
      QDVP_TRC(trk, TRK1_DETAIL, "Attribute <%s> failed its filters, row dropped", a->Name);
      return 0;
    }
  }
  return 1;
}
