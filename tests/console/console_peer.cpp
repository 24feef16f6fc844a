// The console tests' world: qdvp-dch and a FILE data provider started on private ports in a
// temporary directory, the console program run against it, and the peer's database read.
#include "tests/console/console_peer.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>

#include "include/qdvp_consauth.h"

namespace qdvp_test {

ConsoleWorld::ConsoleWorld() : consolePort_(FreePort()) {
  mkdir(dir_.File("metafiles").c_str(), 0755);
  // With a startup configuration the metafile directory is not loaded whole, and IMPORT and
  // DELETE keep the file up to date.
  dir_.Write("qdvpinit.cfg", "* console test\n");
}

std::map<std::string, std::string> ConsoleWorld::Env() const {
  return {{"QDVP_DPCONSOLE_PORT", std::to_string(consolePort_ - type_)},
          {"QDVA_DCH_PORT", std::to_string(peer_ ? peer_->port() : 0)},
          {"QDVP_HOME", dir_.path()},
          {"QDVP_META_PATH", dir_.File("metafiles")},
          {"QDVP_INIT_CONFIG_PATH", dir_.path()},
          {"QDVP_TRACE", "detail"},
          {"QDVP_TRACE_FILE", dir_.File("trace.log")}};
}

std::string ConsoleWorld::StartPeer() {
  peer_ = std::make_unique<dch_test::Peer>(std::vector<std::string>{}, dir_.path());
  return peer_->Ready() ? "" : "qdvp-dch did not come up: " + peer_->Stderr();
}

std::string ConsoleWorld::Start(const std::map<std::string, std::string> &extra, int type) {
  static const char *const kNames[] = {"APIS", "FILE", "SOCK", "ASFS", "POST",
                                       "SNMP", "APPC", "ODBC", "HTTP"};
  std::string error = StartPeer();
  if (!error.empty()) return error;
  type_ = type;
  auto env = Env();
  for (const auto &[name, value] : extra) env[name] = value;
  dp_ = std::make_unique<Child>(
      std::vector<std::string>{BinDir() + "/qdvp", "start", std::to_string(type)}, env,
      dir_.path());
  std::string active = kNames[type];
  active += " DP Active! Initialization completed successfully.";
  WaitFor([&] { return dp_->Stderr().find(active) != std::string::npos || !dp_->Running(); });
  if (dp_->Stderr().find(active) == std::string::npos || !dp_->Running()) {
    return "the data provider did not start: " + dp_->Stderr() + dp_->Stdout();
  }
  return "";
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
  r.status = Run(argv, {{"QDVP_CONSOLE_KEY_FILE", KeyFile()}}, &r.out, &r.err);
  return r;
}

void ConsoleWorld::ExpectConsole(const std::vector<std::string> &words, int status,
                                 const std::string &out) const {
  ConsoleResult r = Console(words);
  std::string command = words[0] + (words.size() > 1 ? " " + words[1] : "");
  EXPECT_EQ(r.status, status) << command << ": " << r.err;
  EXPECT_EQ(r.out, out) << command;
}

std::string ConsoleWorld::Sealed(const std::string &command) const {
  unsigned char key[QDVP_CONSOLE_KEY_SIZE];
  char nonce[QDVP_CONSOLE_NONCE_DIGITS + 1];
  if (QDVP_LoadConsoleKey(KeyFile().c_str(), 0, key) != QDVP_KEY_OK ||
      !QDVP_NewConsoleNonce(nonce)) {
    return command;
  }
  std::string datagram(command.size() + QDVP_CONSOLE_SEAL_MAX, '\0');
  datagram.resize(QDVP_SealConsoleCommand(key, consolePort_, static_cast<long>(time(nullptr)),
                                          nonce, command.data(), command.size(),
                                          datagram.data(), datagram.size()));
  return datagram;
}

std::vector<std::string> ConsoleWorld::Exchange(const std::string &datagram,
                                                std::chrono::milliseconds quiet) const {
  UdpSocket socket;
  socket.SendTo(consolePort_, Sealed(datagram));
  std::vector<std::string> replies;
  // A multi-part reply begins "0 1 " and ends with a part that begins "3 ".
  while (auto reply = socket.Receive(quiet)) {
    replies.push_back(*reply);
    if (replies[0].compare(0, 4, "0 1 ") != 0) break;
    if (replies.size() > 1 && reply->compare(0, 2, "3 ") == 0) break;
  }
  return replies;
}

}  // namespace qdvp_test
