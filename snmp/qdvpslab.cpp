// One variable binding of an SNMP answer into an attribute value: octet strings as text, or as
// hexadecimal when any byte is not printable; object identifiers in dotted form; IP addresses
// in dotted decimal; the integer types by the attribute's form (decimal text for a display
// attribute, the binary value for a 4-byte one, its low 16 bits for a 2-byte one).
//
// Integers carry at most 4 value bytes, a Counter64 (version 2c) at most 8. Agents encode an
// unsigned value with its top bit set with a leading zero byte so that it does not read as
// negative; that extra byte is taken as the sign it is, so a Counter near 2^32 keeps its value.
// INTEGER, Gauge and TimeTicks values of 4 bytes or fewer whose first byte has its top bit set
// are negative; a Counter and a Counter64 never are. An 8-byte numeric attribute (a Counter or
// Gauge declared with a maximum beyond 32 bits) holds a Counter64 whole; a 4-byte or 2-byte one
// its low bytes. The version 2c exceptions (noSuchObject, noSuchInstance, endOfMibView) store
// nothing.
#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_snmp.h"

static TRK1_BLOCK trk = {"qdvpslab"};

namespace {

void StoreText(AttrEntry *attr, const char *text, size_t n) {
  if (n > static_cast<size_t>(attr->MaxValSize)) n = static_cast<size_t>(attr->MaxValSize);
  memcpy(attr->Value, text, n);
  attr->ActualValSize = static_cast<int>(n);
}

// An octet string: text with carriage returns and line feeds as blanks, or upper-case
// hexadecimal when another byte is not printable.
void StoreOctets(AttrEntry *attr, const unsigned char *data, size_t n) {
  bool printable = true;
  for (size_t i = 0; i < n && printable; i++) {
    printable = data[i] == '\r' || data[i] == '\n' || isprint(data[i]);
  }
  size_t most = static_cast<size_t>(attr->MaxValSize);
  if (printable) {
    size_t k = n < most ? n : most;
    for (size_t i = 0; i < k; i++) {
      attr->Value[i] = data[i] == '\r' || data[i] == '\n' ? ' ' : static_cast<char>(data[i]);
    }
    attr->ActualValSize = static_cast<int>(k);
    return;
  }
  static const char kHex[] = "0123456789ABCDEF";
  size_t k = 0;
  for (size_t i = 0; i < n && k + 2 <= most; i++) {
    attr->Value[k++] = kHex[data[i] >> 4];
    attr->Value[k++] = kHex[data[i] & 15];
  }
  attr->ActualValSize = static_cast<int>(k);
}

// An integer type into the attribute by its form; false when the value or the attribute's
// size is not supported.
bool StoreInteger(AttrEntry *attr, int tag, const unsigned char *data, size_t n) {
  bool wide = tag == QDVP_SNMP_COUNTER64;
  size_t most = wide ? 8 : 4;
  bool positive = false;
  if (n == most + 1 && data[0] == 0 && tag != QDV0_BER_INTEGER) {
    data++, n--, positive = true;
  }
  if (n == 0 || n > most) {
    QDVP_TRC(trk, TRK1_ERROR, "*****unsupported VarBind integer value length: %d",
             static_cast<int>(n));
    return false;
  }
  bool negative = !positive && tag != QDVP_SNMP_COUNTER && !wide && (data[0] & 0x80);
  uint64_t bits = negative ? ~0ULL : 0;
  for (size_t i = 0; i < n; i++) bits = (bits << 8) | data[i];
  if (attr->Type == 'D') {
    char text[24];
    int k = negative ? snprintf(text, sizeof(text), "%lld", static_cast<long long>(bits))
                     : snprintf(text, sizeof(text), "%llu", static_cast<unsigned long long>(bits));
    StoreText(attr, text, static_cast<size_t>(k));
    return true;
  }
  // The value most significant byte first, in the attribute's size: a narrower attribute gets
  // the low bytes (a Counter64 in a 4-byte counter wraps at 2^32, as a Counter32 does).
  int size = attr->MaxValSize;
  if (size != 8 && size != 4 && size != 2) {
    QDVP_TRC(trk, TRK1_ERROR, "*****unsupported attribute <%s> size %d", attr->Name,
             attr->MaxValSize);
    return false;
  }
  for (int i = 0; i < size; i++) {
    attr->Value[i] = static_cast<char>(bits >> (8 * (size - 1 - i)));
  }
  attr->ActualValSize = size;
  return true;
}

}  // namespace

int QDVP_SNMPloadAttributeFromBER(const unsigned char *buffer, size_t length, size_t position,
                                  AttrEntry *attr, char *oid, size_t oidSize, size_t *next) {
  if (next) *next = 0;
  if (oid && oidSize) oid[0] = '\0';
  int tag = 0;
  const unsigned char *contents = nullptr;
  size_t n = 0;
  size_t after = QDV0_ExtractBERfield(buffer, length, position, &tag, &contents, &n);
  if (after == 0 || tag != QDV0_BER_SEQUENCE) return 0;
  size_t at = static_cast<size_t>(contents - buffer), limit = at + n;
  const unsigned char *name = nullptr;
  size_t nameLength = 0;
  at = QDV0_ExtractBERfield(buffer, limit, at, &tag, &name, &nameLength);
  if (at == 0 || tag != QDV0_BER_OID) return 0;
  if (oid && oidSize && QDV0_DecodeOIDfromBER(name, nameLength, oid, oidSize) != 0) return 0;
  if (QDV0_ExtractBERfield(buffer, limit, at, &tag, &contents, &n) == 0) return 0;
  if (next) *next = after;
  if (attr == nullptr) return 0;
  switch (tag) {
    case QDV0_BER_OCTETSTRING:
    case QDVP_SNMP_OPAQUE:
      StoreOctets(attr, contents, n);
      return 1;
    case QDV0_BER_OID: {
      char text[1024];
      if (QDV0_DecodeOIDfromBER(contents, n, text, sizeof(text)) != 0) return 0;
      StoreText(attr, text, strlen(text));
      return 1;
    }
    case QDVP_SNMP_IPADDRESS: {
      if (n != 4) return 0;
      char text[16];
      int k = snprintf(text, sizeof(text), "%u.%u.%u.%u", contents[0], contents[1], contents[2],
                       contents[3]);
      StoreText(attr, text, static_cast<size_t>(k));
      return 1;
    }
    case QDV0_BER_INTEGER:
    case QDVP_SNMP_COUNTER:
    case QDVP_SNMP_GAUGE:
    case QDVP_SNMP_TIMETICKS:
    case QDVP_SNMP_COUNTER64:
      return StoreInteger(attr, tag, contents, n) ? 1 : 0;
    default:
      return 0;
  }
}
