// The console service, run by the data provider's main thread once start-up is complete. It
// builds the console communication area, starts the console I/O task, then carries out the
// commands handed over to it one at a time and answers each through the I/O task's socket,
// until a SHUTDOWN command or a shutdown request from the host ends it. It performs the
// orderly shutdown before it returns.
//
// A command that needs the console key (QDVP_ConsoleCommandNeedsKey) is refused, result 14,
// unless the I/O task found a good seal on its datagram or a take action handed it over; each
// refusal is a DP log message naming the sender, at most kLoggedRefusals a minute.
#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include <new>

#include "../core/support/qdv0.h"
#include "../core/support/qdv0chck.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_console.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_model.h"
#include "../include/qdvp_services.h"
#include "../include/qdvp_stats.h"

static TRK1_BLOCK trk = {"qdvpsrcc"};

namespace {

// Where the reply to one command goes, copied out of the area when the command is taken so
// that the next hand-over cannot redirect it.
struct Requester {
  int socket = -1;
  int hasAddr = 0;
  struct sockaddr_in addr;
  int authentication = QDVP_AUTH_NONE;
  char *actionReply = nullptr;  // a take action's room for the reply text
  int actionReplySize = 0;
  std::atomic<int> *actionResult = nullptr;  // and for its result code
};

// Ends a command: a take action gets its own result code (after its reply text, which the
// release publishes with it), then the console is free with the code as its last status.
// Nothing of the take action's is touched after its code is stored: it may have gone on.
void Complete(ConsoleBlock *area, const Requester &to, int rc) {
  if (to.actionResult != nullptr) to.actionResult->store(rc, std::memory_order_release);
  area->Status = rc;
}

// How long the service waits for the I/O task's final signal after the orderly shutdown.
constexpr int kIOendWaitSeconds = 10;

// The refusals logged in the current minute, and those left out since the last one logged.
struct RefusalLog {
  time_t since = 0;
  int logged = 0;
  int unlogged = 0;
};
constexpr int kLoggedRefusals = 10;
constexpr int kRefusalLogSeconds = 60;
// The DP log message of a refused command: word, address, port, why.
constexpr int kRefusedMessage = 88;

void SendDatagram(const Requester &to, const char *data, size_t length) {
  char *copy = static_cast<char *>(QDV0_GetStorage(length + 1));
  if (copy == nullptr) return;
  memcpy(copy, data, length);
  QDV0_ConvertDataToNetwork(copy, length);
  ssize_t rc = sendto(to.socket, copy, length, 0,
                      reinterpret_cast<const struct sockaddr *>(&to.addr), sizeof(to.addr));
  if (rc < 0) {
    int err = errno;
    QDVP_TRC(trk, TRK1_ERROR, "### sendto rc %d, errno %d, %s[%d]", static_cast<int>(rc), err,
             __FILE__, __LINE__);
  }
  memset(copy, 0, length);
  QDV0_Free(copy);
}

// The reply: the result code part, then the text; a SHOW reply goes out part by part.
void SendReplyTo(const Requester &to, const char *replyBuffer, const char *text, int showReply) {
  if (!to.hasAddr || to.socket < 0) return;
  size_t head = strlen(replyBuffer);
  if (!showReply || text == nullptr) {
    size_t n = text != nullptr ? strlen(text) : 0;
    char *datagram = static_cast<char *>(QDV0_GetStorage(head + n + 1));
    if (datagram == nullptr) return;
    memcpy(datagram, replyBuffer, head);
    if (n > 0) memcpy(datagram + head, text, n);
    SendDatagram(to, datagram, head + n);
    QDV0_Free(datagram);
    return;
  }
  const char *part = text;
  bool first = true;
  for (;;) {
    const char *end = strchr(part, '@');
    size_t n = end != nullptr ? static_cast<size_t>(end - part) : strlen(part);
    size_t prefix = first ? head : 0;
    char *datagram = static_cast<char *>(QDV0_GetStorage(prefix + n + 1));
    if (datagram == nullptr) return;
    memcpy(datagram, replyBuffer, prefix);
    memcpy(datagram + prefix, part, n);
    SendDatagram(to, datagram, prefix + n);
    QDV0_Free(datagram);
    if (end == nullptr) break;
    part = end + 1;
    first = false;
  }
}

ConsoleBlock *CreateArea(DPAB *anchor) {
  ConsoleBlock *area = QDV0_New<ConsoleBlock>();
  if (area == nullptr) return nullptr;
  OSV1_InitializeLock(&area->Mutex);
  OSV1_InitializeLock(&area->EntryLock);
  area->BufferSize = QDVP_CONSOLE_BUFFER_SIZE;
  area->CommandCode = -1;
  area->Status = 0;
  area->IOthreadID = -1;
  area->Socket = -1;
  for (int &s : area->ExtraSockets) s = -1;
  OSV1_Guard state(&anchor->StateMutex);
  anchor->pConsoleBlock = area;
  return area;
}

// Unpublishes the area and frees it once no take action's worker holds it.
void FreeArea(DPAB *anchor, ConsoleBlock *area) {
  {
    OSV1_Guard state(&anchor->StateMutex);
    anchor->pConsoleBlock = nullptr;
  }
  OSV1_AwaitLetGo(&area->Holds, "console area");
  QDV0_CloseTheSocket(area->Socket);
  for (int s : area->ExtraSockets) QDV0_CloseTheSocket(s);
  {
    OSV1_Guard handOver(&area->Mutex);
    QDV0_Free(area->pCommandBuffer);
  }
  OSV1_DestroyLock(&area->EntryLock);
  OSV1_DestroyLock(&area->Mutex);
  QDV0_Free(area);
}

// Starts the I/O task of the anchor's console transport and waits for its start signal.
// Called with the area's mutex held. Returns 1 when the task has started.
int StartIOtask(DPAB *anchor, ConsoleBlock *area) QDVP_REQUIRES(area->Mutex) {
  QDVP_TASK_ROUTINE routine = QDVP_SockConsoleSupport;
  if (anchor->TransportType == 'R') {
    routine = QDVP_RPCConsoleSupport;
  } else if (anchor->TransportType != 'I') {
    QDVP_TRC(trk, TRK1_ERROR,
             "***** Invalid console transport type. TCPIP Console interface assumed");
  }
  if (!QDVP_CreateProcess(anchor, QDVP_COMMON_TASK, nullptr, routine, 0, nullptr)) return 0;
  while (area->IOthreadID.load() == -1 && !area->IOended) {
    QDV0_ConditionTimedWait(&area->Cond, &area->Mutex, 1);
  }
  return area->IOthreadID.load() != -1;
}

// Reports a command refused for want of authentication. A flood of refusals must not become
// a flood of DP log rows: past kLoggedRefusals in a minute they are only counted, and the next
// one logged says how many were left out.
void LogRefusal(DPAB *anchor, RefusalLog *log, const char *word, const Requester &to,
                const char *why) {
  time_t now = QDV0_Time();
  if (now - log->since >= kRefusalLogSeconds) {
    log->since = now;
    log->logged = 0;
  }
  if (log->logged >= kLoggedRefusals) {
    log->unlogged++;
    return;
  }
  log->logged++;
  char address[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &to.addr.sin_addr, address, sizeof(address));
  char port[8];
  snprintf(port, sizeof(port), "%d", ntohs(to.addr.sin_port));
  char reason[160];
  if (log->unlogged > 0) {
    snprintf(reason, sizeof(reason), "%s (%d more refusals before this one not logged)", why,
             log->unlogged);
  } else {
    snprintf(reason, sizeof(reason), "%s", why);
  }
  log->unlogged = 0;
  QDVP_TRC(trk, TRK1_ERROR, "***** Console command %s from address %s port %s refused: %s", word,
           address, port, reason);
  QDVP_SendDPlogMessage(anchor, kRefusedMessage, word, address, port, reason);
}

// Whether the requester may have the command carried out: what needs the key needs a good
// seal (or a take action), and a malformed seal is refused whatever it carries.
bool Authorized(const Requester &to, int code) {
  if (to.authentication == QDVP_AUTH_GOOD || to.authentication == QDVP_AUTH_AGENT) return true;
  if (to.authentication == QDVP_AUTH_MALFORMED) return false;
  return !QDVP_ConsoleCommandNeedsKey(code);
}

// Carries out the command in buffer (which it frees) and replies. Called with EntryLock held,
// which it releases once the command code is stored. Returns the code of the command carried
// out, -1 for none.
int RunCommand(DPAB *anchor, ConsoleBlock *area, char *buffer, const Requester &to,
               QDVP_TASK_ROUTINE fileServer, RefusalLog *refusals) QDVP_RELEASE(area->EntryLock) {
  QDV0_Scratch<char> command(buffer);
  char *operand = nullptr;
  char *word = QDVP_SplitConsoleBuffer(buffer, &operand);
  if (word == nullptr) {
    QDVP_TRC(trk, TRK1_DETAIL,
             ">>>>>Failed to find token in Console Buffer <%s>, releasing EntryLock", buffer);
    OSV1_ReleaseLock(&area->EntryLock);
    // Nothing to answer; the console is free for the next command.
    Complete(area, to, QDVP_CON_INVALID);
    return -1;
  }
  int code = QDVP_ValidateConsoleCommand(word);
  area->CommandCode = code < QDVP_CMD_COUNT ? code : -1;
  OSV1_ReleaseLock(&area->EntryLock);
  QDVP_TRC(trk, TRK1_DETAIL, "Console command %s Parameter %s", word, operand ? operand : "");

  char *reply = nullptr;  // owned by replyBlock once the command has run
  int showReply = 0;
  int rc;
  if (!Authorized(to, code)) {
    const char *why = QDVP_ConsoleAuthenticationText(to.authentication);
    LogRefusal(anchor, refusals, word, to, why);
    reply = QDV0_StrDup(why);
    rc = QDVP_CON_NOT_AUTHENTICATED;
  } else if (code == QDVP_CMD_COUNT) {
    QDVP_TRC(trk, TRK1_ERROR, "***** Invalid console command %s, ignored", word);
    rc = QDVP_CON_INVALID;
  } else {
    rc = QDVP_ProcessConsoleCommand(anchor, area, code, operand, to.hasAddr, fileServer, &reply,
                                    &showReply);
  }
  QDV0_Scratch<char> replyBlock(reply);
  // A take action has no address to answer: its reply text is its result.
  if (to.actionReply != nullptr && to.actionReplySize > 0) {
    snprintf(to.actionReply, static_cast<size_t>(to.actionReplySize), "%s",
             reply != nullptr && rc != QDVP_CON_NO_REPLY ? reply : "");
  }
  Complete(area, to, rc);
  if (rc != QDVP_CON_NO_REPLY) {
    char head[16];
    snprintf(head, sizeof(head), "%d ", rc);
    SendReplyTo(to, head, reply, showReply);
  }
  QDVP_TRC(trk, TRK1_DETAIL, "Console command %s completed, result %d", word, rc);
  // A refused SHUTDOWN did not shut anything down.
  return code < QDVP_CMD_COUNT && rc != QDVP_CON_NOT_AUTHENTICATED ? code : -1;
}

}  // namespace

void QDVP_SendConsoleReply(DPAB *anchor, const char *replyBuffer, const char *text, int showReply) {
  ConsoleBlock *area = anchor != nullptr ? anchor->pConsoleBlock.load() : nullptr;
  if (area == nullptr || replyBuffer == nullptr) return;
  Requester to;
  OSV1_GetLock(&area->Mutex);
  to.socket = area->Requester;
  to.hasAddr = area->HasRequesterAddr;
  to.addr = area->RequesterAddr;
  OSV1_ReleaseLock(&area->Mutex);
  SendReplyTo(to, replyBuffer, text, showReply);
}

void QDVP_ConsoleService(DPAB *anchor, QDVP_TASK_ROUTINE fileServer) {
  QDVP_TRC_ENTRY(trk);
  ConsoleBlock *area = CreateArea(anchor);
  if (area == nullptr) {
    QDVP_TRC(trk, TRK1_ERROR, "***** Unable to acquire console storage");
    QDVP_ThreadRC = 1;
    QDVP_SetAnchorFlag(anchor, &anchor->ShutdownRequested);
    QDVP_ShutdownCleanUp(anchor, 1);
    return;
  }
  OSV1_GetLock(&area->Mutex);
  if (!StartIOtask(anchor, area)) {
    OSV1_ReleaseLock(&area->Mutex);
    QDVP_TRC(trk, TRK1_ERROR, "*** Console IO thread initialization unsuccessful");
    // The data provider did not get past start-up: the host hears so from the thread result.
    QDVP_ThreadRC = 1;
    QDVP_SetAnchorFlag(anchor, &anchor->ShutdownRequested);
    QDVP_ShutdownCleanUp(anchor, 1);
    FreeArea(anchor, area);
    return;
  }
  if (!anchor->ShutdownRequested) {
    QDVP_SendDPlogMessage(anchor, 2);
    QDVP_SendDPlogMessage(anchor, 0);
    char text[128];
    snprintf(text, sizeof(text), "%s %s", DPtypeString[anchor->DPtype],
             "DP Active! Initialization completed successfully.");
    QDV0_OQconsoleMessage("SystemStatus", QDV0_OQ_INFO, text);
    QDVP_MarkDataProviderUp(1);
    // Problems the start reported but survived (a missing metafile directory, say) stay in
    // view: the line above alone would read as if all were well.
    int problems = QDV0_OperatorErrorCount();
    if (problems > 0) {
      QDV0_OperatorLine(QDV0_PRIORITY_WARNING,
                        "qdvp: the %s data provider runs, but %d error line(s) above need the "
                        "operator",
                        DPtypeString[anchor->DPtype], problems);
    }
  }
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Console service waits for console commands");

  bool cleanedUp = false;
  RefusalLog refusals;
  while (!anchor->ShutdownRequested) {
    if (area->pCommandBuffer == nullptr) {
      QDV0_ConditionTimedWait(&area->Cond, &area->Mutex, 1);
      continue;
    }
    OSV1_GetLock(&area->EntryLock);
    char *buffer = area->pCommandBuffer;
    area->pCommandBuffer = nullptr;
    Requester to;
    to.socket = area->Requester;
    to.hasAddr = area->HasRequesterAddr;
    to.addr = area->RequesterAddr;
    to.authentication = area->Authentication;
    to.actionReply = area->pActionReply;
    to.actionReplySize = area->ActionReplySize;
    to.actionResult = area->pActionResult;
    area->pActionReply = nullptr;
    area->pActionResult = nullptr;
    OSV1_ReleaseLock(&area->Mutex);
    if (RunCommand(anchor, area, buffer, to, fileServer, &refusals) == QDVP_CMD_SHUTDOWN) {
      cleanedUp = true;
    }
    OSV1_GetLock(&area->Mutex);
  }
  OSV1_ReleaseLock(&area->Mutex);
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Console service received shutdown request");
  if (!cleanedUp) QDVP_ShutdownCleanUp(anchor, 1);

  // The I/O task has ended with the other tasks; its final signal says it no longer uses the
  // area. A task that never ended keeps the area (and its sockets) for good.
  OSV1_GetLock(&area->Mutex);
  for (int waited = 0; !area->IOended && waited < kIOendWaitSeconds; waited++) {
    QDV0_ConditionTimedWait(&area->Cond, &area->Mutex, 1);
  }
  bool ended = area->IOended != 0;
  OSV1_ReleaseLock(&area->Mutex);
  if (ended) {
    FreeArea(anchor, area);
  } else {
    QDVP_TRC(trk, TRK1_ERROR, "***** Console IO thread did not end; console area kept");
  }
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>>Console service ended");
  QDVP_TRC_EXIT(trk, 0);
}
