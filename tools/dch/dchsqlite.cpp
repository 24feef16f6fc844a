// The SQLite back end of the store: statements prepared once and kept, run at once inside the
// turn's transaction.
#include "tools/dch/dchsqlite.h"

#include <sqlite3.h>

#include <utility>
#include <vector>

namespace qdvp_dch {

namespace {

const char *kSchema = R"sql(
CREATE TABLE IF NOT EXISTS applications (
  name TEXT PRIMARY KEY, help TEXT, registered_at TEXT, unregistered_at TEXT,
  registrations INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS attribute_groups (
  application TEXT NOT NULL, name TEXT NOT NULL, type TEXT, ttl INTEGER, help TEXT,
  PRIMARY KEY (application, name));
CREATE TABLE IF NOT EXISTS attributes (
  application TEXT NOT NULL, attribute_group TEXT NOT NULL, name TEXT NOT NULL, type TEXT,
  size INTEGER, "key" INTEGER, atomic INTEGER, enum TEXT, help TEXT, position INTEGER,
  PRIMARY KEY (application, attribute_group, name));
CREATE TABLE IF NOT EXISTS sources (
  handle INTEGER PRIMARY KEY, application TEXT, attribute_group TEXT, source TEXT,
  online_at TEXT, offline_at TEXT);
CREATE TABLE IF NOT EXISTS rows (
  id INTEGER PRIMARY KEY, received_at TEXT, handle INTEGER, application TEXT,
  attribute_group TEXT, source TEXT, data_sequence INTEGER, attrs TEXT, row_stream INTEGER,
  row_number INTEGER);
CREATE INDEX IF NOT EXISTS rows_by_group ON rows (application, attribute_group);
CREATE TABLE IF NOT EXISTS row_streams (
  row_stream INTEGER PRIMARY KEY, last_row INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS actions (
  id INTEGER PRIMARY KEY, sent_at TEXT, peer TEXT, node TEXT, type INTEGER, name TEXT,
  parameter TEXT, owner TEXT, status INTEGER, result TEXT, status_at TEXT);
)sql";

void BindText(sqlite3_stmt *s, int i, const std::string &text) {
  sqlite3_bind_text(s, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void BindOptional(sqlite3_stmt *s, int i, const std::optional<std::string> &text) {
  if (text) {
    BindText(s, i, *text);
  } else {
    sqlite3_bind_null(s, i);
  }
}

}  // namespace

DchSqliteStore::~DchSqliteStore() { Close(); }

int DchSqliteStore::SqlFail(int rc, const char *what) {
  return Fail(rc == SQLITE_OK ? SQLITE_ERROR : rc,
              std::string(what) + ": " + (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc)));
}

int DchSqliteStore::Exec(const char *sql) {
  char *error = nullptr;
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    lastError_ = error ? error : sqlite3_errstr(rc);
    sqlite3_free(error);
  }
  return rc;
}

sqlite3_stmt *DchSqliteStore::Prepare(const char *sql) {
  auto it = statements_.find(sql);
  if (it != statements_.end()) {
    sqlite3_reset(it->second);
    sqlite3_clear_bindings(it->second);
    return it->second;
  }
  sqlite3_stmt *s = nullptr;
  if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) {
    SqlFail(SQLITE_ERROR, "prepare");
    return nullptr;
  }
  statements_[sql] = s;
  return s;
}

// Runs a prepared statement to its end and reports a failure in lastError_. Every statement
// is reset once run: one left stepped keeps a read snapshot open, and a write from outside
// would then make every later write of ours fail as busy.
int DchSqliteStore::Step(sqlite3_stmt *s) {
  if (!s) return SQLITE_ERROR;
  int rc = sqlite3_step(s);
  sqlite3_reset(s);
  if (rc == SQLITE_DONE || rc == SQLITE_ROW) return SQLITE_OK;
  lastError_ = sqlite3_errmsg(db_);
  return rc;
}

int DchSqliteStore::Open(const std::string &path) {
  // One thread uses the connection: SQLite's own locking of it is left out, and so is its count
  // of memory in use, which takes a global lock at every allocation (a setting taken only
  // before SQLite's first use: refused, and harmless, after it).
  sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  int rc =
      sqlite3_open_v2(path.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) return SqlFail(rc, "open");
  sqlite3_busy_timeout(db_, 5000);
  if ((rc = Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;")) != SQLITE_OK) return rc;
  if ((rc = Exec(kSchema)) != SQLITE_OK) return rc;
  // A database of an earlier release has no row stream columns yet.
  sqlite3_exec(db_, "ALTER TABLE rows ADD COLUMN row_stream INTEGER", nullptr, nullptr, nullptr);
  sqlite3_exec(db_, "ALTER TABLE rows ADD COLUMN row_number INTEGER", nullptr, nullptr, nullptr);
  // A database of an earlier release found a stream's last row through an index of the rows
  // table, which cost every insert an index entry: the last row of each stream now has a table
  // of its own, filled once from the rows.
  sqlite3_stmt *s = Prepare("SELECT count(*) FROM sqlite_master WHERE name = 'rows_by_stream'");
  if (!s) return SQLITE_ERROR;
  bool earlier = sqlite3_step(s) == SQLITE_ROW && sqlite3_column_int(s, 0) > 0;
  sqlite3_reset(s);
  if (earlier &&
      (rc = Exec("BEGIN; INSERT OR REPLACE INTO row_streams SELECT row_stream, max(row_number) "
                 "FROM rows WHERE row_stream IS NOT NULL GROUP BY row_stream; "
                 "DROP INDEX rows_by_stream; COMMIT")) != SQLITE_OK) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);  // keeps the error said
    return rc;
  }
  return LoadState();
}

int DchSqliteStore::LoadState() {
  if (!db_) return SQLITE_MISUSE;
  sqlite3_stmt *s = Prepare(
      "SELECT handle, application, attribute_group, source FROM sources "
      "WHERE offline_at IS NULL");
  if (!s) return SQLITE_ERROR;
  // Read whole before memory is replaced: a read that fails leaves memory as it was.
  std::vector<std::pair<uint32_t, DchSourceKey>> online;
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    auto text = [s](int i) {
      const unsigned char *t = sqlite3_column_text(s, i);
      return t ? std::string(reinterpret_cast<const char *>(t), sqlite3_column_bytes(s, i))
               : std::string();
    };
    online.push_back(
        {static_cast<uint32_t>(sqlite3_column_int64(s, 0)), {text(1), text(2), text(3)}});
  }
  sqlite3_reset(s);
  if (rc != SQLITE_DONE) return SqlFail(rc, "load online sources");
  ClearState();
  for (auto &[handle, key] : online) LearnOnline(handle, std::move(key));
  s = Prepare("SELECT coalesce(max(handle), 0) FROM sources");
  if (s && sqlite3_step(s) == SQLITE_ROW) {
    LearnLastHandle(static_cast<uint32_t>(sqlite3_column_int64(s, 0)));
  }
  if (s) sqlite3_reset(s);
  s = Prepare("SELECT coalesce(max(id), 0) FROM actions");
  if (s && sqlite3_step(s) == SQLITE_ROW) {
    LearnLastActionId(static_cast<uint32_t>(sqlite3_column_int64(s, 0)));
  }
  if (s) sqlite3_reset(s);
  return SQLITE_OK;
}

int DchSqliteStore::LoadStreamLast(uint32_t stream, uint32_t *last) {
  *last = 0;
  if (!db_) return SQLITE_MISUSE;
  sqlite3_stmt *s = Prepare("SELECT last_row FROM row_streams WHERE row_stream = ?1");
  if (!s) return SQLITE_ERROR;
  sqlite3_bind_int64(s, 1, stream);
  int rc = sqlite3_step(s);
  if (rc == SQLITE_ROW) *last = static_cast<uint32_t>(sqlite3_column_int64(s, 0));
  sqlite3_reset(s);
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int DchSqliteStore::Close() {
  if (!db_) return SQLITE_OK;
  int rc = Commit();
  for (auto &[sql, s] : statements_) sqlite3_finalize(s);
  statements_.clear();
  sqlite3_close(db_);
  db_ = nullptr;
  return rc;
}

int DchSqliteStore::BeginWrites() { return db_ ? Exec("BEGIN") : SQLITE_MISUSE; }
int DchSqliteStore::CommitWrites() { return Exec("COMMIT"); }
void DchSqliteStore::RollbackWrites() {
  if (db_) Exec("ROLLBACK");
}

int DchSqliteStore::WriteRegister(const DchMessage &message, const std::string &now) {
  sqlite3_stmt *s = Prepare(
      "INSERT INTO applications (name, help, registered_at, unregistered_at, registrations) "
      "VALUES (?1, ?2, ?3, NULL, 1) ON CONFLICT (name) DO UPDATE SET help = ?2, "
      "registered_at = ?3, unregistered_at = NULL, registrations = registrations + 1");
  if (!s) return SQLITE_ERROR;
  BindText(s, 1, message.application);
  BindText(s, 2, message.applicationHelp);
  BindText(s, 3, now);
  int rc;
  if ((rc = Step(s)) != SQLITE_OK) return rc;
  for (const char *sql : {"DELETE FROM attribute_groups WHERE application = ?1",
                          "DELETE FROM attributes WHERE application = ?1"}) {
    s = Prepare(sql);
    if (!s) return SQLITE_ERROR;
    BindText(s, 1, message.application);
    if ((rc = Step(s)) != SQLITE_OK) return rc;
  }
  for (const auto &table : message.tables) {
    s = Prepare(
        "INSERT OR REPLACE INTO attribute_groups (application, name, type, ttl, help) "
        "VALUES (?1, ?2, ?3, ?4, ?5)");
    if (!s) return SQLITE_ERROR;
    BindText(s, 1, message.application);
    BindText(s, 2, table.name);
    BindText(s, 3, table.dataType);
    if (table.ttl) sqlite3_bind_int64(s, 4, *table.ttl);
    BindText(s, 5, table.help);
    if ((rc = Step(s)) != SQLITE_OK) return rc;
    for (const auto &a : table.attributes) {
      s = Prepare(
          "INSERT OR REPLACE INTO attributes (application, attribute_group, name, type, size, "
          "\"key\", atomic, enum, help, position) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, "
          "?10)");
      if (!s) return SQLITE_ERROR;
      BindText(s, 1, message.application);
      BindText(s, 2, table.name);
      BindText(s, 3, a.name);
      BindText(s, 4, a.type);
      sqlite3_bind_int(s, 5, a.size);
      sqlite3_bind_int(s, 6, a.key);
      sqlite3_bind_int(s, 7, a.atomic);
      BindText(s, 8, a.enumText);
      BindText(s, 9, a.help);
      sqlite3_bind_int(s, 10, a.position);
      if ((rc = Step(s)) != SQLITE_OK) return rc;
    }
  }
  return SQLITE_OK;
}

int DchSqliteStore::WriteOnline(uint32_t handle, const DchSourceKey &key, const std::string &now) {
  sqlite3_stmt *s = Prepare(
      "INSERT OR REPLACE INTO sources (handle, application, attribute_group, source, online_at, "
      "offline_at) VALUES (?1, ?2, ?3, ?4, ?5, NULL)");
  if (!s) return SQLITE_ERROR;
  sqlite3_bind_int64(s, 1, handle);
  BindText(s, 2, key.application);
  BindText(s, 3, key.group);
  BindText(s, 4, key.source);
  BindText(s, 5, now);
  return Step(s);
}

int DchSqliteStore::WriteOffline(uint32_t handle, const std::string &now) {
  sqlite3_stmt *s = Prepare("UPDATE sources SET offline_at = ?2 WHERE handle = ?1");
  if (!s) return SQLITE_ERROR;
  sqlite3_bind_int64(s, 1, handle);
  BindText(s, 2, now);
  return Step(s);
}

int DchSqliteStore::WriteUnregister(const std::string &application, const std::string &now) {
  sqlite3_stmt *s = Prepare("UPDATE applications SET unregistered_at = ?2 WHERE name = ?1");
  if (!s) return SQLITE_ERROR;
  BindText(s, 1, application);
  BindText(s, 2, now);
  int rc;
  if ((rc = Step(s)) != SQLITE_OK) return rc;
  s = Prepare("UPDATE sources SET offline_at = ?2 WHERE application = ?1 AND offline_at IS NULL");
  if (!s) return SQLITE_ERROR;
  BindText(s, 1, application);
  BindText(s, 2, now);
  return Step(s);
}

int DchSqliteStore::WriteRow(const DchRowRecord &row) {
  sqlite3_stmt *s = Prepare(
      "INSERT INTO rows (received_at, handle, application, attribute_group, source, "
      "data_sequence, attrs, row_stream, row_number) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, "
      "?9)");
  if (!s) return SQLITE_ERROR;
  BindText(s, 1, *row.now);
  sqlite3_bind_int64(s, 2, row.handle);
  if (row.key) {
    BindText(s, 3, row.key->application);
    BindText(s, 4, row.key->group);
    BindText(s, 5, row.key->source);
  }
  sqlite3_bind_int(s, 6, row.dataSequence);
  BindText(s, 7, *row.attrs);
  if (row.stream) {
    sqlite3_bind_int64(s, 8, *row.stream);
    sqlite3_bind_int64(s, 9, row.number);
  }
  return Step(s);
}

int DchSqliteStore::WriteStreamLast(uint32_t stream, uint32_t last) {
  sqlite3_stmt *s =
      Prepare("INSERT OR REPLACE INTO row_streams (row_stream, last_row) VALUES (?1, ?2)");
  if (!s) return SQLITE_ERROR;
  sqlite3_bind_int64(s, 1, stream);
  sqlite3_bind_int64(s, 2, last);
  return Step(s);
}

int DchSqliteStore::WriteActionSent(uint32_t id, const std::string &node, uint32_t type,
                                    const std::string &name,
                                    const std::optional<std::string> &parameter,
                                    const std::string &owner, const std::string &peer,
                                    const std::string &now) {
  sqlite3_stmt *s = Prepare(
      "INSERT OR REPLACE INTO actions (id, sent_at, peer, node, type, name, parameter, owner) "
      "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
  if (!s) return SQLITE_ERROR;
  sqlite3_bind_int64(s, 1, id);
  BindText(s, 2, now);
  BindText(s, 3, peer);
  BindText(s, 4, node);
  sqlite3_bind_int64(s, 5, type);
  BindText(s, 6, name);
  BindOptional(s, 7, parameter);
  BindText(s, 8, owner);
  return Step(s);
}

int DchSqliteStore::WriteActionStatus(uint32_t id, int32_t status,
                                      const std::optional<std::string> &result,
                                      const std::string &now) {
  // An action the peer did not send (or sent in a run whose database is gone) is kept too.
  sqlite3_stmt *s = Prepare(
      "INSERT INTO actions (id, status, result, status_at) VALUES (?1, ?2, ?3, ?4) "
      "ON CONFLICT (id) DO UPDATE SET status = ?2, result = coalesce(?3, result), "
      "status_at = ?4");
  if (!s) return SQLITE_ERROR;
  sqlite3_bind_int64(s, 1, id);
  sqlite3_bind_int(s, 2, status);
  BindOptional(s, 3, result);
  BindText(s, 4, now);
  return Step(s);
}

}  // namespace qdvp_dch
