// The URL manager: the management block, the list of monitored URLs (adding, finding and
// removing entries, their sample values), and the manager task that paces the samples, sizes the
// pool of client tasks, rewrites the configuration file and, at shutdown, ends the others.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "../core/support/htq1.h"
#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_agentlink.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_dplog.h"
#include "../include/qdvp_http.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_records.h"
#include "../include/qdvp_request.h"

static TRK1_BLOCK trk = {"qdvphmgr"};

namespace {

// The row control of a row that removes a URL's row at the agent.
const int kRowDelete = 221;
// Seconds the manager gives the first client tasks to start before its first look.
const int kStartPause = 3;
// The least milliseconds between the starts of two passes: URLs that fall due within that
// time of each other are taken by one pass, so that a thousand URLs of scattered schedules do
// not make a pass each.
const long kPassSpacingMs = 100;
// The least milliseconds between two rewrites of the statistics file.
const long kStatSpacingMs = 1000;
// How long the manager waits for the client tasks to end a pass under way before it looks
// again (they wake it when they reach the end).
const long kBusyLookMs = 1000;

// The one management block of the process (the calls without an anchor reach it here).
URLmanagementBlock *sUMB = nullptr;

int EnvNumber(const char *name, const char *defaultValue) {
  return atoi(QDV0_GetEnv(name, defaultValue));
}

void CopyText(char *out, size_t size, const char *text) {
  snprintf(out, size, "%s", text ? text : "");
}

// Reads the ISP name: the setting, else the first word of the ISP file's first line, else "LAN".
void SetISPname(URLmanagementBlock *umb) {
  const char *name = QDV0_GetEnv("QDVP_URL_ISP_NAME", nullptr);
  char word[QDVP_URL_ISP_MAX + 1] = "";
  if (name != nullptr) {
    CopyText(word, sizeof(word), name);
  } else {
    const char *fileName = QDV0_GetEnv("QDVP_URL_ISP_FILE_NAME", "ISP.ID");
    char *path = QDV0_QualifyFileName(nullptr, fileName);
    FILE *f = path != nullptr ? QDV0_OpenRegularFile(path) : nullptr;
    char line[256];
    if (f != nullptr && fgets(line, sizeof(line), f) != nullptr) {
      sscanf(line, "%64s", word);
    }
    if (f != nullptr) fclose(f);
    QDV0_Free(path);
  }
  if (word[0] == '\0') CopyText(word, sizeof(word), "LAN");
  CopyText(umb->ISPname, sizeof(umb->ISPname), word);
  umb->ISPnameLength = static_cast<int>(strlen(umb->ISPname));
}

// Frees an entry nobody holds or finds any more.
void FreeEntry(URLrequestEntry *entry) {
  for (URLownerEntry *o = entry->pOwnerList; o != nullptr;) {
    URLownerEntry *next = o->pNext;
    QDV0_FreeStorage(&o);
    o = next;
  }
  QDV0_FreeStorage(&entry->pResponseTimes);
  OSV1_DestroyLock(&entry->Lock);
  QDV0_Free(entry);
}

// Wakes every client task (client task list lock taken here).
void SignalClientTasks(URLmanagementBlock *umb) {
  OSV1_Guard clients(&umb->ClientListLock);
  for (int i = 0; i < umb->ClientTaskCount; i++) QDVP_NudgeTask(umb->pClientTaskList[i]);
}

// Starts client tasks up to the number the managed URLs need.
void StartClientTasks(DPAB *anchor, URLmanagementBlock *umb) {
  int managed;
  {
    OSV1_Guard list(&umb->URLlistLock);
    managed = umb->URLsManaged;
  }
  int perTask = umb->URLsPerClientTask > 0 ? umb->URLsPerClientTask : 250;
  int needed = managed / perTask + 1;
  int max = static_cast<int>(sizeof(umb->pClientTaskList) / sizeof(umb->pClientTaskList[0]));
  if (needed > max) needed = max;
  if (needed <= umb->ClientTasksStarted) return;
  QDVP_TRC(trk, TRK1_DETAIL, "Starting HTTP client tasks....from %d to %d", umb->ClientTasksStarted,
           needed);
  while (umb->ClientTasksStarted < needed) {
    if (!QDVP_CreateProcess(anchor, QDVP_TYPE_HTTP, umb, QDVP_HTTPclientTask, 0, nullptr)) break;
    umb->ClientTasksStarted++;
  }
}

// The milliseconds the manager waits before its next look at the list: until the earliest
// URL is due, at most MaxSampleInterval seconds. When a URL is due and no pass is under way, a
// pass over the whole list starts (the client tasks take every URL due from the head on), but
// not before notBefore. A pass under way is left to finish: starting it again from the head
// would starve the URLs behind one that takes longer than the manager's look to answer; the
// client tasks wake the manager when they reach its end, and the wait is at most kBusyLookMs.
// *pass: a pass is under way, just started or not.
long NextWaitMs(URLmanagementBlock *umb, long long notBefore, bool *started, bool *pass) {
  long long now = QDVP_URLclockMs();
  long long wait = umb->MaxSampleInterval * 1000LL;
  bool due = false;
  *started = false;
  OSV1_Guard list(&umb->URLlistLock);
  for (URLrequestEntry *e = umb->pURLlist; e != nullptr; e = e->pNext) {
    long long next;
    {
      OSV1_Guard entry(&e->Lock);
      // A URL whose sample is still under way (a server slower than its interval) cannot be
      // sampled again before it ends; the task taking it wakes the manager then.
      if (e->Sampling) continue;
      next = e->NextSampleMs;
    }
    if (next <= now) {
      due = true;
    } else if (next - now < wait) {
      wait = next - now;
    }
  }
  if (due && umb->pCurrentURE == nullptr && now >= notBefore) {
    umb->pCurrentURE = umb->pURLlist;
    *started = true;
    QDVP_TRC(trk, TRK1_DETAIL, "A URL is due: a pass starts at URE @%p", (void *)umb->pURLlist);
  }
  *pass = umb->pCurrentURE != nullptr;
  if (*pass) return kBusyLookMs;
  if (due) return static_cast<long>(notBefore - now);  // the next pass may start then
  return static_cast<long>(wait);
}

// The end of the manager: client tasks, the update task, then the subtasks and the entries.
void EndURLmonitoring(DPAB *anchor, URLmanagementBlock *umb) {
  {
    OSV1_Guard clients(&umb->ClientListLock);
    for (int i = 0; i < umb->ClientTaskCount; i++) {
      umb->pClientTaskList[i]->Terminate = 1;
      QDVP_SignalTaskIO(umb->pClientTaskList[i]);
    }
  }
  // A client task that waits for a free subtask is woken to see its end; each one that ends
  // says so on the dispatcher condition. A task started by another one joins the list late:
  // every turn marks the list anew.
  auto running = [umb] {
    OSV1_Guard clients(&umb->ClientListLock);
    for (int i = 0; i < umb->ClientTaskCount; i++) {
      umb->pClientTaskList[i]->Terminate = 1;
      QDVP_SignalTaskIO(umb->pClientTaskList[i]);
    }
    return umb->ClientTaskCount + umb->ClientTasksStarting;
  };
  while (running() > 0) {
    OSV1_GetLock(&umb->FreeMutex);
    OSV1_WakeAll(&umb->FreeCond, &umb->FreeMutex);
    OSV1_ReleaseLock(&umb->FreeMutex);
    OSV1_Guard dispatch(&umb->DispatchMutex);
    if (running() > 0) QDV0_ConditionTimedWaitMs(&umb->DispatchCond, &umb->DispatchMutex, 200);
  }
  {
    OSV1_Guard dispatch(&umb->DispatchMutex);
    while (umb->pUpdatePE != nullptr) {
      umb->pUpdatePE->Terminate = 1;
      OSV1_WakeAll(&umb->DispatchCond, &umb->DispatchMutex);
      QDV0_ConditionTimedWaitMs(&umb->DispatchCond, &umb->DispatchMutex, 200);
    }
  }
  for (URLactivityBlock *b;;) {
    {
      OSV1_Guard list(&umb->ActivityListLock);
      b = umb->pActivityList;
      if (b != nullptr) umb->pActivityList = b->pNext;
    }
    if (b == nullptr) break;
    OSV1_GetLock(&b->Mutex);
    b->Status = QDVP_UATB_END_REQUESTED;
    OSV1_WakeAll(&b->Cond, &b->Mutex);
    while (b->Status != QDVP_UATB_ENDED) QDV0_ConditionTimedWait(&b->Cond, &b->Mutex, 1);
    OSV1_ReleaseLock(&b->Mutex);
    QDV0_Free(b);
  }
  OSV1_GetLock(&umb->FreeMutex);
  OSV1_WakeAll(&umb->FreeCond, &umb->FreeMutex);
  OSV1_ReleaseLock(&umb->FreeMutex);
  {
    OSV1_Guard list(&umb->URLlistLock);
    for (URLrequestEntry *e = umb->pURLlist; e != nullptr;) {
      URLrequestEntry *next = e->pNext;
      FreeEntry(e);
      e = next;
    }
    umb->pURLlist = umb->pCurrentURE = nullptr;
  }
  QDVP_SendDPlogMessage(anchor, 81);
  sUMB = nullptr;
  anchor->pURLmanager = nullptr;
  anchor->pHTTPmanager = nullptr;
  QDV0_Free(umb->pConfigFile);
  QDV0_Free(umb->pOutputDir);
  QDV0_Free(umb->pStatFile);
  QDV0_Free(umb);
}

}  // namespace

long long QDVP_URLclockMs(void) {
  if (QDV0_IsManualClock()) return static_cast<long long>(QDV0_Time()) * 1000;
  return QDV0_MonotonicMs();
}

URLmanagementBlock *QDVP_URLmanager(DPAB *anchor) {
  return anchor != nullptr ? static_cast<URLmanagementBlock *>(anchor->pURLmanager.load()) : sUMB;
}

int QDVP_InitializeUMB(DPAB *anchor) {
  QDVP_TRC_ENTRY(trk);
  if (sUMB != nullptr) return 1;
  auto *umb = QDV0_New<URLmanagementBlock>();
  if (umb == nullptr) return 0;
  umb->DebugFlag = QDV0_IsFlagSet(QDV0_GetEnv("QDVP_HTTP_DEBUG", "N"));
  if (umb->DebugFlag)
    TRK1_SetFlags(static_cast<int>(TRK1_GlobalFlags.load()) | TRK1_DETAIL | TRK1_ERROR);
  umb->MaxReplyWait = EnvNumber("QDVP_URL_MAX_REPLY_WAIT", "45");
  if (umb->MaxReplyWait < 1) umb->MaxReplyWait = 45;
  umb->MaxFreeSubtaskWait = EnvNumber("QDVP_URL_MAX_FREE_SUBTASK_WAIT", "120");
  if (umb->MaxFreeSubtaskWait < 1) umb->MaxFreeSubtaskWait = 120;
  umb->SubtaskLimit = EnvNumber("QDVP_URL_INIT_TASKS", "3");
  if (umb->SubtaskLimit < 1) umb->SubtaskLimit = 3;
  umb->PageObjectsReport = QDV0_IsFlagSet(QDV0_GetEnv("QDVP_URL_PAGE_OBJECTS_REPORT", "Y"));
  umb->DataSetPeriod = EnvNumber("QDVP_URL_DATASET_PERIOD", "900");
  if (umb->DataSetPeriod < 1) umb->DataSetPeriod = 900;
  umb->DataSetMinSamples = EnvNumber("QDVP_URL_DATASET_MIN_SAMPLES", "3");
  if (umb->DataSetMinSamples < 1) umb->DataSetMinSamples = 3;
  umb->MaxSampleInterval = umb->DataSetPeriod / umb->DataSetMinSamples;
  if (umb->MaxSampleInterval < 1) umb->MaxSampleInterval = 1;
  umb->MinSampleInterval = EnvNumber("QDVP_URL_MIN_SAMPLE_INTERVAL", "60");
  if (umb->MinSampleInterval < 1 || umb->MinSampleInterval > 60) umb->MinSampleInterval = 60;
  umb->OutputStat = QDV0_IsFlagSet(QDV0_GetEnv("QDVP_URL_OUTPUT_STAT", "N"));
  umb->OutputHTML = QDV0_IsFlagSet(QDV0_GetEnv("QDVP_URL_OUTPUT_HTML", "N"));
  umb->OutputContent = QDV0_IsFlagSet(QDV0_GetEnv("QDVP_URL_OUTPUT_CONTENT", "N"));
  umb->URLsPerClientTask = EnvNumber("QDVP_URL_PER_CLIENT_TASK", "250");
  if (umb->URLsPerClientTask < 1) umb->URLsPerClientTask = 250;
  auto bounded = [](const char *name, const char *fallback, int low, int high) {
    int n = EnvNumber(name, fallback);
    return n < low ? atoi(fallback) : n > high ? high : n;
  };
  umb->MaxClientTasks = bounded("QDVP_URL_MAX_CLIENT_TASKS", "32", 1, 64);
  umb->InitialSubtasks = umb->SubtaskLimit;
  umb->MaxSubtasks = bounded("QDVP_URL_MAX_TASKS", "128", 1, 4096);
  if (umb->MaxSubtasks < umb->InitialSubtasks) umb->MaxSubtasks = umb->InitialSubtasks;
  umb->MaxObjectSubtasks = bounded("QDVP_URL_MAX_OBJECT_TASKS", "16", 1, 4096);
  umb->PageObjectTasks = bounded("QDVP_URL_PAGE_OBJECT_TASKS", "4", 1, 4096);
  umb->PageObjectsMax = bounded("QDVP_URL_MAX_PAGE_OBJECTS", "200", 1, QDVP_URL_OBJECT_LIST_MAX);
  umb->IdleTaskSeconds = bounded("QDVP_URL_IDLE_TASK_SECONDS", "60", 1, 86400);
  umb->MaxPageSize = atol(QDV0_GetEnv("QDVP_URL_MAX_PAGE_SIZE", "1048576"));
  if (umb->MaxPageSize < QDVP_URL_PAGE_BUFFER) umb->MaxPageSize = QDVP_URL_PAGE_BUFFER;
  SetISPname(umb);
  const char *cfg = QDV0_QueryProductSpec(33);
  umb->pConfigFile = QDV0_QualifyFileName(nullptr, cfg != nullptr ? cfg : "qdvpurls.cfg");
  const char *dir = QDV0_GetEnv("QDVP_URL_OUTPUT_DIR", nullptr);
  if (dir != nullptr) {
    // The block owns its copy (the check gives back the setting itself when it needs no change).
    char *checked = QDV0_CheckPathSpec(dir);
    umb->pOutputDir = checked == dir ? QDV0_StrDup(dir) : checked;
    if (umb->pOutputDir != nullptr) {
      umb->pStatFile = QDV0_ConstructFullyQualifiedName(umb->pOutputDir, "URLSTATS.csv");
    }
  }
  CopyText(umb->ProxyUser, sizeof(umb->ProxyUser), QDV0_GetEnv("QDVP_HTTP_PROXY_USERID", ""));
  CopyText(umb->ProxyPassword, sizeof(umb->ProxyPassword),
           QDV0_GetEnv("QDVP_HTTP_PROXY_PASSWORD", ""));
  CopyText(umb->Proxy, sizeof(umb->Proxy), QDV0_GetEnv("QDVP_HTTP_PROXY", ""));
  CopyText(umb->CAfile, sizeof(umb->CAfile), QDV0_GetEnv("QDVP_URL_CA_FILE", ""));
  for (OSV1_LOCK *lock : {&umb->URLlistLock, &umb->ClientListLock, &umb->ActivityListLock,
                          &umb->ConfigLock, &umb->FreeMutex, &umb->DispatchMutex}) {
    OSV1_InitializeLock(lock);
  }
  umb->pDPAB = anchor;
  HTQ1_Initialize();
  sUMB = umb;
  anchor->pURLmanager = umb;
  QDVP_ProcessURLconfigFile(umb);
  QDVP_TRC_EXIT(trk, 1);
  return 1;
}

void QDVP_SetURLconfigurationUpdate(void) {
  URLmanagementBlock *umb = sUMB;
  if (umb == nullptr) return;
  {
    OSV1_Guard config(&umb->ConfigLock);
    umb->ConfigUpdatePending = 1;
  }
  // The manager, which may wait for a URL due minutes from now, rewrites the file at once.
  if (umb->pManagerPE != nullptr) QDVP_NudgeTask(umb->pManagerPE);
}

void QDVP_DetermineURLsampleSetValues(URLrequestEntry *entry, int interval) {
  URLmanagementBlock *umb = sUMB;
  int max = umb != nullptr ? umb->MaxSampleInterval : 300;
  int min = umb != nullptr ? umb->MinSampleInterval : 60;
  if (entry->SampleInterval == 0 || entry->SampleInterval > interval) {
    int value = interval < 1 ? max : interval;
    if (value < min) value = min;
    if (value > 3600) value = 3600;
    entry->SampleInterval = value;
  }
  if (entry->SampleInterval > max) {
    entry->SampleInterval = max;
    QDVP_TRC(trk, TRK1_DETAIL,
             "Sample interval decreased to max sample set interval limit of %d for URL <%s>", max,
             entry->URL);
  }
  if (entry->SampleSetSize == 0) {
    int period = umb != nullptr ? umb->DataSetPeriod : 900;
    entry->SampleSetSize = period / entry->SampleInterval;
    if (entry->SampleSetSize < 1) entry->SampleSetSize = 1;
  }
}

URLrequestEntry *QDVP_AllocateHTTPrequestBlock(DPAB *anchor, const char *url, const char *alias,
                                               int interval, const char *owner, int cachePercent,
                                               int *alreadyMonitored) {
  if (alreadyMonitored != nullptr) *alreadyMonitored = 0;
  URLmanagementBlock *umb = sUMB;
  if (umb == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "Unable to allocate new URE.  URLmanagementBlock not available.");
    return nullptr;
  }
  // A control character (a line feed above all) would break the configuration file's lines.
  auto controlFree = [](const char *text) {
    for (const char *p = text; p != nullptr && *p != '\0'; p++) {
      if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f) return false;
    }
    return true;
  };
  if (anchor == nullptr || url == nullptr || !controlFree(url) || !controlFree(owner) ||
      !controlFree(alias)) {
    QDVP_TRC(trk, TRK1_ERROR, "URE allocation bypassed. Input invalid. pDPAB @%p URL @%p",
             (void *)anchor, (const void *)url);
    return nullptr;
  }
  {
    OSV1_Guard list(&umb->URLlistLock);
    for (URLrequestEntry *e = umb->pURLlist; e != nullptr; e = e->pNext) {
      if (strcasecmp(e->URL, url) != 0) continue;
      QDVP_TRC(trk, TRK1_DETAIL,
               "Input URL <%s> already being monitored with status interval: %d seconds", url,
               e->SampleInterval);
      if (alreadyMonitored != nullptr) *alreadyMonitored = 1;
      return nullptr;
    }
  }
  size_t length = strlen(url);
  if (length > QDVP_URL_ENTRY_MAX) {
    QDVP_TRC(trk, TRK1_ERROR, "URE allocation failed. URL size: %d URL {%s}",
             static_cast<int>(length), url);
    return nullptr;
  }
  auto *entry = QDV0_New<URLrequestEntry>();
  auto *ownerEntry = static_cast<URLownerEntry *>(QDV0_GetStorage(sizeof(URLownerEntry)));
  if (entry == nullptr || ownerEntry == nullptr) {
    QDV0_Free(entry);
    QDV0_FreeStorage(&ownerEntry);
    return nullptr;
  }
  OSV1_InitializeLock(&entry->Lock);
  memcpy(entry->URL, url, length + 1);
  QDVP_DetermineURLsampleSetValues(entry, interval);
  entry->pResponseTimes =
      static_cast<int *>(QDV0_GetStorage(sizeof(int) * static_cast<size_t>(entry->SampleSetSize)));
  if (entry->pResponseTimes == nullptr) {
    FreeEntry(entry);
    QDV0_FreeStorage(&ownerEntry);
    return nullptr;
  }
  entry->StartTime = QDV0_Time();
  if (cachePercent < 0 || cachePercent > 100) {
    QDVP_TRC(trk, TRK1_ERROR, "*****Input cache percent %d invalid. Default %d used", cachePercent,
             0);
    cachePercent = 0;
  }
  entry->CachePercent = cachePercent;
  {
    OSV1_Guard hold(&entry->Lock);  // nobody else sees it yet; the lock keeps the marks true
    entry->HTTPversion = 11;
    entry->CertificateDays = -9999;
  }
  snprintf(ownerEntry->UserName, sizeof(ownerEntry->UserName), "%s", owner ? owner : "");
  snprintf(ownerEntry->Alias, sizeof(ownerEntry->Alias), "%s",
           alias != nullptr && alias[0] != '\0' ? alias : "    ");
  ownerEntry->UserNameLength = static_cast<int>(strlen(ownerEntry->UserName));
  ownerEntry->AliasLength = static_cast<int>(strlen(ownerEntry->Alias));
  entry->pOwnerList = ownerEntry;
  entry->OwnerCount = 1;
  int total;
  {
    OSV1_Guard list(&umb->URLlistLock);
    // Looked at again: another task may have added the same URL meanwhile.
    for (URLrequestEntry *e = umb->pURLlist; e != nullptr; e = e->pNext) {
      if (strcasecmp(e->URL, url) != 0) continue;
      if (alreadyMonitored != nullptr) *alreadyMonitored = 1;
      FreeEntry(entry);
      return nullptr;
    }
    URLrequestEntry **tail = &umb->pURLlist;
    while (*tail != nullptr) tail = &(*tail)->pNext;
    *tail = entry;
    if (umb->pCurrentURE == nullptr) umb->pCurrentURE = entry;
    total = ++umb->URLsManaged;
  }
  QDVP_TRC(trk, TRK1_DETAIL, "Total of %d URL(s) are now being managed", total);
  return entry;
}

int QDVP_FindURE(URLrequestEntry *entry) {
  URLmanagementBlock *umb = sUMB;
  if (umb == nullptr || entry == nullptr) return 0;
  OSV1_Guard list(&umb->URLlistLock);
  for (URLrequestEntry *e = umb->pURLlist; e != nullptr; e = e->pNext) {
    if (e == entry) return 1;
  }
  return 0;
}

void QDVP_UnlinkHTTPrequestBlock(URLmanagementBlock *umb, URLrequestEntry *entry) {
  if (umb->pCurrentURE == entry) umb->pCurrentURE = entry->pNext;
  for (URLrequestEntry **link = &umb->pURLlist; *link != nullptr; link = &(*link)->pNext) {
    if (*link != entry) continue;
    *link = entry->pNext;
    break;
  }
  entry->pNext = nullptr;
  OSV1_CloseHolds(&entry->Holds);
}

// The one end of an entry. It is unlinked and closed, so no task takes a new hold; a request
// of it still in flight sees the close and is abandoned, and the tasks that hold it let go
// within a request's abandon test (about a second) or a row's round trip.
void QDVP_DeleteHTTPrequestBlock(DPAB *anchor, URLrequestEntry *entry, const char *owner) {
  URLmanagementBlock *umb = sUMB;
  if (umb == nullptr || entry == nullptr) return;
  OSV1_CloseHolds(&entry->Holds);
  SourceEntry *source = QDVP_URLsource(anchor);
  if (source != nullptr) {
    OSV1_Guard http(&anchor->HTTPupdateLock);
    if (source->State == QDVP_Active) {
      {
        OSV1_Guard attrs(&source->AttrLock);
        for (AttrEntry *a = source->pAttrList; a != nullptr; a = a->pNext) {
          const char *text = strcmp(a->Name, "URL") == 0         ? entry->URL
                             : strcmp(a->Name, "User_Name") == 0 ? (owner ? owner : " ")
                             : a->Type == 'D'                    ? " "
                                                                 : "0";
          LoadAttrBucket(a, const_cast<char *>(text), static_cast<int>(strlen(text)));
        }
      }
      source->DataSequence = kRowDelete;
      DCHresult sent = QDVP_Request(anchor, source, QDVP_VERB_DATA, nullptr);
      if (!sent.Delivered()) {
        // The agent link told the operator; the entry goes all the same.
        QDVP_TRC(trk, TRK1_ERROR, "*** deleting row of URL <%s> not taken [%s %d]", entry->URL,
                 QDVP_OutcomeName(sent.outcome), sent.status);
      }
      source->DataSequence = QDVP_SEQ_ONLY;
    }
  }
  OSV1_AwaitLetGo(&entry->Holds, entry->URL);
  FreeEntry(entry);
}

bool QDVP_HoldURE(URLmanagementBlock *, URLrequestEntry *entry) {
  return OSV1_TakeHold(&entry->Holds);
}

void QDVP_ReleaseURE(URLrequestEntry *entry) {
  if (entry != nullptr) OSV1_LetGo(&entry->Holds);
}

void QDVP_SignalHTTPmanager(DPAB *anchor) {
  URLmanagementBlock *umb = QDVP_URLmanager(anchor);
  if (umb != nullptr && umb->pManagerPE != nullptr) QDVP_NudgeTask(umb->pManagerPE);
}

void QDVP_NudgeTask(ProcessEntry *pe) {
  if (pe == nullptr) return;
  if (pe->pWorkQueue.load() != nullptr) {
    QDVP_SignalTaskIO(pe);
    return;
  }
  auto *item = static_cast<WorkItem *>(QDV0_GetStorage(sizeof(WorkItem)));
  if (item != nullptr) {
    QDVP_QueueWorkItem(pe, item);
  } else {
    QDVP_SignalTaskIO(pe);
  }
}

void QDVP_DrainNudges(ProcessEntry *pe) {
  for (WorkItem *item = QDVP_TakeWorkQueue(pe); item != nullptr;) {
    WorkItem *next = item->pNext;
    QDV0_FreeStorage(&item);
    item = next;
  }
}

void QDVP_HTTPmanagerTask(ProcessEntry *pe) {
  DPAB *anchor = pe->pDPAB;
  pe->ThreadID = OSV1_ThreadID();
  URLmanagementBlock *umb = QDVP_URLmanager(anchor);
  if (umb == nullptr) {
    QDVP_RunIdleTask(pe, ">>>>> HTTP manager process started without URL management. Thread: %X",
                     nullptr, nullptr);
  }
  umb->pManagerPE = pe;
  anchor->pHTTPmanager = pe;
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> HTTP manager process started. Thread: %X", pe->ThreadID.load());
  QDVP_SendDPlogMessage(anchor, 80);
  for (int i = 0; i < umb->SubtaskLimit; i++) QDVP_CreateHTTPclientWorkTask();
  ProcessEntry *update = nullptr;
  QDVP_CreateProcess(anchor, QDVP_TYPE_HTTP, umb, QDVP_DoHTTPupdateDCH, 0, &update);
  {
    OSV1_Guard dispatch(&umb->DispatchMutex);
    umb->pUpdatePE = update;
  }
  // The first look comes once the client tasks have started; from then on the manager looks
  // when the earliest URL is due (to the millisecond), when a pass ends, and when a URL is
  // added, so that a URL is sampled when it is due, not a whole second or a pause later.
  StartClientTasks(anchor, umb);
  QDVP_WaitTaskIO(pe, kStartPause, nullptr, nullptr);
  long long lastPass = 0, lastStat = 0;
  while (!QDVP_TaskShouldEnd(pe)) {
    StartClientTasks(anchor, umb);
    QDVP_DrainNudges(pe);
    {
      OSV1_Guard config(&umb->ConfigLock);
      if (umb->ConfigUpdatePending) {
        QDVP_UpdateURLconfigurationFile(anchor);
        umb->ConfigUpdatePending = 0;
      }
    }
    bool started, pass;
    long wait = NextWaitMs(umb, lastPass + kPassSpacingMs, &started, &pass);
    if (started) {
      lastPass = QDVP_URLclockMs();
      // The statistics file gets the samples of the passes before, at most once a second.
      if (lastPass - lastStat >= kStatSpacingMs) {
        QDVP_OutputURLstat(umb);
        lastStat = lastPass;
      }
    }
    if (pass) SignalClientTasks(umb);
    QDVP_WaitTaskIOms(pe, wait > 0 ? wait : 1, nullptr, nullptr);
  }
  QDVP_DrainNudges(pe);
  EndURLmonitoring(anchor, umb);
  QDVP_EndTask(anchor, pe);
}
