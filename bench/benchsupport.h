// What the benchmarks that talk to live programs share: the bare loopback request/reply pair
// they are measured beside, temporary directories, child processes of the programs in the
// benchmark's own directory (qdvp, qdvp-dch) and a running qdvp-dch peer.
#pragma once

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qdvp_bench {

// The agent link's wire pieces for benchmarks that write messages by hand: big-endian words
// and one field (code, length, data).
inline std::string Be16(uint16_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v)}; }
inline std::string Be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}
inline std::string Field(uint16_t code, const std::string &data) {
  return Be16(code) + Be32(static_cast<uint32_t>(data.size())) + data;
}

inline bool ReadAll(int fd, char *p, size_t n) {
  while (n > 0) {
    ssize_t r = read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// A TCP socket bound to an ephemeral port on loopback; address gets the port.
inline int BoundLoopbackSocket(sockaddr_in *address) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  *address = sockaddr_in{};
  address->sin_family = AF_INET;
  address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr *>(address), sizeof(*address));
  socklen_t len = sizeof(*address);
  getsockname(s, reinterpret_cast<sockaddr *>(address), &len);
  return s;
}

// The CPU time (user + system) of this whole process, in seconds.
inline double ProcessCpuSeconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The reference pair: a client thread writes inFlight requests of requestBytes over TCP on
// loopback in one go, a server thread reads each and answers replyBytes, and the client reads
// the replies; one iteration is inFlight round trips (1: the bare request/reply pair).
// cpu_us_per_row is the CPU of both threads together per request.
inline void LoopbackPipelined(benchmark::State &state, size_t requestBytes, size_t replyBytes,
                              size_t inFlight) {
  sockaddr_in a;
  int listener = BoundLoopbackSocket(&a);
  listen(listener, 1);
  std::thread server([listener, requestBytes, replyBytes] {
    int s = accept(listener, nullptr, nullptr);
    // Each reply goes out at once, as the agent's do, not held back for the previous one's
    // acknowledgement.
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    std::vector<char> buffer(requestBytes), reply(replyBytes);
    while (ReadAll(s, buffer.data(), buffer.size())) {
      if (write(s, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) break;
    }
    close(s);
  });
  int c = socket(AF_INET, SOCK_STREAM, 0);
  connect(c, reinterpret_cast<sockaddr *>(&a), sizeof(a));
  std::vector<char> requests(requestBytes * inFlight), replies(replyBytes * inFlight);
  double before = ProcessCpuSeconds();
  for (auto _ : state) {
    if (write(c, requests.data(), requests.size()) != static_cast<ssize_t>(requests.size())) break;
    ReadAll(c, replies.data(), replies.size());
  }
  double cpu = ProcessCpuSeconds() - before;
  shutdown(c, SHUT_RDWR);
  close(c);
  server.join();
  close(listener);
  double rows = static_cast<double>(state.iterations()) * static_cast<double>(inFlight);
  state.SetItemsProcessed(static_cast<int64_t>(rows));
  state.counters["cpu_us_per_row"] = rows > 0 ? cpu * 1e6 / rows : 0;
}

// The bare request/reply pair: one request in flight.
inline void LoopbackRequestReply(benchmark::State &state, size_t requestBytes, size_t replyBytes) {
  LoopbackPipelined(state, requestBytes, replyBytes, 1);
}

// The directory of the running benchmark program, where the programs it starts are built.
inline std::string BinDir() {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  self[n > 0 ? n : 0] = '\0';
  std::string path(self);
  return path.substr(0, path.rfind('/'));
}

// A port on loopback that nothing listens on at the moment.
inline int FreePort() {
  sockaddr_in a;
  close(BoundLoopbackSocket(&a));
  return ntohs(a.sin_port);
}

// A private directory under /tmp, removed with everything in it.
struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/qdvpbenchXXXXXX";
    path = mkdtemp(tmpl) ? tmpl : "";
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
};

// A child process run in dir with the environment overrides given; standard output and error
// go to dir/name.out and dir/name.err. The destructor kills what is still running.
class Process {
 public:
  Process(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
          const std::string &dir, const std::string &name) {
    std::string out = dir + "/" + name + ".out", err = dir + "/" + name + ".err";
    pid_ = fork();
    if (pid_ == 0) {
      int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int in = open("/dev/null", O_RDONLY);
      dup2(in, 0);
      dup2(o, 1);
      dup2(e, 2);
      if (chdir(dir.c_str()) != 0) _exit(126);
      for (const auto &[k, v] : env) setenv(k.c_str(), v.c_str(), 1);
      std::vector<char *> args;
      for (const auto &s : argv) args.push_back(const_cast<char *>(s.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~Process() {
    if (Running()) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;
  pid_t pid() const { return pid_; }
  bool Running() {
    if (pid_ <= 0 || ended_) return false;
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      ended_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return !ended_;
  }
  // Sends SIGTERM and waits at most the bound; a process still running then is killed.
  // Returns the exit status (128 + signal for a signal), -1 when it had to be killed.
  int Stop(std::chrono::milliseconds bound) {
    if (Running()) kill(pid_, SIGTERM);
    auto end = std::chrono::steady_clock::now() + bound;
    while (Running() && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (Running()) return -1;  // the destructor kills it
    return status_;
  }

 private:
  pid_t pid_ = -1;
  bool ended_ = false;
  int status_ = -1;
};

// A running qdvp-dch on an ephemeral port, with its database dir/dch.db; port() is 0 when it
// did not come up within five seconds.
class Peer {
 public:
  explicit Peer(const std::string &dir, const std::vector<std::string> &options = {})
      : db_(dir + "/dch.db") {
    std::string ready = dir + "/dch.ready";
    std::vector<std::string> argv = {BinDir() + "/qdvp-dch", "--port", "0", "--ready-file", ready};
    // A peer on PostgreSQL has no database file.
    if (std::find(options.begin(), options.end(), "--pg") == options.end()) {
      argv.insert(argv.end(), {"--db", db_});
    }
    argv.insert(argv.end(), options.begin(), options.end());
    process_ = std::make_unique<Process>(argv, std::map<std::string, std::string>{}, dir, "dch");
    for (int i = 0; i < 200 && port_ == 0 && process_->Running(); i++) {
      std::ifstream in(ready);
      in >> port_;
      if (port_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
  }
  ~Peer() { process_->Stop(std::chrono::seconds(10)); }
  int port() const { return port_; }
  pid_t pid() const { return process_->pid(); }
  const std::string &db() const { return db_; }

 private:
  std::string db_;
  int port_ = 0;
  std::unique_ptr<Process> process_;
};

// The counters of one measured run of items through the data provider: items per second
// (named rateName), its CPU seconds per 1,000 items, its peak resident size, items lost.
inline void ReportRun(benchmark::State &state, const char *rateName, double seconds, int64_t done,
                      int total, double cpu, long peakKiB) {
  state.SetIterationTime(seconds);
  state.counters[rateName] = done > 0 ? static_cast<double>(done) / seconds : 0;
  state.counters["dp_cpu_s_per_1k"] = done > 0 ? cpu * 1000.0 / static_cast<double>(done) : 0;
  state.counters["dp_peak_rss_MiB"] = static_cast<double>(peakKiB) / 1024.0;
  state.counters["lost"] = static_cast<double>(total - done);
}

}  // namespace qdvp_bench
