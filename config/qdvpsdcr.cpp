// Configuration requests (the DP_CONFIG take action): add or remove a monitored URL, a node of
// a managed node list or a network server, on an action worker. The outcome is the action's
// status (0 or -1) and result text, which the worker reports to the agent.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_actions.h"
#include "../include/qdvp_http.h"

static TRK1_BLOCK trk = {"qdvpsdcr"};

namespace {

struct Request {
  const char *name;
  const char *package;
};
const Request DPconfigRequest[] = {
    {"JQADD", "JQ"}, {"JQREMOVE", "JQ"}, {"MNLADD", "DV"}, {"MNLREMOVE", "DV"},
    {"XJADD", "XJ"}, {"XJREMOVE", "XJ"}, {"URLADD", "DV"}, {"URLREMOVE", "DV"},
};
enum { kJQadd = 0, kJQremove, kMNLadd, kMNLremove, kXJadd, kXJremove, kURLadd, kURLremove };

const size_t kResultSize = 256;

// The value of "KEY=" in the parameter, up to the next blank; *present says whether the keyword
// is there at all.
std::string Operand(const std::string &parm, const char *keyword, bool *present) {
  size_t at = 0;
  size_t n = strlen(keyword);
  for (;;) {
    at = parm.find(keyword, at);
    if (at == std::string::npos) {
      *present = false;
      return "";
    }
    // A keyword that ends another ("USER=" in "XUSER=") does not count.
    if (at == 0 || parm[at - 1] == ' ' || parm[at - 1] == ',') break;
    at += n;
  }
  *present = true;
  size_t start = at + n;
  size_t end = parm.find(' ', start);
  return parm.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool Numeric(const std::string &value) {
  if (value.empty()) return false;
  for (char c : value) {
    if (!isdigit(static_cast<unsigned char>(c))) return false;
  }
  return value.size() < 10;
}

// A number operand: its value, or fallback (traced) when it is missing or not a number.
int NumberOperand(const std::string &parm, const char *keyword, const char *url, int fallback,
                  const char *noValue, const char *nonNumeric) {
  bool present;
  std::string value = Operand(parm, keyword, &present);
  if (!present) return fallback;
  if (value.empty()) {
    QDVP_TRC(trk, TRK1_ERROR, noValue, url);
    return fallback;
  }
  if (!Numeric(value)) {
    QDVP_TRC(trk, TRK1_ERROR, nonNumeric, url);
    return fallback;
  }
  return atoi(value.c_str());
}

// URLADD, URLREMOVE and their XJ twins.
int URLrequest(DPAB *anchor, int index, const std::string &parm, char *result) {
  bool present;
  std::string token = Operand(parm, "URL=", &present);
  if (!present || token.empty()) {
    QDVP_TRC(trk, TRK1_ERROR, "***** URL not specified on action request");
    snprintf(result, kResultSize, "***** URL not specified on action request");
    return -1;
  }
  char url[QDVP_URL_ENTRY_MAX + 8];
  bool converted = false;
  bool add = index == kURLadd || index == kXJadd;
  if (!QDVP_NormalizeURL(token.c_str(), url, sizeof(url), &converted)) {
    snprintf(result, kResultSize,
             add ? "*****URL ADD action failed <%.200s>" : "*****URL REMOVE action failed <%.200s>",
             token.c_str());
    return -1;
  }
  if (converted) QDVP_TRC(trk, TRK1_DETAIL, "Converting URL with backslashes to <%s>", url);
  std::string alias = Operand(parm, "ALIAS=", &present);
  if (present && alias.empty()) {
    QDVP_TRC(trk, TRK1_ERROR, "No Alias parameter value was supplied for URL %s", url);
  }
  int interval = NumberOperand(parm, "INTERVAL=", url, 0,
                               "No Interval parameter value was supplied for URL %s",
                               "Non-numeric value specified on Interval parameter for URL <%s>");
  int cache =
      NumberOperand(parm, "CACHE=", url, 0, "No Cache parameter value was supplied for URL %s",
                    "Non-numeric value specified on Cache parameter for URL %s");
  std::string user = Operand(parm, "USER=", &present);
  if (present && user.empty()) {
    QDVP_TRC(trk, TRK1_ERROR, "No User parameter value was supplied for URL %s", url);
  }
  if (user.empty()) user = "INITCNFG";
  char text[QDVP_URL_ENTRY_MAX + 128];
  if (!add) {
    if (QDVP_StopActionURLrequest(anchor, url, user.c_str())) {
      snprintf(text, sizeof(text), "URL %s monitoring stopped for user %s", url, user.c_str());
      QDV0_OQconsoleMessage("config", QDV0_OQ_INFO, text);
      QDVP_SetURLconfigurationUpdate();
      return 0;
    }
    snprintf(result, kResultSize, "*****URL REMOVE action failed <%.200s>", url);
    return -1;
  }
  int already = 0;
  URLrequestEntry *entry =
      QDVP_AllocateHTTPrequestBlock(anchor, url, alias.empty() ? nullptr : alias.c_str(), interval,
                                    user.c_str(), cache, &already);
  if (entry == nullptr) {
    snprintf(result, kResultSize, "*****URL ADD action failed <%.200s>", url);
    return -1;
  }
  snprintf(text, sizeof(text), "URL %s monitoring started for user %s interval %d", url,
           user.c_str(), interval);
  QDV0_OQconsoleMessage("config", QDV0_OQ_INFO, text);
  QDVP_SignalHTTPmanager(anchor);
  QDVP_SetURLconfigurationUpdate();
  return 0;
}

}  // namespace

void QDVP_ScheduleDPconfigurationRequest(DPAB *anchor, ActionEntry *entry) {
  const char *parm = entry->pParm != nullptr ? entry->pParm : "";
  QDVP_TRC(trk, TRK1_DETAIL, "DP configuration request: <%s>", parm);
  char result[kResultSize] = "";
  entry->Status = 0;
  std::string text(parm);
  size_t first = text.find_first_not_of(' ');
  std::string word =
      first == std::string::npos ? "" : text.substr(first, text.find(' ', first) - first);
  int index = -1;
  if (word.empty()) {
    snprintf(result, sizeof(result), "Request parameter not included");
    entry->Status = -1;
  } else {
    for (int i = 0; i < static_cast<int>(sizeof(DPconfigRequest) / sizeof(DPconfigRequest[0]));
         i++) {
      QDVP_TRC(trk, TRK1_DETAIL, "Comparing request name <%s> against <%s>", word.c_str(),
               DPconfigRequest[i].name);
      if (strcasecmp(word.c_str(), DPconfigRequest[i].name) == 0) {
        index = i;
        break;
      }
    }
    if (index < 0) {
      snprintf(result, sizeof(result), "Invalid request %.200s rejected", word.c_str());
      entry->Status = -1;
    }
  }
  if (index >= 0) {
    const char *product = QDV0_QueryProductSpec(1);
    if (product == nullptr) product = "";
    QDVP_TRC(trk, TRK1_DETAIL, "Comparing product code <%s> against <%s>", product,
             DPconfigRequest[index].package);
    if (strcmp(product, DPconfigRequest[index].package) != 0) {
      snprintf(result, sizeof(result), "Request unsupported for product %s",
               DPconfigRequest[index].package);
      entry->Status = -1;
    } else if (index >= kXJadd) {
      entry->Status = URLrequest(anchor, index, text, result);
    } else if (index == kMNLadd || index == kMNLremove) {
      // No managed node list runs in this data provider: SNMP collection is started by its
      // own configuration files instead.
      bool present;
      std::string list = Operand(text, "LIST=", &present);
      snprintf(result, sizeof(result), "Managed Node List %.200s not started", list.c_str());
      entry->Status = -1;
    } else {
      snprintf(result, sizeof(result), "JQ Managed Node List not started");
      entry->Status = -1;
    }
  }
  QDV0_Free(entry->pResult);
  entry->pResult = result[0] != '\0' ? QDV0_StrDup(result) : nullptr;
  entry->ResultLength = entry->pResult != nullptr ? static_cast<int>(strlen(entry->pResult)) : 0;
}
