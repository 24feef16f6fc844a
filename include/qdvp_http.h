// URL monitoring: the URL management block, one URL request entry per monitored URL, the
// activity subtasks that perform single HTTP requests, and the operations other subsystems call
// (the take actions that add and remove URLs, the configuration requests).
//
// Locks: the URL list lock guards the list, the current pointer and the entries' owners, an
// entry's Lock its sample, the anchor's HTTP and object source locks the Managed_URL and
// URL_Objects rows; their order is the table in include/qdvp_anchor.h (rank 7). A subtask block's
// Mutex carries the hand-over of one request and of its answer; the free-subtask and dispatch
// mutexes carry their conditions only. No lock of this subsystem is held while a row goes to
// the agent, except the HTTP and object source locks, which exist for that.
//
// Lifetimes (docs/architecture.md, "Lifetimes"): a task that uses an entry outside the URL list
// lock holds it (Holds, taken under that lock: the client task while it samples, the subtask
// while its request is out, the update task while the row goes). Removal unlinks the entry
// under the list lock, sends the row that deletes it at the agent, abandons its request in
// flight, waits until every holder has let go and only then frees it. The page buffer a client
// task lends with a page request is the subtask's until the answer is handed back; one whose
// wait for the answer timed out stays with the subtask, which frees it, and the client task
// takes a new one. Subtask blocks live until the manager ends, which frees each once its
// subtask has ended.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include <atomic>

#include "qdvp_anchor.h"

struct HTQ1_Client;
struct HTQ1_Activity;

enum {
  QDVP_URL_MAX = 1024,        // a URL that may be monitored or dispatched
  QDVP_URL_ENTRY_MAX = 1027,  // a URL an entry may hold
  QDVP_URL_TITLE_MAX = 255,
  QDVP_URL_OWNER_MAX = 32,
  QDVP_URL_ISP_MAX = 64,
  QDVP_URL_PAGE_BUFFER = 64000,  // the common page buffer of a client task, to begin with
  QDVP_URL_MAX_REDIRECTS = 5,
  QDVP_URL_OBJECT_LIST_MAX = 8000,
  QDVP_URL_OBJECT_SCAN_EVERY = 50,
  QDVP_URL_COPY_EVERY = 100,
  QDVP_URL_SERVER_TYPE_MAX = 64,
};

// Activity subtask states.
enum {
  QDVP_UATB_FREE = 0,
  QDVP_UATB_ALLOCATED = 1,
  QDVP_UATB_STARTING = 2,
  QDVP_UATB_END_REQUESTED = 4,
  QDVP_UATB_ENDED = 5,
};
// Request types of an activity.
enum { QDVP_URL_REQUEST_OBJECT = 1, QDVP_URL_REQUEST_PAGE = 2 };

struct URLownerEntry {
  URLownerEntry *pNext;
  char UserName[QDVP_URL_OWNER_MAX + 1];
  char Alias[QDVP_URL_OWNER_MAX + 1];  // four blanks when none
  int UserNameLength;
  int AliasLength;
};

// One monitored URL. Made whole before it is linked; the fields above the first lock mark do
// not change after that.
struct URLrequestEntry {
  char URL[QDVP_URL_ENTRY_MAX + 1];
  time_t StartTime;
  int SampleInterval;  // seconds
  int SampleSetSize;
  int CachePercent;  // 0-100
  int FromConfigFile;
  OSV1_HOLDS Holds;  // the tasks that use the entry outside the URL list lock
  // The sample below, between the client task, the subtasks and the update task.
  OSV1_LOCK Lock QDVP_ACQUIRED_AFTER(DPAB::SNMPnodeLock) QDVP_ACQUIRED_BEFORE(DPAB::HTTPupdateLock);

  // Under the URL management block's URLlistLock.
  URLrequestEntry *pNext;
  URLownerEntry *pOwnerList;
  int OwnerCount;

  // Under Lock.
  // When the next sample is due: milliseconds of QDVP_URLclockMs (0: at once).
  long long NextSampleMs QDVP_GUARDED_BY(Lock);
  time_t LastSampleTime QDVP_GUARDED_BY(Lock);
  int *pResponseTimes QDVP_PT_GUARDED_BY(Lock);  // SampleSetSize entries (milliseconds)
  int CurrentPosition QDVP_GUARDED_BY(Lock);     // in pResponseTimes
  int SamplesTaken QDVP_GUARDED_BY(Lock);
  long CurrentResponseTime QDVP_GUARDED_BY(Lock), AverageResponseTime QDVP_GUARDED_BY(Lock),
      MaximumResponseTime QDVP_GUARDED_BY(Lock), TotalResponseTime QDVP_GUARDED_BY(Lock);
  // The page of the sample being taken: the client task's buffer, lent for the request.
  char *pPageBuffer QDVP_GUARDED_BY(Lock);
  long PageBufferSize QDVP_GUARDED_BY(Lock);  // bytes the buffer holds room for
  long PageSize QDVP_GUARDED_BY(Lock);        // bytes the server sent
  long PageKept QDVP_GUARDED_BY(Lock);        // bytes of it in the buffer
  char PageTitle[QDVP_URL_TITLE_MAX + 1] QDVP_GUARDED_BY(Lock);
  char ServerType[QDVP_URL_SERVER_TYPE_MAX + 1] QDVP_GUARDED_BY(Lock);
  int HTTPversion QDVP_GUARDED_BY(Lock);        // 11 or 10
  int RetriedWithHTTP10 QDVP_GUARDED_BY(Lock);  // the fallback to HTTP 1.0 failed: never again
  uint32_t RequestStatus QDVP_GUARDED_BY(Lock);
  int ValidURLstat QDVP_GUARDED_BY(Lock);  // a finished sample waits to be reported
  int Sampling QDVP_GUARDED_BY(Lock);      // a client task takes a sample: no other task starts one
  struct timespec RequestStart QDVP_GUARDED_BY(Lock), RequestEnd QDVP_GUARDED_BY(Lock);
  // Phases of the page request, microseconds, and the certificate's days to expiry.
  long long DNSTime QDVP_GUARDED_BY(Lock),
      ConnectTime QDVP_GUARDED_BY(Lock), TLSTime QDVP_GUARDED_BY(Lock),
      FirstByteTime QDVP_GUARDED_BY(Lock), TotalTime QDVP_GUARDED_BY(Lock);
  long CertificateDays QDVP_GUARDED_BY(Lock);
  // Objects.
  int OutstandingPage QDVP_GUARDED_BY(Lock);     // 1 while the page request is out
  int OutstandingObjects QDVP_GUARDED_BY(Lock);  // object requests not yet answered
  int ObjectThreshold QDVP_GUARDED_BY(Lock);
  int ObjectsWaited QDVP_GUARDED_BY(Lock);
  int PageObjects QDVP_GUARDED_BY(Lock);       // objects found by the last scan
  long TotalObjectSize QDVP_GUARDED_BY(Lock);  // bytes of the objects of the last scan
  long ScanObjectSize QDVP_GUARDED_BY(Lock);   // bytes counted during the scan under way
  int ScanObjects QDVP_GUARDED_BY(Lock);
  int ObjectCountdown QDVP_GUARDED_BY(Lock);
  int PageCopyCountdown QDVP_GUARDED_BY(Lock);
  int ContentFlag QDVP_GUARDED_BY(Lock);  // write object copies with this sample's objects
};

// One activity subtask. The dispatcher fills the request under Mutex and the subtask hands the
// answer back under it; what the subtask works with meanwhile is its own copy.
struct URLactivityBlock {
  std::atomic<int> Status{QDVP_UATB_STARTING};  // QDVP_UATB_*
  ProcessEntry *pPE = nullptr;                  // set by the subtask before it reports itself free
  // The subtask's own, touched by no other task while it runs.
  HTQ1_Client *pClient = nullptr;
  int ClientVersion = 0;  // 11 or 10
  OSV1_LOCK Mutex QDVP_ACQUIRED_AFTER(DPAB::SNMPnodeLock)
      QDVP_ACQUIRED_BEFORE(URLrequestEntry::Lock) = OSV1_LOCK_INITIALIZER;
  OSV1_COND Cond;  // with Mutex: the hand-over of work and of its end

  // Under the management block's ActivityListLock.
  URLactivityBlock *pNext = nullptr;

  // Under Mutex: the request in hand and its answer.
  int RequestType QDVP_GUARDED_BY(Mutex) = 0;  // QDVP_URL_REQUEST_*
  int TimedOut QDVP_GUARDED_BY(Mutex) = 0;  // the dispatcher gave up waiting: the answer is dropped
  int WaitFlag QDVP_GUARDED_BY(Mutex) = 0;  // the dispatcher waits for the answer
  // The request's number, and that of the last one answered.
  unsigned long Serial QDVP_GUARDED_BY(Mutex) = 0;
  unsigned long Done QDVP_GUARDED_BY(Mutex) = 0;
  URLrequestEntry *pURE QDVP_GUARDED_BY(Mutex) = nullptr;  // held for the subtask by the dispatcher
  char URL[QDVP_URL_MAX + 1] QDVP_GUARDED_BY(Mutex) = "";
  char *pBuffer QDVP_GUARDED_BY(Mutex) = nullptr;  // the page buffer lent with a page request
  long BufferSize QDVP_GUARDED_BY(Mutex) = 0;
  int CopyContent QDVP_GUARDED_BY(Mutex) = 0;  // the object's bytes are copied to disk
};

// The URL management block (one per data provider). The settings at its head are read once
// at start and do not change.
struct URLmanagementBlock {
  int DebugFlag;
  int MaxReplyWait;
  int MaxFreeSubtaskWait;
  int PageObjectsReport;
  int DataSetPeriod;
  int DataSetMinSamples;
  int MaxSampleInterval;
  int MinSampleInterval;  // 60 unless QDVP_URL_MIN_SAMPLE_INTERVAL lowers it
  int OutputStat, OutputHTML, OutputContent;
  int URLsPerClientTask;
  // The pools: client tasks grow with the due URLs up to MaxClientTasks and subtasks with the
  // requests under way up to MaxSubtasks; either beyond its first number ends after
  // IdleTaskSeconds without work. Objects take only free subtasks, at most MaxObjectSubtasks
  // of them at once and PageObjectTasks for one page, at most PageObjectsMax objects of a page
  // per scan and none after the page's reply wait.
  int MaxClientTasks;
  int InitialSubtasks;
  int MaxSubtasks;
  int MaxObjectSubtasks;
  int PageObjectTasks;
  int PageObjectsMax;
  int IdleTaskSeconds;
  long MaxPageSize;  // bytes of a page or object body kept
  char ISPname[QDVP_URL_ISP_MAX + 1];
  int ISPnameLength;
  char *pConfigFile;
  char *pOutputDir;
  char *pStatFile;
  char ProxyUser[64];
  char ProxyPassword[64];
  char Proxy[256];
  char CAfile[1024];
  DPAB *pDPAB;
  // The manager task's own.
  int ClientTasksStarted;
  ProcessEntry *pManagerPE;
  // Subtasks there are (a page request that finds none free makes another, up to MaxSubtasks;
  // an idle one beyond InitialSubtasks ends), and object requests they have under way.
  std::atomic<int> SubtaskLimit;
  std::atomic<int> ObjectsInFlight;
  // The locks in their order (include/qdvp_anchor.h, rank 7).
  OSV1_LOCK ConfigLock QDVP_ACQUIRED_AFTER(DPAB::SNMPnodeLock)
      QDVP_ACQUIRED_BEFORE(URLmanagementBlock::FreeMutex);
  OSV1_LOCK FreeMutex QDVP_ACQUIRED_AFTER(URLmanagementBlock::ConfigLock)
      QDVP_ACQUIRED_BEFORE(URLmanagementBlock::URLlistLock);  // with FreeCond: a free subtask
  OSV1_COND FreeCond;
  OSV1_LOCK URLlistLock QDVP_ACQUIRED_AFTER(URLmanagementBlock::FreeMutex)
      QDVP_ACQUIRED_BEFORE(URLmanagementBlock::ActivityListLock);
  OSV1_LOCK ActivityListLock QDVP_ACQUIRED_AFTER(URLmanagementBlock::URLlistLock)
      QDVP_ACQUIRED_BEFORE(URLactivityBlock::Mutex);
  // With DispatchCond: the DCH update task waits for finished samples.
  OSV1_LOCK DispatchMutex QDVP_ACQUIRED_AFTER(URLrequestEntry::Lock)
      QDVP_ACQUIRED_BEFORE(URLmanagementBlock::ClientListLock);
  OSV1_COND DispatchCond;
  OSV1_LOCK ClientListLock QDVP_ACQUIRED_AFTER(URLmanagementBlock::DispatchMutex)
      QDVP_ACQUIRED_BEFORE(DPAB::HTTPupdateLock);

  URLrequestEntry *pURLlist QDVP_GUARDED_BY(URLlistLock);
  URLrequestEntry *pCurrentURE QDVP_GUARDED_BY(URLlistLock);  // where the client tasks go on
  int URLsManaged QDVP_GUARDED_BY(URLlistLock);
  ProcessEntry *pClientTaskList[64] QDVP_GUARDED_BY(ClientListLock);
  int ClientTaskCount QDVP_GUARDED_BY(ClientListLock);
  int ClientTasksBusy QDVP_GUARDED_BY(ClientListLock);      // taking a sample
  int ClientTasksStarting QDVP_GUARDED_BY(ClientListLock);  // made, not yet in the list
  URLactivityBlock *pActivityList QDVP_GUARDED_BY(ActivityListLock);
  int ConfigUpdatePending QDVP_GUARDED_BY(ConfigLock);
  unsigned long DispatchCount QDVP_GUARDED_BY(DispatchMutex);  // finished samples and objects
  ProcessEntry *pUpdatePE QDVP_GUARDED_BY(DispatchMutex);
};

// The management block of the anchor, or null.
URLmanagementBlock *QDVP_URLmanager(DPAB *anchor);

int QDVP_InitializeUMB(DPAB *anchor);
int QDVP_ProcessURLconfigFile(URLmanagementBlock *umb);
void QDVP_UpdateURLconfigurationFile(DPAB *anchor);
void QDVP_SetURLconfigurationUpdate(void);
// Adds a URL for an owner; the new entry, or null (with *alreadyMonitored 1 for a duplicate).
URLrequestEntry *QDVP_AllocateHTTPrequestBlock(DPAB *anchor, const char *url, const char *alias,
                                               int interval, const char *owner, int cachePercent,
                                               int *alreadyMonitored);
// Takes an entry out of the list, with the URL list lock held: nobody finds it or takes a hold
// on it from now on, and the caller is the one who deletes it.
void QDVP_UnlinkHTTPrequestBlock(URLmanagementBlock *umb, URLrequestEntry *entry)
    QDVP_REQUIRES(umb->URLlistLock);
// Deletes an entry the caller unlinked: the row that removes it at the agent (for owner), the
// end of its request in flight, the wait for its holders, the free. Without the URL list lock.
void QDVP_DeleteHTTPrequestBlock(DPAB *anchor, URLrequestEntry *entry, const char *owner);
int QDVP_FindURE(URLrequestEntry *entry);
void QDVP_DetermineURLsampleSetValues(URLrequestEntry *entry, int interval);
// Wakes the manager task (a URL was added).
void QDVP_SignalHTTPmanager(DPAB *anchor);
// Wakes a task of URL monitoring so that a wake-up cannot be missed: a work item stays queued
// until the task drains it.
// The clock URL samples are scheduled by: milliseconds on the monotonic clock (under the test
// clock, its seconds).
long long QDVP_URLclockMs(void);
void QDVP_NudgeTask(ProcessEntry *pe);
void QDVP_DrainNudges(ProcessEntry *pe);
// A hold on a listed entry, taken with the URL list lock held (see Lifetimes above); false
// when the entry is being deleted.
bool QDVP_HoldURE(URLmanagementBlock *umb, URLrequestEntry *entry) QDVP_REQUIRES(umb->URLlistLock);
// A holder of the entry lets go (any lock may be held).
void QDVP_ReleaseURE(URLrequestEntry *entry);
// The sources of the HTTP application's tables, or null before it is defined.
struct SourceEntry *QDVP_URLsource(DPAB *anchor);
struct SourceEntry *QDVP_ObjectSource(DPAB *anchor);
// Brings a report source online once its registration has finished; true when it is Active.
bool QDVP_HTTPsourceOnline(DPAB *anchor, struct SourceEntry *source, ProcessEntry *pe);
// The URL as monitored: "HTTP:\\" becomes "http://", and one without "http://" or "https://"
// (in any case) gets "http://" in front. False when the result would not fit.
bool QDVP_NormalizeURL(const char *token, char *url, size_t size, bool *converted);

// Activity subtasks. A dispatch returns 1 when answered (or not waited for), 0 when the wait for
// the answer timed out (the subtask keeps what was lent to it), -1 when it was not dispatched.
// A subtask for a request of that type: for a page a free one, else a new one when there are
// fewer than MaxSubtasks, else the first to come free (null after MaxFreeSubtaskWait or at the
// end); for an object a free one at once or null (objects never wait for nor make a subtask).
URLactivityBlock *QDVP_LocateFreeActivitySubtask(int requestType);
// Waits up to ms for a subtask to come free.
void QDVP_WaitForFreeActivitySubtask(int ms);
int QDVP_DispatchActivitySubtask(URLactivityBlock *block, URLrequestEntry *entry, const char *url,
                                 int requestType, int wait, int waitForReply);
URLactivityBlock *QDVP_CreateHTTPclientWorkTask(void);

// Tasks.
void QDVP_HTTPmanagerTask(ProcessEntry *);
void QDVP_HTTPclientTask(ProcessEntry *);
void QDVP_DoHTTPactivity(ProcessEntry *);
void QDVP_DoHTTPupdateDCH(ProcessEntry *);
int QDVP_DoHTTPconnect(URLactivityBlock *block, int version);
void QDVP_CalculateURLresponseTime(const struct timespec *start, const struct timespec *end,
                                   URLrequestEntry *entry) QDVP_REQUIRES(entry->Lock);
// The page title of a page (at most 255 characters; "No page title available").
void QDVP_FindPageTitle(const char *page, long length, char *title, size_t size);
// The objects a page names, in scan order, as absolute URLs; a name already found is left out.
// Stops once the names take more than listMax bytes.
int QDVP_FindPageObjects(const char *page, long length, const char *pageURL,
                         void (*found)(const char *objectURL, void *context), void *context,
                         size_t listMax);

// Output.
// One URL_Objects row; status is that of the object's request (our Object_Status).
void QDVP_DoObjectUpdateDCH(DPAB *anchor, const char *url, int urlLength, const char *name,
                            int nameLength, long size, uint32_t status);
void QDVP_OutputURLstat(URLmanagementBlock *umb);
void QDVP_OutputURLpage(URLmanagementBlock *umb, URLrequestEntry *entry) QDVP_REQUIRES(entry->Lock);
void QDVP_OutputURLobject(URLmanagementBlock *umb, const char *pageURL, const char *objectURL,
                          const char *data, long length);
int QDVP_CreateURLoutputDir(URLmanagementBlock *umb, const char *url, char *dir, size_t size);
// The text of a sample's status for its row ("OK", "404: Not Found", ...).
void QDVP_URLstatusText(uint32_t status, char *text, size_t size);
void QDVP_StopSitHTTPrequest(DPAB *anchor, const char *owner);
int QDVP_StopActionURLrequest(DPAB *anchor, const char *url, const char *owner);

// The HTTP application: "Internet" with Managed_URL and URL_Objects.
void QDVP_DefineHTTPapplication(DPAB *anchor);
