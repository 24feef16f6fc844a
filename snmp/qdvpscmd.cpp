// The operator's "SNMP Control" commands, rewritten by the automation server into the internal
// SNMP requests that the SNMP worker carries out, and the managed networks of SNMPMANAGE.
//
//   SET NETADDR=agent [COMMUNITY=c] APPLNAME=mib ATTR=attribute VALUE=v   -> SNMPSET
//   MONITOR START|STOP APPLNAME=mib [ATTRGROUP=table] AGENTINFO=(...)     -> SNMPSTARTGET/STOPGET
//   MANAGE NETADDR=network POLL=seconds OPTION=START|STOP|EXCLUDE          -> SNMPMANAGE
#include <arpa/inet.h>
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_actions.h"
#include "../include/qdvp_dplog.h"
#include "../include/qdvp_snmp.h"
#include "qdvpsnmp.h"

static TRK1_BLOCK trk = {"qdvpscmd"};

namespace {

void Rename(ActionEntry *entry, const char *name, const std::string &parm) {
  QDV0_Free(entry->pName);
  entry->pName = QDV0_StrDup(name);
  QDV0_Free(entry->pParm);
  entry->pParm = QDV0_StrDup(parm.c_str());
}

bool Monitor(DPAB *anchor, ActionEntry *entry, const std::string &rest) {
  size_t b = rest.find_first_not_of(' ');
  if (b == std::string::npos) {
    QDVP_TRC(trk, TRK1_ERROR, ">>>>>No SNMP Monitor command qualifier specified");
    return false;
  }
  std::string qualifier = rest.substr(b, rest.find(' ', b) - b);
  bool start = strcasecmp(qualifier.c_str(), "START") == 0;
  if (!start && strcasecmp(qualifier.c_str(), "STOP") != 0) {
    QDVP_TRC(trk, TRK1_ERROR, ">>>>>Invalid SNMP Monitor command request <%s>", rest.c_str());
    return false;
  }
  std::string parm;
  for (const char *key : {"APPLNAME=", "ATTRGROUP=", "AGENTINFO=", "INTERVAL="}) {
    std::string value = QDVP_SNMPoperand(rest, key);
    if (!value.empty()) parm += (parm.empty() ? "" : " ") + std::string(key) + value;
  }
  QDVP_TRC(trk, TRK1_DETAIL, "New SNMP monitor action parm ->%s", parm.c_str());
  std::string agents = QDVP_SNMPoperand(rest, "AGENTINFO=");
  QDVP_SendDPlogMessage(anchor, start ? 110 : 111, agents.c_str());
  Rename(entry, start ? "SNMPSTARTGET" : "SNMPSTOPGET", parm);
  return true;
}

bool Manage(ActionEntry *entry, const std::string &rest) {
  std::string network = QDVP_SNMPoperand(rest, "NETADDR=");
  std::string poll = QDVP_SNMPoperand(rest, "POLL="), option = QDVP_SNMPoperand(rest, "OPTION=");
  if (rest.find("NETADDR") == std::string::npos || rest.find("OPTION") == std::string::npos) {
    QDVP_TRC(trk, TRK1_ERROR, ">>>>>Syntax error in SNMP Manage request parameter <%s>",
             rest.c_str());
    return false;
  }
  if (network.empty() || option.empty()) {
    QDVP_TRC(trk, TRK1_ERROR, ">>>>>Missing request value in SNMP Manage parameter <%s>",
             rest.c_str());
    return false;
  }
  for (char &c : option) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  if (option != "START" && option != "STOP" && option != "EXCLUDE") {
    QDVP_TRC(trk, TRK1_ERROR, ">>>>>Invalid SNMP Manage command qualifier <%s>", rest.c_str());
    return false;
  }
  bool numeric = true;
  int dots = 0;
  for (char c : network) {
    if (c == '.')
      dots++;
    else if (!isdigit(static_cast<unsigned char>(c)))
      numeric = false;
  }
  if (!numeric) {
    char *found = QDVP_LocateNetworkBySymbolicName(network.c_str());
    if (found == nullptr) {
      QDVP_TRC(trk, TRK1_ERROR,
               ">>>>>Cannot resolve input name <%s> to network address in SNMP Manage request "
               "parameter <%s>",
               network.c_str(), rest.c_str());
      return false;
    }
    network = found;
    QDV0_Free(found);
  } else if (dots == 1) {
    network += ".0.0";
  } else if (dots == 2) {
    network += ".0";
  }
  in_addr check;
  if (inet_pton(AF_INET, network.c_str(), &check) != 1) {
    QDVP_TRC(trk, TRK1_ERROR,
             ">>>>>Cannot resolve input name <%s> to network address in SNMP Manage request "
             "parameter <%s>",
             network.c_str(), rest.c_str());
    return false;
  }
  Rename(entry, "SNMPMANAGE",
         "NETADDR=" + network + " POLL=" + (poll.empty() ? "0" : poll) + " OPTION=" + option);
  return true;
}

OSV1_LOCK sManagedLock QDVP_ACQUIRED_AFTER(DPAB::StateMutex) = OSV1_LOCK_INITIALIZER;  // a leaf
std::set<std::string> sManaged QDVP_GUARDED_BY(sManagedLock);  // the networks being managed

}  // namespace

int QDVP_CheckSNMPtakeAction(DPAB *anchor, ActionEntry *entry) {
  if (entry->Type != QDVP_ACTION_SNMP || entry->pName == nullptr) return 0;
  const char *name = entry->pName;
  for (const char *internal : {"SNMPSTARTGET", "SNMPSTOPGET", "SNMPSET", "SNMPMANAGE"}) {
    if (strcmp(name, internal) == 0) return 1;
  }
  if (strcmp(name, "SNMP Control") != 0) return 0;
  std::string parm = entry->pParm != nullptr ? entry->pParm : "";
  size_t b = parm.find_first_not_of(' ');
  std::string first = b == std::string::npos ? "" : parm.substr(b, parm.find(' ', b) - b);
  std::string rest = b == std::string::npos ? "" : parm.substr(b + first.size());
  for (char &c : first) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  bool done = false;
  if (first == "SET") {
    Rename(entry, "SNMPSET", parm);
    done = true;
  } else if (first == "MONITOR") {
    done = Monitor(anchor, entry, rest);
  } else if (first == "MANAGE") {
    done = Manage(entry, rest);
  } else {
    QDVP_TRC(trk, TRK1_ERROR, ">>>>>Invalid SNMP Control command <%s>", parm.c_str());
  }
  // A command not understood stays an SNMP action under a name of its own, which the SNMP
  // worker refuses with the syntax error.
  if (!done) Rename(entry, "SNMPINVALID", parm);
  return 1;
}

int QDVP_EnqueueNetManageToServer(DPAB *anchor, const char *network, int pollSeconds,
                                  const char *option) {
  bool start = strcmp(option, "START") == 0;
  bool changed;
  {
    OSV1_Guard managed(&sManagedLock);
    changed = start ? sManaged.insert(network).second : sManaged.erase(network) > 0;
  }
  QDVP_TRC(trk, TRK1_DETAIL, "Network %s %s, poll %d seconds", network, option, pollSeconds);
  if (changed) QDVP_SendDPlogMessage(anchor, start ? 112 : 113, network);
  return start ? 22 : 23;
}
