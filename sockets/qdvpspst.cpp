// The POST server: programs and scripts post short messages (a text and a category) over TCP
// or UDP; each becomes one row of the posting table, stamped with its time, its origin and an
// acknowledgement stamp that TCP senders get back. The posting application comes from a
// QDVPOST metafile, or is built in. When the server ends, the data provider ends with it.
#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_dplog.h"
#include "../include/qdvp_records.h"
#include "../include/qdvp_request.h"
#include "../include/qdvp_services.h"
#include "../include/qdvp_sockets.h"
#include "../include/qdvp_stats.h"
#include "qdvpsock.h"

static TRK1_BLOCK trk = {"qdvpspst"};

enum { PostMaxCategory = 16 };
char PostCatKey[PostMaxCategory] = {'I', 'O', 'P', 'S', 'N', 'A', 'C', 'W',
                                    'R', 'D', ' ', ' ', ' ', ' ', ' ', ' '};
std::string PostCatText[PostMaxCategory] = {
    "Information", "Operation", "Application", "System", "Network", "Alert", "Critical", "Warning",
    "Reset",       "Detail",    "   ",         "   ",    "   ",     "   ",   "   ",      "   "};

namespace {

const BuiltInAttribute kPostAttrs[] = {
    {"Post_Time", "T", "16", "Time the message was posted"},
    {"Post_Origin", "D", "32", "Host that posted the message"},
    {"Post_Ack_Stamp", "D", "26", "Acknowledgement stamp returned to the sender"},
    {"Post_Text", "D", "512", "Text of the message"},
    {"Post_Category", "D", "16", "Category of the message"},
};

SourceEntry *FirstSource(ApplEntry *appl) { return QDVP_FirstSourceOfApplication(appl); }

// The built-in posting application: one table of a BASE source with ';' between fields.
ApplEntry *BuiltInApplication(DPAB *anchor) {
  const char *name = QDV0_GetEnv("QDVP_POST_APPL_NAME", "MAS");
  ApplEntry *appl = QDVP_InitializeApplicationEntry(anchor, name, 0, "Posted messages");
  if (appl == nullptr) return nullptr;
  QDV0_Free(appl->pMetafileName);
  appl->pMetafileName = QDV0_StrDup("QDVPOST");
  SourceEntry *source = QDVP_DefineBuiltInTable(
      anchor, appl, QDV0_GetEnv("QDVP_POST_GROUP_NAME", "dpPost"), "S",
      QDV0_GetEnv("QDVP_POST_APPL_TTL", "3600"), "One row per posted message", kPostAttrs,
      static_cast<int>(sizeof(kPostAttrs) / sizeof(kPostAttrs[0])), nullptr);
  if (source == nullptr) {
    QDVP_ReleaseApplResources(anchor, appl, 1);
    return nullptr;
  }
  {
    OSV1_Guard counts(&source->pTable->TableLock);
    source->pTable->SourceCount++;
  }
  appl->TableCount = 1;
  {
    OSV1_Guard attrs(&source->AttrLock);
    source->pDelimiter = QDV0_StrDup(";");
  }
  QDVP_ConstructAttributeOrderLinkList(appl, nullptr);
  return appl;
}

// QDVP_POST_CATEGORY: K=text items, separated by ','; an empty text removes key K.
void ReadCategories() {
  std::string value = QDV0_GetEnv("QDVP_POST_CATEGORY", "");
  while (!value.empty() && !isalnum(static_cast<unsigned char>(value.front()))) value.erase(0, 1);
  while (!value.empty() && !isalnum(static_cast<unsigned char>(value.back()))) value.pop_back();
  size_t at = 0;
  while (at < value.size()) {
    size_t comma = value.find(',', at);
    std::string item =
        value.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    at = comma == std::string::npos ? value.size() : comma + 1;
    size_t eq = item.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    char key = static_cast<char>(toupper(static_cast<unsigned char>(item[0])));
    std::string text = item.substr(eq + 1);
    int slot = -1, free = -1;
    for (int i = 0; i < PostMaxCategory; i++) {
      if (PostCatKey[i] == key && key != ' ') slot = i;
      if (free < 0 && PostCatKey[i] == ' ') free = i;
    }
    if (slot >= 0 && !text.empty()) {
      QDVP_TRC(trk, TRK1_DETAIL, "Post Category %c %s replaced by %s", key,
               PostCatText[slot].c_str(), text.c_str());
      PostCatText[slot] = text.substr(0, 16);
    } else if (slot >= 0) {
      QDVP_TRC(trk, TRK1_DETAIL, "Post Category %c removed", key);
      PostCatKey[slot] = ' ';
    } else if (!text.empty() && free >= 0) {
      QDVP_TRC(trk, TRK1_DETAIL, "Post Category %c %s added", key, text.c_str());
      PostCatKey[free] = key;
      PostCatText[free] = text.substr(0, 16);
    } else if (!text.empty()) {
      QDVP_TRC(trk, TRK1_ERROR, "***** Post category not added. Max category exceeded");
    }
  }
}

void SetAttribute(SourceEntry *source, const char *name, const std::string &value)
    QDVP_REQUIRES(source->AttrLock) {
  for (AttrEntry *a = source->pAttrList; a != nullptr; a = a->pNext) {
    if (strcmp(a->Name, name) != 0) continue;
    std::string field = value;
    LoadAttrBucket(a, &field[0], static_cast<int>(field.size()));
  }
}

}  // namespace

void QDVP_ResetPostCategories() {
  const char keys[] = "IOPSNACWRD";
  const char *texts[] = {"Information", "Operation", "Application", "System", "Network",
                         "Alert",       "Critical",  "Warning",     "Reset",  "Detail"};
  for (int i = 0; i < PostMaxCategory; i++) {
    PostCatKey[i] = i < 10 ? keys[i] : ' ';
    PostCatText[i] = i < 10 ? texts[i] : "   ";
  }
}

std::string QDVP_PostAckStamp(const struct sockaddr_in *sender, const char *corvidTime, char key,
                              const std::string &text) {
  char stamp[32];
  uint16_t sum = static_cast<uint16_t>(QDV0_ComputeCheckSum(text.data(), text.size()) & 0xFFFF);
  snprintf(stamp, sizeof(stamp), "%.8X%.12s%c%.5d",
           static_cast<unsigned>(ntohl(sender->sin_addr.s_addr)), corvidTime + 1, key, sum);
  return stamp;
}

ApplEntry *QDVP_DefineDPpostApplication(DPAB *anchor) {
  int opened = 0, already = 0;
  ApplEntry *appl = QDVP_ConstructApplDataModel(anchor, "QDVPOST", 0, &opened, &already, 1, 1);
  if (appl == nullptr) appl = BuiltInApplication(anchor);
  SourceEntry *source = FirstSource(appl);
  if (source == nullptr) return nullptr;
  // The node name (the host's, or the one the metafile gave) gets the type and "dp", as the
  // DP log's source does: "myhostPOSTdp".
  char node[160];
  {
    OSV1_Guard attrs(&source->AttrLock);
    snprintf(
        node, sizeof(node), "%s%sdp",
        source->pSourceNodeName != nullptr ? source->pSourceNodeName : QDV0_LocalHostNameString(),
        DPtypeString[QDVP_TYPE_POST]);
    QDV0_Free(source->pSourceNodeName);
    source->pSourceNodeName = QDV0_StrDup(node);
  }
  return appl;
}

std::string QDVP_FillPostRow(SourceEntry *source, const struct sockaddr_in *sender,
                             const char *buffer, int length) {
  std::string message(buffer, static_cast<size_t>(length));
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  // The origin's name from the resolver's cache, before the row's lock: a new sender may wait
  // briefly for an idle resolver, never for a slow lookup (core/support/qdv0rslv.cpp).
  char host[256] = "";
  std::string origin;
  if (QDV0_CachedAddressName(sender, host, sizeof(host), QDV0_NAME_WAIT_MS) == 1) {
    origin = host;
    origin = origin.substr(0, origin.find('.'));
  } else {
    origin = host;
  }
  std::string stamp;
  {
    OSV1_Guard attrs(&source->AttrLock);
    char delimiter =
        source->pDelimiter != nullptr && source->pDelimiter[0] ? source->pDelimiter[0] : ';';
    AttrEntry *a = source->pAttrList;
    for (int i = 0; i < 3 && a != nullptr; i++) a = a->pNext;
    size_t at = 0;
    std::string text, category;
    for (int field = 0; a != nullptr; a = a->pNext, field++) {
      std::string value;
      if (at <= message.size()) {
        size_t stop = message.find(delimiter, at);
        value = message.substr(at, stop == std::string::npos ? std::string::npos : stop - at);
        at = stop == std::string::npos ? message.size() + 1 : stop + 1;
      }
      if (field == 0) text = value;
      if (field == 1) category = value;
      LoadAttrBucket(a, &value[0], static_cast<int>(value.size()));
    }
    int index = 0;
    char want = category.empty()
                    ? '\0'
                    : static_cast<char>(toupper(static_cast<unsigned char>(category[0])));
    for (int i = 0; i < PostMaxCategory && want != '\0'; i++) {
      if (PostCatKey[i] == want) {
        index = i;
        break;
      }
    }
    SetAttribute(source, "Post_Category", PostCatText[index]);
    char now[QDV0_CORVID_TIME_LEN + 1];
    QDV0_GetCorvidTime(now);
    SetAttribute(source, "Post_Time", now);
    SetAttribute(source, "Post_Origin", origin);
    stamp = QDVP_PostAckStamp(sender, now, PostCatKey[index], text);
    SetAttribute(source, "Post_Ack_Stamp", stamp);
  }
  return stamp;
}

// Fills one row from the message, sends it (waiting while the agent is away) and returns the
// acknowledgement stamp.
std::string QDVP_LoadPostAttributeData(DPAB *anchor, ProcessEntry *pe, SourceEntry *source,
                                       const struct sockaddr_in *sender, char *buffer, int length) {
  std::string stamp = QDVP_FillPostRow(source, sender, buffer, length);
  QDVP_UpdateStatLogPost(1);
  DCHresult sent = QDVP_Request(anchor, source, QDVP_VERB_DATA, pe);
  if (sent.Delivered() || sent.outcome == DCHoutcome::Ending) return stamp;
  // The row is lost (the agent link told the operator); the source comes online again, a
  // second apart while the agent is away, for the next message.
  QDVP_TRC(trk, TRK1_ERROR, "*** dp_data failed for the posted message [%s %d]; online again",
           QDVP_OutcomeName(sent.outcome), sent.status);
  QDVP_Request(anchor, source, QDVP_VERB_ONLINE, pe, QDVP_RETRY_UNTIL_ACTIVE);
  return stamp;
}

namespace {

enum {
  // Bytes of acknowledgement stamps a TCP sender has not read that may wait in the data
  // provider (QDVP_POST_ACK_LIMIT, within these bounds); beyond them the sender is dropped (DP
  // log 94). The socket's own buffer is held small too, so the whole is bounded: a sender that
  // never reads cannot hold the server.
  kPostAckLimitDefault = 65536,
  kPostAckLimitLeast = 1024,
  kPostAckLimitMost = 16777216,
  kPostSendBuffer = 16384,
  // Datagrams read in one round of the server's wait before it looks at its other sockets.
  kPostDatagramsPerRound = 64,
};

size_t PostAckLimit() {
  long limit = strtol(QDV0_GetEnv("QDVP_POST_ACK_LIMIT", "65536"), nullptr, 10);
  if (limit < 1) limit = kPostAckLimitDefault;
  if (limit < kPostAckLimitLeast) limit = kPostAckLimitLeast;
  if (limit > kPostAckLimitMost) limit = kPostAckLimitMost;
  return static_cast<size_t>(limit);
}

// The one TCP sender (a new connection replaces it): its connection, address and the stamps
// the system has not taken yet.
struct PostPartner {
  int socket = -1;
  struct sockaddr_in address {};
  std::string out;
  size_t limit = kPostAckLimitDefault;  // of out
};

bool IsShutdownText(const char *data, size_t n) {
  return n > 0 && n <= strlen(SelectShutDownMsg) && memcmp(data, SelectShutDownMsg, n) == 0;
}

void ClosePartner(PostPartner *p) {
  QDV0_CloseTheSocket(p->socket);
  p->socket = -1;
  p->out.clear();
}

// Hands what the partner has yet to read to the system without waiting; false when the
// connection failed (the peer is gone).
bool FlushPartner(PostPartner *p) {
  while (!p->out.empty()) {
    ssize_t n = send(p->socket, p->out.data(), p->out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      p->out.erase(0, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return true;
    } else {
      return false;
    }
  }
  return true;
}

// A stamp for the partner: sent when the system takes it, kept while it does not, and the
// partner dropped (DP log 94) once more than the bound waits.
void QueueStamp(DPAB *anchor, PostPartner *p, const std::string &stamp) {
  p->out += stamp;
  if (!FlushPartner(p)) {
    QDVP_TRC(trk, TRK1_DETAIL, "TCP connection terminated for sock %d", p->socket);
    ClosePartner(p);
    return;
  }
  if (p->out.size() <= p->limit) return;
  char dotted[INET_ADDRSTRLEN] = "?", port[16], waiting[24];
  inet_ntop(AF_INET, &p->address.sin_addr, dotted, sizeof(dotted));
  snprintf(port, sizeof(port), "%d", ntohs(p->address.sin_port));
  snprintf(waiting, sizeof(waiting), "%zu", p->out.size());
  QDVP_TRC(trk, TRK1_ERROR, "***** POST sender %s port %s does not read; %s bytes waiting, dropped",
           dotted, port, waiting);
  QDVP_SendDPlogMessage(anchor, 94, dotted, port, waiting);
  ClosePartner(p);
}

// At the open-file limit the waiting connections are closed unserved and the listening socket
// rests (QDVP_AcceptFailed): the server does not spin on a connection it cannot take.
void AcceptPartner(DPAB *anchor, int tcp, PostPartner *p, QDVP_AcceptLimit *limit) {
  struct sockaddr_in from {};
  socklen_t len = sizeof(from);
  int s =
      accept4(tcp, reinterpret_cast<struct sockaddr *>(&from), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (s < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
      QDVP_AcceptFailed(anchor, tcp, limit, errno, "POST");
    }
    return;
  }
  int size = kPostSendBuffer;
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
  // One TCP sender at a time: a new connection replaces the one before.
  ClosePartner(p);
  p->socket = s;
  p->address = from;
  QDVP_UpdateStatLogSockIO(1, 0);
}

void ListenService(DPAB *anchor, ProcessEntry *pe, SourceEntry *source) {
  ReadCategories();
  int port = QDVP_ServerPort('P');
  uint16_t net = htons(static_cast<uint16_t>(port));
  int udp = QDV0_OpenLocalSocket(1, net, nullptr, 0);
  if (udp < 0) QDV0_ReportBindFailure("POST UDP", port, errno);
  int tcp = QDV0_OpenLocalSocket(2, net, nullptr, 1);
  if (tcp < 0) QDV0_ReportBindFailure("POST TCP", port, errno);
  if (udp < 0 && tcp < 0) {
    QDVP_TRC(trk, TRK1_ERROR, "***** cannot open any socket, post socket communication impossible");
    return;
  }
  if (udp >= 0) fcntl(udp, F_SETFL, fcntl(udp, F_GETFL) | O_NONBLOCK);
  if (tcp >= 0 && listen(tcp, 10) != 0) {
    QDVP_TRC(trk, TRK1_ERROR, "TCP listen failed errno %d. Post TCP inbound not available", errno);
    QDV0_CloseTheSocket(tcp);
    tcp = -1;
  }
  if (tcp >= 0) fcntl(tcp, F_SETFL, fcntl(tcp, F_GETFL) | O_NONBLOCK);
  // The spare descriptor is held before the server says it listens: a limit reached from then
  // on finds it there to close the waiting connections with.
  QDVP_AcceptLimit acceptLimit;
  QDVP_KeepAcceptSpare(&acceptLimit);
  char text[32];
  snprintf(text, sizeof(text), "%d", port);
  QDVP_SendDPlogMessage(anchor, 20, "POST", text);
  anchor->SocketServerMark.store(1);
  PostPartner partner;
  partner.limit = PostAckLimit();
  char buffer[QDVP_SOCK_BUFFER_SIZE + 1];
  while (!QDVP_TaskShouldEnd(pe)) {
    QDVP_KeepAcceptSpare(&acceptLimit);
    // While the listening socket rests it is left out (poll passes over a negative one).
    bool resting = tcp >= 0 && QDVP_AcceptResting(&acceptLimit);
    short wanted = static_cast<short>(POLLIN | (partner.out.empty() ? 0 : POLLOUT));
    struct pollfd fds[3] = {
        {udp, POLLIN, 0}, {resting ? -1 : tcp, POLLIN, 0}, {partner.socket, wanted, 0}};
    if (poll(fds, 3, resting ? QDVP_AcceptRestMs(&acceptLimit) : -1) < 0) continue;
    if (QDVP_TaskShouldEnd(pe)) break;
    if (fds[1].revents & POLLIN) AcceptPartner(anchor, tcp, &partner, &acceptLimit);
    if (fds[0].revents & POLLIN) {
      // Bounded per round, so that a flood of datagrams cannot keep the TCP sender's stamps,
      // the rest of the listening socket and the end of the task waiting.
      for (int taken = 0; taken < kPostDatagramsPerRound; taken++) {
        struct sockaddr_in from;
        socklen_t len = sizeof(from);
        ssize_t n = recvfrom(udp, buffer, QDVP_SOCK_BUFFER_SIZE, MSG_DONTWAIT,
                             reinterpret_cast<struct sockaddr *>(&from), &len);
        if (n < 1 || IsShutdownText(buffer, static_cast<size_t>(n))) break;
        if (QDVP_CheckDataConversion(buffer, static_cast<int>(n))) {
          QDV0_ConvertDataToLocal(buffer, static_cast<size_t>(n));
        }
        QDVP_LoadPostAttributeData(anchor, pe, source, &from, buffer, static_cast<int>(n));
      }
    }
    // The descriptor polled may have been replaced by an accept in this round.
    if (partner.socket < 0 || partner.socket != fds[2].fd) continue;
    if ((fds[2].revents & POLLOUT) && !FlushPartner(&partner)) {
      QDVP_TRC(trk, TRK1_DETAIL, "TCP connection terminated for sock %d", partner.socket);
      ClosePartner(&partner);
      continue;
    }
    if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = recv(partner.socket, buffer, QDVP_SOCK_BUFFER_SIZE, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
      if (n < 1) {
        QDVP_TRC(trk, TRK1_DETAIL, "TCP connection terminated for sock %d", partner.socket);
        ClosePartner(&partner);
      } else {
        if (QDVP_CheckDataConversion(buffer, static_cast<int>(n))) {
          QDV0_ConvertDataToLocal(buffer, static_cast<size_t>(n));
        }
        struct sockaddr_in from = partner.address;
        std::string stamp =
            QDVP_LoadPostAttributeData(anchor, pe, source, &from, buffer, static_cast<int>(n));
        QueueStamp(anchor, &partner, stamp);
      }
    }
  }
  ClosePartner(&partner);
  QDVP_ReleaseAcceptSpare(&acceptLimit);
  QDV0_CloseTheSocket(udp);
  QDV0_CloseTheSocket(tcp);
  anchor->SocketServerMark.store(0);
}

}  // namespace

void QDVP_PostServer(ProcessEntry *entry) {
  entry->ThreadID = OSV1_ThreadID();
  DPAB *anchor = entry->pDPAB;
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Post server process started. Thread: %X",
           entry->ThreadID.load());
  ApplEntry *appl = QDVP_DefineDPpostApplication(anchor);
  SourceEntry *source = FirstSource(appl);
  // Registered already (Ready), or deferred (Pending: the periodic scan registers it again),
  // when the application was defined; otherwise the registration's outcome says.
  bool registered = false;
  if (source != nullptr) {
    int state = source->State;
    registered = state == QDVP_Ready || state == QDVP_Pending;
    if (!registered) {
      DCHresult reg = QDVP_Request(anchor, source, QDVP_VERB_REGISTER, entry);
      if (reg.outcome == DCHoutcome::Taken) QDVP_UpdateSourceEntryState(source, QDVP_Ready);
      registered = reg.outcome == DCHoutcome::Taken || reg.outcome == DCHoutcome::NoAnswer ||
                   reg.outcome == DCHoutcome::LinkLost;
    }
  }
  if (!registered) {
    QDVP_TRC(trk, TRK1_ERROR, "*** dp_register failed for Post DP");
    if (appl != nullptr) QDVP_ReleaseApplResources(anchor, appl, 1);
    QDVP_DisplayValidationMessage(87, nullptr);
  } else {
    // A deferred registration is the periodic scan's: the server waits until it made the
    // source Ready.
    bool delayed = false;
    while (source->State != QDVP_Ready && !QDVP_TaskShouldEnd(entry) &&
           !anchor->ShutdownRequested.load()) {
      if (!delayed) fprintf(stderr, "On-Line delayed. Wait for connecting to agent\n");
      delayed = true;
      QDVP_WaitTaskIO(entry, 5, nullptr, nullptr);
    }
    if (source->State == QDVP_Ready && !QDVP_TaskShouldEnd(entry)) {
      DCHresult online = QDVP_Request(anchor, source, QDVP_VERB_ONLINE, entry);
      if (!online.Delivered()) {
        // A message's row that is not taken brings it online again (QDVP_LoadPostAttributeData).
        QDVP_TRC(trk, TRK1_ERROR, "*** dp_online failed for Post DP [%s %d]",
                 QDVP_OutcomeName(online.outcome), online.status);
      }
      if (delayed) fprintf(stderr, "Agent contacted\n");
      ListenService(anchor, entry, source);
      DCHresult off = QDVP_Request(anchor, source, QDVP_VERB_OFFLINE, entry);
      if (!off.Delivered()) {
        QDVP_TRC(trk, TRK1_ERROR, "*** dp_offline failed for Post DP [%s %d]",
                 QDVP_OutcomeName(off.outcome), off.status);
      }
    }
    // The entry is freed only once the DCH client is done with a request whose wait ended
    // early at shutdown.
    QDVP_WaitForDCHrequestRelease(anchor, entry, source);
  }
  // The POST data provider lives as long as its server.
  QDVP_SetAnchorFlag(anchor, &anchor->ShutdownRequested);
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Post server process ended. Thread: %X", entry->ThreadID.load());
  QDVP_EndTask(anchor, entry);
}
