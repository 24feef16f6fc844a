// Take actions sent by the agent peer: their description, their encoding as provide-action
// messages, and the action file an operator or a test appends them to.
//
// An action is one JSON object per line: {"node": "host1", "type": 1, "name": "echo",
// "parameter": "hello", "owner": "Sit1", "id": 17}. Only "name" is required; "type" defaults
// to 1 (situation), "owner" to "qdvp-dch", "id" to the next free identifier, and "parameter" is
// left out of the message when absent. DchActionFile follows a file as it grows (like tail -f)
// and hands out its complete new lines; it is used by the event loop thread only. Nothing here
// throws.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace qdvp_dch {

struct DchAction {
  uint32_t id = 0;
  std::string node;
  uint32_t type = 1;
  std::string name;
  std::optional<std::string> parameter;
  std::string owner = "qdvp-dch";
};

// Parses one action line; an action without "id" gets nextId. False with *error otherwise.
bool DchParseAction(const std::string &line, uint32_t nextId, DchAction *action,
                    std::string *error);

// The provide-action message of an action (empty when it would pass the largest message).
std::string DchEncodeProvideAction(const DchAction &action);

class DchActionFile {
 public:
  explicit DchActionFile(std::string path) : path_(std::move(path)) {}
  // Appends the complete lines added since the last call. A file that shrank (was replaced or
  // truncated) is read again from its start; a missing file gives no lines.
  void Poll(std::vector<std::string> *lines);

 private:
  std::string path_;
  off_t offset_ = 0;
  ino_t inode_ = 0;
  std::string partial_;
};

}  // namespace qdvp_dch
