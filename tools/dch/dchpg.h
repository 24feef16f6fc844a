// The PostgreSQL back end of the agent peer's store (dchstore.h): the peers of many hosts write
// into one database, each under its host identity, which is part of every key (applications,
// attribute groups, attributes, sources, rows, row streams, actions), so that handles, row
// streams and the once-only rule of each host are its own and no peer touches another's
// sources. A peer holds a session advisory lock on its host identity while connected: a second
// peer with the same identity waits for it (a restarted peer whose old connection is still
// being closed), and gives up after a while.
//
// A turn's writes are kept in memory and sent at the commit: the statements in pipelines of
// prepared statements (BEGIN and the statements in their order; each row stream's last row, the
// host's commit mark and COMMIT), and the turn's rows by COPY between them, or, with
// SetCopyRows(false), in multi-row INSERTs inside the one pipeline (a turn in one round trip).
// COPY is the default: with four peers into one database it stored a fifth more rows per
// second than the INSERTs, and as many with one (docs/performance.md). The mark
// (dch_hosts.last_transaction) tells, after a connection lost during the commit, whether that
// commit happened. A lost connection makes the store unavailable; Maintain connects again after
// 100 ms, doubling up to 5 s, and says so on standard error. Used by the event loop thread
// only; nothing here throws.
#pragma once

#include <string>
#include <vector>

#include "tools/dch/dchstore.h"

struct pg_conn;

namespace qdvp_dch {

// A text PostgreSQL accepts: valid UTF-8 without NUL bytes (both replaced by U+FFFD).
std::string DchPgText(const std::string &text);

class DchPgStore : public DchStore {
 public:
  // conninfo: a libpq connection string or URI; host: the identity the rows are stored under.
  DchPgStore(std::string conninfo, std::string host);
  ~DchPgStore() override;

  // Connects, creates the tables when missing, takes the host's lock (waiting up to lockWaitMs
  // for a peer of the same identity to let go) and loads the online handles.
  int Open(int lockWaitMs = 10000);
  int Close() override;
  const char *Kind() const override { return "postgresql"; }
  void Maintain(Clock::time_point now) override;
  Clock::time_point NextAttempt() const override { return nextAttempt_; }
  // Rows by COPY (the default) or by multi-row INSERTs.
  void SetCopyRows(bool copy) { copyRows_ = copy; }
  const std::string &Host() const { return host_; }

 protected:
  int BeginWrites() override;
  int CommitWrites() override;
  void RollbackWrites() override;
  int WriteRegister(const DchMessage &message, const std::string &now) override;
  int WriteOnline(uint32_t handle, const DchSourceKey &key, const std::string &now) override;
  int WriteOffline(uint32_t handle, const std::string &now) override;
  int WriteUnregister(const std::string &application, const std::string &now) override;
  int WriteRow(const DchRowRecord &row) override;
  int WriteStreamLast(uint32_t stream, uint32_t last) override;
  int WriteActionSent(uint32_t id, const std::string &node, uint32_t type, const std::string &name,
                      const std::optional<std::string> &parameter, const std::string &owner,
                      const std::string &peer, const std::string &now) override;
  int WriteActionStatus(uint32_t id, int32_t status, const std::optional<std::string> &result,
                        const std::string &now) override;
  int LoadState() override;
  int LoadStreamLast(uint32_t stream, uint32_t *last) override;

 private:
  std::string attrsText_;  // a row's attributes as JSON, kept from row to row
  using Param = std::optional<std::string>;
  // One statement of the turn: a prepared statement's name (or a plain SQL text) and its
  // parameters as text.
  struct Op {
    const char *statement;
    std::vector<Param> params;
    bool prepared = true;
  };
  enum Outcome { kDone = 0, kFailed = 1, kConnectionLost = 2 };

  int Connect(int lockWaitMs);
  void Lost(std::string why);
  // Runs statements in one pipeline and one round trip.
  Outcome Pipeline(const std::vector<Op> &ops);
  Outcome CopyRows();
  // A query with text parameters, for the loads; rows of text, NULL as nullopt.
  Outcome Query(const char *statement, const std::vector<Param> &params,
                std::vector<std::vector<Param>> *rows);
  void Add(const char *statement, std::vector<Param> params);

  std::string conninfo_, host_, run_;
  pg_conn *conn_ = nullptr;
  bool copyRows_ = true;
  std::vector<Op> ops_;
  // The rows of the turn, 9 texts each (received_at ... row_number), in arrival order.
  std::vector<Param> rows_;
  size_t rowCount_ = 0;
  Clock::time_point nextAttempt_;
  int backoffMs_ = 100;
  int attempts_ = 0;
};

}  // namespace qdvp_dch
