// Which file a FILE source monitors now, and whether it is still the same file.
//
// A source may name a pattern (directory, prefix{variable part}suffix.extension): the newest
// file of the directory by the date or number in its name is monitored, or, in process-all
// mode, every matching file in turn. Independently of names, a file is recognised by the
// checksum of its first line, so that a file replaced or re-created under the same name is
// read again from its beginning.
//
// The directory is listed through the configuration library's directory calls, which take the
// name of an environment variable holding the directory; TargetDirEnvLock serialises the use
// of that one process-wide variable by all file servers. IDcheckSumBufferLock guards the one
// buffer the checksums are computed in.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../core/support/zglq.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_filemon.h"

static TRK1_BLOCK trk = {"qdvpdcmf"};

// Leaves (include/qdvp_anchor.h): the directory listing's environment, and the buffer the
// identity checksum reads a first line into.
static OSV1_LOCK TargetDirEnvLock QDVP_ACQUIRED_AFTER(DPAB::StateMutex) = OSV1_LOCK_INITIALIZER;
static OSV1_LOCK IDcheckSumBufferLock QDVP_ACQUIRED_AFTER(DPAB::StateMutex) = OSV1_LOCK_INITIALIZER;
static char *IDcheckSumBuffer QDVP_GUARDED_BY(IDcheckSumBufferLock) = nullptr;
static int IDcheckSumBufferSize QDVP_GUARDED_BY(IDcheckSumBufferLock) = 0;

static const char *Str(const char *text) { return text ? text : ""; }

// Reads the digits of the name's variable part that stand under the pattern characters in
// set; -1 when one of them is no digit, 0 when there are none.
static long DigitsUnder(const char *pattern, const char *variable, int length, const char *set,
                        int *count) {
  long value = 0;
  *count = 0;
  for (int i = 0; i < length; i++) {
    if (strchr(set, pattern[i]) == nullptr) continue;
    if (variable[i] < '0' || variable[i] > '9') return -1;
    value = value * 10 + (variable[i] - '0');
    (*count)++;
  }
  return value;
}

static ProcessEntry *OwnerOf(const FileSpecCB *block) { return block ? block->pPE : nullptr; }

static bool AskedToEnd(const FileSpecCB *block) {
  ProcessEntry *pe = OwnerOf(block);
  return pe != nullptr && QDVP_TaskShouldEnd(pe);
}

// The directory of a pattern without its trailing separator; the working directory when the
// pattern has none. Empty when there is none.
static std::string PatternDirectory(const FileSpecCB *block) {
  if (block->pPathSpec != nullptr && block->pPathSpec[0] != '\0') {
    std::string dir = block->pPathSpec;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
  }
  char cwd[4096];
  if (getcwd(cwd, sizeof(cwd)) == nullptr) return std::string();
  return cwd;
}

// The full name of a directory entry: the path specification and the name.
static std::string FullName(const FileSpecCB *block, const char *name) {
  if (block->pPathSpec == nullptr || block->pPathSpec[0] == '\0') return name;
  std::string full = block->pPathSpec;
  if (full.back() != '/') full += '/';
  return full + name;
}

// Takes the first entry of the process-all list as the current file. Returns true when the
// list was not empty.
static bool TakeSelectedFile(FileSpecCB *block) {
  SpecSelectedFileEntry *entry = block->pSelectedList;
  if (entry == nullptr) return false;
  block->pSelectedList = entry->pNext;
  QDV0_Free(block->pCurrentFileName);
  if (entry->FileName[0] != '\0') {
    block->pCurrentFileName = QDV0_StrDup(entry->FileName);
    block->IDcheckSum = 0;
    QDVP_TRC(trk, TRK1_DETAIL, "Monitoring file set to %s from SpecSelectedFile List",
             entry->FileName);
  }
  QDV0_Free(entry);
  return true;
}

static void AppendSelected(FileSpecCB *block, const std::string &name) {
  auto *entry = QDV0_New<SpecSelectedFileEntry>();
  if (entry == nullptr) return;
  snprintf(entry->FileName, sizeof(entry->FileName), "%s", name.c_str());
  SpecSelectedFileEntry **link = &block->pSelectedList;
  while (*link != nullptr) link = &(*link)->pNext;
  *link = entry;
}

long QDVP_FileNameNumericValue(const FileSpecCB *block, const char *name) {
  if (block == nullptr || name == nullptr || !block->PatternFlag) return -1;
  size_t nameLength = strlen(name);
  const char *dot = strrchr(name, '.');
  bool patternHasExtension = block->pExtension != nullptr;
  if ((dot != nullptr) != patternHasExtension) return -1;
  size_t extensionLength = dot ? strlen(dot + 1) : 0;
  if (dot != nullptr && block->ExtensionLen > 0 && strcmp(dot + 1, block->pExtension) != 0) {
    return -1;
  }
  size_t base = dot ? nameLength - 1 - extensionLength : nameLength;
  if (base < static_cast<size_t>(block->TotalNameLen)) return -1;
  if (block->PrefixLen > 0 && strncmp(name, block->pPrefix, block->PrefixLen) != 0) return -1;
  const char *variable = name + block->PrefixLen;
  const char *after = variable + block->PatternLen;
  if (block->SuffixLen > 0) {
    if (strncmp(after, block->pSuffix, block->SuffixLen) != 0) return -1;
    after += block->SuffixLen;
  }
  if (static_cast<size_t>(after - name) != base) {
    QDVP_TRC(trk, TRK1_DETAIL, "File skipped, file may include suffix where none defined. %d %d",
             static_cast<int>(after - name), static_cast<int>(base));
    return -1;
  }
  const char *pattern = block->pPattern ? block->pPattern : "";
  int count = 0;
  if (DigitsUnder(pattern, variable, block->PatternLen, "#YMD", &count) < 0) {
    QDVP_TRC(trk, TRK1_DETAIL,
             "File skipped, file name %s does not match numeric pattern %s "
             "offset %d",
             name, pattern, block->NumericOffset);
    return -1;
  }
  int yearSize = 0, monthSize = 0, daySize = 0;
  long year = DigitsUnder(pattern, variable, block->PatternLen, "Y", &yearSize);
  long month = DigitsUnder(pattern, variable, block->PatternLen, "M", &monthSize);
  long day = DigitsUnder(pattern, variable, block->PatternLen, "D", &daySize);
  long value;
  if (yearSize + monthSize + daySize == 0) {
    value = DigitsUnder(pattern, variable, block->PatternLen, "#", &count);
  } else {
    if (yearSize == 2) year += year > 69 ? 1900 : 2000;
    value = year * 100000 + month * 1000 + day;
    QDVP_TRC(trk, TRK1_DETAIL, "YearSize %d MonthSize %d DaySize %d", yearSize, monthSize, daySize);
  }
  QDVP_TRC(trk, TRK1_DETAIL, "File specification numeric value %ld", value);
  return value;
}

void QDVP_ReleaseSelectedFileList(FileSpecCB *block) {
  if (block == nullptr) return;
  while (block->pSelectedList != nullptr) {
    SpecSelectedFileEntry *next = block->pSelectedList->pNext;
    QDV0_Free(block->pSelectedList);
    block->pSelectedList = next;
  }
}

// Sets the block's current file name: the next file of the process-all list, or the newest
// matching file of the directory. Switching to another file is reported (DP log 76) and
// forgets the identity checksum. When no file matches, waits one switch-check interval (in
// pieces, ending early when the task is asked to end) and keeps the previous choice.
void QDVP_DetermineCurrentMonitorFileName(FileSpecCB *block, int processAll) {
  if (block == nullptr) return;
  QDVP_TRC_ENTRY(trk);
  if (TakeSelectedFile(block)) return;
  std::string dir = PatternDirectory(block);
  if (dir.empty()) {
    QDVP_TRC(trk, TRK1_ERROR, "***** No valid current working directory. Exiting...");
    return;
  }
  ZGLQ_DIR *handle = nullptr;
  int rc = 0;
  OSV1_GetLock(&TargetDirEnvLock);
  setenv("DPTARGETFILEDIR", dir.c_str(), 1);
  handle = zglqpopd("DPTARGETFILEDIR", &rc);
  OSV1_ReleaseLock(&TargetDirEnvLock);
  if (handle == nullptr) {
    QDV0_Free(block->pCurrentFileName);
    QDVP_TRC(trk, TRK1_ERROR, "Monitor file directory %s open failed. STC1 status %d", dir.c_str(),
             rc);
    return;
  }
  struct Match {
    std::string name;
    long value;
  };
  std::vector<Match> matches;
  std::string chosen;
  long chosenValue = -1;
  int processed = 0;
  char entry[512];
  while (zglqprdd(handle, entry, sizeof(entry)) == 0) {
    size_t n = strlen(entry);
    while (n > 0 && entry[n - 1] == ' ') entry[--n] = '\0';
    if (n == 0) continue;
    processed++;
    long value = QDVP_FileNameNumericValue(block, entry);
    if (value < 0) continue;
    if (processAll) {
      matches.push_back({entry, value});
      continue;
    }
    if (chosen.empty() || value > chosenValue) {
      if (chosen.empty()) {
        QDVP_TRC(trk, TRK1_DETAIL, "First matching file %s saved, matching file specification %s",
                 entry, Str(block->pPattern));
      } else {
        QDVP_TRC(trk, TRK1_DETAIL, "File %s replacing previous file %s", entry, chosen.c_str());
      }
      chosen = entry;
      chosenValue = value;
    } else if (value < chosenValue) {
      QDVP_TRC(trk, TRK1_DETAIL, "File %s skipped older than previous %s per numeric", entry,
               chosen.c_str());
    } else {
      bool lower = false;
      const char *pattern = block->pPattern ? block->pPattern : "";
      for (int i = 0; i < block->PatternLen; i++) {
        if (pattern[i] != '?') continue;
        if (entry[block->PrefixLen + i] < chosen[block->PrefixLen + i]) lower = true;
      }
      if (lower) {
        QDVP_TRC(trk, TRK1_DETAIL, "File %s skipped older than previous %s per char", entry,
                 chosen.c_str());
      } else {
        QDVP_TRC(trk, TRK1_DETAIL, "File %s replacing previous file %s", entry, chosen.c_str());
        chosen = entry;
      }
    }
  }
  zglqpcld(handle);
  QDVP_TRC(trk, TRK1_DETAIL, "Total of %d files processed", processed);
  if (processed == 0) QDVP_TRC(trk, TRK1_DETAIL, "No files exist in target directory");

  if (processAll && !matches.empty()) {
    // Oldest first by the value in the name, then by name: the order the files were written.
    std::stable_sort(matches.begin(), matches.end(), [](const Match &a, const Match &b) {
      return a.value != b.value ? a.value < b.value : a.name < b.name;
    });
    for (const Match &m : matches) {
      AppendSelected(block, FullName(block, m.name.c_str()));
      QDVP_TRC(trk, TRK1_DETAIL, "File %s SSFE added to SpecSelectedFileList", m.name.c_str());
    }
    AppendSelected(block, "");
    TakeSelectedFile(block);
    return;
  }
  if (chosen.empty()) {
    QDVP_TRC(trk, TRK1_DETAIL,
             "No file in the target directory satisfies the defined file name criteria");
    int interval = block->SwitchCheckInterval > 0 ? block->SwitchCheckInterval : 1;
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>>Waiting for target monitoring file creation... %d seconds",
             interval);
    ProcessEntry *pe = OwnerOf(block);
    if (pe != nullptr) {
      // The file server waits on its own condition: a request to end wakes it at once.
      time_t until = QDV0_Time() + interval;
      for (time_t now = QDV0_Time(); now < until && !AskedToEnd(block); now = QDV0_Time()) {
        QDVP_WaitTaskIO(pe, static_cast<int>(std::min<time_t>(30, until - now)), nullptr, nullptr);
      }
    } else {
      for (int waited = 0; waited < interval && !AskedToEnd(block);) {
        int step = std::min(30, interval - waited);
        OSV1_Sleep(step);
        waited += step;
      }
    }
    return;
  }
  std::string full = FullName(block, chosen.c_str());
  if (block->pCurrentFileName == nullptr) {
    block->pCurrentFileName = QDV0_StrDup(full.c_str());
    QDVP_TRC(trk, TRK1_DETAIL, "Initial monitoring file set to %s", full.c_str());
  } else if (full == block->pCurrentFileName) {
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>>>No new files found<<<<<<");
  } else {
    QDVP_TRC(trk, TRK1_DETAIL, "Switching monitoring file from %s to %s", block->pCurrentFileName,
             full.c_str());
    ProcessEntry *pe = OwnerOf(block);
    if (pe != nullptr) {
      QDVP_SendDPlogMessage(pe->pDPAB, 76, block->pCurrentFileName, full.c_str());
    }
    QDV0_Free(block->pCurrentFileName);
    block->pCurrentFileName = QDV0_StrDup(full.c_str());
    block->IDcheckSum = 0;
  }
  QDVP_TRC_EXIT(trk, 0);
}

// The checksum of the first line (line end included) of the monitored file; 0 when it cannot
// be opened or has no first line.
uint16_t QDVP_FormatFileIDcheckSum(IOEntry *ioEntry, FileSpecCB *block) {
  const char *name = nullptr;
  if (block != nullptr && block->PatternFlag) {
    name = block->pCurrentFileName;
  } else if (ioEntry != nullptr && ioEntry->pSource != nullptr) {
    name = ioEntry->pSource->pSourceName;
  }
  if (name == nullptr && block != nullptr) name = block->pCurrentFileName;
  if (name == nullptr) return 0;
  int size = ioEntry != nullptr && ioEntry->BufferSize > 0 ? ioEntry->BufferSize
                                                           : QDVP_DEFAULT_RECORD_SIZE;
  uint16_t sum = 0;
  OSV1_GetLock(&IDcheckSumBufferLock);
  if (size + 1 > IDcheckSumBufferSize) {
    if (IDcheckSumBuffer != nullptr) {
      QDVP_TRC(trk, TRK1_DETAIL, "Increasing ID check sum buffer size from %d to %d",
               IDcheckSumBufferSize, size + 1);
    }
    QDV0_Free(IDcheckSumBuffer);
    IDcheckSumBuffer = static_cast<char *>(QDV0_GetStorage(static_cast<size_t>(size) + 1));
    IDcheckSumBufferSize = IDcheckSumBuffer ? size + 1 : 0;
  }
  // Opened as the file server opens it: a FIFO or a link not to be followed is not read.
  MonitorFileOpen open;
  FILE *file = IDcheckSumBuffer && QDVP_OpenMonitorFile(name, 0, &open) == QDVP_OPEN_OK ? open.File
                                                                                        : nullptr;
  if (file == nullptr) {
    QDVP_TRC(trk, TRK1_DETAIL, "*****File %s open failed. ErrorText <%s>", name,
             strerror(open.Error));
  } else {
    if (fgets(IDcheckSumBuffer, IDcheckSumBufferSize, file) != nullptr) {
      size_t length = strlen(IDcheckSumBuffer);
      QDVP_TRC(trk, TRK1_DETAIL, "Calculate record check sum using {%.80s}", IDcheckSumBuffer);
      sum = static_cast<uint16_t>(QDV0_ComputeCheckSum(IDcheckSumBuffer, length) & 0xFFFF);
    }
    fclose(file);
  }
  OSV1_ReleaseLock(&IDcheckSumBufferLock);
  return sum;
}
