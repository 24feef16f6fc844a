// Fault rules of the agent peer: which requests are answered with another status, answered
// late, or not answered at all, and when a connection is dropped.
//
// Rules come from the command line (--fail, --delay, --no-reply, --drop-after) and are
// consulted by the event loop thread for every request in arrival order. Counted rules of the
// same kind are used up one after the other in the order they were given; a request that a
// no-reply rule swallows does not use up a fail rule. Parsing returns false with a message for
// a malformed rule; nothing here throws.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/dch/dchdecode.h"

namespace qdvp_dch {

// The kinds of request a rule can name.
enum DchKind {
  kKindRegister,
  kKindOnline,
  kKindData,
  kKindOffline,
  kKindUnregister,
  kKindWait,
  kKindActionStatus,
  kKindOther,
  kKindCount,
};

// The kind of a request code, and the rule name of a kind ("register", ..., "action").
DchKind DchKindOfRequest(uint16_t request);
const char *DchKindName(DchKind kind);

// What to do with one request.
struct DchFaultDecision {
  bool reply = true;
  int32_t status = 0;
  int delayMs = 0;
  bool injected = false;  // a fail or no-reply rule applied
};

class DchFaultPlan {
 public:
  static constexpr int64_t kForever = -1;

  // Parse one option value each; false with *error for a malformed value.
  bool AddFail(const std::string &text, std::string *error);     // KIND:STATUS[:COUNT[:AFTER]]
  bool AddDelay(const std::string &text, std::string *error);    // KIND:MS
  bool AddNoReply(const std::string &text, std::string *error);  // KIND[:COUNT]
  void SetDropAfter(int64_t rows) { dropAfter_ = rows; }
  int64_t DropAfter() const { return dropAfter_; }

  // Decides for the next request of kind, using up counted rules.
  DchFaultDecision Next(DchKind kind);

  struct Rule {
    DchKind kind;
    int32_t status;
    int64_t remaining;  // kForever for every request
    int64_t after = 0;  // requests of the kind that pass before the rule applies
  };

 private:
  std::vector<Rule> fails_, noReplies_;
  int delays_[kKindCount] = {};
  int64_t dropAfter_ = 0;  // 0: never
};

}  // namespace qdvp_dch
