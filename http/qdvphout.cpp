// What URL monitoring gives out: Managed_URL rows for finished samples (the DCH update task),
// URL_Objects rows for page objects, the statistics file, page and object copies on disk, and
// the two ways monitoring of a URL stops for an owner (a situation's RULESTOP, a configuration
// request).
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "../core/support/htq1.h"
#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_agentlink.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_http.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_records.h"
#include "../include/qdvp_request.h"

static TRK1_BLOCK trk = {"qdvphout"};

namespace {

// What one Managed_URL row says, taken from the entry under its lock so that the entry is free
// again while the row waits for the agent.
struct URLrow {
  std::string url, status, title, user, alias, server, version;
  long pageSize, current, maximum, average, objects, objectSize, samples, interval;
  long long dns, connect, tls, firstByte, total;
  long certificateDays;
};

void Load(AttrEntry *a, const std::string &text) {
  LoadAttrBucket(a, const_cast<char *>(text.c_str()), static_cast<int>(text.size()));
}

// Fills the source's attributes by name (the table's order is ours, but a name is surer).
void FillURLrow(SourceEntry *source, const URLrow &r, const char *isp) {
  char stamp[QDV0_CORVID_TIME_LEN + 1];
  QDV0_GetCorvidTime(stamp);
  OSV1_Guard attrs(&source->AttrLock);
  for (AttrEntry *a = source->pAttrList; a != nullptr; a = a->pNext) {
    const char *n = a->Name;
    auto num = [](long long v) { return std::to_string(v); };
    std::string text;
    if (strcmp(n, "URL") == 0)
      text = r.url;
    else if (strcmp(n, "Status") == 0)
      text = r.status;
    else if (strcmp(n, "Status_Timestamp") == 0)
      text = stamp;
    else if (strcmp(n, "Page_Title") == 0)
      text = r.title;
    else if (strcmp(n, "Page_Size") == 0)
      text = num(r.pageSize);
    else if (strcmp(n, "Current_Response_Time") == 0)
      text = num(r.current);
    else if (strcmp(n, "Maximum_Response_Time") == 0)
      text = num(r.maximum);
    else if (strcmp(n, "Average_Response_Time") == 0)
      text = num(r.average);
    else if (strcmp(n, "Page_Objects") == 0)
      text = num(r.objects);
    else if (strcmp(n, "Total_Object_Size") == 0)
      text = num(r.objectSize);
    else if (strcmp(n, "User_Name") == 0)
      text = r.user;
    else if (strcmp(n, "URL_Alias") == 0)
      text = r.alias;
    else if (strcmp(n, "ISP_Name") == 0)
      text = isp;
    else if (strcmp(n, "Server_Type") == 0)
      text = r.server;
    else if (strcmp(n, "Total_Samples_Taken") == 0)
      text = num(r.samples);
    else if (strcmp(n, "Status_Interval") == 0)
      text = num(r.interval);
    else if (strcmp(n, "HTTP_Version") == 0)
      text = r.version;
    else if (strcmp(n, "DNS_Lookup_Time") == 0)
      text = num(r.dns);
    else if (strcmp(n, "TCP_Connect_Time") == 0)
      text = num(r.connect);
    else if (strcmp(n, "TLS_Handshake_Time") == 0)
      text = num(r.tls);
    else if (strcmp(n, "First_Byte_Time") == 0)
      text = num(r.firstByte);
    else if (strcmp(n, "Total_Time") == 0)
      text = num(r.total);
    else if (strcmp(n, "Certificate_Days_Left") == 0)
      text = num(r.certificateDays);
    else
      text = a->Type == 'D' ? " " : "0";
    Load(a, text);
  }
}

// Takes the finished sample of an entry (entry lock held): the row, the response time
// statistics of a good sample, and the entry made ready for its next sample. The owner's names
// (the row's user and alias) were taken under the URL list lock, which guards the owners.
URLrow TakeSample(URLrequestEntry *e, const std::string &user, const std::string &alias)
    QDVP_REQUIRES(e->Lock) {
  URLrow r{};
  bool good = e->RequestStatus == 0 && e->PageSize != 0;
  if (good) QDVP_CalculateURLresponseTime(&e->RequestStart, &e->RequestEnd, e);
  char status[128];
  QDVP_URLstatusText(e->RequestStatus, status, sizeof(status));
  r.url = e->URL;
  r.status = status;
  r.title = e->PageTitle;
  r.pageSize = e->PageSize;
  r.current = good ? e->CurrentResponseTime : 0;
  r.maximum = e->MaximumResponseTime;
  r.average = e->AverageResponseTime;
  r.objects = e->PageObjects;
  r.objectSize = e->TotalObjectSize;
  if (!user.empty()) {
    r.user = user;
    r.alias = alias;
  } else {
    QDVP_TRC(trk, TRK1_DETAIL, "No user name value specified for URL <%s>", e->URL);
    r.user = " ";
    r.alias = alias;
  }
  r.server = e->ServerType[0] != '\0' ? e->ServerType : " ";
  r.samples = e->SamplesTaken;
  r.interval = e->SampleInterval;
  r.version = e->HTTPversion == 10 ? "1.0" : "1.1";
  r.dns = e->DNSTime;
  r.connect = e->ConnectTime;
  r.tls = e->TLSTime;
  r.firstByte = e->FirstByteTime;
  r.total = e->TotalTime;
  r.certificateDays = e->CertificateDays;
  e->ValidURLstat = 0;
  if (good && e->SampleSetSize > 0 && ++e->CurrentPosition >= e->SampleSetSize) {
    e->CurrentPosition = 0;
  }
  return r;
}

// Sends a row of a report source and waits for the agent (the source's update lock held).
void SendRow(DPAB *anchor, SourceEntry *source) {
  source->DataSequence = QDVP_SEQ_ONLY;
  DCHresult sent = QDVP_Request(anchor, source, QDVP_VERB_DATA, nullptr);
  if (!sent.Delivered()) {
    // The row alone is lost (the agent link told the operator); the source stays online for
    // the next sample's row.
    QDVP_TRC(trk, TRK1_ERROR, "*** dp_data failed for %s [%s %d]", source->pTable->TableName,
             QDVP_OutcomeName(sent.outcome), sent.status);
  }
}

// A file name made of a URL or an object's name: what is not a letter, digit, '.', '-' or '_'
// becomes '_', and a name that would climb ("..") or hide (".x") starts with '_'.
std::string FileNameOf(const char *name) {
  std::string out;
  for (const char *p = name; *p != '\0' && out.size() < 200; p++) {
    char c = *p;
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '.' || c == '-' || c == '_';
    out += plain ? c : '_';
  }
  if (out.empty() || out[0] == '.') out.insert(out.begin(), '_');
  return out;
}

void WriteCopy(const char *dir, const std::string &name, const char *data, long length,
               const char *failure) {
  std::string path = std::string(dir) + "/" + name;
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, failure, path.c_str(), strerror(errno));
    return;
  }
  if (length > 0) fwrite(data, 1, static_cast<size_t>(length), f);
  fclose(f);
}

// Removes an owner's entries from an entry's owner list; how many. Names compare without regard
// to case, so that a request in either case finds the owner; *spelled gets the name as the
// owner was added, which the row that deletes the URL at the agent carries (an agent keys the
// row by it).
int RemoveOwner(URLmanagementBlock *umb, URLrequestEntry *e, const char *owner,
                std::string *spelled) QDVP_REQUIRES(umb->URLlistLock) {
  (void)umb;  // named for the lock it must hold
  int removed = 0;
  for (URLownerEntry **link = &e->pOwnerList; *link != nullptr;) {
    URLownerEntry *o = *link;
    bool match = strcasecmp(o->UserName, owner) == 0;
    if (!match) {
      link = &o->pNext;
      continue;
    }
    QDVP_TRC(trk, TRK1_DETAIL, "URL <%s> Owner <%s> removed from list of monitored URLs", e->URL,
             o->UserName);
    *spelled = o->UserName;
    *link = o->pNext;
    QDV0_FreeStorage(&o);
    e->OwnerCount--;
    removed++;
  }
  return removed;
}

// An entry that lost its last owner, unlinked, and the owner's name as it was added.
struct Ownerless {
  URLrequestEntry *e;
  std::string owner;
};

// Takes an owner off an entry and, when that was its last owner, unlinks it into *gone; the
// caller deletes those entries once it has let go of the lock. How many owner entries went.
int RemoveOwnerAndUnlink(URLmanagementBlock *umb, URLrequestEntry *e, const char *owner,
                         std::vector<Ownerless> *gone) QDVP_REQUIRES(umb->URLlistLock) {
  std::string spelled;
  int removed = RemoveOwner(umb, e, owner, &spelled);
  if (removed > 0 && e->OwnerCount <= 0) {
    QDVP_UnlinkHTTPrequestBlock(umb, e);
    gone->push_back({e, spelled});
    QDVP_TRC(trk, TRK1_DETAIL, "Total managed URLs decreased from %d to %d", umb->URLsManaged,
             umb->URLsManaged - 1);
    umb->URLsManaged--;
  }
  return removed;
}

void DeleteAll(DPAB *anchor, const std::vector<Ownerless> &gone) {
  for (const Ownerless &g : gone) QDVP_DeleteHTTPrequestBlock(anchor, g.e, g.owner.c_str());
}

}  // namespace

void QDVP_URLstatusText(uint32_t status, char *text, size_t size) {
  if (status == 0) {
    snprintf(text, size, "OK");
    return;
  }
  int code = 0;
  const char *reason = HTQ1_StatusText(status, &code);
  if (reason == nullptr) reason = "";
  if (code >= 1 && code <= 999) {
    snprintf(text, size, "%d: %s", code, reason);
  } else if (strcmp(reason, "URI authority is not a recognized network address") == 0) {
    snprintf(text, size, "Not a recognized network address");
  } else if (strcmp(reason, "client connection has been lost") == 0) {
    snprintf(text, size, "Timeout occurred while obtaining URL status");
  } else {
    snprintf(text, size, "%s", reason);
  }
}

void QDVP_DoHTTPupdateDCH(ProcessEntry *pe) {
  DPAB *anchor = pe->pDPAB;
  pe->ThreadID = OSV1_ThreadID();
  auto *umb = static_cast<URLmanagementBlock *>(pe->pParm);
  SourceEntry *source = QDVP_URLsource(anchor);
  if (source == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "Error: HTTP Managed URL application has not been initialized.");
  }
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> HTTP DCH update process started. Thread: %X",
           pe->ThreadID.load());
  unsigned long seen = 0;
  while (source != nullptr && !QDVP_TaskShouldEnd(pe)) {
    {
      OSV1_Guard dispatch(&umb->DispatchMutex);
      seen = umb->DispatchCount;
    }
    // The entries with a finished sample are held (a use each) while their rows go out, so that
    // neither the list lock nor an entry's lock waits on the agent.
    struct Held {
      URLrequestEntry *e;
      std::string user, alias;
    };
    std::vector<Held> held;
    {
      OSV1_Guard list(&umb->URLlistLock);
      for (URLrequestEntry *e = umb->pURLlist; e != nullptr; e = e->pNext) {
        OSV1_Guard entry(&e->Lock);
        if (e->ValidURLstat && e->OutstandingObjects == 0 && !e->OutstandingPage &&
            QDVP_HoldURE(umb, e)) {
          URLownerEntry *o = e->pOwnerList;
          held.push_back({e, o != nullptr ? o->UserName : "", o != nullptr ? o->Alias : "    "});
        }
      }
    }
    for (const Held &h : held) {
      URLrequestEntry *e = h.e;
      bool ready;
      URLrow row;
      {
        OSV1_Guard entry(&e->Lock);
        ready = !OSV1_HoldsClosed(&e->Holds) && e->ValidURLstat && e->OutstandingObjects == 0 &&
                !e->OutstandingPage;
        if (ready && !QDVP_HTTPsourceOnline(anchor, source, pe)) {
          QDVP_TRC(trk, TRK1_DETAIL, ">>> URL row of <%s> held: Managed_URL is not online", e->URL);
          ready = false;
        }
        if (ready) row = TakeSample(e, h.user, h.alias);
      }
      if (ready) {
        OSV1_Guard http(&anchor->HTTPupdateLock);
        // A removal sends its deleting row under the same lock: a sample is not sent after it.
        if (!OSV1_HoldsClosed(&e->Holds)) {
          FillURLrow(source, row, umb->ISPname);
          SendRow(anchor, source);
        }
      }
      QDVP_ReleaseURE(e);
    }
    OSV1_Guard dispatch(&umb->DispatchMutex);
    while (umb->DispatchCount == seen && !QDVP_TaskShouldEnd(pe)) {
      QDV0_ConditionTimedWait(&umb->DispatchCond, &umb->DispatchMutex, 5);
    }
  }
  {
    OSV1_Guard dispatch(&umb->DispatchMutex);
    umb->pUpdatePE = nullptr;
    OSV1_WakeAll(&umb->DispatchCond, &umb->DispatchMutex);
  }
  QDVP_EndTask(anchor, pe);
}

void QDVP_DoObjectUpdateDCH(DPAB *anchor, const char *url, int urlLength, const char *name,
                            int nameLength, long size, uint32_t status) {
  URLmanagementBlock *umb = QDVP_URLmanager(anchor);
  if (umb == nullptr || !umb->PageObjectsReport) {
    QDVP_TRC(trk, TRK1_DETAIL,
             "Bypass DCH update for URL={%s} URLsize=%d ObjName={%s} ObjNameSize=%d ObjSize=%d",
             url, urlLength, name, nameLength, static_cast<int>(size));
    return;
  }
  SourceEntry *source = QDVP_ObjectSource(anchor);
  if (source == nullptr) return;
  OSV1_Guard objects(&anchor->ObjectUpdateLock);
  if (!QDVP_HTTPsourceOnline(anchor, source, nullptr)) return;
  char statusText[128];
  QDVP_URLstatusText(status, statusText, sizeof(statusText));
  {
    OSV1_Guard attrs(&source->AttrLock);
    for (AttrEntry *a = source->pAttrList; a != nullptr; a = a->pNext) {
      if (strcmp(a->Name, "URL") == 0)
        Load(a, std::string(url, static_cast<size_t>(urlLength)));
      else if (strcmp(a->Name, "Object_Name") == 0)
        Load(a, std::string(name, static_cast<size_t>(nameLength)));
      else if (strcmp(a->Name, "Object_Size") == 0)
        Load(a, std::to_string(size));
      else if (strcmp(a->Name, "Object_Status") == 0)
        Load(a, statusText);
    }
  }
  SendRow(anchor, source);
}

void QDVP_OutputURLstat(URLmanagementBlock *umb) {
  if (umb == nullptr || !umb->OutputStat) return;
  if (umb->pStatFile == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR,
             "*****Unable to write URL statistics. URL statistics file not specified.");
    return;
  }
  FILE *f = fopen(umb->pStatFile, "w");
  if (f == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "*****URL statistics file %s open failed. ErrorText <%s>",
             umb->pStatFile, strerror(errno));
    return;
  }
  fputs(
      "URL,URL_Alias,Page_Title,Page_Size,Page_Objects,Total_Object_Size,Total_Samples_Taken,"
      "Status_Interval,Current_Response_Time (ms),Average_Response_Time (ms),"
      "Maximum_Response_Time (ms),HTTP_Version,Server_Type,Status,Status_Timestamp\n",
      f);
  int records = 0;
  {
    OSV1_Guard list(&umb->URLlistLock);
    for (URLrequestEntry *e = umb->pURLlist; e != nullptr; e = e->pNext) {
      OSV1_Guard entry(&e->Lock);
      const char *alias = e->pOwnerList != nullptr ? e->pOwnerList->Alias : "    ";
      long current = e->CurrentResponseTime;
      // The title and the server type are the web server's words, the URL and the alias the
      // operator's or a situation's: escaped, none can end the URL's line.
      fprintf(f, "%s,%s,%s,%d,%d,%d,%d,%d,%d,%d,%d,%s,", QDV0_EscapeLogText(e->URL).c_str(),
              QDV0_EscapeLogText(alias).c_str(), QDV0_EscapeLogText(e->PageTitle).c_str(),
              static_cast<int>(e->PageSize), e->PageObjects, static_cast<int>(e->TotalObjectSize),
              e->SamplesTaken, e->SampleInterval, static_cast<int>(current),
              static_cast<int>(e->AverageResponseTime), static_cast<int>(e->MaximumResponseTime),
              e->HTTPversion == 10 ? "1.0" : "1.1");
      fprintf(f, "%s,", e->ServerType[0] != '\0' ? QDV0_EscapeLogText(e->ServerType).c_str() : " ");
      char status[128];
      QDVP_URLstatusText(e->RequestStatus, status, sizeof(status));
      char stamp[QDV0_CORVID_TIME_LEN + 1], when[32];
      QDV0_ConvertTimeToCorvidTime(e->LastSampleTime, stamp);
      fprintf(f, "%s,%s\n", QDV0_EscapeLogText(status).c_str(),
              QDV0_CorvidTimeToString(stamp, when));
      records++;
    }
  }
  fclose(f);
  QDVP_TRC(trk, TRK1_DETAIL, "%d URL statistic records written to file %s", records,
           umb->pStatFile);
}

int QDVP_CreateURLoutputDir(URLmanagementBlock *umb, const char *url, char *dir, size_t size) {
  if (umb == nullptr || umb->pOutputDir == nullptr || url == nullptr) return 0;
  const char *host = strstr(url, "://");
  host = host != nullptr ? host + 3 : url;
  size_t n = strcspn(host, "/");
  std::string hostName = FileNameOf(std::string(host, n).c_str());
  int written = snprintf(dir, size, "%s/%s", umb->pOutputDir, hostName.c_str());
  if (written < 0 || static_cast<size_t>(written) >= size) return 0;
  if (mkdir(dir, 0750) != 0 && errno != EEXIST) {
    QDVP_TRC(trk, TRK1_ERROR, "***** URL output directory {%s} not created, ErrorText <%s>", dir,
             strerror(errno));
    return 0;
  }
  return 1;
}

void QDVP_OutputURLpage(URLmanagementBlock *umb, URLrequestEntry *e) {
  char dir[2048];
  if (e->pPageBuffer == nullptr || !QDVP_CreateURLoutputDir(umb, e->URL, dir, sizeof(dir))) return;
  WriteCopy(dir, FileNameOf(e->URL), e->pPageBuffer, e->PageKept,
            "***** URL page file {%s} open failed, ErrorText <%s>");
}

void QDVP_OutputURLobject(URLmanagementBlock *umb, const char *pageURL, const char *objectURL,
                          const char *data, long length) {
  char dir[2048];
  if (!QDVP_CreateURLoutputDir(umb, pageURL, dir, sizeof(dir))) return;
  WriteCopy(dir, FileNameOf(objectURL), data, length,
            "***** URL object file {%s} open failed, ErrorText <%s>");
}

void QDVP_StopSitHTTPrequest(DPAB *anchor, const char *owner) {
  URLmanagementBlock *umb = QDVP_URLmanager(anchor);
  if (umb == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR,
             "Unable to perform Stop Situation request for Owner <%s>. URLmanagementBlock not "
             "available.",
             owner);
    return;
  }
  std::vector<Ownerless> gone;
  {
    OSV1_Guard list(&umb->URLlistLock);
    for (URLrequestEntry *e = umb->pURLlist; e != nullptr;) {
      URLrequestEntry *next = e->pNext;  // e may be unlinked
      RemoveOwnerAndUnlink(umb, e, owner, &gone);
      e = next;
    }
  }
  DeleteAll(anchor, gone);
}

int QDVP_StopActionURLrequest(DPAB *anchor, const char *url, const char *owner) {
  QDVP_TRC(trk, TRK1_DETAIL, "Received request to stop monitoring URL <%s> with OwnerName <%s>",
           url, owner);
  URLmanagementBlock *umb = QDVP_URLmanager(anchor);
  if (umb == nullptr || url == nullptr || owner == nullptr) return 0;
  int removed = 0;
  std::vector<Ownerless> gone;
  {
    OSV1_Guard list(&umb->URLlistLock);
    for (URLrequestEntry *e = umb->pURLlist; e != nullptr; e = e->pNext) {
      if (strcasecmp(e->URL, url) != 0) continue;
      std::string owning = e->pOwnerList != nullptr ? e->pOwnerList->UserName : "";
      removed = RemoveOwnerAndUnlink(umb, e, owner, &gone);
      if (removed == 0) {
        QDVP_TRC(trk, TRK1_ERROR,
                 "Unable to remove URL <%s>. URL's owning user ID <%s> does not match requesting "
                 "user ID <%s>",
                 url, owning.c_str(), owner);
      }
      break;
    }
  }
  DeleteAll(anchor, gone);
  return removed > 0 ? 1 : 0;
}
