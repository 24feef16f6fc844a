// Opening a file that is named in a configuration or found in a directory listing. Such a name
// may turn out to be a FIFO or a device: open() on a FIFO without a writer waits for one, and
// the task that asked would wait with it for good. The file is opened without waiting
// (O_NONBLOCK), kept only when fstat says it is a regular file, and then made blocking again,
// so that it reads like any file opened with fopen.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qdv0.h"

FILE *QDV0_OpenRegularFile(const char *path) {
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    int err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    close(fd);
    errno = err;
    return nullptr;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE *f = fdopen(fd, "r");
  if (f == nullptr) {
    int err = errno;
    close(fd);
    errno = err;
  }
  return f;
}
