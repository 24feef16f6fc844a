// Directory listing calls: the directory is named through an environment variable, entries
// are delivered without "." and "..".
#include <dirent.h>
#include <stdlib.h>
#include <string.h>

#include "qdv0.h"
#include "zglq.h"

struct ZGLQ_DIR {
  DIR *dir;
};

ZGLQ_DIR *zglqpopd(const char *variableName, int *rc) {
  const char *directory = variableName ? getenv(variableName) : nullptr;
  // The metafile directory has a default of its own when its variable is unset.
  if ((directory == nullptr || directory[0] == '\0') && variableName &&
      strcmp(variableName, "QDVP_META_PATH") == 0) {
    directory = "./metafiles";
  }
  if (directory == nullptr || directory[0] == '\0') {
    if (rc) *rc = -1;
    return nullptr;
  }
  DIR *dir = opendir(directory);
  if (dir == nullptr) {
    if (rc) *rc = -1;
    return nullptr;
  }
  auto *handle = QDV0_New<ZGLQ_DIR>();
  if (handle == nullptr) {
    closedir(dir);
    if (rc) *rc = -1;
    return nullptr;
  }
  handle->dir = dir;
  if (rc) *rc = 0;
  return handle;
}

int zglqprdd(ZGLQ_DIR *handle, char *entry, size_t size) {
  if (handle == nullptr || entry == nullptr || size == 0) return 1;
  for (;;) {
    struct dirent *d = readdir(handle->dir);
    if (d == nullptr) return 1;
    if (strcmp(d->d_name, ".") == 0 || strcmp(d->d_name, "..") == 0) continue;
    strncpy(entry, d->d_name, size - 1);
    entry[size - 1] = '\0';
    return 0;
  }
}

int zglqpcld(ZGLQ_DIR *handle) {
  if (handle == nullptr) return -1;
  closedir(handle->dir);
  QDV0_Free(handle);
  return 0;
}
