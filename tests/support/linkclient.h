// Test support: the DCH client task of an anchor, started as the environment start does and
// stopped (asked to end, then waited for) when the object goes.
#pragma once

struct DPAB;
struct ProcessEntry;

namespace qdvp_test {

class LinkClient {
 public:
  // standAlone: the anchor is set to stand-alone mode first (every request succeeds at once,
  // nothing is sent), for tests that only need their applications accepted.
  explicit LinkClient(DPAB *anchor, bool standAlone = false);
  ~LinkClient();
  bool Started() const { return entry_ != nullptr; }
  // Asks the client to end and waits until it has; true when it ended in time.
  bool Stop();
  // A process entry (not a task) to pass as the requester of QDVP_QueueAndWaitDCHstatus.
  ProcessEntry *Requester() const { return requester_; }

 private:
  DPAB *anchor_;
  ProcessEntry *entry_ = nullptr;
  ProcessEntry *requester_ = nullptr;
};

}  // namespace qdvp_test
