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
  std::string Host;       // as named in the start request
  sockaddr_in Address{};  // port 161 unless the name said host:port
  std::string Community;
  int Interest = 1;       // start requests that named it
  bool NoData = false;    // its last poll produced no row
};

// One started table. Lock guards Agents, Interval and Requests.
struct SNMPmonitor {
  SNMPmonitor *pNext = nullptr;  // the monitor list (its own lock)
  ApplEntry *pAppl = nullptr;
  TableEntry *pTable = nullptr;
  WorkerEntry *pWorker = nullptr;  // the worker that polls it
  OSV1_LOCK Lock = OSV1_LOCK_INITIALIZER;
  std::vector<SNMPagent> Agents;
  int Interval = 300;
  int Requests = 0;
  int MaxRows = 10000;
  std::atomic<bool> Stop{false};
};

SNMPmonitor *QDVP_SNMPfindMonitor(ApplEntry *appl, TableEntry *table);
SNMPmonitor *QDVP_SNMPaddMonitor(ApplEntry *appl, TableEntry *table, WorkerEntry *worker,
                                 int interval);
// Polls the monitor's agents every interval until it is stopped, its agents are gone or the
// worker is told to end; then frees the monitor. Runs on the worker's task.
void QDVP_SNMPmonitorMIBtable(DPAB *anchor, WorkerEntry *worker, SNMPmonitor *monitor);
