// Test support: a data provider's anchor whose DCH client talks to a real qdvp-dch on
// loopback, in a temporary metafile directory. Tests that follow a request all the way to the
// peer's database derive from it; everything started is stopped at the end of the test.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/dchpeer.h"
#include "tests/support/linkclient.h"
#include "tests/support/qdvptest.h"

struct DPAB;
struct ApplEntry;
struct SourceEntry;

namespace qdvp_test {

class PeerLinkTest : public testing::Test {
 protected:
  // Starts the peer (with options, committing every row at once) and the DCH client aimed at
  // it. Settings the test puts in env_ before the call are seen by the data provider.
  void StartPeerLink(std::vector<std::string> options = {});
  // Starts the DCH client aimed at an agent on a loopback port, waiting replyWait seconds for
  // each status; the peer's part of StartPeerLink, for tests that play the agent themselves.
  void StartLink(int port, const std::string &replyWait);
  void TearDown() override;
  // Loads a metafile text as the startup does, which registers its application; standard
  // output (validation messages) goes to out_.
  ApplEntry *LoadMetafile(const std::string &name, const std::string &text);
  // LoadMetafile's first source of its first table, or null.
  SourceEntry *LoadSource(const std::string &name, const std::string &text);
  // Asks for the request of state (a verb) and waits for the client as a server task would.
  int Request(SourceEntry *source, int state);
  // Expects the query on the peer's database to give expected once the peer has committed
  // what it was sent (waits up to 5 seconds).
  void ExpectDb(const std::string &sql, const std::string &expected);
  // A second peer on the port and database of the first one.
  std::unique_ptr<dch_test::Peer> Restart(std::vector<std::string> options = {});

  TempDir dir_;
  EnvGuard env_;
  std::unique_ptr<dch_test::Peer> peer_;
  DPAB *anchor_ = nullptr;
  std::unique_ptr<LinkClient> link_;
  std::string out_;
};

}  // namespace qdvp_test
