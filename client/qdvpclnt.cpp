// The client library's one file: a session's socket, the request it builds ("QDVPAPI300",
// the six-character name, the data), the wait for the reply and the reply's reading.
//
// The library is a program of its own beside the data provider: it links nothing of libqdvp and
// uses the C library's storage and sockets only. A request and its reply are each one send:
// the data provider takes one receive as one request, so the library never has two requests
// outstanding on a session.
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "include/qdvp_client.h"

namespace {

constexpr const char kVersion[] = "QDVPAPI300";
constexpr size_t kHeader = 16;       // version and request name
constexpr size_t kReplyMax = 65536;  // a longer reply is cut here
constexpr int kDefaultTimeoutMs = 10000;

}  // namespace

struct qdvpc_session {
  int fd;
  int udp;
  int timeoutMs;
  int lastCode;
  long startTime;
  char *data;  // the last reply's data, NUL-terminated
  char reply[kReplyMax + 1];
  char request[QDVPC_MAX_REQUEST + 1];
};

namespace {

// A reply "rc time" or "rc time#data" of length bytes into the session.
int ReadReply(qdvpc_session *s, size_t length) {
  s->reply[length] = '\0';
  char *end = nullptr;
  long rc = strtol(s->reply, &end, 10);
  if (end == s->reply || *end != ' ') return QDVPC_E_REPLY;
  char *timeText = end + 1;
  long start = strtol(timeText, &end, 10);
  if (end == timeText || (*end != '\0' && *end != '#')) return QDVPC_E_REPLY;
  s->lastCode = static_cast<int>(rc);
  s->startTime = start;
  s->data = *end == '#' ? end + 1 : end;
  return s->lastCode;
}

// Sends the request name with data (may be null) and waits for its reply.
int Call(qdvpc_session *s, const char *name, const char *data) {
  if (s == nullptr) return QDVPC_E_ARGUMENT;
  size_t dataLength = data != nullptr ? strlen(data) : 0;
  if (kHeader + dataLength > QDVPC_MAX_REQUEST) return QDVPC_E_TOO_LONG;
  memcpy(s->request, kVersion, 10);
  memcpy(s->request + 10, name, 6);
  if (dataLength > 0) memcpy(s->request + kHeader, data, dataLength);
  size_t total = kHeader + dataLength;
  s->reply[0] = '\0';
  s->data = s->reply;
  ssize_t sent = send(s->fd, s->request, total, MSG_NOSIGNAL);
  if (sent != static_cast<ssize_t>(total)) return QDVPC_E_SEND;
  struct pollfd p = {s->fd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&p, 1, s->timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) return QDVPC_E_TIMEOUT;
  if (ready < 0) return QDVPC_E_CLOSED;
  ssize_t got = recv(s->fd, s->reply, kReplyMax, 0);
  if (got == 0) return QDVPC_E_CLOSED;
  if (got < 0) return s->udp && errno == ECONNREFUSED ? QDVPC_E_CONNECT : QDVPC_E_CLOSED;
  return ReadReply(s, static_cast<size_t>(got));
}

bool Empty(const char *text) { return text == nullptr || text[0] == '\0'; }

}  // namespace

extern "C" {

int qdvpc_open(const char *host, int port, int use_udp, qdvpc_session **session) {
  if (session == nullptr) return QDVPC_E_ARGUMENT;
  *session = nullptr;
  if (Empty(host) || port <= 0 || port > 65535) return QDVPC_E_ARGUMENT;
  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET;
  hints.ai_socktype = use_udp ? SOCK_DGRAM : SOCK_STREAM;
  char service[16];
  snprintf(service, sizeof(service), "%d", port);
  struct addrinfo *found = nullptr;
  if (getaddrinfo(host, service, &hints, &found) != 0 || found == nullptr) return QDVPC_E_CONNECT;
  int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, 0);
  // A UDP socket is connected too, so that only the data provider's datagrams arrive.
  if (fd < 0 || connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
    if (fd >= 0) close(fd);
    freeaddrinfo(found);
    return QDVPC_E_CONNECT;
  }
  freeaddrinfo(found);
  auto *s = static_cast<qdvpc_session *>(calloc(1, sizeof(qdvpc_session)));
  if (s == nullptr) {
    close(fd);
    return QDVPC_E_NO_MEMORY;
  }
  s->fd = fd;
  s->udp = use_udp ? 1 : 0;
  s->timeoutMs = kDefaultTimeoutMs;
  s->lastCode = -1;
  s->data = s->reply;
  *session = s;
  return QDVPC_OK;
}

int qdvpc_set_timeout(qdvpc_session *session, int milliseconds) {
  if (session == nullptr || milliseconds < 1) return QDVPC_E_ARGUMENT;
  session->timeoutMs = milliseconds;
  return QDVPC_OK;
}

int qdvpc_begin_input(qdvpc_session *session, const char *appl, const char *table) {
  if (Empty(appl) || Empty(table) || strchr(appl, ' ') || strchr(table, ' ')) {
    return QDVPC_E_ARGUMENT;
  }
  char data[QDVPC_MAX_REQUEST];
  size_t a = strlen(appl), t = strlen(table);
  if (a + t + 2 > sizeof(data)) return QDVPC_E_TOO_LONG;
  memcpy(data, appl, a);
  data[a] = ' ';
  memcpy(data + a + 1, table, t + 1);
  return Call(session, "BGNINP", data);
}

int qdvpc_send(qdvpc_session *session, const char *records) {
  if (Empty(records)) return QDVPC_E_ARGUMENT;
  return Call(session, "SNDDTA", records);
}

int qdvpc_begin_row(qdvpc_session *session) { return Call(session, "BGNROW", nullptr); }
int qdvpc_end_row(qdvpc_session *session) { return Call(session, "ENDROW", nullptr); }
int qdvpc_end_input(qdvpc_session *session) { return Call(session, "ENDINP", nullptr); }

int qdvpc_set_source(qdvpc_session *session, const char *name) {
  if (Empty(name)) return QDVPC_E_ARGUMENT;
  return Call(session, "SETSRC", name);
}

int qdvpc_accept_requests(qdvpc_session *session, int flag, int wait_seconds) {
  char data[32];
  snprintf(data, sizeof(data), "%d;%d", flag ? 1 : 0, wait_seconds);
  return Call(session, "ACCREQ", data);
}

int qdvpc_receive_request(qdvpc_session *session, char *buf, size_t size) {
  if (buf == nullptr || size == 0) return QDVPC_E_ARGUMENT;
  buf[0] = '\0';
  int rc = Call(session, "RCVREQ", nullptr);
  if (rc != QDVPC_OK) return rc;
  size_t n = strlen(session->data);
  if (n >= size) return QDVPC_E_SMALL;
  memcpy(buf, session->data, n + 1);
  return QDVPC_OK;
}

// The data provider drops the text's last character, its terminator: a line feed here.
int qdvpc_result(qdvpc_session *session, unsigned int id, const char *text) {
  if (text == nullptr || strchr(text, '\n') != nullptr) return QDVPC_E_ARGUMENT;
  char data[QDVPC_MAX_REQUEST];
  int n = snprintf(data, sizeof(data), "%u;%s\n", id, text);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(data)) return QDVPC_E_TOO_LONG;
  return Call(session, "RESULT", data);
}

int qdvpc_close(qdvpc_session *session) {
  if (session == nullptr) return QDVPC_OK;
  close(session->fd);
  free(session);
  return QDVPC_OK;
}

int qdvpc_last_code(const qdvpc_session *session) {
  return session != nullptr ? session->lastCode : -1;
}

const char *qdvpc_last_data(const qdvpc_session *session) {
  return session != nullptr ? session->data : "";
}

long qdvpc_start_time(const qdvpc_session *session) {
  return session != nullptr ? session->startTime : 0;
}

const char *qdvpc_strerror(int status) {
  switch (status) {
    case QDVPC_OK:
      return "done";
    case QDVPC_E_ARGUMENT:
      return "invalid argument";
    case QDVPC_E_CONNECT:
      return "cannot reach the data provider";
    case QDVPC_E_SEND:
      return "request not sent";
    case QDVPC_E_TIMEOUT:
      return "no reply within the timeout";
    case QDVPC_E_CLOSED:
      return "connection closed by the data provider";
    case QDVPC_E_REPLY:
      return "malformed reply";
    case QDVPC_E_TOO_LONG:
      return "request longer than 4096 bytes";
    case QDVPC_E_NO_MEMORY:
      return "out of memory";
    case QDVPC_E_SMALL:
      return "buffer too small for the request";
    case 13:
      return "request not allowed in this state";
    case 39:
      return "source name missing";
    case 51:
      return "application not found";
    case 52:
      return "table not found";
    case 53:
      return "no source entry for the table";
    case 54:
      return "going online failed";
    case 58:
      return "going offline failed";
    case 85:
      return "no take action waits for this result";
    case 90:
      return "wrong version";
    case 92:
      return "row not taken by the agent";
    case 93:
      return "malformed RESULT request";
    case 94:
      return "source in a wrong state";
    default:
      return "unknown status";
  }
}

}  // extern "C"
