// The page's JSON answers and its read-only connections to either store.
//
// Every answer is computed from a few small queries with bound parameters; the ones over the
// rows table are bounded: a table's latest rows newest first (on SQLite from the end of the
// table's last span of rows back, within its first and last span), its rows per minute over at
// most its last 100 000 rows, so a page left open on a large database costs the store little.
#include "tools/dch/dchview.h"

#include <libpq-fe.h>
#include <sqlite3.h>
#include <time.h>

#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "tools/dch/dchassets.h"
#include "tools/dch/dchdecode.h"
#include "tools/dch/dchpg.h"
#include "tools/dch/dchstore.h"

namespace qdvp_dch {

namespace {

using json = nlohmann::ordered_json;
using Params = std::vector<std::string>;
using Rows = std::vector<DchViewDb::Row>;

std::string Replace(std::string text, const std::string &from, const std::string &to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

class SqliteView : public DchViewDb {
 public:
  SqliteView(std::string path, std::string host) : path_(std::move(path)), host_(std::move(host)) {}
  ~SqliteView() override { sqlite3_close(db_); }
  const char *Kind() const override { return "sqlite"; }

  bool Query(const std::string &sql, const Params &params, std::vector<Row> *rows,
             std::string *error) override {
    if (!db_) {
      if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        *error = db_ ? sqlite3_errmsg(db_) : "cannot open";
        sqlite3_close(db_);
        db_ = nullptr;
        return false;
      }
      sqlite3_busy_timeout(db_, 2000);
      sqlite3_exec(db_, "PRAGMA query_only = 1", nullptr, nullptr, nullptr);
    }
    // $N becomes ?N; the host, which SQLite does not store, is one more parameter.
    std::string text = Replace(Replace(sql, "@host", "?99"), "$", "?");
    sqlite3_stmt *s = nullptr;
    if (sqlite3_prepare_v2(db_, text.c_str(), -1, &s, nullptr) != SQLITE_OK) {
      *error = sqlite3_errmsg(db_);
      return false;
    }
    for (size_t i = 0; i < params.size(); i++) {
      sqlite3_bind_text(s, static_cast<int>(i + 1), params[i].data(),
                        static_cast<int>(params[i].size()), SQLITE_TRANSIENT);
    }
    sqlite3_bind_text(s, 99, host_.data(), static_cast<int>(host_.size()), SQLITE_TRANSIENT);
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      Row row;
      for (int c = 0; c < sqlite3_column_count(s); c++) {
        const unsigned char *t = sqlite3_column_text(s, c);
        row.push_back(t ? std::optional<std::string>(std::string(reinterpret_cast<const char *>(t),
                                                                 sqlite3_column_bytes(s, c)))
                        : std::nullopt);
      }
      rows->push_back(std::move(row));
    }
    bool ok = rc == SQLITE_DONE;
    if (!ok) *error = sqlite3_errmsg(db_);
    sqlite3_finalize(s);  // no read snapshot stays open
    return ok;
  }

 private:
  std::string path_, host_;
  sqlite3 *db_ = nullptr;
};

class PgView : public DchViewDb {
 public:
  explicit PgView(std::string conninfo) : conninfo_(std::move(conninfo)) {}
  ~PgView() override {
    if (conn_) PQfinish(conn_);
  }
  const char *Kind() const override { return "postgresql"; }

  bool Query(const std::string &sql, const Params &params, std::vector<Row> *rows,
             std::string *error) override {
    if (conn_ && PQstatus(conn_) != CONNECTION_OK) {
      PQfinish(conn_);
      conn_ = nullptr;
    }
    if (!conn_) {
      const char *keys[] = {"connect_timeout", "application_name", "dbname", nullptr};
      const char *values[] = {"3", "qdvp-dch page", conninfo_.c_str(), nullptr};
      conn_ = PQconnectdbParams(keys, values, 1);
      if (PQstatus(conn_) != CONNECTION_OK) {
        *error = PQerrorMessage(conn_);
        PQfinish(conn_);
        conn_ = nullptr;
        return false;
      }
      PQsetClientEncoding(conn_, "UTF8");
      PQclear(
          PQexec(conn_, "SET default_transaction_read_only = on; SET statement_timeout = 5000"));
    }
    std::string text = Replace(sql, "@host", "host");
    std::vector<const char *> values;
    for (const std::string &p : params) values.push_back(p.c_str());
    PGresult *r = PQexecParams(conn_, text.c_str(), static_cast<int>(values.size()), nullptr,
                               values.data(), nullptr, nullptr, 0);
    bool ok = PQresultStatus(r) == PGRES_TUPLES_OK;
    if (!ok) {
      *error = PQresultErrorMessage(r);
    } else {
      for (int i = 0; i < PQntuples(r); i++) {
        Row row;
        for (int c = 0; c < PQnfields(r); c++) {
          row.push_back(PQgetisnull(r, i, c) ? std::nullopt
                                             : std::optional<std::string>(PQgetvalue(r, i, c)));
        }
        rows->push_back(std::move(row));
      }
    }
    PQclear(r);
    return ok;
  }

 private:
  std::string conninfo_;
  pg_conn *conn_ = nullptr;
};

// A request's parameters once checked.
struct Request {
  std::map<std::string, std::string> values;
  std::string error;
  bool Has(const char *name) const { return values.count(name) > 0; }
  std::string Get(const char *name) const {
    auto it = values.find(name);
    return it == values.end() ? std::string() : it->second;
  }
};

constexpr size_t kMaxValue = 256;

Request Check(const std::vector<std::pair<std::string, std::string>> &query,
              const std::set<std::string> &allowed) {
  Request request;
  for (const auto &[name, value] : query) {
    if (!allowed.count(name)) {
      request.error = "unknown parameter '" + DchPgText(name.substr(0, 64)) + "'";
    } else if (request.values.count(name)) {
      request.error = "parameter '" + name + "' given twice";
    } else if (value.size() > kMaxValue) {
      request.error = "parameter '" + name + "' longer than 256 bytes";
    } else if (DchPgText(value) != value) {
      request.error = "parameter '" + name + "' is not UTF-8 text";
    } else {
      request.values[name] = value;
      continue;
    }
    break;
  }
  return request;
}

// A whole number in [low, high] from a parameter, or fallback when absent.
bool Number(Request *request, const char *name, long low, long high, long fallback, long *out) {
  *out = fallback;
  if (!request->Has(name)) return true;
  std::string text = request->Get(name);
  bool digits = !text.empty() && text.size() <= 9 &&
                text.find_first_not_of("0123456789") == std::string::npos;
  long value = digits ? std::stol(text) : -1;
  if (!digits || value < low || value > high) {
    request->error = "parameter '" + std::string(name) + "' must be a number from " +
                     std::to_string(low) + " to " + std::to_string(high);
    return false;
  }
  *out = value;
  return true;
}

// On SQLite, the ids a table's rows lie between: from its first span's first row to the last
// row of its last span (row_spans; no index of row_data by group is kept). $1 and $2 are the
// application and the table. A table without rows has no first span: no id is between.
const char *kSqliteTableIds =
    " AND id BETWEEN (SELECT min(sp.first_id) FROM row_spans sp WHERE sp.group_id = "
    "(SELECT id FROM row_groups WHERE application = $1 AND attribute_group = $2)) AND "
    "coalesce((SELECT min(n.first_id) - 1 FROM row_spans n WHERE n.first_id > "
    "(SELECT max(sp.first_id) FROM row_spans sp WHERE sp.group_id = "
    "(SELECT id FROM row_groups WHERE application = $1 AND attribute_group = $2))), "
    "(SELECT max(id) FROM row_data))";

// Conditions of a query on the filters given; each value a bound parameter.
struct Where {
  std::string sql;
  Params params;
  void Add(const std::string &column, const std::string &value) {
    params.push_back(value);
    sql += (sql.empty() ? " WHERE " : " AND ") + column + " = $" + std::to_string(params.size());
  }
  void AddIf(const Request &r, const char *name, const std::string &column) {
    if (r.Has(name)) Add(column, r.Get(name));
  }
};

json Text(const std::optional<std::string> &value) {
  return value ? json(DchPgText(*value)) : json(nullptr);
}

json Integer(const std::optional<std::string> &value) {
  if (!value || value->empty()) return nullptr;
  char *end = nullptr;
  long long n = strtoll(value->c_str(), &end, 10);
  return *end == '\0' ? json(n) : json(DchPgText(*value));
}

json Attrs(const std::optional<std::string> &text) {
  if (!text) return nullptr;
  json value = json::parse(*text, nullptr, false);
  return value.is_discarded() ? json(DchPgText(*text)) : value;
}

DchHttpAnswer Error(int status, const std::string &message) {
  return {status, "application/json", DchJsonText(json{{"error", message}})};
}

DchHttpAnswer Json(const json &value) { return {200, "application/json", DchJsonText(value)}; }

// The time minutes ago as the first 16 characters of a row's received_at ("...T21:13").
std::string MinuteText(time_t t) {
  tm u;
  gmtime_r(&t, &u);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M", &u);
  return text;
}

class Answers {
 public:
  Answers(DchViewDb *db, const std::string &host) : db_(db), host_(host) {}

  bool Run(const std::string &sql, const Params &params, Rows *rows) {
    return db_->Query(sql, params, rows, &error_);
  }
  DchHttpAnswer Unavailable() const { return Error(503, "database: " + DchPgText(error_)); }

  DchHttpAnswer Summary(Request &r) {
    Rows rows;
    if (!Run("SELECT @host, count(*), sum(CASE WHEN offline_at IS NULL THEN 1 ELSE 0 END) "
             "FROM sources GROUP BY 1 ORDER BY 1",
             {}, &rows)) {
      return Unavailable();
    }
    json hosts = json::array();
    for (auto &row : rows) {
      hosts.push_back({{"host", Text(row[0])},
                       {"sources", Integer(row[1])},
                       {"sources_online", Integer(row[2])}});
    }
    (void)r;
    return Json(
        {{"store", db_->Kind()}, {"host", DchPgText(host_)}, {"time", DchNow()}, {"hosts", hosts}});
  }

  DchHttpAnswer Applications(Request &r) {
    Where where;
    where.AddIf(r, "host", "@host");
    Rows apps, groups, attrs, counts;
    if (!Run("SELECT @host, name, help, registered_at, unregistered_at, registrations FROM "
             "applications" +
                 where.sql + " ORDER BY 1, 2",
             where.params, &apps) ||
        !Run("SELECT @host, application, name, type, ttl, help FROM attribute_groups" + where.sql +
                 " ORDER BY 1, 2, 3",
             where.params, &groups) ||
        !Run("SELECT @host, application, attribute_group, name, type FROM attributes" + where.sql +
                 " ORDER BY 1, 2, 3, position",
             where.params, &attrs) ||
        !Run("SELECT @host, application, attribute_group, sum(CASE WHEN offline_at IS NULL THEN "
             "1 ELSE 0 END), count(*) FROM sources" +
                 where.sql + " GROUP BY 1, 2, 3",
             where.params, &counts)) {
      return Unavailable();
    }
    using Key = std::tuple<std::string, std::string, std::string>;
    auto key = [](const DchViewDb::Row &row) {
      return Key{row[0].value_or(""), row[1].value_or(""), row[2].value_or("")};
    };
    std::map<Key, json> attributes;
    for (auto &row : attrs) {
      attributes[key(row)].push_back({{"name", Text(row[3])}, {"type", Text(row[4])}});
    }
    std::map<Key, std::pair<json, json>> sources;
    for (auto &row : counts) sources[key(row)] = {Integer(row[3]), Integer(row[4])};
    std::map<std::pair<std::string, std::string>, json> tables;
    for (auto &row : groups) {
      Key k = key(row);
      auto s = sources.find(k);
      json online = s == sources.end() ? json(0) : s->second.first;
      json all = s == sources.end() ? json(0) : s->second.second;
      json a = attributes.count(k) ? attributes[k] : json::array();
      tables[{row[0].value_or(""), row[1].value_or("")}].push_back(
          {{"name", Text(row[2])},
           {"type", Text(row[3])},
           {"ttl", Integer(row[4])},
           {"help", Text(row[5])},
           {"sources_online", online},
           {"sources_offline", all.is_number() && online.is_number()
                                   ? json(all.get<long long>() - online.get<long long>())
                                   : json(0)},
           {"attributes", a}});
    }
    json out = json::array();
    for (auto &row : apps) {
      auto t = tables.find({row[0].value_or(""), row[1].value_or("")});
      out.push_back({{"host", Text(row[0])},
                     {"name", Text(row[1])},
                     {"help", Text(row[2])},
                     {"registered_at", Text(row[3])},
                     {"unregistered_at", Text(row[4])},
                     {"registrations", Integer(row[5])},
                     {"tables", t == tables.end() ? json::array() : t->second}});
    }
    return Json({{"applications", out}});
  }

  DchHttpAnswer Sources(Request &r) {
    long limit = 0;
    if (!Number(&r, "limit", 1, 1000, 100, &limit)) return Error(400, r.error);
    std::string state = r.Has("state") ? r.Get("state") : "all";
    if (state != "all" && state != "online" && state != "offline") {
      return Error(400, "parameter 'state' must be online, offline or all");
    }
    Where where;
    where.AddIf(r, "host", "@host");
    where.AddIf(r, "application", "application");
    where.AddIf(r, "table", "attribute_group");
    std::string sql =
        "SELECT @host, handle, application, attribute_group, source, online_at, "
        "offline_at FROM sources" +
        where.sql;
    if (state != "all") {
      sql += std::string(where.sql.empty() ? " WHERE " : " AND ") + "offline_at IS " +
             (state == "online" ? "NULL" : "NOT NULL");
    }
    sql += " ORDER BY online_at DESC LIMIT " + std::to_string(limit);
    Rows rows;
    if (!Run(sql, where.params, &rows)) return Unavailable();
    json out = json::array();
    for (auto &row : rows) {
      out.push_back({{"host", Text(row[0])},
                     {"handle", Integer(row[1])},
                     {"application", Text(row[2])},
                     {"table", Text(row[3])},
                     {"source", Text(row[4])},
                     {"online_at", Text(row[5])},
                     {"offline_at", Text(row[6])},
                     {"online", !row[6].has_value()}});
    }
    return Json({{"sources", out}});
  }

  // The latest rows of a table (required: application and table), newest first.
  DchHttpAnswer LatestRows(Request &r, const char *application, const char *table, long fallback) {
    long limit = 0;
    if (!Number(&r, "limit", 1, 500, fallback, &limit)) return Error(400, r.error);
    Where where;
    where.Add("application", application ? application : r.Get("application"));
    where.Add("attribute_group", table ? table : r.Get("table"));
    where.AddIf(r, "host", "@host");
    where.AddIf(r, "source", "source");
    if (std::string(db_->Kind()) == "sqlite") where.sql += kSqliteTableIds;
    Rows rows;
    if (!Run("SELECT id, @host, received_at, source, data_sequence, attrs FROM rows" + where.sql +
                 " ORDER BY id DESC LIMIT " + std::to_string(limit),
             where.params, &rows)) {
      return Unavailable();
    }
    json out = json::array();
    for (auto &row : rows) {
      out.push_back({{"id", Integer(row[0])},
                     {"host", Text(row[1])},
                     {"received_at", Text(row[2])},
                     {"source", Text(row[3])},
                     {"data_sequence", Integer(row[4])},
                     {"attrs", Attrs(row[5])}});
    }
    return Json({{"rows", out}});
  }

  DchHttpAnswer Rate(Request &r) {
    long minutes = 0;
    if (!Number(&r, "minutes", 1, 1440, 60, &minutes)) return Error(400, r.error);
    time_t now = time(nullptr);
    std::string from = MinuteText(now - (minutes - 1) * 60);
    Where where;
    where.Add("application", r.Get("application"));
    where.Add("attribute_group", r.Get("table"));
    where.AddIf(r, "host", "@host");
    if (std::string(db_->Kind()) == "sqlite") where.sql += kSqliteTableIds;
    Params params = where.params;
    params.push_back(from);
    Rows rows;
    if (!Run("SELECT substr(received_at, 1, 16), count(*) FROM (SELECT received_at FROM rows" +
                 where.sql + " ORDER BY id DESC LIMIT 100000) recent WHERE received_at >= $" +
                 std::to_string(params.size()) + " GROUP BY 1",
             params, &rows)) {
      return Unavailable();
    }
    std::map<std::string, json> counts;
    for (auto &row : rows) counts[row[0].value_or("")] = Integer(row[1]);
    json out = json::array();
    for (long m = minutes - 1; m >= 0; m--) {
      std::string minute = MinuteText(now - m * 60);
      out.push_back(
          {{"minute", minute}, {"rows", counts.count(minute) ? counts[minute] : json(0)}});
    }
    return Json({{"minutes", out}});
  }

  DchHttpAnswer Actions(Request &r) {
    long limit = 0;
    if (!Number(&r, "limit", 1, 500, 50, &limit)) return Error(400, r.error);
    Where where;
    where.AddIf(r, "host", "@host");
    Rows rows;
    if (!Run("SELECT @host, id, sent_at, node, type, name, parameter, owner, status, result, "
             "status_at FROM actions" +
                 where.sql + " ORDER BY coalesce(sent_at, status_at) DESC LIMIT " +
                 std::to_string(limit),
             where.params, &rows)) {
      return Unavailable();
    }
    json out = json::array();
    for (auto &row : rows) {
      out.push_back({{"host", Text(row[0])},
                     {"id", Integer(row[1])},
                     {"sent_at", Text(row[2])},
                     {"node", Text(row[3])},
                     {"type", Integer(row[4])},
                     {"name", Text(row[5])},
                     {"parameter", Text(row[6])},
                     {"owner", Text(row[7])},
                     {"status", Integer(row[8])},
                     {"result", Text(row[9])},
                     {"status_at", Text(row[10])}});
    }
    return Json({{"actions", out}});
  }

 private:
  DchViewDb *db_;
  const std::string &host_;
  std::string error_;
};

}  // namespace

std::unique_ptr<DchViewDb> DchOpenSqliteView(const std::string &path, const std::string &host) {
  return std::make_unique<SqliteView>(path, host);
}

std::unique_ptr<DchViewDb> DchOpenPgView(const std::string &conninfo) {
  return std::make_unique<PgView>(conninfo);
}

DchHttpAnswer DchAnswer(DchViewDb *db, const std::string &host, const std::string &path,
                        const std::vector<std::pair<std::string, std::string>> &query) {
  for (size_t i = 0; i < kDchAssetCount; i++) {
    if (path == kDchAssets[i].path) {
      return {200, kDchAssets[i].contentType, std::string(kDchAssets[i].data, kDchAssets[i].size)};
    }
  }
  Answers answers(db, host);
  struct Endpoint {
    const char *path;
    std::set<std::string> allowed;
    bool needsTable;
  };
  static const Endpoint kEndpoints[] = {
      {"/api/summary", {}, false},
      {"/api/applications", {"host"}, false},
      {"/api/sources", {"host", "application", "table", "state", "limit"}, false},
      {"/api/rows", {"host", "application", "table", "source", "limit"}, true},
      {"/api/rate", {"host", "application", "table", "minutes"}, true},
      {"/api/log", {"host", "limit"}, false},
      {"/api/actions", {"host", "limit"}, false},
  };
  for (const Endpoint &e : kEndpoints) {
    if (path != e.path) continue;
    Request r = Check(query, e.allowed);
    if (!r.error.empty()) return Error(400, r.error);
    if (e.needsTable && (!r.Has("application") || !r.Has("table"))) {
      return Error(400, "parameters 'application' and 'table' are required");
    }
    if (path == "/api/summary") return answers.Summary(r);
    if (path == "/api/applications") return answers.Applications(r);
    if (path == "/api/sources") return answers.Sources(r);
    if (path == "/api/rows") return answers.LatestRows(r, nullptr, nullptr, 20);
    if (path == "/api/rate") return answers.Rate(r);
    if (path == "/api/log") return answers.LatestRows(r, "OmniVar", "DPLOG", 20);
    return answers.Actions(r);
  }
  return Error(404, "no such page: " + DchPgText(path.substr(0, 128)));
}

}  // namespace qdvp_dch
