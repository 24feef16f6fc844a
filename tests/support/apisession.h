// One client API session spoken byte for byte over TCP or UDP, for tests that must see each
// request's own reply code (the client library hides the codes behind its own).
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "qdvptest.h"

namespace qdvp_test {

// A request of the protocol's version 3.0.0: the name (SETSRC, BGNINP, ...) and its data.
inline std::string ApiRequest(const std::string &name, const std::string &data = "") {
  return "QDVPAPI300" + name + data;
}

class ApiSession {
 public:
  ApiSession(int port, bool udp) : fd_(socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0)) {
    sockaddr_in to = Loopback(port);
    connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&to), sizeof(to)) == 0;
  }
  ~ApiSession() { close(fd_); }
  ApiSession(const ApiSession &) = delete;
  ApiSession &operator=(const ApiSession &) = delete;
  bool connected() const { return connected_; }
  // Sends the request and returns its reply's return code, -1 when none came within 15 s.
  int Call(const std::string &request) {
    if (send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
      return -1;
    }
    pollfd p{fd_, POLLIN, 0};
    char buffer[8192];
    ssize_t n = poll(&p, 1, 15000) == 1 ? recv(fd_, buffer, sizeof(buffer) - 1, 0) : -1;
    if (n <= 0) return -1;
    buffer[n] = '\0';
    return atoi(buffer);
  }

 private:
  int fd_;
  bool connected_ = false;
};

}  // namespace qdvp_test
