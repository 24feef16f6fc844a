// libFuzzer target for client API requests as the API server reads them before it acts: the
// call type, the version, ACCREQ's options, SETSRC's name and RESULT's number and text against
// a source with one action waiting for its result. Nothing may crash or read past the request;
// the accept wait is 60 s, -1 or what was asked for; a source name never holds a blank; only
// the waiting action's number can be answered, and only once.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <cstdlib>
#include <string>

#include "core/support/qdv0.h"
#include "include/qdvp_actions.h"
#include "include/qdvp_sockets.h"
#include "tests/fuzz/fuzz_anchor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  DPAB *anchor = FuzzAnchor();
  if (size > 4096) size = 4096;  // one receive buffer
  std::string request(reinterpret_cast<const char *>(data), size);
  int call = QDVP_ExtractAPIcallType(request.c_str(), static_cast<int>(request.size()));
  if (call < 0 || call > 9) abort();
  QDVP_ValidateAPIversion(request.c_str());

  SourceEntry *source = QDV0_New<SourceEntry>();
  OSV1_InitializeLock(&source->SourceLock);
  source->AcceptWaitSeconds = -1;
  QDVP_SetAcceptRequestOptions(source, request.c_str());
  if (source->AcceptRequests && source->AcceptWaitSeconds == 0) abort();
  if (QDVP_SaveAPIsourceName(source, request.c_str()) &&
      (source->pSourceNodeName == nullptr || strchr(source->pSourceNodeName, ' ') != nullptr)) {
    abort();
  }

  ActionEntry *entry = QDVP_AllocateActionEntry(anchor);
  entry->ID = 7;
  QDVP_QueueActionRequest(anchor, source, entry);
  {
    OSV1_Guard state(&entry->Mutex);
    entry->RemoteState = QDVP_REMOTE_WAITING;
  }
  const char *text = request.size() > 16 ? request.c_str() + 16 : "";
  char *end = nullptr;
  unsigned long id = strtoul(text, &end, 10);
  int rc = QDVP_PostActionRequestCompletion(anchor, source, static_cast<uint32_t>(id), text);
  if (rc != 0 && rc != 85) abort();
  if (rc == 0 && (id != 7 || entry->pRemoteSource != nullptr)) abort();
  if (QDVP_PostActionRequestCompletion(anchor, source, 7, "again;") == 0 && rc == 0) abort();
  QDVP_WithdrawActionRequest(anchor, entry);
  QDVP_ReleaseActionEntry(entry);
  QDV0_Free(source->pSourceNodeName);
  OSV1_DestroyLock(&source->SourceLock);
  QDV0_Free(source);
  return 0;
}
