// The metafile server task: the role choice, the port check, and the server role.
//
// The server answers GETMETA requests from other data providers with the records of a regular
// file of its own metafile directory. A partner is hostile: a request is read at most
// QDVP_MSRV_REQUEST_MAX bytes at a time, a name that could reach outside the directory is
// refused before any file is touched, a file is served only when it is a regular file no
// larger than QDVP_MSRV_FILE_MAX whose real path lies in the directory, and a reply leaves
// through the poll loop as the partner takes it, so a partner that does not read holds only
// its own reply and is dropped after QDVP_META_IO_WAIT seconds. A partner without a reply on
// its way is closed after QDVP_META_IDLE_WAIT seconds of silence, and gives its place up at
// once to a new partner when every place is taken and it has been idle longest. Every refusal
// is answered with status 1 and logged with message 45; the reason goes to the trace.
#include "qdvpmsrv.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_metafile.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_services.h"
#include "../include/qdvp_sockets.h"
#include "qdvpmswr.h"

static TRK1_BLOCK trk = {"qdvpmsrv"};

namespace {

using Clock = std::chrono::steady_clock;

// One accepted connection.
struct Partner {
  int socket = -1;
  struct sockaddr_in peer = {};
  std::string host;  // the peer's name (or dotted address), for messages
  std::string name;  // the metafile of the reply on its way
  std::string out;   // the reply on its way
  size_t sent = 0;
  int records = 0;
  Clock::time_point deadline;
  Clock::time_point lastActive;  // accepted, last request read, or last reply sent
};

struct Server {
  DPAB *anchor = nullptr;
  ProcessEntry *pe = nullptr;
  int udp = -1;
  int tcp = -1;
  int ioWait = QDVP_MSRV_DEFAULT_IO_WAIT;
  int idleWait = QDVP_MSRV_DEFAULT_IDLE_WAIT;
  size_t pending = 0;  // reply bytes on their way, all partners
  std::vector<Partner *> partners;
};

std::string PortText(const struct sockaddr_in &a) { return std::to_string(ntohs(a.sin_port)); }

std::string AddressText(const struct sockaddr_in &a) {
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &a.sin_addr, text, sizeof(text));
  return text;
}

// The file that name designates in directory: the name itself, then with ".mdl", then with
// ".MDL", as the metafile input looks. Returns an open descriptor of a regular file inside the
// directory, or -1 with *why set.
int OpenServedFile(const char *directory, const std::string &name, const char **why) {
  *why = "no such metafile";
  char root[PATH_MAX];
  if (directory == nullptr || realpath(directory, root) == nullptr) {
    *why = "metafile directory unusable";
    return -1;
  }
  std::string prefix = std::string(root) + "/";
  for (const char *extension : {"", ".mdl", ".MDL"}) {
    std::string path = prefix + name + extension;
    struct stat link;
    if (lstat(path.c_str(), &link) != 0) continue;
    if (!S_ISREG(link.st_mode) && !S_ISLNK(link.st_mode)) {
      *why = S_ISDIR(link.st_mode) ? "a directory" : "not a regular file";
      return -1;
    }
    char real[PATH_MAX];
    if (realpath(path.c_str(), real) == nullptr) continue;  // a dangling link
    if (strncmp(real, prefix.c_str(), prefix.size()) != 0) {
      *why = "a symbolic link out of the metafile directory";
      return -1;
    }
    struct stat target;
    if (stat(real, &target) != 0) continue;
    if (!S_ISREG(target.st_mode)) {
      *why = S_ISDIR(target.st_mode) ? "a directory" : "not a regular file";
      return -1;
    }
    if (target.st_size > QDVP_MSRV_FILE_MAX) {
      *why = "larger than the 1 MiB the server sends";
      return -1;
    }
    // O_NONBLOCK: should the file have become a FIFO since, the open does not wait for it.
    int fd = open(real, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
      *why = "cannot be opened";
      return -1;
    }
    struct stat opened;
    if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_dev != target.st_dev ||
        opened.st_ino != target.st_ino) {
      close(fd);
      *why = "changed while it was opened";
      return -1;
    }
    return fd;
  }
  return -1;
}

// The records of an open metafile into *out after the success header, each with a line end:
// lines as the metafile input reads them (QDVP_META_MAX_RECORD_SIZE bytes, a longer line in
// pieces), a line of one line feed left out. Reads no more than the size the file had when it
// was checked. Returns the record count, or -1 (with *why) when nothing can be sent.
int ReadRecords(int fd, std::string *out, const char **why) {
  struct stat st;
  FILE *f = fstat(fd, &st) == 0 ? fdopen(fd, "r") : nullptr;
  if (f == nullptr) {
    close(fd);
    *why = "cannot be read";
    return -1;
  }
  int size = QDVP_MetaRecordSize();
  std::vector<char> line(static_cast<size_t>(size));
  std::string body;
  int count = 0;
  long limit = static_cast<long>(st.st_size);
  while (ftell(f) < limit) {
    long room = limit - ftell(f) + 1;
    int n = room < size ? static_cast<int>(room) : size;
    if (fgets(line.data(), n, f) == nullptr) break;
    size_t length = strlen(line.data());
    if (length == 0 || strcmp(line.data(), "\n") == 0) continue;
    body.append(line.data(), length);
    if (line[length - 1] != '\n') body.push_back('\n');
    if (++count > QDVP_MSRV_RECORDS_MAX) {
      fclose(f);
      *why = "more records than the server sends";
      return -1;
    }
  }
  fclose(f);
  if (count == 0) {
    *why = "no records";
    return -1;
  }
  *out = QDVP_MetaReplyHeader(count) + body;
  return count;
}

void Drop(Server *sv, size_t index, bool logged) {
  Partner *p = sv->partners[index];
  if (logged) {
    QDVP_SendDPlogMessage(sv->anchor, 41, p->host.c_str(), AddressText(p->peer).c_str(),
                          PortText(p->peer).c_str());
  }
  sv->pending -= p->out.size() - p->sent;
  QDV0_CloseTheSocket(p->socket);
  delete p;
  sv->partners.erase(sv->partners.begin() + static_cast<long>(index));
}

// Sends what the partner takes now. Returns 0 while the reply is on its way or done, -1 when
// the connection failed.
int Flush(Server *sv, Partner *p) {
  while (p->sent < p->out.size()) {
    ssize_t n = send(p->socket, p->out.data() + p->sent, p->out.size() - p->sent,
                     MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    if (n <= 0) {
      QDVP_TRC(trk, TRK1_ERROR, "*** send metafile to client failed. errno %d", errno);
      return -1;
    }
    p->sent += static_cast<size_t>(n);
    sv->pending -= static_cast<size_t>(n);
  }
  if (!p->out.empty()) {
    if (p->records > 0) {
      QDVP_SendDPlogMessage(sv->anchor, 44, p->name.c_str(), std::to_string(p->records).c_str(),
                            p->host.c_str());
    }
    p->out.clear();
    p->out.shrink_to_fit();
    p->sent = 0;
    p->lastActive = Clock::now();
  }
  return 0;
}

// The partner idle longest (no reply on its way), or -1 when every partner has one.
long LongestIdle(const Server *sv) {
  long chosen = -1;
  for (size_t i = 0; i < sv->partners.size(); i++) {
    const Partner *p = sv->partners[i];
    if (!p->out.empty()) continue;
    if (chosen < 0 || p->lastActive < sv->partners[static_cast<size_t>(chosen)]->lastActive) {
      chosen = static_cast<long>(i);
    }
  }
  return chosen;
}

}  // namespace

// Queues the reply to the partner's request (p->name), or the failure reply when refusal is
// given or the file is refused, and sends what the partner takes now. Returns the count of
// records in the reply (0 for the failure reply), or -1 when the connection failed.
static int QDVP_SendMetFileReply(Server *sv, Partner *p, const char *refusal) {
  const char *why = refusal;
  int count = -1;
  std::string reply;
  if (why == nullptr) {
    int fd = OpenServedFile(sv->anchor->pMetaPath, p->name, &why);
    if (fd >= 0) count = ReadRecords(fd, &reply, &why);
  }
  if (count < 0) {
    QDVP_TRC(trk, TRK1_ERROR, "*** Metafile request for %s from %s refused: %s", p->name.c_str(),
             p->host.c_str(), why);
    QDVP_SendDPlogMessage(sv->anchor, 45, p->name.c_str(), p->host.c_str());
    reply = QDVP_MetaReplyFailure(QDVP_MSRV_STATUS_NOT_FOUND);
    count = 0;
  }
  p->out = std::move(reply);
  p->sent = 0;
  p->records = count;
  p->deadline = Clock::now() + std::chrono::seconds(sv->ioWait);
  sv->pending += p->out.size();
  return Flush(sv, p) == 0 ? count : -1;
}

namespace {

// Takes one waiting connection; false when none was waiting.
bool Accept(Server *sv) {
  struct sockaddr_in peer;
  socklen_t length = sizeof(peer);
  int s = accept4(sv->tcp, reinterpret_cast<struct sockaddr *>(&peer), &length,
                  SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (s < 0) return false;
  if (sv->partners.size() >= QDVP_MSRV_MAX_PARTNERS) {
    long idle = LongestIdle(sv);
    if (idle < 0) {
      QDVP_TRC(trk, TRK1_ERROR,
               "*** Metafile client %s port %d refused: %d clients connected, each with a reply "
               "on its way",
               AddressText(peer).c_str(), ntohs(peer.sin_port), QDVP_MSRV_MAX_PARTNERS);
      QDV0_CloseTheSocket(s);
      return true;
    }
    Partner *old = sv->partners[static_cast<size_t>(idle)];
    QDVP_TRC(trk, TRK1_ERROR,
             "*** Metafile client %s port %d closed after %lld ms idle: its place is taken by %s "
             "port %d",
             old->host.c_str(), ntohs(old->peer.sin_port),
             static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        Clock::now() - old->lastActive)
                                        .count()),
             AddressText(peer).c_str(), ntohs(peer.sin_port));
    Drop(sv, static_cast<size_t>(idle), true);
  }
  // The kernel holds little of a reply: the rest waits here, where its deadline is kept.
  int buffer = QDVP_MSRV_SEND_BUFFER;
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
  auto *p = new Partner();
  p->socket = s;
  p->peer = peer;
  p->lastActive = Clock::now();
  // The dotted address: no name look-up that could hold up the loop.
  p->host = AddressText(peer);
  sv->partners.push_back(p);
  QDVP_SendDPlogMessage(sv->anchor, 40, p->host.c_str(), AddressText(peer).c_str(),
                        PortText(peer).c_str());
  return true;
}

// Reads one request of a partner. Returns 0, or -1 when the partner went away.
int Receive(Server *sv, Partner *p) {
  char buffer[QDVP_MSRV_REQUEST_MAX + 1];
  memset(buffer, 0, sizeof(buffer));
  ssize_t n = recv(p->socket, buffer, QDVP_MSRV_REQUEST_MAX, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  if (n <= 0) return -1;
  p->lastActive = Clock::now();
  QDV0_ConvertDataToLocal(buffer, static_cast<size_t>(n));
  const char *why = "";
  MetaRequestKind kind = QDVP_ParseMetaRequest(buffer, static_cast<size_t>(n), &p->name, &why);
  switch (kind) {
    case QDVP_MSRV_REQ_NO_NAME:
      QDVP_TRC(trk, TRK1_ERROR, "*** No metafile name found in GETMETA request. Discarded");
      return 0;
    case QDVP_MSRV_REQ_INVALID:
      for (ssize_t i = 0; i < n; i++) {
        if (buffer[i] == '\0' || buffer[i] == '\n') buffer[i] = ' ';
      }
      QDVP_TRC(trk, TRK1_ERROR, "*** Invalid metafile request received. Discarded. %.64s", buffer);
      return 0;
    default:
      break;
  }
  QDVP_SendDPlogMessage(sv->anchor, 42, p->host.c_str(), p->name.c_str());
  return QDVP_SendMetFileReply(sv, p, kind == QDVP_MSRV_REQ_REFUSED ? why : nullptr) >= 0 ? 0 : -1;
}

// One wait of the loop and what became ready. The wait ends at the nearest reply deadline,
// and at least once a second so that the task sees its termination flag even without the
// wake-up datagram.
void Round(Server *sv) {
  std::vector<struct pollfd> fds;
  fds.push_back({sv->udp, POLLIN, 0});
  fds.push_back({sv->tcp, POLLIN, 0});
  bool reading = sv->pending < QDVP_MSRV_PENDING_BUDGET;
  Clock::time_point now = Clock::now(), wake = now + std::chrono::seconds(1);
  for (Partner *p : sv->partners) {
    short events = p->out.empty() ? (reading ? POLLIN : 0) : POLLOUT;
    if (!p->out.empty() && p->deadline < wake) wake = p->deadline;
    fds.push_back({p->socket, events, 0});
  }
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count();
  int ready = poll(fds.data(), fds.size(), ms < 0 ? 0 : static_cast<int>(ms));
  if (ready < 0) return;
  if (fds[0].revents & POLLIN) {
    char discard[128];
    recv(sv->udp, discard, sizeof(discard), MSG_DONTWAIT);
  }
  // Partners first, by index from the end, so that a dropped one does not shift the others.
  now = Clock::now();
  for (size_t i = sv->partners.size(); i-- > 0;) {
    Partner *p = sv->partners[i];
    short revents = fds[i + 2].revents;
    int rc = 0;
    if (!p->out.empty()) {
      if (revents & (POLLOUT | POLLERR | POLLHUP)) rc = Flush(sv, p);
      if (rc == 0 && !p->out.empty() && now >= p->deadline) {
        QDVP_TRC(trk, TRK1_ERROR,
                 "*** Metafile client %s did not take its reply of %s within %d seconds. "
                 "Dropped",
                 p->host.c_str(), p->name.c_str(), sv->ioWait);
        rc = -1;
      }
    } else if (revents & (POLLIN | POLLERR | POLLHUP)) {
      rc = Receive(sv, p);
    }
    if (rc == 0 && p->out.empty() && now - p->lastActive >= std::chrono::seconds(sv->idleWait)) {
      QDVP_TRC(trk, TRK1_ERROR, "*** Metafile client %s port %d idle for %d seconds. Closed",
               p->host.c_str(), ntohs(p->peer.sin_port), sv->idleWait);
      rc = -1;
    }
    if (rc != 0) Drop(sv, i, true);
  }
  // A burst of connections is taken a few at a time between serving the others.
  if (fds[1].revents & POLLIN) {
    for (int i = 0; i < 16; i++) {
      if (!Accept(sv)) break;
    }
  }
}

}  // namespace

int QDVP_MetaIOWait(void) {
  int wait = atoi(QDV0_GetEnv("QDVP_META_IO_WAIT", "30"));
  return wait > 0 ? wait : QDVP_MSRV_DEFAULT_IO_WAIT;
}

int QDVP_MetaIdleWait(void) {
  int wait = atoi(QDV0_GetEnv("QDVP_META_IDLE_WAIT", "60"));
  return wait > 0 ? wait : QDVP_MSRV_DEFAULT_IDLE_WAIT;
}

void QDVP_SignalMetaServerStartup(ProcessEntry *entry) {
  OSV1_GetLock(&entry->TaskIOmutex);
  OSV1_WakeOne(&entry->TaskIOcond, &entry->TaskIOmutex);
  OSV1_ReleaseLock(&entry->TaskIOmutex);
}

int QDVP_IsMetaServerActive(char transportLetter) {
  if (transportLetter != 'I') return 0;
  uint16_t port = htons(static_cast<uint16_t>(QDVP_ServerPort('M')));
  int s = QDV0_OpenLocalSocket(1, port, nullptr, 0);
  if (s < 0) return 1;
  QDV0_CloseTheSocket(s);
  return 0;
}

int QDVP_MetaServerSockServerRoutine(DPAB *anchor, ProcessEntry *entry) {
  Server sv;
  sv.anchor = anchor;
  sv.pe = entry;
  sv.ioWait = QDVP_MetaIOWait();
  sv.idleWait = QDVP_MetaIdleWait();
  int port = QDVP_ServerPort('M');
  sv.udp = QDV0_OpenLocalSocket(1, htons(static_cast<uint16_t>(port)), nullptr, 0);
  sv.tcp = QDV0_OpenLocalSocket(2, htons(static_cast<uint16_t>(port)), nullptr, 1);
  if (sv.tcp < 0 || sv.udp < 0) {
    QDV0_ReportBindFailure("metafile server", port, errno);
    QDVP_TRC(trk, TRK1_ERROR, "***** Meta Server already running. Exit *****");
    QDVP_SendDPlogMessage(anchor, 38);
    QDV0_CloseTheSocket(sv.udp);
    QDV0_CloseTheSocket(sv.tcp);
    return 0;
  }
  if (listen(sv.tcp, QDVP_MSRV_MAX_PARTNERS) != 0 || fcntl(sv.tcp, F_SETFL, O_NONBLOCK) != 0) {
    QDVP_SendDPlogMessage(anchor, 37, "TCP Socket", std::to_string(errno).c_str());
    QDV0_CloseTheSocket(sv.udp);
    QDV0_CloseTheSocket(sv.tcp);
    return 0;
  }
  QDVP_SignalMetaServerStartup(entry);
  QDVP_SendDPlogMessage(anchor, 39);
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Meta Server listening on port %d", port);
  anchor->MetaServerMark.store(1);
  while (!QDVP_TaskShouldEnd(entry)) Round(&sv);
  while (!sv.partners.empty()) Drop(&sv, sv.partners.size() - 1, false);
  anchor->MetaServerMark.store(0);
  QDV0_CloseTheSocket(sv.udp);
  QDV0_CloseTheSocket(sv.tcp);
  QDVP_SendDPlogMessage(anchor, 43);
  return 1;
}

// The task body; its parameter is the QDVP_META_SERVER host. A failed start (an unsupported
// transport, no host, a server port that cannot be bound, a host that does not resolve) sets
// Terminate and signals the creator as the task's last act: the creator then releases the
// entry, and the thread only ends.
void QDVP_MetaServerTask(ProcessEntry *entry) {
  entry->ThreadID = OSV1_ThreadID();
  DPAB *anchor = entry->pDPAB;
  const char *host = static_cast<const char *>(entry->pParm);
  char transport = QDVP_ValidateTransportType(QDV0_GetEnv("QDVP_META_TRANSPORT", nullptr));
  int started = 0;
  if (transport == 'R') {
    QDVP_TRC(trk, TRK1_ERROR, "*** RPC Transport unsupport");
  } else if (host == nullptr || host[0] == '\0') {
    QDVP_TRC(trk, TRK1_ERROR, "*** No metafile server host named");
  } else if (QDV0_IsOwnHostName(host) && !QDVP_IsMetaServerActive(transport)) {
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Meta Server task started as server. Thread ID: %X",
             entry->ThreadID.load());
    started = QDVP_MetaServerSockServerRoutine(anchor, entry);
  } else {
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Meta Server task started as client of %s. Thread ID: %X",
             host, entry->ThreadID.load());
    started = QDVP_MetaServerSockClientRoutine(anchor, entry);
  }
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Meta Server task ended. Thread ID: %X", entry->ThreadID.load());
  if (started) QDVP_EndTask(anchor, entry);
  entry->Terminate = 1;
  QDVP_SignalMetaServerStartup(entry);
  pthread_exit(&QDVP_ThreadRC);
}
