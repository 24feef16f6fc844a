// The file server task: one per FILE source. It waits until its application is registered
// and its file exists, brings the source online, and then scans the file once per interval
// (qdvpffis.cpp does the reading), switching to a newer file of a name pattern, restarting at
// the beginning of a replaced file, and going back to waiting when the file is deleted. Also
// the start-up of the servers, with the rules that leave batch sources without one.
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_request.h"
#include "../include/qdvp_services.h"
#include "../include/qdvp_stats.h"
#include "qdvpfmon.h"

static TRK1_BLOCK trk = {"qdvpfile"};

enum { kDefaultEvent = 15, kDefaultFactor = 5, kDefaultCopyFactor = 2, kMaxFrequency = 300 };

static bool FlagOn(const char *name, bool byDefault) {
  const char *value = QDV0_GetEnv(name, nullptr);
  if (value == nullptr) return byDefault;
  return value[0] == 'Y' || value[0] == 'y';
}

// The summary block of a source: its own, or its table's.
static SMBlock *SummaryOf(const SourceEntry *source) {
  if (source->pSMB != nullptr) return source->pSMB;
  return source->pTable != nullptr ? source->pTable->pSMB : nullptr;
}

int QDVP_ComputeFileFrequency(const TableEntry *table, char mode, int *testFrequency,
                              int *testInterval) {
  int frequency;
  if (table->Type == 'E') {
    frequency = atoi(QDV0_GetEnv("QDVP_DP_EVENT", "15"));
    if (frequency < 1) {
      frequency = kDefaultEvent;
      QDVP_TRC(trk, TRK1_ERROR, "*** File event frequency reset to mininum %d", frequency);
      QDVP_DisplayValidationMessage(51, "15");
    }
    if (frequency > kMaxFrequency) {
      frequency = kMaxFrequency;
      QDVP_TRC(trk, TRK1_DETAIL, "Sample Frequency set to default maximum %d", frequency);
    }
  } else {
    int byDefault = mode == 'C' ? kDefaultCopyFactor : kDefaultFactor;
    int factor = byDefault;
    const char *text = QDV0_GetEnv("QDVP_DP_SAMPLE_FACTOR", nullptr);
    if (text != nullptr) {
      factor = atoi(text);
      if (factor < 1) {
        QDVP_TRC(trk, TRK1_ERROR, "***** Invalid input sample factor %d ignored. Default %d in use",
                 factor, byDefault);
        factor = byDefault;
      }
    }
    frequency = table->TTL / factor;
    if (frequency < 1) {
      frequency = 30;
      QDVP_TRC(trk, TRK1_ERROR, "*** File sample frequency reset to mininum %d", frequency);
      QDVP_DisplayValidationMessage(50, "30");
    }
    if (frequency > kMaxFrequency && factor == byDefault) {
      frequency = kMaxFrequency;
      QDVP_TRC(trk, TRK1_DETAIL, "Sample Frequency set to default maximum %d", frequency);
    }
  }
  int tf = 0, ti = 0;
  if (frequency > 30) {
    int r = frequency % 30;
    if (r == 0) {
      tf = frequency;
      ti = 30;
    } else {
      int q = (frequency - r) / 30;
      tf = frequency - (r % q);
      ti = tf / q;
    }
    QDVP_TRC(trk, TRK1_DETAIL, "Sample test frequency %d, sample test interval %d", tf, ti);
  }
  if (testFrequency) *testFrequency = tf;
  if (testInterval) *testInterval = ti;
  return frequency;
}

// Starts a file server for every FILE source that needs one and has none: Ready or Pending,
// not left out by the batch settings. Returns 1 (a source whose server cannot be started is
// traced and left without one).
int QDVP_CheckAndStartFileServer(DPAB *anchor, QDVP_TASK_ROUTINE fileServer) {
  QDVP_TRC_ENTRY(trk);
  bool batchMode = FlagOn("QDVP_BATCH_MODE_PROCESS", false);
  bool bypass = !batchMode && FlagOn("QDVP_BYPASS_BATCH_GROUP", true);
  const char *bypassText = QDV0_GetEnv("QDVP_BYPASS_BATCH_GROUP", nullptr);
  if (bypassText != nullptr && (bypassText[0] == 'N' || bypassText[0] == 'n')) bypass = false;
  bool summaryOnly = FlagOn("QDVP_BATCH_SUMMARY_OUTPUT_ONLY", false);
  int started = 0;
  OSV1_Guard list(&anchor->ApplIOLock[QDVP_IOE_FILE - 1]);
  for (IOEntry *io = anchor->pIOEList[QDVP_IOE_FILE]; io != nullptr; io = io->pNextKind) {
    SourceEntry *source = io->pSource;
    if (source == nullptr || source->Kind != 'F' || source->pTable == nullptr) continue;
    const char *table = source->pTable->TableName;
    SMBlock *smb = SummaryOf(source);
    if (bypass && smb != nullptr && smb->Batch) {
      QDVP_TRC(trk, TRK1_DETAIL,
               "Monitor file attribute group %s bypassed due to Bypass Batch Processing requested",
               table);
      continue;
    }
    if (batchMode && smb != nullptr && !smb->Batch) {
      QDVP_TRC(trk, TRK1_DETAIL,
               "Monitor file attribute group %s bypassed due to Batch Processing in effect", table);
      continue;
    }
    IRBlock *irb = source->pTable->pIRB;
    if (summaryOnly && smb == nullptr && (irb == nullptr || irb->pOutputTable != source->pTable)) {
      QDVP_TRC(trk, TRK1_DETAIL,
               "Monitor file attribute group %s bypassed due to Summary Batch Only in effect",
               table);
      continue;
    }
    if (source->pPE.load() != nullptr) continue;
    if (source->State != QDVP_Ready && source->State != QDVP_Pending) continue;
    // The server's hold on its source, taken here where the source is listed (a source being
    // deleted gets no server) and let go as the server's last act.
    if (!OSV1_TakeHold(&source->Holds)) continue;
    ProcessEntry *pe = nullptr;
    if (!QDVP_CreateProcess(anchor, QDVP_TYPE_FILE, source, fileServer, 0, &pe)) {
      QDVP_TRC(trk, TRK1_ERROR, "***** File server process startup failed for file %s",
               source->pSourceName ? source->pSourceName : "");
      QDVP_LetGoSource(source);
      continue;
    }
    // Owned at once, so that a second start-up call does not start another server.
    source->pPE.store(pe);
    started++;
  }
  QDVP_TRC(trk, TRK1_DETAIL, "%d file server process(es) started", started);
  QDVP_TRC_EXIT(trk, started);
  return 1;
}

int QDVP_StartBatchFileMonitoring(DPAB *anchor) {
  return QDVP_CheckAndStartFileServer(anchor, QDVP_FileServer);
}

// Waits while the application's registration is still going on. True when the source is
// Ready and the task may go on.
static bool WaitForRegistration(FileServerState *s) {
  SourceEntry *source = s->source;
  OSV1_GetLock(&source->EntryLock);
  while ((source->State == QDVP_Pending || source->State == QDVP_Register) &&
         !QDVP_TaskShouldEnd(s->pe)) {
    OSV1_ReleaseLock(&source->EntryLock);
    QDVP_TRC(trk, TRK1_DETAIL, "Wait for registration to complete");
    QDVP_WaitTaskIO(s->pe, 5, nullptr, nullptr);
    OSV1_GetLock(&source->EntryLock);
  }
  bool ready = source->State == QDVP_Ready;
  OSV1_ReleaseLock(&source->EntryLock);
  return ready && !QDVP_TaskShouldEnd(s->pe);
}

// DP log message 16 for the start of monitoring.
static void ReportStart(FileServerState *s) {
  const TableEntry *t = s->table;
  const char *type = t->Type == 'E' ? "EVENT" : t->Type == 'P' ? "POLL" : "SAMPLE";
  const char *mode = t->Type == 'E' ? "N/A" : s->io->FileMode == 'C' ? "COPY" : "TAIL";
  std::string delimiter;
  {
    OSV1_Guard attrs(&s->source->AttrLock);
    if (s->source->pDelimiter != nullptr) delimiter = s->source->pDelimiter;
  }
  const char *shown = delimiter.empty() ? "NONE" : delimiter == " " ? "Space" : delimiter.c_str();
  char frequency[16];
  snprintf(frequency, sizeof(frequency), "%d", s->frequency);
  QDVP_SendDPlogMessage(s->anchor, 16, QDVP_FileServerFileName(s), type, frequency, mode, shown);
  QDVP_UpdateStatLogFileIO(1, 0);
}

// Sets up the record reader for this file: the read buffer, the end-of-input text or the
// RECORDSET rule, the lines per record.
static bool PrepareReader(FileServerState *s) {
  QDV0_Free(s->readBuffer);
  QDVP_ReleaseRecordSetRule(s->rule);
  s->rule = nullptr;
  s->readBuffer = static_cast<char *>(QDV0_GetStorage(static_cast<size_t>(s->recordSize)));
  if (s->readBuffer == nullptr) return false;
  MonitorReadControl &c = s->control;
  memset(&c, 0, sizeof(c));
  c.pReadBuffer = s->readBuffer;
  c.ReadSize = s->recordSize;
  // The table's first source keeps the delimiter it was read with for good.
  SourceEntry *first = QDVP_FirstSourceOf(s->table);
  if (first == nullptr) first = s->source;
  {
    OSV1_Guard attrs(&first->AttrLock);
    c.pDelimiter = first->pDelimiter;
  }
  c.LinesPerRecord = s->table->RecordSetCount > 0 ? s->table->RecordSetCount : 1;
  c.StopAt = -1;
  if (s->table->pRecordSetDelimiter != nullptr && s->table->pRecordSetDelimiter[0] != '\0') {
    c.pEndText = s->table->pRecordSetDelimiter;
    c.EndTextLength = static_cast<int>(strlen(c.pEndText));
  } else if (s->table->pRecordSetRule != nullptr) {
    s->rule = QDVP_FormatRecordSetRule(s->table->pRecordSetRule);
  }
  c.pRule = s->rule;
  return true;
}

// Takes the source offline (unless "~") and the tables routed from it.
static void TakeOffline(FileServerState *s) {
  if (s->internal) {
    QDVP_UpdateSourceEntryState(s->source, QDVP_Inactive);
  } else {
    DCHresult off = QDVP_Request(s->anchor, s->source, QDVP_VERB_OFFLINE, s->pe);
    if (!off.Delivered()) {
      QDVP_TRC(trk, TRK1_ERROR, "*** dp_offline failed for %s [%s %d]", QDVP_FileServerFileName(s),
               QDVP_OutcomeName(off.outcome), off.status);
    }
  }
  if (s->table->pIRB != nullptr) {
    QDVP_CheckRedirectSourceOffline(s->anchor, s->source, s->table->pIRB);
  }
}

// Waits until the next scan is due, in pieces of about 30 seconds for long intervals, and
// returns early when the task is asked to end, when the file followed in TAIL mode was written,
// or when a new file appears under the monitored name (a rotation: the pass that follows reads
// the old file to its end and switches). See qdvpfwat.cpp.
static void WaitForNextScan(FileServerState *s) {
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> wait for next sample/event");
  QDVP_FileWatch(s);
  bool pieces = s->frequency > 30;
  int total = pieces ? s->testFrequency : s->frequency;
  time_t start = QDV0_Time();
  for (time_t now = start; now < start + total && !QDVP_TaskShouldEnd(s->pe); now = QDV0_Time()) {
    int left = static_cast<int>(start + total - now);
    int piece = pieces ? std::min(left, s->testInterval) : left;
    // A position not written yet is written within a second, not after the whole interval.
    bool pending = QDVP_FilePositionPending(s);
    if (QDVP_FileWaitOrChange(s, pending ? std::min(piece, 1) : piece) != QDVP_WAKE_NONE) return;
    if (pending) QDVP_FilePositionFlush(s, false);
  }
}

// The scan loop of one file. Returns true when monitoring ends, false when the file is gone
// and is to be waited for again.
static bool ScanLoop(FileServerState *s) {
  for (;;) {
    int pass = QDVP_FileScanPass(s);
    if (pass != QDVP_PASS_DONE) {
      const char *name = QDVP_FileServerFileName(s);
      if (pass == QDVP_PASS_GONE) {
        QDVP_TRC(trk, TRK1_ERROR, "***** Monitoring file %s no longer exists!", name);
        QDVP_SendDPlogMessage(s->anchor, 54, name);
      } else {
        // Reported by DP log 85 or 87 when it was found; waited for like a missing file.
        QDVP_TRC(trk, TRK1_ERROR, "***** Monitoring file %s refused. Wait for a file", name);
      }
      TakeOffline(s);
      // A re-created file is new: it is read from its beginning.
      s->restart = true;
      return false;
    }
    bool batch = s->anchor->BatchLogOpen != 0;
    if (!batch) WaitForNextScan(s);
    if (QDVP_TaskShouldEnd(s->pe)) return true;
    FileSpecCB *fileSpec = s->fileSpec;
    if (fileSpec->PatternFlag && (batch || QDV0_Time() >= fileSpec->NextSwitchCheck)) {
      char *previous = QDV0_StrDup(fileSpec->pCurrentFileName);
      QDVP_DetermineCurrentMonitorFileName(fileSpec, s->processAll);
      if (fileSpec->pCurrentFileName == nullptr) {
        // No file any more (the last one of process-all was read): the file read last is the
        // one reported as completed.
        fileSpec->pCurrentFileName = previous;
        return true;
      }
      QDV0_Free(previous);
      fileSpec->NextSwitchCheck = QDV0_Time() + fileSpec->SwitchCheckInterval;
    }
    if (QDVP_FileIdentityCheck(s)) return true;
    if (QDVP_TaskShouldEnd(s->pe)) return true;
  }
}

// Frees what the task holds and ends it, from wherever it decides to end.
[[noreturn]] static void Cleanup(FileServerState *s) {
  s->io->pFile = nullptr;
  // Orderly end (the shutdown, a DELETE): the position reached is written now.
  QDVP_FilePositionFlush(s, true);
  QDVP_FileCloseFollowed(s);
  QDVP_FileUnwatch(s);
  QDV0_Free(s->commonBuffer);
  QDV0_Free(s->readBuffer);
  QDVP_ReleaseRecordSetRule(s->rule);
  const char *name = QDVP_FileServerFileName(s);
  if (name != nullptr) QDVP_SendDPlogMessage(s->anchor, 17, name);
  if (s->fileSpec->PatternFlag) {
    // The pattern stays: a server started again chooses its file anew.
    QDV0_Free(s->fileSpec->pCurrentFileName);
    QDVP_ReleaseSelectedFileList(s->fileSpec);
  }
  s->fileSpec->pPE = nullptr;
  QDVP_WaitTaskIO(s->pe, 3, nullptr, nullptr);
  // At shutdown the wait for the offline ends early; the client may still have it.
  QDVP_WaitForDCHrequestRelease(s->anchor, s->pe, s->source);
  {
    // A deletion signals the server found here under the same lock: seen, the entry still lives.
    OSV1_Guard hold(&s->source->SourceLock);
    s->source->pPE.store(nullptr);
  }
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> DP file server process ended. Thread: %X",
           s->pe->ThreadID.load());
  // The last use of the source: a DELETE waits for this before it frees the source.
  QDVP_LetGoSource(s->source);
  QDVP_EndTask(s->anchor, s->pe);
}

void QDVP_FileServer(ProcessEntry *pe) {
  pe->ThreadID = OSV1_ThreadID();
  FileServerState s{};
  s.pe = pe;
  s.anchor = pe->pDPAB;
  s.source = static_cast<SourceEntry *>(pe->pParm);
  if (s.source == nullptr || s.source->pIOE == nullptr || s.source->pFileSpec == nullptr ||
      s.source->pTable == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "***** File server started without a FILE source");
    QDVP_LetGoSource(s.source);
    QDVP_EndTask(s.anchor, pe);
  }
  s.io = s.source->pIOE;
  s.table = s.source->pTable;
  s.fileSpec = s.source->pFileSpec;
  s.source->pPE.store(pe);
  s.fileSpec->pPE = pe;
  s.internal = s.table->TableName[0] == '~';
  s.endPos = -1;
  s.watchFd = s.watchDirWd = s.watchFileWd = -1;
  s.ackedPos = s.savedPos = -1;
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> DP file server process started for %s. Thread: %X",
           s.source->pSourceName ? s.source->pSourceName : "", pe->ThreadID.load());
  if (!WaitForRegistration(&s)) Cleanup(&s);

  s.frequency =
      QDVP_ComputeFileFrequency(s.table, s.io->FileMode, &s.testFrequency, &s.testInterval);
  s.processAll = FlagOn("QDVP_PROCESS_ALL_MATCH_PATTERN_FILES", false);
  if (s.fileSpec->PatternFlag) {
    // Until a file matches, the directory is looked at again every switch-check interval (the
    // choice waits that long when nothing matches); in process-all mode an empty list ends.
    for (int tries = 0;; tries++) {
      QDVP_DetermineCurrentMonitorFileName(s.fileSpec, s.processAll);
      if (s.fileSpec->pCurrentFileName != nullptr) {
        // A file that appeared after the start holds only new data; in process-all mode every
        // file is read whole, the first one as well as those switched to later.
        s.restart = tries > 0 || s.processAll;
        break;
      }
      if (s.processAll || QDVP_TaskShouldEnd(pe)) break;
    }
    s.fileSpec->NextSwitchCheck = QDV0_Time() + s.fileSpec->SwitchCheckInterval;
  }
  if (QDVP_FileServerFileName(&s) == nullptr) Cleanup(&s);

  for (;;) {
    int waited = 0;
    if (!QDVP_WaitFileReadyForMonitor(s.io, &waited)) {
      QDVP_TRC(trk, TRK1_ERROR, "*** File %s initial monitoring setup failed",
               QDVP_FileServerFileName(&s));
      break;
    }
    // A file that was missing or empty when monitoring began holds only new data.
    if (waited) s.restart = true;
    if (s.anchor->BatchLogOpen) s.io->FileMode = 'C';
    s.recordSize = s.io->BufferSize;
    s.fileSpec->IDcheckSum = QDVP_FormatFileIDcheckSum(s.io, s.fileSpec);
    ReportStart(&s);
    QDVP_UpdateSourceEntryState(s.source, QDVP_Ready);
    if (!s.internal) {
      DCHresult online = QDVP_Request(s.anchor, s.source, QDVP_VERB_ONLINE, pe);
      if (QDVP_TaskShouldEnd(pe) || !online.Delivered()) {
        QDVP_TRC(trk, TRK1_ERROR, "*** dp_online failed for %s [%s %d]",
                 QDVP_FileServerFileName(&s), QDVP_OutcomeName(online.outcome), online.status);
        break;
      }
    }
    QDVP_UpdateSourceEntryState(s.source, QDVP_Input);
    QDVP_DispatchInternalOutput(s.anchor, s.source, s.table->pIRB, nullptr, 0);
    QDVP_FileInitialPosition(&s);
    if (s.commonBuffer == nullptr || !PrepareReader(&s)) break;
    if (ScanLoop(&s)) {
      if (!s.internal) {
        QDVP_TRC(trk, TRK1_DETAIL, ">>>>> File server waits for dp_offline notification");
      }
      TakeOffline(&s);
      break;
    }
  }
  Cleanup(&s);
}
