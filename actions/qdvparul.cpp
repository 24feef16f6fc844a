// Rules on the Managed_URL table: a situation's RULESTART starts monitoring the URL its
// attributes name, for the situation as owner; RULESTOP stops every URL the situation owns.
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_actions.h"
#include "../include/qdvp_http.h"

static TRK1_BLOCK trk = {"qdvparul"};

namespace {

// The value of a group "Managed_URL.URL EQ http://..." (the text after its last blank); ""
// when the group has no value after its attribute and operator.
std::string LastWord(const std::string &group) {
  std::vector<std::string> words;
  for (size_t at = 0; at < group.size();) {
    size_t start = group.find_first_not_of(' ', at);
    if (start == std::string::npos) break;
    size_t end = group.find(' ', start);
    if (end == std::string::npos) end = group.size();
    words.push_back(group.substr(start, end - start));
    at = end;
  }
  return words.size() >= 3 ? words.back() : "";
}

bool Holds(const std::string &group, const char *name) {
  std::string dotted = std::string(".") + name + " ";
  return group.find(dotted) != std::string::npos || group.rfind(std::string(name) + " ", 0) == 0;
}

const char *Text(const char *text) { return text != nullptr ? text : ""; }

// RULESTART: the parameter carries "INTERVAL=n" and "ATTRIBUTES=(...)(...)"; a group on
// URL_Alias gives the alias, one on URL the URL.
int StartRule(DPAB *anchor, ActionEntry *entry) {
  std::string parm = Text(entry->pParm);
  const char *owner = Text(entry->pOwner);
  int interval = 0;
  size_t at = parm.find("INTERVAL=");
  if (at != std::string::npos) interval = atoi(parm.c_str() + at + 9);
  at = parm.find("ATTRIBUTES=");
  if (at == std::string::npos) {
    QDVP_TRC(trk, TRK1_ERROR,
             "*****Error: No action attributes in text string <%s>. RuleStart bypassed",
             parm.c_str());
    return 9;
  }
  std::string url, alias;
  bool urlGroup = false;
  for (size_t open = parm.find('(', at); open != std::string::npos;
       open = parm.find('(', open + 1)) {
    size_t close = parm.find(')', open);
    if (close == std::string::npos) close = parm.size();
    std::string group = parm.substr(open + 1, close - open - 1);
    if (Holds(group, "URL_Alias")) {
      alias = LastWord(group);
    } else if (Holds(group, "URL")) {
      urlGroup = true;
      url = LastWord(group);
    }
  }
  if (!urlGroup) {
    QDVP_TRC(trk, TRK1_ERROR,
             "*****Error: URL to be monitored is not specified in SitName <%s> SitParms <%s>",
             owner, parm.c_str());
    return 9;
  }
  if (url.empty()) {
    QDVP_TRC(trk, TRK1_ERROR,
             "*****Error: Action parm syntax incorrect. Situation URL value is NULL.");
    return 9;
  }
  char normalized[QDVP_URL_ENTRY_MAX + 8];
  bool converted = false;
  if (!QDVP_NormalizeURL(url.c_str(), normalized, sizeof(normalized), &converted)) return 9;
  int already = 0;
  URLrequestEntry *added = QDVP_AllocateHTTPrequestBlock(
      anchor, normalized, alias.empty() ? nullptr : alias.c_str(), interval, owner, 0, &already);
  if (added != nullptr) {
    QDVP_SignalHTTPmanager(anchor);
    QDVP_SetURLconfigurationUpdate();
  }
  return 0;
}

}  // namespace

// A rule action on a source of Managed_URL; false when the source is none of URL monitoring's.
bool QDVP_PerformURLrule(DPAB *anchor, SourceEntry *source, ActionEntry *entry) {
  if (source == nullptr || source != QDVP_URLsource(anchor)) return false;
  const char *name = Text(entry->pName);
  if (strcmp(name, "RULESTART") == 0) {
    entry->Status = StartRule(anchor, entry);
  } else if (strcmp(name, "RULESTOP") == 0) {
    QDVP_StopSitHTTPrequest(anchor, Text(entry->pOwner));
    QDVP_SetURLconfigurationUpdate();
    entry->Status = 0;
  } else {
    return false;
  }
  if (entry->Status != 0) QDVP_SetActionResultText(entry, entry->Status);
  return true;
}
