// The agent behaviour of the peer: what it does with each request of a data provider.
//
// DchAgent is independent of sockets. The event loop hands it every complete message with the
// peer it came from; the agent decodes it, writes it to the message log, applies it to the
// store (registration, online, offline, unregister, row, action status), consults the fault
// rules and returns what to send back: a status reply (with the handle after an online), late
// or not at all, and whether to close the connection afterwards. It also holds the take
// actions waiting for a data provider that has asked for actions. Used by the event loop
// thread only; nothing here throws.
//
// Decisions: a request answered with a nonzero status was refused and is not applied to the
// store (the data provider sends it again); a request whose reply is withheld was applied (the
// reply was "lost"). A request that cannot be stored is answered 7 (send again), and so is
// every request of the abandoned transaction whose reply was still held.
//
// Rows of a row stream (a data provider with a window) are stored once each: a row whose number
// is not above the stream's last stored row is answered 0 and not stored again; after a row was
// refused with 2, 4 or 7 (or lost with its transaction), later rows of its stream are answered
// 7 until it comes again, so that the rows are stored in their order and none is skipped.
// Handles are unique per application, attribute group and source: the same triple gets the
// same handle again while it is online, and a fresh one after its offline.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/dch/dchaction.h"
#include "tools/dch/dchfault.h"
#include "tools/dch/dchjsonl.h"
#include "tools/dch/dchstore.h"

namespace qdvp_dch {

// One data provider as the agent sees it: a TCP connection or a UDP sender.
struct DchPeer {
  std::string label;  // "tcp 127.0.0.1:40000" or "udp 127.0.0.1:40001"
  bool stream = true;
  int64_t dataRows = 0;                   // data requests received
  std::vector<std::string> waitingNodes;  // sources of its wait-for-action requests
  uint64_t waitSerial = 0;                // when it last asked for actions (0: never)
  // The nodes whose sources it has carried (asked for actions, came online, sent a row for),
  // each with when it last did: a data provider that reconnects carries its nodes on its new
  // connection, whether or not it asks for actions again there.
  std::map<std::string, uint64_t> carried;
  // A data provider's connection: it has registered sources or carried them. One that never
  // has is anonymous, and gives up its slot first when the slots are full.
  bool hasSources = false;
};

// One thing to send to a peer.
struct DchSend {
  std::string bytes;  // may be empty when only closeAfter is set
  int delayMs = 0;
  bool closeAfter = false;  // close the connection once this is sent
  // The store transaction that holds what this answers (0: none): it is not sent before that
  // transaction is committed.
  uint64_t transaction = 0;
  bool statusReply = false;  // a status reply, answered "send again" if its transaction is lost
};

// Counters for the closing line.
struct DchAgentStats {
  uint64_t messages = 0, rows = 0, badMessages = 0, replies = 0, actions = 0;
};

class DchAgent {
 public:
  DchAgent(DchStore *store, DchJsonl *log, DchFaultPlan *faults)
      : store_(store), log_(log), faults_(faults) {}

  // The most rows a data provider's source may keep in flight (answered in the reply to its
  // registration when it asks); 0 answers no data provider's window, as an agent that knows
  // nothing of windows. With answerLimit the limit itself is answered, even above what was
  // asked, as an agent that states its own limit does: the data provider keeps the smaller.
  void SetWindowLimit(uint32_t limit, bool answerLimit = false) {
    windowLimit_ = limit;
    answerLimit_ = answerLimit;
  }
  static constexpr uint32_t kDefaultWindowLimit = 4096;

  // The time (DchNowMs) the messages handled from now on arrived at: the event loop reads the
  // clock once a round and sets it for the round; 0 reads the clock for every message.
  void SetRoundTime(int64_t nowMs) { roundMs_ = nowMs; }

  // Handles one complete message from peer and appends what to send back to *out.
  void OnMessage(DchPeer *peer, const unsigned char *bytes, size_t length,
                 std::vector<DchSend> *out);

  // Queues a take action for the next data provider that asks for actions.
  void QueueAction(DchAction action);
  // The next free action identifier.
  uint32_t NextActionId();
  // Appends to *out the queued actions that go to peer, routed by the action's node: an action
  // goes to the connection that waits for its node; when none does, but the node has asked
  // for actions before, to the connection that carried the node last (its data provider
  // reconnected, and the connection it asked on is gone), and it waits while none carries it;
  // an action for a node that never asked goes to the peer that asked most recently.
  void TakeActions(DchPeer *peer, const std::vector<const DchPeer *> &allPeers,
                   std::vector<DchSend> *out);
  bool HasQueuedActions() const { return !actions_.empty(); }

  // Writes a connection event (connected, closed, dropped, ...) to the message log.
  void LogEvent(const DchPeer &peer, const std::string &event, const std::string &detail);

  const DchAgentStats &Stats() const { return stats_; }

 private:
  // One request as the rules that answer it see it: its code and, for a data request, its
  // row stream; the request itself as a fully decoded message m (with now, its time as text)
  // or, for a data request decoded in place, as row.
  struct Request {
    uint16_t code = 0;
    const DchMessage *m = nullptr;
    const DchRowView *row = nullptr;
    int64_t nowMs = 0;
    const std::string *now = nullptr;
    std::optional<uint32_t> stream;
    uint32_t number = 0;
  };
  // Decides, applies and answers one request; in is its log record (null without a log).
  void Answer(DchPeer *peer, const Request &r, nlohmann::ordered_json *in,
              std::vector<DchSend> *out);
  int Apply(DchPeer *peer, const Request &r, std::string *note, uint32_t *handle);
  void StoreFailed(const DchPeer &peer, int rc, const char *what);
  // Notes that peer carries node's sources now.
  void Carry(DchPeer *peer, const std::string &node);

  DchStore *store_;
  DchJsonl *log_;
  DchFaultPlan *faults_;
  DchAgentStats stats_;
  std::deque<DchAction> actions_;
  uint64_t waitSerial_ = 0;
  uint64_t carrySerial_ = 0;
  std::set<std::string> askedNodes_;  // every node that has asked for actions, on any peer
  uint32_t lastActionId_ = 0;
  uint32_t windowLimit_ = kDefaultWindowLimit;
  int64_t roundMs_ = 0;
  bool answerLimit_ = false;
  // Kept from one row to the next, so that a row allocates nothing for them.
  DchRowView row_;
  std::vector<DchAttrView> views_;
};

}  // namespace qdvp_dch
