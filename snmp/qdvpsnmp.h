// The SNMP collection's own records, shared by the SNMP worker (qdvpswkt.cpp) and the polling
// of a table (qdvpsmmt.cpp).
#pragma once

#include <netinet/in.h>

#include <atomic>
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
  int Interest = 1;       // start requests that named it
  bool NoData = false;    // its last poll produced no row
  std::string Network;    // the network it came from, as named (with :port), or ""
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
  time_t LastSample QDVP_GUARDED_BY(Lock) = 0;  // the end of the last completed poll cycle
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
// address, else QDVP_SNMP_NET_COMMUNITY, else "vesper".
std::string QDVP_SNMPnodeCommunity(const struct in_addr &address);

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
