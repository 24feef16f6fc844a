// The network side of the agent peer: the TCP listener and its connections, the UDP socket
// and its senders, message reassembly, timed replies, batch commits, and the signals that end
// the program.
//
// DchServer runs one single-threaded epoll loop. Every connection and every UDP sender has its
// own reassembly buffer, capped at one largest message, and its own queue of replies, sent in
// order when due (a delayed reply delays what follows it). A connection is dropped, with a
// line on standard error, when its length word is out of range, when a message stays
// incomplete longer than the partial timeout, or when it does not read its replies; beyond
// the connection limit a new connection takes the slot of the one silent longest when that one
// has been silent beyond the idle limit, and is closed at once otherwise; a data provider's
// connection gives way only when no anonymous one is open. A reply is sent only
// once what it answers is committed: everything one round of reads stored is committed
// together (or, with a commit interval, every interval), then answered. SIGINT and SIGTERM end the
// loop; Run then commits the store and returns 0.
#pragma once

#include <string>

#include "tools/dch/dchagent.h"

namespace qdvp_dch {

struct DchServerOptions {
  std::string listen = "127.0.0.1";
  int port = 7900;
  bool udpOnly = false;
  int commitMs = 0;              // longest time a reply waits for its commit (0: each round)
  int partialTimeoutMs = 30000;  // longest time a message may stay incomplete
  int maxConnections = 64;       // TCP connections and UDP senders, each
  int idleLimitMs = 60000;       // silence after which a connection gives up its slot
  std::string readyFile;         // receives the port once listening
  std::string actionFile;        // followed for take actions
  // Fault: the program kills itself (SIGKILL) just before committing the Nth turn that stored
  // rows, as a crash between receiving and committing would (0: never).
  int64_t crashBeforeCommit = 0;
};

class DchServer {
 public:
  DchServer(const DchServerOptions &options, DchAgent *agent, DchStore *store, DchJsonl *log)
      : options_(options), agent_(agent), store_(store), log_(log) {}
  // Listens, serves until SIGINT or SIGTERM, commits. Returns the program's exit status.
  int Run();

 private:
  DchServerOptions options_;
  DchAgent *agent_;
  DchStore *store_;
  DchJsonl *log_;
};

}  // namespace qdvp_dch
