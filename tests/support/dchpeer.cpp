// Helpers for the agent peer's tests.
#include "tests/support/dchpeer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "include/qdvp_agentlink.h"
#include "tests/support/qdvptest.h"

namespace dch_test {

std::string Be16(uint16_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v)}; }
std::string Be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

Msg::Msg(uint16_t request) : bytes_(4, '\0') { U16(QDVP_FIELD_REQUEST, request); }

Msg Msg::Status(int32_t status) {
  Msg m;
  m.bytes_.assign(4, '\0');
  m.U32(QDVP_FIELD_STATUS, static_cast<uint32_t>(status));
  return m;
}

Msg &Msg::Raw(uint16_t code, const std::string &bytes) {
  bytes_ += Be16(code) + Be32(static_cast<uint32_t>(bytes.size())) + bytes;
  std::string length = Be32(static_cast<uint32_t>(bytes_.size()));
  bytes_.replace(0, 4, length);
  return *this;
}
Msg &Msg::Text(uint16_t code, const std::string &text) { return Raw(code, text); }
Msg &Msg::U16(uint16_t code, uint16_t value) { return Raw(code, Be16(value)); }
Msg &Msg::U32(uint16_t code, uint32_t value) { return Raw(code, Be32(value)); }
Msg &Msg::Value(const std::string &name, char type, const std::string &bytes) {
  Raw(QDVP_FIELD_ATTR_NAME, name);
  return Raw(QDVP_FIELD_ATTR_VALUE, std::string(1, type) + bytes);
}

std::string Hex(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string Unhex(const std::string &hex) {
  std::string out, digits;
  for (char c : hex) {
    if (c != ' ') digits += c;
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    out += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
  }
  return out;
}

std::string RegisterMsg(const std::string &app, const std::string &table,
                        const std::string &descriptions) {
  return Msg(QDVP_REQ_DP_REGISTER)
      .Text(QDVP_FIELD_APPL_NAME, app)
      .Text(QDVP_FIELD_HELP, app + " help")
      .Text(QDVP_FIELD_TABLE_NAME, table)
      .Text(QDVP_FIELD_HELP, table + " help")
      .Text(QDVP_FIELD_DATA_TYPE, "P")
      .U32(QDVP_FIELD_TTL, 300)
      .Text(QDVP_FIELD_ATTR_DESCRIPTIONS, descriptions)
      .Bytes();
}

std::string OnlineMsg(const std::string &app, const std::string &table, const std::string &src) {
  return Msg(QDVP_REQ_DP_ONLINE)
      .Text(QDVP_FIELD_APPL_NAME, app)
      .Text(QDVP_FIELD_TABLE_NAME, table)
      .Text(QDVP_FIELD_SOURCE_NAME, src)
      .Bytes();
}

std::string DataMsg(uint32_t handle, int16_t sequence, const std::string &name, int32_t value) {
  return Msg(QDVP_REQ_DP_DATA)
      .U32(QDVP_FIELD_DCH_HANDLE, handle)
      .U16(QDVP_FIELD_DATA_SEQUENCE, static_cast<uint16_t>(sequence))
      .Value(name, 'G', Be32(static_cast<uint32_t>(value)))
      .Bytes();
}

std::string OfflineMsg(uint32_t handle) {
  return Msg(QDVP_REQ_DP_OFFLINE).U32(QDVP_FIELD_DCH_HANDLE, handle).Bytes();
}

std::string UnregisterMsg(const std::string &app) {
  return Msg(QDVP_REQ_DP_UNREGISTER).Text(QDVP_FIELD_APPL_NAME, app).Bytes();
}

std::unique_ptr<Client> Client::Open(int port, bool udp, const char *from, int fromPort) {
  auto c = std::unique_ptr<Client>(new Client());
  c->fd_ = socket(AF_INET, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
  c->udp_ = udp;
  if (from != nullptr) {
    sockaddr_in local = qdvp_test::Loopback(fromPort);
    inet_pton(AF_INET, from, &local.sin_addr);
    bind(c->fd_, reinterpret_cast<sockaddr *>(&local), sizeof local);
  }
  sockaddr_in a = qdvp_test::Loopback(port);
  if (connect(c->fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return nullptr;
  return c;
}

std::unique_ptr<Client> Client::Tcp(int port) { return Open(port, false); }
std::unique_ptr<Client> Client::Udp(int port) { return Open(port, true); }

Client::~Client() {
  if (fd_ >= 0) close(fd_);
}

bool Client::Send(const std::string &bytes) {
  return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

ssize_t Client::Receive(std::chrono::steady_clock::time_point end, char *buffer, size_t size) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
  pollfd p{fd_, POLLIN, 0};
  if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return kTimedOut;
  ssize_t n = recv(fd_, buffer, size, 0);
  return n < 0 ? 0 : n;
}

std::optional<std::string> Client::ReadMessage(std::chrono::milliseconds deadline) {
  auto end = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    if (buffered_.size() >= 4) {
      uint32_t length = QDVP_WireGet32(reinterpret_cast<const unsigned char *>(buffered_.data()));
      if (buffered_.size() >= length && length >= 4) {
        std::string message = buffered_.substr(0, length);
        buffered_.erase(0, length);
        return message;
      }
    }
    char buffer[65536];
    ssize_t n = Receive(end, buffer, sizeof buffer);
    if (n <= 0) return std::nullopt;
    receiveSizes_.push_back(static_cast<size_t>(n));
    buffered_.append(buffer, static_cast<size_t>(n));
  }
}

std::optional<Reply> Client::ReadReply(std::chrono::milliseconds deadline) {
  std::optional<std::string> message = ReadMessage(deadline);
  if (!message) return std::nullopt;
  Reply r;
  r.bytes = *message;
  size_t position = 4;
  QDVP_WireField field;
  const auto *b = reinterpret_cast<const unsigned char *>(message->data());
  while (QDVP_WireNextField(b, message->size(), &position, &field) > 0) {
    if (field.code == QDVP_FIELD_STATUS && field.length == 4) {
      r.status = static_cast<int32_t>(QDVP_WireGet32(field.data));
    }
    if (field.code == QDVP_FIELD_DCH_HANDLE && field.length == 4) {
      r.handle = QDVP_WireGet32(field.data);
    }
  }
  return r;
}

std::optional<Reply> Client::Call(const std::string &bytes) {
  if (!Send(bytes)) return std::nullopt;
  return ReadReply();
}

uint32_t GoOnline(Client &c, const std::string &descriptions, const std::string &source) {
  auto r = c.Call(RegisterMsg("App", "T", descriptions));
  EXPECT_TRUE(r && r->status == 0);
  r = c.Call(OnlineMsg("App", "T", source));
  EXPECT_TRUE(r && r->status == 0 && r->handle);
  return r && r->handle ? *r->handle : 0;
}

std::string Client::Read(size_t n, std::chrono::milliseconds deadline) {
  auto end = std::chrono::steady_clock::now() + deadline;
  char buffer[512];
  for (ssize_t got;
       buffered_.size() < n &&
       (got = Receive(end, buffer, std::min(n - buffered_.size(), sizeof buffer))) > 0;) {
    receiveSizes_.push_back(static_cast<size_t>(got));
    buffered_.append(buffer, static_cast<size_t>(got));
    if (udp_) break;
  }
  std::string bytes = buffered_.substr(0, n);
  buffered_.erase(0, bytes.size());
  return bytes;
}

bool Client::Closed(std::chrono::milliseconds deadline, bool silently) {
  auto end = std::chrono::steady_clock::now() + deadline;
  char buffer[4096];
  for (ssize_t n; (n = Receive(end, buffer, sizeof buffer)) != kTimedOut;) {
    if (n == 0) return true;
    if (silently) return false;
  }
  return false;
}

Listener::Listener() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in a = qdvp_test::Loopback(0);
  socklen_t size = sizeof a;
  bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
  listen(fd_, 16);
  getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &size);
  port_ = ntohs(a.sin_port);
}

Listener::~Listener() { close(fd_); }

std::unique_ptr<Client> Listener::Accept(std::chrono::milliseconds deadline) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(deadline.count())) != 1) return nullptr;
  auto c = std::unique_ptr<Client>(new Client());
  c->fd_ = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (c->fd_ < 0) return nullptr;
  return c;
}

Peer::Peer(std::vector<std::string> options, const std::string &dir) {
  if (dir.empty()) {
    temp_ = std::make_unique<qdvp_test::TempDir>();
    dir_ = temp_->path();
  } else {
    dir_ = dir;
  }
  std::string ready = dir_ + "/ready";
  std::filesystem::remove(ready);
  std::vector<std::string> argv = {qdvp_test::BinDir() + "/qdvp-dch", "--jsonl", Jsonl(),
                                   "--ready-file", ready};
  // A peer on PostgreSQL has no database file.
  if (std::find(options.begin(), options.end(), "--pg") == options.end()) {
    argv.insert(argv.end(), {"--db", Db()});
  }
  // A caller's own --port (a restart on the same port) replaces the ephemeral one.
  if (std::find(options.begin(), options.end(), "--port") == options.end()) {
    argv.insert(argv.end(), {"--port", "0"});
  }
  argv.insert(argv.end(), options.begin(), options.end());
  child_ = std::make_unique<qdvp_test::Child>(argv, std::map<std::string, std::string>{}, dir_);
  if (qdvp_test::WaitFor([&] { return std::filesystem::exists(ready) || !child_->Running(); })) {
    std::string text = qdvp_test::ReadFile(ready);
    if (!text.empty()) port_ = std::stoi(text);
  }
}

Peer::~Peer() {
  if (child_) Stop();
}

int Peer::Stop() {
  child_->Signal(SIGTERM);
  return child_->Wait(std::chrono::seconds(10));
}

void Peer::Kill() {
  child_->Signal(SIGKILL);
  child_->Wait(std::chrono::seconds(10));
}

std::vector<std::vector<std::string>> Query(const std::string &db, const std::string &sql) {
  std::vector<std::vector<std::string>> rows;
  sqlite3 *handle = nullptr;
  if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(handle);
    return rows;
  }
  sqlite3_busy_timeout(handle, 2000);
  sqlite3_stmt *s = nullptr;
  if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &s, nullptr) == SQLITE_OK) {
    while (sqlite3_step(s) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(s); i++) {
        const unsigned char *t = sqlite3_column_text(s, i);
        row.push_back(t ? reinterpret_cast<const char *>(t) : "NULL");
      }
      rows.push_back(std::move(row));
    }
  }
  sqlite3_finalize(s);
  sqlite3_close(handle);
  return rows;
}

std::string QueryOne(const std::string &db, const std::string &sql) {
  auto rows = Query(db, sql);
  return rows.empty() || rows[0].empty() ? std::string() : rows[0][0];
}

std::vector<std::string> Lines(const std::string &path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace dch_test
