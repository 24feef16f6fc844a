// The SNMP collection's own records, shared by the SNMP worker (qdvpswkt.cpp), the polling
// of a table (qdvpsmmt.cpp) and the poller that has a cycle's requests in flight (qdvpspol.cpp).
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <deque>
#include <string>
#include <vector>

#include "../include/qdvp_actions.h"
#include "../include/qdvp_model.h"

// One agent a table polls.
struct SNMPagent {
  std::string Host;       // as named in the start request (host:port for another port)
  sockaddr_in Address{};  // port 161 unless the name said host:port
  std::string Community;
  bool OwnCommunity = false;  // named in the request; else the file's or the default
  int Version = 0;            // QDVP_SNMP_V1, or QDVP_SNMP_V2C when the request or the file says
  bool OwnVersion = false;    // the request said it; else the community file's entry decides
  int Interest = 1;           // start requests that named it
  bool NoData = false;        // its last poll produced no row
  std::string Network;        // the network it came from, as named (with :port), or ""
};

// One start request a monitor serves: an internal stop of the same identifier and owner takes
// back its agents and its interval.
struct SNMPstart {
  uint32_t ID = 0;
  std::string Owner;
  std::vector<SNMPagent> Agents;
  int Interval = 300;
};

// The lock of the monitor list (snmp/qdvpsmmt.cpp).
extern OSV1_LOCK QDVP_SNMPmonitorListLock QDVP_ACQUIRED_AFTER(DPAB::SNMPnodeLock);

// One started table. Its polling task owns it: the task holds the table's source for the
// monitor's whole life (so the application and table the monitor names stay), and unlinks and
// frees the monitor itself as it ends, then lets go of the source. Others find a monitor only
// under the list lock.
struct SNMPmonitor {
  // Constant after the monitor is made.
  ApplEntry *pAppl = nullptr;
  TableEntry *pTable = nullptr;
  SourceEntry *pSource = nullptr;  // the table's source, held for the monitor
  WorkerEntry *pWorker = nullptr;  // the worker that polls it
  int MaxRows = 10000;
  std::atomic<bool> Stop{false};
  OSV1_LOCK Lock QDVP_ACQUIRED_AFTER(QDVP_SNMPmonitorListLock)
      QDVP_ACQUIRED_BEFORE(DPAB::HTTPupdateLock) = OSV1_LOCK_INITIALIZER;

  // Under the list lock.
  SNMPmonitor *pNext QDVP_GUARDED_BY(QDVP_SNMPmonitorListLock) = nullptr;
  // Stopped because its application goes.
  bool ApplDeleted QDVP_GUARDED_BY(QDVP_SNMPmonitorListLock) = false;

  // Under Lock.
  std::vector<SNMPagent> Agents QDVP_GUARDED_BY(Lock);
  int Interval QDVP_GUARDED_BY(Lock) = 300;
  std::vector<SNMPstart> Starts QDVP_GUARDED_BY(Lock);  // one per outstanding start
  bool StatusChanged QDVP_GUARDED_BY(Lock) = true;  // the MIB interest file is rewritten next cycle
  time_t LastSample QDVP_GUARDED_BY(Lock) = 0;      // the end of the last completed poll cycle
};

// A copy of one running collection, for the MIB interest file and the MIBSTATUS rows.
struct SNMPcollection {
  std::string Appl, Table;
  int Interval = 0;
  std::vector<SNMPagent> Agents;
  time_t LastSample = 0;
};
// Copies of every running collection with agents (under the list lock).
std::vector<SNMPcollection> QDVP_SNMPcopyCollections();
// The MIBSTATUS row of one collection (snmp/qdvpmibi.cpp); a collection without agents is
// reported as stopped: no agents, interval 0.
void QDVP_UpdateMIBstatusToDCH(DPAB *anchor, const SNMPcollection &collection);
void QDVP_DeleteMIBstatusFromDCH(DPAB *anchor, const SNMPcollection &collection);

// The value of key= in an action parameter: up to the next blank, or the whole parenthesised
// list when it begins with "(" (nothing when the list is not closed); "" when key is absent.
std::string QDVP_SNMPoperand(const char *parm, const char *key);
inline std::string QDVP_SNMPoperand(const std::string &parm, const char *key) {
  return QDVP_SNMPoperand(parm.c_str(), key);
}
// Splits name "host:port" into *host and *port (defaultPort without ":port"); false for a port
// out of range.
bool QDVP_SNMPhostPort(const std::string &name, int defaultPort, std::string *host, int *port);
// The community of a node without one of its own: the community name file's entry for its
// address, else QDVP_SNMP_NET_COMMUNITY, else "vesper". The version its file entry asks for
// (QDVP_SNMP_V2C when the entry's third word is "v2c"), else QDVP_SNMP_V1.
std::string QDVP_SNMPnodeCommunity(const struct in_addr &address);
int QDVP_SNMPnodeVersion(const struct in_addr &address);
// The version word of an agent entry or a community file line: "v1" or "1", "v2c", "2c" or
// "2" (in any case); -1 for another word.
int QDVP_SNMPversionWord(const std::string &word);

// The adaptive wait of one agent (qdvpssrp.cpp): requests sent and answered since the last
// check, and the seconds its wait was raised by. Owned by the task that polls the agent.
struct SNMPagentWait {
  int RaisedSeconds = 0;
  int Sent = 0;
  int Received = 0;
};
// The agent's wait for an answer (twice as long for a wait after a stale answer).
int QDVP_SNMPagentWaitMs(const SNMPagentWait &wait, bool receiveOnly);
// A request sent, an answer received (these count in the process-wide counters too), and a
// time-out, which may raise the agent's wait.
void QDVP_SNMPcountSent(SNMPagentWait *wait);
void QDVP_SNMPcountAnswer(SNMPagentWait *wait);
void QDVP_SNMPcountTimeOut(SNMPagentWait *wait, const char *agent);

// One poll cycle of a table, handed from its polling task to the poller (qdvpspol.cpp), which
// has the requests of many agents in flight at once and hands back, for each agent in its own
// order, every row it read and then the agent's end; the cycle's end comes last.
//
// The polling task fills the constant part, starts the poller (QDVP_SNMPstartPoller) and takes
// the items (Take) until the cycle's end, which is the poller's last touch of the cycle: only
// then may the cycle go. The queue is bounded: the poller sends no new request while
// MaxQueued items wait, so a slow agent link holds the poll back instead of filling memory.
struct SNMPpollAgent {
  std::string Host;
  sockaddr_in Address{};
  std::string Community;
  int Version = 0;
  SNMPagentWait *pWait = nullptr;  // the polling task's, used by the poller during the cycle
};
struct SNMPpollItem {
  enum Kind { Row, AgentEnd, CycleEnd } Type = Row;
  size_t Agent = 0;                   // index into the cycle's agents
  std::string Instance;               // the row's instance suffix (".3"), "" for a scalar group
  std::vector<std::string> Bindings;  // per polled attribute, the answer's binding or ""
};
struct SNMPcycle {
  // Constant while the poller runs.
  std::vector<SNMPpollAgent> Agents;
  std::vector<std::string> OIDs;   // the polled attributes' OIDs
  std::vector<std::string> Names;  // and their names, for the traces
  bool Scalar = false;
  int MaxRows = 10000;
  int MaxInFlight = 256;  // agents with work under way at once
  size_t MaxQueued = 256;
  int WakeFd = -1;  // the poller's: written to wake it (stop, room in the queue)
  std::atomic<bool> Stop{false};

  OSV1_LOCK Lock = OSV1_LOCK_INITIALIZER;
  OSV1_COND Cond;  // with Lock: an item was queued
  std::deque<SNMPpollItem> Items QDVP_GUARDED_BY(Lock);
  bool Throttled QDVP_GUARDED_BY(Lock) = false;  // the poller waits for room in the queue
};
// Starts the poller task of the cycle; false (nothing polled, no item comes) when it cannot.
bool QDVP_SNMPstartPoller(DPAB *anchor, SNMPcycle *cycle);
// The polling task's side: the next item, waiting up to waitMs; false when none came.
bool QDVP_SNMPtakePollItem(SNMPcycle *cycle, SNMPpollItem *item, int waitMs);
// Tells the poller to end the cycle at once (its end item still comes).
void QDVP_SNMPstopPoller(SNMPcycle *cycle);
// The settings of the poll: agents in flight at once (QDVP_SNMP_MAX_IN_FLIGHT, 256).
int QDVP_SNMPmaxInFlight();

// The nodes of a network (its address, network part by address class): the managed node list's
// nodes in it, else for a class C network its 254 host addresses; returns how many were added.
int QDVP_ConstructNetworkNodeList(const struct in_addr *network, std::vector<in_addr> *nodes);

inline bool QDVP_SNMPsameAgent(const SNMPagent &a, const SNMPagent &b) {
  return a.Address.sin_addr.s_addr == b.Address.sin_addr.s_addr &&
         a.Address.sin_port == b.Address.sin_port;
}

// The monitor list. Each call holds the list's lock for its whole work, so that a monitor
// found is never one its polling task is freeing: joining adds the agents to the running
// monitor of the table (raising an agent's interest when it is polled already), shortens its
// interval and wakes its task (false: no monitor runs for the table); deleting removes the
// agents, or all with agents null, and wakes the task (-1: no monitor, else the agents left).
// The caller holds a source of the application.
bool QDVP_SNMPjoinMonitor(ApplEntry *appl, TableEntry *table, const SNMPstart &start);
int QDVP_SNMPdeleteAgentNodes(ApplEntry *appl, TableEntry *table,
                              const std::vector<SNMPagent> *agents);
bool QDVP_SNMPmonitorExists(ApplEntry *appl, TableEntry *table);
// A new monitor of the table, whose source the caller holds and hands over to the monitor.
SNMPmonitor *QDVP_SNMPaddMonitor(ApplEntry *appl, TableEntry *table, SourceEntry *heldSource,
                                 WorkerEntry *worker, const SNMPstart &start);
// Ends the start request of that identifier and owner: its agents lose one interest (and go
// when none is left), the interval becomes the shortest of the other requests. False when no
// running collection serves such a request.
bool QDVP_SNMPstopGetProcess(uint32_t id, const char *owner);
// Polls the monitor's agents every interval until it is stopped, its agents are gone, its
// source is being deleted or the worker is told to end; then frees the monitor and lets go of
// its source. Runs on the worker's task.
void QDVP_SNMPmonitorMIBtable(DPAB *anchor, WorkerEntry *worker, SNMPmonitor *monitor);
