// libFuzzer target for provide-action requests: any message goes through the agent link's
// decoder and, when it is a provide action, becomes an action entry as the receive task makes
// it. Nothing may crash or read outside the message; every text of the entry is a terminated
// copy no longer than its limit; a field that was too long is not counted, so such an action
// can only end with status 3; the entry goes back to the pool.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <cstdlib>

#include "core/support/qdv0.h"
#include "include/qdvp_actions.h"
#include "include/qdvp_dchcomm.h"
#include "tests/fuzz/fuzz_anchor.h"

namespace {

void Within(const char *text, size_t most) {
  if (text != nullptr && strlen(text) > most) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  DCHdecoded message;
  QDVP_DecodeDCHmessage(data, size, &message);
  if (message.Kind != 2) return 0;
  DPAB *anchor = FuzzAnchor();
  QDVP_ReceiveProvideAction(anchor, &message);
  for (ActionEntry *entry = QDVP_TakeActionQueue(anchor); entry != nullptr;) {
    ActionEntry *next = entry->pQueueNext;
    if (entry->FieldsReceived < 0 || entry->FieldsReceived > QDVP_ACTION_REQUIRED_FIELDS) abort();
    Within(entry->pSourceNodeName, 256);
    Within(entry->pOwner, 1024);
    Within(entry->pName, 4096);
    Within(entry->pParm, 16384);
    if (entry->ID != message.ActionId) abort();
    QDVP_ReleaseActionEntry(entry);
    entry = next;
  }
  return 0;
}
