// No-data status of an SNMP data provider: which tables of which agents return nothing.
//
// The MIB collection reports each change of a table at an agent (fell silent, has data again)
// into a sorted array of 160-byte entries; every report interval the periodic scan folds them
// into one list of silent tables per agent and sends every agent's list as rows of the built-in
// table NODATA (application SNMP-MANAGER), one sample set per report: the first row marked as
// the start, the last as the end. An agent keeps its entry when its list empties, so the
// agent sees the tables come back.
//
// NoDataQueueLock guards the array (collection tasks add, the scan folds); NoDataStatusUpdateLock
// guards the agent list (the scan folds and sends). Neither is held while the other is taken.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_agentlink.h"
#include "../include/qdvp_dplog.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_records.h"
#include "../include/qdvp_request.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvpndsr"};

enum {
  NoDataEntrySize = 160,
  NoDataKeySize = 128,
  NoDataNameSize = 64,
  NoDataTableSize = 32,
  NoDataListSize = 4096,
  NoDataGrowth = 50,
  NoDataNamesPerRow = 6,
};

// One reported change: agent (0-63), identification (64-127), then "+" when the table has data
// again, the table name and NUL. Blank-padded, so that it compares as one string.
struct NoDataEntry {
  char Text[NoDataEntrySize];
};

// One agent's current list of silent tables.
struct NoDataAgentStatus {
  NoDataAgentStatus *pNext;
  char Key[NoDataKeySize + 1];
  std::string TableList;
};

namespace {

// The no-data report's locks (rank 8 of the order, include/qdvp_anchor.h): the queue of changes
// under NoDataQueueLock, the agents' status under NoDataStatusUpdateLock.
OSV1_LOCK NoDataQueueLock QDVP_ACQUIRED_AFTER(DPAB::ObjectUpdateLock)
    QDVP_ACQUIRED_BEFORE(DPAB::StatLock) = OSV1_LOCK_INITIALIZER;
OSV1_LOCK NoDataStatusUpdateLock QDVP_ACQUIRED_AFTER(NoDataQueueLock)
    QDVP_ACQUIRED_BEFORE(DPAB::StatLock) = OSV1_LOCK_INITIALIZER;
std::vector<NoDataEntry> NoDataStatusArray QDVP_GUARDED_BY(NoDataQueueLock);
size_t NoDataArraySize QDVP_GUARDED_BY(NoDataQueueLock) = 0;
size_t TotalNoDataArrayLength QDVP_GUARDED_BY(NoDataQueueLock) = 0;
size_t NextNoDataArrayIndex QDVP_GUARDED_BY(NoDataQueueLock) = 0;
bool NoDataArrayLockInitialized QDVP_GUARDED_BY(NoDataQueueLock) = false;  // the first change
std::string MyOwnDomainName;
NoDataAgentStatus *NDAS QDVP_GUARDED_BY(NoDataStatusUpdateLock) = nullptr;

const BuiltInAttribute kNoDataAttrs[] = {
    {"Agent_Node", "D", "64", "Node name of the SNMP agent"},
    {"Agent_Identification", "D", "64", "MIB application whose tables are listed"},
    {"No_Data_Tables", "D", "256", "Tables of the MIB that returned no data, up to six a row"},
};

const BuiltInAttribute kMIBstatusAttrs[] = {
    {"Enterprise", "D", "64", "MIB application of the collection"},
    {"Attribute_Group", "D", "64", "Table that is polled"},
    {"Monitor_Agent_Info", "D", "1024", "Agents polled, with their communities"},
    {"Monitor_Interval", "C", "2147483647", "Seconds between two polls; 0 once stopped"},
    {"Last_Sample_TimeStamp", "D", "32", "End of the last completed poll"},
};
SourceEntry *sMIBstatusSource = nullptr;
// One row at a time: the values are set and sent under it (rank 8 of the order).
OSV1_LOCK sMIBstatusLock QDVP_ACQUIRED_AFTER(DPAB::ObjectUpdateLock)
    QDVP_ACQUIRED_BEFORE(DPAB::StatLock) = OSV1_LOCK_INITIALIZER;

// The no-data source of the data provider (one per process), set once it is registered.
SourceEntry *sNoDataSource = nullptr;
DPAB *sNoDataAnchor = nullptr;

// Copies text into field blank-padded to size bytes.
void Pad(char *field, const char *text, size_t size) {
  size_t n = strnlen(text, size);
  memcpy(field, text, n);
  memset(field + n, ' ', size - n);
}

void SetValue(AttrEntry *a, const char *text, size_t length) {
  if (a == nullptr) return;
  if (length > static_cast<size_t>(a->MaxValSize)) length = static_cast<size_t>(a->MaxValSize);
  memcpy(a->Value, text, length);
  a->ActualValSize = static_cast<int>(length);
}

// The names of a list ("A,  B,  "), each without its comma or blanks.
std::vector<std::string> Names(const std::string &list) {
  std::vector<std::string> names;
  size_t at = 0;
  while (at < list.size()) {
    size_t comma = list.find(',', at);
    std::string name = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    at = comma == std::string::npos ? list.size() : comma + 1;
    size_t first = name.find_first_not_of(' ');
    if (first == std::string::npos) continue;
    name = name.substr(first, name.find_last_not_of(' ') - first + 1);
    names.push_back(name);
  }
  return names;
}

std::string Join(const std::vector<std::string> &names) {
  std::string list;
  for (const std::string &n : names) list += n + ",  ";
  return list;
}

}  // namespace

namespace {

// Room for 50 more entries.
void GrowArray() QDVP_REQUIRES(NoDataQueueLock) {
  size_t before = NoDataArraySize;
  NoDataEntry blank;
  memset(blank.Text, ' ', sizeof(blank.Text));
  NoDataStatusArray.resize(before + NoDataGrowth, blank);
  NoDataArraySize = NoDataStatusArray.size();
  QDVP_TRC(trk, TRK1_DETAIL, "Allocating new NoData status array size %d -> %d Length %d -> %d",
           static_cast<int>(before), static_cast<int>(NoDataArraySize),
           static_cast<int>(TotalNoDataArrayLength),
           static_cast<int>(NoDataArraySize * NoDataEntrySize));
  TotalNoDataArrayLength = NoDataArraySize * NoDataEntrySize;
}

// Of several changes of one table at one agent in an interval only the last counts (silent,
// then data again, is data again): sorting would otherwise put the "+" first and let the
// older change win.
void KeepLatestChanges() QDVP_REQUIRES(NoDataQueueLock) {
  std::vector<std::string> seen;
  size_t kept = NextNoDataArrayIndex;
  std::vector<bool> keep(NextNoDataArrayIndex, true);
  for (size_t i = NextNoDataArrayIndex; i-- > 0;) {
    const char *text = NoDataStatusArray[i].Text;
    const char *table = text + NoDataKeySize;
    std::string id = std::string(text, NoDataKeySize) + (table[0] == '+' ? table + 1 : table);
    bool known = false;
    for (const std::string &s : seen) known = known || s == id;
    if (known) {
      keep[i] = false;
      kept--;
    } else {
      seen.push_back(id);
    }
  }
  size_t to = 0;
  for (size_t i = 0; i < NextNoDataArrayIndex; i++) {
    if (keep[i]) NoDataStatusArray[to++] = NoDataStatusArray[i];
  }
  NextNoDataArrayIndex = kept;
}

}  // namespace

void QDVP_AllocateNoDataStatusArray() {
  OSV1_Guard queue(&NoDataQueueLock);
  GrowArray();
}

void QDVP_EnqueueNoDataStatus(const char *agentName, const char *identification,
                              const char *tableName, int hasDataAgain) {
  {
    OSV1_Guard queue(&NoDataQueueLock);
    if (!NoDataArrayLockInitialized) {
      NoDataArrayLockInitialized = true;
      const char *domain = QDV0_GetLocalDomainName();
      MyOwnDomainName = domain != nullptr ? domain : "";
    }
  }
  if (agentName == nullptr || identification == nullptr || tableName == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "*****Error: input incomplete @%p @%p @%p",
             static_cast<const void *>(agentName), static_cast<const void *>(identification),
             static_cast<const void *>(tableName));
    return;
  }
  std::string agent = agentName;
  if (!MyOwnDomainName.empty()) {
    size_t at = agent.find(MyOwnDomainName);
    if (at != std::string::npos && at > 0 && agent[at - 1] == '.') agent.resize(at - 1);
  }
  OSV1_Guard queue(&NoDataQueueLock);
  if (NextNoDataArrayIndex >= NoDataArraySize) GrowArray();
  NoDataEntry &e = NoDataStatusArray[NextNoDataArrayIndex];
  Pad(e.Text, agent.c_str(), NoDataNameSize);
  Pad(e.Text + NoDataNameSize, identification, NoDataNameSize);
  char *tail = e.Text + NoDataKeySize;
  size_t room = NoDataTableSize;
  if (hasDataAgain) {
    *tail++ = '+';
    room--;
  }
  size_t n = strnlen(tableName, room);
  memcpy(tail, tableName, n);
  tail[n] = '\0';
  QDVP_TRC(trk, TRK1_DETAIL, "No data status {%s} NextNoDataArrayIndex %d", e.Text,
           static_cast<int>(NextNoDataArrayIndex));
  NextNoDataArrayIndex++;
}

// Folds one list into an agent's entry: "+" names leave its list, others join it once.
void QDVP_UpdateAgentNoDataStatus(const char *agentKey, const char *tableList) {
  OSV1_Guard update(&NoDataStatusUpdateLock);
  NoDataAgentStatus **tail = &NDAS, *agent = nullptr;
  for (; *tail != nullptr; tail = &(*tail)->pNext) {
    if (memcmp((*tail)->Key, agentKey, NoDataKeySize) == 0) agent = *tail;
  }
  if (agent == nullptr) {
    agent = new NoDataAgentStatus{nullptr, {}, std::string()};
    memcpy(agent->Key, agentKey, NoDataKeySize);
    agent->Key[NoDataKeySize] = '\0';
    *tail = agent;
  }
  std::vector<std::string> current = Names(agent->TableList);
  for (const std::string &element : Names(tableList)) {
    if (element[0] == '+') {
      std::string name = element.substr(1);
      for (size_t i = 0; i < current.size(); i++) {
        if (current[i] == name) {
          current.erase(current.begin() + static_cast<long>(i));
          break;
        }
      }
    } else {
      bool known = false;
      for (const std::string &c : current) known = known || c == element;
      if (!known) current.push_back(element);
    }
  }
  agent->TableList = Join(current);
}

// Sends one agent's list as rows of six names at most. rowFlag: -1 first agent of the report, 1
// the last, 0 any other.
void QDVP_OutputNoDataStatusToDCH(DPAB *anchor, const char *agentKey, const char *tableList,
                                  int rowFlag, int *rowCount) {
  SourceEntry *source = sNoDataSource;
  if (source == nullptr) return;
  // The only agent of a report (the last, with nothing sent before it) also starts the set.
  source->DataSequence =
      rowFlag < 0 || (rowFlag == 1 && *rowCount == 0) ? QDVP_SEQ_FIRST : QDVP_SEQ_MIDDLE;
  if (source->State != QDVP_Active) {
    QDVP_TRC(trk, TRK1_DETAIL, ">>> NoData status discarded. DCH communication not ready or busy");
    return;
  }
  std::vector<std::string> names = Names(tableList), rows;
  for (size_t i = 0; i < names.size(); i += NoDataNamesPerRow) {
    std::string row;
    for (size_t j = i; j < names.size() && j < i + NoDataNamesPerRow; j++) {
      row += (row.empty() ? "" : ", ") + names[j];
    }
    rows.push_back(row);
  }
  if (rows.empty()) rows.push_back(std::string());  // an agent whose tables all came back
  for (size_t r = 0; r < rows.size(); r++) {
    {
      OSV1_Guard attrs(&source->AttrLock);
      AttrEntry *node = source->pAttrList;
      AttrEntry *ident = node != nullptr ? node->pNext : nullptr;
      AttrEntry *list = ident != nullptr ? ident->pNext : nullptr;
      std::string key(agentKey, NoDataKeySize);
      auto trimmed = [](std::string s) {
        while (!s.empty() && s.back() == ' ') s.pop_back();
        return s;
      };
      std::string agent = trimmed(key.substr(0, NoDataNameSize));
      std::string id = trimmed(key.substr(NoDataNameSize, NoDataNameSize));
      SetValue(node, agent.c_str(), agent.size());
      SetValue(ident, id.c_str(), id.size());
      SetValue(list, rows[r].c_str(), rows[r].size());
    }
    if (rowFlag == 1 && r + 1 == rows.size()) {
      source->DataSequence = source->DataSequence == QDVP_SEQ_FIRST ? QDVP_SEQ_ONLY : QDVP_SEQ_LAST;
    }
    QDVP_TRC(trk, TRK1_DETAIL, "Sample set control %d", source->DataSequence);
    DCHresult sent = QDVP_Request(anchor, source, QDVP_VERB_DATA, nullptr);
    if (!sent.Delivered()) {
      // The row alone is lost (the agent link told the operator); the report goes on.
      QDVP_TRC(trk, TRK1_ERROR, "*** no-data status row not taken [%s %d]",
               QDVP_OutcomeName(sent.outcome), sent.status);
    }
    if (source->DataSequence == QDVP_SEQ_FIRST) source->DataSequence = QDVP_SEQ_MIDDLE;
    (*rowCount)++;
  }
}

void QDVP_DoNoDataStatusReport(DPAB *anchor) {
  if (sNoDataSource == nullptr || sNoDataAnchor != anchor) return;
  // Registered late (the agent was not there at start-up), or its last online failed (Ready):
  // online now.
  if (sNoDataSource->State == QDVP_Ready) {
    DCHresult online = QDVP_Request(anchor, sNoDataSource, QDVP_VERB_ONLINE, nullptr);
    if (!online.Delivered()) {
      QDVP_TRC(trk, TRK1_ERROR, "*** dp_online failed for the no-data report [%s %d]",
               QDVP_OutcomeName(online.outcome), online.status);
    }
  }
  {
    OSV1_Guard queue(&NoDataQueueLock);
    if (!NoDataArrayLockInitialized) return;
    if (NextNoDataArrayIndex > 0) {
      KeepLatestChanges();
      qsort(NoDataStatusArray.data(), NextNoDataArrayIndex, sizeof(NoDataEntry), StandardCompare);
      std::string list;
      const NoDataEntry *group = &NoDataStatusArray[0];
      for (size_t i = 0; i < NextNoDataArrayIndex; i++) {
        const NoDataEntry &e = NoDataStatusArray[i];
        if (i > 0 && strcmp(e.Text, NoDataStatusArray[i - 1].Text) == 0) continue;
        const char *table = e.Text + NoDataKeySize;
        bool sameAgent = memcmp(e.Text, group->Text, NoDataKeySize) == 0;
        if (i > 0 && sameAgent && table[0] != '+') {
          if (list.size() + strlen(table) + 3 > NoDataListSize) {
            QDVP_TRC(trk, TRK1_ERROR,
                     "*****Error: Not writing NextNoDataElement, length %d CompareLength %d "
                     "offset %d exceeds max table size %d <%s>",
                     static_cast<int>(list.size()), NoDataKeySize, static_cast<int>(i),
                     NoDataListSize, e.Text);
            break;
          }
          list += std::string(table) + ",  ";
          continue;
        }
        if (!list.empty()) QDVP_UpdateAgentNoDataStatus(group->Text, list.c_str());
        group = &e;
        list = std::string(table) + ",  ";
        if (table[0] == '+') {
          QDVP_UpdateAgentNoDataStatus(group->Text, list.c_str());
          list.clear();
        }
      }
      if (!list.empty()) QDVP_UpdateAgentNoDataStatus(group->Text, list.c_str());
      NoDataEntry blank;
      memset(blank.Text, ' ', sizeof(blank.Text));
      std::fill(NoDataStatusArray.begin(), NoDataStatusArray.end(), blank);
      NextNoDataArrayIndex = 0;
    }
  }
  // Sent from copies, so that the update lock is not held across the agent link.
  std::vector<std::pair<std::string, std::string>> agents;
  {
    OSV1_Guard update(&NoDataStatusUpdateLock);
    for (NoDataAgentStatus *a = NDAS; a != nullptr; a = a->pNext) {
      agents.emplace_back(std::string(a->Key, NoDataKeySize), a->TableList);
    }
  }
  int rows = 0;
  for (size_t i = 0; i < agents.size(); i++) {
    int flag = i + 1 == agents.size() ? 1 : (i == 0 ? -1 : 0);
    QDVP_OutputNoDataStatusToDCH(anchor, agents[i].first.c_str(), agents[i].second.c_str(), flag,
                                 &rows);
  }
  QDVP_TRC(trk, TRK1_DETAIL, "Total %d rows of MIB NoData status record(s) emitted to DCH", rows);
}

void QDVP_ReleaseNoDataStatusArray() {
  {
    OSV1_Guard queue(&NoDataQueueLock);
    QDVP_TRC(trk, TRK1_DETAIL, "Freeing NoData status array @%p",
             static_cast<void *>(NoDataStatusArray.data()));
    NoDataStatusArray.clear();
    NoDataStatusArray.shrink_to_fit();
    NoDataArraySize = TotalNoDataArrayLength = NextNoDataArrayIndex = 0;
  }
  OSV1_Guard update(&NoDataStatusUpdateLock);
  while (NDAS != nullptr) {
    NoDataAgentStatus *next = NDAS->pNext;
    QDVP_TRC(trk, TRK1_DETAIL, "Freeing NoDataAgentStatusEntry @%p", static_cast<void *>(NDAS));
    delete NDAS;
    NDAS = next;
  }
}

// The built-in application of an SNMP data provider that carries the no-data rows: registered
// and brought online at start-up like the DP log report. Rows are kept by the agent for three
// report intervals, so that a report that is late does not empty the table.
void QDVP_DefineNoDataReport(DPAB *anchor) {
  ApplEntry *appl = QDVP_InitializeApplicationEntry(
      anchor, "SNMP-MANAGER", 1, "SNMP MIB collection status of the QDV data provider.");
  if (appl == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR,
             "*** Failed to initialize ApplicationEntry control block for Application <%s>",
             "SNMP-MANAGER");
    return;
  }
  char ttl[16], node[128];
  snprintf(ttl, sizeof(ttl), "%d", 3 * QDVP_NoDataReportInterval());
  snprintf(node, sizeof(node), "%sSNMPdp", QDV0_LocalHostNameString());
  SourceEntry *source = QDVP_DefineBuiltInTable(
      anchor, appl, "NODATA", "K", ttl, "One row per SNMP agent, its tables without data",
      kNoDataAttrs, static_cast<int>(sizeof(kNoDataAttrs) / sizeof(kNoDataAttrs[0])), node);
  if (source == nullptr) {
    QDVP_ReleaseApplResources(anchor, appl, 1);
    QDVP_DisplayValidationMessage(86, nullptr);
    return;
  }
  SourceEntry *status = QDVP_DefineBuiltInTable(
      anchor, appl, "MIBSTATUS", "K", ttl, "One row per running MIB collection", kMIBstatusAttrs,
      static_cast<int>(sizeof(kMIBstatusAttrs) / sizeof(kMIBstatusAttrs[0])), node);
  if (status == nullptr) {
    QDVP_ReleaseApplResources(anchor, appl, 1);
    QDVP_DisplayValidationMessage(86, nullptr);
    return;
  }
  source->InternalReport = status->InternalReport = 1;
  // A status row is one text record, parsed like the records of any delimited table.
  {
    OSV1_Guard attrs(&status->AttrLock);
    status->pDelimiter = QDV0_StrDup(";");
  }
  DCHresult reg = QDVP_Request(anchor, source, QDVP_VERB_REGISTER, nullptr);
  if (reg.outcome == DCHoutcome::Taken) QDVP_UpdateSourceEntryState(source, QDVP_Ready);
  if (reg.outcome == DCHoutcome::Refused) {
    QDVP_TRC(trk, TRK1_ERROR, "*** dp_register failed for SNMP no-data report [%d]", reg.status);
    QDVP_ReleaseApplResources(anchor, appl, 1);
    QDVP_DisplayValidationMessage(86, nullptr);
    return;
  }
  // Deferred (no answer): the periodic scan registers the application again, and the reports
  // bring their sources online when they find them Ready.
  if (reg.outcome == DCHoutcome::Taken)
    QDVP_BringRegisteredOnline(anchor, {source, status}, nullptr);
  sNoDataAnchor = anchor;
  sNoDataSource = source;
  {
    OSV1_Guard hold(&sMIBstatusLock);
    sMIBstatusSource = status;
  }
}

// Seconds between two no-data reports: QDVP_SNMP_NODATA_INTERVAL, 180 by default.
int QDVP_NoDataReportInterval() {
  int seconds = atoi(QDV0_GetEnv("QDVP_SNMP_NODATA_INTERVAL", "180"));
  return seconds > 0 ? seconds : 180;
}

// The anchor is being released: its source goes with it.
void QDVP_ForgetNoDataReport(DPAB *anchor) {
  if (sNoDataAnchor != anchor) return;
  sNoDataSource = nullptr;
  sNoDataAnchor = nullptr;
  {
    OSV1_Guard hold(&sMIBstatusLock);
    sMIBstatusSource = nullptr;
  }
  QDVP_ReleaseNoDataStatusArray();
}

// The row goes as the record "enterprise;table;agents;interval;time" through the road of
// every record: parsed into the attributes by their types (the interval becomes a number),
// filtered, sent. A ';' inside a value would move the fields after it: it becomes a ','.
void QDVP_OutputMIBstatusToDCH(DPAB *anchor, const char *const values[5]) {
  OSV1_Guard hold(&sMIBstatusLock);
  SourceEntry *source = sMIBstatusSource;
  if (source == nullptr || sNoDataAnchor != anchor) return;
  // Registered late (the agent was not there at start-up): online now.
  if (source->State == QDVP_Initial && sNoDataSource != nullptr &&
      sNoDataSource->State == QDVP_Active) {
    QDVP_UpdateSourceEntryState(source, QDVP_Ready);
  }
  // Ready: not online yet, or its last online failed. Once online it stays so (Active, Input
  // after a row taken), whatever became of its rows.
  if (source->State == QDVP_Ready &&
      !QDVP_Request(anchor, source, QDVP_VERB_ONLINE, nullptr).Delivered()) {
    QDVP_TRC(trk, TRK1_DETAIL, ">>> MIB status discarded. DCH communication not ready or busy");
    return;
  }
  if (source->State != QDVP_Active && source->State != QDVP_Input) {
    QDVP_TRC(trk, TRK1_DETAIL, ">>> MIB status discarded. DCH communication not ready or busy");
    return;
  }
  std::string record;
  for (int i = 0; i < 5; i++) {
    std::string value = values[i] != nullptr ? values[i] : "";
    for (char &c : value) c = c == ';' ? ',' : c;
    record += (i ? ";" : "") + value;
  }
  source->DataSequence = QDVP_SEQ_ONLY;
  // A row not taken is lost alone (the agent link told the operator): the source stays online.
  QDVP_MoveDataToDCH(anchor, source, record.data(), static_cast<int>(record.size()));
}
