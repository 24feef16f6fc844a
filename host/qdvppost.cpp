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

#include "core/support/qdv0chck.h"

namespace qdvp_host {

namespace {

int Bad(const std::string &why) {
  fprintf(stderr, "qdvp post: %s\n", why.c_str());
  return 2;
}

}  // namespace

int RunPostCommand(const PostOptions &options) {
  std::string host = options.host, category = options.category, text;
  int port = options.port;
  if (port < 0) {
    const char *envPort = getenv("QDVP_POST_DP_PORT");
    port = 7575;
    std::string problem;
    if (!QDV0_CheckSetting("QDVP_POST_DP_PORT", envPort, &problem)) return Bad(problem);
    if (envPort != nullptr && envPort[0] != '\0') port = atoi(envPort);
  }
  bool udp = options.udp;
  if (options.text.size() == 1 && options.text[0] == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  } else {
    for (const std::string &word : options.text) text += (text.empty() ? "" : " ") + word;
  }
  if (text.find(';') != std::string::npos) return Bad("TEXT may not hold ';'");
  if (text.empty()) return Bad("no TEXT");
  std::string message = text + (category.empty() ? "" : ";" + category);
  if (message.size() > 4096) return Bad("the message is longer than 4096 bytes");

  struct addrinfo hints {
  }, *found = nullptr;
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
  if (send(s, message.data(), message.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(message.size())) {
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
