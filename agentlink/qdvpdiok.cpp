// The TCP/IP transport of the agent link: finding the DCH, connecting over TCP with a fall-back
// to UDP, reconnecting after a lost connection, sending and receiving.
//
// The DCH is at QDVP_DCH_HOST (or QDVA_DCH_HOST, or this host) on the product's DCH port (or
// QDVA_DCH_PORT). TCP is tried first for up to 5 seconds; when no TCP connection can be made
// the link runs over UDP to the same port, with a timed wait before every receive. Each
// connection has one receive task; a new connection waits until the old one's receive task
// has ended before it opens its sockets, so a socket number is never shared by two
// connections. A socket is shut down by whoever ends the connection and closed by its receive
// task, its last user, as that task ends. Only the DCH client task calls connect and
// disconnect; it sends, and so does a requester its own plain row while the client waits for
// work (agentlink/qdvpdsnd.cpp), with the send that never waits before its first byte. Only
// the receive task calls receive.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "../core/support/qdv0.h"
#include "../core/support/qdv0chck.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_dchcomm.h"
#include "../include/qdvp_stats.h"

static TRK1_BLOCK trk = {"qdvpdiok"};

namespace {

// Whether the operator was told that the agent refuses TCP: told once when it first does (at
// start, typically, while the agent is not there yet), and once more when TCP works again.
std::atomic<bool> sRefusalReported{false};

void ReportAgentTCP(bool connected, const char *host, int port, int err) {
  if (connected) {
    if (sRefusalReported.exchange(false)) {
      QDV0_OperatorLine(QDV0_PRIORITY_INFO, "qdvp: the agent at %s port %d answers over TCP", host,
                        port);
    }
    return;
  }
  if (sRefusalReported.exchange(true)) return;
  QDV0_OperatorLine(QDV0_PRIORITY_WARNING,
                    "qdvp: the agent at %s port %d (QDVP_DCH_HOST, QDVA_DCH_PORT) does not take "
                    "a TCP connection (%s): requests go over UDP and wait until it answers",
                    host, port, err != 0 ? strerror(err) : "no answer within 5 seconds");
}

int ConnectTimeoutSeconds() { return 5; }

// Connects s to address within seconds: 1 connected, 0 time-out, -1 error (errno set).
int ConnectWithin(int s, const sockaddr_in *address, int seconds) {
  int flags = fcntl(s, F_GETFL, 0);
  fcntl(s, F_SETFL, flags | O_NONBLOCK);
  int rc = connect(s, reinterpret_cast<const sockaddr *>(address), sizeof(*address));
  if (rc == 0) return 1;
  if (errno != EINPROGRESS) return -1;
  fd_set writable;
  FD_ZERO(&writable);
  FD_SET(s, &writable);
  timeval limit = {seconds, 0};
  rc = select(s + 1, nullptr, &writable, nullptr, &limit);
  if (rc == 0) return 0;
  if (rc < 0) return -1;
  int error = 0;
  socklen_t length = sizeof(error);
  getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length);
  if (error != 0) {
    errno = error;
    return -1;
  }
  return 1;
}

}  // namespace

int QDVP_TCPIP_WaitDCHcomeOnline(DCHcomm *comm) {
  QDVP_TRC_ENTRY(trk);
  const char *item = QDV0_QueryProductSpec(22);
  int port = item ? atoi(item) : 7900;
  const char *portText = QDV0_GetEnv("QDVA_DCH_PORT", nullptr);
  if (portText != nullptr) port = atoi(portText);
  const char *host = QDV0_GetEnv("QDVP_DCH_HOST", nullptr);
  if (host == nullptr) host = QDV0_GetEnv("QDVA_DCH_HOST", QDV0_LocalHostNameString());
  (void)QDV0_GetEnv("QDVP_DCH_CONNECT_RETRY_WAIT", "30");  // read, as documented; no effect
  QDV0_WinSockInitialization(1);

  // The previous connection ends first, with its receive task.
  QDVP_DropDCHconnection(comm);
  sockaddr_in address;
  memset(&address, 0, sizeof(address));
  QDV0_ConvertNameToAddr(host, port, &address);
  QDVP_TRC(trk, TRK1_DETAIL, "Checking DCH at %s port %d", host, port);
  int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (udp < 0 && tcp < 0) {
    QDVP_TRC(trk, TRK1_ERROR,
             "*** cannot open any socket, DCH communication impossible.  Exiting...");
    _exit(1);
  }
  // The UDP fall-back is connected to the agent's address from its creation: it is bound to
  // the interface that leads to the agent, and only the agent's datagrams are delivered to it;
  // anything else sent to the port is dropped by the system, so nobody else can forge a status
  // or an action. Should the connect fail, it is at least bound to the bind address, never to
  // every address.
  if (udp >= 0 &&
      connect(udp, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
    QDVP_TRC(trk, TRK1_ERROR, "*** UDP socket not connected to the DCH, errno %d", errno);
    sockaddr_in local;
    memset(&local, 0, sizeof(local));
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = QDV0_BindAddress();
    bind(udp, reinterpret_cast<const sockaddr *>(&local), sizeof(local));
  }
  OSV1_GetLock(&comm->LinkLock);
  comm->DCHaddr = address;
  comm->Socket = 0;
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Try connect TCP to DCH");
  int connected = tcp >= 0 ? ConnectWithin(tcp, &address, ConnectTimeoutSeconds()) : -1;
  int err = errno;
  comm->LastTCPtry = QDV0_Time();
  ReportAgentTCP(connected == 1, host, port, connected == 0 ? 0 : err);
  if (connected == 1) {
    QDVP_TRC(trk, TRK1_DETAIL, "TCP connect successful. DCH TCP available");
    comm->Socket = tcp;
    comm->ReceiveMode = QDVP_DCH_MODE_TCP;
    comm->TCPseen = 1;
    QDVP_CountLinkConnection();
    QDVP_SetLinkState(1, 0);
    if (udp >= 0) close(udp);
  } else {
    if (tcp >= 0) close(tcp);
    if (connected == 0) {
      QDVP_TRC(trk, TRK1_DETAIL, "TCP connection timed out. DCH TCP not available");
    } else {
      QDVP_TRC(trk, TRK1_DETAIL, "TCP connection failed. DCH TCP not available, errno %d", err);
    }
    comm->Socket = udp;
    comm->ReceiveMode = QDVP_DCH_MODE_UDP;
    QDVP_SetLinkState(0, 1);
  }
  comm->Status = 0;
  comm->Heard = 0;
  comm->Connections++;
  int s = comm->Socket;
  OSV1_ReleaseLock(&comm->LinkLock);
  int flags = fcntl(s, F_GETFL, 0);
  fcntl(s, F_SETFL, flags & ~O_NONBLOCK);
  OSV1_GetLock(&comm->StatusMutex);
  comm->ReceiverStarted = 0;
  comm->ReceiverRunning = 1;
  OSV1_ReleaseLock(&comm->StatusMutex);

  unsigned long thread = 0;
  if (QDV0_CreateThread(QDVP_DCHreceiveDataTask, comm, 64, &thread) != 0) {
    QDVP_TRC(trk, TRK1_ERROR,
             "***** ABORT! DCH inbound data receive task creation failed. Errno %d, Exiting...",
             errno);
    _exit(1);
  }
  // The receive task signals once it runs.
  OSV1_GetLock(&comm->StatusMutex);
  while (!comm->ReceiverStarted) QDV0_ConditionWait(&comm->StatusCond, &comm->StatusMutex);
  OSV1_ReleaseLock(&comm->StatusMutex);
  QDVP_TRC_EXIT(trk, comm->ReceiveMode);
  return 0;
}

// Ends the connection: the socket is shut down, which wakes its receive task, and the task,
// the socket's last user, closes it as it ends. Returns once the task has ended.
void QDVP_DropDCHconnection(DCHcomm *comm) {
  {
    OSV1_Guard link(&comm->LinkLock);
    if (comm->Socket > 0) shutdown(comm->Socket, SHUT_RDWR);
    comm->Socket = 0;
  }
  OSV1_GetLock(&comm->StatusMutex);
  while (comm->ReceiverRunning) QDV0_ConditionWait(&comm->StatusCond, &comm->StatusMutex);
  OSV1_ReleaseLock(&comm->StatusMutex);
}

void QDVP_ReturnToTCP(DCHcomm *comm) {
  if (!comm->TCPseen || comm->ReceiveMode == QDVP_DCH_MODE_TCP || comm->Socket <= 0) return;
  if (QDV0_Time() - comm->LastTCPtry < QDVP_DCH_PROBE_SECONDS) return;
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> DCH link on UDP after TCP; trying TCP again");
  comm->pDPAB->pDSFT->WaitDCHcomeOnline(comm);
}

int QDVP_TCPIP_HandleDCHdisconnect(DCHcomm *comm) {
  QDVP_TCPIP_WaitDCHcomeOnline(comm);
  comm->Status = QDVP_DCH_STATUS_DISCONNECTED;
  return 0;
}

// Sends length bytes from p on the connection, the first piece with firstFlags added to the
// usual ones; returns the bytes sent, with *error the last send's errno (or QDVP_DCH_ERR_RESET
// for a connection that is gone).
static int SendPieces(DCHcomm *comm, const unsigned char *p, int length, int firstFlags,
                      int *error) {
  int total = 0;
  *error = 0;
  if (comm->Socket <= 0) {
    *error = QDVP_DCH_ERR_RESET;
    return 0;
  }
  int flags = MSG_NOSIGNAL | firstFlags;
  while (total < length) {
    int piece = length - total > QDVP_DCH_SEND_PIECE ? QDVP_DCH_SEND_PIECE : length - total;
    ssize_t n = sendto(comm->Socket, p + total, static_cast<size_t>(piece), flags,
                       comm->ReceiveMode == QDVP_DCH_MODE_TCP
                           ? nullptr
                           : reinterpret_cast<const sockaddr *>(&comm->DCHaddr),
                       comm->ReceiveMode == QDVP_DCH_MODE_TCP ? 0 : sizeof(comm->DCHaddr));
    *error = errno;
    if (n < 0 && *error == ECONNREFUSED && comm->ReceiveMode != QDVP_DCH_MODE_TCP) {
      // A connected datagram socket reports an earlier datagram that nobody received; this
      // one is sent again, and an agent that is not there yet is waited for as usual.
      n = send(comm->Socket, p + total, static_cast<size_t>(piece), MSG_NOSIGNAL);
      *error = errno;
      if (n < 0 && *error == ECONNREFUSED) n = piece;
    }
    if (n <= 0) {
      if (*error == ECONNRESET || *error == EPIPE || *error == ENOTCONN || *error == EBADF) {
        *error = QDVP_DCH_ERR_RESET;
      }
      break;
    }
    total += static_cast<int>(n);
    // Once part of the message is out, the rest follows as any send does: waiting for room.
    flags = MSG_NOSIGNAL;
  }
  return total;
}

int QDVP_TCPIP_DCHsend(DCHcomm *comm, const void *message, int length, int *error) {
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>>Sending request %d to DCH. Total data length %d",
           comm->RequestNumber, length);
  return SendPieces(comm, static_cast<const unsigned char *>(message), length, 0, error);
}

// A TCP connection whose send buffer has no room (the agent reads nothing) sends nothing here
// and says so (*error EAGAIN): the caller then leaves the message to the client, whose sends
// wait. Any other outcome is a send's.
int QDVP_TCPIP_DCHsendNow(DCHcomm *comm, const void *message, int length, int *error) {
  return SendPieces(comm, static_cast<const unsigned char *>(message), length, MSG_DONTWAIT, error);
}

// Over UDP, waits for the socket to become readable within the reply wait first. The datagram
// socket is connected to the agent, so a datagram the agent did not receive (nobody listens
// at its port yet) comes back as a refused receive: that is silence, and the wait goes on.
int QDVP_TCPIP_DCHreceive(DCHcomm *comm, void *buffer, int size, int *error) {
  int s = comm->Socket;
  bool udp = comm->ReceiveMode != QDVP_DCH_MODE_TCP;
  // Waited for in short slices so that a closed connection or a shutdown is noticed soon;
  // every wait lasts the full reply wait in total.
  long waitedMs = 0, limitMs = comm->ReplyWaitSeconds * 1000L;
  for (;;) {
    while (udp) {
      if (comm->Socket != s) {
        *error = -1;
        return -1;
      }
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(s, &readable);
      long slice = limitMs - waitedMs < 250 ? limitMs - waitedMs : 250;
      timeval limit = {slice / 1000, (slice % 1000) * 1000};
      int rc = select(s + 1, &readable, nullptr, nullptr, &limit);
      if (rc < 0) {
        *error = errno;
        return -1;
      }
      if (rc > 0) break;
      waitedMs += slice;
      if (waitedMs >= limitMs) {
        *error = QDVP_DCH_ERR_TIMEOUT;
        return -1;
      }
    }
    memset(buffer, 0, static_cast<size_t>(size));
    ssize_t n = recvfrom(s, buffer, static_cast<size_t>(size), 0, nullptr, nullptr);
    *error = n < 0 ? errno : 0;
    if (n < 0 && udp && *error == ECONNREFUSED) continue;
    if (n < 0 && (*error == ECONNRESET || *error == ENOTCONN)) *error = QDVP_DCH_ERR_RESET;
    if (n < 0 && *error == EBADF) *error = QDVP_DCH_ERR_INVALID;
    comm->ReceiveCount++;
    return static_cast<int>(n);
  }
}

const DSFT TCPIP_DSFT = {QDVP_TCPIP_WaitDCHcomeOnline, QDVP_TCPIP_HandleDCHdisconnect,
                         QDVP_TCPIP_DCHreceive, QDVP_TCPIP_DCHsend, QDVP_TCPIP_DCHsendNow};
