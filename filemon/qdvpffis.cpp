// The file server's reading: waiting until the file exists and holds a line, positioning at
// the start of monitoring, one scan pass (what is new in TAIL mode, the whole file in COPY
// mode), sending each row with the resend loop after a failed send, and the identity check
// that restarts at the beginning of a replaced file.
//
// The I/O entry's lock is held for each pass and for the wait for the file; the periodic scan
// wakes a waiting server through its process entry's condition (FileWaitCount tells it to),
// which is also where a request to end wakes it. A pass resumes at the read position, the
// position after the last complete record handled, so no complete line is sent twice; a last
// line without its line end is left for the next pass unless the file stayed unchanged for a
// whole interval.
#include <ctype.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_stats.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_request.h"
#include "qdvpfmon.h"

static TRK1_BLOCK trk = {"qdvpffis"};

// Opens the file for reading; null with errno set when it cannot be opened or is a directory.
static FILE *OpenMonitored(const char *name) {
  if (name == nullptr) {
    errno = ENOENT;
    return nullptr;
  }
  FILE *file = fopen(name, "rb");
  if (file == nullptr) return nullptr;
  struct stat st;
  if (fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode)) {
    fclose(file);
    errno = EISDIR;
    return nullptr;
  }
  return file;
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

// Waits for the periodic scan's signal; the caller holds the entry's lock, which is released
// while waiting. The server waits on its own process entry's condition, so that a request to
// end (the console's DELETE or REFRESH, the shutdown) wakes it at once; the scan signals the
// same condition while FileWaitCount is set. The wait is bounded so that a lost signal only
// delays. Without an owning task (the reader called on its own) the entry's condition is used.
static void WaitForFileSignal(IOEntry *io, ProcessEntry *pe) QDVP_REQUIRES(io->IOLock) {
  io->FileWaitCount = 1;
  OSV1_ReleaseLock(&io->IOLock);
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
  OSV1_GetLock(&io->IOLock);
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
  OSV1_Guard guard(&io->IOLock);
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
    FILE *file = OpenMonitored(name);
    if (file == nullptr) {
      int error = errno;
      if (error != ENOENT && error != EACCES) {
        QDVP_TRC(trk, TRK1_ERROR, "*** Unable to open file %s, ErrorText: %s, NO retry. Exiting",
                 name ? name : "", strerror(error));
        char number[16];
        snprintf(number, sizeof(number), "%d", error);
        QDVP_SendDPlogMessage(anchor, 53, name ? name : "", number);
        break;
      }
      if (!reportedMissing) {
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

// Counts the non-empty lines and notes the position after them; with the restart flag the
// scans begin at the start of the file, otherwise (TAIL) after what exists now.
void QDVP_FileInitialPosition(FileServerState *s) {
  QDV0_Free(s->commonBuffer);
  s->commonBuffer = static_cast<char *>(QDV0_GetStorage(static_cast<size_t>(s->recordSize)));
  FILE *file = OpenMonitored(QDVP_FileServerFileName(s));
  if (file == nullptr || s->commonBuffer == nullptr) {
    if (file != nullptr) fclose(file);
    return;
  }
  int count = 0;
  long position = 0;
  while (fgets(s->commonBuffer, s->recordSize, file) != nullptr) {
    if (s->commonBuffer[0] != '\n' && s->commonBuffer[0] != '\r') count++;
    position = ftell(file);
  }
  if (s->restart) {
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
  fclose(file);
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
    source->LastDataStatus = 0;
    int state = QDVP_RequestDCH(s->anchor, source, QDVP_VERB_DATA, s->pe);
    if (QDVP_TaskShouldEnd(s->pe)) return false;
    if (state == QDVP_Active) {
      QDVP_UpdateSourceEntryState(source, QDVP_Input);
      return true;
    }
    bool unanswered = source->LastDataStatus < 0;
    QDVP_TRC(trk, TRK1_ERROR, "*** dp_data failed for %s, status %d", QDVP_FileServerFileName(s),
             source->LastDataStatus);
    QDVP_RequestDCH(s->anchor, source, QDVP_VERB_ONLINE, s->pe, QDVP_RETRY_RESYNC_EVERY_30S);
    if (QDVP_TaskShouldEnd(s->pe)) return false;
    QDVP_SendDPlogMessage(s->anchor, 55, QDVP_FileServerFileName(s));
    QDVP_UpdateSourceEntryState(s->source, QDVP_Input);
    if (!unanswered) return true;
  }
}

// Parses the buffer's record and, when the row passes and is due, sends it. False when the
// task was asked to end.
static bool HandleRecord(FileServerState *s, IObuffer *buffer) {
  QDVP_UpdateStatLogFileIO(0, 1);
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
    while (fgets(s->commonBuffer, s->recordSize, file) != nullptr) {
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
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>>>File re-created or copied. Restart monitor from beginning<<<<<<");
  s->restart = true;
  rewind(file);
  s->prevEndPos = s->readPos = 0;
  s->prevCount = 0;
  QDVP_SendDPlogMessage(s->anchor, 75, QDVP_FileServerFileName(s));
  // The file read from its start now is the one the identity check compares with.
  s->fileSpec->IDcheckSum = QDVP_FormatFileIDcheckSum(s->io, s->fileSpec);
  if (!io->TailByRecord) {
    s->prevEndPos = s->endPos;
    s->control.StopAt = CompleteEnd(file, 0, s->endPos);
    rewind(file);
  }
  return true;
}

// One scan pass; false when the file could not be opened (it is gone).
bool QDVP_FileScanPass(FileServerState *s) {
  IOEntry *io = s->io;
  OSV1_Guard guard(&io->IOLock);
  FILE *file = OpenMonitored(QDVP_FileServerFileName(s));
  if (file == nullptr) return false;
  io->pFile = file;
  bool copy = io->FileMode == 'C';
  bool readData = true;
  if (copy) {
    int lines = 0;
    while (lines < 2 && fgets(s->commonBuffer, s->recordSize, file) != nullptr) lines++;
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
  IObuffer *buffer = nullptr;
  if (readData) {
    s->lineCount = 0;
    if (io->TailByRecord && !copy) {
      rewind(file);
      int skip = s->prevCount;
      for (int i = 0; i < skip && fgets(s->commonBuffer, s->recordSize, file) != nullptr; i++) {
      }
      QDVP_TRC(trk, TRK1_DETAIL, "File positioned to record %d of %d", skip, s->currCount);
      s->prevCount = s->currCount;
      s->toProcess -= skip;
    }
    buffer = QDVP_GetNextFreeBuffer(io);
    if (buffer == nullptr) {
      QDVP_TRC(trk, TRK1_ERROR, "*** no buffer available for input");
      readData = false;
    }
  }
  if (readData) {
    if (s->rule != nullptr) s->rule->EndOfFile = 0;
    s->recordPos = ftell(file);
    s->lastSequence = -1;
    bool first = true;
    int count = 0;
    while (!QDVP_TaskShouldEnd(s->pe)) {
      char *record = ReadMonitorFileRecord(file, buffer->Data, s->recordSize, &s->lineCount,
                                           &s->control);
      if (record == nullptr) break;
      size_t length = QDV0_RemoveCRandLF(record);
      if (length == 0) continue;
      s->recordPos = ftell(file);
      s->processed++;
      count++;
      buffer->DataLength = static_cast<uint32_t>(length);
      buffer->State = QDVP_ValidData;
      if (copy) {
        // A line read ahead by a NEW rule starts another record, even at the end of the file.
        bool last = CompareFilePosition(s->recordPos, s->endPos) == 0 &&
                    (s->rule == nullptr || s->rule->pPendingLine == nullptr);
        int16_t mark = !s->multiRecord ? QDVP_SEQ_ONLY
                       : first        ? QDVP_SEQ_FIRST
                       : last         ? QDVP_SEQ_LAST
                                      : QDVP_SEQ_MIDDLE;
        s->source->DataSequence = mark;
        QDVP_TRC(trk, TRK1_DETAIL, "Mode %c RecCount %d Control %4.4X", io->FileMode, count,
                 static_cast<unsigned>(mark));
      }
      first = false;
      bool go = HandleRecord(s, buffer);
      buffer->State = QDVP_Allocated;
      if (!go) break;
      if (io->TailByRecord && !copy && s->processed >= s->toProcess) {
        QDVP_TRC(trk, TRK1_DETAIL, "RecProcessed %d RecToProcess %d", s->processed,
                 s->toProcess);
        break;
      }
    }
    s->readPos = s->recordPos;
  }
  fclose(file);
  io->pFile = nullptr;
  if (readData && copy && !s->internal && s->lastSequence != QDVP_SEQ_LAST &&
      !QDVP_TaskShouldEnd(s->pe)) {
    memset(buffer->Data, 0, static_cast<size_t>(s->recordSize));
    buffer->DataLength = 0;
    buffer->State = QDVP_ValidData;
    s->source->DataSequence = QDVP_SEQ_LAST;
    HandleRecord(s, buffer);
  }
  if (readData && copy && io->ClearAfterCopy) {
    FILE *clear = fopen(QDVP_FileServerFileName(s), "w");
    if (clear == nullptr) {
      QDVP_TRC(trk, TRK1_ERROR, "*** unable to clear copied file, reset option. errno %d", errno);
      io->ClearAfterCopy = 0;
      QDVP_SendDPlogMessage(s->anchor, 58, QDVP_FileServerFileName(s));
    } else {
      fclose(clear);
    }
  }
  if (buffer != nullptr) {
    buffer->State = QDVP_NotInUse;
    buffer->DataLength = 0;
  }
  return true;
}

// The identity check; see the header.
bool QDVP_FileIdentityCheck(FileServerState *s) {
  const char *name = QDVP_FileServerFileName(s);
  // A file that is gone is reported by the next pass, not as a switched file.
  if (name == nullptr || access(name, F_OK) != 0) return false;
  uint16_t sum = QDVP_FormatFileIDcheckSum(s->io, s->fileSpec);
  if (sum == s->fileSpec->IDcheckSum) {
    s->restart = false;
    return s->anchor->BatchLogOpen != 0;
  }
  QDVP_TRC(trk, TRK1_DETAIL,
           ">>>>>>File switched or re-created or copied. Restart monitor from beginning<<<<<<");
  s->restart = true;
  s->prevCount = 0;
  s->prevEndPos = s->readPos = 0;
  s->fileSpec->IDcheckSum = sum;
  QDVP_SendDPlogMessage(s->anchor, 75, name);
  return false;
}
