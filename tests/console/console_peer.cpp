// The console tests' world: qdvp-dch and a FILE data provider started on private ports in a
// temporary directory, the console program run against it, and the peer's database read.
#include "tests/console/console_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qdvp_test {

namespace {
bool SourceExists(const std::string &relative) {
  struct stat st;
  return stat((SourceDir() + "/" + relative).c_str(), &st) == 0;
}
}  // namespace

bool AgentLinkBuilt() { return SourceExists("agentlink/qdvpdchr.cpp"); }
bool RowsFlow() {
  return AgentLinkBuilt() && SourceExists("filemon/qdvprmfr.cpp") &&
         SourceExists("records/qdvpmd2a.cpp");
}

ConsoleWorld::ConsoleWorld() : consolePort_(FreePort()) {
  mkdir(dir_.File("metafiles").c_str(), 0755);
  // With a startup configuration the metafile directory is not loaded whole, and IMPORT and
  // DELETE keep the file up to date.
  dir_.Write("qdvpinit.cfg", "* console test\n");
}

ConsoleWorld::~ConsoleWorld() {
  StopDataProvider();
  if (dch_ && dch_->Running()) {
    dch_->Signal(SIGTERM);
    dch_->Wait(std::chrono::seconds(10));
  }
}

std::map<std::string, std::string> ConsoleWorld::Env() const {
  return {{"QDVP_DPCONSOLE_PORT", std::to_string(consolePort_ - type_)},
          {"QDVA_DCH_PORT", std::to_string(dchPort_)},
          {"QDVP_HOME", dir_.path()},
          {"QDVP_META_PATH", dir_.File("metafiles")},
          {"QDVP_INIT_CONFIG_PATH", dir_.path()},
          {"QDVP_TRACE", "detail"},
          {"QDVP_TRACE_FILE", dir_.File("trace.log")}};
}

bool ConsoleWorld::StartPeer(std::string *error) {
  std::string ready = dir_.File("dch.port");
  dch_ = std::make_unique<Child>(
      std::vector<std::string>{BinDir() + "/qdvp-dch", "--port", "0", "--ready-file", ready,
                               "--db", dir_.File("dch.db")},
      std::map<std::string, std::string>{}, dir_.path());
  if (!WaitFor([&] { return atoi(ReadFile(ready).c_str()) > 0; })) {
    *error = "qdvp-dch did not come up: " + dch_->Stderr();
    return false;
  }
  dchPort_ = atoi(ReadFile(ready).c_str());
  return true;
}

bool ConsoleWorld::StartDataProvider(const std::map<std::string, std::string> &extra,
                                     std::string *error, int type) {
  static const char *const kNames[] = {"APIS", "FILE", "SOCK", "ASFS", "POST",
                                       "SNMP", "APPC", "ODBC", "HTTP"};
  type_ = type;
  auto env = Env();
  for (const auto &[name, value] : extra) env[name] = value;
  dp_ = std::make_unique<Child>(
      std::vector<std::string>{BinDir() + "/qdvp", "start", std::to_string(type)}, env,
      dir_.path());
  std::string active =
      std::string(kNames[type]) + " DP Active! Initialization completed successfully.";
  if (!WaitFor([&] {
        return dp_->Stderr().find(active) !=
                   std::string::npos ||
               !dp_->Running();
      }) ||
      !dp_->Running()) {
    *error = "the data provider did not start: " + dp_->Stderr() + dp_->Stdout();
    return false;
  }
  return true;
}

int ConsoleWorld::StopDataProvider() {
  if (!dp_) return -1;
  if (dp_->Running()) dp_->Signal(SIGTERM);
  return dp_->Wait(std::chrono::seconds(30));
}

ConsoleResult ConsoleWorld::Console(const std::vector<std::string> &words) const {
  std::vector<std::string> argv = {BinDir() + "/qdvp", "console", "--port",
                                   std::to_string(consolePort_)};
  argv.insert(argv.end(), words.begin(), words.end());
  ConsoleResult r;
  r.status = Run(argv, {}, &r.out, &r.err);
  return r;
}

std::vector<std::string> ConsoleWorld::Exchange(const std::string &datagram,
                                                std::chrono::milliseconds quiet) const {
  std::vector<std::string> replies;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(consolePort_));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
  bool multiPart = false;
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
    char buffer[65536];
    ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n < 0) break;
    std::string reply(buffer, static_cast<size_t>(n));
    replies.push_back(reply);
    if (replies.size() == 1) {
      multiPart = reply.compare(0, 4, "0 1 ") == 0;
      if (!multiPart) break;
    } else if (reply.compare(0, 2, "3 ") == 0) {
      break;
    }
  }
  close(fd);
  return replies;
}

std::string ConsoleWorld::PeerQuery(const std::string &sql) const {
  sqlite3 *db = nullptr;
  std::string value;
  if (sqlite3_open_v2(dir_.File("dch.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
      SQLITE_OK) {
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      const unsigned char *text = sqlite3_column_text(statement, 0);
      if (text != nullptr) value = reinterpret_cast<const char *>(text);
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return value;
}

}  // namespace qdvp_test
