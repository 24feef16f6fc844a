// The running world of a console test: an agent peer (qdvp-dch) and a FILE data provider on
// private ports in a temporary directory, the qdvp console program, raw console datagrams,
// and queries of the peer's database.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/dchpeer.h"
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
  ~ConsoleWorld() { StopDataProvider(); }

  const TempDir &dir() const { return dir_; }
  int consolePort() const { return consolePort_; }
  std::map<std::string, std::string> Env() const;

  // Starts qdvp-dch; returns "" or why it did not come up.
  std::string StartPeer();
  // Starts the peer and "qdvp start TYPE" (FILE unless told) with env added, and waits for the
  // console to be ready; returns "" or why not. The console port stays consolePort().
  std::string Start(const std::map<std::string, std::string> &extra = {}, int type = 1);
  Child *dataProvider() { return dp_.get(); }
  // Ends the data provider by SIGTERM (if it still runs); returns its exit status.
  int StopDataProvider();

  // Runs "qdvp console --port P words..." as the operator, who can read KeyFile().
  ConsoleResult Console(const std::vector<std::string> &words) const;
  // Runs it and expects the exit status and the whole standard output.
  void ExpectConsole(const std::vector<std::string> &words, int status,
                     const std::string &out) const;
  // Sends one datagram, sealed as the operator's, from a fresh socket and collects the reply
  // datagrams: until the last part of a multi-part reply, else the first one, else nothing
  // within quiet.
  std::vector<std::string> Exchange(const std::string &datagram,
                                    std::chrono::milliseconds quiet = std::chrono::seconds(3)) const;

  // The data provider's console key file: the default one, beside the startup configuration.
  std::string KeyFile() const { return dir_.File("qdvpcons.key"); }
  // A datagram of command sealed with the key of KeyFile(), as qdvp console seals it (the
  // command as it is while there is no key).
  std::string Sealed(const std::string &command) const;

  std::string MetafileDir() const { return dir_.File("metafiles"); }
  std::string StartupConfig() const { return ReadFile(dir_.File("qdvpinit.cfg")); }
  // One value of a query of the peer's database, "" when there is no row or no database.
  std::string PeerQuery(const std::string &sql) const {
    return dch_test::QueryOne(dir_.File("dch.db"), sql);
  }

 private:
  TempDir dir_;
  int consolePort_;
  int type_ = 1;
  std::unique_ptr<dch_test::Peer> peer_;
  std::unique_ptr<Child> dp_;
};

}  // namespace qdvp_test
