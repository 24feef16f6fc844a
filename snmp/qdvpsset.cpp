// The SNMP set request of an SNMPSET action: one variable of one agent, the value checked
// against the attribute's type before anything is sent, the agent's error status mapped to
// the action's result text.
//
// The parameter holds NETADDR=agent (host, address or host:port), COMMUNITY= (optional),
// VALUE= and ATTR=, each value running to the next blank.
#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_actions.h"
#include "../include/qdvp_snmp.h"
#include "qdvpsnmp.h"

static TRK1_BLOCK trk = {"qdvpsset"};

namespace {

void Fail(ActionEntry *entry, int status, int result) {
  entry->Status = status;
  QDVP_SetActionResultText(entry, result);
}

// The largest display value a set sends: the value field of a request message.
const size_t kMaxDisplayValue = 255;

}  // namespace

void QDVP_DoSNMPsetRequest(ActionEntry *entry, AttrEntry *attribute) {
  const char *parm = entry->pParm != nullptr ? entry->pParm : "";
  std::string agent = QDVP_SNMPoperand(parm, "NETADDR=");
  std::string community = QDVP_SNMPoperand(parm, "COMMUNITY=");
  std::string value = QDVP_SNMPoperand(parm, "VALUE=");
  if (value.empty()) {
    QDVP_TRC(trk, TRK1_ERROR, "***** SNMP SET value not specified <%s>", parm);
    return Fail(entry, 9, 28);
  }
  unsigned char field[kMaxDisplayValue + 8];
  size_t fieldLength;
  char type = attribute->Type;
  if (type == 'G' || type == 'C') {
    for (char c : value) {
      if (!isdigit(static_cast<unsigned char>(c))) return Fail(entry, 9, 30);
    }
    // A counter or gauge holds 32 bits: a larger number is refused here, not by the agent.
    if (value.size() > 10 || strtoull(value.c_str(), nullptr, 10) > 4294967295ULL) {
      return Fail(entry, 9, 29);
    }
    fieldLength =
        QDV0_FormatBERintegerType(QDV0_BER_INTEGER, atol(value.c_str()), field, sizeof(field));
  } else if (type == 'D') {
    if (value.size() > kMaxDisplayValue ||
        (attribute->MaxValSize > 0 && value.size() > static_cast<size_t>(attribute->MaxValSize))) {
      return Fail(entry, 9, 29);
    }
    fieldLength = QDV0_FormatBERoctetstringType(QDV0_BER_OCTETSTRING, value.data(), value.size(),
                                                field, sizeof(field));
  } else {
    return Fail(entry, 9, 29);
  }
  unsigned char oid[128];
  size_t oidLength =
      attribute->pOID != nullptr ? QDV0_FormatOIDfromString(attribute->pOID, oid, sizeof(oid)) : 0;
  if (oidLength == 0 || fieldLength == 0) return Fail(entry, 9, 29);

  int port;
  std::string host;
  sockaddr_in address{};
  if (!QDVP_SNMPhostPort(agent, QDVP_SNMP_PORT, &host, &port) || host.empty() ||
      QDV0_ConvertNameToAddr(host.c_str(), port, &address) != 0) {
    QDVP_TRC(trk, TRK1_ERROR, "***** SNMP SET agent <%s> unresolved", agent.c_str());
    return Fail(entry, 9, 27);
  }
  if (community.empty()) community = QDVP_SNMPnodeCommunity(address.sin_addr);
  // One agent: the socket is connected to it from the start, so only its answer comes in.
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s >= 0 && connect(s, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
    QDVP_TRC(trk, TRK1_ERROR, "***** SNMP SET agent <%s> unreachable, errno %d", agent.c_str(),
             errno);
    close(s);
    s = -1;
  }
  if (s < 0) return Fail(entry, 2, 37);
  unsigned char buffer[QDVP_SNMP_MESSAGE_SIZE];
  int32_t requestId =
      static_cast<int32_t>(QDV0_Time() & 0x7fffffff) ^ static_cast<int32_t>(entry->ID);
  size_t length = QDVP_SNMPconstructPDUbuffer(buffer, sizeof(buffer), QDVP_SNMP_SET, oid, oidLength,
                                              field, fieldLength, requestId, community.c_str());
  int received =
      length > 0 ? QDVP_SNMPsendAndReceivePDU(s, buffer, length, sizeof(buffer), &address, 0) : -1;
  close(s);
  if (received <= 0) {
    QDVP_TRC(trk, TRK1_ERROR, "***** SNMP SET no answer from <%s>", agent.c_str());
    return Fail(entry, 2, 37);
  }
  int errorStatus = -1, errorIndex = 0;
  size_t at = QDVP_SNMPverifyResponsePDU(buffer, static_cast<size_t>(received), requestId,
                                         &errorStatus, &errorIndex);
  if (at != 0 && errorStatus == 0) return Fail(entry, 0, 31);
  QDVP_TRC(trk, TRK1_ERROR, "***** SNMP SET of <%s> at <%s> error status %d", attribute->Name,
           agent.c_str(), errorStatus);
  switch (errorStatus) {
    case 1:
      return Fail(entry, 2, 32);
    case 2:
      return Fail(entry, 2, 33);
    case 3:
      return Fail(entry, 2, 34);
    case 4:
      return Fail(entry, 2, 35);
    default:
      return Fail(entry, 2, 36);
  }
}
