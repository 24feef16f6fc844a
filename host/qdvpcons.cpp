// qdvp console: the operator's console program. It sends one command datagram to a running
// data provider's console port, gathers every part of the reply and prints it for a person:
// the result code with its console message, LIST as a list, SHOW as an outline of the
// application's tables, sources and attributes. --raw prints the datagrams as received.
//
// The data provider answers a command only when it is done, which may take a while (an IMPORT
// that waits for the agent). To tell a busy data provider from none at all, the program sends
// a GETPORT probe after a short silence: a busy console answers it at once with "7 code". No
// answer to the command or to the probes within a few seconds means no data provider listens.
//
// Every command goes out sealed with the console key when the program can read the key file
// (include/qdvp_consauth.h): the data provider refuses the commands that change it without a
// good seal. The probes go out plain: GETPORT needs no key.
#include "host/qdvpcons.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/support/qdv0chck.h"
#include "host/qdvphost.h"
#include "include/qdvp_consauth.h"
#include "include/qdvp_console.h"

namespace qdvp_host {
namespace {

using Clock = std::chrono::steady_clock;

// Silence after which a probe is sent, and after which the data provider counts as absent.
constexpr auto kProbeAfter = std::chrono::milliseconds(1500);
constexpr auto kNoAnswer = std::chrono::seconds(5);
// A shutdown answers only after every task has ended: up to the data provider's own bound.
constexpr auto kShutdownNoAnswer = std::chrono::seconds(200);
// The parts of a multi-part reply follow one another at once.
constexpr auto kPartWait = std::chrono::seconds(3);
// A command refused because another one runs (result 7) is sent again, fresh, every tenth of a
// second for this long before the refusal is shown: another operator's command, or what a
// datagram flood left in the console's queue, is usually over by then.
constexpr auto kBusyRetryFor = std::chrono::seconds(3);
constexpr auto kBusyRetryEvery = std::chrono::milliseconds(100);

using Options = ConsoleOptions;

// The port offset of the product specification file (DP_PORT_OFFSET or item 23), 0 without
// one. False, with the reason, when the file cannot be read or the offset is no offset.
bool PortOffset(int *offset, std::string *problem) {
  *offset = 0;
  const char *path = getenv("QDVP_PRODUCT_SPEC");
  if (path == nullptr || path[0] == '\0') return true;
  FILE *f = fopen(path, "r");
  if (f == nullptr) {
    *problem =
        std::string("the product specification ") + path + " cannot be read: " + strerror(errno);
    return false;
  }
  bool good = true;
  char line[1024];
  while (fgets(line, sizeof(line), f) != nullptr) {
    char *p = line;
    while (*p == ' ' || *p == '\t') p++;
    if (*p == '#') continue;
    char *eq = strchr(p, '=');
    if (eq == nullptr) continue;
    std::string name(p, static_cast<size_t>(eq - p));
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    if (name != "DP_PORT_OFFSET" && name != "23") continue;
    std::string value = eq + 1;
    while (!value.empty() && isspace(static_cast<unsigned char>(value.back()))) value.pop_back();
    while (!value.empty() && isspace(static_cast<unsigned char>(value.front()))) value.erase(0, 1);
    if (!QDV0_CheckProductSpecItem("DP_PORT_OFFSET", value.c_str(), problem)) {
      *problem = std::string("product specification ") + path + ": " + *problem;
      good = false;
      break;
    }
    *offset = value.empty() ? 0 : atoi(value.c_str());
  }
  fclose(f);
  return good;
}

// The console port of a type, as the data provider computes it; -1 with the reason when a
// setting it depends on is bad.
int ConsolePort(int type, std::string *problem) {
  const char *base = getenv("QDVP_DPCONSOLE_PORT");
  if (!QDV0_CheckSetting("QDVP_DPCONSOLE_PORT", base, problem)) return -1;
  if (base != nullptr && base[0] != '\0') return atoi(base) + type;
  int offset = 0;
  if (!PortOffset(&offset, problem)) return -1;
  return 7700 + offset + type;
}

int CommandCode(const std::string &word) {
  for (int i = 0; i < QDVP_CMD_COUNT; i++) {
    if (strcasecmp(word.c_str(), ConCommandString[i]) == 0) return i;
  }
  return QDVP_CMD_COUNT;
}

// The result code at the start of a reply, or -1.
int ResultOf(const std::string &datagram, std::string *rest) {
  size_t i = 0;
  while (i < datagram.size() && isdigit(static_cast<unsigned char>(datagram[i]))) i++;
  if (i == 0) return -1;
  int rc = atoi(datagram.substr(0, i).c_str());
  size_t from = i < datagram.size() && datagram[i] == ' ' ? i + 1 : i;
  if (rest != nullptr) *rest = datagram.substr(from);
  return rc;
}

// True for the reply to a GETPORT probe: "0 type port".
bool IsProbeReply(const std::string &datagram) {
  int type = 0, port = 0;
  char extra = 0;
  return sscanf(datagram.c_str(), "0 %d %d%c", &type, &port, &extra) == 2;
}

std::string Message(int number, const std::string &insert) {
  char text[300];
  return QDVP_FormatConsoleMessage(number, insert.empty() ? nullptr : insert.c_str(), text,
                                   sizeof(text));
}

std::vector<std::string> Split(const std::string &text, char separator) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(separator, start);
    out.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) break;
    start = at + 1;
  }
  return out;
}

// The SHOW text (parts joined, part codes removed) as an outline.
void PrintShowOutline(const std::string &text) {
  std::vector<std::string> t = Split(text, ';');
  std::string metafile;
  for (size_t i = 0; i + 1 < t.size();) {
    std::string item = t[i];
    auto at = [&](size_t k) { return i + k < t.size() ? t[i + k] : std::string(); };
    if (item == "0") {
      metafile = at(1);
      i += 2;
    } else if (item == "1") {
      printf("Application %s  (metafile %s)\n", at(1).c_str(), metafile.c_str());
      i += 2;
    } else if (item == "2") {
      printf("  Table %s: %s\n", at(1).c_str(), at(2).c_str());
      i += 3;
    } else if (item == "3") {
      printf("    Source %s %s\n", at(1).c_str(), at(2).c_str());
      i += 3;
    } else if (item == "4") {
      std::string type = at(2);
      size_t b = type.find_first_not_of(' ');
      type = b == std::string::npos ? "" : type.substr(b);
      printf("      Attribute %s%s%s\n", at(1).c_str(), type.empty() ? "" : ": ", type.c_str());
      i += 3;
    } else {
      i++;
    }
  }
}

// Prints the reply of a command for a person.
void PrintReply(const Options &o, int code, int rc, const std::string &text) {
  int message = QDVP_ConsoleResultMessage(code, rc);
  std::string insert = o.operand;
  if (rc == 7 || rc == QDVP_CON_NOT_AUTHENTICATED ||
      (rc == 0 && (code == QDVP_CMD_GETPORT || code == QDVP_CMD_PING))) {
    insert = text;
  }
  if (insert.empty()) insert = "-";
  printf("result %d: %s\n", rc, Message(message, insert).c_str());
  if (rc != 0) return;
  if (code == QDVP_CMD_LIST) {
    for (const std::string &name : Split(text, ' ')) {
      if (!name.empty()) printf("  %s\n", name.c_str());
    }
  } else if (code == QDVP_CMD_SHOW) {
    PrintShowOutline(text);
  } else if (code == QDVP_CMD_GETPORT) {
    int type = -1, port = 0;
    if (sscanf(text.c_str(), "%d %d", &type, &port) == 2) {
      printf("  type %s (%d), console port %d\n", TypeName(type), type, port);
    }
  } else if (code == QDVP_CMD_PING) {
    time_t start = static_cast<time_t>(atol(text.c_str()));
    char when[64] = "";
    struct tm local;
    if (localtime_r(&start, &local) != nullptr) strftime(when, sizeof(when), "%c", &local);
    printf("  started %s\n", when);
  } else if (!text.empty()) {
    printf("  %s\n", text.c_str());
  }
}

class Connection {
 public:
  ~Connection() {
    if (fd_ >= 0) close(fd_);
  }
  bool Open(const std::string &host, int port, std::string *error) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo *found = nullptr;
    int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0 || found == nullptr) {
      *error = "cannot resolve host '" + host + "': " + gai_strerror(rc);
      return false;
    }
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    // Connected, so that only the console port's datagrams arrive and a closed port is
    // reported (ECONNREFUSED) instead of waited for.
    bool ok = fd_ >= 0 && connect(fd_, found->ai_addr, found->ai_addrlen) == 0;
    freeaddrinfo(found);
    if (!ok) *error = std::string("cannot open a socket: ") + strerror(errno);
    return ok;
  }
  // 1 sent, 0 refused (nobody listens), -1 other failure.
  int Send(const std::string &text) {
    if (send(fd_, text.data(), text.size(), 0) >= 0) return 1;
    return errno == ECONNREFUSED ? 0 : -1;
  }
  // 1 with a datagram, 0 on time-out, -2 refused, -1 other failure.
  int Receive(Clock::duration wait, std::string *datagram) {
    struct pollfd p = {fd_, POLLIN, 0};
    int ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(wait).count());
    int rc = poll(&p, 1, ms < 0 ? 0 : ms);
    if (rc <= 0) return rc == 0 ? 0 : -1;
    char buffer[65536];
    ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
    if (n < 0) return errno == ECONNREFUSED ? -2 : -1;
    datagram->assign(buffer, static_cast<size_t>(n));
    return 1;
  }

 private:
  int fd_ = -1;
};

// The request sealed with the console key, or as it is when the key file cannot be read: the
// data provider then answers what needs no key and refuses the rest. *problem says why there
// was no seal ("" when there is one).
std::string Sealed(const Options &o, const std::string &request, std::string *problem) {
  char path[4096] = "";
  unsigned char key[QDVP_CONSOLE_KEY_SIZE];
  int status = QDVP_ConsoleKeyPath(path, sizeof(path)) ? QDVP_LoadConsoleKey(path, 0, key)
                                                       : QDVP_KEY_IO_ERROR;
  char nonce[QDVP_CONSOLE_NONCE_DIGITS + 1];
  if (status == QDVP_KEY_OK && !QDVP_NewConsoleNonce(nonce)) status = QDVP_KEY_IO_ERROR;
  std::string datagram(request.size() + QDVP_CONSOLE_SEAL_MAX, '\0');
  size_t n = status == QDVP_KEY_OK
                 ? QDVP_SealConsoleCommand(key, o.port, static_cast<long>(time(nullptr)), nonce,
                                           request.data(), request.size(), datagram.data(),
                                           datagram.size())
                 : 0;
  explicit_bzero(key, sizeof(key));
  if (n == 0) {
    *problem = std::string("the console key file ") + (path[0] != '\0' ? path : "(name too long)") +
               " " + (status == QDVP_KEY_OK ? "cannot be used" : QDVP_ConsoleKeyStatusText(status));
    return request;
  }
  problem->clear();
  datagram.resize(n);
  return datagram;
}

int NoAnswer(const Options &o) {
  std::string where = o.host + " port " + std::to_string(o.port);
  fprintf(stderr, "qdvp console: %s\n", Message(32, where).c_str());
  fprintf(stderr, "qdvp console: is a data provider of that type running there?\n");
  return 2;
}

}  // namespace

int RunConsoleCommand(ConsoleOptions o) {
  if (o.port < 0) {
    std::string problem;
    o.port = ConsolePort(o.type >= 0 ? o.type : ParseType("FILE"), &problem);
    if (o.port < 0) {
      fprintf(stderr, "qdvp console: %s\n", problem.c_str());
      return 2;
    }
  }
  int code = CommandCode(o.command);
  Connection c;
  std::string error;
  if (!c.Open(o.host, o.port, &error)) {
    fprintf(stderr, "qdvp console: %s\n", error.c_str());
    return 2;
  }
  std::string request = o.command + (o.operand.empty() ? "" : " " + o.operand);
  std::string noSeal;  // why the command went out without a seal
  if (c.Send(Sealed(o, request, &noSeal)) != 1) return NoAnswer(o);
  bool resent = false;
  const auto sentAt = Clock::now();

  const auto noAnswer = code == QDVP_CMD_SHUTDOWN ? kShutdownNoAnswer : kNoAnswer;
  auto lastLife = Clock::now();
  auto lastProbe = Clock::time_point();
  bool probed = false;
  bool alive = false;  // something answered: the data provider is there
  std::string reply;
  for (;;) {
    auto now = Clock::now();
    if (now - lastLife >= noAnswer) return NoAnswer(o);
    if (now - lastLife >= kProbeAfter && now - lastProbe >= kProbeAfter) {
      lastProbe = now;
      probed = true;
      if (c.Send(ConCommandString[QDVP_CMD_GETPORT]) == 0) {
        if (alive && code == QDVP_CMD_SHUTDOWN) {
          printf("result 0: %s\n", Message(19, "").c_str());
          return 0;
        }
        return NoAnswer(o);
      }
    }
    std::string datagram;
    int rc = c.Receive(kProbeAfter / 3, &datagram);
    if (rc == 0) continue;
    if (rc == -2) {
      // The port is closed: nobody was there, or a shut-down data provider has gone.
      if (alive && code == QDVP_CMD_SHUTDOWN) {
        printf("result 0: %s\n", Message(19, "").c_str());
        return 0;
      }
      return NoAnswer(o);
    }
    if (rc < 0) continue;
    if (o.raw) printf("%s\n", datagram.c_str());
    int result = ResultOf(datagram, nullptr);
    if (result == QDVP_CONSOLE_BUSY) {
      alive = true;
      lastLife = Clock::now();
      if (!o.raw) fprintf(stderr, "qdvp console: %s\n", Message(11, "").c_str());
      continue;
    }
    if (result == QDVP_CONSOLE_REJECTED && !probed && Clock::now() - sentAt < kBusyRetryFor) {
      // Refused at once: the console was busy with another command.
      c.Receive(kBusyRetryEvery, &datagram);
      if (c.Send(Sealed(o, request, &noSeal)) != 1) return NoAnswer(o);
      lastLife = Clock::now();
      continue;
    }
    if (result == QDVP_CONSOLE_REJECTED && probed) {
      // The probe found the console busy, with our command.
      alive = true;
      lastLife = Clock::now();
      continue;
    }
    if (probed && code != QDVP_CMD_GETPORT && IsProbeReply(datagram)) {
      // The console was free again, but our command got no reply.
      if (!o.raw) printf("result %d: %s\n", QDVP_CON_NO_REPLY, Message(33, "").c_str());
      return 1;
    }
    if (result == QDVP_CON_NOT_AUTHENTICATED && !noSeal.empty() && !resent) {
      // At its first start the data provider writes the key just after it opens the port, so a
      // command sent in between had no seal: read the key again, and send the refused command
      // once more if it can now be sealed.
      resent = true;
      std::string sealed = Sealed(o, request, &noSeal);
      if (noSeal.empty() && c.Send(sealed) == 1) {
        lastLife = Clock::now();
        continue;
      }
    }
    reply = datagram;
    break;
  }

  std::string text;
  int rc = ResultOf(reply, &text);
  if (rc == QDVP_CON_NOT_AUTHENTICATED && !noSeal.empty()) {
    fprintf(stderr, "qdvp console: %s; %s needs the key\n", noSeal.c_str(),
            code < QDVP_CMD_COUNT ? ConCommandString[code] : o.command.c_str());
  }
  if (rc < 0) {
    if (!o.raw) printf("unexpected reply: %s\n", reply.c_str());
    return 1;
  }
  if (code == QDVP_CMD_SHOW && rc == 0 && text.size() >= 2 && text[0] == '1' && text[1] == ' ') {
    // The first of several parts: gather them up to the last one, part code 3.
    std::string joined = text.substr(2);
    bool complete = false;
    auto deadline = Clock::now() + kPartWait;
    while (!complete && Clock::now() < deadline) {
      std::string part;
      int r = c.Receive(deadline - Clock::now(), &part);
      if (r != 1) continue;
      if (o.raw) printf("%s\n", part.c_str());
      if (part.size() >= 2 && (part[0] == '0' || part[0] == '3') && part[1] == ' ') {
        joined += part.substr(2);
        complete = part[0] == '3';
        deadline = Clock::now() + kPartWait;
      }
    }
    if (!complete) {
      if (!o.raw) printf("result %d: %s\n", rc, Message(39, "").c_str());
      return 1;
    }
    text = joined;
  } else if (code == QDVP_CMD_SHOW && rc == 0 && text.size() >= 2 && text[1] == ' ') {
    text = text.substr(2);
  }
  if (!o.raw) PrintReply(o, code, rc, text);
  fflush(stdout);
  return rc == 0 ? 0 : 1;
}

}  // namespace qdvp_host
