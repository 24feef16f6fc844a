// The socket data server and the client API server: one loop, QDVP_CommonSocketServer, in two
// modes. Each task has one UDP and one TCP socket on its port, waits for input from any of them
// and from every bound partner, and decides what each input means (a datagram, a new
// connection, a connection's first bytes, a partner's bytes or its close). Socket data mode
// serves the partners of SOCK sources, with lines held back until they end; API mode serves the
// partners of base sources, one request per receive, each answered (qdvpapi.cpp).
//
// The loop holds the select lock except while it waits, so the tasks that change the partner
// list (application deletion, the periodic scan) find it waiting; they wake it with a wake-up
// datagram so that the set of sockets it waits on is built again. A connection that has not
// said yet which application it feeds waits in a list of its own, with a deadline, so that it
// holds up nobody. At the open-file limit the listening socket rests for a moment after the
// connections that wait were closed, so that the loop never spins on what it cannot accept.
#include "qdvpsock.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_dplog.h"
#include "../include/qdvp_request.h"
#include "../include/qdvp_services.h"
#include "../include/qdvp_sockets.h"
#include "../include/qdvp_stats.h"

static TRK1_BLOCK trk = {"qdvpsock"};

namespace {

// An accepted connection that is not bound to a partner yet: its first bytes must name the
// metafile of its application.
struct Unbound {
  int socket;
  struct sockaddr_in peer;
  time_t deadline;
  std::string first;
};

struct Server {
  DPAB *anchor;
  ProcessEntry *pe;
  bool api = false;          // the client API server
  int list = QDVP_IOE_SOCK;  // its partners: QDVP_IOE_SOCK, or QDVP_IOE_BASE for the API
  int udp = -1;
  int tcp = -1;
  int port = 0;
  int expireFactor = 5;
  int udpIdle = QDVP_UDP_SESSION_IDLE_DEFAULT;  // QDVP_UDP_SESSION_IDLE
  char buffer[QDVP_SOCK_BUFFER_SIZE + 1];
  std::vector<Unbound> unbound;
  QDVP_AcceptLimit limit;  // the listening socket at the open-file limit
};

const char *TableName(const SourceEntry *s) { return s->pTable ? s->pTable->TableName : ""; }
const char *ApplName(const SourceEntry *s) {
  return s->pTable && s->pTable->pAppl ? s->pTable->pAppl->ApplName : "";
}

// A datagram whose bytes equal a wake-up text over its length only ends the wait.
bool IsWakeUp(const char *data, int length) {
  for (const char *text : {SelectShutDownMsg, SelectDeleteMsg}) {
    if (length > 0 && static_cast<size_t>(length) <= strlen(text) &&
        memcmp(data, text, static_cast<size_t>(length)) == 0) {
      return true;
    }
  }
  return false;
}

bool IsEndMarker(const char *data, size_t length) {
  return length >= 14 && memcmp(data, SockTransEndMsg, 14) == 0;
}

void LogSessionEnd(DPAB *anchor, const char *how, IOEntry *partner) QDVP_REQUIRES(partner->IOLock) {
  char port[16];
  snprintf(port, sizeof(port), "%d", ntohs(partner->PartnerAddr.sin_port));
  SourceEntry *s = partner->pSource;
  QDVP_SendDPlogMessage(anchor, 24, how, QDV0_ResolveAddressToName(&partner->PartnerAddr), port,
                        ApplName(s), TableName(s));
}

// The partner still bound to socket fd, if any: the list may have changed while we waited.
IOEntry *BoundPartner(Server *sv, IOEntry *candidate, int fd) {
  DPAB *anchor = sv->anchor;
  OSV1_Guard list(&anchor->ApplIOLock[sv->list - 1]);
  for (IOEntry *io = anchor->pIOEList[sv->list]; io != nullptr; io = io->pNextKind) {
    if (io != candidate) continue;
    OSV1_Guard hold(&io->IOLock);
    return io->TCPsocket == fd ? io : nullptr;
  }
  return nullptr;
}

// When a UDP session that has just heard from its sender ends if it hears nothing more: after
// the table's time to live times the expire factor, and never later than the idle bound, so that
// sessions whose senders went away cannot use up a table's sources, whatever its time to live.
time_t UDPexpiry(const Server *sv, const SourceEntry *source) {
  time_t wait = sv->udpIdle;
  if (source->pTable != nullptr && source->pTable->TTL > 0) {
    time_t ttl = static_cast<time_t>(source->pTable->TTL) * sv->expireFactor;
    if (ttl < wait) wait = ttl;
  }
  return QDV0_Time() + wait;
}

// An API datagram: the sender's session (bound now by its BGNINP) and its request.
void APIdatagram(Server *sv, const struct sockaddr_in *peer, int n) {
  DPAB *anchor = sv->anchor;
  QDV0_ConvertDataToLocal(sv->buffer, static_cast<size_t>(n));
  IOEntry *partner = QDVP_CheckExistAPIpartner(anchor, sv->pe, peer, sv->udp, sv->buffer, n);
  if (partner == nullptr) return;
  QDVP_UpdateStatLogSockIO(0, 1);
  SourceEntry *source = partner->pSource;
  QDVP_NoteAPIcallType(partner, QDVP_ExtractAPIcallType(sv->buffer, n));
  QDVP_ProcessSockRequestByState(anchor, sv->pe, partner, n, sv->buffer);
  {
    OSV1_Guard hold(&partner->IOLock);
    partner->ExpiryTime = UDPexpiry(sv, source);
  }
  QDVP_EndAPIdatagramSession(anchor, sv->pe, partner);
}

// A datagram from the host of a configured partner bound to a TCP connection: its lines are
// the partner's records beside the connection's, its confirmation goes back to its sender, and
// its end marker ends the source's session while the connection stays (as the connection's
// own marker does). The association record it may begin with is skipped.
void DatagramBesideConnection(Server *sv, IOEntry *partner, const struct sockaddr_in *peer, int n) {
  SourceEntry *source = partner->pSource;
  if (source->CodeConversion) QDV0_ConvertEBCDICtoASCII(sv->buffer, static_cast<size_t>(n));
  if (IsEndMarker(sv->buffer, static_cast<size_t>(n))) {
    QDVP_SendReceivedDataAck(partner, n, peer, sv->udp);
    if (source->State == QDVP_Input) {
      QDVP_UpdateSourceEntryState(source, QDVP_Inactive);
      QDVP_ProcessSockRequestByState(sv->anchor, sv->pe, partner, 0, nullptr);
    }
    OSV1_Guard hold(&partner->IOLock);
    partner->NewSession = 1;
    return;
  }
  char *data = sv->buffer;
  int length = n;
  if (length >= 2 && memcmp(data, ExplicitMarkASCII, 2) == 0) {
    char *feed = static_cast<char *>(memchr(data, '\n', static_cast<size_t>(length)));
    if (feed == nullptr) {
      QDVP_SendReceivedDataAck(partner, n, peer, sv->udp);
      return;
    }
    length -= static_cast<int>(feed + 1 - data);
    data = feed + 1;
  }
  // Acknowledged only once the record path has taken the datagram's lines.
  if (length <= 0 ||
      QDVP_ProcessSockRequestByState(sv->anchor, sv->pe, partner, length, data) == 0) {
    QDVP_SendReceivedDataAck(partner, n, peer, sv->udp);
  }
}

void DrainUDP(Server *sv) QDVP_REQUIRES(sv->anchor->SelectLock) {
  DPAB *anchor = sv->anchor;
  for (;;) {
    memset(sv->buffer, 0, sizeof(sv->buffer));
    struct sockaddr_in peer;
    socklen_t len = sizeof(peer);
    ssize_t got = recvfrom(sv->udp, sv->buffer, QDVP_SOCK_BUFFER_SIZE, MSG_DONTWAIT,
                           reinterpret_cast<struct sockaddr *>(&peer), &len);
    if (got < 1) break;
    int n = static_cast<int>(got);
    if (IsWakeUp(sv->buffer, n)) continue;
    if (sv->api) {
      APIdatagram(sv, &peer, n);
      continue;
    }
    IOEntry *partner = QDVP_CheckExistUDPpartner(sv->anchor, sv->pe, &peer, sv->udp, sv->buffer, n);
    if (partner == nullptr) {
      QDVP_TRC(trk, TRK1_ERROR, "*** UDP connection abandoned. Unable to initialize IO entry");
      continue;
    }
    SourceEntry *source = partner->pSource;
    bool fresh, beside, moved;
    {
      OSV1_Guard hold(&partner->IOLock);
      fresh = partner->Socket < 0;
      beside = partner->TCPsocket >= 0;
      moved = !fresh && !beside && partner->PartnerAddr.sin_port != peer.sin_port;
    }
    QDVP_UpdateStatLogSockIO(0, 1);
    if (beside) {
      DatagramBesideConnection(sv, partner, &peer, n);
      continue;
    }
    // A configured partner's datagram session follows its host to another port.
    if (fresh || moved) {
      QDVP_BindPartner(partner, sv->pe, sv->udp, -1, &peer, source->CodeConversion);
      if (fresh) QDVP_UpdateStatLogSockIO(1, 0);
    }
    if (source->CodeConversion) QDV0_ConvertEBCDICtoASCII(sv->buffer, static_cast<size_t>(n));
    bool end = IsEndMarker(sv->buffer, static_cast<size_t>(n));
    if (end) {
      {
        OSV1_Guard hold(&partner->IOLock);
        LogSessionEnd(anchor, "UDP", partner);
      }
      QDVP_UpdateSourceEntryState(source, QDVP_Inactive);
    }
    // Acknowledged only once the record path has taken the datagram's lines.
    if (QDVP_ProcessSockRequestByState(anchor, sv->pe, partner, n, sv->buffer) == 0) {
      QDVP_SendReceivedDataAck(partner, n);
    }
    {
      OSV1_Guard hold(&partner->IOLock);
      if (end) {
        QDVP_ResetPartner(partner);
      } else {
        partner->ExpiryTime = UDPexpiry(sv, source);
      }
    }
    // A session that ended here (its end marker, or its source could not go online) takes the
    // partner made for it along.
    QDVP_ReleaseDynamicPartner(anchor, sv->pe, partner);
  }
}

// A TCP partner closed its connection (or it failed): what it held back is its last line, and
// its source goes offline.
void EndConnection(Server *sv, IOEntry *partner, int err) {
  DPAB *anchor = sv->anchor;
  if (sv->api) {
    QDVP_CloseAPIsession(anchor, sv->pe, partner, err);
    return;
  }
  QDVP_HandleTCPdata(anchor, sv->pe, partner, "", 0, true);
  {
    OSV1_Guard hold(&partner->IOLock);
    QDVP_TRC(trk, TRK1_DETAIL, "TCP connection terminated for sock %d, errno %d",
             partner->TCPsocket, err);
    LogSessionEnd(anchor, "TCP", partner);
    QDV0_CloseTheSocket(partner->TCPsocket);
    QDVP_ResetPartner(partner);
  }
  QDVP_UpdateSourceEntryState(partner->pSource, QDVP_Inactive);
  QDVP_ProcessSockRequestByState(anchor, sv->pe, partner, 0, nullptr);
  QDVP_ReleaseDynamicPartner(anchor, sv->pe, partner);
}

void ReceiveTCP(Server *sv, IOEntry *partner, int fd) {
  ssize_t got = recv(fd, sv->buffer, QDVP_SOCK_BUFFER_SIZE, MSG_DONTWAIT);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (got < 1) {
    EndConnection(sv, partner, got < 0 ? errno : 0);
    return;
  }
  int n = static_cast<int>(got);
  QDVP_UpdateStatLogSockIO(0, 1);
  if (sv->api) {
    // One receive is one request.
    sv->buffer[n] = '\0';
    QDV0_ConvertDataToLocal(sv->buffer, static_cast<size_t>(n));
    QDVP_NoteAPIcallType(partner, QDVP_ExtractAPIcallType(sv->buffer, n));
    QDVP_ProcessSockRequestByState(sv->anchor, sv->pe, partner, n, sv->buffer);
    return;
  }
  if (partner->pSource->CodeConversion) {
    QDV0_ConvertEBCDICtoASCII(sv->buffer, static_cast<size_t>(n));
  }
  // The acknowledgement follows the record path, so that a partner is never told of lines that
  // went nowhere (a source being deleted, an agent that did not take the session online).
  if (QDVP_HandleTCPdata(sv->anchor, sv->pe, partner, sv->buffer, n)) {
    QDVP_SendReceivedDataAck(partner, n);
  }
}

void Accept(Server *sv) QDVP_REQUIRES(sv->anchor->SelectLock) {
  for (;;) {
    struct sockaddr_in peer;
    socklen_t len = sizeof(peer);
    int s = accept4(sv->tcp, reinterpret_cast<struct sockaddr *>(&peer), &len,
                    SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (s < 0) {
      if (errno == ECONNABORTED) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        QDVP_AcceptFailed(sv->anchor, sv->tcp, &sv->limit, errno,
                          sv->api ? "Socket API Server" : "Socket");
      return;
    }
    if (sv->api) {
      QDVP_OpenAPIsession(sv->anchor, sv->pe, s, &peer);
      continue;
    }
    IOEntry *configured = QDVP_LookUpPartnerByAddr(sv->anchor, &peer, nullptr);
    // A datagram session's partner made for its sender is no connection's: a connection from
    // that host names its metafile like any other.
    if (configured != nullptr && QDVP_DynamicPartner(configured)) configured = nullptr;
    if (configured != nullptr) {
      QDVP_BindTCPpartner(sv->anchor, sv->pe, s, &peer, configured, nullptr, 0);
    } else {
      // When too many connections wait for their first data, the one that has waited longest
      // goes: connections held open without a word cannot keep a partner that speaks out.
      if (sv->unbound.size() >= QDVP_SOCK_MAX_UNBOUND) {
        Unbound &oldest = sv->unbound.front();
        QDVP_TRC(trk, TRK1_ERROR,
                 "***** %d connections wait for their first data; the oldest closed",
                 static_cast<int>(sv->unbound.size()));
        QDV0_CloseTheSocket(oldest.socket);
        QDVP_SendDPlogMessage(sv->anchor, 22, QDV0_ResolveAddressToName(&oldest.peer));
        sv->unbound.erase(sv->unbound.begin());
      }
      sv->unbound.push_back({s, peer, QDV0_Time() + QDVP_SOCK_FIRST_DATA_WAIT, std::string()});
    }
  }
}

// An unbound connection's bytes: once its first line is whole (or the buffer is full, or the
// peer closed), it is bound. True when it left the list.
bool ReceiveFirst(Server *sv, Unbound *u) QDVP_REQUIRES(sv->anchor->SelectLock) {
  ssize_t got = recv(u->socket, sv->buffer, QDVP_SOCK_BUFFER_SIZE - u->first.size(), MSG_DONTWAIT);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return false;
  if (got > 0) u->first.append(sv->buffer, static_cast<size_t>(got));
  bool closed = got < 1;
  bool whole = u->first.find('\n') != std::string::npos || u->first.size() >= QDVP_SOCK_BUFFER_SIZE;
  if (!closed && !whole) return false;
  if (u->first.empty()) {
    QDVP_TRC(trk, TRK1_ERROR,
             "***** TCP dynamic inbound connection, no metafile file specification");
    QDV0_CloseTheSocket(u->socket);
    QDVP_SendDPlogMessage(sv->anchor, 22, QDV0_ResolveAddressToName(&u->peer));
    return true;
  }
  std::string first = std::move(u->first);
  IOEntry *partner = QDVP_BindTCPpartner(sv->anchor, sv->pe, u->socket, &u->peer, nullptr,
                                         first.data(), static_cast<int>(first.size()));
  if (partner != nullptr && closed) EndConnection(sv, partner, 0);
  return true;
}

void ExpireUnbound(Server *sv) {
  time_t now = QDV0_Time();
  for (size_t i = 0; i < sv->unbound.size();) {
    Unbound &u = sv->unbound[i];
    if (now < u.deadline) {
      i++;
      continue;
    }
    QDVP_TRC(trk, TRK1_ERROR,
             "***** TCP dynamic inbound connection, no metafile file specification");
    QDV0_CloseTheSocket(u.socket);
    QDVP_SendDPlogMessage(sv->anchor, 22, QDV0_ResolveAddressToName(&u.peer));
    sv->unbound.erase(sv->unbound.begin() + static_cast<long>(i));
  }
}

// One round: what to wait on, the wait, and what came.
void Round(Server *sv) QDVP_REQUIRES(sv->anchor->SelectLock) {
  DPAB *anchor = sv->anchor;
  std::vector<struct pollfd> fds;
  std::vector<IOEntry *> owners;
  auto watch = [&](int fd, IOEntry *owner) {
    fds.push_back({fd, POLLIN, 0});
    owners.push_back(owner);
  };
  if (sv->udp >= 0) watch(sv->udp, nullptr);
  // The spare descriptor, when it could not be had again after the last time it was used.
  QDVP_KeepAcceptSpare(&sv->limit);
  bool accepting = sv->tcp >= 0 && !QDVP_AcceptResting(&sv->limit);
  if (accepting) watch(sv->tcp, nullptr);
  size_t firstUnbound = fds.size();
  for (const Unbound &u : sv->unbound) watch(u.socket, nullptr);
  size_t firstPartner = fds.size();
  {
    OSV1_Guard list(&anchor->ApplIOLock[sv->list - 1]);
    for (IOEntry *io = anchor->pIOEList[sv->list]; io != nullptr; io = io->pNextKind) {
      OSV1_Guard hold(&io->IOLock);
      if (io->Active && io->TCPsocket >= 0) watch(io->TCPsocket, io);
    }
  }
  int timeout = -1;
  if (!sv->unbound.empty()) {
    time_t soonest = sv->unbound.front().deadline;
    for (const Unbound &u : sv->unbound) soonest = u.deadline < soonest ? u.deadline : soonest;
    long left = static_cast<long>(soonest - QDV0_Time()) * 1000;
    timeout = left < 200 ? 200 : static_cast<int>(left);
  }
  if (sv->tcp >= 0 && !accepting) {
    int rest = QDVP_AcceptRestMs(&sv->limit);
    if (timeout < 0 || rest < timeout) timeout = rest;
  }
  OSV1_ReleaseLock(&sv->anchor->SelectLock);
  int ready = poll(fds.data(), fds.size(), timeout);
  OSV1_GetLock(&sv->anchor->SelectLock);
  if (ready < 0) return;
  if (QDVP_TaskShouldEnd(sv->pe)) return;
  size_t at = 0;
  if (sv->udp >= 0 && (fds[at++].revents & POLLIN)) DrainUDP(sv);
  bool listening = accepting && (fds[at++].revents & POLLIN);
  // Bytes of connections not yet bound; the list is walked from its end, so erasing keeps the
  // places of the entries still to look at.
  for (size_t i = firstPartner; i-- > firstUnbound;) {
    if (fds[i].revents == 0) continue;
    size_t k = i - firstUnbound;
    if (ReceiveFirst(sv, &sv->unbound[k]))
      sv->unbound.erase(sv->unbound.begin() + static_cast<long>(k));
  }
  ExpireUnbound(sv);
  for (size_t i = firstPartner; i < fds.size(); i++) {
    if (fds[i].revents == 0) continue;
    IOEntry *partner = BoundPartner(sv, owners[i], fds[i].fd);
    if (partner != nullptr) ReceiveTCP(sv, partner, fds[i].fd);
  }
  if (listening) Accept(sv);
}

// At shutdown every partner with a session goes offline and its connection is closed.
void TakePartnersOffline(Server *sv) {
  DPAB *anchor = sv->anchor;
  std::vector<IOEntry *> bound;
  {
    OSV1_Guard list(&anchor->ApplIOLock[sv->list - 1]);
    for (IOEntry *io = anchor->pIOEList[sv->list]; io != nullptr; io = io->pNextKind) {
      OSV1_Guard hold(&io->IOLock);
      if (io->Socket >= 0 && io->pSource != nullptr) bound.push_back(io);
    }
  }
  for (IOEntry *io : bound) {
    SourceEntry *source = io->pSource;
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Socket/API server performs dp_offline at shutdown for %s",
             QDVP_SourceNodeName(source).c_str());
    // A source online at the agent (its state says so) is taken offline.
    int state = source->State;
    if (state == QDVP_Active || state == QDVP_Input || state == QDVP_Output) {
      DCHresult off = QDVP_Request(anchor, source, QDVP_VERB_OFFLINE, sv->pe);
      if (!off.Delivered()) {
        QDVP_TRC(trk, TRK1_ERROR, "*** dp_offline failed at shutdown for %s [%s %d]",
                 QDVP_SourceNodeName(source).c_str(), QDVP_OutcomeName(off.outcome), off.status);
      }
    }
    OSV1_Guard hold(&io->IOLock);
    if (io->TCPsocket >= 0) QDV0_CloseTheSocket(io->TCPsocket);
    QDVP_ResetPartner(io);
  }
  // The API sessions' own sources go with their sessions.
  if (sv->api) {
    for (IOEntry *io : bound) QDVP_ReleaseAPIsessionSource(anchor, sv->pe, io);
    return;
  }
  for (const Unbound &u : sv->unbound) QDV0_CloseTheSocket(u.socket);
  sv->unbound.clear();
  // A request whose wait ended early at shutdown may still be with the DCH client, which
  // notifies this task's entry when it is done: the entry is freed only after that.
  std::vector<SourceEntry *> sources;
  {
    OSV1_Guard list(&anchor->ApplIOLock[sv->list - 1]);
    for (IOEntry *io = anchor->pIOEList[sv->list]; io != nullptr; io = io->pNextKind) {
      if (io->pSource != nullptr) sources.push_back(io->pSource);
    }
  }
  for (SourceEntry *s : sources) QDVP_WaitForDCHrequestRelease(anchor, sv->pe, s);
}

bool OpenSockets(Server *sv) {
  uint16_t port = htons(static_cast<uint16_t>(sv->port));
  const char *what = sv->api ? "client API" : "socket data";
  std::string udpName = std::string(what) + " UDP", tcpName = std::string(what) + " TCP";
  sv->udp = QDV0_OpenLocalSocket(1, port, nullptr, 0);
  int udpError = errno;
  sv->tcp = QDV0_OpenLocalSocket(2, port, nullptr, 1);
  int tcpError = errno;
  if (sv->udp >= 0) fcntl(sv->udp, F_SETFL, fcntl(sv->udp, F_GETFL) | O_NONBLOCK);
  if (sv->udp < 0) QDV0_ReportBindFailure(udpName.c_str(), sv->port, udpError);
  if (sv->tcp < 0) QDV0_ReportBindFailure(tcpName.c_str(), sv->port, tcpError);
  if (sv->udp < 0 && sv->tcp < 0) {
    QDVP_TRC(trk, TRK1_ERROR,
             "***** cannot open any socket for Socket/API DP processing, socket communication "
             "impossible");
    return false;
  }
  QDVP_KeepAcceptSpare(&sv->limit);
  if (sv->tcp >= 0) {
    fcntl(sv->tcp, F_SETFL, fcntl(sv->tcp, F_GETFL) | O_NONBLOCK);
    if (listen(sv->tcp, 10) != 0) {
      QDVP_TRC(trk, TRK1_ERROR, "TCP listen failed errno %d. TCP inbound not available", errno);
      QDV0_CloseTheSocket(sv->tcp);
      sv->tcp = -1;
    }
  }
  char text[64];
  const char *form = sv->udp >= 0 && sv->tcp >= 0 ? "%d both TCP and UDP"
                     : sv->udp >= 0               ? "%d UDP only"
                                                  : "%d TCP only";
  snprintf(text, sizeof(text), form, sv->port);
  QDVP_SendDPlogMessage(sv->anchor, 20, sv->api ? "Socket API Server" : "Socket", text);
  return true;
}

}  // namespace

void QDVP_SplitPartnerBytes(const std::string &work, bool end, std::vector<PartnerPiece> *pieces,
                            std::string *held) {
  size_t feed = work.rfind('\n');
  size_t whole = feed == std::string::npos ? 0 : feed + 1;
  if (end || work.size() - whole > QDVP_SOCK_BUFFER_SIZE) whole = work.size();
  held->assign(work, whole, std::string::npos);
  size_t from = 0;
  for (size_t at = 0; at < whole;) {
    size_t stop = work.find('\n', at);
    size_t next = stop == std::string::npos || stop >= whole ? whole : stop + 1;
    if (IsEndMarker(work.data() + at, next - at)) {
      if (at > from) pieces->push_back({false, work.substr(from, at - from)});
      pieces->push_back({true, work.substr(at, next - at)});
      from = next;
    }
    at = next;
  }
  if (whole > from) pieces->push_back({false, work.substr(from, whole - from)});
}

bool QDVP_HandleTCPdata(DPAB *anchor, ProcessEntry *pe, IOEntry *partner, const char *data,
                        int length, bool end) {
  bool taken = true;
  std::string work, held;
  {
    OSV1_Guard hold(&partner->IOLock);
    if (partner->pPending != nullptr) {
      work.assign(partner->pPending, static_cast<size_t>(partner->PendingLength));
    }
    QDV0_Free(partner->pPending);
    partner->PendingLength = 0;
  }
  work.append(data, static_cast<size_t>(length));
  std::vector<PartnerPiece> pieces;
  QDVP_SplitPartnerBytes(work, end, &pieces, &held);
  if (!held.empty()) {
    OSV1_Guard hold(&partner->IOLock);
    partner->pPending = static_cast<char *>(QDV0_GetStorage(held.size() + 1));
    if (partner->pPending != nullptr) {
      memcpy(partner->pPending, held.data(), held.size());
      partner->PendingLength = static_cast<int>(held.size());
    }
  }
  // The lines up to an end marker are the session's last; the marker takes the source offline
  // and the lines after it begin a new session.
  for (PartnerPiece &piece : pieces) {
    if (!piece.endMarker) {
      taken &= QDVP_ProcessSockRequestByState(
                   anchor, pe, partner, static_cast<int>(piece.text.size()), &piece.text[0]) == 0;
      continue;
    }
    if (partner->pSource->State == QDVP_Input) {
      QDVP_UpdateSourceEntryState(partner->pSource, QDVP_Inactive);
      QDVP_ProcessSockRequestByState(anchor, pe, partner, 0, nullptr);
    }
    OSV1_Guard hold(&partner->IOLock);
    partner->NewSession = 1;
  }
  return taken;
}

// The loop of both servers; the process entry's type word chooses the mode (0: the client API).
void QDVP_CommonSocketServer(DPAB *anchor, ProcessEntry *entry, int port) {
  auto *sv = new (std::nothrow) Server();
  if (sv == nullptr) return;
  sv->anchor = anchor;
  sv->pe = entry;
  sv->api = entry->DPtype == QDVP_TYPE_APIS;
  sv->list = sv->api ? QDVP_IOE_BASE : QDVP_IOE_SOCK;
  sv->port = port;
  const char *factor = QDV0_GetEnv("QDVP_DP_EXPIRE_FACTOR", "5");
  sv->expireFactor = atoi(factor) > 0 ? atoi(factor) : 5;
  const char *idle = QDV0_GetEnv("QDVP_UDP_SESSION_IDLE", nullptr);
  if (idle != nullptr && atoi(idle) > 0) sv->udpIdle = atoi(idle);
  if (OpenSockets(sv)) {
    anchor->SocketServerMark.store(1);
    OSV1_GetLock(&sv->anchor->SelectLock);
    while (!QDVP_TaskShouldEnd(entry)) Round(sv);
    TakePartnersOffline(sv);
    OSV1_ReleaseLock(&sv->anchor->SelectLock);
  } else {
    // Nothing to serve: the task waits to be asked to end like any other.
    while (!QDVP_TaskShouldEnd(entry)) QDVP_WaitTaskIO(entry, 0, nullptr, nullptr);
  }
  QDV0_CloseTheSocket(sv->udp);
  QDV0_CloseTheSocket(sv->tcp);
  QDVP_ReleaseAcceptSpare(&sv->limit);
  if (anchor->DPtype != QDVP_TYPE_ASFS) anchor->SocketServerMark.store(0);
  delete sv;
}

void QDVP_SocketServer(ProcessEntry *entry) {
  entry->ThreadID = OSV1_ThreadID();
  DPAB *anchor = entry->pDPAB;
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Socket data server process started. Thread: %X",
           entry->ThreadID.load());
  QDVP_CommonSocketServer(anchor, entry, QDVP_ServerPort('S'));
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Socket data server process ended. Thread: %X",
           entry->ThreadID.load());
  QDVP_EndTask(anchor, entry);
}

// Under ASFS the API server's entry carries the type 3 of its data provider: made 0, so that
// the loop runs in API mode beside the socket data server.
void QDVP_SOCKpgmAPIServer(ProcessEntry *entry) {
  entry->ThreadID = OSV1_ThreadID();
  DPAB *anchor = entry->pDPAB;
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Client API server process started. Thread: %X",
           entry->ThreadID.load());
  if (entry->DPtype == QDVP_TYPE_ASFS) entry->DPtype = QDVP_TYPE_APIS;
  QDVP_CommonSocketServer(anchor, entry, QDVP_ServerPort('A'));
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Client API server process ended. Thread: %X",
           entry->ThreadID.load());
  QDVP_EndTask(anchor, entry);
}
