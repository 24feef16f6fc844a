// Service routines of the socket data server: the fixed texts, the server ports, the wake-up
// datagrams that end the server's wait, the acknowledgement a partner gets for each buffer,
// and the record path of a partner's source by its state (online, rows, offline).
#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_dplog.h"
#include "../include/qdvp_records.h"
#include "../include/qdvp_request.h"
#include "../include/qdvp_sockets.h"
#include "qdvpsock.h"

static TRK1_BLOCK trk = {"qdvpsosr"};

const char SelectShutDownMsg[] = "*DP*SOCKET*SELECT*SHUTDOWN*INTERRUPT*";
const char SelectDeleteMsg[] = "*DP*SOCKET*SELECT*DELETE*INTERRUPT*";
const char SockTransEndMsg[] = "//END-DP-INPUT";
const char ExplicitMarkASCII[] = "//";
const char ExplicitMarkEBCDIC[] = "\x61\x61";

namespace {

// A port setting: the variable's number when it holds one, else base plus DP_PORT_OFFSET.
int PortFrom(const char *variable, int base) {
  const char *text = QDV0_GetEnv(variable, nullptr);
  if (text != nullptr && isdigit(static_cast<unsigned char>(text[0]))) return atoi(text);
  if (base == QDVP_POST_PORT_DEFAULT) return base;
  const char *offset = QDV0_QueryProductSpec(23);
  return base + (offset != nullptr ? atoi(offset) : 0);
}

}  // namespace

int QDVP_ServerPort(char kind) {
  switch (kind) {
    case 'S':
      return PortFrom("QDVP_DP_PORT", QDVP_SOCK_DATA_PORT_BASE);
    case 'A':
      return PortFrom("QDVP_API_DPAPI_PORT", QDVP_SOCK_API_PORT_BASE);
    case 'M':
      return PortFrom("QDVP_META_SERVER_PORT", QDVP_META_SERVER_PORT_BASE);
    default:
      return PortFrom("QDVP_POST_DP_PORT", QDVP_POST_PORT_DEFAULT);
  }
}

int QDVP_SendSelectMessage(int socket, const char *text, const struct sockaddr_in *address) {
  return static_cast<int>(sendto(socket, text, strlen(text), 0,
                                 reinterpret_cast<const struct sockaddr *>(address),
                                 sizeof(*address)));
}

// The servers listen on the bind address, so the wake-up goes there (the loopback address
// when the servers listen on every address).
void QDVP_SendSelectInterrupt(int dpType, const char *text) {
  char kinds[3] = {0, 0, 0};
  switch (dpType) {
    case QDVP_TYPE_SOCK:
      kinds[0] = 'S';
      break;
    case QDVP_TYPE_ASFS:
      kinds[0] = 'S';
      kinds[1] = 'A';
      break;
    case QDVP_TYPE_APIS:
      kinds[0] = 'A';
      break;
    case 99:
      kinds[0] = 'M';
      break;
    case QDVP_TYPE_POST:
      kinds[0] = 'P';
      break;
    default:
      QDVP_TRC(trk, TRK1_ERROR, "*****Error - invalid input DP Type %d", dpType);
      return;
  }
  struct sockaddr_in to;
  memset(&to, 0, sizeof(to));
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = QDV0_BindAddress();
  if (to.sin_addr.s_addr == htonl(INADDR_ANY)) to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (char *k = kinds; *k; k++) {
    to.sin_port = htons(static_cast<uint16_t>(QDVP_ServerPort(*k)));
    // Bound to the bind address (an ephemeral port) and connected to the one server from its
    // creation: never a socket on every address that anyone could send to.
    int s = QDV0_OpenLocalSocket(1, 0, nullptr, 0);
    if (s < 0) continue;
    if (connect(s, reinterpret_cast<const struct sockaddr *>(&to), sizeof(to)) == 0) {
      QDVP_SendSelectMessage(s, text, &to);
    }
    close(s);
  }
}

// A TCP partner's acknowledgement goes down its connection, a UDP partner's to its address, and
// that of a datagram a partner took beside its session back to the datagram's sender.
void QDVP_SendReceivedDataAck(IOEntry *partner, int length, const struct sockaddr_in *to,
                              int socket) {
  SourceEntry *source = partner != nullptr ? partner->pSource : nullptr;
  TableEntry *table = source != nullptr ? source->pTable : nullptr;
  if (table == nullptr || table->ConfirmType == QDVP_CONFIRM_NONE) return;
  OSV1_Guard hold(&partner->IOLock);
  if (partner->Socket < 0) return;
  unsigned char word[4];
  const void *data = word;
  size_t size = 0;
  switch (table->ConfirmType) {
    case QDVP_CONFIRM_SIZE: {
      uint32_t n = htonl(static_cast<uint32_t>(length));
      memcpy(word, &n, 4);
      size = 4;
      break;
    }
    case QDVP_CONFIRM_SEQ: {
      uint32_t n = htonl(++partner->AckSequence);
      memcpy(word, &n, 4);
      size = 4;
      break;
    }
    case QDVP_CONFIRM_MSG:
    case QDVP_CONFIRM_CHAR:
      if (table->pConfirmData == nullptr) return;
      data = table->pConfirmData;
      size = strlen(table->pConfirmData);
      break;
    default:
      return;
  }
  if (size == 0) return;
  ssize_t sent;
  if (to != nullptr) {
    sent = sendto(socket, data, size, MSG_DONTWAIT, reinterpret_cast<const struct sockaddr *>(to),
                  sizeof(*to));
  } else if (partner->TCPsocket >= 0) {
    sent = send(partner->TCPsocket, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  } else {
    sent = sendto(partner->Socket, data, size, MSG_DONTWAIT,
                  reinterpret_cast<const struct sockaddr *>(&partner->PartnerAddr),
                  sizeof(partner->PartnerAddr));
  }
  if (sent < 0) QDVP_TRC(trk, TRK1_DETAIL, "Acknowledgement send failed, errno %d", errno);
}

void QDVP_ResetPartner(IOEntry *partner) {
  partner->Active = 0;
  partner->NewSession = 1;
  partner->Socket = -1;
  partner->TCPsocket = -1;
  partner->CallType = 0;
  partner->ExpiryTime = 0;
  partner->PartnerAddr.sin_port = partner->ConfigPort;
  if (partner->pSource == nullptr || partner->pSource->Kind != 'S' ||
      partner->pSource->pSourceName == nullptr) {
    partner->PartnerAddr.sin_addr.s_addr = 0;
  }
  QDV0_Free(partner->pPending);
  partner->PendingLength = 0;
}

namespace {

// How long a partner's lines wait for their application's registration with the agent.
constexpr int kRegistrationWaitMs = 2000;

// A partner's name in traces: its source's node name.
std::string Name(SourceEntry *source) {
  std::string node = QDVP_SourceNodeName(source);
  return node.empty() ? "?" : node;
}

}  // namespace

// Ready: brings the source online. True when it is Input afterwards.
bool QDVP_BringPartnerOnline(DPAB *anchor, ProcessEntry *pe, IOEntry *partner) {
  SourceEntry *source = partner->pSource;
  {
    OSV1_Guard hold(&partner->IOLock);
    int size = QDVP_ComputeIObufferSize(source);
    if (size < 1600) size = 1600;
    if (size < QDVP_SOCK_BUFFER_SIZE + 1) size = QDVP_SOCK_BUFFER_SIZE + 1;
    if (partner->BufferSize < size) {
      // Buffers of the old size are given up; the next free buffer is of the new size.
      while (partner->pBufferList != nullptr) {
        IObuffer *next = partner->pBufferList->pNext;
        QDV0_Free(partner->pBufferList);
        partner->pBufferList = next;
      }
      partner->BufferSize = size;
    }
  }
  DCHresult online = QDVP_Request(anchor, source, QDVP_VERB_ONLINE, pe);
  if (!online.Delivered()) {
    QDVP_TRC(trk, TRK1_ERROR, "*** dp_online failed for %s [%s %d]", Name(source).c_str(),
             QDVP_OutcomeName(online.outcome), online.status);
    OSV1_Guard hold(&partner->IOLock);
    partner->Active = 0;
    partner->NewSession = 1;
    return false;
  }
  QDVP_UpdateSourceEntryState(source, QDVP_Input);
  OSV1_Guard hold(&partner->IOLock);
  partner->Active = 1;
  return true;
}

namespace {

// Input: each line of the buffer becomes a record; a row that is due goes to the agent.
void SendLines(DPAB *anchor, ProcessEntry *pe, IOEntry *partner, char *buffer, int length) {
  SourceEntry *source = partner->pSource;
  char *end = buffer + length;
  char *line = buffer;
  while (line < end) {
    char *feed = static_cast<char *>(memchr(line, '\n', static_cast<size_t>(end - line)));
    char *stop = feed != nullptr ? feed : end;
    char *next = feed != nullptr ? feed + 1 : end;
    if (stop > line && stop[-1] == '\r') stop--;
    if (next < end && *next == '\r') next++;
    int n = static_cast<int>(stop - line);
    bool association = false;
    {
      OSV1_Guard hold(&partner->IOLock);
      if (partner->NewSession) {
        association = n >= 2 && memcmp(line, ExplicitMarkASCII, 2) == 0;
        partner->NewSession = 0;
      }
    }
    if (!association && n > 0) {
      IObuffer *io = QDVP_GetNextFreeBuffer(partner);
      if (io == nullptr) return;
      int area = QDVP_IObufferDataSize(partner) - 1;
      int copied = n < area ? n : area;
      memcpy(io->Data, line, static_cast<size_t>(copied));
      io->DataLength = static_cast<uint32_t>(copied);
      io->State = QDVP_ValidData;
      int pass = QDVP_MoveDataFromBufferToAttr(anchor, partner, io);
      if (pass && QDVP_CheckDataSummaryReady(source)) {
        DCHresult sent = QDVP_Request(anchor, source, QDVP_VERB_DATA, pe);
        // The data provider ends: the request may still be under way, the source is left so.
        if (sent.outcome == DCHoutcome::Ending) return;
        if (!sent.Delivered()) {
          // The agent link told the operator (DP log 90); the partner's next line goes on.
          QDVP_TRC(trk, TRK1_ERROR, "*** dp_data failed for %s[%s %d]", Name(source).c_str(),
                   QDVP_OutcomeName(sent.outcome), sent.status);
        }
        QDVP_UpdateSourceEntryState(source, QDVP_Input);
      } else {
        QDVP_UpdateSourceEntryState(source, QDVP_Input);
      }
    }
    line = next;
  }
}

// The source's application was just imported or refreshed and the DCH client is registering it
// with the agent. A partner's lines that arrive meanwhile (their acknowledgement is already on
// its way) wait for the registration rather than being dropped; it takes milliseconds, and the
// wait is bounded so that an agent that never answers cannot hold the server.
bool WaitForRegistration(ProcessEntry *pe, SourceEntry *source) {
  for (int waited = 0; source->State == QDVP_Register && waited < kRegistrationWaitMs;
       waited += 5) {
    QDVP_WaitTaskIOms(pe, 5, nullptr, nullptr);
  }
  return source->State != QDVP_Register;
}

}  // namespace

int QDVP_ProcessSockRequestByState(DPAB *anchor, ProcessEntry *pe, IOEntry *partner, int length,
                                   char *buffer) {
  if (anchor == nullptr || partner == nullptr || partner->pSource == nullptr) return 94;
  if (partner->Kind == 'B')
    return QDVP_ProcessAPIrequestByState(anchor, pe, partner, length, buffer);
  SourceEntry *source = partner->pSource;
  for (;;) {
    int state = source->State;
    switch (state) {
      case QDVP_Ready:
        if (length < 1 || buffer == nullptr) return 0;
        if (!QDVP_BringPartnerOnline(anchor, pe, partner)) return 54;
        // An association record alone brings the session online and carries no rows.
        if (length >= 2 && memcmp(buffer, ExplicitMarkASCII, 2) == 0 &&
            memchr(buffer, '\n', static_cast<size_t>(length)) == nullptr) {
          return 0;
        }
        continue;
      case QDVP_Input:
        if (length >= 1 && buffer != nullptr) SendLines(anchor, pe, partner, buffer, length);
        return 0;
      case QDVP_Inactive: {
        QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Socket/API server performs dp_offline for %s on request",
                 Name(source).c_str());
        // A source made for one session is not kept online for its table's time to live: it
        // is released when its session ends, and nothing may name it after that.
        if (QDVP_DynamicPartner(partner)) source->OfflineNow = 1;
        DCHresult off = QDVP_Request(anchor, source, QDVP_VERB_OFFLINE, pe);
        OSV1_Guard hold(&partner->IOLock);
        if (partner->TCPsocket < 0) {
          partner->Active = 0;
          partner->NewSession = 1;
        }
        if (!off.Delivered()) {
          QDVP_TRC(trk, TRK1_ERROR, "*** dp_offline failed for %s [%s %d]", Name(source).c_str(),
                   QDVP_OutcomeName(off.outcome), off.status);
          return 58;
        }
        return 0;
      }
      case QDVP_Register:
        if (WaitForRegistration(pe, source)) continue;
        QDVP_TRC(trk, TRK1_ERROR, "*** Registration of %s did not end; received data dropped",
                 Name(source).c_str());
        return 94;
      case QDVP_Connected:
        QDVP_TRC(trk, TRK1_ERROR, "*** Logic error. socket received source in wrong state <%s>",
                 QDVP_SourceStateName[state]);
        return 94;
      case QDVP_Active:
        QDVP_TRC(trk, TRK1_ERROR, "*** Logic error. UDP receive source in wrong state <%s>",
                 QDVP_SourceStateName[state]);
        return 13;
      case QDVP_Initial:
      case QDVP_Output:
      case QDVP_Action:
      case QDVP_Reply:
        QDVP_TRC(trk, TRK1_ERROR, "*** Logic error. received source in wrong state <%s>",
                 QDVP_SourceStateName[state]);
        return 94;
      default:
        QDVP_TRC(trk, TRK1_ERROR, "*** Invalid source state value: %d, ignored", state);
        return 94;
    }
  }
}

void QDVP_KeepAcceptSpare(QDVP_AcceptLimit *limit) {
  if (limit->spare < 0) limit->spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void QDVP_ReleaseAcceptSpare(QDVP_AcceptLimit *limit) {
  if (limit->spare >= 0) close(limit->spare);
  limit->spare = -1;
}

bool QDVP_AcceptResting(const QDVP_AcceptLimit *limit) {
  return std::chrono::steady_clock::now() < limit->restUntil;
}

int QDVP_AcceptRestMs(const QDVP_AcceptLimit *limit) {
  auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(
                  limit->restUntil - std::chrono::steady_clock::now())
                  .count();
  return rest < 0 ? 1 : static_cast<int>(rest) + 1;
}

void QDVP_AcceptFailed(DPAB *anchor, int tcp, QDVP_AcceptLimit *limit, int err,
                       const char *server) {
  if ((err == EMFILE || err == ENFILE) && limit->spare >= 0) {
    close(limit->spare);
    limit->spare = -1;
    // Bounded: connections that keep coming are closed again after the rest.
    for (int i = 0; i < QDVP_SOCK_MAX_UNBOUND; i++) {
      int s = accept4(tcp, nullptr, nullptr, SOCK_CLOEXEC);
      if (s < 0) break;
      close(s);
      limit->closedUnserved++;
    }
    QDVP_KeepAcceptSpare(limit);
  }
  limit->restUntil =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(QDVP_SOCK_ACCEPT_REST_MS);
  time_t now = QDV0_Time();
  if (limit->reportedAt != 0 && now - limit->reportedAt < QDVP_SOCK_LIMIT_REPORT_PERIOD) return;
  limit->reportedAt = now;
  QDVP_TRC(trk, TRK1_ERROR,
           "***** Accept for TCP socket failed errno %d; %d connections closed unserved", err,
           limit->closedUnserved);
  char number[16], closed[16];
  snprintf(number, sizeof(number), "%d", err);
  snprintf(closed, sizeof(closed), "%d", limit->closedUnserved);
  QDVP_SendDPlogMessage(anchor, 96, server, number, closed);
  limit->closedUnserved = 0;
}
