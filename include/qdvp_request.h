// One road for every request to the agent: register an application, bring a source online,
// send its row, take it offline, unregister.
//
// A task that needs the agent to do something for a source calls QDVP_Request with the verb,
// the process entry that waits (its own; null borrows the statistics task's entry under the
// anchor's StatLock, for callers that have no task of their own, such as the console thread),
// and the retry policy its subsystem's rules ask for. The source is put into the verb's state,
// queued to the DCH client task and waited for; the call returns what became of the request
// (DCHresult): its outcome, the status it ended with and the source's state afterwards.
//   Taken     the agent took it (a row is stored: its status 0 came)
//   Posted    a row left on the window (qdvpwout.cpp): it went, or goes, out without waiting
//             for its status, and the producer goes on at once. It is stored later, or not
//             taken: then the agent link counts it in SourceEntry::RowsNotTaken and tells the
//             operator (DP log 90); QDVP_WaitSourceRowsSettled waits for the statuses
//   Refused   the agent answered another status (status)
//   NoAnswer  no status within the reply wait
//   LinkLost  the send failed or the connection was lost before a status came
//   Ending    the data provider or the waiting task ends: the wait ended early, and the client
//             may still have the request
// A row that is not Taken or Posted is not stored (the agent link told the operator, DP log 90);
// its source stays online (Active) for its next row, unless the client could not bring it online
// again after a 2 (then it is Ready). What each verb's outcome means:
//   register    Taken: registered, or already known to the agent (status 1); NoAnswer or
//               LinkLost: deferred (Pending: the periodic scan registers it again); Refused:
//               not registered (Initial)
//   online      Taken: online (Active); otherwise not (unchanged)
//   data        as above
//   offline     Taken: offline, or its offline postponed until the table's time to live
//   unregister  Taken: unregistered
//   reply       Taken: the agent answered 0; Refused: it answered another status; NoAnswer or
//               LinkLost: no answer came after the policy's tries (status: the agent's answer,
//               also left in the reply source's LastDataStatus)
// DCHresult::state is the source's state afterwards, for traces; a caller acts on the outcome.
// The wait ends early when the data provider shuts down; a task about to end after such a
// wait calls QDVP_WaitForDCHrequestRelease before it frees its entry. Two tasks may ask for the
// same source at once (a metafile's registration and a partner's online, say): the source's
// RequestMutex lets one waited request at a time go, from its queueing to its outcome, so each
// requester reads its own request's outcome. The no-wait policy does not take it (its callers
// may hold the source's entry lock): the periodic scan queues only sources it finds idle
// (Pending, Ready, Input, Active), and a source still queued takes no second request.
// While a source is queued to the client, the client holds it (SourceEntry::Holds): a source is
// never freed under a request, however the requester's wait ended.
#pragma once

#include <initializer_list>

#include "qdvp_model.h"

enum DCHverb {
  QDVP_VERB_REGISTER = QDVP_Register,
  QDVP_VERB_ONLINE = QDVP_Ready,
  QDVP_VERB_DATA = QDVP_Output,
  QDVP_VERB_OFFLINE = QDVP_Inactive,
  QDVP_VERB_UNREGISTER = QDVP_Unregister,
  // The status and result of a take action, carried by a reply source of the worker's own
  // whose pAction is the action (agentlink/qdvpaent.cpp); the agent's answer is left in the
  // source's LastDataStatus (negative: none came).
  QDVP_VERB_REPLY = QDVP_Reply,
};

enum DCHretry {
  // One request; the caller reads the outcome.
  QDVP_RETRY_NONE = 0,
  // With the online verb, after a row the agent did not take: every 30 seconds, the source is
  // brought online again, until it is Active or the waiting task is asked to end (file servers
  // resynchronizing). The first request goes out after the first 30 seconds.
  QDVP_RETRY_RESYNC_EVERY_30S = 1,
  // When the request fails, the source is brought online again (a second apart) until the
  // agent takes the online, giving up when the waiting task's termination flag is set or the
  // data provider shuts down (the DP log report, the POST server). A row the agent refused is
  // not sent again, and the outcome returned for a row is the row's own.
  QDVP_RETRY_UNTIL_ACTIVE = 2,
  // No wait: the source is put into the verb's state and queued, and the call returns at once
  // (Posted, with that state); the client acts on it when it comes to it, and nobody learns the
  // outcome (the periodic scan's deferred registrations and onlines, end-of-batch summaries,
  // the statistics' DP log row). The caller may hold the source's entry lock; waiter is not
  // used.
  QDVP_RETRY_NO_WAIT = 3,
  // With the reply verb: while the agent leaves the reply unanswered (the link was lost or
  // timed out, so it may never have reached it), it is sent again over the connection the
  // client makes anew, three times in all; one that did reach it is only stored twice. Each
  // try waits until the client has let go of the reply source, also when the wait ended at
  // shutdown.
  QDVP_RETRY_REPLY_WHILE_UNANSWERED = 4,
};

// What became of a request (see above).
enum class DCHoutcome { Taken, Posted, Refused, NoAnswer, LinkLost, Ending };
struct DCHresult {
  DCHoutcome outcome;
  int status;  // the agent's status, or the link's code (QDVP_DCH_STATUS_*); 0 for Posted
  int state;   // the source's state afterwards
  // The row (or the request) went: it is stored, or will be told if it is not.
  bool Delivered() const { return outcome == DCHoutcome::Taken || outcome == DCHoutcome::Posted; }
};
// A name for traces ("taken", "posted", ...).
const char *QDVP_OutcomeName(DCHoutcome outcome);

// Queues source with verb and waits; returns what became of the request.
DCHresult QDVP_Request(DPAB *anchor, SourceEntry *source, DCHverb verb, ProcessEntry *waiter,
                       DCHretry retry = QDVP_RETRY_NONE);

// After an application's registration was taken: makes each of its sources Ready (when it is
// not yet) and asks the agent to bring it online, in the order given. An online that fails
// leaves its source Ready: whatever brings that source's rows (its next row, the periodic
// scan) brings it online then.
void QDVP_BringRegisteredOnline(DPAB *anchor, std::initializer_list<SourceEntry *> sources,
                                ProcessEntry *waiter);

// For a producer whose rows went out on a window without waiting (the outcome said Posted):
// waits, at most seconds, until none of source's rows is left in the outbox or in the window
// without its final status. True when they all have it; source->RowsNotTaken then counts
// those the agent did not take. Ends early, false, when the data provider or the waiter ends.
bool QDVP_WaitSourceRowsSettled(DPAB *anchor, SourceEntry *source, ProcessEntry *waiter,
                                int seconds);

// A producer's run of rows, for as long as the object lives on its thread: the rows it posts
// to the window wake the DCH client once per batch and when the run ends, not each time the
// outbox was empty. Whenever the producer waits (for room in the window, for its rows'
// statuses, for a request it queued: the client empties the outbox before it serves a queued
// request) the client knows of every row it posted.
class QDVP_RowBatch {
 public:
  explicit QDVP_RowBatch(DPAB *anchor);
  ~QDVP_RowBatch();
  QDVP_RowBatch(const QDVP_RowBatch &) = delete;
  QDVP_RowBatch &operator=(const QDVP_RowBatch &) = delete;

 private:
  DPAB *anchor_;
};

// For a task about to end: waits until the DCH client has finished with the task's last
// request for source. A request's wait ends early at shutdown while the client may still have
// the request. The client never touches the requester's entry: it ends the request on the
// source's enqueued word, so a finished request means the client is done with it. No time bounds
// the wait (it ends when the client is done); it is not waited for once the client has ended.
void QDVP_WaitForDCHrequestRelease(DPAB *anchor, ProcessEntry *requester, SourceEntry *source);
