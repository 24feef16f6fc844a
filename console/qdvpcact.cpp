// Console commands carried by take actions: a command text from the agent is checked, handed
// to the console service through the same communication area as an operator's datagram (with
// no one to reply to), and its result code and an operator's text come back for the action's
// result. The actions subsystem calls QDVP_RunConsoleCommandForAction from a worker task and
// stores what it returns in the action entry.
#include <stdio.h>
#include <string.h>

#include <atomic>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_console.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_model.h"

static TRK1_BLOCK trk = {"qdvpcact"};

namespace {

// The anchor's console area, held for the caller (who lets go with OSV1_LetGo), or null once
// the console has gone.
ConsoleBlock *HoldArea(DPAB *anchor) {
  OSV1_Guard state(&anchor->StateMutex);
  ConsoleBlock *area = anchor->pConsoleBlock;
  if (area == nullptr || !OSV1_TakeHold(&area->Holds)) return nullptr;
  return area;
}

void Text(char *resultText, int size, int message, const char *insert) {
  if (resultText != nullptr && size > 0)
    QDVP_FormatConsoleMessage(message, insert, resultText, size);
}

bool NeedsOperand(int code) {
  return code == QDVP_CMD_DELETE || code == QDVP_CMD_IMPORT || code == QDVP_CMD_REFRESH ||
         code == QDVP_CMD_LOADLIST;
}

// Hands the command over as soon as the console is free; 0 when the console has gone. The
// service writes the command's reply text into reply (replySize bytes) when reply is not null,
// then its result code into *result when result is not null.
int HandOver(DPAB *anchor, const char *commandText, char *reply, int replySize,
             std::atomic<int> *result) {
  for (;;) {
    if (anchor->ShutdownRequested) return 0;
    ConsoleBlock *area = HoldArea(anchor);
    if (area == nullptr) return 0;
    OSV1_GetLock(&area->Mutex);
    if (area->Status.load() != QDVP_CONSOLE_BUSY && area->pCommandBuffer == nullptr) {
      char *buffer = static_cast<char *>(QDV0_GetStorage(QDVP_CONSOLE_BUFFER_SIZE + 1));
      if (buffer == nullptr) {
        OSV1_ReleaseLock(&area->Mutex);
        OSV1_LetGo(&area->Holds);
        return 0;
      }
      snprintf(buffer, QDVP_CONSOLE_BUFFER_SIZE + 1, "%s", commandText);
      area->Status = QDVP_CONSOLE_BUSY;
      area->Requester = anchor->DPtype;
      area->HasRequesterAddr = 0;
      area->Authentication = QDVP_AUTH_AGENT;
      area->pCommandBuffer = buffer;
      area->BufferSize = QDVP_CONSOLE_BUFFER_SIZE;
      area->pActionReply = reply;
      area->ActionReplySize = replySize;
      area->pActionResult = result;
      OSV1_WakeAll(&area->Cond, &area->Mutex);
      OSV1_ReleaseLock(&area->Mutex);
      OSV1_LetGo(&area->Holds);
      return 1;
    }
    OSV1_ReleaseLock(&area->Mutex);
    OSV1_LetGo(&area->Holds);
    OSV1_Sleep(1);
  }
}

}  // namespace

int QDVP_RunConsoleCommandForAction(DPAB *anchor, const char *commandText, char *resultText,
                                    int resultSize) {
  if (resultText != nullptr && resultSize > 0) resultText[0] = '\0';
  char copy[QDVP_CONSOLE_BUFFER_SIZE + 1];
  snprintf(copy, sizeof(copy), "%s", commandText != nullptr ? commandText : "");
  char *operand = nullptr;
  char *word = QDVP_SplitConsoleBuffer(copy, &operand);
  QDVP_TRC(trk, TRK1_DETAIL, "Processing console command %s Parameter %s", word ? word : "",
           operand ? operand : "");
  int code = QDVP_ValidateConsoleCommand(word);
  if (code == QDVP_CMD_COUNT || code == QDVP_CMD_SHOW || code == QDVP_CMD_LIST) {
    QDVP_TRC(trk, TRK1_ERROR, "*****TakeAction console command not supported or invalid %d", code);
    Text(resultText, resultSize, 6, word != nullptr ? word : "-");
    return -1;
  }
  if (NeedsOperand(code) && operand == nullptr) {
    Text(resultText, resultSize, 36, nullptr);
    return -1;
  }
  ApplEntry *known = operand != nullptr ? QDVP_LocateConsoleApplication(anchor, operand) : nullptr;
  if (code == QDVP_CMD_IMPORT && known != nullptr) {
    Text(resultText, resultSize, 21, operand);
    return 0;
  }
  if ((code == QDVP_CMD_DELETE || code == QDVP_CMD_REFRESH) && known == nullptr) {
    Text(resultText, resultSize, code == QDVP_CMD_DELETE ? 13 : 23, operand);
    return QDVP_CON_NOT_DEFINED;
  }
  if (code == QDVP_CMD_SHUTDOWN) Text(resultText, resultSize, 18, nullptr);

  // The service gets the command as the operator would send it.
  char command[QDVP_CONSOLE_BUFFER_SIZE + 1];
  snprintf(command, sizeof(command), "%s%s%s", word, operand ? " " : "", operand ? operand : "");
  // SHUTDOWN is not waited for: its reply, were there one, would come after this call.
  // The service leaves the command's own result code here: the console's status is the last
  // command's, which may be another action's or an operator's by the time this one looks.
  char reply[QDVP_CONSOLE_BUFFER_SIZE + 1] = "";
  std::atomic<int> result{QDVP_CONSOLE_BUSY};
  bool shutdown = code == QDVP_CMD_SHUTDOWN;
  if (!HandOver(anchor, command, shutdown ? nullptr : reply,
                shutdown ? 0 : static_cast<int>(sizeof(reply)), shutdown ? nullptr : &result)) {
    Text(resultText, resultSize, 16, "-1");
    return -1;
  }
  if (shutdown) return 0;
  // Until the code is there the service may still write reply and result, so this frame stays;
  // an area that has gone took the command with it unrun.
  int rc = QDVP_CONSOLE_BUSY;
  for (;;) {
    ConsoleBlock *area = HoldArea(anchor);
    if (area == nullptr) {
      rc = result.load(std::memory_order_acquire);
      break;
    }
    rc = result.load(std::memory_order_acquire);
    OSV1_LetGo(&area->Holds);
    if (rc != QDVP_CONSOLE_BUSY) break;
    OSV1_Sleep(1);
  }
  // The reply's text (GETPORT's type and port, PING's start time) fills the message.
  const char *insert = reply[0] != '\0' ? reply : operand ? operand : "-";
  Text(resultText, resultSize, QDVP_ConsoleResultMessage(code, rc), insert);
  return rc;
}
