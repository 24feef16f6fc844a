// Queueing sources to the DCH client: queue, queue and wait, the DCH wait queue for sources
// queued before the client runs, and the delayed offline queue.
//
// A source is in at most one of the client's queues at a time: its Enqueued word is 1 from
// the moment it is linked to the client's work queue until the client has finished its
// request, and for that time the client holds the source (its Holds), so that a deletion waits
// for the request however its requester's wait ended. A request a requester waits for is always
// taken (the deleting task's own unregister and offline are of a source already closed); one
// that nobody waits for (the periodic scan's) is not taken for a source being deleted.
//
// A requester waiting in QDVP_QueueAndWaitDCHstatus sleeps on the source's enqueued word itself
// (2: queued, and somebody sleeps on it); the client ends the request by setting the word to 0
// and wakes the sleeper only when there is one (QDVP_EndDCHrequest). So the end of a request
// is one store and at most one wake-up, the client never touches the requester's own entry
// (which may be gone as soon as the requester has seen the 0), and the source it touches is
// held by the client until after the wake-up. A plain row with one row in flight may be sent
// by its requester instead, while the client waits for work (QDVP_SendOwnRow): it is queued in
// the same way (its word 1, the client's hold taken), only not linked to the client's queue,
// and ended by the receive task or handed back to the client as a row the client handed off.
// The delayed offline queue holds copies of sources whose offline waits for their table's time
// to live.
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_dchcomm.h"
#include "../include/qdvp_request.h"

static TRK1_BLOCK trk = {"qdvpwdol"};

std::atomic<int> DCHrequestSeqNumber{0};

// Links a source to the client's work queue; its enqueued word is already 1.
static void LinkToClient(ProcessEntry *client, SourceEntry *source) {
  source->DCHwork.pNext = nullptr;
  QDVP_QueueWorkItemWakeAfter(client, &source->DCHwork);
}

// Queues a source to the client with the client's hold on it; waited says whether a requester
// waits for the request (which is then taken for a closed source as well). A requester's row
// (ownRow) goes out from the requester's thread when the link is free (QDVP_SendOwnRow): true
// then, and the request is ended as for a row the client handed off.
static bool Enqueue(DPAB *anchor, SourceEntry *source, bool waited, bool ownRow = false) {
  int idle = 0;
  if (!source->Enqueued.compare_exchange_strong(idle, 1)) {
    QDVP_TRC(trk, TRK1_DETAIL,
             "Enqueue source @%p bypassed. Already enqueued or DCH work in process",
             (void *)source);
    return false;
  }
  if (waited) {
    OSV1_AddHold(&source->Holds);
  } else if (!OSV1_TakeHold(&source->Holds)) {
    source->Enqueued.store(0);
    QDVP_TRC(trk, TRK1_DETAIL, "Enqueue source @%p bypassed. The source is being deleted",
             (void *)source);
    return false;
  }
  int number = DCHrequestSeqNumber.fetch_add(1, std::memory_order_relaxed) + 1;
  source->RequestNumber.store(number);
  QDVP_TRC(trk, TRK1_DETAIL, "Current DCH request sequence number incremented to %d", number);
  ProcessEntry *client = anchor->pDCHclientPE.load();
  if (client == nullptr) {
    // The client publishes itself under the wait queue's lock and then takes the queue, so a
    // source linked here while it is unpublished is always handed over. Its enqueued word
    // stays 1 meanwhile: its requester waits for the request to go out, not merely to be
    // parked.
    OSV1_Guard queue(&anchor->DCHqueueLock);
    client = anchor->pDCHclientPE.load();
    if (client == nullptr) {
      SourceEntry **tail = &anchor->pDCHqueue;
      while (*tail != nullptr) tail = &(*tail)->pDCHnext;
      source->pDCHnext = nullptr;
      *tail = source;
      QDVP_TRC(trk, TRK1_DETAIL, ">>>source enqueued to DCH wait queue");
      return false;
    }
  }
  if (ownRow && QDVP_SendOwnRow(anchor, source)) return true;
  LinkToClient(client, source);
  return false;
}

void QDVP_EnqueueSourceToDCH(DPAB *anchor, SourceEntry *source) { Enqueue(anchor, source, false); }

int QDVP_PublishDCHclient(DPAB *anchor, ProcessEntry *client) {
  SourceEntry *list;
  int count = 0;
  {
    OSV1_Guard queue(&anchor->DCHqueueLock);
    anchor->pDCHclientPE.store(client);
    list = anchor->pDCHqueue;
    anchor->pDCHqueue = nullptr;
  }
  while (list != nullptr) {
    SourceEntry *next = list->pDCHnext;
    list->pDCHnext = nullptr;
    LinkToClient(client, list);
    list = next;
    count++;
  }
  return count;
}

void QDVP_EndDCHrequest(SourceEntry *source) {
  if (source->Enqueued.exchange(0) == 2) QDV0_WakeWord(&source->Enqueued);
}

void QDVP_HandBackRow(DPAB *anchor, SourceEntry *source, int status) {
  source->HandBackStatus = status;
  source->HandBack = 1;
  ProcessEntry *client = anchor->pDCHclientPE.load();
  if (client != nullptr) {
    // Still queued as far as its requester knows (the enqueued word stayed 1), and the
    // client's hold goes with it.
    LinkToClient(client, source);
    return;
  }
  source->HandBack = 0;
  source->LastRequestStatus = status;
  source->LastDataStatus = status;
  QDVP_EndDCHrequest(source);
  OSV1_LetGo(&source->Holds);
}

// Sleeps until the source's request has ended or for at most ms; the word says 2 first, so
// the end of the request wakes the sleeper.
static void SleepOnRequest(SourceEntry *source, long ms) {
  int queued = 1;
  if (!source->Enqueued.compare_exchange_strong(queued, 2) && queued == 0) return;
  QDV0_WaitWord(&source->Enqueued, 2, ms);
}

int QDVP_RemoveSourceFromDCHqueue(DPAB *anchor, SourceEntry *source) {
  OSV1_Guard queue(&anchor->DCHqueueLock);
  for (SourceEntry **link = &anchor->pDCHqueue; *link; link = &(*link)->pDCHnext) {
    if (*link == source) {
      *link = source->pDCHnext;
      source->pDCHnext = nullptr;
      QDVP_EndDCHrequest(source);
      OSV1_LetGo(&source->Holds);  // the client's hold
      return 1;
    }
  }
  return 0;
}

int QDVP_QueueAndWaitDCHstatus(DPAB *anchor, ProcessEntry *requester, SourceEntry *source) {
  if (anchor == nullptr || source == nullptr) return 0;
  if (requester == nullptr) requester = anchor->pStatPE;
  source->pPE.store(requester);
  // A plain row may go out from here, sent by its requester while the client waits for work
  // (a hand-off and a wake-up fewer): queued before the request lock is taken, since sending
  // takes the source's and the connection's locks, which come before it.
  bool own = Enqueue(anchor, source, true, source->State == QDVP_Output);
  OSV1_GetLock(&requester->RequestLock);
  // A row's round trip on loopback is shorter than a sleep and a wake-up: look for the end of
  // the request for a moment before sleeping on it (when QDVP_SPIN_WAIT_US asks for it).
  QDV0_SpinUntil(
      [](const void *s) { return static_cast<const SourceEntry *>(s)->Enqueued.load() == 0; },
      source, kRequestSpinMicros);
  // The client always ends the request (at its own end too); a shutdown is looked at every
  // second, so that the wait ends early then, as the request's outcome tells (Ending).
  while (!anchor->ShutdownRequested && source->Enqueued.load() != 0) {
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>> waits for DCH server notification");
    SleepOnRequest(source, 1000);
    // A row sent by its requester that has no status after a second: the client, which may
    // sleep without a bound while no row of its own is out, is woken to take it back once the
    // reply wait has passed (QDVP_AwaitHandOff), as it does for its own rows.
    ProcessEntry *client = anchor->pDCHclientPE.load();
    if (own && client != nullptr && source->Enqueued.load() != 0) QDVP_SignalTaskIO(client);
  }
  OSV1_ReleaseLock(&requester->RequestLock);
  return 1;
}

void QDVP_DropWaitingDCHwork(DPAB *anchor) {
  SourceEntry *list;
  {
    OSV1_Guard queue(&anchor->DCHqueueLock);
    if (anchor->pDCHclientPE.load() != nullptr) return;
    list = anchor->pDCHqueue;
    anchor->pDCHqueue = nullptr;
  }
  while (list != nullptr) {
    SourceEntry *next = list->pDCHnext;
    list->pDCHnext = nullptr;
    QDVP_TRC(trk, TRK1_DETAIL, "Request %d of source @%p dropped: no DCH client",
             list->RequestNumber.load(), (void *)list);
    QDVP_EndDCHrequest(list);
    OSV1_LetGo(&list->Holds);
    list = next;
  }
}

int QDVP_EnqueueWaitingDCHwork(DPAB *anchor) {
  ProcessEntry *client = anchor->pDCHclientPE.load();
  if (client == nullptr) return 0;
  return QDVP_PublishDCHclient(anchor, client);
}

int QDVP_RemoveSourceFromWaitQueue(DPAB *anchor, SourceEntry *copy) {
  OSV1_Guard queue(&anchor->WaitQueueLock);
  for (SourceEntry **link = &anchor->pWaitQueue; *link; link = &(*link)->pWaitNext) {
    if (*link == copy) {
      QDVP_TRC(trk, TRK1_DETAIL,
               link == &anchor->pWaitQueue ? "Source entry @%p removed from top of offline queue"
                                           : "Source entry @%p removed from offline queue",
               (void *)copy);
      *link = copy->pWaitNext;
      copy->pWaitNext = nullptr;
      return 1;
    }
  }
  return 0;
}

SourceEntry *QDVP_TakeWaitQueueCopy(DPAB *anchor, SourceEntry *source) {
  OSV1_Guard queue(&anchor->WaitQueueLock);
  for (SourceEntry **link = &anchor->pWaitQueue; *link; link = &(*link)->pWaitNext) {
    SourceEntry *copy = *link;
    // A copy made Inactive is queued for its offline: the client finishes and frees it.
    if (copy->pCopyOf == source && copy->State != QDVP_Inactive) {
      *link = copy->pWaitNext;
      copy->pWaitNext = nullptr;
      return copy;
    }
  }
  return nullptr;
}

int QDVP_EnqueueDelayedOffline(DPAB *anchor) {
  time_t now = QDV0_Time();
  SourceEntry *due = nullptr;
  {
    // The first expired copy in queue order that is not on its way yet; one per scan cycle.
    OSV1_Guard queue(&anchor->WaitQueueLock);
    for (SourceEntry *copy = anchor->pWaitQueue; copy != nullptr; copy = copy->pWaitNext) {
      if (copy->TTLexpiry <= now && copy->State != QDVP_Inactive && !copy->Enqueued.load()) {
        due = copy;
        break;
      }
    }
    if (due == nullptr) return 0;
    due->OfflineNow = 1;
    QDVP_UpdateSourceEntryState(due, QDVP_Inactive);
  }
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>>Enqueue delayed dp_offline");
  QDVP_EnqueueSourceToDCH(anchor, due);
  return 1;
}

void QDVP_WaitForDCHrequestRelease(DPAB *anchor, ProcessEntry *requester, SourceEntry *source) {
  // A caller without a task of its own waited on the statistics task's entry.
  if (requester == nullptr) requester = anchor->pStatPE;
  if (requester == nullptr) return;
  // The client ends the request on the word; the steps only look again for the client's end.
  while (source->Enqueued.load() != 0 && anchor->pDCHclientPE.load() != nullptr) {
    SleepOnRequest(source, 100);
  }
}
