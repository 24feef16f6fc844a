// Fault rules of the agent peer, parsed from the command line and used up per request.
#include "tools/dch/dchfault.h"

#include <errno.h>
#include <stdlib.h>

#include "include/qdvp_agentlink.h"

namespace qdvp_dch {

namespace {

const char *const kNames[kKindCount] = {"register",   "online", "data",   "offline",
                                        "unregister", "wait",   "action", "other"};

std::vector<std::string> Split(const std::string &text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon - start));
    if (colon == std::string::npos) return parts;
    start = colon + 1;
  }
}

bool ParseKind(const std::string &text, DchKind *kind, std::string *error) {
  for (int k = 0; k < kKindOther; k++) {
    if (text == kNames[k]) {
      *kind = static_cast<DchKind>(k);
      return true;
    }
  }
  *error = "unknown request kind '" + text +
           "' (register, online, data, offline, unregister, wait, action)";
  return false;
}

bool ParseNumber(const std::string &text, int64_t low, int64_t high, int64_t *value,
                 std::string *error) {
  char *end = nullptr;
  errno = 0;
  long long v = strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < low || v > high) {
    *error = "bad number '" + text + "'";
    return false;
  }
  *value = v;
  return true;
}

// A count: a positive number, or "all" / "*" for every request.
bool ParseCount(const std::string &text, int64_t *count, std::string *error) {
  if (text == "all" || text == "*") {
    *count = DchFaultPlan::kForever;
    return true;
  }
  return ParseNumber(text, 1, INT64_MAX, count, error);
}

}  // namespace

DchKind DchKindOfRequest(uint16_t request) {
  switch (request) {
    case QDVP_REQ_DP_REGISTER:
      return kKindRegister;
    case QDVP_REQ_DP_ONLINE:
      return kKindOnline;
    case QDVP_REQ_DP_DATA:
      return kKindData;
    case QDVP_REQ_DP_OFFLINE:
      return kKindOffline;
    case QDVP_REQ_DP_UNREGISTER:
      return kKindUnregister;
    case QDVP_REQ_DP_WAIT_FOR_ACTION:
      return kKindWait;
    case QDVP_REQ_DP_ACTION_STATUS:
      return kKindActionStatus;
    default:
      return kKindOther;
  }
}

const char *DchKindName(DchKind kind) { return kind < kKindCount ? kNames[kind] : "other"; }

bool DchFaultPlan::AddFail(const std::string &text, std::string *error) {
  std::vector<std::string> parts = Split(text);
  Rule rule{kKindOther, 0, 1, 0};
  int64_t status = 0;
  if (parts.size() < 2 || parts.size() > 4) {
    *error = "expected KIND:STATUS[:COUNT[:AFTER]], got '" + text + "'";
    return false;
  }
  if (!ParseKind(parts[0], &rule.kind, error) ||
      !ParseNumber(parts[1], INT32_MIN, INT32_MAX, &status, error) ||
      (parts.size() >= 3 && !ParseCount(parts[2], &rule.remaining, error)) ||
      (parts.size() == 4 && !ParseNumber(parts[3], 0, INT32_MAX, &rule.after, error))) {
    return false;
  }
  rule.status = static_cast<int32_t>(status);
  fails_.push_back(rule);
  return true;
}

bool DchFaultPlan::AddDelay(const std::string &text, std::string *error) {
  std::vector<std::string> parts = Split(text);
  DchKind kind;
  int64_t ms = 0;
  if (parts.size() != 2) {
    *error = "expected KIND:MS, got '" + text + "'";
    return false;
  }
  if (!ParseKind(parts[0], &kind, error) || !ParseNumber(parts[1], 0, 3600000, &ms, error)) {
    return false;
  }
  delays_[kind] = static_cast<int>(ms);
  return true;
}

bool DchFaultPlan::AddNoReply(const std::string &text, std::string *error) {
  std::vector<std::string> parts = Split(text);
  Rule rule{kKindOther, 0, 1};
  if (parts.empty() || parts.size() > 2) {
    *error = "expected KIND[:COUNT], got '" + text + "'";
    return false;
  }
  if (!ParseKind(parts[0], &rule.kind, error) ||
      (parts.size() == 2 && !ParseCount(parts[1], &rule.remaining, error))) {
    return false;
  }
  noReplies_.push_back(rule);
  return true;
}

// Takes one use of the first rule of kind in rules that has uses left; false when none has.
static bool Consume(std::vector<DchFaultPlan::Rule> &rules, DchKind kind, int32_t *status) {
  for (auto &rule : rules) {
    if (rule.kind != kind || rule.remaining == 0) continue;
    if (rule.after > 0) {
      rule.after--;  // this request passes; the rule waits for a later one
      return false;
    }
    if (rule.remaining > 0) rule.remaining--;
    *status = rule.status;
    return true;
  }
  return false;
}

DchFaultDecision DchFaultPlan::Next(DchKind kind) {
  DchFaultDecision d;
  if (kind >= kKindCount) return d;
  d.delayMs = delays_[kind];
  int32_t status = 0;
  if (Consume(noReplies_, kind, &status)) {
    d.reply = false;
    d.injected = true;
  } else if (Consume(fails_, kind, &status)) {
    d.status = status;
    d.injected = true;
  }
  return d;
}

}  // namespace qdvp_dch
