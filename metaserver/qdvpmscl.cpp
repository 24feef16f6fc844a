// The metafile server client role: fetches for the metafile input a metafile that exists
// nowhere locally, from the data provider named by QDVP_META_SERVER.
//
// The task creates the anchor's metafile record block at its start, before the creator goes
// on to load the startup configuration, and makes its first connection attempt then too, so
// that the metafiles of the startup configuration can already be fetched. A loading task
// posts a name through the block (include/qdvp_metafile.h) and waits; this task sends
// GETMETA, puts the reply together with MetaReplyReader from however many receives it takes,
// and answers with the status: 0 with the records in the block, the server's own status (1
// for no such metafile), 20 when no complete reply came within QDVP_META_IO_WAIT seconds, -2
// when the connection was lost (or there is none yet), -3 when the reply was out of form.
// Only a complete reply puts records in the block, so a loader never sees part of one.
//
// Wake-ups cannot be lost: the loader posts its request under this task's TaskIOmutex and
// signals, and this task looks for a posted request under that mutex before every wait.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_metafile.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_sockets.h"
#include "qdvpmsrv.h"
#include "qdvpmswr.h"

static TRK1_BLOCK trk = {"qdvpmscl"};

namespace {

using Clock = std::chrono::steady_clock;

struct Client {
  DPAB *anchor = nullptr;
  ProcessEntry *pe = nullptr;
  MemMetafile *block = nullptr;
  const char *host = nullptr;
  int port = 0;
  struct sockaddr_in server = {};
  int socket = -1;
  int ioWait = QDVP_MSRV_DEFAULT_IO_WAIT;
  Clock::time_point nextAttempt;
};

int MillisecondsUntil(Clock::time_point when) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
  return ms < 0 ? 0 : (ms > 1000 ? 1000 : static_cast<int>(ms));
}

void CloseConnection(Client *c) {
  QDV0_CloseTheSocket(c->socket);
  c->socket = -1;
}

// One connection attempt, bounded by QDVP_MSRV_CONNECT_WAIT seconds.
void Connect(Client *c) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int rc =
      s < 0 ? -1 : connect(s, reinterpret_cast<struct sockaddr *>(&c->server), sizeof(c->server));
  if (rc != 0 && s >= 0 && errno == EINPROGRESS) {
    QDVP_TRC(trk, TRK1_DETAIL, "TCP connect to metafile server timed out. connection pending");
    struct pollfd p = {s, POLLOUT, 0};
    int error = ETIMEDOUT;
    socklen_t length = sizeof(error);
    if (poll(&p, 1, QDVP_MSRV_CONNECT_WAIT * 1000) == 1) {
      getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length);
    }
    rc = error == 0 ? 0 : -1;
  }
  if (rc == 0) {
    c->socket = s;
    QDVP_SendDPlogMessage(c->anchor, 48, c->host);
    return;
  }
  if (s >= 0) close(s);
  QDVP_SendDPlogMessage(c->anchor, 47, c->host, std::to_string(c->port).c_str());
  QDVP_SendDPlogMessage(c->anchor, 52, c->host, std::to_string(QDVP_MSRV_RETRY_WAIT).c_str());
  c->nextAttempt = Clock::now() + std::chrono::seconds(QDVP_MSRV_RETRY_WAIT);
}

// Sends the whole request within the I/O wait; 0 or -1.
int SendRequest(Client *c, const char *name) {
  std::string request = std::string("GETMETA ") + name;
  QDV0_ConvertDataToNetwork(request.data(), request.size());
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(c->ioWait);
  size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = send(c->socket, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR) && Clock::now() < deadline) {
      struct pollfd p = {c->socket, POLLOUT, 0};
      poll(&p, 1, MillisecondsUntil(deadline));
      continue;
    }
    return -1;
  }
  return 0;
}

// The records of a complete reply as nodes, each with its text behind it; null (and *ok 0)
// when storage fails.
MetaRecordNode *BuildNodes(const MetaReplyReader &reader, int *ok) {
  MetaRecordNode *head = nullptr, **tail = &head;
  *ok = 1;
  for (const std::string &record : reader.records()) {
    auto *node =
        static_cast<MetaRecordNode *>(QDV0_GetStorage(sizeof(MetaRecordNode) + record.size() + 1));
    if (node == nullptr) {
      QDVP_FreeMetaRecordList(head);
      *ok = 0;
      return nullptr;
    }
    node->pNext = nullptr;
    node->pText = reinterpret_cast<char *>(node + 1);
    memcpy(node->pText, record.data(), record.size());
    node->pText[record.size()] = '\0';
    node->Length = static_cast<int>(record.size());
    *tail = node;
    tail = &node->pNext;
  }
  return head;
}

// One retrieval over the open connection. Returns the status; on 0 *head and *count hold the
// records. *answered tells whether the server sent anything at all.
int Fetch(Client *c, const char *name, MetaRecordNode **head, int *count, bool *answered) {
  *answered = false;
  if (SendRequest(c, name) != 0) {
    QDVP_TRC(trk, TRK1_ERROR, "*** send metafile request to server failed. abort request");
    return QDVP_MSRV_STATUS_LOST;
  }
  MetaReplyReader reader;
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(c->ioWait);
  char piece[256];
  while (reader.state() == MetaReplyReader::kIncomplete) {
    if (Clock::now() >= deadline || QDVP_TaskShouldEnd(c->pe)) {
      QDVP_TRC(trk, TRK1_ERROR, "*** No complete reply for metafile %s within %d seconds", name,
               c->ioWait);
      return QDVP_MSRV_STATUS_TIMEOUT;
    }
    struct pollfd p = {c->socket, POLLIN, 0};
    if (poll(&p, 1, MillisecondsUntil(deadline)) <= 0) continue;
    ssize_t n = recv(c->socket, piece, 255, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      QDVP_TRC(trk, TRK1_ERROR, "*** Metafile server connection lost, errno %d",
               n == 0 ? 0 : errno);
      QDVP_SendDPlogMessage(c->anchor, 50);
      return QDVP_MSRV_STATUS_LOST;
    }
    *answered = true;
    QDV0_ConvertDataToLocal(piece, static_cast<size_t>(n));
    reader.Feed(piece, static_cast<size_t>(n));
  }
  if (reader.state() == MetaReplyReader::kMalformed) {
    QDVP_TRC(trk, TRK1_ERROR, "*** Invalid reply for metafile %s: %s. Assume file not found", name,
             reader.why());
    return QDVP_MSRV_STATUS_BAD_REPLY;
  }
  if (reader.status() != 0) return reader.status();
  int ok = 0;
  *head = BuildNodes(reader, &ok);
  if (!ok) return QDVP_MSRV_STATUS_BAD_REPLY;
  *count = static_cast<int>(reader.records().size());
  return 0;
}

// Reads and drops whatever is left on the connection after a complete reply.
void Discard(Client *c) {
  char piece[256];
  while (recv(c->socket, piece, sizeof(piece), MSG_DONTWAIT) > 0) {
  }
}

// Waits (at most until the next connection attempt, and a second) for a posted request.
// Returns the waiting task's entry and *name, or null.
ProcessEntry *WaitForRequest(Client *c, const char **name) {
  MemMetafile *b = c->block;
  ProcessEntry *waiter = nullptr;
  OSV1_GetLock(&c->pe->TaskIOmutex);
  if (!(b->Status == -1 && b->pPE != nullptr) && !QDVP_TaskShouldEnd(c->pe)) {
    int ms = c->socket < 0 ? MillisecondsUntil(c->nextAttempt) : 1000;
    QDV0_ConditionTimedWaitMs(&c->pe->TaskIOcond, &c->pe->TaskIOmutex, ms > 0 ? ms : 1);
  }
  if (b->Status == -1 && b->pPE != nullptr) {
    waiter = b->pPE;
    *name = b->pName;
  }
  OSV1_ReleaseLock(&c->pe->TaskIOmutex);
  return waiter;
}

// Hands the result to the waiting task (it holds the block's lock while it waits), unless it
// gave up waiting at shutdown.
void Answer(Client *c, ProcessEntry *waiter, int status, MetaRecordNode *head, int count) {
  MemMetafile *b = c->block;
  OSV1_GetLock(&c->pe->TaskIOmutex);
  bool waiting = b->pPE == waiter;
  OSV1_ReleaseLock(&c->pe->TaskIOmutex);
  if (!waiting) {
    QDVP_FreeMetaRecordList(head);
    return;
  }
  b->pHead = head;
  b->RecordCount = status == 0 ? count : 0;
  OSV1_GetLock(&waiter->TaskIOmutex);
  b->Status = status;
  OSV1_WakeOne(&waiter->TaskIOcond, &waiter->TaskIOmutex);
  OSV1_ReleaseLock(&waiter->TaskIOmutex);
}

// True when the server has ended the connection while it was idle (it closes connections
// that stay idle, QDVP_META_IDLE_WAIT on its side): its end of stream is waiting to be read.
bool ClosedByServer(Client *c) {
  char byte;
  ssize_t n = recv(c->socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

void Serve(Client *c, ProcessEntry *waiter, const char *name) {
  MetaRecordNode *head = nullptr;
  int count = 0;
  int status = QDVP_MSRV_STATUS_LOST;
  // A connection the server closed for being idle (or to make room for another client) is
  // made again at once; so is one that it closed as the request went out, before it answered
  // anything: the request is sent once more on the new connection. Asking again is harmless.
  bool fresh = false;
  if (c->socket >= 0 && ClosedByServer(c)) {
    QDVP_TRC(trk, TRK1_DETAIL, "Metafile server closed the idle connection; connecting again");
    CloseConnection(c);
    Connect(c);
    fresh = true;
  }
  bool answered = false;
  if (c->socket >= 0) status = Fetch(c, name, &head, &count, &answered);
  if (status == QDVP_MSRV_STATUS_LOST && !answered && !fresh && c->socket >= 0) {
    QDVP_TRC(trk, TRK1_DETAIL, "Metafile server closed the connection unanswered; asking again");
    CloseConnection(c);
    Connect(c);
    if (c->socket >= 0) status = Fetch(c, name, &head, &count, &answered);
  }
  QDVP_TRC(trk, TRK1_DETAIL, "Metafile %s from server %s: status %d, %d record(s)", name, c->host,
           status, count);
  if (c->socket >= 0) {
    if (status == QDVP_MSRV_STATUS_LOST) {
      CloseConnection(c);
      c->nextAttempt = Clock::now() + std::chrono::seconds(QDVP_MSRV_LOST_WAIT);
    } else if (status == QDVP_MSRV_STATUS_TIMEOUT || status == QDVP_MSRV_STATUS_BAD_REPLY) {
      // The rest of that reply could still arrive and be taken for the next one.
      CloseConnection(c);
      c->nextAttempt = Clock::now();
    } else {
      Discard(c);
    }
  }
  Answer(c, waiter, status, head, count);
}

}  // namespace

int QDVP_MetaServerSockClientRoutine(DPAB *anchor, ProcessEntry *entry) {
  Client c;
  c.anchor = anchor;
  c.pe = entry;
  c.host = static_cast<const char *>(entry->pParm);
  c.port = QDVP_ServerPort('M');
  c.ioWait = QDVP_MetaIOWait();
  if (QDV0_ConvertNameToAddr(c.host, c.port, &c.server) != 0) {
    QDVP_SendDPlogMessage(anchor, 46);
    return 0;
  }
  MemMetafile *block = anchor->pMemMetafile;
  if (block == nullptr) {
    block = QDV0_New<MemMetafile>();
    if (block == nullptr) {
      QDVP_SendDPlogMessage(anchor, 49);
      return 0;
    }
    OSV1_InitializeLock(&block->Lock);
  }
  block->Status = 1;
  block->pClientPE = entry;
  anchor->pMemMetafile = block;
  c.block = block;
  Connect(&c);
  QDVP_SignalMetaServerStartup(entry);

  while (!QDVP_TaskShouldEnd(entry)) {
    if (c.socket < 0 && Clock::now() >= c.nextAttempt) Connect(&c);
    const char *name = nullptr;
    ProcessEntry *waiter = WaitForRequest(&c, &name);
    if (waiter != nullptr) Serve(&c, waiter, name);
  }
  // A request posted as the task ends is answered; then no loader finds the task again: one
  // that holds the block's lock is finished with it before the entry is let go.
  // A loader holds the lock while it waits for its answer, so requests are answered until the
  // lock is free.
  while (!OSV1_TryLock(&block->Lock)) {
    const char *name = nullptr;
    ProcessEntry *waiter = WaitForRequest(&c, &name);
    if (waiter != nullptr) Answer(&c, waiter, QDVP_MSRV_STATUS_LOST, nullptr, 0);
  }
  block->pClientPE = nullptr;
  OSV1_ReleaseLock(&block->Lock);
  CloseConnection(&c);
  return 1;
}
