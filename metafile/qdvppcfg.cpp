// The startup configuration file (which metafiles a data provider loads, and its rewrite when
// the operator removes one), the automatic load of the metafile directory, the check whether
// an application is loaded, and the end of an application: deletion, release of all its
// storage, release of its group help texts.
#include <ctype.h>
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
#include "../include/qdvp.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_records.h"
#include "../include/qdvp_request.h"
#include "../include/qdvp_services.h"
#include "../include/qdvp_sockets.h"

static TRK1_BLOCK trk = {"qdvppcfg"};

// Guards every read and write of the configuration file.
// A leaf of the lock order (include/qdvp_anchor.h).
static OSV1_LOCK g_configLock QDVP_ACQUIRED_AFTER(DPAB::StateMutex) = OSV1_LOCK_INITIALIZER;
static int g_configLoaded QDVP_GUARDED_BY(g_configLock) = 0;

static const char kEmptyConfig[] = "* Omnivar Configuration file\n";

static std::string Upper(std::string text) {
  for (char &c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return text;
}

void QDVP_ResetStartUpConfigState(void) {
  OSV1_Guard lock(&g_configLock);
  g_configLoaded = 0;
}

int QDVP_ProcessStartUpConfig(DPAB *anchor) {
  QDVP_TRC_ENTRY(trk);
  int count = 0;
  int autoLoad = DPpgmStart ? 1 : 0;
  const char *path = anchor->pInitConfigFile ? anchor->pInitConfigFile : "";
  // The names are read under the file's lock and loaded after it: a load registers its
  // application with the agent, and no lock is held across that.
  std::vector<std::string> names;
  bool opened = false;
  {
    OSV1_Guard lock(&g_configLock);
    FILE *f = QDV0_OpenRegularFile(path);
    if (f == nullptr) {
      QDVP_TRC(trk, TRK1_DETAIL, "DP startup config file %s open failed. ErrorText <%s>", path,
               strerror(errno));
    } else {
      opened = true;
      char line[4096];
      while (fgets(line, sizeof(line), f) != nullptr) {
        if (line[0] == '*') continue;
        QDV0_RemoveCRandLF(line);
        char *position = nullptr;
        for (char *name = strtok_r(line, " \t", &position); name != nullptr;
             name = strtok_r(nullptr, " \t", &position)) {
          names.push_back(name);
        }
      }
      fclose(f);
    }
  }
  if (opened) {
    count = names.empty() ? -1 : 0;
    for (const std::string &name : names) {
      QDVP_TRC(trk, TRK1_DETAIL, "Loading metafile <%s> from startup config file %s", name.c_str(),
               path);
      count++;
      QDVP_ConstructApplDataModel(anchor, name.c_str(), 0, nullptr, nullptr, autoLoad, 0);
    }
    {
      OSV1_Guard lock(&g_configLock);
      g_configLoaded = 1;
    }
    QDVP_TRC(trk, TRK1_DETAIL, "%d application metafile(s) processed from startup config file %s",
             count < 0 ? 0 : count, path);
  }
  const char *packaged = QDV0_QueryProductSpec(19);
  if (QDV0_QueryProductSpec(0) != nullptr && packaged != nullptr) {
    std::string list = packaged;
    size_t start = 0;
    while (start <= list.size()) {
      size_t comma = list.find(',', start);
      std::string name =
          list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      if (!name.empty()) {
        QDVP_TRC(trk, TRK1_DETAIL, "Packaged Solution loading metafile <%s>", name.c_str());
        if (QDVP_ConstructApplDataModel(anchor, name.c_str(), 0, nullptr, nullptr, autoLoad, 0))
          count++;
      }
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  anchor->StartupConfigMark = 1;
  QDVP_TRC_EXIT(trk, count);
  return count;
}

static bool HasMdlExtension(const std::string &name) {
  size_t dot = name.rfind('.');
  return dot != std::string::npos && Upper(name.substr(dot + 1)) == "MDL";
}

// Without a metafile directory the current directory is listed, where a metafile may also be
// a name without extension that is not one of the product's own files.
static bool IsWorkingDirectoryMetafile(const std::string &name) {
  if (name.find('.') != std::string::npos) return HasMdlExtension(name);
  if (Upper(name).compare(0, 3, "QDV") == 0) return false;
  if (name.size() < 6) return true;
  std::string kind = name.substr(3, 3);
  return kind != "ATR" && kind != "CAT" && kind != "atr" && kind != "cat";
}

// The metafile names of a directory listing, in name order; the listing is closed. Only
// metafiles count: the reports and unpacked texts that validation and unpack write beside a
// metafile are not loaded, and the order does not depend on the file system's.
static std::vector<std::string> ListMetafiles(ZGLQ_DIR *dir,
                                              bool (*isMetafile)(const std::string &)) {
  std::vector<std::string> names;
  char entry[1024];
  while (zglqprdd(dir, entry, sizeof(entry)) == 0) {
    size_t n = strlen(entry);
    while (n > 0 && entry[n - 1] == ' ') entry[--n] = '\0';
    if (n > 0 && isMetafile(entry)) names.emplace_back(entry);
  }
  zglqpcld(dir);
  std::sort(names.begin(), names.end());
  return names;
}

void QDVP_DoApplicationAutoLoad(DPAB *anchor) {
  QDVP_TRC_ENTRY(trk);
  int rc = 0;
  if (anchor->pMetaPath != nullptr) {
    ZGLQ_DIR *dir = zglqpopd("QDVP_META_PATH", &rc);
    if (dir == nullptr) {
      QDVP_TRC(trk, TRK1_ERROR, "Metafile directory %s open failed. STC1 status %d",
               anchor->pMetaPath, rc);
      return;
    }
    for (const std::string &name : ListMetafiles(dir, HasMdlExtension)) {
      char *path = QDV0_ConstructFullyQualifiedName(anchor->pMetaPath, name.c_str());
      if (path == nullptr) continue;
      QDVP_ConstructApplDataModel(anchor, path, 0, nullptr, nullptr, 1, 0);
      QDV0_Free(path);
    }
    return;
  }
  char cwd[4096];
  if (getcwd(cwd, sizeof(cwd)) == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "*** No valid current directory. Exit");
    return;
  }
  setenv("QDVP_AUTOLOAD_CWD", cwd, 1);
  ZGLQ_DIR *dir = zglqpopd("QDVP_AUTOLOAD_CWD", &rc);
  if (dir == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "Metafile directory %s open failed. STC1 status %d", cwd, rc);
    return;
  }
  for (const std::string &name : ListMetafiles(dir, IsWorkingDirectoryMetafile))
    QDVP_ConstructApplDataModel(anchor, name.c_str(), 0, nullptr, nullptr, 1, 0);
}

int QDVP_AppendMetafileToStartUpConfig(DPAB *anchor, const char *metafileName) {
  OSV1_Guard lock(&g_configLock);
  if (!g_configLoaded) return 1;
  FILE *f = fopen(anchor->pInitConfigFile, "a");
  if (f == nullptr) return 0;
  QDVP_TRC(trk, TRK1_DETAIL, "Appending metafile %s to startup config file %s", metafileName,
           anchor->pInitConfigFile);
  fprintf(f, "%s\n", metafileName);
  fclose(f);
  return 1;
}

int QDVP_RemoveMetafileFromStartUpConfig(DPAB *anchor, const char *metafileName) {
  if (metafileName == nullptr || metafileName[0] == '\0') {
    QDVP_TRC(trk, TRK1_ERROR, "Unable to remove metafile. No metafile name parameter was provided");
    return 0;
  }
  OSV1_Guard lock(&g_configLock);
  if (!g_configLoaded) return 1;
  FILE *f = QDV0_OpenRegularFile(anchor->pInitConfigFile);
  if (f == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR,
             "Unable to remove metafile <%s>. Startup config file %s open failed. ErrorText <%s>",
             metafileName, anchor->pInitConfigFile, strerror(errno));
    return 0;
  }
  struct Item {
    std::string text;
    bool comment;
  };
  std::vector<Item> items;
  char line[4096];
  while (fgets(line, sizeof(line), f) != nullptr) {
    const char *p = line;
    while (*p == ' ') p++;
    if (*p == '\0' || strcmp(p, "\n") == 0 || strcmp(p, "\r\n") == 0) continue;
    if (*p == '*') {
      std::string text = p;
      if (text.back() != '\n' && text.back() != '\r') text += '\n';
      items.push_back({text, true});
      continue;
    }
    std::string rest = p;
    while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r')) rest.pop_back();
    char *position = nullptr;
    for (char *name = strtok_r(rest.data(), " \t", &position); name != nullptr;
         name = strtok_r(nullptr, " \t", &position)) {
      items.push_back({std::string(name) + "\n", false});
    }
  }
  fclose(f);
  std::string removal = Upper(metafileName);
  f = fopen(anchor->pInitConfigFile, "w");
  if (f == nullptr) return 0;
  bool written = false;
  for (const Item &item : items) {
    if (!item.comment) {
      std::string name = item.text.substr(0, item.text.size() - 1);
      std::string upper = Upper(name);
      if (!QDV0_IsThisFullyQualifiedName(name.c_str())) {
        char *full = QDV0_ConstructFullyQualifiedName(anchor->pMetaPath, name.c_str());
        if (full != nullptr) {
          upper = Upper(full);
          QDV0_Free(full);
        }
      }
      // Whole names only ("APP" is not "APP2.MDL"); the default extension may be on either side.
      if (upper == removal || upper == removal + ".MDL" || upper + ".MDL" == removal) {
        QDVP_TRC(trk, TRK1_DETAIL, "Removing metafile <%s> from startup config file %s",
                 name.c_str(), anchor->pInitConfigFile);
        continue;
      }
    }
    fputs(item.text.c_str(), f);
    written = true;
  }
  if (!written) fputs(kEmptyConfig, f);
  fclose(f);
  return 1;
}

ApplEntry *QDVP_CheckApplicationExistence(DPAB *anchor, const char *name) {
  if (anchor == nullptr || name == nullptr) return nullptr;
  std::string n = Upper(name);
  OSV1_Guard list(&anchor->ApplListLock);
  for (ApplEntry *a = anchor->pApplList; a != nullptr; a = a->pNext) {
    if (a->pMetafileName != nullptr && n == a->pMetafileName) return a;
  }
  if (n.find('.', 1) != std::string::npos) return nullptr;
  size_t skip = n.find_first_not_of("./");
  std::string bare = skip == std::string::npos ? "" : n.substr(skip);
  for (ApplEntry *a = anchor->pApplList; a != nullptr; a = a->pNext) {
    if (a->pMetafileName == nullptr) continue;
    std::string meta = a->pMetafileName;
    size_t s = meta.find_first_not_of("./");
    meta = s == std::string::npos ? "" : meta.substr(s);
    meta = meta.substr(0, meta.find('.'));
    if (meta == bare) return a;
  }
  for (ApplEntry *a = anchor->pApplList; a != nullptr; a = a->pNext) {
    if (Upper(a->ApplName) == n) return a;
  }
  return nullptr;
}

// Every source of an application, gathered under its locks.
static std::vector<SourceEntry *> SourcesOf(ApplEntry *application) {
  std::vector<SourceEntry *> sources;
  OSV1_Guard name(&application->NameLock);
  OSV1_Guard tables(&application->TableListLock);
  for (TableEntry *t = application->pTableList; t != nullptr; t = t->pNext) {
    OSV1_Guard list(&t->SourceListLock);
    for (SourceEntry *s = t->pSourceList; s != nullptr; s = s->pNext) sources.push_back(s);
  }
  return sources;
}

bool QDVP_ApplicationHeld(ApplEntry *application) {
  for (SourceEntry *s : SourcesOf(application)) {
    if (OSV1_HoldCount(&s->Holds) > 0) return true;
  }
  return false;
}

// The deletion follows the one lifetime rule: no new holds (every source is closed), the tasks
// holding a source are told to stop (a file server or SNMP collection ends, a socket partner's
// session ends, a client's pending take actions are answered), and the wait for the last of
// them has no time bound. It runs without the application's locks, which the tasks may need
// to finish; the socket and API servers are kept out by the caller's select lock.
void QDVP_DeleteExistingApplication(DPAB *anchor, ApplEntry *application) {
  if (anchor == nullptr || application == nullptr) return;
  QDVP_TRC(trk, TRK1_DETAIL, "Deleting ApplicationEntry object @%p",
           static_cast<void *>(application));
  std::vector<SourceEntry *> sources = SourcesOf(application), partnerSources;
  for (SourceEntry *s : sources) {
    OSV1_CloseHolds(&s->Holds);
    if (s->Kind == 'F') {
      // The source's task ends itself; its entry goes away with it. The signal wakes it
      // wherever it waits (for its file, for the next scan, for its registration). The server
      // forgets its entry here under the source's lock, so an entry seen under it still lives.
      OSV1_Guard hold(&s->SourceLock);
      ProcessEntry *pe = s->pPE.load();
      if (pe != nullptr) {
        pe->Terminate.store(1);
        QDVP_SignalTaskIO(pe);
      }
    } else if ((s->Kind == 'S' || s->Kind == 'B') && s->pIOE != nullptr) {
      partnerSources.push_back(s);
    }
  }
  // A socket partner's session ends and its source goes offline; the socket server, which the
  // caller's select lock holds in its wait, then waits on the sockets that are left. A worker
  // waiting for a client's result on one of them is answered.
  for (SourceEntry *s : partnerSources) {
    QDVP_AbandonActionRequests(anchor, s);
    QDVP_EndSocketPartner(anchor, s, nullptr);
  }
  if (!partnerSources.empty()) QDVP_SendSelectInterrupt(anchor->DPtype, SelectDeleteMsg);
  // The SNMP tables' polling tasks are told to end.
  if (application->SNMPappl) QDVP_SNMPstopApplicationMonitors(application);
  for (SourceEntry *s : sources) OSV1_AwaitLetGo(&s->Holds, s->pSourceName);
  QDVP_TRC(trk, TRK1_DETAIL, "No task holds a source of ApplicationEntry object @%p",
           static_cast<void *>(application));
  // The routing blocks let go of the tables; their locks come before the application's (a
  // routed record holds its block's lock while its input source makes its request).
  std::vector<TableEntry *> tables;
  {
    OSV1_Guard name(&application->NameLock);
    OSV1_Guard list(&application->TableListLock);
    for (TableEntry *t = application->pTableList; t != nullptr; t = t->pNext) tables.push_back(t);
  }
  for (TableEntry *t : tables) QDVP_RemoveTableFromIRB(anchor, t);
  if (application->SNMPappl) QDVP_SNMPapplOffline(anchor, application);
  QDVP_SendDPlogMessage(anchor, 10, application->ApplName);
  QDVP_ReleaseApplResources(anchor, application, 0);
}

// Frees one source with everything it owns, once nobody holds it. A source of a deleted
// application was waited for already (the wait here then returns at once); a source of its
// own (a session's, a reply source) is waited for here.
void QDVP_ReleaseSourceEntry(DPAB *anchor, SourceEntry *s) {
  OSV1_AwaitLetGo(&s->Holds, s->pSourceName);
  QDVP_ReleaseSourceRecordData(s);
  {
    OSV1_Guard attrs(&s->AttrLock);
    QDVP_ReleaseAttributeList(s->pAttrList);
    s->pAttrList = s->pOrderList = nullptr;
    QDV0_Free(s->pDelimiter);
    QDV0_Free(s->pSourceNodeName);
  }
  QDVP_ReleaseIOResources(anchor, s->pIOE);
  QDV0_Free(s->pSourceName);
  QDV0_Free(s->pLUname);
  {
    OSV1_Guard first(&s->SourceLock);
    QDVP_ReleaseSummaryManagementBlock(s->pSMB);
    s->pSMB = nullptr;
  }
  QDVP_ReleaseFileSpecControl(s->pFileSpec);
  QDVP_ReleaseSourceLinkState(anchor, s);
  OSV1_DestroyLock(&s->SourceLock);
  OSV1_DestroyLock(&s->AttrLock);
  OSV1_DestroyLock(&s->CopyLock);
  OSV1_DestroyLock(&s->EntryLock);
  OSV1_DestroyLock(&s->RequestMutex);
  QDV0_Free(s);
}

void QDVP_ReleaseApplResources(DPAB *anchor, ApplEntry *appl, int noUnregister) {
  if (appl == nullptr) return;
  QDVP_TRC_ENTRY(trk);
  if (anchor != nullptr) {
    OSV1_Guard list(&anchor->ApplListLock);
    ApplEntry *previous = nullptr;
    for (ApplEntry *a = anchor->pApplList; a != nullptr; previous = a, a = a->pNext) {
      if (a != appl) continue;
      if (previous == nullptr) {
        anchor->pApplList = a->pNext;
      } else {
        OSV1_Guard name(&previous->NameLock);
        previous->pNext = a->pNext;
      }
      break;
    }
  }
  QDV0_Free(appl->pMetafileFullName);
  QDV0_Free(appl->pEnterpriseName);
  QDV0_Free(appl->pEnterpriseOID);
  QDV0_Free(appl->pApplHelp);
  SourceEntry *first = QDVP_FirstSourceOfApplication(appl);
  if (!noUnregister && anchor != nullptr && first != nullptr) {
    DCHresult gone =
        QDVP_Request(anchor, first, QDVP_VERB_UNREGISTER, QDVP_LocateOwnProcessEntry(anchor));
    if (!gone.Delivered()) {
      // The application goes all the same: the agent forgets it with the connection.
      QDVP_TRC(trk, TRK1_ERROR, "*** dp_unregister failed for <%s> [%s %d]", appl->ApplName,
               QDVP_OutcomeName(gone.outcome), gone.status);
    }
  }
  // The tables are unchained under the application's locks and freed after them: a routing
  // block's lock, taken to let go of a table, comes before the application's.
  TableEntry *tables;
  {
    OSV1_Guard name(&appl->NameLock);
    OSV1_Guard list(&appl->TableListLock);
    QDV0_Free(appl->pMetafileName);
    tables = appl->pTableList;
    appl->pTableList = nullptr;
  }
  while (tables != nullptr) {
    TableEntry *t = tables;
    tables = t->pNext;
    {
      OSV1_Guard sources(&t->SourceListLock);
      while (t->pSourceList != nullptr) {
        SourceEntry *s = t->pSourceList;
        t->pSourceList = s->pNext;
        QDVP_ReleaseSourceEntry(anchor, s);
      }
    }
    if (anchor != nullptr) QDVP_RemoveTableFromIRB(anchor, t);
    QDV0_Free(t->pRecordSetRule);
    QDV0_Free(t->pRecordSetDelimiter);
    QDV0_Free(t->pConfirmData);
    QDV0_Free(t->pModuleName);
    QDVP_ReleaseSummaryManagementBlock(t->pSMB);
    QDVP_ReleaseOMB(anchor, t->pOMB);
    QDV0_Free(t->pGroupHelp);
    OSV1_DestroyLock(&t->SourceListLock);
    OSV1_DestroyLock(&t->TableLock);
    QDV0_Free(t);
  }
  QDVP_CloseBatchOutputFile(appl);
  QDV0_Free(appl->pBatchFileName);
  OSV1_DestroyLock(&appl->TableListLock);
  OSV1_DestroyLock(&appl->NameLock);
  QDV0_Free(appl);
  QDVP_TRC_EXIT(trk, 0);
}

void QDVP_ReleaseApplGroupHelp(ApplEntry *application) {
  if (application == nullptr) return;
  OSV1_Guard name(&application->NameLock);
  OSV1_Guard tables(&application->TableListLock);
  for (TableEntry *t = application->pTableList; t != nullptr; t = t->pNext) {
    {
      OSV1_Guard sources(&t->SourceListLock);
      for (SourceEntry *s = t->pSourceList; s != nullptr; s = s->pNext) {
        OSV1_Guard attrs(&s->AttrLock);
        for (AttrEntry *a = s->pAttrList; a != nullptr; a = a->pNext) a->pHelp = nullptr;
      }
    }
    t->pTableHelp = nullptr;
    QDV0_Free(t->pGroupHelp);
  }
  QDV0_Free(application->pApplHelp);
}
