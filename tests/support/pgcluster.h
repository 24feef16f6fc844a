// A private PostgreSQL cluster for the agent peer's tests: initdb and pg_ctl from Debian's
// postgresql package, run as an unprivileged user (nobody, when the tests run as root), in a
// temporary directory, listening only on a Unix socket in that directory. The cluster files
// are made once per build tree (a template under the build directory, made under a file lock)
// and copied for each cluster, which saves initdb's seconds per test. Everything it starts is
// stopped when it is destroyed.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tests/support/qdvptest.h"

namespace dch_test {

class PgCluster {
 public:
  PgCluster();
  ~PgCluster();
  PgCluster(const PgCluster &) = delete;
  PgCluster &operator=(const PgCluster &) = delete;
  // True once the server answers; Error() says why not.
  bool Ready() const { return ready_; }
  const std::string &Error() const { return error_; }
  // A new empty database, and its connection string.
  std::string NewDatabase(const std::string &name);
  std::string Conninfo(const std::string &database = "postgres") const;
  // Stops the server (fast: every connection is ended; immediate: as a crash) and starts it
  // again on the same socket; true when it went as asked.
  bool Stop(bool immediate = false);
  bool Start();

 private:
  bool Ctl(const std::vector<std::string> &args);
  qdvp_test::TempDir dir_;
  std::string bin_, data_, run_;
  int port_ = 0;
  bool ready_ = false;
  std::string error_;
};

// The rows of a query on a PostgreSQL database, every column as text ("NULL" for null); empty
// when the query fails.
std::vector<std::vector<std::string>> PgQuery(const std::string &conninfo, const std::string &sql);
std::string PgQueryOne(const std::string &conninfo, const std::string &sql);

}  // namespace dch_test
