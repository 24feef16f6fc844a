// SQLite store of the agent peer: applications, attribute groups, attributes, sources, rows
// and actions, written in batches.
//
// The store is used by the peer's single event loop thread only. Every write joins an open
// transaction, begun by the first write after a commit; the event loop calls Commit when the
// batch interval has passed and at shutdown, so a burst of rows costs one commit, not one per
// row. Handles of sources that are online are kept in memory and loaded again when the peer
// starts on an existing database, so a data provider that reconnects to a restarted peer finds
// its handles still known. All operations return 0 or a nonzero SQLite status; the message of
// the last failure is in LastError(). Nothing here throws.
#pragma once

#include <stdint.h>

#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>

#include "tools/dch/dchdecode.h"

struct sqlite3;
struct sqlite3_stmt;

namespace qdvp_dch {

// The identity of a source: application, attribute group, source name.
struct DchSourceKey {
  std::string application, group, source;
  bool operator<(const DchSourceKey &o) const {
    return std::tie(application, group, source) < std::tie(o.application, o.group, o.source);
  }
};

class DchStore {
 public:
  DchStore() = default;
  ~DchStore();
  DchStore(const DchStore &) = delete;
  DchStore &operator=(const DchStore &) = delete;

  // Opens (creating when needed) the database and its tables, and loads the online handles.
  int Open(const std::string &path);
  // Commits what is open and closes the database.
  int Close();

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
  // Stores one row. key is the handle's source, or null for a handle that is not online.
  // A row of a row stream (a link with a window) carries its stream and number.
  int Row(uint32_t handle, const DchSourceKey *key, int dataSequence, const std::string &attrs,
          const std::string &now, std::optional<uint32_t> stream = std::nullopt,
          uint32_t number = 0);

  // What is known of a row stream: the last row stored (0: none), and the first row that was
  // refused with a status that makes the data provider send it again (0: none), before which
  // no later row of the stream is stored. Loaded from the database when first asked for.
  struct StreamState {
    uint32_t last = 0;
    uint32_t resendFrom = 0;
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
  // Commits the open transaction; on failure it is rolled back and what it held is lost.
  int Commit();
  // Rolls back the open transaction after a failed write; TakeLost then returns its number.
  void Abandon();
  // The number of a transaction abandoned since the last call, or 0.
  uint64_t TakeLost() {
    uint64_t lost = lost_;
    lost_ = 0;
    return lost;
  }

  const std::string &LastError() const { return lastError_; }

 private:
  int Exec(const char *sql);
  int Begin();
  sqlite3_stmt *Prepare(const char *sql);
  int Fail(int rc, const char *what);

  sqlite3 *db_ = nullptr;
  bool inTransaction_ = false;
  uint64_t transaction_ = 0;
  uint64_t lost_ = 0;
  std::string lastError_;
  // Prepared statements by the address of their SQL text, which is always a literal.
  std::map<const char *, sqlite3_stmt *> statements_;
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

}  // namespace qdvp_dch
