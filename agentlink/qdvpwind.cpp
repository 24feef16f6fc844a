// The window: rows of a source sent without waiting for their status, on a link whose agent
// said, in its reply to a registration, that it takes them (our addition to the agent link;
// an agent that does not answer the window field gets one row at a time, as always).
//
// Why a status can never be taken for the wrong request: the agent answers requests in the
// order they came, on one connection. The client sends a synchronous request (registration,
// online, offline, an action reply, a row of a summary) only when every row in flight has its
// status (QDVP_DrainWindow), so while rows are in flight every status belongs to the oldest of
// them without one. When the connection ends, every row still without a status is marked
// lost; the client sends those rows again, in order, on the next connection, and the agent
// stores each row once by its stream and number, so a row sent twice is stored once.
//
// The rows live under the connection block's status mutex. The client task alone adds and
// removes them; the receive task only gives them their status.
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <deque>
#include <string>
#include <vector>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_dchcomm.h"
#include "../include/qdvp_stats.h"

static TRK1_BLOCK trk = {"qdvpwind"};

// Every field is under the connection's StatusMutex (the block is reached through
// DCHcomm::pWindow only).
struct DCHwindow {
  std::deque<DCHinFlight> rows;
  size_t answered = 0;  // rows[0, answered) have their status
  bool failed = false;  // an answered row's status is not 0
  // The client waiting for statuses is woken once no more than this many rows are without
  // one (or a row failed), not at every status: a full window waits until half of it is free.
  size_t wakeAt = 0;
  // rows.size() - answered, kept beside them for the producers' look at the window's fill,
  // which takes no lock.
  std::atomic<size_t> unanswered{0};
  // The byte buffers of rows taken by the agent, handed back to the producers through the
  // outbox (QDVP_KeepWindowRows) so that a row costs no allocation once the road is warm.
  std::vector<std::string> spares;
};

// Buffers kept for reuse at most: a window's worth in each place they wait.
constexpr size_t kMaxSpares = 4096;

namespace {

// Called after every change of the rows without a status, with the status mutex held.
void Recount(DCHwindow *w) { w->unanswered.store(w->rows.size() - w->answered); }

// Wakes the client when a row needs it without new work: a failed row, a lost connection.
void WakeClient(DCHcomm *comm) {
  ProcessEntry *client = comm->pDPAB->pDCHclientPE.load();
  if (client != nullptr) QDVP_SignalTaskIO(client);
}

// Waits until no more than wakeAt rows are without a status (the receive task wakes it then,
// or when a row failed), or renews a connection silent beyond the reply wait (its rows are then
// lost and sent again); the wait is bounded by a second, so the caller looks again. Called
// with the status mutex held.
void WaitForStatus(DCHcomm *comm, DCHwindow *w, size_t wakeAt) QDVP_REQUIRES(comm->StatusMutex) {
  size_t before = w->answered;
  w->wakeAt = wakeAt;
  QDV0_ConditionTimedWait(&comm->StatusCond, &comm->StatusMutex, 1);
  w->wakeAt = 0;
  if (w->answered != before || w->answered == w->rows.size()) return;
  int limit = comm->ReplyWaitSeconds > 0 ? comm->ReplyWaitSeconds : 30;
  if (comm->pDPAB->ShutdownRequested && limit > 5) limit = 5;
  if (QDV0_Time() - w->rows[w->answered].sentAt < limit) return;
  QDVP_TRC(trk, TRK1_ERROR, ">>>>> DCH status of a row in flight timed out; connection renewed");
  OSV1_ReleaseLock(&comm->StatusMutex);
  comm->pDPAB->pDSFT->WaitDCHcomeOnline(comm);
  OSV1_GetLock(&comm->StatusMutex);
  // The connection's end marked what it left unanswered; a fresh one may still be empty.
  for (; w->answered < w->rows.size(); w->answered++) {
    w->rows[w->answered].status = QDVP_DCH_STATUS_TIMED_OUT;
    w->failed = true;
  }
  Recount(w);
}

// Adds a copy of a data message to the window with its status so far (0: none yet). Called
// with the status mutex held.
void Keep(DCHwindow *w, SourceEntry *source, const unsigned char *message, size_t length,
          int32_t status) {
  w->rows.push_back(DCHinFlight{source,
                                std::string(reinterpret_cast<const char *>(message), length),
                                status, QDV0_Time(), source->RowNumber});
}

}  // namespace

void QDVP_OpenDCHwindow(DCHcomm *comm) {
  int wanted = atoi(QDV0_GetEnv("QDVP_DCH_WINDOW", "256"));
  comm->WantedWindow = wanted < 0 ? 0 : (wanted > 4096 ? 4096 : wanted);
  comm->Window = 0;
  comm->pWindow = new DCHwindow();
}

void QDVP_CloseDCHwindow(DCHcomm *comm) {
  delete comm->pWindow;
  comm->pWindow = nullptr;
}

bool QDVP_WindowedLink(const DCHcomm *comm) {
  return comm->pWindow != nullptr && comm->Window > 1 && comm->ReceiveMode == QDVP_DCH_MODE_TCP &&
         comm->Socket > 0 && !comm->pDPAB->StandAlone;
}

bool QDVP_WindowedSource(const DCHcomm *comm, const SourceEntry *source) {
  return QDVP_WindowedLink(comm) && source->pSMB == nullptr && source != comm->pDPAB->pDPlogSource;
}

bool QDVP_TakeWindowStatus(DCHcomm *comm, int32_t status) {
  DCHwindow *w = comm->pWindow;
  if (w == nullptr) return false;
  bool failed;
  size_t unanswered;
  {
    OSV1_Guard lock(&comm->StatusMutex);
    if (w->answered >= w->rows.size()) return false;
    DCHinFlight &row = w->rows[w->answered++];
    row.status = status;
    failed = status != 0;
    if (failed) w->failed = true;
    // Taken, and so is every row before it: the rows after a failed one wait for its resend.
    if (!w->failed && row.source != nullptr) row.source->AckedRowNumber.store(row.number);
    unanswered = w->rows.size() - w->answered;
    Recount(w);
    if (failed || unanswered <= w->wakeAt) OSV1_WakeAll(&comm->StatusCond, &comm->StatusMutex);
  }
  if (failed) WakeClient(comm);
  QDVP_OutboxStatusCame(comm->pDPAB, unanswered);
  if (!failed) QDVP_OutboxRowSettled(comm->pDPAB);
  return true;
}

void QDVP_LoseWindowRows(DCHcomm *comm, int32_t status) {
  DCHwindow *w = comm->pWindow;
  if (w == nullptr) return;
  bool lost = false;
  {
    OSV1_Guard lock(&comm->StatusMutex);
    for (; w->answered < w->rows.size(); w->answered++) {
      w->rows[w->answered].status = status;
      lost = w->failed = true;
    }
    Recount(w);
    OSV1_WakeAll(&comm->StatusCond, &comm->StatusMutex);
  }
  if (lost) WakeClient(comm);
  QDVP_OutboxStatusCame(comm->pDPAB, 0);
}

// Drops the rows at the front that the agent took; false when the oldest row failed.
static bool DropTaken(DCHwindow *w) {
  while (w->answered > 0 && w->rows.front().status == 0) {
    if (w->spares.size() < kMaxSpares) w->spares.push_back(std::move(w->rows.front().bytes));
    w->rows.pop_front();
    w->answered--;
  }
  return w->answered == 0;
}

bool QDVP_WindowRoom(DCHcomm *comm) {
  DCHwindow *w = comm->pWindow;
  OSV1_Guard lock(&comm->StatusMutex);
  size_t window = static_cast<size_t>(comm->Window);
  if (!DropTaken(w)) return false;
  if (w->rows.size() < window) return true;
  // Full: the client goes on once half of the window is free, with a batch of rows to send,
  // instead of one row per status.
  for (;;) {
    WaitForStatus(comm, w, window / 2);
    if (!DropTaken(w)) return false;
    if (w->rows.size() <= window / 2) return true;
  }
}

int QDVP_WindowSpace(DCHcomm *comm) {
  DCHwindow *w = comm->pWindow;
  OSV1_Guard lock(&comm->StatusMutex);
  if (!DropTaken(w) || w->failed) return -1;
  size_t size = w->rows.size(), window = static_cast<size_t>(comm->Window);
  return size < window ? static_cast<int>(window - size) : 0;
}

size_t QDVP_WindowUnanswered(DCHcomm *comm) {
  DCHwindow *w = comm->pWindow;
  return w != nullptr ? w->unanswered.load() : 0;
}

void QDVP_KeepWindowRows(DCHcomm *comm, std::deque<DCHinFlight> *from, size_t n, bool held,
                         std::vector<std::string> *spares) {
  DCHwindow *w = comm->pWindow;
  OSV1_Guard lock(&comm->StatusMutex);
  if (spares != nullptr && !w->spares.empty() && spares->size() < kMaxSpares) {
    if (spares->empty()) {
      spares->swap(w->spares);
    } else {
      for (std::string &b : w->spares) spares->push_back(std::move(b));
      w->spares.clear();
    }
  }
  for (size_t i = 0; i < n && !from->empty(); i++) {
    DCHinFlight &row = from->front();
    if (row.source != nullptr) {
      row.status = held ? QDVP_DCH_STATUS_SEND_AGAIN : 0;
      w->rows.push_back(std::move(row));
    }
    from->pop_front();
  }
  if (held) {
    w->answered = w->rows.size();
    w->failed = true;
  }
  Recount(w);
}

void QDVP_SendWindowRow(SourceEntry *source, DCHcomm *comm, const unsigned char *message,
                        size_t length) {
  DCHwindow *w = comm->pWindow;
  {
    // Held before it is sent: its status may come back before the send returns.
    OSV1_Guard lock(&comm->StatusMutex);
    Keep(w, source, message, length, 0);
    Recount(w);
  }
  comm->RequestNumber = source->RequestNumber.load();
  QDVP_CountLinkRows(QDVP_LINK_ROWS_SENT, 1);
  QDVP_DCHsendAndReceive(static_cast<int>(length), const_cast<unsigned char *>(message), comm, 1);
  // A failed send ended the connection, whose end marked the row lost: it is sent again.
  comm->Status = 0;
}

void QDVP_HoldWindowRow(SourceEntry *source, DCHcomm *comm, const unsigned char *message,
                        size_t length) {
  DCHwindow *w = comm->pWindow;
  OSV1_Guard lock(&comm->StatusMutex);
  Keep(w, source, message, length, QDVP_DCH_STATUS_SEND_AGAIN);
  w->answered = w->rows.size();
  w->failed = true;
  Recount(w);
}

size_t QDVP_DrainWindow(DCHcomm *comm) {
  DCHwindow *w = comm->pWindow;
  if (w == nullptr) return 0;
  OSV1_Guard lock(&comm->StatusMutex);
  while (w->answered < w->rows.size()) WaitForStatus(comm, w, 0);
  return w->rows.size();
}

bool QDVP_WindowFront(DCHcomm *comm, DCHinFlight *front) {
  DCHwindow *w = comm->pWindow;
  if (w == nullptr) return false;
  OSV1_Guard lock(&comm->StatusMutex);
  if (w->answered == 0) return false;
  *front = w->rows.front();
  return true;
}

void QDVP_PopWindowFront(DCHcomm *comm) {
  DCHwindow *w = comm->pWindow;
  OSV1_Guard lock(&comm->StatusMutex);
  if (w->answered == 0) return;
  w->rows.pop_front();
  w->answered--;
  if (w->rows.empty()) w->failed = false;
}

bool QDVP_WindowNeedsRecovery(DCHcomm *comm) {
  DCHwindow *w = comm->pWindow;
  if (w == nullptr) return false;
  OSV1_Guard lock(&comm->StatusMutex);
  return w->failed || (!w->rows.empty() && w->answered == 0 &&
                       QDV0_Time() - w->rows.front().sentAt >= comm->ReplyWaitSeconds);
}

void QDVP_ForgetWindowSource(DCHcomm *comm, SourceEntry *source) {
  DCHwindow *w = comm ? comm->pWindow : nullptr;
  if (w == nullptr) return;
  OSV1_Guard lock(&comm->StatusMutex);
  for (DCHinFlight &row : w->rows) {
    if (row.source == source) row.source = nullptr;
  }
}

bool QDVP_WindowHoldsSource(DCHcomm *comm, const SourceEntry *source) {
  DCHwindow *w = comm ? comm->pWindow : nullptr;
  if (w == nullptr) return false;
  OSV1_Guard lock(&comm->StatusMutex);
  for (size_t i = 0; i < w->rows.size(); i++) {
    if (w->rows[i].source == source && (i >= w->answered || w->rows[i].status != 0)) return true;
  }
  return false;
}

bool QDVP_WindowEmptyLocked(DCHcomm *comm) {
  DCHwindow *w = comm->pWindow;
  return w == nullptr || w->rows.empty();
}
