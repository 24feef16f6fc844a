// qdvp post: the operator's and a script's way to post a message to a POST data provider.
// The message is the text and the category, separated by ';', sent as one TCP buffer (the data
// provider answers with the 26-character acknowledgement stamp) or one UDP datagram (no
// answer). TEXT "-" reads the text from standard input.
#include "host/qdvppost.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <iostream>
#include <iterator>
#include <string>

namespace qdvp_host {

namespace {

const char kPostUsage[] =
    "usage: qdvp post [--host HOST] [--port PORT] [--udp] [--category C] TEXT...\n"
    "  posts TEXT (the words joined by blanks; - reads it from standard input) to a POST data\n"
    "  provider (default 127.0.0.1, port QDVP_POST_DP_PORT or 7575) and prints the\n"
    "  acknowledgement stamp. C is a category key (I, O, P, S, N, A, C, W, R, D, or one set by\n"
    "  QDVP_POST_CATEGORY). Exit status 0 when posted, 1 when the data provider refused or did\n"
    "  not answer within 5 seconds, 2 for a bad command line.\n";

int Bad(const char *why) {
  fprintf(stderr, "qdvp post: %s\n%s", why, kPostUsage);
  return 2;
}

}  // namespace

int RunPostCommand(int argc, char **argv, int first) {
  std::string host = "127.0.0.1", category, text;
  const char *envPort = getenv("QDVP_POST_DP_PORT");
  int port = envPort != nullptr && atoi(envPort) > 0 ? atoi(envPort) : 7575;
  bool udp = false;
  int i = first;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; i++) {
    std::string a = argv[i];
    if (a == "--udp") {
      udp = true;
      continue;
    }
    if (a == "--help") {
      fputs(kPostUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc) return Bad((a + " needs a value").c_str());
    std::string v = argv[++i];
    if (a == "--host") {
      host = v;
    } else if (a == "--port") {
      port = atoi(v.c_str());
      if (port <= 0 || port > 65535) return Bad(("bad port '" + v + "'").c_str());
    } else if (a == "--category") {
      category = v;
    } else {
      return Bad(("unknown option '" + a + "'").c_str());
    }
  }
  if (i >= argc) return Bad("no TEXT");
  if (argc - i == 1 && strcmp(argv[i], "-") == 0) {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  } else {
    for (; i < argc; i++) text += (text.empty() ? "" : " ") + std::string(argv[i]);
  }
  if (text.find(';') != std::string::npos) return Bad("TEXT may not hold ';'");
  std::string message = text + (category.empty() ? "" : ";" + category);
  if (message.size() > 4096) return Bad("the message is longer than 4096 bytes");

  struct addrinfo hints {}, *found = nullptr;
  hints.ai_family = AF_INET;
  hints.ai_socktype = udp ? SOCK_DGRAM : SOCK_STREAM;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
    fprintf(stderr, "qdvp post: unknown host '%s'\n", host.c_str());
    return 1;
  }
  int s = socket(AF_INET, hints.ai_socktype, 0);
  bool ok = s >= 0 && connect(s, found->ai_addr, found->ai_addrlen) == 0;
  freeaddrinfo(found);
  if (!ok) {
    fprintf(stderr, "qdvp post: no POST data provider at %s port %d\n", host.c_str(), port);
    if (s >= 0) close(s);
    return 1;
  }
  if (send(s, message.data(), message.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(message.size())) {
    fprintf(stderr, "qdvp post: the message could not be sent\n");
    close(s);
    return 1;
  }
  if (udp) {
    close(s);
    return 0;
  }
  std::string stamp;
  while (stamp.size() < 26) {
    struct pollfd p = {s, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) break;
    char buffer[64];
    ssize_t n = recv(s, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    stamp.append(buffer, static_cast<size_t>(n));
  }
  close(s);
  if (stamp.size() < 26) {
    fprintf(stderr, "qdvp post: no acknowledgement from %s port %d within 5 seconds\n",
            host.c_str(), port);
    return 1;
  }
  printf("%s\n", stamp.c_str());
  return 0;
}

}  // namespace qdvp_host
