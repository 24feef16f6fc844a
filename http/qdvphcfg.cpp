// The URL configuration file: one monitored URL per line with its ALIAS=, INTERVAL=, USER= and
// CACHE= settings, read at start and written again, whole, when the list changes. The new text
// goes to a temporary file in the same directory that then replaces the old one, so that a crash
// in the middle never leaves a half-written list.
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <string>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_http.h"

static TRK1_BLOCK trk = {"qdvphcfg"};

namespace {

const char kDefaultOwner[] = "INITCNFG";

// The value after a keyword found at upper[at] (blanks skipped), up to the next blank, taken
// from the line as written.
std::string ValueAfter(const std::string &line, size_t at, size_t keywordLength) {
  size_t start = at + keywordLength;
  while (start < line.size() && line[start] == ' ') start++;
  size_t end = start;
  while (end < line.size() && line[end] != ' ' && line[end] != '\t') end++;
  return line.substr(start, end - start);
}

bool StartsWithKeyword(const std::string &value) {
  std::string upper = value;
  for (char &c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  for (const char *k : {"ALIAS=", "CACHE=", "INTERVAL="}) {
    if (upper.compare(0, strlen(k), k) == 0) return true;
  }
  return false;
}

// A decimal setting: its value, or fallback (with the trace) when it does not begin with a digit.
int Number(const std::string &line, const std::string &upper, const char *keyword, int fallback,
           const char *url, const char *complaint) {
  size_t at = upper.find(keyword);
  if (at == std::string::npos) return fallback;
  std::string value = ValueAfter(line, at, strlen(keyword));
  if (value.empty() || !isdigit(static_cast<unsigned char>(value[0]))) {
    QDVP_TRC(trk, TRK1_ERROR, complaint, url);
    return fallback;
  }
  return atoi(value.c_str());
}

// One line of the file: the URL and its settings, a request per user.
int ProcessLine(URLmanagementBlock *umb, std::string line) {
  size_t first = line.find_first_not_of(" \t");
  if (first == std::string::npos) return 0;
  line = line.substr(first);
  if (line[0] == '*') return 0;
  std::string upper = line;
  for (char &c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  std::string token = line.substr(0, line.find_first_of(" \t"));
  char url[QDVP_URL_ENTRY_MAX + 2];
  bool converted = false;
  if (!QDVP_NormalizeURL(token.c_str(), url, sizeof(url), &converted) ||
      strlen(url) > QDVP_URL_MAX) {
    QDVP_TRC(trk, TRK1_ERROR, "URL length %d too large. Max length %d",
             static_cast<int>(token.size()), static_cast<int>(QDVP_URL_MAX));
    return 0;
  }
  if (converted) {
    QDVP_TRC(trk, TRK1_DETAIL, "Converting URL <%s> with backslashes to <%s>", token.c_str(), url);
  }
  std::string alias;
  size_t at = upper.find("ALIAS=");
  if (at != std::string::npos) alias = ValueAfter(line, at, 6);
  int interval = Number(line, upper, "INTERVAL=", umb->MaxSampleInterval, url,
                        "Non-numeric value specified on INTERVAL= parameter for URL <%s>");
  int cache = Number(line, upper, "CACHE=", 0, url,
                     "Non-numeric value specified on CACHE= parameter for URL <%s>");
  std::string users;
  at = upper.find("USER=");
  if (at != std::string::npos) {
    size_t start = at + 5;
    while (start < line.size() && line[start] == ' ') start++;
    std::string rest = line.substr(start);
    if (StartsWithKeyword(rest)) {
      QDVP_TRC(trk, TRK1_ERROR,
               "USER= parameter is null for URL <%s>, substituting default owner value of %s", url,
               kDefaultOwner);
    } else {
      users = ValueAfter(line, at, 5);
    }
  }
  if (users.empty()) users = kDefaultOwner;
  int requests = 0;
  for (size_t from = 0; from <= users.size();) {
    size_t comma = users.find(',', from);
    std::string user =
        users.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
    from = comma == std::string::npos ? users.size() + 1 : comma + 1;
    if (user.empty()) continue;
    int duplicate = 0;
    URLrequestEntry *entry =
        QDVP_AllocateHTTPrequestBlock(umb->pDPAB, url, alias.empty() ? nullptr : alias.c_str(),
                                      interval, user.c_str(), cache, &duplicate);
    if (entry != nullptr) {
      entry->FromConfigFile = 1;
      requests++;
    }
  }
  return requests;
}

}  // namespace

bool QDVP_NormalizeURL(const char *token, char *url, size_t size, bool *converted) {
  if (converted != nullptr) *converted = false;
  if (token == nullptr || size == 0) return false;
  int n;
  if (strncasecmp(token, "HTTP://", 7) == 0 || strncasecmp(token, "HTTPS://", 8) == 0) {
    n = snprintf(url, size, "%s", token);
  } else if (strncasecmp(token, "HTTP:\\\\", 7) == 0) {
    n = snprintf(url, size, "http://%s", token + 7);
    if (converted != nullptr) *converted = true;
  } else {
    n = snprintf(url, size, "http://%s", token);
  }
  return n >= 0 && static_cast<size_t>(n) < size;
}

int QDVP_ProcessURLconfigFile(URLmanagementBlock *umb) {
  if (umb == nullptr || umb->pConfigFile == nullptr) return 0;
  FILE *f = QDV0_OpenRegularFile(umb->pConfigFile);
  if (f == nullptr) {
    int err = errno;
    QDVP_TRC(trk, TRK1_ERROR, "URL configuration file %s open failed, ErrorText <%s>",
             umb->pConfigFile, strerror(err));
    // Without the file no URL is monitored until a request adds one: the operator hears of it,
    // as a wrong name or directory would otherwise go unnoticed.
    char text[1200];
    snprintf(text, sizeof(text),
             "URL configuration file %s cannot be read (%s); no URL is monitored from it",
             umb->pConfigFile, strerror(err));
    QDV0_OQconsoleMessage("HTTP", QDV0_OQ_WARNING, text);
    return 0;
  }
  int records = 0;
  // A line is cut at 2048 bytes (the rest of it is read and dropped), so that no file can make
  // the reader hold more; bytes of any value, NUL included, are taken as they come.
  std::string line;
  for (int c;;) {
    c = getc(f);
    if (c != EOF && c != '\n') {
      if (line.size() < 2048) line += static_cast<char>(c);
      continue;
    }
    while (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) {
      ProcessLine(umb, line);
      records++;
    }
    line.clear();
    if (c == EOF) break;
  }
  fclose(f);
  QDVP_TRC(trk, TRK1_DETAIL, "%d URL configuration records processed", records);
  return records;
}

void QDVP_UpdateURLconfigurationFile(DPAB *anchor) {
  URLmanagementBlock *umb = QDVP_URLmanager(anchor);
  if (umb == nullptr || umb->pConfigFile == nullptr) return;
  std::string text;
  {
    OSV1_Guard list(&umb->URLlistLock);
    for (URLrequestEntry *e = umb->pURLlist; e != nullptr; e = e->pNext) {
      for (URLownerEntry *o = e->pOwnerList; o != nullptr; o = o->pNext) {
        char line[QDVP_URL_ENTRY_MAX + 256];
        snprintf(line, sizeof(line), "%s %s%d %s%d %s%s", e->URL, "INTERVAL=", e->SampleInterval,
                 "CACHE=", e->CachePercent, "USER=", o->UserName);
        text += line;
        if (strcmp(o->Alias, "    ") != 0) text += std::string(" ALIAS=") + o->Alias;
        text += "\n";
      }
    }
  }
  std::string temporary = std::string(umb->pConfigFile) + ".new";
  FILE *f = fopen(temporary.c_str(), "w");
  bool written = f != nullptr && fwrite(text.data(), 1, text.size(), f) == text.size();
  if (f != nullptr) {
    written = fflush(f) == 0 && fsync(fileno(f)) == 0 && written;
    written = fclose(f) == 0 && written;
  }
  if (!written || rename(temporary.c_str(), umb->pConfigFile) != 0) {
    QDVP_TRC(trk, TRK1_ERROR, "***** URL configuration file %s open failed. ErrorText <%s>",
             umb->pConfigFile, strerror(errno));
    unlink(temporary.c_str());
  }
}
