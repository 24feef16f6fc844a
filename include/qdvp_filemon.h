// File monitoring: the file server task that follows a monitored file (TAIL, TAILBYRECORD,
// COPY, COPY CLEAR), assembles multi-line records and record sets, chooses the current file of
// a name pattern and recognises a replaced file by the checksum of its first line.
//
// One file server task runs per FILE source, started by QDVP_CheckAndStartFileServer (at
// start-up and by the console). The task owns its source's file specification control block
// and the I/O entry's buffers while it runs; everything else it reaches through the data
// model's locks. The record reader, the record-set rule and the file name choice are plain
// functions that any thread may call on blocks it owns.
//
// The file server holds no lock while it reads, parses and sends. It takes its I/O entry's
// IOLock only to set and clear FileWaitCount around its wait for the file (the periodic scan
// wakes it through its process entry's condition while the count is set), a source's
// EntryLock only while it looks at the state during the registration wait, and the leaves of
// qdvpdcmf.cpp and qdvpfpos.cpp; the order is the table in include/qdvp_anchor.h. A DELETE
// (or REFRESH) of the application asks the server to end and waits, without the
// application's locks, until the server has forgotten its process entry in the source, its
// last use of it.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "qdvp_model.h"

// A RECORDSET rule: NEW marks the first line of a record, END its last line.
struct RecordSetCompareRule {
  char *pPendingLine;  // a line read ahead that starts the next record, or null
  int EndOfFile;       // the file's end was reached in this scan
  int RuleType;        // 1 NEW, 2 END
  int Offset;          // byte offset of the compared text in the line
  int Operator;        // 1 "==", 2 "!="
  int CompareLength;
  char *pCompareText;  // owned
};

enum { QDVP_RULE_NEW = 1, QDVP_RULE_END = 2, QDVP_RULE_EQ = 1, QDVP_RULE_NE = 2 };

// Data sequence marks of COPY mode.
enum {
  QDVP_SEQ_MIDDLE = 0,
  QDVP_SEQ_FIRST = 1,
  QDVP_SEQ_LAST = 16,
  QDVP_SEQ_ONLY = 17,
};

// What the record reader needs besides the file: where lines are read and records assembled,
// and how records end.
struct MonitorReadControl {
  char *pReadBuffer;  // one line, ReadSize bytes
  int ReadSize;
  const char *pDelimiter;  // the source's attribute delimiter, or null
  const char *pEndText;    // end-of-input text, or null
  int EndTextLength;
  int LinesPerRecord;           // at least 1
  int FieldsPerRecord;          // 0: completion by field count is off
  RecordSetCompareRule *pRule;  // or null
  long StopAt;                  // no line starting at or after this position is read; -1: none
  int RecordsCut;               // grows by one for every record cut to the record size
  // Where the stream stands after the lines read so far, counted by the reader; -1: not known
  // (ftell finds it). Whoever moves the stream by other means sets it to -1.
  long Position;
};

// Start-up (qdvpfile.cpp).
int QDVP_CheckAndStartFileServer(DPAB *anchor, QDVP_TASK_ROUTINE fileServer);
int QDVP_StartBatchFileMonitoring(DPAB *anchor);
void QDVP_FileServer(ProcessEntry *entry);
// The seconds between scans of a table, and the split of a long wait into pieces of about 30
// seconds (testFrequency, testInterval; both 0 when the frequency is 30 or less).
int QDVP_ComputeFileFrequency(const TableEntry *table, char mode, int *testFrequency,
                              int *testInterval);

// Waiting for the file and the scan passes (qdvpffis.cpp).
int QDVP_WaitFileReadyForMonitor(IOEntry *ioEntry, int *waited);
int CompareFilePosition(long a, long b);

// Opening a monitored file (qdvpfopn.cpp): never blocks, opens regular files only, follows a
// symbolic link only as QDVP_FOLLOW_SYMLINKS allows. Any thread may call these.
enum {
  QDVP_OPEN_OK = 0,
  QDVP_OPEN_MISSING = 1,       // no such file (or no permission, or a link to nothing): wait
  QDVP_OPEN_ERROR = 2,         // any other failure (a directory in its place): Error says which
  QDVP_OPEN_NOT_REGULAR = 3,   // a FIFO, socket or device: Kind names it; never opened
  QDVP_OPEN_LINK_REFUSED = 4,  // a symbolic link the setting does not let us follow
};
struct MonitorFileOpen {
  FILE *File;    // QDVP_OPEN_OK: the open file, the caller's to close
  int Status;    // QDVP_OPEN_...
  int Error;     // errno of a failure
  int Link;      // the name is a symbolic link
  dev_t Device;  // identity of the file opened
  ino_t Inode;
  char Kind[24];      // what stands under the name when it is not a regular file
  char Target[4096];  // the resolved target of a link
};
// Opens name for reading (for writing when write is nonzero: nothing is truncated). Returns
// the status, also kept in out.
int QDVP_OpenMonitorFile(const char *name, int write, MonitorFileOpen *out);
// 'Y' any link is followed, 'N' none, 'D' (the default) those into the file's directory.
char QDVP_FollowSymlinksSetting(void);
// Sends the DP log message for a followed link (86), a refused link (87) or a file that is
// not a regular one (85) once: block remembers the last one sent.
void QDVP_ReportMonitorFileOpen(DPAB *anchor, FileSpecCB *block, const char *name,
                                const MonitorFileOpen *open);

// Records (qdvprmfr.cpp). Assembles the next record of file into record (recordSize bytes);
// returns record, or null at the end of the file. *lineCount grows by every line read.
char *ReadMonitorFileRecord(FILE *file, char *record, int recordSize, int *lineCount,
                            MonitorReadControl *control);
// Reads one line of at most size-1 bytes into buffer, the way every count of a file's lines
// does: a longer line is cut (*cut set), the rest of it read and dropped. 0 at the end.
int QDVP_ReadMonitorLine(FILE *file, char *buffer, int size, int *cut);
// The stream's position after the records read through c (the count kept in its Position, or
// ftell when that is not known).
long QDVP_MonitorReadPosition(FILE *file, MonitorReadControl *c);
RecordSetCompareRule *QDVP_FormatRecordSetRule(const char *text);
void QDVP_ReleaseRecordSetRule(RecordSetCompareRule *rule);

// File names and identity (qdvpdcmf.cpp).
void QDVP_DetermineCurrentMonitorFileName(FileSpecCB *block, int processAll);
uint16_t QDVP_FormatFileIDcheckSum(IOEntry *ioEntry, FileSpecCB *block);
// The value of a file name's numeric field under the block's pattern (date or number), or -1
// when the name does not match the pattern. Used by the choice above.
long QDVP_FileNameNumericValue(const FileSpecCB *block, const char *name);
// Frees the process-all list of a block.
void QDVP_ReleaseSelectedFileList(FileSpecCB *block);

// Saved read positions (qdvpfpos.cpp): one line of the state file QDVP_STATE_DIR/TYPE.positions.
struct FilePositionEntry {
  std::string Application, Table, Path;
  uint16_t CheckSum;  // the file's identity checksum (QDVP_FormatFileIDcheckSum)
  long Position;      // the position after the last row the agent took
  uint32_t RowStream = 0, RowNumber = 0;  // its row's place in the source's row stream (0: none)
};
// Reads one line (without its line end): "APPLICATION TABLE CHECKSUM POSITION FILE", then
// "STREAM NUMBER" when the rows went out on a window (the row stream and its last number); the
// names with spaces, control bytes and '%' as %XX. False for anything else.
bool QDVP_ParseFilePositionLine(const char *line, size_t length, FilePositionEntry *entry);
// Reads a state file's text: the entries of its readable lines go to entries (empty lines and
// '#' comments are skipped, a last line without its line end was cut and is unreadable).
// Returns the number of unreadable lines; firstBad, when given, the number of the first (1 on).
int QDVP_ParseFilePositions(const std::string &text, std::vector<FilePositionEntry> *entries,
                            int *firstBad);
