// Sending one request to the DCH and waiting for its status; a row handed off to the receive
// task; a requester's own row.
//
// Every request operation ends here. The link lock is taken before the send so that the
// receive task cannot store a status for a request that is still being sent; the waiter gives
// it up before it sleeps on the status condition. The pending flag lives under the status
// mutex, which is taken after the link lock and never the other way round. A request that gets no
// status within the reply wait (QDVP_DCH_REPLY_WAIT, at most 5 seconds once a shutdown is
// requested) ends with -2, so the client can never hang on a silent agent, even over TCP.
//
// With one row in flight over TCP, a row goes out without its status being waited for: the
// client sends it and hands it off (QDVP_DCHsendHandOff), or, while the client waits for work
// with nothing else under way, its requester sends it itself (QDVP_DCHsendOwnRow) and leaves it
// handed off in the same way; the receive task settles it. The client and a requester never
// send beside each other: a requester claims the link under the status mutex only while the
// client says it is idle, with the link lock held across its send, and the client, once awake,
// sends nothing before the row handed off is settled (QDVP_AwaitHandOff).
#include <errno.h>
#include <time.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_dchcomm.h"
#include "../include/qdvp_stats.h"

static TRK1_BLOCK trk = {"qdvpdsnd"};

static void SetPending(DCHcomm *comm, int value) {
  OSV1_GetLock(&comm->StatusMutex);
  comm->Pending = value;
  OSV1_ReleaseLock(&comm->StatusMutex);
}

// Sends the request with the link lock taken and the pending flag set. When the send fails,
// both are let go, the failure is handled (a lost connection made again, status -1 or the
// disconnect's) and false is returned.
static bool SendLocked(int length, unsigned char *message,
                       DCHcomm *comm) QDVP_NO_THREAD_SAFETY_ANALYSIS {
  const DSFT *dsft = comm->pDPAB->pDSFT;
  OSV1_GetLock(&comm->LinkLock);
  SetPending(comm, 1);
  int error = 0;
  int sent = dsft->DCHsend(comm, message, length, &error);
  if (sent >= length) return true;
  SetPending(comm, 0);
  OSV1_ReleaseLock(&comm->LinkLock);
  if (error == QDVP_DCH_ERR_RESET || error == ECONNRESET || error == EPIPE) {
    dsft->HandleDCHdisconnect(comm);
  } else {
    comm->Status = QDVP_DCH_STATUS_LOCAL_FAILURE;
  }
  QDVP_TRC(trk, TRK1_ERROR, "*** DP to DCH send failed");
  return false;
}

void QDVP_DCHsendAndReceive(int length, unsigned char *message, DCHcomm *comm, int noWait) {
  QDVP_TRC_ENTRY(trk);
  const DSFT *dsft = comm->pDPAB->pDSFT;
  int replyWait = comm->ReplyWaitSeconds > 0 ? comm->ReplyWaitSeconds : 30;
  int probed = 0;
  for (;;) {
    if (!SendLocked(length, message, comm)) break;
    OSV1_LockIsHeld(&comm->LinkLock);
    if (noWait != 0) {
      SetPending(comm, 0);
      OSV1_ReleaseLock(&comm->LinkLock);
      break;
    }
    // A link that fell back to UDP because no TCP connection could be made has not shown that
    // an agent is there at all: until the agent's first answer, within the reply wait, TCP is
    // tried again and the request sent again every few seconds, so an agent that starts after
    // the data provider gets the requests that queued up meanwhile within seconds of its start.
    bool probing = comm->ReceiveMode == QDVP_DCH_MODE_UDP && comm->Heard.load() == 0 &&
                   dsft->WaitDCHcomeOnline != nullptr;
    int step = QDVP_DCH_PROBE_SECONDS;
    if (probing && replyWait - probed < step) step = replyWait - probed;
    QDVP_WaitDCHstatus(comm, probing ? step : 0);
    if (comm->Status != QDVP_DCH_STATUS_TIMED_OUT) break;
    probed += step;
    if (probing && probed < replyWait && !comm->pDPAB->ShutdownRequested) {
      QDVP_TRC(trk, TRK1_DETAIL, ">>>>> No answer from the DCH over UDP; trying TCP again");
      dsft->WaitDCHcomeOnline(comm);
      continue;
    }
    if (comm->ReceiveMode == QDVP_DCH_MODE_TCP && dsft->WaitDCHcomeOnline != nullptr) {
      // The answer may still come, late, on this connection, and nothing in a status names
      // its request: it would be taken as the next request's answer. A new connection leaves
      // it behind.
      QDVP_TRC(trk, TRK1_ERROR, ">>>>> DCH status timed out; connection renewed");
      dsft->WaitDCHcomeOnline(comm);
      comm->Status = QDVP_DCH_STATUS_TIMED_OUT;
    }
    break;
  }
  comm->RequestNumber = 0;
  QDVP_TRC_EXIT(trk, comm->Status);
}

static long MonotonicSeconds() { return static_cast<long>(QDV0_MonotonicMs() / 1000); }

bool QDVP_DCHsendHandOff(int length, unsigned char *message, DCHcomm *comm, SourceEntry *source) {
  if (comm->ReceiveMode != QDVP_DCH_MODE_TCP || comm->pDPAB->StandAlone) {
    QDVP_DCHsendAndReceive(length, message, comm, 0);
    return false;
  }
  if (!SendLocked(length, message, comm)) return false;
  OSV1_LockIsHeld(&comm->LinkLock);
  bool handed = false;
  {
    OSV1_Guard status(&comm->StatusMutex);
    // The status may have come already (it is stored without the link lock): then the row is
    // settled here as after any wait.
    if (comm->Pending) {
      // The client's own hold, for its last touches of the source after this (its locks); the
      // hold it was given with the request goes with the row.
      OSV1_AddHold(&source->Holds);
      comm->pHandOff = source;
      comm->HandOffSince = MonotonicSeconds();
      handed = true;
    }
  }
  OSV1_ReleaseLock(&comm->LinkLock);
  if (handed) QDVP_TRC(trk, TRK1_DETAIL, ">>>>> row handed off to the receive task");
  comm->RequestNumber = 0;
  return handed;
}

void QDVP_SetClientIdle(DCHcomm *comm, bool idle) {
  OSV1_Guard status(&comm->StatusMutex);
  comm->ClientIdle = idle ? 1 : 0;
}

// The link is free for a requester's own row: the client waits for work with its pass done
// and nothing queued, no request waits for its status, no row is handed off or in the window,
// the connection is TCP, live, without a window, and the data provider does not end. The
// client's own fields (the window's size) are read while it says it is idle: it changes them
// only when awake, which it says first under this same mutex.
static bool LinkFree(DCHcomm *comm) QDVP_REQUIRES(comm->StatusMutex) {
  DPAB *anchor = comm->pDPAB;
  ProcessEntry *client = anchor->pDCHclientPE.load();
  return comm->ClientIdle != 0 && comm->Pending == 0 && comm->pHandOff == nullptr &&
         client != nullptr && client->pWorkQueue.load() == nullptr && !client->Terminate &&
         !anchor->ShutdownRequested && !anchor->StandAlone &&
         comm->ReceiveMode == QDVP_DCH_MODE_TCP && comm->Socket > 0 && comm->Window <= 1 &&
         QDVP_WindowEmptyLocked(comm) && !QDVP_OutboxPending(anchor);
}

bool QDVP_LinkFreeForOwnRow(DCHcomm *comm) {
  if (comm == nullptr || comm->pDPAB->pDSFT->DCHsendNow == nullptr) return false;
  OSV1_Guard status(&comm->StatusMutex);
  return LinkFree(comm);
}

// Under the link lock, so that nothing else is sent before or into the row; the row is handed
// off before it is sent, so that its status, whenever it comes, finds it (the receive task
// takes the link lock before it tells a lost connection, and so waits for the send). A send
// that would wait sends nothing and the client sends the row by its rules; a send that fails
// leaves the row to the client as well: untouched when nothing went, or with its connection
// lost when part of it did (the receive task, seeing the connection end, may have handed it
// back already).
OwnRowSend QDVP_DCHsendOwnRow(DCHcomm *comm, SourceEntry *source, const unsigned char *message,
                              int length) {
  const DSFT *dsft = comm->pDPAB->pDSFT;
  if (dsft->DCHsendNow == nullptr) return OwnRowSend::NotSent;
  OSV1_Guard link(&comm->LinkLock);
  {
    OSV1_Guard status(&comm->StatusMutex);
    if (!LinkFree(comm)) return OwnRowSend::NotSent;
    comm->Pending = 1;
    comm->pHandOff = source;
    comm->HandOffSince = MonotonicSeconds();
  }
  int error = 0;
  int sent = dsft->DCHsendNow(comm, message, length, &error);
  if (sent >= length) {
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>> row sent by its requester, handed off to the receive task");
    return OwnRowSend::HandedOff;
  }
  OSV1_Guard status(&comm->StatusMutex);
  if (comm->pHandOff != source) return OwnRowSend::HandedOff;  // handed back already
  comm->pHandOff = nullptr;
  comm->Pending = 0;
  // The client may have woken meanwhile and wait for the row to be settled.
  OSV1_WakeAll(&comm->StatusCond, &comm->StatusMutex);
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> requester's own row not sent (%d of %d bytes, errno %d)", sent,
           length, error);
  return sent == 0 ? OwnRowSend::NotSent : OwnRowSend::Broken;
}

bool QDVP_HandOffOutstanding(DCHcomm *comm) {
  OSV1_Guard status(&comm->StatusMutex);
  return comm->pHandOff != nullptr;
}

bool QDVP_AwaitHandOff(DCHcomm *comm) {
  SourceEntry *late = nullptr;
  bool outstanding = false;
  {
    OSV1_Guard status(&comm->StatusMutex);
    while (comm->pHandOff != nullptr) {
      outstanding = true;
      // While the data provider ends, a silent agent is not waited for long.
      long limit = comm->ReplyWaitSeconds > 0 ? comm->ReplyWaitSeconds : 30;
      if (comm->pDPAB->ShutdownRequested && limit > 5) limit = 5;
      long waited = MonotonicSeconds() - comm->HandOffSince;
      if (waited >= limit) {
        QDVP_TRC(trk, TRK1_ERROR, ">>>>> DCH status not yet received, %ld", waited);
        late = comm->pHandOff;
        comm->pHandOff = nullptr;
        comm->Pending = 0;
        break;
      }
      long step = limit - waited < 3 ? limit - waited : 3;
      QDV0_ConditionWaitForTask(&comm->StatusCond, &comm->StatusMutex, step * 1000L);
    }
  }
  if (late != nullptr) {
    // As for any request that timed out on TCP: the answer may still come, late, on this
    // connection, where it would be taken for the next request's; a new one leaves it behind.
    QDVP_TRC(trk, TRK1_ERROR, ">>>>> DCH status timed out; connection renewed");
    comm->pDPAB->pDSFT->WaitDCHcomeOnline(comm);
    QDVP_HandBackRow(comm->pDPAB, late, QDVP_DCH_STATUS_TIMED_OUT);
  }
  return outstanding;
}

bool QDVP_DCHsendAgain(DCHcomm *comm) {
  if (comm->Status != QDVP_DCH_STATUS_SEND_AGAIN) return false;
  if (comm->pDPAB->ShutdownRequested) {
    QDVP_TRC(trk, TRK1_ERROR,
             ">>>>> DCH asks for the request again; not sent, the data provider ends");
    return false;
  }
  return true;
}

void QDVP_CheckDCHstatus(DCHcomm *comm) { QDVP_WaitDCHstatus(comm, 0); }

// Releases the link lock and waits until the receive task has stored the status. The wait is
// cut into 3-second steps; after the reply wait (or seconds, when positive and shorter, or 5
// seconds at shutdown) the request times out.
void QDVP_WaitDCHstatus(DCHcomm *comm, int seconds) {
  OSV1_ReleaseLock(&comm->LinkLock);
  OSV1_GetLock(&comm->StatusMutex);
  int waited = 0;
  int limit = comm->ReplyWaitSeconds > 0 ? comm->ReplyWaitSeconds : 30;
  if (seconds > 0 && seconds < limit) limit = seconds;
  while (comm->Pending) {
    // While the data provider ends, a silent agent is not waited for long.
    if (comm->pDPAB->ShutdownRequested && limit > 5) limit = 5;
    if (waited >= limit) {
      QDVP_TRC(trk, TRK1_ERROR, ">>>>> DCH status not yet received, %d", waited);
      comm->Pending = 0;
      comm->Status = QDVP_DCH_STATUS_TIMED_OUT;
      break;
    }
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Wait %d DCH status for request %d", waited,
             comm->RequestNumber);
    int step = limit - waited < 3 ? limit - waited : 3;
    int rc = QDV0_ConditionTimedWait(&comm->StatusCond, &comm->StatusMutex, step);
    if (rc != 0) waited += step;
  }
  OSV1_ReleaseLock(&comm->StatusMutex);
}

// Called by the receive task once a status is stored: clears the pending flag and wakes the
// waiting client.
// The wake-up is given after the mutex is let go, so that the client, woken on the other core,
// does not sleep once more on the mutex this task still holds; the block lives until this task
// has ended (the client waits for that before it frees it). A row handed off is settled here:
// taken (status 0), it is finished for its requester, who is woken by this task alone;
// otherwise it goes back to the client with its status.
void QDVP_SignalDCHreceiveStatus(DCHcomm *comm) {
  QDVP_UpdateStatLogDCHio(1);
  bool waited;
  SourceEntry *row;
  int status;
  {
    OSV1_Guard lock(&comm->StatusMutex);
    waited = comm->Pending != 0;
    comm->Pending = 0;
    row = comm->pHandOff;
    comm->pHandOff = nullptr;
    status = comm->Status;
  }
  if (!waited) {
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>>Signal DCH client bypassed. No receive outstanding");
    return;
  }
  OSV1_WakeAllAfter(&comm->StatusCond, &comm->StatusMutex);
  if (row == nullptr) {
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>>Notified the DCH client of its request's status");
  } else if (status == 0) {
    QDVP_FinishHandedOffRow(row);
  } else {
    QDVP_HandBackRow(comm->pDPAB, row, status);
  }
}
