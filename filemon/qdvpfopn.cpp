// Opening a monitored file. The name comes from a metafile, but what stands under it on disk
// is whatever someone put there: a FIFO, a device, a socket or a symbolic link to any file of
// the system. The file server reads only regular files, and never blocks to find out what a
// name is: the type is looked at (lstat, stat) before anything is opened, the open itself is
// non-blocking (a FIFO put in place between the look and the open is opened at once and then
// refused by fstat), and O_NONBLOCK is cleared once the file is known to be a regular one.
//
// A symbolic link is followed as QDVP_FOLLOW_SYMLINKS says: Y (any target), N (none), or, by
// default, only when its target, with every link resolved, lies in the directory of the
// monitored name (or below it), that directory resolved the same way. The resolved target is
// what is opened, without following a link again (O_NOFOLLOW), so a link changed between the
// check and the open is not followed unchecked.
//
// Nothing here keeps state; QDVP_ReportMonitorFileOpen remembers in the source's FileSpecCB
// what it reported last, so that a refusal or a followed link is reported once, not at every
// scan.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_filemon.h"

static TRK1_BLOCK trk = {"qdvpfopn"};

// The word for a file type in the DP log messages.
static const char *KindOf(mode_t mode) {
  if (S_ISFIFO(mode)) return "FIFO";
  if (S_ISSOCK(mode)) return "socket";
  if (S_ISCHR(mode)) return "character device";
  if (S_ISBLK(mode)) return "block device";
  if (S_ISDIR(mode)) return "directory";
  return "special file";
}

char QDVP_FollowSymlinksSetting(void) {
  const char *value = QDV0_GetEnv("QDVP_FOLLOW_SYMLINKS", nullptr);
  if (value != nullptr && (value[0] == 'Y' || value[0] == 'y')) return 'Y';
  if (value != nullptr && (value[0] == 'N' || value[0] == 'n')) return 'N';
  return 'D';
}

// The directory of a name, every link in it resolved; empty when it cannot be resolved.
static std::string ResolvedDirectory(const char *name) {
  std::string dir = name;
  size_t slash = dir.find_last_of('/');
  dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
  char resolved[PATH_MAX];
  if (realpath(dir.c_str(), resolved) == nullptr) return std::string();
  return resolved;
}

static bool Inside(const std::string &path, const std::string &dir) {
  if (dir.empty()) return false;
  if (dir == "/") return true;
  return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
         path[dir.size()] == '/';
}

// Opens path (no link is followed at its last step) for reading, or for writing when write,
// and checks that it is a regular file. Fills the outcome's status.
static void OpenChecked(const char *path, bool write, MonitorFileOpen *out) {
  int flags = (write ? O_WRONLY : O_RDONLY) | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
  int fd = open(path, flags);
  if (fd < 0) {
    out->Error = errno;
    // A link put in place after the look, or a FIFO without a reader opened for writing:
    // something that is not what was looked at; the next attempt looks again.
    bool changed = out->Error == ELOOP || out->Error == ENXIO;
    out->Status = out->Error == ENOENT || out->Error == EACCES || changed ? QDVP_OPEN_MISSING
                                                                          : QDVP_OPEN_ERROR;
    return;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    bool directory = S_ISDIR(st.st_mode);
    close(fd);
    out->Error = directory ? EISDIR : EINVAL;
    out->Status = directory ? QDVP_OPEN_ERROR : QDVP_OPEN_NOT_REGULAR;
    snprintf(out->Kind, sizeof(out->Kind), "%s", KindOf(st.st_mode));
    return;
  }
  int fl = fcntl(fd, F_GETFL);
  if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  out->File = fdopen(fd, write ? "wb" : "rb");
  if (out->File == nullptr) {
    out->Error = errno;
    close(fd);
    out->Status = QDVP_OPEN_ERROR;
    return;
  }
  out->Device = st.st_dev;
  out->Inode = st.st_ino;
  out->Status = QDVP_OPEN_OK;
}

int QDVP_OpenMonitorFile(const char *name, int write, MonitorFileOpen *out) {
  memset(out, 0, sizeof(*out));
  if (name == nullptr || name[0] == '\0') {
    out->Error = ENOENT;
    return out->Status = QDVP_OPEN_MISSING;
  }
  struct stat st;
  if (lstat(name, &st) != 0) {
    out->Error = errno;
    out->Status = out->Error == ENOENT || out->Error == EACCES || out->Error == ENOTDIR
                      ? QDVP_OPEN_MISSING
                      : QDVP_OPEN_ERROR;
    return out->Status;
  }
  const char *path = name;
  char target[PATH_MAX];
  if (S_ISLNK(st.st_mode)) {
    out->Link = 1;
    if (realpath(name, target) == nullptr) {
      // A link to nothing (yet): like a missing file.
      out->Error = errno;
      out->Status = QDVP_OPEN_MISSING;
      return out->Status;
    }
    snprintf(out->Target, sizeof(out->Target), "%s", target);
    char setting = QDVP_FollowSymlinksSetting();
    if (setting == 'N' || (setting == 'D' && !Inside(target, ResolvedDirectory(name)))) {
      QDVP_TRC(trk, TRK1_ERROR, "***** File %s is a symbolic link to %s. Not followed (%c)", name,
               target, setting);
      out->Error = ELOOP;
      return out->Status = QDVP_OPEN_LINK_REFUSED;
    }
    path = target;
    if (stat(path, &st) != 0) {
      out->Error = errno;
      return out->Status = QDVP_OPEN_MISSING;
    }
  }
  if (!S_ISREG(st.st_mode)) {
    // Not opened at all: opening a FIFO would block, or wake a writer waiting for a reader.
    bool directory = S_ISDIR(st.st_mode);
    out->Error = directory ? EISDIR : EINVAL;
    snprintf(out->Kind, sizeof(out->Kind), "%s", KindOf(st.st_mode));
    QDVP_TRC(trk, TRK1_ERROR, "***** File %s is a %s, not a regular file", name, out->Kind);
    return out->Status = directory ? QDVP_OPEN_ERROR : QDVP_OPEN_NOT_REGULAR;
  }
  OpenChecked(path, write != 0, out);
  if (out->Status == QDVP_OPEN_NOT_REGULAR) {
    QDVP_TRC(trk, TRK1_ERROR, "***** File %s became a %s while it was opened", name, out->Kind);
  }
  return out->Status;
}

// A small hash of what a report says, to tell a new one from the last.
static uint32_t NoteOf(const char *a, const char *b, int status) {
  uint32_t h = 2166136261u ^ static_cast<uint32_t>(status);
  for (const char *t : {a, b}) {
    for (const char *p = t ? t : ""; *p; p++) h = (h ^ static_cast<unsigned char>(*p)) * 16777619u;
    h = (h ^ 0xFF) * 16777619u;
  }
  return h == 0 ? 1 : h;
}

void QDVP_ReportMonitorFileOpen(DPAB *anchor, FileSpecCB *block, const char *name,
                                const MonitorFileOpen *o) {
  if (block == nullptr || name == nullptr) return;
  bool followed = o->Status == QDVP_OPEN_OK && o->Link;
  bool refused = o->Status == QDVP_OPEN_NOT_REGULAR || o->Status == QDVP_OPEN_LINK_REFUSED;
  if (!followed && !refused) {
    // A plain file, or a missing one: a later link or refusal is news again.
    if (o->Status == QDVP_OPEN_OK) block->OpenNote = 0;
    return;
  }
  uint32_t note = NoteOf(name, o->Status == QDVP_OPEN_NOT_REGULAR ? o->Kind : o->Target, o->Status);
  if (note == block->OpenNote) return;
  block->OpenNote = note;
  char setting[2] = {QDVP_FollowSymlinksSetting(), '\0'};
  const char *shown = setting[0] == 'D' ? "DIR" : setting;
  if (followed) {
    QDVP_SendDPlogMessage(anchor, 86, name, o->Target, shown);
  } else if (o->Status == QDVP_OPEN_LINK_REFUSED) {
    QDVP_SendDPlogMessage(anchor, 87, name, o->Target, shown);
  } else {
    QDVP_SendDPlogMessage(anchor, 85, name, o->Kind);
  }
}
