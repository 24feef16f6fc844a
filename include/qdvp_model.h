// The data model: applications, tables (attribute groups), attributes, sources, I/O entries
// and their I/O buffers, the file specification control block, internal routing blocks,
// ODBC blocks and the summary management block.
//
// A metafile (metafile/qdvpcadm.cpp) or a built-in application is turned into one ApplEntry
// in the anchor's application list; each application owns its tables, each table its
// sources, each source its own copy of the table's attribute list and one I/O entry. Every
// record is a plain struct obtained from QDV0_GetStorage and freed by the operation that
// unchains it (metafile/qdvppcfg.cpp releases whole applications). Builders return null after
// writing their validation message; lookups return null when nothing matches. Any task may
// call any function here; the locks below make the lists safe to walk.
//
// Each record below groups its fields by what guards them (constant after construction, a
// task's own, atomics, and the fields a lock guards, marked for the compiler); the lock order
// and what may be held across a wait are the table in include/qdvp_anchor.h.
//
// Lifetimes (docs/architecture.md, "Lifetimes"): a task that uses a source outside the locks
// of the lists it was found in holds it (SourceEntry::Holds, taken under those locks or passed
// on by a holder); the source, its table and its application are freed only once nobody holds
// any source of the application. Holding a source keeps its table and application too.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <stdio.h>
#include <time.h>

#include <string>
#include <vector>

#include "qdvp_anchor.h"

struct TableEntry;
struct SourceEntry;
struct AttrEntry;
struct FileSpecCB;
struct IObuffer;
struct SMBlock;
struct OMBlock;

// Limits of the statement language.
enum {
  QDVP_APPL_NAME_MAX = 20,
  QDVP_APPL_NAME_MIN = 3,
  QDVP_TABLE_NAME_MAX = 32,
  QDVP_ATTR_NAME_MAX = 218,
  QDVP_HELP_MAX = 245,
  QDVP_HELP_SLOT = 246,
  QDVP_MAX_TEXT_VALUE = 3800,
  QDVP_MAX_ROW_SIZE = 4000,
  QDVP_MAX_SUMMARY_INTERVAL = 86400,
  QDVP_DEFAULT_TTL = 300,
  QDVP_MAX_FILTERS = 3,
  QDVP_DEFAULT_RECORD_SIZE = 4096,
  QDVP_IOBUFFER_MIN = 1024,
};

// Source states; the state names are in QDVP_SourceStateName.
enum SourceState {
  QDVP_NoState = 0,
  QDVP_Initial = 1,
  QDVP_Connected = 2,
  QDVP_Register = 3,
  QDVP_Pending = 4,
  QDVP_Ready = 5,
  QDVP_Active = 6,
  QDVP_Input = 7,
  QDVP_Output = 8,
  QDVP_Action = 9,
  QDVP_Reply = 10,
  QDVP_Inactive = 11,
  QDVP_Unregister = 12,
};

// I/O buffer states.
enum { QDVP_NoStatus = 0, QDVP_NotInUse = 1, QDVP_Allocated = 2, QDVP_ValidData = 3 };

// Confirmation types of a table (//CONFIRM).
enum {
  QDVP_CONFIRM_NONE = 0,
  QDVP_CONFIRM_SIZE = 1,
  QDVP_CONFIRM_CHAR = 2,
  QDVP_CONFIRM_MSG = 3,
  QDVP_CONFIRM_SEQ = 4
};

// Indexes into DPAB::pIOEList: 0 every I/O entry, then one list per kind.
enum {
  QDVP_IOE_ALL = 0,
  QDVP_IOE_APPC = 1,
  QDVP_IOE_BASE = 2,
  QDVP_IOE_FILE = 3,
  QDVP_IOE_SOCK = 4
};

// One entry of the fixed derive-function table; a derived attribute's first operand may point
// at one of these instead of at an attribute.
struct DeriveFunction {
  const char *Name;
};

struct ApplEntry {
  // Locks, in this order (after a source's EntryLock, include/qdvp_anchor.h).
  // The name and its pNext link while it is changed at a release.
  OSV1_LOCK NameLock QDVP_ACQUIRED_AFTER(DPAB::IRBLock)
      QDVP_ACQUIRED_BEFORE(ApplEntry::TableListLock);
  OSV1_LOCK TableListLock QDVP_ACQUIRED_AFTER(ApplEntry::NameLock)
      QDVP_ACQUIRED_BEFORE(DPAB::ActionListLock);

  // Constant after construction: written by the metafile reader while it builds the
  // application, before the application is registered; the metafile names are freed by its
  // release after it left the list.
  char *pMetafileName;      // upper-cased copy of the metafile's full name
  char *pMetafileFullName;  // full path name of the metafile
  char *pEnterpriseName;    // SNMP applications
  char *pEnterpriseOID;
  char ApplName[QDVP_APPL_NAME_MAX + 1];
  char *pApplHelp;  // own copy, at most 245 characters
  int SNMPappl;
  int TableCount;

  // Under the anchor's ApplListLock (pApplList's mark): the list link.
  ApplEntry *pNext;

  // Under TableListLock.
  TableEntry *pTableList QDVP_GUARDED_BY(TableListLock);

  // The DCH client's own: the batch output of a stand-alone run (record processing).
  FILE *pBatchFile;  // or null
  char *pBatchFileName;
  long BatchRecordCount;  // records written to pBatchFile since it was opened
};

struct TableEntry {
  // Locks, in this order (after the anchor's ActionListLock).
  OSV1_LOCK SourceListLock QDVP_ACQUIRED_AFTER(DPAB::ActionListLock)
      QDVP_ACQUIRED_BEFORE(TableEntry::TableLock);
  OSV1_LOCK TableLock QDVP_ACQUIRED_AFTER(TableEntry::SourceListLock)
      QDVP_ACQUIRED_BEFORE(DPAB::IOEListLock);

  // Constant after construction (the metafile reader, before registration).
  char TableName[QDVP_TABLE_NAME_MAX + 1];
  char *pGroupHelp;   // (limit + 1) * 246 bytes: table help, then attribute helps
  int GroupHelpNext;  // offset of the next free byte of pGroupHelp
  int GroupHelpSize;
  char *pTableHelp;  // points into pGroupHelp, or null
  char Type;         // P poll, E event, S sample, K key
  int TTL;
  int SNMPattrCount;   // SNMP attributes with an OID
  int RecordSetCount;  // 1 unless //RECORDSET
  char *pRecordSetRule;
  char *pRecordSetDelimiter;
  ApplEntry *pAppl;
  int ConfirmType;
  char *pConfirmData;
  char *pModuleName;
  IRBlock *pIRB;  // routing block whose output this table is
  SMBlock *pSMB;  // summary management block, or null
  OMBlock *pOMB;  // ODBC block, or null

  // Links: the application's table list (its TableListLock) and a routing block's inputs (the
  // block's Lock).
  TableEntry *pNext;
  TableEntry *pNextInput;

  // Under SourceListLock.
  SourceEntry *pSourceList QDVP_GUARDED_BY(SourceListLock);

  // Under TableLock: the counts (the attributes' grow only while the table is built, the
  // sources' with every dynamic source) and the rate and last-type flags.
  int SourceCount QDVP_GUARDED_BY(TableLock);
  int AttrCount QDVP_GUARDED_BY(TableLock);           // attributes in total
  int AttrSentCount QDVP_GUARDED_BY(TableLock);       // neither input-only nor type K
  int AttrNoOperandCount QDVP_GUARDED_BY(TableLock);  // attributes that are not derived
  int RateFlag QDVP_GUARDED_BY(TableLock);
  int LastType QDVP_GUARDED_BY(TableLock);  // the table has a type Z attribute
};

struct AttrEntry {
  // An attribute belongs to one source's attribute list (or to a copy of it being built) and
  // has no lock of its own: the source's AttrLock guards the list and the row, which the
  // compiler cannot name from here (QDVP_EvaluateFormulas and the parse say it for their
  // callers).

  // Links of the source's attribute list and its display order (under the source's AttrLock).
  AttrEntry *pNext;
  AttrEntry *pOrderNext;

  // Constant after construction: the declaration as the metafile reader built it (copies
  // share its texts).
  char Name[QDVP_ATTR_NAME_MAX + 1];
  char *pHelp;  // into the table's group help buffer, or null
  char *pEnum;  // ENUM{...} text, or null
  char *pOID;   // OID as written, or null
  unsigned char *pEncodedOID;
  int EncodedOIDlen;
  int Real;  // derived attribute shown as a real number
  int Sent;  // 0 for input-only attributes
  int AttrKey;
  int AttrAtomic;
  int MaxValSize;
  int FilterCount;
  int FilterAccept;  // 1 +FILTER, 0 -FILTER
  int LeftTruncate;
  int AttrSortKey;  // SKEY=; -1 summary by total
  int OrderSeq;     // SEQ=
  long MaxSize;
  void *pOperand1;  // AttrEntry or DeriveFunction
  AttrEntry *pOperand2;
  char *pDelimiter;  // DLM= override, or null
  char Operator;     // + - * / % = for derived attributes, else 0
  char FilterLogic;  // ' ', '&' or '|'
  char FilterType[QDVP_MAX_FILTERS];
  int FilterOffset[QDVP_MAX_FILTERS];
  long FilterValue[QDVP_MAX_FILTERS];
  char *pFilterString[QDVP_MAX_FILTERS];
  char Type;
  char Shared;  // a copy: its texts belong to the model source's attribute

  // Under the source's AttrLock: the row being built and what a rate remembers of the last.
  void *pWork[2];  // record parsing working words; cleared in copies
  int ActualValSize;
  time_t PrevSampleTime;
  double PrevSampleValue;
  // MaxValSize bytes and a terminator: the entry is allocated with room for them
  // (QDVP_AttrEntrySize), so the value area is as long as the attribute needs.
  char Value[];
};

// Size of an attribute entry with a value area of valueSize bytes.
inline size_t QDVP_AttrEntrySize(int valueSize) {
  return offsetof(AttrEntry, Value) + static_cast<size_t>(valueSize > 0 ? valueSize : 0) + 1;
}

// One file still to be processed when all files matching a pattern are wanted; an entry with
// an empty name marks the end of the list.
struct SpecSelectedFileEntry {
  char FileName[512];
  SpecSelectedFileEntry *pNext;
};

struct FileSpecCB {
  // Constant after construction: the file name pattern as the metafile gave it.
  int PatternFlag;
  char *pPathSpec;
  char *pPrefix;
  int PrefixLen;
  char *pPattern;
  int PatternLen;
  char *pSuffix;
  int SuffixLen;
  char *pExtension;
  int ExtensionLen;  // 0 for "*": any extension
  int TotalNameLen;
  int NumericOffset;
  int NumericLen;
  int CharOffset;
  int CharLen;
  int SwitchCheckInterval;

  // The file server task's own, as below: the name of the file monitored now.
  char *pCurrentFileName;
  // File monitoring (filemon/), owned by the source's file server task: its process entry,
  // the files still to process in process-all mode, the time of the next switch check and
  // the identity checksum of the file monitored now (0: not yet known).
  ProcessEntry *pPE;
  SpecSelectedFileEntry *pSelectedList;
  time_t NextSwitchCheck;
  uint16_t IDcheckSum;
  // What the file server last reported about the name (a followed or refused link, a file that
  // is not a regular one), so that it is reported once; 0 for nothing.
  uint32_t OpenNote;
};

struct SourceEntry {
  // Locks, made with the source: EntryLock comes before the application's locks, SourceLock
  // and AttrLock after a partner's IOLock (include/qdvp_anchor.h).
  // One waited request of the source at a time, from its queueing to its outcome
  // (agentlink/qdvpdreq.cpp): the outcome a requester reads is its own request's.
  OSV1_LOCK RequestMutex QDVP_ACQUIRED_AFTER(DPAB::IRBLock)
      QDVP_ACQUIRED_BEFORE(SourceEntry::EntryLock);
  // The DCH client while it acts on the source.
  OSV1_LOCK EntryLock QDVP_ACQUIRED_AFTER(DPAB::IRBLock) QDVP_ACQUIRED_BEFORE(ApplEntry::NameLock);
  // The action requests and accept options below.
  OSV1_LOCK SourceLock QDVP_ACQUIRED_AFTER(DPAB::IOEListLock)
      QDVP_ACQUIRED_BEFORE(SourceEntry::AttrLock);
  // The row.
  OSV1_LOCK AttrLock QDVP_ACQUIRED_AFTER(SourceEntry::SourceLock)
      QDVP_ACQUIRED_BEFORE(SourceEntry::CopyLock);
  // Held while an attribute list is copied to or from the source.
  OSV1_LOCK CopyLock QDVP_ACQUIRED_AFTER(SourceEntry::AttrLock)
      QDVP_ACQUIRED_BEFORE(DPAB::ProcessListLock);

  // Constant after construction: written by the builder (or the server that makes a dynamic
  // source) before the source is on its table's list or handed to a task; pTable is set when
  // an API source joins a table, before its session uses it.
  // The tasks that use the source outside the lists' locks: its file server or SNMP polling,
  // an action worker, the DCH client while the source is queued to it. Closed when the source
  // (or its application) is being deleted.
  OSV1_HOLDS Holds;

  char *pSourceName;
  int SourceNameLen;
  TableEntry *pTable;
  IOEntry *pIOE;
  char *pLUname;
  FileSpecCB *pFileSpec;
  char Kind;  // F S A N O B
  time_t CreateTime;
  int Dynamic;             // made for one session and released with it
  int InternalReport;      // the ACTION table's own source, never handed to a client
  SourceEntry *pProducer;  // an internal source: the source whose rows it receives
  SourceEntry *pCopyOf;    // a delayed offline copy: the source it was copied from
  // The summary block, set while the table is built; the summary output takes it away, under
  // AttrLock, while it sends the summary rows.
  SMBlock *pSMB;

  // Links: the table's source list (its SourceListLock), the client's work queue (the client
  // entry's WorkQueueLock), the DCH wait queue and the delayed offline queue (the anchor's
  // DCHqueueLock and WaitQueueLock), and a lookup's result chain.
  SourceEntry *pNext;
  WorkItem DCHwork;
  SourceEntry *pDCHnext;
  SourceEntry *pWaitNext;
  SourceEntry *pNextMatch;

  // Read by other tasks without a lock.
  std::atomic<ProcessEntry *> pPE;  // owning process entry (read by the DCH client)
  std::atomic<int> State;
  // 0 idle, 1 while queued to the client, 2 while queued and its requester sleeps on the word
  // (QDVP_EndDCHrequest wakes it).
  std::atomic<int> Enqueued;
  // The number of the source's last row whose status 0 came with every row before it settled:
  // where a server that saves its position may count its rows as taken by the agent.
  std::atomic<uint32_t> AckedRowNumber;
  // How many of the source's rows the agent link could not deliver for good: refused by the
  // agent, or lost without a status (one at a time) and not sent again. Counted by the DCH
  // client when it knows (on a window that may be well after the producer went on); the
  // producer compares it with what it has already told (RowsNotTakenTold).
  std::atomic<uint32_t> RowsNotTaken;

  // Under AttrLock: the row (the attribute list and its display order, the delimiter it is
  // parsed with, the node name it is sent with) and the per-key attribute-list copies of a KEY
  // table with rates (linked through the first attribute's pWork[0]).
  AttrEntry *pAttrList QDVP_GUARDED_BY(AttrLock);
  AttrEntry *pOrderList QDVP_GUARDED_BY(AttrLock);
  char *pDelimiter QDVP_GUARDED_BY(AttrLock);  // attribute delimiter, or null (fixed positions)
  char *pSourceNodeName QDVP_GUARDED_BY(AttrLock);
  AttrEntry *pKeyCopyList QDVP_GUARDED_BY(AttrLock);

  // Under SourceLock (sockets/, actions/qdvp_actions.h): whether the API client accepts take
  // actions and how long a worker waits for its result (seconds, -1 none), the actions queued
  // for the client and the one being delivered.
  int AcceptRequests QDVP_GUARDED_BY(SourceLock);
  int AcceptWaitSeconds QDVP_GUARDED_BY(SourceLock) = -1;
  ActionEntry *pRequestQueue QDVP_GUARDED_BY(SourceLock);
  ActionEntry *pDelivering QDVP_GUARDED_BY(SourceLock);

  // Handed over with each request: the producer writes them before it queues the source and
  // reads them after the client finished its request (the queue's locks and the TaskIO
  // condition order the two); the DCH client uses them, under EntryLock, while it acts. The
  // position of the current record in a record set, the row control that goes with an API
  // row (0, 1, 16 or 17), the request's number and outcome, the delayed offline's time and
  // flag, the agent's handle, the output buffer, the current action, and on a link with a
  // window the source's row stream (0 until its first row) and its last row's number, by
  // which the agent stores each row once (the file server sets them before its first row,
  // from its saved positions).
  int16_t DataSequence;
  int16_t RowControl;
  std::atomic<int> RequestNumber{0};  // the number of its last request (traces, and the wait
                                      // requests after a new connection)
  int LastDataStatus;     // the status of the last row sent: 0, the agent's code, or a link failure
  int LastRequestStatus;  // the status the client ended the last request with (any verb)
  int RowPosted;          // the last row went into the window: its status comes later
  // A row handed off to the receive task (QDVP_DCHsendHandOff) whose status was not 0, handed
  // back to the client with that status: the client settles it as if it had waited for it.
  // Written by whoever hands the row back before it queues the source, read by the client.
  int HandBack;
  int HandBackStatus;
  int OfflineNow;
  time_t TTLexpiry;
  unsigned char DCHhandle[4];
  unsigned char *pOutputBuffer;
  int OutputBufferSize;
  ActionEntry *pAction;
  uint32_t RowStream;
  uint32_t RowNumber;

  // The serving task's own: the EBCDIC flag of a partner, a held-back API record, the
  // end-of-batch-summary request and the summary-row flag (record processing, under the
  // serving task or the client as the summary runs), and the servers' working fields, cleared
  // at creation.
  int CodeConversion;
  int DataPending;
  uint32_t RowsNotTakenTold;  // RowsNotTaken as the producer last reported it (an API client)
  int EndBatchSummary;
  int SummaryOutput;
  time_t StateTime;
  void *pWork[4];
  long WorkCount[4];
};

struct IObuffer {
  IObuffer *pNext;
  uint16_t Number;
  uint16_t State;
  uint32_t DataLength;  // the word cleared at creation
  char Data[];
};
static_assert(sizeof(IObuffer) == 16, "the I/O buffer header is 16 bytes");

struct IOEntry {
  // A leaf: with Cond, the wait for a file of a reader without a task of its own.
  OSV1_LOCK Mutex QDVP_ACQUIRED_AFTER(DPAB::StateMutex);
  OSV1_COND Cond;
  // The shared fields below: a partner's binding, a file server's wait.
  OSV1_LOCK IOLock QDVP_ACQUIRED_AFTER(DPAB::IOEListLock)
      QDVP_ACQUIRED_BEFORE(SourceEntry::SourceLock);

  // Constant after construction: the source it serves, its kind and LU name; the file mode
  // and record mode are set before the serving task starts.
  SourceEntry *pSource;
  char Kind;
  char *pLUname;
  char FileMode;  // T tail, C copy
  int TailByRecord;

  // Links: every I/O entry under the anchor's IOEListLock, entries of the same kind under its
  // ApplIOLock of the kind.
  IOEntry *pNext;
  IOEntry *pNextKind;

  // The serving task's own (the file server, the socket or API server): its buffers, the
  // file open during a pass and the COPY CLEAR option.
  IObuffer *pBufferList;
  int BufferSize;
  FILE *pFile;
  int ClearAfterCopy;

  // A file server's wait for its file (filemon/): the periodic scan wakes the waiting server
  // (its process entry's TaskIO condition, or Cond without one) each cycle while it is set.
  int FileWaitCount QDVP_GUARDED_BY(IOLock);

  // A socket partner (sockets/), bound to one remote sender at a time. Socket is the session's
  // socket (the server's UDP socket for a UDP partner, -1 when none), TCPsocket the accepted
  // connection (-1 for UDP); PartnerAddr the peer once bound (before, the configured host and
  // port, ConfigPort in network order, 0 for any). A TCP stream's line that has not ended yet
  // is held back in pPending (at most QDVP_SOCK_BUFFER_SIZE bytes).
  struct sockaddr_in PartnerAddr QDVP_GUARDED_BY(IOLock);
  int Socket QDVP_GUARDED_BY(IOLock);
  int Active QDVP_GUARDED_BY(IOLock);
  int NewSession QDVP_GUARDED_BY(IOLock);
  int CallType QDVP_GUARDED_BY(IOLock);
  int TCPsocket QDVP_GUARDED_BY(IOLock);
  uint16_t ConfigPort QDVP_GUARDED_BY(IOLock);
  uint32_t AckSequence QDVP_GUARDED_BY(IOLock);
  time_t ExpiryTime QDVP_GUARDED_BY(IOLock);
  int ReleaseOnDisconnect QDVP_GUARDED_BY(IOLock);
  char *pPending QDVP_GUARDED_BY(IOLock);
  int PendingLength QDVP_GUARDED_BY(IOLock);
};

// An internal routing block: one output table fed by any number of input tables.
struct IRBlock {
  // Held while a routed record is delivered to the inputs (a delivery may bring an input's
  // internal source online, a request to the agent).
  OSV1_LOCK Lock QDVP_ACQUIRED_AFTER(DPAB::IRBLock) QDVP_ACQUIRED_BEFORE(SourceEntry::EntryLock);

  // Constant after construction.
  char *pName;
  TableEntry *pOutputTable;

  // Under the anchor's IRBLock (pIRBList's mark): the list link.
  IRBlock *pNext;

  // Under Lock: the record being routed (a copy owned by the block) and the input tables.
  char *pBuffer QDVP_GUARDED_BY(Lock);
  TableEntry *pInputList QDVP_GUARDED_BY(Lock);
  int InputCount QDVP_GUARDED_BY(Lock);
  int DataLength QDVP_GUARDED_BY(Lock);  // length of the record last routed
  int RouteCount QDVP_GUARDED_BY(Lock);  // input tables still to be served for the record
};

// An ODBC block (//ODBC): the type letter and the data source name.
struct OMBlock {
  OMBlock *pNext;  // under the anchor's OMBLock
  // Constant after construction.
  char Type;  // I or O
  char *pDSN;
};

// A table's summary management block. Record processing summarizes with it; the metafile
// reader only creates it and asks it to complete the table's definition.
struct SMBlock {
  // Taken after the source's AttrLock (records/qdvpcsmb.cpp, qdvpsmry.cpp, qdvpsmot.cpp).
  OSV1_LOCK Lock QDVP_ACQUIRED_AFTER(SourceEntry::CopyLock)
      QDVP_ACQUIRED_BEFORE(DPAB::ProcessListLock);

  // Constant after construction: the interval and mode, and the array's shape.
  int Interval;    // seconds (SummaryInterval)
  int Batch;       // SummaryBatchMode
  int KeyCount;    // key width in bytes (16 without key attributes)
  int TotalCount;  // attributes summarized by total
  int AllocationUnit;
  int SlotWidth, KeyDataWidth, TotalsWidth;
  int IntervalStatusLimit;

  // Under Lock: the interval being collected and the array.
  char BeginStamp[17] QDVP_GUARDED_BY(Lock);    // time stamp of the interval's first row
  char CurrentStamp[17] QDVP_GUARDED_BY(Lock);  // time stamp of the last row added
  int IntervalEndTime QDVP_GUARDED_BY(Lock);    // second of the day at which it ends
  int BeginYear QDVP_GUARDED_BY(Lock), BeginMonth QDVP_GUARDED_BY(Lock);
  int BeginDay QDVP_GUARDED_BY(Lock), BeginHour QDVP_GUARDED_BY(Lock);
  char IntervalStatus[61] QDVP_GUARDED_BY(Lock);  // index 1..60
  int CurrYear QDVP_GUARDED_BY(Lock), CurrMonth QDVP_GUARDED_BY(Lock);
  int CurrDay QDVP_GUARDED_BY(Lock), CurrHour QDVP_GUARDED_BY(Lock);
  int CurrTime QDVP_GUARDED_BY(Lock);
  int SlotsUsed QDVP_GUARDED_BY(Lock), SlotsAllocated QDVP_GUARDED_BY(Lock);
  time_t LastUpdateTime QDVP_GUARDED_BY(Lock);
  char *pArray QDVP_GUARDED_BY(Lock);
};

extern const DeriveFunction DerivedFunctionName[5];
extern const char *const QDVP_SourceStateName[13];

// Application entries (metafile/qdvpiape.cpp).
ApplEntry *QDVP_InitializeApplicationEntry(DPAB *anchor, const char *name, int packagedSolution,
                                           const char *help);
ApplEntry *QDVP_LocateApplicationByName(DPAB *anchor, const char *name, int length);
// The first source of a table of a loaded application, held for the caller: the table named
// (matched as QDVP_LocateTableByName does), or without a name (null) the application's first
// table. The hold is taken under the application list lock, so nothing found can go meanwhile.
// *appl and *table say what was found (null when not); the result is null when the application
// or the table is not loaded, has no source, or is being deleted.
SourceEntry *QDVP_HoldTableSource(DPAB *anchor, const char *applName, int applLength,
                                  const char *tableName, int tableLength, ApplEntry **appl,
                                  TableEntry **table);
// A holder of a source lets go (any lock may be held; nothing is freed here).
inline void QDVP_LetGoSource(SourceEntry *source) {
  if (source != nullptr) OSV1_LetGo(&source->Holds);
}
char *QDVP_LocateAttributeByOID(DPAB *anchor, const char *oidText);
AttrEntry *QDVP_LocateSetAttribute(DPAB *anchor, const char *parameterText);

// Table entries (metafile/qdvpitbe.cpp).
TableEntry *QDVP_InitializeTableEntry(ApplEntry *application, const char *name,
                                      const char *typeToken, const char *ttlToken,
                                      const char *help);
TableEntry *QDVP_LocateTableByName(ApplEntry *application, const char *name, int length);
// A table that the data provider defines itself (the DP log's, the built-in posting table):
// one BASE source named nodeName (null: the host's name) with the attributes in order. Returns
// the source, or null when an entry could not be made.
struct BuiltInAttribute {
  const char *name, *type, *size, *help;
};
SourceEntry *QDVP_DefineBuiltInTable(DPAB *anchor, ApplEntry *appl, const char *name,
                                     const char *type, const char *ttl, const char *help,
                                     const BuiltInAttribute *attrs, int count,
                                     const char *nodeName);

// Attribute entries and filters (metafile/qdvpiate.cpp).
AttrEntry *QDVP_InitializeAttrEntry(SourceEntry *source, const char *name, char *typeToken,
                                    const char *sizeToken, int key, int atomic, const char *help,
                                    const char *filterText);
int QDVP_CheckDeriveFunctionSpec(const char *name, const DeriveFunction **reference);
int QDVP_IsDeriveFunction(const void *reference);
// The attribute limit per table (0 before QDVP_DetermineMaxAttributesPerGroup).
int QDVP_MaxAttributesPerGroup(void);
// Tests: forget the limit so that WTB_MAXCOLS is read again.
void QDVP_ResetMaxAttributesPerGroup(void);

// Attribute lists: duplicates, display order, copies (metafile/qdvpcatl.cpp).
void QDVP_CheckDuplicateAttributes(ApplEntry *application);
void QDVP_ConstructAttributeOrderLinkList(ApplEntry *application, TableEntry *table);
void AddAttributeToList(SourceEntry *source, AttrEntry *attribute);
int QDVP_CheckCopySourceAttributes(TableEntry *table, SourceEntry *modelSource)
    QDVP_EXCLUDES(table->SourceListLock, table->TableLock, modelSource->AttrLock);
int QDVP_DuplicateSourceAttrs(SourceEntry *modelSource, SourceEntry *source)
    QDVP_EXCLUDES(modelSource->AttrLock, source->AttrLock);
// The caller holds the model source's attribute lock.
AttrEntry *QDVP_CreateCopySourceAttrs(SourceEntry *modelSource)
    QDVP_REQUIRES(modelSource->AttrLock);
void QDVP_SyncFormulaAttrReference(AttrEntry *list);
void QDVP_ReleaseAttributeEntry(SourceEntry *source, AttrEntry *attribute);
void QDVP_ReleaseAttributeList(AttrEntry *list);

// Walks (metafile/qdvpmwlk.cpp), each under the lock of what it reads, released on return: a
// snapshot of the application's tables (TableListLock), a table's first source
// (SourceListLock), the first table's first source, and a copy of the source's node name
// (AttrLock; "" without one).
std::vector<TableEntry *> QDVP_TablesOf(ApplEntry *application)
    QDVP_EXCLUDES(application->TableListLock);
SourceEntry *QDVP_FirstSourceOf(TableEntry *table) QDVP_EXCLUDES(table->SourceListLock);
SourceEntry *QDVP_FirstSourceOfApplication(ApplEntry *application)
    QDVP_EXCLUDES(application->TableListLock);
std::string QDVP_SourceNodeName(SourceEntry *source) QDVP_EXCLUDES(source->AttrLock);

// Sources (metafile/qdvpisre.cpp).
SourceEntry *QDVP_InitializeSourceEntry(DPAB *anchor, TableEntry *table, const char *kindWord,
                                        const char *name, const char *managedSystemName,
                                        int *fileSourceFlag);
int QDVP_InitializeFileSpecControl(SourceEntry *source);
void QDVP_ReleaseFileSpecControl(FileSpecCB *block);
void QDVP_UpdateSourceEntryState(SourceEntry *source, int state);
int QDVP_CheckSourceState(SourceEntry *source, int state);
SourceEntry *QDVP_LocateSourceBySubNode(DPAB *anchor, const char *subnodeName);
SourceEntry *QDVP_LocatePolicySourceBySubNode(DPAB *anchor, const char *subnodeName);
// The same lookups, with the (first) source found held for the caller, who lets go with
// QDVP_LetGoSource; a source being deleted is not found.
SourceEntry *QDVP_HoldSourceBySubNode(DPAB *anchor, const char *subnodeName, bool policy);

// I/O entries (metafile/qdvpiioe.cpp).
IOEntry *QDVP_InitializeIOEntry(DPAB *anchor, SourceEntry *source, int kind);
int QDVP_AllocateIObuffer(IOEntry *ioEntry);
int QDVP_ComputeIObufferSize(SourceEntry *source) QDVP_EXCLUDES(source->AttrLock);

// Lifecycle (metafile/qdvppcfg.cpp, metafile/qdvprpt.cpp).
ApplEntry *QDVP_CheckApplicationExistence(DPAB *anchor, const char *name);
int QDVP_AppendMetafileToStartUpConfig(DPAB *anchor, const char *metafileName);
int QDVP_RemoveMetafileFromStartUpConfig(DPAB *anchor, const char *metafileName);
// Deletes an application: its sources are closed to new holds, the tasks that hold them are told
// to stop, and once none holds any (a wait no time bounds) the application is taken offline,
// unregistered and freed. The caller holds no lock of the data model, but the select lock, so
// that the socket and API servers do not serve its partners meanwhile.
void QDVP_DeleteExistingApplication(DPAB *anchor, ApplEntry *application)
    QDVP_REQUIRES(anchor->SelectLock);
// Frees a source that is on no table's list, with its I/O entry, attributes and summary block,
// once every holder has let go.
void QDVP_ReleaseSourceEntry(DPAB *anchor, SourceEntry *source);
void QDVP_ReleaseApplGroupHelp(ApplEntry *application);
void QDVP_ReportDataModel(ApplEntry *application);
// Tests: forget that the startup configuration was read.
void QDVP_ResetStartUpConfigState(void);

// Model construction (metafile/qdvpcadm.cpp).
ApplEntry *QDVP_ConstructApplDataModel(DPAB *anchor, const char *metafileName, int validate,
                                       int *openedOut, int *alreadyDefinedOut, int autoLoad,
                                       int noEcho);

// Hooks of record processing used while a metafile is read (records/).
char *QDVP_CheckAttributeDelimiter(const char *specification);
IRBlock *QDVP_CreateInternalRoutingBlock(DPAB *anchor, const char *name);
OMBlock *QDVP_InitializeOMB(DPAB *anchor, const char *type, const char *dsnText);
void QDVP_ReleaseOMB(DPAB *anchor, OMBlock *block);
SMBlock *QDVP_CreateSummaryManagementBlock(int interval, int batch);
int QDVP_CompleteSummaryTableDefinition(TableEntry *table, int flag);
void QDVP_ReleaseSummaryManagementBlock(SMBlock *block);
void QDVP_RemoveTableFromIRB(DPAB *anchor, TableEntry *table);
// SNMP hooks (snmp/).
int QDVP_CheckSNMPtabularKey(TableEntry *table);
void QDVP_SNMPapplOnline(DPAB *anchor, ApplEntry *application);
void QDVP_SNMPapplOffline(DPAB *anchor, ApplEntry *application);
// Tells every collection of an application that is being deleted to end. Each polling task
// holds its table's source and lets go as it ends; the deletion waits for that.
void QDVP_SNMPstopApplicationMonitors(ApplEntry *application);
// Frees what the agent link keeps for a source (its output buffer, its rows in flight); the
// source's release calls it.
void QDVP_ReleaseSourceLinkState(DPAB *anchor, SourceEntry *source);
// Data provider log (logs/qdvplmsg.cpp).
// Reports message number with up to five text parameters (null: absent, shown as "?").
void QDVP_SendDPlogMessage(DPAB *anchor, int number, const char *p1 = nullptr,
                           const char *p2 = nullptr, const char *p3 = nullptr,
                           const char *p4 = nullptr, const char *p5 = nullptr);
