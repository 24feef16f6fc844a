// The console I/O task: owns the console port (7700 plus the port offset, or
// QDVP_DPCONSOLE_PORT, plus the data provider type), receives one command datagram at a
// time and hands it to the console service. While a command runs it answers every further
// datagram at once with "7 code" and tells the waiting requester every 15 seconds that the
// command is still in progress ("99 "). Holding the port is also what keeps a second data
// provider of the same type from starting on this host.
#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_console.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvpcmdk"};

namespace {

// select() waits in slices of this many seconds so that a shutdown request is seen promptly.
constexpr int kSliceSeconds = 1;

void SendText(int socket, const struct sockaddr_in *to, const char *text) {
  char datagram[64];
  size_t n = strlen(text);
  if (n >= sizeof(datagram)) n = sizeof(datagram) - 1;
  memcpy(datagram, text, n);
  QDV0_ConvertDataToNetwork(datagram, n);
  ssize_t rc = sendto(socket, datagram, n, 0, reinterpret_cast<const struct sockaddr *>(to),
                      sizeof(*to));
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
  pthread_cond_broadcast(&area->Cond);
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

// Receives one datagram on socket and hands it over, or answers "7 code" while busy.
// Returns 1 when the datagram was handed over.
int ReceiveCommand(ConsoleBlock *area, int socket, char **buffer) {
  struct sockaddr_in from;
  socklen_t fromLength = sizeof(from);
  memset(&from, 0, sizeof(from));
  ssize_t rc = recvfrom(socket, *buffer, QDVP_CONSOLE_BUFFER_SIZE, 0,
                        reinterpret_cast<struct sockaddr *>(&from), &fromLength);
  if (rc < 0) {
    int err = errno;
    QDVP_TRC(trk, TRK1_ERROR, "### recvfrom rc %d, errno %d, %s[%d]", static_cast<int>(rc), err,
             __FILE__, __LINE__);
    return 0;
  }
  (*buffer)[rc] = '\0';
  QDV0_ConvertDataToLocal(*buffer, static_cast<size_t>(rc));
  OSV1_GetLock(&area->Mutex);
  if (area->Status.load() == QDVP_CONSOLE_BUSY) {
    OSV1_ReleaseLock(&area->Mutex);
    char text[32];
    snprintf(text, sizeof(text), "%d %d", QDVP_CONSOLE_REJECTED, area->CommandCode.load());
    QDVP_TRC(trk, TRK1_DETAIL, "Console busy, command rejected with <%s>", text);
    SendText(socket, &from, text);
    return 0;
  }
  area->Status = QDVP_CONSOLE_BUSY;
  area->Requester = socket;
  area->pCommandBuffer = *buffer;
  area->RequesterAddr = from;
  area->HasRequesterAddr = 1;
  area->BufferSize = QDVP_CONSOLE_BUFFER_SIZE;
  pthread_cond_broadcast(&area->Cond);
  OSV1_ReleaseLock(&area->Mutex);
  *buffer = static_cast<char *>(QDV0_GetStorage(QDVP_CONSOLE_BUFFER_SIZE + 1));
  return 1;
}

}  // namespace

void QDVP_SockConsoleSupport(ProcessEntry *entry) {
  DPAB *anchor = entry->pDPAB;
  entry->ThreadID = OSV1_ThreadID();
  ConsoleBlock *area = anchor->pConsoleBlock;
  int port = QDVP_ConsolePortOfType(anchor->DPtype);
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
  char *buffer = static_cast<char *>(QDV0_GetStorage(QDVP_CONSOLE_BUFFER_SIZE + 1));
  OSV1_GetLock(&area->Mutex);
  area->Socket = s;
  area->Port = htons(static_cast<uint16_t>(port));
  if (anchor->DPtype == QDVP_TYPE_ASFS) OpenExtraPorts(area, port - anchor->DPtype);
  if (buffer != nullptr) area->IOthreadID = static_cast<long>(entry->ThreadID.load());
  pthread_cond_broadcast(&area->Cond);
  OSV1_ReleaseLock(&area->Mutex);
  if (buffer == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "***** No storage for the console receive buffer");
    EndIOtask(anchor, area, entry);
  }

  int sockets[QDVP_MAX_CONSOLE_SOCKETS] = {s, area->ExtraSockets[0], area->ExtraSockets[1],
                                           area->ExtraSockets[2]};
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
    for (int socket : sockets) {
      if (socket < 0 || !FD_ISSET(socket, &read) || buffer == nullptr) continue;
      if (ReceiveCommand(area, socket, &buffer)) {
        busySince = QDV0_Time();
        busySeen = true;
        // One command at a time: give the service a moment before the next datagram.
        OSV1_Sleep(1);
      }
    }
  }
  QDV0_Free(buffer);
  EndIOtask(anchor, area, entry);
}

void QDVP_RPCConsoleSupport(ProcessEntry *entry) {
  QDVP_TRC(trk, TRK1_ERROR, "***** RPC console support unavailable.");
  EndIOtask(entry->pDPAB, entry->pDPAB->pConsoleBlock, entry);
}

