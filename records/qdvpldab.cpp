// Converting one field into an attribute value by the attribute's type: text with its size
// limits and numeric cleaning, time digits, integers with their maxima, and rates computed from
// the previous sample. Bad values never reject a record: they are corrected, and the data
// warnings (validation messages 9 and 11 to 14) are written when this component traces at
// detail level. Also the printable conversion of SNMP values and the POST conversion check.
#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_records.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvpldab"};

// A data warning goes to standard output only when this component traces at detail level.
static void DataWarning(int number, const char *insert) {
  if (TRK1_Sync(&trk) & TRK1_DETAIL) QDVP_DisplayValidationMessage(number, insert);
}

static bool IsRateType(char type) { return type == '?' || type == '%' || type == '#'; }

static void StoreBigEndian(AttrEntry *a, long value, int size) {
  auto *out = reinterpret_cast<unsigned char *>(a->Value);
  if (size == 2) {
    uint16_t v = static_cast<uint16_t>(static_cast<int16_t>(value));
    out[0] = static_cast<unsigned char>(v >> 8);
    out[1] = static_cast<unsigned char>(v);
  } else if (size == 8) {
    uint64_t v = static_cast<uint64_t>(value);
    for (int i = 0; i < 8; i++) out[i] = static_cast<unsigned char>(v >> (56 - 8 * i));
  } else {
    uint32_t v = static_cast<uint32_t>(static_cast<int32_t>(value));
    for (int i = 0; i < 4; i++) out[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
  }
}

// Cleans a Numeric-type field in place and returns its new length: the number starts at the
// first digit, sign (not followed by a sign) or dot (not followed by a dot); digits, inner
// group commas, the first dot and a leading sign are kept; the first other character ends it.
static int CleanNumericText(AttrEntry *a, char *field, int length) {
  int start = -1;
  for (int i = 0; i < length; i++) {
    char c = field[i], next = i + 1 < length ? field[i + 1] : '\0';
    if (isdigit(static_cast<unsigned char>(c)) ||
        ((c == '+' || c == '-') && next != '+' && next != '-') || (c == '.' && next != '.')) {
      start = i;
      break;
    }
  }
  if (start < 0) return length;
  int out = 0;
  bool dot = false;
  for (int i = start; i < length; i++) {
    char c = field[i];
    int position = i - start;
    bool keep = isdigit(static_cast<unsigned char>(c)) ||
                (c == ',' && position > 0 && position < length - 3) || (c == '.' && !dot) ||
                ((c == '+' || c == '-') && position == 0);
    if (!keep) break;
    if (c == '.') dot = true;
    field[out++] = c;
  }
  if (out < length) field[out] = '\0';
  QDVP_TRC(trk, TRK1_DETAIL, "Recalculated Attribute size: %d for AttrName <%s>", out, a->Name);
  return out;
}

static void LoadText(AttrEntry *a, char *field, int length) {
  if (a->Type == 'N') length = CleanNumericText(a, field, length);
  int size = length;
  if (a->Type == 'D' && a->MaxSize >= 0 && size > a->MaxSize) size = static_cast<int>(a->MaxSize);
  if (size > a->MaxValSize) size = a->MaxValSize;
  if (size < length)
    QDVP_TRC(trk, TRK1_DETAIL, "*** attribute data size truncated from %d to %d", length, size);
  const char *from = a->LeftTruncate ? field + (length - size) : field;
  memcpy(a->Value, from, static_cast<size_t>(size));
  a->Value[size] = '\0';
  a->ActualValSize = size;
}

static void LoadTime(AttrEntry *a, char *field, int length) {
  int skip = 0;
  while (skip < length && field[skip] == ' ') skip++;
  field += skip;
  length -= skip;
  memset(a->Value, '0', static_cast<size_t>(a->MaxValSize));
  a->Value[a->MaxValSize] = '\0';
  a->ActualValSize = a->MaxValSize;
  bool digits = length > 0;
  for (int i = 0; i < length && digits; i++) digits = isdigit(static_cast<unsigned char>(field[i]));
  if (digits) {
    memcpy(a->Value, field, static_cast<size_t>(length < a->MaxValSize ? length : a->MaxValSize));
  } else {
    char insert[64];
    snprintf(insert, sizeof(insert), "%.*s", length, field);
    DataWarning(14, insert);
  }
}

// Reads a decimal integer as strtol would (an optional sign, then digits, up to the first
// other byte), but only within the field's own bytes (the field need not end in a NUL), and
// saturated to the 16-, 32- or 64-bit range: a number beyond it is held at the nearest limit
// and then meets the attribute's maximum like any other large number.
static long ReadInteger(const char *text, int length, int bits) {
  long long lo = bits == 16   ? INT16_MIN
                 : bits == 32 ? INT32_MIN
                              : INT64_MIN,
            hi = bits == 16   ? INT16_MAX
                 : bits == 32 ? INT32_MAX
                              : INT64_MAX;
  int i = 0;
  bool negative = false;
  if (i < length && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  long long v = 0;
  for (; i < length && text[i] >= '0' && text[i] <= '9'; i++) {
    if (v <= (INT64_MAX - 9) / 10) {
      v = v * 10 + (text[i] - '0');
    } else {
      v = INT64_MAX;
    }
  }
  if (negative) v = -v;
  if (v < lo) v = lo;
  if (v > hi) v = hi;
  return static_cast<long>(v);
}

static void LoadInteger(AttrEntry *a, char *field, int length) {
  int skip = 0;
  while (skip < length && field[skip] == ' ') skip++;
  const char *text = field + skip;
  int textLength = length - skip;
  char c = skip < length ? text[0] : '\0';
  bool numeric = isdigit(static_cast<unsigned char>(c)) || (c == '-' && a->Type == 'G');
  if (!numeric && a->Name[0] != '_') {
    char insert[64];
    snprintf(insert, sizeof(insert), "%.*s", length - skip, text);
    DataWarning(12, insert);
    text = "0";
    textLength = 1;
  }
  a->ActualValSize = a->MaxValSize;
  bool longValue = a->MaxValSize == 8 && !IsRateType(a->Type);
  bool shortValue = a->MaxValSize != 4 && !longValue && !IsRateType(a->Type);
  long value = ReadInteger(text, textLength, longValue ? 64 : shortValue ? 16 : 32);
  long limit = longValue    ? a->MaxSize
               : shortValue ? static_cast<long>(static_cast<int16_t>(a->MaxSize))
                            : static_cast<long>(static_cast<int32_t>(a->MaxSize));
  if (limit < 0) limit = -limit;
  if (a->Type == 'S' && (value < 0 || value > 1)) {
    char insert[24];
    snprintf(insert, sizeof(insert), "%ld", value);
    DataWarning(13, insert);
    value = 0;
  }
  if (value > limit || value < -limit) {
    long corrected = value < 0 ? -limit : limit;
    char insert[QDVP_ATTR_NAME_MAX + 48];
    snprintf(insert, sizeof(insert), "%s %ld -> %ld", a->Name, value, corrected);
    DataWarning(9, insert);
    value = corrected;
  }
  if (a->Type == 'C' && value < 0) {
    char insert[24];
    snprintf(insert, sizeof(insert), "%ld", value);
    DataWarning(11, insert);
    value = 0;
  }
  if (IsRateType(a->Type)) {
    LoadRateAttribute(a, value);
    return;
  }
  StoreBigEndian(a, value, longValue ? 8 : shortValue ? 2 : 4);
}

void LoadAttrBucket(AttrEntry *a, char *field, int length) {
  if (a == nullptr || field == nullptr || length < 0) return;
  switch (a->Type) {
    case 'D':
    case 'O':
    case 'R':
    case 'Z':
    case 'N':
      LoadText(a, field, length);
      break;
    case 'T':
      LoadTime(a, field, length);
      break;
    case 'A':
    case 'G':
    case 'C':
    case 'S':
    case '?':
    case '%':
    case '#':
      LoadInteger(a, field, length);
      break;
    default:
      a->ActualValSize = 0;
      break;
  }
}

void LoadRateAttribute(AttrEntry *a, long sample) {
  double current = static_cast<double>(sample);
  if (a->PrevSampleValue == -4294967296.0) a->PrevSampleValue = current;
  double delta = current - a->PrevSampleValue;
  double result = 0.0;
  if (a->Type == '%') {
    result = a->PrevSampleValue == 0.0 ? 100.0 : delta / a->PrevSampleValue * 100.0 + 0.5;
  } else if (a->Type == '#') {
    result = delta;
  } else {
    time_t now = QDV0_Time();
    long interval = static_cast<long>(now - a->PrevSampleTime);
    if (interval < 1) interval = 1;
    result = delta / static_cast<double>(interval);
    a->PrevSampleTime = now;
  }
  if (result > 2147483647.0) result = 2147483647.0;
  if (result < -2147483648.0) result = -2147483648.0;
  StoreBigEndian(a, static_cast<long>(result), 4);
  a->ActualValSize = a->MaxValSize;
  a->PrevSampleValue = current;
}

char *QDVP_ConvertToPrintableCharacters(char *buffer, int *length) {
  if (buffer == nullptr || length == nullptr) return buffer;
  int n = *length;
  for (int i = 0; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(buffer[i]);
    if (isalnum(c) || ispunct(c) || c == ' ') continue;
    if (c == '\n' || c == '\r') {
      buffer[i] = ' ';
      continue;
    }
    auto *hex = static_cast<char *>(QDV0_GetStorage(static_cast<size_t>(2 * n + 1)));
    if (hex == nullptr) return buffer;
    for (int j = 0; j < n; j++)
      snprintf(hex + 2 * j, 3, "%02X", static_cast<unsigned char>(buffer[j]));
    *length = 2 * n + 1;
    return hex;
  }
  return buffer;
}

int QDVP_CheckDataConversion(const char *buffer, int length) {
  for (int i = 0; buffer != nullptr && i < length; i++) {
    unsigned char c = static_cast<unsigned char>(buffer[i]);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return 0;
  }
  return 1;
}
