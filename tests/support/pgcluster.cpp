// The private PostgreSQL cluster of the agent peer's tests.
#include "tests/support/pgcluster.h"

#include <fcntl.h>
#include <glob.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace dch_test {

namespace {

// The newest installed server's programs, e.g. /usr/lib/postgresql/15/bin.
std::string ServerBin() {
  glob_t found{};
  std::string best;
  if (glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &found) == 0) {
    for (size_t i = 0; i < found.gl_pathc; i++) {
      std::string path = found.gl_pathv[i];
      std::string bin = path.substr(0, path.size() - std::string("/initdb").size());
      auto version = [](const std::string &p) {
        return std::stoi(p.substr(std::string("/usr/lib/postgresql/").size()));
      };
      if (best.empty() || version(bin) > version(best)) best = bin;
    }
  }
  globfree(&found);
  return best;
}

// The server refuses to run as root: then its programs run as nobody.
std::vector<std::string> AsServerUser(std::vector<std::string> argv) {
  if (geteuid() == 0) argv.insert(argv.begin(), {"/usr/sbin/runuser", "-u", "nobody", "--"});
  return argv;
}

void GiveToServerUser(const std::string &path) {
  if (geteuid() != 0) return;
  passwd *nobody = getpwnam("nobody");
  if (nobody && chown(path.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) perror("chown");
}

// Runs a program to its end in workDir (one the server's user may enter).
int Run(const std::vector<std::string> &argv, const std::string &workDir, std::string *errors) {
  qdvp_test::Child child(argv, {}, workDir);
  int status = child.Wait(std::chrono::seconds(90));
  *errors = child.Stderr();
  return status;
}

}  // namespace

PgCluster::PgCluster() : bin_(ServerBin()), data_(dir_.File("data")), port_(qdvp_test::FreePort()) {
  if (bin_.empty()) {
    error_ = "no PostgreSQL server installed (scripts/bootstrap.sh installs postgresql)";
    return;
  }
  GiveToServerUser(dir_.path());
  run_ = dir_.File("run");
  std::filesystem::create_directories(run_);
  GiveToServerUser(run_);
  // The template: made once per build tree, under a lock, by whichever test comes first. It
  // lies in the temporary directory, which the server's user may enter (a build tree under
  // root's home is closed to it), named after the build tree; one that someone else made is
  // not used.
  std::string root =
      (std::filesystem::temp_directory_path() /
       ("qdvp-pg-template-" + std::to_string(std::hash<std::string>{}(qdvp_test::BinDir()))))
          .string();
  std::filesystem::create_directories(root);
  struct stat made {};
  passwd *nobody = geteuid() == 0 ? getpwnam("nobody") : nullptr;
  bool ours = stat(root.c_str(), &made) == 0 &&
              (made.st_uid == geteuid() || (nobody != nullptr && made.st_uid == nobody->pw_uid));
  if (!ours) {
    error_ = "the PostgreSQL template directory " + root + " belongs to someone else";
    return;
  }
  GiveToServerUser(root);
  std::string tmpl = root + "/data";
  int lock = open((root + "/lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  flock(lock, LOCK_EX);
  if (!std::filesystem::exists(tmpl + "/PG_VERSION")) {
    std::filesystem::remove_all(tmpl);
    if (Run(AsServerUser({bin_ + "/initdb", "-D", tmpl, "-A", "trust", "-U", "qdvp", "--no-sync",
                          "-E", "UTF8", "--locale=C"}),
            run_, &error_) != 0) {
      flock(lock, LOCK_UN);
      close(lock);
      return;
    }
  }
  int copied = Run(AsServerUser({"/bin/cp", "-a", tmpl, data_}), run_, &error_);
  flock(lock, LOCK_UN);
  close(lock);
  if (copied != 0) return;
  ready_ = Start();
}

PgCluster::~PgCluster() {
  if (ready_) Stop(true);
}

bool PgCluster::Ctl(const std::vector<std::string> &args) {
  std::vector<std::string> argv = {bin_ + "/pg_ctl",        "-D", data_, "-l",
                                   dir_.File("server.log"), "-w", "-t",  "60"};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(AsServerUser(argv), run_, &error_) == 0;
}

bool PgCluster::Start() {
  // No TCP, the socket in the directory; fsync off (a test's crash is a process's, never the
  // machine's: what the server wrote survives it).
  std::string options = "-k " + dir_.path() + " -c listen_addresses= -p " + std::to_string(port_) +
                        " -c fsync=off -c full_page_writes=off";
  ready_ = Ctl({"-o", options, "start"});
  if (!ready_) error_ += qdvp_test::ReadFile(dir_.File("server.log"));
  return ready_;
}

bool PgCluster::Stop(bool immediate) {
  bool ok = Ctl({"-m", immediate ? "immediate" : "fast", "stop"});
  ready_ = false;
  return ok;
}

std::string PgCluster::Conninfo(const std::string &database) const {
  return "host=" + dir_.path() + " port=" + std::to_string(port_) + " user=qdvp dbname=" + database;
}

std::string PgCluster::NewDatabase(const std::string &name) {
  PgQuery(Conninfo(), "CREATE DATABASE " + name);
  return Conninfo(name);
}

std::vector<std::vector<std::string>> PgQuery(const std::string &conninfo, const std::string &sql) {
  std::vector<std::vector<std::string>> rows;
  PGconn *conn = PQconnectdb(conninfo.c_str());
  if (PQstatus(conn) == CONNECTION_OK) {
    PGresult *r = PQexec(conn, sql.c_str());
    for (int i = 0; PQresultStatus(r) == PGRES_TUPLES_OK && i < PQntuples(r); i++) {
      std::vector<std::string> row;
      for (int c = 0; c < PQnfields(r); c++) {
        row.push_back(PQgetisnull(r, i, c) ? "NULL" : PQgetvalue(r, i, c));
      }
      rows.push_back(std::move(row));
    }
    PQclear(r);
  }
  PQfinish(conn);
  return rows;
}

std::string PgQueryOne(const std::string &conninfo, const std::string &sql) {
  auto rows = PgQuery(conninfo, sql);
  return rows.empty() || rows[0].empty() ? std::string() : rows[0][0];
}

}  // namespace dch_test
