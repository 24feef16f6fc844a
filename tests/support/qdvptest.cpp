// Test support shared by every test program.
#include "tests/support/qdvptest.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "core/support/trk1.h"

namespace qdvp_test {

TempDir::TempDir() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/qdvp-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  char *made = mkdtemp(buffer.data());
  path_ = made ? made : "/tmp";
}

// QDVP_TEST_KEEP set keeps the directory for a look after a failure.
TempDir::~TempDir() {
  if (getenv("QDVP_TEST_KEEP")) {
    fprintf(stderr, "kept %s\n", path_.c_str());
    return;
  }
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::Write(const std::string &name, const std::string &text) const {
  std::string full = File(name);
  std::filesystem::create_directories(std::filesystem::path(full).parent_path());
  std::ofstream out(full, std::ios::binary);
  out << text;
  return full;
}

EnvGuard::EnvGuard(const std::map<std::string, std::optional<std::string>> &values) {
  for (const auto &[name, value] : values) Set(name, value);
}

void EnvGuard::Set(const std::string &name, const std::optional<std::string> &value) {
  const char *old = getenv(name.c_str());
  saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  if (value) {
    setenv(name.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
}

EnvGuard::~EnvGuard() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    if (it->second) {
      setenv(it->first.c_str(), it->second->c_str(), 1);
    } else {
      unsetenv(it->first.c_str());
    }
  }
}

TraceCapture::TraceCapture() {
  TRK1_SetSink(&TraceCapture::Sink, this);
  TRK1_SetFlags(TRK1_ERROR | TRK1_DETAIL | TRK1_STORAGE | TRK1_FLOW);
}

TraceCapture::~TraceCapture() {
  TRK1_SetFlags(0);
  TRK1_SetSink(nullptr, nullptr);
}

void TraceCapture::Sink(const char *, const char *line, void *context) {
  auto *self = static_cast<TraceCapture *>(context);
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->lines_.emplace_back(line);
}

std::vector<std::string> TraceCapture::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

bool TraceCapture::Contains(const std::string &text) const { return Count(text) > 0; }

size_t TraceCapture::Count(const std::string &text) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (const auto &line : lines_) n += line.find(text) != std::string::npos;
  return n;
}

namespace {
void FlushStreams() {
  std::cout.flush();
  std::cerr.flush();
  fflush(nullptr);
}
}  // namespace

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

StreamCapture::StreamCapture(int fd) : fd_(fd), file_(tmpfile()) {
  FlushStreams();
  saved_ = dup(fd_);
  dup2(fileno(file_), fd_);
}

StreamCapture::~StreamCapture() {
  Take();
  fclose(file_);
}

std::string StreamCapture::Take() {
  if (saved_ >= 0) {
    FlushStreams();
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
  }
  std::string text;
  rewind(file_);
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof(buffer), file_)) > 0;) text.append(buffer, n);
  return text;
}

bool WaitFor(const std::function<bool()> &condition, std::chrono::milliseconds deadline) {
  auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string ProcessUdpSocket::Text() const {
  auto one = [](const sockaddr_in &a) {
    char dotted[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a.sin_addr, dotted, sizeof(dotted));
    return std::string(dotted) + ":" + std::to_string(ntohs(a.sin_port));
  };
  return one(local) + " -> " + one(remote);
}

// The descriptors of a process, by number, with the paths they are open on.
static std::map<int, std::string> DescriptorsOf(pid_t pid) {
  std::map<int, std::string> held;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    std::error_code ignored;
    held[atoi(it->path().filename().c_str())] = std::filesystem::read_symlink(it->path(), ignored);
  }
  return held;
}

int HighestDescriptorOn(pid_t pid, const std::string &path) {
  int highest = -1;
  for (const auto &[fd, target] : DescriptorsOf(pid)) {
    if (target == path) highest = fd;
  }
  return highest;
}

int FreeDescriptorsBelow(pid_t pid, int limit) {
  std::map<int, std::string> held = DescriptorsOf(pid);
  int free = 0;
  for (int fd = 0; fd < limit; fd++) free += held.count(fd) == 0 ? 1 : 0;
  return free;
}

// The socket inodes of the process's descriptors, then the lines of its network namespace's
// UDP table ("sl local rem st ... inode", addresses as hex words of the network-order value).
std::vector<ProcessUdpSocket> UdpSocketsOf(pid_t pid) {
  std::set<unsigned long> inodes;
  std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator(fds, error)) {
    std::error_code linkError;
    std::string target = std::filesystem::read_symlink(entry.path(), linkError).string();
    if (target.rfind("socket:[", 0) == 0) inodes.insert(std::stoul(target.substr(8)));
  }
  std::vector<ProcessUdpSocket> sockets;
  std::ifstream table("/proc/" + std::to_string(pid) + "/net/udp");
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    unsigned int localAddr, localPort, remoteAddr, remotePort, state;
    unsigned long inode = 0;
    char rest[256];
    if (sscanf(line.c_str(), " %*d: %X:%X %X:%X %X %*s %*s %*s %*s %*s %lu %255s", &localAddr,
               &localPort, &remoteAddr, &remotePort, &state, &inode, rest) < 6 ||
        inodes.count(inode) == 0) {
      continue;
    }
    ProcessUdpSocket s;
    s.local.sin_family = s.remote.sin_family = AF_INET;
    s.local.sin_addr.s_addr = localAddr;
    s.local.sin_port = htons(static_cast<uint16_t>(localPort));
    s.remote.sin_addr.s_addr = remoteAddr;
    s.remote.sin_port = htons(static_cast<uint16_t>(remotePort));
    sockets.push_back(s);
  }
  return sockets;
}

int FreePort() {
  // Ask for an ephemeral TCP port and check that the same UDP port is free as well.
  for (int attempt = 0; attempt < 50; attempt++) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(0);
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    close(s);
    if (UdpSocket().Bind(ntohs(a.sin_port))) return ntohs(a.sin_port);
  }
  return 0;
}

UdpSocket::UdpSocket() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
UdpSocket::~UdpSocket() { close(fd_); }

bool UdpSocket::Bind(int port, const char *address) {
  sockaddr_in a = Loopback(port);
  inet_pton(AF_INET, address, &a.sin_addr);
  return bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0;
}

int UdpSocket::port() const {
  sockaddr_in a{};
  socklen_t len = sizeof(a);
  getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
  return ntohs(a.sin_port);
}

void UdpSocket::SendTo(int port, const std::string &datagram) {
  sockaddr_in to = Loopback(port);
  sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
}

std::optional<std::string> UdpSocket::Receive(std::chrono::milliseconds wait) {
  pollfd p = {fd_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(wait.count())) <= 0) return std::nullopt;
  char buffer[65536];
  ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
  if (n < 0) return std::nullopt;
  return std::string(buffer, static_cast<size_t>(n));
}

std::string UdpSocket::Exchange(int port, const std::string &datagram,
                                std::chrono::milliseconds wait) {
  SendTo(port, datagram);
  return Receive(wait).value_or("(none)");
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string BinDir() { return QDVP_BIN_DIR; }
std::string SourceDir() { return QDVP_SOURCE_DIR; }

Child::Child(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
             const std::string &workDir) {
  static int serial = 0;
  std::string base = workDir + "/child" + std::to_string(getpid()) + "-" + std::to_string(serial++);
  out_ = base + ".out";
  err_ = base + ".err";
  pid_ = fork();
  if (pid_ == 0) {
    int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (chdir(workDir.c_str()) != 0) _exit(126);
    for (const auto &[name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
}

Child::~Child() {
  if (pid_ > 0 && !ended_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool Child::Running() {
  if (ended_) return false;
  int status;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    ended_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
  }
  return true;
}

int Child::Wait(std::chrono::milliseconds deadline) {
  if (!WaitFor([this] { return !Running(); }, deadline)) return -1;
  return status_;
}

void Child::Signal(int signal) {
  if (pid_ > 0 && !ended_) kill(pid_, signal);
}

std::string Child::Stdout() const { return ReadFile(out_); }
std::string Child::Stderr() const { return ReadFile(err_); }

int Run(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
        std::string *output, std::string *errors) {
  TempDir dir;
  Child child(argv, env, dir.path());
  int status = child.Wait(std::chrono::seconds(60));
  if (output) *output = child.Stdout();
  if (errors) *errors = child.Stderr();
  return status;
}

}  // namespace qdvp_test
