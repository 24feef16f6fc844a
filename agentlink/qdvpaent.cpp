// Take actions on the agent link: the pool of action entries, the queue to the automation
// server, the entry the receive task makes of each provide-action request, and the status and
// result messages that go back.
//
// The receive task never waits for anything here: it copies the request into an entry, queues
// it and goes back to reading, so that a slow action cannot hold up the status replies that
// other tasks wait for. Replies go out on the DCH client task like every other request: a task
// with a reply puts it on a reply source of its own and asks for it on the one request path
// (QDVP_Request with the reply verb and policy, from QDVP_ReplyActionToDCH), so the link
// still carries one request at a time.
//
// Why an action received before the automation server runs is not lost: the server publishes
// itself under AutoQueueLock and moves the waiting actions onto its dispatch queue in the same
// hold, and the receive task chooses between the two queues under that lock.
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_actions.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_dchcomm.h"
#include "../include/qdvp_request.h"

static TRK1_BLOCK trk = {"qdvpaent"};

namespace {

// Longest texts taken from a provide-action request; a longer field is not taken, so the
// action fails with status 3 (not all required fields) instead of filling storage.
constexpr size_t kMaxNodeName = 256;
constexpr size_t kMaxOwner = 1024;
constexpr size_t kMaxName = 4096;
constexpr size_t kMaxParm = 16384;

void FreeTexts(ActionEntry *entry) {
  QDV0_Free(entry->pSourceNodeName);
  QDV0_Free(entry->pOwner);
  QDV0_Free(entry->pName);
  QDV0_Free(entry->pParm);
  QDV0_Free(entry->pResult);
  QDV0_Free(entry->pRequestText);
  entry->ResultLength = 0;
}

// A NUL-terminated copy of a field, or null when it is absent or longer than most.
char *CopyField(const unsigned char *data, size_t length, size_t most, int code, bool *tooLong) {
  if (data == nullptr) return nullptr;
  if (length > most) {
    QDVP_TRC(trk, TRK1_ERROR, "***** action field %d of %d bytes is too long, ignored", code,
             static_cast<int>(length));
    *tooLong = true;
    return nullptr;
  }
  auto *text = static_cast<char *>(QDV0_GetStorage(length + 1));
  if (text != nullptr && length > 0) memcpy(text, data, length);
  return text;
}

}  // namespace

ActionEntry *QDVP_AllocateActionEntry(DPAB *anchor) {
  OSV1_Guard list(&anchor->ActionListLock);
  ActionEntry **link = &anchor->pActionList;
  // Entries in the pool are never freed while it lives (qdvp_actions.h, Lifetimes).
  for (ActionEntry *entry = anchor->pActionList; entry != nullptr; entry = entry->pNext) {
    int free = 0;
    if (entry->InUse.compare_exchange_strong(free, 1)) {
      entry->FieldsReceived = 0;
      return entry;
    }
    link = &entry->pNext;
  }
  auto *entry = QDV0_New<ActionEntry>();
  if (entry == nullptr) return nullptr;
  entry->EyeCatcher = 'A';
  entry->InUse = 1;
  OSV1_InitializeLock(&entry->Mutex);
  OSV1_InitializeLock(&entry->Lock);
  *link = entry;
  return entry;
}

void QDVP_ReleaseActionEntry(ActionEntry *entry) {
  if (entry == nullptr) return;
  {
    OSV1_Guard hold(&entry->Lock);
    FreeTexts(entry);
    entry->pQueueNext = entry->pSourceNext = nullptr;
    entry->pWorker = nullptr;
    entry->WorkState = QDVP_ACTION_TO_PERFORM;
    entry->FieldsReceived = 0;
    entry->Type = 0;
    entry->Status = 0;
    entry->ID = 0;
    {
      OSV1_Guard state(&entry->Mutex);
      entry->RemoteState = QDVP_REMOTE_NONE;
    }
    entry->DeliveredTime = entry->ResultTime = 0;
  }
  entry->InUse.store(0);
}

void QDVP_FreeActionEntries(DPAB *anchor) {
  ActionEntry *list;
  {
    OSV1_Guard queue(&anchor->AutoQueueLock);
    anchor->pAutoQueue = anchor->pAutoDispatch = nullptr;
  }
  {
    OSV1_Guard hold(&anchor->ActionListLock);
    list = anchor->pActionList;
    anchor->pActionList = nullptr;
  }
  // An entry still in use at the very end is being filled by the receive task for an action
  // that came too late; it is left to the process's end rather than freed under its writer.
  while (list != nullptr) {
    ActionEntry *next = list->pNext;
    if (list->InUse.load()) {
      list = next;
      continue;
    }
    FreeTexts(list);
    OSV1_DestroyLock(&list->Mutex);
    OSV1_DestroyLock(&list->Lock);
    QDV0_Free(list);
    list = next;
  }
}

int QDVP_EnqueueActionToServer(DPAB *anchor, ActionEntry *entry) {
  entry->pQueueNext = nullptr;
  ProcessEntry *server;
  {
    OSV1_Guard queue(&anchor->AutoQueueLock);
    server = static_cast<ProcessEntry *>(anchor->pAutoServer);
    ActionEntry **tail = server != nullptr ? &anchor->pAutoDispatch : &anchor->pAutoQueue;
    while (*tail != nullptr) tail = &(*tail)->pQueueNext;
    *tail = entry;
  }
  if (server != nullptr) {
    QDVP_SignalTaskIO(server);
  } else {
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Action %u queued until the automation server runs",
             entry->ID);
  }
  return 1;
}

void QDVP_PublishAutomationServer(DPAB *anchor, ProcessEntry *server) {
  OSV1_Guard queue(&anchor->AutoQueueLock);
  anchor->pAutoServer = server;
  if (server == nullptr) return;
  ActionEntry **tail = &anchor->pAutoDispatch;
  while (*tail != nullptr) tail = &(*tail)->pQueueNext;
  *tail = anchor->pAutoQueue;
  anchor->pAutoQueue = nullptr;
}

ActionEntry *QDVP_TakeActionQueue(DPAB *anchor) {
  OSV1_Guard queue(&anchor->AutoQueueLock);
  ActionEntry *list = anchor->pAutoDispatch;
  anchor->pAutoDispatch = nullptr;
  if (list == nullptr) {
    list = anchor->pAutoQueue;
    anchor->pAutoQueue = nullptr;
  }
  return list;
}

// Called by the receive task for each provide-action request. An action that cannot get an
// entry is traced: there is no storage to remember it by.
void QDVP_ReceiveProvideAction(DPAB *anchor, const DCHdecoded *message) {
  ActionEntry *entry = QDVP_AllocateActionEntry(anchor);
  if (entry == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "***** No action entry for action %u, action dropped",
             message->ActionId);
    return;
  }
  bool tooLong = false;
  {
    OSV1_Guard hold(&entry->Lock);
    entry->Type = static_cast<int32_t>(message->ActionType);
    entry->ID = message->ActionId;
    entry->pSourceNodeName =
        CopyField(message->pNode, message->NodeLen, kMaxNodeName, QDVP_FIELD_SOURCE_NAME, &tooLong);
    entry->pOwner =
        CopyField(message->pOwner, message->OwnerLen, kMaxOwner, QDVP_FIELD_ACTION_OWNER, &tooLong);
    entry->pName =
        CopyField(message->pName, message->NameLen, kMaxName, QDVP_FIELD_ACTION_NAME, &tooLong);
    entry->pParm =
        CopyField(message->pParm, message->ParmLen, kMaxParm, QDVP_FIELD_ACTION_PARM, &tooLong);
    // Each required field counts once, and only when it was taken.
    int fields = message->ActionFieldCount;
    if (fields > QDVP_ACTION_REQUIRED_FIELDS) fields = QDVP_ACTION_REQUIRED_FIELDS;
    if (message->pNode != nullptr && entry->pSourceNodeName == nullptr) fields--;
    if (message->pOwner != nullptr && entry->pOwner == nullptr) fields--;
    if (message->pName != nullptr && entry->pName == nullptr) fields--;
    entry->FieldsReceived = fields;
    entry->WorkState = QDVP_ACTION_TO_PERFORM;
    entry->Status = 0;
  }
  QDVP_TRC(trk, TRK1_DETAIL, "Provide action %u type %d <%s> received, %d fields%s", entry->ID,
           entry->Type, entry->pName ? entry->pName : "", entry->FieldsReceived,
           tooLong ? " (a field too long)" : "");
  QDVP_EnqueueActionToServer(anchor, entry);
}

// ---- Replies to the agent -----------------------------------------------------------------

namespace {

// Builds the status message (with the result when given) and sends it until the agent stops
// answering 7. The buffer is the result's length and 64 bytes.
int SendStatusMessage(DCHcomm *comm, uint32_t id, int32_t status, const char *result,
                      size_t resultLength) {
  if (comm->pDPAB->StandAlone) return 0;
  size_t capacity = resultLength + 64;
  QDV0_Scratch<unsigned char> buffer(capacity);
  if (buffer.get() == nullptr) return -1;
  unsigned char code[2], word[4], signedWord[4];
  QDVP_WirePut16(code, QDVP_REQ_DP_ACTION_STATUS);
  QDVP_WirePut32(word, id);
  QDVP_WirePut32(signedWord, static_cast<uint32_t>(status));
  size_t position = QDVP_WIRE_LENGTH_WORD;
  position +=
      QDV0_FormatDataField(buffer.get(), capacity, position, QDVP_FIELD_REQUEST, code, 2, 0);
  position +=
      QDV0_FormatDataField(buffer.get(), capacity, position, QDVP_FIELD_ACTION_ID, word, 4, 0);
  position +=
      QDV0_FormatDataField(buffer.get(), capacity, position, QDVP_FIELD_STATUS, signedWord, 4, 0);
  if (result != nullptr) {
    QDV0_FormatDataField(buffer.get(), capacity, position, QDVP_FIELD_ACTION_RESULT, result,
                         resultLength, 0);
  }
  do {
    QDVP_TRC(trk, TRK1_DETAIL, "Sending action %u status %d%s", id, status,
             result != nullptr ? " and result" : "");
    comm->RequestNumber = 0;
    QDVP_DCHsendAndReceive(static_cast<int>(QDVP_WireGet32(buffer.get())), buffer.get(), comm, 0);
  } while (QDVP_DCHsendAgain(comm));
  if (comm->Status != 0) {
    QDVP_TRC(trk, TRK1_ERROR, "***** Action %u status not taken by the agent, status %d", id,
             static_cast<int>(comm->Status));
  }
  return comm->Status;
}

}  // namespace

int QDVP_SendProvideActionStatus(DCHcomm *comm, uint32_t id, int32_t status) {
  return SendStatusMessage(comm, id, status, nullptr, 0);
}

int QDVP_SendProvideActionResult(DCHcomm *comm, ActionEntry *entry) {
  OSV1_Guard hold(&entry->Lock);
  const char *result = entry->pResult != nullptr ? entry->pResult : "";
  int rc = SendStatusMessage(comm, entry->ID, entry->Status, result, strlen(result));
  QDV0_Free(entry->pResult);
  entry->ResultLength = 0;
  return rc;
}

void QDVP_SendActionReply(DCHcomm *comm, SourceEntry *replySource) {
  ActionEntry *entry = replySource->pAction;
  if (entry == nullptr) return;
  bool withResult;
  {
    OSV1_Guard hold(&entry->Lock);
    withResult = entry->Status == 0 || entry->pResult != nullptr;
  }
  int rc = withResult ? QDVP_SendProvideActionResult(comm, entry)
                      : QDVP_SendProvideActionStatus(comm, entry->ID, entry->Status);
  replySource->LastDataStatus = rc;
}

SourceEntry *QDVP_NewActionReplySource(DPAB *anchor) {
  SourceEntry *source =
      QDVP_InitializeSourceEntry(anchor, nullptr, "BASE", "ACTIONREPLY", nullptr, nullptr);
  if (source != nullptr) QDVP_UpdateSourceEntryState(source, QDVP_Action);
  return source;
}

void QDVP_FreeActionReplySource(DPAB *anchor, ProcessEntry *requester, SourceEntry *replySource) {
  if (replySource == nullptr) return;
  QDVP_WaitForDCHrequestRelease(anchor, requester, replySource);
  replySource->pAction = nullptr;
  QDVP_ReleaseSourceEntry(anchor, replySource);
}

int QDVP_ReplyActionToDCH(DPAB *anchor, ProcessEntry *requester, SourceEntry *replySource,
                          ActionEntry *entry) {
  if (replySource == nullptr || entry == nullptr) return 0;
  replySource->pAction = entry;
  // The one request path, with the replies' own policy: a reply the agent did not answer is
  // sent again a few times (include/qdvp_request.h).
  DCHresult replied = QDVP_Request(anchor, replySource, QDVP_VERB_REPLY, requester,
                                   QDVP_RETRY_REPLY_WHILE_UNANSWERED);
  if (replied.outcome != DCHoutcome::Taken) {
    QDVP_TRC(trk, TRK1_ERROR, "***** Action %u status %s by the agent (%d)", entry->ID,
             replied.outcome == DCHoutcome::Refused ? "refused" : "not answered", replied.status);
  }
  replySource->pAction = nullptr;
  return replied.outcome == DCHoutcome::Taken ? 1 : 0;
}
