// The state of one file server task, shared by the files of the file server (qdvpfile.cpp:
// the task and its loops; qdvpffis.cpp: the wait for the file and the scan passes). Only the
// task itself touches it.
#pragma once

#include "../include/qdvp_filemon.h"
#include "../include/qdvp_records.h"

struct FileServerState {
  DPAB *anchor;
  ProcessEntry *pe;
  SourceEntry *source;
  IOEntry *io;
  TableEntry *table;
  FileSpecCB *fileSpec;
  bool internal;    // the table's name begins with "~": never online, never sent
  bool processAll;  // QDVP_PROCESS_ALL_MATCH_PATTERN_FILES
  int frequency, testFrequency, testInterval;
  long readPos, prevEndPos, endPos, recordPos;
  int prevCount, currCount, processed, toProcess;
  bool restart;
  bool multiRecord;
  int lineCount;
  int recordSize;
  char *commonBuffer;  // recordSize bytes, for counting
  char *readBuffer;    // recordSize bytes, one line
  RecordSetCompareRule *rule;
  MonitorReadControl control;
  int lastSequence;    // the mark of the last row sent in a COPY pass
  bool fileGone;       // the last pass could not open the file
};

// The file name monitored now.
const char *QDVP_FileServerFileName(const FileServerState *s);
// One scan pass (qdvpffis.cpp); false when the file can no longer be opened.
bool QDVP_FileScanPass(FileServerState *s);
// Positions the state at the start or the end of the file before the scans begin.
void QDVP_FileInitialPosition(FileServerState *s);
// The identity check after a pass: restarts from the beginning when the first line changed.
// Returns true during batch processing when the file is unchanged (one pass is enough).
bool QDVP_FileIdentityCheck(FileServerState *s);
// Sends the source's current row (state Output) and, when the agent link fails, brings the
// source online again every 30 seconds until it is back (DP log 55). False when the task was
// asked to end.
bool QDVP_FileSendRow(FileServerState *s);
