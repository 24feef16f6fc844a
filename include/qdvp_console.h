// The operator console: the console communication area, the command table, the console I/O
// task and the console service, the SHOW reply, and the numbered console messages.
//
// Three parties meet in the communication area (anchor->pConsoleBlock): the console I/O task,
// which receives one command datagram at a time on the console port; take-action workers,
// which hand over console commands of their own; and the console service, which runs in the
// data provider's main thread and carries the commands out one at a time.
//
// The hand-over: under Mutex the giver sets Status to 99 (busy), stores the requester and the
// command buffer (pCommandBuffer, whose ownership passes to the service) and signals Cond. The
// service takes the buffer out under Mutex and EntryLock, releases EntryLock once CommandCode
// is stored, and sets Status to the result code when the command is done. While Status is 99
// the I/O task answers every further datagram at once with "7 code" and take actions wait.
//
// Mutex, then EntryLock, both before every other lock (include/qdvp_anchor.h); neither is
// held while a command runs.
//
// Status and CommandCode are atomics: the I/O task reads them without the mutex to answer
// "99 " and "7 code". The console sockets belong to the area: the I/O task opens them, the
// service closes them when it frees the area, after its last reply.
//
// Authentication (include/qdvp_consauth.h): the I/O task opens the seal of each datagram it
// hands over and stores what it found in Authentication, with the command text alone in the
// buffer; take actions store QDVP_AUTH_AGENT. The service refuses a command that needs a key
// (QDVP_ConsoleCommandNeedsKey) from a requester whose Authentication is not QDVP_AUTH_GOOD.
// The key and the nonces already seen belong to the I/O task alone.
#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <atomic>

#include "qdvp_anchor.h"

enum {
  QDVP_CONSOLE_BUFFER_SIZE = 1600,  // command buffer and receive size
  QDVP_CONSOLE_BUSY = 99,           // status while a command runs
  QDVP_CONSOLE_REJECTED = 7,        // answer to a command that arrives while one runs
  QDVP_CONSOLE_BUSY_NOTICE = 15,    // seconds between "99 " notices to a waiting requester
  QDVP_SHOW_BUFFER_STEP = 1000,     // SHOW reply buffer size and growth
  QDVP_SHOW_BUFFER_RESERVE = 50,    // a new part starts when less than this remains
  QDVP_MAX_CONSOLE_SOCKETS = 4,     // the console port and, for ASFS, three more
};

// Command codes: the index in ConCommandString.
enum ConsoleCommand {
  QDVP_CMD_GETPORT = 0,
  QDVP_CMD_CHECK = 1,
  QDVP_CMD_DELETE = 2,
  QDVP_CMD_IMPORT = 3,
  QDVP_CMD_REFRESH = 4,
  QDVP_CMD_SHOW = 5,
  QDVP_CMD_LIST = 6,
  QDVP_CMD_SHUTDOWN = 7,
  QDVP_CMD_PING = 8,
  QDVP_CMD_ACCEPT = 9,
  QDVP_CMD_TRAPCNFG = 10,
  QDVP_CMD_SET = 11,
  QDVP_CMD_LOADCOMM = 12,
  QDVP_CMD_LOADNAME = 13,
  QDVP_CMD_LOADLIST = 14,
  QDVP_CMD_VALIDATE = 15,
  QDVP_CMD_UNPACK = 16,
  QDVP_CMD_STATS = 17,  // the statistics text of the period that ends now (DP log 36)
  QDVP_CMD_COUNT = 18,  // also the code of a word that is no command
};

// Result codes sent back to the requester.
enum ConsoleResult {
  QDVP_CON_OK = 0,
  QDVP_CON_INVALID = 1,
  QDVP_CON_NO_APPL = 2,
  QDVP_CON_NOT_DEFINED = 3,
  QDVP_CON_DEFINED = 4,
  QDVP_CON_META_ERROR = 5,
  QDVP_CON_AGENT_KNOWS = 6,
  QDVP_CON_META_NOT_FOUND = 8,
  QDVP_CON_NO_REPLY = 9,
  QDVP_CON_NOT_SNMP = 10,
  QDVP_CON_UNAVAILABLE = 11,  // an SNMP file reload the data provider cannot carry out
  QDVP_CON_SNMP_APPL = 12,
  QDVP_CON_PACKAGED = 13,
  QDVP_CON_NOT_AUTHENTICATED = 14,  // the command needs a valid seal and had none
  QDVP_CON_LIST_NOT_LOADED = 60,
};

// How the command handed over was authenticated: what its datagram's seal showed.
enum ConsoleAuthentication {
  QDVP_AUTH_NONE = 0,       // no seal
  QDVP_AUTH_GOOD = 1,       // sealed with the key, in time, its nonce new
  QDVP_AUTH_MALFORMED = 2,  // the seal word, but fields that are no seal
  QDVP_AUTH_WRONG = 3,      // a digest that does not match: another key or a changed text
  QDVP_AUTH_STALE = 4,      // a stamp outside the window around the data provider's clock
  QDVP_AUTH_REPLAYED = 5,   // a nonce seen within the window
  QDVP_AUTH_NO_KEY = 6,     // the data provider has no usable key file
  QDVP_AUTH_AGENT = 7,      // a take action: the agent's own command, no datagram
};

// The console communication area, one per data provider. Published in the anchor's
// pConsoleBlock under its StateMutex; a take action's worker that hands a command over holds
// the area (Holds) while it uses it, and the console service frees it only once none does.
struct ConsoleBlock {
  // Released only once every task that took a hold let go (docs/architecture.md, "Lifetimes").
  OSV1_HOLDS Holds;

  // The hand-over (the fields below).
  OSV1_LOCK Mutex QDVP_ACQUIRED_BEFORE(ConsoleBlock::EntryLock);
  OSV1_COND Cond;  // signalled at each hand-over and at the I/O task's start and end
  // Held while the service takes a command out of the area.
  OSV1_LOCK EntryLock QDVP_ACQUIRED_AFTER(ConsoleBlock::Mutex)
      QDVP_ACQUIRED_BEFORE(DPAB::SelectLock);

  // Constant after the service made the area.
  int BufferSize;  // QDVP_CONSOLE_BUFFER_SIZE

  // Under Mutex: the command handed over (owned by the service once taken), its requester (the
  // socket the command arrived on, or the type for a take action), whether there is anyone to
  // reply to and where replies go, how it was authenticated (ConsoleAuthentication), and the
  // I/O task's end.
  char *pCommandBuffer QDVP_GUARDED_BY(Mutex);
  int Requester QDVP_GUARDED_BY(Mutex);
  int HasRequesterAddr QDVP_GUARDED_BY(Mutex);  // 0 for a take action
  struct sockaddr_in RequesterAddr QDVP_GUARDED_BY(Mutex);
  int Authentication QDVP_GUARDED_BY(Mutex);
  int IOended QDVP_GUARDED_BY(Mutex);
  // A take action's room for the reply text and the result code of its own command (null for
  // the operator's commands, whose replies are datagrams): set with the command and taken with
  // it by the service, which fills the text, then stores the code (release) and never touches
  // either again. The action waits for its own code, not for Status: once the console is free
  // another command may have been handed over and finished before the action looks, and
  // Status would then be that command's.
  char *pActionReply QDVP_GUARDED_BY(Mutex);
  int ActionReplySize QDVP_GUARDED_BY(Mutex);
  std::atomic<int> *pActionResult QDVP_GUARDED_BY(Mutex);

  // Read without the mutex (the I/O task answers "99 " and "7 code" from them).
  std::atomic<int> CommandCode;  // code of the command being processed, -1 before the first
  std::atomic<int> Status;       // 99 while a command runs, else the last result code
  std::atomic<long> IOthreadID;  // the I/O task's thread, -1 until it has started

  // The I/O task's own while it runs (the service closes them after the task has ended): the
  // console socket (-1 when none), its port in network byte order, and for ASFS the sockets
  // of base, base + 2 and base + 1 (or -1).
  int Socket;
  uint16_t Port;
  int ExtraSockets[QDVP_MAX_CONSOLE_SOCKETS - 1];
};

extern const char *const ConCommandString[QDVP_CMD_COUNT];

// The console service (qdvpsrcc.cpp); see qdvp_services.h.
// Sends a reply to the command's requester: replyBuffer holds "code " followed by text; a
// SHOW reply (showReply nonzero) is split at '@' into one datagram per part.
void QDVP_SendConsoleReply(DPAB *anchor, const char *replyBuffer, const char *text, int showReply);

// The console I/O task (qdvpcmdk.cpp).
void QDVP_SockConsoleSupport(ProcessEntry *entry);
void QDVP_RPCConsoleSupport(ProcessEntry *entry);

// Commands (qdvpccmd.cpp).
// Splits a command buffer in place at blanks: returns the command word, or null for a buffer
// without one, and sets *operand to the second word or null. Further words are ignored.
char *QDVP_SplitConsoleBuffer(char *buffer, char **operand);
// Upper-cases word in place and returns its code, QDVP_CMD_COUNT when it is no command.
int QDVP_ValidateConsoleCommand(char *word);
// Carries out one command for the service: fills *reply (new storage, or null for a reply
// without text) and *showReply, and returns the result code. hasRequester is 0 for a take
// action. fileServer is the routine the console service was given.
int QDVP_ProcessConsoleCommand(DPAB *anchor, ConsoleBlock *area, int code, const char *operand,
                               int hasRequester, QDVP_TASK_ROUTINE fileServer, char **reply,
                               int *showReply);

// The application an operand names: an application or metafile name as given, or a name
// without a directory joined to the metafile directory; null when none is defined.
ApplEntry *QDVP_LocateConsoleApplication(DPAB *anchor, const char *operand);

// Take actions (qdvpcact.cpp): runs the console command of a take action through the console
// service once it is free and returns its result code (-1 for a command a take action may not
// run); resultText (resultSize bytes) gets the console message for the action's result. For
// SHUTDOWN it returns 0 as soon as the command is handed over.
int QDVP_RunConsoleCommandForAction(DPAB *anchor, const char *commandText, char *resultText,
                                    int resultSize);

// The SHOW reply (qdvpcshw.cpp): the application's definition in new storage, its parts
// separated by '@', each starting with its part code (2 single, 1 first, 0 middle, 3 last).
char *QDVP_ConstructShowReply(ApplEntry *application);
// Grows a SHOW reply buffer by QDVP_SHOW_BUFFER_STEP bytes and starts a new part in it;
// returns the new size, or 0 when storage is exhausted (the buffer is then unchanged).
int GetBiggerBuffer(char **buffer, int size);

// Console messages (qdvpcmsg.cpp, also compiled into the qdvp program).
enum { QDVP_CONSOLE_MESSAGE_COUNT = 62 };
extern const char *const ConsoleMessage[QDVP_CONSOLE_MESSAGE_COUNT];
// Writes console message number to standard output, filled with insert.
void QDVP_ShowConsoleMessage(int number, const char *insert);
// The same text into buffer (size bytes, at most 256 used); returns buffer.
char *QDVP_FormatConsoleMessage(int number, const char *insert, char *buffer, int size);
// The console message that explains result code rc of the command with code command.
int QDVP_ConsoleResultMessage(int command, int rc);
// 1 for a command that changes the data provider or reads files (IMPORT, REFRESH, DELETE,
// SHUTDOWN, ACCEPT, STATS, SET, TRAPCNFG, the LOAD commands, VALIDATE, UNPACK): an operator's
// datagram must carry a valid seal for it. 0 for GETPORT, CHECK, SHOW, LIST, PING and words
// that are no command.
int QDVP_ConsoleCommandNeedsKey(int code);
// The few words that say why an authentication failed (ConsoleAuthentication), for the reply.
const char *QDVP_ConsoleAuthenticationText(int authentication);
