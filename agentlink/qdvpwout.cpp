// The outbox: with a window on the link, a producer whose source is Active builds its row
// itself and leaves it here, instead of handing the source to the DCH client and waiting until
// the client has built and sent it. The client takes every row waiting at once, moves them into
// the window in their order and sends them together, so a burst costs one hand-off and one send
// for many rows instead of two hand-offs and a send for each. The producer goes on to its next
// record at once; as ever on a window, a row counts as taken by the agent only when its status
// 0 comes (SourceEntry::AckedRowNumber), so a row still here at a crash is read again.
//
// Order: a producer's other requests (an online, an offline, a row of a summary) go through the
// client's work queue, and the client empties the outbox before it serves any of them, so the
// agent sees a source's rows before what its producer asked for next. A row posted while a row
// of the window failed is held behind it and sent again by the recovery, in order.
//
// Wake-ups: a producer that posts a run of rows (QDVP_RowBatch, the file server while it reads
// what was appended) wakes the client once per kBatchWakeRows rows and at the end of the run,
// not at every row it finds the outbox empty; the client takes everything there when it wakes.
// A producer about to wait (for room, for its rows' statuses) wakes the client first.
//
// Bound: a producer waits while the rows in the outbox and those sent without a status yet make
// a window, so a producer is never more than the window ahead of the agent, however slow it is.
// Once it waits, it waits until half the window is free and the receive task lets it go then:
// it goes on with a batch of rows, and neither side pays a wake-up for every status.
//
// The outbox lock's place in the order: include/qdvp_anchor.h (after a source's locks, before
// the connection's).
#include <string.h>

#include <deque>
#include <string>
#include <vector>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_actions.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_dchcomm.h"
#include "../include/qdvp_request.h"
#include "../include/qdvp_stats.h"

static TRK1_BLOCK trk = {"qdvpwout"};

struct DCHoutbox {
  OSV1_LOCK lock QDVP_ACQUIRED_AFTER(ActionEntry::Mutex) QDVP_ACQUIRED_BEFORE(DCHcomm::LinkLock);
  OSV1_COND room;  // signalled when the client took rows
  std::deque<DCHinFlight> rows QDVP_GUARDED_BY(lock);
  std::atomic<int> waiting{0};   // producers waiting for room (changed under lock)
  std::atomic<int> settling{0};  // producers waiting for their rows' statuses
  std::atomic<size_t> count{0};  // rows.size(), for looks without the lock
  std::atomic<int> window{0};    // 0: closed, rows go through the work queue
  DCHcomm *comm = nullptr;       // the client's connection block, whose window it feeds
  // Byte buffers of rows the agent took, for producers to build their next rows into.
  std::vector<std::string> spares QDVP_GUARDED_BY(lock);
  std::string gathered;  // the client's: the messages of one send
};

// Rows a producer in a run posts before it wakes the client: enough that a wake-up is shared by
// many rows, few enough that the client sends the first of them within microseconds.
constexpr size_t kBatchWakeRows = 64;

// The producer thread's run of rows: open while a QDVP_RowBatch lives on it; owed when it
// posted a row to an empty outbox and has not woken the client since.
struct RowRun {
  int depth = 0;
  bool owed = false;
  // Buffers taken from the outbox's spares, a batch at a time, for this thread's next rows.
  std::vector<std::string> spares;
};
thread_local RowRun tRun;

// Buffers a producer takes from the outbox's spares at once.
constexpr size_t kSparesTaken = 64;

static void WakeClient(DPAB *anchor) {
  ProcessEntry *client = anchor->pDCHclientPE.load();
  if (client != nullptr) QDVP_SignalTaskIO(client);
}

// Wakes the client for the rows this thread left unannounced.
static void PayWake(DPAB *anchor) {
  if (!tRun.owed) return;
  tRun.owed = false;
  WakeClient(anchor);
}

QDVP_RowBatch::QDVP_RowBatch(DPAB *anchor) : anchor_(anchor) { tRun.depth++; }

QDVP_RowBatch::~QDVP_RowBatch() {
  if (--tRun.depth == 0 && anchor_ != nullptr) PayWake(anchor_);
}

// The rows waiting here and those sent without a status yet.
static size_t Ahead(DCHoutbox *box) QDVP_REQUIRES(box->lock) {
  return box->rows.size() + QDVP_WindowUnanswered(box->comm);
}

// Where a producer that found the window full goes on again: with half of it free, so that
// it goes on with a batch of rows and is woken once per batch, not once per status.
static size_t LowWater(int window) { return static_cast<size_t>(window) / 2; }

void QDVP_OpenDCHoutbox(DPAB *anchor, DCHcomm *comm) {
  auto *box = new DCHoutbox();
  box->comm = comm;
  OSV1_InitializeLock(&box->lock);
  anchor->pOutbox.store(box);
}

void QDVP_CloseDCHoutbox(DPAB *anchor) {
  DCHoutbox *box = anchor->pOutbox.exchange(nullptr);
  if (box == nullptr) return;
  OSV1_DestroyLock(&box->lock);
  delete box;
}

void QDVP_SetOutboxWindow(DPAB *anchor, int window) {
  DCHoutbox *box = anchor->pOutbox.load();
  if (box == nullptr || box->window.load(std::memory_order_relaxed) == window) return;
  box->window.store(window);
  // Producers waiting for room go the usual way once the window is gone.
  OSV1_Guard lock(&box->lock);
  if (box->waiting > 0) OSV1_WakeAll(&box->room, &box->lock);
}

bool QDVP_OutboxPending(DPAB *anchor) {
  DCHoutbox *box = anchor->pOutbox.load();
  return box != nullptr && box->count.load() > 0;
}

bool QDVP_PostRow(DPAB *anchor, SourceEntry *source, ProcessEntry *producer) {
  DCHoutbox *box = anchor->pOutbox.load();
  if (box == nullptr || box->window.load() <= 1 || anchor->StandAlone || source->pSMB != nullptr ||
      source == anchor->pDPlogSource || source->pTable == nullptr) {
    return false;
  }
  int window = box->window.load();
  // Room first, with no source lock held: the client may need this source's lock to recover
  // the window before it takes more rows. A look without the lock sees the usual case, room.
  if (window > 1 &&
      box->count.load() + QDVP_WindowUnanswered(box->comm) >= static_cast<size_t>(window)) {
    // The client must know of the rows it is to send before this producer waits for them (woken
    // before the outbox lock is taken: the client's task mutex is not taken under it).
    PayWake(anchor);
    OSV1_Guard lock(&box->lock);
    window = box->window.load();
    if (window > 1 && Ahead(box) >= static_cast<size_t>(window)) {
      // Counted as waiting before it looks, so that a status that comes in between sees it.
      box->waiting++;
      while (box->window.load() > 1 && Ahead(box) > LowWater(window) &&
             !anchor->ShutdownRequested && !producer->Terminate) {
        QDV0_ConditionTimedWait(&box->room, &box->lock, 1);
      }
      box->waiting--;
    }
  }
  if (box->window.load() <= 1 || anchor->ShutdownRequested || producer->Terminate) return false;
  // A connection lost since the client last looked: the row goes the usual way, which waits
  // for the agent.
  if (box->comm->Socket.load() <= 0 || box->comm->ReceiveMode.load() != QDVP_DCH_MODE_TCP) {
    return false;
  }
  bool empty;
  {
    OSV1_Guard entry(&source->EntryLock);
    // Online, and its producer between two rows (Input) or past its last (Active): anything
    // else under way for the source (its online again after a failed row, a request in the
    // queue) keeps the usual road, which serves it in order.
    int state = source->State;
    if ((state != QDVP_Active && state != QDVP_Input) || source->Enqueued.load() != 0) return false;
    DCHinFlight row;
    if (!tRun.spares.empty()) {
      row.bytes = std::move(tRun.spares.back());
      tRun.spares.pop_back();
    }
    if (!QDVP_BuildStampedRow(source, anchor, &row)) return true;  // no values: nothing sent
    row.sentAt = QDV0_Time();
    // The row keeps the source from the offline its table's time to live would bring.
    if (source->pTable->TTL > 0) source->TTLexpiry = row.sentAt + source->pTable->TTL;
    OSV1_Guard lock(&box->lock);
    box->rows.push_back(std::move(row));
    empty = box->count.fetch_add(1) == 0;
    if (tRun.spares.empty() && !box->spares.empty()) {
      for (size_t i = 0; i < kSparesTaken && !box->spares.empty(); i++) {
        tRun.spares.push_back(std::move(box->spares.back()));
        box->spares.pop_back();
      }
    }
  }
  if (empty) tRun.owed = true;
  // Outside a run every row to an empty outbox wakes the client; in a run, one in a batch.
  if (tRun.owed && (tRun.depth == 0 || box->count.load() >= kBatchWakeRows)) PayWake(anchor);
  return true;
}

// Sends what was gathered for the rows just moved into the window; a failed send ended the
// connection, whose end marked the rows lost: the recovery sends them again.
static void SendGathered(DCHcomm *comm, std::string *gathered) {
  if (gathered->empty()) return;
  comm->RequestNumber = 0;
  QDVP_DCHsendAndReceive(static_cast<int>(gathered->size()),
                         reinterpret_cast<unsigned char *>(&(*gathered)[0]), comm, 1);
  comm->Status = 0;
  gathered->clear();
}

void QDVP_FlushOutbox(DCHcomm *comm) {
  DPAB *anchor = comm->pDPAB;
  DCHoutbox *box = anchor->pOutbox.load();
  if (box == nullptr || box->count.load() == 0) return;
  std::string &gathered = box->gathered;
  gathered.clear();
  int moved = 0;
  for (;;) {
    int space = QDVP_WindowedLink(comm) ? QDVP_WindowSpace(comm) : -1;
    if (space == 0) {
      // The window is full: what was gathered goes out, and the client waits for statuses.
      SendGathered(comm, &gathered);
      if (!QDVP_WindowRoom(comm))
        space = -1;
      else
        continue;
    }
    bool held = space < 0;
    if (held) {
      // Held rows go behind every row in flight, each with its status: a row marked held marks
      // the window answered up to it.
      SendGathered(comm, &gathered);
      QDVP_DrainWindow(comm);
    }
    OSV1_Guard lock(&box->lock);
    if (box->rows.empty()) break;
    size_t n = box->rows.size();
    if (!held && n > static_cast<size_t>(space)) n = static_cast<size_t>(space);
    // Their reply wait runs from now, not from the time they waited here.
    time_t now = QDV0_Time();
    int sent = 0;
    for (size_t i = 0; i < n; i++) {
      DCHinFlight &row = box->rows[i];
      if (row.source == nullptr) continue;
      // The source may have been brought online again since the row was built.
      if (row.bytes.size() >= kDataHandleOffset + 4) {
        memcpy(&row.bytes[kDataHandleOffset], row.source->DCHhandle, 4);
      }
      if (!held) {
        gathered += row.bytes;
        sent++;
      }
      row.sentAt = now;
      moved++;
    }
    QDVP_CountLinkRows(QDVP_LINK_ROWS_SENT, sent);
    QDVP_KeepWindowRows(comm, &box->rows, n, held, &box->spares);
    box->count.fetch_sub(n);
    // Rows held behind a failed one count as answered: a waiting producer may go on.
    if (box->waiting > 0 && Ahead(box) <= LowWater(box->window.load())) {
      OSV1_WakeAll(&box->room, &box->lock);
    }
  }
  SendGathered(comm, &gathered);
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> %d row(s) of the outbox moved into the window", moved);
}

void QDVP_OutboxStatusCame(DPAB *anchor, size_t unanswered) {
  DCHoutbox *box = anchor->pOutbox.load();
  if (box == nullptr || box->waiting.load() == 0) return;
  if (unanswered + box->count.load() > LowWater(box->window.load())) return;
  OSV1_Guard lock(&box->lock);
  OSV1_WakeAll(&box->room, &box->lock);
}

void QDVP_ForgetOutboxSource(DPAB *anchor, SourceEntry *source) {
  DCHoutbox *box = anchor != nullptr ? anchor->pOutbox.load() : nullptr;
  if (box == nullptr) return;
  OSV1_Guard lock(&box->lock);
  for (DCHinFlight &row : box->rows) {
    if (row.source == source) row.source = nullptr;
  }
}

void QDVP_OutboxRowSettled(DPAB *anchor) {
  DCHoutbox *box = anchor->pOutbox.load();
  if (box == nullptr || box->settling.load() == 0) return;
  OSV1_Guard lock(&box->lock);
  OSV1_WakeAll(&box->room, &box->lock);
}

// A row of the source waits here, or in the window without its final status.
static bool Unsettled(DCHoutbox *box, const SourceEntry *source) QDVP_REQUIRES(box->lock) {
  for (const DCHinFlight &row : box->rows) {
    if (row.source == source) return true;
  }
  return QDVP_WindowHoldsSource(box->comm, source);
}

bool QDVP_WaitSourceRowsSettled(DPAB *anchor, SourceEntry *source, ProcessEntry *waiter,
                                int seconds) {
  DCHoutbox *box = anchor->pOutbox.load();
  if (box == nullptr) return true;
  PayWake(anchor);
  time_t deadline = QDV0_Time() + seconds;
  OSV1_Guard lock(&box->lock);
  // Counted before it looks, so that a status that comes in between wakes it.
  box->settling++;
  bool settled;
  while (!(settled = !Unsettled(box, source)) && QDV0_Time() < deadline &&
         !anchor->ShutdownRequested && (waiter == nullptr || !waiter->Terminate)) {
    QDV0_ConditionTimedWait(&box->room, &box->lock, 1);
  }
  box->settling--;
  return settled;
}
