// Strings, names and paths: upper-casing, the per-thread tokenizer, line-end stripping, name
// character substitution and the joining and checking of file and directory names.
#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qdv0.h"

char *QDV0_ConvertStringToUpper(char *string, int flag) {
  if (string == nullptr) return nullptr;
  char *target = flag ? QDV0_StrDup(string) : string;
  if (target == nullptr) return nullptr;
  for (char *p = target; *p; p++) *p = static_cast<char>(toupper(static_cast<unsigned char>(*p)));
  return target;
}

char *QDV0_strtok(char *string, const char *delimiters) {
  thread_local char *position = nullptr;
  return strtok_r(string, delimiters, &position);
}

size_t QDV0_RemoveCRandLF(char *string) {
  if (string == nullptr) return 0;
  size_t n = strlen(string);
  while (n > 0 && (string[n - 1] == '\n' || string[n - 1] == '\r')) string[--n] = '\0';
  return n;
}

char *QDV0_SubValidNameCharacter(char *name) {
  if (name == nullptr) return nullptr;
  for (char *p = name; *p; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (!isalnum(c) && c != '_') *p = '_';
  }
  return name;
}

const char *QDV0_DefaultDirectory(void) {
  const char *home = QDV0_GetEnv("QDVP_HOME", nullptr);
  if (home != nullptr) return home;
  thread_local char cwd[4096];
  if (getcwd(cwd, sizeof(cwd)) == nullptr) return ".";
  return cwd;
}

char *QDV0_ConstructFullyQualifiedName(const char *directory, const char *name) {
  if (name == nullptr) name = "";
  if (directory == nullptr || directory[0] == '\0') directory = QDV0_DefaultDirectory();
  size_t d = strlen(directory), n = strlen(name);
  bool slash = d > 0 && directory[d - 1] == '/';
  char *full = static_cast<char *>(QDV0_GetStorage(d + n + 2));
  if (full == nullptr) return nullptr;
  memcpy(full, directory, d);
  if (!slash) full[d++] = '/';
  memcpy(full + d, name, n);
  return full;
}

int QDV0_IsThisFullyQualifiedName(const char *name) {
  return name != nullptr && strchr(name, '/') != nullptr;
}

char *QDV0_QualifyFileName(const char *directory, const char *name) {
  if (name == nullptr) return nullptr;
  if (QDV0_IsThisFullyQualifiedName(name)) return QDV0_StrDup(name);
  return QDV0_ConstructFullyQualifiedName(directory, name);
}

char *QDV0_CheckPathSpec(const char *path) {
  if (path == nullptr || path[0] == '\0') return nullptr;
  struct stat st;
  if (stat(path, &st) == 0 && !S_ISDIR(st.st_mode)) return nullptr;
  size_t n = strlen(path);
  if (n <= 1 || path[n - 1] != '/') return const_cast<char *>(path);
  char *trimmed = QDV0_StrDup(path);
  if (trimmed == nullptr) return nullptr;
  while (n > 1 && trimmed[n - 1] == '/') trimmed[--n] = '\0';
  return trimmed;
}
