// The store of the agent peer: applications, attribute groups, attributes, sources, rows, row
// streams and actions, written in turns. One interface, two back ends: SQLite (dchsqlite.h,
// the default) and PostgreSQL (dchpg.h, many peers into one database).
//
// The store is used by the peer's single event loop thread only. A turn is: every write of one
// round of the loop (from any number of connections) joins the open transaction, begun by the
// first write after a commit; the loop calls Commit once for all of them, and only then sends
// the replies that wait for it (DchSend::transaction). A back end may carry out each write at
// once (SQLite) or keep them and send the whole turn at the commit (PostgreSQL); either way a
// Commit that returns 0 means every write of the turn is durable, and a failed one means none
// is. What the agent must know between turns is kept here in memory: the handles of the
// sources that are online, the last stored row of each row stream, the largest handle and
// action identifier. A back end loads them from its database when it opens, and again after a
// transaction was lost, so that memory never runs ahead of what is stored.
//
// A back end on a server can lose its connection. It is then not Available(): the loop stops
// reading requests (the data providers wait, or time out and send again) and calls Maintain,
// which connects again with a bounded back-off. A commit whose answer was lost with the
// connection has an unknown outcome (kCommitUnknown): its replies are held until Maintain has
// connected again and learnt from the database whether it committed (TakeResolved), and go out
// as they were or as "send again". All operations return 0 or a nonzero status of the back end;
// the message of the last failure is in LastError(). Nothing here throws.
#pragma once

#include <stdint.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tools/dch/dchdecode.h"

namespace qdvp_dch {

// The identity of a source: application, attribute group, source name.
struct DchSourceKey {
  std::string application, group, source;
  bool operator<(const DchSourceKey &o) const {
    return std::tie(application, group, source) < std::tie(o.application, o.group, o.source);
  }
};

// One row as the store writes it.
struct DchRowRecord {
  uint32_t handle = 0;
  const DchSourceKey *key = nullptr;  // null for a handle that is not online
  int dataSequence = 0;
  const std::vector<DchAttrView> *attrs = nullptr;  // valid until the write returns
  int64_t receivedMs = 0;          // when it came, in milliseconds since 1970 (UTC)
  std::optional<uint32_t> stream;  // a row of a row stream (a link with a window)
  uint32_t number = 0;
};

// Commit's outcome when the connection was lost before the database answered the commit.
constexpr int kCommitUnknown = -100;

class DchStore {
 public:
  using Clock = std::chrono::steady_clock;

  DchStore() = default;
  virtual ~DchStore() = default;
  DchStore(const DchStore &) = delete;
  DchStore &operator=(const DchStore &) = delete;

  // "sqlite" or "postgresql".
  virtual const char *Kind() const = 0;
  // Commits what is open and closes the database.
  virtual int Close() = 0;

  // Records a registration: the application, and its attribute groups and attributes, which
  // replace those of an earlier registration of the same application.
  int Register(const DchMessage &message, const std::string &now);
  // Brings a source online and returns its handle in *handle: the handle it already has while
  // it is online, otherwise a new one, never 0 and never used before in this database.
  int Online(const DchSourceKey &key, const std::string &now, uint32_t *handle);
  // Takes the source of handle offline; *known says whether the handle was online.
  int Offline(uint32_t handle, const std::string &now, bool *known);
  // Marks the application unregistered and takes its sources that are still online offline.
  int Unregister(const std::string &application, const std::string &now);
  // Stores one row, received at receivedMs (DchNowMs). key is the handle's source, or null for
  // a handle that is not online. A row of a row stream (a link with a window) carries its
  // stream and number. attrs (and what they point into) need only live until the call returns.
  int Row(uint32_t handle, const DchSourceKey *key, int dataSequence,
          const std::vector<DchAttrView> &attrs, int64_t receivedMs,
          std::optional<uint32_t> stream = std::nullopt, uint32_t number = 0);

  // What is known of a row stream: the last row stored (0: none), and the first row that was
  // refused with a status that makes the data provider send it again (0: none), before which
  // no later row of the stream is stored. Loaded from the database when first asked for (and
  // asked for again while the database cannot be read).
  struct StreamState {
    uint32_t last = 0;
    uint32_t resendFrom = 0;
    bool loaded = false;
  };
  StreamState &Stream(uint32_t stream);
  // Records an action sent to a data provider, and a status or result that came back.
  int ActionSent(uint32_t id, const std::string &node, uint32_t type, const std::string &name,
                 const std::optional<std::string> &parameter, const std::string &owner,
                 const std::string &peer, const std::string &now);
  int ActionStatus(uint32_t id, int32_t status, const std::optional<std::string> &result,
                   const std::string &now);

  // The source of an online handle, or null.
  const DchSourceKey *Lookup(uint32_t handle) const;
  // The largest action id in the database (actions sent by earlier runs).
  uint32_t LastActionId() const { return lastActionId_; }

  bool InTransaction() const { return inTransaction_; }
  // The number of the open transaction (or of the last one); numbers only grow.
  uint64_t Transaction() const { return transaction_; }
  // Commits the open transaction: 0 when it is durable; kCommitUnknown when the connection was
  // lost before the answer (see TakeResolved); otherwise it is rolled back and lost.
  int Commit();
  // Rolls back the open transaction after a failed write; TakeLost then returns its number.
  void Abandon();
  // The number of a transaction abandoned since the last call, or 0.
  uint64_t TakeLost() {
    uint64_t lost = lost_;
    lost_ = 0;
    return lost;
  }

  // False while the database cannot be reached; requests should not be read then.
  bool Available() const { return available_; }
  // Connects again when the back-off allows; called by the loop while not Available().
  virtual void Maintain(Clock::time_point now) { (void)now; }
  // When Maintain wants to be called next (only while not Available()).
  virtual Clock::time_point NextAttempt() const { return Clock::now(); }
  // A transaction whose commit had an unknown outcome and is now known: its number and true
  // when it committed. 0 when there is none.
  std::pair<uint64_t, bool> TakeResolved() {
    auto r = resolved_;
    resolved_ = {0, false};
    return r;
  }

  const std::string &LastError() const { return lastError_; }

 protected:
  // What a back end provides. Writes join the transaction that BeginWrites opened; a failed
  // write leaves it to Abandon. LoadState fills the handles of the online sources, the largest
  // handle and the largest action identifier from the database.
  virtual int BeginWrites() = 0;
  virtual int CommitWrites() = 0;  // 0, kCommitUnknown, or a failure (rolled back)
  virtual void RollbackWrites() = 0;
  virtual int WriteRegister(const DchMessage &message, const std::string &now) = 0;
  virtual int WriteOnline(uint32_t handle, const DchSourceKey &key, const std::string &now) = 0;
  virtual int WriteOffline(uint32_t handle, const std::string &now) = 0;
  virtual int WriteUnregister(const std::string &application, const std::string &now) = 0;
  virtual int WriteRow(const DchRowRecord &row) = 0;
  virtual int WriteStreamLast(uint32_t stream, uint32_t last) = 0;
  virtual int WriteActionSent(uint32_t id, const std::string &node, uint32_t type,
                              const std::string &name, const std::optional<std::string> &parameter,
                              const std::string &owner, const std::string &peer,
                              const std::string &now) = 0;
  virtual int WriteActionStatus(uint32_t id, int32_t status,
                                const std::optional<std::string> &result,
                                const std::string &now) = 0;
  virtual int LoadState() = 0;
  // The last stored row of a stream (0 when none); nonzero when the database cannot be read.
  virtual int LoadStreamLast(uint32_t stream, uint32_t *last) = 0;

  // For LoadState: forgets what memory holds of the online sources, and learns one.
  void ClearState();
  void LearnOnline(uint32_t handle, DchSourceKey key);
  void LearnLastHandle(uint32_t handle) { lastHandle_ = std::max(lastHandle_, handle); }
  void LearnLastActionId(uint32_t id) { lastActionId_ = std::max(lastActionId_, id); }
  // For a back end that lost its connection, and found it again: an open transaction is lost;
  // a commit in flight is resolved by Resolve(committed) once the database can be asked.
  void SetAvailable(bool available) { available_ = available; }
  uint64_t Unresolved() const { return unknown_; }
  void Resolve(bool committed);
  int Fail(int rc, const std::string &what);

  std::string lastError_;

 private:
  int Begin();
  // After a lost transaction: memory is read again from the database, and each stream it wrote
  // takes again from the first of its rows that was lost.
  void Forget(const std::unordered_map<uint32_t, uint32_t> &streams);

  bool inTransaction_ = false;
  bool available_ = true;
  uint64_t transaction_ = 0;
  uint64_t lost_ = 0;
  // A commit with an unknown outcome, and the first row of each stream it wrote.
  uint64_t unknown_ = 0;
  std::unordered_map<uint32_t, uint32_t> unknownStreams_;
  std::pair<uint64_t, bool> resolved_{0, false};
  std::unordered_map<uint32_t, DchSourceKey> online_;
  std::unordered_map<uint32_t, StreamState> streams_;
  // The first row of each stream written in the open transaction: when the transaction is
  // lost, those rows and every later one of the stream must come again.
  std::unordered_map<uint32_t, uint32_t> transactionStreams_;
  std::map<DchSourceKey, uint32_t> handles_;
  uint32_t lastHandle_ = 0;
  uint32_t lastActionId_ = 0;
};

// The time now as an ISO 8601 UTC text with milliseconds ("2026-12-05T21:13:12.123Z").
std::string DchNow();
// The time now in milliseconds since 1970 (UTC), and such a time as the text DchNow gives.
int64_t DchNowMs();
std::string DchTimeText(int64_t ms);

}  // namespace qdvp_dch
