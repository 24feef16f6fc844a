// Take actions handed to an API client: the API server's half of the hand-over between an
// action worker and the client that accepts requests for its source.
//
// A worker puts its entry in remote state 1 on the source's request queue (under SourceLock)
// and waits on the entry's Cond, under its Mutex, until the state changes. The client's RCVREQ
// takes the oldest entry in state 1 (state 2, in delivery); once its reply is sent the entry
// goes to state 4 and the worker is woken to wait for the result, or, when the client asked for
// no result (wait -1) or the action is a rule, straight to 5 with "No result expected". The
// client's RESULT posts the result of an entry in state 4 (state 5) and wakes the worker.
//
// Why no wake-up is lost: RemoteState is changed only under the entry's Mutex and the worker
// tests it under that Mutex before every wait; OSV1_Broadcast takes the Mutex for the wake-up,
// so it cannot fall between the worker's test and its wait. SourceLock is taken before the
// Mutex here; the worker holds the Mutex around its wait alone, so the order cannot invert.
//
// Why a worker never touches a source that is gone: an entry is linked to a source's queue
// and unlinked only under the anchor's ActionListLock and the source's SourceLock, and every
// result that ends a wait (a RESULT, "No result expected", the end of the session) unlinks it
// at once. A session's source is released only after QDVP_AbandonActionRequests has unlinked
// all of its entries, so a worker that finds its entry still linked under ActionListLock may
// take the source's lock.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_actions.h"
#include "../include/qdvp_sockets.h"

static TRK1_BLOCK trk = {"qdvpareq"};

namespace {

const char *const AutoTypeName[] = {" ", "Situation/Policy", "Rule", "SNMP", " "};

int RemoteState(ActionEntry *entry) {
  OSV1_Guard hold(&entry->Mutex);
  return entry->RemoteState;
}

// Sets the entry's remote state and wakes the worker that waits on it.
void MoveTo(ActionEntry *entry, int state) {
  {
    OSV1_Guard hold(&entry->Mutex);
    entry->RemoteState = state;
  }
  OSV1_Broadcast(&entry->Mutex, &entry->Cond);
}

// "id REQ(name)PARM(parm)", "id FILTER(ADD)PARM(parm)" or "id FILTER(DELETE)".
char *RequestText(const ActionEntry *entry) {
  const char *name = entry->pName != nullptr ? entry->pName : "";
  const char *parm = entry->pParm;
  size_t size = strlen(name) + (parm != nullptr ? strlen(parm) : 0) + 48;
  char *text = static_cast<char *>(QDV0_GetStorage(size));
  if (text == nullptr) return nullptr;
  int n;
  if (strcmp(name, "RULESTOP") == 0) {
    snprintf(text, size, "%u FILTER(DELETE)", entry->ID);
    return text;
  }
  if (strcmp(name, "RULESTART") == 0) {
    n = snprintf(text, size, "%u FILTER(ADD)", entry->ID);
  } else {
    n = snprintf(text, size, "%u REQ(%s)", entry->ID, name);
  }
  if (parm != nullptr) snprintf(text + n, size - static_cast<size_t>(n), "PARM(%s)", parm);
  return text;
}

void LogDelivery(SourceEntry *source, const ActionEntry *entry) {
  DPAB *anchor = Main_DPAB;
  if (anchor == nullptr) return;
  const char *owner = entry->pOwner != nullptr ? entry->pOwner : "";
  const char *name = entry->pName != nullptr ? entry->pName : "";
  std::string nodeName = QDVP_SourceNodeName(source);
  const char *node = nodeName.c_str();
  const char *parm = entry->pParm != nullptr ? entry->pParm : "NONE";
  if (entry->Type == QDVP_ACTION_SITUATION) {
    if (entry->pWorker != nullptr && entry->pWorker->LogFlag) {
      QDVP_SendDPlogMessage(anchor, 64, AutoTypeName[1], owner, name, parm, node);
    }
  } else if (strcmp(name, "RULESTART") == 0) {
    QDVP_SendDPlogMessage(anchor, 65, owner, node, parm);
  } else {
    QDVP_SendDPlogMessage(anchor, 66, owner, node);
  }
}

}  // namespace

namespace {

// Takes the entry off its source's queue; the caller holds ActionListLock as well.
void Unlink(SourceEntry *source, ActionEntry *entry) QDVP_REQUIRES(source->SourceLock) {
  for (ActionEntry **link = &source->pRequestQueue; *link != nullptr;
       link = &(*link)->pSourceNext) {
    if (*link != entry) continue;
    *link = entry->pSourceNext;
    break;
  }
  if (source->pDelivering == entry) source->pDelivering = nullptr;
  entry->pSourceNext = nullptr;
  entry->pRemoteSource = nullptr;
}

// Gives the entry its result and status, takes it off the queue and wakes its worker; the
// caller holds ActionListLock as well.
void Post(SourceEntry *source, ActionEntry *entry, int32_t status, const char *result,
          size_t length) QDVP_REQUIRES(source->SourceLock) {
  QDV0_Free(entry->pResult);
  entry->pResult = static_cast<char *>(QDV0_GetStorage(length + 1));
  if (entry->pResult != nullptr) memcpy(entry->pResult, result, length);
  entry->ResultLength = entry->pResult != nullptr ? static_cast<int>(length) : 0;
  entry->Status = status;
  entry->ResultTime = QDV0_Time();
  Unlink(source, entry);
  MoveTo(entry, QDVP_REMOTE_POSTED);
}

void Post(SourceEntry *source, ActionEntry *entry, int32_t status, const char *text)
    QDVP_REQUIRES(source->SourceLock) {
  Post(source, entry, status, text, strlen(text));
}

}  // namespace

void QDVP_QueueActionRequest(DPAB *anchor, SourceEntry *source, ActionEntry *entry) {
  OSV1_Guard pool(&anchor->ActionListLock);
  OSV1_Guard hold(&source->SourceLock);
  {
    OSV1_Guard state(&entry->Mutex);
    entry->RemoteState = QDVP_REMOTE_QUEUED;
  }
  entry->pSourceNext = nullptr;
  ActionEntry **tail = &source->pRequestQueue;
  while (*tail != nullptr) tail = &(*tail)->pSourceNext;
  *tail = entry;
  entry->pRemoteSource = source;
}

void QDVP_WithdrawActionRequest(DPAB *anchor, ActionEntry *entry) {
  OSV1_Guard pool(&anchor->ActionListLock);
  SourceEntry *source = entry->pRemoteSource;
  if (source == nullptr) return;
  OSV1_Guard hold(&source->SourceLock);
  Unlink(source, entry);
}

char *QDVP_CheckOutstandingActionRequest(SourceEntry *source) {
  OSV1_Guard hold(&source->SourceLock);
  ActionEntry *entry = source->pRequestQueue;
  while (entry != nullptr && RemoteState(entry) != QDVP_REMOTE_QUEUED) entry = entry->pSourceNext;
  if (entry == nullptr) return nullptr;
  char *text = RequestText(entry);
  if (text == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "***** No storage for the request text of action %u", entry->ID);
    return nullptr;
  }
  // One request is in delivery at a time; this task completes each delivery right after its
  // reply, so one still marked here lost its reply, and its worker is let go to wait for a
  // result that may still come.
  if (source->pDelivering != nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "***** Action %u was still in delivery", source->pDelivering->ID);
    MoveTo(source->pDelivering, QDVP_REMOTE_WAITING);
  }
  QDV0_Free(entry->pRequestText);
  entry->pRequestText = QDV0_StrDup(text);
  entry->DeliveredTime = QDV0_Time();
  {
    OSV1_Guard state(&entry->Mutex);
    entry->RemoteState = QDVP_REMOTE_DELIVERED;
  }
  source->pDelivering = entry;
  LogDelivery(source, entry);
  QDVP_TRC(trk, TRK1_DETAIL, "Action request <%s> delivered to %s", text,
           QDVP_SourceNodeName(source).c_str());
  return text;
}

int QDVP_PostActionRequestCompletion(DPAB *anchor, SourceEntry *source, uint32_t id,
                                     const char *text) {
  OSV1_Guard pool(&anchor->ActionListLock);
  OSV1_Guard hold(&source->SourceLock);
  ActionEntry *entry = source->pRequestQueue;
  while (entry != nullptr && (entry->ID != id || RemoteState(entry) != QDVP_REMOTE_WAITING)) {
    entry = entry->pSourceNext;
  }
  if (entry == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "***** No action request %u waits for a result", id);
    return 85;
  }
  // The client's text ends with its terminator, which is not part of the result.
  size_t n = text != nullptr ? strlen(text) : 0;
  if (n > 1) {
    Post(source, entry, QDVP_ACTION_STATUS_DONE, text, n - 1);
  } else {
    Post(source, entry, QDVP_ACTION_STATUS_DONE, "Received result contains no data");
  }
  return 0;
}

void QDVP_CheckActionRequestCompletion(DPAB *anchor, SourceEntry *source) {
  OSV1_Guard pool(&anchor->ActionListLock);
  OSV1_Guard hold(&source->SourceLock);
  ActionEntry *entry = source->pDelivering;
  if (entry == nullptr) return;
  source->pDelivering = nullptr;
  if (source->AcceptWaitSeconds != -1 && entry->Type != QDVP_ACTION_RULE) {
    MoveTo(entry, QDVP_REMOTE_WAITING);
    return;
  }
  Post(source, entry, QDVP_ACTION_STATUS_DONE, "No result expected");
}

void QDVP_AbandonActionRequests(DPAB *anchor, SourceEntry *source) {
  OSV1_Guard pool(&anchor->ActionListLock);
  OSV1_Guard hold(&source->SourceLock);
  while (source->pRequestQueue != nullptr) {
    ActionEntry *entry = source->pRequestQueue;
    QDVP_TRC(trk, TRK1_ERROR, "***** Action %u let go: the client session ended", entry->ID);
    Post(source, entry, QDVP_ACTION_STATUS_SOURCE_OFFLINE,
         "Client session ended before a result was received");
  }
  source->pDelivering = nullptr;
  source->AcceptRequests = 0;
  source->AcceptWaitSeconds = -1;
}
