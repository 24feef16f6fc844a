// The messages of a poll with many bindings: requests of version 1 or 2c (get, get-next,
// get-bulk) with one binding per OID, the request identifier of any datagram (to match it to
// its agent before the rest is checked), and the bindings of an answer taken apart.
//
// Everything read here comes from the network: every length is checked against the datagram
// before it is used (QDV0_ExtractBERfield refuses a field that runs past its end).
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "../core/support/qdv0.h"
#include "../include/qdvp_snmp.h"

namespace {

// Appends tag, length and contents.
void AppendField(std::vector<unsigned char> *out, int tag, const unsigned char *contents,
                 size_t n) {
  unsigned char header[8];
  size_t h = QDV0_FormatBERheader(tag, n, header, sizeof(header));
  out->insert(out->end(), header, header + h);
  out->insert(out->end(), contents, contents + n);
}

void AppendInteger(std::vector<unsigned char> *out, long value) {
  unsigned char field[16];
  size_t n = QDV0_FormatBERintegerType(QDV0_BER_INTEGER, value, field, sizeof(field));
  out->insert(out->end(), field, field + n);
}

}  // namespace

size_t QDVP_SNMPmaxMessageSize() {
  static const size_t bound = [] {
    long n = atol(QDV0_GetEnv("QDVP_SNMP_MAX_MESSAGE_SIZE", "65535"));
    // 484 bytes is what every SNMP entity must accept; a UDP datagram holds at most 65535.
    if (n <= 0) n = 65535;
    if (n < 484) n = 484;
    if (n > 65535) n = 65535;
    return static_cast<size_t>(n);
  }();
  return bound;
}

bool QDVP_SNMPbuildRequest(std::vector<unsigned char> *out, int version,
                           const std::string &community, int pdu, int32_t requestId,
                           const std::vector<std::string> &oids, int nonRepeaters,
                           int maxRepetitions) {
  std::vector<unsigned char> list, binding;
  for (const std::string &text : oids) {
    unsigned char oid[700];
    size_t o = QDV0_FormatOIDfromString(text.c_str(), oid, sizeof(oid));
    if (o == 0) return false;
    binding.assign(oid, oid + o);
    binding.push_back(QDV0_BER_NULL);
    binding.push_back(0);
    AppendField(&list, QDV0_BER_SEQUENCE, binding.data(), binding.size());
  }
  std::vector<unsigned char> body;
  AppendInteger(&body, requestId);
  AppendInteger(&body, pdu == QDVP_SNMP_GETBULK ? nonRepeaters : 0);
  AppendInteger(&body, pdu == QDVP_SNMP_GETBULK ? maxRepetitions : 0);
  AppendField(&body, QDV0_BER_SEQUENCE, list.data(), list.size());
  std::vector<unsigned char> message;
  AppendInteger(&message, version);
  AppendField(&message, QDV0_BER_OCTETSTRING,
              reinterpret_cast<const unsigned char *>(community.data()), community.size());
  AppendField(&message, pdu, body.data(), body.size());
  out->clear();
  AppendField(out, QDV0_BER_SEQUENCE, message.data(), message.size());
  return true;
}

// The position after the tag and length of a constructed field at position, whose contents
// may run past the end of a datagram cut at its read; 0 when even its head is not there.
static size_t AfterHead(const unsigned char *b, size_t n, size_t position, int tag) {
  if (position + 2 > n || b[position] != tag) return 0;
  size_t bytes = b[position + 1] & 0x80 ? b[position + 1] & 0x7F : 0;
  if (bytes > 4 || position + 2 + bytes > n) return 0;
  return position + 2 + bytes;
}

bool QDVP_SNMPpeekRequestID(const unsigned char *b, size_t n, int32_t *requestId) {
  int tag;
  const unsigned char *c;
  size_t cl;
  size_t at = AfterHead(b, n, 0, QDV0_BER_SEQUENCE);
  if (at == 0) return false;
  at = QDV0_ExtractBERfield(b, n, at, &tag, &c, &cl);  // version
  if (at == 0 || tag != QDV0_BER_INTEGER) return false;
  at = QDV0_ExtractBERfield(b, n, at, &tag, &c, &cl);  // community
  if (at == 0 || tag != QDV0_BER_OCTETSTRING || at >= n) return false;
  at = AfterHead(b, n, at, b[at]);  // the PDU, whatever its type
  long id = 0;
  if (at == 0 || QDV0_ExtractBERfield(b, n, at, &tag, &c, &cl) == 0 || tag != QDV0_BER_INTEGER ||
      QDV0_ExtractBERinteger(c, cl, &id) != 0 || id < INT32_MIN || id > INT32_MAX) {
    return false;
  }
  *requestId = static_cast<int32_t>(id);
  return true;
}

bool QDVP_SNMPreadBindings(const unsigned char *b, size_t n, size_t position,
                           std::vector<SNMPbinding> *bindings) {
  int tag;
  const unsigned char *c;
  size_t cl;
  if (QDV0_ExtractBERfield(b, n, position, &tag, &c, &cl) == 0 || tag != QDV0_BER_SEQUENCE) {
    return false;
  }
  size_t at = static_cast<size_t>(c - b), limit = at + cl;
  while (at < limit) {
    size_t after = QDV0_ExtractBERfield(b, limit, at, &tag, &c, &cl);
    if (after == 0 || tag != QDV0_BER_SEQUENCE) return false;
    size_t inner = static_cast<size_t>(c - b), end = inner + cl;
    const unsigned char *name;
    size_t nameLength;
    size_t value = QDV0_ExtractBERfield(b, end, inner, &tag, &name, &nameLength);
    char text[1024];
    if (value == 0 || tag != QDV0_BER_OID ||
        QDV0_DecodeOIDfromBER(name, nameLength, text, sizeof(text)) != 0 ||
        QDV0_ExtractBERfield(b, end, value, &tag, nullptr, nullptr) == 0) {
      return false;
    }
    SNMPbinding binding;
    binding.Bytes.assign(reinterpret_cast<const char *>(b + at), after - at);
    binding.OID = text;
    binding.Tag = tag;
    bindings->push_back(std::move(binding));
    at = after;
  }
  return true;
}
