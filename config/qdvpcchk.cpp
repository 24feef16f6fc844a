// The configuration check (qdvp check): everything a start of one data provider type would
// read, looked at without starting it, one line per finding on standard output: "ok",
// "warning" (the start goes on, but something will not work as the operator may expect) or
// "error" (the start stops, or what it should do cannot happen). The same rules as the start
// (core/support/qdv0chck.h) judge the values, so the check and the start never disagree.
//
// It writes no file: metafiles are validated on a stand-alone anchor with no report, ports are
// bound and released at once, and the agent is only connected to and left.
#include "qdvpcchk.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../core/support/qdv0.h"
#include "../core/support/qdv0chck.h"
#include "../include/qdvp.h"
#include "../include/qdvp_consauth.h"
#include "../include/qdvp_core.h"
#include "../include/qdvp_metafile.h"
#include "../include/qdvp_sockets.h"

namespace {

struct Findings {
  int errors = 0, warnings = 0;
  void Ok(const std::string &text) { printf("ok      %s\n", text.c_str()); }
  void Warning(const std::string &text) {
    warnings++;
    printf("warning %s\n", text.c_str());
  }
  void Error(const std::string &text) {
    errors++;
    printf("error   %s\n", text.c_str());
  }
};

std::string Trim(const std::string &s) {
  size_t b = 0, e = s.size();
  while (b < e && isspace(static_cast<unsigned char>(s[b]))) b++;
  while (e > b && isspace(static_cast<unsigned char>(s[e - 1]))) e--;
  return s.substr(b, e - b);
}

// The product specification file by the rules of its reader: each value of an item with a
// rule, and lines that name no item.
bool CheckProductSpecification(Findings *f) {
  const char *path = QDV0_GetEnv("QDVP_PRODUCT_SPEC", nullptr);
  if (path == nullptr) {
    f->Ok("no product specification (QDVP_PRODUCT_SPEC): the built-in items apply");
    return true;
  }
  FILE *file = fopen(path, "r");
  if (file == nullptr) {
    f->Error(std::string("the product specification ") + path +
             " (QDVP_PRODUCT_SPEC) cannot be read: " + strerror(errno));
    return false;
  }
  int bad = 0, number = 0;
  char line[1024];
  while (fgets(line, sizeof(line), file) != nullptr) {
    number++;
    std::string text = Trim(line);
    if (text.empty() || text[0] == '#') continue;
    size_t eq = text.find('=');
    std::string name = eq == std::string::npos ? "" : Trim(text.substr(0, eq));
    int item = name.empty() ? -1 : QDV0_ProductSpecItemNumber(name.c_str());
    std::string where =
        std::string("product specification ") + path + " line " + std::to_string(number);
    if (item < 0) {
      f->Warning(where + " names no item and is ignored: " + text);
      continue;
    }
    std::string problem;
    if (!QDV0_CheckProductSpecItem(name.c_str(), Trim(text.substr(eq + 1)).c_str(), &problem)) {
      bad++;
      f->Error(where + ": " + problem);
    }
  }
  fclose(file);
  if (bad == 0) f->Ok(std::string("product specification ") + path + " read");
  return bad == 0;
}

// Why a directory does not serve (null when it does); writable: it must take new files.
const char *DirectoryProblem(const std::string &path, bool writable) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0)
    return errno == ENOENT ? "does not exist" : "cannot be looked at";
  if (!S_ISDIR(st.st_mode)) return "is no directory";
  if (access(path.c_str(), writable ? (R_OK | W_OK | X_OK) : (R_OK | X_OK)) != 0) {
    return writable ? "cannot be written" : "cannot be read";
  }
  return nullptr;
}

std::string DirectoryOf(const std::string &file) {
  size_t slash = file.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
}

// The messages of a validation, standard output captured meanwhile: errors and warnings only.
std::vector<std::string> ValidateQuietly(const char *name, bool *valid) {
  std::vector<std::string> lines;
  *valid = false;
  fflush(stdout);
  FILE *capture = tmpfile();
  int saved = capture ? dup(STDOUT_FILENO) : -1;
  if (saved < 0 || dup2(fileno(capture), STDOUT_FILENO) < 0) {
    if (capture) fclose(capture);
    if (saved >= 0) close(saved);
    lines.push_back("its messages could not be captured");
    return lines;
  }
  DPAB *anchor = QDVP_BeginStandAloneRun(name);
  if (anchor != nullptr) {
    *valid = QDVP_ConstructApplDataModel(anchor, name, 1, nullptr, nullptr, 0, 1) != nullptr;
    QDVP_EndStandAloneRun(anchor);
  }
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  rewind(capture);
  char line[4096];
  while (fgets(line, sizeof(line), capture) != nullptr) {
    std::string text = Trim(line);
    // QDVPVnnE and QDVPVnnW: the errors and warnings of the metafile.
    if (text.size() > 8 && text.compare(0, 5, "QDVPV") == 0 && (text[7] == 'E' || text[7] == 'W'))
      lines.push_back(text);
  }
  fclose(capture);
  return lines;
}

// The startup configuration and each metafile it names, as the start would load them.
void CheckStartupConfiguration(Findings *f, const std::string &metaDir, bool metaDirGood) {
  const char *configPath = QDV0_GetEnv("QDVP_INIT_CONFIG_PATH", nullptr);
  const char *fileName = QDV0_QueryProductSpec(24);
  char *dir = QDV0_CheckPathSpec(configPath);
  char *full = QDV0_ConstructFullyQualifiedName(dir, fileName ? fileName : "");
  std::string config = full ? full : "";
  if (dir != configPath) QDV0_Free(dir);
  QDV0_Free(full);
  FILE *file = fopen(config.c_str(), "r");
  if (file == nullptr) {
    f->Warning("no startup configuration " + config + " (QDVP_INIT_CONFIG_PATH, " +
               "INITCNFG_FILE_NAME): every metafile of " + metaDir +
               " is loaded at start, and IMPORT and DELETE are not kept");
    return;
  }
  std::vector<std::string> names;
  char line[4096];
  while (fgets(line, sizeof(line), file) != nullptr) {
    if (line[0] == '*') continue;
    QDV0_RemoveCRandLF(line);
    char *position = nullptr;
    for (char *name = strtok_r(line, " \t", &position); name != nullptr;
         name = strtok_r(nullptr, " \t", &position)) {
      names.push_back(name);
    }
  }
  fclose(file);
  if (access(config.c_str(), W_OK) != 0) {
    f->Warning("the startup configuration " + config +
               " cannot be written: IMPORT and DELETE are not kept");
  }
  f->Ok("startup configuration " + config + ": " + std::to_string(names.size()) + " metafile(s)");
  if (!metaDirGood) return;
  for (const std::string &name : names) {
    bool valid = false;
    std::vector<std::string> messages = ValidateQuietly(name.c_str(), &valid);
    if (valid) {
      f->Ok("metafile " + name + " is valid" +
            (messages.empty() ? "" : " (" + std::to_string(messages.size()) + " warning(s))"));
      for (const std::string &m : messages) f->Warning("metafile " + name + ": " + m);
    } else {
      f->Error("metafile " + name + " is not valid" + (messages.empty() ? "" : ":"));
      for (const std::string &m : messages) printf("          %s\n", m.c_str());
    }
  }
}

std::string BindAddressText() {
  struct in_addr a;
  a.s_addr = QDV0_BindAddress();
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &a, text, sizeof(text));
  return text;
}

// kind 1 UDP, 2 TCP: the port is bound on the bind address and let go at once.
void CheckPort(Findings *f, const char *what, int port, int kind, bool inUseIsError = true) {
  std::string where = std::string(what) + " port " + std::to_string(port) +
                      (kind == 1 ? "/udp" : "/tcp") + " on " + BindAddressText();
  if (port < 1 || port > 65535) {
    f->Error(where + ": no port");
    return;
  }
  int s = QDV0_OpenLocalSocket(kind, htons(static_cast<uint16_t>(port)), nullptr, 1);
  if (s >= 0) {
    QDV0_CloseTheSocket(s);
    f->Ok(where + " is free");
    return;
  }
  std::string why = strerror(errno);
  if (errno == EADDRINUSE && !inUseIsError) {
    f->Ok(where + " is in use (" + why + ")");
  } else {
    f->Error(where + " cannot be bound: " + why);
  }
}

void CheckPorts(Findings *f, int type) {
  CheckPort(f, "console", QDVP_ConsolePortOfType(type), 1);
  bool api = type == QDVP_TYPE_APIS || type == QDVP_TYPE_ASFS;
  bool sock = type == QDVP_TYPE_SOCK || type == QDVP_TYPE_ASFS;
  if (sock) {
    CheckPort(f, "socket data server", QDVP_ServerPort('S'), 2);
    CheckPort(f, "socket data server", QDVP_ServerPort('S'), 1);
  }
  if (api) {
    CheckPort(f, "client API", QDVP_ServerPort('A'), 2);
    CheckPort(f, "client API", QDVP_ServerPort('A'), 1);
  }
  if (type == QDVP_TYPE_POST) {
    CheckPort(f, "POST", QDVP_ServerPort('P'), 2);
    CheckPort(f, "POST", QDVP_ServerPort('P'), 1);
  }
  const char *metrics = QDV0_GetEnv("QDVP_METRICS_PORT", nullptr);
  if (metrics != nullptr) CheckPort(f, "metrics page", atoi(metrics), 2);
  const char *metaServer = QDV0_GetEnv("QDVP_META_SERVER", nullptr);
  if (metaServer != nullptr && type != QDVP_TYPE_POST && QDV0_IsOwnHostName(metaServer)) {
    // In use: another data provider serves, and this one fetches from it.
    CheckPort(f, "metafile server", QDVP_ServerPort('M'), 2, false);
  }
}

// Connects to the agent over TCP within 2 seconds; a refusal is a warning, since the data
// provider waits for its agent (over UDP, too).
void CheckAgent(Findings *f) {
  const char *item = QDV0_QueryProductSpec(22);
  int port = item ? atoi(item) : 7900;
  const char *portText = QDV0_GetEnv("QDVA_DCH_PORT", nullptr);
  if (portText != nullptr) port = atoi(portText);
  const char *host = QDV0_GetEnv("QDVP_DCH_HOST", nullptr);
  if (host == nullptr) host = QDV0_GetEnv("QDVA_DCH_HOST", QDV0_LocalHostNameString());
  std::string where = std::string("the agent at ") + host + " port " + std::to_string(port);
  sockaddr_in address;
  memset(&address, 0, sizeof(address));
  if (QDV0_ConvertNameToAddr(host, port, &address) != 0 || address.sin_addr.s_addr == 0) {
    f->Error(where + ": the host name cannot be resolved");
    return;
  }
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int rc = s < 0 ? -1 : connect(s, reinterpret_cast<sockaddr *>(&address), sizeof(address));
  int err = rc == 0 ? 0 : errno;
  if (rc != 0 && err == EINPROGRESS) {
    struct pollfd p = {s, POLLOUT, 0};
    err = poll(&p, 1, 2000) == 1 ? 0 : ETIMEDOUT;
    socklen_t length = sizeof(err);
    if (err == 0) getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &length);
  }
  if (s >= 0) close(s);
  if (err == 0) {
    f->Ok(where + " takes a TCP connection");
  } else {
    f->Warning(where + " does not take a TCP connection (" + strerror(err) +
               "): the data provider waits for it, and sends nothing meanwhile");
  }
}

void CheckDirectories(Findings *f, int type) {
  const char *home = QDV0_GetEnv("QDVP_HOME", nullptr);
  char cwd[4096] = ".";
  if (home == nullptr && getcwd(cwd, sizeof(cwd)) == nullptr) strcpy(cwd, ".");
  std::string homeDir = home != nullptr ? home : cwd;
  const char *problem = DirectoryProblem(homeDir, true);
  if (problem != nullptr) {
    f->Warning("the default directory " + homeDir + " (QDVP_HOME) " + problem +
               ": the action log and files named without a directory cannot be written");
  } else {
    f->Ok("the default directory " + homeDir + " (QDVP_HOME) can be written");
  }
  const char *state = QDV0_GetEnv("QDVP_STATE_DIR", nullptr);
  if (state != nullptr && (type == QDVP_TYPE_FILE || type == QDVP_TYPE_ASFS)) {
    problem = DirectoryProblem(state, true);
    if (problem != nullptr) {
      f->Error(std::string("the state directory ") + state + " (QDVP_STATE_DIR) " + problem +
               ": read positions of monitored files will not be saved");
    } else {
      f->Ok(std::string("the state directory ") + state + " (QDVP_STATE_DIR) can be written");
    }
  }
  char keyPath[4096] = "";
  if (QDVP_ConsoleKeyPath(keyPath, sizeof(keyPath))) {
    unsigned char key[QDVP_CONSOLE_KEY_SIZE];
    int status = QDVP_LoadConsoleKey(keyPath, 0, key);
    explicit_bzero(key, sizeof(key));
    if (status == QDVP_KEY_OK) {
      f->Ok(std::string("the console key ") + keyPath + " can be used");
    } else if (status == QDVP_KEY_MISSING) {
      problem = DirectoryProblem(DirectoryOf(keyPath), true);
      if (problem != nullptr) {
        f->Error(std::string("the console key ") + keyPath + " cannot be made: its directory " +
                 problem + "; commands that change the data provider will be refused");
      } else {
        f->Ok(std::string("the console key ") + keyPath + " is written at the first start");
      }
    } else {
      f->Error(std::string("the console key ") + keyPath + " " + QDVP_ConsoleKeyStatusText(status));
    }
  }
  const char *trace = QDV0_GetEnv("QDVP_TRACE", nullptr);
  if (trace != nullptr && QDV0_GetEnv("QDVP_TRACE_FILE", nullptr) == nullptr) {
    f->Warning("QDVP_TRACE is set but QDVP_TRACE_FILE is not: nothing is traced");
  }
}

}  // namespace

int QDVP_CheckConfiguration(int type) {
  if (type < 0 || type > QDVP_TYPE_MAX) return -1;
  Findings f;
  printf("qdvp check: a %s data provider\n", DPtypeString[type]);
  std::vector<std::string> problems, warnings;
  QDV0_CheckEnvironment(&problems, &warnings);
  for (const std::string &p : problems) f.Error(p);
  for (const std::string &w : warnings) f.Warning(w);
  if (problems.empty()) f.Ok("environment: every number, port, address and word is good");
  bool specGood = CheckProductSpecification(&f);
  QDV0_ResetProductSpec();
  if (problems.empty() && specGood && QDV0_InitializeProductSpec()) {
    // What depends on the values: only when they are good.
    std::string metaDir = QDV0_GetEnv("QDVP_META_PATH", "./metafiles");
    while (metaDir.size() > 1 && metaDir.back() == '/') metaDir.pop_back();
    bool metafiles = type != QDVP_TYPE_POST && type != QDVP_TYPE_HTTP;
    bool startupConfig = metafiles && type != QDVP_TYPE_SNMP;
    const char *problem = metafiles ? DirectoryProblem(metaDir, false) : nullptr;
    if (problem != nullptr) {
      f.Error("the metafile directory " + metaDir + " (QDVP_META_PATH) " + problem);
    } else if (metafiles) {
      f.Ok("the metafile directory " + metaDir + " (QDVP_META_PATH) can be read");
    }
    if (startupConfig) CheckStartupConfiguration(&f, metaDir, problem == nullptr);
    CheckDirectories(&f, type);
    CheckPorts(&f, type);
    CheckAgent(&f);
  }
  printf("qdvp check: %d error(s), %d warning(s)\n", f.errors, f.warnings);
  fflush(stdout);
  return f.errors;
}
