// Read positions kept across restarts of the data provider. With QDVP_STATE_DIR set, every
// file server that follows its file by position (TAIL) keeps, for the file under its name, the
// file's identity checksum and the position after the last row the agent took. All servers of
// the data provider share one state file, QDVP_STATE_DIR/TYPE.positions (TYPE in lower case),
// one line per (application, table, file), so that a restart resumes each file where it was
// left instead of at its end.
//
// The cost per row is one field written and a look at the monotonic clock; a server hands its
// position to the shared table at most ten times a second, and the table is written (a
// temporary file in the same directory, fsync, rename) at most once a second and when a server
// ends.
// The state file is read once, at the first server's start; it is hostile input like any
// other file: a line that cannot be read is ignored (its file is monitored as if new) and the
// count of such lines is reported by DP log message 89.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <tuple>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_core.h"
#include "qdvpfmon.h"

static TRK1_BLOCK trk = {"qdvpfpos"};

using Clock = std::chrono::steady_clock;
using Key = std::tuple<std::string, std::string, std::string>;  // application, table, file

namespace {

constexpr char kHeader[] =
    "# qdvp file positions 2: application table checksum position file [stream number]";
// A state file larger than this is read up to here: its last line then counts as cut.
constexpr size_t kMaxStateFile = 16u << 20;
// A server hands its position to the table at most ten times a second, so that whichever
// server writes the file next writes a position of the others at most that old; the file is
// written at most once a second.
constexpr auto kPublishInterval = std::chrono::milliseconds(100);
constexpr auto kWriteInterval = std::chrono::seconds(1);

struct Saved {
  uint16_t CheckSum;
  long Position;
  uint32_t RowStream, RowNumber;  // the source's row stream and the number of its last row
};

// The shared table of positions. Its lock is a leaf (include/qdvp_anchor.h): nothing is taken
// while it is held.
OSV1_LOCK sLock QDVP_ACQUIRED_AFTER(DPAB::StateMutex) = OSV1_LOCK_INITIALIZER;
bool sLoaded QDVP_GUARDED_BY(sLock) = false;
std::string sFile QDVP_GUARDED_BY(sLock);  // the state file; empty: positions are not kept
std::map<Key, Saved> sTable QDVP_GUARDED_BY(sLock);
bool sDirty QDVP_GUARDED_BY(sLock) = false;
Clock::time_point sWritten QDVP_GUARDED_BY(sLock);
bool sWriteFailed QDVP_GUARDED_BY(sLock) = false;  // traced once until a write succeeds

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A name as one field of a line: spaces, control bytes, DEL and '%' as %XX.
std::string Encode(const std::string &text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (c <= ' ' || c == 0x7F || c == '%') {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// The name a field stands for; false for a bad escape, an escaped NUL or an empty field.
bool Decode(const char *field, size_t length, std::string *out) {
  out->clear();
  for (size_t i = 0; i < length; i++) {
    char c = field[i];
    if (c != '%') {
      *out += c;
      continue;
    }
    int high = i + 1 < length ? HexDigit(field[i + 1]) : -1;
    int low = i + 2 < length ? HexDigit(field[i + 2]) : -1;
    if (high < 0 || low < 0 || (high == 0 && low == 0)) return false;
    *out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return !out->empty();
}

// A decimal number of at most max without sign, leading blanks or anything after it.
bool Number(const char *field, size_t length, long max, long *out) {
  if (length == 0 || length > 19) return false;
  long value = 0;
  for (size_t i = 0; i < length; i++) {
    if (field[i] < '0' || field[i] > '9') return false;
    int digit = field[i] - '0';
    if (value > (max - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *out = value;
  return true;
}

}  // namespace

bool QDVP_ParseFilePositionLine(const char *line, size_t length, FilePositionEntry *entry) {
  const char *fields[7];
  size_t lengths[7];
  int count = 0;
  size_t start = 0;
  for (size_t i = 0; i <= length; i++) {
    if (i < length && line[i] == '\0') return false;
    if (i == length || line[i] == ' ') {
      if (count == 7) return false;
      fields[count] = line + start;
      lengths[count++] = i - start;
      start = i + 1;
    }
  }
  long sum = 0, position = 0, stream = 0, number = 0;
  if ((count != 5 && count != 7) || !Decode(fields[0], lengths[0], &entry->Application) ||
      !Decode(fields[1], lengths[1], &entry->Table) ||
      !Number(fields[2], lengths[2], 0xFFFF, &sum) ||
      !Number(fields[3], lengths[3], LONG_MAX, &position) ||
      !Decode(fields[4], lengths[4], &entry->Path) ||
      (count == 7 && (!Number(fields[5], lengths[5], 0xFFFFFFFFL, &stream) ||
                      !Number(fields[6], lengths[6], 0xFFFFFFFFL, &number)))) {
    return false;
  }
  entry->CheckSum = static_cast<uint16_t>(sum);
  entry->Position = position;
  entry->RowStream = static_cast<uint32_t>(stream);
  entry->RowNumber = static_cast<uint32_t>(number);
  return true;
}

int QDVP_ParseFilePositions(const std::string &text, std::vector<FilePositionEntry> *entries,
                            int *firstBad) {
  int bad = 0, number = 0;
  if (firstBad != nullptr) *firstBad = 0;
  for (size_t at = 0; at < text.size();) {
    number++;
    size_t end = text.find('\n', at);
    // A last line without its line end was cut: its number may have lost digits.
    bool whole = end != std::string::npos;
    if (!whole) end = text.size();
    const char *line = text.data() + at;
    size_t length = end - at;
    at = end + 1;
    if (whole && (length == 0 || line[0] == '#')) continue;
    FilePositionEntry entry;
    if (whole && QDVP_ParseFilePositionLine(line, length, &entry)) {
      entries->push_back(std::move(entry));
      continue;
    }
    if (bad++ == 0 && firstBad != nullptr) *firstBad = number;
  }
  return bad;
}

// Reads the state file into the table (once); reports the lines that could not be read.
static void Load(DPAB *anchor) QDVP_REQUIRES(sLock) {
  sLoaded = true;
  const char *dir = QDV0_GetEnv("QDVP_STATE_DIR", nullptr);
  if (dir == nullptr || dir[0] == '\0') return;
  int type = anchor != nullptr ? anchor->DPtype : QDVP_TYPE_FILE;
  std::string name = type >= 0 && type <= QDVP_TYPE_MAX ? DPtypeString[type] : "FILE";
  for (char &c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  sFile = std::string(dir) + "/" + name + ".positions";
  // Never blocks on a FIFO put in the file's place; only a regular file is read.
  int fd = open(sFile.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    if (errno != ENOENT) {
      QDVP_TRC(trk, TRK1_ERROR, "*** State file %s cannot be read, errno %d. No position resumed",
               sFile.c_str(), errno);
    }
    return;
  }
  std::string text;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    char chunk[65536];
    ssize_t n;
    while (text.size() < kMaxStateFile && (n = read(fd, chunk, sizeof(chunk))) > 0) {
      text.append(chunk, static_cast<size_t>(
                             std::min(static_cast<size_t>(n), kMaxStateFile - text.size())));
    }
  } else {
    QDVP_TRC(trk, TRK1_ERROR, "*** State file %s is not a regular file. No position resumed",
             sFile.c_str());
  }
  close(fd);
  std::vector<FilePositionEntry> entries;
  int firstBad = 0;
  int bad = QDVP_ParseFilePositions(text, &entries, &firstBad);
  for (FilePositionEntry &e : entries) {
    sTable[Key(e.Application, e.Table, e.Path)] =
        Saved{e.CheckSum, e.Position, e.RowStream, e.RowNumber};
  }
  QDVP_TRC(trk, TRK1_DETAIL, "State file %s read: %zu position(s), %d unreadable line(s)",
           sFile.c_str(), entries.size(), bad);
  if (bad > 0) {
    char count[16], first[16];
    snprintf(count, sizeof(count), "%d", bad);
    snprintf(first, sizeof(first), "%d", firstBad);
    QDVP_SendDPlogMessage(anchor, 89, sFile.c_str(), count, first);
  }
}

// Writes the table to the state file: a temporary file in the same directory, synced, then
// renamed over the state file, so that a crash leaves the old file or the new one whole.
static bool Write() QDVP_REQUIRES(sLock) {
  std::string text = std::string(kHeader) + "\n";
  for (const auto &[key, saved] : sTable) {
    text += Encode(std::get<0>(key)) + " " + Encode(std::get<1>(key)) + " " +
            std::to_string(saved.CheckSum) + " " + std::to_string(saved.Position) + " " +
            Encode(std::get<2>(key)) +
            (saved.RowStream != 0
                 ? " " + std::to_string(saved.RowStream) + " " + std::to_string(saved.RowNumber)
                 : "") +
            "\n";
  }
  std::string temporary = sFile + ".tmp";
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0640);
  int error = fd < 0 ? errno : 0;
  for (size_t done = 0; error == 0 && done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) error = n < 0 ? errno : EIO;
    if (n > 0) done += static_cast<size_t>(n);
  }
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (fd >= 0 && close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temporary.c_str(), sFile.c_str()) != 0) error = errno;
  if (error != 0) {
    if (!sWriteFailed) {
      QDVP_TRC(trk, TRK1_ERROR, "*** State file %s cannot be written, errno %d", sFile.c_str(),
               error);
    }
    sWriteFailed = true;
    unlink(temporary.c_str());
    return false;
  }
  sWriteFailed = false;
  // The rename itself is kept by syncing the directory.
  int dir = open(sFile.substr(0, sFile.rfind('/') + 1).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

static Key KeyOf(const FileServerState *s) {
  const char *name = QDVP_FileServerFileName(s);
  const ApplEntry *appl = s->table->pAppl;
  return Key(appl != nullptr ? appl->ApplName : "", s->table->TableName, name ? name : "");
}

// The rows of a file whose position is kept are numbered in a row stream from the first one
// on, and the stream is saved with the first position, so that rows sent before any of their
// statuses came are also sent again under their numbers after a crash, and stored once.
// Nothing else touches the stream yet: the server has not sent a row of the file.
static void StartRowStream(FileServerState *s) {
  SourceEntry *source = s->source;
  while (source->RowStream == 0) source->RowStream = QDV0_RandomWord();
  s->ackedStream = source->RowStream;
  s->ackedNumber = source->RowNumber;
}

bool QDVP_FileResumePosition(FileServerState *s, long size, long *position) {
  if (s->positionChecked) return false;
  s->positionChecked = true;
  bool follows = s->io->FileMode != 'C' && !s->io->TailByRecord;
  OSV1_Guard guard(&sLock);
  if (!sLoaded) Load(s->anchor);
  s->keepPosition = !sFile.empty() && follows && !s->internal;
  if (!s->keepPosition) return false;
  auto found = sTable.find(KeyOf(s));
  if (found == sTable.end()) {
    StartRowStream(s);
    return false;
  }
  const Saved &saved = found->second;
  if (saved.CheckSum != s->fileSpec->IDcheckSum || saved.Position > size) {
    QDVP_TRC(
        trk, TRK1_DETAIL, "Saved position %ld of %s not resumed: checksum %u now %u, file size %ld",
        saved.Position, QDVP_FileServerFileName(s), saved.CheckSum, s->fileSpec->IDcheckSum, size);
    StartRowStream(s);
    return false;
  }
  QDVP_TRC(trk, TRK1_DETAIL, "Monitoring of %s resumes at saved position %ld",
           QDVP_FileServerFileName(s), saved.Position);
  *position = saved.Position;
  // The rows sent again from there keep the numbers they had in the source's row stream, by
  // which an agent with a window stores each once: those it had stored before are not stored
  // twice.
  if (saved.RowStream != 0) {
    s->source->RowStream = saved.RowStream;
    s->source->RowNumber = saved.RowNumber;
    s->source->AckedRowNumber.store(saved.RowNumber);
  }
  StartRowStream(s);
  return true;
}

void QDVP_FilePositionRestart(FileServerState *s, long position) {
  s->ackedPos = position;
  // Rows in flight of the file read before are not positions in this one, and their numbers
  // are not the new file's: its rows are numbered after the last row sent.
  s->pendingRows.clear();
  if (s->keepPosition) {
    s->ackedStream = s->source->RowStream;
    s->ackedNumber = s->source->RowNumber;
  }
}

// Moves the acknowledged position up to the last row in flight whose status has come (the
// numbers of one stream only grow, wrapping aside).
static void Settle(FileServerState *s) {
  SourceEntry *source = s->source;
  uint32_t acked = source->AckedRowNumber.load();
  std::deque<std::pair<uint32_t, long>> &pending = s->pendingRows;
  while (!pending.empty() && static_cast<int32_t>(acked - pending.front().first) >= 0) {
    s->ackedPos = pending.front().second;
    s->ackedStream = source->RowStream;
    s->ackedNumber = pending.front().first;
    pending.pop_front();
  }
}

void QDVP_NoteRowAcked(FileServerState *s) {
  // The rows of a renamed file still read (qdvpfmon.h) are not those of the file under the
  // name, which is the one kept.
  if (!s->keepPosition || s->inPrevious) return;
  SourceEntry *source = s->source;
  // On a window the row is in flight: it counts once its status has come (Settle). One row at
  // a time, rows carry no number and the send returned once the agent had taken the row: the
  // entry of the last number settles at once.
  std::deque<std::pair<uint32_t, long>> &pending = s->pendingRows;
  if (!pending.empty() && pending.back().first == source->RowNumber) {
    pending.back().second = s->recordPos;
  } else {
    pending.emplace_back(source->RowNumber, s->recordPos);
  }
  Settle(s);
}

// Hands the server's position to the table when it changed; true when the table holds
// something not written yet.
static bool Publish(FileServerState *s) QDVP_REQUIRES(sLock) {
  Settle(s);
  Key key = KeyOf(s);
  uint16_t sum = s->fileSpec->IDcheckSum;
  if (s->ackedPos >= 0 && (s->ackedPos != s->savedPos || sum != s->savedSum || key != s->savedKey ||
                           s->ackedNumber != s->savedNumber)) {
    // A pattern switched to another file: the entry of the one left is no longer kept.
    if (s->savedPos >= 0 && key != s->savedKey) sTable.erase(s->savedKey);
    sTable[key] = Saved{sum, s->ackedPos, s->ackedStream, s->ackedNumber};
    s->savedPos = s->ackedPos;
    s->savedNumber = s->ackedNumber;
    s->savedSum = sum;
    s->savedKey = key;
    sDirty = true;
  }
  return sDirty;
}

void QDVP_FilePositionFlush(FileServerState *s, bool final) {
  if (!s->keepPosition) return;
  Clock::time_point now = Clock::now();
  if (!final && now < s->nextFlush) return;
  s->nextFlush = now + kPublishInterval;
  OSV1_Guard guard(&sLock);
  if (!Publish(s)) return;
  if (!final && now < sWritten + kWriteInterval) return;
  sWritten = now;
  if (Write()) sDirty = false;
}

bool QDVP_FilePositionPending(FileServerState *s) {
  if (!s->keepPosition) return false;
  Settle(s);
  if (!s->pendingRows.empty()) return true;
  if (s->ackedPos >= 0 && (s->ackedPos != s->savedPos || s->fileSpec->IDcheckSum != s->savedSum)) {
    return true;
  }
  OSV1_Guard guard(&sLock);
  return sDirty;
}
