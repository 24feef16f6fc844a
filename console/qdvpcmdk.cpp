// The console I/O task: owns the console port (7700 plus the port offset, or
// QDVP_DPCONSOLE_PORT, plus the data provider type), receives one command datagram at a
// time and hands it to the console service. While a command runs it answers every further
// datagram at once with "7 code" and tells the waiting requester every 15 seconds that the
// command is still in progress ("99 "). Holding the port is also what keeps a second data
// provider of the same type from starting on this host.
//
// It also opens each datagram's seal (include/qdvp_consauth.h) with the console key it reads,
// or creates, when it starts, and remembers the nonces of the sealed commands it accepted for
// as long as their stamps are within the window, so that a captured datagram is not accepted
// a second time. The service decides what an unauthenticated command may do.
//
// It never waits between datagrams: a datagram is handed over, or answered "7 code", as soon
// as it is read, so the socket's receive queue (bounded by the kernel, which drops what it
// cannot hold) empties as fast as the service finishes commands, and an operator is answered
// within moments of a flood's end.
#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_consauth.h"
#include "../include/qdvp_console.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvpcmdk"};

namespace {

// select() waits in slices of this many seconds so that a shutdown request is seen promptly.
constexpr int kSliceSeconds = 1;
// A datagram is read whole up to a command of QDVP_CONSOLE_BUFFER_SIZE bytes behind a seal.
constexpr size_t kReceiveSize =
    static_cast<size_t>(QDVP_CONSOLE_BUFFER_SIZE) + static_cast<size_t>(QDVP_CONSOLE_SEAL_MAX);

void SendText(int socket, const struct sockaddr_in *to, const char *text) {
  char datagram[64];
  size_t n = strlen(text);
  if (n >= sizeof(datagram)) n = sizeof(datagram) - 1;
  memcpy(datagram, text, n);
  QDV0_ConvertDataToNetwork(datagram, n);
  ssize_t rc =
      sendto(socket, datagram, n, 0, reinterpret_cast<const struct sockaddr *>(to), sizeof(*to));
  if (rc < 0) {
    int err = errno;
    QDVP_TRC(trk, TRK1_ERROR, "### sendto rc %d, errno %d, %s[%d]", static_cast<int>(rc), err,
             __FILE__, __LINE__);
  }
}

// Tells the I/O task's waiter that it has ended (or could not start) and ends the task.
[[noreturn]] void EndIOtask(DPAB *anchor, ConsoleBlock *area, ProcessEntry *entry) {
  OSV1_GetLock(&area->Mutex);
  area->IOended = 1;
  OSV1_WakeAll(&area->Cond, &area->Mutex);
  OSV1_ReleaseLock(&area->Mutex);
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Console IO thread processing completed. Exit");
  QDVP_EndTask(anchor, entry);
}

// ASFS data providers also answer on the console ports of the three types they combine:
// base, base + 2 and base + 1, each when free.
void OpenExtraPorts(ConsoleBlock *area, int base) {
  static const int kOffsets[QDVP_MAX_CONSOLE_SOCKETS - 1] = {0, 2, 1};
  for (int i = 0; i < QDVP_MAX_CONSOLE_SOCKETS - 1; i++) {
    uint16_t port = static_cast<uint16_t>(base + kOffsets[i]);
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    area->ExtraSockets[i] = QDV0_OpenLocalSocket(1, htons(port), &address, 1);
    QDVP_TRC(trk, TRK1_DETAIL, "Additional console port %d %s", port,
             area->ExtraSockets[i] >= 0 ? "opened" : "in use");
  }
}

// What the task needs to open seals: the key, and the sealed commands accepted whose stamps
// are still within the window. Belongs to the I/O task alone.
struct Seals {
  struct Seen {
    long stamp;
    char nonce[QDVP_CONSOLE_NONCE_DIGITS + 1];
  };
  // Only commands with a good digest are remembered, so only the operator fills this: more
  // than this many within a window are refused as replays rather than forgotten.
  static constexpr int kMostSeen = 1024;
  unsigned char key[QDVP_CONSOLE_KEY_SIZE];
  bool hasKey;
  // A second before the task opened the port: nothing was remembered before, so older
  // stamps are refused (a datagram captured before a restart is not accepted after it). The
  // second of slack keeps a command sealed as the port opened.
  long since;
  int seenCount;
  Seen seen[kMostSeen];
};

// Reads (or at the first start creates) the console key. Without a usable key file the
// console still serves, but refuses every command that needs the key, and says so now.
void LoadConsoleKey(Seals *seals) {
  char path[4096];
  int status = QDVP_ConsoleKeyPath(path, sizeof(path)) ? QDVP_LoadConsoleKey(path, 1, seals->key)
                                                       : QDVP_KEY_IO_ERROR;
  int err = errno;
  seals->hasKey = status == QDVP_KEY_OK || status == QDVP_KEY_CREATED;
  if (seals->hasKey) {
    QDVP_TRC(trk, TRK1_DETAIL, "Console key file %s %s", path, QDVP_ConsoleKeyStatusText(status));
    return;
  }
  char text[4400];
  snprintf(text, sizeof(text),
           "Console key file %s %s%s%s%s. Console commands that need the key are refused until "
           "it is removed or corrected and the data provider started again.",
           path[0] != '\0' ? path : "(name too long)", QDVP_ConsoleKeyStatusText(status),
           status == QDVP_KEY_IO_ERROR ? " (" : "",
           status == QDVP_KEY_IO_ERROR ? strerror(err) : "",
           status == QDVP_KEY_IO_ERROR ? ")" : "");
  QDVP_TRC(trk, TRK1_ERROR, "***** %s", text);
  QDV0_OQconsoleMessage("Console", QDV0_OQ_WARNING, text);
}

// Whether a sealed command with this stamp and nonce is new; remembers it when it is.
int Remember(Seals *seals, long stamp, const char *nonce) {
  long now = static_cast<long>(QDV0_Time());
  int kept = 0;
  bool repeated = false;
  for (int i = 0; i < seals->seenCount; i++) {
    const Seals::Seen &seen = seals->seen[i];
    // A stamp older than the window can no longer be accepted: its nonce may be forgotten.
    if (seen.stamp + QDVP_CONSOLE_AUTH_WINDOW < now) continue;
    if (strcmp(seen.nonce, nonce) == 0) repeated = true;
    seals->seen[kept++] = seen;
  }
  seals->seenCount = kept;
  if (repeated || kept == Seals::kMostSeen) return 0;
  seals->seen[kept].stamp = stamp;
  memcpy(seals->seen[kept].nonce, nonce, sizeof(seals->seen[kept].nonce));
  seals->seenCount = kept + 1;
  return 1;
}

// How the datagram in buffer (*length bytes) that arrived on port is authenticated. A sealed
// datagram's command text is moved to the start of the buffer and *length becomes its length.
int Authenticate(Seals *seals, int port, char *buffer, size_t *length) {
  long stamp = 0;
  char nonce[QDVP_CONSOLE_NONCE_DIGITS + 1];
  size_t command = 0;
  int seal = QDVP_OpenConsoleSeal(seals->hasKey ? seals->key : nullptr, port, buffer, *length,
                                  &stamp, nonce, &command);
  if (seal == QDVP_SEAL_NONE) return QDVP_AUTH_NONE;
  if (seal == QDVP_SEAL_MALFORMED) return QDVP_AUTH_MALFORMED;
  memmove(buffer, buffer + command, *length - command);
  *length -= command;
  if (!seals->hasKey) return QDVP_AUTH_NO_KEY;
  if (seal != QDVP_SEAL_GOOD) return QDVP_AUTH_WRONG;
  long now = static_cast<long>(QDV0_Time());
  if (stamp < now - QDVP_CONSOLE_AUTH_WINDOW || stamp > now + QDVP_CONSOLE_AUTH_WINDOW ||
      stamp < seals->since) {
    return QDVP_AUTH_STALE;
  }
  return Remember(seals, stamp, nonce) ? QDVP_AUTH_GOOD : QDVP_AUTH_REPLAYED;
}

// Answers "7 code": another command runs.
void Reject(ConsoleBlock *area, int socket, const struct sockaddr_in *from) {
  char text[32];
  snprintf(text, sizeof(text), "%d %d", QDVP_CONSOLE_REJECTED, area->CommandCode.load());
  QDVP_TRC(trk, TRK1_DETAIL, "Console busy, command rejected with <%s>", text);
  SendText(socket, from, text);
}

// Receives one datagram on socket (its port in host byte order) and hands it over, or answers
// "7 code" while busy. Returns 1 when the datagram was handed over.
int ReceiveCommand(ConsoleBlock *area, Seals *seals, int socket, int port, char **buffer) {
  struct sockaddr_in from;
  socklen_t fromLength = sizeof(from);
  memset(&from, 0, sizeof(from));
  ssize_t rc = recvfrom(socket, *buffer, kReceiveSize, 0,
                        reinterpret_cast<struct sockaddr *>(&from), &fromLength);
  if (rc < 0) {
    int err = errno;
    QDVP_TRC(trk, TRK1_ERROR, "### recvfrom rc %d, errno %d, %s[%d]", static_cast<int>(rc), err,
             __FILE__, __LINE__);
    return 0;
  }
  if (area->Status.load() == QDVP_CONSOLE_BUSY) {
    Reject(area, socket, &from);
    return 0;
  }
  size_t length = static_cast<size_t>(rc);
  QDV0_ConvertDataToLocal(*buffer, length);
  int authentication = Authenticate(seals, port, *buffer, &length);
  // A command is at most QDVP_CONSOLE_BUFFER_SIZE bytes; longer ones are cut there.
  if (length > QDVP_CONSOLE_BUFFER_SIZE) length = QDVP_CONSOLE_BUFFER_SIZE;
  (*buffer)[length] = '\0';
  OSV1_GetLock(&area->Mutex);
  if (area->Status.load() == QDVP_CONSOLE_BUSY) {
    // A take action took the console in the meantime.
    OSV1_ReleaseLock(&area->Mutex);
    Reject(area, socket, &from);
    return 0;
  }
  area->Status = QDVP_CONSOLE_BUSY;
  area->Requester = socket;
  area->pCommandBuffer = *buffer;
  area->RequesterAddr = from;
  area->HasRequesterAddr = 1;
  area->Authentication = authentication;
  area->BufferSize = QDVP_CONSOLE_BUFFER_SIZE;
  OSV1_WakeAll(&area->Cond, &area->Mutex);
  OSV1_ReleaseLock(&area->Mutex);
  *buffer = static_cast<char *>(QDV0_GetStorage(kReceiveSize + 1));
  return 1;
}

// The local port of a socket, in host byte order; 0 when it cannot be had.
int LocalPort(int socket) {
  struct sockaddr_in address;
  socklen_t length = sizeof(address);
  memset(&address, 0, sizeof(address));
  if (getsockname(socket, reinterpret_cast<struct sockaddr *>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

}  // namespace

void QDVP_SockConsoleSupport(ProcessEntry *entry) {
  DPAB *anchor = entry->pDPAB;
  entry->ThreadID = OSV1_ThreadID();
  ConsoleBlock *area = anchor->pConsoleBlock;
  int port = QDVP_ConsolePortOfType(anchor->DPtype);
  long started = static_cast<long>(QDV0_Time());
  int maxDP = atoi(QDV0_GetEnv("QDVP_MAX_DP", "8"));
  QDVP_TRC(trk, TRK1_DETAIL, "Console command port %d (at most %d data providers)", port, maxDP);
  struct sockaddr_in address;
  memset(&address, 0, sizeof(address));
  int s = QDV0_OpenLocalSocket(1, htons(static_cast<uint16_t>(port)), &address, 1);
  if (s == -1) {
    int err = errno;
    if (err == EADDRINUSE) {
      QDVP_TRC(trk, TRK1_ERROR, "***** Same Type DP already running. Console IO thread Exit *****");
      QDVP_DisplayValidationMessage(89, nullptr);
    } else {
      QDV0_ReportBindFailure("console", port, err);
    }
    EndIOtask(anchor, area, entry);
  }
  // The port is held first, as before there were keys: it is what tells a second data provider
  // of the type that this one runs. A command that arrives before the key is read waits in the
  // socket's queue; at the first start, one sent without a seal by a program that looked for
  // the key a moment too early is refused, and qdvp console sends it again, sealed.
  Seals *seals = static_cast<Seals *>(QDV0_GetStorage(sizeof(Seals)));
  if (seals != nullptr) {
    LoadConsoleKey(seals);
    seals->since = started - 1;
  }
  char *buffer =
      seals != nullptr ? static_cast<char *>(QDV0_GetStorage(kReceiveSize + 1)) : nullptr;
  OSV1_GetLock(&area->Mutex);
  area->Socket = s;
  area->Port = htons(static_cast<uint16_t>(port));
  if (anchor->DPtype == QDVP_TYPE_ASFS) OpenExtraPorts(area, port - anchor->DPtype);
  if (buffer != nullptr) area->IOthreadID = static_cast<long>(entry->ThreadID.load());
  OSV1_WakeAll(&area->Cond, &area->Mutex);
  OSV1_ReleaseLock(&area->Mutex);
  if (buffer == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "***** No storage for the console receive buffer");
    if (seals != nullptr) explicit_bzero(seals, sizeof(Seals));
    QDV0_Free(seals);
    EndIOtask(anchor, area, entry);
  }

  int sockets[QDVP_MAX_CONSOLE_SOCKETS] = {s, area->ExtraSockets[0], area->ExtraSockets[1],
                                           area->ExtraSockets[2]};
  // The port each datagram's seal names: the one it was sent to.
  int ports[QDVP_MAX_CONSOLE_SOCKETS];
  for (int i = 0; i < QDVP_MAX_CONSOLE_SOCKETS; i++) {
    ports[i] = sockets[i] >= 0 ? LocalPort(sockets[i]) : 0;
  }
  time_t busySince = QDV0_Time();
  bool busySeen = false;
  while (!QDVP_TaskShouldEnd(entry) && buffer != nullptr) {
    fd_set read;
    FD_ZERO(&read);
    int highest = -1;
    for (int socket : sockets) {
      if (socket < 0) continue;
      FD_SET(socket, &read);
      if (socket > highest) highest = socket;
    }
    struct timeval wait = {kSliceSeconds, 0};
    int rc = select(highest + 1, &read, nullptr, nullptr, &wait);
    if (rc < 0) {
      if (errno != EINTR) {
        QDVP_TRC(trk, TRK1_ERROR, "### select rc %d, errno %d", rc, errno);
        OSV1_Sleep(kSliceSeconds);
      }
      continue;
    }
    if (rc == 0) {
      if (area->Status.load() == QDVP_CONSOLE_BUSY) {
        if (!busySeen) busySince = QDV0_Time();
        busySeen = true;
        if (QDV0_Time() - busySince >= QDVP_CONSOLE_BUSY_NOTICE) {
          busySince = QDV0_Time();
          OSV1_GetLock(&area->Mutex);
          int has = area->HasRequesterAddr;
          int socket = area->Requester;
          struct sockaddr_in to = area->RequesterAddr;
          OSV1_ReleaseLock(&area->Mutex);
          if (has) {
            char text[16];
            snprintf(text, sizeof(text), "%d ", QDVP_CONSOLE_BUSY);
            SendText(socket, &to, text);
          }
        }
      } else if (busySeen) {
        busySeen = false;
        QDVP_TRC(trk, TRK1_DETAIL, ">>>>> previous command completed");
      }
      continue;
    }
    for (int i = 0; i < QDVP_MAX_CONSOLE_SOCKETS; i++) {
      if (sockets[i] < 0 || !FD_ISSET(sockets[i], &read) || buffer == nullptr) continue;
      if (ReceiveCommand(area, seals, sockets[i], ports[i], &buffer)) {
        busySince = QDV0_Time();
        busySeen = true;
      }
    }
  }
  QDV0_Free(buffer);
  explicit_bzero(seals, sizeof(Seals));
  QDV0_Free(seals);
  EndIOtask(anchor, area, entry);
}

void QDVP_RPCConsoleSupport(ProcessEntry *entry) {
  QDVP_TRC(trk, TRK1_ERROR, "***** RPC console support unavailable.");
  EndIOtask(entry->pDPAB, entry->pDPAB->pConsoleBlock, entry);
}
