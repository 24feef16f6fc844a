// What is kept of each take action: its row of the ACTION table of the DP log report, sent to
// the agent, and its line in the action log file (QDVP_ACTION_LOG_FILENAME).
//
// The ACTION table has one source, and a source has one request to the agent at a time, so
// the tasks that finish actions take turns here. The action log is kept to about a megabyte:
// beyond that it is renamed with ".1" (the previous ".1" is dropped) and begun again, so that
// a busy host's disk does not fill with it. Its texts are escaped (QDV0_AppendLogText), so
// that one action is always one line.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <string>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_actions.h"
#include "../include/qdvp_records.h"
#include "../include/qdvp_request.h"

static TRK1_BLOCK trk = {"qdvpalog"};

namespace {

// The ACTION rows' producers take turns here, each for its row's whole request (rank 8 of the
// order, include/qdvp_anchor.h).
OSV1_LOCK sOutcomeLock QDVP_ACQUIRED_AFTER(DPAB::ObjectUpdateLock)
    QDVP_ACQUIRED_BEFORE(DPAB::StatLock) = OSV1_LOCK_INITIALIZER;
constexpr long kActionLogLimit = 1024 * 1024;

const char *Text(const char *text) { return text != nullptr ? text : ""; }

const char *TypeName(int32_t type) {
  return type >= 0 && type <= 4 ? AutoTypeString[type] : AutoTypeString[4];
}

// Loads each ACTION attribute from the entry.
void FillRow(SourceEntry *source, const ActionEntry *entry) QDVP_REQUIRES(source->AttrLock) {
  char status[16], id[16];
  snprintf(status, sizeof(status), "%d", entry->Status);
  snprintf(id, sizeof(id), "%u", entry->ID & 0x7fffffffu);
  for (AttrEntry *a = source->pAttrList; a != nullptr; a = a->pNext) {
    const char *value = nullptr;
    if (strcmp(a->Name, "Action_Type") == 0)
      value = TypeName(entry->Type);
    else if (strcmp(a->Name, "Action_Owner") == 0)
      value = Text(entry->pOwner);
    else if (strcmp(a->Name, "Action_Node") == 0)
      value = Text(entry->pSourceNodeName);
    else if (strcmp(a->Name, "Action_Name") == 0)
      value = Text(entry->pName);
    else if (strcmp(a->Name, "Action_Parms") == 0)
      value = Text(entry->pParm);
    else if (strcmp(a->Name, "Action_Status") == 0)
      value = status;
    else if (strcmp(a->Name, "Action_Result") == 0)
      value = Text(entry->pResult);
    else if (strcmp(a->Name, "Action_ID") == 0)
      value = id;
    if (value == nullptr) continue;
    size_t n = strlen(value);
    if (n > static_cast<size_t>(a->MaxValSize) && a->Type == 'D') n = a->MaxValSize;
    LoadAttrBucket(a, const_cast<char *>(value), static_cast<int>(n));
  }
}

void SendRow(DPAB *anchor, ProcessEntry *requester, ActionEntry *entry) {
  SourceEntry *source = anchor->pActionSource;
  SourceEntry *log = anchor->pDPlogSource;
  if (source == nullptr || anchor->StandAlone) return;
  // Whether the table is online decides whether it must be brought online first; its rows'
  // outcomes never take it offline.
  if (source->State != QDVP_Active) {
    bool online = false;
    if (log != nullptr && log->State == QDVP_Active) {
      // Registered late (the agent deferred the report): the table comes online with its row.
      QDVP_UpdateSourceEntryState(source, QDVP_Ready);
      online = QDVP_Request(anchor, source, QDVP_VERB_ONLINE, requester).Delivered();
    }
    if (!online) {
      QDVP_TRC(trk, TRK1_DETAIL, ">>> ACTION row of action %u discarded, table not online",
               entry->ID);
      return;
    }
  }
  {
    OSV1_Guard attrs(&source->AttrLock);
    OSV1_Guard hold(&entry->Lock);
    FillRow(source, entry);
  }
  DCHresult sent = QDVP_Request(anchor, source, QDVP_VERB_DATA, requester);
  if (!sent.Delivered()) {
    QDVP_TRC(trk, TRK1_ERROR, "*** dp_data failed for the ACTION row of action %u [%s %d]",
             entry->ID, QDVP_OutcomeName(sent.outcome), sent.status);
    // The row alone was lost (the agent link told the operator): the table stays online at
    // the agent for the next action's row.
  }
}

// One line: time, ID, type, owner, node, status, command and parameter, result.
void WriteLogLine(DPAB *anchor, const ActionEntry *entry) {
  const char *name = anchor->pActionLogFile;
  if (name == nullptr || name[0] == '\0') return;
  struct stat info;
  if (stat(name, &info) == 0 && info.st_size > kActionLogLimit) {
    std::string old = std::string(name) + ".1";
    rename(name, old.c_str());
  }
  FILE *file = fopen(name, "a");
  if (file == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "***** Action log %s cannot be opened", name);
    return;
  }
  time_t now = QDV0_Time();
  struct tm local;
  localtime_r(&now, &local);
  char stamp[32];
  strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
  // Every text came from the agent or from an API client: escaped, none can end the line.
  fprintf(file, "%s %u %s owner [%s] node [%s] status %d command [%s] parameter [%s] result [%s]\n",
          stamp, entry->ID, TypeName(entry->Type), QDV0_EscapeLogText(entry->pOwner).c_str(),
          QDV0_EscapeLogText(entry->pSourceNodeName).c_str(), entry->Status,
          QDV0_EscapeLogText(entry->pName).c_str(),
          entry->pParm != nullptr ? QDV0_EscapeLogText(entry->pParm).c_str() : "NONE",
          QDV0_EscapeLogText(entry->pResult).c_str());
  fclose(file);
}

}  // namespace

// The entry's lock is held while its texts are read, never across the row's request: the DCH
// client takes it under a source's entry lock to send the action's reply.
void QDVP_RecordActionOutcome(DPAB *anchor, ProcessEntry *requester, ActionEntry *entry) {
  OSV1_Guard turn(&sOutcomeLock);
  {
    OSV1_Guard hold(&entry->Lock);
    WriteLogLine(anchor, entry);
  }
  SendRow(anchor, requester, entry);
}
