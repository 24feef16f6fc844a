// libFuzzer target for SNMP answers: any datagram goes through the checks of an answer and,
// when it passes, every variable binding of its list is loaded into a display attribute and a
// 4-byte attribute. Nothing may crash or read past the datagram; a value never passes its
// attribute's size.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <cstdlib>

#include "core/support/qdv0.h"
#include "include/qdvp_snmp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int status = 0, index = 0;
  size_t list = QDVP_SNMPverifyResponsePDU(data, size, 7, &status, &index);
  if (list == 0) return 0;
  int tag;
  const unsigned char *contents;
  size_t n;
  if (QDV0_ExtractBERfield(data, size, list, &tag, &contents, &n) == 0) return 0;
  size_t at = static_cast<size_t>(contents - data), end = at + n;
  alignas(AttrEntry) static char display[sizeof(AttrEntry) + 64];
  alignas(AttrEntry) static char binary[sizeof(AttrEntry) + 4];
  auto *d = reinterpret_cast<AttrEntry *>(display);
  auto *b = reinterpret_cast<AttrEntry *>(binary);
  d->Type = 'D', d->MaxValSize = 64;
  b->Type = 'G', b->MaxValSize = 4;
  char oid[256];
  while (at < end) {
    size_t next = 0;
    d->ActualValSize = b->ActualValSize = 0;
    QDVP_SNMPloadAttributeFromBER(data, end, at, d, oid, sizeof(oid), &next);
    QDVP_SNMPloadAttributeFromBER(data, end, at, b, oid, sizeof(oid), &next);
    if (d->ActualValSize > 64 || b->ActualValSize > 4) abort();
    if (next <= at) break;
    at = next;
  }
  return 0;
}
