// SNMP traps that report a situation to trap receivers: the destination lists, the default
// destinations of the data provider (QDVP_TRAP_DESTINATION, or the trap configuration file
// that the console's TRAPCNFG reloads), and the emission of one version 1 trap per TRAPEMIT
// action.
//
// Every action worker may emit traps. They share one UDP socket, whose sends are serialised
// by its lock; it is connected to each destination before the trap goes there, so it sends
// from the address that leads to the receiver and takes no datagram from anyone else. The
// default destinations are replaced under their own lock, so a TRAPCNFG never pulls an array
// from under a worker that is sending.
#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_actions.h"
#include "../include/qdvp_dplog.h"
#include "../include/qdvp_services.h"
#include "../include/qdvp_snmp.h"
#include "../include/qdvp_stats.h"
#include "qdvpsnmp.h"

static TRK1_BLOCK trk = {"qdvpemit"};

static_assert(sizeof(TrapDest) == 16, "a trap destination is one IPv4 socket address");

const char *const TrapSeverityName[6] = {"Cleared",     "Indeterminate", "Warning",
                                         "Minor error", "Critical",      "Major"};
const char *const TrapCategoryName[10] = {
    "Threshold_Events",    "Network_Topology_Events",   "Error_Events",
    "Status_Events",       "Node_Configuration_Events", "Application_Alert_Events",
    "All_Category_Events", "Log_Only_Events",           "Map_Events",
    "Ignore_Events"};

namespace {

const int kTrapPort = 162;
const size_t kWorkSize = 4096;
const size_t kPredicateMax = 325, kListMax = 1024;
// The other texts of a trap are cut here, so that the whole message always fits its buffer.
const size_t kTextMax = 512;

// The trap socket and the identifiers, set up at the first trap.
struct TrapState {
  int Socket = -1;
  OSV1_LOCK SendLock QDVP_ACQUIRED_AFTER(DPAB::StateMutex) = OSV1_LOCK_INITIALIZER;  // a leaf
  std::vector<unsigned char> Enterprise, Situation, Node, Time, Predicates, Severity, Category,
      List;
  std::string Community;
};
TrapState sTrap;
std::once_flag sTrapOnce;

}  // namespace

// Guards the anchor's default destinations (pTrapDest, TrapDestCount).
OSV1_LOCK QDVP_TrapDestLock = OSV1_LOCK_INITIALIZER;

namespace {

std::vector<unsigned char> Oid(const std::string &text) {
  unsigned char field[128];
  size_t n = QDV0_FormatOIDfromString(text.c_str(), field, sizeof(field));
  return std::vector<unsigned char>(field, field + n);
}

void SetUpTrapState() {
  sTrap.Socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sTrap.Socket >= 0) {
    QDVP_TRC(trk, TRK1_DETAIL, "Socket %u opened for emitting SNMP traps",
             static_cast<unsigned>(sTrap.Socket));
  } else {
    QDVP_TRC(trk, TRK1_ERROR, "*ERROR: Send SNMP trap failed. rc=%d, errno=%d", -1, errno);
  }
  std::string e = QDVP_TrapEnterprisePrefix();
  sTrap.Enterprise = Oid(e + ".1.3");
  sTrap.Situation = Oid(e + ".1.2.1.1.1.1");
  sTrap.Node = Oid(e + ".1.2.1.1.1.2");
  sTrap.Time = Oid(e + ".1.2.1.1.1.3");
  sTrap.Predicates = Oid(e + ".1.2.1.1.1.5");
  sTrap.Severity = Oid(e + ".1.2.1.1.1.6");
  sTrap.Category = Oid(e + ".1.2.1.4.0");
  sTrap.List = Oid(e + ".1.2.1.5.0");
  const char *community = QDV0_GetEnv("QDVP_TRAP_EMIT_COMMUNITY", nullptr);
  sTrap.Community = community != nullptr && community[0] ? community : "vesper";
}

// A tag, its length and contents.
void Put(std::vector<unsigned char> *out, int tag, const unsigned char *data, size_t n) {
  unsigned char header[8];
  size_t h = QDV0_FormatBERheader(tag, n, header, sizeof(header));
  out->insert(out->end(), header, header + h);
  out->insert(out->end(), data, data + n);
}
void PutInteger(std::vector<unsigned char> *out, int tag, long value) {
  unsigned char field[16];
  size_t n = QDV0_FormatBERintegerType(tag, value, field, sizeof(field));
  out->insert(out->end(), field, field + n);
}
// One binding: SEQUENCE { oid, value }, the value an OCTET STRING, or NULL without text.
void PutText(std::vector<unsigned char> *out, const std::vector<unsigned char> &oid,
             const std::string *text) {
  std::vector<unsigned char> binding(oid);
  if (text != nullptr) {
    Put(&binding, QDV0_BER_OCTETSTRING, reinterpret_cast<const unsigned char *>(text->data()),
        text->size());
  } else {
    binding.push_back(QDV0_BER_NULL);
    binding.push_back(0);
  }
  Put(out, QDV0_BER_SEQUENCE, binding.data(), binding.size());
}
void PutNumber(std::vector<unsigned char> *out, const std::vector<unsigned char> &oid, long value) {
  std::vector<unsigned char> binding(oid);
  PutInteger(&binding, QDV0_BER_INTEGER, value);
  Put(out, QDV0_BER_SEQUENCE, binding.data(), binding.size());
}

// The text of operand key( ... ) up to the next closing parenthesis; false when it is absent
// or empty.
bool Operand(const char *parm, const char *key, std::string *value) {
  const char *at = strstr(parm, key);
  if (at == nullptr) return false;
  at += strlen(key);
  const char *end = strchr(at, ')');
  if (end == nullptr) end = at + strlen(at);
  value->assign(at, static_cast<size_t>(end - at));
  return !value->empty();
}

int IndexOf(const std::string &text, const char *const *names, int count, int otherwise) {
  for (int i = 0; i < count; i++) {
    if (text == names[i]) return i;
  }
  return otherwise;
}

// The local host's address for the trap's agent address field; 0.0.0.0 when the host name
// does not resolve.
in_addr LocalAddress() {
  sockaddr_in local{};
  if (QDV0_ConvertNameToAddr(QDV0_LocalHostNameString(), 0, &local) != 0) {
    local.sin_addr.s_addr = 0;
  }
  return local.sin_addr;
}

void SetResult(ActionEntry *entry, const std::string &text) {
  QDV0_Free(entry->pResult);
  entry->pResult = QDV0_StrDup(text.c_str());
  entry->ResultLength = entry->pResult != nullptr ? static_cast<int>(strlen(entry->pResult)) : 0;
}

std::string Trimmed(std::string s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  s.erase(0, b);
  s.erase(s.find_last_not_of(" \t\r\n") + 1);
  return s;
}

}  // namespace

std::string QDVP_TrapEnterprisePrefix() {
  static const std::string prefix = [] {
    long number = atol(QDV0_GetEnv("QDVP_TRAP_ENTERPRISE_NUMBER", "32473"));
    return "1.3.6.1.4.1." + std::to_string(number > 0 ? number : 32473);
  }();
  return prefix;
}

TrapDest *QDVP_ConstructTrapDestinationArray(const char *text, int *count) {
  *count = 0;
  if (text == nullptr) return nullptr;
  while (*text == ' ') text++;
  if (*text == '\0') {
    QDVP_TRC(trk, TRK1_DETAIL, "No customized SNMP trap destination defined");
    return nullptr;
  }
  std::vector<std::string> entries;
  for (const char *at = text;;) {
    const char *comma = strchr(at, ',');
    if (comma == nullptr) {
      // Text after the last comma is one more entry; nothing after it is none.
      if (*at != '\0') entries.emplace_back(at);
      break;
    }
    entries.emplace_back(at, static_cast<size_t>(comma - at));
    at = comma + 1;
  }
  if (entries.empty()) return nullptr;
  auto *array = static_cast<TrapDest *>(QDV0_GetStorage(entries.size() * sizeof(TrapDest)));
  if (array == nullptr) return nullptr;
  for (size_t i = 0; i < entries.size(); i++) {
    std::string name;
    int port;
    memset(&array[i], 0, sizeof(TrapDest));
    if (!QDVP_SNMPhostPort(Trimmed(entries[i]), kTrapPort, &name, &port) || name.empty() ||
        QDV0_ConvertNameToAddr(name.c_str(), port, &array[i].Address) != 0) {
      QDVP_TRC(trk, TRK1_ERROR, "*****Trap destination <%s> unresolved", entries[i].c_str());
      memset(&array[i], 0, sizeof(TrapDest));
      array[i].Address.sin_family = AF_INET;
      array[i].Address.sin_port = htons(static_cast<uint16_t>(kTrapPort));
    }
    char dotted[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &array[i].Address.sin_addr, dotted, sizeof(dotted));
    QDVP_TRC(trk, TRK1_DETAIL, "Trap destination %2.2d ->%s", static_cast<int>(i) + 1, dotted);
  }
  *count = static_cast<int>(entries.size());
  return array;
}

void QDVP_ReleaseTrapDestinationArray(TrapDest *array) { QDV0_Free(array); }

void QDVP_SetDefaultTrapDestinations(DPAB *anchor, const char *text) {
  int count = 0;
  TrapDest *array = QDVP_ConstructTrapDestinationArray(text, &count);
  TrapDest *old;
  {
    OSV1_Guard dest(&QDVP_TrapDestLock);
    old = anchor->pTrapDest;
    anchor->pTrapDest = array;
    anchor->TrapDestCount = count;
  }
  QDVP_ReleaseTrapDestinationArray(old);
}

// The trap configuration file: DESTINATION= lines (host, host:port, or lists of them separated
// by commas), blank lines and comments (# or *). It replaces the default destinations.
int QDVP_LoadTrapConfiguration(DPAB *anchor) {
  const char *name = QDV0_QueryProductSpec(25);
  if (name == nullptr || name[0] == '\0') return QDVP_TRAPCNFG_NOT_FOUND;
  char *path = QDV0_QualifyFileName(nullptr, name);
  FILE *f = path != nullptr ? QDV0_OpenRegularFile(path) : nullptr;
  if (f == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "***** Trap configuration file %s not found", path ? path : name);
    QDV0_Free(path);
    return QDVP_TRAPCNFG_NOT_FOUND;
  }
  std::string destinations;
  char line[1024];
  int number = 0, bad = 0;
  while (fgets(line, sizeof(line), f) != nullptr) {
    number++;
    std::string text = Trimmed(line);
    if (text.empty() || text[0] == '#' || text[0] == '*') continue;
    if (strncasecmp(text.c_str(), "DESTINATION=", 12) == 0) {
      std::string list = Trimmed(text.substr(12));
      if (list.empty()) continue;
      if (!destinations.empty()) destinations += ",";
      destinations += list;
      continue;
    }
    bad++;
    QDVP_TRC(trk, TRK1_ERROR, "***** Trap configuration %s line %d not understood: %s", path,
             number, text.c_str());
  }
  fclose(f);
  // A file with a line not understood changes nothing: half a configuration could send the
  // traps of every situation to the wrong receivers.
  if (bad == 0) {
    QDVP_SetDefaultTrapDestinations(anchor, destinations.c_str());
    QDVP_SendDPlogMessage(anchor, 102, path);
  }
  QDV0_Free(path);
  return bad == 0 ? 0 : QDVP_TRAPCNFG_BAD_LINES;
}

void QDVP_EmitSNMPtrap(DPAB *anchor, ActionEntry *entry) {
  std::call_once(sTrapOnce, SetUpTrapState);
  SetResult(entry, "");
  const char *parm = entry->pParm != nullptr ? entry->pParm : "";
  while (*parm == ' ') parm++;
  std::string dest, sit, time, node, sev, cat, pred, list;
  bool ownDest = Operand(parm, "DEST(", &dest) && dest != "_DEFAULT";
  bool hasSit = Operand(parm, "SIT(", &sit), hasTime = Operand(parm, "TIME(", &time);
  bool hasNode = Operand(parm, "NODE(", &node);
  Operand(parm, "SEV(", &sev);
  Operand(parm, "CAT(", &cat);
  bool hasPred = Operand(parm, "PRED(", &pred), hasList = Operand(parm, "LIST(", &list);
  if (pred.size() > kPredicateMax) {
    pred.resize(kPredicateMax);
    QDVP_TRC(trk, TRK1_DETAIL, "Trap predicates truncated to maximum %d",
             static_cast<int>(kPredicateMax));
  }
  if (list.size() > kListMax) {
    list.resize(kListMax);
    QDVP_TRC(trk, TRK1_DETAIL, "Trap attribute list truncated to maximum %d",
             static_cast<int>(kListMax));
  }
  for (char &c : list) {
    if (c == ';') c = ',';
  }
  for (std::string *s : {&sit, &time, &node}) {
    if (s->size() > kTextMax) s->resize(kTextMax);
  }

  // The destinations: the action's own, else a copy of the defaults taken under their lock.
  std::vector<TrapDest> targets;
  if (ownDest) {
    int count = 0;
    TrapDest *array = QDVP_ConstructTrapDestinationArray(dest.c_str(), &count);
    if (array != nullptr) targets.assign(array, array + count);
    QDVP_ReleaseTrapDestinationArray(array);
  } else {
    OSV1_Guard defaults(&QDVP_TrapDestLock);
    if (anchor->pTrapDest != nullptr) {
      targets.assign(anchor->pTrapDest, anchor->pTrapDest + anchor->TrapDestCount);
    }
  }
  bool anyResolved = false;
  for (const TrapDest &t : targets) anyResolved = anyResolved || t.Address.sin_addr.s_addr != 0;
  if (!anyResolved || sTrap.Socket < 0) {
    QDVP_TRC(trk, TRK1_ERROR, "No customized SNMP trap destination defined");
    entry->Status = QDVP_ACTION_STATUS_NO_TRAP_DESTINATION;
    SetResult(entry, targets.empty() ? "No SNMP trap destination defined"
                                     : "No SNMP trap destination resolved");
    return;
  }

  std::vector<unsigned char> bindings;
  PutText(&bindings, sTrap.Situation, hasSit ? &sit : nullptr);
  PutText(&bindings, sTrap.Node, hasNode ? &node : nullptr);
  PutText(&bindings, sTrap.Time, hasTime ? &time : nullptr);
  PutNumber(&bindings, sTrap.Severity, IndexOf(sev, TrapSeverityName, 6, 2));
  PutNumber(&bindings, sTrap.Category, IndexOf(cat, TrapCategoryName, 9, 0));
  if (hasPred) PutText(&bindings, sTrap.Predicates, &pred);
  if (hasList) PutText(&bindings, sTrap.List, &list);

  std::vector<unsigned char> pdu(sTrap.Enterprise);
  in_addr local = LocalAddress();
  Put(&pdu, QDVP_SNMP_IPADDRESS, reinterpret_cast<const unsigned char *>(&local.s_addr), 4);
  PutInteger(&pdu, QDV0_BER_INTEGER, 6);  // enterprise specific
  PutInteger(&pdu, QDV0_BER_INTEGER, 8);
  PutInteger(&pdu, QDVP_SNMP_TIMETICKS, static_cast<long>(QDV0_Time() - anchor->StartTime));
  Put(&pdu, QDV0_BER_SEQUENCE, bindings.data(), bindings.size());
  std::vector<unsigned char> body;
  PutInteger(&body, QDV0_BER_INTEGER, 0);
  Put(&body, QDV0_BER_OCTETSTRING, reinterpret_cast<const unsigned char *>(sTrap.Community.data()),
      sTrap.Community.size());
  Put(&body, QDVP_SNMP_TRAP, pdu.data(), pdu.size());
  std::vector<unsigned char> message;
  Put(&message, QDV0_BER_SEQUENCE, body.data(), body.size());
  if (message.size() > kWorkSize) {  // cannot happen with the texts cut as above
    entry->Status = QDVP_ACTION_STATUS_TRAP_SEND_FAILED;
    SetResult(entry, "Send trap rc=-1 errno=0");
    return;
  }

  int rc = 0, error = 0;
  std::string sentTo;
  {
    OSV1_Guard send(&sTrap.SendLock);
    for (size_t i = 0; i < targets.size(); i++) {
      const sockaddr_in &to = targets[i].Address;
      if (to.sin_addr.s_addr == 0) {
        QDVP_TRC(trk, TRK1_DETAIL, "Unresolved trap destination %d bypassed",
                 static_cast<int>(i) + 1);
        continue;
      }
      char dotted[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &to.sin_addr, dotted, sizeof(dotted));
      ssize_t sent = -1;
      if (connect(sTrap.Socket, reinterpret_cast<const sockaddr *>(&to), sizeof(to)) == 0) {
        sent = ::send(sTrap.Socket, message.data(), message.size(), 0);
        // A receiver that was not there for the previous trap leaves its refusal on the
        // socket, reported by this send: this trap goes again.
        if (sent < 0 && errno == ECONNREFUSED) {
          sent = ::send(sTrap.Socket, message.data(), message.size(), 0);
        }
      }
      rc = sent == static_cast<ssize_t>(message.size()) ? 0 : -1;
      error = rc == 0 ? 0 : errno;
      QDVP_TRC(trk, TRK1_DETAIL, "SNMP trap Sendto %s[%d], rc=%d, errno=%d", dotted,
               ntohs(to.sin_port), rc, error);
      if (rc != 0) {
        QDVP_TRC(trk, TRK1_ERROR, "*ERROR: Send SNMP trap failed. rc=%d, errno=%d", rc, error);
        break;
      }
      if (255 - sentTo.size() > 16 + strlen("SNMP trap emitted to agents: ")) {
        sentTo += std::string(dotted) + ", ";
      }
    }
  }
  if (rc != 0) {
    char text[64];
    snprintf(text, sizeof(text), "Send trap rc=%d errno=%d", rc, error);
    entry->Status = QDVP_ACTION_STATUS_TRAP_SEND_FAILED;
    SetResult(entry, text);
    return;
  }
  if (sentTo.size() >= 2) sentTo.resize(sentTo.size() - 2);
  entry->Status = QDVP_ACTION_STATUS_DONE;
  SetResult(entry, "SNMP trap emitted to agents: " + sentTo);
  QDVP_UpdateStatLogTrapEmitted(1);
}
