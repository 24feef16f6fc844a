// HTTP client tasks: each walks the monitored URLs, takes a sample of every URL that is due (a
// page request through an activity subtask, the page title, now and then the page's objects),
// and leaves the finished sample for the DCH update task. Also the page readers (title, objects)
// and the response time statistics of a sample set.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <set>
#include <string>

#include "../core/support/htq1.h"
#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_dplog.h"
#include "../include/qdvp_http.h"
#include "../include/qdvp_model.h"

static TRK1_BLOCK trk = {"qdvphttp"};

namespace {

const char kNoTitle[] = "No page title available";
// Object types searched, in this order. The first four are looked for wherever they end a name;
// the others (our addition, for today's pages) only where a quote follows, as in src="a.png".
const char *const URLobjType[] = {".jpg", ".gif", ".swf", ".jar"};
const char *const QuotedObjType[] = {".png", ".jpeg", ".css", ".js", ".ico", ".svg", ".webp"};
// How far back from a suffix the start of a name is looked for.
const long kNameReach = QDVP_URL_MAX;

bool IsQuote(char c) { return c == '"' || c == '\''; }

const char *Find(const char *from, const char *end, const char *text) {
  size_t n = strlen(text);
  for (const char *p = from; p + n <= end; p++) {
    p = static_cast<const char *>(memchr(p, text[0], static_cast<size_t>(end - p)));
    if (p == nullptr || p + n > end) return nullptr;
    if (memcmp(p, text, n) == 0) return p;
  }
  return nullptr;
}

// The base a relative object name is joined to: the URL up to and including the first "/"
// after the host, or the URL with "/" added.
std::string BaseOf(const char *pageURL) {
  const char *host = strstr(pageURL, "://");
  host = host != nullptr ? host + 3 : pageURL;
  const char *slash = strchr(host, '/');
  if (slash == nullptr) return std::string(pageURL) + "/";
  return std::string(pageURL, static_cast<size_t>(slash - pageURL + 1));
}

// The name that ends at end (after the suffix), or "" when the occurrence does not name one.
std::string NameEndingAt(const char *page, const char *suffix, const char *end, const char *limit) {
  const char *floor = suffix - kNameReach > page ? suffix - kNameReach : page;
  const char *start = nullptr;
  if (end < limit && IsQuote(*end)) {
    for (const char *p = suffix - 1; p >= floor; p--) {
      if (IsQuote(*p) || *p == '=') {
        start = p + 1;
        break;
      }
    }
  } else {
    for (const char *p = suffix - 1; p >= floor; p--) {
      if (*p == '=') {
        start = p + 1;
        break;
      }
      if (*p == ':') {
        if (p - 4 >= page && strncasecmp(p - 4, "http", 4) == 0)
          start = p - 4;
        else if (p - 5 >= page && strncasecmp(p - 5, "https", 5) == 0)
          start = p - 5;
        break;
      }
    }
  }
  if (start == nullptr) return "";
  std::string name(start, static_cast<size_t>(end - start));
  if (name.find_first_of("<>!") != std::string::npos) return "";
  size_t first = name.find_first_not_of(' ');
  return first == std::string::npos ? "" : name.substr(first);
}

// The client task's due samples, one URL at a time.
struct ClientTask {
  URLmanagementBlock *umb;
  ProcessEntry *pe;
  char *buffer;
  long size;
};

struct ScanContext {
  ClientTask *task;
  URLrequestEntry *entry;
  int number;
  time_t deadline;  // no object is asked for after it
  bool stopped;
};

// Dispatches one object request found by the scan. The objects of one page are bounded: at
// most PageObjectsMax of them, none after the page's reply wait, at most PageObjectTasks under
// way at once, and each only on a free subtask (never one a page needs), waited for until the
// deadline; the client task never waits for an object's answer, which the URL's row waits for.
void RequestObject(const char *objectURL, void *context) {
  auto *scan = static_cast<ScanContext *>(context);
  URLrequestEntry *e = scan->entry;
  URLmanagementBlock *umb = scan->task->umb;
  // A URL being removed asks for no more objects: its removal waits for this task.
  if (scan->stopped || strlen(objectURL) > QDVP_URL_MAX || OSV1_HoldsClosed(&e->Holds)) return;
  URLactivityBlock *block = nullptr;
  while (block == nullptr) {
    bool room;
    {
      OSV1_Guard entry(&e->Lock);
      room = e->OutstandingObjects < umb->PageObjectTasks;
    }
    if (room) block = QDVP_LocateFreeActivitySubtask(QDVP_URL_REQUEST_OBJECT);
    if (block != nullptr) break;
    if (scan->number >= umb->PageObjectsMax || QDV0_Time() >= scan->deadline ||
        QDVP_TaskShouldEnd(scan->task->pe) || OSV1_HoldsClosed(&e->Holds)) {
      QDVP_TRC(trk, TRK1_DETAIL, "URL <%s>: %d objects asked for, no more this scan", e->URL,
               scan->number);
      scan->stopped = true;
      return;
    }
    QDVP_WaitForFreeActivitySubtask(250);
  }
  int waitFlag;
  {
    OSV1_Guard entry(&e->Lock);
    e->ScanObjects++;
    e->PageObjects = e->ScanObjects;
    e->OutstandingObjects++;
    waitFlag = ++scan->number <= e->ObjectsWaited ? 1 : 0;
  }
  QDVP_DispatchActivitySubtask(block, e, objectURL, QDVP_URL_REQUEST_OBJECT, waitFlag, 0);
  if (scan->number >= umb->PageObjectsMax) scan->stopped = true;
}

void GrownClientTask(ProcessEntry *pe);

// Before a sample's request: when every client task is busy and more URLs of the pass wait,
// one more client task is started (up to MaxClientTasks), so that a server that does not
// answer holds only the task that asked it.
void GrowForDueURLs(ClientTask *task) {
  URLmanagementBlock *umb = task->umb;
  bool more;
  {
    OSV1_Guard list(&umb->URLlistLock);
    more = umb->pCurrentURE != nullptr;
  }
  bool start = false;
  {
    OSV1_Guard clients(&umb->ClientListLock);
    int tasks = umb->ClientTaskCount + umb->ClientTasksStarting;
    if (more && umb->ClientTasksBusy >= umb->ClientTaskCount && tasks < umb->MaxClientTasks) {
      umb->ClientTasksStarting++;
      start = true;
    }
  }
  if (!start) return;
  if (!QDVP_CreateProcess(task->pe->pDPAB, QDVP_TYPE_HTTP, umb, GrownClientTask, 0, nullptr)) {
    OSV1_Guard clients(&umb->ClientListLock);
    umb->ClientTasksStarting--;
  }
}

// Takes one sample of a URL that is due; false when it was not due.
bool SampleOnce(ClientTask *task, URLrequestEntry *e) {
  URLmanagementBlock *umb = task->umb;
  time_t now = QDV0_Time();
  long long nowMs = QDVP_URLclockMs();
  {
    OSV1_Guard entry(&e->Lock);
    if (e->ValidURLstat) {
      if (now - e->LastSampleTime <= e->SampleInterval) return false;
      QDVP_TRC(trk, TRK1_DETAIL, "Warning: Sample interval time has elapsed for URL <%s>", e->URL);
      e->ValidURLstat = 0;
    }
    if (nowMs < e->NextSampleMs) {
      e->ValidURLstat = 0;
      return false;
    }
    e->LastSampleTime = now;
    // The next sample keeps to the schedule, to the millisecond (a sample taken a little late
    // does not push every later one back); one more than an interval late starts the schedule
    // again from now.
    long long interval = e->SampleInterval * 1000LL;
    bool onSchedule = e->NextSampleMs != 0 && nowMs - e->NextSampleMs < interval;
    e->NextSampleMs = (onSchedule ? e->NextSampleMs : nowMs) + interval;
    e->pPageBuffer = task->buffer;
    e->PageBufferSize = task->size;
    e->PageSize = e->PageKept = 0;
    e->OutstandingPage = 1;
    e->ServerType[0] = '\0';
    e->DNSTime = e->ConnectTime = e->TLSTime = e->FirstByteTime = e->TotalTime = 0;
  }
  GrowForDueURLs(task);
  URLactivityBlock *block = QDVP_LocateFreeActivitySubtask(QDVP_URL_REQUEST_PAGE);
  // The response time is the request's own: it starts once a subtask is there to make it, not
  // while the sample waits for one.
  {
    OSV1_Guard entry(&e->Lock);
    clock_gettime(CLOCK_REALTIME, &e->RequestStart);
  }
  int result = block != nullptr
                   ? QDVP_DispatchActivitySubtask(block, e, e->URL, QDVP_URL_REQUEST_PAGE, 1, 1)
                   : -1;
  bool answered = result == 1;
  if (result == 0) {
    // Given up on: the buffer lent with the request is the subtask's now, which frees it once
    // its answer comes, so the task goes on with a new one whatever became of the entry.
    task->buffer = static_cast<char *>(QDV0_GetStorage(QDVP_URL_PAGE_BUFFER + 4));
    task->size = task->buffer != nullptr ? QDVP_URL_PAGE_BUFFER : 0;
  }
  if (!answered) {
    if (OSV1_HoldsClosed(&e->Holds)) {
      QDVP_TRC(trk, TRK1_DETAIL, "Monitor URL bypassed. URE @%p has been deleted", (void *)e);
      OSV1_Guard entry(&e->Lock);
      e->pPageBuffer = nullptr;
      return true;
    }
    QDVP_TRC(trk, TRK1_ERROR, "URL <%s> reply timeout. Will retry at next sample interval", e->URL);
    OSV1_Guard entry(&e->Lock);
    e->pPageBuffer = nullptr;
    e->PageSize = e->PageKept = 0;
    e->OutstandingPage = 0;
    e->RequestStatus = HTQ1_CONNECTION_ABANDONED;
    clock_gettime(CLOCK_REALTIME, &e->RequestEnd);
  }
  OSV1_Guard entry(&e->Lock);
  if (answered && e->pPageBuffer != task->buffer && e->pPageBuffer != nullptr) {
    // The subtask made the buffer larger (and freed the one lent): the larger one is the task's.
    QDVP_TRC(trk, TRK1_DETAIL, "Common page buffer size increase from %d at @%p to %d at @%p",
             static_cast<int>(task->size), (void *)task->buffer,
             static_cast<int>(e->PageBufferSize), (void *)e->pPageBuffer);
    task->buffer = e->pPageBuffer;
    task->size = e->PageBufferSize;
  }
  if (--e->PageCopyCountdown < 1) {
    if (umb->OutputHTML && e->RequestStatus == 0) QDVP_OutputURLpage(umb, e);
    if (umb->OutputContent) e->ContentFlag = 1;
    e->PageCopyCountdown = QDVP_URL_COPY_EVERY;
  }
  bool good = e->RequestStatus == 0 && e->pPageBuffer != nullptr;
  if (good) {
    QDVP_FindPageTitle(e->pPageBuffer, e->PageKept, e->PageTitle, sizeof(e->PageTitle));
  } else {
    snprintf(e->PageTitle, sizeof(e->PageTitle), "%s", kNoTitle);
  }
  if (good) {
    int threshold = (100 - e->CachePercent) * e->PageObjects / 100;
    if (threshold < 0 || (threshold == 0 && e->ObjectCountdown == 0)) {
      threshold = 1;
      e->ObjectsWaited = 0;
    } else {
      e->ObjectsWaited = threshold;
    }
    e->ObjectThreshold = threshold;
    if (threshold != 0 && e->ObjectCountdown <= 0) {
      e->ScanObjects = 0;
      e->PageObjects = 0;
      e->TotalObjectSize = 0;
      e->ObjectCountdown = QDVP_URL_OBJECT_SCAN_EVERY;
      ScanContext scan = {task, e, 0, QDV0_Time() + umb->MaxReplyWait, false};
      // The scan dispatches object requests, which take the entry's lock themselves; the page
      // stays in the task's buffer, which nothing else writes meanwhile.
      const char *page = e->pPageBuffer;
      long kept = e->PageKept;
      OSV1_ReleaseLock(&e->Lock);
      QDVP_FindPageObjects(page, kept, e->URL, RequestObject, &scan, QDVP_URL_OBJECT_LIST_MAX);
      OSV1_GetLock(&e->Lock);
    } else {
      e->ObjectCountdown--;
    }
  }
  e->ContentFlag = 0;
  e->pPageBuffer = nullptr;
  e->ValidURLstat = 1;
  {
    OSV1_Guard dispatch(&umb->DispatchMutex);
    umb->DispatchCount++;
    OSV1_WakeAll(&umb->DispatchCond, &umb->DispatchMutex);
  }
  return true;
}

// A sample of the URL unless another client task takes one (a server slower than the URL's
// interval holds its task past the next pass): the page buffer is one task's at a time.
bool Sample(ClientTask *task, URLrequestEntry *e) {
  {
    OSV1_Guard entry(&e->Lock);
    if (e->Sampling) return false;
    e->Sampling = 1;
  }
  bool sampled = SampleOnce(task, e);
  OSV1_Guard entry(&e->Lock);
  e->Sampling = 0;
  return sampled;
}

// One pass over the list, from the current entry to its end; each entry is held while its
// sample is taken. True when a sample was taken.
bool Pass(ClientTask *task) {
  URLmanagementBlock *umb = task->umb;
  bool sampled = false;
  while (!QDVP_TaskShouldEnd(task->pe)) {
    URLrequestEntry *e;
    {
      OSV1_Guard list(&umb->URLlistLock);
      e = umb->pCurrentURE;
      if (e == nullptr) break;
      umb->pCurrentURE = e->pNext;
      if (!QDVP_HoldURE(umb, e)) continue;
    }
    {
      OSV1_Guard clients(&umb->ClientListLock);
      umb->ClientTasksBusy++;
    }
    sampled = Sample(task, e) || sampled;
    {
      OSV1_Guard clients(&umb->ClientListLock);
      umb->ClientTasksBusy--;
    }
    QDVP_ReleaseURE(e);
  }
  return sampled;
}

// A client task idle for IdleTaskSeconds leaves the list when there are more than the URLs
// need (one per URLsPerClientTask, and one); true when it left.
bool LeaveWhenSpare(URLmanagementBlock *umb, ProcessEntry *pe) {
  int managed;
  {
    OSV1_Guard list(&umb->URLlistLock);
    managed = umb->URLsManaged;
  }
  int needed = managed / umb->URLsPerClientTask + 1;
  OSV1_Guard clients(&umb->ClientListLock);
  if (umb->ClientTaskCount <= needed) return false;
  for (int i = 0; i < umb->ClientTaskCount; i++) {
    if (umb->pClientTaskList[i] != pe) continue;
    umb->pClientTaskList[i] = umb->pClientTaskList[--umb->ClientTaskCount];
    return true;
  }
  return false;
}

}  // namespace

void QDVP_FindPageTitle(const char *page, long length, char *title, size_t size) {
  snprintf(title, size, "%s", kNoTitle);
  if (page == nullptr || length <= 0 || size == 0) return;
  const char *end = page + length;
  const char *open = Find(page, end, "<TITLE");
  if (open == nullptr) open = Find(page, end, "<title");
  if (open == nullptr) return;
  const char *p = static_cast<const char *>(memchr(open, '>', static_cast<size_t>(end - open)));
  if (p == nullptr) return;
  p++;
  while (p < end && (*p == '\n' || *p == '\r' || *p == '\t' || *p == ' ')) p++;
  const char *close = Find(p, end, "</TITLE>");
  if (close == nullptr) close = Find(p, end, "</title>");
  if (close == nullptr) return;
  while (close > p && (close[-1] == '\n' || close[-1] == '\r')) close--;
  size_t n = static_cast<size_t>(close - p);
  if (n > QDVP_URL_TITLE_MAX) n = QDVP_URL_TITLE_MAX;
  for (size_t i = 0; i < n; i++) {
    if (p[i] == '\n' || p[i] == '\r' || p[i] == '\t') {
      n = i;
      break;
    }
  }
  if (n == 0) return;
  if (n >= size) n = size - 1;
  memcpy(title, p, n);
  title[n] = '\0';
}

int QDVP_FindPageObjects(const char *page, long length, const char *pageURL,
                         void (*found)(const char *objectURL, void *context), void *context,
                         size_t listMax) {
  if (page == nullptr || length <= 0 || pageURL == nullptr) return 0;
  const char *limit = page + length;
  std::string base = BaseOf(pageURL);
  std::set<std::string> names;
  size_t listBytes = 0;
  int count = 0;
  auto scanType = [&](const char *type, bool quotedOnly) {
    size_t n = strlen(type);
    for (const char *at = Find(page, limit, type); at != nullptr && listBytes <= listMax;
         at = Find(at + n, limit, type)) {
      const char *end = at + n;
      if (quotedOnly && (end >= limit || !IsQuote(*end))) continue;
      std::string name = NameEndingAt(page, at, end, limit);
      if (name.empty()) continue;
      if (strncasecmp(name.c_str(), "http:", 5) != 0 &&
          strncasecmp(name.c_str(), "https:", 6) != 0) {
        size_t skip = name.find_first_not_of("/.\"'");
        if (skip == std::string::npos) continue;
        std::string relative;
        for (char c : name.substr(skip)) {
          if (c != '\n' && c != '\r') relative += c;
        }
        name = base + relative;
      }
      if (name.size() > QDVP_URL_MAX) continue;
      if (names.count(name) != 0) {
        QDVP_TRC(trk, TRK1_DETAIL, "Duplicate object %s not retrieved", name.c_str());
        continue;
      }
      if (listBytes + name.size() + 1 > listMax) {
        listBytes = listMax + 1;
        break;
      }
      listBytes += name.size() + 1;
      names.insert(name);
      count++;
      if (found != nullptr) found(name.c_str(), context);
    }
  };
  for (const char *type : URLobjType) scanType(type, false);
  for (const char *type : QuotedObjType) scanType(type, true);
  return count;
}

void QDVP_CalculateURLresponseTime(const struct timespec *start, const struct timespec *end,
                                   URLrequestEntry *e) {
  long long ms =
      (static_cast<long long>(end->tv_sec) - static_cast<long long>(start->tv_sec)) * 1000 +
      (static_cast<long long>(end->tv_nsec) - static_cast<long long>(start->tv_nsec)) / 1000000;
  if (e->SampleSetSize < 1 || e->pResponseTimes == nullptr) return;
  if (e->CurrentPosition < 0 || e->CurrentPosition >= e->SampleSetSize) e->CurrentPosition = 0;
  e->pResponseTimes[e->CurrentPosition] = static_cast<int>(ms);
  e->CurrentResponseTime = static_cast<long>(ms);
  long max = 0, total = 0;
  for (int i = 0; i < e->SampleSetSize; i++) {
    if (e->pResponseTimes[i] > max) max = e->pResponseTimes[i];
    total += e->pResponseTimes[i];
  }
  e->MaximumResponseTime = max;
  e->TotalResponseTime = total;
  e->SamplesTaken++;
  e->AverageResponseTime =
      e->SamplesTaken <= e->SampleSetSize ? total / e->SamplesTaken : total / e->SampleSetSize;
}

namespace {

// A client task; grown: started by another one for the URLs due, counted as starting until it
// is in the list.
void RunClientTask(ProcessEntry *pe, bool grown) {
  DPAB *anchor = pe->pDPAB;
  pe->ThreadID = OSV1_ThreadID();
  ClientTask task = {static_cast<URLmanagementBlock *>(pe->pParm), pe, nullptr, 0};
  URLmanagementBlock *umb = task.umb;
  {
    OSV1_Guard clients(&umb->ClientListLock);
    int max = static_cast<int>(sizeof(umb->pClientTaskList) / sizeof(umb->pClientTaskList[0]));
    if (umb->ClientTaskCount < max) umb->pClientTaskList[umb->ClientTaskCount++] = pe;
    if (grown) umb->ClientTasksStarting--;
  }
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> HTTP client process started. Thread: %X", pe->ThreadID.load());
  QDVP_SendDPlogMessage(anchor, 78);
  task.buffer = static_cast<char *>(QDV0_GetStorage(QDVP_URL_PAGE_BUFFER + 4));
  task.size = task.buffer != nullptr ? QDVP_URL_PAGE_BUFFER : 0;
  time_t lastSample = QDV0_Time();
  bool left = false;
  while (!QDVP_TaskShouldEnd(pe)) {
    QDVP_DrainNudges(pe);
    if (Pass(&task)) lastSample = QDV0_Time();
    QDVP_TRC(trk, TRK1_DETAIL, "Signal manager task for URL scan completed");
    QDVP_SignalHTTPmanager(anchor);
    if (QDV0_Time() - lastSample >= umb->IdleTaskSeconds && LeaveWhenSpare(umb, pe)) {
      left = true;
      break;
    }
    QDVP_WaitTaskIO(pe, umb->IdleTaskSeconds < 300 ? umb->IdleTaskSeconds : 300, nullptr, nullptr);
  }
  QDVP_DrainNudges(pe);
  QDVP_SendDPlogMessage(anchor, 79);
  QDV0_FreeStorage(&task.buffer);
  // A task that left the list touches the management block no more: the end of URL
  // monitoring, which counts only the tasks in the list, may free it from then on.
  if (!left) {
    {
      OSV1_Guard clients(&umb->ClientListLock);
      for (int i = 0; i < umb->ClientTaskCount; i++) {
        if (umb->pClientTaskList[i] != pe) continue;
        umb->pClientTaskList[i] = umb->pClientTaskList[--umb->ClientTaskCount];
        break;
      }
    }
    OSV1_Guard dispatch(&umb->DispatchMutex);
    OSV1_WakeAll(&umb->DispatchCond, &umb->DispatchMutex);
  }
  QDVP_EndTask(anchor, pe);
}

void GrownClientTask(ProcessEntry *pe) { RunClientTask(pe, true); }

}  // namespace

void QDVP_HTTPclientTask(ProcessEntry *pe) { RunClientTask(pe, false); }
