// The rules of the settings the programs read (qdv0chck.h): one table entry per environment
// variable whose value is a number, a port, an address or a word, the checks of the product
// specification items of those kinds, and the operator's lines on standard error.
#include "qdv0chck.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <climits>

#include "qdv0.h"

namespace {

enum Rule {
  kNumber,      // a whole number from min to max
  kPort,        // 1 to 65535
  kPortBase,    // a port to which a data provider type (up to 8) is added
  kAddress,     // an IPv4 address in dotted form (what the servers bind to)
  kHost,        // a host name or an IPv4 address
  kTrapList,    // host[:port] entries separated by commas
  kFlag,        // begins with Y or N, in any case
  kExactYesNo,  // exactly Y or N: anything but Y is off
  kTraceWords,  // a number, or the words error, detail, storage, flow, all
  kSymlinks,    // DIR, or a word beginning with Y or N
  kSpin,        // Y, or a number of microseconds
  kCategories,  // K=text items separated by commas
  kTransport,   // read leniently: any letter but R is taken for I
};

struct Setting {
  const char *name;
  Rule rule;
  long long min = INT_MIN;
  long long max = INT_MAX;
};

const Setting kSettings[] = {
    // Ports.
    {"QDVP_DPCONSOLE_PORT", kPortBase},
    {"QDVA_DCH_PORT", kPort},
    {"QDVP_DP_PORT", kPort},
    {"QDVP_API_DPAPI_PORT", kPort},
    {"QDVP_POST_DP_PORT", kPort},
    {"QDVP_META_SERVER_PORT", kPort},
    {"QDVP_METRICS_PORT", kPort},
    // Addresses and hosts.
    {"QDVP_BIND_ADDRESS", kAddress},
    {"QDVP_DCH_HOST", kHost},
    {"QDVA_DCH_HOST", kHost},
    {"QDVP_META_SERVER", kHost},
    {"QDVP_TRAP_DESTINATION", kTrapList},
    // Numbers: seconds, counts and sizes. Where the reading code replaces values below 1 by
    // its default, any whole number stays allowed; only what is no number is refused.
    {"QDVP_DP_EVENT", kNumber},
    {"QDVP_DP_SAMPLE_FACTOR", kNumber},
    {"QDVP_DP_FILE_SWITCH_CHECK_INTERVAL", kNumber},
    {"QDVP_DP_EXPIRE_FACTOR", kNumber},
    {"QDVP_UDP_SESSION_IDLE", kNumber, 1, 86400},
    {"QDVP_DCH_REPLY_WAIT", kNumber},
    {"QDVP_DCH_CONNECT_RETRY_WAIT", kNumber},
    {"QDVP_DCH_WINDOW", kNumber, 0, 4096},
    {"QDVP_SUMMARY_INTERVAL", kNumber},
    {"QDVP_SUMMARY_END_DELAY", kNumber},
    {"QDVP_ACTION_RESULT_SIZE", kNumber},
    {"QDVP_ACTION_TIMEOUT", kNumber},
    {"QDVP_ACTION_MAX_WORKERS", kNumber},
    {"QDVP_ACTIONLOG_TTL", kNumber},
    {"QDVP_POST_APPL_TTL", kNumber},
    {"QDVP_POST_ACK_LIMIT", kNumber},
    {"QDVP_META_MAX_RECORD_SIZE", kNumber},
    {"QDVP_META_IO_WAIT", kNumber},
    {"WTB_MAXCOLS", kNumber},
    {"QDVP_MAX_DP", kNumber},
    {"QDVP_SCAN_DELAY_CYCLES", kNumber},
    {"QDVP_SCAN_MAX_INTERVAL", kNumber},
    {"QDVP_ACTIVITY_DELAY_CYCLES", kNumber},
    {"QDVP_TCP_OUTAGE_WINDOW", kNumber},
    {"QDVP_SNMP_NETDATA_TTL", kNumber},
    {"QDVP_SNMP_NODATA_INTERVAL", kNumber},
    {"QDVP_SNMP_CUSTOM_MIBGET_INTERVAL", kNumber},
    {"QDVP_SNMP_RESPONSE_WAIT", kNumber},
    {"QDVP_SNMP_MAX_ROWS", kNumber},
    {"QDVP_TRAP_ENTERPRISE_NUMBER", kNumber, 0, INT_MAX},
    {"QDVP_URL_DATASET_PERIOD", kNumber},
    {"QDVP_URL_DATASET_MIN_SAMPLES", kNumber},
    {"QDVP_URL_MIN_SAMPLE_INTERVAL", kNumber},
    {"QDVP_URL_SAMPLE_INTERVAL", kNumber},
    {"QDVP_URL_MAX_REPLY_WAIT", kNumber},
    {"QDVP_URL_MAX_FREE_SUBTASK_WAIT", kNumber},
    {"QDVP_URL_INIT_TASKS", kNumber},
    {"QDVP_URL_PER_CLIENT_TASK", kNumber},
    {"QDVP_URL_MAX_PAGE_SIZE", kNumber},
    // Flags.
    {"QDVP_DP_FILE_EXIST_WAIT", kFlag},
    {"QDVP_PROCESS_ALL_MATCH_PATTERN_FILES", kFlag},
    {"QDVP_BYPASS_BATCH_GROUP", kFlag},
    {"QDVP_BATCH_MODE_PROCESS", kFlag},
    {"QDVP_BATCH_SUMMARY_OUTPUT_ONLY", kFlag},
    {"QDVP_SUMMARY_BATCH_MODE", kFlag},
    {"QDVP_TCP_DISCONNECT_BY_TTL", kExactYesNo},
    {"QDVP_SNMP_DEBUG_MIB_MANAGER", kFlag},
    {"QDVP_SNMP_DEBUG_MIB_IO", kFlag},
    {"QDVP_SNMP_DEBUG_DISCOVERY_NETWORK", kFlag},
    {"QDVP_HTTP_DEBUG", kFlag},
    {"QDVP_URL_PAGE_OBJECTS_REPORT", kFlag},
    {"QDVP_URL_OUTPUT_STAT", kFlag},
    {"QDVP_URL_OUTPUT_HTML", kFlag},
    {"QDVP_URL_OUTPUT_CONTENT", kFlag},
    // Words.
    {"QDVP_TRACE", kTraceWords},
    {"QDVP_FOLLOW_SYMLINKS", kSymlinks},
    {"QDVP_SPIN_WAIT_US", kSpin},
    {"QDVP_POST_CATEGORY", kCategories},
    {"QDVP_DP_TRANSPORT", kTransport},
    {"QDVP_META_TRANSPORT", kTransport},
};

std::string Bad(const char *name, const char *value, const std::string &what) {
  return std::string(name) + "=" + value + " is not " + what;
}

std::string Range(long long min, long long max) {
  if (min == INT_MIN && max == INT_MAX) return "a whole number";
  return "a number from " + std::to_string(min) + " to " + std::to_string(max);
}

bool IsHostName(const char *text) {
  size_t n = strlen(text);
  if (n == 0 || n > 253) return false;
  for (const char *p = text; *p; p++) {
    if (!isalnum(static_cast<unsigned char>(*p)) && *p != '-' && *p != '.' && *p != '_')
      return false;
  }
  return text[0] != '-' && text[0] != '.';
}

bool CheckTraceWords(const char *text) {
  if (isdigit(static_cast<unsigned char>(text[0]))) {
    char *end = nullptr;
    errno = 0;
    unsigned long flags = strtoul(text, &end, 0);
    return errno == 0 && *end == '\0' && flags <= 0xFFFFFFFFul;
  }
  static const char *const kWords[] = {"error", "detail", "storage", "flow", "all"};
  std::string word;
  for (const char *p = text;; p++) {
    if (*p == '\0' || *p == ',' || *p == ' ' || *p == '|') {
      if (!word.empty()) {
        bool known = false;
        for (const char *w : kWords) known = known || strcasecmp(word.c_str(), w) == 0;
        if (!known) return false;
        word.clear();
      }
      if (*p == '\0') return true;
    } else {
      word += *p;
    }
  }
}

bool CheckTrapList(const char *text) {
  std::string list = text;
  size_t at = 0;
  while (at <= list.size()) {
    size_t comma = list.find(',', at);
    std::string entry =
        list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    while (!entry.empty() && entry.front() == ' ') entry.erase(0, 1);
    while (!entry.empty() && entry.back() == ' ') entry.pop_back();
    if (!entry.empty()) {
      size_t colon = entry.find(':');
      int port = 0;
      if (colon != std::string::npos && !QDV0_ParsePort(entry.c_str() + colon + 1, &port))
        return false;
      if (!IsHostName(entry.substr(0, colon).c_str())) return false;
    }
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return true;
}

bool CheckCategories(const char *text) {
  std::string list = text;
  size_t at = 0;
  while (at < list.size()) {
    size_t comma = list.find(',', at);
    std::string item = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    at = comma == std::string::npos ? list.size() : comma + 1;
    while (!item.empty() && item.front() == ' ') item.erase(0, 1);
    if (item.empty()) continue;
    if (item.size() < 2 || item[1] != '=' || !isalnum(static_cast<unsigned char>(item[0])))
      return false;
  }
  return true;
}

}  // namespace

bool QDV0_ParseNumber(const char *text, long long min, long long max, long long *value) {
  if (text == nullptr || text[0] == '\0') return false;
  const char *p = text[0] == '-' || text[0] == '+' ? text + 1 : text;
  if (*p == '\0') return false;
  for (const char *q = p; *q; q++) {
    if (!isdigit(static_cast<unsigned char>(*q))) return false;
  }
  errno = 0;
  long long n = strtoll(text, nullptr, 10);
  if (errno != 0 || n < min || n > max) return false;
  if (value != nullptr) *value = n;
  return true;
}

bool QDV0_ParsePort(const char *text, int *port) {
  long long n = 0;
  if (!QDV0_ParseNumber(text, 1, 65535, &n)) return false;
  if (port != nullptr) *port = static_cast<int>(n);
  return true;
}

bool QDV0_CheckSetting(const char *name, const char *value, std::string *problem,
                       std::string *warning) {
  if (name == nullptr || value == nullptr || value[0] == '\0') return true;
  const Setting *s = nullptr;
  for (const Setting &candidate : kSettings) {
    if (strcmp(candidate.name, name) == 0) s = &candidate;
  }
  if (s == nullptr) return true;
  bool good = true;
  std::string what;
  switch (s->rule) {
    case kNumber:
      good = QDV0_ParseNumber(value, s->min, s->max, nullptr);
      what = Range(s->min, s->max);
      break;
    case kPort:
      good = QDV0_ParsePort(value, nullptr);
      what = "a port (a number from 1 to 65535)";
      break;
    case kPortBase:
      good = QDV0_ParseNumber(value, 1, 65535 - 8, nullptr);
      what = "a port base (a number from 1 to 65527: base + type, up to 8, is the port)";
      break;
    case kAddress: {
      struct in_addr a;
      good = inet_pton(AF_INET, value, &a) == 1;
      what = "an IPv4 address in dotted form (such as 127.0.0.1 or 0.0.0.0)";
      break;
    }
    case kHost:
      good = IsHostName(value);
      what = "a host name or an IPv4 address";
      break;
    case kTrapList:
      good = CheckTrapList(value);
      what = "a list of HOST or HOST:PORT separated by commas";
      break;
    case kFlag:
      good = strchr("YyNn", value[0]) != nullptr;
      what = "a flag (Y or N)";
      break;
    case kExactYesNo:
      good = strcmp(value, "Y") == 0 || strcmp(value, "N") == 0;
      what = "Y or N (exactly: any other value would turn it off)";
      break;
    case kTraceWords:
      good = CheckTraceWords(value);
      what = "a trace setting (a number, or the words error, detail, storage, flow, all)";
      break;
    case kSymlinks:
      good = strcmp(value, "DIR") == 0 || strchr("YyNn", value[0]) != nullptr;
      what = "DIR, Y or N";
      break;
    case kSpin:
      good = ((value[0] == 'Y' || value[0] == 'y') && value[1] == '\0') ||
             QDV0_ParseNumber(value, 0, 1000000, nullptr);
      what = "Y or a number of microseconds from 0 to 1000000";
      break;
    case kCategories:
      good = CheckCategories(value);
      what = "a list of K=text items separated by commas";
      break;
    case kTransport:
      if (strchr("IiRr", value[0]) == nullptr && warning != nullptr) {
        *warning = std::string(name) + "=" + value +
                   " is neither I (TCP/IP) nor R (RPC): it is taken for I";
      }
      return true;
  }
  if (!good && problem != nullptr) *problem = Bad(name, value, what);
  return good;
}

int QDV0_CheckEnvironment(std::vector<std::string> *problems, std::vector<std::string> *warnings) {
  int bad = 0;
  for (const Setting &s : kSettings) {
    const char *value = getenv(s.name);
    std::string problem, warning;
    if (!QDV0_CheckSetting(s.name, value, &problem, &warning)) {
      bad++;
      if (problems != nullptr) problems->push_back(problem);
    }
    if (!warning.empty() && warnings != nullptr) warnings->push_back(warning);
  }
  return bad;
}

bool QDV0_CheckProductSpecItem(const char *name, const char *value, std::string *problem) {
  if (name == nullptr || value == nullptr || value[0] == '\0') return true;
  bool good = true;
  std::string what;
  if (strcasecmp(name, "DCH_PORT_NUMBER") == 0) {
    good = QDV0_ParsePort(value, nullptr);
    what = "a port (a number from 1 to 65535)";
  } else if (strcasecmp(name, "DP_PORT_OFFSET") == 0) {
    good = QDV0_ParseNumber(value, QDV0_MIN_PORT_OFFSET, QDV0_MAX_PORT_OFFSET, nullptr);
    what =
        Range(QDV0_MIN_PORT_OFFSET, QDV0_MAX_PORT_OFFSET) + " (every base port plus it is a port)";
  } else if (strncasecmp(name, "ENABLE_", 7) == 0) {
    good = strchr("YyNn0", value[0]) != nullptr;
    what = "a flag (Y or N)";
  }
  if (!good && problem != nullptr) *problem = Bad(name, value, what);
  return good;
}

namespace {
std::atomic<int> g_errorLines{0};
}  // namespace

void QDV0_WriteOperatorLine(int priority, const char *text) {
  if (priority <= QDV0_PRIORITY_ERROR) g_errorLines++;
  // One line each, whatever the text holds: its line ends and control characters are escaped
  // as in every log file, so that no inserted value can forge a second line in the journal.
  std::string line = "<" + std::to_string(priority) + ">";
  if (text != nullptr) QDV0_AppendLogText(&line, text, strlen(text));
  line += "\n";
  const char *p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = write(STDERR_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

void QDV0_OperatorLine(int priority, const char *format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  QDV0_WriteOperatorLine(priority, text);
}

int QDV0_OperatorErrorCount(void) { return g_errorLines.load(); }
