// The anchor block (DPAB), process entries and the data provider types, and the one lock
// order of the data provider.
//
// One anchor roots all state of a running data provider. It is published once in Main_DPAB
// before any task starts and is reachable from every task through its process entry. Each
// list that hangs from the anchor is guarded by its own lock. Every record groups its fields
// by what guards them: constant after construction, one task's own, atomics read without a
// lock, and the fields a lock guards, marked QDVP_GUARDED_BY for clang's analysis.
//
// THE LOCK ORDER. A task that holds more than one lock took them in this order, top first;
// taking one that stands higher while holding a lower one is a fault. The marks
// QDVP_ACQUIRED_AFTER/BEFORE on the locks' declarations state the same order, and the clang
// preset checks it (within a function, and across calls marked QDVP_REQUIRES). Each lock names
// its nearest neighbours in the table that its header can see, and the anchor's own locks name
// each other, so every pair is ordered for the compiler except the locks of ranks 1 and 2 and
// those of ranks 6 and 7, which no task holds together. Two locks of one rank are not held
// together, except where the rank says so (tests/layering/check_lock_marks.sh holds cases).
//    1  QDVP_MainAnchorMutex (qdvp_core.h)      the start of a data provider in this process
//    2  ConsoleBlock::Mutex, then ::EntryLock    the console hand-over (qdvp_console.h); neither
//                                                is held while a command runs
//    3  DPAB::SelectLock                         the socket and API servers' select; held by
//                                                the console while it deletes, loads and starts
//                                                servers, and by those servers while they serve
//    4  DCHcomm::ReceiveMutex                    the receive task's, for its whole life
//    5  MemMetafile::Lock                        one remote metafile retrieval at a time
//    6  sFileLock (snmp/qdvpmibi.cpp), DPAB::SNMPnodeLock, QDVP_SNMPmonitorListLock
//       (snmp/qdvpsnmp.h), SNMPmonitor::Lock   SNMP collections (snmp/qdvpsnmp.h)
//    7  URL management (qdvp_http.h): ConfigLock, FreeMutex, URLlistLock, ActivityListLock,
//       URLactivityBlock::Mutex, URLrequestEntry::Lock, DispatchMutex, ClientListLock
//    8  DPAB::HTTPupdateLock, ::ObjectUpdateLock, sMIBstatusLock and the no-data report's
//       NoDataQueueLock -> NoDataStatusUpdateLock (logs/qdvpndsr.cpp), sOutcomeLock
//       (actions/qdvpalog.cpp)                   each keeps the producers of one built-in
//                                                source (URL rows, MIB status, no-data status,
//                                                ACTION rows) apart for a whole request
//    9  DPAB::StatLock                           a caller without a task of its own, for its
//                                                whole request on the borrowed pStatPE
//   10  DPAB::ApplListLock                       the application list
//   11  DPAB::IRBLock, then IRBlock::Lock        routing blocks; a block's lock is held while
//                                                a routed record is delivered to its inputs
//       then SourceEntry::RequestMutex           one waited request of a source at a time
//   12  SourceEntry::EntryLock                   the DCH client while it acts on the source;
//                                                a requester while it sets the request's state
//   13  ApplEntry::NameLock, then ::TableListLock  an application's name and tables
//   14  DPAB::ActionListLock                     the action entry pool
//   15  TableEntry::SourceListLock, then ::TableLock  a table's sources, then its counts
//   16  DPAB::ApplIOLock[k], DPAB::IOEListLock   the I/O entry lists (an array: the compiler
//                                                does not see ApplIOLock's place)
//   17  IOEntry::IOLock                          a partner's binding, a file server's wait
//   18  SourceEntry::SourceLock                  a source's action requests and accept options
//   19  SourceEntry::AttrLock, then ::CopyLock    a source's row: attributes, delimiter, node
//                                                name; two sources' only in
//                                                QDVP_DuplicateSourceAttrs, the model's first
//   20  SMBlock::Lock                            a summary's array
//   21  ActionEntry::Lock, then ::Mutex          an action's result; its hand-over to a client
//   22  DCHoutbox::lock (agentlink/qdvpwout.cpp) rows producers built for the client
//   23  DCHcomm::LinkLock, then ::StatusMutex    the connection's socket while a request is
//                                                sent (by the client, or by a requester its
//                                                own row, under the source's RequestMutex,
//                                                EntryLock and AttrLock); the status hand-over
//                                                and the window
//   24  DPAB::ProcessListLock, then ProcessEntry::UnchainLock  the task chain
//   25  DPAB::WorkerListLock, WorkerEntry::Lock, WorkerEntry::Mutex  action workers
//   26  ProcessEntry::RequestLock                a requester's whole DCH request and wait
//   27  ProcessEntry::TaskIOmutex                a task's wake-ups; a requester's before the DCH
//                                                client's, a retrieving task's before the
//                                                metafile client's
//   28  ProcessEntry::WorkQueueLock, DPAB::DCHqueueLock, ::WaitQueueLock, ::AutoQueueLock,
//       ::DPlogQueueLock                         the queues
//   29  DPAB::StateMutex                         ActiveTasks and the anchor flags' wake-up
//   30  leaves, under which nothing but rank 31 is taken: IOEntry::Mutex, DPAB::OMBLock,
//       StatBlock::Lock, QDVP_TrapDestLock, and the locks of single files (the refused senders'
//       log, the summary sort, the address cache, the batch log, the saved positions, the file name
//       choice, the identity checksum, the SNMP community, network, node list, managed node,
//       deleted monitor and counter lists, the trap socket, the DP log requester, the start-up
//       configuration file)
//   31  the support layer's own: the product specification, then the trace; the storage
//       registry, the operator console lines, the validation messages, the metafile stream
//       sizes, the name resolver's cache and queue (core/support/qdv0rslv.cpp)
//
// WHAT MAY BE HELD ACROSS A WAIT. A condition wait releases its own lock. Across a wait for the
// agent (a DCH request, a reconnection, a resync pause) a task holds only the locks whose
// purpose is that wait: RequestLock, the source's RequestMutex and, on a borrowed entry,
// StatLock; the rank 8 locks of
// the built-in sources (and the URL list lock while the URL rows go out, http/qdvphout.cpp);
// a routing block's lock (rank 11) while its input source's request runs; and, in the DCH
// client itself (or a requester sending its own row, whose send may wait for room once part
// of the row went), the EntryLock, AttrLock and SMBlock::Lock of the source it is sending (the
// source's producer waits for that request anyway). The select lock is held across the socket
// and API servers' requests and across the console's DELETE, IMPORT and REFRESH, which wait
// for the agent, for the file servers and the SNMP collections of the application to end;
// MemMetafile::Lock across the metafile server's answer; sFileLock across the wait for an SNMP
// worker. No other lock is held across a wait, a sleep or a request: a file server holds none
// while it reads, parses and sends.
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

// Transport operations, in slot order: wait for the DCH, handle a disconnect, receive, send,
// and a send that returns at once, having sent nothing, where the send would wait before its
// first byte (a requester's own row, agentlink/qdvpdsnd.cpp; null: requesters never send).
struct DSFT {
  int (*WaitDCHcomeOnline)(DCHcomm *);
  int (*HandleDCHdisconnect)(DCHcomm *);
  int (*DCHreceive)(DCHcomm *, void *buffer, int length, int *error);
  int (*DCHsend)(DCHcomm *, const void *buffer, int length, int *error);
  int (*DCHsendNow)(DCHcomm *, const void *buffer, int length, int *error);
};
extern const DSFT TCPIP_DSFT;
extern const DSFT RPC_DSFT;

// Guards the anchor's default trap destinations (snmp/qdvpemit.cpp); a leaf.
extern OSV1_LOCK QDVP_TrapDestLock;

// A task's identity and mailbox.
struct ProcessEntry {
  // Locks, made with the entry and destroyed with it.
  // Held while the entry is unchained at its release.
  OSV1_LOCK UnchainLock QDVP_ACQUIRED_BEFORE(ProcessEntry::RequestLock);
  // Held by a requester for its whole DCH request and wait: keeps two callers that share the
  // entry (the borrowed pStatPE) apart.
  OSV1_LOCK RequestLock QDVP_ACQUIRED_AFTER(ProcessEntry::UnchainLock)
      QDVP_ACQUIRED_BEFORE(ProcessEntry::TaskIOmutex);
  // "TaskIO notification": pairs with TaskIOcond; WakeFd.
  OSV1_LOCK TaskIOmutex QDVP_ACQUIRED_AFTER(ProcessEntry::RequestLock)
      QDVP_ACQUIRED_BEFORE(ProcessEntry::WorkQueueLock);
  // The links of the work queue.
  OSV1_LOCK WorkQueueLock QDVP_ACQUIRED_AFTER(ProcessEntry::TaskIOmutex);
  OSV1_COND TaskIOcond;  // signalled, under TaskIOmutex, to wake the task

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
  OSV1_LOCK Lock QDVP_ACQUIRED_BEFORE(ProcessEntry::UnchainLock);
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
  // The twenty locks, set up at startup in the order the data provider's definition lists
  // them; the order in which they are taken is the table at the top of this header, and the
  // marks below state it for the compiler (together with the marks of the other records'
  // locks).
  // The select of the socket and API servers.
  OSV1_LOCK SelectLock QDVP_ACQUIRED_BEFORE(MemMetafile::Lock, DPAB::SNMPnodeLock);
  // The SNMP agent node list.
  OSV1_LOCK SNMPnodeLock QDVP_ACQUIRED_AFTER(MemMetafile::Lock, DPAB::SelectLock)
      QDVP_ACQUIRED_BEFORE(DPAB::HTTPupdateLock);
  // The URL rows (http/).
  OSV1_LOCK HTTPupdateLock QDVP_ACQUIRED_AFTER(DPAB::SNMPnodeLock)
      QDVP_ACQUIRED_BEFORE(DPAB::ObjectUpdateLock);
  // The URL object rows.
  OSV1_LOCK ObjectUpdateLock QDVP_ACQUIRED_AFTER(DPAB::HTTPupdateLock)
      QDVP_ACQUIRED_BEFORE(DPAB::StatLock);
  // Held by a caller without a task of its own for its whole DCH request made on the borrowed
  // pStatPE.
  OSV1_LOCK StatLock QDVP_ACQUIRED_AFTER(DPAB::ObjectUpdateLock)
      QDVP_ACQUIRED_BEFORE(DPAB::ApplListLock);
  OSV1_LOCK ApplListLock QDVP_ACQUIRED_AFTER(DPAB::StatLock) QDVP_ACQUIRED_BEFORE(DPAB::IRBLock);
  OSV1_LOCK IRBLock QDVP_ACQUIRED_AFTER(DPAB::ApplListLock)
      QDVP_ACQUIRED_BEFORE(DPAB::ActionListLock);
  // After an application's TableListLock (qdvp_model.h).
  OSV1_LOCK ActionListLock QDVP_ACQUIRED_AFTER(DPAB::IRBLock)
      QDVP_ACQUIRED_BEFORE(DPAB::IOEListLock);
  OSV1_LOCK ApplIOLock[4];  // the I/O entry lists of kind A, B, F, S (pIOEList[1..4])
  // After a table's TableLock (qdvp_model.h).
  OSV1_LOCK IOEListLock QDVP_ACQUIRED_AFTER(DPAB::ActionListLock)
      QDVP_ACQUIRED_BEFORE(DPAB::ProcessListLock);
  OSV1_LOCK ProcessListLock QDVP_ACQUIRED_AFTER(DPAB::IOEListLock)
      QDVP_ACQUIRED_BEFORE(ProcessEntry::UnchainLock, DPAB::WorkerListLock);
  OSV1_LOCK WorkerListLock QDVP_ACQUIRED_AFTER(ProcessEntry::UnchainLock, DPAB::ProcessListLock)
      QDVP_ACQUIRED_BEFORE(ProcessEntry::RequestLock, DPAB::DCHqueueLock);
  OSV1_LOCK DCHqueueLock QDVP_ACQUIRED_AFTER(ProcessEntry::WorkQueueLock, DPAB::WorkerListLock)
      QDVP_ACQUIRED_BEFORE(DPAB::WaitQueueLock);
  OSV1_LOCK WaitQueueLock QDVP_ACQUIRED_AFTER(DPAB::DCHqueueLock)
      QDVP_ACQUIRED_BEFORE(DPAB::AutoQueueLock);
  OSV1_LOCK AutoQueueLock QDVP_ACQUIRED_AFTER(DPAB::WaitQueueLock)
      QDVP_ACQUIRED_BEFORE(DPAB::DPlogQueueLock);
  OSV1_LOCK DPlogQueueLock QDVP_ACQUIRED_AFTER(DPAB::AutoQueueLock)
      QDVP_ACQUIRED_BEFORE(DPAB::StateMutex);
  // Broadcast whenever a task is released or a shutdown is requested, so that the orderly
  // shutdown and the waiting host thread wake at once instead of sleeping out their step.
  OSV1_LOCK StateMutex QDVP_ACQUIRED_AFTER(DPAB::DPlogQueueLock);
  OSV1_COND StateCond;
  OSV1_LOCK OMBLock QDVP_ACQUIRED_AFTER(StateMutex);

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

// The trap destinations' lock is a leaf (rank 30 of the order).
extern OSV1_LOCK QDVP_TrapDestLock QDVP_ACQUIRED_AFTER(DPAB::StateMutex);

extern "C" DPAB *Main_DPAB;  // exported: the anchor of the running data provider
extern int DPpgmStart;
extern int QDVP_ThreadRC;
extern char *QDV_Agent_Geographic_Location;
extern int QDVP_DEBUG_MIBMGR;
extern int QDVP_DEBUG_MIBIO;
extern int QDVP_DEBUG_Network;
extern const char QDVP_RELEASE_ID[];
