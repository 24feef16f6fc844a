// Action workers: the tasks that carry out take actions, one action at a time, by type.
//
// A worker is made when the automation server has an action of a type and no idle worker of
// that type; it stays, idle, for the next one, and ends when the server ends. Each action is
// performed locally (a command through the shell, a console command) or handed to the API
// client that accepts requests for the action's source, whose result the worker waits for.
// Every action the worker takes gets a status back to the agent, with its result text when
// it has one, and its row in the ACTION table; then the entry goes back to the server, which
// releases it.
//
// The worker waits for work on its Cond under its Mutex; the server puts an action in its
// hand (pAction) and signals under the same Mutex, so the hand-over cannot be missed.
//
// The source an action is for is held while the worker uses it (found and held under the
// application list lock): handed to its client and waited for, or given to a URL rule. An
// action that does not use its source (a command, a console command, a trap, a configuration
// request) lets go of it first, so that a console DELETE it carries does not wait for itself.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_actions.h"
#include "../include/qdvp_console.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_dplog.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_snmp.h"
#include "../include/qdvp_sockets.h"
#include "qdvpexec.h"

static TRK1_BLOCK trk = {"qdvpawkt"};

const char *const AutoTypeString[5] = {" ", "Situation/Policy", "Rule", "SNMP", " "};

const char *const ActionResultText[QDVP_ACTION_RESULT_TEXT_COUNT] = {
    " ",
    " ",
    " ",
    " ",
    " ",
    " ",
    " ",
    " ",
    " ",
    "Request syntax error",      // 9
    "Monitoring never started",  // 10
    " ",
    " ",
    " ",
    " ",
    " ",
    " ",
    " ",
    " ",
    " ",
    "MIB monitor started",                              // 20
    "MIB monitor stopped for requested nodes",          // 21
    "Monitoring scheduled for requested resources",     // 22
    "Monitoring stopped for requested resources",       // 23
    "Network resource address unresolved",              // 24
    "MIB attribute not found",                          // 25
    "MIB attribute not scalar type",                    // 26
    "Agent address invalid or unresolvable",            // 27
    "Set value not specified",                          // 28
    "Set value invalid",                                // 29
    "Numeric SET value expected",                       // 30
    "SET OK",                                           // 31
    "SET value too big",                                // 32
    "SET no such attribute",                            // 33
    "SET value invalid or out-of-range",                // 34
    "SET attribute read only",                          // 35
    "SET attribute Read-Only or agent specific error",  // 36
    "SET agent no response or comm error",              // 37
};

void QDVP_SetActionResultText(ActionEntry *entry, int code) {
  if (code < 0 || code >= QDVP_ACTION_RESULT_TEXT_COUNT) return;
  QDV0_Free(entry->pResult);
  entry->pResult = QDV0_StrDup(ActionResultText[code]);
  entry->ResultLength = entry->pResult != nullptr ? static_cast<int>(strlen(entry->pResult)) : 0;
}

namespace {

const char *Text(const char *text) { return text != nullptr ? text : ""; }

void SetResult(ActionEntry *entry, const char *text) {
  QDV0_Free(entry->pResult);
  entry->pResult = text != nullptr && text[0] != '\0' ? QDV0_StrDup(text) : nullptr;
  entry->ResultLength = entry->pResult != nullptr ? static_cast<int>(strlen(entry->pResult)) : 0;
}

bool Stopping(const WorkerEntry *worker) {
  return worker->Status.load() == QDVP_WORKER_SHUTDOWN || worker->pDPAB->ShutdownRequested;
}

// Hands the action to the client of its source and waits for the outcome: the client's
// result, "No result expected", the end of its session, or no result within the source's wait.
void PerformRemote(WorkerEntry *worker, SourceEntry *source, ActionEntry *entry) {
  int waitSeconds;
  {
    OSV1_Guard hold(&source->SourceLock);
    waitSeconds = source->AcceptWaitSeconds;
  }
  QDVP_QueueActionRequest(worker->pDPAB, source, entry);
  time_t deadline = 0;
  OSV1_GetLock(&entry->Mutex);
  for (;;) {
    int state = entry->RemoteState;
    if (state == QDVP_REMOTE_POSTED) break;
    if (state == QDVP_REMOTE_WAITING && deadline == 0) {
      deadline = QDV0_Time() + (waitSeconds > 0 ? waitSeconds : 60);
    }
    bool late = deadline != 0 && QDV0_Time() >= deadline;
    if (late || Stopping(worker)) {
      OSV1_ReleaseLock(&entry->Mutex);
      QDVP_WithdrawActionRequest(worker->pDPAB, entry);
      OSV1_GetLock(&entry->Mutex);
      if (entry->RemoteState == QDVP_REMOTE_POSTED) break;  // the result came meanwhile
      entry->RemoteState = QDVP_REMOTE_POSTED;
      if (late) {
        SetResult(entry, "No result received in specified time period");
        entry->Status = QDVP_ACTION_STATUS_DONE;
      } else {
        SetResult(entry, "Data provider shutting down");
        entry->Status = QDVP_ACTION_STATUS_SOURCE_OFFLINE;
      }
      break;
    }
    QDV0_ConditionTimedWait(&entry->Cond, &entry->Mutex, 1);
  }
  OSV1_ReleaseLock(&entry->Mutex);
}

// A console command carried by the action's parameter.
void PerformConsoleCommand(DPAB *anchor, ActionEntry *entry) {
  char text[512] = "";
  int rc = QDVP_RunConsoleCommandForAction(anchor, Text(entry->pParm), text, sizeof(text));
  entry->Status = rc;
  SetResult(entry, text);
}

// Carries out an action here; source is held, and let go of before anything that does not use
// it.
void PerformLocal(WorkerEntry *worker, SourceEntry *source, ActionEntry *entry, const char *node) {
  DPAB *anchor = worker->pDPAB;
  const char *name = Text(entry->pName);
  if (entry->Type == QDVP_ACTION_RULE) {
    // Rules start and stop URL monitoring; on any other table they mean nothing.
    bool done = QDVP_PerformURLrule(anchor, source, entry);
    QDVP_LetGoSource(source);
    if (done) return;
    QDVP_TRC(trk, TRK1_ERROR, "*****Error: Received unknown action request <%s> for <%s>", name,
             node);
    entry->Status = 9;
    QDVP_SetActionResultText(entry, 9);
    return;
  }
  QDVP_LetGoSource(source);
  if (strcmp(name, "DP_CONTROL") == 0) {
    PerformConsoleCommand(anchor, entry);
    return;
  }
  if (strcmp(name, "TRAPEMIT") == 0) {
    QDVP_EmitSNMPtrap(anchor, entry);
    return;
  }
  if (strcmp(name, "DP_CONFIG") == 0) {
    QDVP_ScheduleDPconfigurationRequest(anchor, entry);
    return;
  }
  if (worker->LogFlag) {
    QDVP_SendDPlogMessage(anchor, 62, AutoTypeString[entry->Type], Text(entry->pOwner), name,
                          entry->pParm != nullptr ? entry->pParm : "NONE", "DP");
  }
  QDVP_ExecuteActionCommand(entry);
}

// Carries out one action and leaves its status and result in the entry.
void Perform(WorkerEntry *worker, ActionEntry *entry) {
  DPAB *anchor = worker->pDPAB;
  const char *node = Text(entry->pSourceNodeName);
  if (entry->FieldsReceived < QDVP_ACTION_REQUIRED_FIELDS) {
    QDVP_TRC(trk, TRK1_ERROR, "*****Error: not all required action fields received. Action failed");
    entry->Status = QDVP_ACTION_STATUS_MISSING_FIELDS;
    return;
  }
  SourceEntry *source =
      QDVP_HoldSourceBySubNode(anchor, node, strcmp(Text(entry->pOwner), "_POLNAME_") == 0);
  if (source == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR,
             "No matching subnode found for ActionName <%s> ActionOwner <%s>. Setting action "
             "status to SOURCE_OFFLINE",
             Text(entry->pName), Text(entry->pOwner));
    QDVP_SendDPlogMessage(anchor, 63, AutoTypeString[entry->Type], Text(entry->pOwner),
                          Text(entry->pName), node);
    entry->Status = QDVP_ACTION_STATUS_SOURCE_OFFLINE;
    return;
  }
  if (!QDVP_CheckIsLocalAction(source, entry)) {
    PerformRemote(worker, source, entry);
    QDVP_LetGoSource(source);
  } else {
    PerformLocal(worker, source, entry, node);  // lets go of the source
  }
  if (!worker->LogFlag) return;
  char status[16];
  snprintf(status, sizeof(status), "%d", entry->Status);
  if (entry->pResult != nullptr) {
    QDVP_SendDPlogMessage(anchor, 61, AutoTypeString[entry->Type], Text(entry->pOwner), status,
                          entry->pResult);
  } else if (entry->Type == QDVP_ACTION_SITUATION) {
    QDVP_SendDPlogMessage(anchor, 60, AutoTypeString[entry->Type], Text(entry->pOwner), status);
  }
}

// Takes the worker off the anchor's list.
void Unchain(WorkerEntry *worker) {
  DPAB *anchor = worker->pDPAB;
  OSV1_Guard list(&anchor->WorkerListLock);
  for (WorkerEntry **link = &anchor->pWorkerList; *link != nullptr; link = &(*link)->pNext) {
    if (*link != worker) continue;
    *link = worker->pNext;
    break;
  }
}

}  // namespace

int QDVP_CheckIsLocalAction(SourceEntry *source, ActionEntry *entry) {
  if (source->InternalReport || source->Kind == 'F') return 1;
  if (strcmp(Text(entry->pName), "DP_CONTROL") == 0) return 1;
  if (source->Kind != 'B' && source->Kind != 'S') return 1;
  OSV1_Guard hold(&source->SourceLock);
  return source->AcceptRequests ? 0 : 1;
}

void QDVP_RunActionWorker(ProcessEntry *pe, void (*handle)(WorkerEntry *, ActionEntry *)) {
  auto *worker = static_cast<WorkerEntry *>(pe->pParm);
  DPAB *anchor = pe->pDPAB;
  pe->ThreadID = OSV1_ThreadID();
  worker->pPE = pe;
  worker->pReplySource = QDVP_NewActionReplySource(anchor);
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Action worker for %s actions started. Thread: %X",
           AutoTypeString[worker->Type], pe->ThreadID.load());
  OSV1_GetLock(&worker->Mutex);
  int starting = QDVP_WORKER_STARTING;
  worker->Status.compare_exchange_strong(starting, QDVP_WORKER_IDLE);
  OSV1_WakeAll(&worker->Cond, &worker->Mutex);
  for (;;) {
    while (worker->pAction == nullptr && worker->Status.load() != QDVP_WORKER_SHUTDOWN) {
      QDV0_ConditionWait(&worker->Cond, &worker->Mutex);
    }
    ActionEntry *entry = worker->pAction;
    if (entry == nullptr) break;  // shutdown with nothing in hand
    int dispatched = QDVP_WORKER_DISPATCHED;
    worker->Status.compare_exchange_strong(dispatched, QDVP_WORKER_WORKING);
    OSV1_ReleaseLock(&worker->Mutex);

    handle(worker, entry);
    entry->WorkState = QDVP_ACTION_DONE;  // the server clears pWorker when it releases it

    OSV1_GetLock(&worker->Mutex);
    worker->pAction = nullptr;
    int working = QDVP_WORKER_WORKING;
    worker->Status.compare_exchange_strong(working, QDVP_WORKER_IDLE);
    QDVP_EnqueueActionToServer(anchor, entry);
  }
  OSV1_ReleaseLock(&worker->Mutex);
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Action worker ended. Thread: %X", pe->ThreadID.load());
  Unchain(worker);
  QDVP_FreeActionReplySource(anchor, pe, worker->pReplySource);
  OSV1_DestroyLock(&worker->Mutex);
  OSV1_DestroyLock(&worker->Lock);
  QDV0_Free(worker);
  QDVP_EndTask(anchor, pe);
}

// A command, console command or client hand-over: carried out, recorded, answered.
static void HandleCommand(WorkerEntry *worker, ActionEntry *entry) {
  Perform(worker, entry);
  QDVP_RecordActionOutcome(worker->pDPAB, worker->pPE, entry);
  QDVP_ReplyActionToDCH(worker->pDPAB, worker->pPE, worker->pReplySource, entry);
}

void QDVP_ActionWorkerTask(ProcessEntry *pe) { QDVP_RunActionWorker(pe, HandleCommand); }

WorkerEntry *QDVP_AllocateActionWorkerTask(DPAB *anchor, int32_t type, int logFlag) {
  {
    OSV1_Guard list(&anchor->WorkerListLock);
    for (WorkerEntry *w = anchor->pWorkerList; w != nullptr; w = w->pNext) {
      int idle = QDVP_WORKER_IDLE;
      if (w->Type == type && w->Status.compare_exchange_strong(idle, QDVP_WORKER_DISPATCHED)) {
        w->LogFlag = logFlag;
        return w;
      }
    }
  }
  auto *worker = QDV0_New<WorkerEntry>();
  if (worker == nullptr) return nullptr;
  worker->pDPAB = anchor;
  worker->Type = type;
  worker->LogFlag = logFlag;
  worker->Status = QDVP_WORKER_STARTING;
  OSV1_InitializeLock(&worker->Mutex);
  OSV1_InitializeLock(&worker->Lock);
  QDVP_TASK_ROUTINE routine =
      type == QDVP_ACTION_SNMP ? QDVP_SNMPWorkerTask : QDVP_ActionWorkerTask;
  if (!QDVP_CreateProcess(anchor, QDVP_COMMON_TASK, worker, routine, 0, nullptr)) {
    QDVP_TRC(trk, TRK1_ERROR, "***** Action Worker task creation failed. Errno %d", errno);
    OSV1_DestroyLock(&worker->Mutex);
    OSV1_DestroyLock(&worker->Lock);
    QDV0_Free(worker);
    return nullptr;
  }
  // The worker is chained once it waits for work, so that the server's signal finds it there.
  OSV1_GetLock(&worker->Mutex);
  while (worker->Status.load() == QDVP_WORKER_STARTING) {
    QDV0_ConditionTimedWait(&worker->Cond, &worker->Mutex, 1);
  }
  worker->Status.store(QDVP_WORKER_DISPATCHED);
  OSV1_ReleaseLock(&worker->Mutex);
  OSV1_Guard list(&anchor->WorkerListLock);
  worker->pNext = anchor->pWorkerList;
  anchor->pWorkerList = worker;
  return worker;
}
