// SNMP requests and their answers: the request message, the send and the wait for the answer
// from the polled agent, and the checks an answer must pass before its values are read.
//
// The wait for an answer is QDVP_SNMP_RESPONSE_WAIT, 5 seconds (10 in receive-only mode, after
// a stale answer). The process-wide counters report the network: when at least half the
// requests of the last 50 went unanswered, SendPDUwait is raised by one, up to 25. A poll also
// keeps the same counters for each agent, and there the raised wait governs: an agent that
// loses half its answers, but not all, gets one second more for each 50 requests that show it,
// up to 25 seconds. An agent that never answers never has its wait raised (there is no quotient
// without an answer), so a dead agent costs the same every cycle.
#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <atomic>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_snmp.h"
#include "qdvpsnmp.h"

static TRK1_BLOCK trk = {"qdvpssrp"};

const char *const SNMPerrorStatusText[6] = {"NoError",  "TooBig",    "NoSuchName",
                                            "BadValue", "ReadOnly ", "GenError"};

namespace {

OSV1_LOCK sCounterLock QDVP_ACQUIRED_AFTER(DPAB::StateMutex) = OSV1_LOCK_INITIALIZER;  // a leaf
int SendPDUwait = 5;
const int MaxPDUwait = 25;
int PDUsendCount = 0;
int PDUreceiveCount = 0;
const int PDUcheckCount = 50;
// The wait of one answer: QDVP_SNMP_RESPONSE_WAIT seconds (5 by default), twice that when only
// waiting again for the answer; a test may set both in milliseconds (-1: the setting).
std::atomic<int> sWaitMs{-1}, sReceiveOnlyWaitMs{-1};

int WaitMs(int receiveOnly) {
  static const int configured = [] {
    int seconds = atoi(QDV0_GetEnv("QDVP_SNMP_RESPONSE_WAIT", "5"));
    return (seconds > 0 ? seconds : 5) * 1000;
  }();
  int set = receiveOnly ? sReceiveOnlyWaitMs.load() : sWaitMs.load();
  return set >= 0 ? set : (receiveOnly ? 2 * configured : configured);
}

long NowMs() { return static_cast<long>(QDV0_MonotonicMs()); }

// Writes the header of contents of n bytes that begin at start just before them; returns the
// header's first byte, or null when it does not fit above floor.
unsigned char *PrependHeader(int tag, size_t n, unsigned char *start, unsigned char *floor) {
  unsigned char header[8];
  size_t h = QDV0_FormatBERheader(tag, n, header, sizeof(header));
  if (h == 0 || static_cast<size_t>(start - floor) < h) return nullptr;
  memcpy(start - h, header, h);
  return start - h;
}

void CountTimeOut() {
  OSV1_Guard counters(&sCounterLock);
  if (PDUsendCount >= PDUcheckCount && PDUreceiveCount > 0) {
    if (PDUsendCount / PDUreceiveCount >= 2 && SendPDUwait < MaxPDUwait) {
      SendPDUwait++;
      QDVP_TRC(trk, TRK1_ERROR, "SNMP send PDU request wait increased to %d", SendPDUwait);
    }
    PDUsendCount = PDUreceiveCount = 0;
  }
}

}  // namespace

size_t QDVP_SNMPconstructPDUbuffer(unsigned char *buffer, size_t bufferSize, int pduType,
                                   const unsigned char *oid, size_t oidLength,
                                   const unsigned char *value, size_t valueLength,
                                   int32_t requestId, const char *community) {
  if (buffer == nullptr || oid == nullptr || community == nullptr) return 0;
  memset(buffer, 0, bufferSize);
  // The message is assembled from its innermost part outwards, at the end of the buffer, and
  // moved to its start at the end.
  unsigned char *end = buffer + bufferSize, *p = end;
  unsigned char null[2] = {QDV0_BER_NULL, 0};
  if (value == nullptr) value = null, valueLength = 2;
  if (static_cast<size_t>(p - buffer) < valueLength + oidLength) return 0;
  p -= valueLength;
  memcpy(p, value, valueLength);
  p -= oidLength;
  memcpy(p, oid, oidLength);
  if ((p = PrependHeader(QDV0_BER_SEQUENCE, static_cast<size_t>(end - p), p, buffer)) == nullptr ||
      (p = PrependHeader(QDV0_BER_SEQUENCE, static_cast<size_t>(end - p), p, buffer)) == nullptr) {
    return 0;
  }
  unsigned char fields[40];
  size_t n = QDV0_FormatBERintegerType(QDV0_BER_INTEGER, requestId, fields, sizeof(fields));
  n += QDV0_FormatBERintegerType(QDV0_BER_INTEGER, 0, fields + n, sizeof(fields) - n);
  n += QDV0_FormatBERintegerType(QDV0_BER_INTEGER, 0, fields + n, sizeof(fields) - n);
  if (static_cast<size_t>(p - buffer) < n) return 0;
  p -= n;
  memcpy(p, fields, n);
  if ((p = PrependHeader(pduType, static_cast<size_t>(end - p), p, buffer)) == nullptr) return 0;
  size_t communityLength = strlen(community);
  unsigned char head[16];
  size_t v = QDV0_FormatBERintegerType(QDV0_BER_INTEGER, 0, head, sizeof(head));
  size_t c =
      QDV0_FormatBERheader(QDV0_BER_OCTETSTRING, communityLength, head + v, sizeof(head) - v);
  if (c == 0 || static_cast<size_t>(p - buffer) < v + c + communityLength) return 0;
  p -= communityLength;
  memcpy(p, community, communityLength);
  p -= v + c;
  memcpy(p, head, v + c);
  if ((p = PrependHeader(QDV0_BER_SEQUENCE, static_cast<size_t>(end - p), p, buffer)) == nullptr) {
    return 0;
  }
  size_t total = static_cast<size_t>(end - p);
  memmove(buffer, p, total);
  memset(buffer + total, 0, bufferSize - total);
  return total;
}

int QDVP_SNMPagentWaitMs(const SNMPagentWait &wait, bool receiveOnly) {
  int ms = WaitMs(receiveOnly ? 1 : 0) + wait.RaisedSeconds * 1000;
  return ms < MaxPDUwait * 1000 || wait.RaisedSeconds == 0 ? ms : MaxPDUwait * 1000;
}

void QDVP_SNMPcountSent(SNMPagentWait *wait) {
  wait->Sent++;
  OSV1_Guard counters(&sCounterLock);
  PDUsendCount++;
}

void QDVP_SNMPcountAnswer(SNMPagentWait *wait) {
  wait->Received++;
  OSV1_Guard counters(&sCounterLock);
  PDUreceiveCount++;
}

void QDVP_SNMPcountTimeOut(SNMPagentWait *wait, const char *agent) {
  CountTimeOut();
  if (wait->Sent < PDUcheckCount) return;
  if (wait->Received > 0 && wait->Sent / wait->Received >= 2 &&
      WaitMs(0) + wait->RaisedSeconds * 1000 < MaxPDUwait * 1000) {
    wait->RaisedSeconds++;
    QDVP_TRC(trk, TRK1_ERROR, "SNMP send PDU request wait increased to %d for agent %s",
             WaitMs(0) / 1000 + wait->RaisedSeconds, agent);
  }
  wait->Sent = wait->Received = 0;
}

void TEST_QDVP_SetSNMPwaitMs(int normalMs, int receiveOnlyMs) {
  sWaitMs = normalMs;
  sReceiveOnlyWaitMs = receiveOnlyMs;
}

void QDVP_SNMPwaitCounters(int *sendPDUwait, int *sendCount, int *receiveCount) {
  OSV1_Guard counters(&sCounterLock);
  if (sendPDUwait) *sendPDUwait = SendPDUwait;
  if (sendCount) *sendCount = PDUsendCount;
  if (receiveCount) *receiveCount = PDUreceiveCount;
}

int QDVP_SNMPsendAndReceivePDU(int socket, unsigned char *buffer, size_t length, size_t bufferSize,
                               const struct sockaddr_in *agent, int receiveOnly) {
  char dotted[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &agent->sin_addr, dotted, sizeof(dotted));
  int port = ntohs(agent->sin_port);
  if (!receiveOnly) {
    ssize_t sent = sendto(socket, buffer, length, 0, reinterpret_cast<const sockaddr *>(agent),
                          sizeof(*agent));
    // A connected socket reports here a refusal left from its previous peer: sent again.
    if (sent < 0 && errno == ECONNREFUSED) {
      sent = sendto(socket, buffer, length, 0, reinterpret_cast<const sockaddr *>(agent),
                    sizeof(*agent));
    }
    {
      OSV1_Guard counters(&sCounterLock);
      PDUsendCount++;
    }
    if (sent < static_cast<ssize_t>(length)) {
      QDVP_TRC(trk, TRK1_ERROR, "*****sendto %s(%d) failed. rc %d errno %d", dotted, port,
               static_cast<int>(sent), errno);
      return -1;
    }
  }
  long deadline = NowMs() + WaitMs(receiveOnly);
  for (;;) {
    long left = deadline - NowMs();
    pollfd fd = {socket, POLLIN, 0};
    int ready = left > 0 ? poll(&fd, 1, static_cast<int>(left)) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      QDVP_TRC(trk, TRK1_DETAIL, "Agent response wait select timed out");
      CountTimeOut();
      return 0;
    }
    memset(buffer, 0, bufferSize);
    sockaddr_in from{};
    socklen_t fromLength = sizeof(from);
    // MSG_TRUNC: the datagram's whole length, so that one longer than the buffer is refused
    // whole rather than read in part.
    ssize_t n = recvfrom(socket, buffer, bufferSize, MSG_TRUNC, reinterpret_cast<sockaddr *>(&from),
                         &fromLength);
    if (n > static_cast<ssize_t>(bufferSize)) {
      QDVP_TRC(trk, TRK1_ERROR, "*****SNMP answer of %d bytes from %s(%d) longer than %d, refused",
               static_cast<int>(n), dotted, port, static_cast<int>(bufferSize));
      continue;
    }
    if (n < 0) {
      QDVP_TRC(trk, TRK1_ERROR, "*****recvfrom from %s(%d) failed. rc %d errno %d %s", dotted, port,
               static_cast<int>(n), errno, strerror(errno));
      continue;
    }
    if (from.sin_addr.s_addr != agent->sin_addr.s_addr || from.sin_port != agent->sin_port) {
      QDVP_TRC(trk, TRK1_DETAIL, "Unexpected agent response ignored");
      continue;
    }
    OSV1_Guard counters(&sCounterLock);
    PDUreceiveCount++;
    return static_cast<int>(n);
  }
}

size_t QDVP_SNMPverifyResponsePDU(const unsigned char *buffer, size_t length, int32_t requestId,
                                  int *errorStatus, int *errorIndex, int version) {
  int tag = 0;
  const unsigned char *contents = nullptr;
  size_t n = 0;
  if (errorStatus) *errorStatus = 0;
  if (errorIndex) *errorIndex = 0;
  if (QDV0_ExtractBERfield(buffer, length, 0, &tag, &contents, &n) == 0 ||
      tag != QDV0_BER_SEQUENCE) {
    QDVP_TRC(trk, TRK1_ERROR, "*****unexpected PDU response format - begin sequence");
    return 0;
  }
  size_t at = static_cast<size_t>(contents - buffer), limit = at + n;
  long value = 0;
  size_t after = QDV0_ExtractBERfield(buffer, limit, at, &tag, &contents, &n);
  if (after == 0 || tag != QDV0_BER_INTEGER || QDV0_ExtractBERinteger(contents, n, &value) != 0) {
    QDVP_TRC(trk, TRK1_ERROR, "*****unexpected PDU response format - version number");
    return 0;
  }
  if (value != version) {
    QDVP_TRC(trk, TRK1_ERROR, "*****unsupported SNMP response protocol version %d",
             static_cast<int>(value));
    return 0;
  }
  at = QDV0_ExtractBERfield(buffer, limit, after, &tag, nullptr, nullptr);  // the community
  if (at == 0 || QDV0_ExtractBERfield(buffer, limit, at, &tag, &contents, &n) == 0 ||
      tag != QDVP_SNMP_RESPONSE) {
    QDVP_TRC(trk, TRK1_ERROR, "*****Message received is not SNMP Get response");
    return 0;
  }
  at = static_cast<size_t>(contents - buffer);
  limit = at + n;
  after = QDV0_ExtractBERfield(buffer, limit, at, &tag, &contents, &n);
  if (after == 0 || tag != QDV0_BER_INTEGER || QDV0_ExtractBERinteger(contents, n, &value) != 0 ||
      value != requestId) {
    QDVP_TRC(trk, TRK1_ERROR, "*****SNMP response request ID %d not equal request ID %d",
             static_cast<int>(value), requestId);
    return 0;
  }
  long status = 0, index = 0;
  at = QDV0_ExtractBERfield(buffer, limit, after, &tag, &contents, &n);
  if (at == 0 || tag != QDV0_BER_INTEGER || QDV0_ExtractBERinteger(contents, n, &status) != 0) {
    QDVP_TRC(trk, TRK1_ERROR, "*****unexpected PDU response format - error status");
    return 0;
  }
  after = QDV0_ExtractBERfield(buffer, limit, at, &tag, &contents, &n);
  if (after == 0 || tag != QDV0_BER_INTEGER || QDV0_ExtractBERinteger(contents, n, &index) != 0) {
    QDVP_TRC(trk, TRK1_ERROR, "*****unexpected PDU response format - error index");
    return 0;
  }
  if (errorStatus) *errorStatus = static_cast<int>(status);
  if (errorIndex) *errorIndex = static_cast<int>(index);
  if (status != 0) return 0;
  if (QDV0_ExtractBERfield(buffer, limit, after, &tag, nullptr, nullptr) == 0 ||
      tag != QDV0_BER_SEQUENCE) {
    QDVP_TRC(trk, TRK1_ERROR, "*****unexpected PDU response format - begin VarBind sequence");
    return 0;
  }
  return after;
}
