// Test support for the HTTP client: a private nginx on loopback (plain HTTP and HTTPS with a
// certificate made for it, a page, errors, redirect chains, dropped connections, a slow file and
// a protected folder), a small server of canned replies (a reset in the middle of a body, or a
// proxy that records the request it was given), and a server whose answers come late (a slow
// redirect). (A listener that never answers is a dch_test::Listener that is never asked to
// accept.)
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/qdvptest.h"

namespace qdvp_test {

// nginx in a temporary directory, in the foreground as a child of the test. Locations it has:
//   /index.html         the page (text/html), also /
//   /missing, /busy     404, 503
//   /chain/N            302 to /chain/N-1 (absolute Location), /chain/0 302 to /index.html, N<=9
//   /relative           302 with the relative Location "/index.html"
//   /drop               closes without an answer (444)
//   /old                closes without an answer over HTTP/1.1, the page over HTTP/1.0
//   /slow.bin           40 KB at 2 KB a second
//   /private/           Basic authentication, user qdvp password secret
// The access log has lines: $server_protocol "$request" $status "$http_user_agent"
// "$http_authorization".
class Nginx {
 public:
  // extraConfig goes into the server block as it is (more locations).
  explicit Nginx(std::string extraConfig = "");
  ~Nginx();
  Nginx(const Nginx &) = delete;
  Nginx &operator=(const Nginx &) = delete;

  // A file under the document root, before or after Start().
  void WriteFile(const std::string &relativePath, const std::string &content);
  // Makes the certificate and the configuration and starts nginx on free ports; false (with
  // Problem() saying why) when it did not come up within 10 s.
  bool Start();
  const std::string &Problem() const { return problem_; }

  int Port() const { return port_; }
  std::string Url(const std::string &path) const;     // http://127.0.0.1:PORT/path
  std::string TlsUrl(const std::string &path) const;  // https://127.0.0.1:TLSPORT/path
  const std::string &Dir() const { return dir_.path(); }
  std::string CaFile() const { return dir_.File("cert.pem"); }
  std::string AccessLog() const { return ReadFile(dir_.File("access.log")); }

 private:
  std::string Config() const;

  TempDir dir_;
  std::string extra_;
  int port_ = 0, tlsPort_ = 0;
  std::unique_ptr<Child> child_;
  std::string problem_;
};

// A loopback server that reads each request's head and sends a canned reply, then closes the
// connection (with a reset when asked), from its own thread.
class CannedServer {
 public:
  CannedServer(std::string reply, bool reset);
  ~CannedServer();
  CannedServer(const CannedServer &) = delete;
  CannedServer &operator=(const CannedServer &) = delete;
  int Port() const { return port_; }
  // The request heads received so far.
  std::vector<std::string> Requests() const;

 private:
  void Serve();

  std::string reply_;
  bool reset_;
  int fd_ = -1, port_ = 0;
  int wake_[2] = {-1, -1};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

// Answers 200 with Content-Length: 100000 and a part of the body, then resets the connection.
class ResettingServer : public CannedServer {
 public:
  ResettingServer();
};

// A loopback HTTP server whose answers come late: each path answers after its delay, with a
// 302 to another URL or with a page, and each connection is served by a thread of its own, so
// that a request in flight does not hold up the next. A path it does not know gets a 404 at once.
// Everything stops, answered or not, when the object goes.
class SlowServer {
 public:
  SlowServer();
  ~SlowServer();
  SlowServer(const SlowServer &) = delete;
  SlowServer &operator=(const SlowServer &) = delete;
  // path answers after delay: a 302 to location when it is not empty, else 200 with page.
  void Route(const std::string &path, std::chrono::milliseconds delay, const std::string &location,
             const std::string &page = "<title>slow</title>");
  int Port() const { return port_; }
  std::string Url(const std::string &path) const;  // http://127.0.0.1:PORT/path
  // Requests of path received so far, and answered so far.
  int Received(const std::string &path) const;
  int Answered(const std::string &path) const;

 private:
  struct Reply {
    std::chrono::milliseconds delay;
    std::string location, page;
  };
  void Accept();
  void Serve(int conn);

  int fd_ = -1, port_ = 0;
  int wake_[2] = {-1, -1};
  mutable std::mutex mutex_;
  std::map<std::string, Reply> routes_;
  std::map<std::string, int> received_, answered_;
  std::vector<std::thread> threads_;  // under mutex_
  std::thread acceptor_;
};

}  // namespace qdvp_test
