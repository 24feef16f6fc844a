// The SQLite back end of the agent peer's store (dchstore.h), the default: one database file
// beside the data providers of one host, readable with sqlite3 while the peer writes.
//
// Every write but a row's is carried out at once inside the open transaction (BEGIN at the
// turn's first write, COMMIT at its end). Rows are kept in the store's memory as they come and
// go in at the commit (or when many have gathered), by INSERTs of many rows each: a statement
// run per row costs more than the row itself. A failed write, or a failed insert of the rows,
// loses the turn's transaction and nothing else. The database runs in WAL mode with
// synchronous=NORMAL and a busy wait of 5 seconds for writers of other programs. Used by the
// event loop thread only; nothing here throws.
#pragma once

#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tools/dch/dchstore.h"

struct sqlite3;
struct sqlite3_stmt;

namespace qdvp_dch {

class DchSqliteStore : public DchStore {
 public:
  DchSqliteStore() = default;
  ~DchSqliteStore() override;

  // Opens (creating when needed) the database and its tables, brings a database of an earlier
  // release up to date, and loads the online handles.
  int Open(const std::string &path);
  int Close() override;
  const char *Kind() const override { return "sqlite"; }

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
  int Exec(const char *sql);
  sqlite3_stmt *Prepare(const char *sql);
  int Step(sqlite3_stmt *s);
  int SqlFail(int rc, const char *what);
  int UpgradeRows();
  int UpgradeSpans();
  int64_t GroupOf(uint32_t handle, const DchSourceKey &key);
  int64_t LayoutOf(uint32_t handle, const std::vector<DchAttrView> &attrs);
  int FlushRows();
  char *TextRoom(size_t size);
  sqlite3_stmt *InsertRows(size_t count);

  sqlite3 *db_ = nullptr;
  // Prepared statements by the address of their SQL text, which is always a literal.
  std::map<const char *, sqlite3_stmt *> statements_;
  // The statements of every turn and row, kept at hand (they are in statements_ as well).
  sqlite3_stmt *begin_ = nullptr, *commit_ = nullptr, *insertSpan_ = nullptr;
  // The group of the last grouped row stored: a row of another group starts a span. Read
  // again with the rest of memory after a lost transaction.
  int64_t lastGroup_ = 0;
  // The row_groups number of each online handle's application and attribute group, and of
  // each pair; forgotten when memory is read again after a lost transaction.
  std::unordered_map<uint32_t, int64_t> groupOfHandle_;
  std::map<std::pair<std::string, std::string>, int64_t> groupIds_;
  // The row_layouts number of each handle's last names, and of each names text; likewise
  // forgotten after a lost transaction.
  struct Layout {
    int64_t id = 0;
    std::vector<std::string> names;
  };
  std::unordered_map<uint32_t, Layout> layoutOfHandle_;
  std::unordered_map<std::string, int64_t> layoutIds_;
  // A row's attributes text, kept from row to row.
  std::string attrs_;
  // The rows of the open transaction not inserted yet, their attribute texts one after the
  // other in the first textsUsed_ bytes of rowTexts_ (bound from there at the insert, so the
  // texts are copied once; the buffer keeps its size from turn to turn).
  struct PendingRow {
    int64_t receivedMs = 0;
    uint32_t handle = 0;
    int64_t group = 0;  // 0: none
    int dataSequence = 0;
    int64_t layout = 0;  // 0: attrs is the object
    size_t textAt = 0, textSize = 0;
    bool inStream = false;
    uint32_t stream = 0, number = 0;
  };
  std::vector<PendingRow> pendingRows_;
  std::string rowTexts_;
  size_t textsUsed_ = 0;
  // The INSERT of 2^i rows at index i, prepared when first needed.
  static constexpr size_t kInsertSizes = 7;  // 1 to 64 rows a statement
  // Kept rows go in once this many are waiting, or their texts hold this many bytes.
  static constexpr size_t kRowsKept = 1024, kTextsKept = 1024 * 1024;
  sqlite3_stmt *insertRows_[kInsertSizes] = {};
};

}  // namespace qdvp_dch
