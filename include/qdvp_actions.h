// Take actions: the action entry that a provide-action request of the agent becomes, the worker
// entry of the task that carries it out, and the calls between the agent link, the automation
// server, its workers and the API server that hands remote actions to a client.
//
// Lock order, where more than one is held:
//   ActionListLock (the entry pool) is held alone while an entry is taken or returned;
//   AutoQueueLock (the dispatch and wait queues) is held alone;
//   WorkerListLock -> a worker's Lock;
//   a source's SourceLock (its request queue) -> an action entry's Lock, or its Mutex (the API
//   server reads and changes RemoteState while it walks the queue);
//   an action entry's Mutex carries only the hand-over between a worker and the API server task
//   (the worker waits on Cond for the client's result) and is held around that wait alone.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include <atomic>

#include "osv1.h"
#include "qdvp_anchor.h"

struct SourceEntry;
struct WorkerEntry;

// Action types, with the names of AutoTypeString.
enum : int32_t {
  QDVP_ACTION_SITUATION = 1,  // situation or policy action; its status and result go to the agent
  QDVP_ACTION_RULE = 2,
  QDVP_ACTION_SNMP = 3,
};

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
  char EyeCatcher;             // 'A'
  ActionEntry *pNext;          // the anchor's list (ActionListLock)
  ActionEntry *pQueueNext;     // a dispatch queue (AutoQueueLock)
  ActionEntry *pSourceNext;    // the request queue of the source it is for (SourceLock)
  int FieldsReceived;
  WorkerEntry *pWorker;
  int WorkState;
  std::atomic<int> InUse;
  int32_t Type;
  char *pSourceNodeName;
  int32_t Status;
  uint32_t ID;
  char *pOwner;                // "_POLNAME_" marks a policy action
  char *pName;
  char *pParm;                 // may be null
  char *pResult;
  int ResultLength;
  int RemoteState;             // under the entry's Mutex
  char *pRequestText;          // the text handed to the client
  time_t DeliveredTime;
  time_t ResultTime;
  OSV1_LOCK Mutex;
  pthread_cond_t Cond;
  OSV1_LOCK Lock;
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
  WorkerEntry *pNext;
  DPAB *pDPAB;
  std::atomic<int> Status;
  int32_t Type;
  ActionEntry *pAction;        // the action in hand (under Mutex)
  int LogFlag;                 // write the DP log's action messages
  ProcessEntry *pPE;
  SourceEntry *pReplySource;   // carries a situation action's status and result to the agent
  OSV1_LOCK Mutex;
  pthread_cond_t Cond;
  OSV1_LOCK Lock;
};

// The pool, filled by the agent link's receive task and emptied by the automation server
// (agentlink/qdvpaent.cpp).
ActionEntry *QDVP_AllocateActionEntry(DPAB *);
int QDVP_EnqueueActionToServer(DPAB *, ActionEntry *);
void QDVP_ReleaseActionEntry(ActionEntry *);

// The status, or the status and result, of an action to the agent (agentlink/qdvpaent.cpp):
// sent on the agent link and repeated while the agent answers with status 7.
int QDVP_SendProvideActionStatus(DPAB *, uint32_t id, int32_t status);
int QDVP_SendProvideActionResult(DPAB *, ActionEntry *);
