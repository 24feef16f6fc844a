// One variable binding of an SNMP answer into an attribute value: octet strings as text, or as
// hexadecimal when any byte is not printable; object identifiers in dotted form; IP addresses
// in dotted decimal; the integer types by the attribute's form (decimal text for a display
// attribute, the binary value for a 4-byte one, its low 16 bits for a 2-byte one).
//
// Integers carry at most 4 value bytes. Agents encode an unsigned value of 2^31 or more (a
// Counter, Gauge or TimeTicks) with a leading zero byte so that it does not read as negative;
// that fifth byte is taken as the sign it is, so a Counter near 2^32 keeps its value. INTEGER,
// Gauge and TimeTicks values of 4 bytes or fewer whose first byte has its top bit set are
// negative; a Counter never is.
#include <ctype.h>
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
  bool positive = false;
  if (n == 5 && data[0] == 0 && tag != QDV0_BER_INTEGER) {
    data++, n--, positive = true;
  }
  if (n == 0 || n > 4) {
    QDVP_TRC(trk, TRK1_ERROR, "*****unsupported VarBind integer value length: %d",
             static_cast<int>(n));
    return false;
  }
  uint32_t bits = 0;
  bool negative = !positive && tag != QDVP_SNMP_COUNTER && (data[0] & 0x80);
  if (negative) bits = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; i++) bits = (bits << 8) | data[i];
  if (attr->Type == 'D') {
    char text[16];
    int k = negative ? snprintf(text, sizeof(text), "%d", static_cast<int32_t>(bits))
                     : snprintf(text, sizeof(text), "%u", bits);
    StoreText(attr, text, static_cast<size_t>(k));
    return true;
  }
  if (attr->MaxValSize == 4) {
    for (int i = 0; i < 4; i++) attr->Value[i] = static_cast<char>(bits >> (8 * (3 - i)));
    attr->ActualValSize = 4;
    return true;
  }
  if (attr->MaxValSize == 2) {
    attr->Value[0] = static_cast<char>(bits >> 8);
    attr->Value[1] = static_cast<char>(bits);
    attr->ActualValSize = 2;
    return true;
  }
  QDVP_TRC(trk, TRK1_ERROR, "*****unsupported attribute <%s> size %d", attr->Name,
           attr->MaxValSize);
  return false;
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
      return StoreInteger(attr, tag, contents, n) ? 1 : 0;
    default:
      return 0;
  }
}
