// Derived attributes filled while a record is parsed: the five derive functions (time text to
// time stamp, IP address to host name with a one-entry cache, NetWare hex time to text, and
// seconds since 1970 to a local or GMT time stamp) and the concatenation of two Display
// attributes; and, when the row is sent, the attributes still without a value: the arithmetic
// formulas (+ - * / and % as a rounded percentage) and the joins and functions whose operands
// got their values only after the attribute was parsed.
#include <arpa/inet.h>
#include <ctype.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_records.h"
#include "../include/qdvp_wire.h"

static TRK1_BLOCK trk = {"qdvpdfun"};

namespace {

// The last address resolved and its name, process-wide.
OSV1_LOCK PrevAddrLock QDVP_ACQUIRED_AFTER(DPAB::StateMutex) = OSV1_LOCK_INITIALIZER;  // a leaf
char *PrevAddress QDVP_GUARDED_BY(PrevAddrLock) = nullptr;  // 260 bytes, created on first use
char *PrevName QDVP_GUARDED_BY(PrevAddrLock) = nullptr;

void StoreText(AttrEntry *a, const char *text, size_t length) {
  if (length > static_cast<size_t>(a->MaxValSize)) length = static_cast<size_t>(a->MaxValSize);
  memcpy(a->Value, text, length);
  a->Value[length] = '\0';
  a->ActualValSize = static_cast<int>(length);
}

void AddressToName(AttrEntry *a, char *input) {
  while (*input == ' ' || *input == '/') input++;
  char *slash = strchr(input, '/');
  if (slash != nullptr) *slash = '\0';
  if (!isdigit(static_cast<unsigned char>(input[0]))) {
    QDVP_TRC(trk, TRK1_DETAIL, "Input string is not an IP address. Hostname %s used as is", input);
    StoreText(a, input, strlen(input));
    return;
  }
  {
    OSV1_Guard lock(&PrevAddrLock);
    if (PrevAddress == nullptr) {
      PrevAddress = static_cast<char *>(QDV0_GetStorage(260));
      PrevName = static_cast<char *>(QDV0_GetStorage(260));
    }
    if (PrevAddress != nullptr && PrevAddress[0] != '\0' && strcmp(PrevAddress, input) == 0) {
      QDVP_TRC(trk, TRK1_DETAIL, "IP address %s: cached name %s used", input, PrevName);
      StoreText(a, PrevName, strlen(PrevName));
      return;
    }
  }
  // From the name resolver's cache, without the lock: a new address waits briefly for an idle
  // resolver, never for a slow lookup (core/support/qdv0rslv.cpp).
  struct sockaddr_in address;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  char name[260] = "";
  if (inet_pton(AF_INET, input, &address.sin_addr) != 1 ||
      QDV0_CachedAddressName(&address, name, sizeof(name), QDV0_NAME_WAIT_MS) != 1) {
    QDVP_TRC(trk, TRK1_DETAIL, "IP address %s not resolved, used as is", input);
    StoreText(a, input, strlen(input));
    return;
  }
  {
    OSV1_Guard lock(&PrevAddrLock);
    if (PrevAddress != nullptr) {
      size_t a = strnlen(input, 259), n = strnlen(name, 259);
      memcpy(PrevAddress, input, a);
      PrevAddress[a] = '\0';
      memcpy(PrevName, name, n);
      PrevName[n] = '\0';
    }
  }
  QDVP_TRC(trk, TRK1_DETAIL, "IP address %s resolved to %s", input, name);
  StoreText(a, name, strlen(name));
}

int Hex(const char *text, int length) {
  int v = 0;
  for (int i = 0; i < length; i++) {
    int c = static_cast<unsigned char>(text[i]), d = 0;
    if (isdigit(c))
      d = c - '0';
    else if (isxdigit(c))
      d = toupper(c) - 'A' + 10;
    v = v * 16 + d;
  }
  return v;
}

void NetwareTimeToText(AttrEntry *a, const char *input) {
  size_t n = strlen(input);
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (n > 7) {
    year = Hex(input, 4);
    month = Hex(input + 4, 2);
    day = Hex(input + 6, 2);
  }
  if (n > 13) {
    hour = Hex(input + 8, 2);
    minute = Hex(input + 10, 2);
    second = Hex(input + 12, 2);
  }
  char text[96];
  if (hour == 0 && minute == 0 && second == 0) {
    snprintf(text, sizeof(text), "%4.4d/%2.2d/%2.2d", year, month, day);
  } else if (n >= 17) {
    // Zone character, then the hour difference in hex from position 16.
    int difference = n >= 19 ? Hex(input + 17, 2) : 0;
    snprintf(text, sizeof(text), "%4.4d/%2.2d/%2.2d %2.2d:%2.2d:%2.2d %c%d", year, month, day, hour,
             minute, second, input[16], difference);
  } else {
    snprintf(text, sizeof(text), "%4.4d/%2.2d/%2.2d %2.2d:%2.2d:%2.2d", year, month, day, hour,
             minute, second);
  }
  StoreText(a, text, strlen(text));
}

void SecondsToStamp(AttrEntry *a, const AttrEntry *input, bool gmt) {
  if (input->ActualValSize != 4) {
    QDVP_TRC(trk, TRK1_ERROR, "Input time integer size %d invalid. Time integer size should be %d",
             input->ActualValSize, 4);
    return;
  }
  auto *v = reinterpret_cast<const unsigned char *>(input->Value);
  int32_t seconds = static_cast<int32_t>((static_cast<uint32_t>(v[0]) << 24) |
                                         (static_cast<uint32_t>(v[1]) << 16) |
                                         (static_cast<uint32_t>(v[2]) << 8) | v[3]);
  time_t t = seconds;
  struct tm tm;
  if (gmt)
    gmtime_r(&t, &tm);
  else
    localtime_r(&t, &tm);
  char text[48];
  snprintf(text, sizeof(text), "%03d%02d%02d%02d%02d%02d000", tm.tm_year, tm.tm_mon + 1, tm.tm_mday,
           tm.tm_hour, tm.tm_min, tm.tm_sec);
  StoreText(a, text, strlen(text));
}

int64_t ReadOperand(const AttrEntry *a) {
  const auto *v = reinterpret_cast<const unsigned char *>(a->Value);
  if (a->ActualValSize == 8) {
    uint64_t u = 0;
    for (int i = 0; i < 8; i++) u = (u << 8) | v[i];
    return static_cast<int64_t>(u);
  }
  if (a->ActualValSize == 4) return static_cast<int32_t>(QDVP_WireGet32(v));
  return static_cast<int16_t>(QDVP_WireGet16(v));
}

// Writes value into the attribute's size, most significant byte first.
void WriteInteger(AttrEntry *a, long value) {
  auto *v = reinterpret_cast<unsigned char *>(a->Value);
  for (int i = a->MaxValSize - 1; i >= 0; i--) {
    v[i] = static_cast<unsigned char>(value & 0xFF);
    value >>= 8;
  }
  a->ActualValSize = a->MaxValSize;
}

// An arithmetic formula of two integer attributes; a REAL result is sent as text with three
// decimals. Division by zero leaves 0.
void EvaluateFormula(AttrEntry *a, const AttrEntry *first, const AttrEntry *second) {
  int64_t x = ReadOperand(first), y = ReadOperand(second);
  long result = 0;
  double real = 0;
  switch (a->Operator) {
    case '+':
      result = static_cast<long>(x) + y;
      real = static_cast<double>(result);
      break;
    case '-':
      result = static_cast<long>(x) - y;
      real = static_cast<double>(result);
      break;
    case '*':
      real = static_cast<double>(x) * y;
      result = static_cast<long>(real);
      break;
    case '/':
      if (y != 0) {
        real = static_cast<double>(x) / y;
        result = static_cast<long>(real);
      }
      break;
    case '%':
      if (y != 0) {
        real = x * 100.0 / y;
        result = static_cast<long>(real);
        if (fabs(real - static_cast<double>(result)) >= 0.5) result += real < 0 ? -1 : 1;
      }
      break;
    default:
      QDVP_TRC(trk, TRK1_ERROR, "*****Invalid Operation Type %c", a->Operator);
      break;
  }
  QDVP_TRC(trk, TRK1_DETAIL, "Attribute %s formula calculated %lld %lld result %ld %.3f", a->Name,
           static_cast<long long>(x), static_cast<long long>(y), result, real);
  if (a->Real) {
    char text[64];
    int n = snprintf(text, sizeof(text), "%.3f", real);
    if (n > a->MaxValSize) n = a->MaxValSize;
    memcpy(a->Value, text, static_cast<size_t>(n));
    a->ActualValSize = n;
  } else {
    WriteInteger(a, result);
  }
}

}  // namespace

void QDVP_EvaluateFormulas(SourceEntry *source) {
  for (AttrEntry *a = source->pAttrList; a != nullptr; a = a->pNext) {
    if (a->pOperand1 == nullptr || a->pOperand2 == nullptr || a->ActualValSize > 0) continue;
    if (QDVP_IsDeriveFunction(a->pOperand1)) {
      QDVP_PerformDeriveAttrFunction(a);
      continue;
    }
    auto *first = static_cast<const AttrEntry *>(a->pOperand1);
    const AttrEntry *second = a->pOperand2;
    if (first->ActualValSize <= 0 || second->ActualValSize <= 0) continue;
    if (first->Type == 'D' && second->Type == 'D') {
      DoSpecialDerivedAttribute(a);
    } else {
      EvaluateFormula(a, first, second);
    }
  }
}

int QDVP_PerformDeriveAttrFunction(AttrEntry *a) {
  if (a == nullptr || a->pOperand2 == nullptr) return 0;
  const AttrEntry *input = a->pOperand2;
  int index = -1;
  for (int i = 0; i < 5; i++) {
    if (a->pOperand1 == &DerivedFunctionName[i]) index = i;
  }
  if (index < 0) {
    QDVP_TRC(trk, TRK1_ERROR, "*****Error: Unknown derived attribute function value: %d", index);
    return 0;
  }
  if (index == 3 || index == 4) {
    SecondsToStamp(a, input, index == 4);
    return 1;
  }
  // The input value without its leading blanks, NUL-terminated.
  int size = input->ActualValSize;
  if (size > input->MaxValSize) size = input->MaxValSize;
  int skip = 0;
  while (skip < size && input->Value[skip] == ' ') skip++;
  char work[QDVP_MAX_TEXT_VALUE + 17];
  int n = size - skip;
  if (n > static_cast<int>(sizeof(work)) - 17) n = static_cast<int>(sizeof(work)) - 17;
  memcpy(work, input->Value + skip, static_cast<size_t>(n));
  work[n] = '\0';
  switch (index) {
    case 0: {
      // The conversion writes the 16-digit stamp over the text, which needs 17 bytes.
      QDV0_StringToCorvidTime(work);
      StoreText(a, work, strnlen(work, 16));
      break;
    }
    case 1:
      AddressToName(a, work);
      break;
    default:
      NetwareTimeToText(a, work);
      break;
  }
  return 1;
}

void DoSpecialDerivedAttribute(AttrEntry *a) {
  if (a == nullptr || a->pOperand1 == nullptr || a->pOperand2 == nullptr) return;
  if (QDVP_IsDeriveFunction(a->pOperand1)) {
    QDVP_PerformDeriveAttrFunction(a);
    return;
  }
  auto *first = static_cast<const AttrEntry *>(a->pOperand1);
  const AttrEntry *second = a->pOperand2;
  if (first->Type != 'D' || second->Type != 'D') return;
  int n1 = first->ActualValSize < a->MaxValSize ? first->ActualValSize : a->MaxValSize;
  if (n1 < 0) n1 = 0;
  int n2 = second->ActualValSize;
  if (n2 > a->MaxValSize - n1) n2 = a->MaxValSize - n1;
  if (n2 < 0) n2 = 0;
  memcpy(a->Value, first->Value, static_cast<size_t>(n1));
  memcpy(a->Value + n1, second->Value, static_cast<size_t>(n2));
  a->Value[n1 + n2] = '\0';
  a->ActualValSize = n1 + n2;
  QDVP_TRC(trk, TRK1_DETAIL, "Attribute %s derived string size %d {%s}", a->Name, a->ActualValSize,
           a->Value);
}
