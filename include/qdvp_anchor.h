// The anchor block (DPAB), process entries and the data provider types.
//
// Flags that tasks read without a lock are atomics; everything else in the records below is a
// plain field guarded by the lock named beside it.
//
// One anchor roots all state of a running data provider. It is published once in Main_DPAB
// before any task starts and is reachable from every task through its process entry. Each
// list that hangs from the anchor is guarded by its own lock, named beside it below.
//
// Lock order, where more than one is held:
//   ProcessListLock -> a process entry's UnchainLock (release of an entry)
//   ProcessListLock -> StateMutex (ActiveTasks changes under both)
//   ProcessListLock -> a process entry's TaskIOmutex (termination signals)
//   ApplListLock -> an application's table-list lock -> source and attribute locks
//   a process entry's WorkQueueLock is held alone, only while an item is linked to its work queue.
//   SelectLock -> ApplListLock and the data model's locks (qdvp_model.h) -> IOEListLock ->
//     ProcessListLock (the console's DELETE and REFRESH hold the select lock while they
//     delete, load again and start the file server)
//   ConsoleBlock::Mutex -> ConsoleBlock::EntryLock (qdvp_console.h); neither is held while a
//     console command runs.
//   Agent link (include/qdvp_dchcomm.h): a source's EntryLock -> DCHcomm::LinkLock -> StatusMutex;
//   WaitQueueLock, DCHqueueLock and DPlogQueueLock are each held alone.
//   Record processing (include/qdvp_records.h): a routing block's Lock -> a source's AttrLock
//     -> its CopyLock -> StatLock (a borrowed pStatPE); a source's AttrLock -> its summary
//     block's Lock -> the summary sort lock. IRBLock is never held while a record is routed.
// The TaskIO mutex of an entry is held only around its condition wait (and by a creator
// between thread start and its startup wait); producers signal without holding it.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include <atomic>

#include "osv1.h"

struct ApplEntry;
struct SourceEntry;
struct IOEntry;
struct IRBlock;
struct OMBlock;
struct ActionEntry;
struct WorkerEntry;
struct StatBlock;
struct ConsoleBlock;
struct MemMetafile;
struct DCHcomm;
struct TrapDest;
struct ProcessEntry;
struct DPAB;

// The data provider types. Only 0 to 8 pass the entry check.
enum DPtype {
  QDVP_TYPE_APIS = 0,
  QDVP_TYPE_FILE = 1,
  QDVP_TYPE_SOCK = 2,
  QDVP_TYPE_ASFS = 3,
  QDVP_TYPE_POST = 4,
  QDVP_TYPE_SNMP = 5,
  QDVP_TYPE_APPC = 6,
  QDVP_TYPE_ODBC = 7,
  QDVP_TYPE_HTTP = 8,
  QDVP_TYPE_MAX = 8,
  QDVP_COMMON_TASK = -1,
};
extern const char *const DPtypeString[13];

// Base port numbers; each is added to the product's port offset (item 23).
enum {
  QDVP_BASE_PORT_SOCKET = 7500,
  QDVP_BASE_PORT_API = 7600,
  QDVP_BASE_PORT_CONSOLE = 7700,
  QDVP_BASE_PORT_METASERVER = 7800,
  QDVP_POST_PORT = 7575,
  QDVP_API_UDP_BUFFER_SIZE = 1600,
  QDVP_API_REPLY_BUFFER_SIZE = 1600,
  QDVP_SHUTDOWN_WAIT_SECONDS = 180,
  QDVP_SHUTDOWN_STEP_SECONDS = 5,
};

typedef void (*QDVP_TASK_ROUTINE)(ProcessEntry *);

// An item queued to a task's work queue; each Part's item starts with this link.
struct WorkItem {
  WorkItem *pNext;
};

// Transport operations, in slot order: wait for the DCH, handle a disconnect, receive, send.
struct DSFT {
  int (*WaitDCHcomeOnline)(DCHcomm *);
  int (*HandleDCHdisconnect)(DCHcomm *);
  int (*DCHreceive)(DCHcomm *, void *buffer, int length, int *error);
  int (*DCHsend)(DCHcomm *, const void *buffer, int length, int *error);
};
extern const DSFT TCPIP_DSFT;
extern const DSFT RPC_DSFT;

// Guards the anchor's default trap destinations (snmp/qdvpemit.cpp).
extern OSV1_LOCK QDVP_TrapDestLock;

// A task's identity and mailbox.
struct ProcessEntry {
  // Locks, made with the entry and destroyed with it.
  OSV1_LOCK TaskIOmutex;      // "TaskIO notification": pairs with TaskIOcond; WakeFd
  OSV1_LOCK WorkQueueLock;    // the links of the work queue
  OSV1_LOCK RequestLock;      // held by a requester for its whole DCH request and wait: keeps
                              // two callers that share the entry (the borrowed pStatPE) apart
  OSV1_LOCK UnchainLock;      // held while the entry is unchained at its release
  pthread_cond_t TaskIOcond;  // signalled, under TaskIOmutex, to wake the task

  // Constant after QDVP_CreateProcess: the anchor, the routine, its parameter and the type.
  DPAB *pDPAB;
  QDVP_TASK_ROUTINE pRoutine;
  void *pParm;
  int DPtype;  // type of a type's server, -1 for the common tasks

  // Under the anchor's ProcessListLock (pProcessList's mark): the chain link.
  ProcessEntry *pNext;

  // Items queued to the task: linked under WorkQueueLock; the task may look at the head
  // without it (the atomic), to decide whether to wait.
  std::atomic<WorkItem *> pWorkQueue;
  std::atomic<uint32_t> ThreadID;  // OSV1_ThreadID() of the task, set by the task at its start
  std::atomic<int> Terminate;      // 1: asked to end (or startup failed, for a startup wait)
  // An eventfd that QDVP_SignalTaskIO also writes while a task waits with QDVP_WaitTaskIOorFD
  // (a file server that also watches its directory); -1 until then. Closed when the entry is
  // freed.
  int WakeFd QDVP_GUARDED_BY(TaskIOmutex) = -1;
};

// The metafile input's in-memory metafile block, rooted at the anchor (pMemMetafile): the
// orderly shutdown wakes pPE, the task waiting for a remote metafile. Its use is described in
// qdvp_metafile.h.
struct MetaRecordNode;
struct MemMetafile {
  // Held by a remote retrieval from its request until its records are read (or the metafile
  // closed): one retrieval at a time. Held across the wait for the metafile server's answer.
  OSV1_LOCK Lock;
  // The hand-over between the retrieving task and the metafile server client task, under the
  // client task's TaskIOmutex: the waiting task, the requested name (the caller's text) and
  // the transfer's status (0 done, -4 created for in-memory, -5 borrowed).
  ProcessEntry *pPE;
  const char *pName;
  int Status;
  ProcessEntry *pClientPE;  // the metafile server client task; set and cleared under Lock
  // The records, written by the client task while the retrieving task waits, then read by the
  // retrieving task alone (under Lock, across calls).
  int RecordCount;
  MetaRecordNode *pHead;
};

// The anchor block.
struct DPAB {
  // The twenty locks, set up at startup in this order; the order in which they are taken is
  // the table at the top of this header.
  OSV1_LOCK ApplListLock;
  OSV1_LOCK IOEListLock;
  OSV1_LOCK ApplIOLock[4];  // the I/O entry lists of kind A, B, F, S (pIOEList[1..4])
  OSV1_LOCK ProcessListLock;
  OSV1_LOCK DCHqueueLock;
  OSV1_LOCK ActionListLock;
  OSV1_LOCK WorkerListLock;
  OSV1_LOCK WaitQueueLock;
  OSV1_LOCK AutoQueueLock;
  OSV1_LOCK SNMPnodeLock;  // the SNMP agent node list (snmp/)
  OSV1_LOCK SelectLock;    // the select of the socket and API servers (qdvp_sockets.h)
  OSV1_LOCK IRBLock;
  OSV1_LOCK OMBLock;
  OSV1_LOCK StatLock;  // held by a caller without a task of its own for its whole DCH request
                       // made on the borrowed pStatPE
  OSV1_LOCK DPlogQueueLock;
  OSV1_LOCK HTTPupdateLock;    // the URL rows (http/)
  OSV1_LOCK ObjectUpdateLock;  // the URL object rows (http/)
  // Broadcast whenever a task is released or a shutdown is requested, so that the orderly
  // shutdown and the waiting host thread wake at once instead of sleeping out their step.
  OSV1_LOCK StateMutex;
  pthread_cond_t StateCond;

  // Constant after startup initialization (written before Main_DPAB is published and the
  // first task starts, freed with the anchor).
  const DSFT *pDSFT;  // transport operations
  void *pReserved;
  ProcessEntry *pStatPE;  // made at startup, never chained; its users hold StatLock
  StatBlock *pStatBlock;
  time_t StartTime;
  char *pInitConfigFile;
  char *pActionLogFile;
  char *pMetaPath;
  char *pAPIudpBuffer;  // QDVP_API_UDP_BUFFER_SIZE bytes, or null
  char TransportType;   // 'I' or 'R'
  int DPtype;
  int StandAlone;
  int TZoffset;  // local time minus GMT, whole hours
  // Not used by this data provider (the network management and node list servers).
  void *pNetMgmtServer;
  void *pNodeListServer;
  void *pNetworkNodeList;
  long SNMPmonitorSpec[8];
  long DPlogReport[3];

  // Under ApplListLock.
  ApplEntry *pApplList QDVP_GUARDED_BY(ApplListLock);
  // pIOEList[0], every I/O entry, is under IOEListLock and pIOEList[k] under ApplIOLock[k-1]:
  // one lock per element, which the compiler cannot check (the walks are in
  // metafile/qdvpiioe.cpp, sockets/ and the scan's file wake-up).
  IOEntry *pIOEList[5];
  // Under ProcessListLock; ActiveTasks, tasks created and not yet released, changes under
  // ProcessListLock and StateMutex together and is read under StateMutex.
  ProcessEntry *pProcessList QDVP_GUARDED_BY(ProcessListLock);
  int ActiveTasks QDVP_GUARDED_BY(StateMutex);
  // Sources queued while no client runs (DCHqueueLock), and the delayed offline queue
  // (WaitQueueLock).
  SourceEntry *pDCHqueue QDVP_GUARDED_BY(DCHqueueLock);
  SourceEntry *pWaitQueue QDVP_GUARDED_BY(WaitQueueLock);
  // The action entry pool (ActionListLock) and the workers (WorkerListLock).
  ActionEntry *pActionList QDVP_GUARDED_BY(ActionListLock);
  WorkerEntry *pWorkerList QDVP_GUARDED_BY(WorkerListLock);
  // Under AutoQueueLock: actions received before the automation server runs, its dispatch
  // queue and its process entry, published with the queue.
  ActionEntry *pAutoQueue QDVP_GUARDED_BY(AutoQueueLock);
  ActionEntry *pAutoDispatch QDVP_GUARDED_BY(AutoQueueLock);
  void *pAutoServer QDVP_GUARDED_BY(AutoQueueLock);
  IRBlock *pIRBList QDVP_GUARDED_BY(IRBLock);  // internal routing blocks
  OMBlock *pOMBList QDVP_GUARDED_BY(OMBLock);  // ODBC blocks
  WorkItem *pDPlogQueueHead QDVP_GUARDED_BY(DPlogQueueLock);
  WorkItem *pDPlogQueueTail QDVP_GUARDED_BY(DPlogQueueLock);
  // The default trap destinations (snmp/qdvpemit.cpp), replaced by TRAPCNFG.
  TrapDest *pTrapDest QDVP_GUARDED_BY(QDVP_TrapDestLock);
  int TrapDestCount QDVP_GUARDED_BY(QDVP_TrapDestLock);

  // Published by the task that owns the block when it runs and cleared when it ends; read by
  // other tasks without a lock.
  std::atomic<ProcessEntry *> pDCHclientPE;  // the DCH client task's entry
  std::atomic<struct DCHoutbox *> pOutbox;   // rows producers built for the client (agentlink)
  std::atomic<DCHcomm *> pDCHcomm;           // the client's connection block
  std::atomic<void *> pDPlogServer;
  std::atomic<SourceEntry *> pDPlogSource;   // the DP log report's source
  std::atomic<SourceEntry *> pActionSource;  // the ACTION table's source (one row per action)
  std::atomic<ConsoleBlock *> pConsoleBlock;
  std::atomic<int> ShutdownRequested;
  std::atomic<int> MetaServerMark;
  std::atomic<int> SocketServerMark;
  std::atomic<int> DPlogReady;
  std::atomic<int> BatchLogOpen;
  std::atomic<MemMetafile *> pMemMetafile;  // made by the first in-memory or remote metafile
  std::atomic<void *> pHTTPmanager;         // the URL manager task's entry (http/)
  std::atomic<void *> pURLmanager;          // its URL management block

  // One task's own: the URL applications (the URL manager task), the start-up configuration
  // mark (the start-up), and the client API server's reply, built in one buffer that only the
  // API server task uses: allocated with QDVP_API_REPLY_BUFFER_SIZE bytes at its first reply,
  // made larger for a reply that does not fit (and kept at that size), freed with the anchor.
  ApplEntry *pHTTPappl;
  ApplEntry *pObjectAppl;
  int StartupConfigMark;
  char *pReplyBuffer;
  int ReplyBufferSize;
};

extern "C" DPAB *Main_DPAB;  // exported: the anchor of the running data provider
extern int DPpgmStart;
extern int QDVP_ThreadRC;
extern char *QDV_Agent_Geographic_Location;
extern int QDVP_DEBUG_MIBMGR;
extern int QDVP_DEBUG_MIBIO;
extern int QDVP_DEBUG_Network;
extern const char QDVP_RELEASE_ID[];
