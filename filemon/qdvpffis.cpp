// The file server's reading: waiting until the file exists and holds a line, positioning at
// the start of monitoring, one scan pass (what is new in TAIL mode, the whole file in COPY
// mode), sending each row with the resend loop after a failed send, and the identity check
// that restarts at the beginning of a replaced file.
//
// The I/O entry, its buffers and the open file are the server's own; of the entry only
// FileWaitCount is shared, under the entry's IOLock: the periodic scan wakes a waiting server
// through its process entry's condition while it is set, which is also where a request to end
// wakes it. No lock is held while a pass reads, parses and sends (a row's request waits for the
// agent, and a row that was not taken for 30-second pauses). A pass resumes at the read position,
// the position after the last complete record handled, so no complete line is sent twice; a last
// line without its line end is left for the next pass unless the file stayed unchanged for a
// whole interval.
#include <ctype.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_request.h"
#include "../include/qdvp_stats.h"
#include "qdvpfmon.h"

static TRK1_BLOCK trk = {"qdvpffis"};

// Opens the file for reading (qdvpfopn.cpp), reporting a followed or refused link or a file that
// is not a regular one (once, see QDVP_ReportMonitorFileOpen). Null when it cannot be opened,
// with the outcome in open.
static FILE *OpenMonitored(DPAB *anchor, IOEntry *io, const char *name, MonitorFileOpen *open) {
  QDVP_OpenMonitorFile(name, 0, open);
  QDVP_ReportMonitorFileOpen(anchor, io->pSource->pFileSpec, name, open);
  return open->File;
}

// The file monitored now: the pattern's current choice (null before there is one), or the
// source's file.
static const char *NameOf(IOEntry *io) {
  SourceEntry *s = io->pSource;
  if (s->pFileSpec != nullptr && (s->pFileSpec->PatternFlag || s->pFileSpec->pCurrentFileName)) {
    return s->pFileSpec->pCurrentFileName;
  }
  return s->pSourceName;
}

static ProcessEntry *OwnerOf(IOEntry *io) {
  SourceEntry *s = io->pSource;
  if (s->pFileSpec != nullptr && s->pFileSpec->pPE != nullptr) return s->pFileSpec->pPE;
  return s->pPE;
}

static bool ShouldEnd(ProcessEntry *pe) { return pe != nullptr && QDVP_TaskShouldEnd(pe); }

// Waits for the periodic scan's signal. The server waits on its own process entry's condition,
// so that a request to end (the console's DELETE or REFRESH, the shutdown) wakes it at once;
// the scan signals the same condition while FileWaitCount is set. The server clears the count
// under IOLock before it goes on, so a scan that holds IOLock and sees the count set knows the
// server (and its process entry) is still inside this wait. The wait is bounded so that a lost
// signal only delays. Without an owning task (the reader called on its own) the entry's
// condition is used.
static void WaitForFileSignal(IOEntry *io, ProcessEntry *pe) {
  {
    OSV1_Guard wait(&io->IOLock);
    io->FileWaitCount = 1;
  }
  if (pe != nullptr) {
    QDVP_WaitTaskIO(pe, 30, ">>>>> Wait for file to become available",
                    ">>>>> Check file signal received. rc %d errno %d");
  } else {
    OSV1_GetLock(&io->Mutex);
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Wait for file to become available");
    int rc = QDV0_ConditionTimedWait(&io->Cond, &io->Mutex, 30);
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Check file signal received. rc %d errno %d", rc, errno);
    OSV1_ReleaseLock(&io->Mutex);
  }
  OSV1_Guard wait(&io->IOLock);
  io->FileWaitCount = 0;
}

// The position after the last line end between from and end; from when there is none.
static long CompleteEnd(FILE *file, long from, long end) {
  char chunk[512];
  long pos = end;
  while (pos > from) {
    long start = pos - static_cast<long>(sizeof(chunk)) > from ? pos - sizeof(chunk) : from;
    if (fseek(file, start, SEEK_SET) != 0) return end;
    size_t n = fread(chunk, 1, static_cast<size_t>(pos - start), file);
    for (size_t i = n; i > 0; i--) {
      if (chunk[i - 1] == '\n') return start + static_cast<long>(i);
    }
    pos = start;
  }
  return from;
}

int CompareFilePosition(long a, long b) { return a == b ? 0 : (a > b ? 1 : -1); }

// 1 when the file exists and holds a first line; 0 when the task must end (asked to, a file
// that cannot be opened for another reason than absence or permission, or a missing file
// that is not to be waited for).
int QDVP_WaitFileReadyForMonitor(IOEntry *io, int *waited) {
  if (io == nullptr || io->pSource == nullptr) return 0;
  SourceEntry *source = io->pSource;
  ProcessEntry *pe = OwnerOf(io);
  DPAB *anchor = pe ? pe->pDPAB : Main_DPAB;
  char waitSetting = static_cast<char>(
      toupper(static_cast<unsigned char>(QDV0_GetEnv("QDVP_DP_FILE_EXIST_WAIT", "Y")[0])));
  int size = QDVP_ComputeIObufferSize(source);
  io->BufferSize = size;
  QDV0_Scratch<char> check(static_cast<size_t>(size) + 1);
  if (!check) {
    QDVP_TRC(trk, TRK1_ERROR, "CheckRec buffer allocation failed");
    return 0;
  }
  if (io->pBufferList == nullptr && (!QDVP_AllocateIObuffer(io) || !QDVP_AllocateIObuffer(io))) {
    QDVP_TRC(trk, TRK1_ERROR, "Initial IO buffer allocation failed");
    return 0;
  }
  bool reportedMissing = false, reportedEmpty = false;
  int result = 0;
  while (!ShouldEnd(pe)) {
    const char *name = NameOf(io);
    MonitorFileOpen open;
    FILE *file = OpenMonitored(anchor, io, name, &open);
    if (file == nullptr) {
      int error = open.Error;
      if (open.Status == QDVP_OPEN_ERROR) {
        QDVP_TRC(trk, TRK1_ERROR, "*** Unable to open file %s, ErrorText: %s, NO retry. Exiting",
                 name ? name : "", strerror(error));
        char number[16];
        snprintf(number, sizeof(number), "%d", error);
        QDVP_SendDPlogMessage(anchor, 53, name ? name : "", number);
        break;
      }
      // A FIFO or a link not to be followed was reported (85, 87) and is waited for like a
      // missing file, until a file that may be monitored stands under the name.
      if (!reportedMissing && open.Status == QDVP_OPEN_MISSING) {
        QDVP_SendDPlogMessage(anchor, 18, name ? name : "", source->pTable->TableName);
        reportedMissing = true;
      }
      if (waitSetting != 'Y') {
        QDVP_TRC(trk, TRK1_DETAIL,
                 "File %s does not exist. DO NOT wait for file creation per "
                 "QDVP_ENV_FILE_EXIST_WAIT specification.",
                 name ? name : "");
        break;
      }
      if (waited) *waited = 1;
      WaitForFileSignal(io, pe);
      continue;
    }
    bool ready = fgets(check.get(), size + 1, file) != nullptr;
    fclose(file);
    if (ready) {
      result = 1;
      break;
    }
    if (!reportedEmpty) {
      QDVP_SendDPlogMessage(anchor, 19, name, source->pTable->TableName);
      reportedEmpty = true;
    }
    QDVP_TRC(trk, TRK1_DETAIL, "empty file. continue to wait");
    if (waited) *waited = 1;
    WaitForFileSignal(io, pe);
  }
  return ShouldEnd(pe) ? 0 : result;
}

const char *QDVP_FileServerFileName(const FileServerState *s) { return NameOf(s->io); }

// TAIL by position: the server follows the open file itself between passes.
static bool Follows(const FileServerState *s) {
  return s->io->FileMode != 'C' && !s->io->TailByRecord;
}

void QDVP_FileCloseFollowed(FileServerState *s) {
  if (s->followed != nullptr) fclose(s->followed);
  if (s->previous != nullptr) fclose(s->previous);
  s->followed = s->previous = nullptr;
}

// Counts the non-empty lines and notes the position after them; with the restart flag the
// scans begin at the start of the file, otherwise (TAIL) after what exists now. In TAIL mode
// the file stays open: it is the one followed from now on.
void QDVP_FileInitialPosition(FileServerState *s) {
  QDV0_Free(s->commonBuffer);
  QDVP_FileCloseFollowed(s);
  s->cutReported = false;
  s->commonBuffer = static_cast<char *>(QDV0_GetStorage(static_cast<size_t>(s->recordSize)));
  MonitorFileOpen open;
  FILE *file = OpenMonitored(s->anchor, s->io, QDVP_FileServerFileName(s), &open);
  if (file == nullptr || s->commonBuffer == nullptr) {
    if (file != nullptr) fclose(file);
    return;
  }
  int count = 0;
  long position = 0;
  while (QDVP_ReadMonitorLine(file, s->commonBuffer, s->recordSize, nullptr)) {
    if (s->commonBuffer[0] != '\n' && s->commonBuffer[0] != '\r') count++;
    position = ftell(file);
  }
  fseek(file, 0, SEEK_END);
  long size = ftell(file), resume = 0;
  if (QDVP_FileResumePosition(s, size, &resume)) {
    // What was written while the data provider was down is read at the first pass.
    s->readPos = s->prevEndPos = resume;
    s->prevCount = count;
  } else if (s->restart) {
    s->readPos = s->prevEndPos = 0;
    s->prevCount = 0;
  } else {
    s->readPos = position;
    if (!s->io->TailByRecord) {
      fseek(file, 0, SEEK_END);
      s->prevEndPos = ftell(file);
    }
    s->prevCount = count;
  }
  QDVP_FilePositionRestart(s, s->readPos);
  if (Follows(s)) {
    s->followed = file;
    s->followedDev = open.Device;
    s->followedIno = open.Inode;
  } else {
    fclose(file);
  }
  QDVP_TRC(trk, TRK1_DETAIL, "Initial file record count %d", count);
}

// Sends the current row; see the header.
bool QDVP_FileSendRow(FileServerState *s) {
  // The first answer tells whether the agent took the row at once; a row it did not take is
  // followed by online requests every 30 seconds until the agent and this source are in step.
  // A row the agent refused stays refused; a row it never answered (the link was lost under
  // it) is sent again once the source is back online, so a restart of the agent loses nothing.
  SourceEntry *source = s->source;
  for (;;) {
    DCHresult sent = QDVP_Request(s->anchor, source, QDVP_VERB_DATA, s->pe);
    if (QDVP_TaskShouldEnd(s->pe) || sent.outcome == DCHoutcome::Ending) return false;
    if (sent.Delivered()) {
      QDVP_NoteRowAcked(s);
      QDVP_UpdateSourceEntryState(source, QDVP_Input);
      return true;
    }
    bool unanswered = sent.outcome == DCHoutcome::NoAnswer || sent.outcome == DCHoutcome::LinkLost;
    QDVP_TRC(trk, TRK1_ERROR, "*** dp_data failed for %s, %s, status %d",
             QDVP_FileServerFileName(s), QDVP_OutcomeName(sent.outcome), sent.status);
    DCHresult resync =
        QDVP_Request(s->anchor, source, QDVP_VERB_ONLINE, s->pe, QDVP_RETRY_RESYNC_EVERY_30S);
    if (QDVP_TaskShouldEnd(s->pe) || resync.outcome == DCHoutcome::Ending) return false;
    QDVP_SendDPlogMessage(s->anchor, 55, QDVP_FileServerFileName(s));
    QDVP_UpdateSourceEntryState(s->source, QDVP_Input);
    if (!unanswered) return true;
  }
}

// Parses the buffer's record and, when the row passes and is due, sends it. False when the
// task was asked to end.
static bool HandleRecord(FileServerState *s, IObuffer *buffer) {
  int pass = QDVP_MoveDataFromBufferToAttr(s->anchor, s->io, buffer);
  if (pass && !s->internal && QDVP_CheckDataSummaryReady(s->source)) {
    s->lastSequence = s->source->DataSequence;
    return QDVP_FileSendRow(s);
  }
  return !QDVP_TaskShouldEnd(s->pe);
}

// TAIL mode: decides what this pass reads. Returns false when there is nothing new.
static bool PositionTail(FileServerState *s, FILE *file) {
  IOEntry *io = s->io;
  s->control.StopAt = -1;
  if (io->TailByRecord) {
    int count = 0;
    rewind(file);
    while (QDVP_ReadMonitorLine(file, s->commonBuffer, s->recordSize, nullptr)) {
      const char *p = s->commonBuffer;
      while (*p == ' ') p++;
      if (*p == '\n' || *p == '\r' || *p == '\0') break;
      count++;
    }
    s->currCount = count;
    QDVP_TRC(trk, TRK1_DETAIL, "Current file record count %d", count);
    s->endPos = ftell(file);
    s->processed = 0;
    s->toProcess = count;
    if (s->prevCount == count) {
      QDVP_TRC(trk, TRK1_DETAIL, ">>> Tail mode same file EOF position. No new data");
      return false;
    }
    if (s->prevCount < count) return true;
  } else {
    fseek(file, 0, SEEK_END);
    s->endPos = ftell(file);
    int cmp = CompareFilePosition(s->endPos, s->prevEndPos);
    if (cmp == 0) {
      if (s->readPos < s->endPos) {
        // A last line without its line end, unchanged for a whole interval: taken as it is.
        fseek(file, s->readPos, SEEK_SET);
        return true;
      }
      QDVP_TRC(trk, TRK1_DETAIL, ">>> Tail mode same file EOF position. No new data");
      return false;
    }
    if (cmp > 0) {
      s->prevEndPos = s->endPos;
      s->control.StopAt = CompleteEnd(file, s->readPos, s->endPos);
      fseek(file, s->readPos, SEEK_SET);
      return true;
    }
  }
  QDVP_TRC(trk, TRK1_DETAIL, "PrevRecCount: %d CurrRecCount: %d", s->prevCount, s->currCount);
  QDVP_TRC(trk, TRK1_DETAIL,
           ">>>>>>File re-created or copied. Restart monitor from beginning<<<<<<");
  s->restart = true;
  rewind(file);
  s->prevEndPos = s->readPos = 0;
  s->prevCount = 0;
  QDVP_FilePositionRestart(s, 0);
  QDVP_SendDPlogMessage(s->anchor, 75, QDVP_FileServerFileName(s));
  s->cutReported = false;
  // The file read from its start now is the one the identity check compares with.
  s->fileSpec->IDcheckSum = QDVP_FormatFileIDcheckSum(s->io, s->fileSpec);
  if (!io->TailByRecord) {
    s->prevEndPos = s->endPos;
    s->control.StopAt = CompleteEnd(file, 0, s->endPos);
    rewind(file);
  }
  return true;
}

// Reads the records of file from where it stands, parses them and sends the rows, until the
// file (or the stop position) ends or the task is asked to end. recordPos follows the records.
// The rows of one call are a run: the DCH client is woken for them in batches.
static void ReadRecords(FileServerState *s, FILE *file, IObuffer *buffer, bool copy) {
  IOEntry *io = s->io;
  QDVP_RowBatch run(s->anchor);
  // The statistics count the records of a pass in batches, not one lock per record.
  struct Counted {
    int records = 0;
    void Add() {
      if (++records == 256) Report();
    }
    void Report() {
      if (records > 0) QDVP_UpdateStatLogFileIO(0, records);
      records = 0;
    }
    ~Counted() { Report(); }
  } counted;
  if (s->rule != nullptr) s->rule->EndOfFile = 0;
  // The stream was positioned by a seek: the reader counts from where it stands now.
  s->control.Position = -1;
  s->recordPos = QDVP_MonitorReadPosition(file, &s->control);
  s->lastSequence = -1;
  bool first = true;
  int count = 0;
  while (!QDVP_TaskShouldEnd(s->pe)) {
    int cut = s->control.RecordsCut;
    char *record =
        ReadMonitorFileRecord(file, buffer->Data, s->recordSize, &s->lineCount, &s->control);
    if (s->control.RecordsCut != cut && !s->cutReported) {
      // Once per file: a writer that writes such lines writes many.
      char size[16];
      snprintf(size, sizeof(size), "%d", s->recordSize);
      QDVP_SendDPlogMessage(s->anchor, 84, QDVP_FileServerFileName(s), size, s->table->TableName);
      s->cutReported = true;
    }
    if (record == nullptr) break;
    size_t length = QDV0_RemoveCRandLF(record);
    if (length == 0) continue;
    s->recordPos = QDVP_MonitorReadPosition(file, &s->control);
    s->processed++;
    count++;
    buffer->DataLength = static_cast<uint32_t>(length);
    buffer->State = QDVP_ValidData;
    if (copy) {
      // A line read ahead by a NEW rule starts another record, even at the end of the file.
      bool last = CompareFilePosition(s->recordPos, s->endPos) == 0 &&
                  (s->rule == nullptr || s->rule->pPendingLine == nullptr);
      int16_t mark = !s->multiRecord ? QDVP_SEQ_ONLY
                     : first         ? QDVP_SEQ_FIRST
                     : last          ? QDVP_SEQ_LAST
                                     : QDVP_SEQ_MIDDLE;
      s->source->DataSequence = mark;
      QDVP_TRC(trk, TRK1_DETAIL, "Mode %c RecCount %d Control %4.4X", io->FileMode, count,
               static_cast<unsigned>(mark));
    }
    first = false;
    counted.Add();
    bool go = HandleRecord(s, buffer);
    buffer->State = QDVP_Allocated;
    QDVP_FilePositionFlush(s, false);
    if (!go) break;
    if (io->TailByRecord && !copy && s->processed >= s->toProcess) {
      QDVP_TRC(trk, TRK1_DETAIL, "RecProcessed %d RecToProcess %d", s->processed, s->toProcess);
      break;
    }
  }
}

// A file kept open between passes is read anew at each pass: what the stream holds from the
// last one is dropped (a seek within it would otherwise reuse it, even after the file was
// truncated and written again).
static FILE *Fresh(FILE *file) {
  if (file != nullptr) fflush(file);
  return file;
}

// Reads the previous file (renamed away, see qdvpfmon.h) from where it was left: up to its last
// complete line while its writer may still add to it, all of it once a pass finds it unchanged
// or when final, and then closes it.
static void DrainPrevious(FileServerState *s, IObuffer *buffer, bool final) {
  FILE *file = Fresh(s->previous);
  if (file == nullptr) return;
  fseek(file, 0, SEEK_END);
  long end = ftell(file);
  if (end == s->previousEnd) final = true;
  s->previousEnd = end;
  if (s->previousPos < end) {
    long stopAt = s->control.StopAt;
    s->control.StopAt = final ? -1 : CompleteEnd(file, s->previousPos, end);
    fseek(file, s->previousPos, SEEK_SET);
    s->inPrevious = true;
    ReadRecords(s, file, buffer, false);
    s->inPrevious = false;
    s->previousPos = s->recordPos;
    s->control.StopAt = stopAt;
  }
  if (final) {
    QDVP_TRC(trk, TRK1_DETAIL, "Previous file of %s read to its end at %ld and closed",
             QDVP_FileServerFileName(s), end);
    fclose(file);
    s->previous = nullptr;
  }
}

// TAIL by position: makes the file under the name the one followed. While the name leads to
// the file followed, that stays. When it leads elsewhere (the file was renamed, deleted or
// replaced), the file followed becomes the previous one and is read to its last complete line
// first; a new file under the name is then read from its beginning (DP log 75).
static int FollowName(FileServerState *s, IObuffer *buffer, FILE **file) {
  const char *name = QDVP_FileServerFileName(s);
  DrainPrevious(s, buffer, false);
  MonitorFileOpen open;
  FILE *now = OpenMonitored(s->anchor, s->io, name, &open);
  if (now != nullptr && s->followed != nullptr && open.Device == s->followedDev &&
      open.Inode == s->followedIno) {
    fclose(now);
    *file = Fresh(s->followed);
    return QDVP_PASS_DONE;
  }
  if (s->followed != nullptr) {
    QDVP_TRC(trk, TRK1_DETAIL,
             ">>>>>>File %s renamed, replaced or deleted. Read the file followed to its end<<<<<<",
             name ? name : "");
    DrainPrevious(s, buffer, true);  // at most one previous file
    s->previous = s->followed;
    s->previousPos = s->readPos;
    s->previousEnd = -1;
    s->followed = nullptr;
    DrainPrevious(s, buffer, now == nullptr);
    if (now != nullptr) {
      s->readPos = s->prevEndPos = 0;
      s->prevCount = 0;
      QDVP_FilePositionRestart(s, 0);
      s->cutReported = false;
      QDVP_SendDPlogMessage(s->anchor, 75, name);
    }
  }
  if (now == nullptr) {
    return open.Status == QDVP_OPEN_NOT_REGULAR || open.Status == QDVP_OPEN_LINK_REFUSED
               ? QDVP_PASS_REFUSED
               : QDVP_PASS_GONE;
  }
  s->followed = now;
  s->followedDev = open.Device;
  s->followedIno = open.Inode;
  s->fileSpec->IDcheckSum = QDVP_FormatFileIDcheckSum(s->io, s->fileSpec);
  *file = now;
  return QDVP_PASS_DONE;
}

// Empties the file after a COPY pass (COPY CLEAR); false when it cannot be written.
static bool ClearFile(const char *name) {
  MonitorFileOpen open;
  if (QDVP_OpenMonitorFile(name, 1, &open) != QDVP_OPEN_OK) {
    errno = open.Error;
    return false;
  }
  int rc = ftruncate(fileno(open.File), 0);
  int error = errno;
  fclose(open.File);
  errno = error;
  return rc == 0;
}

// One scan pass; see qdvpfmon.h.
int QDVP_FileScanPass(FileServerState *s) {
  IOEntry *io = s->io;
  bool copy = io->FileMode == 'C';
  bool follow = Follows(s);
  IObuffer *buffer = QDVP_GetNextFreeBuffer(io);
  if (buffer == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "*** no buffer available for input");
    return QDVP_PASS_DONE;
  }
  FILE *file = nullptr;
  int result = QDVP_PASS_DONE;
  if (follow) {
    result = FollowName(s, buffer, &file);
  } else {
    MonitorFileOpen open;
    file = OpenMonitored(s->anchor, io, QDVP_FileServerFileName(s), &open);
    if (file == nullptr) {
      result = open.Status == QDVP_OPEN_NOT_REGULAR || open.Status == QDVP_OPEN_LINK_REFUSED
                   ? QDVP_PASS_REFUSED
                   : QDVP_PASS_GONE;
    }
  }
  if (result != QDVP_PASS_DONE) {
    buffer->State = QDVP_NotInUse;
    buffer->DataLength = 0;
    return result;
  }
  io->pFile = file;
  bool readData = true;
  if (copy) {
    int lines = 0;
    while (lines < 2 && QDVP_ReadMonitorLine(file, s->commonBuffer, s->recordSize, nullptr)) {
      lines++;
    }
    s->multiRecord = lines >= 2;
    // The end noted now is the one the last record reaches, which marks it 16; a set whose
    // last row was not so marked is closed by an empty row marked 16 after the pass.
    fseek(file, 0, SEEK_END);
    s->endPos = ftell(file);
    rewind(file);
    s->readPos = 0;
    s->control.StopAt = -1;
  } else {
    readData = PositionTail(s, file);
  }
  if (readData) {
    s->lineCount = 0;
    if (io->TailByRecord && !copy) {
      rewind(file);
      int skip = s->prevCount;
      for (int i = 0;
           i < skip && QDVP_ReadMonitorLine(file, s->commonBuffer, s->recordSize, nullptr); i++) {
      }
      QDVP_TRC(trk, TRK1_DETAIL, "File positioned to record %d of %d", skip, s->currCount);
      s->prevCount = s->currCount;
      s->toProcess -= skip;
    }
    ReadRecords(s, file, buffer, copy);
    s->readPos = s->recordPos;
  }
  if (!follow) fclose(file);
  io->pFile = nullptr;
  if (readData && copy && !s->internal && s->lastSequence != QDVP_SEQ_LAST &&
      !QDVP_TaskShouldEnd(s->pe)) {
    memset(buffer->Data, 0, static_cast<size_t>(s->recordSize));
    buffer->DataLength = 0;
    buffer->State = QDVP_ValidData;
    s->source->DataSequence = QDVP_SEQ_LAST;
    QDVP_UpdateStatLogFileIO(0, 1);
    HandleRecord(s, buffer);
  }
  if (readData && copy && io->ClearAfterCopy) {
    if (!ClearFile(QDVP_FileServerFileName(s))) {
      QDVP_TRC(trk, TRK1_ERROR, "*** unable to clear copied file, reset option. errno %d", errno);
      io->ClearAfterCopy = 0;
      QDVP_SendDPlogMessage(s->anchor, 58, QDVP_FileServerFileName(s));
    }
  }
  buffer->State = QDVP_NotInUse;
  buffer->DataLength = 0;
  return QDVP_PASS_DONE;
}

// The identity check; see the header. A TAIL server that follows its file by its identity
// leaves a name that leads to another file to the next pass, which reads the old one to its
// end first; and a file that had no first line when it was taken (checksum 0) has only grown.
bool QDVP_FileIdentityCheck(FileServerState *s) {
  const char *name = QDVP_FileServerFileName(s);
  // A file that is gone is reported by the next pass, not as a switched file.
  if (name == nullptr || access(name, F_OK) != 0) return false;
  if (Follows(s) && s->followed != nullptr) {
    MonitorFileOpen open;
    if (QDVP_OpenMonitorFile(name, 0, &open) != QDVP_OPEN_OK) return false;
    fclose(open.File);
    if (open.Device != s->followedDev || open.Inode != s->followedIno) return false;
  }
  uint16_t sum = QDVP_FormatFileIDcheckSum(s->io, s->fileSpec);
  if (sum == s->fileSpec->IDcheckSum || (Follows(s) && s->fileSpec->IDcheckSum == 0)) {
    s->fileSpec->IDcheckSum = sum;
    s->restart = false;
    return s->anchor->BatchLogOpen != 0;
  }
  QDVP_TRC(trk, TRK1_DETAIL,
           ">>>>>>File switched or re-created or copied. Restart monitor from beginning<<<<<<");
  s->restart = true;
  s->prevCount = 0;
  s->prevEndPos = s->readPos = 0;
  QDVP_FilePositionRestart(s, 0);
  s->fileSpec->IDcheckSum = sum;
  s->cutReported = false;
  QDVP_SendDPlogMessage(s->anchor, 75, name);
  return false;
}
