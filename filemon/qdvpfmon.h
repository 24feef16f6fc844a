// The state of one file server task, shared by the files of the file server (qdvpfile.cpp:
// the task and its loops; qdvpffis.cpp: the wait for the file and the scan passes). Only the
// task itself touches it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <string>
#include <tuple>

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
  int lastSequence;  // the mark of the last row sent in a COPY pass
  bool fileGone;     // the last pass could not open the file
  bool cutReported;  // DP log 84 was sent for the file read now
  // TAIL by position: the file followed stays open between passes, so that when its name
  // comes to lead elsewhere (renamed by a rotation, deleted, replaced) what was written to it
  // is still read. A renamed file is then kept as the previous one and read again at each
  // pass, for lines its writer adds late, until a pass finds it unchanged.
  FILE *followed;
  dev_t followedDev;
  ino_t followedIno;
  FILE *previous;
  long previousPos, previousEnd;
  // The watch of the file (qdvpfwat.cpp): the inotify descriptor (-1 without one), its watch
  // of the directory for new files under the name, and of the file followed for writes (-1:
  // none), with that file's identity; watchMode is QDVP_FILE_WATCH, read at the first wait.
  int watchFd, watchDirWd, watchFileWd;
  int watchMode;
  bool watchFresh;  // the file watch was just set: a write before it is looked for once
  dev_t watchFileDev;
  ino_t watchFileIno;
  std::string watchDir, watchBase;
  // Saved read positions (qdvpfpos.cpp). keepPosition: QDVP_STATE_DIR is set and the file is
  // followed by position. ackedPos: the position after the last row of the file under the name
  // the agent took (-1: none yet); savedPos, savedSum, savedKey: what was handed to the shared
  // table last. inPrevious: the rows read now are the previous file's.
  bool positionChecked, keepPosition, inPrevious;
  long ackedPos, savedPos;
  // The source's row stream and the number of the row that ended at ackedPos, and the number
  // handed to the table last.
  uint32_t ackedStream, ackedNumber, savedNumber;
  // On a window, the rows taken by the client whose status has not come yet: the number of each
  // and the position after it (consecutive rows of one number, filtered lines, are one entry).
  std::deque<std::pair<uint32_t, long>> pendingRows;
  uint16_t savedSum;
  std::tuple<std::string, std::string, std::string> savedKey;
  std::chrono::steady_clock::time_point nextFlush;
};

// What a pass found.
enum { QDVP_PASS_DONE = 0, QDVP_PASS_GONE = 1, QDVP_PASS_REFUSED = 2 };

// The file name monitored now.
const char *QDVP_FileServerFileName(const FileServerState *s);
// One scan pass (qdvpffis.cpp): QDVP_PASS_GONE when the file can no longer be opened,
// QDVP_PASS_REFUSED when its name now leads to something that is not monitored (a FIFO, a
// link not to be followed; reported by DP log 85 or 87).
int QDVP_FileScanPass(FileServerState *s);
// Closes the files a TAIL server keeps open between passes.
void QDVP_FileCloseFollowed(FileServerState *s);
// Positions the state at the start or the end of the file before the scans begin.
void QDVP_FileInitialPosition(FileServerState *s);
// The identity check after a pass: restarts from the beginning when the first line changed.
// Returns true during batch processing when the file is unchanged (one pass is enough).
bool QDVP_FileIdentityCheck(FileServerState *s);
// Watching the file (qdvpfwat.cpp), so that a write to the file followed in TAIL mode, or a
// file created or moved in under the monitored name (the new file of a rotation), is read at
// once, not at the next scan. QDVP_FileWatch sets up or keeps the watches for the file's
// current name and the file followed; without inotify, or with QDVP_FILE_WATCH=N, nothing is
// watched.
enum { QDVP_WATCH_UNSET = 0, QDVP_WATCH_WRITES, QDVP_WATCH_NEW_FILES, QDVP_WATCH_NONE };
void QDVP_FileWatch(FileServerState *s);
// What ended a wait early: nothing (the time is up, or the task was signalled), a new file
// under the name, or a write that left the file followed with something new to read.
enum { QDVP_WAKE_NONE = 0, QDVP_WAKE_NEW_FILE, QDVP_WAKE_WRITE };
// Waits up to seconds on the task's condition and the watch; returns what ended it.
int QDVP_FileWaitOrChange(FileServerState *s, int seconds);
void QDVP_FileUnwatch(FileServerState *s);
// Saved read positions (qdvpfpos.cpp). At the server's first positioning: true, with the
// position, when the state file holds one for this file whose identity is the file's and that
// lies within size; decides whether the server keeps its position at all.
bool QDVP_FileResumePosition(FileServerState *s, long size, long *position);
// The file under the name is read from position on (its start position, a new file).
void QDVP_FilePositionRestart(FileServerState *s, long position);
// The client took the row read last (its send returned success): the file is handled up to the
// position after its record, at once on the one-row link, once the row's status has come on a
// window. The one place the acknowledged position is fed.
void QDVP_NoteRowAcked(FileServerState *s);
// Hands the position to the shared table (at most ten times a second) and writes the state
// file (at most once a second); cheap to call for every row. final (the server ends) does both
// at once.
void QDVP_FilePositionFlush(FileServerState *s, bool final);
// True while something of this server's is not written yet: the waits are then cut to a second.
bool QDVP_FilePositionPending(FileServerState *s);
// Sends the source's current row (state Output) and, when the agent link fails, brings the
// source online again every 30 seconds until it is back (DP log 55). False when the task was
// asked to end.
bool QDVP_FileSendRow(FileServerState *s);
