// ASN.1 Basic Encoding Rules for the SNMP messages: integers, null, octet strings, object
// identifiers and the field reader. Definite lengths only, as SNMP version 1 uses.
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qdv0.h"

namespace {
size_t LengthSize(size_t length) {
  if (length < 0x80) return 1;
  size_t n = 0;
  for (size_t v = length; v; v >>= 8) n++;
  return 1 + n;
}

size_t WriteHeader(int tag, size_t length, unsigned char *out, size_t capacity) {
  size_t need = 1 + LengthSize(length);
  if (capacity < need) return 0;
  out[0] = static_cast<unsigned char>(tag);
  if (length < 0x80) {
    out[1] = static_cast<unsigned char>(length);
  } else {
    size_t n = need - 2;
    out[1] = static_cast<unsigned char>(0x80 | n);
    for (size_t i = 0; i < n; i++)
      out[2 + i] = static_cast<unsigned char>(length >> (8 * (n - 1 - i)));
  }
  return need;
}
}  // namespace

size_t QDV0_FormatBERheader(int tag, size_t length, unsigned char *out, size_t capacity) {
  return WriteHeader(tag, length, out, capacity);
}

size_t QDV0_FormatBERintegerType(int tag, long value, unsigned char *out, size_t capacity) {
  unsigned char bytes[sizeof(long)];
  size_t n = sizeof(long);
  for (size_t i = 0; i < n; i++) bytes[i] = static_cast<unsigned char>(value >> (8 * (n - 1 - i)));
  size_t start = 0;
  // Drop leading bytes that only repeat the sign.
  while (start < n - 1 && ((bytes[start] == 0x00 && !(bytes[start + 1] & 0x80)) ||
                           (bytes[start] == 0xFF && (bytes[start + 1] & 0x80)))) {
    start++;
  }
  size_t length = n - start;
  size_t h = WriteHeader(tag, length, out, capacity);
  if (h == 0 || capacity - h < length) return 0;
  memcpy(out + h, bytes + start, length);
  return h + length;
}

size_t QDV0_FormatBERnullType(int tag, unsigned char *out, size_t capacity) {
  return WriteHeader(tag, 0, out, capacity);
}

size_t QDV0_FormatBERoctetstringType(int tag, const void *data, size_t length, unsigned char *out,
                                     size_t capacity) {
  size_t h = WriteHeader(tag, length, out, capacity);
  if (h == 0 || capacity - h < length) return 0;
  if (length) memcpy(out + h, data, length);
  return h + length;
}

size_t QDV0_FormatOIDfromString(const char *text, unsigned char *out, size_t capacity) {
  if (text == nullptr) return 0;
  if (*text == '.') text++;
  unsigned long arcs[128];
  size_t count = 0;
  const char *p = text;
  while (*p) {
    if (!isdigit(static_cast<unsigned char>(*p)) || count == 128) return 0;
    char *end;
    errno = 0;
    unsigned long arc = strtoul(p, &end, 10);
    // Arcs are 32-bit unsigned numbers in SNMP.
    if (errno != 0 || arc > 0xFFFFFFFFUL) return 0;
    arcs[count++] = arc;
    p = end;
    if (*p == '.') {
      p++;
      if (*p == '\0') return 0;
    } else if (*p != '\0') {
      return 0;
    }
  }
  if (count < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] > 39)) return 0;
  unsigned char contents[128 * 5];
  size_t length = 0;
  auto put = [&](unsigned long v) {
    unsigned char tmp[10];
    size_t n = 0;
    do {
      tmp[n++] = static_cast<unsigned char>(v & 0x7F);
      v >>= 7;
    } while (v);
    while (n > 0) {
      contents[length++] = static_cast<unsigned char>(tmp[n - 1] | (n > 1 ? 0x80 : 0));
      n--;
    }
  };
  put(arcs[0] * 40 + arcs[1]);
  for (size_t i = 2; i < count; i++) put(arcs[i]);
  return QDV0_FormatBERoctetstringType(QDV0_BER_OID, contents, length, out, capacity);
}

size_t QDV0_ExtractBERfield(const unsigned char *buffer, size_t length, size_t position, int *tag,
                            const unsigned char **contents, size_t *contentLength) {
  if (buffer == nullptr || position + 2 > length) return 0;
  int t = buffer[position];
  size_t p = position + 1;
  size_t n = buffer[p++];
  if (n & 0x80) {
    size_t bytes = n & 0x7F;
    if (bytes == 0 || bytes > 4 || p + bytes > length) return 0;
    n = 0;
    for (size_t i = 0; i < bytes; i++) n = (n << 8) | buffer[p++];
  }
  if (n > length - p) return 0;
  if (tag) *tag = t;
  if (contents) *contents = buffer + p;
  if (contentLength) *contentLength = n;
  return p + n;
}

int QDV0_ExtractBERinteger(const unsigned char *contents, size_t length, long *value) {
  if (contents == nullptr || length == 0 || length > sizeof(long)) return -1;
  unsigned long v = (contents[0] & 0x80) ? ~0UL : 0UL;
  for (size_t i = 0; i < length; i++) v = (v << 8) | contents[i];
  *value = static_cast<long>(v);
  return 0;
}

int QDV0_DecodeOIDfromBER(const unsigned char *contents, size_t length, char *text, size_t size) {
  if (contents == nullptr || length == 0 || text == nullptr || size == 0) return -1;
  size_t o = 0;
  unsigned long v = 0;
  bool first = true;
  for (size_t i = 0; i < length; i++) {
    if (v > (~0UL >> 7)) return -1;
    v = (v << 7) | (contents[i] & 0x7F);
    if (contents[i] & 0x80) {
      if (i == length - 1) return -1;
      continue;
    }
    // Arcs are 32-bit numbers; the first byte group holds 40 x X + Y with X at most 2.
    if (v > 0xFFFFFFFFUL + (first ? 80UL : 0UL)) return -1;
    int n;
    if (first) {
      unsigned long a = v < 80 ? v / 40 : 2;
      n = snprintf(text + o, size - o, "%lu.%lu", a, v - a * 40);
      first = false;
    } else {
      n = snprintf(text + o, size - o, ".%lu", v);
    }
    if (n < 0 || static_cast<size_t>(n) >= size - o) return -1;
    o += static_cast<size_t>(n);
    v = 0;
  }
  return 0;
}
