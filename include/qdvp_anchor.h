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

// A task's identity and mailbox.
struct ProcessEntry {
  ProcessEntry *pNext;          // next entry in the anchor's chain, guarded by ProcessListLock
  DPAB *pDPAB;                  // owning anchor
  // Items queued to the task, linked under WorkQueueLock; the task may look at the head without
  // it.
  std::atomic<WorkItem *> pWorkQueue;
  QDVP_TASK_ROUTINE pRoutine;   // the task routine
  void *pParm;                  // task-specific parameter
  OSV1_LOCK TaskIOmutex;  // "TaskIO notification" mutex
  OSV1_COND TaskIOcond;    // signalled to wake the task
  OSV1_LOCK WorkQueueLock;    // guards pWorkQueue
  OSV1_LOCK RequestLock;      // held by the task while it waits for a DCH request of its own
                              // (the DCH client: while it waits for work)
  OSV1_LOCK TerminationLock;  // held by a file server for its whole life
  OSV1_LOCK UnchainLock;      // held while the entry is unchained
  std::atomic<uint32_t> ThreadID;  // OSV1_ThreadID() of the task, set by the task at its start
  int DPtype;                   // type of a type's server, -1 for the common tasks
  std::atomic<int> Terminate;   // 1: asked to end (or startup failed, for a startup wait)
  // An eventfd that QDVP_SignalTaskIO also writes while a task waits with QDVP_WaitTaskIOorFD
  // (a file server that also watches its directory); -1 until then. Set and written under
  // TaskIOmutex, closed when the entry is freed.
  int WakeFd = -1;
};

// The metafile input's in-memory metafile block, rooted at the anchor (pMemMetafile): the
// orderly shutdown wakes pPE, the task waiting for a remote metafile. Its use is described in
// qdvp_metafile.h.
struct MetaRecordNode;
struct MemMetafile {
  ProcessEntry *pPE;        // the task waiting for a remote metafile
  OSV1_LOCK Lock;           // held by a remote retrieval until its records are read
  ProcessEntry *pClientPE;  // the metafile server client task
  const char *pName;        // requested name (the caller's text)
  int RecordCount;          // records not yet read
  int Status;               // 0 transfer done, -4 created for in-memory, -5 borrowed
  MetaRecordNode *pHead;
};

// The anchor block.
struct DPAB {
  const DSFT *pDSFT;  // transport operations
  void *pReserved;

  // The twenty locks, set up at startup in this order.
  OSV1_LOCK ApplListLock;      // pApplList
  OSV1_LOCK IOEListLock;       // pIOEList
  OSV1_LOCK ApplIOLock[4];     // application and I/O entry code
  OSV1_LOCK ProcessListLock;   // pProcessList, ActiveTasks
  OSV1_LOCK DCHqueueLock;      // pDCHqueue
  OSV1_LOCK ActionListLock;    // pActionList
  OSV1_LOCK WorkerListLock;    // pWorkerList
  OSV1_LOCK WaitQueueLock;     // pWaitQueue (delayed offline)
  OSV1_LOCK AutoQueueLock;     // pAutoQueue, pAutoDispatch, pAutoServer
  OSV1_LOCK SNMPnodeLock;      // SNMP agent node list
  OSV1_LOCK SelectLock;        // select of the socket and API servers
  OSV1_LOCK IRBLock;           // pIRBList
  OSV1_LOCK OMBLock;           // pOMBList
  OSV1_LOCK StatLock;          // users of pStatPE and pStatBlock
  OSV1_LOCK DPlogQueueLock;    // pDPlogQueueHead/Tail
  OSV1_LOCK HTTPupdateLock;    // HTTP update
  OSV1_LOCK ObjectUpdateLock;  // object update

  IRBlock *pIRBList;           // internal routing blocks
  ApplEntry *pApplList QDVP_GUARDED_BY(ApplListLock);  // applications
  IOEntry *pIOEList[5];        // I/O entry lists
  ProcessEntry *pStatPE;       // made at startup, never chained
  ProcessEntry *pProcessList QDVP_GUARDED_BY(ProcessListLock);  // running tasks
  std::atomic<ProcessEntry *> pDCHclientPE;  // the DCH client task's entry
  std::atomic<struct DCHoutbox *> pOutbox;   // rows producers built for the client (agentlink)

  // Server blocks, set by each task when it runs; the automation server's process entry is
  // published under AutoQueueLock, with its dispatch queue.
  void *pAutoServer;
  void *pNetMgmtServer;
  std::atomic<void *> pDPlogServer;
  void *pNodeListServer;
  void *pHTTPmanager;

  SourceEntry *pDCHqueue QDVP_GUARDED_BY(DCHqueueLock);  // sources queued while no client runs
  SourceEntry *pDPlogSource;   // the DP log report's source
  SourceEntry *pActionSource;  // the ACTION table's source (one row per take action)
  SourceEntry *pWaitQueue QDVP_GUARDED_BY(WaitQueueLock);  // delayed offline queue
  long SNMPmonitorSpec[8];
  ApplEntry *pHTTPappl;
  ApplEntry *pObjectAppl;
  ActionEntry *pActionList;
  WorkerEntry *pWorkerList;
  long DPlogReport[3];
  OMBlock *pOMBList;
  StatBlock *pStatBlock;
  ConsoleBlock *pConsoleBlock;
  MemMetafile *pMemMetafile;
  DCHcomm *pDCHcomm;
  void *pNetworkNodeList;
  void *pURLmanager;

  time_t StartTime;
  char *pInitConfigFile;
  char *pActionLogFile;
  char *pMetaPath;
  char *pAPIudpBuffer;         // QDVP_API_UDP_BUFFER_SIZE bytes, or null
  // The client API server's reply, built in one buffer that only the API server task uses:
  // allocated with QDVP_API_REPLY_BUFFER_SIZE bytes at its first reply, made larger for a reply
  // that does not fit (and kept at that size), freed when the server ends.
  char *pReplyBuffer;
  int ReplyBufferSize;
  char TransportType;          // 'I' or 'R'
  int ActiveTasks;             // tasks created and not yet released; changed under
                               // ProcessListLock and StateMutex together
  std::atomic<int> ShutdownRequested;
  int DPtype;
  std::atomic<int> MetaServerMark;
  std::atomic<int> SocketServerMark;
  std::atomic<int> DPlogReady;
  int StartupConfigMark;
  int StandAlone;
  int TZoffset;                // local time minus GMT, whole hours
  int BatchLogOpen;
  ActionEntry *pAutoQueue;     // actions received before the automation server runs
  ActionEntry *pAutoDispatch;  // the automation server's dispatch queue
  WorkItem *pDPlogQueueHead;
  WorkItem *pDPlogQueueTail;
  TrapDest *pTrapDest;
  int TrapDestCount;

  // Broadcast whenever a task is released or a shutdown is requested, so that the orderly
  // shutdown and the waiting host thread wake at once instead of sleeping out their step.
  OSV1_LOCK StateMutex;
  OSV1_COND StateCond;
};

extern "C" DPAB *Main_DPAB;  // exported: the anchor of the running data provider
extern int DPpgmStart;
extern int QDVP_ThreadRC;
extern char *QDV_Agent_Geographic_Location;
extern int QDVP_DEBUG_MIBMGR;
extern int QDVP_DEBUG_MIBIO;
extern int QDVP_DEBUG_Network;
extern const char QDVP_RELEASE_ID[];
