// Hosts and sockets: name and address conversion, the local host's names, and local sockets
// bound to the configured bind address (127.0.0.1 unless QDVP_BIND_ADDRESS says otherwise).
#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "qdv0.h"
#include "qdv0chck.h"
#include "trk1.h"

static TRK1_BLOCK trk = {"qdv0sock"};

int QDV0_WinSockInitialization(int) { return 0; }

int QDV0_IsThisAddressString(const char *text) {
  if (text == nullptr || text[0] == '\0') return 0;
  struct in_addr a;
  return inet_pton(AF_INET, text, &a) == 1;
}

int QDV0_ConvertNameToAddr(const char *host, int port, struct sockaddr_in *address) {
  if (host == nullptr || address == nullptr) return -1;
  memset(address, 0, sizeof(*address));
  address->sin_family = AF_INET;
  address->sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host, &address->sin_addr) == 1) return 0;
  struct addrinfo hints, *result = nullptr;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET;
  if (getaddrinfo(host, nullptr, &hints, &result) != 0 || result == nullptr) return -1;
  address->sin_addr = reinterpret_cast<struct sockaddr_in *>(result->ai_addr)->sin_addr;
  freeaddrinfo(result);
  return 0;
}

// Address to name: qdv0rslv.cpp (the resolver and its cache).

const char *QDV0_LocalHostNameString(void) {
  thread_local char name[256];
  if (gethostname(name, sizeof(name)) != 0) strcpy(name, "localhost");
  name[sizeof(name) - 1] = '\0';
  return name;
}

int QDV0_IsOwnHostName(const char *name) {
  if (name == nullptr) return 0;
  if (strcasecmp(name, "localhost") == 0 || strncmp(name, "127.", 4) == 0) return 1;
  const char *local = QDV0_LocalHostNameString();
  size_t n = strlen(local);
  return strncasecmp(name, local, n) == 0 && (name[n] == '\0' || name[n] == '.');
}

const char *QDV0_GetLocalDomainName(void) {
  const char *local = QDV0_LocalHostNameString();
  const char *dot = strchr(local, '.');
  return dot ? dot + 1 : "";
}

in_addr_t QDV0_BindAddress(void) {
  const char *text = QDV0_GetEnv("QDVP_BIND_ADDRESS", "127.0.0.1");
  struct in_addr a;
  if (inet_pton(AF_INET, text, &a) != 1) inet_pton(AF_INET, "127.0.0.1", &a);
  return a.s_addr;
}

int QDV0_OpenLocalSocket(int kind, uint16_t port, struct sockaddr_in *address, int reuse) {
  int s = socket(AF_INET, kind == 1 ? SOCK_DGRAM : SOCK_STREAM, 0);
  if (s < 0) return -1;
  fcntl(s, F_SETFD, FD_CLOEXEC);
  // Stream servers may rebind at once after a restart; datagram ports stay exclusive so that
  // the bind doubles as the check for another data provider of the same type.
  if (reuse && kind == 2) {
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  }
  struct sockaddr_in local;
  memset(&local, 0, sizeof(local));
  local.sin_family = AF_INET;
  local.sin_port = port;
  local.sin_addr.s_addr = QDV0_BindAddress();
  if (bind(s, reinterpret_cast<struct sockaddr *>(&local), sizeof(local)) != 0) {
    int err = errno;
    close(s);
    errno = err;
    return -1;
  }
  if (address != nullptr) {
    socklen_t len = sizeof(*address);
    getsockname(s, reinterpret_cast<struct sockaddr *>(address), &len);
  }
  return s;
}

void QDV0_ReportBindFailure(const char *what, int port, int err) {
  struct in_addr a;
  a.s_addr = QDV0_BindAddress();
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &a, text, sizeof(text));
  QDV0_OperatorLine(QDV0_PRIORITY_ERROR,
                    "qdvp: the %s port %d cannot be bound on %s (QDVP_BIND_ADDRESS): %s [errno %d]",
                    what, port, text, strerror(err), err);
  QDVP_TRC(trk, TRK1_ERROR, "***** %s port %d cannot be bound on %s: %s [errno %d]", what, port,
           text, strerror(err), err);
}

int QDV0_CloseTheSocket(int socket) { return socket >= 0 ? close(socket) : -1; }

int QDV0_SetSocketIoctl(int socket, unsigned long request, int *argument) {
  return ioctl(socket, request, argument);
}
