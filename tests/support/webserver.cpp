// Test support for the HTTP client: nginx, canned-reply servers and a server of late answers.
#include "tests/support/webserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>

namespace qdvp_test {

namespace {

const char kNginx[] = "/usr/sbin/nginx";
const char kOpenssl[] = "/usr/bin/openssl";

int BoundPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof(a);
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  return ntohs(a.sin_port);
}

// A TCP socket listening on a free loopback port.
int Listen(int backlog) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 ||
      listen(fd, backlog) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

bool Accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(port);
  bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0;
  close(fd);
  return ok;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace

Nginx::Nginx(std::string extraConfig) : extra_(std::move(extraConfig)) {
  WriteFile("index.html", "<html><head><title>qdvp</title></head><body>hello</body></html>\n");
  WriteFile("private/index.html", "<html><body>private</body></html>\n");
  WriteFile("slow.bin", std::string(40 * 1024, 's'));
}

Nginx::~Nginx() {
  if (child_ != nullptr && child_->Running()) {
    child_->Signal(SIGTERM);  // a fast shutdown
    if (child_->Wait(std::chrono::seconds(5)) < 0) child_->Signal(SIGKILL);
    child_->Wait(std::chrono::seconds(5));
  }
  child_.reset();
}

void Nginx::WriteFile(const std::string &relativePath, const std::string &content) {
  dir_.Write("www/" + relativePath, content);
}

std::string Nginx::Url(const std::string &path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string Nginx::TlsUrl(const std::string &path) const {
  return "https://127.0.0.1:" + std::to_string(tlsPort_) + path;
}

std::string Nginx::Config() const {
  const std::string d = Dir();
  std::string c = "daemon off;\nmaster_process off;\nworker_processes 1;\n";
  c += "pid " + d + "/nginx.pid;\nerror_log " + d + "/error.log info;\n";
  c += "events { worker_connections 64; }\nhttp {\n";
  c += "  types { text/html html; application/octet-stream bin; }\n";
  c += "  default_type text/plain;\n";
  for (const char *kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
    c += "  " + std::string(kind) + "_temp_path " + d + "/" + kind + "_temp;\n";
  }
  c += "  log_format qdvp '$server_protocol \"$request\" $status \"$http_user_agent\" "
       "\"$http_authorization\"';\n";
  c += "  access_log " + d + "/access.log qdvp;\n";
  c += "  server {\n";
  c += "    listen 127.0.0.1:" + std::to_string(port_) + ";\n";
  c += "    listen 127.0.0.1:" + std::to_string(tlsPort_) + " ssl;\n";
  c += "    server_name localhost;\n";
  c += "    ssl_certificate " + d + "/cert.pem;\n    ssl_certificate_key " + d + "/key.pem;\n";
  c += "    root " + d + "/www;\n";
  c += "    location / { }\n";
  c += "    location = /missing { return 404; }\n";
  c += "    location = /busy { return 503; }\n";
  c += "    location = /chain/0 { return 302 /index.html; }\n";
  for (int n = 1; n <= 9; n++) {
    c += "    location = /chain/" + std::to_string(n) + " { return 302 /chain/" +
         std::to_string(n - 1) + "; }\n";
  }
  c += "    location = /relative { absolute_redirect off; return 302 /index.html; }\n";
  c += "    location = /drop { return 444; }\n";
  c += "    location = /old {\n      if ($server_protocol = \"HTTP/1.1\") { return 444; }\n";
  c += "      rewrite ^ /index.html break;\n    }\n";
  c += "    location = /slow.bin { limit_rate 2k; }\n";
  c += "    location /private/ {\n      auth_basic \"qdvp\";\n";
  c += "      auth_basic_user_file " + d + "/htpasswd;\n    }\n";
  c += extra_;
  c += "\n  }\n}\n";
  return c;
}

bool Nginx::Start() {
  const std::string d = Dir();
  std::string out, err;
  if (!std::filesystem::exists(d + "/cert.pem")) {
    int rc = Run({kOpenssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj",
                  "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
                  "-keyout", d + "/key.pem", "-out", d + "/cert.pem"},
                 {}, &out, &err);
    if (rc != 0) {
      problem_ = "openssl req failed: " + err;
      return false;
    }
    rc = Run({kOpenssl, "passwd", "-apr1", "secret"}, {}, &out, &err);
    if (rc != 0) {
      problem_ = "openssl passwd failed: " + err;
      return false;
    }
    dir_.Write("htpasswd", "qdvp:" + Trimmed(out) + "\n");
  }
  // A port found free may be taken before nginx binds it: then nginx ends, and another pair is
  // tried.
  for (int attempt = 0; attempt < 5; attempt++) {
    port_ = FreePort();
    do {
      tlsPort_ = FreePort();
    } while (tlsPort_ == port_);
    dir_.Write("nginx.conf", Config());
    child_ =
        std::make_unique<Child>(std::vector<std::string>{kNginx, "-p", d + "/", "-c",
                                                         d + "/nginx.conf", "-e", d + "/error.log"},
                                std::map<std::string, std::string>{}, d);
    bool up = WaitFor([&] { return !child_->Running() || (Accepts(port_) && Accepts(tlsPort_)); },
                      std::chrono::seconds(10));
    if (up && child_->Running()) return true;
    problem_ = "nginx did not start: " + child_->Stderr() + ReadFile(d + "/error.log");
    child_.reset();  // kills it if it still runs
  }
  return false;
}

CannedServer::CannedServer(std::string reply, bool reset)
    : reply_(std::move(reply)), reset_(reset), fd_(Listen(16)) {
  if (fd_ < 0 || pipe2(wake_, O_CLOEXEC) != 0) return;
  port_ = BoundPort(fd_);
  thread_ = std::thread(&CannedServer::Serve, this);
}

CannedServer::~CannedServer() {
  if (thread_.joinable()) {
    char byte = 0;
    if (write(wake_[1], &byte, 1) != 1) {
    }
    thread_.join();
  }
  for (int fd : {fd_, wake_[0], wake_[1]}) {
    if (fd >= 0) close(fd);
  }
}

std::vector<std::string> CannedServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

// Reads and answers one connection at a time until woken; a connection that sends nothing
// within 5 s is given up.
void CannedServer::Serve() {
  for (;;) {
    pollfd p[2] = {{wake_[0], POLLIN, 0}, {fd_, POLLIN, 0}};
    if (poll(p, 2, -1) < 0 || (p[0].revents & POLLIN) != 0) return;
    int conn = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) continue;
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
      pollfd c[2] = {{wake_[0], POLLIN, 0}, {conn, POLLIN, 0}};
      if (poll(c, 2, 5000) <= 0 || (c[0].revents & POLLIN) != 0) break;
      ssize_t n = recv(conn, buffer, sizeof(buffer), 0);
      if (n <= 0) break;
      head.append(buffer, static_cast<size_t>(n));
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(head);
    }
    for (size_t sent = 0; sent < reply_.size();) {
      ssize_t n = send(conn, reply_.data() + sent, reply_.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    if (reset_) {
      linger hard = {1, 0};  // a close that sends a reset
      setsockopt(conn, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    }
    close(conn);
  }
}

ResettingServer::ResettingServer()
    : CannedServer(
          "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
          "Content-Length: 100000\r\n\r\n" +
              std::string(1000, 'x'),
          true) {}

SlowServer::SlowServer() : fd_(Listen(64)) {
  if (fd_ < 0 || pipe2(wake_, O_CLOEXEC) != 0) return;
  port_ = BoundPort(fd_);
  acceptor_ = std::thread(&SlowServer::Accept, this);
}

SlowServer::~SlowServer() {
  if (acceptor_.joinable()) {
    char byte = 0;
    if (write(wake_[1], &byte, 1) != 1) {
    }
    acceptor_.join();
  }
  // The acceptor has ended: no thread is added any more.
  for (std::thread &t : threads_) t.join();
  for (int fd : {fd_, wake_[0], wake_[1]}) {
    if (fd >= 0) close(fd);
  }
}

void SlowServer::Route(const std::string &path, std::chrono::milliseconds delay,
                       const std::string &location, const std::string &page) {
  std::lock_guard<std::mutex> lock(mutex_);
  routes_[path] = {delay, location, page};
}

std::string SlowServer::Url(const std::string &path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

int SlowServer::Received(const std::string &path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto at = received_.find(path);
  return at == received_.end() ? 0 : at->second;
}

int SlowServer::Answered(const std::string &path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto at = answered_.find(path);
  return at == answered_.end() ? 0 : at->second;
}

void SlowServer::Accept() {
  for (;;) {
    pollfd p[2] = {{wake_[0], POLLIN, 0}, {fd_, POLLIN, 0}};
    if (poll(p, 2, -1) < 0 || (p[0].revents & POLLIN) != 0) return;
    int conn = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    threads_.emplace_back(&SlowServer::Serve, this, conn);
  }
}

// Reads the request's head, waits the path's delay (or until the server goes) and answers.
void SlowServer::Serve(int conn) {
  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos) {
    pollfd c[2] = {{wake_[0], POLLIN, 0}, {conn, POLLIN, 0}};
    if (poll(c, 2, 5000) <= 0 || (c[0].revents & POLLIN) != 0) break;
    ssize_t n = recv(conn, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    head.append(buffer, static_cast<size_t>(n));
  }
  size_t start = head.find(' ');
  size_t end = start == std::string::npos ? start : head.find(' ', start + 1);
  std::string path = end == std::string::npos ? "" : head.substr(start + 1, end - start - 1);
  Reply reply{std::chrono::milliseconds(0), "", ""};
  bool known;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto at = routes_.find(path);
    known = at != routes_.end();
    if (known) reply = at->second;
    received_[path]++;
  }
  pollfd w = {wake_[0], POLLIN, 0};
  if (known && poll(&w, 1, static_cast<int>(reply.delay.count())) != 0) {
    close(conn);  // the server goes
    return;
  }
  std::string text;
  if (!known) {
    text = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  } else if (!reply.location.empty()) {
    text = "HTTP/1.1 302 Found\r\nLocation: " + reply.location +
           "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  } else {
    text = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
           std::to_string(reply.page.size()) + "\r\nConnection: close\r\n\r\n" + reply.page;
  }
  for (size_t sent = 0; sent < text.size();) {
    ssize_t n = send(conn, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  close(conn);
  std::lock_guard<std::mutex> lock(mutex_);
  answered_[path]++;
}

}  // namespace qdvp_test
