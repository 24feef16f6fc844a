// Activity subtasks: the pool of tasks that perform single HTTP requests for the client tasks.
// A subtask keeps its HTTP client between requests (recreated only for a change of protocol
// version) and carries out one page or object request at a time: authentication, the fall back
// to HTTP 1.0 for a server that drops 1.1 requests, redirects up to their limit, and the body.
//
// A request is handed over under the block's Mutex: the dispatcher fills it (the entry, held
// for the subtask, and for a page the client task's buffer) and the subtask takes a copy of it
// (Work) to work with. The answer goes back under the same Mutex, in one hold with Done, so
// that a dispatcher either sees its answer or gives up before it is handed back: a dispatcher
// that gave up (TimedOut) has let go of the buffer, and the subtask frees it. A request whose
// entry is being removed, or that runs when the data provider ends, is abandoned at once.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "../core/support/htq1.h"
#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_http.h"

static TRK1_BLOCK trk = {"qdvphact"};

namespace {

const char kBrowser[] = "Mozilla/4.0 (compatible; MSIE 5.5; Windows NT 4.0)";

bool Ending(URLmanagementBlock *umb) {
  return umb->pDPAB == nullptr || umb->pDPAB->ShutdownRequested.load() != 0 ||
         (umb->pManagerPE != nullptr && umb->pManagerPE->Terminate.load() != 0);
}

// A header of the calling thread's last response, or null.
const char *Header(HTQ1_DICTIONARY *dict, int code) {
  for (int i = 0; dict != nullptr && i < dict->count; i++) {
    if (dict->headers[i].code == code) return dict->headers[i].text;
  }
  return nullptr;
}

// A version header sets the entry's HTTP version.
void NoteVersion(URLrequestEntry *e, HTQ1_DICTIONARY *dict) {
  const char *line = Header(dict, HTQ1_HDR_STATUS_LINE);
  if (line == nullptr) return;
  OSV1_Guard entry(&e->Lock);
  if (strstr(line, "1.1") != nullptr)
    e->HTTPversion = 11;
  else if (strstr(line, "1.0") != nullptr)
    e->HTTPversion = 10;
}

// The target of a redirect from current: absolute, host-relative or relative to the current
// URL's directory.
std::string JoinLocation(const std::string &current, const char *location) {
  size_t n = strlen(location);
  if ((n > 4 && location[4] == ':') || (n > 5 && location[5] == ':')) return location;
  size_t hostStart = current.find("://");
  hostStart = hostStart == std::string::npos ? 0 : hostStart + 3;
  if (location[0] == '/') {
    size_t slash = current.find('/', hostStart);
    return (slash == std::string::npos ? current : current.substr(0, slash)) + location;
  }
  size_t last = current.rfind('/');
  if (last == std::string::npos || last < hostStart) return current + "/" + location;
  return current.substr(0, last + 1) + location;
}

// A request in the subtask's hands: its copy of what the dispatcher gave, and the page buffer,
// which is the subtask's own until it is handed back.
struct Work {
  URLactivityBlock *block;
  URLmanagementBlock *umb;
  URLrequestEntry *e;  // held for the subtask by the dispatcher
  int type;
  std::string url;
  int copyContent;
  char *buffer;
  long bufferSize;
  long objectSize;  // an object's size, once read
};

// The request's abandon test (HTQ1_AbandonWhen): its entry is being removed, or the data
// provider ends.
int Abandon(void *context) {
  auto *w = static_cast<Work *>(context);
  return OSV1_HoldsClosed(&w->e->Holds) || Ending(w->umb) ? 1 : 0;
}

// Reads the body of an answered request: a page into the lent buffer (made larger when it is
// too small), an object only counted (and its bytes kept for a copy when asked).
void ReadBody(Work *w, HTQ1_ACTIVITY *activity, std::string *objectBytes) {
  if (HTQ1_OpenEntity(activity, 0) != 0) return;
  bool page = w->type == QDVP_URL_REQUEST_PAGE;
  long size = page ? w->bufferSize : 0;
  long total = 0;
  uint32_t rc = HTQ1_Get(activity, page ? w->buffer : nullptr, &size, &total);
  if (rc == HTQ1_BUFFER_TOO_SMALL && page) {
    char *larger = static_cast<char *>(QDV0_GetStorage(static_cast<size_t>(size) + 4));
    if (larger != nullptr) {
      QDV0_FreeStorage(&w->buffer);
      w->buffer = larger;
      w->bufferSize = size;
      QDVP_TRC(trk, TRK1_DETAIL, "Re-allocated PageBuffer @%p for length %d", (void *)larger,
               static_cast<int>(size));
      rc = HTQ1_Get(activity, w->buffer, &size, &total);
    }
  } else if (rc == HTQ1_BUFFER_TOO_SMALL && objectBytes != nullptr) {
    objectBytes->resize(static_cast<size_t>(size));
    rc = HTQ1_Get(activity, objectBytes->data(), &size, &total);
  }
  if (page) {
    OSV1_Guard entry(&w->e->Lock);
    w->e->PageKept = rc == 0 ? size : 0;
    w->e->PageSize = total;
  } else {
    w->objectSize = total;
  }
}

// The phases of a page request (whatever its answer: a 404 took its time too) and the
// certificate's days to expiry; phases the request never reached stay 0.
void NotePhases(URLrequestEntry *e, HTQ1_ACTIVITY *activity) {
  HTQ1_TIMES times;
  if (HTQ1_QueryTimes(activity, &times) != 0) return;
  auto span = [](long long to, long long from) { return to > from ? to - from : 0; };
  OSV1_Guard entry(&e->Lock);
  e->DNSTime = times.nameLookup > 0 ? times.nameLookup : 0;
  e->ConnectTime = span(times.connect, times.nameLookup);
  e->TLSTime = span(times.appConnect, times.connect);
  e->FirstByteTime = span(times.startTransfer, times.preTransfer);
  e->TotalTime = times.total > 0 ? times.total : 0;
  e->CertificateDays = times.certificateDays;
}

// Performs the request of w; the result is its status.
uint32_t Perform(Work *w) {
  URLactivityBlock *b = w->block;  // its client is the subtask's own
  URLrequestEntry *e = w->e;
  URLmanagementBlock *umb = w->umb;
  bool page = w->type == QDVP_URL_REQUEST_PAGE;
  int wanted;
  {
    OSV1_Guard entry(&e->Lock);
    wanted = e->HTTPversion == 10 ? 10 : 11;
  }
  if (page && wanted != b->ClientVersion) {
    if (wanted == 10) {
      QDVP_TRC(trk, TRK1_DETAIL, "Resetting UATB protocol version to HTTP 1.0 for URL <%s> URE @%p",
               w->url.c_str(), (void *)e);
    }
    QDVP_DoHTTPconnect(b, wanted);
  }
  if (b->pClient == nullptr) return HTQ1_NO_CLIENT;
  std::string current = w->url, authorization;
  int redirects = 0;
  bool authTried = false, retried10 = false;
  uint32_t status;
  std::string objectBytes;
  for (;;) {
    HTQ1_HEADER header = {HTQ1_HDR_AUTHORIZATION, static_cast<int>(authorization.size()),
                          authorization.c_str()};
    HTQ1_ACTIVITY *activity = nullptr;
    status =
        HTQ1_NewActivity(b->pClient, &activity, current.c_str(), static_cast<int>(current.size()),
                         0, authorization.empty() ? 0 : 1, &header);
    if (status != 0) break;
    HTQ1_AbandonWhen(activity, Abandon, w);
    status = HTQ1_RequestActivity(activity, 0);
    if (status == HTQ1_ABANDONED) {
      QDVP_TRC(trk, TRK1_DETAIL, "Request for URL <%s> abandoned", current.c_str());
      HTQ1_DeleteActivity(activity);
      break;
    }
    HTQ1_DICTIONARY *dict = nullptr;
    if (status != 0) HTQ1_QueryStatus(HTQ1_QUERY_RESPONSE, &dict, status);
    if (status == HTQ1_AUTHENTICATION_REQUIRED) {
      NoteVersion(e, dict);
      const char *challenge = Header(dict, HTQ1_HDR_AUTHENTICATE);
      HTQ1_DeleteActivity(activity);
      if (authTried) {
        QDVP_TRC(trk, TRK1_ERROR,
                 "Authentication attempt failed. Unable to obtain status for URL <%s>",
                 current.c_str());
        break;
      }
      if (challenge != nullptr && strncasecmp(challenge, "Digest realm", 12) == 0) {
        QDVP_TRC(trk, TRK1_DETAIL, "Digest authentication requested for URL <%s>", current.c_str());
        break;
      }
      if (challenge != nullptr && strncasecmp(challenge, "Basic realm", 11) == 0) {
        if (umb->ProxyUser[0] == '\0' || umb->ProxyPassword[0] == '\0') {
          QDVP_TRC(trk, TRK1_ERROR,
                   "Unable to obtain status for URL <%s>. Proxy server Userid and Password must be "
                   "supplied.",
                   current.c_str());
          break;
        }
        std::string pair = std::string(umb->ProxyUser) + ":" + umb->ProxyPassword;
        std::string encoded(4 * ((pair.size() + 2) / 3) + 1, '\0');
        encoded.resize(QDV0_EncodeBase64(pair.c_str(), encoded.data()));
        authorization = "Basic " + encoded;
        authTried = true;
        continue;
      }
      break;
    }
    if (status == HTQ1_CONNECTION_ABANDONED && page) {
      HTQ1_DeleteActivity(activity);
      bool retried;
      {
        OSV1_Guard entry(&e->Lock);
        retried = e->RetriedWithHTTP10 != 0;
      }
      if (!retried10 && !retried && !OSV1_HoldsClosed(&e->Holds)) {
        QDVP_TRC(trk, TRK1_DETAIL, "Retrying with HTTP 1.0 protocol for URL <%s> URE @%p",
                 current.c_str(), (void *)e);
        QDVP_DoHTTPconnect(b, 10);
        {
          OSV1_Guard entry(&e->Lock);
          e->HTTPversion = 10;
        }
        retried10 = true;
        if (b->pClient == nullptr) return HTQ1_NO_CLIENT;
        continue;
      }
      if (retried10) {
        QDVP_TRC(trk, TRK1_DETAIL,
                 "Not attempting another retry with HTTP 1.0 protocol for URL <%s> URE @%p",
                 current.c_str(), (void *)e);
        {
          OSV1_Guard entry(&e->Lock);
          e->HTTPversion = 11;
          e->RetriedWithHTTP10 = 1;
        }
        QDVP_DoHTTPconnect(b, 11);
      }
      break;
    }
    if (status == HTQ1_REDIRECT_PERMANENT || status == HTQ1_REDIRECT_TEMPORARY) {
      NoteVersion(e, dict);
      const char *location = Header(dict, HTQ1_HDR_LOCATION);
      HTQ1_DeleteActivity(activity);
      if (location == nullptr || strlen(location) <= strlen("http://")) {
        status = HTQ1_BAD_REDIRECT;
        break;
      }
      std::string target = JoinLocation(current, location);
      if (target.size() > QDVP_URL_MAX || ++redirects > QDVP_URL_MAX_REDIRECTS) {
        status = HTQ1_TOO_MANY_REDIRECTS;
        break;
      }
      current = target;
      continue;
    }
    if (page) NotePhases(e, activity);
    if (status == 0) {
      HTQ1_QueryStatus(HTQ1_QUERY_RESPONSE, &dict, status);
      ReadBody(w, activity, page || !w->copyContent ? nullptr : &objectBytes);
      if (dict != nullptr) {
        QDVP_TRC(trk, TRK1_DETAIL, "Query status for URL <%s> returned HTTP error code: %d",
                 current.c_str(), dict->code);
      }
      if (page) {
        const char *server = Header(dict, HTQ1_HDR_SERVER);
        OSV1_Guard entry(&e->Lock);
        snprintf(e->ServerType, sizeof(e->ServerType), "%s", server != nullptr ? server : "");
        if (server != nullptr) QDVP_TRC(trk, TRK1_DETAIL, "WEB Server type is <%s>", server);
        if (retried10) {
          QDVP_TRC(trk, TRK1_DETAIL,
                   "Successfully completed a retry attempt with HTTP 1.0 for URL <%s>",
                   current.c_str());
        }
      } else {
        QDVP_TRC(trk, TRK1_DETAIL, "Page object <%s> size %d", current.c_str(),
                 static_cast<int>(w->objectSize));
        if (w->copyContent && umb->OutputHTML && !objectBytes.empty()) {
          QDVP_OutputURLobject(umb, e->URL, w->url.c_str(), objectBytes.data(),
                               static_cast<long>(objectBytes.size()));
        }
      }
    }
    HTQ1_DeleteActivity(activity);
    break;
  }
  return status;
}

// A request that will not be answered to its dispatcher (not dispatched, or given up on) is no
// longer outstanding for its entry.
void NoLongerOutstanding(URLrequestEntry *e, int requestType) {
  OSV1_Guard entry(&e->Lock);
  if (requestType == QDVP_URL_REQUEST_PAGE)
    e->OutstandingPage = 0;
  else if (e->OutstandingObjects > 0)
    e->OutstandingObjects--;
}

// Takes an idle subtask out of the pool when there are more than the first ones: it must be
// free (no request handed to it, none can be while both locks are held) and is then found by
// nobody. True when the caller is to end and free its block.
bool Retire(URLmanagementBlock *umb, URLactivityBlock *b) {
  OSV1_Guard free(&umb->FreeMutex);
  OSV1_Guard list(&umb->ActivityListLock);
  if (umb->SubtaskLimit.load() <= umb->InitialSubtasks) return false;
  // A block the end of URL monitoring took out of the list already is its to end and free.
  URLactivityBlock **p = &umb->pActivityList;
  while (*p != nullptr && *p != b) p = &(*p)->pNext;
  if (*p == nullptr) return false;
  int expected = QDVP_UATB_FREE;
  if (!b->Status.compare_exchange_strong(expected, QDVP_UATB_ENDED)) return false;
  *p = b->pNext;
  umb->SubtaskLimit--;
  return true;
}

// Waits for a request; false when the subtask is asked to end, or (*retired) when it was idle
// for IdleTaskSeconds and left the pool.
bool NextRequest(URLmanagementBlock *umb, URLactivityBlock *b, unsigned long *serial,
                 bool *retired) {
  time_t idleSince = QDV0_Time();
  for (;;) {
    {
      OSV1_Guard hold(&b->Mutex);
      if (b->Status.load() == QDVP_UATB_END_REQUESTED) return false;
      if (b->Done != b->Serial) {
        *serial = b->Serial;
        return true;
      }
      QDV0_ConditionTimedWait(&b->Cond, &b->Mutex, 1);
      if (b->Done != b->Serial || b->Status.load() == QDVP_UATB_END_REQUESTED) continue;
    }
    if (umb != nullptr && QDV0_Time() - idleSince >= umb->IdleTaskSeconds && Retire(umb, b)) {
      *retired = true;
      return false;
    }
  }
}

}  // namespace

int QDVP_DoHTTPconnect(URLactivityBlock *b, int version) {
  if (b->pClient != nullptr) HTQ1_DeleteClient(b->pClient, 0);
  b->pClient = nullptr;
  b->ClientVersion = version;
  HTQ1_CLIENT *client = nullptr;
  uint32_t rc = HTQ1_NewClient(&client, version == 10 ? HTQ1_HTTP10 : HTQ1_HTTP11, 0, 0);
  if (rc != 0) {
    QDVP_TRC(trk, TRK1_ERROR, "Error: Unable to create HTQ1 client stc=%x, using default", rc);
    return 0;
  }
  URLmanagementBlock *umb = QDVP_URLmanager(nullptr);
  HTQ1_OPTIONS options;
  HTQ1_ClientOptions(client, HTQ1_OPTION_SET_REQUEST, &options, nullptr);
  options.flags |= HTQ1_OPT_FRESH_CONNECTION | HTQ1_OPT_VERIFY_PEER | HTQ1_OPT_TIMINGS;
  snprintf(options.userAgent, sizeof(options.userAgent), "%s", kBrowser);
  if (umb != nullptr) {
    // The library gives up a little before the dispatcher stops waiting, so that a slow server's
    // sample is reported as a time-out by the request itself.
    options.timeoutSeconds = umb->MaxReplyWait > 2 ? umb->MaxReplyWait - 1 : umb->MaxReplyWait;
    options.maxBodyBytes = umb->MaxPageSize;
    snprintf(options.proxy, sizeof(options.proxy), "%s", umb->Proxy);
    if (umb->Proxy[0] != '\0') {
      snprintf(options.proxyUser, sizeof(options.proxyUser), "%s", umb->ProxyUser);
      snprintf(options.proxyPassword, sizeof(options.proxyPassword), "%s", umb->ProxyPassword);
    }
    snprintf(options.caFile, sizeof(options.caFile), "%s", umb->CAfile);
  }
  HTQ1_ClientOptions(client, HTQ1_OPTION_SET_REQUEST, nullptr, &options);
  b->pClient = client;
  return 1;
}

URLactivityBlock *QDVP_CreateHTTPclientWorkTask(void) {
  URLmanagementBlock *umb = QDVP_URLmanager(nullptr);
  if (umb == nullptr) return nullptr;
  auto *b = QDV0_New<URLactivityBlock>();
  if (b == nullptr) return nullptr;
  ProcessEntry *pe = nullptr;
  if (!QDVP_CreateProcess(umb->pDPAB, QDVP_TYPE_HTTP, b, QDVP_DoHTTPactivity, 0, &pe)) {
    QDV0_Free(b);
    return nullptr;
  }
  {
    OSV1_Guard hold(&b->Mutex);
    while (b->Status.load() == QDVP_UATB_STARTING) QDV0_ConditionTimedWait(&b->Cond, &b->Mutex, 1);
  }
  OSV1_Guard free(&umb->FreeMutex);
  OSV1_Guard list(&umb->ActivityListLock);
  URLactivityBlock **tail = &umb->pActivityList;
  while (*tail != nullptr) tail = &(*tail)->pNext;
  *tail = b;
  OSV1_WakeAll(&umb->FreeCond, &umb->FreeMutex);
  return b;
}

URLactivityBlock *QDVP_LocateFreeActivitySubtask(int requestType) {
  URLmanagementBlock *umb = QDVP_URLmanager(nullptr);
  if (umb == nullptr) return nullptr;
  bool object = requestType == QDVP_URL_REQUEST_OBJECT;
  time_t deadline = QDV0_Time() + umb->MaxFreeSubtaskWait;
  for (;;) {
    {
      OSV1_Guard free(&umb->FreeMutex);
      for (;;) {
        if (object && umb->ObjectsInFlight.load() >= umb->MaxObjectSubtasks) return nullptr;
        {
          OSV1_Guard list(&umb->ActivityListLock);
          for (URLactivityBlock *b = umb->pActivityList; b != nullptr; b = b->pNext) {
            int expected = QDVP_UATB_FREE;
            if (b->Status.compare_exchange_strong(expected, QDVP_UATB_ALLOCATED)) {
              if (object) umb->ObjectsInFlight++;
              return b;
            }
          }
        }
        if (object || Ending(umb)) return nullptr;
        // A page waits for a subtask only when there are as many as there may be.
        if (umb->SubtaskLimit.load() < umb->MaxSubtasks) break;
        if (QDV0_Time() >= deadline) {
          QDVP_TRC(trk, TRK1_ERROR, "No free URL monitoring task in %d seconds (limit %d reached)",
                   umb->MaxFreeSubtaskWait, umb->MaxSubtasks);
          return nullptr;
        }
        QDV0_ConditionTimedWait(&umb->FreeCond, &umb->FreeMutex, 1);
      }
    }
    // A place is taken before the subtask is made, so that pages starting together stay within
    // the limit; the new subtask is free for whichever request finds it first.
    if (umb->SubtaskLimit.fetch_add(1) >= umb->MaxSubtasks) {
      umb->SubtaskLimit--;
      continue;
    }
    if (QDVP_CreateHTTPclientWorkTask() == nullptr) {
      umb->SubtaskLimit--;
      OSV1_Guard free(&umb->FreeMutex);
      if (Ending(umb) || QDV0_Time() >= deadline) return nullptr;
      QDV0_ConditionTimedWait(&umb->FreeCond, &umb->FreeMutex, 1);
      continue;
    }
    char text[96];
    snprintf(text, sizeof(text), "Active URL monitoring task limit increased to %d",
             umb->SubtaskLimit.load());
    QDV0_OQconsoleMessage("action", QDV0_OQ_INFO, text);
  }
}

void QDVP_WaitForFreeActivitySubtask(int ms) {
  URLmanagementBlock *umb = QDVP_URLmanager(nullptr);
  if (umb == nullptr) return;
  OSV1_Guard free(&umb->FreeMutex);
  QDV0_ConditionTimedWaitMs(&umb->FreeCond, &umb->FreeMutex, ms);
}

int QDVP_DispatchActivitySubtask(URLactivityBlock *b, URLrequestEntry *e, const char *url,
                                 int requestType, int wait, int waitForReply) {
  URLmanagementBlock *umb = QDVP_URLmanager(nullptr);
  bool held = false;
  if (umb != nullptr) {
    OSV1_Guard list(&umb->URLlistLock);
    for (URLrequestEntry *x = umb->pURLlist; x != nullptr && !held; x = x->pNext) {
      // The subtask's hold, let go when it has handed its answer back.
      if (x == e) held = QDVP_HoldURE(umb, e);
    }
  }
  size_t length = url != nullptr ? strlen(url) : 0;
  if (!held || length > QDVP_URL_MAX) {
    if (!held) {
      QDVP_TRC(trk, TRK1_ERROR,
               "URE @%p not found in list of currently monitored URLs. Not dispatched", (void *)e);
    } else {
      QDVP_TRC(trk, TRK1_ERROR,
               "Input URL length %d longer than supported maximum %d. Not dispatched",
               static_cast<int>(length), static_cast<int>(QDVP_URL_MAX));
      QDVP_ReleaseURE(e);
    }
    NoLongerOutstanding(e, requestType);
    if (umb == nullptr) return -1;
    OSV1_Guard free(&umb->FreeMutex);
    if (requestType == QDVP_URL_REQUEST_OBJECT) umb->ObjectsInFlight--;
    b->Status = QDVP_UATB_FREE;
    OSV1_WakeAll(&umb->FreeCond, &umb->FreeMutex);
    return -1;
  }
  unsigned long serial;
  {
    OSV1_Guard hold(&b->Mutex);
    b->RequestType = requestType;
    b->WaitFlag = wait;
    b->pURE = e;
    memcpy(b->URL, url, length + 1);
    b->TimedOut = 0;
    if (requestType == QDVP_URL_REQUEST_PAGE) {
      OSV1_Guard entry(&e->Lock);
      b->pBuffer = e->pPageBuffer;
      b->BufferSize = e->PageBufferSize;
      b->CopyContent = 0;
    } else {
      b->pBuffer = nullptr;
      b->BufferSize = 0;
      OSV1_Guard entry(&e->Lock);
      b->CopyContent = e->ContentFlag;
    }
    serial = ++b->Serial;
    OSV1_WakeAll(&b->Cond, &b->Mutex);
  }
  if (!wait || !waitForReply) return 1;
  time_t deadline = QDV0_Time() + umb->MaxReplyWait;
  OSV1_Guard hold(&b->Mutex);
  while (b->Done < serial && QDV0_Time() < deadline && !Ending(umb)) {
    QDV0_ConditionTimedWait(&b->Cond, &b->Mutex, 1);
  }
  if (b->Done >= serial) return 1;
  // Given up: the answer, when it comes, is dropped, and a lent page buffer is the subtask's
  // from now on (it frees it).
  b->TimedOut = 1;
  NoLongerOutstanding(e, requestType);
  char text[QDVP_URL_MAX + 96];
  snprintf(text, sizeof(text), "URL %s request timeout. Retry at next scheduled sample interval",
           url);
  QDV0_OQconsoleMessage("action", QDV0_OQ_WARNING, text);
  return 0;
}

void QDVP_DoHTTPactivity(ProcessEntry *pe) {
  auto *b = static_cast<URLactivityBlock *>(pe->pParm);
  DPAB *anchor = pe->pDPAB;
  pe->ThreadID = OSV1_ThreadID();
  b->pPE = pe;
  URLmanagementBlock *umb = QDVP_URLmanager(nullptr);
  QDVP_DoHTTPconnect(b, 11);
  {
    OSV1_Guard hold(&b->Mutex);
    b->Status = QDVP_UATB_FREE;
    OSV1_WakeAll(&b->Cond, &b->Mutex);
  }
  unsigned long serial;
  bool retired = false;
  while (NextRequest(umb, b, &serial, &retired)) {
    Work w;
    {
      OSV1_Guard hold(&b->Mutex);
      w = {b, umb, b->pURE, b->RequestType, b->URL, b->CopyContent, b->pBuffer, b->BufferSize, 0};
      b->pBuffer = nullptr;
      b->BufferSize = 0;
    }
    bool removed = OSV1_HoldsClosed(&w.e->Holds);
    uint32_t status;
    if (w.type == QDVP_URL_REQUEST_OBJECT && removed) {
      QDVP_TRC(trk, TRK1_DETAIL,
               "URL <%s> no longer in list of monitored URLs, aborting object retrieval request",
               w.e->URL);
      status = HTQ1_NO_CLIENT;
    } else {
      status = Perform(&w);
    }
    struct timespec end;
    clock_gettime(CLOCK_REALTIME, &end);
    bool report = false;
    bool rowReady = false;  // this answer was the last the entry's finished sample waited for
    long objectSize = status == 0 ? w.objectSize : 0;
    {
      // The answer and Done in one hold: the dispatcher either has it or has let go.
      OSV1_Guard hold(&b->Mutex);
      URLrequestEntry *e = w.e;
      if (b->TimedOut) {
        if (w.type == QDVP_URL_REQUEST_PAGE) QDV0_FreeStorage(&w.buffer);
      } else {
        OSV1_Guard entry(&e->Lock);
        if (w.type == QDVP_URL_REQUEST_PAGE) {
          e->pPageBuffer = w.buffer;
          e->PageBufferSize = w.bufferSize;
          e->RequestStatus = status;
          e->RequestEnd = end;
          e->OutstandingPage = 0;
        } else {
          e->TotalObjectSize += objectSize;
          if (e->OutstandingObjects > 0) e->OutstandingObjects--;
          report = !OSV1_HoldsClosed(&e->Holds);
          rowReady = e->OutstandingObjects == 0 && e->ValidURLstat;
        }
      }
      b->Done = serial;
      OSV1_WakeAll(&b->Cond, &b->Mutex);
    }
    if (report)
      QDVP_DoObjectUpdateDCH(anchor, w.e->URL, static_cast<int>(strlen(w.e->URL)), w.url.c_str(),
                             static_cast<int>(w.url.size()), objectSize, status);
    QDVP_ReleaseURE(w.e);
    {
      OSV1_Guard free(&umb->FreeMutex);
      if (w.type == QDVP_URL_REQUEST_OBJECT) umb->ObjectsInFlight--;
      int allocated = QDVP_UATB_ALLOCATED;
      b->Status.compare_exchange_strong(allocated, QDVP_UATB_FREE);
      OSV1_WakeAll(&umb->FreeCond, &umb->FreeMutex);
    }
    // The update task is woken only for a row it can send now; a page's answer is followed by
    // the client task's own signal once the sample is complete.
    if (rowReady) {
      OSV1_Guard dispatch(&umb->DispatchMutex);
      umb->DispatchCount++;
      OSV1_WakeAll(&umb->DispatchCond, &umb->DispatchMutex);
    }
  }
  if (b->pClient != nullptr) HTQ1_DeleteClient(b->pClient, 0);
  b->pClient = nullptr;
  if (retired) {
    // Out of the pool: nobody finds the block any more, and it is this task's to free (the
    // management block it may no longer touch).
    QDVP_TRC(trk, TRK1_DETAIL, "Idle URL monitoring task ended");
    QDV0_Free(b);
    QDVP_EndTask(anchor, pe);
    return;
  }
  OSV1_GetLock(&b->Mutex);
  b->Status = QDVP_UATB_ENDED;
  OSV1_WakeAll(&b->Cond, &b->Mutex);
  OSV1_ReleaseLock(&b->Mutex);
  QDVP_EndTask(anchor, pe);
}
