// The data provider's side of the agent link: the DCH communication block, the request
// operations, the transport, the DCH client and receive tasks and the queues that feed them.
//
// Who calls what:
//   - Any task queues a source for the client with QDVP_EnqueueSourceToDCH, or queues it and
//     waits for the outcome with QDVP_QueueAndWaitDCHstatus (the source's new state tells it).
//   - Only the DCH client task calls the request operations (QDVP_DoDP*) and the transport's
//     connect, disconnect and send; only the receive task calls the transport's receive.
//   - QDVP_ConstructRegistrationBuffer and QDVP_DecodeDCHstream are pure enough for any thread.
//
// Which lock guards what (see also include/qdvp_anchor.h):
//   DCHcomm::LinkLock       the block's Socket, Status and ReplyHandle while a request is being
//                           sent or its status stored
//   DCHcomm::StatusMutex    Pending, ReceiverStarted, ReceiverRunning
//   DCHcomm::ReceiveMutex   held by the receive task for its whole life
//   A new connection waits (on StatusCond) until the previous receive task has ended before
//   it opens its sockets. StatusMutex is held only around these flags and the waits on
//   StatusCond.
//   DPAB::WaitQueueLock     the delayed offline queue (pWaitQueue, chained by pWaitNext)
//   DPAB::DCHqueueLock      the DCH wait queue (pDCHqueue, chained by pDCHnext)
//   client entry's Lock1    the client's work queue (SourceEntry::DCHwork links)
// Lock order in the client: a source's Lock4 (entry lock) -> LinkLock -> StatusMutex; an
// application's TableListLock -> a table's SourceListLock; WaitQueueLock and DCHqueueLock alone.
#pragma once

#include <netinet/in.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "qdvp_agentlink.h"
#include "qdvp_model.h"

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
};

// One connection to the DCH, owned by the DCH client task.
struct DCHcomm {
  DPAB *pDPAB;
  std::atomic<int> ReceiveMode;  // 1 UDP, 2 TCP, 3 UDP kept after registration
  std::atomic<int> Socket;       // 0 when there is none
  struct sockaddr_in DCHaddr;
  unsigned char RequestBuffer[QDVP_DCH_REQUEST_BUFFER];
  int Pending;        // 1 from send until the status arrived (StatusMutex)
  int RequestNumber;  // for traces
  std::atomic<int> Status;
  unsigned char ReplyHandle[4];
  pthread_mutex_t StatusMutex;
  pthread_cond_t StatusCond;
  pthread_mutex_t ReceiveMutex;
  pthread_cond_t ReceiveCond;
  OSV1_LOCK LinkLock;
  int ReceiverStarted;   // the receive task's start signal (StatusMutex)
  int ReceiverRunning;   // 1 from its creation until the receive task ends (StatusMutex)
  int ReplyWaitSeconds;  // QDVP_DCH_REPLY_WAIT
  std::atomic<uint32_t> ReceiveCount;  // receives so far (statistics)
};

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
  uint32_t ActionType;
  uint32_t ActionId;
  int ActionFieldCount;
  const unsigned char *pNode, *pName, *pParm, *pOwner;
  size_t NodeLen, NameLen, ParmLen, OwnerLen;
  int UnknownFields;
};
typedef void (*QDVP_DCH_MESSAGE_SINK)(const DCHdecoded *message, void *context);

extern "C" {
// Messages (qdvpcrbf, qdvpdpda, qdvpdpon, qdvpdsnd).
unsigned char *QDVP_ConstructRegistrationBuffer(ApplEntry *application);
void QDVP_DoDPregister(SourceEntry *source, DCHcomm *comm);
void QDVP_DoDPonline(SourceEntry *source, DCHcomm *comm);
void QDVP_DoDPdata(SourceEntry *source, DCHcomm *comm);
void QDVP_DoDPoffline(SourceEntry *source, DCHcomm *comm);
void QDVP_DoDPunregister(SourceEntry *source, DCHcomm *comm);
void QDVP_DoDPwaitForAction(SourceEntry *source, DCHcomm *comm, int waitCode);
void QDVP_DCHsendAndReceive(int length, unsigned char *message, DCHcomm *comm, int noWait);
void QDVP_CheckDCHstatus(DCHcomm *comm);
void QDVP_SignalDCHreceiveStatus(DCHcomm *comm);
int QDVP_ComputeDCHbufferSize(SourceEntry *source);
// Evaluates the formulas of a source's attributes (the caller holds the attribute lock).
void QDVP_EvaluateFormulas(SourceEntry *source);
// Frees the agent link's storage of a source (its output buffer, per-key copies).
void QDVP_ReleaseSourceLinkState(SourceEntry *source);

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
// Shuts the connection down and waits until its receive task (which closes the socket) ended.
void QDVP_DropDCHconnection(DCHcomm *comm);

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
void QDVP_EnqueueSourceToDCH(DPAB *anchor, SourceEntry *source);
int QDVP_RemoveSourceFromWaitQueue(DPAB *anchor, SourceEntry *source);
// The copy of source on the delayed offline queue (same table and identity), unchained, or null.
SourceEntry *QDVP_TakeWaitQueueCopy(DPAB *anchor, SourceEntry *source);
// Queues every expired copy of the delayed offline queue for its offline (periodic scan).
void QDVP_EnqueueDelayedOffline(DPAB *anchor);
// Hands the sources of the DCH wait queue to the client (periodic scan).
void QDVP_EnqueueWaitingDCHwork(DPAB *anchor);
// The last request sequence number handed out.
extern int DCHrequestSeqNumber;
}

// How long a row's hand-offs look for their answer before they sleep on their condition, in
// microseconds: the producer waiting for its request to be finished (a loopback round trip is
// shorter than a sleep and a wake-up on a virtual machine) and the client, after a batch,
// waiting for the producer's next request. QDVP_SPIN_WAIT_US replaces both (0: sleep at once).
constexpr long kRequestSpinMicros = 100;
constexpr long kQueueSpinMicros = 50;
