// The automation server task: hands each take action to a worker of its type, and releases
// each action its worker is done with.
//
// Actions arrive on the dispatch queue from the agent link's receive task (and come back on it
// from the workers, done). The server takes the queue whole, so a burst of actions costs one
// wake-up. Workers are made as needed, up to QDVP_ACTION_MAX_WORKERS per type (default 16);
// beyond that an action waits on the server's own list until a worker is free, so that a
// thousand actions at once cost a thousand small entries, not a thousand threads. At its end
// the server answers every action still waiting, tells the workers to end (a running command
// is ended with its process group), and frees the entries once no worker holds one.
#include <stdlib.h>
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_actions.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_dplog.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_services.h"
#include "../include/qdvp_snmp.h"

static TRK1_BLOCK trk = {"qdvpasrt"};

namespace {

bool SameText(const char *a, const char *b) {
  if (a == nullptr || b == nullptr) return a == b;
  return strcmp(a, b) == 0;
}

int MaxWorkers() {
  static const int most = [] {
    int n = atoi(QDV0_GetEnv("QDVP_ACTION_MAX_WORKERS", "16"));
    return n > 0 ? n : 16;
  }();
  return most;
}

// The workers of a type, and whether one of them is idle.
int CountWorkers(DPAB *anchor, int32_t type, bool *idle) {
  OSV1_Guard list(&anchor->WorkerListLock);
  int n = 0;
  *idle = false;
  for (WorkerEntry *w = anchor->pWorkerList; w != nullptr; w = w->pNext) {
    if (w->Type != type) continue;
    n++;
    if (w->Status.load() == QDVP_WORKER_IDLE) *idle = true;
  }
  return n;
}

void SetShutdownResult(ActionEntry *entry) {
  QDV0_Free(entry->pResult);
  entry->pResult = QDV0_StrDup("Data provider shutting down; action not performed");
  entry->ResultLength = entry->pResult != nullptr ? static_cast<int>(strlen(entry->pResult)) : 0;
}

// Sends an action's status from the server itself (no worker took it) and releases it.
void AnswerAndRelease(DPAB *anchor, ProcessEntry *pe, SourceEntry *reply, ActionEntry *entry,
                      int32_t status) {
  entry->Status = status;
  QDVP_RecordActionOutcome(anchor, pe, entry);
  QDVP_ReplyActionToDCH(anchor, pe, reply, entry);
  QDVP_ReleaseActionEntry(entry);
}

// Hands the action to a worker of its type; false when every worker of the type is busy and
// no further one may be made (the action then waits).
bool Dispatch(DPAB *anchor, ProcessEntry *pe, SourceEntry *reply, ActionEntry *entry) {
  bool snmp = entry->Type == QDVP_ACTION_SNMP && anchor->DPtype == QDVP_TYPE_SNMP;
  if (snmp) QDVP_CheckSNMPtakeAction(anchor, entry);
  if (entry->Type != QDVP_ACTION_SITUATION && entry->Type != QDVP_ACTION_RULE && !snmp) {
    // SNMP actions have workers of their own under the SNMP data provider; other types none.
    QDVP_TRC(trk, TRK1_ERROR, "***** No worker for action %u of type %d", entry->ID, entry->Type);
    AnswerAndRelease(anchor, pe, reply, entry, QDVP_ACTION_STATUS_NO_WORKER);
    return true;
  }
  // An SNMP worker polls its table for as long as the collection runs: they are not capped,
  // or a stop could wait behind the collections it is meant to end.
  bool idle;
  if (!snmp && CountWorkers(anchor, entry->Type, &idle) >= MaxWorkers() && !idle) return false;
  WorkerEntry *worker = QDVP_AllocateActionWorkerTask(anchor, entry->Type, 1);
  if (worker == nullptr) {
    AnswerAndRelease(anchor, pe, reply, entry, QDVP_ACTION_STATUS_NO_WORKER);
    return true;
  }
  entry->pWorker = worker;
  {
    OSV1_Guard hold(&worker->Mutex);
    worker->pAction = entry;
  }
  OSV1_Broadcast(&worker->Mutex, &worker->Cond);
  return true;
}

// Appends list to the end of *tail's list.
void Append(ActionEntry **head, ActionEntry *list) {
  while (*head != nullptr) head = &(*head)->pQueueNext;
  *head = list;
}

// Ends the workers and waits for them, at most about a minute; true when all have ended.
bool EndWorkers(DPAB *anchor, ProcessEntry *pe) {
  {
    OSV1_Guard list(&anchor->WorkerListLock);
    for (WorkerEntry *w = anchor->pWorkerList; w != nullptr; w = w->pNext) {
      w->Status.store(QDVP_WORKER_SHUTDOWN);
      OSV1_Broadcast(&w->Mutex, &w->Cond);
    }
  }
  for (int tenths = 0; tenths < 600; tenths++) {
    {
      OSV1_Guard list(&anchor->WorkerListLock);
      if (anchor->pWorkerList == nullptr) return true;
    }
    OSV1_GetLock(&pe->TaskIOmutex);
    QDV0_ConditionTimedWaitMs(&pe->TaskIOcond, &pe->TaskIOmutex, 100);
    OSV1_ReleaseLock(&pe->TaskIOmutex);
  }
  QDVP_TRC(trk, TRK1_ERROR, "***** Action workers still running at the end; entries kept");
  return false;
}

}  // namespace

int QDVP_CheckDuplicateActiveAction(DPAB *anchor, ActionEntry *entry) {
  if (entry->Type == QDVP_ACTION_SITUATION) return 0;
  OSV1_Guard list(&anchor->ActionListLock);
  for (ActionEntry *other = anchor->pActionList; other != nullptr; other = other->pNext) {
    // Only actions in a worker's hand count: this task alone sets and clears pWorker, and
    // their texts were written before they were queued.
    if (other == entry || other->pWorker == nullptr) continue;
    if (other->Type == QDVP_ACTION_SITUATION || other->Type == QDVP_ACTION_SNMP) continue;
    if (SameText(other->pSourceNodeName, entry->pSourceNodeName) &&
        SameText(other->pOwner, entry->pOwner) && SameText(other->pName, entry->pName) &&
        SameText(other->pParm, entry->pParm)) {
      return 1;
    }
  }
  return 0;
}

ActionEntry *QDVP_LocateStartActionByID(DPAB *anchor, uint32_t id, const char *owner) {
  OSV1_Guard list(&anchor->ActionListLock);
  for (ActionEntry *e = anchor->pActionList; e != nullptr; e = e->pNext) {
    if (e->InUse.load() && e->ID == id && SameText(e->pOwner, owner) &&
        SameText(e->pName, "SNMPSTARTGET")) {
      return e;
    }
  }
  return nullptr;
}

void QDVP_AutomationServer(ProcessEntry *pe) {
  DPAB *anchor = pe->pDPAB;
  pe->ThreadID = OSV1_ThreadID();
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Automation Server process started. Thread: %X",
           pe->ThreadID.load());
  if (anchor->DPtype != QDVP_TYPE_POST && anchor->DPtype != QDVP_TYPE_HTTP) {
    while (!QDVP_TaskShouldEnd(pe) && !anchor->StandAlone &&
           anchor->pDCHclientPE.load() == nullptr) {
      QDVP_WaitTaskIO(pe, 1, ">>>>> Automation Server waits for the agent link",
                      ">>>>> Automation Server wait ended, rc %d errno %d");
    }
  }
  SourceEntry *reply = QDVP_NewActionReplySource(anchor);
  QDVP_PublishAutomationServer(anchor, pe);
  QDVP_SendDPlogMessage(anchor, 59);
  // The MIB collections of the last run start again (those of MIBs not loaded yet are refused
  // now and start when their MIB is imported).
  if (anchor->DPtype == QDVP_TYPE_SNMP) QDVP_DoAutoStartMIBmonitorTasks(anchor, nullptr);
  ActionEntry *waiting = nullptr;  // actions for which every worker of their type is busy
  for (;;) {
    ActionEntry *list = QDVP_TakeActionQueue(anchor);
    Append(&waiting, list);
    list = waiting;
    waiting = nullptr;
    while (list != nullptr) {
      ActionEntry *entry = list;
      list = entry->pQueueNext;
      entry->pQueueNext = nullptr;
      if (entry->WorkState != QDVP_ACTION_TO_PERFORM) {
        if (entry->WorkState != QDVP_ACTION_DONE) {
          QDVP_TRC(trk, TRK1_ERROR, "***** invalid action work state %d, Action ignored",
                   entry->WorkState);
        }
        QDVP_ReleaseActionEntry(entry);
      } else if (QDVP_CheckDuplicateActiveAction(anchor, entry)) {
        QDVP_TRC(trk, TRK1_DETAIL, ">>>>> duplicate action released, ID %d", entry->ID);
        QDVP_ReleaseActionEntry(entry);
      } else if (QDVP_TaskShouldEnd(pe)) {
        Append(&waiting, entry);
      } else if (!Dispatch(anchor, pe, reply, entry)) {
        Append(&waiting, entry);
      }
    }
    if (QDVP_TaskShouldEnd(pe)) break;
    // A worker that finishes queues its entry back, which wakes this task for the waiting.
    // The queue is looked at under the TaskIO mutex, which the receive task and the workers
    // take to signal after they queue, so an action queued since the take is not slept past.
    OSV1_GetLock(&pe->TaskIOmutex);
    bool empty;
    {
      OSV1_Guard queue(&anchor->AutoQueueLock);
      empty = anchor->pAutoDispatch == nullptr;
    }
    if (empty && !QDVP_TaskShouldEnd(pe)) {
      QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Automation Server Task waits on TaskIO notification");
      QDV0_ConditionWait(&pe->TaskIOcond, &pe->TaskIOmutex);
    }
    OSV1_ReleaseLock(&pe->TaskIOmutex);
  }
  // The end: no further action is taken from the agent link; every one still waiting is
  // answered, and so is every one the workers finish.
  QDVP_PublishAutomationServer(anchor, nullptr);
  Append(&waiting, QDVP_TakeActionQueue(anchor));
  while (waiting != nullptr) {
    ActionEntry *entry = waiting;
    waiting = entry->pQueueNext;
    entry->pQueueNext = nullptr;
    if (entry->WorkState == QDVP_ACTION_TO_PERFORM) {
      SetShutdownResult(entry);
      AnswerAndRelease(anchor, pe, reply, entry, QDVP_ACTION_STATUS_NO_WORKER);
    } else {
      QDVP_ReleaseActionEntry(entry);
    }
  }
  if (EndWorkers(anchor, pe)) {
    // What the workers finished last came back while no server was published.
    for (ActionEntry *entry = QDVP_TakeActionQueue(anchor); entry != nullptr;) {
      ActionEntry *next = entry->pQueueNext;
      QDVP_ReleaseActionEntry(entry);
      entry = next;
    }
    QDVP_FreeActionEntries(anchor);
  }
  QDVP_FreeActionReplySource(anchor, pe, reply);
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Automation Server process ended. Thread: %X",
           pe->ThreadID.load());
  QDVP_EndTask(anchor, pe);
}
