// Console commands: the command table and what each command does to the running data
// provider (list, show, check, import, refresh, delete and accept applications, shut down,
// report the console port and start time, the SNMP file reloads). The console service calls
// QDVP_ProcessConsoleCommand for one command at a time, in the data provider's main thread.
#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_console.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_services.h"
#include "../include/qdvp_snmp.h"
#include "../include/qdvp_stats.h"

static TRK1_BLOCK trk = {"qdvpccmd"};

namespace {

bool HasFileServer(const DPAB *anchor) {
  return anchor->DPtype == QDVP_TYPE_FILE || anchor->DPtype == QDVP_TYPE_ASFS;
}

// A reply text in new storage.
char *ReplyText(const char *text) { return QDV0_StrDup(text); }

// The application an operand names (see QDVP_LocateConsoleApplication).
ApplEntry *FindApplication(DPAB *anchor, const char *operand) {
  if (operand == nullptr || operand[0] == '\0') return nullptr;
  ApplEntry *appl = QDVP_CheckApplicationExistence(anchor, operand);
  if (appl == nullptr && !QDV0_IsThisFullyQualifiedName(operand)) {
    char *full = QDV0_ConstructFullyQualifiedName(anchor->pMetaPath, operand);
    if (full != nullptr) {
      appl = QDVP_CheckApplicationExistence(anchor, full);
      QDV0_Free(full);
    }
  }
  return appl;
}

// The application a metafile command may delete or load again: one read from a metafile.
// Built-in applications (the data provider log report) have no metafile and count as not
// defined for DELETE, REFRESH and ACCEPT.
ApplEntry *FindMetafileApplication(DPAB *anchor, const char *operand) {
  ApplEntry *appl = FindApplication(anchor, operand);
  return appl != nullptr && appl->pMetafileFullName != nullptr ? appl : nullptr;
}

SourceEntry *FirstSource(ApplEntry *appl) { return QDVP_FirstSourceOfApplication(appl); }

// Loads a metafile as IMPORT and REFRESH do; returns the result code. The caller decides
// whether the startup configuration changes.
int LoadMetafile(DPAB *anchor, const char *name, QDVP_TASK_ROUTINE fileServer) {
  int opened = 0;
  int alreadyDefined = 0;
  ApplEntry *appl = QDVP_ConstructApplDataModel(anchor, name, 0, &opened, &alreadyDefined, 0, 0);
  if (appl == nullptr) return opened ? QDVP_CON_META_ERROR : QDVP_CON_META_NOT_FOUND;
  if (alreadyDefined) return QDVP_CON_DEFINED;
  SourceEntry *first = FirstSource(appl);
  int state = first != nullptr ? first->State.load() : QDVP_NoState;
  if (appl->SNMPappl && state == QDVP_Initial && anchor->DPtype != QDVP_TYPE_SNMP) {
    return QDVP_CON_SNMP_APPL;
  }
  if (state == QDVP_Register) {
    QDVP_SendDPlogMessage(anchor, 12, appl->ApplName);
    return QDVP_CON_AGENT_KNOWS;
  }
  if (HasFileServer(anchor)) QDVP_CheckAndStartFileServer(anchor, fileServer);
  return QDVP_CON_OK;
}

int DoCheck(DPAB *anchor, const char *operand) {
  if (QDV0_QueryProductSpec(16) == nullptr) return QDVP_CON_PACKAGED;
  return FindApplication(anchor, operand) != nullptr ? QDVP_CON_DEFINED : QDVP_CON_NOT_DEFINED;
}

// The MIB collections of an SNMP application loaded again start again from the MIB interest
// file.
void RestartCollections(DPAB *anchor, ApplEntry *appl) {
  if (appl == nullptr || !appl->SNMPappl || anchor->DPtype != QDVP_TYPE_SNMP) return;
  std::string name = appl->ApplName;
  QDVP_MIBinterestApplicationLoaded(name.c_str());
  QDVP_DoAutoStartMIBmonitorTasks(anchor, name.c_str());
}

int DoDelete(DPAB *anchor, const char *operand) {
  QDVP_SendDPlogMessage(anchor, 6, operand ? operand : "");
  // The socket and API servers do not serve while the application goes away.
  OSV1_Guard select(&anchor->SelectLock);
  ApplEntry *appl = FindMetafileApplication(anchor, operand);
  if (appl == nullptr) {
    QDVP_SendDPlogMessage(anchor, 9, operand ? operand : "");
    return QDVP_CON_NOT_DEFINED;
  }
  char *fullName = QDV0_StrDup(appl->pMetafileFullName ? appl->pMetafileFullName : "");
  std::string snmpName = appl->SNMPappl ? appl->ApplName : "";
  QDVP_DeleteExistingApplication(anchor, appl);
  QDVP_RemoveMetafileFromStartUpConfig(anchor, fullName);
  QDV0_Free(fullName);
  // The operator no longer wants its collections: they leave the MIB interest file.
  if (!snmpName.empty() && anchor->DPtype == QDVP_TYPE_SNMP) {
    QDVP_MIBinterestApplicationDeleted(snmpName.c_str());
    QDVP_UpdateMIBinterestExt(anchor);
  }
  return QDVP_CON_OK;
}

int DoImport(DPAB *anchor, const char *operand, int hasRequester, QDVP_TASK_ROUTINE fileServer) {
  QDVP_SendDPlogMessage(anchor, hasRequester ? 11 : 27, operand ? operand : "");
  // The socket and API servers do not serve while the application is built and registered: a
  // partner bound to a source whose registration is in flight would make two requests of it.
  OSV1_Guard select(&anchor->SelectLock);
  int rc = LoadMetafile(anchor, operand, fileServer);
  if (rc == QDVP_CON_OK) QDVP_AppendMetafileToStartUpConfig(anchor, operand);
  if (rc == QDVP_CON_OK) RestartCollections(anchor, FindApplication(anchor, operand));
  return rc;
}

int DoRefresh(DPAB *anchor, const char *operand, int hasRequester, QDVP_TASK_ROUTINE fileServer) {
  QDVP_SendDPlogMessage(anchor, hasRequester ? 13 : 28, operand ? operand : "");
  OSV1_Guard select(&anchor->SelectLock);
  ApplEntry *appl = FindMetafileApplication(anchor, operand);
  if (appl == nullptr) return QDVP_CON_NOT_DEFINED;
  char *fullName = QDV0_StrDup(appl->pMetafileFullName ? appl->pMetafileFullName : "");
  if (fullName == nullptr) return QDVP_CON_META_NOT_FOUND;
  QDVP_DeleteExistingApplication(anchor, appl);
  int rc = LoadMetafile(anchor, fullName, fileServer);
  if (rc == QDVP_CON_OK) RestartCollections(anchor, FindApplication(anchor, fullName));
  QDV0_Free(fullName);
  return rc;
}

int DoShow(DPAB *anchor, const char *operand, char **reply, int *showReply) {
  ApplEntry *appl = FindApplication(anchor, operand);
  if (appl == nullptr) return QDVP_CON_NOT_DEFINED;
  *reply = QDVP_ConstructShowReply(appl);
  *showReply = *reply != nullptr;
  return QDVP_CON_OK;
}

// The upper-cased metafile name of every application read from a metafile, each followed by a
// blank.
int DoList(DPAB *anchor, char **reply) {
  int size = QDVP_CONSOLE_BUFFER_SIZE;
  char *text = static_cast<char *>(QDV0_GetStorage(static_cast<size_t>(size)));
  if (text == nullptr) return QDVP_CON_NO_APPL;
  size_t used = 0;
  int count = 0;
  {
    OSV1_Guard list(&anchor->ApplListLock);
    for (ApplEntry *a = anchor->pApplList; a != nullptr; a = a->pNext) {
      // Built-in applications have no metafile name and are not listed.
      if (a->pMetafileName == nullptr) continue;
      const char *name = a->pMetafileName;
      size_t n = strlen(name);
      if (used + n + 2 > static_cast<size_t>(size)) {
        int bigger = size + static_cast<int>(n) + QDVP_CONSOLE_BUFFER_SIZE;
        char *grown = static_cast<char *>(QDV0_GetStorage(static_cast<size_t>(bigger)));
        if (grown == nullptr) break;
        memcpy(grown, text, used);
        QDV0_Free(text);
        QDVP_TRC(trk, TRK1_DETAIL, "Console reply buffer size increased from %d to %d", size,
                 bigger);
        text = grown;
        size = bigger;
      }
      memcpy(text + used, name, n);
      used += n;
      text[used++] = ' ';
      count++;
    }
  }
  text[used] = '\0';
  QDV0_ConvertStringToUpper(text, 0);
  *reply = text;
  return count == 0 ? QDVP_CON_NO_APPL : QDVP_CON_OK;
}

int DoAccept(DPAB *anchor, const char *operand, QDVP_TASK_ROUTINE fileServer) {
  ApplEntry *appl = FindMetafileApplication(anchor, operand);
  if (appl == nullptr) return QDVP_CON_NOT_DEFINED;
  {
    OSV1_Guard name(&appl->NameLock);
    OSV1_Guard tables(&appl->TableListLock);
    for (TableEntry *t = appl->pTableList; t != nullptr; t = t->pNext) {
      OSV1_Guard sources(&t->SourceListLock);
      for (SourceEntry *s = t->pSourceList; s != nullptr; s = s->pNext) {
        if (s->State == QDVP_Register) QDVP_UpdateSourceEntryState(s, QDVP_Ready);
      }
    }
  }
  QDVP_ReleaseApplGroupHelp(appl);
  if (HasFileServer(anchor)) QDVP_CheckAndStartFileServer(anchor, fileServer);
  if (appl->SNMPappl) QDVP_SNMPapplOnline(anchor, appl);
  QDVP_SendDPlogMessage(anchor, 15, appl->ApplName);
  return QDVP_CON_OK;
}

// The SNMP configuration file reloads: the community and network name files are read anew (a
// missing file keeps what was loaded and fails the reload), and the managed node list is
// loaded from the named file.
int DoSNMPreload(DPAB *anchor, int code, const char *operand, QDVP_TASK_ROUTINE fileServer) {
  if (anchor->DPtype != QDVP_TYPE_SNMP) return QDVP_CON_NOT_SNMP;
  switch (code) {
    case QDVP_CMD_TRAPCNFG:
      // The file server routine of an SNMP data provider does nothing; the trap configuration
      // is read here.
      if (fileServer != nullptr) fileServer(nullptr);
      return QDVP_LoadTrapConfiguration(anchor);
    case QDVP_CMD_LOADCOMM:
      if (QDVP_LoadSNMPcommunityName() < 0) return QDVP_CON_UNAVAILABLE;
      QDVP_UpdateMonitorNodeCommunity(anchor);
      return QDVP_CON_OK;
    case QDVP_CMD_LOADNAME:
      return QDVP_LoadSNMPNetworkName() >= 0 ? QDVP_CON_OK : QDVP_CON_UNAVAILABLE;
    default:
      return QDVP_LoadSNMPManagedNodeList(anchor, operand) >= 0 ? QDVP_CON_OK
                                                                : QDVP_CON_LIST_NOT_LOADED;
  }
}

}  // namespace

ApplEntry *QDVP_LocateConsoleApplication(DPAB *anchor, const char *operand) {
  return FindApplication(anchor, operand);
}

char *QDVP_SplitConsoleBuffer(char *buffer, char **operand) {
  // Blanks, tabs and line ends all separate words, so that "list\n" from a line-oriented
  // tool is LIST.
  static const char kBlanks[] = " \t\r\n";
  char *position = nullptr;
  *operand = nullptr;
  if (buffer == nullptr) return nullptr;
  char *word = strtok_r(buffer, kBlanks, &position);
  if (word != nullptr) *operand = strtok_r(nullptr, kBlanks, &position);
  return word;
}

int QDVP_ValidateConsoleCommand(char *word) {
  if (word == nullptr) return QDVP_CMD_COUNT;
  QDV0_ConvertStringToUpper(word, 0);
  for (int code = 0; code < QDVP_CMD_COUNT; code++) {
    if (strcmp(word, ConCommandString[code]) == 0) return code;
  }
  return QDVP_CMD_COUNT;
}

int QDVP_ProcessConsoleCommand(DPAB *anchor, ConsoleBlock *area, int code, const char *operand,
                               int hasRequester, QDVP_TASK_ROUTINE fileServer, char **reply,
                               int *showReply) {
  *reply = nullptr;
  *showReply = 0;
  char text[64];
  switch (code) {
    case QDVP_CMD_GETPORT:
      if (anchor->DPtype == QDVP_TYPE_ASFS && !hasRequester) return QDVP_CON_NO_REPLY;
      snprintf(text, sizeof(text), "%d %d", anchor->DPtype, ntohs(area->Port));
      *reply = ReplyText(text);
      return QDVP_CON_OK;
    case QDVP_CMD_CHECK:
      return DoCheck(anchor, operand);
    case QDVP_CMD_DELETE:
      return DoDelete(anchor, operand);
    case QDVP_CMD_IMPORT:
      return DoImport(anchor, operand, hasRequester, fileServer);
    case QDVP_CMD_REFRESH:
      return DoRefresh(anchor, operand, hasRequester, fileServer);
    case QDVP_CMD_SHOW:
      return DoShow(anchor, operand, reply, showReply);
    case QDVP_CMD_LIST:
      return DoList(anchor, reply);
    case QDVP_CMD_SHUTDOWN:
      // The flag first, so that a task that looks only at the anchor ends as well.
      QDVP_SetAnchorFlag(anchor, &anchor->ShutdownRequested);
      QDVP_ShutdownCleanUp(anchor, 1);
      return QDVP_CON_OK;
    case QDVP_CMD_PING:
      if (anchor->DPtype == QDVP_TYPE_APIS || anchor->DPtype == QDVP_TYPE_ASFS) {
        snprintf(text, sizeof(text), "%ld", static_cast<long>(anchor->StartTime));
        *reply = ReplyText(text);
        return QDVP_CON_OK;
      }
      QDVP_TRC(trk, TRK1_DETAIL, "Non-API server, Ping command ignored");
      return QDVP_CON_NO_REPLY;
    case QDVP_CMD_ACCEPT:
      return DoAccept(anchor, operand, fileServer);
    case QDVP_CMD_TRAPCNFG:
    case QDVP_CMD_LOADCOMM:
    case QDVP_CMD_LOADNAME:
    case QDVP_CMD_LOADLIST:
      return DoSNMPreload(anchor, code, operand, fileServer);
    case QDVP_CMD_STATS: {
      char *stats = QDVP_FormatStatLog(anchor);
      if (stats == nullptr) return QDVP_CON_UNAVAILABLE;
      QDVP_SendDPlogMessage(anchor, 36, stats);
      *reply = stats;
      return QDVP_CON_OK;
    }
    case QDVP_CMD_SET:
    case QDVP_CMD_VALIDATE:
    case QDVP_CMD_UNPACK:
      return QDVP_CON_INVALID;
    default:
      return QDVP_CON_INVALID;
  }
}
