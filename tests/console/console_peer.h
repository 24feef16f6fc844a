// The running world of a console test: an agent peer (qdvp-dch) and a FILE data provider on
// private ports in a temporary directory, the qdvp console program, raw console datagrams,
// and queries of the peer's database.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/qdvptest.h"

namespace qdvp_test {

// What the console program printed and how it ended.
struct ConsoleResult {
  int status = -1;
  std::string out;
  std::string err;
};

class ConsoleWorld {
 public:
  ConsoleWorld();
  ~ConsoleWorld();  // stops the data provider and the peer

  const TempDir &dir() const { return dir_; }
  int consolePort() const { return consolePort_; }
  std::map<std::string, std::string> Env() const;

  // Starts qdvp-dch; returns false (with the reason in error) when it does not come up.
  bool StartPeer(std::string *error);
  // Starts "qdvp start TYPE" (FILE unless told) with env added; waits for the console to be
  // ready. The console port stays consolePort() whatever the type.
  bool StartDataProvider(const std::map<std::string, std::string> &extra, std::string *error,
                         int type = 1);
  Child *dataProvider() { return dp_.get(); }
  // Ends the data provider by SIGTERM (if it still runs); returns its exit status.
  int StopDataProvider();

  // Runs "qdvp console --port P words...".
  ConsoleResult Console(const std::vector<std::string> &words) const;
  // Sends one datagram from a fresh socket and collects the reply datagrams: until the last
  // part of a multi-part reply, else the first one, else nothing within quiet.
  std::vector<std::string> Exchange(const std::string &datagram,
                                    std::chrono::milliseconds quiet = std::chrono::seconds(3)) const;

  std::string MetafileDir() const { return dir_.File("metafiles"); }
  std::string StartupConfig() const { return ReadFile(dir_.File("qdvpinit.cfg")); }
  // One value of a query of the peer's database, "" when there is no row or no database.
  std::string PeerQuery(const std::string &sql) const;

 private:
  TempDir dir_;
  int consolePort_;
  int type_ = 1;
  int dchPort_ = 0;
  std::unique_ptr<Child> dch_;
  std::unique_ptr<Child> dp_;
};

// Subsystems that arrive one by one: a test asserts their effects only once they are there.
bool AgentLinkBuilt();
bool RowsFlow();

}  // namespace qdvp_test
