// Metafile input: opens a metafile by name (the metafile directory, the .mdl and .MDL
// extensions, an in-memory "&NAME" text, or a remote metafile server when none is found
// locally), hands its records out one by one and closes it. Also builds the record buffers the
// metafile server sends, and runs the stand-alone validation entry.
#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <map>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_metafile.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvpmsio"};

static int g_lastValidationSucceeded = 0;

// A metafile is read as it was when it was opened: the size of each open stream is noted, and
// reading stops there. A file that grows while it is read (a trace or log file that landed in
// the metafile directory and receives the lines its own reading produces) therefore ends.
static OSV1_LOCK g_streamLock = OSV1_LOCK_INITIALIZER;
static std::map<FILE *, long> g_streamSize QDVP_GUARDED_BY(g_streamLock);

static void NoteStreamSize(FILE *f) {
  struct stat st;
  long size =
      fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<long>(st.st_size) : -1;
  OSV1_Guard lock(&g_streamLock);
  g_streamSize[f] = size;
}

// fgets, but nothing at or beyond the size the stream had when it was opened.
static char *ReadStream(FILE *f, char *buffer, int size) {
  long limit = -1;
  {
    OSV1_Guard lock(&g_streamLock);
    auto it = g_streamSize.find(f);
    if (it != g_streamSize.end()) limit = it->second;
  }
  if (limit >= 0) {
    long at = ftell(f);
    if (at >= limit) return nullptr;
    if (at >= 0 && limit - at + 1 < size) size = static_cast<int>(limit - at + 1);
  }
  return fgets(buffer, size, f);
}

static int CloseStream(FILE *f) {
  {
    OSV1_Guard lock(&g_streamLock);
    g_streamSize.erase(f);
  }
  return fclose(f);
}

int QDVP_MetaRecordSize(void) {
  const char *text = QDV0_GetEnv("QDVP_META_MAX_RECORD_SIZE", nullptr);
  long n = text ? strtol(text, nullptr, 10) : static_cast<long>(QDVP_DEFAULT_RECORD_SIZE);
  if (n <= 0) n = QDVP_DEFAULT_RECORD_SIZE;
  // A buffer too small to hold a statement keyword would make every record a fragment.
  if (n < 16) n = 16;
  if (n > 1024 * 1024) n = 1024 * 1024;
  return static_cast<int>(n);
}

char *QDVP_MetafileFullName(DPAB *anchor, const char *name) {
  if (name == nullptr) return nullptr;
  return QDV0_QualifyFileName(anchor ? anchor->pMetaPath : nullptr, name);
}

// The path a name designates. A name beginning with '.' loses that dot and every following
// character that is no letter or digit and joins the metafile directory (so "./x", "../x" and
// ".x" all name x there, and a relative name never climbs out of it); any other name without a
// directory part joins the metafile directory; a name with a directory part is used unchanged.
static char *BuildMetafilePath(DPAB *anchor, const char *name) {
  const char *directory = anchor ? anchor->pMetaPath : nullptr;
  if (name[0] == '.') {
    const char *rest = name + 1;
    while (*rest && !isalnum(static_cast<unsigned char>(*rest))) rest++;
    return QDV0_ConstructFullyQualifiedName(directory, rest);
  }
  if (!QDV0_IsThisFullyQualifiedName(name))
    return QDV0_ConstructFullyQualifiedName(directory, name);
  return QDV0_StrDup(name);
}

// Only a regular file is a metafile: a FIFO or device named like one is not opened (its open
// would wait for a writer, and the loading task with it).
static FILE *OpenMetafileStream(const char *path) {
  FILE *f = QDV0_OpenRegularFile(path);
  if (f == nullptr && (errno == EINVAL || errno == EISDIR)) {
    QDVP_TRC(trk, TRK1_ERROR, "*** Metafile %s is not a regular file, not read", path);
    errno = EINVAL;
  }
  return f;
}

static FILE *OpenTraced(const char *path) {
  FILE *f = OpenMetafileStream(path);
  if (f == nullptr) {
    int err = errno;
    QDVP_TRC(trk, TRK1_ERROR, "*** Unable to open metafile %s - Errno %d, ErrorText <%s>", path,
             err, strerror(err));
  }
  return f;
}

// Asks the metafile server client task for a metafile that exists nowhere locally and waits
// for its answer. Returns the record block (locked until its last record is read) or null.
// A remote retrieval holds the in-memory block's lock from the transfer until its records are
// read or the metafile is closed (Status 0 says so): a hand-over between calls that the lock
// analysis cannot follow.
static void *RetrieveRemoteMetafile(DPAB *anchor, const char *name) QDVP_NO_THREAD_SAFETY_ANALYSIS {
  MemMetafile *block = anchor->pMemMetafile;
  if (block == nullptr || block->pClientPE == nullptr) return nullptr;
  OSV1_GetLock(&block->Lock);
  // The client task lets go of the block under its lock as it ends.
  if (block->pClientPE == nullptr) {
    OSV1_ReleaseLock(&block->Lock);
    return nullptr;
  }
  ProcessEntry *own = QDVP_LocateOwnProcessEntry(anchor);
  ProcessEntry *temporary = nullptr;
  if (own == nullptr) own = temporary = QDVP_InitializeProcessEntry(anchor);
  if (own == nullptr) {
    OSV1_ReleaseLock(&block->Lock);
    return nullptr;
  }
  // The request is posted under the client task's mutex; its answer (Status) is stored
  // under ours.
  OSV1_GetLock(&own->TaskIOmutex);
  OSV1_GetLock(&block->pClientPE->TaskIOmutex);
  block->pName = name;
  block->pPE = own;
  block->Status = -1;
  OSV1_WakeOne(&block->pClientPE->TaskIOcond, &block->pClientPE->TaskIOmutex);
  OSV1_ReleaseLock(&block->pClientPE->TaskIOmutex);
  while (block->Status == -1 && !anchor->ShutdownRequested) {
    QDV0_ConditionTimedWait(&own->TaskIOcond, &own->TaskIOmutex, 5);
  }
  OSV1_ReleaseLock(&own->TaskIOmutex);
  OSV1_GetLock(&block->pClientPE->TaskIOmutex);
  block->pPE = nullptr;
  OSV1_ReleaseLock(&block->pClientPE->TaskIOmutex);
  if (temporary != nullptr) QDVP_ReleaseProcessResources(anchor, temporary);
  if (block->Status != 0) {
    QDVP_TRC(trk, TRK1_ERROR, "Metafile %s transfer from remote server unsuccessful. Status->%d",
             name, block->Status);
    QDVP_FreeMetaRecordList(block->pHead);
    block->pHead = nullptr;
    block->RecordCount = 0;
    OSV1_ReleaseLock(&block->Lock);
    return nullptr;
  }
  QDVP_TRC(trk, TRK1_DETAIL,
           "Metafile %s successfully retrieved from remote server. Record count %d", name,
           block->RecordCount);
  return block;
}

void *QDVP_OpenMetaFile(DPAB *anchor, const char *name, int validate) {
  if (name == nullptr || name[0] == '\0') return nullptr;
  if (name[0] == '&') return QDVP_ConstructMemoryMetafile(anchor, name);
  char *path = BuildMetafilePath(anchor, name);
  if (path == nullptr) return nullptr;
  FILE *f = OpenTraced(path);
  if (f == nullptr) {
    static const char *const kExtensions[] = {".mdl", ".MDL"};
    for (const char *extension : kExtensions) {
      size_t n = strlen(path);
      char *alternative = static_cast<char *>(QDV0_GetStorage(n + 5));
      if (alternative == nullptr) break;
      memcpy(alternative, path, n);
      memcpy(alternative + n, extension, 4);
      f = OpenMetafileStream(alternative);
      if (f != nullptr) {
        QDV0_Free(path);
        path = alternative;
        if (validate) QDVP_DisplayValidationMessage(24, path);
        break;
      }
      if (extension[1] == 'M') {
        int err = errno;
        QDVP_TRC(trk, TRK1_ERROR, "*** Unable to open metafile %s - Errno %d, ErrorText <%s>",
                 alternative, err, strerror(err));
      }
      QDV0_Free(alternative);
    }
  }
  if (f != nullptr) {
    if (validate) QDVP_DisplayValidationMessage(25, path);
    QDV0_Free(path);
    NoteStreamSize(f);
    return f;
  }
  QDV0_Free(path);
  if (anchor != nullptr && anchor->pMemMetafile != nullptr && !validate) {
    void *remote = RetrieveRemoteMetafile(anchor, name);
    if (remote != nullptr) return remote;
    if (anchor->pMemMetafile.load()->pClientPE != nullptr) return nullptr;
  }
  if (strncmp(name, "QDV", 3) != 0 && strncmp(name, "qdv", 3) != 0) {
    QDVP_DisplayValidationMessage(1, name);
  }
  return nullptr;
}

// The last record of a remote retrieval lets go of the block's lock that
// RetrieveRemoteMetafile took (Status 0 marks it held); the analysis cannot follow that
// hand-over between calls, and only the retrieving task reads the records meanwhile.
char *QDVP_ReadMetaFile(DPAB *anchor, void *handle, char *buffer,
                        int size) QDVP_NO_THREAD_SAFETY_ANALYSIS {
  if (handle == nullptr || buffer == nullptr || size <= 0) return nullptr;
  MemMetafile *block = anchor ? anchor->pMemMetafile.load() : nullptr;
  if (handle != block) return ReadStream(static_cast<FILE *>(handle), buffer, size);
  if (block->RecordCount > 0 && block->pHead != nullptr) {
    MetaRecordNode *node = block->pHead;
    size_t n = static_cast<size_t>(node->Length);
    if (n >= static_cast<size_t>(size)) n = static_cast<size_t>(size) - 1;
    memcpy(buffer, node->pText, n);
    buffer[n] = '\0';
    block->RecordCount--;
    block->pHead = node->pNext;
    if (node->pText != reinterpret_cast<char *>(node + 1)) QDV0_Free(node->pText);
    QDV0_Free(node);
    return buffer;
  }
  QDVP_FreeMetaRecordList(block->pHead);
  block->pHead = nullptr;
  block->RecordCount = 0;
  // Only a remote retrieval holds the lock while its records are read.
  if (block->Status == 0) {
    block->Status = 1;
    OSV1_ReleaseLock(&block->Lock);
  }
  return nullptr;
}

void QDVP_ReleaseMetafileBlock(DPAB *anchor) {
  MemMetafile *block = anchor->pMemMetafile;
  if (block == nullptr) return;
  anchor->pMemMetafile = nullptr;
  QDVP_FreeMetaRecordList(block->pHead);
  OSV1_DestroyLock(&block->Lock);
  QDV0_Free(block);
}

void QDVP_FreeMetaRecordList(MetaRecordNode *head) {
  while (head != nullptr) {
    MetaRecordNode *next = head->pNext;
    if (head->pText != reinterpret_cast<char *>(head + 1)) QDV0_Free(head->pText);
    QDV0_Free(head);
    head = next;
  }
}

// Closing a remote retrieval before its last record lets go of the block's lock as the last
// record would (the same hand-over as QDVP_ReadMetaFile's).
int QDVP_CloseMetaFile(DPAB *anchor, void *handle) QDVP_NO_THREAD_SAFETY_ANALYSIS {
  if (handle == nullptr) return 0;
  MemMetafile *block = anchor ? anchor->pMemMetafile.load() : nullptr;
  if (handle != block) return CloseStream(static_cast<FILE *>(handle));
  QDVP_FreeMetaRecordList(block->pHead);
  block->pHead = nullptr;
  block->RecordCount = 0;
  if (block->Status == 0) {  // a remote transfer closed before its end
    block->Status = 1;
    OSV1_ReleaseLock(&block->Lock);
  }
  if (block->Status == QDVP_MEM_CREATED) {
    OSV1_DestroyLock(&block->Lock);
    anchor->pMemMetafile = nullptr;
    QDV0_Free(block);
  }
  return 0;
}

MemMetafile *QDVP_ConstructMemoryMetafile(DPAB *anchor, const char *text) {
  if (anchor == nullptr || text == nullptr) return nullptr;
  MemMetafile *block = anchor->pMemMetafile;
  int status = QDVP_MEM_BORROWED;
  if (block == nullptr) {
    block = QDV0_New<MemMetafile>();
    if (block == nullptr) {
      QDVP_TRC(trk, TRK1_ERROR, "***** Unable to obtain storage for metafile record block");
      return nullptr;
    }
    OSV1_InitializeLock(&block->Lock);
    status = QDVP_MEM_CREATED;
  }
  QDVP_FreeMetaRecordList(block->pHead);
  block->pHead = nullptr;
  block->RecordCount = 0;
  block->Status = status;
  char *copy = QDV0_StrDup(text);
  if (copy == nullptr) {
    anchor->pMemMetafile = block;
    return block;
  }
  MetaRecordNode **tail = &block->pHead;
  char *piece = QDV0_strtok(copy, "\n");  // the name, &NAME
  if (piece != nullptr) block->pName = text;
  while (piece != nullptr && (piece = QDV0_strtok(nullptr, "\n")) != nullptr) {
    if (piece[0] == '&') break;
    auto *node = QDV0_New<MetaRecordNode>();
    char *record = QDV0_StrDup(piece);
    if (node == nullptr || record == nullptr) {
      QDV0_Free(node);
      QDV0_Free(record);
      break;
    }
    node->pText = record;
    node->Length = static_cast<int>(strlen(record));
    *tail = node;
    tail = &node->pNext;
    block->RecordCount++;
  }
  QDV0_Free(copy);
  anchor->pMemMetafile = block;
  QDVP_TRC(trk, TRK1_DETAIL, "In-memory metafile %d record(s)", block->RecordCount);
  return block;
}

void QDVP_ConstructMetaFileRecordBuffers(DPAB *anchor, MetaRecordRequest *request) {
  if (request == nullptr) return;
  request->RecordCount = 0;
  request->pHead = nullptr;
  int size = QDVP_MetaRecordSize();
  char *line = static_cast<char *>(QDV0_GetStorage(static_cast<size_t>(size)));
  if (line == nullptr) return;
  // Only local files are served: an in-memory text or a remote copy is nothing to pass on.
  void *handle = nullptr;
  if (request->pName != nullptr && request->pName[0] != '&') {
    handle = QDVP_OpenMetaFile(anchor, request->pName, 0);
    if (handle != nullptr && anchor != nullptr && handle == anchor->pMemMetafile) {
      QDVP_CloseMetaFile(anchor, handle);
      handle = nullptr;
    }
  }
  if (handle != nullptr) {
    FILE *f = static_cast<FILE *>(handle);
    MetaRecordNode **tail = &request->pHead;
    while (ReadStream(f, line, size) != nullptr) {
      if (strcmp(line, "\n") == 0) continue;
      size_t n = strlen(line);
      auto *node = static_cast<MetaRecordNode *>(QDV0_GetStorage(sizeof(MetaRecordNode) + n + 1));
      if (node == nullptr) break;
      node->pText = reinterpret_cast<char *>(node + 1);
      memcpy(node->pText, line, n + 1);
      node->Length = static_cast<int>(n);
      *tail = node;
      tail = &node->pNext;
      request->RecordCount++;
    }
    CloseStream(f);
  }
  QDV0_Free(line);
}

DPAB *QDVP_BeginStandAloneRun(const char *name) {
  if (name == nullptr || name[0] == '\0') {
    QDVP_DisplayValidationMessage(22, nullptr);
    fflush(stdout);
    return nullptr;
  }
  DPAB *anchor = QDVP_StartupInitialization();
  if (anchor == nullptr) {
    QDVP_DisplayValidationMessage(21, nullptr);
    fflush(stdout);
    return nullptr;
  }
  QDVP_SetupMainDPanchor(anchor);
  return anchor;
}

void QDVP_EndStandAloneRun(DPAB *anchor) {
  QDVP_ShutdownCleanUp(anchor, 1);
  QDVP_ReleaseGlobalResources(anchor);
}

int QDVP_ValidateMetaFile(const char *name) {
  g_lastValidationSucceeded = 0;
  DPAB *anchor = QDVP_BeginStandAloneRun(name);
  if (anchor == nullptr) return -1;
  ApplEntry *appl = QDVP_ConstructApplDataModel(anchor, name, 1, nullptr, nullptr, 0, 0);
  if (appl != nullptr) {
    QDVP_DisplayValidationMessage(0, nullptr);
    g_lastValidationSucceeded = 1;
    QDVP_ReportDataModel(appl);
  } else {
    QDVP_DisplayValidationMessage(88, nullptr);
  }
  QDVP_EndStandAloneRun(anchor);
  fflush(stdout);
  return 0;
}

int QDVP_LastValidationSucceeded(void) { return g_lastValidationSucceeded; }
