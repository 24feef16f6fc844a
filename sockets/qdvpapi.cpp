// The client API protocol: the fields of a request (version, request name, data), the reply
// ("rc start-time" or "rc start-time#data"), and what a request does by the state of the
// client's source: begin input on a table, bring the source online, rows bracketed by BGNROW and
// ENDROW with their row control, take actions handed to the client, end input.
//
// Everything here runs on the API server task (or, for a source made Inactive by the periodic
// scan or an application's deletion, on that task with no request: nothing is answered then).
// A request is one receive of at most QDVP_SOCK_BUFFER_SIZE bytes, NUL-terminated by the server;
// every byte of it comes from outside and is checked before it is used.
#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_agentlink.h"
#include "../include/qdvp_records.h"
#include "../include/qdvp_request.h"
#include "../include/qdvp_sockets.h"
#include "../include/qdvp_stats.h"
#include "qdvpsock.h"

static TRK1_BLOCK trk = {"qdvpapi"};

const char *const APIrequestString[QDVP_API_CALL_TYPES] = {"      ", "BGNINP", "ENDINP", "BGNROW",
                                                           "ENDROW", "SNDDTA", "ACCREQ", "RCVREQ",
                                                           "RESULT", "SETSRC"};
const char QDVP_API_VERSION[] = "QDVPAPI300";

bool QDVP_ValidateAPIversion(const char *buffer) {
  return memcmp(buffer, QDVP_API_VERSION, QDVP_API_NAME_AT) == 0;
}

bool QDVP_ValidateAPIrequest(const char *name, const char *buffer, int *dataAt) {
  if (memcmp(buffer + QDVP_API_NAME_AT, name, 6) != 0) return false;
  *dataAt = QDVP_API_DATA_AT;
  QDVP_UpdateStatLogAPIcalls(1);
  return true;
}

int QDVP_ExtractAPIcallType(const char *buffer, int length) {
  if (length < QDVP_API_DATA_AT) return 0;
  for (int type = 1; type < QDVP_API_CALL_TYPES; type++) {
    if (memcmp(buffer + QDVP_API_NAME_AT, APIrequestString[type], 6) == 0) return type;
  }
  return 0;
}

// A reply that does not fit makes the buffer larger for every later reply. A TCP reply that
// the client does not take within a second is dropped, so that a client that stops reading
// cannot hold the server.
int QDVP_SendAPIreply(DPAB *anchor, int socket, const struct sockaddr_in *address, int rc,
                      const char *data, int length) {
  char head[40];
  int headLength = snprintf(head, sizeof(head), data != nullptr && length > 0 ? "%d %d#" : "%d %d",
                            rc, static_cast<int>(anchor->StartTime));
  if (data == nullptr) length = 0;
  int needed = headLength + length + 1;
  if (anchor->pReplyBuffer == nullptr || needed > anchor->ReplyBufferSize) {
    QDV0_Free(anchor->pReplyBuffer);
    int size = anchor->ReplyBufferSize > 0 ? anchor->ReplyBufferSize : QDVP_API_REPLY_BUFFER_SIZE;
    if (needed > size) size = length + 4 + headLength;
    anchor->pReplyBuffer = static_cast<char *>(QDV0_GetStorage(static_cast<size_t>(size)));
    if (anchor->pReplyBuffer == nullptr) {
      QDVP_TRC(trk, TRK1_ERROR, "***** No storage for an API reply of %d bytes", size);
      anchor->ReplyBufferSize = 0;
      return -1;
    }
    anchor->ReplyBufferSize = size;
  }
  char *reply = anchor->pReplyBuffer;
  memcpy(reply, head, static_cast<size_t>(headLength));
  if (length > 0) memcpy(reply + headLength, data, static_cast<size_t>(length));
  size_t total = static_cast<size_t>(headLength + length);
  reply[total] = '\0';
  QDV0_ConvertDataToNetwork(reply, total);
  if (address != nullptr) {
    return static_cast<int>(sendto(socket, reply, total, MSG_DONTWAIT,
                                   reinterpret_cast<const struct sockaddr *>(address),
                                   sizeof(*address)));
  }
  size_t sent = 0;
  while (sent < total) {
    ssize_t n = send(socket, reply + sent, total - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    struct pollfd p = {socket, POLLOUT, 0};
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && poll(&p, 1, 1000) == 1) continue;
    QDVP_TRC(trk, TRK1_ERROR, "API reply to socket %d not sent, errno %d", socket, errno);
    return -1;
  }
  return static_cast<int>(sent);
}

void QDVP_SetAcceptRequestOptions(SourceEntry *source, const char *buffer) {
  int at = 0;
  if (!QDVP_ValidateAPIrequest("ACCREQ", buffer, &at)) {
    QDVP_TRC(trk, TRK1_ERROR, "*****Accept Request API invalid ->[%s]", buffer);
    return;
  }
  const char *data = buffer + at;
  const char *semi = strchr(data, ';');
  bool enable = data[0] == '1' && (data[1] == ';' || data[1] == '\0' || data[1] == '\n');
  int wait = -1;
  if (enable) {
    wait = semi != nullptr ? atoi(semi + 1) : 0;
    if (wait == 0) wait = 60;
    if (wait < 0) wait = -1;
  }
  OSV1_Guard hold(&source->SourceLock);
  source->AcceptRequests = enable ? 1 : 0;
  source->AcceptWaitSeconds = wait;
}

bool QDVP_SaveAPIsourceName(SourceEntry *source, const char *buffer) {
  int at = 0;
  if (!QDVP_ValidateAPIrequest("SETSRC", buffer, &at)) return false;
  const char *data = buffer + at;
  size_t n = strcspn(data, " \r\n");
  if (n == 0) {
    QDVP_TRC(trk, TRK1_ERROR, "***** Input API source name missing");
    return false;
  }
  char *name = static_cast<char *>(QDV0_GetStorage(n + 1));
  if (name == nullptr) return false;
  memcpy(name, data, n);
  name[n] = '\0';
  OSV1_Guard attrs(&source->AttrLock);
  QDV0_Free(source->pSourceNodeName);
  source->pSourceNodeName = name;
  return true;
}

namespace {

// The source's node name for a DP log message, "?" without one.
std::string Name(SourceEntry *source) {
  std::string node = QDVP_SourceNodeName(source);
  return node.empty() ? "?" : node;
}

// What one request answers.
struct Reply {
  int rc = 0;
  const char *data = nullptr;  // not owned, unless owned is set
  char *owned = nullptr;
  bool remote = false;  // a take action is in delivery: hand it over after the reply
};

// The BGNINP names: the application, then the table, at blanks. 0, or 51 / 52.
int FindTable(DPAB *anchor, const char *data, TableEntry **table) {
  char appl[QDVP_SOCK_BUFFER_SIZE], name[QDVP_SOCK_BUFFER_SIZE];
  appl[0] = name[0] = '\0';
  if (sscanf(data, "%4095s %4095s", appl, name) < 1) return 51;
  ApplEntry *application =
      QDVP_LocateApplicationByName(anchor, appl, static_cast<int>(strlen(appl)));
  if (application == nullptr) return 51;
  *table = name[0] != '\0'
               ? QDVP_LocateTableByName(application, name, static_cast<int>(strlen(name)))
               : nullptr;
  return *table != nullptr ? 0 : 52;
}

// Connected: a TCP client's session before BGNINP (or after ENDINP).
int Connected(DPAB *anchor, ProcessEntry *pe, IOEntry *partner, const char *buffer, int call) {
  SourceEntry *source = partner->pSource;
  int at = 0;
  switch (call) {
    case QDVP_API_ACCREQ:
      QDVP_SetAcceptRequestOptions(source, buffer);
      return 0;
    case QDVP_API_SETSRC:
      return QDVP_SaveAPIsourceName(source, buffer) ? 0 : 39;
    case QDVP_API_BGNINP:
      break;
    default:
      QDVP_TRC(trk, TRK1_ERROR, "*** API request rejected, sequence error");
      return 13;
  }
  QDVP_ValidateAPIrequest("BGNINP", buffer, &at);
  TableEntry *table = nullptr;
  int rc = FindTable(anchor, buffer + at, &table);
  if (rc != 0) return rc;
  if (source->pTable == nullptr && QDVP_AttachAPIsource(anchor, source, table) != 0) return 53;
  if (source->pPE.load() == nullptr) source->pPE.store(pe);
  QDVP_UpdateSourceEntryState(source, QDVP_Ready);
  return -1;
}

// Ready: BGNINP, SNDDTA and ACCREQ bring the source online.
int Ready(DPAB *anchor, ProcessEntry *pe, IOEntry *partner, const char *buffer, int call,
          Reply *reply) {
  SourceEntry *source = partner->pSource;
  if (call == QDVP_API_SETSRC) return QDVP_SaveAPIsourceName(source, buffer) ? 0 : 39;
  if (call != QDVP_API_BGNINP && call != QDVP_API_SNDDTA && call != QDVP_API_ACCREQ) {
    QDVP_TRC(trk, TRK1_ERROR, "*** API request rejected, sequence error");
    return 13;
  }
  if (call == QDVP_API_ACCREQ) QDVP_SetAcceptRequestOptions(source, buffer);
  const char *appl = source->pTable->pAppl ? source->pTable->pAppl->ApplName : "";
  if (!QDVP_BringPartnerOnline(anchor, pe, partner)) {
    QDVP_SendDPlogMessage(anchor, 34, appl, source->pTable->TableName, Name(source).c_str());
    return 54;
  }
  source->RowControl = 0;
  source->DataPending = 0;
  {
    OSV1_Guard attrs(&source->AttrLock);
    reply->data = source->pDelimiter;
  }
  QDVP_SendDPlogMessage(anchor, 33, appl, source->pTable->TableName, Name(source).c_str());
  return 0;
}

// The held row goes to the agent with the row control as its data sequence. False when the
// agent did not take it; the session goes on all the same (its source takes the next request).
bool SendRow(DPAB *anchor, ProcessEntry *pe, SourceEntry *source) {
  source->DataSequence = source->RowControl;
  DCHresult sent = QDVP_Request(anchor, source, QDVP_VERB_DATA, pe);
  if (sent.Delivered()) {
    QDVP_UpdateSourceEntryState(source, QDVP_Input);
    return true;
  }
  QDVP_TRC(trk, TRK1_ERROR, "*** dp_data failed for %s [%s %d]", Name(source).c_str(),
           QDVP_OutcomeName(sent.outcome), sent.status);
  // This answer tells the client; the count the agent link keeps is told with it.
  source->RowsNotTakenTold = source->RowsNotTaken.load();
  // The data provider ends: the request may still be under way, the source is left so.
  if (sent.outcome != DCHoutcome::Ending) QDVP_UpdateSourceEntryState(source, QDVP_Input);
  return false;
}

// A row that went out without waiting for its status (on a window) and that the agent did not
// take is told to the client once, with 92, in the answer to the next request that sends rows.
int TellRowsNotTaken(SourceEntry *source, int rc) {
  uint32_t count = source->RowsNotTaken.load();
  if (count == source->RowsNotTakenTold) return rc;
  source->RowsNotTakenTold = count;
  QDVP_TRC(trk, TRK1_ERROR, "*** rows of %s not taken by the agent; told to the client",
           Name(source).c_str());
  return rc == 0 ? 92 : rc;
}

// ENDROW: the client learns whether its set was taken. The rows still without their status
// are waited for (at most QDVP_API_SETTLE_SECONDS); 92 when one was not taken, or when their
// statuses did not all come in time (nothing is answered 0 before it is known).
int SettleRows(DPAB *anchor, ProcessEntry *pe, SourceEntry *source, int rc) {
  bool settled = QDVP_WaitSourceRowsSettled(anchor, source, pe, QDVP_API_SETTLE_SECONDS);
  rc = TellRowsNotTaken(source, rc);
  if (!settled && rc == 0) {
    QDVP_TRC(trk, TRK1_ERROR, "*** rows of %s without a status after %d s", Name(source).c_str(),
             static_cast<int>(QDVP_API_SETTLE_SECONDS));
    return 92;
  }
  return rc;
}

// A row failed at the agent: the set is over.
int RowFailed(SourceEntry *source) {
  source->RowControl = QDVP_SEQ_ONLY;
  source->DataPending = 0;
  return 92;
}

// True when the parse left the row without a value: such a record is no row.
bool RowIsEmpty(SourceEntry *source) {
  OSV1_Guard attrs(&source->AttrLock);
  for (AttrEntry *a = source->pAttrList; a != nullptr; a = a->pNext) {
    if (a->ActualValSize > 0) return false;
  }
  return true;
}

// The rows of SNDDTA (its lines) or ENDROW (data null: no line). A row is held back while its
// row control is not known yet: the next line, or ENDROW, decides whether it is a middle or the
// last row. A record from which no attribute can be read is no row: it is skipped before it
// could replace the row held back, which stays held (so the set's last row is a real row, marked
// last). A row the agent did not take ends the set (92), and the request's records go on, each a
// row on its own: none of them is dropped for another's fate.
int RecordLoop(DPAB *anchor, ProcessEntry *pe, IOEntry *partner, char *data) {
  SourceEntry *source = partner->pSource;
  char *line = data;
  int rc = 0;
  for (;;) {
    char *next = nullptr;
    int n = 0;
    if (data != nullptr) {
      while (*line == '\n' || *line == '\r') line++;
      if (*line == '\0') return rc;
      char *feed = strchr(line, '\n');
      next = feed != nullptr ? feed + 1 : line + strlen(line);
      char *stop = feed != nullptr ? feed : line + strlen(line);
      if (stop > line && stop[-1] == '\r') stop--;
      n = static_cast<int>(stop - line);
      if (n == 0 || QDVP_RecordIsIgnored(source, line, n)) {
        if (n > 0) QDVP_TRC(trk, TRK1_DETAIL, "API record without its fields skipped");
        line = next;
        continue;
      }
    }
    if (source->DataPending &&
        (source->RowControl == QDVP_SEQ_MIDDLE || source->RowControl == QDVP_SEQ_LAST)) {
      bool last = source->RowControl == QDVP_SEQ_LAST;
      if (!SendRow(anchor, pe, source)) rc = RowFailed(source);
      source->DataPending = 0;
      if (last) {
        source->RowControl = QDVP_SEQ_ONLY;
        return rc;
      }
    }
    if (data == nullptr) {
      // ENDROW with nothing held back closes the set all the same.
      if (source->RowControl == QDVP_SEQ_LAST) source->RowControl = QDVP_SEQ_ONLY;
      return rc;
    }
    IObuffer *io = QDVP_GetNextFreeBuffer(partner);
    if (io == nullptr) return rc;
    int area = QDVP_IObufferDataSize(partner) - 1;
    int copied = n < area ? n : area;
    memcpy(io->Data, line, static_cast<size_t>(copied));
    io->DataLength = static_cast<uint32_t>(copied);
    io->State = QDVP_ValidData;
    source->DataSequence = source->RowControl;
    // A record the table's filter drops is skipped, and so is one that left no value; the
    // records after it in the request go on.
    if (!QDVP_MoveDataFromBufferToAttr(anchor, partner, io) || RowIsEmpty(source)) {
      QDVP_UpdateSourceEntryState(source, QDVP_Input);
      line = next;
      continue;
    }
    if (source->RowControl != QDVP_SEQ_MIDDLE) {
      if (QDVP_CheckDataSummaryReady(source)) {
        if (!SendRow(anchor, pe, source)) rc = RowFailed(source);
      } else {
        QDVP_UpdateSourceEntryState(source, QDVP_Input);
      }
      if (source->RowControl == QDVP_SEQ_FIRST) source->RowControl = QDVP_SEQ_MIDDLE;
      if (source->RowControl == QDVP_SEQ_LAST) {
        source->RowControl = QDVP_SEQ_ONLY;
        source->DataPending = 0;
      }
    } else {
      source->DataPending = 1;
    }
    line = next;
  }
}

// "number;text": the result of a take action handed to the client.
int Result(DPAB *anchor, SourceEntry *source, const char *buffer) {
  int at = 0;
  if (!QDVP_ValidateAPIrequest("RESULT", buffer, &at)) return 93;
  const char *data = buffer + at;
  char *end = nullptr;
  unsigned long id = strtoul(data, &end, 10);
  if (end == data || *end != ';') return 93;
  return QDVP_PostActionRequestCompletion(anchor, source, static_cast<uint32_t>(id), end + 1);
}

// Input: the session's requests.
int Input(DPAB *anchor, ProcessEntry *pe, IOEntry *partner, char *buffer, int call, Reply *reply) {
  SourceEntry *source = partner->pSource;
  int at = QDVP_API_DATA_AT;
  switch (call) {
    case QDVP_API_ACCREQ:
      QDVP_SetAcceptRequestOptions(source, buffer);
      return 0;
    case QDVP_API_RCVREQ:
      QDVP_ValidateAPIrequest("RCVREQ", buffer, &at);
      reply->owned = QDVP_CheckOutstandingActionRequest(source);
      reply->data = reply->owned;
      reply->remote = reply->owned != nullptr;
      return 0;
    case QDVP_API_RESULT:
      return Result(anchor, source, buffer);
    case QDVP_API_BGNROW:
      QDVP_ValidateAPIrequest("BGNROW", buffer, &at);
      // A row held back from unbracketed records ends their set before the new one begins;
      // the set's first record would otherwise overwrite it.
      if (source->DataPending && source->RowControl == QDVP_SEQ_MIDDLE) {
        source->RowControl = QDVP_SEQ_LAST;
        source->DataPending = 0;
        if (!SendRow(anchor, pe, source)) return RowFailed(source);
      }
      source->RowControl = QDVP_SEQ_FIRST;
      return TellRowsNotTaken(source, 0);
    case QDVP_API_ENDROW:
      QDVP_ValidateAPIrequest("ENDROW", buffer, &at);
      source->RowControl = QDVP_SEQ_LAST;
      return SettleRows(anchor, pe, source, RecordLoop(anchor, pe, partner, nullptr));
    case QDVP_API_SNDDTA:
      QDVP_ValidateAPIrequest("SNDDTA", buffer, &at);
      return TellRowsNotTaken(source, RecordLoop(anchor, pe, partner, buffer + at));
    default:
      QDVP_TRC(trk, TRK1_ERROR, "*** API request rejected, sequence error");
      return 13;
  }
}

// Inactive: the source goes offline; the session ends (a TCP client may begin another).
int Inactive(DPAB *anchor, ProcessEntry *pe, IOEntry *partner) {
  SourceEntry *source = partner->pSource;
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Socket/API server performs dp_offline for %s on request",
           Name(source).c_str());
  int rc = 0;
  bool notTaken = false;
  // A row still held back is the last of its set: it is not lost with the session.
  if (source->DataPending && source->pTable != nullptr) {
    source->RowControl = QDVP_SEQ_LAST;
    source->DataPending = 0;
    notTaken = !SendRow(anchor, pe, source);
  }
  // The actions handed to this session get their status from their workers now.
  QDVP_AbandonActionRequests(anchor, source);
  DCHresult off = QDVP_Request(anchor, source, QDVP_VERB_OFFLINE, pe);
  if (!off.Delivered()) {
    QDVP_TRC(trk, TRK1_ERROR, "*** dp_offline failed for %s [%s %d]", Name(source).c_str(),
             QDVP_OutcomeName(off.outcome), off.status);
    rc = 58;
  }
  // The DCH client settles every row in flight before it takes a source offline: whether the
  // session's rows were all taken is known now, and a row not taken is told first.
  if (TellRowsNotTaken(source, 0) != 0 || notTaken) rc = 92;
  QDVP_UpdateSourceEntryState(source, QDVP_Ready);
  if (source->pTable != nullptr) {
    const char *appl = source->pTable->pAppl ? source->pTable->pAppl->ApplName : "";
    QDVP_SendDPlogMessage(anchor, 35, appl, source->pTable->TableName, Name(source).c_str());
    // The offline's wait ends early at shutdown while the DCH client may still work on the
    // source, through its table: the table link goes only once the client is done with it.
    if (source->Dynamic) {
      QDVP_WaitForDCHrequestRelease(anchor, pe, source);
      QDVP_DetachAPIsource(source);
    }
  }
  bool tcp;
  {
    OSV1_Guard hold(&partner->IOLock);
    tcp = partner->TCPsocket >= 0;
    if (!tcp) {
      partner->Active = 0;
      partner->NewSession = 1;
    }
  }
  // The name a SETSRC gave lasts for the session; the next one starts with the client's host.
  // A partner already reset (its connection closed) has no address left to name: the next
  // binding names its source.
  struct sockaddr_in address;
  {
    OSV1_Guard hold(&partner->IOLock);
    address = partner->PartnerAddr;
  }
  if (address.sin_addr.s_addr != htonl(INADDR_ANY)) {
    char node[256];
    QDVP_PartnerNodeName(&address, node, sizeof(node));
    OSV1_Guard attrs(&source->AttrLock);
    QDV0_Free(source->pSourceNodeName);
    source->pSourceNodeName = QDV0_StrDup(node);
  }
  {
    OSV1_Guard hold(&source->SourceLock);
    source->AcceptRequests = 0;
    source->AcceptWaitSeconds = -1;
  }
  if (tcp) QDVP_UpdateSourceEntryState(source, QDVP_Connected);
  return rc;
}

}  // namespace

void QDVP_NoteAPIcallType(IOEntry *partner, int call) {
  {
    OSV1_Guard hold(&partner->IOLock);
    partner->CallType = call;
  }
  SourceEntry *source = partner->pSource;
  int state = source->State;
  if (call == QDVP_API_ENDINP && source->pTable != nullptr && state != QDVP_Connected &&
      state != QDVP_Initial && state != QDVP_NoState) {
    QDVP_UpdateSourceEntryState(source, QDVP_Inactive);
  }
}

namespace {

// The request's step by the source's state; -1 when the state changed and is looked at again.
int Step(DPAB *anchor, ProcessEntry *pe, IOEntry *partner, char *buffer, int length, int call,
         Reply *reply) {
  SourceEntry *source = partner->pSource;
  int state = source->State;
  if (state == QDVP_Inactive) return Inactive(anchor, pe, partner);
  if (length < 1) return 0;
  switch (state) {
    case QDVP_Connected:
      return Connected(anchor, pe, partner, buffer, call);
    case QDVP_Ready:
      return Ready(anchor, pe, partner, buffer, call, reply);
    case QDVP_Input:
      return Input(anchor, pe, partner, buffer, call, reply);
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

}  // namespace

int QDVP_ProcessAPIrequestByState(DPAB *anchor, ProcessEntry *pe, IOEntry *partner, int length,
                                  char *buffer) {
  SourceEntry *source = partner->pSource;
  int call = 0;
  Reply reply;
  if (length >= 1 && buffer != nullptr && source->State != QDVP_Inactive &&
      (length < QDVP_API_NAME_AT || !QDVP_ValidateAPIversion(buffer))) {
    QDVP_TRC(trk, TRK1_ERROR, "*** API request rejected, incorrect version");
    reply.rc = 90;
  } else {
    if (length >= 1 && buffer != nullptr) call = QDVP_ExtractAPIcallType(buffer, length);
    for (int steps = 0; steps < 4; steps++) {
      reply.rc = Step(anchor, pe, partner, buffer, length, call, &reply);
      if (reply.rc >= 0) break;
    }
  }
  if (length >= 1 && buffer != nullptr) {
    int socket;
    struct sockaddr_in address;
    bool tcp;
    {
      OSV1_Guard hold(&partner->IOLock);
      socket = partner->Socket;
      tcp = partner->TCPsocket >= 0;
      address = partner->PartnerAddr;
    }
    if (socket >= 0) {
      int dataLength = reply.data != nullptr ? static_cast<int>(strlen(reply.data)) : 0;
      QDVP_SendAPIreply(anchor, socket, tcp ? nullptr : &address, reply.rc, reply.data, dataLength);
    }
  }
  if (reply.remote) QDVP_CheckActionRequestCompletion(anchor, source);
  QDV0_Free(reply.owned);
  return reply.rc;
}
