// The one request path to the agent (see include/qdvp_request.h): every subsystem that needs a
// registration, an online, a row, an offline or an unregister goes through QDVP_Request, which
// puts the source into the verb's state, queues it to the DCH client task, waits, retries as
// the caller's policy says, and tells what became of the request: the client leaves the status
// it ended with on the source (LastRequestStatus, RowPosted) before it wakes the waiter. Take
// actions' replies have their own policy, and the requests nobody waits for (the periodic
// scan's, the statistics' DP log row) the no-wait policy.
//
// A caller without a task of its own borrows the statistics task's process entry; the
// anchor's StatLock keeps two such callers from sharing it. The source's owner (pPE) is given
// back after the request, so that a borrowed entry is never left behind on a source. The
// source's RequestMutex, held from the queueing to the outcome, lets one waited request of a
// source go at a time: two tasks asking for it each get their own request, wake-up and outcome.
// A row that was not taken leaves its source online (Active) for its next row, whichever task
// sends it.
#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_dchcomm.h"
#include "../include/qdvp_request.h"
#include "../include/qdvp_services.h"

static TRK1_BLOCK trk = {"qdvpdreq"};

namespace {

bool WaiterEnds(DPAB *anchor, const ProcessEntry *waiter) {
  return anchor->ShutdownRequested || (waiter != nullptr && waiter->Terminate.load() == 1);
}

// Waits up to seconds on the waiter's own condition, which a termination request signals, so
// an ending task is not held by a retry pause.
void PauseFor(DPAB *anchor, ProcessEntry *waiter, int seconds) {
  OSV1_GetLock(&waiter->TaskIOmutex);
  for (int i = 0; i < seconds && !WaiterEnds(anchor, waiter); i++) {
    QDV0_ConditionTimedWait(&waiter->TaskIOcond, &waiter->TaskIOmutex, 1);
  }
  OSV1_ReleaseLock(&waiter->TaskIOmutex);
}

void QueueAndWait(DPAB *anchor, SourceEntry *source, int state, ProcessEntry *waiter) {
  {
    // Under the entry lock: the client's recovery of rows in flight, which changes the state
    // of the sources it brings online again, must see the request whole or not at all.
    OSV1_Guard entryLock(&source->EntryLock);
    QDVP_UpdateSourceEntryState(source, state);
  }
  QDVP_QueueAndWaitDCHstatus(anchor, waiter, source);
}

// The no-wait policy: the source in the verb's state, queued; the state is the outcome known.
int Queue(DPAB *anchor, SourceEntry *source, DCHverb verb) {
  QDVP_UpdateSourceEntryState(source, verb);
  QDVP_EnqueueSourceToDCH(anchor, source);
  return source->State;
}

// A request whose wait ended with the data provider's or the waiter's end.
DCHresult Ended(SourceEntry *source) {
  return DCHresult{DCHoutcome::Ending, QDVP_DCH_STATUS_DISCONNECTED, source->State};
}

// The outcome of the request the client last finished for source, as the waiter saw it end.
DCHresult Outcome(DPAB *anchor, SourceEntry *source, DCHverb verb, ProcessEntry *waiter) {
  // A wait that ended early: the client may still work on the request (and write its status).
  if (source->Enqueued.load() != 0) return Ended(source);
  DCHresult result{DCHoutcome::Taken, source->LastRequestStatus, source->State};
  if (WaiterEnds(anchor, waiter) && result.status != 0) {
    result.outcome = DCHoutcome::Ending;
  } else if (source->RowPosted) {
    result.outcome = DCHoutcome::Posted;
  } else if (verb == QDVP_VERB_REGISTER && result.status == QDVP_DCH_STATUS_ALREADY_KNOWN) {
    // The agent knows the application already: it is registered all the same.
  } else if (result.status == QDVP_DCH_STATUS_TIMED_OUT) {
    result.outcome = DCHoutcome::NoAnswer;
  } else if (result.status == QDVP_DCH_STATUS_DISCONNECTED ||
             result.status == QDVP_DCH_STATUS_LOCAL_FAILURE) {
    result.outcome = DCHoutcome::LinkLost;
  } else if (result.status != 0) {
    result.outcome = DCHoutcome::Refused;
  }
  return result;
}

// One request, waited for. A row that the agent did not take leaves its source online (Active):
// the row alone is lost (the agent link counted it and told the operator), and the source's
// next row goes as any other; one that no longer finds the source online at the agent is
// answered 2 and brings it online again. A source the client could not bring online again
// (Ready) stays so.
DCHresult Once(DPAB *anchor, SourceEntry *source, DCHverb verb, ProcessEntry *waiter) {
  QueueAndWait(anchor, source, verb, waiter);
  DCHresult result = Outcome(anchor, source, verb, waiter);
  if (verb == QDVP_VERB_DATA && !result.Delivered() && result.outcome != DCHoutcome::Ending) {
    OSV1_Guard entryLock(&source->EntryLock);
    int state = source->State;
    if (state == QDVP_Output || state == QDVP_Inactive)
      QDVP_UpdateSourceEntryState(source, QDVP_Active);
    result.state = source->State;
  }
  return result;
}

// The reply policy: sent again while unanswered, three tries in all (include/qdvp_request.h).
DCHresult Reply(DPAB *anchor, SourceEntry *replySource, DCHverb verb, ProcessEntry *waiter) {
  constexpr int kReplyAttempts = 3;
  DCHresult result{};
  for (int attempt = 1; attempt <= kReplyAttempts; attempt++) {
    replySource->LastDataStatus = QDVP_DCH_STATUS_LOCAL_FAILURE;
    QueueAndWait(anchor, replySource, verb, waiter);
    // The wait ends early at shutdown while the client may still send the reply.
    QDVP_WaitForDCHrequestRelease(anchor, waiter, replySource);
    result = Outcome(anchor, replySource, verb, waiter);
    if (replySource->LastDataStatus >= 0) break;
    QDVP_TRC(trk, TRK1_ERROR, "***** Reply not answered by the agent (%d), attempt %d",
             replySource->LastDataStatus, attempt);
  }
  // The agent's answer, which the reply carries, is the outcome's status.
  int answer = replySource->LastDataStatus;
  if (result.outcome != DCHoutcome::Ending) {
    result.status = answer;
    result.outcome = answer == 0                           ? DCHoutcome::Taken
                     : answer == QDVP_DCH_STATUS_TIMED_OUT ? DCHoutcome::NoAnswer
                     : answer < 0                          ? DCHoutcome::LinkLost
                                                           : DCHoutcome::Refused;
  }
  return result;
}

// The file servers' resynchronization, after a row the agent did not take: every 30 seconds the
// source is brought online again, until the agent takes the online.
DCHresult Resync(DPAB *anchor, SourceEntry *source, DCHverb verb, ProcessEntry *waiter) {
  for (;;) {
    QDVP_UpdateSourceEntryState(source, QDVP_Ready);
    PauseFor(anchor, waiter, 30);
    if (WaiterEnds(anchor, waiter)) return Ended(source);
    DCHresult result = Once(anchor, source, verb, waiter);
    if (result.Delivered() || result.outcome == DCHoutcome::Ending) return result;
  }
}

// Until the source is online: a request that failed is followed by onlines a second apart. A
// row the agent refused is not sent again (its source stays online for the next one); a row
// without an answer is, the online aside, lost too, and the row's outcome is returned.
DCHresult UntilActive(DPAB *anchor, SourceEntry *source, DCHverb verb, ProcessEntry *waiter) {
  DCHresult first = Once(anchor, source, verb, waiter);
  if (first.Delivered() || first.outcome == DCHoutcome::Ending) return first;
  if (verb == QDVP_VERB_DATA && first.outcome == DCHoutcome::Refused) return first;
  QDVP_TRC(trk, TRK1_ERROR, "*** request for table %s %s, status %d; online until taken",
           source->pTable ? source->pTable->TableName : "?", QDVP_OutcomeName(first.outcome),
           first.status);
  for (;;) {
    PauseFor(anchor, waiter, 1);
    if (WaiterEnds(anchor, waiter)) return Ended(source);
    DCHresult online = Once(anchor, source, QDVP_VERB_ONLINE, waiter);
    if (online.outcome == DCHoutcome::Ending) return online;
    if (online.Delivered()) {
      if (verb != QDVP_VERB_DATA) return online;
      first.state = online.state;
      return first;
    }
  }
}

DCHresult ByPolicy(DPAB *anchor, SourceEntry *source, DCHverb verb, ProcessEntry *waiter,
                   DCHretry retry) {
  switch (retry) {
    case QDVP_RETRY_REPLY_WHILE_UNANSWERED:
      return Reply(anchor, source, verb, waiter);
    case QDVP_RETRY_RESYNC_EVERY_30S:
      return Resync(anchor, source, verb, waiter);
    case QDVP_RETRY_UNTIL_ACTIVE:
      return UntilActive(anchor, source, verb, waiter);
    default:
      return Once(anchor, source, verb, waiter);
  }
}

// One waited request of source at a time, under its RequestMutex: two tasks may ask for the
// same source (a registration and a partner's online, say), and the second waits until the
// first has its outcome, so that neither reads the other's nor takes over the other's
// wake-up. A row of an Active source on a link with a window is left for the client by its
// producer, which goes on at once (qdvpwout.cpp). The source's owner is given back afterwards.
DCHresult Waited(DPAB *anchor, SourceEntry *source, DCHverb verb, ProcessEntry *waiter,
                 DCHretry retry, bool mayPost) {
  OSV1_Guard one(&source->RequestMutex);
  if (mayPost && verb == QDVP_VERB_DATA && QDVP_PostRow(anchor, source, waiter)) {
    return DCHresult{DCHoutcome::Posted, 0, QDVP_Active};
  }
  ProcessEntry *owner = source->pPE.load();
  DCHresult result = ByPolicy(anchor, source, verb, waiter, retry);
  source->pPE.store(owner);
  return result;
}

}  // namespace

const char *QDVP_OutcomeName(DCHoutcome outcome) {
  switch (outcome) {
    case DCHoutcome::Taken:
      return "taken";
    case DCHoutcome::Posted:
      return "posted";
    case DCHoutcome::Refused:
      return "refused";
    case DCHoutcome::NoAnswer:
      return "no answer";
    case DCHoutcome::LinkLost:
      return "link lost";
    case DCHoutcome::Ending:
      return "ending";
  }
  return "?";
}

DCHresult QDVP_Request(DPAB *anchor, SourceEntry *source, DCHverb verb, ProcessEntry *waiter,
                       DCHretry retry) {
  if (anchor == nullptr || source == nullptr) {
    return DCHresult{DCHoutcome::LinkLost, QDVP_DCH_STATUS_LOCAL_FAILURE, QDVP_NoState};
  }
  // Nobody waits: the request is queued and its outcome is nobody's to learn.
  if (retry == QDVP_RETRY_NO_WAIT)
    return DCHresult{DCHoutcome::Posted, 0, Queue(anchor, source, verb)};
  if (waiter == nullptr) {
    OSV1_Guard stat(&anchor->StatLock);
    return Waited(anchor, source, verb, anchor->pStatPE, retry, false);
  }
  return Waited(anchor, source, verb, waiter, retry, true);
}

void QDVP_RequestDCHnoWait(DPAB *anchor, SourceEntry *source, int state) {
  QDVP_Request(anchor, source, static_cast<DCHverb>(state), nullptr, QDVP_RETRY_NO_WAIT);
}

void QDVP_BringRegisteredOnline(DPAB *anchor, std::initializer_list<SourceEntry *> sources,
                                ProcessEntry *waiter) {
  for (SourceEntry *source : sources) {
    if (source->State < QDVP_Ready) QDVP_UpdateSourceEntryState(source, QDVP_Ready);
    QDVP_Request(anchor, source, QDVP_VERB_ONLINE, waiter);
  }
}
