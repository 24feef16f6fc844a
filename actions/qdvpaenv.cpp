// The environment of a take action's command. The data provider's own environment holds its
// settings, some of them secret (QDVP_HTTP_PROXY_PASSWORD, the URL monitor's credentials), and
// a command is whatever the agent sent: it gets a clean environment instead. PATH, HOME, LANG
// and TZ are passed when the data provider has them; so is every variable the operator names
// in QDVP_ACTION_PASS_ENV (names separated by commas or blanks; a name ending in "*" passes
// every variable that begins with what comes before the "*"). Nothing else is passed.
//
// The environment is made when each command starts, from the data provider's environment as
// it is then, so the list and the values are always current. Nothing here throws.
#include <string.h>

#include <string>
#include <vector>

#include "../core/support/qdv0.h"
#include "qdvpexec.h"

extern char **environ;

namespace {

const char *const kAlwaysPassed[] = {"PATH", "HOME", "LANG", "TZ"};

// The names and prefixes (ending in '*') of the operator's list.
std::vector<std::string> OperatorNames() {
  std::vector<std::string> names;
  const char *list = QDV0_GetEnv("QDVP_ACTION_PASS_ENV", nullptr);
  if (list == nullptr) return names;
  std::string text = list;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find_first_of(", \t", at);
    if (end == std::string::npos) end = text.size();
    if (end > at) names.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return names;
}

// True when the variable entry ("NAME=value") is named by one of names.
bool Named(const char *entry, const std::vector<std::string> &names) {
  const char *equals = strchr(entry, '=');
  if (equals == nullptr) return false;
  size_t length = static_cast<size_t>(equals - entry);
  for (const std::string &name : names) {
    if (!name.empty() && name.back() == '*') {
      size_t prefix = name.size() - 1;
      if (length >= prefix && strncmp(entry, name.data(), prefix) == 0) return true;
    } else if (name.size() == length && strncmp(entry, name.data(), length) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

void QDVP_BuildActionEnvironment(QDVP_ActionEnvironment *environment) {
  environment->entries.clear();
  environment->pointers.clear();
  std::vector<std::string> names(std::begin(kAlwaysPassed), std::end(kAlwaysPassed));
  for (std::string &name : OperatorNames()) names.push_back(std::move(name));
  for (char **entry = environ; entry != nullptr && *entry != nullptr; entry++) {
    if (Named(*entry, names)) environment->entries.emplace_back(*entry);
  }
  for (std::string &entry : environment->entries) environment->pointers.push_back(entry.data());
  environment->pointers.push_back(nullptr);
}
