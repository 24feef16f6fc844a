// What the agent peer's page shows, as JSON answers to GET requests, read from either store:
// the registered applications with their tables and sources, the sources online and offline,
// a table's latest rows, its rows per minute, the DP log's latest messages and the take
// actions with their status and result.
//
// DchViewDb is a read-only connection of its own (never the store's, so the page neither sees
// an open turn nor holds up a commit), opened on first use and opened again after a failure.
// DchAnswer checks a request's path and query parameters (unknown names, repeated names,
// values that are too long, not UTF-8, or out of range are refused with 400 and a JSON error;
// text values only ever travel as bound parameters) and builds the answer. A DchViewDb and
// the answers are used by one thread at a time (the page's); nothing here throws.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;
struct pg_conn;

namespace qdvp_dch {

class DchViewDb {
 public:
  using Row = std::vector<std::optional<std::string>>;
  virtual ~DchViewDb() = default;
  // Runs sql with its text parameters ($1, $2, ... in order of first use). The token @host
  // stands for the host identity column (the peer's own identity on SQLite, which stores one
  // host). False with *error when the database cannot answer.
  virtual bool Query(const std::string &sql, const std::vector<std::string> &params,
                     std::vector<Row> *rows, std::string *error) = 0;
  virtual const char *Kind() const = 0;
};

// A read-only view of an SQLite database file; host is the identity reported for its rows.
std::unique_ptr<DchViewDb> DchOpenSqliteView(const std::string &path, const std::string &host);
// A read-only view of a PostgreSQL database.
std::unique_ptr<DchViewDb> DchOpenPgView(const std::string &conninfo);

struct DchHttpAnswer {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
};

// The answer to GET path with the decoded query parameters (name, value, in request order).
// host is the peer's own identity, reported by /api/summary.
DchHttpAnswer DchAnswer(DchViewDb *db, const std::string &host, const std::string &path,
                        const std::vector<std::pair<std::string, std::string>> &query);

}  // namespace qdvp_dch
