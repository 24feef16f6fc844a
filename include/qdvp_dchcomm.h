// The data provider's side of the agent link: the DCH communication block, the request
// operations, the transport, the DCH client and receive tasks and the queues that feed them.
//
// Who calls what:
//   - Every task asks for a request through the one request path, QDVP_Request
//     (include/qdvp_request.h), with a verb and a retry policy; only that path and the delayed
//     offline queue call the queue underneath, QDVP_EnqueueSourceToDCH and
//     QDVP_QueueAndWaitDCHstatus (tests/layering/check_request_path.sh checks it).
//   - Only the DCH client task calls the request operations (QDVP_DoDP*) and the transport's
//     connect and disconnect; it sends every request but one kind: a requester's plain row,
//     one row in flight over TCP, which the requester sends itself while the client waits for
//     work with nothing else under way (QDVP_SendOwnRow). Only the receive task calls the
//     transport's receive.
//   - QDVP_ConstructRegistrationBuffer and QDVP_DecodeDCHstream are pure enough for any thread.
//
// The connection block's fields are grouped by what guards them; the lock order, with the
// queues' locks (the delayed offline queue, the DCH wait queue, the client's work queue), is
// the table in include/qdvp_anchor.h.
#pragma once

#include <netinet/in.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <atomic>
#include <deque>
#include <string>
#include <vector>

#include "qdvp_agentlink.h"
#include "qdvp_model.h"
#include "qdvp_services.h"

enum {
  QDVP_DCH_REQUEST_BUFFER = 512,
  QDVP_DCH_RECEIVE_BUFFER = 4096,
  QDVP_DCH_SEND_PIECE = 32767,
  // Receive modes of DCHcomm.
  QDVP_DCH_MODE_UDP = 1,
  QDVP_DCH_MODE_TCP = 2,
  QDVP_DCH_MODE_UDP_KEPT = 3,
  // Transport error words.
  QDVP_DCH_ERR_RESET = 131,
  QDVP_DCH_ERR_TIMEOUT = 11,
  QDVP_DCH_ERR_INVALID = 95,
  // Seconds between tries of a UDP fall-back link that has not heard from the agent yet.
  QDVP_DCH_PROBE_SECONDS = 5,
};

// One connection to the DCH, owned by the DCH client task.
struct DCHcomm {
  // Locks and conditions, made by the client before the block is published (their places in
  // the order: include/qdvp_anchor.h).
  // Held by the receive task for its whole life.
  OSV1_LOCK ReceiveMutex QDVP_ACQUIRED_AFTER(DPAB::SelectLock)
      QDVP_ACQUIRED_BEFORE(MemMetafile::Lock);
  OSV1_COND ReceiveCond;
  // The connection's socket and address: held while the client connects and while a request
  // is sent (released before its status is waited for), and by the receive task while it
  // lets go of the socket.
  OSV1_LOCK LinkLock QDVP_ACQUIRED_AFTER(SMBlock::Lock) QDVP_ACQUIRED_BEFORE(DCHcomm::StatusMutex);
  // With StatusCond: the status hand-over from the receive task, and the window.
  OSV1_LOCK StatusMutex QDVP_ACQUIRED_AFTER(DCHcomm::LinkLock)
      QDVP_ACQUIRED_BEFORE(DPAB::ProcessListLock);
  OSV1_COND StatusCond;

  // Constant after the client made the block.
  DPAB *pDPAB;
  int ReplyWaitSeconds;  // QDVP_DCH_REPLY_WAIT

  // Under StatusMutex: the receive task stores what a status reply carries (its handle and
  // the window the agent allows) and clears Pending; the client sets Pending at each send and
  // waits on StatusCond. A new connection waits (on StatusCond) until the previous receive
  // task has ended (ReceiverRunning) before it opens its sockets.
  int Pending QDVP_GUARDED_BY(StatusMutex);  // 1 from send until the status arrived
  unsigned char ReplyHandle[4] QDVP_GUARDED_BY(StatusMutex);
  uint32_t ReplyWindow QDVP_GUARDED_BY(StatusMutex);
  int ReceiverStarted QDVP_GUARDED_BY(StatusMutex);  // the receive task's start signal
  int ReceiverRunning QDVP_GUARDED_BY(StatusMutex);  // from its creation until it ends
  // A row the client sent without waiting for its status (QDVP_DCHsendHandOff): the receive
  // task settles it for its requester when the status is 0 and hands it back to the client
  // otherwise; the client sends nothing else until it is settled (QDVP_AwaitHandOff), and
  // takes it back itself when no status comes within the reply wait. HandOffSince is when it
  // went (monotonic seconds).
  SourceEntry *pHandOff QDVP_GUARDED_BY(StatusMutex);
  long HandOffSince QDVP_GUARDED_BY(StatusMutex);
  // 1 while the client waits for work with its pass done: only then may a requester send its
  // own plain row (QDVP_DCHsendOwnRow), which it leaves handed off as the client would. The
  // client clears it as it wakes, before it looks for a row handed off, so it never sends
  // beside a requester's row.
  int ClientIdle QDVP_GUARDED_BY(StatusMutex);

  // Read by the receive task and by producers without a lock.
  std::atomic<int> ReceiveMode;  // 1 UDP, 2 TCP, 3 UDP kept after registration
  std::atomic<int> Socket;       // 0 when there is none
  std::atomic<int> Status;
  std::atomic<uint32_t> ReceiveCount;  // receives so far (statistics)
  std::atomic<int> Heard;  // 1 once the agent answered on this connection (receive task)

  // The client task's own: the agent's address, the request being built, its number (for
  // traces), whether a TCP connection was made in this run and when TCP was last tried, and
  // the window (our addition): the rows a source may keep in flight, as asked for
  // (QDVP_DCH_WINDOW) and as the agent allowed in its reply to a registration (0: one row at a
  // time, as the agent link always was).
  struct sockaddr_in DCHaddr;
  unsigned char RequestBuffer[QDVP_DCH_REQUEST_BUFFER];
  int RequestNumber;
  int TCPseen;
  time_t LastTCPtry;
  // Connections made so far: each new one is told again which sources wait for actions (the
  // agent knows that per connection).
  uint32_t Connections;
  int WantedWindow;
  int Window;
  // The rows in flight (qdvpwind.cpp), under StatusMutex like the statuses that settle them.
  struct DCHwindow *pWindow QDVP_PT_GUARDED_BY(StatusMutex);
};

// What the agent link asks of the subsystems above it while it serves a request. Record
// processing installs the row services at start-up (QDVP_InstallRecordServices); the action
// subsystem installs the reply. A service that is not installed is skipped: a row is then sent
// as parsed (no formulas), a summarized source as a plain row, and an action reply is dropped
// with a trace.
struct DCHservices {
  // Gives the derived attributes of a row about to be sent their values (formulas, derive
  // functions); called under the source's attribute lock (QDVP_EvaluateFormulas says so
  // for the compiler).
  void (*EvaluateDerived)(SourceEntry *source);
  // Sends a summarized source's due summary rows (QDVP_SendDataRowLocked for each row).
  int (*SummaryOutput)(SourceEntry *source, DCHcomm *comm);
  // Writes the row to the batch output file (stand-alone runs).
  int (*BatchOutput)(SourceEntry *source);
  // Drops what record processing keeps of a source's past rows when it goes offline: the
  // per-key copies that rates compare with, and the summary collected so far.
  void (*DropRowState)(SourceEntry *source);
};

// The window: rows sent without waiting for their status (qdvpwind.cpp). The agent answers in
// order, so the receive task gives each status to the oldest row still without one; a
// synchronous request is sent only when every row in flight has its status, so a status is
// never taken for the wrong request. Rows are kept until their status is 0; a row answered
// otherwise, or whose connection was lost, is sent again by the client, in order, after the
// recovery its status asks for.
struct DCHinFlight {
  SourceEntry *source;  // null once the source was released
  std::string bytes;    // the data message as sent
  int32_t status;
  time_t sentAt;
  uint32_t number;  // its number in the source's row stream
};
// Creates and frees the window of a connection block (client task).
void QDVP_OpenDCHwindow(DCHcomm *comm);
void QDVP_CloseDCHwindow(DCHcomm *comm);
// True when the link takes rows in a window now (TCP, connected, the agent took a window).
bool QDVP_WindowedLink(const DCHcomm *comm);
// True when the source's next row may go out in the window rather than one at a time.
bool QDVP_WindowedSource(const DCHcomm *comm, const SourceEntry *source);
// Receive task: gives status to the oldest row in flight without one; false when no row waits.
bool QDVP_TakeWindowStatus(DCHcomm *comm, int32_t status);
// Receive task, as its connection ends: every row still without a status gets status.
void QDVP_LoseWindowRows(DCHcomm *comm, int32_t status);
// Client: settles the rows answered 0 and waits for room in the window; false when the oldest
// row has failed, and the window must be recovered first.
bool QDVP_WindowRoom(DCHcomm *comm);
// The rows the window can take now without waiting; -1 when a row in it failed (what comes
// next is held behind it). Client task.
int QDVP_WindowSpace(DCHcomm *comm);
// The rows of the window sent and still without a status (any thread, without a lock: a look
// that may be a status behind).
size_t QDVP_WindowUnanswered(DCHcomm *comm);
// Moves the first n rows of from into the window under one hold of the status mutex, sent
// (their bytes go out next, in the caller's send) or held behind a failed one, to be sent again
// by the recovery; rows whose source was released are dropped. The byte buffers of the rows
// the agent took since are handed to spares (when not null), to be built into again. Client
// task.
void QDVP_KeepWindowRows(DCHcomm *comm, std::deque<DCHinFlight> *from, size_t n, bool held,
                         std::vector<std::string> *spares);
// Client: sends a built data message in the window and keeps it until its status arrives.
void QDVP_SendWindowRow(SourceEntry *source, DCHcomm *comm, const unsigned char *message,
                        size_t length);
// Client, once the window is drained behind a failed row: holds a built data message, unsent,
// as answered "send again", so that the recovery sends it after the rows before it.
void QDVP_HoldWindowRow(SourceEntry *source, DCHcomm *comm, const unsigned char *message,
                        size_t length);
// Client: waits until every row in flight has its status (renewing a connection that stays
// silent beyond the reply wait); returns the number of rows held.
size_t QDVP_DrainWindow(DCHcomm *comm);
// Client: the oldest row held, answered (true), or nothing held (false); and its removal.
bool QDVP_WindowFront(DCHcomm *comm, DCHinFlight *front);
void QDVP_PopWindowFront(DCHcomm *comm);
// True when a row held has failed (the client recovers even without new work).
bool QDVP_WindowNeedsRecovery(DCHcomm *comm);
// A source being released: its rows in flight are forgotten.
void QDVP_ForgetWindowSource(DCHcomm *comm, SourceEntry *source);
// True when the window holds no row at all (under the status mutex).
bool QDVP_WindowEmptyLocked(DCHcomm *comm) QDVP_REQUIRES(comm->StatusMutex);

// Incremental reassembly of the byte stream from the DCH into whole messages.
struct DCHstream {
  unsigned char *pResidual;  // bytes of an incomplete message, or null
  size_t ResidualLength;
  size_t ResidualCapacity;
};

// What the decoder reports for each message (the receive task stores statuses and queues
// actions; tests and the fuzzer count).
struct DCHdecoded {
  int Kind;  // 1 status, 2 provide action, 0 unsupported
  int32_t Status;
  int HasHandle;
  unsigned char Handle[4];
  int HasWindow;  // a status reply with the window the agent allows
  uint32_t Window;
  uint32_t ActionType;
  uint32_t ActionId;
  int ActionFieldCount;
  const unsigned char *pNode, *pName, *pParm, *pOwner;
  size_t NodeLen, NameLen, ParmLen, OwnerLen;
  int UnknownFields;
};
typedef void (*QDVP_DCH_MESSAGE_SINK)(const DCHdecoded *message, void *context);
// Makes an action entry of a provide-action request and queues it to the automation server
// (qdvpaent.cpp); the receive task's only work for an action.
void QDVP_ReceiveProvideAction(DPAB *anchor, const DCHdecoded *message);

// Messages (qdvpcrbf, qdvpdpda, qdvpdpon, qdvpdsnd).
unsigned char *QDVP_ConstructRegistrationBuffer(ApplEntry *application);
void QDVP_DoDPregister(SourceEntry *source, DCHcomm *comm);
void QDVP_DoDPonline(SourceEntry *source, DCHcomm *comm);
void QDVP_DoDPdata(SourceEntry *source, DCHcomm *comm);
// The same for the client's plain rows: the row may be handed off (QDVP_DCHsendHandOff), and
// a row handed back is settled here with its status. True when handed off.
bool QDVP_DoDPdataOrHandOff(SourceEntry *source, DCHcomm *comm);
// The data request for a caller that already holds the source's attribute lock (the summary
// output, which sends several rows under it).
bool QDVP_SendDataRowLocked(SourceEntry *source, DCHcomm *comm, bool mayHandOff = false)
    QDVP_REQUIRES(source->AttrLock);
// The data request on a link with a window: the row, numbered in the source's row stream, goes
// out without waiting for its status and is held in the window until it comes. A row built
// behind a failed one (held) is not sent but kept for the window's recovery.
void QDVP_SendDataRowInWindow(SourceEntry *source, DCHcomm *comm, bool held = false);
// Builds the source's row, with its place in the row stream, into row (bytes, source, number)
// and consumes its values; false when there is nothing to send. For a producer that leaves its
// own row in the outbox.
bool QDVP_BuildStampedRow(SourceEntry *source, DPAB *anchor, DCHinFlight *row)
    QDVP_REQUIRES(source->EntryLock);

// Where the handle of a data message sits: after the length word and the request code field
// (a row sent again carries its source's handle of the moment).
constexpr size_t kDataHandleOffset =
    QDVP_WIRE_LENGTH_WORD + QDVP_WIRE_FIELD_HEADER + 2 + QDVP_WIRE_FIELD_HEADER;

// The outbox (qdvpwout.cpp): rows that producers built themselves while their source was
// Active on a link with a window, for the client to put into the window and send together.
// Opened and closed by the client task with its connection block.
void QDVP_OpenDCHoutbox(DPAB *anchor, DCHcomm *comm);
void QDVP_CloseDCHoutbox(DPAB *anchor);
// The client says, before each round, whether the link takes rows in a window now (then at
// most the window's size of rows wait in the outbox) or not (producers go through the queue).
void QDVP_SetOutboxWindow(DPAB *anchor, int window);
// A producer's row of an online source (Active or Input): built and left in the outbox, the
// client woken when it was empty. False when the row must go the usual way (no window, another
// request under way, a summary, the DP log): nothing was consumed then.
bool QDVP_PostRow(DPAB *anchor, SourceEntry *source, ProcessEntry *producer);
// Rows wait in the outbox (for the client's wait).
bool QDVP_OutboxPending(DPAB *anchor);
// Client task: moves the waiting rows into the window in their order and sends them, several
// in one send, waiting for statuses while the window is full; behind a failed row, or with no
// window on the link any more, they are held for the recovery to send again.
void QDVP_FlushOutbox(DCHcomm *comm);
// The receive task gave rows their status and unanswered rows are left without one:
// producers waiting for room look again once half the window is free.
void QDVP_OutboxStatusCame(DPAB *anchor, size_t unanswered);
// A source about to be freed: its rows in the outbox are dropped.
void QDVP_ForgetOutboxSource(DPAB *anchor, SourceEntry *source);
// A row of the window got its final status (taken, or not taken for good): producers waiting
// for their rows to settle look again.
void QDVP_OutboxRowSettled(DPAB *anchor);
// True while a row of source is in the window without its final status: not answered yet, or
// answered otherwise than 0 and waiting for the recovery (under the status mutex).
bool QDVP_WindowHoldsSource(DCHcomm *comm, const SourceEntry *source);
// Installs the services of the subsystems above the agent link (null fields: none).
void QDVP_SetDCHservices(const DCHservices *services);
const DCHservices *QDVP_GetDCHservices();
void QDVP_DoDPoffline(SourceEntry *source, DCHcomm *comm);
void QDVP_DoDPunregister(SourceEntry *source, DCHcomm *comm);
void QDVP_DoDPwaitForAction(SourceEntry *source, DCHcomm *comm, int waitCode);
// The same for a node name (the source's node name, copied while the source was at hand).
void QDVP_DoDPwaitForNode(const char *node, int requestNumber, DCHcomm *comm, int waitCode);
void QDVP_DCHsendAndReceive(int length, unsigned char *message, DCHcomm *comm, int noWait);
// The agent asked for the request again (status 7) and it is sent again: not once the data
// provider ends, or an agent that keeps asking would hold its shutdown for good (the request
// then ends with status 7).
bool QDVP_DCHsendAgain(DCHcomm *comm);
void QDVP_CheckDCHstatus(DCHcomm *comm) QDVP_RELEASE(comm->LinkLock);
// The wait of QDVP_CheckDCHstatus, cut short after seconds when positive.
void QDVP_WaitDCHstatus(DCHcomm *comm, int seconds) QDVP_RELEASE(comm->LinkLock);
void QDVP_SignalDCHreceiveStatus(DCHcomm *comm);
// Sends a plain row (one row in flight, over TCP) and leaves its status to the receive task,
// so that the row's requester is woken by the task that reads the status, not by the client
// after a wake-up of its own: true when the row went that way (the client must not touch the
// source again but let go of the hold it takes here for itself, and the request is ended by
// the receive task or handed back). False when it was sent and waited for as
// QDVP_DCHsendAndReceive does (not TCP, the status came at once, the send failed).
bool QDVP_DCHsendHandOff(int length, unsigned char *message, DCHcomm *comm, SourceEntry *source)
    QDVP_REQUIRES(source->AttrLock);
// Waits until no row is handed off (the client calls it before anything it sends); a row
// without a status within the reply wait is taken back with status -2 on a new connection,
// as a request that timed out. True when a row was outstanding.
bool QDVP_AwaitHandOff(DCHcomm *comm);
// True while a row is handed off.
bool QDVP_HandOffOutstanding(DCHcomm *comm);
// The client says that it waits for work with its pass done (true), or that it woke (false).
void QDVP_SetClientIdle(DCHcomm *comm, bool idle);
// True when a requester may send its own row now: the client waits for work with nothing
// queued, no request under way and no row handed off or in the window, on a live TCP
// connection without a window, and the data provider does not end. A look, for a requester
// about to build its row; QDVP_DCHsendOwnRow looks again under the link lock.
bool QDVP_LinkFreeForOwnRow(DCHcomm *comm);
// What became of a requester's own row (QDVP_DCHsendOwnRow).
enum class OwnRowSend {
  NotSent,    // the link was not free, or its send would have waited: nothing went
  HandedOff,  // sent, and handed off as the client hands off its rows (or already handed back)
  Broken,     // part of it went before the send failed: the row's connection is lost
};
// A requester sends its source's built row itself, under the link lock, when the link is free
// (as QDVP_LinkFreeForOwnRow) and the send needs no wait before its first byte; the row is
// then handed off, and the receive task settles it (status 0) or hands it back to the client
// (any other status, a lost connection), or the client takes it back when no status comes
// within the reply wait. Never connects nor disconnects.
OwnRowSend QDVP_DCHsendOwnRow(DCHcomm *comm, SourceEntry *source, const unsigned char *message,
                              int length) QDVP_REQUIRES(source->AttrLock);
// The requester's side of a row it sends itself: a source in state Output, queued (its
// enqueued word 1, the client's hold taken), whose row is built and sent from the requester's
// own thread when the link is free. True when it went (its request is then the receive task's
// or the client's to end, as for a row the client handed off); false when nothing was sent and
// the source is to be queued to the client as usual.
bool QDVP_SendOwnRow(DPAB *anchor, SourceEntry *source);
// What the client does with a row the agent took (status 0) once its status came, done by the
// receive task for a row handed off: its values consumed, the source Active, the request ended
// for its requester, the client's hold let go.
void QDVP_FinishHandedOffRow(SourceEntry *source);
// Gives a handed-off row whose status was not 0 back to the client, with that status, on its
// work queue (or ends its request when the client is gone).
void QDVP_HandBackRow(DPAB *anchor, SourceEntry *source, int status);
// The size of a source's output buffer.
int QDVP_ComputeDCHbufferSize(SourceEntry *source) QDVP_REQUIRES(source->AttrLock);

// Character tables (qdvpcnvt).
extern const unsigned char ascii_to_ebcdic[128];
extern const unsigned char ebcdic_to_ascii[256];
void QDVP_ConvertBufferToNetwork(char *buffer, int length);
void QDVP_ConvertBufferToLocal(char *buffer, int length, int flag);

// Transport (qdvpdiok).
int QDVP_TCPIP_WaitDCHcomeOnline(DCHcomm *comm);
int QDVP_TCPIP_HandleDCHdisconnect(DCHcomm *comm);
int QDVP_TCPIP_DCHreceive(DCHcomm *comm, void *buffer, int size, int *error);
int QDVP_TCPIP_DCHsend(DCHcomm *comm, const void *message, int length, int *error);
int QDVP_TCPIP_DCHsendNow(DCHcomm *comm, const void *message, int length, int *error);
// Shuts the connection down and waits until its receive task (which closes the socket) ended.
void QDVP_DropDCHconnection(DCHcomm *comm);
// Between batches: a link that fell back to UDP after it had TCP in this run (the agent was
// restarted, or was away for a moment) tries TCP again, every QDVP_DCH_PROBE_SECONDS at most,
// so it returns to TCP as soon as the agent offers it. Client task only.
void QDVP_ReturnToTCP(DCHcomm *comm);

// Receive task and decoder (qdvpdchr).
void *QDVP_DCHreceiveDataTask(void *comm);
// Feeds received bytes; calls sink for every complete message. Returns 0, or -1 when the
// stream is broken (a length word below 4 or above the largest message): the caller drops
// the connection. Residual bytes never exceed the largest message.
int QDVP_DecodeDCHstream(DCHstream *stream, const unsigned char *data, size_t length,
                         QDVP_DCH_MESSAGE_SINK sink, void *context);
void QDVP_DecodeDCHmessage(const unsigned char *message, size_t length, DCHdecoded *out);
void QDVP_ResetDCHstream(DCHstream *stream);

// Client task and queues (qdvpdchc, qdvpwdol).
void QDVP_DCHclientRoutine(ProcessEntry *entry);
int QDVP_RemoveSourceFromWaitQueue(DPAB *anchor, SourceEntry *source);
// The copy of source on the delayed offline queue (same table and identity), unchained, or null.
SourceEntry *QDVP_TakeWaitQueueCopy(DPAB *anchor, SourceEntry *source);

// Makes client the DCH client and hands it the DCH wait queue; returns how many it got.
int QDVP_PublishDCHclient(DPAB *anchor, ProcessEntry *client);
// Takes source off the DCH wait queue (its application is being released); 1 when it was there.
int QDVP_RemoveSourceFromDCHqueue(DPAB *anchor, SourceEntry *source);
// Ends the source's request for its requester: the enqueued word goes to 0 and a requester
// sleeping on it is woken. The caller still holds the source; nothing of the requester is touched.
void QDVP_EndDCHrequest(SourceEntry *source);
// Queues a source to the client and waits until the client has finished its request (or the
// data provider shuts down). Callers outside the agent link use QDVP_Request.
int QDVP_QueueAndWaitDCHstatus(DPAB *anchor, ProcessEntry *requester, SourceEntry *source);
// The last request sequence number handed out.

// How long a row's hand-offs look for their answer before they sleep on their condition, in
// microseconds: the producer waiting for its request to be finished (a loopback round trip is
// shorter than a sleep and a wake-up on a virtual machine) and the client, after a batch,
// waiting for the producer's next request. QDVP_SPIN_WAIT_US replaces both (0: sleep at once).
constexpr long kRequestSpinMicros = 100;
constexpr long kQueueSpinMicros = 50;
