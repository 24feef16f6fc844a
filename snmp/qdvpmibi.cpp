// The MIB interest file: the running MIB collections written down whenever their set changes,
// so that they outlive the process, and read back at start and when an SNMP application is
// loaded again, each record becoming an SNMPSTARTGET owned by SNMPAUTOINIT. Also the MIBSTATUS
// row of each collection.
//
// A record is one line:
//   AGENTINFO=( {host community},host,network, ... ) INTERVAL=300 APPLNAME=MIB ATTRGROUP=TABLE
// with at most 10 agent entries; a collection with more is written as several records. An agent
// with a community of its own is written with it; one that takes the community file's or the
// default community is written without, so that it takes it anew after a restart; the agents
// of a network are written once, as the network was named.
//
// The file is written under a new name (last character N) and renamed over the active one, the
// previous one kept under the backup name (last character X): a crash leaves either file
// whole. Records of applications that are not loaded now are kept, since an SNMP data provider
// loads its MIBs after it starts; those of an application the operator deleted are not.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_actions.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_dplog.h"
#include "../include/qdvp_metafile.h"
#include "../include/qdvp_snmp.h"
#include "qdvpsnmp.h"

static TRK1_BLOCK trk = {"qdvpmibi"};

namespace {

const size_t kRecordSize = 2048;
const size_t kAgentsPerRecord = 10;

// The MIB interest file (rank 6 of the order, include/qdvp_anchor.h).
OSV1_LOCK sFileLock QDVP_ACQUIRED_AFTER(MemMetafile::Lock)
    QDVP_ACQUIRED_BEFORE(DPAB::SNMPnodeLock) = OSV1_LOCK_INITIALIZER;
std::atomic<bool> sOutputInProgress{false};
std::string sActive, sBackup, sNew;
OSV1_LOCK sDeletedLock QDVP_ACQUIRED_AFTER(DPAB::StateMutex) = OSV1_LOCK_INITIALIZER;  // a leaf
// Upper-case names of applications the operator deleted.
std::set<std::string> sDeleted QDVP_GUARDED_BY(sDeletedLock);

std::string Upper(std::string s) {
  for (char &c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

// Whether a line has the form of a record: AGENTINFO=( ... ) INTERVAL=n APPLNAME=a ATTRGROUP=t.
bool WellFormed(const std::string &line) {
  if (line.rfind("AGENTINFO=( ", 0) != 0) return false;
  size_t close = line.find(" ) INTERVAL=");
  if (close == std::string::npos) return false;
  std::string interval = QDVP_SNMPoperand(line, " ) INTERVAL=");
  if (interval.empty() || interval.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  return !QDVP_SNMPoperand(line, " APPLNAME=").empty() &&
         !QDVP_SNMPoperand(line, " ATTRGROUP=").empty();
}

// An agent (or a network) as the start request named it: with its own community and version,
// or its name alone, which takes the community file's entry anew at the next start.
std::string Entry(const SNMPagent &a, const std::string &name) {
  if (!a.OwnCommunity) return name;
  std::string version = a.OwnVersion && a.Version == QDVP_SNMP_V2C ? " v2c" : "";
  return "{" + name + " " + a.Community + version + "}";
}

// The entries of a collection's agents: each agent, or each run of agents of one network once.
std::vector<std::string> AgentEntries(const std::vector<SNMPagent> &agents) {
  std::vector<std::string> entries;
  std::string network;
  for (const SNMPagent &a : agents) {
    if (!a.Network.empty()) {
      if (a.Network == network) continue;
      network = a.Network;
      entries.push_back(Entry(a, a.Network));
      continue;
    }
    network.clear();
    entries.push_back(Entry(a, a.Host));
  }
  return entries;
}

// The records of one collection.
std::vector<std::string> Records(const SNMPcollection &c) {
  std::vector<std::string> records, entries = AgentEntries(c.Agents);
  std::string tail = " ) INTERVAL=" + std::to_string(c.Interval) + " APPLNAME=" + Upper(c.Appl) +
                     " ATTRGROUP=" + Upper(c.Table);
  for (size_t i = 0; i < entries.size(); i += kAgentsPerRecord) {
    std::string record = "AGENTINFO=( ";
    for (size_t j = i; j < entries.size() && j < i + kAgentsPerRecord; j++) {
      std::string next = (j > i ? "," : "") + entries[j];
      if (record.size() + next.size() + tail.size() + 1 >= kRecordSize) break;
      record += next;
    }
    records.push_back(record + tail);
  }
  return records;
}

std::vector<std::string> ReadLines(const std::string &path) {
  std::vector<std::string> lines;
  FILE *f = QDV0_OpenRegularFile(path.c_str());
  if (f == nullptr) return lines;
  char buffer[kRecordSize];
  while (fgets(buffer, sizeof(buffer), f) != nullptr) {
    size_t n = strlen(buffer);
    bool whole = n > 0 && buffer[n - 1] == '\n';
    while (n > 0 && (buffer[n - 1] == '\n' || buffer[n - 1] == '\r')) buffer[--n] = '\0';
    // A line longer than a record is read in pieces: none of them is a record.
    if (!whole && !feof(f)) {
      int c;
      while ((c = fgetc(f)) != EOF && c != '\n') {
      }
      lines.push_back(std::string());
      continue;
    }
    lines.emplace_back(buffer);
  }
  fclose(f);
  return lines;
}

std::string AgentList(const SNMPcollection &c) {
  std::string list;
  for (const std::string &e : AgentEntries(c.Agents)) list += e + " ";
  if (!list.empty()) list.pop_back();
  return list;
}

}  // namespace

void InitializeMIBinterestFiles() {
  static std::once_flag once;
  std::call_once(once, [] {
    const char *name = QDV0_QueryProductSpec(31);
    if (name == nullptr || name[0] == '\0') name = "qdvpmibi.cfg";
    char *full = QDV0_QualifyFileName(nullptr, name);
    sActive = full != nullptr ? full : name;
    QDV0_Free(full);
    sBackup = sActive;
    sBackup.back() = 'X';
    sNew = sActive;
    sNew.back() = 'N';
  });
}

void QDVP_MIBinterestFileNames(std::string *active, std::string *backup, std::string *fresh) {
  InitializeMIBinterestFiles();
  *active = sActive;
  *backup = sBackup;
  *fresh = sNew;
}

void QDVP_MIBinterestApplicationDeleted(const char *name) {
  OSV1_Guard hold(&sDeletedLock);
  sDeleted.insert(Upper(name));
}

void QDVP_MIBinterestApplicationLoaded(const char *name) {
  OSV1_Guard hold(&sDeletedLock);
  sDeleted.erase(Upper(name));
}

namespace {

std::atomic<bool> sOutputAgain{false};

// One rewrite of the file from the running collections.
void WriteInterestFile(DPAB *anchor) {
  OSV1_Guard file(&sFileLock);
  OSV1_Guard nodes(&anchor->SNMPnodeLock);
  std::vector<SNMPcollection> running = QDVP_SNMPcopyCollections();
  std::set<std::string> runningTables;
  for (const SNMPcollection &c : running)
    runningTables.insert(Upper(c.Appl) + " " + Upper(c.Table));
  // The records of MIBs not loaded now stay, unless the operator deleted the application.
  std::vector<std::string> kept;
  for (const std::string &line : ReadLines(sActive)) {
    if (!WellFormed(line)) continue;
    std::string appl = QDVP_SNMPoperand(line, " APPLNAME=");
    std::string table = QDVP_SNMPoperand(line, " ATTRGROUP=");
    if (runningTables.count(Upper(appl) + " " + Upper(table)) != 0) continue;
    {
      OSV1_Guard hold(&sDeletedLock);
      if (sDeleted.count(Upper(appl)) != 0) continue;
    }
    if (QDVP_LocateApplicationByName(anchor, Upper(appl).c_str(), static_cast<int>(appl.size())) !=
        nullptr) {
      continue;  // loaded, and no longer polled: stopped
    }
    kept.push_back(line);
  }
  unlink(sNew.c_str());
  FILE *f = fopen(sNew.c_str(), "w");
  if (f == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR,
             "***** MIB interest configuration file %s open failed, ErrorText <%s>", sNew.c_str(),
             strerror(errno));
    return;
  }
  QDVP_TRC(trk, TRK1_DETAIL, "File %s opened for MIB interest configuration output", sNew.c_str());
  int written = 0;
  bool failed = false;
  for (const SNMPcollection &c : running) {
    for (const std::string &r : Records(c)) {
      failed = failed || fprintf(f, "%s\n", r.c_str()) < 0;
      written++;
    }
  }
  for (const std::string &line : kept) {
    failed = failed || fprintf(f, "%s\n", line.c_str()) < 0;
    written++;
  }
  failed = fflush(f) != 0 || fsync(fileno(f)) != 0 || failed;
  failed = fclose(f) != 0 || failed;
  if (failed) {
    QDVP_TRC(trk, TRK1_ERROR,
             "***** MIB interest configuration file %s write failed, ErrorText <%s>", sNew.c_str(),
             strerror(errno));
    unlink(sNew.c_str());
  } else if (written > 0) {
    if (rename(sActive.c_str(), sBackup.c_str()) != 0 && errno != ENOENT) unlink(sActive.c_str());
    int rc = rename(sNew.c_str(), sActive.c_str());
    QDVP_TRC(trk, TRK1_DETAIL, "New MIB interest file %s renamed to active file %s, rc %d",
             sNew.c_str(), sActive.c_str(), rc);
  } else {
    unlink(sNew.c_str());
  }
  QDVP_TRC(trk, TRK1_DETAIL, "%d MIB interest records written to configuration file", written);
}

}  // namespace

// A rewrite asked for while one runs does not wait: the running one writes once more, so that
// the change that asked is in the file too.
void QDVP_UpdateMIBinterestExt(DPAB *anchor) {
  InitializeMIBinterestFiles();
  sOutputAgain = true;
  if (sOutputInProgress.exchange(true)) {
    QDVP_TRC(trk, TRK1_DETAIL, "MIB Interest file output already in progress. continue");
    return;
  }
  for (;;) {
    sOutputAgain = false;
    WriteInterestFile(anchor);
    sOutputInProgress = false;
    if (!sOutputAgain.load() || sOutputInProgress.exchange(true)) break;
  }
}

ActionEntry *QDVP_AllocateAutoStartActionEntry(DPAB *anchor) {
  ActionEntry *entry = QDVP_AllocateActionEntry(anchor);
  if (entry == nullptr) return nullptr;
  entry->Type = QDVP_ACTION_SNMP;
  entry->ID = 0;
  entry->Status = 0;
  entry->WorkState = QDVP_ACTION_TO_PERFORM;
  entry->FieldsReceived = QDVP_ACTION_REQUIRED_FIELDS;
  entry->pSourceNodeName = QDV0_StrDup("SNMPAUTOINIT");
  entry->pOwner = QDV0_StrDup("SNMPAUTOINIT");
  entry->pName = QDV0_StrDup("SNMPSTARTGET");
  entry->pResult = nullptr;
  entry->ResultLength = 0;
  return entry;
}

void QDVP_DoAutoStartMIBmonitorTasks(DPAB *anchor, const char *applicationName) {
  InitializeMIBinterestFiles();
  OSV1_Guard file(&sFileLock);
  if (access(sActive.c_str(), R_OK) != 0) {
    QDVP_TRC(trk, TRK1_DETAIL, "***** MIB interest configuration file %s open failed, errno %d",
             sActive.c_str(), errno);
    return;
  }
  std::string filter = applicationName != nullptr ? Upper(applicationName) : std::string();
  for (const std::string &line : ReadLines(sActive)) {
    if (line.empty()) continue;
    if (!filter.empty() && Upper(QDVP_SNMPoperand(line, "APPLNAME=")).rfind(filter, 0) != 0)
      continue;
    ActionEntry *entry = QDVP_AllocateAutoStartActionEntry(anchor);
    if (entry == nullptr) break;
    entry->pParm = QDV0_StrDup(line.c_str());
    WorkerEntry *worker = QDVP_AllocateActionWorkerTask(anchor, QDVP_ACTION_SNMP, 1);
    if (worker == nullptr) {
      QDVP_ReleaseActionEntry(entry);
      QDVP_TRC(trk, TRK1_ERROR, "*****Auto worker thread creation failed. MIB auto start bypassed");
      break;
    }
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Dispatch auto start MIB monitor for %s", line.c_str());
    entry->pWorker = worker;
    {
      OSV1_Guard hold(&worker->Mutex);
      worker->pAction = entry;
    }
    OSV1_Broadcast(&worker->Mutex, &worker->Cond);
  }
}

void QDVP_UpdateMIBstatusToDCH(DPAB *anchor, const SNMPcollection &c) {
  if (c.Agents.empty()) {
    QDVP_TRC(trk, TRK1_DETAIL, "No agent info Monitor Node entry found");
    return;
  }
  std::string interval = std::to_string(c.Interval), agents = AgentList(c);
  char stamp[32] = "";
  if (c.LastSample != 0) {
    struct tm local;
    localtime_r(&c.LastSample, &local);
    strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
  }
  const char *values[5] = {c.Appl.c_str(), c.Table.c_str(), agents.c_str(), interval.c_str(),
                           stamp};
  QDVP_OutputMIBstatusToDCH(anchor, values);
}

void QDVP_DeleteMIBstatusFromDCH(DPAB *anchor, const SNMPcollection &c) {
  const char *values[5] = {c.Appl.c_str(), c.Table.c_str(), "", "0", ""};
  QDVP_OutputMIBstatusToDCH(anchor, values);
}

void QDVP_UpdateMIBinteresToDCH(DPAB *anchor) {
  for (const SNMPcollection &c : QDVP_SNMPcopyCollections()) QDVP_UpdateMIBstatusToDCH(anchor, c);
}
