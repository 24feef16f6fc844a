// Helpers for the agent peer's tests: building agent link messages field by field, hex, a
// scripted TCP or UDP client, a scripted agent's listener, a running qdvp-dch, and queries on
// its database.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/qdvptest.h"

namespace dch_test {

// Builds one message: fields are appended in order and the length word kept current.
class Msg {
 public:
  explicit Msg(uint16_t request);
  static Msg Status(int32_t status);
  Msg &Text(uint16_t code, const std::string &text);
  Msg &U16(uint16_t code, uint16_t value);
  Msg &U32(uint16_t code, uint32_t value);
  Msg &Raw(uint16_t code, const std::string &bytes);
  Msg &Value(const std::string &name, char type, const std::string &bytes);
  const std::string &Bytes() const { return bytes_; }

 private:
  Msg() = default;
  std::string bytes_;
};

std::string Hex(const std::string &bytes);
std::string Unhex(const std::string &hex);  // spaces allowed
std::string Be16(uint16_t v);
std::string Be32(uint32_t v);

// The usual requests of one source.
std::string RegisterMsg(const std::string &app, const std::string &table,
                        const std::string &descriptions);
std::string OnlineMsg(const std::string &app, const std::string &table, const std::string &src);
std::string DataMsg(uint32_t handle, int16_t sequence, const std::string &name, int32_t value);
std::string OfflineMsg(uint32_t handle);
std::string UnregisterMsg(const std::string &app);

// A decoded reply: status and, when present, handle.
struct Reply {
  int32_t status = 0;
  std::optional<uint32_t> handle;
  std::string bytes;
};

// A scripted data provider: one TCP connection or one UDP socket aimed at the peer.
class Client {
 public:
  static std::unique_ptr<Client> Tcp(int port);  // null when the connection fails
  static std::unique_ptr<Client> Udp(int port);
  // From a local address of its own (another host, as far as the server sees), and port.
  static std::unique_ptr<Client> Open(int port, bool udp, const char *from = nullptr,
                                      int fromPort = 0);
  ~Client();
  bool Send(const std::string &bytes);
  // Reads one whole message within the deadline; nullopt on time-out or end of stream.
  std::optional<std::string> ReadMessage(
      std::chrono::milliseconds deadline = std::chrono::seconds(5));
  std::optional<Reply> ReadReply(std::chrono::milliseconds deadline = std::chrono::seconds(5));
  // Sends a request and reads its reply.
  std::optional<Reply> Call(const std::string &bytes);
  // What arrives within the deadline, at most n bytes (over UDP: of one datagram).
  std::string Read(size_t n, std::chrono::milliseconds deadline = std::chrono::seconds(10));
  // True when the peer has closed the connection (reads end of stream within the deadline);
  // silently: without sending anything first.
  bool Closed(std::chrono::milliseconds deadline = std::chrono::seconds(5), bool silently = false);
  // The size of every receive so far (for UDP, of every datagram).
  const std::vector<size_t> &ReceiveSizes() const { return receiveSizes_; }

 private:
  friend class Listener;
  // One receive by the end time: its size, 0 at end of stream, kTimedOut when nothing came.
  static constexpr ssize_t kTimedOut = -1;
  ssize_t Receive(std::chrono::steady_clock::time_point end, char *buffer, size_t size);
  int fd_ = -1;
  bool udp_ = false;
  std::string buffered_;
  std::vector<size_t> receiveSizes_;
};

// Registers App/T with descriptions and brings source online, expecting status 0 for both;
// returns the source's handle, 0 without one.
uint32_t GoOnline(Client &c, const std::string &descriptions, const std::string &source = "s1");

// A TCP listener on a free loopback port, for tests that play the agent by hand: every
// accepted connection is a Client. One never asked to accept is a server that never answers:
// the system takes the connections into its backlog.
class Listener {
 public:
  Listener();
  ~Listener();
  int port() const { return port_; }
  // The next connection within the deadline; null when none came.
  std::unique_ptr<Client> Accept(std::chrono::milliseconds deadline = std::chrono::seconds(10));

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A running qdvp-dch on an ephemeral port in a temporary directory.
class Peer {
 public:
  explicit Peer(std::vector<std::string> options = {}, const std::string &dir = std::string());
  ~Peer();
  bool Ready() const { return port_ > 0; }
  int port() const { return port_; }
  const std::string &dir() const { return dir_; }
  std::string Db() const { return dir_ + "/dch.db"; }
  std::string Jsonl() const { return dir_ + "/dch.jsonl"; }
  std::string Stderr() const { return child_->Stderr(); }
  // Sends SIGTERM and returns the exit status.
  int Stop();
  // Ends the peer at once, as a crash would (SIGKILL).
  void Kill();

 private:
  std::unique_ptr<qdvp_test::TempDir> temp_;
  std::string dir_;
  std::unique_ptr<qdvp_test::Child> child_;
  int port_ = 0;
};

// Rows of a query on a database, every column as text ("NULL" for null).
std::vector<std::vector<std::string>> Query(const std::string &db, const std::string &sql);
// The single value of a query, or "" when it returns no row.
std::string QueryOne(const std::string &db, const std::string &sql);
// The lines of a file.
std::vector<std::string> Lines(const std::string &path);

}  // namespace dch_test
