// URL monitoring: the URL management block, one URL request entry per monitored URL, the
// activity subtasks that perform single HTTP requests, and the operations other subsystems call
// (the take actions that add and remove URLs, the configuration requests).
//
// The locks and their order: include/qdvp_anchor.h (rank 7; the URL rows' locks are the
// anchor's HTTPupdateLock and ObjectUpdateLock). An entry is only touched outside the URL list
// lock by a task that holds a use of it (InUse, counted under the URL list lock); one that is
// removed while in use is unlinked at once and freed by its last user.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include <atomic>

#include "qdvp_anchor.h"

struct HTQ1_Client;
struct HTQ1_Activity;

enum {
  QDVP_URL_MAX = 1024,           // a URL that may be monitored or dispatched
  QDVP_URL_ENTRY_MAX = 1027,     // a URL an entry may hold
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

// One monitored URL.
struct URLrequestEntry {
  URLrequestEntry *pNext;
  char URL[QDVP_URL_ENTRY_MAX + 1];
  time_t StartTime;
  int SampleInterval;   // seconds
  int SampleSetSize;
  time_t NextSampleTime;
  time_t LastSampleTime;
  int CachePercent;     // 0-100
  int *pResponseTimes;  // SampleSetSize entries (milliseconds)
  int CurrentPosition;  // in pResponseTimes
  int SamplesTaken;
  long CurrentResponseTime, AverageResponseTime, MaximumResponseTime, TotalResponseTime;
  // The page of the sample being taken: the client task's buffer, lent for the request.
  char *pPageBuffer;
  long PageBufferSize;  // bytes the buffer holds room for
  long PageSize;        // bytes the server sent
  long PageKept;        // bytes of it in the buffer
  char PageTitle[QDVP_URL_TITLE_MAX + 1];
  char ServerType[QDVP_URL_SERVER_TYPE_MAX + 1];
  int HTTPversion;      // 11 or 10
  int RetriedWithHTTP10;  // the fallback to HTTP 1.0 was tried and failed: never again
  uint32_t RequestStatus;
  int ValidURLstat;     // a finished sample waits to be reported
  struct timespec RequestStart, RequestEnd;
  // Phases of the page request, microseconds, and the certificate's days to expiry.
  long long DNSTime, ConnectTime, TLSTime, FirstByteTime, TotalTime;
  long CertificateDays;
  // Objects.
  int OutstandingPage;     // 1 while the page request is out
  int OutstandingObjects;  // object requests not yet answered
  int ObjectThreshold;
  int ObjectsWaited;
  int PageObjects;         // objects found by the last scan
  long TotalObjectSize;    // bytes of the objects of the last scan
  long ScanObjectSize;     // bytes counted during the scan under way
  int ScanObjects;
  int ObjectCountdown;
  int PageCopyCountdown;
  int ContentFlag;         // write object copies with this sample's objects
  int FromConfigFile;
  URLownerEntry *pOwnerList;
  int OwnerCount;
  // Uses held outside the URL list lock, and the removal that waits for the last of them.
  int InUse;
  int Deleted;
  // Status, version, counters, between a client task and the subtasks.
  OSV1_LOCK Lock QDVP_ACQUIRED_AFTER(DPAB::SNMPnodeLock)
      QDVP_ACQUIRED_BEFORE(URLrequestEntry::Mutex);
  // With Cond: a dispatcher waits here for its reply.
  OSV1_LOCK Mutex QDVP_ACQUIRED_AFTER(URLrequestEntry::Lock)
      QDVP_ACQUIRED_BEFORE(DPAB::HTTPupdateLock);
  pthread_cond_t Cond;
};

// One activity subtask.
struct URLactivityBlock {
  URLactivityBlock *pNext;
  std::atomic<int> Status;  // QDVP_UATB_*
  int RequestType;  // QDVP_URL_REQUEST_*
  int TimedOut;     // the dispatcher gave up waiting: the answer is dropped
  int WaitFlag;     // the dispatcher waits for the answer
  unsigned long Serial;  // of the request in hand; Done is set to it when it is answered
  unsigned long Done;
  URLrequestEntry *pURE;
  char URL[QDVP_URL_MAX + 1];
  char *pBuffer;     // the page buffer lent with a page request
  long BufferSize;
  uint32_t ObjectStatus;  // of the object request in hand
  int CopyContent;  // the object's bytes are copied to disk (its sample's content flag)
  HTQ1_Client *pClient;
  HTQ1_Activity *pActivity;
  int ClientVersion;  // 11 or 10
  ProcessEntry *pPE;
  // With Cond: the hand-over of work and of its end.
  OSV1_LOCK Mutex QDVP_ACQUIRED_AFTER(DPAB::SNMPnodeLock)
      QDVP_ACQUIRED_BEFORE(URLactivityBlock::Lock);
  pthread_cond_t Cond;
  OSV1_LOCK Lock QDVP_ACQUIRED_AFTER(URLactivityBlock::Mutex)
      QDVP_ACQUIRED_BEFORE(URLrequestEntry::Lock);
};

// The URL management block (one per data provider).
struct URLmanagementBlock {
  int DebugFlag;
  int MaxReplyWait;
  int MaxFreeSubtaskWait;
  int SubtaskLimit;
  int ClientTasksStarted;
  int ConfigUpdatePending;
  int PageObjectsReport;
  int DataSetPeriod;
  int DataSetMinSamples;
  int MaxSampleInterval;
  int MinSampleInterval;  // 60 unless QDVP_URL_MIN_SAMPLE_INTERVAL lowers it
  int OutputStat, OutputHTML, OutputContent;
  int URLsManaged;
  int URLsPerClientTask;
  long MaxPageSize;       // bytes of a page or object body kept
  char ISPname[QDVP_URL_ISP_MAX + 1];
  int ISPnameLength;
  char *pConfigFile;
  char *pOutputDir;
  char *pStatFile;
  char ProxyUser[64];
  char ProxyPassword[64];
  char Proxy[256];
  char CAfile[1024];
  ProcessEntry *pClientTaskList[64];  // client tasks, under ClientListLock
  int ClientTaskCount;
  ProcessEntry *pManagerPE;
  ProcessEntry *pUpdatePE;
  DPAB *pDPAB;
  URLrequestEntry *pURLlist;
  URLrequestEntry *pCurrentURE;  // where the client tasks take the next URL
  URLactivityBlock *pActivityList;
  // The locks in their order (include/qdvp_anchor.h, rank 7).
  OSV1_LOCK ConfigLock QDVP_ACQUIRED_AFTER(DPAB::SNMPnodeLock)
      QDVP_ACQUIRED_BEFORE(URLmanagementBlock::FreeMutex);
  // With FreeCond: a wait for a free.
  OSV1_LOCK FreeMutex QDVP_ACQUIRED_AFTER(URLmanagementBlock::ConfigLock)
      QDVP_ACQUIRED_BEFORE(URLmanagementBlock::URLlistLock);
  // subtask
  pthread_cond_t FreeCond;
  OSV1_LOCK URLlistLock QDVP_ACQUIRED_AFTER(URLmanagementBlock::FreeMutex)
      QDVP_ACQUIRED_BEFORE(URLmanagementBlock::ActivityListLock);
  OSV1_LOCK ActivityListLock QDVP_ACQUIRED_AFTER(URLmanagementBlock::URLlistLock)
      QDVP_ACQUIRED_BEFORE(URLactivityBlock::Mutex);
  // With DispatchCond: the DCH update task waits for finished samples.
  OSV1_LOCK DispatchMutex QDVP_ACQUIRED_AFTER(URLrequestEntry::Mutex)
      QDVP_ACQUIRED_BEFORE(URLmanagementBlock::ClientListLock);
  OSV1_LOCK ClientListLock QDVP_ACQUIRED_AFTER(URLmanagementBlock::DispatchMutex)
      QDVP_ACQUIRED_BEFORE(DPAB::HTTPupdateLock);
  pthread_cond_t DispatchCond;
  unsigned long DispatchCount;  // finished samples and objects, under DispatchMutex
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
void QDVP_DeleteHTTPrequestBlock(DPAB *anchor, URLrequestEntry *entry, const char *owner)
    QDVP_NO_THREAD_SAFETY_ANALYSIS;
int QDVP_FindURE(URLrequestEntry *entry);
void QDVP_DetermineURLsampleSetValues(URLrequestEntry *entry, int interval);
// Wakes the manager task (a URL was added).
void QDVP_SignalHTTPmanager(DPAB *anchor);
// Wakes a task of URL monitoring so that a wake-up cannot be missed: a work item stays queued
// until the task drains it.
void QDVP_NudgeTask(ProcessEntry *pe);
void QDVP_DrainNudges(ProcessEntry *pe);
// An entry's use outside the URL list lock ends (the lock order: include/qdvp_anchor.h).
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
URLactivityBlock *QDVP_LocateFreeActivitySubtask(void);
int QDVP_DispatchActivitySubtask(URLactivityBlock *block, URLrequestEntry *entry, const char *url,
                                 int requestType, int wait, int waitForReply);
URLactivityBlock *QDVP_CreateHTTPclientWorkTask(void);
// Ends the request in hand (or the subtask's first start), frees the block, wakes a dispatcher.
void QDVP_CompleteActivity(URLactivityBlock *block);

// Tasks.
void QDVP_HTTPmanagerTask(ProcessEntry *);
void QDVP_HTTPclientTask(ProcessEntry *);
void QDVP_DoHTTPactivity(ProcessEntry *);
void QDVP_DoHTTPupdateDCH(ProcessEntry *);
int QDVP_DoHTTPconnect(URLactivityBlock *block, int version);
void QDVP_CalculateURLresponseTime(const struct timespec *start, const struct timespec *end,
                                   URLrequestEntry *entry);
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
void QDVP_OutputURLpage(URLmanagementBlock *umb, URLrequestEntry *entry);
void QDVP_OutputURLobject(URLmanagementBlock *umb, const char *pageURL, const char *objectURL,
                          const char *data, long length);
int QDVP_CreateURLoutputDir(URLmanagementBlock *umb, const char *url, char *dir, size_t size);
// The text of a sample's status for its row ("OK", "404: Not Found", ...).
void QDVP_URLstatusText(uint32_t status, char *text, size_t size);
void QDVP_StopSitHTTPrequest(DPAB *anchor, const char *owner);
int QDVP_StopActionURLrequest(DPAB *anchor, const char *url, const char *owner);

// The HTTP application: "Internet" with Managed_URL and URL_Objects.
void QDVP_DefineHTTPapplication(DPAB *anchor);
