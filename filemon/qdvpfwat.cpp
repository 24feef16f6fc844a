// Watching a monitored file between scans, so that the file server reads what changed at once
// instead of at its next scan. Two things wake it:
//
//  - a write to the file it follows (TAIL by position): a line appended is read, parsed and
//    sent within milliseconds. The watch is on the open file itself (its /proc/self/fd entry),
//    so it is the file the pass reads, whatever its name leads to meanwhile;
//  - the creation (or moving in) of a file under the monitored name, in every mode: the new
//    file of a rotation (`mv f.log f.log.1`, then a new f.log), which the pass that follows
//    switches to after reading the renamed file to its end (qdvpffis.cpp).
//
// The scan interval stays the upper bound: a wait that nothing ends early ends when the next
// scan is due, and that scan is the only one that takes a last line without its line end (one
// left unchanged for a whole interval). A write event is therefore taken only when the file's
// size differs from the end the last pass noted: an event for bytes that pass already read, or
// for a write over existing bytes, does not cut the interval short. TAILBYRECORD and COPY are
// not woken by writes: they read the whole file at every scan (a wake per write would read it
// once per write, and could catch a file rewritten in place half written), so the interval
// stays their sampling rule.
//
// The watch is an inotify descriptor of the file server's own, polled together with its
// process entry's wake-up (QDVP_WaitTaskIOorFD), so a request to end still wakes it at once.
// Elsewhere, when no watch can be had (the directory is missing, the inotify limits are
// reached, /proc is not mounted and the name leads elsewhere) or when QDVP_FILE_WATCH says so,
// the server waits on its condition and the scans find what changed.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/inotify.h>
#endif

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_core.h"
#include "qdvpfmon.h"

static TRK1_BLOCK trk = {"qdvpfwat"};

// QDVP_FILE_WATCH: Y (the default) writes and new files wake the server, NEW only a new file
// under the name, N nothing.
static int WatchSetting() {
  const char *value = QDV0_GetEnv("QDVP_FILE_WATCH", nullptr);
  if (value == nullptr || value[0] == '\0' || value[0] == 'Y' || value[0] == 'y') {
    return QDVP_WATCH_WRITES;
  }
  if (strncasecmp(value, "NEW", 3) == 0) return QDVP_WATCH_NEW_FILES;
  return QDVP_WATCH_NONE;
}

// TAIL by position: the only mode a write wakes.
static bool WakesOnWrites(const FileServerState *s) {
  return s->watchMode == QDVP_WATCH_WRITES && s->io->FileMode != 'C' && !s->io->TailByRecord &&
         s->anchor->BatchLogOpen == 0;
}

void QDVP_FileUnwatch(FileServerState *s) {
  if (s->watchFd >= 0) close(s->watchFd);
  s->watchFd = s->watchFileWd = -1;
  s->watchDir.clear();
}

#ifdef __linux__
// Puts the watch for writes on the file followed now, and takes it off the one followed
// before. The same file keeps its watch.
static void WatchFollowed(FileServerState *s) {
  if (s->followed == nullptr) {
    if (s->watchFileWd >= 0) inotify_rm_watch(s->watchFd, s->watchFileWd);
    s->watchFileWd = -1;
    return;
  }
  if (s->watchFileWd >= 0 && s->watchFileDev == s->followedDev &&
      s->watchFileIno == s->followedIno) {
    return;
  }
  if (s->watchFileWd >= 0) inotify_rm_watch(s->watchFd, s->watchFileWd);
  char path[64];
  snprintf(path, sizeof(path), "/proc/self/fd/%d", fileno(s->followed));
  int wd = inotify_add_watch(s->watchFd, path, IN_MODIFY);
  struct stat named;
  const char *name = QDVP_FileServerFileName(s);
  if (wd < 0 && name != nullptr && stat(name, &named) == 0 && named.st_dev == s->followedDev &&
      named.st_ino == s->followedIno) {
    // Without /proc the name, while it still leads to the file followed.
    wd = inotify_add_watch(s->watchFd, name, IN_MODIFY);
  }
  s->watchFileWd = wd;
  s->watchFresh = wd >= 0;
  s->watchFileDev = s->followedDev;
  s->watchFileIno = s->followedIno;
  if (wd < 0) {
    QDVP_TRC(trk, TRK1_DETAIL, "Writes to %s not watched, errno %d", name ? name : "", errno);
  }
}
#endif

void QDVP_FileWatch(FileServerState *s) {
#ifdef __linux__
  if (s->watchMode == QDVP_WATCH_UNSET) s->watchMode = WatchSetting();
  if (s->watchMode == QDVP_WATCH_NONE) return;
  const char *name = QDVP_FileServerFileName(s);
  if (name == nullptr) return;
  std::string full = name;
  size_t slash = full.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : full.substr(0, slash);
  s->watchBase = slash == std::string::npos ? full : full.substr(slash + 1);
  if (s->watchFd < 0 || s->watchDir != dir) {
    QDVP_FileUnwatch(s);
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
      QDVP_TRC(trk, TRK1_DETAIL, "Directory watch unavailable for %s, errno %d", name, errno);
      return;
    }
    s->watchDirWd = inotify_add_watch(fd, dir.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
    if (s->watchDirWd < 0) {
      QDVP_TRC(trk, TRK1_DETAIL, "Directory %s not watched, errno %d", dir.c_str(), errno);
      close(fd);
      return;
    }
    s->watchFd = fd;
    s->watchDir = dir;
    QDVP_TRC(trk, TRK1_DETAIL, "Directory %s watched for new files named %s", dir.c_str(),
             s->watchBase.c_str());
  }
  if (WakesOnWrites(s)) WatchFollowed(s);
#else
  (void)s;
#endif
}

// True when the file followed holds another size than the last pass found: there is something
// to read (or it shrank, which the pass handles).
static bool FollowedChanged(const FileServerState *s) {
  struct stat st;
  if (s->followed == nullptr || fstat(fileno(s->followed), &st) != 0) return true;
  return static_cast<long>(st.st_size) != s->prevEndPos;
}

// Reads the pending events: QDVP_WAKE_NEW_FILE when one is the monitored name's creation or
// arrival (or the queue overflowed, so one may have been lost), QDVP_WAKE_WRITE when the file
// followed was written and has something new. A directory watch that went away is dropped
// (the next wait sets it up again); so is a file watch whose file was removed.
static int ReadEvents(FileServerState *s) {
#ifdef __linux__
  alignas(struct inotify_event) char events[4096];
  bool arrived = false, written = false;
  for (;;) {
    ssize_t n = read(s->watchFd, events, sizeof(events));
    if (n <= 0) break;
    for (char *p = events; p < events + n;) {
      auto *e = reinterpret_cast<struct inotify_event *>(p);
      p += sizeof(struct inotify_event) + e->len;
      if (e->mask & IN_Q_OVERFLOW) arrived = true;
      if (e->mask & IN_IGNORED) {
        if (e->wd == s->watchDirWd) {
          QDVP_FileUnwatch(s);
          return arrived ? QDVP_WAKE_NEW_FILE : QDVP_WAKE_NONE;
        }
        if (e->wd == s->watchFileWd) s->watchFileWd = -1;
        continue;
      }
      if (e->wd == s->watchFileWd && (e->mask & IN_MODIFY)) written = true;
      if (e->wd == s->watchDirWd && e->len > 0 && (e->mask & (IN_CREATE | IN_MOVED_TO)) &&
          s->watchBase == e->name) {
        arrived = true;
      }
    }
  }
  if (arrived) return QDVP_WAKE_NEW_FILE;
  return written && FollowedChanged(s) ? QDVP_WAKE_WRITE : QDVP_WAKE_NONE;
#else
  (void)s;
  return QDVP_WAKE_NONE;
#endif
}

int QDVP_FileWaitOrChange(FileServerState *s, int seconds) {
  if (s->watchFd < 0) {
    if (seconds > 0) QDVP_WaitTaskIO(s->pe, seconds, nullptr, nullptr);
    return QDVP_WAKE_NONE;
  }
  // What was written between the last pass and the watch's set-up raised no event.
  if (s->watchFresh) {
    s->watchFresh = false;
    if (s->watchFileWd >= 0 && FollowedChanged(s)) return QDVP_WAKE_WRITE;
  }
  time_t end = QDV0_Time() + seconds;
  for (time_t now = QDV0_Time(); now < end && !QDVP_TaskShouldEnd(s->pe); now = QDV0_Time()) {
    if (!QDVP_WaitTaskIOorFD(s->pe, static_cast<int>(end - now), s->watchFd)) {
      return QDVP_WAKE_NONE;
    }
    int wake = ReadEvents(s);
    if (wake == QDVP_WAKE_NEW_FILE) {
      QDVP_TRC(trk, TRK1_DETAIL, ">>>>> File %s created or moved in. Scan at once",
               s->watchBase.c_str());
      return wake;
    }
    if (wake == QDVP_WAKE_WRITE) {
      QDVP_TRC(trk, TRK1_DETAIL, ">>>>> File %s written. Scan at once", s->watchBase.c_str());
      return wake;
    }
    if (s->watchFd < 0) {
      int left = static_cast<int>(end - QDV0_Time());
      if (left > 0) QDVP_WaitTaskIO(s->pe, left, nullptr, nullptr);
      return QDVP_WAKE_NONE;
    }
  }
  return QDVP_WAKE_NONE;
}
