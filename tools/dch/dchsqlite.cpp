// The SQLite back end of the store: statements prepared once and kept, run at once inside the
// turn's transaction; a turn's rows kept and inserted many to a statement.
#include "tools/dch/dchsqlite.h"

#include <sqlite3.h>
#include <string.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace qdvp_dch {

namespace {

// The tables. A row keeps what is its own (when it came, the handle as sent, its mark, its
// attribute values, its place in a row stream) and, when its handle was online, the number of
// its application and attribute group in row_groups. Its attributes are kept as a JSON array
// of the values, with the number of the JSON array of their names in row_layouts (the names
// are the same row after row), or, when a name or a value is not plain text or a name comes
// twice, as the JSON object itself (layout_id NULL). The view rows gives each row its
// application, attribute group and source by the group and the handle, its time as text and
// its attributes as the JSON object: the columns a row had when it carried them itself.
//
// The rows of a table are found by row_spans, not by an index of row_data: a span is a run of
// rows of one group, from its first row to the row before the next span's (the last span runs
// to the last row); rows without a group may lie inside any span. A span is written only when
// a row's group differs from the last grouped row's, so a turn of rows of the table of the
// turn before writes nothing but its rows: one page fewer a commit than an index on the group
// took. The view table_spans gives each span's table and its last row; the view table_rows
// is rows of a table found through its spans (the order of its joins is fixed, table, spans,
// rows by their id range, and the unary + keeps SQLite from building an index of the group for
// the query): what a count or an aggregate by table reads.
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
CREATE TABLE IF NOT EXISTS row_groups (
  id INTEGER PRIMARY KEY, application TEXT NOT NULL, attribute_group TEXT NOT NULL,
  UNIQUE (application, attribute_group));
CREATE TABLE IF NOT EXISTS row_layouts (id INTEGER PRIMARY KEY, names TEXT NOT NULL UNIQUE);
CREATE TABLE IF NOT EXISTS row_data (
  id INTEGER PRIMARY KEY, received_ms INTEGER, handle INTEGER, group_id INTEGER,
  data_sequence INTEGER, layout_id INTEGER, attrs TEXT, row_stream INTEGER, row_number INTEGER);
CREATE TABLE IF NOT EXISTS row_spans (first_id INTEGER PRIMARY KEY, group_id INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS row_spans_by_group ON row_spans (group_id, first_id);
CREATE TABLE IF NOT EXISTS row_streams (
  row_stream INTEGER PRIMARY KEY, last_row INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS actions (
  id INTEGER PRIMARY KEY, sent_at TEXT, peer TEXT, node TEXT, type INTEGER, name TEXT,
  parameter TEXT, owner TEXT, status INTEGER, result TEXT, status_at TEXT);
)sql";

// The columns of a stored row as the views show it (rows and table_rows share them).
const char kRowColumns[] = R"sql(  r.id AS id,
  strftime('%Y-%m-%dT%H:%M:%fZ', r.received_ms / 1000.0, 'unixepoch') AS received_at,
  r.handle AS handle, g.application AS application, g.attribute_group AS attribute_group,
  s.source AS source, r.data_sequence AS data_sequence,
  CASE WHEN r.layout_id IS NULL THEN r.attrs ELSE
    (SELECT json_group_object(n.value, v.value) FROM row_layouts l, json_each(l.names) n,
       json_each(r.attrs) v WHERE l.id = r.layout_id AND v.key = n.key) END AS attrs,
  r.row_stream AS row_stream, r.row_number AS row_number
)sql";

// The views of the stored rows: all rows, a table's rows through its spans, the spans.
std::string RowsViews() {
  return std::string(R"sql(
CREATE VIEW IF NOT EXISTS rows AS SELECT
)sql") + kRowColumns +
         R"sql(FROM row_data r
LEFT JOIN row_groups g ON g.id = r.group_id
LEFT JOIN sources s ON r.group_id IS NOT NULL AND s.handle = r.handle;
CREATE VIEW IF NOT EXISTS table_rows AS SELECT
)sql" + kRowColumns +
         R"sql(FROM row_groups g CROSS JOIN row_spans sp CROSS JOIN row_data r
LEFT JOIN sources s ON s.handle = r.handle
WHERE sp.group_id = g.id AND r.id >= sp.first_id
  AND r.id < coalesce((SELECT n.first_id FROM row_spans n WHERE n.first_id > sp.first_id
                       ORDER BY n.first_id LIMIT 1), 9223372036854775807)
  AND +r.group_id = g.id;
CREATE VIEW IF NOT EXISTS table_spans AS SELECT
  g.application AS application, g.attribute_group AS attribute_group, sp.first_id AS first_id,
  coalesce((SELECT n.first_id FROM row_spans n WHERE n.first_id > sp.first_id
            ORDER BY n.first_id LIMIT 1) - 1, (SELECT max(id) FROM row_data)) AS last_id
FROM row_spans sp JOIN row_groups g ON g.id = sp.group_id;
)sql";
}

// A database whose rows were found by an index on their group (row_data_by_group, written with
// every row) gets its spans from its rows, and the index goes.
const char *kUpgradeSpans = R"sql(
INSERT INTO row_spans (first_id, group_id)
  SELECT id, group_id FROM (SELECT id, group_id, lag(group_id) OVER (ORDER BY id) AS before
                            FROM row_data WHERE group_id IS NOT NULL)
  WHERE before IS NULL OR before <> group_id;
DROP INDEX IF EXISTS row_data_by_group;
)sql";

// A database of the earlier layout kept every row's application, attribute group and source
// as texts in a table rows: its rows move to row_data, in their order and with their ids.
const char *kUpgradeRows = R"sql(
INSERT OR IGNORE INTO row_groups (application, attribute_group)
  SELECT DISTINCT application, attribute_group FROM rows
  WHERE application IS NOT NULL AND attribute_group IS NOT NULL;
INSERT INTO row_data (id, received_ms, handle, group_id, data_sequence, attrs, row_stream,
                      row_number)
  SELECT e.id, CAST(round((julianday(e.received_at) - 2440587.5) * 86400000.0) AS INTEGER),
         e.handle, g.id, e.data_sequence, e.attrs, e.row_stream, e.row_number
  FROM rows e LEFT JOIN row_groups g
    ON g.application = e.application AND g.attribute_group = e.attribute_group;
DROP TABLE rows;
)sql";

void BindText(sqlite3_stmt *s, int i, std::string_view text) {
  sqlite3_bind_text(s, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void BindOptional(sqlite3_stmt *s, int i, const std::optional<std::string> &text) {
  if (text) {
    BindText(s, i, *text);
  } else {
    sqlite3_bind_null(s, i);
  }
}

// A number, or NULL when the row has none.
void BindNumberOr(sqlite3_stmt *s, int i, bool present, int64_t number) {
  if (present) {
    sqlite3_bind_int64(s, i, number);
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
  // A database created here has pages of 1 KiB rather than 4: a commit writes every page it
  // changed whole to the WAL (with its checksum), and a turn of one row changes one (the row's;
  // no index is written per row), so with one row in flight the page size is most of a commit's
  // cost.
  // A database that exists keeps its own page size.
  // Checkpoints come every 16000 pages (16 MiB) of WAL rather than every 1000: each costs its
  // syncs and copies the pages written since the last, and a page written by many commits in
  // between is copied once. A WAL grown beyond while a reader held it is cut back to 32 MiB
  // once checkpointed.
  if ((rc = Exec("PRAGMA page_size=1024; PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; "
                 "PRAGMA wal_autocheckpoint=16000; PRAGMA journal_size_limit=33554432;")) !=
      SQLITE_OK) {
    return rc;
  }
  if ((rc = Exec(kSchema)) != SQLITE_OK) return rc;
  if ((rc = UpgradeRows()) != SQLITE_OK) return rc;
  if ((rc = UpgradeSpans()) != SQLITE_OK) return rc;
  if ((rc = Exec(RowsViews().c_str())) != SQLITE_OK) return rc;
  // The statements of every turn and every row, prepared once.
  // The write lock is taken when the turn's first write begins its transaction, not at the
  // first statement that writes: the rows go in only at the commit, and a database locked by
  // another program is then still known at the first write, which is answered send again.
  // A turn costs six file locks (fcntl on the -shm file) and none can go while other programs
  // may read and write: the read mark moved to the WAL's end (an exclusive lock on it and its
  // release: the commit before moved the end past every mark), the turn's read lock, the WAL's
  // write lock, and the two releases at the commit. Only locking_mode=EXCLUSIVE or a
  // transaction never ended would save them, and either shuts every other program out.
  begin_ = Prepare("BEGIN IMMEDIATE");
  commit_ = Prepare("COMMIT");
  insertSpan_ = Prepare("INSERT INTO row_spans (first_id, group_id) VALUES (?1, ?2)");
  if (!begin_ || !commit_ || !insertSpan_ || !InsertRows(1)) return SQLITE_ERROR;
  return LoadState();
}

// A database of an earlier release: its table rows (with the columns it lacks added first, and
// the last row of each stream read into row_streams where an index of rows served that) moves
// to row_data, in one transaction.
int DchSqliteStore::UpgradeRows() {
  sqlite3_stmt *s =
      Prepare("SELECT count(*) FROM sqlite_master WHERE name = 'rows' AND type = 'table'");
  if (!s) return SQLITE_ERROR;
  bool earlier = sqlite3_step(s) == SQLITE_ROW && sqlite3_column_int(s, 0) > 0;
  sqlite3_reset(s);
  if (!earlier) return SQLITE_OK;
  // A database of a still earlier release has no row stream columns yet.
  sqlite3_exec(db_, "ALTER TABLE rows ADD COLUMN row_stream INTEGER", nullptr, nullptr, nullptr);
  sqlite3_exec(db_, "ALTER TABLE rows ADD COLUMN row_number INTEGER", nullptr, nullptr, nullptr);
  s = Prepare("SELECT count(*) FROM sqlite_master WHERE name = 'rows_by_stream'");
  if (!s) return SQLITE_ERROR;
  bool byStream = sqlite3_step(s) == SQLITE_ROW && sqlite3_column_int(s, 0) > 0;
  sqlite3_reset(s);
  int rc = Exec("BEGIN");
  if (rc == SQLITE_OK && byStream) {
    rc = Exec(
        "INSERT OR REPLACE INTO row_streams SELECT row_stream, max(row_number) FROM rows "
        "WHERE row_stream IS NOT NULL GROUP BY row_stream");
  }
  if (rc == SQLITE_OK) rc = Exec(kUpgradeRows);
  if (rc == SQLITE_OK) rc = Exec("COMMIT");
  if (rc != SQLITE_OK)
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);  // keeps the error said
  return rc;
}

// A database with rows but no spans (written by a release that kept an index on the group
// instead) gets them, in one transaction.
int DchSqliteStore::UpgradeSpans() {
  sqlite3_stmt *s = Prepare(
      "SELECT EXISTS (SELECT 1 FROM row_data WHERE group_id IS NOT NULL) AND NOT EXISTS "
      "(SELECT 1 FROM row_spans)");
  if (!s) return SQLITE_ERROR;
  bool earlier = sqlite3_step(s) == SQLITE_ROW && sqlite3_column_int(s, 0) != 0;
  sqlite3_reset(s);
  int rc = SQLITE_OK;
  if (earlier) {
    rc = Exec("BEGIN");
    if (rc == SQLITE_OK) rc = Exec(kUpgradeSpans);
    if (rc == SQLITE_OK) rc = Exec("COMMIT");
    if (rc != SQLITE_OK) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  } else {
    // Rows that came after a layout without rows: the index of a store emptied by hand.
    rc = Exec("DROP INDEX IF EXISTS row_data_by_group");
  }
  return rc;
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
  // A group id learnt in a transaction that was lost may be gone with it: learnt again.
  groupOfHandle_.clear();
  groupIds_.clear();
  layoutOfHandle_.clear();
  layoutIds_.clear();
  for (auto &[handle, key] : online) LearnOnline(handle, std::move(key));
  s = Prepare("SELECT coalesce(max(handle), 0) FROM sources");
  if (s && sqlite3_step(s) == SQLITE_ROW) {
    LearnLastHandle(static_cast<uint32_t>(sqlite3_column_int64(s, 0)));
  }
  if (s) sqlite3_reset(s);
  // The group a new span follows: the last span's (0 before the first grouped row).
  lastGroup_ = 0;
  s = Prepare("SELECT group_id FROM row_spans ORDER BY first_id DESC LIMIT 1");
  if (s && sqlite3_step(s) == SQLITE_ROW) lastGroup_ = sqlite3_column_int64(s, 0);
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
  for (sqlite3_stmt *&s : insertRows_) {
    sqlite3_finalize(s);
    s = nullptr;
  }
  begin_ = commit_ = insertSpan_ = nullptr;
  sqlite3_close(db_);
  db_ = nullptr;
  return rc;
}

int DchSqliteStore::BeginWrites() { return db_ ? Step(begin_) : SQLITE_MISUSE; }
int DchSqliteStore::CommitWrites() {
  if (!db_) return SQLITE_MISUSE;
  int rc = FlushRows();
  return rc != SQLITE_OK ? rc : Step(commit_);
}
void DchSqliteStore::RollbackWrites() {
  pendingRows_.clear();
  textsUsed_ = 0;
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

// The number of the source's application and attribute group in row_groups, given to the
// pair when its first row comes (inside that row's transaction); 0 when it cannot be had.
int64_t DchSqliteStore::GroupOf(uint32_t handle, const DchSourceKey &key) {
  auto known = groupOfHandle_.find(handle);
  if (known != groupOfHandle_.end()) return known->second;
  auto pair = std::make_pair(key.application, key.group);
  auto it = groupIds_.find(pair);
  int64_t id = it == groupIds_.end() ? 0 : it->second;
  for (const char *sql :
       {"SELECT id FROM row_groups WHERE application = ?1 AND attribute_group = ?2",
        "INSERT INTO row_groups (application, attribute_group) VALUES (?1, ?2) RETURNING id"}) {
    if (id != 0) break;
    sqlite3_stmt *s = Prepare(sql);
    if (!s) return 0;
    BindText(s, 1, key.application);
    BindText(s, 2, key.group);
    if (sqlite3_step(s) == SQLITE_ROW) id = sqlite3_column_int64(s, 0);
    sqlite3_reset(s);
  }
  if (id == 0) return 0;
  groupIds_[pair] = id;
  groupOfHandle_[handle] = id;
  return id;
}

// The number in row_layouts of the names of attrs (plain texts, each once), found or given, by
// the JSON array text of the names, in the turn's transaction, and kept as the handle's layout.
// 0 when it cannot be had.
int64_t DchSqliteStore::LayoutOf(uint32_t handle, const std::vector<DchAttrView> &attrs) {
  std::string names = "[";
  for (size_t i = 0; i < attrs.size(); i++) {
    if (i > 0) names += ',';
    names += '"';
    names.append(attrs[i].name);
    names += '"';
  }
  names += ']';
  auto it = layoutIds_.find(names);
  int64_t id = it == layoutIds_.end() ? 0 : it->second;
  for (const char *sql : {"SELECT id FROM row_layouts WHERE names = ?1",
                          "INSERT INTO row_layouts (names) VALUES (?1) RETURNING id"}) {
    if (id != 0) break;
    sqlite3_stmt *s = Prepare(sql);
    if (!s) return 0;
    BindText(s, 1, names);
    if (sqlite3_step(s) == SQLITE_ROW) id = sqlite3_column_int64(s, 0);
    sqlite3_reset(s);
  }
  if (id == 0) return 0;
  layoutIds_[names] = id;
  Layout &layout = layoutOfHandle_[handle];
  layout.id = id;
  layout.names.clear();
  for (const DchAttrView &a : attrs) layout.names.emplace_back(a.name);
  return id;
}

// The INSERT of count rows (a power of two up to 64), prepared when first asked for.
sqlite3_stmt *DchSqliteStore::InsertRows(size_t count) {
  size_t i = 0;
  while ((size_t{1} << i) < count) i++;
  if (i >= kInsertSizes || (size_t{1} << i) != count) return nullptr;
  if (insertRows_[i]) return insertRows_[i];
  std::string sql =
      "INSERT INTO row_data (received_ms, handle, group_id, data_sequence, layout_id, attrs, "
      "row_stream, row_number) VALUES ";
  for (size_t row = 0; row < count; row++) {
    sql += row == 0 ? "(" : ",(";
    for (size_t column = 0; column < 8; column++) {
      if (column > 0) sql += ',';
      sql += '?';
      sql += std::to_string(row * 8 + column + 1);
    }
    sql += ')';
  }
  if (sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                         &insertRows_[i], nullptr) != SQLITE_OK) {
    SqlFail(SQLITE_ERROR, "prepare");
    insertRows_[i] = nullptr;
  }
  return insertRows_[i];
}

// Inserts the rows kept so far, in the order they came, by statements of 64 rows and then of
// the powers of two that make up the rest (at most seven statements for any number of rows
// below 128). The texts are bound where they lie: rowTexts_ does not change until the rows are
// in.
int DchSqliteStore::FlushRows() {
  size_t at = 0;
  int rc = SQLITE_OK;
  while (rc == SQLITE_OK && at < pendingRows_.size()) {
    size_t left = pendingRows_.size() - at;
    size_t count = size_t{1} << (kInsertSizes - 1);
    while (count > left) count >>= 1;
    sqlite3_stmt *s = InsertRows(count);
    if (!s) {
      rc = SQLITE_ERROR;
      break;
    }
    for (size_t k = 0; k < count; k++) {
      const PendingRow &row = pendingRows_[at + k];
      int p = static_cast<int>(k * 8);
      sqlite3_bind_int64(s, p + 1, row.receivedMs);
      sqlite3_bind_int64(s, p + 2, row.handle);
      BindNumberOr(s, p + 3, row.group != 0, row.group);
      sqlite3_bind_int(s, p + 4, row.dataSequence);
      BindNumberOr(s, p + 5, row.layout != 0, row.layout);
      sqlite3_bind_text(s, p + 6, rowTexts_.data() + row.textAt, static_cast<int>(row.textSize),
                        SQLITE_STATIC);
      BindNumberOr(s, p + 7, row.inStream, row.stream);
      BindNumberOr(s, p + 8, row.inStream, row.number);
    }
    rc = Step(s);
    // The rows of one statement have consecutive ids, the last of them last_insert_rowid: a
    // row whose group is not the last grouped row's starts a span.
    if (rc == SQLITE_OK) {
      int64_t id = sqlite3_last_insert_rowid(db_) - static_cast<int64_t>(count);
      for (size_t k = 0; k < count && rc == SQLITE_OK; k++) {
        id++;
        int64_t group = pendingRows_[at + k].group;
        if (group == 0 || group == lastGroup_) continue;
        sqlite3_bind_int64(insertSpan_, 1, id);
        sqlite3_bind_int64(insertSpan_, 2, group);
        rc = Step(insertSpan_);
        lastGroup_ = group;
      }
    }
    at += count;
  }
  pendingRows_.clear();
  textsUsed_ = 0;
  // The room of a turn of rare, large rows is given back.
  if (rowTexts_.size() > 4 * kTextsKept) std::string().swap(rowTexts_);
  return rc;
}

// Room for size more bytes of row texts after the textsUsed_ already written.
char *DchSqliteStore::TextRoom(size_t size) {
  if (rowTexts_.size() < textsUsed_ + size) {
    rowTexts_.resize(std::max(rowTexts_.size() * 2, textsUsed_ + size));
  }
  return rowTexts_.data() + textsUsed_;
}

// The row is kept for the commit's INSERT: its values as an array written straight into the
// turn's texts when its names can be a layout (the handle's last names again, found by a
// comparison of the names, or names that are plain and each once) and its texts are plain;
// otherwise its object.
int DchSqliteStore::WriteRow(const DchRowRecord &row) {
  if (!db_) return SQLITE_MISUSE;
  const std::vector<DchAttrView> &attrs = *row.attrs;
  int64_t group = row.key ? GroupOf(row.handle, *row.key) : 0;
  if (row.key && group == 0) return SqlFail(SQLITE_ERROR, "row group");
  const Layout &known = layoutOfHandle_[row.handle];
  bool sameNames =
      known.id != 0 && known.names.size() == attrs.size() &&
      std::equal(attrs.begin(), attrs.end(), known.names.begin(),
                 [](const DchAttrView &a, const std::string &n) { return a.name == n; });
  int64_t layout = 0;
  char *at = nullptr, *end = nullptr;
  if (sameNames || DchRowNamesPlain(attrs)) {
    at = TextRoom(DchValuesArrayBound(attrs));
    end = DchWriteValuesArray(attrs, at);
  }
  if (end) {
    layout = sameNames ? known.id : LayoutOf(row.handle, attrs);
    if (layout == 0) return SqlFail(SQLITE_ERROR, "row layout");
  } else {
    DchRowAttrsText(attrs, &attrs_);
    at = TextRoom(attrs_.size());
    memcpy(at, attrs_.data(), attrs_.size());
    end = at + attrs_.size();
  }
  PendingRow pending;
  pending.receivedMs = row.receivedMs;
  pending.handle = row.handle;
  pending.group = group;
  pending.dataSequence = row.dataSequence;
  pending.layout = layout;
  pending.textAt = textsUsed_;
  pending.textSize = static_cast<size_t>(end - at);
  pending.inStream = row.stream.has_value();
  pending.stream = row.stream.value_or(0);
  pending.number = row.number;
  textsUsed_ += pending.textSize;
  pendingRows_.push_back(pending);
  // A turn of many rows (or of large ones) goes in by full statements as it comes, so that
  // what is kept stays small.
  return pendingRows_.size() >= kRowsKept || textsUsed_ >= kTextsKept ? FlushRows() : SQLITE_OK;
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
