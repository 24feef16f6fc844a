// Queueing sources to the DCH client: queue, queue and wait, the DCH wait queue for sources
// queued before the client runs, and the delayed offline queue.
//
// A source is in at most one of the client's queues at a time: its Enqueued word is 1 from
// the moment it is linked to the client's work queue until the client has finished its
// request. A requester waiting in QDVP_QueueAndWaitDCHstatus holds its own TaskIO mutex from
// before the source is queued, and the client signals under that mutex, so the wake-up cannot
// be lost; the wait is still re-checked every 10 seconds. The delayed offline queue holds
// copies of sources whose offline waits for their table's time to live.
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_dchcomm.h"

static TRK1_BLOCK trk = {"qdvpwdol"};

extern "C" {

int DCHrequestSeqNumber = 0;

void QDVP_EnqueueSourceToDCH(DPAB *anchor, SourceEntry *source) {
  if (__atomic_load_n(&source->Enqueued, __ATOMIC_ACQUIRE) == 1) {
    QDVP_TRC(trk, TRK1_DETAIL,
             "Enqueue source @%p bypassed. Already enqueued or DCH work in process",
             (void *)source);
    return;
  }
  int number = __atomic_add_fetch(&DCHrequestSeqNumber, 1, __ATOMIC_RELAXED);
  source->RequestNumber = number;
  QDVP_TRC(trk, TRK1_DETAIL, "Current DCH request sequence number incremented to %d", number);
  ProcessEntry *client = __atomic_load_n(&anchor->pDCHclientPE, __ATOMIC_ACQUIRE);
  if (client != nullptr) {
    __atomic_store_n(&source->Enqueued, 1, __ATOMIC_RELEASE);
    QDVP_QueueWorkItem(client, &source->DCHwork);
    return;
  }
  OSV1_Guard queue(&anchor->DCHqueueLock);
  SourceEntry **tail = &anchor->pDCHqueue;
  for (; *tail; tail = &(*tail)->pDCHnext) {
    if (*tail == source) return;  // already waiting for the client
  }
  source->pDCHnext = nullptr;
  *tail = source;
  QDVP_TRC(trk, TRK1_DETAIL, ">>>source enqueued to DCH wait queue");
}

int QDVP_QueueAndWaitDCHstatus(DPAB *anchor, ProcessEntry *requester, SourceEntry *source) {
  if (anchor == nullptr || source == nullptr) return 0;
  if (requester == nullptr) requester = anchor->pStatPE;
  __atomic_store_n(&source->pPE, requester, __ATOMIC_RELEASE);
  OSV1_GetLock(&requester->Lock2);
  pthread_mutex_lock(&requester->TaskIOmutex);
  QDVP_EnqueueSourceToDCH(anchor, source);
  // A row's round trip on loopback is shorter than a sleep and a wake-up: look for the end of
  // the request for a moment before waiting on the condition (the client signals under the
  // mutex, so it is let go meanwhile).
  pthread_mutex_unlock(&requester->TaskIOmutex);
  QDV0_SpinForWord(&source->Enqueued, 0, kRequestSpinMicros);
  pthread_mutex_lock(&requester->TaskIOmutex);
  while (!anchor->ShutdownRequested && __atomic_load_n(&source->Enqueued, __ATOMIC_ACQUIRE)) {
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>> waits for DCH server notification");
    int rc = QDV0_ConditionTimedWait(&requester->TaskIOcond, &requester->TaskIOmutex, 10);
    if (rc != 0 && __atomic_load_n(&source->Enqueued, __ATOMIC_ACQUIRE)) {
      QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Continue wait for DCH request complete signal");
    }
  }
  pthread_mutex_unlock(&requester->TaskIOmutex);
  OSV1_ReleaseLock(&requester->Lock2);
  return 1;
}

void QDVP_WaitForDCHrequestRelease(DPAB *anchor, ProcessEntry *requester, SourceEntry *source) {
  pthread_mutex_lock(&requester->TaskIOmutex);
  for (int i = 0; i < 600 && __atomic_load_n(&source->Enqueued, __ATOMIC_ACQUIRE) &&
                  __atomic_load_n(&anchor->pDCHclientPE, __ATOMIC_ACQUIRE) != nullptr;
       i++) {
    QDV0_ConditionTimedWaitMs(&requester->TaskIOcond, &requester->TaskIOmutex, 100);
  }
  pthread_mutex_unlock(&requester->TaskIOmutex);
}

void QDVP_EnqueueWaitingDCHwork(DPAB *anchor) {
  if (__atomic_load_n(&anchor->pDCHclientPE, __ATOMIC_ACQUIRE) == nullptr) return;
  SourceEntry *list;
  {
    OSV1_Guard queue(&anchor->DCHqueueLock);
    list = anchor->pDCHqueue;
    anchor->pDCHqueue = nullptr;
  }
  while (list != nullptr) {
    SourceEntry *next = list->pDCHnext;
    list->pDCHnext = nullptr;
    QDVP_EnqueueSourceToDCH(anchor, list);
    list = next;
  }
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
    if (copy->pCopyOf == source || (copy->pTable == source->pTable && copy->pCopyOf == source)) {
      *link = copy->pWaitNext;
      copy->pWaitNext = nullptr;
      return copy;
    }
  }
  return nullptr;
}

void QDVP_EnqueueDelayedOffline(DPAB *anchor) {
  time_t now = QDV0_Time();
  SourceEntry *due = nullptr;
  {
    OSV1_Guard queue(&anchor->WaitQueueLock);
    for (SourceEntry **link = &anchor->pWaitQueue; *link;) {
      SourceEntry *copy = *link;
      if (copy->TTLexpiry <= now && !__atomic_load_n(&copy->Enqueued, __ATOMIC_ACQUIRE)) {
        *link = copy->pWaitNext;
        copy->pWaitNext = due;
        due = copy;
      } else {
        link = &copy->pWaitNext;
      }
    }
  }
  while (due != nullptr) {
    SourceEntry *copy = due;
    due = copy->pWaitNext;
    copy->pWaitNext = nullptr;
    copy->OfflineNow = 1;
    QDVP_UpdateSourceEntryState(copy, QDVP_Inactive);
    QDVP_TRC(trk, TRK1_DETAIL, "Enqueue delayed dp_offline for @%p", (void *)copy);
    QDVP_EnqueueSourceToDCH(anchor, copy);
  }
}

}  // extern "C"
