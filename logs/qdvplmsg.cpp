// The data provider log: its 115 numbered message templates, reporting a message (queued to
// the log server task, or delivered at once in stand-alone mode), completing a template with
// its parameters, and delivering the text: standard output for SYSTEM messages, the DPLOG
// row through the agent link, or the batch job log. What goes to standard output and to the
// batch job log is one line per message: its parameters (names and texts from partners) are
// escaped there (QDV0_AppendLogText); the DPLOG row carries the text as it is.
//
// Reporting never waits for the agent: it copies the parameters into one queue entry and
// signals the log server. Only the log server (or, in stand-alone mode, the reporting task)
// completes and delivers messages, so the shared text buffer is used by one task at a time.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../core/support/qdv0.h"
#include "../core/support/qdv0chck.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_dchcomm.h"
#include "../include/qdvp_dplog.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_request.h"

static TRK1_BLOCK trk = {"qdvplmsg"};

// Category column (9 characters), then the text; "@" marks a parameter.
const char *const DP_Log_Message[QDVP_DPLOG_MESSAGES] = {
    "SYSTEM   DP ready",
    "SYSTEM   DP shutdown completed",
    "SYSTEM   DP console interface active",
    "SYSTEM   DP console interface inactive",
    "INFO     Metafile @ validation successful. Application @ loaded.",
    "INFO     Metafile @ validation failed.",
    "INFO     Delete command for metafile/application @ received.",
    "INFO     Metafile @ found.",
    "INFO     Application @ found.",
    "ERROR    @ metafile or application not defined.",
    "INFO     Existing application @ deleted.",
    "INFO     Import command for metafile/application @ received.",
    "WARNING  Application @ already registered with agent.",
    "INFO     Refresh command for metafile/application @ received.",
    "INFO     Shutdown command received.",
    "INFO     Existing data definitions for application @ accepted by command request",
    "SYSTEM   Monitoring for file @ started. Type @, Interval @ seconds, Mode @, Delimiter @ "
    "character(s).",
    "SYSTEM   Monitoring for file @ completed.",
    "INFO     File @ does not exist. Monitoring delayed for attribute group @, wait for file "
    "creation...",
    "INFO     File @ contains no valid data record. Monitoring delayed for attribute group @, "
    "wait for data...",
    "INFO     @ DP started. Listening on port @",
    "SOCKCOMM New TCP connection accepted from @ address @ port @ bound to application @ "
    "attribute group @",
    "ERROR    NEW TCP connection from @ rejected. Dynamic inbound connection without metafile "
    "specification or SOURCE not unique.",
    "ERROR    New TCP connection from @ rejected. @ application contains no matching SOURCE "
    "specification for origination @",
    "SOCKCOMM @ session disconnect received from @ port @. Application @ attribute group @ "
    "management ended.",
    "APICOMM  dp_OpenSession completed from location @.",
    "APICOMM  dp_CloseSession completed for location @.",
    "APIINFO  dp_Define for metafile/application @ received.",
    "APIINFO  dp_Redefine for metafile/application @ received.",
    "ERROR    New UDP connection from @ rejected. @ application contains no matching SOURCE "
    "specification for origination @",
    "ERROR    New @ connection from @ rejected. @ metafile definition error",
    "SOCKCOMM New UDP session accepted from @ address @ port @ bound to application @ "
    "attribute group @",
    "SOCKCOMM UDP inactivity time expired. Session disconnect for @ port @. Application @ "
    "attribute group @ management ended.",
    "APIINFO  dp_BeginInput successful for application @ attribute group @ from location @.",
    "APIINFO  dp_BeginInput failed for application @ attribute group @ from location @.",
    "APIINFO  dp_EndInput completed for application @ attribute group @ from location @.",
    "SYSTEM   DP Statistic: @.",
    "ERROR    DP metafile server @ listen failed, Errno @. Server initialization unsuccessful.",
    "ERROR    DP metafile server initialization failed. Metafile server is already active on "
    "the same system.",
    "SYSTEM   DP metafile server initialization successful. Ready for request.",
    "METACOMM New DP client connection accepted from @ address @ port @",
    "METACOMM DP client @ from address @ port @ disconnected from metafile server.",
    "METAINFO DP client @ request for metafile @ received.",
    "SYSTEM   DP metafile server processing completed.",
    "METAINFO Metafile @ request successfully completed. @ records sent to client DP at @.",
    "METAINFO Metafile @ request from @ failed. File not found.",
    "ERROR    Metafile service client startup error. Remote metafile service unavailable.",
    "METACOMM Connection to metafile server @ port @ cannot be processed. Remote metafile "
    "service unavailable.",
    "SYSTEM   Metafile service client successfully connected to server at @. Ready for "
    "request.",
    "ERROR    Metafile service client startup error. No storage for request work area.",
    "METACOMM Metafile server disconnected. Automatic reconnect initiated.",
    "ERROR    Metafile server send failed for metafile @. Insufficient storage.",
    "METACOMM Contact metafile server @ unsuccessful. Automatic connection retry every @ "
    "seconds.",
    "ERROR    DP cannot open file @ for monitoring. Unrecoverable errno @.",
    "ERROR    File @ deleted / no longer exists. Monitoring reset. Wait for file re-creation.",
    "SYSTEM   Agent and DP successfully resynchronized. Monitor for file @ resumed.",
    "ERROR    New @ connection from @ rejected. No Explicit Application Association record "
    "found or SOURCE not unique",
    "INFO     Metafile @ validation successful. Application @ already registered to agent by "
    "other DP. @ NOT auto loaded.",
    "ERROR    Unable to clear file @. File COPY CLEAR option reset to NO CLEAR.",
    "SYSTEM   DP automation server active",
    "ACTINFO  @ @ automation activity completed, status @",
    "ACTINFO  @ @ automation activity completed, status @, result [@]",
    "ACTINFO  @ @ automation activity begin for command [@] parameter [@] at location @",
    "ERROR    @ @ automation activity @ not performed. Data source @ offline",
    "ACTINFO  @ @ remote automation activity begin for command [@] parameter [@] at location @",
    "ACTINFO  Situation @ filter add dispatched to @. Rule[@].",
    "ACTINFO  Situation @ filter delete dispatched to @.",
    "INFO     ",
    "INFO     ",
    "INFO     ",
    "SYSTEM   DP SNA APPC server ended. SNA service not installed or inactive.",
    "SYSTEM   DP SNA APPC server active using Local LU @, TP name @",
    "APPCINFO New APPC conversation from remote LU @ mode @ accepted.",
    "APPCINFO APPC conversation from remote LU @ ended.",
    "SOCKCOMM TCP connection outage detected. Session disconnect for @ port @. Application @ "
    "attribute group @ management ended.",
    "INFO     File @ switched or re-creation detected. Restart file monitoring from the "
    "beginning of the file.",
    "INFO     Monitoring switched from file @ to new file @.",
    "SYSTEM   Unable to obtain enough storage. Attribute summarization process stopped for "
    "attribute group @. Retry with shorter summary interval.",
    "INFO     HTTP DP client task active",
    "INFO     HTTP DP client task ended",
    "SYSTEM   HTTP DP manager task active",
    "SYSTEM   HTTP DP manager task ended",
    "INFO     URL Add performed for @",
    "INFO     URL Remove performed for @",
    "WARNING  File @ holds a record longer than the record size of @ bytes (attribute group "
    "@). Such records are cut to the record size.",
    "ERROR    File @ is a @, not a regular file. Monitoring delayed, wait for a regular file.",
    "INFO     File @ is a symbolic link to @. Link followed per QDVP_FOLLOW_SYMLINKS @.",
    "ERROR    File @ is a symbolic link to @. Link not followed per QDVP_FOLLOW_SYMLINKS @. "
    "Monitoring delayed, wait for a file that may be monitored.",
    "ERROR    Console command @ from address @ port @ refused: @.",
    "WARNING  State file @ holds @ unreadable line(s), the first at line @. They are ignored: "
    "their files are monitored as if new.",  // 84-89: file monitoring, the console, positions
    "WARNING  A row of application @ attribute group @ from @ was not taken by the agent, "
    "status @. The row is not stored.",  // 90: the agent link
    "INFO     ",
    "INFO     ",
    "INFO     ",
    "WARNING  POST sender @ port @ dropped: it does not read its acknowledgement stamps (@ "
    "bytes waiting).",
    "INFO     ",  // 90-95
    "ERROR    @ server cannot accept a connection, errno @ (24 and 23: no file descriptor "
    "left). @ connection(s) closed unserved since the last report; accepting goes on as "
    "descriptors are freed.",
    "INFO     ",
    "INFO     ",
    "INFO     ",
    "INFO     ",  // 96-100
    "SYSTEM   Monitoring of SNMP traps enabled. @",
    "SNMPINFO Trap configuration definitions loaded from file @.",
    "SYSTEM   Monitoring of SNMP traps disabled. No API or listening port available.",
    "SYSTEM   Network configuration discovery tasks started.",
    "ERROR    Insufficient process authority for executing ICMP procedures.",
    "SNMPINFO Network discovery tasks not started per request.",
    "SNMPINFO SNMP trap monitor tasks not started per request.",
    "SYSTEM   SNMP management for MIB enterprise @ attribute group @ started.",
    "SYSTEM   SNMP management for MIB enterprise @ attribute group @ ended.",
    "SNMPINFO MIB data collection starting for agent: @",
    "SNMPINFO MIB data collection stopping for agent: @",
    "SNMPINFO SNMP management of network @ started.",
    "SNMPINFO SNMP management of network @ ended.",
    "INFO     ",
};

const char NoParameterProvided[] = "?";
const char SystemMessage[] = "SYSTEM";
const int SystemMessageSize = 6;

static char LogText[QDVP_DPLOG_TEXT_SIZE];

static std::atomic<DPAB *> sDPAB{nullptr};
// A leaf of the lock order (include/qdvp_anchor.h).
static OSV1_LOCK sBatchMutex QDVP_ACQUIRED_AFTER(DPAB::StateMutex) = OSV1_LOCK_INITIALIZER;
static FILE *sBatchLog QDVP_GUARDED_BY(sBatchMutex) = nullptr;

// One queued message: the fixed fields, then the parameter texts in the same block.
struct DPlogWork {
  DPlogWork *pNext;
  int Number;
  const char *Parm[5];
  char TimeStamp[QDV0_CORVID_TIME_LEN + 1];
  char Texts[];
};

int QDVP_FormatDPlogText(int number, const char *const parms[5], char *out, size_t size) {
  if (size == 0) return 0;
  out[0] = '\0';
  if (number < 0 || number >= QDVP_DPLOG_MESSAGES) return 0;
  const char *t = DP_Log_Message[number] + QDVP_DPLOG_CATEGORY_COLUMN;
  size_t n = 0;
  int used = 0;
  for (; *t && n + 1 < size; t++) {
    if (*t == '@' && used < 5) {
      const char *p = parms[used] ? parms[used] : NoParameterProvided;
      used++;
      while (*p && n + 1 < size) out[n++] = *p++;
    } else {
      out[n++] = *t;
    }
  }
  out[n] = '\0';
  return static_cast<int>(n);
}

int QDVP_DPlogPriority(int number) {
  if (number < 0 || number >= QDVP_DPLOG_MESSAGES) return QDV0_PRIORITY_INFO;
  const char *templ = DP_Log_Message[number];
  if (strncmp(templ, "ERROR ", 6) == 0) return QDV0_PRIORITY_ERROR;
  if (strncmp(templ, "WARNING ", 8) == 0) return QDV0_PRIORITY_WARNING;
  return QDV0_PRIORITY_INFO;
}

namespace {

// The message's line on standard error: its category column and text, with the priority of
// the category. Written by the reporting task, so that it appears at once.
void WriteOperatorLine(int number, const char *const parms[5]) {
  if (number < 0 || number >= QDVP_DPLOG_MESSAGES) return;
  char text[QDVP_DPLOG_TEXT_SIZE];
  QDVP_FormatDPlogText(number, parms, text, sizeof(text));
  char line[QDVP_DPLOG_TEXT_SIZE + QDVP_DPLOG_CATEGORY_COLUMN + 1];
  snprintf(line, sizeof(line), "%.*s%s", static_cast<int>(QDVP_DPLOG_CATEGORY_COLUMN),
           DP_Log_Message[number], text);
  QDV0_WriteOperatorLine(QDVP_DPlogPriority(number), line);
}

// True when standard output and standard error are one file (a terminal, the journal's stream
// of a service): the standard error line of a SYSTEM message then says it already.
bool OutputIsErrorStream() {
  static const bool same = [] {
    struct stat out, err;
    return fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 &&
           out.st_dev == err.st_dev && out.st_ino == err.st_ino;
  }();
  return same;
}

}  // namespace

void QDVP_CutDPlogText(const char *text, int maxSize, char *out) {
  size_t n = strlen(text);
  if (static_cast<int>(n) <= maxSize) {
    memcpy(out, text, n + 1);
    return;
  }
  memcpy(out, text, static_cast<size_t>(maxSize - 3));
  memcpy(out + maxSize - 3, "...", 3);
  out[maxSize] = '\0';
}

void QDVP_EnqueueDPlogRequest(DPAB *anchor, WorkItem *entry) {
  entry->pNext = nullptr;
  {
    OSV1_Guard queue(&anchor->DPlogQueueLock);
    if (anchor->pDPlogQueueTail) {
      anchor->pDPlogQueueTail->pNext = entry;
    } else {
      anchor->pDPlogQueueHead = entry;
    }
    anchor->pDPlogQueueTail = entry;
  }
  auto *server = static_cast<ProcessEntry *>(anchor->pDPlogServer.load());
  if (server != nullptr) QDVP_SignalTaskIO(server);
}

WorkItem *QDVP_GetNextDPlogRequest(DPAB *anchor) {
  OSV1_Guard queue(&anchor->DPlogQueueLock);
  WorkItem *entry = anchor->pDPlogQueueHead;
  if (entry != nullptr) {
    anchor->pDPlogQueueHead = entry->pNext;
    if (anchor->pDPlogQueueHead == nullptr) anchor->pDPlogQueueTail = nullptr;
    entry->pNext = nullptr;
  }
  return entry;
}

void QDVP_DispatchQueuedDPlogEntry(DPAB *anchor, WorkItem *item, int dispatch) {
  auto *work = reinterpret_cast<DPlogWork *>(item);
  if (dispatch) {
    QDVP_DispatchDPlogMessage(anchor, work->Number, work->Parm[0], work->Parm[1], work->Parm[2],
                              work->Parm[3], work->Parm[4], work->TimeStamp);
  }
  QDV0_Free(work);
}

void QDVP_SendDPlogMessage(DPAB *anchor, int number, const char *p1, const char *p2, const char *p3,
                           const char *p4, const char *p5) {
  if (anchor == nullptr) anchor = sDPAB.load();
  if (anchor != nullptr && anchor->StandAlone) {
    QDVP_DispatchDPlogMessage(anchor, number, p1, p2, p3, p4, p5, nullptr);
    return;
  }
  const char *parms[5] = {p1, p2, p3, p4, p5};
  WriteOperatorLine(number, parms);
  if (QDV0_QueryProductSpec(15) == nullptr) return;
  size_t extra = 0;
  for (const char *p : parms) extra += p ? strlen(p) + 1 : 0;
  auto *work = static_cast<DPlogWork *>(QDV0_GetStorage(sizeof(DPlogWork) + extra));
  if (work == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "*****No storage for DP log WorkEntry, log message discarded");
    return;
  }
  work->Number = number;
  char *at = work->Texts;
  for (int i = 0; i < 5; i++) {
    if (parms[i] == nullptr) continue;
    size_t n = strlen(parms[i]);
    memcpy(at, parms[i], n + 1);
    work->Parm[i] = at;
    at += n + 1;
  }
  QDV0_GetCorvidTime(work->TimeStamp);
  if (anchor == nullptr) {
    QDV0_Free(work);
    QDVP_TRC(trk, TRK1_ERROR, "DP Log message not processed. Addressability not yet established");
    return;
  }
  QDVP_EnqueueDPlogRequest(anchor, reinterpret_cast<WorkItem *>(work));
}

// Completes a message and delivers it.
void QDVP_DispatchDPlogMessage(DPAB *anchor, int number, const char *p1, const char *p2,
                               const char *p3, const char *p4, const char *p5,
                               const char *timeStamp) {
  DPAB *expected = nullptr;
  sDPAB.compare_exchange_strong(expected, anchor);
  if (number < 0 || number >= QDVP_DPLOG_MESSAGES) return;
  const char *parms[5] = {p1, p2, p3, p4, p5};
  memset(LogText, 0, sizeof(LogText));
  QDVP_FormatDPlogText(number, parms, LogText, sizeof(LogText));
  QDVP_TRC(trk, TRK1_DETAIL, "Log Message->%s", LogText);
  if (anchor != nullptr && anchor->StandAlone && anchor->BatchLogOpen) {
    QDVP_WriteBatchLog(LogText);
    return;
  }
  const char *templ = DP_Log_Message[number];
  bool operatorLineWritten = anchor == nullptr || !anchor->StandAlone;
  if (strncmp(templ, SystemMessage, SystemMessageSize) == 0 &&
      !(operatorLineWritten && OutputIsErrorStream())) {
    QDV0_WriteLogLine(stdout, LogText);
    fflush(stdout);
  }
  if (anchor == nullptr) return;
  SourceEntry *log = anchor->pDPlogSource;
  if (log == nullptr || log->State != QDVP_Active) {
    QDVP_TRC(trk, TRK1_DETAIL, ">>> Log message discarded. DCH communication not ready or busy");
    return;
  }
  {
    OSV1_Guard attrs(&log->AttrLock);
    for (AttrEntry *a = log->pAttrList; a != nullptr; a = a->pNext) {
      if (strcmp(a->Name, "DP_Time") == 0) {
        char stamp[QDV0_CORVID_TIME_LEN + 1];
        if (timeStamp == nullptr) timeStamp = QDV0_GetCorvidTime(stamp);
        char text[32] = "";
        QDV0_CorvidTimeToString(timeStamp, text);
        size_t n = strnlen(text, static_cast<size_t>(a->MaxValSize));
        memcpy(a->Value, text, n);
        a->ActualValSize = static_cast<int>(n);
      } else if (strcmp(a->Name, "DP_Log_Category") == 0) {
        size_t n = strcspn(templ, " ");
        if (n > 8) n = 8;
        memcpy(a->Value, templ, n);
        a->ActualValSize = static_cast<int>(n);
      } else if (strcmp(a->Name, "DP_Log_Text") == 0) {
        char cut[QDVP_DPLOG_TEXT_SIZE];
        QDVP_CutDPlogText(LogText, a->MaxValSize, cut);
        size_t n = strlen(cut);
        memcpy(a->Value, cut, n);
        a->ActualValSize = static_cast<int>(n);
      }
    }
  }
  ProcessEntry *requester = QDVP_DPlogRequester(anchor);
  if (number == 36) {
    // The statistics row goes out without a wait: nobody learns its outcome.
    QDVP_Request(anchor, log, QDVP_VERB_DATA, requester, QDVP_RETRY_NO_WAIT);
    return;
  }
  DCHresult sent = QDVP_Request(anchor, log, QDVP_VERB_DATA, requester, QDVP_RETRY_UNTIL_ACTIVE);
  if (!sent.Delivered()) {
    // The report's own row: no DP log message tells of it (it would be another such row).
    QDVP_TRC(trk, TRK1_ERROR, "*****dp_data not performed. Log bypassed [%s %d]",
             QDVP_OutcomeName(sent.outcome), sent.status);
  }
}

// ---- Batch job log ------------------------------------------------------------------------

void QDVP_OpenBatchLog(DPAB *anchor, const char *fileName) {
  OSV1_GetLock(&sBatchMutex);
  // Record formats do not exist here; only the leading "w" of the mode matters.
  sBatchLog = fileName ? fopen(fileName, "w") : nullptr;
  if (sBatchLog != nullptr) {
    QDVP_TRC(trk, TRK1_DETAIL, "Batch job log %s open successful", fileName);
  } else {
    QDVP_TRC(trk, TRK1_ERROR, "Batch job log %s open failed. ErrorText <%s>. stdout used",
             fileName ? fileName : "", strerror(errno));
    sBatchLog = stdout;
  }
  if (anchor != nullptr) anchor->BatchLogOpen = 1;
  OSV1_ReleaseLock(&sBatchMutex);
  DPAB *expected = nullptr;
  sDPAB.compare_exchange_strong(expected, anchor);
}

void QDVP_WriteBatchLog(const char *text) {
  OSV1_GetLock(&sBatchMutex);
  if (sBatchLog != nullptr) {
    QDV0_WriteLogLine(sBatchLog, text);
    fflush(sBatchLog);
  }
  OSV1_ReleaseLock(&sBatchMutex);
}

void QDVP_CloseBatchLog(void) {
  OSV1_GetLock(&sBatchMutex);
  if (sBatchLog != nullptr && sBatchLog != stdout) fclose(sBatchLog);
  sBatchLog = nullptr;
  DPAB *anchor = sDPAB.load();
  if (anchor != nullptr) anchor->BatchLogOpen = 0;
  OSV1_ReleaseLock(&sBatchMutex);
}

void QDVP_ForgetDPlogAnchor(DPAB *anchor) {
  DPAB *expected = anchor;
  sDPAB.compare_exchange_strong(expected, nullptr);
}
