// Take actions sent by the agent peer: parsing action lines, encoding provide-action
// messages, following the action file.
#include "tools/dch/dchaction.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "include/qdvp_agentlink.h"

namespace qdvp_dch {

bool DchParseAction(const std::string &line, uint32_t nextId, DchAction *action,
                    std::string *error) {
  nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    *error = "not a JSON object";
    return false;
  }
  DchAction a;
  a.id = nextId;
  auto text = [&](const char *key, std::string *out) {
    auto it = j.find(key);
    if (it == j.end()) return true;
    if (!it->is_string()) {
      *error = std::string("\"") + key + "\" must be a string";
      return false;
    }
    *out = it->get<std::string>();
    return true;
  };
  auto number = [&](const char *key, uint32_t *out) {
    auto it = j.find(key);
    if (it == j.end()) return true;
    if (!it->is_number_unsigned() || it->get<uint64_t>() > UINT32_MAX) {
      *error = std::string("\"") + key + "\" must be a number from 0 to 4294967295";
      return false;
    }
    *out = static_cast<uint32_t>(it->get<uint64_t>());
    return true;
  };
  std::string parameter;
  if (!text("node", &a.node) || !text("name", &a.name) || !text("owner", &a.owner) ||
      !text("parameter", &parameter) || !number("type", &a.type) || !number("id", &a.id)) {
    return false;
  }
  if (j.contains("parameter")) a.parameter = parameter;
  if (a.name.empty()) {
    *error = "\"name\" is required";
    return false;
  }
  *action = std::move(a);
  return true;
}

std::string DchEncodeProvideAction(const DchAction &action) {
  QDVP_AgentLinkAction wire{action.node.c_str(),
                            action.type,
                            action.name.c_str(),
                            action.id,
                            action.parameter ? action.parameter->c_str() : nullptr,
                            action.owner.c_str()};
  size_t size = QDVP_AgentLinkProvideActionSize(&wire);
  if (size > QDVP_WIRE_MAX_MESSAGE) return std::string();
  std::string message(size, '\0');
  size_t n = QDVP_AgentLinkBuildProvideAction(reinterpret_cast<unsigned char *>(message.data()),
                                              message.size(), &wire);
  message.resize(n);
  return message;
}

void DchActionFile::Poll(std::vector<std::string> *lines) {
  struct stat st;
  if (stat(path_.c_str(), &st) != 0) return;
  if (st.st_ino != inode_ || st.st_size < offset_) {
    inode_ = st.st_ino;
    offset_ = 0;
    partial_.clear();
  }
  if (st.st_size == offset_) return;
  int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char buffer[8192];
  for (;;) {
    ssize_t n = pread(fd, buffer, sizeof buffer, offset_);
    if (n <= 0) break;
    offset_ += n;
    partial_.append(buffer, static_cast<size_t>(n));
    // A line longer than the largest message can never become an action: drop it.
    if (partial_.size() > QDVP_WIRE_MAX_MESSAGE && partial_.find('\n') == std::string::npos) {
      partial_.clear();
    }
  }
  close(fd);
  size_t start = 0;
  for (size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines->push_back(partial_.substr(start, nl - start));
  }
  partial_.erase(0, start);
}

}  // namespace qdvp_dch
