// TCP partners of the socket data server: binding an accepted connection (at once for a
// configured partner, on its first bytes for a dynamic one), the outage test the periodic scan
// runs, and the end of a partner's session when its application is deleted.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_dplog.h"
#include "../include/qdvp_request.h"
#include "../include/qdvp_sockets.h"
#include "../include/qdvp_stats.h"
#include "qdvpsock.h"

static TRK1_BLOCK trk = {"qdvpstcp"};

namespace {

const char *TableName(const SourceEntry *s) { return s->pTable ? s->pTable->TableName : ""; }
const char *ApplName(const SourceEntry *s) {
  return s->pTable && s->pTable->pAppl ? s->pTable->pAppl->ApplName : "";
}

// The partner a dynamic connection names in its first line, or null after its refusal. The
// data after that line is left in *first.
IOEntry *DynamicPartner(DPAB *anchor, const struct sockaddr_in *peer, char *buffer, int length,
                        int *translate, std::string *first) QDVP_REQUIRES(anchor->SelectLock) {
  const char *host = QDV0_ResolveAddressToName(peer);
  bool mark = length >= 2 && memcmp(buffer, ExplicitMarkASCII, 2) == 0;
  bool foreign = length >= 2 && memcmp(buffer, ExplicitMarkEBCDIC, 2) == 0;
  if ((!mark && !foreign) || (length >= 14 && memcmp(buffer, SockTransEndMsg, 14) == 0)) {
    if (QDVP_RefusalLogDue(56, peer)) QDVP_SendDPlogMessage(anchor, 56, "TCP", host);
    return nullptr;
  }
  *translate = foreign ? 1 : 0;
  if (foreign) QDV0_ConvertEBCDICtoASCII(buffer, static_cast<size_t>(length));
  size_t cut = strcspn(buffer, "\n");
  std::string record(buffer, cut);
  while (!record.empty() && record.back() == '\r') record.pop_back();
  if (cut < static_cast<size_t>(length)) {
    size_t from = cut + 1;
    if (from < static_cast<size_t>(length) && buffer[from] == '\r') from++;
    first->assign(buffer + from, static_cast<size_t>(length) - from);
  }
  char name[160];
  bool built = false;
  ApplEntry *appl = nullptr;
  if (QDVP_AssociationName(record.c_str(), name, sizeof(name))) {
    appl = QDVP_BuildAssociatedApplication(anchor, name, &built);
  }
  if (appl == nullptr) {
    if (QDVP_RefusalLogDue(30, peer)) {
      QDVP_SendDPlogMessage(anchor, 30, "TCP", host, record.c_str());
    }
    QDVP_TRC(trk, TRK1_ERROR, "*** Invalid data definition file name %s", record.c_str());
    return nullptr;
  }
  IOEntry *partner = QDVP_LookUpPartnerByAddr(anchor, peer, appl);
  if (partner == nullptr) partner = QDVP_CreateDynamicPartner(anchor, appl, peer, *translate);
  if (partner == nullptr) {
    char origin[INET_ADDRSTRLEN];
    QDVP_DottedAddress(peer, origin);
    QDVP_SendDPlogMessage(anchor, 23, host, appl->ApplName, origin);
    QDVP_TRC(trk, TRK1_ERROR, "*** No partner for %s in application %s", origin, appl->ApplName);
    if (built) QDVP_DeleteExistingApplication(anchor, appl);
  }
  return partner;
}

}  // namespace

IOEntry *QDVP_BindTCPpartner(DPAB *anchor, ProcessEntry *pe, int socket,
                             const struct sockaddr_in *peer, IOEntry *configured, char *buffer,
                             int length) {
  int translate = configured != nullptr && configured->pSource != nullptr
                      ? configured->pSource->CodeConversion
                      : 0;
  std::string first;
  IOEntry *partner = configured;
  if (partner == nullptr) {
    partner = DynamicPartner(anchor, peer, buffer, length, &translate, &first);
  } else if (length > 0) {
    first.assign(buffer, static_cast<size_t>(length));
  }
  if (partner == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR,
             "*** TCP connection abandoned. Unable to initialize IO entry. Possibly missing "
             "SOURCE statement for connection partner.");
    QDV0_CloseTheSocket(socket);
    return nullptr;
  }
  {
    OSV1_Guard hold(&partner->IOLock);
    if (partner->Socket >= 0 && partner->Active) {
      QDVP_TRC(trk, TRK1_DETAIL, ">>>>> duplicate connection abandoned");
      QDV0_CloseTheSocket(socket);
      return nullptr;
    }
  }
  QDVP_BindPartner(partner, pe, socket, socket, peer, translate);
  QDVP_UpdateStatLogSockIO(1, 0);
  SourceEntry *source = partner->pSource;
  char port[16], dotted[INET_ADDRSTRLEN];
  snprintf(port, sizeof(port), "%d", ntohs(peer->sin_port));
  QDVP_DottedAddress(peer, dotted);
  QDVP_SendDPlogMessage(anchor, 21, QDV0_ResolveAddressToName(peer), dotted, port, ApplName(source),
                        TableName(source));
  // A source not online yet (Ready) comes online with its session.
  if (source->State == QDVP_Ready) {
    DCHresult online = QDVP_Request(anchor, source, QDVP_VERB_ONLINE, pe);
    if (!online.Delivered()) {
      QDVP_TRC(trk, TRK1_ERROR, "*** dp_online failed for %s [%s %d]",
               QDVP_SourceNodeName(source).c_str(), QDVP_OutcomeName(online.outcome),
               online.status);
      return partner;
    }
    QDVP_UpdateSourceEntryState(source, QDVP_Input);
  }
  {
    OSV1_Guard hold(&partner->IOLock);
    // What followed the association record is the session's first data: the record itself is
    // not looked at again.
    if (configured == nullptr) partner->NewSession = 0;
  }
  // The first buffer is acknowledged once its lines are taken, as every later one is.
  bool taken = first.empty() || QDVP_HandleTCPdata(anchor, pe, partner, first.data(),
                                                   static_cast<int>(first.size()));
  if (length > 0 && taken) QDVP_SendReceivedDataAck(partner, length);
  return partner;
}

// Ends a TCP partner's session: DP log 74, the connection shut, the source offline.
static void EndTCPsession(DPAB *anchor, IOEntry *partner) {
  SourceEntry *source = partner->pSource;
  struct sockaddr_in address;
  int tcp;
  {
    OSV1_Guard hold(&partner->IOLock);
    address = partner->PartnerAddr;
    tcp = partner->TCPsocket;
  }
  char port[16];
  snprintf(port, sizeof(port), "%d", ntohs(address.sin_port));
  QDVP_SendDPlogMessage(anchor, 74, QDV0_ResolveAddressToName(&address), port, ApplName(source),
                        TableName(source));
  int rc = shutdown(tcp, SHUT_RDWR);
  QDVP_TRC(trk, TRK1_DETAIL, "shutdown rc %d errno %d", rc, rc == 0 ? 0 : errno);
  source->TTLexpiry = QDV0_Time();
  QDVP_UpdateSourceEntryState(source, QDVP_Inactive);
  QDVP_ProcessSockRequestByState(anchor, nullptr, partner, 0, nullptr);
  {
    OSV1_Guard hold(&partner->IOLock);
    QDV0_CloseTheSocket(partner->TCPsocket);
    QDVP_ResetPartner(partner);
  }
  QDVP_ReleaseDynamicPartner(anchor, nullptr, partner);
}

// The connect test: 0 connected, else the error. Bounded, so that a host that does not answer
// cannot hold the periodic scan.
static int TestConnect(const struct sockaddr_in *address) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) return -1;
  int rc = connect(s, reinterpret_cast<const struct sockaddr *>(address), sizeof(*address));
  int err = rc == 0 ? 0 : errno;
  if (err == EINPROGRESS) {
    struct pollfd p = {s, POLLOUT, 0};
    if (poll(&p, 1, 3000) == 1) {
      socklen_t len = sizeof(err);
      getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
    } else {
      err = ETIMEDOUT;
    }
  }
  char dotted[INET_ADDRSTRLEN];
  QDVP_DottedAddress(address, dotted);
  QDVP_TRC(trk, TRK1_DETAIL, "Test TCP connection to %s[%d] rc %d errno %d", dotted,
           ntohs(address->sin_port), err == 0 ? 0 : -1, err);
  close(s);
  return err;
}

int QDVP_TestTCPpartners(DPAB *anchor) {
  OSV1_Guard select(&anchor->SelectLock);
  // Only exactly "Y" turns it on; "y" turns it off.
  bool byTTL = strcmp(QDV0_GetEnv("QDVP_TCP_DISCONNECT_BY_TTL", "Y"), "Y") == 0;
  std::vector<IOEntry *> partners;
  {
    OSV1_Guard list(&anchor->ApplIOLock[QDVP_IOE_SOCK - 1]);
    for (IOEntry *io = anchor->pIOEList[QDVP_IOE_SOCK]; io != nullptr; io = io->pNextKind) {
      OSV1_Guard hold(&io->IOLock);
      if (io->Active && io->TCPsocket >= 0 && io->pSource != nullptr &&
          io->pSource->State == QDVP_Input) {
        partners.push_back(io);
      }
    }
  }
  int ended = 0;
  for (IOEntry *io : partners) {
    struct sockaddr_in address;
    int tcp;
    {
      OSV1_Guard hold(&io->IOLock);
      address = io->PartnerAddr;
      tcp = io->TCPsocket;
    }
    int err = TestConnect(&address);
    if (err == 0) continue;
    if (err == ECONNREFUSED) {
      // The host is there; only a source whose TTL has passed is let go.
      if (!byTTL || io->pSource->TTLexpiry == 0 || io->pSource->TTLexpiry > QDV0_Time()) continue;
      QDVP_TRC(trk, TRK1_DETAIL,
               "TCP connection terminated for sock %d due to TTL interval expired", tcp);
    } else {
      QDVP_TRC(trk, TRK1_DETAIL, "TCP connection terminated for sock %d due to outage", tcp);
    }
    EndTCPsession(anchor, io);
    ended++;
  }
  return ended;
}

// The select lock (the console's DELETE holds it, or the server itself) keeps the server from
// serving the partner meanwhile.
void QDVP_EndSocketPartner(DPAB *anchor, SourceEntry *source, ProcessEntry *waiter) {
  IOEntry *partner = source->pIOE;
  if (partner == nullptr) return;
  {
    OSV1_Guard hold(&partner->IOLock);
    if (partner->TCPsocket >= 0) QDV0_CloseTheSocket(partner->TCPsocket);
    QDVP_ResetPartner(partner);
  }
  int state = source->State;
  if (state == QDVP_Active || state == QDVP_Input || state == QDVP_Output) {
    source->StateTime = QDV0_Time();
    QDVP_UpdateSourceEntryState(source, QDVP_Inactive);
    QDVP_ProcessSockRequestByState(anchor, waiter, partner, 0, nullptr);
  }
}
