// Watching the directory of a monitored file between scans. A rotation (`mv f.log f.log.1`,
// then a new f.log) is otherwise seen only at the next scan, up to a whole interval later; with
// the directory watched, the creation (or moving in) of a file under the monitored name wakes
// the file server at once, which then reads the renamed file to its end and switches (the pass
// in qdvpffis.cpp). Only that wakes it early: writes to the file itself, and the other names
// of the directory, leave the scan interval as it is.
//
// On Linux the watch is an inotify descriptor of the file server's own, polled together with
// its process entry's wake-up (QDVP_WaitTaskIOorFD), so a request to end still wakes it at
// once. Elsewhere, or when no watch can be had (the directory is missing, the inotify limits
// are reached), the server waits on its condition as before and the scan finds the switch.
#include <errno.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/inotify.h>
#endif

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_core.h"
#include "qdvpfmon.h"

static TRK1_BLOCK trk = {"qdvpfwat"};

void QDVP_FileUnwatchDirectory(FileServerState *s) {
  if (s->watchFd >= 0) close(s->watchFd);
  s->watchFd = -1;
  s->watchDir.clear();
}

void QDVP_FileWatchDirectory(FileServerState *s) {
#ifdef __linux__
  const char *name = QDVP_FileServerFileName(s);
  if (name == nullptr) return;
  std::string full = name;
  size_t slash = full.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : full.substr(0, slash);
  s->watchBase = slash == std::string::npos ? full : full.substr(slash + 1);
  if (s->watchFd >= 0 && s->watchDir == dir) return;
  QDVP_FileUnwatchDirectory(s);
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) {
    QDVP_TRC(trk, TRK1_DETAIL, "Directory watch unavailable for %s, errno %d", name, errno);
    return;
  }
  if (inotify_add_watch(fd, dir.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR) < 0) {
    QDVP_TRC(trk, TRK1_DETAIL, "Directory %s not watched, errno %d", dir.c_str(), errno);
    close(fd);
    return;
  }
  s->watchFd = fd;
  s->watchDir = dir;
  QDVP_TRC(trk, TRK1_DETAIL, "Directory %s watched for new files named %s", dir.c_str(),
           s->watchBase.c_str());
#else
  (void)s;
#endif
}

// Reads the pending events; true when one is the monitored name's creation or arrival (or the
// queue overflowed, so one may have been lost). A watch that went away is dropped: the next
// wait sets it up again.
static bool NameArrived(FileServerState *s) {
#ifdef __linux__
  alignas(struct inotify_event) char events[4096];
  bool arrived = false;
  for (;;) {
    ssize_t n = read(s->watchFd, events, sizeof(events));
    if (n <= 0) break;
    for (char *p = events; p < events + n;) {
      auto *e = reinterpret_cast<struct inotify_event *>(p);
      if (e->mask & IN_Q_OVERFLOW) arrived = true;
      if (e->mask & IN_IGNORED) {
        QDVP_FileUnwatchDirectory(s);
        return arrived;
      }
      if (e->len > 0 && (e->mask & (IN_CREATE | IN_MOVED_TO)) && s->watchBase == e->name) {
        arrived = true;
      }
      p += sizeof(struct inotify_event) + e->len;
    }
  }
  return arrived;
#else
  (void)s;
  return false;
#endif
}

bool QDVP_FileWaitOrChange(FileServerState *s, int seconds) {
  if (s->watchFd < 0) {
    if (seconds > 0) QDVP_WaitTaskIO(s->pe, seconds, nullptr, nullptr);
    return false;
  }
  time_t end = QDV0_Time() + seconds;
  for (time_t now = QDV0_Time(); now < end && !QDVP_TaskShouldEnd(s->pe); now = QDV0_Time()) {
    if (!QDVP_WaitTaskIOorFD(s->pe, static_cast<int>(end - now), s->watchFd)) return false;
    if (NameArrived(s)) {
      QDVP_TRC(trk, TRK1_DETAIL, ">>>>> File %s created or moved in. Scan at once",
               s->watchBase.c_str());
      return true;
    }
    if (s->watchFd < 0) {
      int left = static_cast<int>(end - QDV0_Time());
      if (left > 0) QDVP_WaitTaskIO(s->pe, left, nullptr, nullptr);
      return false;
    }
  }
  return false;
}
