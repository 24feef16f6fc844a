// Test support: temporary directories, environment overrides, trace and standard stream
// capture, waiting for conditions with deadlines, free loopback ports, loopback datagram
// sockets, the UDP sockets a process holds, and child processes of the real programs.
#pragma once

#include <netinet/in.h>
#include <stdio.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/proccpu.h"

namespace qdvp_test {

// A directory under the system's temporary directory, removed with its contents at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string &path() const { return path_; }
  std::string File(const std::string &name) const { return path_ + "/" + name; }
  // Writes text to a file in the directory and returns its full name.
  std::string Write(const std::string &name, const std::string &text) const;

 private:
  std::string path_;
};

// Sets (or, with nullopt, unsets) environment variables for the life of the object.
class EnvGuard {
 public:
  EnvGuard() = default;
  explicit EnvGuard(const std::map<std::string, std::optional<std::string>> &values);
  ~EnvGuard();
  void Set(const std::string &name, const std::optional<std::string> &value);

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Collects trace lines (all flags on) while it lives.
class TraceCapture {
 public:
  TraceCapture();
  ~TraceCapture();
  std::vector<std::string> Lines() const;
  bool Contains(const std::string &text) const;
  size_t Count(const std::string &text) const;

 private:
  static void Sink(const char *component, const char *line, void *context);
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Collects what this process writes to a standard stream (STDOUT_FILENO or STDERR_FILENO)
// from construction until Take(), which restores the stream.
class StreamCapture {
 public:
  explicit StreamCapture(int fd);
  ~StreamCapture();
  StreamCapture(const StreamCapture &) = delete;
  StreamCapture &operator=(const StreamCapture &) = delete;
  std::string Take();

 private:
  int fd_;
  FILE *file_;
  int saved_ = -1;
};

// Polls condition until it holds or the deadline passes; returns its last value.
bool WaitFor(const std::function<bool()> &condition,
             std::chrono::milliseconds deadline = std::chrono::seconds(10));

// The IPv4 loopback address with a port (host byte order in, network order in the address).
sockaddr_in Loopback(int port);
// A loopback port that was free a moment ago (UDP and TCP).
int FreePort();

// The UDP sockets a process holds, read from /proc: each one's local and remote address. A
// remote port of 0 means the socket is not connected.
struct ProcessUdpSocket {
  sockaddr_in local{}, remote{};
  bool Connected() const { return remote.sin_port != 0; }
  std::string Text() const;  // "127.0.0.1:40000 -> 127.0.0.1:161"
};
std::vector<ProcessUdpSocket> UdpSocketsOf(pid_t pid);
// The highest descriptor number a process holds open on path (from /proc), -1 when none.
int HighestDescriptorOn(pid_t pid, const std::string &path);
// How many descriptor numbers below limit a process does not hold, from /proc: the open-file
// limit bounds descriptor numbers, not their count.
int FreeDescriptorsBelow(pid_t pid, int limit);

// A UDP socket on loopback: bound to a port, or sending to one and reading the answers.
class UdpSocket {
 public:
  UdpSocket();
  ~UdpSocket();
  UdpSocket(const UdpSocket &) = delete;
  UdpSocket &operator=(const UdpSocket &) = delete;
  // 0: a free port; false when the port is taken. Any loopback address (127.0.0.2, ...)
  // stands for another local sender.
  bool Bind(int port, const char *address = "127.0.0.1");
  int port() const;  // the bound port
  void SendTo(int port, const std::string &datagram);
  // The next datagram within the wait; nullopt when none came.
  std::optional<std::string> Receive(std::chrono::milliseconds wait);
  // Sends a datagram and returns the first reply within the wait, or "(none)".
  std::string Exchange(int port, const std::string &datagram,
                       std::chrono::milliseconds wait = std::chrono::seconds(3));

 private:
  int fd_;
};

std::string ReadFile(const std::string &path);
std::string BinDir();
std::string SourceDir();

// A child process of one of the programs, with its standard output and error in files.
class Child {
 public:
  Child(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
        const std::string &workDir);
  ~Child();  // kills the child if it still runs
  pid_t pid() const { return pid_; }
  bool Running();
  // Waits for the child to end; returns its exit status, or -1 on time-out, or 128+signal.
  int Wait(std::chrono::milliseconds deadline = std::chrono::seconds(30));
  void Signal(int signal);
  std::string Stdout() const;
  std::string Stderr() const;

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  bool ended_ = false;
  std::string out_, err_;
};

// Runs a program to its end; returns the exit status and fills output with standard output.
int Run(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
        std::string *output, std::string *errors = nullptr);

}  // namespace qdvp_test
