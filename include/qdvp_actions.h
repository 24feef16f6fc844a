// Take actions: the action entry that a provide-action request of the agent becomes, the worker
// entry of the task that carries it out, and the calls between the agent link, the automation
// server, its workers and the API server that hands remote actions to a client.
//
// The locks of the records below and their order: the table in include/qdvp_anchor.h. An
// entry joins or leaves a source's request queue only under ActionListLock and the source's
// SourceLock, so that a task holding ActionListLock knows whether the source is still referred
// to; an entry's Mutex carries only the hand-over between a worker and the API server task (the
// worker waits on Cond for the client's result) and is held around that wait alone.
//
// Lifetimes (docs/architecture.md, "Lifetimes"): an entry is in one task's hands at a time
// (the receive task that fills it, the automation server, a worker, the server again), passed
// on through the queues; the API server reaches the entries of a source's request queue only
// under ActionListLock and the source's SourceLock. Only the automation server gives an entry
// back to the pool (QDVP_ReleaseActionEntry), once its worker has handed it back, and entries
// are freed only at the server's end with no worker left; an entry still in use then is left
// to the end of the process. Entries in the pool are never freed, so a walk of the pool under
// ActionListLock needs no check of its pointers.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include <atomic>

#include "osv1.h"
#include "qdvp_agentlink.h"
#include "qdvp_anchor.h"
#include "qdvp_dchcomm.h"

struct SourceEntry;
struct WorkerEntry;
struct DCHcomm;

// Action types (QDVP_ACTION_SITUATION, _RULE, _SNMP) are those of the agent link's
// provide-action request, qdvp_agentlink.h; their names are AutoTypeString's.

// Action statuses returned to the agent; a negative value is the negated exit status of a
// command. QDVP_ACTION_STATUS_TIMEOUT is ours: a command ended because it ran past
// QDVP_ACTION_TIMEOUT.
enum : int32_t {
  QDVP_ACTION_STATUS_DONE = 0,
  QDVP_ACTION_STATUS_NO_SHELL = 2,
  QDVP_ACTION_STATUS_MISSING_FIELDS = 3,
  QDVP_ACTION_STATUS_NO_WORKER = 4,
  QDVP_ACTION_STATUS_SOURCE_OFFLINE = 8,
  QDVP_ACTION_STATUS_TIMEOUT = 12,
  QDVP_ACTION_STATUS_NO_TRAP_DESTINATION = 14,
  QDVP_ACTION_STATUS_TRAP_SEND_FAILED = 15,
};

// Remote states of an action handed to an API client.
enum : int {
  QDVP_REMOTE_NONE = 0,
  QDVP_REMOTE_QUEUED = 1,     // on the source's request queue, not yet asked for
  QDVP_REMOTE_DELIVERED = 2,  // sent to the client as a RCVREQ reply
  QDVP_REMOTE_WAITING = 4,    // the worker waits for the client's RESULT
  QDVP_REMOTE_POSTED = 5,     // the result is in
};

// Work states.
enum : int { QDVP_ACTION_TO_PERFORM = 0, QDVP_ACTION_DONE = 1 };

// The five fields a provide-action request must carry (the parameter is optional).
constexpr int QDVP_ACTION_REQUIRED_FIELDS = 5;

// One take action, pooled in the anchor's pActionList and reused.
struct ActionEntry {
  char EyeCatcher;         // 'A', constant
  std::atomic<int> InUse;  // taken from the pool (under ActionListLock), given back by the
                           // automation server
  // The result (Lock), then the hand-over to a client (Mutex, with Cond); their place in the
  // order: include/qdvp_anchor.h.
  OSV1_LOCK Mutex QDVP_ACQUIRED_AFTER(ActionEntry::Lock) QDVP_ACQUIRED_BEFORE(DCHcomm::LinkLock);
  OSV1_COND Cond;  // with Mutex: the worker waits for its client's result
  OSV1_LOCK Lock QDVP_ACQUIRED_AFTER(SMBlock::Lock) QDVP_ACQUIRED_BEFORE(ActionEntry::Mutex);
  // the texts and result while the receive task fills them, and
  // while the DCH client sends the result

  // Under the anchor's locks (which a field of the entry cannot name for the compiler).
  ActionEntry *pNext;          // the pool (ActionListLock)
  ActionEntry *pQueueNext;     // a dispatch queue (AutoQueueLock)
  ActionEntry *pSourceNext;    // the request queue of its source (ActionListLock and SourceLock)
  SourceEntry *pRemoteSource;  // the source whose request queue holds it, or null (the same)

  // The task's that has the entry in hand (see Lifetimes above): filled by the receive task
  // before it is queued, the status and result by the worker (or by the API server while the
  // worker waits for it, the hand-over being under Mutex).
  int FieldsReceived;
  WorkerEntry *pWorker;  // set and cleared by the automation server
  int WorkState;
  int32_t Type;
  char *pSourceNodeName;
  int32_t Status;
  uint32_t ID;
  char *pOwner;  // "_POLNAME_" marks a policy action
  char *pName;
  char *pParm;  // may be null
  char *pResult;
  int ResultLength;
  char *pRequestText;  // the text handed to the client
  time_t DeliveredTime;
  time_t ResultTime;

  // Under Mutex.
  int RemoteState QDVP_GUARDED_BY(Mutex);
};

// Worker statuses.
enum : int {
  QDVP_WORKER_STARTING = 0,
  QDVP_WORKER_IDLE = 1,
  QDVP_WORKER_DISPATCHED = 2,
  QDVP_WORKER_WORKING = 3,
  QDVP_WORKER_SHUTDOWN = 5,
};

// One worker task, chained to the anchor's pWorkerList (WorkerListLock).
struct WorkerEntry {
  WorkerEntry *pNext;  // under the anchor's WorkerListLock
  DPAB *pDPAB;         // constant
  std::atomic<int> Status;
  int32_t Type;               // constant
  int LogFlag;                // write the DP log's action messages (set when it is dispatched)
  ProcessEntry *pPE;          // the worker's own, set as it starts
  SourceEntry *pReplySource;  // the worker's own: carries its actions' statuses to the agent
  OSV1_LOCK Mutex QDVP_ACQUIRED_AFTER(WorkerEntry::Lock)
      QDVP_ACQUIRED_BEFORE(ProcessEntry::RequestLock);
  OSV1_COND Cond;  // with Mutex: the hand-over of an action
  OSV1_LOCK Lock QDVP_ACQUIRED_AFTER(DPAB::WorkerListLock) QDVP_ACQUIRED_BEFORE(WorkerEntry::Mutex);
  ActionEntry *pAction QDVP_GUARDED_BY(Mutex);  // the action in hand
};

// The pool and the queues (agentlink/qdvpaent.cpp). The receive task of the agent link makes
// an entry of each provide-action request and queues it to the automation server; the server
// takes the queue whole and releases entries once done.
ActionEntry *QDVP_AllocateActionEntry(DPAB *);
int QDVP_EnqueueActionToServer(DPAB *, ActionEntry *);
void QDVP_ReleaseActionEntry(ActionEntry *);
// The automation server's side: publishes (or withdraws, with null) the server's entry, which
// moves the actions received meanwhile onto the dispatch queue; takes the whole dispatch queue.
void QDVP_PublishAutomationServer(DPAB *, ProcessEntry *server);
ActionEntry *QDVP_TakeActionQueue(DPAB *);
// Frees every entry of the pool (the automation server's end, once no worker holds one).
void QDVP_FreeActionEntries(DPAB *);

// The status, or the status and result, of an action to the agent (agentlink/qdvpaent.cpp).
// Sent by the DCH client task for a reply source in the Reply state, and repeated while the
// agent answers with status 7; others call QDVP_ReplyActionToDCH, which queues the reply
// source and waits, so that the link carries one request at a time.
int QDVP_SendProvideActionStatus(DCHcomm *, uint32_t id, int32_t status);
int QDVP_SendProvideActionResult(DCHcomm *, ActionEntry *);
void QDVP_SendActionReply(DCHcomm *, SourceEntry *replySource);
// A source of no table that carries a task's action replies, and its release.
SourceEntry *QDVP_NewActionReplySource(DPAB *);
void QDVP_FreeActionReplySource(DPAB *, ProcessEntry *requester, SourceEntry *replySource);
// Sends the entry's status (and result) to the agent through replySource and waits for the
// agent's answer; returns 1 when the agent took it.
int QDVP_ReplyActionToDCH(DPAB *, ProcessEntry *requester, SourceEntry *replySource, ActionEntry *);

// The automation server and its workers (actions/).
extern const char *const AutoTypeString[5];
enum { QDVP_ACTION_RESULT_TEXT_COUNT = 38 };
extern const char *const ActionResultText[QDVP_ACTION_RESULT_TEXT_COUNT];
void QDVP_AutomationServer(ProcessEntry *);
WorkerEntry *QDVP_AllocateActionWorkerTask(DPAB *, int32_t type, int logFlag);
void QDVP_ActionWorkerTask(ProcessEntry *);
// The life of every action worker task (actions/qdvpawkt.cpp): it waits for the action the
// automation server hands it, has handle carry it out (and answer it), marks it done and gives
// it back, until it is told to stop; then it unchains and frees its worker entry.
void QDVP_RunActionWorker(ProcessEntry *pe, void (*handle)(WorkerEntry *, ActionEntry *));
void QDVP_SetActionResultText(ActionEntry *, int code);
// A DP_CONFIG action: adds or removes a URL, a managed node or a network server; the status is 0
// or -1 and the result text says why it failed.
void QDVP_ScheduleDPconfigurationRequest(DPAB *anchor, ActionEntry *entry);
// A rule (RULESTART, RULESTOP) on a source of URL monitoring's Managed_URL table; false when the
// source or the name is none of URL monitoring's.
bool QDVP_PerformURLrule(DPAB *anchor, SourceEntry *source, ActionEntry *entry);
int QDVP_CheckDuplicateActiveAction(DPAB *, ActionEntry *);
int QDVP_CheckIsLocalAction(SourceEntry *, ActionEntry *);
ActionEntry *QDVP_LocateStartActionByID(DPAB *, uint32_t id, const char *owner);
// Writes the action's row of the ACTION table (sent with requester waiting) and its line of
// the action log (actions/qdvpalog.cpp); any task, one at a time.
void QDVP_RecordActionOutcome(DPAB *, ProcessEntry *requester, ActionEntry *);
