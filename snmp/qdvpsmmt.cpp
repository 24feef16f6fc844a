// SNMP MIB collection: the monitor entry of each started table, its agents, and the polling
// loop that turns every agent's answers into rows of the table (one per agent for a scalar
// group, one per instance for a table walked with get-next). Also the SNMP tables' online and
// offline with the agent.
//
// A table is scalar when the OID of its first polled attribute ends in ".0" (the instance of a
// scalar object); otherwise it is walked: get-next on the first polled attribute's column gives
// the next instance, which ends the walk when the answer leaves that column, and a get for each
// attribute's column with that instance fills the row. The first attribute of every row says
// "Input Only" and the second holds the agent's host name, as the metafile's Agent_Info and
// Agent_Name require.
//
// Each cycle's requests go out through the poller (qdvpspol.cpp), every agent's in flight at
// once, and its rows come back here in each agent's own order; this task sends them to the
// agent link as they come, so a slow agent link holds back neither the answers nor the
// deadlines of the agents still being polled.
//
// The monitors are kept in one list under its lock; a monitor's agents and interval under the
// monitor's own lock. The polling task holds the table's source's attribute lock only while it
// fills a row, not while it waits for the poller or for the agent link.
//
// Lifetimes: the polling task holds the table's source for the monitor's life (docs/
// architecture.md, "Lifetimes"). A deletion of the MIB closes the source and tells the monitor
// to stop; the task ends its poll (the poller stops at once and its cycle ends with it),
// unlinks and frees the monitor, and lets go of the source last, which is when the deletion
// may free the application.
#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_actions.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_dplog.h"
#include "../include/qdvp_records.h"
#include "../include/qdvp_request.h"
#include "../include/qdvp_snmp.h"
#include "qdvpsnmp.h"

static TRK1_BLOCK trk = {"qdvpsmmt"};

OSV1_LOCK QDVP_SNMPmonitorListLock = OSV1_LOCK_INITIALIZER;

namespace {

const char kObjectInstance[] = "_ObjectInstance";
SNMPmonitor *sMonitors QDVP_GUARDED_BY(QDVP_SNMPmonitorListLock) = nullptr;

// The polling of a monitor stops: its worker ends, it was told to stop, or its source (its
// application) is being deleted.
bool Stopping(const WorkerEntry *worker, const SNMPmonitor *monitor) {
  return worker->Status.load() == QDVP_WORKER_SHUTDOWN || monitor->Stop.load() ||
         OSV1_HoldsClosed(&monitor->pSource->Holds);
}

SourceEntry *TableSource(TableEntry *table) {
  OSV1_Guard list(&table->SourceListLock);
  return table->pSourceList;
}

void Clear(SourceEntry *source) QDVP_REQUIRES(source->AttrLock) {
  for (AttrEntry *a = source->pAttrList; a != nullptr; a = a->pNext) a->ActualValSize = 0;
}

void SetText(AttrEntry *a, const char *text) {
  size_t n = strlen(text);
  if (n > static_cast<size_t>(a->MaxValSize)) n = static_cast<size_t>(a->MaxValSize);
  memcpy(a->Value, text, n);
  a->ActualValSize = static_cast<int>(n);
}

// The polled attributes: the ones with an OID after the two naming the agent.
std::vector<AttrEntry *> Polled(SourceEntry *source) QDVP_REQUIRES(source->AttrLock) {
  std::vector<AttrEntry *> polled;
  int position = 0;
  for (AttrEntry *a = source->pAttrList; a != nullptr; a = a->pNext, position++) {
    if (position >= 2 && a->pOID != nullptr) polled.push_back(a);
  }
  return polled;
}

// Sends the row just filled when it passes the filters (and, for a summarized table, when its
// summary is due); true when it went to the agent.
bool SendRow(DPAB *anchor, ProcessEntry *pe, SourceEntry *source) {
  {
    OSV1_Guard attrs(&source->AttrLock);
    // Derived attributes first: an empty one would otherwise be filled as a missing value.
    QDVP_EvaluateFormulas(source);
    for (AttrEntry *a = source->pAttrList; a != nullptr; a = a->pNext) {
      if (a->ActualValSize == 0) {
        if (a->Type == 'D') {
          a->Value[0] = ' ';
          a->ActualValSize = 1;
        } else {
          memset(a->Value, 0, static_cast<size_t>(a->MaxValSize));
          a->ActualValSize = a->MaxValSize;
        }
      }
    }
    if (!QDVP_CheckAttributesPassFilters(source)) return false;
  }
  // A summarized table sends its summary rows, not each poll's.
  if (source->pSMB != nullptr) QDVP_UpdateSummaryDataArray(source);
  if (!QDVP_CheckDataSummaryReady(source)) return false;
  // Only a table online at the agent sends its rows; a row not taken leaves it online.
  if (source->State != QDVP_Active) return false;
  DCHresult sent = QDVP_Request(anchor, source, QDVP_VERB_DATA, pe);
  if (!sent.Delivered()) {
    QDVP_TRC(trk, TRK1_ERROR, "*** dp_data failed for SNMP table %s [%s %d]",
             source->pTable->TableName, QDVP_OutcomeName(sent.outcome), sent.status);
    // The row alone was lost (the agent link told the operator): the table stays online at
    // the agent for the next poll's rows.
    return false;
  }
  return true;
}

// Fills the table's attributes with one row the poller read from the agent; true when at
// least one value was stored.
bool LoadRow(SourceEntry *source, const std::vector<AttrEntry *> &polled, const SNMPagent &agent,
             const SNMPpollItem &row) {
  OSV1_Guard attrs(&source->AttrLock);
  Clear(source);
  AttrEntry *info = source->pAttrList;
  if (info != nullptr) SetText(info, "Input Only");
  if (info != nullptr && info->pNext != nullptr) {
    std::string host = agent.Host;
    const char *domain = QDV0_GetLocalDomainName();
    size_t cut = domain[0] ? host.find(std::string(".") + domain) : std::string::npos;
    if (cut != std::string::npos) host.resize(cut);
    SetText(info->pNext, host.c_str());
  }
  bool loaded = false;
  for (size_t i = 0; i < polled.size() && i < row.Bindings.size(); i++) {
    const std::string &b = row.Bindings[i];
    if (b.empty()) continue;
    char oid[1024];
    size_t next;
    if (QDVP_SNMPloadAttributeFromBER(reinterpret_cast<const unsigned char *>(b.data()), b.size(),
                                      0, polled[i], oid, sizeof(oid), &next)) {
      loaded = true;
    }
  }
  if (!row.Instance.empty()) {
    for (AttrEntry *a = source->pAttrList; a != nullptr; a = a->pNext) {
      if (strcmp(a->Name, kObjectInstance) == 0) SetText(a, row.Instance.c_str() + 1);
    }
  }
  return loaded;
}

uint64_t AgentKey(const SNMPagent &a) {
  return (static_cast<uint64_t>(a.Address.sin_addr.s_addr) << 16) | a.Address.sin_port;
}

// Reports a table that fell silent at an agent, or has rows again, to the no-data status (the
// agent's flag lives in the monitor's own list, the copy polled is only read).
void NoteNoData(SNMPmonitor *monitor, const SNMPagent &polled, bool sent) {
  bool change = false;
  {
    OSV1_Guard hold(&monitor->Lock);
    for (SNMPagent &a : monitor->Agents) {
      if (!QDVP_SNMPsameAgent(a, polled) || a.NoData == !sent) continue;
      a.NoData = !sent;
      change = true;
    }
  }
  if (change) {
    QDVP_EnqueueNoDataStatus(polled.Host.c_str(), monitor->pAppl->ApplName,
                             monitor->pTable->TableName, sent ? 1 : 0);
  }
}

// One cycle over the agents: the poller has their requests in flight side by side and hands
// back each agent's rows in the agent's order, then its end; each row goes to the agent link
// from here as it comes, and each agent's end notes whether it gave rows. A stop request ends
// the poller at once; what it still hands back is dropped.
void PollCycle(DPAB *anchor, ProcessEntry *pe, WorkerEntry *worker, SNMPmonitor *monitor,
               const std::vector<SNMPagent> &agents, std::map<uint64_t, SNMPagentWait> *waits) {
  SourceEntry *source = monitor->pSource;
  SNMPcycle cycle;
  std::vector<AttrEntry *> polled;
  {
    OSV1_Guard attrs(&source->AttrLock);
    polled = Polled(source);
    for (AttrEntry *a : polled) {
      cycle.OIDs.push_back(a->pOID);
      cycle.Names.push_back(a->Name);
    }
  }
  if (polled.empty()) {
    for (const SNMPagent &agent : agents) NoteNoData(monitor, agent, false);
    return;
  }
  const std::string &first = cycle.OIDs[0];
  cycle.Scalar = first.size() >= 2 && first.compare(first.size() - 2, 2, ".0") == 0;
  cycle.MaxRows = monitor->MaxRows;
  cycle.MaxInFlight = QDVP_SNMPmaxInFlight();
  for (const SNMPagent &a : agents) {
    SNMPpollAgent p;
    p.Host = a.Host;
    p.Address = a.Address;
    p.Community = a.Community;
    p.Version = a.Version;
    p.pWait = &(*waits)[AgentKey(a)];
    cycle.Agents.push_back(std::move(p));
  }
  cycle.WakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (cycle.WakeFd < 0 || !QDVP_SNMPstartPoller(anchor, &cycle)) {
    QDVP_TRC(trk, TRK1_ERROR,
             "*****Unable to start the SNMP poller, errno %d. Cycle of %s %s bypassed", errno,
             monitor->pAppl->ApplName, monitor->pTable->TableName);
    if (cycle.WakeFd >= 0) close(cycle.WakeFd);
    return;
  }
  std::vector<int> rows(agents.size(), 0);
  for (;;) {
    SNMPpollItem item;
    bool stopping = Stopping(worker, monitor);
    if (stopping) QDVP_SNMPstopPoller(&cycle);
    if (!QDVP_SNMPtakePollItem(&cycle, &item, 200)) continue;
    if (item.Type == SNMPpollItem::CycleEnd) break;
    if (stopping) continue;
    const SNMPagent &agent = agents[item.Agent];
    if (item.Type == SNMPpollItem::AgentEnd) {
      NoteNoData(monitor, agent, rows[item.Agent] > 0);
    } else if (LoadRow(source, polled, agent, item)) {
      // An agent that answers with values has data, whether or not this row is sent now (it
      // may be filtered out, or summarized).
      rows[item.Agent]++;
      SendRow(anchor, pe, source);
    }
  }
  close(cycle.WakeFd);
}

}  // namespace

namespace {

// The running monitor of a table. A monitor told to stop is not found: a new start makes a new
// one.
SNMPmonitor *Find(ApplEntry *appl, TableEntry *table) QDVP_REQUIRES(QDVP_SNMPmonitorListLock) {
  for (SNMPmonitor *m = sMonitors; m != nullptr; m = m->pNext) {
    if (m->pAppl == appl && m->pTable == table && !m->Stop.load()) return m;
  }
  return nullptr;
}

void Wake(SNMPmonitor *m) { OSV1_Broadcast(&m->pWorker->Mutex, &m->pWorker->Cond); }

// Adds a start's agents to the monitor's list: an agent the table polls already (named by an
// earlier start, or earlier in the same one) only gains an interest. The caller holds the
// monitor's lock, or has the monitor to itself.
void AddAgents(SNMPmonitor *m, const std::vector<SNMPagent> &agents) QDVP_REQUIRES(m->Lock) {
  for (const SNMPagent &a : agents) {
    SNMPagent *known = nullptr;
    for (SNMPagent &b : m->Agents) {
      if (QDVP_SNMPsameAgent(a, b)) known = &b;
    }
    if (known != nullptr) {
      known->Interest++;
      QDVP_TRC(trk, TRK1_DETAIL, ">>>>>Agent already being monitored. Total interest %d",
               known->Interest);
    } else {
      m->Agents.push_back(a);
      QDVP_TRC(trk, TRK1_DETAIL,
               "SNMP Monitor Node <%s> added to target node list for Appl <%s> Table <%s>",
               a.Host.c_str(), m->pAppl->ApplName, m->pTable->TableName);
    }
  }
}

}  // namespace

bool QDVP_SNMPjoinMonitor(ApplEntry *appl, TableEntry *table, const SNMPstart &start) {
  int interval = start.Interval;
  OSV1_Guard list(&QDVP_SNMPmonitorListLock);
  SNMPmonitor *m = Find(appl, table);
  if (m == nullptr) return false;
  {
    OSV1_Guard hold(&m->Lock);
    m->Starts.push_back(start);
    m->StatusChanged = true;
    if (interval < m->Interval) {
      m->Interval = interval;
      QDVP_TRC(trk, TRK1_DETAIL, "SNMP Get interval set to %d", interval);
    }
    AddAgents(m, start.Agents);
  }
  Wake(m);
  return true;
}

int QDVP_SNMPdeleteAgentNodes(ApplEntry *appl, TableEntry *table,
                              const std::vector<SNMPagent> *agents) {
  OSV1_Guard list(&QDVP_SNMPmonitorListLock);
  SNMPmonitor *m = Find(appl, table);
  if (m == nullptr) return -1;
  int left;
  {
    OSV1_Guard hold(&m->Lock);
    if (agents == nullptr) {
      m->Agents.clear();
    } else {
      for (const SNMPagent &a : *agents) {
        for (size_t i = 0; i < m->Agents.size(); i++) {
          if (!QDVP_SNMPsameAgent(a, m->Agents[i])) continue;
          m->Agents.erase(m->Agents.begin() + static_cast<long>(i));
          break;
        }
      }
    }
    left = static_cast<int>(m->Agents.size());
    m->StatusChanged = true;
    if (left == 0) m->Stop.store(true);
  }
  Wake(m);
  return left;
}

// No wait here: the deletion waits for the source's holders, the polling tasks among them.
void QDVP_SNMPstopApplicationMonitors(ApplEntry *appl) {
  OSV1_Guard list(&QDVP_SNMPmonitorListLock);
  for (SNMPmonitor *m = sMonitors; m != nullptr; m = m->pNext) {
    if (m->pAppl != appl) continue;
    m->ApplDeleted = true;
    if (!m->Stop.exchange(true)) Wake(m);
  }
}

bool QDVP_SNMPstopGetProcess(uint32_t id, const char *owner) {
  OSV1_Guard list(&QDVP_SNMPmonitorListLock);
  for (SNMPmonitor *m = sMonitors; m != nullptr; m = m->pNext) {
    if (m->Stop.load()) continue;
    OSV1_Guard hold(&m->Lock);
    size_t which = 0;
    while (which < m->Starts.size() &&
           (m->Starts[which].ID != id || m->Starts[which].Owner != owner)) {
      which++;
    }
    if (which == m->Starts.size()) continue;
    SNMPstart ended = m->Starts[which];
    m->Starts.erase(m->Starts.begin() + static_cast<long>(which));
    for (const SNMPagent &a : ended.Agents) {
      for (size_t i = 0; i < m->Agents.size(); i++) {
        if (!QDVP_SNMPsameAgent(a, m->Agents[i])) continue;
        if (--m->Agents[i].Interest <= 0) m->Agents.erase(m->Agents.begin() + static_cast<long>(i));
        break;
      }
    }
    if (!m->Starts.empty() && ended.Interval <= m->Interval) {
      int shortest = m->Starts.front().Interval;
      for (const SNMPstart &other : m->Starts) shortest = std::min(shortest, other.Interval);
      QDVP_TRC(trk, TRK1_DETAIL, "Possible new Get interval %d", shortest);
      if (shortest > m->Interval) {
        QDVP_TRC(trk, TRK1_DETAIL, "Get interval reset from %d to %d", m->Interval, shortest);
        m->Interval = shortest;
      }
    } else {
      QDVP_TRC(trk, TRK1_DETAIL,
               "No interval adjustment required. Action Interval %d, Active Interval %d",
               ended.Interval, m->Interval);
    }
    m->StatusChanged = true;
    if (m->Agents.empty() || m->Starts.empty()) m->Stop.store(true);
    Wake(m);
    return true;
  }
  QDVP_TRC(trk, TRK1_DETAIL,
           ">>>>>No STARTGET action found. STOPGET action for ID %d Owner <%s> ignored",
           static_cast<int>(id), owner);
  return false;
}

bool QDVP_SNMPmonitorExists(ApplEntry *appl, TableEntry *table) {
  OSV1_Guard list(&QDVP_SNMPmonitorListLock);
  return Find(appl, table) != nullptr;
}

SNMPmonitor *QDVP_SNMPaddMonitor(ApplEntry *appl, TableEntry *table, SourceEntry *heldSource,
                                 WorkerEntry *worker, const SNMPstart &start) {
  auto *m = new SNMPmonitor();
  m->pAppl = appl;
  m->pTable = table;
  m->pSource = heldSource;
  m->pWorker = worker;
  {
    OSV1_Guard hold(&m->Lock);  // nobody else sees it yet; the lock keeps the marks true
    m->Starts.push_back(start);
    m->Interval = start.Interval;
    AddAgents(m, start.Agents);
  }
  m->MaxRows = atoi(QDV0_GetEnv("QDVP_SNMP_MAX_ROWS", "10000"));
  if (m->MaxRows <= 0) m->MaxRows = 10000;
  OSV1_Guard list(&QDVP_SNMPmonitorListLock);
  m->pNext = sMonitors;
  sMonitors = m;
  return m;
}

// After a LOADCOMM: every agent polled with the file's or the default community takes the
// file's community for its address anew, and every agent that did not name its version the
// file's version.
void QDVP_UpdateMonitorNodeCommunity(DPAB *) {
  OSV1_Guard list(&QDVP_SNMPmonitorListLock);
  for (SNMPmonitor *m = sMonitors; m != nullptr; m = m->pNext) {
    OSV1_Guard hold(&m->Lock);
    for (SNMPagent &a : m->Agents) {
      if (!a.OwnCommunity) a.Community = QDVP_SNMPnodeCommunity(a.Address.sin_addr);
      if (!a.OwnVersion) a.Version = QDVP_SNMPnodeVersion(a.Address.sin_addr);
    }
  }
}

std::vector<SNMPcollection> QDVP_SNMPcopyCollections() {
  std::vector<SNMPcollection> copies;
  OSV1_Guard list(&QDVP_SNMPmonitorListLock);
  for (SNMPmonitor *m = sMonitors; m != nullptr; m = m->pNext) {
    if (m->Stop.load()) continue;
    SNMPcollection c;
    c.Appl = m->pAppl->ApplName;
    c.Table = m->pTable->TableName;
    OSV1_Guard hold(&m->Lock);
    if (m->Agents.empty()) continue;
    c.Interval = m->Interval;
    c.Agents = m->Agents;
    c.LastSample = m->LastSample;
    copies.push_back(std::move(c));
  }
  return copies;
}

void QDVP_SNMPmonitorMIBtable(DPAB *anchor, WorkerEntry *worker, SNMPmonitor *monitor) {
  ProcessEntry *pe = worker->pPE;
  const char *appl = monitor->pAppl->ApplName, *table = monitor->pTable->TableName;
  QDVP_SendDPlogMessage(anchor, 108, appl, table);
  // Each agent's adaptive wait, kept from one cycle to the next while it is polled.
  std::map<uint64_t, SNMPagentWait> waits;
  for (;;) {
    std::vector<SNMPagent> agents;
    int interval;
    {
      OSV1_Guard hold(&monitor->Lock);
      agents = monitor->Agents;
      interval = monitor->Interval;
      if (monitor->Starts.empty() || agents.empty()) break;
    }
    std::map<uint64_t, SNMPagentWait> kept;
    for (const SNMPagent &a : agents) kept[AgentKey(a)] = waits[AgentKey(a)];
    waits.swap(kept);
    time_t begin = QDV0_Time();
    if (!Stopping(worker, monitor)) PollCycle(anchor, pe, worker, monitor, agents, &waits);
    QDVP_TRC(trk, TRK1_DETAIL, "SNMP poll cycle of %s %s: %d agents in %d seconds", appl, table,
             static_cast<int>(agents.size()), static_cast<int>(QDV0_Time() - begin));
    bool changed = false;
    SNMPcollection status;
    status.Appl = appl;
    status.Table = table;
    {
      OSV1_Guard hold(&monitor->Lock);
      monitor->LastSample = QDV0_Time();
      changed = monitor->StatusChanged;
      monitor->StatusChanged = false;
      status.Interval = monitor->Interval;
      status.Agents = monitor->Agents;
      status.LastSample = monitor->LastSample;
    }
    if (!Stopping(worker, monitor)) {
      QDVP_UpdateMIBstatusToDCH(anchor, status);
      if (changed) QDVP_UpdateMIBinterestExt(anchor);
    }
    OSV1_GetLock(&worker->Mutex);
    if (!Stopping(worker, monitor)) {
      QDV0_ConditionTimedWait(&worker->Cond, &worker->Mutex, interval);
    }
    OSV1_ReleaseLock(&worker->Mutex);
    if (Stopping(worker, monitor)) break;
  }
  QDVP_SendDPlogMessage(anchor, 109, appl, table);
  SNMPcollection ended;
  ended.Appl = appl;
  ended.Table = table;
  SourceEntry *source = monitor->pSource;
  bool stoppedByRequest;
  {
    OSV1_Guard list(&QDVP_SNMPmonitorListLock);
    // A collection that ends with its application or with the data provider stays in the MIB
    // interest file, to be started again when the MIB is loaded again or at the next start.
    stoppedByRequest = !monitor->ApplDeleted && !OSV1_HoldsClosed(&source->Holds) &&
                       worker->Status.load() != QDVP_WORKER_SHUTDOWN && !anchor->ShutdownRequested;
    for (SNMPmonitor **link = &sMonitors; *link != nullptr; link = &(*link)->pNext) {
      if (*link != monitor) continue;
      *link = monitor->pNext;
      break;
    }
    delete monitor;
  }
  if (stoppedByRequest) {
    QDVP_DeleteMIBstatusFromDCH(anchor, ended);
    QDVP_UpdateMIBinterestExt(anchor);
  }
  // The last use of the table: its deletion may free it from now on.
  QDVP_LetGoSource(source);
}

// A walked table (its first polled attribute's OID is a column, not a scalar ".0") without a key
// attribute gets "_ObjectInstance", which carries each row's instance: without it two rows of
// one agent could not be told apart.
int QDVP_CheckSNMPtabularKey(TableEntry *table) {
  SourceEntry *source = TableSource(table);
  if (source == nullptr) return 0;
  {
    OSV1_Guard attrs(&source->AttrLock);
    AttrEntry *info = source->pAttrList;
    AttrEntry *name = info != nullptr ? info->pNext : nullptr;
    AttrEntry *third = name != nullptr ? name->pNext : nullptr;
    if (third == nullptr || strcmp(info->Name, "Agent_Info") != 0 ||
        strcmp(name->Name, "Agent_Name") != 0 || third->pOID == nullptr) {
      return 0;
    }
    size_t n = strlen(third->pOID);
    if (n >= 2 && strcmp(third->pOID + n - 2, ".0") == 0) return 0;
    for (AttrEntry *a = info; a != nullptr; a = a->pNext) {
      if (a->AttrKey || strcmp(a->Name, kObjectInstance) == 0) return 0;
    }
  }
  char type[] = "D";
  if (QDVP_InitializeAttrEntry(source, kObjectInstance, type, "64", 0, 0,
                               "Instance of the MIB table row", nullptr) == nullptr) {
    return 0;
  }
  {
    OSV1_Guard lock(&table->TableLock);
    table->AttrCount++;
    table->AttrNoOperandCount++;
    table->AttrSentCount++;
  }
  QDVP_TRC(trk, TRK1_DETAIL, "ObjectInstance attribute generated for SNMP attribute group");
  return 1;
}

// Every source of every table with at least three attributes is brought online (or taken
// offline) one after the other.
static void SetApplicationState(DPAB *anchor, ApplEntry *appl, bool online) {
  if (anchor == nullptr || appl == nullptr || anchor->DPtype != QDVP_TYPE_SNMP || !appl->SNMPappl) {
    QDVP_TRC(trk, TRK1_DETAIL,
             online ? ">>>>> dp_online bypassed for non-SNMP DP or application"
                    : ">>>>> dp_offline bypassed for non-SNMP DP or application");
    return;
  }
  std::vector<SourceEntry *> sources;
  {
    OSV1_Guard tables(&appl->TableListLock);
    for (TableEntry *t = appl->pTableList; t != nullptr; t = t->pNext) {
      OSV1_Guard list(&t->SourceListLock);
      for (SourceEntry *s = t->pSourceList; s != nullptr; s = s->pNext) {
        int count = 0;
        OSV1_Guard attrs(&s->AttrLock);
        for (AttrEntry *a = s->pAttrList; a != nullptr; a = a->pNext) count++;
        if (!online || count >= 3) sources.push_back(s);
      }
    }
  }
  // The states read here say what each table needs: one not online is brought online, one
  // online is taken offline. What became of the request is the outcome.
  for (SourceEntry *s : sources) {
    if (online && s->State == QDVP_Initial) QDVP_UpdateSourceEntryState(s, QDVP_Ready);
    DCHverb verb;
    if (online && s->State == QDVP_Ready) {
      verb = QDVP_VERB_ONLINE;
    } else if (!online && s->State == QDVP_Active) {
      verb = QDVP_VERB_OFFLINE;
    } else {
      continue;
    }
    DCHresult done = QDVP_Request(anchor, s, verb, nullptr);
    if (!done.Delivered()) {
      QDVP_TRC(trk, TRK1_ERROR, "*** %s failed for SNMP table %s [%s %d]",
               online ? "dp_online" : "dp_offline", s->pTable->TableName,
               QDVP_OutcomeName(done.outcome), done.status);
    }
  }
}

void QDVP_SNMPapplOnline(DPAB *anchor, ApplEntry *appl) { SetApplicationState(anchor, appl, true); }
void QDVP_SNMPapplOffline(DPAB *anchor, ApplEntry *appl) {
  SetApplicationState(anchor, appl, false);
}
