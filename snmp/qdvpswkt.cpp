// The SNMP worker: the task that carries out an SNMP take action. SNMPSTARTGET is answered at
// once and then polled on this task until the collection stops; SNMPSTOPGET stops the named
// agents, or the whole collection, of a table another worker polls.
//
// The start request's parameter holds APPLNAME=name, AGENTINFO=(agent,...), and optionally
// ATTRGROUP=table and INTERVAL=seconds, separated by blanks. An agent is a host name or dotted
// address, host:port for an agent on another port than 161, or {host community} ({host
// community v2c} for an agent polled with SNMP version 2c); a network (a symbolic name of the
// network name file, or an address of two or three parts) stands for its nodes of the managed
// node list, or for an undiscovered class C network its 254 hosts. An agent with no community
// of its own takes the community file's entry for its address, else QDVP_SNMP_NET_COMMUNITY,
// else "vesper"; an agent that does not name its version takes the one of the file's entry
// (version 1 without one). A start without ATTRGROUP starts every table of the application,
// each as a request of its own.
#include <arpa/inet.h>
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sstream>
#include <string>
#include <vector>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_actions.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_metafile.h"
#include "../include/qdvp_snmp.h"
#include "qdvpsnmp.h"

static TRK1_BLOCK trk = {"qdvpswkt"};

namespace {

// The network an agent entry names, as a four-part address, or "" for a single node: a
// symbolic network name of the network name file, or a dotted address of two or three parts.
std::string NetworkOf(const std::string &item) {
  bool dotted = !item.empty();
  int dots = 0;
  for (char c : item) {
    if (c == '.')
      dots++;
    else if (!isdigit(static_cast<unsigned char>(c)))
      dotted = false;
  }
  if (dotted) {
    if (dots == 1) return item + ".0.0";
    if (dots == 2) return item + ".0";
    return std::string();
  }
  char *network = QDVP_LocateNetworkBySymbolicName(item.c_str());
  std::string text = network != nullptr ? network : "";
  QDV0_Free(network);
  return text;
}

// The agents of an AGENTINFO list; false when it cannot be taken apart.
bool ParseAgents(const std::string &list, std::vector<SNMPagent> *agents) {
  if (list.size() < 2 || list.front() != '(' || list.back() != ')') return false;
  std::string body = list.substr(1, list.size() - 2);
  size_t at = 0;
  while (at < body.size()) {
    size_t end = body.find(',', at);
    if (end == std::string::npos) end = body.size();
    std::string item = body.substr(at, end - at);
    at = end + 1;
    while (!item.empty() && item.front() == ' ') item.erase(0, 1);
    while (!item.empty() && item.back() == ' ') item.pop_back();
    if (item.empty()) continue;
    SNMPagent agent;
    bool own = false;
    if (item.front() == '{') {
      if (item.back() != '}') return false;
      item = item.substr(1, item.size() - 2);
      // {host community [version]}
      std::vector<std::string> words;
      std::istringstream split(item);
      for (std::string word; split >> word;) words.push_back(word);
      if (words.empty() || words.size() > 3) return false;
      item = words[0];
      if (words.size() == 1) {
        QDVP_TRC(trk, TRK1_DETAIL, "Community value not specified.");
      } else {
        agent.Community = words[1];
        own = true;
        agent.OwnCommunity = true;
      }
      if (words.size() == 3) {
        agent.Version = QDVP_SNMPversionWord(words[2]);
        if (agent.Version < 0) {
          QDVP_TRC(trk, TRK1_ERROR, "*****SNMP version <%s> of agent <%s> unknown",
                   words[2].c_str(), item.c_str());
          return false;
        }
        agent.OwnVersion = true;
      }
    }
    int port;
    agent.Host = item;  // with its port, which tells two agents of one host apart
    if (!QDVP_SNMPhostPort(agent.Host, QDVP_SNMP_PORT, &item, &port)) return false;
    std::string network = NetworkOf(item);
    std::vector<SNMPagent> nodes;
    if (network.empty()) {
      if (QDV0_ConvertNameToAddr(item.c_str(), port, &agent.Address) != 0) {
        QDVP_TRC(trk, TRK1_ERROR, "*****Input agent name <%s> unresolved, ignored", item.c_str());
        continue;
      }
      nodes.push_back(agent);
    } else {
      in_addr net;
      std::vector<in_addr> addresses;
      if (inet_pton(AF_INET, network.c_str(), &net) == 1) {
        QDVP_ConstructNetworkNodeList(&net, &addresses);
      }
      for (const in_addr &a : addresses) {
        SNMPagent node = agent;
        char dotted[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &a, dotted, sizeof(dotted));
        node.Host =
            port == QDVP_SNMP_PORT ? dotted : std::string(dotted) + ":" + std::to_string(port);
        node.Network = port == QDVP_SNMP_PORT ? item : item + ":" + std::to_string(port);
        node.Address.sin_family = AF_INET;
        node.Address.sin_port = htons(static_cast<uint16_t>(port));
        node.Address.sin_addr = a;
        nodes.push_back(node);
      }
    }
    for (SNMPagent &node : nodes) {
      if (!own) node.Community = QDVP_SNMPnodeCommunity(node.Address.sin_addr);
      if (!node.OwnVersion) node.Version = QDVP_SNMPnodeVersion(node.Address.sin_addr);
      agents->push_back(node);
    }
  }
  return true;
}

int DefaultInterval() {
  static const int seconds = [] {
    int n = atoi(QDV0_GetEnv("QDVP_SNMP_CUSTOM_MIBGET_INTERVAL", "300"));
    return n > 0 ? n : 300;
  }();
  return seconds;
}

void Fail(ActionEntry *entry, int status, int result) {
  entry->Status = status;
  if (result >= 0) QDVP_SetActionResultText(entry, result);
}

// Queues a copy of the request for one table, for a start or stop without ATTRGROUP.
void RequeueForTable(DPAB *anchor, ActionEntry *entry, const char *table) {
  ActionEntry *copy = QDVP_AllocateActionEntry(anchor);
  if (copy == nullptr) return;
  std::string parm = std::string(entry->pParm ? entry->pParm : "") + " ATTRGROUP=" + table;
  copy->Type = entry->Type;
  copy->ID = entry->ID;
  copy->FieldsReceived = QDVP_ACTION_REQUIRED_FIELDS;
  copy->pSourceNodeName = QDV0_StrDup(entry->pSourceNodeName ? entry->pSourceNodeName : "");
  copy->pOwner = QDV0_StrDup("SNMPAUTOINIT");  // an internal request: no status of its own
  copy->pName = QDV0_StrDup(entry->pName);
  copy->pParm = QDV0_StrDup(parm.c_str());
  QDVP_EnqueueActionToServer(anchor, copy);
}

// The application and table a request names, with a source of them held for the caller (the
// table's, or the application's first table's for a request without ATTRGROUP), so that
// neither can be freed while the request works on them; the caller lets go of *held. False
// (with the status set) when either is missing. *table is null for a request without ATTRGROUP.
bool Target(DPAB *anchor, ActionEntry *entry, ApplEntry **appl, TableEntry **table,
            SourceEntry **held) {
  std::string name = QDVP_SNMPoperand(entry->pParm, "APPLNAME=");
  std::string group = QDVP_SNMPoperand(entry->pParm, "ATTRGROUP=");
  TableEntry *found = nullptr;
  *held = QDVP_HoldTableSource(anchor, name.c_str(), static_cast<int>(name.size()),
                               group.empty() ? nullptr : group.c_str(),
                               static_cast<int>(group.size()), appl, &found);
  *table = group.empty() ? nullptr : found;
  if (*held == nullptr) {
    // Nothing found is held, so nothing found is looked at.
    if (*appl == nullptr || group.empty()) {
      QDVP_TRC(trk, TRK1_ERROR,
               "***** SNMPSTARTGET ignored. MIB not loaded or APPLNAME <%s> not found.",
               name.c_str());
    } else {
      QDVP_TRC(
          trk, TRK1_ERROR,
          "***** SNMPSTARTGET ignored. MIB not loaded or Attr group <%s> not found in Appl <%s>",
          group.c_str(), name.c_str());
    }
    *appl = nullptr;
    *table = nullptr;
    Fail(entry, 9, 9);
    return false;
  }
  if (!(*appl)->SNMPappl) {
    QDVP_TRC(trk, TRK1_ERROR, "***** SNMPSTARTGET ignored. Application <%s> is not an SNMP MIB.",
             name.c_str());
    QDVP_LetGoSource(*held);
    *held = nullptr;
    Fail(entry, 9, 9);
    return false;
  }
  return true;
}

// SNMPSTARTGET: answered first, then polled here when no other worker polls the table.
void StartGet(WorkerEntry *worker, ActionEntry *entry, bool *replied) {
  DPAB *anchor = worker->pDPAB;
  const char *parm = entry->pParm != nullptr ? entry->pParm : "";
  if (strstr(parm, "APPLNAME=") == nullptr || strstr(parm, "AGENTINFO=") == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR,
             "***** SNMPSTARTGET ignored. AGENTNAME or APPLNAME not found in action parms <%s>",
             parm);
    Fail(entry, 9, 9);
    return;
  }
  ApplEntry *appl;
  TableEntry *table;
  SourceEntry *held;
  if (!Target(anchor, entry, &appl, &table, &held)) return;
  std::vector<SNMPagent> agents;
  if (!ParseAgents(QDVP_SNMPoperand(parm, "AGENTINFO="), &agents)) {
    QDVP_TRC(trk, TRK1_ERROR, ">>>>>Action info parm syntax error. STARTGET action ignored");
    QDVP_LetGoSource(held);
    Fail(entry, 9, 9);
    return;
  }
  int interval = DefaultInterval();
  std::string given = QDVP_SNMPoperand(parm, "INTERVAL=");
  if (!given.empty()) interval = atoi(given.c_str()) < 30 ? 30 : atoi(given.c_str());
  QDVP_TRC(trk, TRK1_DETAIL, "SNMP GET interval is %d seconds", interval);
  if (table == nullptr) {
    OSV1_Guard tables(&appl->TableListLock);
    for (TableEntry *t = appl->pTableList; t != nullptr; t = t->pNext) {
      RequeueForTable(anchor, entry, t->TableName);
    }
    QDVP_TRC(trk, TRK1_DETAIL, "All SNMP application attribute groups processed");
    QDVP_LetGoSource(held);
    Fail(entry, 0, 20);
    return;
  }
  Fail(entry, 0, 20);
  if (strcmp(entry->pOwner ? entry->pOwner : "", "SNMPAUTOINIT") != 0) {
    QDVP_RecordActionOutcome(anchor, worker->pPE, entry);
    QDVP_ReplyActionToDCH(anchor, worker->pPE, worker->pReplySource, entry);
  }
  *replied = true;
  SNMPstart start;
  start.ID = entry->ID;
  start.Owner = entry->pOwner ? entry->pOwner : "";
  start.Agents = agents;
  start.Interval = interval;
  if (QDVP_SNMPjoinMonitor(appl, table, start)) {
    QDVP_LetGoSource(held);  // the running monitor holds the table itself
    return;
  }
  // The hold goes to the monitor, whose polling lets go of it as it ends.
  SNMPmonitor *monitor = QDVP_SNMPaddMonitor(appl, table, held, worker, start);
  QDVP_SNMPmonitorMIBtable(anchor, worker, monitor);
}

// SNMPSTOPGET: the named agents, or with "*" every agent, stop being polled. A stop without
// APPLNAME= ends the earlier start request of the same identifier and owner.
void StopGet(WorkerEntry *worker, ActionEntry *entry) {
  DPAB *anchor = worker->pDPAB;
  if (strstr(entry->pParm ? entry->pParm : "", "APPLNAME=") == nullptr) {
    bool found = QDVP_SNMPstopGetProcess(entry->ID, entry->pOwner ? entry->pOwner : "");
    return Fail(entry, 0, found ? 21 : 10);
  }
  ApplEntry *appl;
  TableEntry *table;
  SourceEntry *held;
  if (!Target(anchor, entry, &appl, &table, &held)) return;
  // The source is held only while the request works on its application and table.
  struct LetGo {
    SourceEntry *source;
    ~LetGo() { QDVP_LetGoSource(source); }
  } letGo{held};
  if (table == nullptr) {
    OSV1_Guard tables(&appl->TableListLock);
    bool any = false;
    for (TableEntry *t = appl->pTableList; t != nullptr; t = t->pNext) {
      if (QDVP_SNMPmonitorExists(appl, t)) {
        RequeueForTable(anchor, entry, t->TableName);
        any = true;
      }
    }
    Fail(entry, 0, any ? 21 : 10);
    return;
  }
  std::string list = QDVP_SNMPoperand(entry->pParm, "AGENTINFO=");
  std::vector<SNMPagent> agents;
  bool all = list.empty() || list.find('*') != std::string::npos;
  if (!all && !ParseAgents(list, &agents)) {
    QDVP_TRC(trk, TRK1_ERROR, ">>>>>Action info parm syntax error. STOPGET action ignored");
    Fail(entry, 9, 9);
    return;
  }
  if (QDVP_SNMPdeleteAgentNodes(appl, table, all ? nullptr : &agents) < 0) {
    QDVP_TRC(trk, TRK1_DETAIL,
             ">>>>>No active action task found for special. STOPGET action ignored");
    Fail(entry, 0, 10);
    return;
  }
  Fail(entry, 0, 21);
}

// SNMPSET: the attribute must be a scalar of a loaded SNMP application.
void Set(DPAB *anchor, ActionEntry *entry) {
  // Applications are deleted under the select lock: held here, the attribute found stays
  // while its set request is built and answered.
  OSV1_Guard select(&anchor->SelectLock);
  AttrEntry *attribute = QDVP_LocateSetAttribute(anchor, entry->pParm ? entry->pParm : "");
  if (attribute == nullptr) return Fail(entry, 9, 25);
  size_t n = attribute->pOID != nullptr ? strlen(attribute->pOID) : 0;
  if (n < 2 || strcmp(attribute->pOID + n - 2, ".0") != 0) return Fail(entry, 9, 26);
  QDVP_DoSNMPsetRequest(entry, attribute);
}

// SNMPMANAGE: the network joins or leaves the managed networks.
void Manage(DPAB *anchor, ActionEntry *entry) {
  const char *parm = entry->pParm ? entry->pParm : "";
  std::string network = QDVP_SNMPoperand(parm, "NETADDR=");
  std::string option = QDVP_SNMPoperand(parm, "OPTION=");
  if (network.empty() || option.empty()) return Fail(entry, 9, 9);
  int poll = atoi(QDVP_SNMPoperand(parm, "POLL=").c_str());
  int result = QDVP_EnqueueNetManageToServer(anchor, network.c_str(), poll, option.c_str());
  Fail(entry, 0, result);
}

}  // namespace

// One SNMP action; a start polls here until its collection ends. The answer goes to the agent
// unless the request is an internal one (owner SNMPAUTOINIT).
static void HandleSNMPaction(WorkerEntry *worker, ActionEntry *entry) {
  bool replied = false;
  const char *name = entry->pName != nullptr ? entry->pName : "";
  if (entry->FieldsReceived < QDVP_ACTION_REQUIRED_FIELDS) {
    QDVP_TRC(trk, TRK1_ERROR, "***** not all required action fields received. Action failed");
    entry->Status = QDVP_ACTION_STATUS_MISSING_FIELDS;
  } else if (strcmp(name, "SNMPSTARTGET") == 0) {
    StartGet(worker, entry, &replied);
  } else if (strcmp(name, "SNMPSTOPGET") == 0) {
    StopGet(worker, entry);
  } else if (strcmp(name, "SNMPSET") == 0) {
    Set(worker->pDPAB, entry);
  } else if (strcmp(name, "SNMPMANAGE") == 0) {
    Manage(worker->pDPAB, entry);
  } else if (strcmp(name, "SNMPINVALID") == 0) {
    Fail(entry, 9, 9);  // an SNMP Control command that could not be taken apart
  } else {
    QDVP_TRC(trk, TRK1_ERROR, "***** unrecognized SNMP action request <%s>", name);
    entry->Status = QDVP_ACTION_STATUS_MISSING_FIELDS;
  }
  bool internal = strcmp(entry->pOwner ? entry->pOwner : "", "SNMPAUTOINIT") == 0;
  if (!replied && !internal) {
    QDVP_RecordActionOutcome(worker->pDPAB, worker->pPE, entry);
    QDVP_ReplyActionToDCH(worker->pDPAB, worker->pPE, worker->pReplySource, entry);
  } else if (!replied && entry->Status != 0) {
    // An automatic restart that is refused (a record of the MIB interest file whose MIB is not
    // loaded, or that is not a record) has its ACTION row and action log line.
    QDVP_RecordActionOutcome(worker->pDPAB, worker->pPE, entry);
  }
}

void QDVP_SNMPWorkerTask(ProcessEntry *pe) { QDVP_RunActionWorker(pe, HandleSNMPaction); }

std::string QDVP_SNMPoperand(const char *parm, const char *key) {
  const char *at = parm != nullptr ? strstr(parm, key) : nullptr;
  if (at == nullptr) return std::string();
  at += strlen(key);
  const char *end = at;
  if (*at == '(') {
    end = strchr(at, ')');
    return end != nullptr ? std::string(at, static_cast<size_t>(end - at + 1)) : std::string();
  }
  while (*end && *end != ' ') end++;
  return std::string(at, static_cast<size_t>(end - at));
}
