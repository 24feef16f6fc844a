// The message log of the agent peer: one JSON object per line for every message in either
// direction and for every connection event, written to a file or to standard output.
//
// Lines are buffered and written out by Flush, which the event loop calls at most every 50 ms
// while lines are waiting (and at the end), so a reader sees every message within about 50 ms
// without a write per message. Used by the event loop thread only; a log that is not open
// ignores every call.
#pragma once

#include <stdio.h>

#include <nlohmann/json.hpp>
#include <string>

namespace qdvp_dch {

class DchJsonl {
 public:
  DchJsonl() = default;
  ~DchJsonl();
  DchJsonl(const DchJsonl &) = delete;
  DchJsonl &operator=(const DchJsonl &) = delete;

  // Opens path for appending ("-" for standard output). Returns 0, or errno.
  int Open(const std::string &path);
  bool IsOpen() const { return file_ != nullptr; }
  void Write(const nlohmann::ordered_json &record);
  void Flush();
  void Close();
  // True when lines were written since the last Flush.
  bool Pending() const { return pending_; }

 private:
  FILE *file_ = nullptr;
  bool owned_ = false;
  bool pending_ = false;
};

}  // namespace qdvp_dch
